// The packet ring between the capture thread and the processing thread.
//
// 8192 slots, one producer (capture thread) and one consumer (processing
// thread). head is the slot the next frame goes to, tail the slot taken last;
// the ring is empty when tail + 1 == head and full when head + 1 == tail, so it
// holds at most 8190 frames. Each index has a single writer, so the ring needs
// no lock: a slot is filled before head is published (release), and the
// reader analyses the frame before it publishes tail. A frame is a copy in
// the slot's own buffer, or stays where the capture thread read it (a
// capture file's block), which the writer reuses only once packet_wait_released
// says the slots that pointed there are released.
#include "capture/ring.h"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>

#include "core/global_define.h"
#include "core/util.h"
#include "decode/frame_view.h"
#include "platform/platform.h"

namespace {

// Lines are kept apart by who writes them: a variable written for every
// frame by one side must not share its line with one the other side reads
// for every frame, or each frame moves the line between the cores twice.

// Set up before the threads start, then only read.
constexpr std::size_t FRAME_STRIDE = (SLOT_DATA + 1 + 63) / 64 * 64;
struct alignas(64) FixedT {
    PacketBuffer* slots = nullptr;
    // The slots' own copies of frames, a stride apart; touched only where
    // used, so not at all when every frame stays in place.
    std::uint8_t* frameCopies = nullptr;
    bool asymmetricFences = false;
    std::atomic<bool> waitWhenFull {false};
} fixed;
// What a time mark's slot points at.
std::uint8_t noBytes[1];
// Each side's index with what only that side touches, on a line of its own;
// each side keeps its last view of the other's index, so that a frame moves
// no index line between the cores unless the ring looked full or empty.
struct alignas(64) WriterT {
    std::atomic<std::uint32_t> head {0};
    std::uint32_t tailSeen = RING_SLOTS - 1;
    std::uint64_t written = 0;  // slots written since set-up
    bool (*idleWork)() = nullptr;
} writer;
struct alignas(64) ReaderT {
    std::atomic<std::uint32_t> tail {RING_SLOTS - 1};
    std::uint32_t headSeen = 0;
} reader;

std::atomic<std::uint64_t> droppedFrames {0};

// Sleeping and waking. A side that finds nothing to do raises its waiting
// flag, looks again and sleeps on its condition; the other side publishes its
// index and then looks at the flag. A full fence between the store and the
// load on each side makes one of them see the other; it is needed on every
// publish, but costly there (it waits for the frame's copy to reach the
// cache), so the sleeper pays for both: sleepFence makes every thread of the
// process pass a full fence (membarrier), and publishFence then only stops the
// compiler. Where the kernel offers no such barrier, both are full fences.
// The mutex only pairs the sleep with the wake-up.
// The worker threads may still wait on them while the process exits: never
// destroyed.
std::mutex& wakeMutex = *new std::mutex;
std::condition_variable& frameReady = *new std::condition_variable;
std::condition_variable& roomReady = *new std::condition_variable;
// Written only by a side about to sleep, read on every publish.
struct alignas(64) SleepersT {
    std::atomic<bool> consumerWaiting {false};
    std::atomic<bool> producerWaiting {false};
    std::atomic<std::uint32_t> roomWanted {0};  // free slots the waiting writer needs
} sleepers;

std::atomic<bool> inputEnded {false};
std::atomic<std::uint64_t> inputFrames {0};
bool finished = false;  // guarded by wakeMutex
std::condition_variable& finishedCv = *new std::condition_variable;

inline std::uint32_t nextInd(std::uint32_t i) { return (i + 1) & (RING_SLOTS - 1); }
// Slots the writer may fill, with the next frame going to head and the reader
// holding tail.
inline std::uint32_t freeSlots(std::uint32_t head, std::uint32_t tail) { return (tail - head) & (RING_SLOTS - 1); }
constexpr std::uint32_t REFILL_SLOTS = RING_SLOTS / 2;

// Before a side goes to sleep it spins for a short while: at high frame rates
// the other side is only microseconds away, and a sleep and wake-up per frame
// would cost more than the frame itself.
constexpr auto SPIN_TIME = std::chrono::microseconds(50);
// How the writer waits for room: naps of NAP, for NAP_FOR at most.
constexpr auto NAP = std::chrono::microseconds(100);
constexpr auto NAP_FOR = std::chrono::milliseconds(100);

inline void cpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

template <typename Ready>
bool spinFor(Ready ready)
{
    auto until = std::chrono::steady_clock::now() + SPIN_TIME;
    for (;;) {
        for (int i = 0; i < 64; i++) {
            if (ready()) return true;
            cpuRelax();
        }
        if (std::chrono::steady_clock::now() > until) return false;
    }
}

void sleepFence()
{
    if (!fixed.asymmetricFences || syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0) {
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
}

void publishFence()
{
    if (fixed.asymmetricFences) {
        std::atomic_signal_fence(std::memory_order_seq_cst);
    } else {
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
}

// The first publish that finds the flag raised clears it, so a sleeper costs
// one wake-up, not one per frame until it runs again.
void wake(std::atomic<bool>& waiting, std::condition_variable& cv)
{
    if (waiting.load(std::memory_order_relaxed) && waiting.exchange(false, std::memory_order_seq_cst)) {
        { std::lock_guard<std::mutex> lk(wakeMutex); }
        cv.notify_one();
    }
}

// Waits until want slots are free, the writer at head; false when the probe
// stops meanwhile.
bool waitForRoom(std::uint32_t head, std::uint32_t want)
{
    // Short naps first: the processing thread frees the room in well under a
    // millisecond, and a nap costs it nothing, where waking the writer would
    // cost it a system call and may bring the writer onto its processor.
    // Only a longer stall (a store waiting for the disk) ends in a sleep
    // until woken.
    for (auto until = std::chrono::steady_clock::now() + NAP_FOR; std::chrono::steady_clock::now() < until;) {
        if (freeSlots(head, reader.tail.load(std::memory_order_acquire)) >= want) return true;
        if (readOnlyGlobal.runFlag == 0) return false;
        if (writer.idleWork != nullptr) {
            if (writer.idleWork()) continue;
            writer.idleWork = nullptr;
        }
        std::this_thread::sleep_for(NAP);
    }
    sleepers.roomWanted.store(want, std::memory_order_relaxed);
    sleepers.producerWaiting.store(true, std::memory_order_relaxed);
    sleepFence();
    if (freeSlots(head, reader.tail.load(std::memory_order_acquire)) < want) {
        std::unique_lock<std::mutex> lk(wakeMutex);
        roomReady.wait_for(lk, std::chrono::milliseconds(100), [head, want] {
            return freeSlots(head, reader.tail.load(std::memory_order_seq_cst)) >= want ||
                   readOnlyGlobal.runFlag == 0;
        });
    }
    sleepers.producerWaiting.store(false, std::memory_order_relaxed);
    return readOnlyGlobal.runFlag != 0;
}

// Stores one slot, a copy of pkt or, when inPlace is given, a reference to
// those bytes; false when the ring is full and the caller must not wait.
bool putSlot(const pcap_pkthdr* hdr, const std::uint8_t* pkt, std::uint8_t* inPlace, const EndpointHintT& endpoint)
{
    std::uint32_t head = writer.head.load(std::memory_order_relaxed);
    std::uint32_t next = nextInd(head);
    if (next == writer.tailSeen) writer.tailSeen = reader.tail.load(std::memory_order_acquire);
    while (next == writer.tailSeen) {
        if (!fixed.waitWhenFull.load(std::memory_order_relaxed)) return false;
        // A full ring: sleep until half the ring is free, not slot by slot, so that the two sides
        // do not trade an index line for every frame.
        if (!waitForRoom(head, REFILL_SLOTS)) return false;
        writer.tailSeen = reader.tail.load(std::memory_order_acquire);
    }
    PacketBuffer& slot = fixed.slots[head];
    slot.hdr = *hdr;
    slot.endpoint = endpoint;
    if (inPlace != nullptr) {
        slot.udata = inPlace;
    } else if (hdr->caplen > 0) {
        slot.udata = fixed.frameCopies + head * FRAME_STRIDE;
        std::memcpy(slot.udata, pkt, hdr->caplen);
    } else {
        slot.udata = noBytes;  // already zero
    }
    // A zero byte after the data stops text searches in payloads at the end
    // of the captured bytes. Written here, so that the reader only reads the
    // frame and no line of it has to come back from the reader's cache.
    if (hdr->caplen > 0) slot.udata[hdr->caplen] = 0;
    writer.written++;
    writer.head.store(next, std::memory_order_release);
    publishFence();
    wake(sleepers.consumerWaiting, frameReady);
    return true;
}

int offer(pcap_pkthdr* hdr, const std::uint8_t* pkt, std::uint8_t* inPlace)
{
    EndpointHintT endpoint;
    if (checkPacket(hdr, pkt, &endpoint) == 0) return 0;
    int limit = readOnlyGlobal.maxLength;
    if (limit < 1 || limit > SLOT_DATA) limit = SLOT_DATA;
    // Only the captured part is cut: len stays the length on the wire, so
    // traffic counts and size classes stay true whatever is kept of a frame.
    if (hdr->caplen > static_cast<bpf_u_int32>(limit)) hdr->caplen = limit;
    if (!putSlot(hdr, pkt, inPlace, endpoint)) {
        droppedFrames.fetch_add(1, std::memory_order_relaxed);
        return -1;
    }
    return 0;
}

}  // namespace

int init_packet()
{
    // One ring for the process's life; a new input reuses it.
    if (fixed.slots == nullptr) {
        void* slots = platform::allocTable(sizeof(PacketBuffer) * RING_SLOTS);
        fixed.frameCopies = static_cast<std::uint8_t*>(platform::allocTable(FRAME_STRIDE * RING_SLOTS));
        if (slots != nullptr && fixed.frameCopies != nullptr) fixed.slots = new (slots) PacketBuffer[RING_SLOTS];
    }
    if (fixed.slots == nullptr) {
        writeLog(3, "not enough money!");
        return -1;
    }
    writer.head = 0;
    reader.tail = RING_SLOTS - 1;
    fixed.asymmetricFences = syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
    writer.tailSeen = RING_SLOTS - 1;
    reader.headSeen = 0;
    writer.written = 0;
    // A new input: a previous one may have ended in this process.
    inputEnded = false;
    inputFrames = 0;
    {
        std::lock_guard<std::mutex> lk(wakeMutex);
        finished = false;
    }
    return 0;
}

int checkPacket(const pcap_pkthdr* hdr, const std::uint8_t* pkt, EndpointHintT* endpoint)
{
    FrameView f(pkt, hdr->caplen);
    long ip = 14 + vlanTagBytes(f);
    int protocol;
    IpAddrT src, dst;
    long trans;  // the transport header, -1 when the packet carries none
    if (f.be16(ip - 2) == 0x0800) {
        if (!f.has(ip, 20)) return 0;  // too short to hold the addresses
        protocol = f.u8(ip + 9);
        src = ipFromV4(f.be32(ip + 12));
        dst = ipFromV4(f.be32(ip + 16));
        // The fragment offset is taken unscaled, as a byte count: 0 for
        // whole datagrams and first fragments.
        trans = ip + (f.u8(ip) & 0x0F) * 4 + (f.be16(ip + 6) & 0x1FFF);
    } else if (f.be16(ip - 2) == 0x86DD) {
        Ipv6ChainT c;
        if (!walkIpv6(f, ip, c)) return 0;
        protocol = c.proto;
        f.copy(ip + 8, src.b, 16);
        f.copy(ip + 24, dst.b, 16);
        trans = c.later ? -1 : c.th;
    } else {
        return 0;  // ARP and the rest: nothing the probe analyses
    }
    if (protocol == 1 || protocol == 58 || protocol == 47) return 1;
    if (protocol != 6 && protocol != 17) return 0;
    // Ports that lie past the captured bytes read as 0, so a truncated frame
    // is still judged by its addresses.
    int sport = trans >= 0 && f.has(trans, 4) ? f.be16(trans) : 0;
    int dport = trans >= 0 && f.has(trans, 4) ? f.be16(trans + 2) : 0;

    if (protocol == 17) {
        if (dport == readOnlyGlobal.expPort && readOnlyGlobal.expNumIP == dst) return 0;
        if (dport == readOnlyGlobal.expPktPort && readOnlyGlobal.expPktNumIP == dst) return 0;
    }
    // The version first: a change of the table meanwhile makes the lookup
    // one the decoding does again.
    unsigned version = hostTableVersion();
    int index = findEndpointIndex(src, sport, dst, dport, protocol);
    if (endpoint != nullptr) *endpoint = {index, version};
    return readOnlyGlobal.cntHost == 0 || index >= 0 ? 1 : 0;
}

int packet_write(pcap_pkthdr* hdr, const std::uint8_t* pkt) { return offer(hdr, pkt, nullptr); }

int packet_write_in_place(pcap_pkthdr* hdr, std::uint8_t* pkt) { return offer(hdr, pkt, pkt); }

std::uint64_t packet_written() { return writer.written; }

bool packet_wait_released(std::uint64_t n)
{
    for (;;) {
        std::uint32_t head = writer.head.load(std::memory_order_relaxed);
        std::uint32_t inFlight = RING_SLOTS - 1 - freeSlots(head, reader.tail.load(std::memory_order_acquire));
        if (writer.written - inFlight >= n) return true;
        // Released once as many slots are free as are written after them.
        if (!waitForRoom(head, RING_SLOTS - 1 - static_cast<std::uint32_t>(writer.written - n))) return false;
    }
}

void packet_mark_time(const timeval& ts)
{
    pcap_pkthdr mark {};
    mark.ts = ts;
    putSlot(&mark, nullptr, nullptr, EndpointHintT {});
}

void setRingWaitWhenFull(bool wait) { fixed.waitWhenFull = wait; }

void setRingIdleWork(bool (*step)()) { writer.idleWork = step; }

void packet_end_input(std::uint64_t framesRead)
{
    inputFrames = framesRead;
    inputEnded.store(true, std::memory_order_seq_cst);
    publishFence();
    wake(sleepers.consumerWaiting, frameReady);
}

bool packet_wait_finished(int timeoutMs)
{
    std::unique_lock<std::mutex> lk(wakeMutex);
    if (timeoutMs < 0) {
        finishedCv.wait(lk, [] { return finished; });
        return true;
    }
    return finishedCv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [] { return finished; });
}

void packet_input_handled()
{
    std::lock_guard<std::mutex> lk(wakeMutex);
    finished = true;
    finishedCv.notify_all();
}

std::uint64_t ringInputFrames() { return inputFrames.load(); }
std::uint64_t ringDropCount() { return droppedFrames.load(std::memory_order_relaxed); }

PacketBuffer* packet_peek()
{
    std::uint32_t ind = nextInd(reader.tail.load(std::memory_order_relaxed));
    if (ind == reader.headSeen) {
        reader.headSeen = writer.head.load(std::memory_order_acquire);
        if (ind == reader.headSeen) return nullptr;
    }
    // The headers of a frame a few ahead, written by the other core, are
    // fetched while this one is analysed, so that they are at hand when the
    // frame before it asks for its session (see packet_ahead).
    constexpr std::uint32_t DATA_AHEAD = 8;
    if (((reader.headSeen - ind) & (RING_SLOTS - 1)) > DATA_AHEAD) {
        const std::uint8_t* bytes = fixed.slots[(ind + DATA_AHEAD) & (RING_SLOTS - 1)].udata;
        __builtin_prefetch(bytes);
        __builtin_prefetch(bytes + 64);
    }
    return &fixed.slots[ind];
}

const PacketBuffer* packet_ahead(std::uint32_t n)
{
    std::uint32_t current = nextInd(reader.tail.load(std::memory_order_relaxed));
    if (((reader.headSeen - current) & (RING_SLOTS - 1)) <= n) return nullptr;
    return &fixed.slots[(current + n) & (RING_SLOTS - 1)];
}

void packet_release()
{
    std::uint32_t tail = nextInd(reader.tail.load(std::memory_order_relaxed));
    reader.tail.store(tail, std::memory_order_release);
    publishFence();
    // The writer waits for room only when the ring was full, and then its
    // head stands still.
    if (sleepers.producerWaiting.load(std::memory_order_relaxed) &&
        freeSlots(writer.head.load(std::memory_order_acquire), tail) >= sleepers.roomWanted.load(std::memory_order_relaxed)) {
        wake(sleepers.producerWaiting, roomReady);
    }
}

bool packet_wait()
{
    // Read the end mark before the last look, so that no frame written
    // before it is missed.
    if (spinFor([] {
            return nextInd(reader.tail.load(std::memory_order_relaxed)) !=
                   writer.head.load(std::memory_order_acquire);
        })) {
        return true;
    }
    bool ended = inputEnded.load(std::memory_order_seq_cst);
    sleepers.consumerWaiting.store(true, std::memory_order_relaxed);
    sleepFence();
    std::uint32_t ind = nextInd(reader.tail.load(std::memory_order_relaxed));
    if (ind == writer.head.load(std::memory_order_acquire)) {
        if (ended) {
            sleepers.consumerWaiting.store(false, std::memory_order_relaxed);
            return false;
        }
        std::unique_lock<std::mutex> lk(wakeMutex);
        frameReady.wait_for(lk, std::chrono::milliseconds(100), [ind] {
            return ind != writer.head.load(std::memory_order_seq_cst) || inputEnded.load(std::memory_order_seq_cst);
        });
    }
    sleepers.consumerWaiting.store(false, std::memory_order_relaxed);
    return true;
}
