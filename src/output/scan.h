// The scan: the probe's ten-second clock. It turns sessions into records,
// ends idle and closed sessions, folds records per endpoint pair and exports
// them, and keeps the fifteen busiest for the live list.
#pragma once

#include <ctime>

#include "core/comm.h"

constexpr int TOP_SESSIONS = 15;

// The busiest records of the latest scan, for the live list; their type is
// the session's application type. Valid entries: 0 to cntMaxSession - 1.
extern CommMsgT comms[TOP_SESSIONS];
extern int cntMaxSession;
// A copy of the top list as the latest scan left it, for other threads;
// returns the number of records.
int copyTopList(CommMsgT (&out)[TOP_SESSIONS]);
// The period stamp of the latest scan; 0 before the first.
time_t lastScanStamp();
// Records produced by the current scan.
extern int cntTotalSession;

int scanThread(void* arg);

// One scan for the period that starts at stamp: scanFun, then the traffic
// log line, the port table, the card search. endAll ends every session (the
// end of a capture file).
void runScan(time_t stamp, bool endAll);
void scanFun(time_t stamp, bool endAll);
void storeMaxCommMsg(const CommMsgT* pCommMsg, int type);

// With a capture file as the source, capture time drives the scan instead of
// the wall clock: the processing thread calls scanClockTick with the second of
// every slot it takes, before handling it, and scanInputEnd after the last.
void setScanFollowsCapture(bool follow);
bool scanFollowsCapture();
void scanClockTick(time_t sec);
void scanInputEnd();
// The end of a live capture, once the last frame is analysed: a last scan
// ends every session and exports its records; the scan thread then ends.
void scanCaptureEnd();

// Asks the desktop program to refresh its live list (no-op without one).
void setListRefreshHook(void (*hook)());
// Searches the cards again (rebuilds the list and looks for the remembered
// one); the scan calls it every 30 seconds of live capture while no card is
// selected.
void setCardSearchHook(void (*hook)());
