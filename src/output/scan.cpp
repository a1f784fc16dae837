// The scan thread and the capture-time clock.
#include "output/scan.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "analysis/session.h"
#include "core/global_define.h"
#include "core/programs.h"
#include "core/util.h"
#include "output/channel.h"
#include "output/pairs.h"
#include "platform/platform.h"

CommMsgT comms[TOP_SESSIONS];
int cntMaxSession = 0;
int cntTotalSession = 0;

namespace {

std::atomic<bool> followCapture {false};
std::atomic<void (*)()> refreshHook {nullptr};
std::atomic<void (*)()> cardSearchHook {nullptr};

// The finished top list, published after each scan: readers copy it under
// the lock instead of reading the table that the next scan rebuilds.
std::mutex shownLock;
CommMsgT shownComms[TOP_SESSIONS];
int shownCnt = 0;

void publishTopList()
{
    for (int i = 0; i < cntMaxSession; i++) nameProgram(&comms[i]);  // the list's Process cells
    std::lock_guard<std::mutex> lk(shownLock);
    std::memcpy(static_cast<void*>(shownComms), comms, sizeof comms);
    shownCnt = cntMaxSession;
}

// Capture-time clock, used by the processing thread only.
time_t capturePeriod = 0;

time_t lastCardSearch = 0;
std::atomic<time_t> lastStamp {0};

// One scan at a time: the scan thread's, and the last one of a live capture,
// which the processing thread runs once it has taken the last frame. After
// that one the scan thread scans no more.
std::mutex scanRunning;
bool scansEnded = false;  // guarded by scanRunning

// Per-bucket work space of a scan, reused for every bucket: a bucket yields
// at most 16 records and 16 ended sessions. Only one scan runs at a time.
CommMsgT bucketRecords[BUCKET_SESSIONS];
NetSessionT endedSessions[BUCKET_SESSIONS];

}  // namespace

void setScanFollowsCapture(bool follow)
{
    followCapture = follow;
    // Following capture, the processing thread scans the table itself.
    setSessionTableShared(!follow);
}
bool scanFollowsCapture() { return followCapture; }
void setListRefreshHook(void (*hook)()) { refreshHook = hook; }
void setCardSearchHook(void (*hook)()) { cardSearchHook = hook; }

time_t lastScanStamp() { return lastStamp.load(std::memory_order_relaxed); }

int copyTopList(CommMsgT (&out)[TOP_SESSIONS])
{
    std::lock_guard<std::mutex> lk(shownLock);
    std::memcpy(static_cast<void*>(out), shownComms, sizeof shownComms);
    return shownCnt;
}

void storeMaxCommMsg(const CommMsgT* pCommMsg, int type)
{
    if (cntMaxSession < TOP_SESSIONS) {
        comms[cntMaxSession] = *pCommMsg;
        comms[cntMaxSession].type = static_cast<u32>(type);
        cntMaxSession++;
        return;
    }
    // Replace the quietest entry (the first of equals) if the offer is busier.
    int least = 0;
    for (int i = 1; i < TOP_SESSIONS; i++) {
        if (comms[i].sendPkts + comms[i].rcvdPkts < comms[least].sendPkts + comms[least].rcvdPkts) least = i;
    }
    if (comms[least].sendPkts + comms[least].rcvdPkts < pCommMsg->sendPkts + pCommMsg->rcvdPkts) {
        comms[least] = *pCommMsg;
        comms[least].type = static_cast<u32>(type);
    }
}

namespace {

// The sessions walked and the pair records exported; the end-of-scan record
// is still to come.
void scanSessions(time_t stamp, bool endAll)
{
    HashTableT* table = globalValue.hashTable;
    time_t now = globalValue.realCurrTime;
    int timeOut = readOnlyGlobal.sessionTimeOut;
    for (int bucket = 0; bucket < HASH_BUCKETS; bucket++) {
        HashNodeT& node = table->node[bucket];
        int r = 0;
        int k = 0;
        int freed = 0;
        {
            // Only classify and copy under the lock; the rest runs on copies.
            std::unique_lock<std::mutex> lk = lockBucket(*table, bucket);
            for (NetSessionT& s : node.session) {
                if (!s.valid) continue;
                long idle = static_cast<long>(now - s.lastPktTime.tv_sec);
                bool ended = endAll || idle >= timeOut || (s.state > 3 && idle > 1);
                bool traffic = s.sendPkts + s.rcvdPkts != 0;
                if (traffic) {
                    cloneMsgValue(&bucketRecords[r], &s);
                    storeMaxCommMsg(&bucketRecords[r], s.type);
                    r++;
                    cntTotalSession++;
                }
                if (ended) {
                    if (s.type > 0) endedSessions[k++] = s;
                    s.valid = 0;
                    freed++;
                } else if (traffic) {
                    clearSessionValue(&s);
                }
            }
        }
        if (freed > 0) noteSessionsEnded(freed);
        for (int i = 0; i < r; i++) putCommpairSession(&bucketRecords[i]);
        // An ended session's last transaction goes out on its own.
        for (int i = 0; i < k; i++) exportBusinessData(&endedSessions[i]);
    }
    exportCommpairData(stamp);
}

void endScan(time_t stamp, bool endAll)
{
    // The last scan of a live capture does not wait: the program is ending.
    if (!followCapture && !endAll) platform::sleepMs(1000);
    exportEndData(stamp);
}

}  // namespace

