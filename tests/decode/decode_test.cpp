// The frame path: the early filter and the ring between capture and processing (the cut to
// dumpTrun: retrieval_verbs.sh; to a slot, with the wire length kept: json_records.sh), and
// decoding: which raw frames reach a session, with what, and which are left alone.
#include "decode/decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "capture/pipeline.h"
#include "capture/ring.h"
#include "output/channel.h"
#include "output/pairs.h"
#include "support/frames.h"
#include "support/tables.h"

using namespace testframes;
using namespace testtables;

namespace {

constexpr u32 A = 0x0A000001, B = 0x0A000002;  // FrameSpec's default ends
const FrameSpec tcp, outer {.src = 0xC0A80101, .dst = 0xC0A80102, .sport = 33333, .dport = 53};  // tunnel ends

// As the processing thread hands frames over: followed by a zero byte.
void feed(Bytes f, int sec = 100, int caplen = -1)
{
    const auto len = bpf_u_int32(f.size());
    const pcap_pkthdr h {{sec, 0}, caplen < 0 ? len : bpf_u_int32(caplen), len};
    f.push_back(0), processPacket(&h, f.data());
}

class DecodeTest : public ::testing::Test {
protected:
    void SetUp() override { connectStages(), resetSessions(), clearEndpoints(), readOnlyGlobal.managerAddrCnt = 0; }
    void TearDown() override { SetUp(); }
};

// Only untunnelled packets are counted. A TCP payload's length comes from the IPv4 total
// length whatever it claims, never from past the captured bytes.
TEST_F(DecodeTest, EachPathReachesTheSessionWithTheInnerPacket)
{
    const FrameSpec vlan {.tags = 1, .tci = 0x2064};
    // One MPLS label (bottom of stack) before the inner IPv4 packet.
    const std::string mpls = bytesOf(buildFrame(tcp)).substr(0, 12) + std::string("\x88\x47\x00\x01\x41\x40", 6) +
                             bytesOf(buildFrame(tcp), 14);
    const std::string k(1000, 'p');
    auto totalLength = [&](unsigned n) { Bytes f = buildFrame({.payload = k}); put16(f, 16, n); return f; };
    struct Case { const char* name; Bytes frame; int vid = 0; bool counted = true; int reqLen = 0, caplen = -1;
                  int proto = 6, sport = 40000, dport = 80; };
    const Case cases[] = {
        {"UDP: a first packet's sender from the lower port is the client",
         buildFrame({.proto = 17, .sport = 5000, .dport = 6000}), 0, true, 0, -1, 17, 5000, 6000},
        {"ICMP echo", buildFrame({.proto = 1, .payload = std::string("\x08\0\0\0\0\x01\0\x07", 8)}), 0, true, 8, -1,
         1, 0, 0},
        {"802.1Q", buildFrame(vlan), 100},
        {"two tags keep the outer id", buildFrame({.tags = 2, .tci = 0x0123}), 0x123},
        {"GRE", greFrame(outer, tcp), 0, false},
        {"GRE bridged Ethernet", tunnel(outer, 47, GRE_TEB, bytesOf(buildFrame(tcp))), 0, false},
        {"GRE in GRE", tunnel(outer, 47, GRE_IP, bytesOf(greFrame(outer, tcp), 14)), 0, false},
        {"VXLAN, whatever the port", vxlanFrame(outer, tcp), 0, false},
        {"VXLAN with an 802.1Q inner frame", vxlanFrame(outer, vlan), 0, false},
        {"VXLAN with MPLS", tunnel(outer, 17, VXLAN, mpls), 0, false},
        {"VXLAN over IPv6", buildFrame6({.proto = 17, .payload = VXLAN + bytesOf(buildFrame(tcp))}), 0, false},
        {"GRE over IPv6", buildFrame6({.proto = 47, .payload = GRE_IP + bytesOf(buildFrame(tcp), 14)}), 0, false},
        {"a keep-alive probe carries no payload", buildFrame({.payload = std::string(1, '\0')})},
        {"one byte", buildFrame({.payload = "\x01"}), 0, true, 1},
        {"200 bytes captured", buildFrame({.payload = k}), 0, true, 1000, 200},
        {"total length past the frame", totalLength(60000), 0, true, 60000 - 40},
        {"total length below the headers", totalLength(30)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSessions();
        feed(c.frame, 100, c.caplen);
        const NetSessionT* s = findTracked(A, B);
        ASSERT_TRUE(countSessions() == 1 && s != nullptr);
        EXPECT_EQ(std::tuple(s->proto, s->sport, s->dport, s->vid, s->reqLen, globalValue.processState.pkt.load()),
                  std::tuple(c.proto, c.sport, c.dport, c.vid, c.reqLen, c.counted ? 1u : 0u));
    }
}

// The probe's own peers are left out even when monitored.
TEST_F(DecodeTest, WhatIsNotAnalysed)
{
    auto withByte = [](std::size_t at, std::uint8_t v) { Bytes f = buildFrame(tcp); f[at] = v; return f; };
    struct Case { const char* name; Bytes frame; const char* endpoint = nullptr; const char* peer = nullptr;
                  int sessions = 0; };
    const Case cases[] = {
        {"ARP", buildFrame({.etherType = 0x0806})}, {"a later IPv6 fragment", buildFrame6(tcp, {{44, 8, 0x00B9}})},
        {"SCTP", buildFrame({.proto = 132})}, {"a later fragment", buildFrame({.fragField = 0x00B9})},
        {"ICMP in VXLAN", vxlanFrame(outer, {.proto = 1, .payload = std::string(8, '\0')})},
        {"IPv4 header length below 20", withByte(14, 0x44)}, {"TCP data offset below 20", withByte(14 + 20 + 12, 0x30)},
        {"the probe's own peer", buildFrame(tcp), "10.0.0.2", "10.0.0.2"}, {"no monitored end", buildFrame(tcp), "10.9.9.9"},
        {"the probe's own IPv6 peer", buildFrame6(tcp), "2001:db8::/32", "2001:db8::2"},
        {"no monitored end, IPv6", buildFrame6(tcp), "2001:db8::9"},
        {"no monitored end, tunnelled", greFrame(outer, tcp), "10.9.9.9", nullptr, 1},
    };
    for (const Case& c : cases) {
        SetUp();
        sockaddr_storage peer {};
        ASSERT_TRUE(!c.peer || getDomainAddr(c.peer, 9015, &peer) == 0);
        ASSERT_TRUE(c.endpoint == nullptr || addEndpoint(c.endpoint, 0));
        feed(c.frame);
        EXPECT_EQ(std::pair(countSessions(), globalValue.processState.pkt.load()), std::pair(c.sessions, 0u)) << c.name;
    }
}

// What decoding makes of the first caplen bytes of frame (all when negative), or "none".
std::string decoded(const Bytes& frame, long caplen = -1)
{
    Bytes f(frame.begin(), caplen < 0 ? frame.end() : frame.begin() + caplen);
    f.push_back(0);
    const pcap_pkthdr h {{100, 0}, bpf_u_int32(f.size() - 1), bpf_u_int32(frame.size())};
    DecodedPacketT p;
    char a[IP_PORT_TEXT_SIZE], b[IP_PORT_TEXT_SIZE], t[160];
    if (!decodeFrame(&h, f.data(), p)) return "none";
    formatIpPort(p.src, p.sport, a), formatIpPort(p.dst, p.dport, b);
    std::snprintf(t, sizeof t, "v%d %d %s %s %d/%d id %x vid %d", p.v6 ? 6 : 4, p.proto, a, b, p.payloadLen, p.capLen,
                  p.frag, p.vid);
    return t;
}

// The upper layer behind up to eight extension headers in any order, each bounds-checked;
// IPv6 inside and around GRE and VXLAN.
TEST_F(DecodeTest, Ipv6Frames)
{
    const Ext6 hop {0}, rt {43, 24}, opts {60, 16}, ah {51, 24}, frag {44, 8, 0x0001, 0x12345678};
    const FrameSpec abc {.payload = "abc"};
    // An upper layer that, walked as one more extension header, would lead to TCP.
    auto opaque = [](int proto, char first = 6) {
        return FrameSpec {.proto = proto, .payload = first + std::string(1, 0) + std::string(38, 'x')};
    };
    const std::string in6 = bytesOf(buildFrame6(abc)), tcp6 = "v6 6 [2001:db8::1]:40000 [2001:db8::2]:80 ",
                      icmp6 = "v6 58 [2001:db8::1]:0 [2001:db8::2]:0 ";
    Bytes claimsMore = buildFrame6(abc), version4 = claimsMore;
    put16(claimsMore, 18, 60000), version4[14] = 0x40;
    const std::tuple<const char*, Bytes, std::string, long> cases[] = {
        {"routing first", buildFrame6(abc, {rt, opts, frag, ah, opts}), tcp6 + "3/3 id 444c vid 0", -1},
        {"fragment, options, AH", buildFrame6(abc, {frag, opts, ah}), tcp6 + "3/3 id 444c vid 0", -1},
        {"eight headers", buildFrame6(abc, std::vector<Ext6>(8, opts)), tcp6 + "3/3 id 0 vid 0", -1},
        {"nine headers", buildFrame6(abc, std::vector<Ext6>(9, opts)), "none", -1},
        {"a later fragment", buildFrame6(abc, {{44, 8, 0x0009}}), "none", -1},
        {"ESP behind AH", buildFrame6(opaque(50), {ah}), "none", -1},
        {"no next header", buildFrame6(opaque(59), {opts}), "none", -1},
        {"version 4", version4, "none", -1},
        {"UDP", buildFrame6({.proto = 17, .payload = "q"}), "v6 17" + tcp6.substr(4) + "1/1 id 0 vid 0", -1},
        {"echo request", buildFrame6(opaque(58, char(128))), icmp6 + "40/40 id 0 vid 0", -1},
        {"echo reply", buildFrame6(opaque(58, char(129))), icmp6 + "40/40 id 0 vid 0", -1},
        {"neighbour solicitation", buildFrame6(opaque(58, char(135))), "none", -1},
        {"two tags", buildFrame6({.tags = 2, .tci = 0x0123, .payload = "abc"}), tcp6 + "3/3 id 0 vid 291", -1},
        {"payload length as on the wire", buildFrame6({.payload = std::string(1000, 'p')}), tcp6 + "1000/10 id 0 vid 0",
         14 + 40 + 20 + 10},
        {"payload length past the frame", claimsMore, tcp6 + "59980/3 id 0 vid 0", -1},
        {"in GRE", tunnel(outer, 47, GRE_IP6, in6.substr(14)), tcp6 + "3/3 id 0 vid 0", -1},
        {"in GRE, bridged", tunnel(outer, 47, GRE_TEB, in6), tcp6 + "3/3 id 0 vid 0", -1},
        {"in VXLAN", tunnel(outer, 17, VXLAN, in6), tcp6 + "3/3 id 0 vid 0", -1},
        {"in GRE over IPv6", buildFrame6({.proto = 47, .payload = GRE_IP6 + in6.substr(14)}, {opts}),
         tcp6 + "3/3 id 0 vid 0", -1},
        {"in VXLAN over IPv6", buildFrame6({.proto = 17, .payload = VXLAN + in6}, {frag}), tcp6 + "3/3 id 0 vid 0", -1},
        {"ICMPv6 in VXLAN", tunnel(outer, 17, VXLAN, bytesOf(buildFrame6(opaque(58, char(128))))), "none", -1},
    };
    for (const auto& [name, frame, want, caplen] : cases) EXPECT_EQ(decoded(frame, caplen), want) << name;
    // Cut anywhere before the TCP header's end, at or inside any header of the chain.
    const Bytes whole = buildFrame6(abc, {hop, rt, {44}, ah, opts});
    ASSERT_NE(decoded(whole), "none");
    for (long len = 0; len < long(whole.size()) - 3; len++) EXPECT_EQ(decoded(whole, len), "none") << len;
}

std::vector<CommMsgT> exported;
std::vector<std::string> urls;

// A full bucket takes no newcomer until a session closed by FINs has been quiet for over a
// second; the newcomer takes its slot, and its record and open transaction go out at once.
TEST_F(DecodeTest, AFullBucketRecyclesAClosedSessionAndExportsIt)
{
    exported.clear(), urls.clear();
    setRecordObserver([](const CommMsgT& r) { exported.push_back(r); });
    setTransactionObserver([](const NetSessionT& s) { if (s.busi.http.url[0]) urls.emplace_back(s.busi.http.url); });
    globalValue.currTime = 1234;
    ASSERT_TRUE(addEndpoint("10.0.0.2:80", 3));
    feed(buildFrame({.flags = 0x10}));
    feed(buildFrame({.ipId = 2, .payload = "GET /open HTTP/1.1\r\nHost: b\r\n\r\n"}));
    feed(buildFrame({.ipId = 3, .flags = 0x11}));
    for (u32 i = 1; i <= 15; i++) feed(buildFrame({.src = A + 1024 * i}));  // the bucket's other 15: same low ten bits
    const Bytes newcomer = buildFrame({.src = A + 1024 * 16, .flags = 0x02});
    feed(newcomer, 101);                                // exactly one second later
    feed(buildFrame({.ipId = 4, .flags = 0x10}), 102);  // the closed one's own packet finds it
    EXPECT_TRUE(countSessions() == 16 && findTracked(A + 1024 * 16, B) == nullptr);
    EXPECT_TRUE(exported.empty() && urls.empty());
    feed(newcomer, 104);
    setRecordObserver(nullptr), setTransactionObserver(nullptr);
    EXPECT_TRUE(findTracked(A + 1024 * 16, B) != nullptr && findTracked(A, B) == nullptr);
    EXPECT_EQ(urls, std::vector<std::string> {"/open"});
    ASSERT_EQ(exported.size(), 1u);
    EXPECT_EQ(std::tuple(exported[0].src, exported[0].dst, exported[0].rcvdPkts), std::tuple(ipFromV4(A), ipFromV4(B), 4u));
    EXPECT_EQ(exported[0].time, 1234) << "stamped with the latest capture second";
}

pcap_pkthdr whole(const Bytes& f) { return {{}, bpf_u_int32(f.size()), bpf_u_int32(f.size())}; }
int check(const Bytes& f) { const pcap_pkthdr h = whole(f); return checkPacket(&h, f.data()); }
int write(const Bytes& f) { pcap_pkthdr h = whole(f); return packet_write(&h, f.data()); }

class RingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ([] { static const int ready = init_packet(); return ready; }(), 0); }
    void SetUp() override { TearDown(), readOnlyGlobal.runFlag = 1, setRingWaitWhenFull(false); }
    void TearDown() override
    {
        testtables::clearEndpoints();
        while (packet_peek() != nullptr) packet_release();
        readOnlyGlobal.expNumIP.store({}), readOnlyGlobal.expPktNumIP.store({});
        readOnlyGlobal.expPort = readOnlyGlobal.expPktPort = 0;
    }
};

