// The session step: one decoded packet into its conversation's state and KPIs.
#include "analysis/track.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string_view>

#include "analysis/session.h"
#include "analysis/statements.h"
#include "analysis/tls.h"
#include "analysis/transaction.h"
#include "core/util.h"

namespace {

constexpr u8 TCP_FIN = 0x01;
constexpr u8 TCP_SYN = 0x02;
constexpr u8 TCP_RST = 0x04;
constexpr u8 TCP_ACK = 0x10;
constexpr u8 SYN_ONLY = TCP_SYN;
constexpr u8 SYN_ACK = TCP_SYN | TCP_ACK;
constexpr u8 PURE_ACK = TCP_ACK;

constexpr int PROTO_TCP = 6;

// Samples beyond these are taken for gaps in the capture, not delays (usec).
constexpr int MAX_NET_DELAY = 5000000;
constexpr int MAX_APP_DELAY = 60000000;

// Two copies of one frame (a mirror port, two bridged cards) come within
// microseconds; a sender's own identical re-send waits for a timer
// (milliseconds for a loss probe, 200 ms for a retransmission, a second for
// a SYN-ACK).
constexpr int COPY_WINDOW_USEC = 500;

bool synWithoutAck(u8 flags) { return (flags & TCP_SYN) != 0 && (flags & TCP_ACK) == 0; }

int capped(int usec, int limit) { return usec > limit ? 0 : usec; }

// Whether a connection of the endpoint is looked at for a TLS handshake:
// those of TCP, TCP & UDP and HTTP endpoints, and every one while none is
// set. The database protocols have handshakes of their own.
bool readsTls(const HostInfoT* endpoint)
{
    if (endpoint == nullptr) return readOnlyGlobal.cntHost == 0;
    return endpoint->appType == 99 || endpoint->appType == 6 || endpoint->appType == APP_HTTP;
}

// Endpoint entry index as a consistent copy; the copies are kept while the
// table does not change, one per entry, as frames of a few endpoints come
// interleaved.
const HostInfoT* findEndpoint(int index)
{
    if (index < 0) return nullptr;
    static thread_local HostInfoT copies[MAX_HOST];
    static thread_local unsigned copyVersion[MAX_HOST];  // the table's version + 1 when copied
    // Read before the copy: a change meanwhile makes the next frame copy again.
    unsigned version = hostTableVersion();
    if ((version & 1) != 0 || copyVersion[index] != version + 1) {
        copyVersion[index] = 0;
        if (getHostEntry(index, &copies[index]) != 0) return nullptr;
        if ((version & 1) == 0) copyVersion[index] = version + 1;
    }
    return &copies[index];
}

// Every frame: one fixed copy of the field, as wide as the session's, and
// a terminator at its end; what follows the entry's terminator is not read.
void copyBusiId(NetSessionT* session, const HostInfoT& host)
{
    static_assert(sizeof session->busiId == sizeof host.busiId);
    std::memcpy(session->busiId, host.busiId, sizeof session->busiId);
    session->busiId[sizeof session->busiId - 1] = '\0';
}

// One network delay sample: d1 is the time the acknowledging side took, d2
// that time or, when the data it acknowledges was retransmitted, the time
// since the first copy was sent, whichever is larger.
void networkDelay(const NetSessionT& s, const timeval& ts, u32* sum, u32* retransSum, u32* count)
{
    int d1 = capped(timevalDiffUsec(ts, s.lastPktTime), MAX_NET_DELAY);
    int d2 = capped(timevalDiffUsec(s.lastPktTime, s.lastPktDirectionTime), MAX_NET_DELAY);
    if (d2 < d1) d2 = d1;
    *sum += static_cast<u32>(d1);
    *retransSum += static_cast<u32>(d2);
    if (d1 > 0 || d2 > 0) ++*count;
}

bool isRetransmission(const NetSessionT& s, u32 seq, int payloadLen, u32 lastSeq, int lastLen)
{
    // A one-byte segment is a keep-alive or window probe, not a resend.
    if (s.proto != PROTO_TCP || payloadLen < 2) return false;
    return seq < lastSeq || (seq == lastSeq && payloadLen == lastLen);
}

// What tells a TCP segment from the one before it, in one word.
u32 packetSign(u32 seq, u32 ackSeq, u8 tcpFlag, int winSize, int payloadLen, int bytes)
{
    u64 a = (static_cast<u64>(seq) << 32) | ackSeq;
    u64 b = (static_cast<u64>(tcpFlag) << 56) ^ (static_cast<u64>(static_cast<u32>(winSize)) << 24) ^
            (static_cast<u64>(static_cast<u32>(payloadLen)) << 32) ^ static_cast<u32>(bytes);
    return static_cast<u32>(((a ^ (b * 0x9E3779B97F4A7C15ull)) * 0xC2B2AE3D27D4EB4Full) >> 32);
}

// A packet captured twice: its IPv4 identification is among the last four
// of its direction (id 0, which many stacks send with DF set, proves
// nothing), or, with id 0 (Linux sends every SYN-ACK so), it is a TCP
// segment equal to the one just before it in the session.
bool isCopy(NetSessionT* s, int direction, u16 frag, u32 sign, const timeval& ts)
{
    if (!readOnlyGlobal.disableRepeat) return false;
    if (isRepeat(s, direction, frag) == 1 && frag != 0) return true;
    return frag == 0 && s->proto == PROTO_TCP && direction == s->lastPktDirection && sign == s->lastPktSign &&
           timevalDiffUsec(ts, s->lastPktTime) <= COPY_WINDOW_USEC;
}

std::atomic<void (*)(NetSessionT*)> transactionSink {nullptr};

void sendFinished(NetSessionT* session)
{
    if (auto sink = transactionSink.load(std::memory_order_relaxed))
        sink(session);
    else if (ownsStatements(*session))
        endStatements(session, nullptr);
}

}  // namespace

