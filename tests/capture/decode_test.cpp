// Frame decoding on raw frames: which packets reach a session, with which
// addresses, ports, VLAN id and payload, and which are left alone.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "capture/process.h"
#include "output/data.h"
#include "support/frames.h"
#include "support/tables.h"

using namespace testframes;
using namespace testtables;

namespace {

constexpr u32 A = 0x0A000001;  // 10.0.0.1
constexpr u32 B = 0x0A000002;  // 10.0.0.2
constexpr u32 C = 0xC0A80101;  // 192.168.1.1, tunnel ends
constexpr u32 D = 0xC0A80102;

void feed(const std::vector<std::uint8_t>& f, int sec = 100, int caplen = -1)
{
    // The processing thread hands over frames followed by a zero byte.
    std::vector<std::uint8_t> copy(f);
    copy.push_back(0);
    pcap_pkthdr h {};
    h.ts.tv_sec = sec;
    h.caplen = caplen < 0 ? static_cast<bpf_u_int32>(f.size()) : static_cast<bpf_u_int32>(caplen);
    h.len = static_cast<bpf_u_int32>(f.size());
    processPacket(&h, copy.data());
}

int countedPackets()
{
    std::lock_guard<std::mutex> lk(globalValue.processState.hMutex);
    return globalValue.processState.pkt;
}

class DecodeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetSessions();
        clearEndpoints();
        readOnlyGlobal.managerAddrCnt = 0;
    }
    void TearDown() override
    {
        clearEndpoints();
        readOnlyGlobal.managerAddrCnt = 0;
    }
};

}  // namespace

TEST_F(DecodeTest, EachPathReachesTheSessionWithTheInnerPacket)
{
    FrameSpec tcp;  // A:40000 -> B:80
    tcp.src = A;
    tcp.dst = B;
    FrameSpec outer;
    outer.src = C;
    outer.dst = D;
    outer.sport = 33333;
    outer.dport = 53;  // VXLAN is recognised by its flags, not its port
    FrameSpec udp = tcp;
    udp.proto = 17;
    udp.sport = 5000;
    udp.dport = 6000;
    FrameSpec icmp = tcp;
    icmp.proto = 1;
    icmp.payload = std::string("\x08\x00\x00\x00\x00\x01\x00\x07", 8);
    FrameSpec vlan = tcp;
    vlan.tags = 1;
    vlan.tci = 0x2064;
    FrameSpec qinq = tcp;
    qinq.tags = 2;
    qinq.tci = 0x0123;

    struct Case {
        const char* name;
        std::vector<std::uint8_t> frame;
        int proto, sport, dport, vid;
        bool counted;  // in the untunnelled traffic counters
    };
    std::vector<std::uint8_t> teb = buildFrame([&] {
        FrameSpec s = outer;
        s.proto = 47;
        s.payload = std::string("\x00\x00\x65\x58", 4) + bytesOf(buildFrame(tcp));
        return s;
    }());
    std::vector<std::uint8_t> greInGre = greFrame(outer, [&] {
        FrameSpec mid = outer;
        mid.proto = 47;
        mid.payload = std::string("\x00\x00\x08\x00", 4) + bytesOf(buildFrame(tcp), ipOffset(tcp));
        return mid;
    }());
    std::vector<std::uint8_t> mpls = vxlanFrame(outer, tcp);
    {
        // Replace the inner EtherType by MPLS with one label (bottom of stack).
        std::vector<std::uint8_t> inner = buildFrame(tcp);
        std::vector<std::uint8_t> labelled(inner.begin(), inner.begin() + 12);
        for (int b : {0x88, 0x47, 0x00, 0x01, 0x41, 0x40}) labelled.push_back(static_cast<std::uint8_t>(b));
        labelled.insert(labelled.end(), inner.begin() + 14, inner.end());
        FrameSpec s = outer;
        s.proto = 17;
        s.payload = std::string("\x08\x00\x00\x00\x00\x00\xC8\x00", 8) + bytesOf(labelled);
        mpls = buildFrame(s);
    }
    const Case cases[] = {
        {"TCP", buildFrame(tcp), 6, 40000, 80, 0, true},
        {"UDP: the sender of a first packet without SYN is the client", buildFrame(udp), 17, 5000, 6000, 0, true},
        {"ICMP", buildFrame(icmp), 1, 0, 0, 0, true},
        {"802.1Q", buildFrame(vlan), 6, 40000, 80, 100, true},
        {"two tags keep the outer id", buildFrame(qinq), 6, 40000, 80, 0x123, true},
        {"GRE", greFrame(outer, tcp), 6, 40000, 80, 0, false},
        {"GRE bridged Ethernet", teb, 6, 40000, 80, 0, false},
        {"GRE in GRE", greInGre, 6, 40000, 80, 0, false},
        {"VXLAN", vxlanFrame(outer, tcp), 6, 40000, 80, 0, false},
        {"VXLAN with an 802.1Q inner frame", vxlanFrame(outer, vlan), 6, 40000, 80, 0, false},
        {"VXLAN with MPLS", mpls, 6, 40000, 80, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSessions();
        feed(c.frame);
        ASSERT_EQ(countSessions(), 1);
        const NetSessionT* s = findTracked(A, B);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->proto, c.proto);
        EXPECT_EQ(s->sport, c.sport);  // the higher port is the client
        EXPECT_EQ(s->dport, c.dport);
        EXPECT_EQ(s->vid, c.vid);
        EXPECT_EQ(countedPackets(), c.counted ? 1 : 0);
    }
}

