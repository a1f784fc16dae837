// The session step driven packet by packet: roles, TCP state, counters,
// retransmissions, duplicates, delays, ICMP echo, full buckets and recycling.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "analysis/session.h"
#include "capture/process.h"
#include "core/global_define.h"
#include "support/tables.h"

using testtables::addEndpoint;
using testtables::clearEndpoints;

namespace {

constexpr u32 ip(u32 a, u32 b, u32 c, u32 d) { return (a << 24) | (b << 16) | (c << 8) | d; }
constexpr u32 A = ip(10, 1, 0, 1);
constexpr u32 B = ip(10, 1, 0, 2);
constexpr time_t T0 = 1700000000;
constexpr u8 FIN = 0x01, SYN = 0x02, RST = 0x04, PSH = 0x08, ACK = 0x10;
const u8 zeros[2048] = {};

// Wire length of a packet with len bytes of payload.
constexpr u32 wire(int len) { return 54 + static_cast<u32>(len); }

NetSessionT* lookup(int proto, u32 a, int aport, u32 b, int bport)
{
    for (NetSessionT& s : globalValue.hashTable->node[getHashCode(a, b, aport, bport)].session) {
        if (s.valid == 0 || s.proto != proto) continue;
        if ((s.src == a && s.sport == aport && s.dst == b && s.dport == bport) ||
            (s.src == b && s.sport == bport && s.dst == a && s.dport == aport))
            return &s;
    }
    return nullptr;
}

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
        if (capLen < 0) capLen = len;
        pcap_pkthdr h {};
        h.ts.tv_sec = T0 + us / 1000000;
        h.ts.tv_usec = us % 1000000;
        h.len = h.caplen = wire(len);
        rec.sendPkts = rec.rcvdPkts = 0;
        if (fromCli)
            process(0, proto, cli, srv, cport, sport, seq, ack, flags, &h, id, data, len, capLen, win, &rec);
        else
            process(0, proto, srv, cli, sport, cport, seq, ack, flags, &h, id, data, len, capLen, win, &rec);
    }
    void c(u8 flags, u32 seq, u32 ack, int len, long long us, u16 id = 0, int win = 1000)
    {
        pkt(true, flags, seq, ack, len, us, id, win);
    }
    void s(u8 flags, u32 seq, u32 ack, int len, long long us, u16 id = 0, int win = 1000)
    {
        pkt(false, flags, seq, ack, len, us, id, win);
    }
    // SYN at us, SYN-ACK 1.5 ms and ACK 2 ms later; client data starts at
    // 1001, server data at 5001.
    void handshake(long long us = 0)
    {
        c(SYN, 1000, 0, 0, us);
        s(SYN | ACK, 5000, 1001, 0, us + 1500);
        c(ACK, 1001, 5001, 0, us + 2000);
    }
    NetSessionT& ses()
    {
        static NetSessionT none;
        NetSessionT* s = lookup(proto, cli, cport, srv, sport);
        if (s == nullptr) ADD_FAILURE() << "no session";
        return s != nullptr ? *s : (none = NetSessionT {});
    }
};

class SessionStep : public ::testing::Test {
protected:
    void SetUp() override
    {
        testtables::resetSessions();
        clearEndpoints();
        readOnlyGlobal.disableRepeat = 1;
        readOnlyGlobal.checkHttp = 0;
        globalValue.processState.retran = 0;
        globalValue.processState.drop = 0;
    }
    void TearDown() override
    {
        clearEndpoints();
        readOnlyGlobal.checkHttp = 0;
    }
};

