// Records, limits and the two process-wide records shared by every module.
#pragma once

#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/comm.h"
#include "core/ipaddr.h"
#include "core/pgsql_state.h"
#include "core/redis_state.h"
#include "core/tls_state.h"
#include "core/types.h"

// Table sizes, all fixed and allocated once at start-up.
constexpr int MAX_CARD = 8;
constexpr int MAX_HOST = 64;
constexpr int MAX_MANAGER_ADDR = 64;
constexpr int HASH_BUCKETS = 1024;
constexpr int BUCKET_SESSIONS = 16;
constexpr int PORT_COUNT = 65536;
constexpr int NUM_NETLIST_FIELD = 38;
constexpr int LOG_LINE_SIZE = 4096;
constexpr int LOG_NAME_SIZE = 256;
constexpr int SLOT_DATA = 2048;  // frame bytes a ring slot holds; also the default cut
constexpr int CLICKHOUSE_QUEUE_MB = 256;  // ClickHouse batches kept while the server does not take them

// A word written by one thread and read by others without a lock. Loads
// acquire and stores release, so a word that hands over a record (a card
// selection, a socket) also publishes what was written before it; on x86 both
// are plain moves. Reads and writes look like those of a plain word.
template <typename T>
class SharedWord {
public:
    SharedWord() noexcept : v_(T{}) {}
    SharedWord(T x) noexcept : v_(x) {}  // NOLINT: reads like a plain word
    SharedWord(const SharedWord&) = delete;
    SharedWord& operator=(const SharedWord&) = delete;
    operator T() const noexcept { return v_.load(std::memory_order_acquire); }  // NOLINT
    // Yields the value, so that a = b = 0 chains as with plain words.
    T operator=(T x) noexcept
    {
        v_.store(x, std::memory_order_release);
        return x;
    }
    T fetchAdd(T d) noexcept { return v_.fetch_add(d, std::memory_order_acq_rel); }
    std::atomic<T>& raw() noexcept { return v_; }

private:
    std::atomic<T> v_;
};

// An address written by one thread and read by others without a lock, as
// two words: a read racing a change may take half of the old and half of
// the new address, once.
class SharedIp {
public:
    IpAddrT load() const noexcept
    {
        u64 w[2] = {hi_.load(std::memory_order_acquire), lo_.load(std::memory_order_acquire)};
        IpAddrT a;
        std::memcpy(a.b, w, sizeof a.b);
        return a;
    }
    void store(const IpAddrT& a) noexcept
    {
        u64 w[2];
        std::memcpy(w, a.b, sizeof w);
        hi_.store(w[0], std::memory_order_release);
        lo_.store(w[1], std::memory_order_release);
    }
    bool operator==(const IpAddrT& a) const noexcept { return load() == a; }

private:
    std::atomic<u64> hi_ {0}, lo_ {0};
};

// One monitored endpoint. Aligned to eight so that the lookup reads each
// half of an address in one load.
struct alignas(8) HostInfoT {
    int port;             // server port, 0 = any
    int protoIdx;         // index in the protocol table
    int appType;          // 99 TCP+UDP, 6 TCP, 17 UDP, 1 HTTP, 2 Oracle, 3 MySQL, 4 SQL Server
    int netType;          // 6 TCP, 17 UDP, 99 both
    IpAddrT addressLow;   // inclusive
    IpAddrT addressHigh;
    // The text as entered: room for the longest form, an IPv6 range in
    // brackets with a port (87 characters).
    char addrStr[96];
    char protoStr[32];
    char busiId[32];
};

// One usable network card.
struct CardInfoT {
    char deviceId[32];      // physical address, 12 upper-case hex digits
    char cardName[128];     // capture library's device name
    char address[64];       // its address as text: an IPv4 one, else an IPv6 one
    char displayName[128];  // heading line of the adapter report
    IpAddrT ip;
};

struct HttpSessionT {
    int retcode;
    int response;  // usec, request to first response packet
    int pageload;  // usec, request to latest response packet
    timeval beginTime;
    timeval endTime;
    char url[256];
    char method[8];
    char contentType[64];
    char agent[64];
    char domain[32];
    IpAddrT forward;  // the X-Forwarded-For header's last hop; all zeros without one
};

struct DbSessionT {
    int retcode;
    int response;  // usec, statement to the transaction's latest packet
    int real;      // 1 = the leading keyword met its partner keyword
    timeval beginTime;
    timeval endTime;
    char sql[1024];
    char errMess[128];
    char user[32];
    char dbname[32];
    // A change of database asked for (askedState 1) or taken by the server
    // (2): dbname of the statements from the next one on, as the open one
    // ran in the database before. Fits the padding of NetSessionT.
    char askedDb[32];
    int askedState;
};

// A PostgreSQL or Redis connection's statements waiting for their answers,
// and what its records need besides, kept in slots of a shared pool
// (analysis/statements.h); slot numbers, 0 for none. The session owns the
// slots: a copy that takes them over (an ended session's) ends them.
struct StatementRefsT {
    u32 head, tail;  // statements sent and not yet answered, in order
    u32 lost;        // statements after them that found the pool full, to be answered in turn
    u32 named;       // PostgreSQL: prepared statements and portals
    u32 extra;       // the user, the database, the head of the latest statement
    u16 bare;        // PostgreSQL: ReadyForQuery still due before the head's (a Sync without a statement)
    u8 ready;        // the reader is set up
    u8 record;       // this copy is one statement's record: busi holds it as a database's
};

