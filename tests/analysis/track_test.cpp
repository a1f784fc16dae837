// The session step driven packet by packet; the session table's lookup, its helpers and the record made from a session.
#include "analysis/track.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/session.h"
#include "support/tables.h"

namespace {

const IpAddrT A = ipFromV4(0x0A010001), B = ipFromV4(0x0A010002);  // 10.1.0.1, 10.1.0.2
const IpAddrT A6 = {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};  // 2001:db8::1
const IpAddrT B6 = {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}};
constexpr bool C = true, S = false;            // sent by the client, by the server
constexpr u8 FIN = 0x01, SYN = 0x02, RST = 0x04, PSH = 0x08, ACK = 0x10;
const u8 zeros[2048] = {};
constexpr u32 wire(int len) { return 54 + u32(len); }

// Sender, flags, seq, ack, payload length, microseconds after the first packet, window.
struct Pkt { bool fromCli; u8 flags; u32 seq, ack; int len; long long us; int win = 1000; };

struct Flow {
    int proto = 6;
    IpAddrT cli = A; int cport = 40000;
    IpAddrT srv = B; int sport = 80;

    void send(const Pkt& p, u16 ipId = 0, const u8* data = zeros, int capLen = -1)
    {
        const pcap_pkthdr h {{1700000000 + p.us / 1000000, p.us % 1000000}, wire(p.len), wire(p.len)};
        const bool c = p.fromCli;
        process({.proto = proto, .src = c ? cli : srv, .dst = c ? srv : cli,
                 .sport = c ? cport : sport, .dport = c ? sport : cport, .seq = p.seq, .ackSeq = p.ack,
                 .tcpFlag = p.flags, .frag = ipId, .winSize = p.win, .payload = data, .payloadLen = p.len,
                 .capLen = capLen < 0 ? p.len : capLen}, &h, nullptr);
    }
    void operator()(std::initializer_list<Pkt> pkts) { for (const Pkt& p : pkts) send(p); }
    NetSessionT& ses() const  // the only one: each test's table holds one session at a time
    {
        NetSessionT* s = testtables::findTracked(cli, srv);
        return s != nullptr ? *s : throw std::runtime_error("session not tracked");
    }
};

class SessionStep : public ::testing::Test {
protected:
    void SetUp() override
    {
        testtables::resetSessions(), testtables::clearEndpoints();
        readOnlyGlobal.disableRepeat = 1, readOnlyGlobal.checkHttp = 0;
        globalValue.processState.retran = globalValue.processState.drop = 0;
    }
    void TearDown() override { SetUp(); }
};

// A SYN or SYN-ACK names the client, else the lower port is the server's, also on loopback.
TEST_F(SessionStep, FirstPacketDecidesRoles)
{
    struct Case { const char* what; IpAddrT src; int sport; IpAddrT dst; int dport; u8 flags;
                  IpAddrT client; int clientPort, realDirection, state; };
    const Case cases[] = {
        {"SYN-ACK", B, 80, A, 40000, SYN | ACK, A, 40000, 1, 2}, {"FIN", A, 40000, B, 80, FIN | ACK, A, 40000, 0, 4},
        {"SYN with ECE", A, 80, B, 40000, SYN | 0x40, B, 40000, 0, 3},
        {"ACK from the low port", A, 80, B, 40000, ACK, A, 80, 0, 3},
        {"loopback SYN-ACK", A, 18090, A, 42032, SYN | ACK, A, 42032, 1, 2},
    };
    for (const Case& k : cases) {
        SetUp();
        Flow f {.cli = k.src, .cport = k.sport, .srv = k.dst, .sport = k.dport};
        f({{C, k.flags, 1, 0, 0, 0}});
        const NetSessionT& s = f.ses();
        EXPECT_EQ(std::tuple(s.src == k.client, s.sport, s.realDirection, s.state),
                  std::tuple(true, k.clientPort, k.realDirection, k.state)) << k.what;
        EXPECT_EQ(k.src == k.client && k.sport == k.clientPort ? s.rcvdPkts : s.sendPkts, 1u) << k.what;
    }
}

