// The scan thread and the capture-time clock.
#include "output/scan.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "capture/engine.h"
#include "core/global_define.h"
#include "core/util.h"
#include "platform/platform.h"

namespace {

std::atomic<bool> followCapture {false};
std::atomic<void (*)()> refreshHook {nullptr};

// Capture-time clock, used by the processing thread only.
time_t capturePeriod = 0;

time_t lastCardSearch = 0;

}  // namespace

void setScanFollowsCapture(bool follow) { followCapture = follow; }
bool scanFollowsCapture() { return followCapture; }
void setListRefreshHook(void (*hook)()) { refreshHook = hook; }

void runScan(time_t stamp, bool endAll)
{
    (void)endAll;  // sessions are folded into records here once the table is walked

    int bytes = 0;
    int pkts = 0;
    {
        ProcessStateT& ps = globalValue.processState;
        std::lock_guard<std::mutex> lk(ps.hMutex);
        bytes = ps.byte;
        pkts = ps.pkt;
        ps.byte = 0;
        ps.pkt = 0;
    }
    if (readOnlyGlobal.readJsonFileMode == 0) {
        if (auto hook = refreshHook.load()) hook();
    }
    // Bits and packets per second over the interval, as integer division.
    writeLog(1, "[TRAFFIC=%d] [PACKET=%d] [SESSION:%d]\n", static_cast<int>(static_cast<unsigned>(bytes) * 8u) / 5,
             pkts / 5, 0);

    if (!followCapture && globalValue.selectRow == -1 && std::labs(static_cast<long>(stamp - lastCardSearch)) > 30) {
        getCardInfo();
        findNicCard();
        lastCardSearch = stamp;
    }
}

int scanThread(void*)
{
    if (followCapture) return 0;  // the processing thread drives the scan
    time_t now = getGlobalTime(time(nullptr));
    time_t lastScan = now + 10;
    while (readOnlyGlobal.runFlag) {
        now = getGlobalTime(time(nullptr));
        if (lastScan - now > 20) lastScan = now + 10;  // the clock went back
        if (readOnlyGlobal.queryExpFlag == 0 && lastScan < now) {
            lastScan = now;
            runScan(now, false);
            continue;
        }
        platform::sleepMs(1000);
    }
    return 0;
}

void scanClockTick(time_t sec)
{
    if (!followCapture) return;
    globalValue.currTime = sec;
    globalValue.realCurrTime = sec;
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
