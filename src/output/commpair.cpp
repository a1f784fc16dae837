#include "output/commpair.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "core/global_define.h"

CommPairHashTableT* pHashTable = nullptr;

int initCommPair()
{
    pHashTable = new (std::nothrow) CommPairHashTableT();
    return pHashTable != nullptr ? 0 : -1;
}

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
    copyText(m.pname, sizeof m.pname, s.pname, sizeof s.pname);
    copyText(m.busiId, sizeof m.busiId, s.busiId, sizeof s.busiId);
    fillUrlSql(m.urlsql, s);
}

#include "output/data.h"

void mergeCommPair(CommMsgT* dst, const CommMsgT* src)
{
    if (dst->type == 0) {
        // A pair stands for the server endpoint and the client host over all
        // client ports.
        *dst = *src;
        dst->type = 1;
        dst->sport = 0;
        return;
    }
    // The 38 counters from sendPkts to cntDstZeroWin lie side by side; sums
    // of microseconds stay sums, averages are formed when rendered.
    constexpr std::size_t first = offsetof(CommMsgT, sendPkts);
    constexpr std::size_t last = offsetof(CommMsgT, cntDstZeroWin);
    static_assert((last - first) / sizeof(u32) + 1 == 38, "the counter block of CommMsgT changed");
    auto* to = reinterpret_cast<unsigned char*>(dst);
    const auto* from = reinterpret_cast<const unsigned char*>(src);
    for (std::size_t off = first; off <= last; off += sizeof(u32)) {
        u32 a, b;
        std::memcpy(&a, to + off, sizeof a);
        std::memcpy(&b, from + off, sizeof b);
        a += b;  // wraps, as the counters do
        std::memcpy(to + off, &a, sizeof a);
    }
    dst->cntLoadDelay += src->cntLoadDelay;
    dst->loadDelayUsec += src->loadDelayUsec;
    dst->sendBytes += src->sendBytes;
    dst->rcvdBytes += src->rcvdBytes;
}

void putCommpairSession(const CommMsgT* pCommMsg)
{
    CommPairHashNodeT& node = pHashTable->node[(pCommMsg->src + pCommMsg->dst) & (PAIR_BUCKETS - 1)];
    for (CommMsgT& slot : node.commpair) {
        bool same = slot.type != 0 &&
                    ((pCommMsg->src == slot.src && pCommMsg->dst == slot.dst && pCommMsg->dport == slot.dport) ||
                     (pCommMsg->src == slot.dst && pCommMsg->dst == slot.src && pCommMsg->dport == slot.sport));
        if (slot.type == 0 || same) {
            mergeCommPair(&slot, pCommMsg);
            return;
        }
    }
}

void exportCommpairData(time_t tcurr)
{
    for (CommPairHashNodeT& node : pHashTable->node) {
        for (CommMsgT& slot : node.commpair) {
            if (slot.type == 0) break;  // used slots form a prefix
            exportData(&slot, tcurr);
            slot.type = 0;
        }
    }
}

void eraseCommpairTable()
{
    for (CommPairHashNodeT& node : pHashTable->node) {
        for (CommMsgT& slot : node.commpair) slot.type = 0;
    }
}
