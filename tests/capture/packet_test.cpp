// The early filter, the cut, and the ring between capture and processing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "capture/packet.h"
#include "capture/process.h"
#include "core/global_define.h"
#include "core/util.h"
#include "support/frames.h"

using testframes::buildFrame;
using testframes::FrameSpec;

namespace {

void clearEndpoints()
{
    while (readOnlyGlobal.cntHost > 0) deleteHostInfo(0);
}

void addEndpoint(const char* text, int protoIdx)
{
    HostInfoT h;
    ASSERT_EQ(makeHostInfo(&h, text, protoIdx, "12345678"), 0) << text;
    ASSERT_EQ(addNewHostInfo(&h), 0) << text;
}

int check(const std::vector<std::uint8_t>& f)
{
    pcap_pkthdr h {};
    h.caplen = h.len = static_cast<bpf_u_int32>(f.size());
    return checkPacket(&h, f.data());
}

int drainRing()
{
    int n = 0;
    while (packet_peek() != nullptr) {
        packet_release();
        n++;
    }
    return n;
}

class RingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static bool ready = false;
        if (!ready) {
            ASSERT_EQ(init_packet(), 0);
        }
        ready = true;
    }
    void SetUp() override
    {
        clearEndpoints();
        drainRing();
        readOnlyGlobal.runFlag = 1;
        readOnlyGlobal.maxLength = 0;
        readOnlyGlobal.expNumIP = 0;
        readOnlyGlobal.expPort = 0;
        readOnlyGlobal.expPktNumIP = 0;
        readOnlyGlobal.expPktPort = 0;
        setRingWaitWhenFull(false);
    }
    void TearDown() override
    {
        clearEndpoints();
        drainRing();
    }
};

}  // namespace

TEST_F(RingTest, EarlyFilterKeepsWhatConcernsAnEndpoint)
{
    FrameSpec tcp;  // 10.0.0.1:40000 -> 10.0.0.2:80
    FrameSpec reply = tcp;
    std::swap(reply.src, reply.dst);
    std::swap(reply.sport, reply.dport);
    FrameSpec icmp = tcp;
    icmp.proto = 1;
    FrameSpec gre = tcp;
    gre.proto = 47;
    FrameSpec udp = tcp;
    udp.proto = 17;
    udp.dport = 514;
    FrameSpec other = tcp;
    other.proto = 132;  // SCTP
    FrameSpec tagged = tcp;
    tagged.tags = 2;
    FrameSpec qinq = tcp;  // an unknown tag type is not skipped
    qinq.etherType = 0x88A8;

    EXPECT_EQ(check(buildFrame(tcp)), 1) << "no endpoint: everything is kept";
    EXPECT_EQ(check(buildFrame(other)), 0) << "only TCP, UDP, ICMP and GRE";

    addEndpoint("10.9.9.9", 1);
    EXPECT_EQ(check(buildFrame(tcp)), 0) << "between two unmonitored hosts";
    EXPECT_EQ(check(buildFrame(icmp)), 1);
    EXPECT_EQ(check(buildFrame(gre)), 1);

    addEndpoint("10.0.0.2:80", 3);
    EXPECT_EQ(check(buildFrame(tcp)), 1) << "to the server";
    EXPECT_EQ(check(buildFrame(reply)), 1) << "from the server";
    EXPECT_EQ(check(buildFrame(tagged)), 1) << "behind two 802.1Q tags";
    EXPECT_EQ(check(buildFrame(qinq)), 1) << "0x88A8 is read as untagged";
    EXPECT_EQ(check(buildFrame(udp)), 0) << "an HTTP endpoint is TCP only";

    addEndpoint("10.0.0.2", 2);
    EXPECT_EQ(check(buildFrame(udp)), 1);
    readOnlyGlobal.expNumIP = 0x0A000002;
    readOnlyGlobal.expPort = 514;
    EXPECT_EQ(check(buildFrame(udp)), 0) << "the probe's own JSON export, even to a monitored host";
    readOnlyGlobal.expNumIP = 0;
    readOnlyGlobal.expPktNumIP = 0x0A000002;
    readOnlyGlobal.expPktPort = 514;
    EXPECT_EQ(check(buildFrame(udp)), 0) << "the probe's own frame export";
}

TEST_F(RingTest, EarlyFilterStaysInsideShortFrames)
{
    addEndpoint("10.0.0.2", 1);  // any TCP port
    FrameSpec s;
    std::vector<std::uint8_t> f = buildFrame(s);

    // Cut inside the IPv4 header: nothing to judge by.
    for (std::size_t len : {0u, 1u, 13u, 14u, 25u, 33u}) {
        std::vector<std::uint8_t> cut(f.begin(), f.begin() + len);
        EXPECT_EQ(check(cut), 0) << len;
    }
    // Addresses present, ports cut off: judged by the addresses alone.
    std::vector<std::uint8_t> noPorts(f.begin(), f.begin() + 34);
    EXPECT_EQ(check(noPorts), 1);
    clearEndpoints();
    addEndpoint("10.0.0.2:80", 1);
    EXPECT_EQ(check(noPorts), 0) << "a port-bound endpoint needs the port";

    // A fragment offset that points far past the data.
    s.fragField = 0x1FFF;
    EXPECT_EQ(check(buildFrame(s)), 0);
}

