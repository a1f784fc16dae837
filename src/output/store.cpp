// The rotating file stores: a ring of numbered files per store, all claimed
// at set-up, written in turn and reused from number 1 after the last.
#include "output/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/conf.h"
#include "core/util.h"
#include "platform/platform.h"

namespace {

constexpr int MIB = 1 << 20;
constexpr char RECORD_END[] = "\r\n\r\n";
constexpr int RECORD_END_LEN = 4;

struct StoreKindT {
    const char* ext;
    const char* logName;
    const char* what;  // what the store holds, as the log counts it
    int unitMb;        // size of one file
};

const StoreKindT kinds[3] = {{"", "", "", 0}, {"pcap", "pkts", "frames", 50}, {"json", "json", "records", 10}};

// Per store: the lock of its record, held for a write, a switch or the
// hand-over to a new layout (writeJson comes from two threads, set-up from a
// third); and one set-up at a time, which may take long writing blank files.
std::mutex storeLock[3];
std::mutex setUpLock[3];

// Per store, under its lock: the files of the layout in use that its set-ups
// in this run created blank and that were never opened for writing since;
// only these are removed when the store moves to another card's names.
using FileSetT = std::bitset<STORE_MAX_FILES + 1>;
FileSetT unusedBlank[3];

// Per store, under its lock: a run of files that could not be opened at a
// switch, and the frames or records dropped for it.
struct OpenLossT {
    bool failing;
    unsigned long long lost;
};
OpenLossT openLoss[3];

// Per store since start-up: bytes the writer put into files, files opened
// in turn, and writes or opens that failed.
std::atomic<std::uint64_t> bytesWritten[3];
std::atomic<std::uint64_t> switches[3];
std::atomic<std::uint64_t> writeFailures[3];

bool validType(int type)
{
    return type == STORE_PKTS || type == STORE_JSON;
}

StoreInfoT& infoOf(int type)
{
    return type == STORE_PKTS ? globalValue.siPkts : globalValue.siJson;
}

// The file number saved in the settings; guarded by the store's lock here.
SharedWord<int>& savedIndex(int type)
{
    return type == STORE_PKTS ? readOnlyGlobal.pktsFileInd : readOnlyGlobal.jsonFileInd;
}

// Name of file n of the store laid out as si; false when it does not fit.
bool fileName(const StoreInfoT& si, int n, char* out, std::size_t cap)
{
    int len = std::snprintf(out, cap, "%s/%s-%d-%03d.%s", si.localDir, "Wirelane", si.card, n, si.prefix);
    return len > 0 && static_cast<std::size_t>(len) < cap;
}

void put32(u8* p, u32 v)
{
    p[0] = static_cast<u8>(v);
    p[1] = static_cast<u8>(v >> 8);
    p[2] = static_cast<u8>(v >> 16);
    p[3] = static_cast<u8>(v >> 24);
}

// hFile 0 means "no file", so a descriptor 0 (stdin closed) is moved up.
int keepOffZero(int fd)
{
    if (fd != 0) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved;
}

int writeZeros(int fd, off_t size)
{
    static const char zeros[64 * 1024] = {};
    for (off_t done = 0; done < size;) {
        int n = static_cast<int>(std::min<off_t>(sizeof zeros, size - done));
        if (storeFile(fd, zeros, n) != n) return errno != 0 ? errno : EIO;
        done += n;
    }
    return 0;
}

// One blank file of size zero bytes: 0, -2 not created, -3 not filled.
int makeBlank(const char* name, off_t size)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        writeLog(3, "create store file %s failed: %s", name, std::strerror(errno));
        return -2;
    }
    int rc = posix_fallocate(fd, 0, size);
    if (rc == EOPNOTSUPP || rc == EINVAL) {
        errno = 0;
        rc = writeZeros(fd, size);
    }
    close(fd);
    if (rc != 0) {
        writeLog(3, "claim %ld bytes for store file %s failed: %s", static_cast<long>(size), name,
                 std::strerror(rc));
        // A short blank would count as claimed at the next set-up.
        unlink(name);
        return -3;
    }
    return 0;
}

