// Frame decoding. For now the decoder only counts what reaches it; the
// protocol layers and the session step build on this entry point.
#include "capture/process.h"

#include <atomic>

namespace {
std::atomic<std::uint64_t> frames {0};
std::atomic<std::uint64_t> bytes {0};
}  // namespace

void processPacket(const pcap_pkthdr* h, const std::uint8_t*)
{
    frames.fetch_add(1, std::memory_order_relaxed);
    bytes.fetch_add(h->len, std::memory_order_relaxed);
}

std::uint64_t decodedFrames() { return frames.load(std::memory_order_relaxed); }
std::uint64_t decodedBytes() { return bytes.load(std::memory_order_relaxed); }