// A packet captured twice is ignored: its IP id is among the last four of its direction (the first packet's
// included), or, with id 0, it is a TCP segment equal to the one just before it, within half a millisecond.
TEST_F(SessionStep, DuplicateCapturesAreIgnored)
{
    struct Step { bool fromCli; u8 flags; u32 ack; long long us; u16 id; bool counted; };
    const struct { int proto, len; std::vector<Step> steps; } flows[] = {
        {17, 20, {{C, 0, 0, 0, 5, 1}, {C, 0, 0, 1, 5, 0}, {S, 0, 0, 2, 5, 1}, {C, 0, 0, 3, 0, 1}, {C, 0, 0, 4, 0, 1},
                  {C, 0, 0, 5, 6, 1}, {C, 0, 0, 6, 7, 1}, {C, 0, 0, 7, 8, 1}, {C, 0, 0, 8, 5, 0}, {C, 0, 0, 9, 9, 1},
                  {C, 0, 0, 10, 5, 1}}},
        {6, 0, {{C, SYN, 0, 0, 0, 1}, {C, SYN, 0, 5, 0, 0}, {S, SYN | ACK, 1, 100, 0, 1}, {S, SYN | ACK, 1, 120, 0, 0},
                {S, SYN | ACK, 1, 1000100, 0, 1}, {C, ACK, 1, 1000200, 0, 1}, {C, ACK, 2, 1000210, 0, 1},
                {C, ACK, 2, 1000220, 0, 0}, {C, ACK, 2, 1000800, 0, 1}, {S, ACK, 1, 1001310, 7, 1},
                {S, ACK, 1, 1001320, 7, 0}}},
    };
    for (const auto& flow : flows) {
        SetUp();
        Flow f {.proto = flow.proto, .sport = 53};
        u32 counted = 0;
        for (const Step& st : flow.steps) {
            f.send({st.fromCli, st.flags, 1, st.ack, flow.len, st.us}, st.id), counted += st.counted;
            EXPECT_EQ(f.ses().rcvdPkts + f.ses().sendPkts, counted) << flow.proto << " " << &st - flow.steps.data();
        }
    }
}

// Delays from the first acknowledgement after data (and the first copy of resent data),
// response and load times, zero windows, retransmissions counted but not analysed, close.
TEST_F(SessionStep, OneConnectionThroughItsLife)
{
    Flow f;
    f({{C, SYN, 1000, 0, 0, 0}, {S, SYN | ACK, 5000, 1001, 0, 1500}, {C, ACK, 1001, 5001, 0, 2000},
       {C, PSH | ACK, 1001, 5001, 100, 10000}, {S, ACK, 5001, 1101, 0, 12000},
       {S, ACK, 5001, 1101, 0, 13000, 0}});  // same direction: no second sample
    NetSessionT& s = f.ses();
    EXPECT_EQ(std::tuple(s.cntSerDelay, s.serDelayUsec, s.serRetransDelayUsec), std::tuple(1u, 2000u, 2000u));
    // The answer's first segment resent after 50 ms, acked 1 ms later; its second never acked.
    f({{S, PSH | ACK, 5001, 1101, 200, 20000}, {S, PSH | ACK, 5001, 1101, 200, 70000}, {C, ACK, 1101, 5201, 0, 71000},
       {S, PSH | ACK, 5201, 1101, 200, 80000}, {C, ACK, 1101, 5201, 0, 81000, 0},
       {C, PSH | ACK, 1101, 5401, 100, 90000}});
    EXPECT_EQ(std::tuple(s.cntCliDelay, s.cliDelayUsec, s.cliRetransDelayUsec), std::tuple(1u, 1000u, 50000u));
    EXPECT_EQ(std::tuple(s.cntSrcZeroWin, s.cntDstZeroWin, s.cntCustomDelay, s.customDelayUsec, s.cntLoadDelay,
                         s.loadDelayUsec), std::tuple(1u, 1u, 1u, 10000u, 1u, 60000u));
    // The request again, a window probe behind the window, older server data.
    const NetSessionT before = s;
    f({{C, PSH | ACK, 1101, 5401, 100, 91000}, {C, ACK, 900, 5401, 1, 92000}, {S, PSH | ACK, 4000, 1201, 50, 93000}});
    EXPECT_EQ(std::tuple(s.rcvdRetransmitPkts, s.sendRetransmitPkts, globalValue.processState.retran,
                         globalValue.processState.drop), std::tuple(1u, 2u, 3, 3));
    EXPECT_EQ(std::pair(s.rcvdBytes - before.rcvdBytes, u32(s.bytes - before.bytes)),
              std::pair(wire(100) + wire(1), wire(1)));
    // FINs are counted by direction, a resent one too.
    f({{C, FIN | ACK, 1201, 5401, 0, 100000}});
    EXPECT_EQ(std::tuple(s.state, s.rcvdFinPkts, s.sendFinPkts), std::tuple(4, 1u, 0u));
    f({{S, FIN | ACK, 5401, 1202, 0, 101000}, {C, FIN | ACK, 1201, 5402, 0, 101500}, {C, RST, 1202, 0, 0, 102000}});
    EXPECT_EQ(std::tuple(s.state, s.rcvdFinPkts, s.sendFinPkts), std::tuple(5, 2u, 1u));
}

