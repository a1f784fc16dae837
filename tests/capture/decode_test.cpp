// Frame decoding on raw frames: which packets reach a session, with which
// addresses, ports, VLAN id and payload, and which are left alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/process.h"
#include "output/data.h"
#include "support/frames.h"
#include "support/tables.h"

using namespace testframes;
using namespace testtables;

namespace {

constexpr u32 A = 0x0A000001, B = 0x0A000002;  // FrameSpec's default ends
const FrameSpec outer {.src = 0xC0A80101, .dst = 0xC0A80102, .sport = 33333, .dport = 53};  // tunnel ends

// As the processing thread hands frames over: followed by a zero byte.
void feed(const Bytes& f, int sec = 100, int caplen = -1)
{
    Bytes copy(f);
    copy.push_back(0);
    const auto len = static_cast<bpf_u_int32>(f.size());
    const pcap_pkthdr h {{sec, 0}, caplen < 0 ? len : static_cast<bpf_u_int32>(caplen), len};
    processPacket(&h, copy.data());
}

int countedPackets() { return globalValue.processState.pkt; }

class DecodeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetSessions();
        clearEndpoints();
        readOnlyGlobal.managerAddrCnt = 0;
    }
    void TearDown() override { SetUp(); }
};

TEST_F(DecodeTest, EachPathReachesTheSessionWithTheInnerPacket)
{
    const FrameSpec tcp, vlan {.tags = 1, .tci = 0x2064};
    // The inner Ethernet frame with one MPLS label (bottom of stack) before its IPv4 packet.
    const std::string mpls = bytesOf(buildFrame(tcp)).substr(0, 12) + std::string("\x88\x47\x00\x01\x41\x40", 6) +
                             bytesOf(buildFrame(tcp), 14);
    struct Case { const char* name; Bytes frame; int proto, sport, dport, vid; bool counted; };
    const Case cases[] = {
        {"TCP", buildFrame(tcp), 6, 40000, 80, 0, true},
        {"UDP: a first packet's sender from the lower port is the client",
         buildFrame({.proto = 17, .sport = 5000, .dport = 6000}), 17, 5000, 6000, 0, true},
        {"ICMP", buildFrame({.proto = 1, .payload = std::string("\x08\0\0\0\0\x01\0\x07", 8)}), 1, 0, 0, 0, true},
        {"802.1Q", buildFrame(vlan), 6, 40000, 80, 100, true},
        {"two tags keep the outer id", buildFrame({.tags = 2, .tci = 0x0123}), 6, 40000, 80, 0x123, true},
        {"GRE", greFrame(outer, tcp), 6, 40000, 80, 0, false},
        {"GRE bridged Ethernet", tunnel(outer, 47, GRE_TEB, bytesOf(buildFrame(tcp))), 6, 40000, 80, 0, false},
        {"GRE in GRE", tunnel(outer, 47, GRE_IP, bytesOf(greFrame(outer, tcp), 14)), 6, 40000, 80, 0, false},
        {"VXLAN, whatever the port", vxlanFrame(outer, tcp), 6, 40000, 80, 0, false},
        {"VXLAN with an 802.1Q inner frame", vxlanFrame(outer, vlan), 6, 40000, 80, 0, false},
        {"VXLAN with MPLS", tunnel(outer, 17, VXLAN, mpls), 6, 40000, 80, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSessions();
        feed(c.frame);
        ASSERT_EQ(countSessions(), 1);
        const NetSessionT* s = findTracked(A, B);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->proto, c.proto);
        EXPECT_EQ(std::pair(s->sport, s->dport), std::pair(c.sport, c.dport));
        EXPECT_EQ(s->vid, c.vid);
        EXPECT_EQ(countedPackets(), c.counted ? 1 : 0);  // the counters are of untunnelled traffic
    }
}