void setTransactionSink(void (*sink)(NetSessionT* session)) { transactionSink = sink; }

void process(const DecodedPacketT& p, const pcap_pkthdr* h, CommMsgT* pCommMsg)
{
    HashTableT* table = globalValue.hashTable;
    if (table == nullptr) return;
    // Taken once: the calls below could write the record for all the compiler
    // knows, and would make it read every field again after each.
    const int vid = p.vid, proto = p.proto, sport = p.sport, dport = p.dport;
    const IpAddrT src = p.src, dst = p.dst;
    const u32 seq = p.seq, ackSeq = p.ackSeq;
    const u8 tcpFlag = p.tcpFlag;
    const u16 frag = p.frag;
    const u8* const payload = p.payload;
    const int payloadLen = p.payloadLen, capLen = p.capLen, winSize = p.winSize, host = p.host;
    // Counters and sequence tests go by the length on the wire; whatever reads
    // the bytes gets only those that were captured.
    int readable = payload == nullptr ? 0 : std::min(payloadLen, capLen);
    if (readable < 0) readable = 0;

    const int tiny = payloadLen < 1 ? 1 : 0;
    const int rst = (tcpFlag & TCP_RST) != 0 ? 1 : 0;
    const u32 fin = (tcpFlag & TCP_FIN) != 0 ? 1 : 0;
    const int bytes = static_cast<int>(h->len);
    const timeval ts = h->ts;

    // The endpoint table has its own lock-free readers; look it up before the
    // bucket is locked so that no two locks are ever held together.
    const HostInfoT* endpoint =
        findEndpoint(host != -2 ? host : findEndpointIndex(p.src, sport, p.dst, dport, proto));

    // Receives a copy of the session when a transaction finishes. Only valid is
    // set here: the record is large and this runs for every frame.
    NetSessionT oneSession;
    oneSession.valid = 0;
    // Receives a recycled session with its open transaction, or the open
    // transaction a new connection on the same ports ends; exported on every
    // way out, after the bucket's lock is released.
    NetSessionT ended;
    ended.valid = 0;
    struct ExportEnded {
        NetSessionT& session;
        ~ExportEnded()
        {
            if (session.valid == 1) sendFinished(&session);
        }
    } exportEnded {ended};
    int retran = 0;
    bool stepped = false;  // a PostgreSQL or Redis segment was read: its answered statements go out

    const int bucket = getHashCode(src, dst, sport, dport);
    HashNodeT* node = &table->node[bucket];
    {
        std::unique_lock<std::mutex> lock = lockBucket(*table, bucket);
        int direction = 0;
        NetSessionT* s = findSession(node, vid, proto, src, dst, sport, dport, ts.tv_sec, &direction, pCommMsg,
                                     &ended);
        if (s == nullptr) return;  // bucket full: not tracked
        // The step below reads and writes the session's counters, times and
        // sequence numbers, several cache lines apart: ask for them together
        // rather than one miss after another.
        for (std::size_t at = 64; at < offsetof(NetSessionT, program); at += 64) {
            __builtin_prefetch(reinterpret_cast<const char*>(s) + at, 1);
        }
        // A copy is ignored before anything of it is taken in.
        const u32 sign = proto == PROTO_TCP ? packetSign(seq, ackSeq, tcpFlag, winSize, payloadLen, bytes) : 0;
        if (direction != 0 && isCopy(s, direction, frag, sign, ts)) return;

        int type = 0;
        if (endpoint != nullptr) {
            copyBusiId(s, *endpoint);
            if (isEndpointApp(endpoint->appType)) type = endpoint->appType;
        }
        if (s->type == APP_TLS) {
            type = APP_TLS;  // its bytes are encrypted, whatever the endpoint says
        } else if (direction == 1 && proto == PROTO_TCP && payloadLen > 0 && s->clientSpoke == 0 &&
                   readsTls(endpoint) && tlsStarts(payload, readable)) {
            type = APP_TLS;
            std::memset(static_cast<void*>(&s->busi.tls), 0, sizeof s->busi.tls);
            tlsInit(&s->busi.tls);
        }
        if (direction == 1 && payloadLen > 0) s->clientSpoke = 1;
        if (type == 0) type = s->type;
        if (type == 0 && proto == PROTO_TCP && payloadLen > 0) type = checkAppType(payload, readable);
        // Read as another application from now on (its endpoint changed):
        // the statements waiting end with what the connection was.
        if (type != s->type && isPipelinedApp(s->type)) {
            if (ended.valid == 0)
                handOverStatements(s, &ended);
            else
                endStatements(s, nullptr);
            s->statements = {};
            // Nothing of the reader's state may pass for the new application's.
            std::memset(static_cast<void*>(&s->busi), 0, sizeof s->busi);
        }
        s->type = type;

        if (proto == 1 || proto == 58) processIcmp(s, src, h, payload, readable);

        if (direction == 0) {
            // Roles: a SYN or SYN-ACK tells who the client is; without SYN the
            // sender of the first packet is taken for it.
            const bool reply = tcpFlag == SYN_ACK;
            const bool handshake = reply || tcpFlag == SYN_ONLY;
            if (handshake || ((tcpFlag & TCP_SYN) == 0 && sport < dport)) {
                s->src = reply ? dst : src;
                s->sport = reply ? dport : sport;
                s->dst = reply ? src : dst;
                s->dport = reply ? sport : dport;
            }
            if (handshake) s->realDirection = 1;
            // Ports too: on loopback both ends share one address.
            direction = dst == s->src && dport == s->sport ? 2 : 1;
            processFirstPacket(s, proto, seq, ackSeq, h, tcpFlag, tiny, direction, payloadLen, winSize);
            // Remembered, so that its copy is known as one.
            isRepeat(s, direction, frag);
            s->lastPktSign = sign;
            return;
        }

        // A SYN on a known conversation opens a new connection on the same
        // ports: it starts its numbering afresh, and (a retransmitted SYN finds
        // the transaction empty) the open transaction ends with its own
        // connection's values, as at a session's end, and the new connection
        // starts with none, whatever its type (one without a type yet may be
        // found to speak HTTP later).
        if (tcpFlag == SYN_ONLY) {
            s->reqSeq = s->resSeq = 0;
            s->reqLen = s->resLen = 0;
            s->reqAckSeq = s->resAckSeq = 0;
            if (holdsTransaction(*s) || ownsStatements(*s)) {
                std::memcpy(static_cast<void*>(&ended), s, transactionBytes(*s));
                ended.valid = 1;
            }
            emptyTransaction(s);
        }

        processStateAndAck(s, direction, seq, ackSeq, ts, tcpFlag);

        int prev = s->lastDirection;
        if (payloadLen > 0) processPayload(s, direction, seq, ts, tcpFlag, payloadLen, &retran);

        if (retran == 0) {
            stepped = payloadLen > 0 && isPipelinedApp(s->type);
            if (stepped)
                statementStep(s, direction, seq, ts, payload, readable, payloadLen, bytes);
            else if (payloadLen > 0)
                processBusiness(s, seq, s->type, direction, ts, payload, readable, &oneSession, prev);
            s->bytes += bytes;
        } else {
            ++globalValue.processState.retran;  // written by this thread alone
        }

        const bool tcp = proto == PROTO_TCP;
        if (direction == 1) {
            ++s->rcvdPkts;
            s->rcvdBytes += static_cast<u32>(bytes);
            s->rcvdTinyPkts += tiny;
            s->rcvdRstPkts += rst;
            if (tcp) {
                s->rcvdFinPkts += fin;
                s->reqLen = payloadLen;
                s->reqSeq = seq;
                if (winSize == 0) ++s->cntSrcZeroWin;
            }
        } else {
            ++s->sendPkts;
            s->sendBytes += static_cast<u32>(bytes);
            s->sendTinyPkts += tiny;
            s->sendRstPkts += rst;
            if (tcp) {
                s->sendFinPkts += fin;
                s->resLen = payloadLen;
                s->resSeq = seq;
                if (winSize == 0) ++s->cntDstZeroWin;
            }
        }
        s->lastPktTime = ts;
        s->lastPktDirection = direction;
        s->lastPktSign = sign;
        addSessionDistribute(s, bytes);
    }

    if (oneSession.valid == 1) sendFinished(&oneSession);
    if (stepped) sendAnswered(sendFinished);
    if (retran != 0) {
        std::lock_guard<std::mutex> lock(globalValue.processState.hMutex);
        ++globalValue.processState.drop;
    }
}