// Handshake halves past 5 s and application delays past 60 s are gaps in the
// capture, not delays; an ACK that carries data does not complete a handshake.
TEST_F(SessionStep, DelayLimitsAndTheHandshakesAck)
{
    Flow f;
    f({{C, SYN, 1000, 0, 0, 0}, {S, SYN | ACK, 5000, 1001, 0, 5000000}, {C, ACK, 1001, 5001, 0, 10000001},
       {C, PSH | ACK, 1001, 5001, 100, 20000000}, {S, PSH | ACK, 5001, 1101, 100, 80000000},
       {S, PSH | ACK, 5101, 1101, 100, 140000001}, {C, PSH | ACK, 1101, 5201, 100, 150000000}});
    const NetSessionT& s = f.ses();
    EXPECT_EQ(std::tuple(s.connNum, s.serConDelayUsec, s.cliConDelayUsec, s.cntCustomDelay, s.customDelayUsec,
                         s.cntLoadDelay), std::tuple(1u, 5000000u, 0u, 1u, 60000000u, 0u));
    SetUp();
    f({{C, SYN, 1000, 0, 0, 0}, {S, SYN | ACK, 5000, 1001, 0, 1500}, {C, PSH | ACK, 1001, 5001, 100, 2000}});
    EXPECT_EQ(std::pair(f.ses().state, f.ses().connNum), std::pair(2, 0u));
}

// A capture that starts with a reply takes the replier for the client until the next exchange.
TEST_F(SessionStep, IcmpEchoResponseTime)
{
    struct Ping { bool fromCli; u8 seq; long long us; IpAddrT client; u32 usec, count; int len = 16; };
    const std::vector<Ping> runs[] = {
        {{C, 1, 0, A, 0, 0}, {S, 1, 2000, A, 2000, 1}, {C, 2, 1000000, A, 2000, 1}, {S, 2, 1002000, A, 4000, 2}},
        {{S, 7, 0, B, 0, 0}, {C, 8, 1000000, B, 0, 0}, {S, 8, 1003000, A, 3000, 1}},
        {{C, 1, 0, A, 0, 0, 6}, {S, 1, 2000, A, 0, 0, 6}},  // too short for a sequence number
    };
    for (const bool v6 : {false, true})  // ICMP, and ICMPv6 echo (128, 129) alike
        for (const std::vector<Ping>& run : runs) {
            SetUp();
            Flow f {.proto = v6 ? 58 : 1, .cli = v6 ? A6 : A, .cport = 0, .srv = v6 ? B6 : B, .sport = 0};
            for (const Ping& p : run) {
                const u8 echo[16] = {u8(p.fromCli ? (v6 ? 128 : 8) : (v6 ? 129 : 0)), 0, 0, 0, 0, 1, 0, p.seq};
                f.send({p.fromCli, 0, 0, 0, p.len, p.us}, 0, echo);
                const NetSessionT& s = f.ses();
                const IpAddrT client = p.client == A ? f.cli : f.srv;
                EXPECT_EQ(std::tuple(s.src == client, s.customDelayUsec, s.cntCustomDelay),
                          std::tuple(true, p.usec, p.count)) << p.us << (v6 ? " v6" : "");
            }
        }
}

