// The processing loop: every frame of the ring through decoding, the session
// step and the exports, then into the packet store and the frame channel.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>

#include "core/util.h"

// Decodes one frame (sp followed by a zero byte) and takes its packet through
// the session step; the record of a session recycled on the way is exported.
// endpoint: the capture thread's lookup for the frame, when it made one.
void processPacket(const pcap_pkthdr* h, const std::uint8_t* sp, const EndpointHintT* endpoint = nullptr);

// Links the stages that hand work upward: the session step's finished
// transactions go to the exports, and the scan searches the cards again
// while none is selected. Before the first frame.
void connectStages();

int processThread(void* arg);

// Frames the processing thread has taken from the ring, since start-up.
std::uint64_t ringTakenCount();

// Ends a live capture: the capture thread reads what the card had captured
// and then stops taking frames, the processing thread analyses those in the
// ring, a last scan ends every session
// and exports its records, and the exports and stores are written out. false
// when that has not finished within timeoutMs.
bool stopCapture(int timeoutMs);
// How long the programs give a stop before they end without it.
constexpr int STOP_LIMIT_MS = 5000;
// The log line of a stop, with the frame counts: "stopped by <cause>: ...".
void logStopLine(const char* cause);
