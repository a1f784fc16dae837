// Playback of the packet store on hand-made frames and store files: the
// filter on every IPv4 layer, the period ends, cutting, records that are not
// frames, and the final questions.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "retrieval/pkt_play.h"
#include "support/frames.h"

namespace {

using namespace testframes;
namespace fs = std::filesystem;

ptcs_pkthdr header(u32 sec, const Bytes& f) { return {sec, 0, static_cast<u32>(f.size()), static_cast<u32>(f.size())}; }

TEST(PlayFilter, EveryLayer)
{
    FrameSpec tcp;  // 10.0.0.1:40000 -> 10.0.0.2:80
    FrameSpec inner;
    inner.src = 0xC0A8010C;  // 192.168.1.12
    inner.dport = 3306;
    FrameSpec icmp;
    icmp.proto = 1;
    FrameSpec fragment;
    fragment.proto = 17;
    fragment.fragField = 0x0010;  // offset 128, no ports
    FrameSpec tagged;
    tagged.tags = 2;
    FrameSpec arp;
    arp.etherType = 0x0806;
    const Bytes plain = buildFrame(tcp), vx = vxlanFrame(tcp, inner), gre = greFrame(tcp, inner);
    struct {
        const Bytes frame;
        const char* filter;
        bool passes;
    } const cases[] = {
        {plain, "", true},
        {plain, "10.0.0.2", true},
        {plain, "80", true},
        {plain, "10.0.0.1:40000", true},
        {plain, "10.0.0.1:80", false},
        {plain, "10.0.0.3-10.0.0.9", false},
        {plain, "10.0.0.9,10.0.0.1", true},
        {buildFrame(icmp), "80", false},
        {buildFrame(icmp), "10.0.0.1", true},
        {buildFrame(fragment), "80", false},
        {buildFrame(fragment), "10.0.0.2", true},
        {buildFrame(tagged), "10.0.0.1:40000", true},
        {buildFrame(arp), "10.0.0.1", false},
        {vx, "192.168.1.12", true},
        {vx, "3306", true},
        {vx, "10.0.0.1", true},  // the outer layer counts too
        {gre, "192.168.1.12:40000", true},
        {gre, "192.168.1.13", false},
    };
    for (const auto& c : cases) {
        PlayQueryT q;
        q.start = 100;
        q.end = 200;
        ASSERT_EQ(parseFilter(c.filter, &q.filter), 0);
        EXPECT_EQ(checkPkt(q, header(150, c.frame), c.frame.data()), c.passes) << c.filter;
    }
    PlayQueryT q;
    q.start = 100;
    q.end = 200;
    EXPECT_TRUE(checkPkt(q, header(200, plain), plain.data())) << "both ends of the period are in";
    EXPECT_TRUE(checkPkt(q, header(100, plain), plain.data()));
    EXPECT_FALSE(checkPkt(q, header(201, plain), plain.data()));
}

class PlayStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/wl-play-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }
    static void record(std::ofstream& out, ptcs_pkthdr h, const Bytes& data)
    {
        out.write(reinterpret_cast<const char*>(&h), sizeof h);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    std::string read(const fs::path& p)
    {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    fs::path dir;
};

class FakeQuestions : public PlayQuestionsT {
public:
    bool askYesNo(const char* text) override
    {
        asked = text;
        return false;
    }
    void notice(const char* text) override { noticed = text; }
    void openFolder(const char*) override {}
    std::string asked, noticed;
};

// A record too long to be a frame is passed over and the next still read;
// a header of zeros ends the file; frames are cut to the length asked.
TEST_F(PlayStoreTest, RecordsAndQuestions)
{
    FrameSpec big, small;
    big.payload = std::string(1460, 'b');
    const Bytes bigFrame = buildFrame(big), smallFrame = buildFrame(small);
    {
        std::ofstream out(dir / "Wirelane-1-001.pcap", std::ios::binary);
        u8 head[PCAP_FILE_HEADER_SIZE];
        makeHeaderBuf(head);
        out.write(reinterpret_cast<const char*>(head), sizeof head);
        record(out, header(150, bigFrame), bigFrame);
        record(out, {150, 0, PLAY_FRAME_MAX + 1, PLAY_FRAME_MAX + 1}, Bytes(PLAY_FRAME_MAX + 1, 0xEE));
        record(out, header(151, smallFrame), smallFrame);
        record(out, {0, 0, 0, 0}, Bytes(64, 0));
        record(out, header(152, smallFrame), smallFrame);  // past the end of what was written
    }
    std::vector<StoreFileT> files;
    ASSERT_EQ(listStore(dir.c_str(), "pcap", PKT_BLANK_FILE_SIZE, "", getPktFileStime, files), 0);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].stime, 150);
    PlayQueryT q;
    q.start = 100;
    q.end = files[0].etime;
    q.trunLen = 64;
    FakeQuestions ask;
    const fs::path out = dir / "playout.pcap";
    ASSERT_EQ(scanPkt(files, q, "", out.c_str(), ask), 2);
    EXPECT_EQ(ask.asked, "Filter 2 packet save to " + out.string() + ", do you want open dir?");
    const std::string got = read(out);
    ASSERT_EQ(got.size(), 24u + 16 + 64 + 16 + smallFrame.size());
    ptcs_pkthdr first, second;
    std::memcpy(&first, got.data() + 24, sizeof first);
    std::memcpy(&second, got.data() + 24 + 16 + 64, sizeof second);
    EXPECT_EQ(first.caplen, 64u);
    EXPECT_EQ(first.len, 64u);
    EXPECT_EQ(second.caplen, smallFrame.size()) << "a short frame stays whole";
    EXPECT_EQ(got.substr(24 + 16 + 64 + 16), bytesOf(smallFrame));

    ASSERT_EQ(parseFilter("10.9.9.9", &q.filter), 0);
    EXPECT_EQ(scanPkt(files, q, "", out.c_str(), ask), 0);
    EXPECT_EQ(read(out).size(), 24u) << "no frame: the file header alone";
    q.filter = {};
    EXPECT_EQ(scanPkt(files, q, "10.0.0.5", out.c_str(), ask), 2);
    EXPECT_EQ(ask.noticed, "Vxlan addr error");
    EXPECT_EQ(scanPkt(files, q, "", (dir / "missing" / "x.pcap").c_str(), ask), -1);
}

}  // namespace
