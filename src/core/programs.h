// The local programs of conversations: the processes found to own a
// conversation's socket, each with its name and, sampled once per reporting
// interval, its CPU and memory use. Sessions and pair records keep a
// reference to an entry; an entry given to another process since turns the
// reference into none.
#pragma once

#include "core/types.h"

using ProgramRefT = u32;  // 0: none

constexpr int PROGRAM_SLOTS = 4096;

struct ProgramViewT {
    char name[128];  // base name of the executable
    float cpu;       // percent of the whole machine over the last interval
    int mem;         // KiB
};

// The entry of process pid, made or renewed (when pid runs another program
// now, or its entry was given away); its name read from the process. 0 when
// the process has gone already.
ProgramRefT programOf(int pid);
// The entry's name and figures; false, and an empty view, for none.
bool programView(ProgramRefT ref, ProgramViewT* out);
int programPid(ProgramRefT ref);  // 0 for none
// Samples the CPU and memory of every entry whose process still runs; the
// scan's, once per interval, as the figures are averages over it.
void samplePrograms();
// CPU use in percent of the whole machine: busy time (100-ns units) over
// elapsedMs on all processors.
float cpuShare(u64 busy100ns, u32 elapsedMs, int processors);