void processFirstPacket(NetSessionT* session, int proto, u32 seq, u32 ackSeq, const pcap_pkthdr* h, u8 tcpFlag,
                        int tiny, int direction, int payloadLen, int winSize)
{
    NetSessionT& s = *session;
    // UDP and ICMP carry no flags and land in state 3 like a TCP pick-up.
    s.state = 3;
    if (tcpFlag == SYN_ONLY) s.state = 1;
    if (tcpFlag == SYN_ACK) s.state = 2;
    if ((tcpFlag & TCP_FIN) != 0) s.state = 4;

    const u32 syn = synWithoutAck(tcpFlag) ? 1 : 0;
    const u32 synAck = tcpFlag == SYN_ACK ? 1 : 0;
    const u32 rst = (tcpFlag & TCP_RST) != 0 ? 1 : 0;
    const bool fin = (tcpFlag & TCP_FIN) != 0;
    const bool zeroWin = proto == PROTO_TCP && winSize == 0;
    const u32 len = h->len;

    if (direction == 1) {
        ++s.rcvdPkts;
        s.rcvdBytes += len;
        s.rcvdTinyPkts += static_cast<u32>(tiny);
        s.rcvdSynPkts += syn;
        s.rcvdSynAckPkts += synAck;
        s.rcvdRstPkts += rst;
        if (fin) ++s.rcvdFinPkts;
        s.reqSeq = seq;
        s.reqAckSeq = ackSeq;
        s.reqLen = payloadLen;
        if (zeroWin) ++s.cntSrcZeroWin;
    } else {
        ++s.sendPkts;
        s.sendBytes += len;
        s.sendTinyPkts += static_cast<u32>(tiny);
        s.sendSynPkts += syn;
        s.sendSynAckPkts += synAck;
        s.sendRstPkts += rst;
        if (fin) ++s.sendFinPkts;
        s.resSeq = seq;
        s.resAckSeq = ackSeq;
        s.resLen = payloadLen;
        if (zeroWin) ++s.cntDstZeroWin;
    }
    s.lastPktDirection = direction;
    s.lastPktTime = h->ts;
    s.lastPktDirectionTime = h->ts;
    addSessionDistribute(session, static_cast<int>(len));
}