TEST_F(RingTest, EarlyFilterKeepsWhatConcernsAnEndpoint)
{
    const Bytes tcp = buildFrame({}), udp = buildFrame({.proto = 17, .dport = 514});  // 10.0.0.1 -> 10.0.0.2
    auto cut = [&](long len) { return Bytes(tcp.begin(), tcp.begin() + len); };  // exactly len bytes
    // Endpoints accumulate from step to step.
    struct Step { const char* what; const char* endpoint; int protoIdx; Bytes frame; int kept; };
    const Step steps[] = {
        {"no endpoint: everything is kept", nullptr, 0, tcp, 1},
        {"only TCP, UDP, ICMP and GRE", nullptr, 0, buildFrame({.proto = 132}), 0},
        {"between two unmonitored hosts", "10.9.9.9", 1, tcp, 0},
        {"ICMP", nullptr, 0, buildFrame({.proto = 1}), 1}, {"GRE", nullptr, 0, buildFrame({.proto = 47}), 1},
        {"a port-bound endpoint needs the port", "10.0.0.2:80", 1, cut(34), 0},
        {"a fragment offset far past the data", nullptr, 0, buildFrame({.fragField = 0x1FFF}), 0},
        {"to the server", nullptr, 0, tcp, 1},
        {"from the server", nullptr, 0, buildFrame({.src = 0x0A000002, .dst = 0x0A000001, .sport = 80, .dport = 1}), 1},
        {"behind two 802.1Q tags", nullptr, 0, buildFrame({.tags = 2}), 1},
        {"a TCP endpoint is TCP only", nullptr, 0, udp, 0},
        {"judged by the addresses alone", "10.0.0.2", 1, cut(34), 1}, {"UDP", "10.0.0.2", 2, udp, 1},
        {"ARP, whatever its bytes", nullptr, 0, [&] { Bytes a = tcp; put16(a, 12, 0x0806); return a; }(), 0},
        {"IPv6 between unmonitored hosts", nullptr, 0, buildFrame6({}), 0},
        {"IPv6 to a monitored port", "[2001:db8::2]:80", 1, buildFrame6({}), 1},
        {"IPv6 behind extension headers", nullptr, 0, buildFrame6({}, {{0}, {60, 16}}), 1},
        {"an IPv6 later fragment, by its addresses", "2001:db8::2", 0, buildFrame6({}, {{44, 8, 0x00B9}}), 1},
        {"ICMPv6", nullptr, 0, buildFrame6({.proto = 58}), 1},
        {"an IPv6 header chain cut short", nullptr, 0, [] { Bytes b = buildFrame6({}, {{0}}); b.resize(58); return b; }(),
         0},
    };
    for (const Step& s : steps) {
        ASSERT_TRUE(s.endpoint == nullptr || testtables::addEndpoint(s.endpoint, s.protoIdx));
        EXPECT_EQ(check(s.frame), s.kept) << s.what;
    }
    for (long len = 0; len < 34; len++) EXPECT_EQ(check(cut(len)), 0) << "cut inside the IPv4 header: " << len;
    // The probe's own exports of records, then of frames, even to a monitored host.
    readOnlyGlobal.expNumIP.store(ipFromV4(0x0A000002)), readOnlyGlobal.expPktNumIP.store(ipFromV4(0x0A000002));
    readOnlyGlobal.expPort = 514;
    EXPECT_EQ(check(udp), 0);
    readOnlyGlobal.expPort = 0, readOnlyGlobal.expPktPort = 514;
    EXPECT_EQ(check(udp), 0);
    // And over IPv6, to a collector of that family.
    const Bytes udp6 = buildFrame6({.proto = 17, .dport = 514});
    EXPECT_EQ(check(udp6), 1);
    readOnlyGlobal.expNumIP.store(ipOf("2001:db8::2")), readOnlyGlobal.expPort = 514;
    EXPECT_EQ(check(udp6), 0);
}

