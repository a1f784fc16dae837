// Export channels: records over UDP to the collector, into the JSON store and
// the probe's own sink, handed off by the processing thread to a thread of
// their own; raw frames over VXLAN.
#include "output/channel.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "analysis/session.h"
#include "analysis/statements.h"
#include "core/programs.h"
#include "core/util.h"
#include "output/clickhouse.h"
#include "output/json.h"
#include "output/store.h"
#include "platform/platform.h"

namespace {

FILE* jsonOut = nullptr;

// Records written out, by record type, and failed sends, by channel: bumped
// by whichever thread writes them out, once per record or failure.
std::atomic<std::uint64_t> exported[100];
std::atomic<std::uint64_t> sendErrors[NUM_CHANNELS];
void countExported(int type)
{
    if (type >= 0 && type < 100) exported[type].fetch_add(1, std::memory_order_relaxed);
}
void sendOn(int channel, int fd, const void* data, std::size_t len)
{
    if (send(fd, data, len, MSG_NOSIGNAL) < 0) sendErrors[channel].fetch_add(1, std::memory_order_relaxed);
}
std::atomic<void (*)(const CommMsgT&)> recordObserver {nullptr};
std::atomic<void (*)(const NetSessionT&)> transactionObserver {nullptr};

// Sends one record on the JSON channel, writes it to the JSON store, to
// the probe's own sink and to ClickHouse, in that order.
void emitRecord(const char* text)
{
    std::size_t len = std::strlen(text);
    clickhouseRecord(text, len);
    if (readOnlyGlobal.isExp) sendOn(CHANNEL_JSON, globalValue.expSockfd, text, len);
    if (readOnlyGlobal.enableJson) writeJson(text);
    if (FILE* out = jsonOut) {
        // One write per line, so lines from the two exporting threads never mix.
        static thread_local char line[JSON_RECORD_SIZE + 1];
        std::memcpy(line, text, len);
        line[len] = '\n';
        std::fwrite(line, 1, len + 1, out);
    }
}

bool anySink() { return readOnlyGlobal.isExp || readOnlyGlobal.enableJson || jsonOut != nullptr || clickhouseOn(); }

// (Re)opens a connected UDP socket to addr, of its family. Senders load the
// descriptor without a lock, so it is never closed under them: a new socket
// takes over the old one's number at once (dup2), whatever the old one's
// family, and a channel that cannot be reopened is only switched off, its old
// socket kept until the next switch.
int openChannel(SharedWord<int>& flag, SharedWord<int>& sockfd, const sockaddr_storage& addr)
{
    static std::mutex switching;
    std::lock_guard<std::mutex> lk(switching);
    int fd = socket(addr.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&addr), sockAddrLen(addr)) != 0) {
        close(fd);
        fd = -1;
    }
    if (fd >= 0 && sockfd >= 0) {
        int moved = dup3(fd, sockfd, O_CLOEXEC);
        close(fd);
        fd = moved;
    }
    if (fd < 0) {
        flag = 0;
        return -1;
    }
    sockfd = fd;
    flag = 1;
    return 0;
}

}  // namespace

int initSocket()
{
    // POSIX sockets need no start-up; both channels start closed.
    globalValue.expSockfd = -1;
    globalValue.expPktSockfd = -1;
    readOnlyGlobal.isExp = 0;
    readOnlyGlobal.isPktExp = 0;
    return 0;
}

int initExpSock() { return openChannel(readOnlyGlobal.isExp, globalValue.expSockfd, readOnlyGlobal.expAddress); }

int initPacketSock()
{
    return openChannel(readOnlyGlobal.isPktExp, globalValue.expPktSockfd, readOnlyGlobal.expPktAddress);
}

int exportPacketData(const pcap_pkthdr* h, const u8* sp)
{
    if (!readOnlyGlobal.isPktExp) return 0;
    // The VXLAN header: the I flag (VNI present) and VNI 200.
    u8 datagram[8 + SLOT_DATA];
    static const u8 header[8] = {0x08, 0, 0, 0, 0x00, 0x00, 0xC8, 0};
    std::size_t caplen = std::min<std::size_t>(h->caplen, SLOT_DATA);
    std::memcpy(datagram, header, sizeof header);
    std::memcpy(datagram + 8, sp, caplen);
    sendOn(CHANNEL_VXLAN, globalValue.expPktSockfd, datagram, 8 + caplen);
    return 0;
}