TEST_F(SessionStep, HandshakeTimesAndTheirLimits)
{
    struct Case {
        u8 ackFlags;
        long long synAckAfter, ackAfter;
        int state;
        u32 connNum, serCon, cliCon;
    };
    const Case cases[] = {
        {ACK, 1500, 500, 3, 1, 1500, 500},
        {PSH | ACK, 1500, 500, 2, 0, 1500, 0},  // data on the ACK: not the handshake's ACK
        {ACK, 5000000, 5000001, 3, 1, 5000000, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.synAckAfter);
        Flow f;
        f.cport += static_cast<int>(&k - cases);
        f.c(SYN, 1000, 0, 0, 0);
        f.s(SYN | ACK, 5000, 1001, 0, k.synAckAfter);
        f.c(k.ackFlags, 1001, 5001, 0, k.synAckAfter + k.ackAfter);
        NetSessionT& s = f.ses();
        EXPECT_EQ(s.src, A);
        EXPECT_EQ(s.realDirection, 1);
        EXPECT_EQ(s.state, k.state);
        EXPECT_EQ(s.connNum, k.connNum);
        EXPECT_EQ(s.serConDelayUsec, k.serCon);
        EXPECT_EQ(s.cliConDelayUsec, k.cliCon);
        EXPECT_EQ(s.rcvdSynPkts, 1u);
        EXPECT_EQ(s.sendSynAckPkts, 1u);
        EXPECT_EQ(s.rcvdPkts, 2u);
        EXPECT_EQ(s.sendPkts, 1u);
        EXPECT_EQ(s.rcvdTinyPkts, 2u);
        EXPECT_EQ(s.rcvdBytes, 2 * wire(0));
    }
}

TEST_F(SessionStep, FirstPacketDecidesRoles)
{
    struct Case {
        const char* what;
        int proto;
        u32 src;
        int sport;
        u32 dst;
        int dport;
        u8 flags;
        u32 client;
        int clientPort, realDirection, state;
        bool fromClient;
    };
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
        f.c(k.flags, 1, 0, 0, 0, 0, 0);
        NetSessionT& s = f.ses();
        EXPECT_EQ(s.src, k.client);
        EXPECT_EQ(s.sport, k.clientPort);
        EXPECT_EQ(s.realDirection, k.realDirection);
        EXPECT_EQ(s.state, k.state);
        EXPECT_EQ(s.rcvdPkts, k.fromClient ? 1u : 0u);
        EXPECT_EQ(s.sendPkts, k.fromClient ? 0u : 1u);
        const u32 syn = (k.flags & (SYN | ACK)) == SYN, synAck = k.flags == (SYN | ACK);
        EXPECT_EQ(k.fromClient ? s.rcvdSynPkts : s.sendSynPkts, syn);
        EXPECT_EQ(k.fromClient ? s.rcvdSynAckPkts : s.sendSynAckPkts, synAck);
        EXPECT_EQ(s.sendFinPkts, (k.flags & FIN) ? 1u : 0u);
        EXPECT_EQ(s.cntSrcZeroWin + s.cntDstZeroWin, k.proto == 6 ? 1u : 0u);  // window 0, from the first packet on
        EXPECT_EQ(s.upTo64, 1u);
    }
}

TEST_F(SessionStep, RetransmissionsAreCountedButNotAnalysed)
{
    Flow f;
    f.handshake();
    const int bytesBefore = f.ses().bytes;
    f.c(PSH | ACK, 1001, 5001, 100, 10000, 10);
    f.c(PSH | ACK, 1001, 5001, 100, 20000, 11);  // same segment again
    NetSessionT& s = f.ses();
    EXPECT_EQ(s.rcvdRetransmitPkts, 1u);
    EXPECT_EQ(s.bytes, bytesBefore + static_cast<int>(wire(100)));
    EXPECT_EQ(s.rcvdPkts, 4u);
    EXPECT_EQ(s.rcvdBytes, 2 * wire(0) + 2 * wire(100));
    EXPECT_EQ(globalValue.processState.retran, 1);
    EXPECT_EQ(globalValue.processState.drop, 1);

    f.c(ACK, 900, 5001, 1, 30000, 12);  // a window probe behind the window
    f.s(PSH | ACK, 5001, 1101, 50, 40000);
    f.s(PSH | ACK, 4000, 1101, 50, 50000);  // older server data
    EXPECT_EQ(s.rcvdRetransmitPkts, 1u);
    EXPECT_EQ(s.sendRetransmitPkts, 1u);
    EXPECT_EQ(globalValue.processState.drop, 2);
}