// An endpoint's type and business id go to its sessions; else HTTP is recognised from the
// first payload's captured bytes, nothing read past them or a zero byte.
TEST_F(SessionStep, ApplicationTypeAndBusinessId)
{
    const std::string get = "GET /index.html HTTP/1.1\r\n";
    struct Case { const char* endpoint; int protoIdx, proto; std::string captured; int type; };
    const Case cases[] = {
        {"10.1.0.2", 3, 6, "", 1}, {"10.1.0.0/24", 5, 6, "", 3},
        {"10.1.0.2", 0, 6, get, 0},  // "TCP & UDP" selects no analysis
        {nullptr, 0, 17, get, 0},  {nullptr, 0, 6, get, 1}, {nullptr, 0, 6, "POST /form HTTP/1.0", 1},
        {nullptr, 0, 6, get.substr(0, 10), 0}, {nullptr, 0, 6, std::string("GET /\0HTTP/1.1", 14), 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(&k - cases);
        SetUp();
        readOnlyGlobal.checkHttp = k.endpoint == nullptr;  // HTTP recognition only without an endpoint
        ASSERT_TRUE(k.endpoint == nullptr || testtables::addEndpoint(k.endpoint, k.protoIdx));
        const std::vector<u8> exact(k.captured.begin(), k.captured.end());
        Flow f {.proto = k.proto};
        f.send({C, ACK, 1, 1, exact.empty() ? 0 : 1400, 0}, 0, exact.data(), int(exact.size()));
        EXPECT_EQ(std::pair(f.ses().type, std::string(f.ses().busiId)),
                  std::pair(k.type, std::string(k.endpoint != nullptr ? "12345678" : "")));
    }
}

// A connection that takes over a slot (a closed one recycled, one the scan freed, or the
// same ports again) starts empty: each transaction goes out once, with its own connection
// and its handshake times, also after a scan has cleared the interval's; none when its
// handshake was not seen.
TEST_F(SessionStep, EachTransactionOnceWithItsOwnConnection)
{
    using H = std::tuple<std::string, int, u32, u32>;  // URL, client port, client and server handshake times
    static std::vector<H> handed;
    handed.clear();
    setTransactionSink([](NetSessionT* s) {
        if (s->type == 1 && s->busi.http.url[0] != 0)
            handed.emplace_back(s->busi.http.url, s->sport, s->cliHandshakeUsec, s->serHandshakeUsec);
    });
    const std::string get1 = "GET /one HTTP/1.1\r\n\r\n", get2 = "GET /two HTTP/1.1\r\n\r\n";
    const std::string ok = "HTTP/1.1 200 OK\r\n\r\n";
    // A SYN, a SYN-ACK 100 us later and its ACK ackUs after that (ackUs 0: neither captured), a
    // scan at a ten-second mark, a request, its answer; from t on.
    auto exchange = [](Flow& f, long long t, int ackUs, const std::string& get, const std::string& answer) {
        f.send({C, SYN, 1000, 0, 0, t});
        if (ackUs > 0) f({{S, SYN | ACK, 5000, 1001, 0, t + 100}, {C, ACK, 1001, 5001, 0, t + 100 + ackUs}});
        clearSessionValue(&f.ses());
        f.send({C, PSH | ACK, 1001, 5001, int(get.size()), t + 2000}, 0, reinterpret_cast<const u8*>(get.data()));
        f.send({S, PSH | ACK, 5001, 1001 + u32(get.size()), int(answer.size()), t + 3000}, 0,
               reinterpret_cast<const u8*>(answer.data()));
    };
    // untyped: the first connection is not taken for HTTP (nothing recognised it), the second is;
    // tls: the first begins with a ClientHello, and the second on the same ports is HTTP again.
    struct Case { const char* how; int port; long long after; bool freed; int ackUs; bool untyped = false, tls = false; };
    const Case cases[] = {{"recycled when closed", 41024, 2000000, false, 700},  // 1024 apart: the same bucket
                          {"freed by the scan", 41024, 500000, true, 700}, {"same ports", 40000, 500000, false, 700},
                          {"recycled, handshake unseen", 41024, 2000000, false, 0},
                          {"same ports, handshake unseen", 40000, 500000, false, 0},
                          {"same ports, handshake unseen, untyped before", 40000, 500000, false, 0, true},
                          {"same ports, TLS before", 40000, 500000, false, 700, false, true}};
    const std::string hello("\x16\x03\x01\x00\x05\x01\x00\x00\x01\x00", 10);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.how);
        SetUp(), handed.clear(), readOnlyGlobal.checkHttp = !k.untyped;
        Flow f;
        exchange(f, 0, 500, k.tls ? hello + get1.substr(hello.size()) : get1, ok);
        readOnlyGlobal.checkHttp = 1;
        f({{C, FIN | ACK, 1020, 5020, 0, 4000}, {S, FIN | ACK, 5020, 1021, 0, 5000}, {C, ACK, 1021, 5021, 0, 6000}});
        if (k.freed) f.ses().valid = 0;  // its record and transaction went out with the scan
        f.cport = k.port;
        exchange(f, k.after, k.ackUs, get2, ok);
        f.send({C, PSH | ACK, 1001 + u32(get2.size()), 5001 + u32(ok.size()), int(get1.size()), k.after + 10000}, 0,
               reinterpret_cast<const u8*>(get1.data()));  // closes /two
        std::vector<H> want {{"/one", 40000, 500u, 100u}, {"/two", k.port, u32(k.ackUs), k.ackUs ? 100u : 0u}};
        if (k.freed || k.untyped || k.tls) want.erase(want.begin());
        EXPECT_EQ(handed, want);
    }
    setTransactionSink(nullptr);
}