void processStateAndAck(NetSessionT* session, int direction, u32 seq, u32 ackSeq, const timeval& ts, u8 tcpFlag)
{
    NetSessionT& s = *session;
    if (s.proto != PROTO_TCP) return;

    if (synWithoutAck(tcpFlag)) {
        ++s.rcvdSynPkts;
        s.state = 1;
        return;
    }
    if (tcpFlag == SYN_ACK) ++s.sendSynAckPkts;
    if ((tcpFlag & TCP_FIN) != 0) {
        // The first FIN and any after it; the session step counts them.
        s.state = s.state <= 3 ? 4 : 5;
        return;
    }
    if (tcpFlag == SYN_ACK && s.state == 1) {
        s.serConDelayUsec = static_cast<u32>(capped(timevalDiffUsec(ts, s.lastPktTime), MAX_NET_DELAY));
        s.serHandshakeUsec = s.serConDelayUsec;
        s.state = 2;
        s.resSeq = seq;
        return;
    }
    if (tcpFlag == PURE_ACK && s.state == 2) {
        s.state = 3;
        s.cliConDelayUsec = static_cast<u32>(capped(timevalDiffUsec(ts, s.lastPktTime), MAX_NET_DELAY));
        s.cliHandshakeUsec = s.cliConDelayUsec;
        ++s.connNum;
        s.reqSeq = seq;
        return;
    }
    if ((tcpFlag & TCP_RST) != 0) return;
    // Delays are sampled only on the first packet after a change of direction.
    if (direction == s.lastPktDirection) return;

    // Sequence numbers compare plainly, without allowance for wrap-around.
    if (direction == 1) {
        if (ackSeq <= s.reqAckSeq) return;
        if (ackSeq > s.resSeq) {
            if (s.lastDirection != 1 && s.resLen > 0)
                networkDelay(s, ts, &s.cliDelayUsec, &s.cliRetransDelayUsec, &s.cntCliDelay);
            s.reqAckSeq = ackSeq;
        }
    } else if (direction == 2) {
        if (ackSeq <= s.resAckSeq || ackSeq <= s.reqSeq) return;
        if (s.lastDirection != 2 && s.reqLen > 0)
            networkDelay(s, ts, &s.serDelayUsec, &s.serRetransDelayUsec, &s.cntSerDelay);
        s.resAckSeq = ackSeq;
    }
}

