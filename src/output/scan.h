// The scan: the probe's ten-second clock.
#pragma once

#include <ctime>

int scanThread(void* arg);

// One scan for the period that starts at stamp. endAll ends every session
// (the end of a capture file).
void runScan(time_t stamp, bool endAll);

// With a capture file as the source, capture time drives the scan instead of
// the wall clock: the processing thread calls scanClockTick with the second of
// every slot it takes, before handling it, and scanInputEnd after the last.
void setScanFollowsCapture(bool follow);
bool scanFollowsCapture();
void scanClockTick(time_t sec);
void scanInputEnd();

// Asks the desktop program to refresh its live list (no-op without one).
void setListRefreshHook(void (*hook)());
