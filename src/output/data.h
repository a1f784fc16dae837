// Export channels: JSON records over UDP, raw frames over VXLAN.
#pragma once

int initSocket();

#include <cstdio>

// The probe's own record sink (--json-out): every exported record, one per
// line. 0, or -1 with a message in err.
int openJsonOut(const char* path, char* err, int errSize);
void flushJsonOut();

#include <ctime>

#include "core/global_define.h"

// Stamps and exports one pair record (the scan's pairs, and the record of a
// session slot recycled during frame processing). Returns 0.
int exportData(CommMsgT* pCommMsg, time_t stamp);
// Exports the finished transaction of a session copy; 0, or -1 when it holds
// none.
int exportBusinessData(NetSessionT* pNetSession);

// Sees every pair record that exportData stamps, before it is rendered
// (nullptr to stop); the desktop program and tests watch records through it.
void setRecordObserver(void (*observer)(const CommMsgT& record));