void processPayload(NetSessionT* session, int direction, u32 seq, const timeval& ts, u8, int payloadLen,
                    int* retran)
{
    NetSessionT& s = *session;
    if (direction != 1 && direction != 2) return;
    const bool tcp = s.proto == PROTO_TCP;
    bool resent = false;

    if (direction == 1) {
        if (isRetransmission(s, seq, payloadLen, s.reqSeq, s.reqLen)) {
            ++s.rcvdRetransmitPkts;
            resent = true;
        }
        s.reqSeq = seq;
        s.reqTime = ts;
        if (tcp && s.lastDirection == 2) {
            // The server's previous response took from its first to its last
            // payload packet to arrive.
            int d = capped(timevalDiffUsec(s.resTime, s.firstResTime), MAX_APP_DELAY);
            if (d > 0) {
                ++s.cntLoadDelay;
                s.loadDelayUsec += static_cast<u32>(d);
            }
        }
    } else {
        if (isRetransmission(s, seq, payloadLen, s.resSeq, s.resLen)) {
            ++s.sendRetransmitPkts;
            resent = true;
        }
        s.resSeq = seq;
        if (s.lastDirection == 1) {
            int d = capped(timevalDiffUsec(ts, s.reqTime), MAX_APP_DELAY);
            if (d > 0) {
                s.customDelayUsec += static_cast<u32>(d);
                ++s.cntCustomDelay;
            }
            s.firstResTime = ts;
        }
        s.resTime = ts;
    }
    if (resent)
        *retran = 1;
    else
        s.lastPktDirectionTime = ts;
    s.lastDirection = direction;
}

int isRepeat(NetSessionT* session, int direction, u16 frag)
{
    u16* ids = direction == 1 ? session->srcFragID : session->dstFragID;
    u8* index = direction == 1 ? &session->fragInd1 : &session->fragInd2;
    int i = *index & 3;
    for (int k = 0; k < 4; ++k) {
        if (ids[(i - k + 4) % 4] == frag) return 1;
    }
    i = (i + 1) % 4;
    ids[i] = frag;
    *index = static_cast<u8>(i);
    return 0;
}

void processIcmp(NetSessionT* session, const IpAddrT& src, const pcap_pkthdr* h, const u8* payload, int payloadLen)
{
    NetSessionT& s = *session;
    const int d = timevalDiffUsec(h->ts, s.lastPktTime);
    // Echo sequence number, bytes 6 and 7 of the ICMP or ICMPv6 message.
    u32 n = 0;
    if (payload != nullptr && payloadLen >= 8) n = (static_cast<u32>(payload[6]) << 8) | payload[7];
    if (s.echoSeq != 0 && n == s.echoSeq) {
        // A reply from the side taken as client: the roles were guessed wrong.
        if (src == s.src) {
            s.src = s.dst;
            s.dst = src;
            s.customDelayUsec = 0;
            s.cntCustomDelay = 0;
            s.reqSeq = n;
        }
        if (src == s.dst) {
            s.resSeq = n;
            s.customDelayUsec = static_cast<u32>(d);
            s.cntCustomDelay = 1;
        }
    }
    s.echoSeq = n;
    s.lastPktTime = h->ts;
}

int checkAppType(const u8* payload, int payloadLen)
{
    if (!readOnlyGlobal.checkHttp || payload == nullptr || payloadLen <= 0) return 0;
    std::string_view text(reinterpret_cast<const char*>(payload), static_cast<std::size_t>(payloadLen));
    text = text.substr(0, text.find('\0'));
    if (!text.starts_with("GET ") && !text.starts_with("POST ")) return 0;
    return text.find("HTTP") != std::string_view::npos ? 1 : 0;
}