// The missing files of layout si made blank, their numbers added to created.
int writeBlankFiles(const StoreInfoT& si, FileSetT& created)
{
    char name[sizeof si.fname];
    for (int n = 1; n <= si.fileCount; ++n) {
        if (!fileName(si, n, name, sizeof name)) return -1;
        struct stat st;
        if (stat(name, &st) == 0) continue;
        int rc = makeBlank(name, si.fileSize);
        if (rc < 0) return rc;
        created.set(static_cast<std::size_t>(n));
    }
    return 0;
}

// Frames and records are gathered per store in blocks, and the blocks are
// written by a thread of its own: a write call per frame or record would cost
// more than analysing it, and the threads that store must not wait for the
// disk. Each store has a ring of blocks; the one being filled is handed over
// when the next frame or record does not fit, at every flush, at a file
// switch and before a new set-up. The writer takes its jobs in order, so each
// file gets its bytes in order and is flushed and closed after them. Filling
// waits only when every block of the store is still being written.
//
// A block holds whole frames or records only, so that a block that cannot be
// written is cut off the file again and the file ends with a whole one; the
// pcap file header goes with whatever is written first at the start of a file.
constexpr int BLOCK_BYTES = 256 * 1024;
constexpr int BLOCKS = 16;
constexpr int JOBS = 64;

// One job, its steps in this order.
struct JobT {
    int type;
    int fd;
    off_t truncate;  // > 0: empty the file, and claim this many bytes for it
    int len;         // bytes of the store's next block to write, 0 for none
    int records;     // frames or records in the block
    bool sync;
    bool close;
};

// The writer's view of a store's open file.
struct WrittenT {
    off_t size;               // bytes written: whole frames or records (and the pcap header)
    bool failing;             // since the last write that failed, none has succeeded
    unsigned long long lost;  // frames or records lost in this run of failures
};

u8 blocks[3][BLOCKS][BLOCK_BYTES];
// The block being filled, its bytes and the frames or records in it; under
// the store's lock.
u8* filling[3];
int filled[3];
int gathered[3];

// The writer's queue and progress, under writerMutex. The writer thread
// waits on them until the process ends, so they are never destroyed.
std::mutex& writerMutex = *new std::mutex;
std::condition_variable& writerWork = *new std::condition_variable;
std::condition_variable& writerDone = *new std::condition_variable;
JobT jobs[JOBS];
unsigned jobsQueued = 0;  // jobs ever queued
unsigned jobsDone = 0;    // of them, finished
unsigned blocksQueued[3];
unsigned blocksDone[3];
unsigned long long failingLost[3];  // lost in a run of failures not yet over

// Writes head (hlen bytes, 0 for none) and then n bytes of data at offset at:
// the bytes written, all of them unless a write fails (errno says why).
long writeAt(int fd, const u8* head, int hlen, const u8* data, int n, off_t at)
{
    iovec iov[2] = {{const_cast<u8*>(head), static_cast<std::size_t>(hlen)},
                    {const_cast<u8*>(data), static_cast<std::size_t>(n)}};
    iovec* v = hlen > 0 ? iov : iov + 1;
    int count = hlen > 0 ? 2 : 1;
    long done = 0;
    while (count > 0) {
        ssize_t w = count == 1 ? pwrite(fd, v->iov_base, v->iov_len, at + done) : pwritev(fd, v, count, at + done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;  // nothing taken: as good as full
            break;
        }
        done += w;
        for (; count > 0 && static_cast<std::size_t>(w) >= v->iov_len; --count, ++v) {
            w -= static_cast<ssize_t>(v->iov_len);
        }
        if (count > 0) {
            v->iov_base = static_cast<u8*>(v->iov_base) + w;
            v->iov_len -= static_cast<std::size_t>(w);
        }
    }
    return done;
}

// Writes the job's block (and the pcap header at the start of a file) behind
// the file's last whole frame or record; a write that fails or is short is
// cut off again, and what the block held is counted lost.
void writeBlock(const JobT& job, const u8* block, WrittenT& f)
{
    const StoreKindT& kind = kinds[job.type];
    u8 head[PCAP_FILE_HEADER_SIZE];
    const int hlen = job.type == STORE_PKTS && f.size == 0 ? makeHeaderBuf(head) : 0;
    const long done = writeAt(job.fd, head, hlen, block, job.len, f.size);
    if (done == hlen + job.len) {
        f.size += done;
        bytesWritten[job.type].fetch_add(static_cast<std::uint64_t>(done), std::memory_order_relaxed);
        if (f.failing) {
            writeLog(2, "write to the %s store works again: %llu %s lost", kind.logName, f.lost, kind.what);
            f.failing = false;
            f.lost = 0;
        }
        return;
    }
    const int err = errno;
    if (ftruncate(job.fd, f.size) != 0) {
        writeLog(3, "cut the %s store file back to %lld bytes failed: %s", kind.logName,
                 static_cast<long long>(f.size), std::strerror(errno));
    }
    f.lost += static_cast<unsigned>(job.records);
    writeFailures[job.type].fetch_add(1, std::memory_order_relaxed);
    // One line when writing starts to fail, not one per block.
    if (!f.failing) writeLog(3, "write to the %s store failed: %s", kind.logName, std::strerror(err));
    f.failing = true;
}

