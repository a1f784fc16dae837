#include "analysis/session.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "analysis/attribution.h"
#include "analysis/statements.h"

namespace {

// The KPI block runs from sendBytes to loadDelayUsec without gaps; the scan
// clears it whole after every interval.
constexpr std::size_t KPI_BEGIN = offsetof(NetSessionT, sendBytes);
constexpr std::size_t KPI_END = offsetof(NetSessionT, loadDelayUsec) + sizeof(u32);
static_assert(KPI_END - KPI_BEGIN == 42 * sizeof(u32), "the KPI block must stay 42 consecutive counters");

// Of the folded addresses: the same either way round.
u32 endsTag(u32 foldSrc, u32 foldDst, int sport, int dport)
{
    return (foldSrc ^ foldDst) * 0x9E3779B1u ^ static_cast<u32>(sport ^ dport);
}

bool sameEnds(const NetSessionT& s, int proto, const IpAddrT& src, const IpAddrT& dst, int sport, int dport)
{
    // Ports first: in one bucket they tell conversations apart most often,
    // and cost a word each where an address costs four.
    return s.sport == sport && s.dport == dport && s.proto == proto && s.src == src && s.dst == dst;
}

std::atomic<bool> tableShared {true};

// Written by the processing thread alone, read by others.
std::atomic<int> bucketPeak {0};
std::atomic<std::uint64_t> untracked {0};
// Sessions begun (the processing thread's alone) and sessions ended, by a
// recycled slot or by the scan: their difference is the table's use, kept
// here so that no one has to walk the table's 16,384 slots to know it.
std::atomic<std::uint64_t> sessionsBegun {0};
std::atomic<std::uint64_t> sessionsEnded {0};

}  // namespace

int sessionBucketPeak() { return bucketPeak.load(std::memory_order_relaxed); }
std::uint64_t untrackedFrames() { return untracked.load(std::memory_order_relaxed); }

void noteSessionsEnded(int n) { sessionsEnded.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed); }
long sessionsInUse()
{
    // Ended first: every session it counts was begun before the second load.
    std::uint64_t ended = sessionsEnded.load(std::memory_order_relaxed);
    std::uint64_t begun = sessionsBegun.load(std::memory_order_relaxed);
    return begun > ended ? static_cast<long>(begun - ended) : 0;
}

void setSessionTableShared(bool shared) { tableShared.store(shared, std::memory_order_relaxed); }
bool sessionTableShared() { return tableShared.load(std::memory_order_relaxed); }