TEST_F(DecodeTest, WhatIsNotAnalysed)
{
    FrameSpec tcp;
    tcp.src = A;
    tcp.dst = B;
    FrameSpec outer;
    outer.src = C;
    outer.dst = D;
    FrameSpec arp = tcp;
    arp.etherType = 0x0806;
    FrameSpec ipv6 = tcp;
    ipv6.etherType = 0x86DD;
    FrameSpec sctp = tcp;
    sctp.proto = 132;
    FrameSpec icmp = tcp;
    icmp.proto = 1;
    icmp.payload = std::string(8, '\0');
    FrameSpec fragment = tcp;
    fragment.fragField = 0x00B9;  // a later fragment: no transport header
    std::vector<std::uint8_t> badIhl = buildFrame(tcp);
    badIhl[14] = 0x44;
    std::vector<std::uint8_t> badOffset = buildFrame(tcp);
    badOffset[14 + 20 + 12] = 0x30;

    const std::pair<const char*, std::vector<std::uint8_t>> cases[] = {
        {"ARP", buildFrame(arp)},
        {"IPv6", buildFrame(ipv6)},
        {"SCTP", buildFrame(sctp)},
        {"ICMP in VXLAN", vxlanFrame(outer, icmp)},
        {"a later fragment", buildFrame(fragment)},
        {"IPv4 header length below 20", badIhl},
        {"TCP data offset below 20", badOffset},
    };
    for (const auto& [name, frame] : cases) {
        SCOPED_TRACE(name);
        feed(frame);
        EXPECT_EQ(countSessions(), 0);
        EXPECT_EQ(countedPackets(), 0);
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
    EXPECT_EQ(countSessions(), 1) << "tunnelled traffic is analysed whatever its ends";
}

TEST_F(DecodeTest, PayloadLengths)
{
    FrameSpec s;
    s.src = A;
    s.dst = B;
    s.flags = 0x10;
    auto firstPacketLen = [&](const FrameSpec& spec, int caplen = -1) {
        resetSessions();
        feed(buildFrame(spec), 100, caplen);
        const NetSessionT* t = findTracked(A, B);
        return t ? t->reqLen : -1;
    };
    s.payload = std::string(1, '\0');
    EXPECT_EQ(firstPacketLen(s), 0) << "a keep-alive probe carries no payload";
    s.payload = "\x01";
    EXPECT_EQ(firstPacketLen(s), 1);
    s.payload.assign(1000, 'p');
    EXPECT_EQ(firstPacketLen(s, 200), 1000) << "the length on the wire, though 200 bytes were captured";

    // A total length that claims more than the frame holds, or less than
    // the headers: read as stated, never past the captured bytes.
    std::vector<std::uint8_t> f = buildFrame(s);
    put16(f, 16, 60000);
    resetSessions();
    feed(f);
    ASSERT_NE(findTracked(A, B), nullptr);
    EXPECT_EQ(findTracked(A, B)->reqLen, 60000 - 40);
    put16(f, 16, 30);
    resetSessions();
    feed(f);
    EXPECT_EQ(findTracked(A, B)->reqLen, 0);
}

TEST_F(DecodeTest, CutFramesNeverReadPastTheCapturedBytes)
{
    FrameSpec tcp;
    tcp.src = A;
    tcp.dst = B;
    tcp.payload = "GET / HTTP/1.1\r\n\r\n";
    FrameSpec outer;
    outer.src = C;
    outer.dst = D;
    FrameSpec vlan = tcp;
    vlan.tags = 2;
    for (const auto& frame : {buildFrame(tcp), buildFrame(vlan), greFrame(outer, tcp), vxlanFrame(outer, tcp)}) {
        for (std::size_t len = 0; len <= frame.size(); len++) {
            // Exactly len bytes in their own allocation, so that the
            // sanitizers see any read beyond them.
            std::vector<std::uint8_t> cut(frame.begin(), frame.begin() + static_cast<long>(len));
            cut.shrink_to_fit();
            pcap_pkthdr h {};
            h.ts.tv_sec = 100;
            h.caplen = static_cast<bpf_u_int32>(len);
            h.len = static_cast<bpf_u_int32>(frame.size());
            processPacket(&h, cut.data());
        }
    }
}

namespace {
std::vector<CommMsgT> exported;
std::vector<std::string> transactions;
void keepRecord(const CommMsgT& r) { exported.push_back(r); }
void keepTransaction(const NetSessionT& s)
{
    if (s.busi.http.url[0] != 0) transactions.emplace_back(s.busi.http.url);  // skip empty ones
}
}  // namespace

TEST_F(DecodeTest, ARecycledSessionIsExportedAtOnce)
{
    exported.clear();
    transactions.clear();
    setRecordObserver(keepRecord);
    setTransactionObserver(keepTransaction);
    globalValue.currTime = 1234;
    ASSERT_TRUE(addEndpoint("10.0.0.2:80", 3));

    // A asks B for a page, leaves it open and closes the connection...
    FrameSpec fin;
    fin.src = A;
    fin.dst = B;
    fin.flags = 0x10;
    feed(buildFrame(fin), 100);
    FrameSpec request = fin;
    request.flags = 0x18;
    request.ipId = 2;
    request.payload = "GET /open HTTP/1.1\r\nHost: b\r\n\r\n";
    feed(buildFrame(request), 100);
    fin.flags = 0x11;
    fin.ipId = 3;
    feed(buildFrame(fin), 100);
    ASSERT_NE(findTracked(A, B), nullptr);
    EXPECT_TRUE(exported.empty());

    // ...and two seconds later a new conversation lands in the same bucket
    // (addresses equal in their low ten bits) and takes the closed one's slot.
    FrameSpec other = fin;
    other.flags = 0x02;
    other.src = A + 1024;
    feed(buildFrame(other), 102);
    setRecordObserver(nullptr);
    setTransactionObserver(nullptr);

    ASSERT_EQ(transactions.size(), 1u) << "the open transaction goes out with it";
    EXPECT_EQ(transactions[0], "/open");
    ASSERT_EQ(exported.size(), 1u);
    EXPECT_EQ(exported[0].src, A);
    EXPECT_EQ(exported[0].dst, B);
    EXPECT_EQ(exported[0].dport, 80u);
    EXPECT_EQ(exported[0].rcvdPkts, 3u);
    EXPECT_EQ(exported[0].time, 1234) << "stamped with the latest capture second";
    EXPECT_EQ(findTracked(A, B), nullptr);
}
