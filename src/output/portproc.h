// The owning process, CPU and memory of each local port.
#pragma once

#include "core/global_define.h"

// Refreshes globalValue.portProc from the system's TCP and UDP tables, IPv4
// and IPv6; 0, or -1 when the tables cannot be read.
int getPortProcess();
// Refreshes name, cpu, mem and the previous sample of one entry from its pid.
void getProcessCpuMem(PortProcT* entry);
// false when port has never had an owner, so that its entry is still empty.
bool portHasProcess(u32 port);
