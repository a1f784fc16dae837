// The program table: open addressing on the process id, each entry
// stamped with a generation that its references carry, so that an entry
// given to another process never lends its name to an older reference. One
// mutex, held for copies only: the processes are read outside it.
#include "core/programs.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "core/util.h"
#include "platform/platform.h"

namespace {

struct EntryT {
    int pid;     // 0: free
    u16 gen;     // of the current process; references carry it
    bool running;
    u64 used;    // the table's clock at the latest use: the oldest goes first
    ProgramViewT view;
    u32 tickOld;
    u64 timeOld;  // 100-ns units, 0 = no sample yet
};

constexpr int PROBES = 16;  // slots looked at from a process id's home slot

std::mutex tableLock;
EntryT table[PROGRAM_SLOTS];
u64 useClock = 0;

// CPU time is counted in clock ticks (10 ms): a shorter interval between two
// samples gives no usable figure, so the entry keeps the one it has.
constexpr u32 MIN_SAMPLE_MS = 100;

// One look at a process: its name, CPU time and memory.
struct SampleT {
    bool named = false;  // the process could be opened and its name read
    bool timed = false;
    bool sized = false;
    char name[sizeof ProgramViewT::name];
    u64 time100ns = 0;
    u32 tickMs = 0;
    int kib = 0;
};

SampleT sample(int pid)
{
    SampleT s;
    int proc;
    if (platform::openProcess(pid, &proc) != 0) return s;
    if (platform::processName(proc, s.name, sizeof s.name) == 0) {
        s.named = true;
        s.timed = platform::processCpuTime(proc, &s.time100ns) == 0;
        s.tickMs = platform::tickCountMs();
        s.sized = s.timed && platform::processRssKiB(proc, &s.kib) == 0;
    }
    platform::closeProcess(proc);
    return s;
}

void apply(const SampleT& s, EntryT* e)
{
    static const int processors = platform::processorCount();
    float cpu = 0;
    if (e->timeOld != 0) {
        const u32 elapsed = s.tickMs - e->tickOld;
        if (elapsed < MIN_SAMPLE_MS) {
            cpu = e->view.cpu;
        } else if (s.time100ns > e->timeOld) {
            cpu = cpuShare(s.time100ns - e->timeOld, elapsed, processors);
        }
    }
    // 0 reads as "no sample yet": a process that has used no CPU so far is
    // kept as 100 ns, so that its next sample is still measured.
    e->timeOld = std::max<u64>(s.time100ns, 1);
    e->tickOld = s.tickMs;
    e->view.cpu = cpu;
    if (s.sized) e->view.mem = s.kib;
}

ProgramRefT refOf(int slot) { return static_cast<ProgramRefT>(table[slot].gen) << 16 | static_cast<u32>(slot + 1); }

// The entry a reference names, or nullptr; the caller holds tableLock.
EntryT* entryOf(ProgramRefT ref)
{
    const u32 slot = (ref & 0xFFFF) - 1;
    if (ref == 0 || slot >= static_cast<u32>(PROGRAM_SLOTS)) return nullptr;
    EntryT& e = table[slot];
    return e.pid != 0 && e.gen == ref >> 16 ? &e : nullptr;
}

}  // namespace

float cpuShare(u64 busy100ns, u32 elapsedMs, int processors)
{
    return static_cast<float>(static_cast<double>(busy100ns) * 100 / elapsedMs / 10000 / processors);
}

ProgramRefT programOf(int pid)
{
    if (pid <= 0) return 0;
    const SampleT s = sample(pid);
    if (!s.named) return 0;
    std::lock_guard<std::mutex> lk(tableLock);
    const int home = static_cast<int>(static_cast<u32>(pid) * 2654435761u % PROGRAM_SLOTS);
    int oldest = home;
    for (int i = 0; i < PROBES; i++) {
        const int slot = (home + i) % PROGRAM_SLOTS;
        EntryT& e = table[slot];
        if (e.pid == pid && std::strcmp(e.view.name, s.name) == 0) {
            e.used = ++useClock;
            return refOf(slot);
        }
        if (e.pid == pid || e.pid == 0) {
            oldest = slot;  // its own old entry (another program now), or a free one
            break;
        }
        if (e.used < table[oldest].used) oldest = slot;
    }
    EntryT& e = table[oldest];
    const u16 gen = static_cast<u16>(e.gen + 1);
    e = EntryT {};
    e.pid = pid;
    e.gen = gen;
    e.running = true;
    e.used = ++useClock;
    copyText(e.view.name, sizeof e.view.name, s.name);
    if (s.timed) apply(s, &e);
    return refOf(oldest);
}

bool programView(ProgramRefT ref, ProgramViewT* out)
{
    std::lock_guard<std::mutex> lk(tableLock);
    if (const EntryT* e = entryOf(ref)) {
        *out = e->view;
        return true;
    }
    *out = ProgramViewT {};
    return false;
}

int programPid(ProgramRefT ref)
{
    std::lock_guard<std::mutex> lk(tableLock);
    const EntryT* e = entryOf(ref);
    return e != nullptr ? e->pid : 0;
}

void samplePrograms()
{
    static ProgramRefT running[PROGRAM_SLOTS];
    static int pids[PROGRAM_SLOTS];
    int n = 0;
    {
        std::lock_guard<std::mutex> lk(tableLock);
        for (int slot = 0; slot < PROGRAM_SLOTS; slot++) {
            if (table[slot].pid == 0 || !table[slot].running) continue;
            running[n] = refOf(slot);
            pids[n++] = table[slot].pid;
        }
    }
    for (int i = 0; i < n; i++) {
        const SampleT s = sample(pids[i]);
        std::lock_guard<std::mutex> lk(tableLock);
        EntryT* e = entryOf(running[i]);
        if (e == nullptr) continue;  // given to another process meanwhile
        if (!s.named || std::strcmp(s.name, e->view.name) != 0) {
            e->running = false;  // gone: its figures stay as last sampled
        } else if (s.timed) {
            apply(s, e);
        }
    }
}
