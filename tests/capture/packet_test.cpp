// The early filter, the cut, and the ring between capture and processing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "capture/pipeline.h"
#include "capture/ring.h"
#include "decode/decode.h"
#include "support/frames.h"
#include "support/tables.h"

using namespace testframes;

namespace {

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
        readOnlyGlobal.maxLength = 0;
        readOnlyGlobal.expNumIP = readOnlyGlobal.expPktNumIP = 0;
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
        {"ICMP", nullptr, 0, buildFrame({.proto = 1}), 1},
        {"GRE", nullptr, 0, buildFrame({.proto = 47}), 1},
        {"a port-bound endpoint needs the port", "10.0.0.2:80", 1, cut(34), 0},
        {"a fragment offset far past the data", nullptr, 0, buildFrame({.fragField = 0x1FFF}), 0},
        {"to the server", nullptr, 0, tcp, 1},
        {"from the server", nullptr, 0, buildFrame({.src = 0x0A000002, .dst = 0x0A000001, .sport = 80, .dport = 1}), 1},
        {"behind two 802.1Q tags", nullptr, 0, buildFrame({.tags = 2}), 1},
        {"a TCP endpoint is TCP only", nullptr, 0, udp, 0},
        {"judged by the addresses alone", "10.0.0.2", 1, cut(34), 1},
        {"UDP", "10.0.0.2", 2, udp, 1},
    };
    for (const Step& s : steps) {
        ASSERT_TRUE(s.endpoint == nullptr || testtables::addEndpoint(s.endpoint, s.protoIdx));
        EXPECT_EQ(check(s.frame), s.kept) << s.what;
    }
    for (long len = 0; len < 34; len++) EXPECT_EQ(check(cut(len)), 0) << "cut inside the IPv4 header: " << len;
    // The probe's own exports of records, then of frames, even to a monitored host.
    readOnlyGlobal.expNumIP = readOnlyGlobal.expPktNumIP = 0x0A000002;
    readOnlyGlobal.expPort = 514;
    EXPECT_EQ(check(udp), 0);
    readOnlyGlobal.expPort = 0;
    readOnlyGlobal.expPktPort = 514;
    EXPECT_EQ(check(udp), 0);
}

TEST_F(RingTest, FramesAreCutToTheLimitButKeepTheirWireLength)
{
    struct Case { int maxLength; bpf_u_int32 len, caplen; };
    for (const Case& c : {Case {128, 1514, 128}, {0, 1514, 1514}, {5000, 1514, 1514}, {1, 1514, 1}, {0, 8054, 2048}}) {
        readOnlyGlobal.maxLength = c.maxLength;
        const Bytes f = buildFrame({.payload = std::string(c.len - 54, 'x')});
        ASSERT_EQ(write(f), 0);
        const PacketBuffer* slot = packet_peek();
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(std::pair(slot->hdr.caplen, slot->hdr.len), std::pair(c.caplen, c.len)) << c.maxLength;
        EXPECT_TRUE(std::equal(slot->udata, slot->udata + slot->hdr.caplen, f.begin())) << c.maxLength;
        EXPECT_EQ(slot->udata[slot->hdr.caplen], 0) << "a zero byte follows the data";
        packet_release();
    }
}

TEST_F(RingTest, HoldsAtMost4094FramesInOrderAndCountsWhatItDrops)
{
    auto writeId = [](int id) { return write(buildFrame({.ipId = std::uint16_t(id)})); };
    auto takeId = [] {
        const PacketBuffer* slot = packet_peek();
        const int id = slot == nullptr ? -1 : slot->udata[18] << 8 | slot->udata[19];
        if (slot != nullptr) packet_release();
        return id;
    };
    const std::uint64_t dropped = ringDropCount();
    for (int i = 0; i < 4094; i++) ASSERT_EQ(writeId(i), 0) << i;
    EXPECT_EQ(writeId(9999), -1);
    EXPECT_EQ(ringDropCount(), dropped + 1);
    EXPECT_EQ(takeId(), 0) << "oldest first";
    EXPECT_EQ(writeId(4094), 0) << "one taken, one more fits";
    EXPECT_EQ(writeId(4095), -1);
    for (int i = 1; i <= 4094; i++) ASSERT_EQ(takeId(), i);
    EXPECT_EQ(takeId(), -1);
}

// A frame wakes the sleeping consumer before its 100 ms poll; it ends with the input.
TEST_F(RingTest, ProcessingThreadWakesOnAFrame)
{
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
    packet_end_input(15);
    packet_wait_finished();
    consumer.join();
}

}  // namespace