void writerThread()
{
    platform::yieldToCapture();
    unsigned next = 0;
    unsigned written[3] = {};
    WrittenT state[3] = {};
    for (;;) {
        JobT job;
        {
            std::unique_lock<std::mutex> lk(writerMutex);
            writerWork.wait(lk, [&] { return jobsQueued != next; });
            job = jobs[next % JOBS];
        }
        if (job.truncate > 0) {
            // Emptying a file can wait for the disk (freed blocks may be
            // discarded there and then), so it is done here. Claiming the
            // blocks again at once (beyond the end, which stays where the data
            // ends) keeps the store's space its own and spares every write a
            // block allocation; where the file system cannot, writes allocate.
            if (ftruncate(job.fd, 0) != 0) {
                writeLog(3, "empty the %s store file failed: %s", kinds[job.type].logName, std::strerror(errno));
            }
            fallocate(job.fd, FALLOC_FL_KEEP_SIZE, 0, job.truncate);
            state[job.type].size = 0;
        }
        // A pcap file gets its header before anything else, also when it is
        // flushed or closed before its first frame.
        const bool pcapHeader = job.type == STORE_PKTS && state[job.type].size == 0 && (job.sync || job.close);
        if (job.len > 0 || pcapHeader) {
            const u8* block = job.len > 0 ? blocks[job.type][written[job.type]++ % BLOCKS] : nullptr;
            writeBlock(job, block, state[job.type]);
        }
        if (job.sync) fdatasync(job.fd);
        if (job.close) close(job.fd);
        std::lock_guard<std::mutex> lk(writerMutex);
        next++;
        jobsDone = next;
        if (job.len > 0) blocksDone[job.type]++;
        failingLost[job.type] = state[job.type].failing ? state[job.type].lost : 0;
        writerDone.notify_all();
    }
}

void queueJob(const JobT& job)
{
    static std::once_flag started;
    std::call_once(started, [] { std::thread(writerThread).detach(); });
    std::unique_lock<std::mutex> lk(writerMutex);
    writerDone.wait(lk, [] { return jobsQueued - jobsDone < JOBS; });
    jobs[jobsQueued % JOBS] = job;
    jobsQueued++;
    if (job.len > 0) blocksQueued[job.type]++;
    writerWork.notify_one();
}

// Waits until the writer has done every job queued so far.
void waitForWriter()
{
    std::unique_lock<std::mutex> lk(writerMutex);
    unsigned target = jobsQueued;
    writerDone.wait(lk, [target] { return countReached(jobsDone, target); });
}

// The block being filled, once the writer is done with its last use.
u8* nextBlockLocked(int type)
{
    std::unique_lock<std::mutex> lk(writerMutex);
    writerDone.wait(lk, [type] { return blocksQueued[type] - blocksDone[type] < BLOCKS; });
    return blocks[type][blocksQueued[type] % BLOCKS];
}

// Hands the bytes gathered for the open file to the writer, with a flush to
// disk and a close after them when asked.
void handOverLocked(int type, const StoreInfoT& si, bool sync, bool closeFile)
{
    if (si.hFile <= 0) return;  // nothing is gathered without a file
    queueJob(JobT {type, si.hFile, 0, filled[type], gathered[type], sync, closeFile});
    filled[type] = 0;
    gathered[type] = 0;
}

// Gathers n bytes for the open file; the caller makes room for them.
void gatherLocked(int type, const void* data, int n)
{
    if (n == 0) return;
    if (filled[type] == 0) filling[type] = nextBlockLocked(type);
    std::memcpy(filling[type] + filled[type], data, static_cast<std::size_t>(n));
    filled[type] += n;
}

