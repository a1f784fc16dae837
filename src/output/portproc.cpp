// Port-to-process attribution: which local process owns each port, and its
// CPU and memory use, refreshed once per reporting interval.
#include "output/portproc.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <vector>

#include "core/util.h"
#include "platform/platform.h"

namespace {

// One bit per port that has had an owner. Records name the port's process,
// and most of their ports never had one: the bits spare them a look into the
// large table.
std::atomic<std::uint64_t> portSeen[PORT_COUNT / 64];

// CPU time is counted in clock ticks (10 ms): a shorter interval between two
// samples, as when a port shows in several rows of one refresh, gives no
// usable figure, so the entry keeps the one it has.
constexpr u32 MIN_SAMPLE_MS = 100;

void logTableError(const char* query, const char* table, int err)
{
    if (err == ENOMEM) {
        writeLog(3, "%s malloc Error!", table);
    } else {
        writeLog(2, "%s Error: %d", query, err);
    }
}

// CPU use in percent of the whole machine: busy time (100-ns units) over
// elapsedMs on all processors.
float cpuShare(u64 busy100ns, u32 elapsedMs, int processors)
{
    return static_cast<float>(static_cast<double>(busy100ns) * 100 / elapsedMs / 10000 / processors);
}

// One look at a process: its name, CPU time and memory as one refresh sees
// them.
struct ProcSampleT {
    int pid;
    bool named;  // the process could be opened and its name read
    bool timed;
    bool sized;
    char name[sizeof PortProcT::name];
    u64 time100ns;
    u32 tickMs;
    int kib;
};

void sampleProcess(int pid, ProcSampleT* s)
{
    s->pid = pid;
    s->named = s->timed = s->sized = false;
    int proc;
    if (platform::openProcess(pid, &proc) != 0) return;
    if (platform::processName(proc, s->name, sizeof s->name) == 0) {
        s->named = true;
        s->timed = platform::processCpuTime(proc, &s->time100ns) == 0;
        s->tickMs = platform::tickCountMs();
        s->sized = s->timed && platform::processRssKiB(proc, &s->kib) == 0;
    }
    platform::closeProcess(proc);
}

void applySample(const ProcSampleT& s, PortProcT* entry)
{
    static const int processors = platform::processorCount();
    if (!s.named) return;
    const std::size_t len = strnlen(s.name, sizeof s.name - 1);
    std::memcpy(entry->name, s.name, len);
    entry->name[len] = 0;
    if (!s.timed) {
        writeLog(2, "Get process %s(%d) times failed", entry->name, entry->pid);
        return;
    }
    float cpu = 0;
    if (entry->s_lgProcessTimeOld != 0) {
        u32 elapsed = s.tickMs - entry->s_dwTickCountOld;
        if (elapsed < MIN_SAMPLE_MS) {
            cpu = entry->cpu;
        } else if (s.time100ns > entry->s_lgProcessTimeOld) {
            cpu = cpuShare(s.time100ns - entry->s_lgProcessTimeOld, elapsed, processors);
        }
    }
    // 0 reads as "no sample yet": a process that has used no CPU so far is
    // kept as 100 ns, so that its next sample is still measured.
    entry->s_lgProcessTimeOld = std::max<u64>(s.time100ns, 1);
    entry->s_dwTickCountOld = s.tickMs;
    entry->cpu = cpu;
    if (s.sized) {
        entry->mem = s.kib;
    } else {
        writeLog(2, "Get process %s(%d) times failed", entry->name, entry->pid);
    }
}

}  // namespace

int getPortProcess()
{
    std::vector<platform::SocketRowT> rows;
    // A dual-stack socket (bound to ::) is in the IPv6 table only, with its
    // IPv4 peers in the IPv4-mapped form.
    for (int family : {4, 6}) {
        int err = platform::socketTable(6, family, rows);
        if (err != 0) {
            logTableError("GetExtendedTcpTable", "PMIB_TCPTABLE_OWNER_PID", err);
            return -1;
        }
    }
    for (int family : {4, 6}) {
        int err = platform::socketTable(17, family, rows);
        if (err != 0) {
            logTableError("GetExtendedUdpTable", "PMIB_UDPTABLE_OWNER_PID", err);
            return -1;
        }
    }
    platform::findSocketOwners(rows);
    // A server holds many ports at once: each process is looked at once per
    // refresh (while it keeps its slot here), not once per row.
    ProcSampleT samples[64];
    for (ProcSampleT& s : samples) s.pid = -1;
    // The row applied last describes the port: TCP rows first, then UDP, so a
    // port held by both describes the UDP owner; within a protocol IPv6 after
    // IPv4, so a port held in both families describes the IPv6 owner.
    for (const platform::SocketRowT& r : rows) {
        PortProcT& e = globalValue.portProc[r.localPort];
        if (e.pid != r.pid) {
            e = PortProcT {};
            e.pid = r.pid;
            e.port = r.localPort;
        }
        ProcSampleT& s = samples[static_cast<unsigned>(r.pid) % std::size(samples)];
        if (s.pid != r.pid) sampleProcess(r.pid, &s);
        applySample(s, &e);
        portSeen[r.localPort >> 6].fetch_or(std::uint64_t {1} << (r.localPort & 63), std::memory_order_release);
    }
    return 0;
}

bool portHasProcess(u32 port)
{
    port &= PORT_COUNT - 1;
    return (portSeen[port >> 6].load(std::memory_order_acquire) >> (port & 63)) & 1;
}

void getProcessCpuMem(PortProcT* entry)
{
    ProcSampleT s;
    sampleProcess(entry->pid, &s);
    applySample(s, entry);
}
