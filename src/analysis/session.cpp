#include "analysis/session.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "output/commpair.h"

namespace {

// The KPI block runs from sendBytes to loadDelayUsec without gaps; the scan
// clears it whole after every interval.
constexpr std::size_t KPI_BEGIN = offsetof(NetSessionT, sendBytes);
constexpr std::size_t KPI_END = offsetof(NetSessionT, loadDelayUsec) + sizeof(u32);
static_assert(KPI_END - KPI_BEGIN == 42 * sizeof(u32), "the KPI block must stay 42 consecutive counters");

bool sameEnds(const NetSessionT& s, int proto, u32 src, u32 dst, int sport, int dport)
{
    return s.proto == proto && s.src == src && s.sport == sport && s.dst == dst && s.dport == dport;
}

}  // namespace

int getHashCode(u32 src, u32 dst, int sport, int dport)
{
    // A sum, so that both directions of a conversation meet in one bucket.
    // Unsigned, so that odd port values cannot make the index negative.
    u32 sum = (src & 1023u) + (dst & 1023u) + static_cast<u32>(sport) + static_cast<u32>(dport);
    return static_cast<int>(sum % HASH_BUCKETS);
}

NetSessionT* findSession(HashNodeT* node, int vid, int proto, u32 src, u32 dst, int sport, int dport,
                         time_t tstamp, int* direction, CommMsgT* pCommMsg, NetSessionT* pEnded)
{
    *direction = 0;
    NetSessionT* candidate = nullptr;
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
                *pEnded = s;
                pEnded->valid = 1;
            }
            candidate = &s;
        }
    }
    if (candidate == nullptr) return nullptr;
    initSession(candidate, vid, proto, src, dst, sport, dport);
    return candidate;
}

void initSession(NetSessionT* session, int vid, int proto, u32 src, u32 dst, int sport, int dport)
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
    // pname, busiId, type, forward, resp, the id rings and busi carry over from
    // the slot's previous conversation; the session step sets type and busiId.
    clearSessionValue(session);
}

void clearSessionValue(NetSessionT* session)
{
    std::memset(reinterpret_cast<unsigned char*>(session) + KPI_BEGIN, 0, KPI_END - KPI_BEGIN);
}

void resetSession(int type, NetSessionT* session)
{
    session->forward = 0;
    session->bytes = 0;
    session->lastDirection = 0;
    session->lastReqTime = {};
    // A database session keeps user and database name learned at login.
    if (type == 1) session->busi.http = HttpSessionT {};
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