int openJsonOut(const char* path, char* err, int errSize)
{
    if (std::strcmp(path, "-") == 0) {
        jsonOut = stdout;
        return 0;
    }
    jsonOut = std::fopen(path, "w");
    if (jsonOut == nullptr) {
        std::snprintf(err, errSize, "cannot write records to %s: %s", path, std::strerror(errno));
        return -1;
    }
    // Records come in bursts of thousands at each scan.
    static char buffer[1 << 20];
    std::setvbuf(jsonOut, buffer, _IOFBF, sizeof buffer);
    return 0;
}

void flushJsonOut()
{
    flushExports();
    if (jsonOut != nullptr) std::fflush(jsonOut);
}

std::uint64_t recordsExported(int type)
{
    return type >= 0 && type < 100 ? exported[type].load(std::memory_order_relaxed) : 0;
}
std::uint64_t channelSendErrors(int channel) { return sendErrors[channel].load(std::memory_order_relaxed); }

void setRecordObserver(void (*observer)(const CommMsgT& record)) { recordObserver = observer; }
void setTransactionObserver(void (*observer)(const NetSessionT& session)) { transactionObserver = observer; }

// ---- records handed off -----------------------------------------------------
//
// The processing thread does not render and write out its records as they
// come: it copies each into a queue (the lock held for the copy only), and a
// thread of its own renders, sends and stores them in the order they came.
// When that thread falls behind and the queue is full, the processing thread
// writes out the queue itself, still in order, rather than wait. Other
// threads export directly; no order between threads is promised anyway.

namespace {

// The queue holds the records one after another in a ring of bytes, each
// as long as its useful part: a scan hands over thousands at once, and the
// processing thread must not wait for them to be written out. Each entry
// starts on a line of its own, as the records' alignment wants, with the
// header below in front; an entry never wraps round the ring's end, where a
// filler entry (kind 0) takes the rest instead.
struct QueuedHeadT {
    int kind;  // 1 pair record, 2 transaction, 99 end of scan, 0 filler
    std::uint32_t bytes;  // the whole entry's
    time_t stamp;
};
constexpr std::size_t ENTRY_ALIGN = 64;
constexpr std::size_t QUEUE_BYTES = 8u << 20;
constexpr std::size_t WAKE_BYTES = 128u << 10;
constexpr std::size_t PREFETCH_NEXT = 2048;
constexpr std::size_t RELEASE_BYTES = 256u << 10;
constexpr auto EXPORT_DELAY = std::chrono::milliseconds(20);
constexpr auto IDLE_CHECK = std::chrono::seconds(1);
// Its pages are handed out as the bursts reach them, or ahead of them
// (fillExportQueueAhead).
std::uint8_t* queued = [] {
    void* p = platform::allocTable(QUEUE_BYTES);
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<std::uint8_t*>(p);
}();
// The exporting thread waits on them until the process ends: never destroyed.
std::mutex& queueMutex = *new std::mutex;
std::condition_variable& queueFilled = *new std::condition_variable;
std::condition_variable& queueDrained = *new std::condition_variable;
bool urgent = false;  // an end of scan or a flush is waiting (queueMutex)
// The processing thread is the queue's only producer: it publishes what it
// queued by moving the head, with no lock, since a lock's atomic step would
// wait for the record's copy to reach the cache, a miss a line. The tail
// moves under queueMutex, so that waiting for room is a plain wait.
struct alignas(64) HeadT {
    std::atomic<std::uint64_t> at {0};  // bytes ever queued
    std::uint64_t tailSeen = 0;         // the producer's last look at the tail
};
struct alignas(64) TailT {
    std::atomic<std::uint64_t> at {0};  // of them, written out
    std::atomic<bool> idle {false};     // the exporting thread waits for any record
};
HeadT queueHead;
TailT queueTail;
std::uint64_t pendingBytes()
{
    return queueHead.at.load(std::memory_order_acquire) - queueTail.at.load(std::memory_order_relaxed);
}
thread_local bool handsOff = false;

void writePair(CommMsgT* m)
{
    static thread_local char text[JSON_RECORD_SIZE];
    makeJsonStr(m, text);
    emitRecord(text);
    countExported(1);
}

void writeTransaction(NetSessionT* s, time_t now)
{
    static thread_local char text[JSON_RECORD_SIZE];
    if (makeTransactionJsonStr(s, now, text) == 0) {
        emitRecord(text);
        countExported(applicationOf(s->type)->jsonType);
    }
}

void writeEnd(time_t stamp)
{
    clickhouseEndOfScan();
    if (readOnlyGlobal.enableJson) writeJsonEnd();
    if (anySink()) countExported(99);
    if (!readOnlyGlobal.isExp && jsonOut == nullptr) return;
    char text[64];
    makeEndJsonStr(text, stamp);
    // The end mark is not stored: the store is flushed instead.
    std::size_t len = std::strlen(text);
    if (readOnlyGlobal.isExp) sendOn(CHANNEL_JSON, globalValue.expSockfd, text, len);
    if (FILE* out = jsonOut) {
        text[len] = '\n';
        std::fwrite(text, 1, len + 1, out);
        std::fflush(out);
    }
}

// Writes out the records queued so far, in order. One consumer at a time
// (consumeMutex, taken before queueMutex): the exporting thread, or the
// processing thread when it finds the queue full.
std::mutex& consumeMutex = *new std::mutex;

void consumeQueued()
{
    std::uint64_t from = queueTail.at.load(std::memory_order_relaxed);
    const std::uint64_t to = queueHead.at.load(std::memory_order_acquire);
    // Queued records stay where they are until the tail passes them.
    for (std::uint64_t at = from; at != to;) {
        std::uint8_t* entry = queued + at % QUEUE_BYTES;
        const QueuedHeadT& head = *reinterpret_cast<const QueuedHeadT*>(entry);
        void* record = entry + ENTRY_ALIGN;
        // The next record is asked for while this one is written: its fields
        // are read in no order the processor would foresee, each a miss.
        for (std::size_t off = head.bytes; off < head.bytes + PREFETCH_NEXT; off += 64) {
            __builtin_prefetch(queued + (at + off) % QUEUE_BYTES);
        }
        if (head.kind == 1) {
            writePair(static_cast<CommMsgT*>(record));
        } else if (head.kind == 2) {
            writeTransaction(static_cast<NetSessionT*>(record), head.stamp);
        } else if (head.kind == 99) {
            writeEnd(head.stamp);
        }
        at += head.bytes;
        // The room is given back as it is made, not at the end of the batch:
        // a processing thread that found the queue full goes on at once.
        if (at - from >= RELEASE_BYTES || at == to) {
            {
                std::lock_guard<std::mutex> lk(queueMutex);
                queueTail.at.store(at, std::memory_order_release);
            }
            queueDrained.notify_all();
            from = at;
        }
    }
}

void exportThread()
{
    platform::yieldToCapture();
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(queueMutex);
            // Woken by the first record after an idle spell; then records
            // are taken in batches, and a partial one waits at most
            // EXPORT_DELAY unless an end of scan or a flush is waiting.
            // The producer looks at the idle flag without the lock, and may
            // miss it just as it is raised: the wait is then cut short by the
            // next record, or at the latest by IDLE_CHECK.
            queueTail.idle = true;
            while (!queueFilled.wait_for(lk, IDLE_CHECK, [] { return pendingBytes() != 0; })) {
            }
            queueTail.idle = false;
            queueFilled.wait_for(lk, EXPORT_DELAY, [] { return pendingBytes() >= WAKE_BYTES || urgent; });
            urgent = false;
        }
        std::lock_guard<std::mutex> one(consumeMutex);
        consumeQueued();
    }
}

