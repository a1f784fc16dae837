#include "output/pairs.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>

#include "core/global_define.h"
#include "output/channel.h"
#include "platform/platform.h"

CommPairHashTableT* pHashTable = nullptr;

namespace {
// The pairs the last scan exported: the table is empty between scans, so
// its use is the use it had when it was full.
std::atomic<int> lastScanPairs {0};
}  // namespace

int pairsOfLastScan() { return lastScanPairs.load(std::memory_order_relaxed); }

int initCommPair()
{
    void* table = platform::allocTable(sizeof(CommPairHashTableT));
    if (table == nullptr) return -1;
    pHashTable = new (table) CommPairHashTableT;  // zero-filled memory, left untouched
    return 0;
}

void mergeCommPair(CommMsgT* dst, const CommMsgT* src)
{
    if (dst->type == 0) {
        // A pair stands for the server endpoint and the client host over all
        // client ports.
        *dst = *src;
        dst->type = 1;
        dst->sport = 0;
        return;
    }
    // The 38 counters from sendPkts to cntDstZeroWin lie side by side; sums
    // of microseconds stay sums, averages are formed when rendered.
    constexpr std::size_t first = offsetof(CommMsgT, sendPkts);
    constexpr std::size_t last = offsetof(CommMsgT, cntDstZeroWin);
    static_assert((last - first) / sizeof(u32) + 1 == 38, "the counter block of CommMsgT changed");
    auto* to = reinterpret_cast<unsigned char*>(dst);
    const auto* from = reinterpret_cast<const unsigned char*>(src);
    for (std::size_t off = first; off <= last; off += sizeof(u32)) {
        u32 a, b;
        std::memcpy(&a, to + off, sizeof a);
        std::memcpy(&b, from + off, sizeof b);
        a += b;  // wraps, as the counters do
        std::memcpy(to + off, &a, sizeof a);
    }
    dst->cntLoadDelay += src->cntLoadDelay;
    dst->loadDelayUsec += src->loadDelayUsec;
    dst->sendBytes += src->sendBytes;
    dst->rcvdBytes += src->rcvdBytes;
    // The program the sessions share, else that of the busiest one that has one.
    if (src->program != 0 && (dst->program == 0 || src->programBytes > dst->programBytes)) {
        dst->program = src->program;
        dst->programBytes = src->programBytes;
    }
}

void putCommpairSession(const CommMsgT* pCommMsg)
{
    // IPv4 addresses fold to themselves: their pairs keep their buckets.
    CommPairHashNodeT& node = pHashTable->node[(ipFold(pCommMsg->src) + ipFold(pCommMsg->dst)) & (PAIR_BUCKETS - 1)];
    for (CommMsgT& slot : node.commpair) {
        bool same = slot.type != 0 &&
                    ((pCommMsg->src == slot.src && pCommMsg->dst == slot.dst && pCommMsg->dport == slot.dport) ||
                     (pCommMsg->src == slot.dst && pCommMsg->dst == slot.src && pCommMsg->dport == slot.sport));
        if (slot.type == 0 || same) {
            mergeCommPair(&slot, pCommMsg);
            return;
        }
    }
}

void exportCommpairData(time_t tcurr)
{
    int pairs = 0;
    for (CommPairHashNodeT& node : pHashTable->node) {
        for (CommMsgT& slot : node.commpair) {
            if (slot.type == 0) break;  // used slots form a prefix
            exportData(&slot, tcurr);
            slot.type = 0;
            pairs++;
        }
    }
    lastScanPairs.store(pairs, std::memory_order_relaxed);
}

void eraseCommpairTable()
{
    for (CommPairHashNodeT& node : pHashTable->node) {
        for (CommMsgT& slot : node.commpair) slot.type = 0;
    }
}
