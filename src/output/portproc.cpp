// Port-to-process attribution: which local process owns each port, and its
// CPU and memory use, refreshed once per reporting interval.
#include "output/portproc.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
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
        getProcessCpuMem(&e);
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
    static const int processors = platform::processorCount();
    int proc;
    if (platform::openProcess(entry->pid, &proc) != 0) return;
    if (platform::processName(proc, entry->name, sizeof entry->name) != 0) {
        platform::closeProcess(proc);
        return;
    }
    u64 t;
    if (platform::processCpuTime(proc, &t) != 0) {
        writeLog(2, "Get process %s(%d) times failed", entry->name, entry->pid);
        platform::closeProcess(proc);
        return;
    }
    u32 now = platform::tickCountMs();
    float cpu = 0;
    if (entry->s_lgProcessTimeOld != 0) {
        u32 elapsed = now - entry->s_dwTickCountOld;
        if (elapsed < MIN_SAMPLE_MS) {
            cpu = entry->cpu;
        } else if (t > entry->s_lgProcessTimeOld) {
            cpu = cpuShare(t - entry->s_lgProcessTimeOld, elapsed, processors);
        }
    }
    // 0 reads as "no sample yet": a process that has used no CPU so far is
    // kept as 100 ns, so that its next sample is still measured.
    entry->s_lgProcessTimeOld = std::max<u64>(t, 1);
    entry->s_dwTickCountOld = now;
    entry->cpu = cpu;
    int kib;
    if (platform::processRssKiB(proc, &kib) == 0) {
        entry->mem = kib;
    } else {
        writeLog(2, "Get process %s(%d) times failed", entry->name, entry->pid);
    }
    platform::closeProcess(proc);
}
