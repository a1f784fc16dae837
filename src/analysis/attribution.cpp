// The lookup thread and its queues. The processing thread writes requests
// into a ring of fixed size (it alone writes, the thread alone reads), and
// wakes the thread only when it sleeps; the SYN watch does the same with its
// hints. The thread looks each local end up (sock_diag, then the process
// holding the socket), and writes the program into the session under its
// bucket's lock, if the slot still holds that conversation; a hint's finding
// waits in a table for its session, which takes it as it begins. A
// connection the kernel holds but no process has accepted yet is tried again
// a few times within a tenth of a second.
#include "analysis/attribution.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "analysis/session.h"
#include "core/programs.h"
#include "core/util.h"
#include "decode/frame_view.h"
#include "platform/platform.h"
#include "platform/sockets.h"

namespace {

using Clock = std::chrono::steady_clock;

struct RequestT {
    int bucket, slot;
    int proto;
    IpAddrT src, dst;
    int sport, dport;
};

constexpr u32 QUEUE = 1024;
RequestT queue[QUEUE];
std::atomic<u32> queueHead {0}, queueTail {0};

// SYNs of this machine's clients, from the SYN watch (it alone writes, the
// lookup thread alone reads); full, a hint is passed over.
struct HintT {
    IpAddrT src, dst;
    int sport, dport;
};
constexpr u32 HINTS = 256;
HintT hints[HINTS];
std::atomic<u32> hintHead {0}, hintTail {0};

std::atomic<bool> running {false};
std::atomic<bool> sleeping {false};
// Never destroyed: the thread may still wait on them while the process
// exits, and destroying a condition waited on blocks.
std::mutex& wakeLock = *new std::mutex;
std::condition_variable& wake = *new std::condition_variable;

std::atomic<std::uint64_t> named {0}, gone {0}, queueFull {0};

// The machine's addresses, refreshed by the thread; the processing thread
// reads the current half while the thread fills the other, two seconds
// apart at least.
constexpr int MAX_LOCAL = 64;
struct LocalsT {
    int n;
    IpAddrT addr[MAX_LOCAL];
};
LocalsT locals[2];
std::atomic<int> currentLocals {0};
constexpr auto LOCALS_EVERY = std::chrono::seconds(2);

bool isLocal(const IpAddrT& a)
{
    if (ipIsV4(a)) {
        if (ipV4(a) >> 24 == 127) return true;
    } else {
        static const IpAddrT loopback6 = [] {
            IpAddrT l {};
            l.b[15] = 1;
            return l;
        }();
        if (a == loopback6) return true;
    }
    const LocalsT& l = locals[currentLocals.load(std::memory_order_acquire)];
    for (int i = 0; i < l.n; i++) {
        if (l.addr[i] == a) return true;
    }
    return false;
}

void refreshLocals()
{
    std::vector<platform::InterfaceT> list;
    if (platform::listInterfaces(list) != 0) return;
    const int next = 1 - currentLocals.load(std::memory_order_relaxed);
    LocalsT& l = locals[next];
    l.n = 0;
    for (const platform::InterfaceT& i : list) {
        for (int k = 0; k < i.cntAddr && l.n < MAX_LOCAL; k++) std::memcpy(l.addr[l.n++].b, i.addr[k].data(), 16);
    }
    currentLocals.store(next, std::memory_order_release);
}

// Retries of lookups that found no socket yet, due at their times.
struct RetryT {
    RequestT r;
    int tries;
    Clock::time_point due;
};
constexpr int MAX_RETRIES = 256;
constexpr int TRIES = 5;
constexpr std::chrono::milliseconds retryAfter[TRIES] = {std::chrono::milliseconds(1), std::chrono::milliseconds(4),
                                                          std::chrono::milliseconds(15), std::chrono::milliseconds(40),
                                                          std::chrono::milliseconds(100)};

enum OutcomeE { NAMED, GONE, AGAIN };

// What the hints found, for the sessions that begin after them: written by
// the lookup thread, read by the session step as it makes a session, each
// under the lock for a copy or a search of the table.
struct RecentT {
    IpAddrT src, dst;
    int sport, dport;
    ProgramRefT program;
};
constexpr u32 RECENT = 1024;
std::mutex recentLock;
RecentT recent[RECENT];
u32 nextRecent = 0;

// The program a hint found for the connection of these ends, either way round; 0 for none.
ProgramRefT recentProgram(const IpAddrT& src, const IpAddrT& dst, int sport, int dport)
{
    std::lock_guard<std::mutex> lk(recentLock);
    for (const RecentT& h : recent) {
        if (h.program != 0 && ((h.src == src && h.dst == dst && h.sport == sport && h.dport == dport) ||
                               (h.src == dst && h.dst == src && h.sport == dport && h.dport == sport))) {
            return h.program;
        }
    }
    return 0;
}

class LookupT {
public:
    // One request. The client's end when the client is on this machine (the
    // session's src, as the session step sees it now), else the server's,
    // whose listener answers for a connection without a socket of its own.
    OutcomeE settle(const RequestT& r)
    {
        ProgramRefT program = 0;
        const OutcomeE o = find(r, &program);
        if (o == NAMED) write(r, program);
        return o;
    }