NetSessionT* findSession(HashNodeT* node, int vid, int proto, const IpAddrT& src, const IpAddrT& dst, int sport,
                         int dport, time_t tstamp, int* direction, CommMsgT* pCommMsg, NetSessionT* pEnded)
{
    *direction = 0;
    NetSessionT* candidate = nullptr;
    int used = 0;  // slots of other conversations that stay
    for (NetSessionT& s : node->session) {
        if (s.valid == 0) {
            if (candidate == nullptr) candidate = &s;
            continue;
        }
        if (sameEnds(s, proto, src, dst, sport, dport)) {
            *direction = 1;
            return &s;
        }
        if (sameEnds(s, proto, dst, src, dport, sport)) {
            *direction = 2;
            return &s;
        }
        // A conversation closed by FIN and quiet for more than a second gives
        // up its slot; its record goes out now, as the scan would not see it.
        if (candidate == nullptr && s.state > 3 && static_cast<long long>(tstamp) - s.lastPktTime.tv_sec > 1) {
            s.valid = 0;
            if (pCommMsg != nullptr) cloneMsgValue(pCommMsg, &s);
            // Its open transaction too, which would otherwise be lost.
            if (pEnded != nullptr && s.type > 0) {
                std::memcpy(static_cast<void*>(pEnded), &s, transactionBytes(s));
                pEnded->valid = 1;
            }
            candidate = &s;
            // Ended here: the packet may still find its own session further on.
            sessionsEnded.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        used++;
    }
    if (candidate == nullptr) {
        untracked.store(untracked.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        return nullptr;
    }
    if (used + 1 > bucketPeak.load(std::memory_order_relaxed)) bucketPeak.store(used + 1, std::memory_order_relaxed);
    sessionsBegun.store(sessionsBegun.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    initSession(candidate, vid, proto, src, dst, sport, dport);
    node->tag[candidate - node->session] = endsTag(ipFold(src), ipFold(dst), sport, dport);
    const HashTableT* table = globalValue.hashTable;
    if (table != nullptr && node >= table->node && node < table->node + HASH_BUCKETS) {
        askProgram(static_cast<int>(node - table->node), static_cast<int>(candidate - node->session), *candidate);
    }
    return candidate;
}

void prefetchSession(const IpAddrT& src, const IpAddrT& dst, int sport, int dport)
{
    const HashTableT* table = globalValue.hashTable;
    if (table == nullptr) return;
    const int bucket = getHashCode(src, dst, sport, dport);
    if (sessionTableShared()) __builtin_prefetch(&table->lock[bucket], 1);
    __builtin_prefetch(table->node[bucket].tag);
}

void prefetchSessionState(const IpAddrT& src, const IpAddrT& dst, int sport, int dport)
{
    const HashTableT* table = globalValue.hashTable;
    if (table == nullptr) return;
    const u32 foldSrc = ipFold(src), foldDst = ipFold(dst);
    const HashNodeT& node = table->node[bucketOf(foldSrc, foldDst, sport, dport)];
    // The lookup reads the keys of every slot up to the session's, or of all
    // when it has none yet; the session step all its counters and times.
    const u32 tag = endsTag(foldSrc, foldDst, sport, dport);
    int found = BUCKET_SESSIONS - 1;
    for (int i = 0; i < BUCKET_SESSIONS; i++) {
        if (node.tag[i] == tag) {
            found = i;
            break;
        }
    }
    for (int i = 0; i <= found; i++) __builtin_prefetch(&node.session[i], 1);
    for (std::size_t at = 64; at < offsetof(NetSessionT, program); at += 64) {
        __builtin_prefetch(reinterpret_cast<const char*>(&node.session[found]) + at, 1);
    }
}

void initSession(NetSessionT* session, int vid, int proto, const IpAddrT& src, const IpAddrT& dst, int sport,
                 int dport)
{
    session->vid = vid;
    session->proto = proto;
    // Until the session step knows better, the higher port is the client.
    if (sport < dport) {
        session->src = dst;
        session->dst = src;
        session->sport = dport;
        session->dport = sport;
    } else {
        session->src = src;
        session->dst = dst;
        session->sport = sport;
        session->dport = dport;
    }
    session->valid = 1;
    session->state = 0;
    session->bytes = 0;
    session->reqSeq = session->resSeq = 0;
    session->reqLen = session->resLen = 0;
    session->reqAckSeq = session->resAckSeq = 0;
    session->lastDirection = 0;
    session->realDirection = 0;
    session->lastPktDirection = 0;
    session->reqTime = {};
    session->lastPktTime = {};
    session->lastPktDirectionTime = {};
    session->firstResTime = {};
    session->resTime = {};
    // The ids of the slot's previous conversation would make packets of this
    // one look like copies.
    std::memset(session->srcFragID, 0, sizeof session->srcFragID);
    std::memset(session->dstFragID, 0, sizeof session->dstFragID);
    session->fragInd1 = session->fragInd2 = 0;
    session->program = 0;
    // busiId and type carry over from the slot's previous
    // conversation; the session step sets type and busiId.
    emptyTransaction(session);
    clearSessionValue(session);
}

void clearSessionValue(NetSessionT* session)
{
    std::memset(reinterpret_cast<unsigned char*>(session) + KPI_BEGIN, 0, KPI_END - KPI_BEGIN);
}

void resetSession(int type, NetSessionT* session)
{
    session->echoSeq = 0;
    session->bytes = 0;
    session->lastDirection = 0;
    session->lastReqTime = {};
    // A database session keeps user and database name learned at login.
    if (type == 1) session->busi.http = HttpSessionT {};
}

void emptyTransaction(NetSessionT* session)
{
    session->echoSeq = 0;
    session->bytes = 0;
    session->resp = 0;
    session->lastReqTime = {};
    // Its handshake, when seen, gives it its own times.
    session->cliHandshakeUsec = session->serHandshakeUsec = 0;
    // Only sessions with an application type write busi (and a type once set
    // stays); the others' is still zero and is left out of the cache.
    if (session->type != 0) std::memset(static_cast<void*>(&session->busi), 0, sizeof session->busi);
    // TLS is a property of the connection, found again on the next one.
    if (session->type == APP_TLS) session->type = 0;
    session->clientSpoke = session->tlsReported = 0;
    // Its statements' slots, if any, went with the copy that ended them.
    session->statements = {};
}

void addSessionDistribute(NetSessionT* session, int len)
{
    if (len <= 64)
        ++session->upTo64;
    else if (len <= 128)
        ++session->upTo128;
    else if (len <= 256)
        ++session->upTo256;
    else if (len <= 512)
        ++session->upTo512;
    else if (len <= 1024)
        ++session->upTo1024;
    else if (len <= 1514)
        ++session->upTo1514;
    else
        ++session->largePkts;
}

int timevalDiffUsec(const timeval& a, const timeval& b)
{
    if (a.tv_sec == 0 || b.tv_sec == 0) return 0;
    // Capture times are 32-bit seconds and the difference wraps in 32 bits;
    // unsigned arithmetic gives that wrap without overflow.
    u32 sec = static_cast<u32>(a.tv_sec) - static_cast<u32>(b.tv_sec);
    u32 usec = static_cast<u32>(a.tv_usec) - static_cast<u32>(b.tv_usec);
    auto diff = static_cast<std::int32_t>(sec * 1000000u + usec);
    return diff < 0 ? 0 : diff;
}

// ---- the record of a session -------------------------------------------------

namespace {

// Bounded copies: a source field need not be terminated; the result always is.
std::size_t textLen(const char* text, std::size_t size) { return strnlen(text, size); }

void copyText(char* out, std::size_t outSize, const char* text, std::size_t textSize)
{
    std::size_t n = std::min(textLen(text, textSize), outSize - 1);
    std::memcpy(out, text, n);
    out[n] = '\0';
}

// Records carry only the head of a URL or statement.
constexpr std::size_t URLSQL_CHARS = 32;

void fillUrlSql(char* out, const NetSessionT& s)
{
    out[0] = '\0';
    std::size_t n = 0;
    if (s.type == 1) {
        const HttpSessionT& http = s.busi.http;
        std::size_t urlLen = textLen(http.url, sizeof http.url);
        if (urlLen == 0) return;
        std::size_t domainLen = std::min(textLen(http.domain, sizeof http.domain), URLSQL_CHARS);
        std::memcpy(out, http.domain, domainLen);
        n = domainLen + std::min(urlLen, URLSQL_CHARS - domainLen);
        std::memcpy(out + domainLen, http.url, n - domainLen);
    } else if (s.type >= 2 && s.type <= 4) {
        n = std::min(textLen(s.busi.db.sql, sizeof s.busi.db.sql), URLSQL_CHARS);
        std::memcpy(out, s.busi.db.sql, n);
    } else if (isPipelinedApp(s.type)) {
        n = std::min(std::strlen(latestStatement(s)), URLSQL_CHARS);
        std::memcpy(out, latestStatement(s), n);
    } else if (s.type == APP_TLS) {
        // The server's name: the list and the query find a conversation by it.
        n = std::min(textLen(s.busi.tls.sni, sizeof s.busi.tls.sni), URLSQL_CHARS);
        std::memcpy(out, s.busi.tls.sni, n);
    }
    out[n] = '\0';
}

}  // namespace

void cloneMsgValue(CommMsgT* pCommMsg, const NetSessionT* pNetSession)
{
    const NetSessionT& s = *pNetSession;
    CommMsgT& m = *pCommMsg;
    // The counters are cleared; the texts are written whole below, so the
    // large text fields need no clearing.
    std::memset(static_cast<void*>(&m), 0, offsetof(CommMsgT, pname));
    m.time = s.lastPktTime.tv_sec;
    m.vid = static_cast<u32>(s.vid);
    m.src = s.src;
    m.dst = s.dst;
    m.proto = static_cast<u32>(s.proto);
    m.sport = static_cast<u32>(s.sport);
    m.dport = static_cast<u32>(s.dport);
    m.sendPkts = s.sendPkts;
    m.rcvdPkts = s.rcvdPkts;
    m.sendTinyPkts = s.sendTinyPkts;
    m.rcvdTinyPkts = s.rcvdTinyPkts;
    // The session speaks of client and server, the record of src and dst.
    m.srcConDelayUsec = s.cliConDelayUsec;
    m.dstConDelayUsec = s.serConDelayUsec;
    m.cntSrcDelay = s.cntCliDelay;
    m.srcDelayUsec = s.cliDelayUsec;
    m.srcRetransDelayUsec = s.cliRetransDelayUsec;
    m.cntDstDelay = s.cntSerDelay;
    m.dstDelayUsec = s.serDelayUsec;
    m.dstRetransDelayUsec = s.serRetransDelayUsec;
    m.connNum = s.connNum;
    m.sendSynPkts = s.sendSynPkts;
    m.rcvdSynPkts = s.rcvdSynPkts;
    m.sendSynAckPkts = s.sendSynAckPkts;
    m.rcvdSynAckPkts = s.rcvdSynAckPkts;
    m.sendRstPkts = s.sendRstPkts;
    m.rcvdRstPkts = s.rcvdRstPkts;
    m.sendFinPkts = s.sendFinPkts;
    m.rcvdFinPkts = s.rcvdFinPkts;
    m.sendRetransmitPkts = s.sendRetransmitPkts;
    m.rcvdRetransmitPkts = s.rcvdRetransmitPkts;
    m.cntCustomDelay = s.cntCustomDelay;
    m.customDelayUsec = s.customDelayUsec;
    m.upTo64 = s.upTo64;
    m.upTo128 = s.upTo128;
    m.upTo256 = s.upTo256;
    m.upTo512 = s.upTo512;
    m.upTo1024 = s.upTo1024;
    m.upTo1514 = s.upTo1514;
    m.largePkts = s.largePkts;
    m.cntSrcWin = s.cntSrcWin;
    m.srcWinSize = s.srcWinSize;
    m.cntDstWin = s.cntDstWin;
    m.dstWinSize = s.dstWinSize;
    m.cntSrcZeroWin = s.cntSrcZeroWin;
    m.cntDstZeroWin = s.cntDstZeroWin;
    m.realDirection = static_cast<u32>(s.realDirection);
    m.cntLoadDelay = s.cntLoadDelay;
    m.loadDelayUsec = s.loadDelayUsec;
    m.sendBytes = s.sendBytes;
    m.rcvdBytes = s.rcvdBytes;
    m.program = s.program;
    m.programBytes = s.program != 0 ? s.sendBytes + s.rcvdBytes : 0;
    m.pname[0] = '\0';  // named when exported, from the program
    copyText(m.busiId, sizeof m.busiId, s.busiId, sizeof s.busiId);
    fillUrlSql(m.urlsql, s);
}

