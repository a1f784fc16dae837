// The endpoint filter and the playback of the packet store, on hand-made
// frames and store files: the filter forms, the IPv4 layers they see, the
// period ends, cutting, records that are not frames, and the final questions.
#include "retrieval/pkt_play.h"

#include "support/conf_fixture.h"
#include "support/frames.h"

namespace {

using namespace testframes;

ptcs_pkthdr header(u32 sec, const Bytes& f) { return {sec, 0, static_cast<u32>(f.size()), static_cast<u32>(f.size())}; }

TEST(PlayFilter, FormsAndLayers)
{
    FrameSpec tcp, inner, icmp, fragment, tagged, arp;
    tcp.src = 0x0A010101, tcp.dst = 0x0A01010A, tcp.sport = 80, tcp.dport = 5000;  // 10.1.1.1:80 -> 10.1.1.10:5000
    inner.src = 0xC0A8010C, inner.dport = 3306;                                      // 192.168.1.12
    icmp.proto = 1, tagged.tags = 2, arp.etherType = 0x0806;
    fragment.proto = 17, fragment.fragField = 0x0010;  // offset 128, no ports
    const Bytes plain = buildFrame(tcp), vx = vxlanFrame(tcp, inner), gre = greFrame(tcp, inner);
    const Bytes ping = buildFrame(icmp), piece = buildFrame(fragment);
    // The protocol is no port; a range or a list passes when either end is in it.
    struct { const Bytes frame; const char* filter; bool passes; int rc = 0; } const cases[] = {
        {plain, "", true}, {plain, "10.1.1.1", true}, {plain, "10.1.1.100", false}, {plain, "80", true},
        {plain, "6", false}, {plain, "10.1.1.1:80", true}, {plain, "10.1.1.1:5000", false},
        {plain, "10.1.1.2-10.1.1.9", false}, {plain, "10.1.1.5-10.1.1.10", true}, {plain, "10.9.9.9,10.1.1.10", true},
        {plain, "10.1.1.1 ", false, FILTER_BAD_CHAR}, {plain, "host", false, FILTER_BAD_CHAR},
        {plain, "10.1.1.1:80,10.1.1.2", false, FILTER_BAD_FORM}, {plain, "10.0.0.300", false, FILTER_BAD_FORM},
        {plain, "10.1.1.1:", false, FILTER_BAD_FORM}, {plain, "65536", false, FILTER_BAD_FORM},
        {plain, "10.1.1.1,", false, FILTER_BAD_FORM}, {plain, "1-2", false, FILTER_BAD_FORM},
        {ping, "80", false}, {ping, "10.0.0.1", true}, {piece, "80", false}, {piece, "10.0.0.2", true},
        {buildFrame(tagged), "10.0.0.1:40000", true}, {buildFrame(arp), "10.0.0.1", false},
        {vx, "192.168.1.12", true}, {vx, "3306", true}, {vx, "10.1.1.1", true},  // the outer layer counts too
        {gre, "192.168.1.12:40000", true}, {gre, "192.168.1.13", false},
    };
    PlayQueryT q;
    q.start = 100, q.end = 200;
    for (const auto& c : cases) {
        ASSERT_EQ(parseFilter(c.filter, &q.filter), c.rc) << c.filter;
        EXPECT_EQ(c.rc == 0 && checkPkt(q, header(150, c.frame), c.frame.data()), c.passes) << c.filter;
    }
    q.filter = {};
    auto at = [&](u32 sec) { return checkPkt(q, header(sec, plain), plain.data()); };
    EXPECT_EQ(std::tuple(at(99), at(100), at(200), at(201)), std::tuple(false, true, true, false)) << "ends are in";
    long long t = 0;
    EXPECT_TRUE(parseTimeArg("1796540693", &t) && t == 1796540693);
    EXPECT_FALSE(parseTimeArg("2026-04-31 10:00:00", &t));
    EXPECT_FALSE(parseTimeArg("2026-01-01 10:00", &t));
}

struct FakeQuestions : PlayQuestionsT {
    bool askYesNo(const char* text) override { return asked = text, false; }  // no folder opened
    void notice(const char* text) override { noticed = text; }
    void openFolder(const char*) override {}
    std::string asked, noticed;
};

// A record of a pcap file as the store writes it (little-endian, as this machine).
std::string rec(ptcs_pkthdr h, const Bytes& d) { return std::string(reinterpret_cast<char*>(&h), 16) + bytesOf(d); }

// A record too long to be a frame is passed over and the next still read;
// a header of zeros ends the file; frames are cut to the length asked.
using PlayStoreTest = ConfFixture;
TEST_F(PlayStoreTest, RecordsAndQuestions)
{
    FrameSpec big, small;
    big.payload = std::string(1460, 'b');
    const Bytes bigFrame = buildFrame(big), smallFrame = buildFrame(small);
    u8 head[PCAP_FILE_HEADER_SIZE];
    const std::string fileHead(reinterpret_cast<char*>(head), makeHeaderBuf(head));
    std::ofstream(dir / "pkts" / "Wirelane-1-001.pcap", std::ios::binary)
        << fileHead << rec(header(150, bigFrame), bigFrame)
        << rec({150, 0, PLAY_FRAME_MAX + 1, PLAY_FRAME_MAX + 1}, Bytes(PLAY_FRAME_MAX + 1, 0xEE))
        << rec(header(151, smallFrame), smallFrame) << rec({0, 0, 0, 0}, Bytes(64, 0))
        << rec(header(152, smallFrame), smallFrame);  // past the end of what was written
    std::vector<StoreFileT> files;
    ASSERT_EQ(listStore(sub("pkts").c_str(), "pcap", PKT_BLANK_FILE_SIZE, "", getPktFileStime, files), 0);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].stime, 150);
    PlayQueryT q;
    q.start = 100, q.end = files[0].etime, q.trunLen = 64;
    FakeQuestions ask;
    const std::string out = sub("playout.pcap");
    ASSERT_EQ(scanPkt(files, q, "", out.c_str(), ask), 2);
    EXPECT_EQ(ask.asked, "Filter 2 packet save to " + out + ", do you want open dir?");
    // The big frame cut to 64 bytes (both lengths), the short one whole.
    EXPECT_EQ(readAll(out), fileHead + rec({150, 0, 64, 64}, Bytes(bigFrame.begin(), bigFrame.begin() + 64)) +
                                rec(header(151, smallFrame), smallFrame));

    ASSERT_EQ(parseFilter("10.9.9.9", &q.filter), 0);
    EXPECT_EQ(scanPkt(files, q, "", out.c_str(), ask), 0);
    EXPECT_EQ(readAll(out), fileHead) << "no frame: the file header alone";
    q.filter = {};
    EXPECT_EQ(scanPkt(files, q, "10.0.0.5", out.c_str(), ask), 2);
    EXPECT_EQ(ask.noticed, "Vxlan addr error");
    EXPECT_EQ(scanPkt(files, q, "", sub("missing/x.pcap").c_str(), ask), -1);
}

}  // namespace
