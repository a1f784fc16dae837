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
#include <thread>

#include "core/util.h"
#include "output/json.h"
#include "output/store.h"
#include "platform/platform.h"

namespace {

FILE* jsonOut = nullptr;
std::atomic<void (*)(const CommMsgT&)> recordObserver {nullptr};
std::atomic<void (*)(const NetSessionT&)> transactionObserver {nullptr};

// Sends one record on the JSON channel, writes it to the JSON store and to
// the probe's own sink, in that order.
void emitRecord(const char* text)
{
    std::size_t len = std::strlen(text);
    if (readOnlyGlobal.isExp) {
        send(globalValue.expSockfd, text, len, MSG_NOSIGNAL);
    }
    if (readOnlyGlobal.enableJson) writeJson(text);
    if (FILE* out = jsonOut) {
        // One write per line, so lines from the two exporting threads never mix.
        static thread_local char line[JSON_RECORD_SIZE + 1];
        std::memcpy(line, text, len);
        line[len] = '\n';
        std::fwrite(line, 1, len + 1, out);
    }
}

bool anySink() { return readOnlyGlobal.isExp || readOnlyGlobal.enableJson || jsonOut != nullptr; }

// (Re)opens a connected UDP socket to addr. Senders load the descriptor
// without a lock, so it is never closed under them: a new socket takes over
// the old one's number at once (dup2), and a channel that cannot be reopened
// is only switched off, its old socket kept until the next switch.
int openChannel(SharedWord<int>& flag, SharedWord<int>& sockfd, const sockaddr_in& addr)
{
    static std::mutex switching;
    std::lock_guard<std::mutex> lk(switching);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
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
    send(globalValue.expPktSockfd, datagram, 8 + caplen, MSG_NOSIGNAL);
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

struct QueuedRecordT {
    int kind;  // 1 pair record, 2 transaction, 99 end of scan
    time_t stamp;
    union {
        CommMsgT pair;
        NetSessionT session;
    };
};

constexpr unsigned QUEUE_RECORDS = 1024;
constexpr unsigned WAKE_RECORDS = 256;
constexpr auto EXPORT_DELAY = std::chrono::milliseconds(20);
QueuedRecordT* queued = new QueuedRecordT[QUEUE_RECORDS];
// The exporting thread waits on them until the process ends: never destroyed.
std::mutex& queueMutex = *new std::mutex;
std::condition_variable& queueFilled = *new std::condition_variable;
std::condition_variable& queueDrained = *new std::condition_variable;
bool urgent = false;        // an end of scan or a flush is waiting
bool exporterIdle = false;  // the exporting thread waits for any record
unsigned queueHead = 0;  // records ever queued
unsigned queueTail = 0;  // of them, written out
thread_local bool handsOff = false;

void writePair(CommMsgT* m)
{
    static thread_local char text[JSON_RECORD_SIZE];
    makeJsonStr(m, text);
    emitRecord(text);
}

void writeTransaction(NetSessionT* s, time_t now)
{
    static thread_local char text[JSON_RECORD_SIZE];
    if (makeTransactionJsonStr(s, now, text) == 0) emitRecord(text);
}

void writeEnd(time_t stamp)
{
    if (readOnlyGlobal.enableJson) writeJsonEnd();
    if (!readOnlyGlobal.isExp && jsonOut == nullptr) return;
    char text[64];
    makeEndJsonStr(text, stamp);
    // The end mark is not stored: the store is flushed instead.
    std::size_t len = std::strlen(text);
    if (readOnlyGlobal.isExp) send(globalValue.expSockfd, text, len, MSG_NOSIGNAL);
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
    unsigned from, to;
    {
        std::lock_guard<std::mutex> lk(queueMutex);
        from = queueTail;
        to = queueHead;
    }
    // Queued records stay where they are until the tail passes them.
    for (unsigned i = from; i != to; i++) {
        QueuedRecordT& r = queued[i % QUEUE_RECORDS];
        if (r.kind == 1) {
            writePair(&r.pair);
        } else if (r.kind == 2) {
            writeTransaction(&r.session, r.stamp);
        } else {
            writeEnd(r.stamp);
        }
    }
    std::lock_guard<std::mutex> lk(queueMutex);
    queueTail = to;
    queueDrained.notify_all();
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
            exporterIdle = true;
            queueFilled.wait(lk, [] { return queueHead != queueTail; });
            exporterIdle = false;
            queueFilled.wait_for(lk, EXPORT_DELAY, [] { return queueHead - queueTail >= WAKE_RECORDS || urgent; });
            urgent = false;
        }
        std::lock_guard<std::mutex> one(consumeMutex);
        consumeQueued();
    }
}

void handOff(int kind, time_t stamp, const void* record, std::size_t size)
{
    static std::once_flag started;
    std::call_once(started, [] { std::thread(exportThread).detach(); });
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(queueMutex);
            if (queueHead - queueTail < QUEUE_RECORDS) {
                QueuedRecordT& r = queued[queueHead % QUEUE_RECORDS];
                r.kind = kind;
                r.stamp = stamp;
                if (size > 0) std::memcpy(static_cast<void*>(&r.pair), record, size);
                queueHead++;
                if (kind == 99) urgent = true;
                if (exporterIdle || queueHead - queueTail == WAKE_RECORDS || urgent) queueFilled.notify_one();
                return;
            }
        }
        // Full: the exporting thread is behind (busy elsewhere, or waiting
        // for a processor). Rather than wait for it, write out the queue here,
        // unless it is doing so right now.
        std::unique_lock<std::mutex> one(consumeMutex, std::try_to_lock);
        if (one.owns_lock()) {
            consumeQueued();
        } else {
            std::unique_lock<std::mutex> lk(queueMutex);
            queueDrained.wait(lk, [] { return queueHead - queueTail < QUEUE_RECORDS; });
        }
    }
}

}  // namespace

void handOffRecords() { handsOff = true; }

void flushExports()
{
    std::unique_lock<std::mutex> lk(queueMutex);
    unsigned target = queueHead;
    urgent = true;
    queueFilled.notify_one();
    queueDrained.wait(lk, [target] { return countReached(queueTail, target); });
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
    auto observe = transactionObserver.load();
    if (!anySink() && observe == nullptr) return 0;
    pNetSession->lid = 0;
    pNetSession->vid = 0;
    pNetSession->did = readOnlyGlobal.did;
    if (observe) observe(*pNetSession);
    if (!anySink()) return 0;
    if (!hasTransaction(*pNetSession)) return -1;
    if (handsOff) {
        // A web transaction has no use for the larger database half.
        std::size_t size = pNetSession->type == 1 ? offsetof(NetSessionT, busi) + sizeof(HttpSessionT)
                                                  : sizeof *pNetSession;
        handOff(2, globalValue.currTime, pNetSession, size);
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