// Puts an entry at the queue's head when it fits; the producer only.
bool putEntry(int kind, time_t stamp, const void* record, std::size_t size)
{
    const std::size_t bytes = (ENTRY_ALIGN + size + ENTRY_ALIGN - 1) / ENTRY_ALIGN * ENTRY_ALIGN;
    std::uint64_t head = queueHead.at.load(std::memory_order_relaxed);
    const std::size_t room = QUEUE_BYTES - head % QUEUE_BYTES;  // before the end
    const std::size_t filler = bytes > room ? room : 0;
    if (head - queueHead.tailSeen + filler + bytes > QUEUE_BYTES) {
        // Entries are overwritten only once the tail has passed them.
        queueHead.tailSeen = queueTail.at.load(std::memory_order_acquire);
        if (head - queueHead.tailSeen + filler + bytes > QUEUE_BYTES) return false;
    }
    if (filler > 0) {
        *reinterpret_cast<QueuedHeadT*>(queued + head % QUEUE_BYTES) = {0, static_cast<std::uint32_t>(filler), 0};
        head += filler;
    }
    std::uint8_t* entry = queued + head % QUEUE_BYTES;
    *reinterpret_cast<QueuedHeadT*>(entry) = {kind, static_cast<std::uint32_t>(bytes), stamp};
    if (size > 0) std::memcpy(entry + ENTRY_ALIGN, record, size);
    queueHead.at.store(head + bytes, std::memory_order_release);
    return true;
}