    // A SYN's client, looked up before its session asks.
    void hint(const HintT& h)
    {
        ProgramRefT program = 0;
        if (find({0, 0, 6, h.src, h.dst, h.sport, h.dport}, &program) != NAMED) return;
        std::lock_guard<std::mutex> lk(recentLock);
        recent[nextRecent++ % RECENT] = {h.src, h.dst, h.sport, h.dport, program};
    }

private:
    OutcomeE find(const RequestT& r, ProgramRefT* program)
    {
        const bool client = isLocal(r.src);
        platform::SocketEndsT e {};
        e.proto = r.proto;
        std::memcpy(e.local.data(), (client ? r.src : r.dst).b, 16);
        std::memcpy(e.remote.data(), (client ? r.dst : r.src).b, 16);
        e.localPort = static_cast<std::uint16_t>(client ? r.sport : r.dport);
        e.remotePort = static_cast<std::uint16_t>(client ? r.dport : r.sport);
        e.serverEnd = !client;
        std::uint64_t inode = 0;
        std::uint32_t uid = 0;
        int pid = 0;
        const int err = platform::findSocket(e, &inode, &uid);
        if (err == EAGAIN) return AGAIN;  // not accepted yet
        if (err != 0 || owners_.owner(inode, uid, &pid) != 0) return GONE;
        *program = programOf(pid);
        return *program != 0 ? NAMED : GONE;
    }

    static void write(const RequestT& r, ProgramRefT program)
    {
        HashTableT& table = *globalValue.hashTable;
        auto lock = lockBucket(table, r.bucket);
        NetSessionT& s = table.node[r.bucket].session[r.slot];
        if (s.valid == 0 || s.proto != r.proto) return;
        const bool same = s.src == r.src && s.dst == r.dst && s.sport == r.sport && s.dport == r.dport;
        const bool turned = s.src == r.dst && s.dst == r.src && s.sport == r.dport && s.dport == r.sport;
        if (same || turned) s.program = program;  // else the slot holds another conversation now
    }

    platform::SocketOwnersT owners_;
};

void lookupThread()
{
    // Not a batch thread: a short connection's socket lives for a few
    // hundred microseconds, and the lookup has to run within them.
    LookupT lookup;
    static RetryT retries[MAX_RETRIES];
    int waiting = 0;
    Clock::time_point localsDue {};
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= localsDue) {
            refreshLocals();
            localsDue = now + LOCALS_EVERY;
        }
        for (u32 tail = hintTail.load(std::memory_order_relaxed); tail != hintHead.load(std::memory_order_acquire);
             tail++) {
            const HintT h = hints[tail % HINTS];
            hintTail.store(tail + 1, std::memory_order_release);
            lookup.hint(h);
        }
        for (u32 tail = queueTail.load(std::memory_order_relaxed); tail != queueHead.load(std::memory_order_acquire);
             tail++) {
            const RequestT r = queue[tail % QUEUE];
            queueTail.store(tail + 1, std::memory_order_release);
            const OutcomeE o = lookup.settle(r);
            if (o == AGAIN && waiting < MAX_RETRIES) {
                retries[waiting++] = {r, 1, Clock::now() + retryAfter[0]};
            } else {
                (o == NAMED ? named : gone).fetch_add(1, std::memory_order_relaxed);
            }
        }
        Clock::time_point next = localsDue;
        for (int i = 0; i < waiting;) {
            RetryT& t = retries[i];
            if (Clock::now() >= t.due) {
                const OutcomeE o = lookup.settle(t.r);
                if (o == AGAIN && t.tries < TRIES) {
                    t.due = Clock::now() + retryAfter[t.tries++];
                } else {
                    (o == NAMED ? named : gone).fetch_add(1, std::memory_order_relaxed);
                    t = retries[--waiting];  // the last one takes its place
                    continue;
                }
            }
            next = std::min(next, t.due);
            i++;
        }
        std::unique_lock<std::mutex> lk(wakeLock);
        sleeping.store(true);
        wake.wait_until(lk, next,
                        [] { return queueTail.load() != queueHead.load() || hintTail.load() != hintHead.load(); });
        sleeping.store(false);
    }
}

}  // namespace

