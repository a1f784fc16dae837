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

// See every pair record that exportData stamps and every finished transaction
// that exportBusinessData is given, before they are rendered (nullptr to
// stop); tests watch the records through them.
void setRecordObserver(void (*observer)(const CommMsgT& record));
void setTransactionObserver(void (*observer)(const NetSessionT& session));