void closeLocked(int type, StoreInfoT& si)
{
    handOverLocked(type, si, false, true);
    si.hFile = 0;
    si.currSize = 0;
}

// Opens the next file of the ring and saves its number, the store's lock
// held: the packet store's file, 0 for the JSON store, -1 when it cannot be
// opened (logged at the first of a run of failures).
int openNextLocked(int type, StoreInfoT& si)
{
    closeLocked(type, si);
    if (si.fileSize == 0) return -1;  // never set up
    if (si.currInd >= si.fileCount) si.currInd = 0;
    ++si.currInd;
    char name[sizeof si.fname];
    if (!fileName(si, si.currInd, name, sizeof name)) return -1;
    std::memcpy(si.fname, name, sizeof name);
    // Opened here, so that a failure drops this frame or record; emptied by
    // the writer, before the file's first bytes.
    int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) fd = keepOffZero(fd);
    OpenLossT& loss = openLoss[type];
    if (fd < 0) {
        writeFailures[type].fetch_add(1, std::memory_order_relaxed);
        if (!loss.failing) {
            writeLog(3, "open the %s store file %s failed: %s", kinds[type].logName, name, std::strerror(errno));
        }
        loss.failing = true;
        return -1;
    }
    if (loss.failing) {
        writeLog(2, "open the %s store file %s works again: %llu %s lost", kinds[type].logName, name, loss.lost,
                 kinds[type].what);
        loss = {};
    }
    switches[type].fetch_add(1, std::memory_order_relaxed);
    unusedBlank[type].reset(static_cast<std::size_t>(si.currInd));
    savedIndex(type) = si.currInd;
    saveConfSoon();
    queueJob(JobT {type, fd, si.fileSize, 0, 0, false, false});
    si.hFile = fd;
    if (type == STORE_JSON) return 0;
    si.currSize = PCAP_FILE_HEADER_SIZE;  // the writer puts the header first
    return fd;
}

// Appends one frame or record (len bytes at buf, then tailLen at tail);
// frames and records never straddle two files, nor two blocks.
void append(int type, const void* buf, int len, const char* tail, int tailLen)
{
    const int n = len + tailLen;
    if (n > BLOCK_BYTES) {  // none the probe makes comes near: its records are 16 KiB at most
        writeLog(3, "one of %d bytes is too long for the %s store", n, kinds[type].logName);
        return;
    }
    std::lock_guard<std::mutex> lk(storeLock[type]);
    StoreInfoT& si = infoOf(type);
    // The open file, not currSize, tells whether one is in use: a JSON file
    // whose first write failed stays open rather than being skipped.
    if (si.hFile == 0 && openNextLocked(type, si) < 0) {
        if (openLoss[type].failing) openLoss[type].lost++;
        return;
    }
    if (filled[type] + n > BLOCK_BYTES) handOverLocked(type, si, false, false);
    gatherLocked(type, buf, len);
    gatherLocked(type, tail, tailLen);
    gathered[type]++;
    si.currSize += n;
    if (si.currSize > si.fileSize) closeLocked(type, si);
}

// Whether the flush at the end of each scan also waits for the disk. A
// capture file is analysed many periods a second; its stores are synced once,
// at the end.
std::atomic<bool> syncEachFlush {true};

// Hands what the store gathered to the writer, with a flush to disk when
// sync; wait: return only when it is done.
void flushStore(int type, bool sync, bool wait)
{
    {
        std::lock_guard<std::mutex> lk(storeLock[type]);
        handOverLocked(type, infoOf(type), sync, false);
    }
    if (wait) waitForWriter();
}

// Hands the store over to layout si, whose blank files are claimed (those
// made now in created): the open file of the old layout is closed, the next
// write opens the file after the one saved last (read again, as a switch may
// have happened while the blank files were written).
void useLayout(int type, StoreInfoT si, const FileSetT& created)
{
    {
        std::lock_guard<std::mutex> lk(storeLock[type]);
        StoreInfoT& cur = infoOf(type);
        const bool sameFiles = cur.fileSize == si.fileSize && cur.card == si.card &&
                               std::strcmp(cur.localDir, si.localDir) == 0;
        closeLocked(type, cur);
        unusedBlank[type] = sameFiles ? unusedBlank[type] | created : created;
        si.currInd = savedIndex(type);
        cur = si;
    }
    waitForWriter();  // the old layout's last file is complete
}

