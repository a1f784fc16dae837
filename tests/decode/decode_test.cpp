// Frame decoding: which raw frames reach a session, with what, and which are left alone.
#include "decode/decode.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "capture/pipeline.h"
#include "output/channel.h"
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
    f.push_back(0);
    processPacket(&h, f.data());
}

class DecodeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        connectStages();
        resetSessions();
        clearEndpoints();
        readOnlyGlobal.managerAddrCnt = 0;
    }
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
                  std::tuple(c.proto, c.sport, c.dport, c.vid, c.reqLen, c.counted ? 1 : 0));
    }
}

// The probe's own peers are left out even when monitored.
TEST_F(DecodeTest, WhatIsNotAnalysed)
{
    auto withByte = [](std::size_t at, std::uint8_t v) { Bytes f = buildFrame(tcp); f[at] = v; return f; };
    struct Case { const char* name; Bytes frame; const char* endpoint = nullptr; bool peer = false; int sessions = 0; };
    const Case cases[] = {
        {"ARP", buildFrame({.etherType = 0x0806})},
        {"IPv6", buildFrame({.etherType = 0x86DD})},
        {"SCTP", buildFrame({.proto = 132})},
        {"ICMP in VXLAN", vxlanFrame(outer, {.proto = 1, .payload = std::string(8, '\0')})},
        {"a later fragment", buildFrame({.fragField = 0x00B9})},
        {"IPv4 header length below 20", withByte(14, 0x44)},
        {"TCP data offset below 20", withByte(14 + 20 + 12, 0x30)},
        {"the probe's own peer", buildFrame(tcp), "10.0.0.2", true},
        {"no monitored end", buildFrame(tcp), "10.9.9.9"},
        {"no monitored end, tunnelled", greFrame(outer, tcp), "10.9.9.9", false, 1},
    };
    for (const Case& c : cases) {
        SetUp();
        sockaddr_in peer {};
        ASSERT_TRUE(!c.peer || getDomainAddr("10.0.0.2", 9015, &peer) == 0);
        ASSERT_TRUE(c.endpoint == nullptr || addEndpoint(c.endpoint, 0));
        feed(c.frame);
        EXPECT_EQ(std::pair(countSessions(), globalValue.processState.pkt.load()), std::pair(c.sessions, 0)) << c.name;
    }
}

TEST_F(DecodeTest, CutFramesNeverReadPastTheCapturedBytes)
{
    const FrameSpec http {.payload = "GET / HTTP/1.1\r\n\r\n"}, qinq {.tags = 2, .payload = http.payload};
    for (const Bytes& frame : {buildFrame(http), buildFrame(qinq), greFrame(outer, http), vxlanFrame(outer, http)}) {
        for (std::size_t len = 0; len <= frame.size(); len++) {
            const Bytes cut(frame.begin(), frame.begin() + long(len));  // exactly len bytes
            const pcap_pkthdr h {{100, 0}, bpf_u_int32(len), bpf_u_int32(frame.size())};
            processPacket(&h, cut.data());
        }
    }
}

std::vector<CommMsgT> exported;
std::vector<std::string> urls;

// A full bucket takes no newcomer until a session closed by FINs has been quiet for over a
// second; the newcomer takes its slot, and its record and open transaction go out at once.
TEST_F(DecodeTest, AFullBucketRecyclesAClosedSessionAndExportsIt)
{
    exported.clear();
    urls.clear();
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
    setRecordObserver(nullptr);
    setTransactionObserver(nullptr);
    EXPECT_TRUE(findTracked(A + 1024 * 16, B) != nullptr && findTracked(A, B) == nullptr);
    EXPECT_EQ(urls, std::vector<std::string> {"/open"});
    ASSERT_EQ(exported.size(), 1u);
    EXPECT_EQ(std::tuple(exported[0].src, exported[0].dst, exported[0].rcvdPkts), std::tuple(A, B, 4u));
    EXPECT_EQ(exported[0].time, 1234) << "stamped with the latest capture second";
}

}  // namespace
