// The packet ring between the capture thread and the processing thread.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>

#include "core/global_define.h"
#include "core/util.h"

// Some 2 ms of frames at full speed: a short stall of either side (a nap,
// fresh pages, a slice given to an output thread) leaves the other work.
constexpr int RING_SLOTS = 8192;

// One ring slot: a frame's header and its bytes, followed by a zero byte.
// The bytes are the slot's own copy, or lie where the capture thread read
// them (packet_write_in_place). A slot fills a cache line, so that the slot
// the writer fills and the one the reader takes never share one.
struct alignas(64) PacketBuffer {
    pcap_pkthdr hdr;
    std::uint8_t* udata;
    EndpointHintT endpoint;  // what the filter found, for the decoding
};
static_assert(sizeof(PacketBuffer) == 64);

int init_packet();
// Offers one captured frame: 0 = stored or filtered out, -1 = ring full and
// the frame dropped. May shorten caplen in the caller's header.
int packet_write(pcap_pkthdr* hdr, const std::uint8_t* pkt);
// As packet_write, but the frame is not copied: its bytes stay where they
// are until the processing thread has released its slot (see
// packet_wait_released), and the byte after the frame, as it is cut, is set
// to zero.
int packet_write_in_place(pcap_pkthdr* hdr, std::uint8_t* pkt);
// Slots written since the ring was set up, frames and time marks.
std::uint64_t packet_written();
// Waits until the processing thread has released the first n slots written;
// false when the probe stops meanwhile. For the capture thread alone.
bool packet_wait_released(std::uint64_t n);
// 1 = keep the frame, 0 = drop it; the endpoint lookup made for an
// untunnelled TCP or UDP frame goes to *endpoint when given.
int checkPacket(const pcap_pkthdr* hdr, const std::uint8_t* pkt, EndpointHintT* endpoint = nullptr);
// The oldest frame, followed by a zero byte, or nullptr when the ring is
// empty. It stays in its slot, the reader's own, until packet_release.
PacketBuffer* packet_peek();
void packet_release();
// Called by the reader when packet_peek found the ring empty: waits a while
// for a frame; false once the input has ended and every frame was taken.
bool packet_wait();
// The frame n after the one packet_peek gave, when it is already in the
// ring; only to look at, as a hint.
const PacketBuffer* packet_ahead(std::uint32_t n);

// Whether a full ring makes the writer wait for room instead of dropping the
// frame; the probe always waits, the source (a file, or the kernel's buffer
// of a card) holding the frames meanwhile.
void setRingWaitWhenFull(bool wait);
// Work for the writer while a full ring makes it wait: a short step a call,
// run instead of a nap, until it returns false. Set before capture starts.
void setRingIdleWork(bool (*step)());
// Puts a time mark (a slot without data) into the ring, so that the
// processing thread's clock follows capture time through filtered frames.
void packet_mark_time(const timeval& ts);
// No more frames will come (framesRead were read from the source); the
// processing thread ends after the last one.
void packet_end_input(std::uint64_t framesRead);
// Blocks until the processing thread has handled the end of the input,
// which it tells with packet_input_handled, or for timeoutMs at most (-1:
// no limit); false when the time ran out.
bool packet_wait_finished(int timeoutMs = -1);
void packet_input_handled();
// The frames read from the source, as packet_end_input was told.
std::uint64_t ringInputFrames();

// Frames lost because the ring was full, since start-up.
std::uint64_t ringDropCount();
