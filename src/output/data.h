// Export channels: JSON records over UDP, raw frames over VXLAN.
#pragma once

int initSocket();

#include <cstdio>

// The probe's own record sink (--json-out): every exported record, one per
// line. 0, or -1 with a message in err.
int openJsonOut(const char* path, char* err, int errSize);
void flushJsonOut();