TEST_F(SessionStep, DuplicateCapturesAreIgnoredByIpId)
{
    Flow f {.proto = 17, .sport = 53};
    f.c(0, 0, 0, 20, 0, 5);  // the first packet is not remembered
    struct Step {
        bool fromCli;
        u16 id;
        bool counted;
    };
    const Step steps[] = {{true, 5, true},  {true, 5, false}, {false, 5, true}, {true, 0, true},
                          {true, 0, true},  {true, 6, true},  {true, 7, true},  {true, 8, true},
                          {true, 5, false}, {true, 9, true},  {true, 5, true}};
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

TEST_F(SessionStep, FinsRstsAndZeroWindows)
{
    Flow f;
    f.c(ACK, 1001, 5001, 10, 0);  // picked up mid-stream
    f.s(ACK, 5001, 1011, 0, 1000, 0, 0);
    f.c(ACK, 1011, 5001, 0, 2000, 0, 0);
    f.c(FIN | ACK, 1011, 5001, 0, 3000);
    EXPECT_EQ(f.ses().state, 4);
    f.s(FIN | ACK, 5001, 1012, 0, 4000);
    f.c(RST, 1012, 0, 0, 5000);
    f.s(RST | ACK, 5002, 1012, 0, 6000);
    NetSessionT& s = f.ses();
    EXPECT_EQ(s.state, 5);
    EXPECT_EQ(s.sendFinPkts, 1u);
    EXPECT_EQ(s.rcvdFinPkts, 2u);
    EXPECT_EQ(s.rcvdRstPkts, 1u);
    EXPECT_EQ(s.sendRstPkts, 1u);
    EXPECT_EQ(s.cntSrcZeroWin, 1u);
    EXPECT_EQ(s.cntDstZeroWin, 1u);
}

TEST_F(SessionStep, ResponseAndLoadTransferTimes)
{
    struct Case {
        long long respAfter, loadSpan;
        u32 cntCustom, custom, cntLoad, load;
    };
    const Case cases[] = {
        {30000, 30000, 1, 30000, 1, 30000},
        {60000000, 60000000, 1, 60000000, 1, 60000000},
        {60000001, 60000001, 0, 0, 0, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.respAfter);
        SetUp();
        Flow f;
        f.c(ACK, 1, 1, 0, 0);
        f.c(PSH | ACK, 1, 1, 100, 10000);
        const long long first = 10000 + k.respAfter;
        f.s(PSH | ACK, 1, 101, 1000, first);
        f.s(PSH | ACK, 1001, 101, 1000, first + k.loadSpan / 2);
        f.s(PSH | ACK, 2001, 101, 1000, first + k.loadSpan);
        f.c(PSH | ACK, 101, 3001, 100, first + k.loadSpan + 5000);
        NetSessionT& s = f.ses();
        EXPECT_EQ(s.cntCustomDelay, k.cntCustom);
        EXPECT_EQ(s.customDelayUsec, k.custom);
        EXPECT_EQ(s.cntLoadDelay, k.cntLoad);
        EXPECT_EQ(s.loadDelayUsec, k.load);
    }
}

TEST_F(SessionStep, NetworkDelaysOnTheFirstAckAfterData)
{
    Flow f;
    f.handshake();
    f.c(PSH | ACK, 1001, 5001, 100, 10000);
    f.s(ACK, 5001, 1101, 0, 12000);
    f.s(ACK, 5001, 1101, 0, 13000);  // same direction: no second sample
    NetSessionT& s = f.ses();
    EXPECT_EQ(s.cntSerDelay, 1u);
    EXPECT_EQ(s.serDelayUsec, 2000u);
    EXPECT_EQ(s.serRetransDelayUsec, 2000u);

    // Server data resent after 50 ms, acknowledged 1 ms after the resend.
    f.s(PSH | ACK, 5001, 1101, 200, 20000);
    f.s(PSH | ACK, 5001, 1101, 200, 70000);
    f.c(ACK, 1101, 5201, 0, 71000);
    EXPECT_EQ(s.cntCliDelay, 1u);
    EXPECT_EQ(s.cliDelayUsec, 1000u);
    EXPECT_EQ(s.cliRetransDelayUsec, 50000u);

    f.s(PSH | ACK, 5201, 1101, 200, 80000);
    f.c(ACK, 1101, 5201, 0, 81000);  // acknowledges nothing new
    EXPECT_EQ(s.cntCliDelay, 1u);
}

TEST_F(SessionStep, IcmpEchoResponseTime)
{
    u8 echo[16] = {8, 0, 0, 0, 0, 1, 0, 1};
    Flow f {.proto = 1, .cport = 0, .sport = 0};
    auto ping = [&](bool fromCli, u16 seq, long long us) {
        echo[0] = fromCli ? 8 : 0;
        echo[6] = static_cast<u8>(seq >> 8);
        echo[7] = static_cast<u8>(seq);
        f.pkt(fromCli, 0, 0, 0, sizeof echo, us, 0, 0, echo);
    };
    ping(true, 1, 0);
    ping(false, 1, 2000);
    EXPECT_EQ(f.ses().customDelayUsec, 2000u);
    EXPECT_EQ(f.ses().cntCustomDelay, 1u);
    ping(true, 2, 1000000);
    ping(false, 2, 1002000);
    EXPECT_EQ(f.ses().customDelayUsec, 4000u);
    EXPECT_EQ(f.ses().cntCustomDelay, 2u);

    // A capture that starts with a reply takes the replier for the client
    // until the next exchange shows otherwise.
    SetUp();
    ping(false, 7, 0);
    EXPECT_EQ(f.ses().src, B);
    ping(true, 8, 1000000);
    ping(false, 8, 1003000);
    EXPECT_EQ(f.ses().src, A);
    EXPECT_EQ(f.ses().customDelayUsec, 3000u);
    EXPECT_EQ(f.ses().cntCustomDelay, 1u);

    // Too short to hold a sequence number (the bytes behind still hold 8).
    SetUp();
    f.pkt(true, 0, 0, 0, 6, 0, 0, 0, echo);
    f.pkt(false, 0, 0, 0, 6, 2000, 0, 0, echo);
    EXPECT_EQ(f.ses().cntCustomDelay, 0u);
}

TEST_F(SessionStep, FullBucketAndRecycledSlots)
{
    // Ports 1024 apart land in one bucket.
    std::vector<Flow> flows(17);
    for (int i = 0; i < 17; ++i) {
        flows[i].cport = 20000 + 1024 * i;
        flows[i].c(ACK, 1, 1, 10, 0);
    }
    EXPECT_EQ(lookup(6, A, flows[16].cport, B, 80), nullptr);

    // Two conversations end with FINs at T0 + 1 s.
    for (int i : {3, 7}) {
        flows[i].c(FIN | ACK, 11, 1, 0, 1000000);
        flows[i].s(FIN | ACK, 1, 12, 0, 1000000);
        EXPECT_EQ(flows[i].ses().state, 5);
    }
    flows[16].c(ACK, 1, 1, 10, 2000000);  // exactly one second later: kept
    EXPECT_EQ(lookup(6, A, flows[16].cport, B, 80), nullptr);
    EXPECT_EQ(flows[16].rec.sendPkts + flows[16].rec.rcvdPkts, 0u);

    flows[16].c(ACK, 1, 1, 10, 3000000);  // two seconds: the first of them goes
    EXPECT_NE(lookup(6, A, flows[16].cport, B, 80), nullptr);
    EXPECT_EQ(lookup(6, A, flows[3].cport, B, 80), nullptr);
    EXPECT_NE(lookup(6, A, flows[7].cport, B, 80), nullptr);
    const CommMsgT& r = flows[16].rec;
    EXPECT_EQ(r.sport, static_cast<u32>(flows[3].cport));
    EXPECT_EQ(r.rcvdPkts, 2u);
    EXPECT_EQ(r.sendPkts, 1u);
    EXPECT_EQ(r.rcvdFinPkts, 2u);
    EXPECT_EQ(r.time, T0 + 1);

    // A closed conversation that the packet belongs to is found, not recycled.
    flows[7].c(ACK, 12, 2, 0, 9000000);
    EXPECT_EQ(flows[7].rec.sendPkts + flows[7].rec.rcvdPkts, 0u);
    EXPECT_EQ(flows[7].ses().rcvdPkts, 3u);
}

TEST_F(SessionStep, ApplicationTypeAndBusinessId)
{
    const char get[] = "GET /index.html HTTP/1.1\r\n";
    struct Case {
        const char* endpoint;  // nullptr: none
        int protoIdx;
        int checkHttp;
        int proto;
        const char* payload;
        int type;
        int wireLen = -1;  // -1: the payload's length, all of it captured
        int capLen = -1;
    };
    const Case cases[] = {
        {"10.1.0.2", 3, 0, 6, "", 1},
        {"10.1.0.0/24", 5, 0, 6, "", 3},
        {"10.1.0.2", 0, 0, 6, get, 0},  // "TCP & UDP" selects no analysis
        {"10.1.0.2", 1, 1, 6, get, 1},
        {"10.1.0.2", 1, 1, 6, "hello HTTP", 0},
        {nullptr, 0, 1, 6, get, 1},
        {nullptr, 0, 1, 17, get, 0},
        {nullptr, 0, 1, 6, get, 1, 1400, 26},  // cut by the capture behind the request line
        {nullptr, 0, 1, 6, get, 0, 1400, 10},  // cut before "HTTP"
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(&k - cases);
        SetUp();
        readOnlyGlobal.checkHttp = k.checkHttp;
        if (k.endpoint != nullptr) {
            ASSERT_TRUE(addEndpoint(k.endpoint, k.protoIdx));
        }
        Flow f {.proto = k.proto};
        const int len = k.wireLen < 0 ? static_cast<int>(std::strlen(k.payload)) : k.wireLen;
        f.pkt(true, ACK, 1, 1, len, 0, 0, 1000, reinterpret_cast<const u8*>(k.payload), k.capLen);
        f.s(ACK, 1, 1 + len, 0, 1000);
        EXPECT_EQ(f.ses().type, k.type);
        EXPECT_EQ(f.ses().reqLen, len);
        EXPECT_STREQ(f.ses().busiId, k.endpoint != nullptr ? "12345678" : "");
    }
}

TEST(SessionStepHttp, RecognisesRequestsWithinTheGivenBytesOnly)
{
    struct Case {
        std::string bytes;
        int len;  // -1: all
        int http;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\n", -1, 1},
        {"POST /form HTTP/1.0\r\n", -1, 1},
        {"GET / HTTP/1.1", 8, 0},                      // HTTP lies beyond the payload
        {std::string("GET /\0HTTP/1.1", 14), -1, 0},  // and here beyond a zero byte
        {"GET", -1, 0},
        {"get / HTTP/1.1", -1, 0},
    };
    readOnlyGlobal.checkHttp = 1;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.bytes);
        const std::size_t n = k.len < 0 ? k.bytes.size() : static_cast<std::size_t>(k.len);
        std::vector<u8> exact(k.bytes.begin(), k.bytes.begin() + static_cast<long>(n));  // no terminator
        EXPECT_EQ(checkAppType(exact.data(), static_cast<int>(n)), k.http);
    }
    readOnlyGlobal.checkHttp = 0;
    const u8* get = reinterpret_cast<const u8*>("GET / HTTP/1.1");
    EXPECT_EQ(checkAppType(get, 14), 0);
}

}  // namespace