// The reply finds the request's session, also from another VLAN; another protocol does not. A closed session quiet
// for two seconds gives up its slot to the next packet, also one that finds its own further on: it leaves the count.
TEST(SessionTable, BothDirectionsFindOneSession)
{
    auto node = std::make_unique<HashNodeT>();
    int dir = -1;
    const long inUse = sessionsInUse();
    NetSessionT* closed = findSession(node.get(), 7, 6, A, B, 40001, 80, 100, &dir, nullptr);
    NetSessionT* s = findSession(node.get(), 7, 6, A, B, 40000, 80, 100, &dir, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(findSession(node.get(), 9, 6, B, A, 80, 40000, 100, &dir, nullptr), s);
    EXPECT_EQ(std::pair(dir, s->vid), std::pair(2, 7));
    EXPECT_NE(findSession(node.get(), 7, 17, A, B, 40000, 80, 100, &dir, nullptr), s);
    EXPECT_EQ(sessionsInUse() - inUse, 3);
    closed->state = 4;
    EXPECT_EQ(findSession(node.get(), 7, 6, A, B, 40000, 80, 102, &dir, nullptr), s);
    EXPECT_EQ(std::pair(closed->valid, sessionsInUse() - inUse), std::pair(0, 2L));
}

TEST(SessionHelpers, LengthClassesTimeDifferencesAndRecordTexts)
{
    u32 NetSessionT::*const classes[] = {&NetSessionT::upTo64,  &NetSessionT::upTo128,  &NetSessionT::upTo256,
                                         &NetSessionT::upTo512, &NetSessionT::upTo1024, &NetSessionT::upTo1514,
                                         &NetSessionT::largePkts};
    for (const auto& [len, k] : {std::pair {64, 0}, {65, 1}, {128, 1}, {129, 2}, {512, 3}, {1024, 4}, {1514, 5},
                                 {1515, 6}}) {
        NetSessionT s {};
        addSessionDistribute(&s, len);
        for (int i = 0; i < 7; ++i) EXPECT_EQ(s.*classes[i], i == k ? 1u : 0u) << len;
    }
    struct Diff { timeval a, b; int usec; };
    // Unset times, negative, up to and past 2^31 microseconds, 32-bit seconds wrapping.
    const Diff diffs[] = {{{10, 200}, {9, 900}, 999300}, {{10, 0}, {0, 5}, 0}, {{0, 900}, {10, 0}, 0},
                          {{9, 900}, {10, 200}, 0}, {{2147 + 5, 0}, {5, 0}, 2147000000}, {{2148 + 5, 0}, {5, 0}, 0},
                          {{5, 0}, {0xFFFFFFFFLL, 0}, 6000000}};
    for (const Diff& d : diffs) EXPECT_EQ(timevalDiffUsec(d.a, d.b), d.usec) << d.a.tv_sec << " " << d.b.tv_sec;
    // The record's host and URL or statement, cut to 32 bytes; texts copied within their fields.
    NetSessionT s {};
    std::memset(s.busiId, 'b', sizeof s.busiId);
    struct Case { int type; const char* domain; std::string text, expect; };  // text: URL for type 1, else SQL
    const std::string longUrl = "/" + std::string(38, 'u'), longSql = "select " + std::string(393, 'x');
    const Case cases[] = {{1, "example.com", longUrl, "example.com" + longUrl.substr(0, 21)},
                          {1, "example.com", "", ""},  // no URL, no text, even with a host
                          {2, "", longSql, longSql.substr(0, 32)}, {0, "", "select 1", ""}};
    for (const Case& c : cases) {
        s.type = c.type;
        std::memset(&s.busi, 0, sizeof s.busi);
        std::strcpy(s.busi.http.domain, c.domain);
        std::strcpy(c.type == 1 ? s.busi.http.url : s.busi.db.sql, c.text.c_str());
        CommMsgT m;
        std::memset(&m, 0x33, sizeof m);
        cloneMsgValue(&m, &s);
        EXPECT_EQ(std::string(m.urlsql) + "|" + m.pname + "|" + m.busiId,
                  c.expect + "||" + std::string(31, 'b')) << c.type;
    }
}

}  // namespace