// One tracked conversation. src is the client, dst the server; counters named
// send* grow with server-to-client packets, rcvd* with client-to-server ones.
struct alignas(64) NetSessionT {
    // The lookup reads valid, the ends and the state of every slot of a
    // bucket: they come first, within one cache line.
    int valid;
    int state;
    int proto;
    IpAddrT src;
    IpAddrT dst;
    int sport;
    int dport;
    timeval lastPktTime;
    int did;
    int lid;
    int vid;
    int bytes;
    int type;
    u32 reqSeq;
    u32 resSeq;
    u32 reqAckSeq;
    u32 resAckSeq;
    u32 echoSeq;  // ICMP: the latest echo sequence number
    int resp;
    int lastPktDirection;
    int reqLen;
    int resLen;
    int lastDirection;
    int realDirection;
    u16 srcFragID[4];
    u16 dstFragID[4];
    // Where the newest id of each direction is in its ring: 0 to 3, small so
    // that the session keeps to its 28 cache lines.
    u8 fragInd1;
    u8 fragInd2;
    u8 clientSpoke;   // the client has sent payload on this connection
    u8 tlsReported;   // its TLS handshake's record has gone out
    u32 lastPktSign;  // the fields of the latest packet, mixed (duplicate detection)
    char busiId[32];
    timeval reqTime;
    timeval lastPktDirectionTime;
    timeval firstResTime;
    timeval resTime;
    timeval lastReqTime;
    // KPI block: 42 consecutive counters, cleared together.
    u32 sendBytes, rcvdBytes;
    u32 sendPkts, rcvdPkts;
    u32 sendTinyPkts, rcvdTinyPkts;
    u32 cliConDelayUsec;
    u32 cntCliDelay, cliDelayUsec;
    u32 serConDelayUsec;
    u32 cntSerDelay, serDelayUsec;
    u32 cliRetransDelayUsec, serRetransDelayUsec;
    u32 sendSynPkts, rcvdSynPkts, sendSynAckPkts, rcvdSynAckPkts, sendRstPkts, rcvdRstPkts;
    u32 sendFinPkts, rcvdFinPkts;
    u32 sendRetransmitPkts, rcvdRetransmitPkts;
    u32 cntCustomDelay, customDelayUsec;
    u32 connNum;
    u32 cntSrcWin, srcWinSize, cntDstWin, dstWinSize;
    u32 upTo64, upTo128, upTo256, upTo512, upTo1024, upTo1514, largePkts;
    u32 cntSrcZeroWin, cntDstZeroWin;
    u32 cntLoadDelay, loadDelayUsec;
    // The connection's handshake times as measured (cliConDelayUsec and
    // serConDelayUsec, which the scan clears with the counters), kept for its
    // transaction records as long as it lives. Written at the handshake only,
    // on the line of the last counters, which every packet touches anyway.
    u32 cliHandshakeUsec, serHandshakeUsec;
    // What a packet's step reads and writes ends here: the rest is read when
    // a record is made, and by packets of a transaction.
    // The local program of the conversation (core/programs.h), 0 while none
    // is known: written by the attribution thread once it has found it.
    u32 program;
    union {
        HttpSessionT http;
        DbSessionT db;
        TlsStateT tls;  // type 7: a connection that began with a TLS handshake
        PgStateT pg;    // type 8 (its records' statements wait in slots: see statements)
        RedisStateT redis;  // type 9
    } busi;
    // Last: only the packets of PostgreSQL and Redis sessions read them.
    StatementRefsT statements;
};

// 1024 x 16 of them: a line more each is a megabyte more of table to fill.
static_assert(sizeof(NetSessionT) <= 28 * 64, "a session takes more than 28 cache lines");

struct HashNodeT {
    NetSessionT session[BUCKET_SESSIONS];
    // A digest of each slot's ends, the same either way round, on a line of
    // its own: what a hint ahead of a packet reads to find its session
    // without a miss per slot. Kept by the processing thread alone; a stale
    // one only misleads a hint.
    alignas(64) u32 tag[BUCKET_SESSIONS];
};

// A bucket's lock, on a cache line of its own.
struct alignas(64) BucketLockT {
    std::mutex hMutex;
};

struct HashTableT {
    // The locks side by side, apart from the sessions: constructing them
    // touches 64 KB, not every page of the table, and they stay in the cache.
    BucketLockT lock[HASH_BUCKETS];
    HashNodeT node[HASH_BUCKETS];
};

// One rotating file store.
struct StoreInfoT {
    char localDir[128];
    char prefix[64];
    char fname[64];
    int fileSize;
    int fileCount;
    int currSize;
    int currInd;
    int hFile;  // open file descriptor, 0 when none
    int card;   // card number in the file names: the selected row + 1 (0: none) the layout was set up for
};