void scanFun(time_t stamp, bool endAll)
{
    scanSessions(stamp, endAll);
    endScan(stamp, endAll);
}

void runScan(time_t stamp, bool endAll)
{
    cntMaxSession = 0;
    cntTotalSession = 0;
    scanSessions(stamp, endAll);
    publishTopList();
    // The programs' figures over the interval just ended; a recorded
    // capture has no local programs.
    if (!followCapture) samplePrograms();
    lastStamp.store(stamp, std::memory_order_relaxed);
    // The list shows the rows as their records go out, not a second later.
    if (readOnlyGlobal.readJsonFileMode == 0) {
        if (auto hook = refreshHook.load()) hook();
    }
    endScan(stamp, endAll);

    static u32 lastBytes = 0, lastPkts = 0;
    const u32 allBytes = globalValue.processState.byte.load(std::memory_order_relaxed);
    const u32 allPkts = globalValue.processState.pkt.load(std::memory_order_relaxed);
    const int bytes = static_cast<int>(allBytes - lastBytes), pkts = static_cast<int>(allPkts - lastPkts);
    lastBytes = allBytes, lastPkts = allPkts;
    // Bits and packets per second over the interval (x 8 / 10 is x 4 / 5),
    // in 32-bit integer arithmetic.
    writeLog(1, "[TRAFFIC=%d] [PACKET=%d] [SESSION:%d]\n", static_cast<int>(static_cast<unsigned>(bytes) * 8u) / 5,
             pkts / 5, cntTotalSession);

    if (!followCapture && !endAll && globalValue.selectRow == -1 &&
        std::labs(static_cast<long>(stamp - lastCardSearch)) > 30) {
        if (auto hook = cardSearchHook.load()) hook();
        lastCardSearch = stamp;
    }
}

int scanThread(void*)
{
    if (followCapture) return 0;  // the processing thread drives the scan
    // The first period is the rest of the current one: a first row comes
    // within one interval of the start.
    time_t now = getGlobalTime(time(nullptr));
    time_t lastScan = now;
    {
        std::lock_guard<std::mutex> lk(scanRunning);
        std::memset(static_cast<void*>(comms), 0, sizeof comms);
    }
    while (readOnlyGlobal.runFlag) {
        now = getGlobalTime(time(nullptr));
        if (lastScan - now > 20) lastScan = now + 10;  // the clock went back
        if (readOnlyGlobal.queryExpFlag == 0 && lastScan < now) {
            std::lock_guard<std::mutex> lk(scanRunning);
            if (scansEnded) break;
            lastScan = now;
            runScan(now, false);
            continue;
        }
        // Up to just after the next second of the clock: a scan starts as
        // its period does, not up to a second later.
        timespec t {};
        clock_gettime(CLOCK_REALTIME, &t);
        platform::sleepMs(static_cast<int>(1000 - t.tv_nsec / 1000000) + 5);
    }
    return 0;
}

void scanClockTick(time_t sec)
{
    if (!followCapture) return;
    setCaptureSecond(sec);
    time_t period = getGlobalTime(sec);
    if (capturePeriod == 0) {
        capturePeriod = period;
    } else if (period > capturePeriod) {
        runScan(period, false);
        capturePeriod = period;
    }
}

void scanInputEnd()
{
    if (!followCapture || capturePeriod == 0) return;
    runScan(capturePeriod + 10, true);
}

void scanCaptureEnd()
{
    if (followCapture) return;
    std::lock_guard<std::mutex> lk(scanRunning);
    if (scansEnded) return;
    scansEnded = true;
    // As at the end of a capture file, the records carry the end of the
    // period in progress.
    runScan(getGlobalTime(time(nullptr)) + 10, true);
}
