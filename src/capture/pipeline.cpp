#include "capture/pipeline.h"

#include <algorithm>
#include <atomic>
#include <ctime>

#include "analysis/attribution.h"
#include "analysis/session.h"
#include "analysis/statements.h"
#include "analysis/track.h"
#include "capture/engine.h"
#include "capture/ring.h"
#include "core/util.h"
#include "decode/decode.h"
#include "output/channel.h"
#include "output/clickhouse.h"
#include "output/scan.h"
#include "output/store.h"
#include "platform/platform.h"

namespace {

// Written by the processing thread alone, read by others.
std::atomic<std::uint64_t> takenFrames {0};

// The record of a session recycled by a frame; only the two packet counts
// matter on entry. Used by the processing thread alone.
CommMsgT recycled;

// The packet of the frame being processed, kept here rather than built
// afresh for every frame: decoding sets every field it hands on. Used by the
// processing thread alone.
DecodedPacketT decoded;

void searchCards()
{
    getCardInfo();
    findNicCard();
}

void exportFinished(NetSessionT* session) { exportBusinessData(session); }

// The ends of the frames ahead, kept from the look at a frame some frames
// before it is next to the look a little later; by the slot's place in the
// ring, which lies on a page boundary.
constexpr std::uint32_t BUCKET_AHEAD = 4;
constexpr std::uint32_t STATE_AHEAD = 2;
struct AheadT {
    const PacketBuffer* slot;
    bool known;
    IpAddrT src, dst;
    int sport, dport;
} ahead[8];

AheadT& aheadOf(const PacketBuffer* slot) { return ahead[reinterpret_cast<std::uintptr_t>(slot) / sizeof *slot % 8]; }

void prefetchAhead()
{
    if (const PacketBuffer* near = packet_ahead(STATE_AHEAD)) {
        const AheadT& a = aheadOf(near);
        if (a.slot == near && a.known) prefetchSessionState(a.src, a.dst, a.sport, a.dport);
    }
    if (const PacketBuffer* far = packet_ahead(BUCKET_AHEAD)) {
        AheadT& a = aheadOf(far);
        a.slot = far;
        a.known = peekConversation(&far->hdr, far->udata, &a.src, &a.dst, &a.sport, &a.dport);
        if (a.known) prefetchSession(a.src, a.dst, a.sport, a.dport);
    }
}

// The end of a capture file, or of a live capture told to stop: the last
// scan, then every record handed off and what the stores gathered are
// written out.
void finishInput()
{
    if (scanFollowsCapture()) {
        timespec cpu {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        writeLog(1,
                 "end of input: %llu frames read, %llu analysed, %llu lost, %llu empty records skipped; %.3f s of "
                 "processing time, %.3f s of reading; at most %d of %d sessions in one bucket, %llu frames not "
                 "tracked for a full bucket, %llu statements not recorded for want of a slot",
                 static_cast<unsigned long long>(ringInputFrames()),
                 static_cast<unsigned long long>(takenFrames.load()), static_cast<unsigned long long>(ringDropCount()),
                 static_cast<unsigned long long>(fileEmptyRecords()), cpu.tv_sec + cpu.tv_nsec / 1e9,
                 fileReadingSeconds(), sessionBucketPeak(), BUCKET_SESSIONS,
                 static_cast<unsigned long long>(untrackedFrames()),
                 static_cast<unsigned long long>(statementsWithoutRoom()));
        scanInputEnd();
    } else {
        scanCaptureEnd();
    }
    flushExports();
    flushStores();
    // A file's records all go (a server that is down has ten seconds to come
    // back); a live stop has its limit to keep.
    clickhouseFlush(scanFollowsCapture() ? 10000 : 2000);
    if (scanFollowsCapture() && clickhouseOn()) {
        char summary[256];
        clickhouseSummary(summary, sizeof summary);
        writeLog(1, "records to ClickHouse at the end of input%s", summary);
    }
    packet_input_handled();
}

}  // namespace

void processPacket(const pcap_pkthdr* h, const std::uint8_t* sp, const EndpointHintT* endpoint)
{
    DecodedPacketT& p = decoded;
    if (!decodeFrame(h, sp, p, endpoint)) return;
    recycled.sendPkts = 0;
    recycled.rcvdPkts = 0;
    process(p, h, &recycled);
    if (recycled.sendPkts + recycled.rcvdPkts != 0) exportData(&recycled, globalValue.currTime);
}

void connectStages()
{
    setTransactionSink(exportFinished);
    setCardSearchHook(searchCards);
}

int processThread(void*)
{
    handOffRecords();
    while (readOnlyGlobal.runFlag) {
        // Frames are analysed where the ring has them (a copy made by the
        // capture thread, or the capture file's block), then released.
        if (PacketBuffer* slot = packet_peek()) {
            // The sessions of the frames ahead are fetched meanwhile.
            prefetchAhead();
            scanClockTick(slot->hdr.ts.tv_sec);
            if (slot->hdr.caplen > 0) {  // else a time mark
                takenFrames.store(takenFrames.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
                processPacket(&slot->hdr, slot->udata, &slot->endpoint);
                if (readOnlyGlobal.enablePkts) {
                    dumpPkt(&slot->hdr, slot->udata);
                    if (globalValue.flushPkts) {
                        dumpPktEnd();
                        globalValue.flushPkts = 0;
                    }
                }
                exportPacketData(&slot->hdr, slot->udata);
            }
            packet_release();
            continue;
        }
        if (!packet_wait()) {
            finishInput();
            return 0;
        }
    }
    return 0;
}

std::uint64_t ringTakenCount() { return takenFrames.load(std::memory_order_relaxed); }

bool stopCapture(int timeoutMs)
{
    int drain = std::min(captureDrainMs(), timeoutMs);
    platform::sleepMs(drain);
    stopReading();
    return packet_wait_finished(timeoutMs - drain);
}

void logStopLine(const char* cause)
{
    char programs[256], summary[256];
    attributionSummary(programs, sizeof programs);
    clickhouseSummary(summary, sizeof summary);
    writeLog(1,
             "stopped by %s: %llu frames captured, %llu analysed, %llu lost on the full packet ring, %u dropped by "
             "the capture library; %llu statements not recorded for want of a slot%s%s",
             cause, static_cast<unsigned long long>(capturedFrameCount()),
             static_cast<unsigned long long>(ringTakenCount()), static_cast<unsigned long long>(ringDropCount()),
             captureLibraryDrops(), static_cast<unsigned long long>(statementsWithoutRoom()), programs, summary);
}