struct ProcessStateT {
    // Wire bytes of untunnelled analysed frames, and the number of those
    // frames, counting round: written by the processing thread alone, with
    // plain stores, and read by the scan, which takes the difference.
    std::atomic<u32> byte;
    std::atomic<u32> pkt;
    int drop;    // retransmissions, under hMutex
    int retran;  // the same, kept by the processing thread alone
    std::mutex hMutex;
};

struct ReadOnlyGlobalT {
    FILE* logfp;
    SharedWord<int> isExp;
    SharedWord<int> isPktExp;
    int isKestrel;
    SharedWord<int> checkHttp;
    SharedWord<int> enableJson;
    SharedWord<int> enablePkts;
    int enableKestrel;
    SharedWord<int> did;
    SharedWord<int> disableRepeat;
    SharedWord<int> sessionTimeOut;
    SharedWord<int> runFlag;
    SharedWord<int> maxLength;
    SharedIp expNumIP;
    SharedIp expPktNumIP;
    SharedIp kestrelNumIP;
    SharedWord<int> expPort;
    SharedWord<int> expPktPort;
    SharedWord<int> kestrelPort;
    // Numbers of the store files in use: set by the store threads, read by
    // whoever saves the configuration.
    SharedWord<int> pktsFileInd;
    SharedWord<int> jsonFileInd;
    char userTmpPath[2048];
    char exeFilePath[2048];
    char findMac[64];
    char hostname[64];
    char hostuser[64];
    int columnShow[NUM_NETLIST_FIELD];
    char exportStrLocalPath[256];
    char exportStrRemotePath[256];
    char exportStrLocalSpace[256];
    char tryExportStrLocalPath[256];
    char tryExportStrRemotePath[256];
    char tryExportStrLocalSpace[256];
    char dumpStrLocalPath[256];
    char dumpStrRemotePath[256];
    char dumpStrLocalSpace[256];
    char dumpStrTrunLen[256];
    char tryDumpStrLocalPath[256];
    char tryDumpStrRemotePath[256];
    char tryDumpStrLocalSpace[256];
    char tryDumpStrTrunLen[256];
    char kestrelStrRemotePath[256];
    // The ClickHouse sink's URL as configured ("" off), and its queue's size.
    char clickhouseUrl[256];
    int clickhouseQueueMb;
    int clickhouseDays;  // days kept in its tables, 0 all
    // Destinations of either family, as resolved; the ...NumIP words above
    // hold their addresses.
    sockaddr_storage expAddress;
    sockaddr_storage expPktAddress;
    sockaddr_storage kestrelAddress;
    SharedWord<int> cntCard;
    // Written only by whoever holds the endpoint writer lock and published
    // through the endpoint table's sequence counter (see util.h).
    SharedWord<int> cntHost;
    HostInfoT hostInfo[MAX_HOST];
    CardInfoT cardInfo[MAX_CARD];

    // JSON store query
    char jsonFileList[1024][64];
    CommMsgT jsonFileComms[30];
    CommMsgT jsonFileCommsExp[4096];
    SharedWord<int> readJsonFileMode;  // 0 = live records, 1 = query results
    int jsonFileCommCnt;
    int jsonFileCommExpCnt;
    int jsonFileCnt;
    int jsonFileStimeList[1024];
    int jsonFileEtimeList[1024];
    SharedWord<u32> queryExpFlag;  // 1 while the CSV save dialog is open
    char queryText[4096];  // a filter of 64 IPv6 addresses fits
    char searchText[1024];
    int queryStime, queryEtime, queryPage, queryMaxPage;

    // Packet playback
    int playStime, playEtime, playMode;
    u32 playTrunLen;
    char playFilter[4096];
    char playVxlanInfo[1024];
    sockaddr_storage playSockAddr;
    int pktFileCnt;
    int pktFileStimeList[1024];
    int pktFileEtimeList[1024];
    char pktFileList[1024][64];

    // The probe's own peers; an entry is written before the count is raised,
    // and never changes after.
    SharedWord<u32> managerAddrCnt;
    IpAddrT managerAddrList[MAX_MANAGER_ADDR];
};

struct GlobalValueT {
    HashTableT* hashTable;
    SharedWord<time_t> currTime;      // capture second of the latest frame
    SharedWord<time_t> realCurrTime;  // the same, the scan's clock for time-outs
    SharedWord<int> selectRow;        // index in cardInfo, -1 = none
    SharedWord<int> newSelect;        // 1 = (re)open the selected card
    int tmpSelect;
    SharedWord<int> expSockfd;
    SharedWord<int> expPktSockfd;
    SharedWord<int> flushPkts;
    int cntProc;
    ProcessStateT processState;
    StoreInfoT siPkts;
    StoreInfoT siJson;
    char confErrorMsg[2048];
};

extern ReadOnlyGlobalT readOnlyGlobal;
extern GlobalValueT globalValue;

// Takes the capture second of the latest frame. Written when it changes only:
// other threads read its cache line for every frame or record.
inline void setCaptureSecond(time_t sec)
{
    if (globalValue.currTime != sec) {
        globalValue.currTime = sec;
        globalValue.realCurrTime = sec;
    }
}