// Removes the files of layout si that this run made blank and never wrote.
// Each under the store's lock, so that no switch opens one meanwhile; a file
// that is not of blank size is left alone.
void removeUnusedBlanks(int type, const StoreInfoT& si)
{
    char name[sizeof si.fname];
    for (int n = 1; n <= si.fileCount; ++n) {
        std::lock_guard<std::mutex> lk(storeLock[type]);
        if (!unusedBlank[type].test(static_cast<std::size_t>(n))) continue;
        unusedBlank[type].reset(static_cast<std::size_t>(n));
        struct stat st;
        if (!fileName(si, n, name, sizeof name) || stat(name, &st) != 0 || !S_ISREG(st.st_mode) ||
            st.st_size != si.fileSize) {
            continue;
        }
        if (unlink(name) != 0) writeLog(2, "remove unused store file %s failed: %s", name, std::strerror(errno));
    }
}

}  // namespace

int initStore(const char* path, int space, int type)
{
    if (!validType(type) || path == nullptr) return -1;
    const StoreKindT& kind = kinds[type];
    StoreInfoT si {};
    std::size_t n = std::strlen(path);
    if (n > 0 && path[n - 1] == '/') --n;
    if (n >= sizeof si.localDir) {
        writeLog(2, "store directory %s is too long", path);
        return -4;
    }
    std::memcpy(si.localDir, path, n);
    std::snprintf(si.prefix, sizeof si.prefix, "%s", kind.ext);
    si.fileSize = kind.unitMb * MIB;
    si.fileCount = std::clamp(space / kind.unitMb, 0, STORE_MAX_FILES);

    std::lock_guard<std::mutex> oneSetUp(setUpLock[type]);
    si.card = globalValue.selectRow + 1;
    int saved;
    {
        std::lock_guard<std::mutex> lk(storeLock[type]);
        saved = savedIndex(type);
    }
    writeLog(1, "use %s file index %d", kind.logName, saved);

    const char* dir = si.localDir[0] != 0 ? si.localDir : "/";
    struct stat st;
    if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode) || access(dir, X_OK) != 0) {
        writeLog(2, "store directory %s is not an accessible directory", path);
        return -1;
    }
    char name[sizeof si.fname];
    if (!fileName(si, 1, name, sizeof name)) {
        writeLog(2, "store directory %s is too long: its file names must fit in %d characters", path,
                 static_cast<int>(sizeof si.fname) - 1);
        return -4;
    }

    FileSetT created;
    int rc = writeBlankFiles(si, created);
    if (rc < 0) return rc;
    useLayout(type, si, created);
    return 0;
}

void storesFollowCard(int row)
{
    if (row < 0) return;  // no card chosen: the names stay as they are
    for (int type : {STORE_PKTS, STORE_JSON}) {
        std::lock_guard<std::mutex> oneSetUp(setUpLock[type]);
        StoreInfoT si;
        getStoreInfo(type, &si);
        if (si.fileSize == 0 || si.card == row + 1) continue;
        writeLog(1, "the %s store moves from the files of card %d to those of card %d", kinds[type].logName, si.card,
                 row + 1);
        // The old card's blanks go first: both sets at once could take twice the store's space.
        removeUnusedBlanks(type, si);
        StoreInfoT next {};
        std::memcpy(next.localDir, si.localDir, sizeof si.localDir);
        std::memcpy(next.prefix, si.prefix, sizeof si.prefix);
        next.fileSize = si.fileSize;
        next.fileCount = si.fileCount;
        next.card = row + 1;
        FileSetT created;
        // Moved all the same when they cannot be claimed (the reason is
        // logged): the files written must carry the card captured.
        if (writeBlankFiles(next, created) < 0) {
            writeLog(3, "the %s store could not claim the files of card %d", kinds[type].logName, row + 1);
        }
        useLayout(type, next, created);
    }
}

int initStorePkts(const char* path, int space)
{
    int rc = initStore(path, space, STORE_PKTS);
    if (rc == 0) readOnlyGlobal.enablePkts = 1;
    return rc;
}

int initStoreJson(const char* path, int space)
{
    int rc = initStore(path, space, STORE_JSON);
    if (rc == 0) readOnlyGlobal.enableJson = 1;
    return rc;
}