TEST_F(RingTest, FramesAreCutToTheLimitButKeepTheirWireLength)
{
    FrameSpec s;
    s.payload.assign(1460, 'x');
    std::vector<std::uint8_t> f = buildFrame(s);
    ASSERT_EQ(f.size(), 1514u);

    struct {
        int maxLength;
        bpf_u_int32 caplen;
    } const cases[] = {{128, 128}, {0, 1514}, {5000, 1514}, {2048, 1514}, {1, 1}};
    for (const auto& c : cases) {
        readOnlyGlobal.maxLength = c.maxLength;
        pcap_pkthdr h {};
        h.caplen = h.len = 1514;
        ASSERT_EQ(packet_write(&h, f.data()), 0);
        PacketBuffer* slot = packet_peek();
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot->hdr.caplen, c.caplen) << c.maxLength;
        EXPECT_EQ(slot->hdr.len, 1514u) << c.maxLength;
        EXPECT_EQ(slot->udata[slot->hdr.caplen], 0) << "a zero byte follows the data";
        EXPECT_TRUE(std::equal(slot->udata, slot->udata + slot->hdr.caplen, f.begin()));
        packet_release();
    }

    // A jumbo frame is cut to the default limit of 2048.
    s.payload.assign(8000, 'y');
    f = buildFrame(s);
    readOnlyGlobal.maxLength = 0;
    pcap_pkthdr h {};
    h.caplen = h.len = static_cast<bpf_u_int32>(f.size());
    ASSERT_EQ(packet_write(&h, f.data()), 0);
    EXPECT_EQ(packet_peek()->hdr.caplen, 2048u);
    packet_release();
}

TEST_F(RingTest, HoldsAtMost4094FramesInOrderAndCountsWhatItDrops)
{
    FrameSpec s;
    auto writeId = [&s](std::uint16_t id) {
        s.ipId = id;
        std::vector<std::uint8_t> f = buildFrame(s);
        pcap_pkthdr h {};
        h.caplen = h.len = static_cast<bpf_u_int32>(f.size());
        return packet_write(&h, f.data());
    };
    std::uint64_t dropped = ringDropCount();
    for (int i = 0; i < 4094; i++) ASSERT_EQ(writeId(static_cast<std::uint16_t>(i)), 0) << i;
    EXPECT_EQ(writeId(9999), -1);
    EXPECT_EQ(ringDropCount(), dropped + 1);

    PacketBuffer* first = packet_peek();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->udata[18] << 8 | first->udata[19], 0) << "oldest first";
    packet_release();
    EXPECT_EQ(writeId(4094), 0) << "one taken, one more fits";
    EXPECT_EQ(writeId(4095), -1);

    for (int i = 1; i <= 4094; i++) {
        PacketBuffer* slot = packet_peek();
        ASSERT_NE(slot, nullptr) << i;
        ASSERT_EQ(slot->udata[18] << 8 | slot->udata[19], i);
        packet_release();
    }
    EXPECT_EQ(packet_peek(), nullptr);
}

TEST_F(RingTest, ProcessingThreadWakesOnAFrameAndLosesNothingFromAFile)
{
    std::thread consumer(processThread, nullptr);
    FrameSpec s;
    std::vector<std::uint8_t> f = buildFrame(s);
    pcap_pkthdr h {};
    h.caplen = h.len = static_cast<bpf_u_int32>(f.size());

    // Each frame comes after the consumer has gone to sleep; it must be
    // woken, not found by its 100 ms poll.
    std::vector<double> delays;
    for (int i = 0; i < 15; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        std::uint64_t before = decodedFrames();
        auto t0 = std::chrono::steady_clock::now();
        pcap_pkthdr copy = h;
        ASSERT_EQ(packet_write(&copy, f.data()), 0);
        while (decodedFrames() == before) {
            ASSERT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
            std::this_thread::yield();
        }
        delays.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(delays.begin(), delays.end());
    EXPECT_LT(delays[delays.size() / 2], 10.0) << "median wake-up in ms";

    // From a file, a full ring makes the writer wait: a burst far larger
    // than the ring arrives whole.
    setRingWaitWhenFull(true);
    std::uint64_t before = decodedFrames();
    std::uint64_t dropped = ringDropCount();
    const int burst = 50000;
    for (int i = 0; i < burst; i++) {
        pcap_pkthdr copy = h;
        ASSERT_EQ(packet_write(&copy, f.data()), 0);
    }
    packet_end_input(burst);
    packet_wait_finished();
    consumer.join();  // the processing thread ends with the input
    EXPECT_EQ(decodedFrames() - before, static_cast<std::uint64_t>(burst));
    EXPECT_EQ(ringDropCount(), dropped);
}
