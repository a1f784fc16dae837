// Frame decoding: from a captured frame to the session step.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>

// Decodes one frame; sp is followed by a zero byte.
void processPacket(const pcap_pkthdr* h, const std::uint8_t* sp);

// Frames and wire bytes handed to decoding since start-up.
std::uint64_t decodedFrames();
std::uint64_t decodedBytes();