int newFile(int type)
{
    if (!validType(type)) return -1;
    std::lock_guard<std::mutex> lk(storeLock[type]);
    return openNextLocked(type, infoOf(type));
}

void dumpPkt(const pcap_pkthdr* h, const u8* pkt)
{
    ptcs_pkthdr rec;
    rec.tv_sec = static_cast<u32>(h->ts.tv_sec);
    rec.tv_usec = static_cast<u32>(h->ts.tv_usec);
    rec.caplen = std::min<u32>(h->caplen, STORE_MAX_CAPLEN);
    rec.len = std::min<u32>(h->len, rec.caplen);
    u8 buf[sizeof(ptcs_pkthdr) + STORE_MAX_CAPLEN];
    put32(buf, rec.tv_sec);
    put32(buf + 4, rec.tv_usec);
    put32(buf + 8, rec.caplen);
    put32(buf + 12, rec.len);
    std::memcpy(buf + sizeof rec, pkt, rec.caplen);
    append(STORE_PKTS, buf, static_cast<int>(sizeof rec + rec.caplen), nullptr, 0);
}

void dumpPktEnd()
{
    flushStore(STORE_PKTS, syncEachFlush, syncEachFlush);
}

void writeJson(const char* str)
{
    append(STORE_JSON, str, static_cast<int>(std::strlen(str)), RECORD_END, RECORD_END_LEN);
}

void writeJsonEnd()
{
    flushStore(STORE_JSON, syncEachFlush, syncEachFlush);
}

void flushStores()
{
    flushStore(STORE_PKTS, true, false);
    flushStore(STORE_JSON, true, true);
    waitConfSaved();  // the numbers of the files in use
    // Losses not yet told by a line saying that writing or opening works again.
    for (int type : {STORE_PKTS, STORE_JSON}) {
        unsigned long long lost, unopened;
        {
            std::lock_guard<std::mutex> lk(writerMutex);
            lost = failingLost[type];
        }
        {
            std::lock_guard<std::mutex> lk(storeLock[type]);
            unopened = openLoss[type].lost;
        }
        if (lost > 0) {
            writeLog(2, "the %s store has lost %llu %s, and writing still fails", kinds[type].logName, lost,
                     kinds[type].what);
        }
        if (unopened > 0) {
            writeLog(2, "the %s store has lost %llu %s, and its next file still cannot be opened",
                     kinds[type].logName, unopened, kinds[type].what);
        }
    }
}

void setStoreSyncEachFlush(bool sync) { syncEachFlush = sync; }

int writeBlankFile(int type)
{
    if (!validType(type)) return -1;
    std::lock_guard<std::mutex> oneSetUp(setUpLock[type]);
    StoreInfoT si;
    getStoreInfo(type, &si);
    if (si.fileSize == 0) return -1;  // never set up
    FileSetT created;
    int rc = writeBlankFiles(si, created);
    std::lock_guard<std::mutex> lk(storeLock[type]);
    unusedBlank[type] |= created;
    return rc;
}

int storeFile(int hFile, const void* buf, int size)
{
    const char* p = static_cast<const char*>(buf);
    for (int left = size; left > 0;) {
        ssize_t n = write(hFile, p, static_cast<std::size_t>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        p += n;
        left -= static_cast<int>(n);
    }
    return size;
}

int makeHeaderBuf(u8* buf)
{
    put32(buf, 0xA1B2C3D4);  // microsecond stamps
    buf[4] = 2;              // version 2.4
    buf[5] = 0;
    buf[6] = 4;
    buf[7] = 0;
    put32(buf + 8, 0);       // time zone
    put32(buf + 12, 0);      // accuracy
    put32(buf + 16, 65535);  // snapshot length
    put32(buf + 20, 1);      // Ethernet
    return PCAP_FILE_HEADER_SIZE;
}

StoreCountsT storeCounts(int type)
{
    if (!validType(type)) return {};
    return {bytesWritten[type].load(std::memory_order_relaxed), switches[type].load(std::memory_order_relaxed),
            writeFailures[type].load(std::memory_order_relaxed)};
}

int getStoreInfo(int type, StoreInfoT* out)
{
    if (!validType(type)) return -1;
    std::lock_guard<std::mutex> lk(storeLock[type]);
    *out = infoOf(type);
    return 0;
}
