// The session step driven packet by packet: roles, TCP state, retransmissions,
// duplicates, delays, ICMP echo, full buckets and recycling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "analysis/session.h"
#include "capture/process.h"
#include "support/tables.h"

namespace {

constexpr u32 A = 0x0A010001, B = 0x0A010002;  // 10.1.0.1, 10.1.0.2
constexpr time_t T0 = 1700000000;
constexpr u8 FIN = 0x01, SYN = 0x02, RST = 0x04, PSH = 0x08, ACK = 0x10;
const u8 zeros[2048] = {};

constexpr u32 wire(int len) { return 54 + static_cast<u32>(len); }

// One conversation between a client and a server; times are microseconds
// after T0.
struct Flow {
    int proto = 6;
    u32 cli = A;
    int cport = 40000;
    u32 srv = B;
    int sport = 80;
    CommMsgT rec {};

    void pkt(bool fromCli, u8 flags, u32 seq, u32 ack, int len, long long us, u16 id = 0, int win = 1000,
             const u8* data = zeros, int capLen = -1)
    {
        pcap_pkthdr h {};
        h.ts.tv_sec = T0 + us / 1000000;
        h.ts.tv_usec = us % 1000000;
        h.len = h.caplen = wire(len);
        rec.sendPkts = rec.rcvdPkts = 0;
        process(0, proto, fromCli ? cli : srv, fromCli ? srv : cli, fromCli ? cport : sport, fromCli ? sport : cport,
                seq, ack, flags, &h, id, data, len, capLen < 0 ? len : capLen, win, &rec);
    }
    // From the client and from the server.
    void c(u8 fl, u32 seq, u32 ack, int len, long long us, int win = 1000) { pkt(1, fl, seq, ack, len, us, 0, win); }
    void s(u8 fl, u32 seq, u32 ack, int len, long long us, int win = 1000) { pkt(0, fl, seq, ack, len, us, 0, win); }
    // The session between the two ends, whichever way round.
    NetSessionT* find() const
    {
        for (NetSessionT& s : globalValue.hashTable->node[getHashCode(cli, srv, cport, sport)].session) {
            if (s.valid && s.proto == proto && std::minmax(s.src, s.dst) == std::minmax(cli, srv) &&
                std::minmax(s.sport, s.dport) == std::minmax(cport, sport))
                return &s;
        }
        return nullptr;
    }
    NetSessionT& ses()
    {
        static NetSessionT none;
        NetSessionT* s = find();
        EXPECT_NE(s, nullptr);
        return s != nullptr ? *s : none;
    }
};

class SessionStep : public ::testing::Test {
protected:
    void SetUp() override
    {
        testtables::resetSessions();
        testtables::clearEndpoints();
        readOnlyGlobal.disableRepeat = 1;
        readOnlyGlobal.checkHttp = 0;
        globalValue.processState.retran = globalValue.processState.drop = 0;
    }
    void TearDown() override { SetUp(); }
};

TEST_F(SessionStep, HandshakeTimesAndTheirLimits)
{
    struct Case { u8 ackFlags; long long synAckAfter, ackAfter; int state; u32 connNum, serCon, cliCon; };
    const Case cases[] = {
        {ACK, 1500, 500, 3, 1, 1500, 500},
        {PSH | ACK, 1500, 500, 2, 0, 1500, 0},  // data on the ACK: not the handshake's ACK
        {ACK, 5000000, 5000001, 3, 1, 5000000, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.synAckAfter);
        SetUp();
        Flow f;
        f.c(SYN, 1000, 0, 0, 0);
        f.s(SYN | ACK, 5000, 1001, 0, k.synAckAfter);
        f.c(k.ackFlags, 1001, 5001, 0, k.synAckAfter + k.ackAfter);
        NetSessionT& s = f.ses();
        EXPECT_EQ(s.state, k.state);
        EXPECT_EQ(s.connNum, k.connNum);
        EXPECT_EQ(std::pair(s.serConDelayUsec, s.cliConDelayUsec), std::pair(k.serCon, k.cliCon));
        EXPECT_EQ(std::pair(s.rcvdPkts, s.sendPkts), std::pair(2u, 1u));
    }
}

TEST_F(SessionStep, FirstPacketDecidesRoles)
{
    struct Case { const char* what; int proto; u32 src; int sport; u32 dst; int dport; u8 flags;
                  u32 client; int clientPort, realDirection, state; bool fromClient; };
    const Case cases[] = {
        {"SYN-ACK", 6, B, 80, A, 40000, SYN | ACK, A, 40000, 1, 2, false},
        {"SYN from the low port", 6, A, 80, B, 40000, SYN, A, 80, 1, 1, true},
        {"SYN with ECE", 6, A, 80, B, 40000, SYN | 0x40, B, 40000, 0, 3, false},
        {"ACK from the low port", 6, A, 80, B, 40000, ACK, A, 80, 0, 3, true},
        {"DNS answer", 17, B, 53, A, 50000, 0, B, 53, 0, 3, true},
        {"FIN", 6, A, 40000, B, 80, FIN | ACK, A, 40000, 0, 4, true},
        {"loopback SYN", 6, A, 42032, A, 18090, SYN, A, 42032, 1, 1, true},
        {"loopback SYN-ACK", 6, A, 18090, A, 42032, SYN | ACK, A, 42032, 1, 2, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        SetUp();
        Flow f {.proto = k.proto, .cli = k.src, .cport = k.sport, .srv = k.dst, .sport = k.dport};
        f.c(k.flags, 1, 0, 0, 0);
        NetSessionT& s = f.ses();
        EXPECT_EQ(std::pair(s.src, s.sport), std::pair(k.client, k.clientPort));
        EXPECT_EQ(std::pair(s.realDirection, s.state), std::pair(k.realDirection, k.state));
        EXPECT_EQ(k.fromClient ? s.rcvdPkts : s.sendPkts, 1u);
        EXPECT_EQ(k.fromClient ? s.rcvdSynPkts : s.sendSynPkts, (k.flags & (SYN | ACK)) == SYN ? 1u : 0u);
        EXPECT_EQ(k.fromClient ? s.rcvdSynAckPkts : s.sendSynAckPkts, k.flags == (SYN | ACK) ? 1u : 0u);
    }
}

TEST_F(SessionStep, RetransmissionsAreCountedButNotAnalysed)
{
    Flow f;
    f.c(ACK, 1001, 5001, 0, 0);
    f.c(PSH | ACK, 1001, 5001, 100, 10000);
    const int bytesBefore = f.ses().bytes;
    f.c(PSH | ACK, 1001, 5001, 100, 20000);  // same segment again
    f.c(ACK, 900, 5001, 1, 30000);           // a window probe behind the window
    f.s(PSH | ACK, 5001, 1101, 50, 40000);
    f.s(PSH | ACK, 4000, 1101, 50, 50000);  // older server data
    NetSessionT& s = f.ses();
    EXPECT_EQ(std::pair(s.rcvdRetransmitPkts, s.sendRetransmitPkts), std::pair(1u, 1u));
    EXPECT_EQ(s.rcvdBytes, wire(0) + 2 * wire(100) + wire(1));
    EXPECT_EQ(s.bytes, bytesBefore + static_cast<int>(wire(1) + wire(50)));
    EXPECT_EQ(std::pair(globalValue.processState.retran, globalValue.processState.drop), std::pair(2, 2));
}

TEST_F(SessionStep, DuplicateCapturesAreIgnoredByIpId)
{
    Flow f {.proto = 17, .sport = 53};
    f.pkt(true, 0, 0, 0, 20, 0, 5);  // the first packet is not remembered
    struct Step { bool fromCli; u16 id; bool counted; };
    const Step steps[] = {{1, 5, 1}, {1, 5, 0}, {0, 5, 1}, {1, 0, 1}, {1, 0, 1}, {1, 6, 1},
                          {1, 7, 1}, {1, 8, 1}, {1, 5, 0}, {1, 9, 1}, {1, 5, 1}};
    long long us = 0;
    for (const Step& st : steps) {
        SCOPED_TRACE(&st - steps);
        const NetSessionT before = f.ses();
        f.pkt(st.fromCli, 0, 0, 0, 20, us += 1000, st.id);
        const NetSessionT& s = f.ses();
        EXPECT_EQ(s.rcvdBytes + s.sendBytes, before.rcvdBytes + before.sendBytes + (st.counted ? wire(20) : 0));
        EXPECT_EQ(s.lastPktTime.tv_usec, st.counted ? us : before.lastPktTime.tv_usec);
    }
}

// The response time runs from the request to the first answer, the load time
// from there to the last; either is dropped past 60 s.
TEST_F(SessionStep, ResponseAndLoadTransferTimes)
{
    const std::pair<long long, u32> cases[] = {{30000, 1}, {60000000, 1}, {60000001, 0}};
    for (const auto& [after, count] : cases) {
        SCOPED_TRACE(after);
        SetUp();
        Flow f;
        f.c(ACK, 1, 1, 0, 0);
        f.c(PSH | ACK, 1, 1, 100, 10000);
        f.s(PSH | ACK, 1, 101, 1000, 10000 + after);
        f.s(PSH | ACK, 1001, 101, 1000, 10000 + after + after / 2);
        f.s(PSH | ACK, 2001, 101, 1000, 10000 + 2 * after);
        f.c(PSH | ACK, 101, 3001, 100, 10000 + 2 * after + 5000);
        NetSessionT& s = f.ses();
        EXPECT_EQ(std::pair(s.cntCustomDelay, s.customDelayUsec), std::pair(count, count ? u32(after) : 0));
        EXPECT_EQ(std::pair(s.cntLoadDelay, s.loadDelayUsec), std::pair(count, count ? u32(after) : 0));
    }
}

// Network delays are sampled on the first acknowledgement after data; then
// both sides close.
TEST_F(SessionStep, NetworkDelaysZeroWindowsAndClosing)
{
    Flow f;
    f.c(SYN, 1000, 0, 0, 0);
    f.s(SYN | ACK, 5000, 1001, 0, 1500);
    f.c(ACK, 1001, 5001, 0, 2000);
    f.c(PSH | ACK, 1001, 5001, 100, 10000);
    f.s(ACK, 5001, 1101, 0, 12000);
    f.s(ACK, 5001, 1101, 0, 13000, 0);  // same direction: no second sample
    NetSessionT& s = f.ses();
    EXPECT_EQ(s.cntSerDelay, 1u);
    EXPECT_EQ(std::pair(s.serDelayUsec, s.serRetransDelayUsec), std::pair(2000u, 2000u));

    // Server data resent after 50 ms, acknowledged 1 ms after the resend.
    f.s(PSH | ACK, 5001, 1101, 200, 20000);
    f.s(PSH | ACK, 5001, 1101, 200, 70000);
    f.c(ACK, 1101, 5201, 0, 71000);
    f.s(PSH | ACK, 5201, 1101, 200, 80000);
    f.c(ACK, 1101, 5201, 0, 81000, 0);  // acknowledges nothing new
    EXPECT_EQ(s.cntCliDelay, 1u);
    EXPECT_EQ(std::pair(s.cliDelayUsec, s.cliRetransDelayUsec), std::pair(1000u, 50000u));
    EXPECT_EQ(std::pair(s.cntSrcZeroWin, s.cntDstZeroWin), std::pair(1u, 1u));

    f.c(FIN | ACK, 1101, 5401, 0, 90000);
    EXPECT_EQ(s.state, 4);
    f.s(FIN | ACK, 5401, 1102, 0, 91000);
    f.c(RST, 1102, 0, 0, 92000);
    f.s(RST | ACK, 5402, 1102, 0, 93000);
    EXPECT_EQ(s.state, 5);
    EXPECT_EQ(std::pair(s.sendFinPkts, s.rcvdFinPkts), std::pair(1u, 2u));  // who sent the first and the second
    EXPECT_EQ(std::pair(s.sendRstPkts, s.rcvdRstPkts), std::pair(1u, 1u));
}

TEST_F(SessionStep, IcmpEchoResponseTime)
{
    u8 echo[16] = {8, 0, 0, 0, 0, 1, 0, 1};
    Flow f {.proto = 1, .cport = 0, .sport = 0};
    // An echo request from the client or a reply with sequence number seq;
    // then the client and the response time (usec) with its sample count.
    auto ping = [&](bool fromCli, u8 seq, long long us, u32 client, u32 usec, u32 count, int len = sizeof echo) {
        echo[0] = fromCli ? 8 : 0;
        echo[7] = seq;
        f.pkt(fromCli, 0, 0, 0, len, us, 0, 0, echo);
        EXPECT_EQ(f.ses().src, client) << us;
        EXPECT_EQ(std::pair(f.ses().customDelayUsec, f.ses().cntCustomDelay), std::pair(usec, count)) << us;
    };
    ping(true, 1, 0, A, 0, 0);
    ping(false, 1, 2000, A, 2000, 1);
    ping(true, 2, 1000000, A, 2000, 1);
    ping(false, 2, 1002000, A, 4000, 2);

    // A capture that starts with a reply takes the replier for the client
    // until the next exchange shows otherwise.
    SetUp();
    ping(false, 7, 0, B, 0, 0);
    ping(true, 8, 1000000, B, 0, 0);
    ping(false, 8, 1003000, A, 3000, 1);

    // Too short to hold a sequence number (the bytes behind still hold one).
    SetUp();
    ping(true, 1, 0, A, 0, 0, 6);
    ping(false, 1, 2000, A, 0, 0, 6);
}

TEST_F(SessionStep, FullBucketAndRecycledSlots)
{
    // Ports 1024 apart land in one bucket of 16.
    std::vector<Flow> flows(17);
    for (int i = 0; i < 17; ++i) {
        flows[i].cport = 20000 + 1024 * i;
        flows[i].c(ACK, 1, 1, 10, 0);
    }
    auto tracked = [&](int i) { return flows[i].find() != nullptr; };
    EXPECT_FALSE(tracked(16));

    // Two conversations end with FINs at T0 + 1 s.
    for (int i : {3, 7}) {
        flows[i].c(FIN | ACK, 11, 1, 0, 1000000);
        flows[i].s(FIN | ACK, 1, 12, 0, 1000000);
        EXPECT_EQ(flows[i].ses().state, 5);
    }
    flows[16].c(ACK, 1, 1, 10, 2000000);  // exactly one second later: kept
    EXPECT_FALSE(tracked(16));
    EXPECT_EQ(flows[16].rec.sendPkts + flows[16].rec.rcvdPkts, 0u);

    flows[16].c(ACK, 1, 1, 10, 3000000);  // two seconds: the first of them goes
    EXPECT_TRUE(tracked(16) && !tracked(3) && tracked(7));
    const CommMsgT& r = flows[16].rec;
    EXPECT_EQ(r.sport, static_cast<u32>(flows[3].cport));
    EXPECT_EQ(std::pair(r.rcvdPkts, r.sendPkts), std::pair(2u, 1u));
    EXPECT_EQ(r.time, T0 + 1);

    // A closed conversation that the packet belongs to is found, not recycled.
    flows[7].c(ACK, 12, 2, 0, 9000000);
    EXPECT_EQ(flows[7].rec.sendPkts + flows[7].rec.rcvdPkts, 0u);
    EXPECT_EQ(flows[7].ses().rcvdPkts, 3u);
}

// An endpoint's application type and business id go to its sessions; else
// HTTP is recognised from the captured bytes of the first payload only.
TEST_F(SessionStep, ApplicationTypeAndBusinessId)
{
    const char get[] = "GET /index.html HTTP/1.1\r\n";
    struct Case { const char* endpoint; int protoIdx, proto; const char* payload; int type, capLen; };
    const Case cases[] = {
        {"10.1.0.2", 3, 6, "", 1, 0},         {"10.1.0.0/24", 5, 6, "", 3, 0},
        {"10.1.0.2", 0, 6, get, 0, 26},       // "TCP & UDP" selects no analysis
        {nullptr, 0, 17, get, 0, 26},         {nullptr, 0, 6, get, 1, 26},
        {nullptr, 0, 6, get, 0, 10},          // "HTTP" not among the captured bytes
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(&k - cases);
        SetUp();
        readOnlyGlobal.checkHttp = k.endpoint == nullptr;  // HTTP recognition only without an endpoint
        ASSERT_TRUE(k.endpoint == nullptr || testtables::addEndpoint(k.endpoint, k.protoIdx));
        Flow f {.proto = k.proto};
        f.pkt(true, ACK, 1, 1, k.capLen ? 1400 : 0, 0, 0, 1000, reinterpret_cast<const u8*>(k.payload), k.capLen);
        EXPECT_EQ(f.ses().type, k.type);
        EXPECT_STREQ(f.ses().busiId, k.endpoint != nullptr ? "12345678" : "");
    }

    // Each text in a buffer of exactly its size; nothing past a zero byte.
    const std::pair<std::string, int> texts[] = {
        {"POST /form HTTP/1.0", 1}, {"GET / HTT", 0}, {std::string("GET /\0HTTP/1.1", 14), 0}, {"get / HTTP/1.1", 0}};
    readOnlyGlobal.checkHttp = 1;
    for (const auto& [text, http] : texts) {
        std::vector<u8> exact(text.begin(), text.end());
        EXPECT_EQ(checkAppType(exact.data(), static_cast<int>(exact.size())), http) << text;
    }
    readOnlyGlobal.checkHttp = 0;
    EXPECT_EQ(checkAppType(reinterpret_cast<const u8*>(get), 26), 0);
}

}  // namespace
