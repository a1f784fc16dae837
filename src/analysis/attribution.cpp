// The lookup thread and its queue. The processing thread writes requests
// into a ring of fixed size (it alone writes, the thread alone reads), and
// wakes the thread only when it sleeps. The thread looks each local end up
// (sock_diag, then the process holding the socket), and writes the program
// into the session under its bucket's lock, if the slot still holds that
// conversation. A server's end may not have its socket yet when the
// session begins (the handshake's request socket has none): such a lookup
// is tried again a few times within a tenth of a second.
#include "analysis/attribution.h"

#include <algorithm>
#include <array>
#include <atomic>
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

std::atomic<bool> running {false};
std::atomic<bool> sleeping {false};
std::mutex wakeLock;
std::condition_variable wake;

std::atomic<std::uint64_t> named {0}, gone {0}, queueFull {0}, lookups {0};

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

class LookupT {
public:
    // One request: true when it is done (named, or given up as gone).
    bool settle(const RequestT& r)
    {
        // The client's end first: the session's src, as the session step
        // sees it now; the write below checks which end is the client then.
        ProgramRefT found[2] = {0, 0};
        const bool local[2] = {isLocal(r.src), isLocal(r.dst)};
        for (int end = 0; end < 2; end++) {
            if (!local[end]) continue;
            platform::SocketEndsT e {};
            e.proto = r.proto;
            std::memcpy(e.local.data(), (end == 0 ? r.src : r.dst).b, 16);
            std::memcpy(e.remote.data(), (end == 0 ? r.dst : r.src).b, 16);
            e.localPort = static_cast<std::uint16_t>(end == 0 ? r.sport : r.dport);
            e.remotePort = static_cast<std::uint16_t>(end == 0 ? r.dport : r.sport);
            std::uint64_t inode = 0;
            std::uint32_t uid = 0;
            int pid = 0;
            lookups.fetch_add(1, std::memory_order_relaxed);
            if (platform::findSocket(e, &inode, &uid) != 0 || owners_.owner(inode, uid, &pid) != 0) continue;
            found[end] = programOf(pid);
            if (found[end] != 0 && end == 0) break;  // the client's: the other end is not asked
        }
        if (found[0] == 0 && found[1] == 0) return false;
        write(r, found);
        return true;
    }

private:
    static void write(const RequestT& r, const ProgramRefT (&found)[2])
    {
        HashTableT& table = *globalValue.hashTable;
        auto lock = lockBucket(table, r.bucket);
        NetSessionT& s = table.node[r.bucket].session[r.slot];
        if (s.valid == 0 || s.proto != r.proto) return;
        const bool same = s.src == r.src && s.dst == r.dst && s.sport == r.sport && s.dport == r.dport;
        const bool turned = s.src == r.dst && s.dst == r.src && s.sport == r.dport && s.dport == r.sport;
        if (!same && !turned) return;  // the slot holds another conversation now
        // The session step may have learnt meanwhile which end is the client.
        const ProgramRefT client = same ? found[0] : found[1], server = same ? found[1] : found[0];
        s.program = client != 0 ? client : server;
    }

    platform::SocketOwnersT owners_;
};

void lookupThread()
{
    platform::yieldToCapture();
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
        for (u32 tail = queueTail.load(std::memory_order_relaxed); tail != queueHead.load(std::memory_order_acquire);
             tail++) {
            const RequestT r = queue[tail % QUEUE];
            queueTail.store(tail + 1, std::memory_order_release);
            if (lookup.settle(r)) {
                named.fetch_add(1, std::memory_order_relaxed);
            } else if (waiting < MAX_RETRIES) {
                retries[waiting++] = {r, 1, Clock::now() + retryAfter[0]};
            } else {
                gone.fetch_add(1, std::memory_order_relaxed);
            }
        }
        Clock::time_point next = localsDue;
        for (int i = 0; i < waiting;) {
            RetryT& t = retries[i];
            if (Clock::now() >= t.due) {
                bool done = true;
                if (lookup.settle(t.r)) {
                    named.fetch_add(1, std::memory_order_relaxed);
                } else if (t.tries < TRIES) {
                    t.due = Clock::now() + retryAfter[t.tries++];
                    done = false;
                } else {
                    gone.fetch_add(1, std::memory_order_relaxed);
                }
                if (done) {
                    t = retries[--waiting];  // the last one takes its place
                    continue;
                }
            }
            next = std::min(next, t.due);
            i++;
        }
        std::unique_lock<std::mutex> lk(wakeLock);
        sleeping.store(true);
        wake.wait_until(lk, next, [] { return queueTail.load() != queueHead.load(); });
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

void askProgram(int bucket, int slot, const NetSessionT& s)
{
    if (!running.load(std::memory_order_relaxed) || (s.proto != 6 && s.proto != 17)) return;
    if (!isLocal(s.src) && !isLocal(s.dst)) return;
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

AttributionStatsT attributionStats()
{
    return {named.load(std::memory_order_relaxed), gone.load(std::memory_order_relaxed),
            queueFull.load(std::memory_order_relaxed), lookups.load(std::memory_order_relaxed)};
}

void attributionSummary(char* out, std::size_t cap)
{
    out[0] = '\0';
    if (!running.load()) return;
    const AttributionStatsT st = attributionStats();
    std::snprintf(out, cap,
                  "; programs: %llu conversations named, %llu ended before their program was looked up, %llu not "
                  "looked up for a full queue",
                  static_cast<unsigned long long>(st.named), static_cast<unsigned long long>(st.gone),
                  static_cast<unsigned long long>(st.queueFull));
}