TEST_F(RingTest, FilterLookupServesTheDecodingWhileTheTableStands)
{
    const Bytes tcp = buildFrame({.src = 0x0A000005});  // 10.0.0.5 -> 10.0.0.2:80
    const pcap_pkthdr h = whole(tcp);
    ASSERT_TRUE(testtables::addEndpoint("10.0.0.2", 1));
    EndpointHintT hint;
    ASSERT_EQ(checkPacket(&h, tcp.data(), &hint), 1);
    DecodedPacketT p;
    ASSERT_TRUE(decodeFrame(&h, tcp.data(), p, &hint));
    EXPECT_EQ(p.host, 0);
    ASSERT_TRUE(testtables::addEndpoint("10.0.0.1", 1));  // sorts first: the entry moves to 1
    ASSERT_TRUE(decodeFrame(&h, tcp.data(), p, &hint));
    EXPECT_EQ(p.host, 1) << "a lookup made before the change is made again";
}

TEST_F(RingTest, HoldsAllButTwoSlotsInOrderAndCountsWhatItDrops)
{
    auto writeId = [](int id) { return write(buildFrame({.ipId = std::uint16_t(id)})); };
    auto takeId = [] {
        const PacketBuffer* slot = packet_peek();
        const int id = slot == nullptr ? -1 : slot->udata[18] << 8 | slot->udata[19];
        if (slot != nullptr) packet_release();
        return id;
    };
    constexpr int most = RING_SLOTS - 2;
    const std::uint64_t dropped = ringDropCount();
    for (int i = 0; i < most; i++) ASSERT_EQ(writeId(i), 0) << i;
    EXPECT_EQ(writeId(9999), -1);
    EXPECT_EQ(ringDropCount(), dropped + 1);
    EXPECT_EQ(takeId(), 0) << "oldest first";
    EXPECT_EQ(writeId(most), 0) << "one taken, one more fits";
    EXPECT_EQ(writeId(most + 1), -1);
    for (int i = 1; i <= most; i++) ASSERT_EQ(takeId(), i);
    EXPECT_EQ(takeId(), -1);
}

// A frame wakes the sleeping consumer before its 100 ms poll; it ends with the input.
TEST_F(RingTest, ProcessingThreadWakesOnAFrame)
{
    // The end of a live input ends with a last scan.
    testtables::resetSessions();
    ASSERT_TRUE(pHashTable != nullptr || initCommPair() == 0);
    std::thread consumer(processThread, nullptr);
    const Bytes f = buildFrame({});
    std::vector<double> delays;
    for (int i = 0; i < 15; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        const std::uint64_t before = decodedFrames();
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(write(f), 0);
        while (decodedFrames() == before) {
            ASSERT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
            std::this_thread::yield();
        }
        delays.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(delays.begin(), delays.end());
    EXPECT_LT(delays[delays.size() / 2], 10.0) << "median wake-up in ms";
    packet_end_input(15), packet_wait_finished();
    consumer.join();
}

}  // namespace