TEST_F(DecodeTest, WhatIsNotAnalysed)
{
    const FrameSpec tcp;
    Bytes badIhl = buildFrame(tcp), badOffset = buildFrame(tcp);
    badIhl[14] = 0x44;
    badOffset[14 + 20 + 12] = 0x30;
    const std::pair<const char*, Bytes> cases[] = {
        {"ARP", buildFrame({.etherType = 0x0806})},
        {"IPv6", buildFrame({.etherType = 0x86DD})},
        {"SCTP", buildFrame({.proto = 132})},
        {"ICMP in VXLAN", vxlanFrame(outer, {.proto = 1, .payload = std::string(8, '\0')})},
        {"a later fragment", buildFrame({.fragField = 0x00B9})},
        {"IPv4 header length below 20", badIhl},
        {"TCP data offset below 20", badOffset},
    };
    for (const auto& [name, frame] : cases) {
        feed(frame);
        EXPECT_EQ(countSessions() + countedPackets(), 0) << name;
    }

    // The probe's own peers, even when monitored.
    sockaddr_in sa {};
    ASSERT_EQ(getDomainAddr("10.0.0.2", 9015, &sa), 0);
    ASSERT_TRUE(addEndpoint("10.0.0.2", 0));
    feed(buildFrame(tcp));
    EXPECT_EQ(countSessions(), 0);
    readOnlyGlobal.managerAddrCnt = 0;

    // Endpoints filter untunnelled packets only.
    clearEndpoints();
    ASSERT_TRUE(addEndpoint("10.9.9.9", 0));
    feed(buildFrame(tcp));
    EXPECT_EQ(countSessions(), 0);
    feed(greFrame(outer, tcp));
    EXPECT_EQ(countSessions(), 1);
}

// The payload length is the one on the wire, read from the IPv4 total length
// whatever it claims, never from past the captured bytes.
TEST_F(DecodeTest, PayloadLengths)
{
    const std::string k(1000, 'p');
    struct Case { const char* what; std::string payload; int caplen; unsigned totalLength; int reqLen; };
    const Case cases[] = {
        {"a keep-alive probe carries no payload", std::string(1, '\0'), -1, 0, 0},
        {"one byte", "\x01", -1, 0, 1},
        {"200 bytes captured", k, 200, 0, 1000},
        {"total length past the frame", k, -1, 60000, 60000 - 40},
        {"total length below the headers", k, -1, 30, 0},
    };
    for (const Case& c : cases) {
        resetSessions();
        Bytes f = buildFrame({.flags = 0x10, .payload = c.payload});
        if (c.totalLength != 0) put16(f, 16, c.totalLength);
        feed(f, 100, c.caplen);
        const NetSessionT* s = findTracked(A, B);
        ASSERT_NE(s, nullptr) << c.what;
        EXPECT_EQ(s->reqLen, c.reqLen) << c.what;
    }
}

TEST_F(DecodeTest, CutFramesNeverReadPastTheCapturedBytes)
{
    const FrameSpec tcp {.payload = "GET / HTTP/1.1\r\n\r\n"}, qinq {.tags = 2, .payload = tcp.payload};
    for (const Bytes& frame : {buildFrame(tcp), buildFrame(qinq), greFrame(outer, tcp), vxlanFrame(outer, tcp)}) {
        for (std::size_t len = 0; len <= frame.size(); len++) {
            const Bytes cut(frame.begin(), frame.begin() + static_cast<long>(len));  // exactly len bytes
            const pcap_pkthdr h {{100, 0}, static_cast<bpf_u_int32>(len), static_cast<bpf_u_int32>(frame.size())};
            processPacket(&h, cut.data());
        }
    }
}

std::vector<CommMsgT> exported;
std::vector<std::string> urls;

TEST_F(DecodeTest, ARecycledSessionIsExportedAtOnceWithItsOpenTransaction)
{
    exported.clear();
    urls.clear();
    setRecordObserver([](const CommMsgT& r) { exported.push_back(r); });
    setTransactionObserver([](const NetSessionT& s) {
        if (s.busi.http.url[0] != 0) urls.emplace_back(s.busi.http.url);
    });
    globalValue.currTime = 1234;
    ASSERT_TRUE(addEndpoint("10.0.0.2:80", 3));

    // A asks B for a page, leaves it open and closes the connection...
    feed(buildFrame({.flags = 0x10}));
    feed(buildFrame({.ipId = 2, .payload = "GET /open HTTP/1.1\r\nHost: b\r\n\r\n"}));
    feed(buildFrame({.ipId = 3, .flags = 0x11}));
    ASSERT_NE(findTracked(A, B), nullptr);
    EXPECT_TRUE(exported.empty());

    // ...and two seconds later a new conversation lands in the same bucket
    // (addresses equal in their low ten bits) and takes the closed one's slot.
    feed(buildFrame({.src = A + 1024, .flags = 0x02}), 102);
    setRecordObserver(nullptr);
    setTransactionObserver(nullptr);

    EXPECT_EQ(urls, std::vector<std::string> {"/open"});
    ASSERT_EQ(exported.size(), 1u);
    EXPECT_EQ(std::pair(exported[0].src, exported[0].dst), std::pair(A, B));
    EXPECT_EQ(exported[0].rcvdPkts, 3u);
    EXPECT_EQ(exported[0].time, 1234) << "stamped with the latest capture second";
    EXPECT_EQ(findTracked(A, B), nullptr);
}

}  // namespace