void startAttribution()
{
    if (running.exchange(true)) return;
    refreshLocals();
    std::thread(lookupThread).detach();
}

void askProgram(int bucket, int slot, NetSessionT& s)
{
    if (!running.load(std::memory_order_relaxed) || (s.proto != 6 && s.proto != 17)) return;
    if (!isLocal(s.src) && !isLocal(s.dst)) return;
    // A connection whose SYN the watch saw may be known already: its records,
    // made from the same block of frames, name it.
    if (s.proto == 6) {
        if (const ProgramRefT known = recentProgram(s.src, s.dst, s.sport, s.dport)) {
            s.program = known;
            named.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
    const u32 head = queueHead.load(std::memory_order_relaxed);
    if (head - queueTail.load(std::memory_order_acquire) >= QUEUE) {
        queueFull.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    queue[head % QUEUE] = {bucket, slot, s.proto, s.src, s.dst, s.sport, s.dport};
    // Both sequentially consistent, as the thread's sleeping flag and its
    // look at the queue: it sees the request, or this sees it asleep.
    queueHead.store(head + 1);
    if (sleeping.load()) {
        std::lock_guard<std::mutex> lk(wakeLock);
        wake.notify_one();
    }
}

void hintFrame(const std::uint8_t* frame, std::uint32_t caplen)
{
    if (!running.load(std::memory_order_relaxed)) return;
    const FrameView f(frame, caplen);
    long ip = 12 + vlanTagBytes(f);
    const u16 etherType = f.be16(ip);
    ip += 2;
    HintT h;
    long tcp;
    if (etherType == 0x0800 && f.u8(ip) >> 4 == 4) {
        if (f.u8(ip + 9) != 6 || (f.be16(ip + 6) & 0x1FFF) != 0) return;
        h.src = ipFromV4(f.be32(ip + 12));
        h.dst = ipFromV4(f.be32(ip + 16));
        tcp = ip + (f.u8(ip) & 15) * 4;
    } else if (etherType == 0x86DD && f.u8(ip) >> 4 == 6) {
        if (f.u8(ip + 6) != 6 || !f.copy(ip + 8, h.src.b, 16) || !f.copy(ip + 24, h.dst.b, 16)) return;
        tcp = ip + 40;
    } else {
        return;
    }
    if (!f.has(tcp, 14) || (f.u8(tcp + 13) & 0x12) != 0x02 || !isLocal(h.src)) return;  // SYN without ACK
    h.sport = f.be16(tcp);
    h.dport = f.be16(tcp + 2);
    const u32 head = hintHead.load(std::memory_order_relaxed);
    if (head - hintTail.load(std::memory_order_acquire) >= HINTS) return;
    hints[head % HINTS] = h;
    hintHead.store(head + 1);
    if (sleeping.load()) {
        std::lock_guard<std::mutex> lk(wakeLock);
        wake.notify_one();
    }
}

void attributionSummary(char* out, std::size_t cap)
{
    out[0] = '\0';
    if (!running.load()) return;
    std::snprintf(out, cap,
                  "; programs: %llu conversations named, %llu ended before their program was looked up, %llu not "
                  "looked up for a full queue",
                  static_cast<unsigned long long>(named.load()), static_cast<unsigned long long>(gone.load()),
                  static_cast<unsigned long long>(queueFull.load()));
}