void handOff(int kind, time_t stamp, const void* record, std::size_t size)
{
    static std::once_flag started;
    std::call_once(started, [] { std::thread(exportThread).detach(); });
    for (;;) {
        const std::uint64_t before = queueHead.at.load(std::memory_order_relaxed);
        if (putEntry(kind, stamp, record, size)) {
            // The exporting thread is woken when idle, at every WAKE_BYTES
            // queued and for an end of scan; the lock is taken (and let go
            // before the call) so that a wake never falls between its look
            // at the queue and its wait.
            const bool crossed = before / WAKE_BYTES != queueHead.at.load(std::memory_order_relaxed) / WAKE_BYTES;
            if (kind == 99 || crossed || queueTail.idle.load(std::memory_order_relaxed)) {
                {
                    std::lock_guard<std::mutex> lk(queueMutex);
                    if (kind == 99) urgent = true;
                }
                queueFilled.notify_one();
            }
            return;
        }
        // Full: the exporting thread is behind (busy elsewhere, or waiting
        // for a processor). Rather than wait for it, write out the queue here,
        // unless it is doing so right now.
        std::unique_lock<std::mutex> one(consumeMutex, std::try_to_lock);
        if (one.owns_lock()) {
            consumeQueued();
        } else {
            std::unique_lock<std::mutex> lk(queueMutex);
            const std::uint64_t tail = queueTail.at.load(std::memory_order_relaxed);
            queueDrained.wait(lk, [tail] { return queueTail.at.load(std::memory_order_relaxed) != tail; });
        }
    }
}

}  // namespace

void handOffRecords() { handsOff = true; }

void flushExports()
{
    std::unique_lock<std::mutex> lk(queueMutex);
    const std::uint64_t target = queueHead.at.load(std::memory_order_acquire);
    urgent = true;
    queueFilled.notify_one();
    queueDrained.wait(lk, [target] { return queueTail.at.load(std::memory_order_relaxed) >= target; });
}

void fillExportQueueAhead() { platform::fillAhead(queued, QUEUE_BYTES); }

void nameProgram(CommMsgT* m)
{
    if (m->program == 0) return;
    ProgramViewT view;
    programView(m->program, &view);
    std::memcpy(m->pname, view.name, sizeof m->pname);
    m->cpu = view.cpu;
    m->mem = static_cast<u32>(view.mem);
}

int exportData(CommMsgT* pCommMsg, time_t stamp)
{
    auto observe = recordObserver.load();
    if (!anySink() && observe == nullptr) return 0;
    pCommMsg->type = 1;
    pCommMsg->time = stamp;
    pCommMsg->lid = 0;
    pCommMsg->vid = 0;
    pCommMsg->did = static_cast<u32>(static_cast<int>(readOnlyGlobal.did));
    nameProgram(pCommMsg);  // as it is now, for the record and its observer alike
    if (observe) observe(*pCommMsg);
    if (!anySink()) return 0;
    if (handsOff) {
        // Up to the end of the text: the rest of the field is of no use.
        std::size_t size = offsetof(CommMsgT, urlsql) + strnlen(pCommMsg->urlsql, sizeof pCommMsg->urlsql - 1) + 1;
        handOff(1, stamp, pCommMsg, size);
    } else {
        writePair(pCommMsg);
    }
    return 0;
}

int exportBusinessData(NetSessionT* pNetSession)
{
    // An ended PostgreSQL or Redis session: its statements still waiting go
    // out one by one, and its slots are freed, whatever the sinks.
    if (isPipelinedApp(pNetSession->type) && pNetSession->statements.record == 0) {
        endStatements(pNetSession, [](NetSessionT* record) { exportBusinessData(record); });
        return 0;
    }
    auto observe = transactionObserver.load();
    if (!anySink() && observe == nullptr) return 0;
    pNetSession->lid = 0;
    pNetSession->vid = 0;
    pNetSession->did = readOnlyGlobal.did;
    if (observe) observe(*pNetSession);
    if (!anySink()) return 0;
    if (!holdsTransaction(*pNetSession)) return -1;
    if (handsOff) {
        handOff(2, globalValue.currTime, pNetSession, transactionBytes(*pNetSession));
    } else {
        writeTransaction(pNetSession, globalValue.currTime);
    }
    return 0;
}

int exportEndData(time_t stamp)
{
    globalValue.flushPkts = 1;
    if (handsOff) {
        handOff(99, stamp, nullptr, 0);
    } else {
        writeEnd(stamp);
    }
    return 0;
}
