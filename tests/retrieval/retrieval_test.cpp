// The query of the JSON store and the playback of the packet store, on hand-made frames and store
// files: field-exact filters and the layers they see, the period ends, lines too long to be
// records, records that are not frames, the values read back whole, and the final questions.
#include <fcntl.h>
#include <sys/stat.h>

#include "output/json.h"
#include "retrieval/json_query.h"
#include "retrieval/pkt_play.h"
#include "support/conf_fixture.h"
#include "support/frames.h"

namespace {

namespace fs = std::filesystem;
using namespace testframes;

std::string pair(long t, const char* src, int sport, const char* dst, int dport, const std::string& extra = "")
{
    return "{\"type\":\"1\",\"time\":\"" + std::to_string(t) + "\",\"src\":\"" + src + "\",\"dst\":\"" + dst +
           "\",\"proto\":\"6\",\"sport\":\"" + std::to_string(sport) + "\",\"dport\":\"" + std::to_string(dport) +
           "\",\"srcPkts\":\"80\"" + extra + "}";
}

class JsonQueryTest : public ConfFixture {
protected:
    // A store file of lines as the store writes them; mtime = its end.
    void file(const char* name, const std::vector<std::string>& lines, long mtime, const char* tail = "")
    {
        std::string text;
        for (const auto& l : lines) text += l + "\r\n\r\n";
        std::ofstream(dir / "json" / name, std::ios::binary) << text << tail;
        const timespec times[2] = {{mtime, 0}, {mtime, 0}};
        utimensat(AT_FDCWD, (dir / "json" / name).c_str(), times, 0);
    }
    std::vector<StoreFileT> list()
    {
        std::vector<StoreFileT> files;
        EXPECT_EQ(listStore(sub("json").c_str(), "json", JSON_BLANK_FILE_SIZE, "", getJsonFileStime, files), 0);
        return files;
    }
    std::vector<std::string> result(long long start, long long end, const char* filter = "", const char* keyword = "")
    {
        JsonQueryT q;
        q.start = start, q.end = end, q.keyword = keyword;
        EXPECT_EQ(parseFilter(filter, &q.filter), 0);
        std::vector<std::string> got;
        queryStore(list(), q, 0, -1, [&](const char* l, std::size_t n) { got.emplace_back(l, n); });
        return got;
    }
};

// Two files of 10 and 20 matches (pages: retrieval_verbs.sh); the period's start is in, its end out; a file
// that ends at the query's start is still looked at; a record being written is left out. Files that are blank,
// without a time or not of the store are not listed.
TEST_F(JsonQueryTest, PeriodAndPages)
{
    std::vector<std::string> first, second;
    for (int i = 0; i < 10; i++) first.push_back(pair(1000 + i, "10.0.0.1", 40000, "10.0.0.2", 80));
    for (int i = 0; i < 20; i++) second.push_back(pair(2000 + i, "10.0.0.1", 40000, "10.0.0.2", 80));
    file("Wirelane-1-001.json", first, 1009);
    file("Wirelane-1-002.json", second, 2019, "{\"type\":\"1\",\"time\":\"2020\"");  // a record being written
    file("Wirelane-1-003.json", {}, 2100), fs::resize_file(dir / "json" / "Wirelane-1-003.json", JSON_BLANK_FILE_SIZE);
    file("Wirelane-1-004.json", {"no time here"}, 2200), file("other.json", first, 1400);
    std::vector<StoreFileT> files = list();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(std::tuple(files[0].stime, files[0].etime, files[1].name), std::tuple(1000, 1009, "Wirelane-1-002.json"));
    EXPECT_EQ(result(1000, 3000).size(), 30u);
    auto edge = result(1009, 2000);  // from the first file's end to the second file's start
    ASSERT_EQ(edge.size(), 1u);
    EXPECT_NE(edge[0].find("\"time\":\"1009\""), std::string::npos);
}

// The filters test their own fields (not srcPkts, not proto), keywords are case-sensitive, a broken line is no
// record, values come back whole and unescaped, and delays are read digit by digit.
TEST_F(JsonQueryTest, FieldsAndValues)
{
    file("Wirelane-1-001.json",
         {pair(1000, "10.1.1.1", 40000, "10.1.1.10", 3306,
               ",\"urlsql\":\"select a,b from t where c=\\\"x\\\"\",\"srcNetDelay\":\"1.234\",\"process\":\"my\\u00e9\""),
          pair(1001, "10.1.1.10", 80, "10.1.1.20", 50000), "{\"type\":\"1\",\"time\":\"1002\",\"src\":broken}"},
         1002);
    struct { const char *filter, *keyword; std::size_t matches; } const cases[] = {
        {"", "", 2}, {"80", "", 1}, {"6", "", 0}, {"10.1.1.1", "", 1}, {"10.1.1.10", "", 2}, {"10.1.1.1:3306", "", 0},
        {"10.1.1.10:3306", "", 1}, {"10.1.1.15-10.1.1.30", "", 1}, {"", "select a,b", 1}, {"", "SELECT", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(result(1000, 1003, c.filter, c.keyword).size(), c.matches) << c.filter << " " << c.keyword;
    JsonQueryT q;
    q.start = 1000, q.end = 1001;
    CommMsgT rec[QUERY_PAGE_RECORDS];
    ASSERT_EQ(scanJson(list(), q, 0, rec), 1);
    EXPECT_STREQ(rec[0].urlsql, "select a,b from t where c=\"x\"");
    EXPECT_STREQ(rec[0].pname, "my\xE9");
    EXPECT_EQ(std::tuple(rec[0].srcDelayUsec, rec[0].cntSrcDelay, rec[0].sendPkts, rec[0].dport, rec[0].src),
              std::tuple(1234u, 1u, 80u, 3306u, ipFromV4(0x0A010101u)));
}

// Lines across the read blocks, and a line too long to be a record, with and without a keyword.
TEST_F(JsonQueryTest, LongFiles)
{
    std::vector<std::string> lines;
    const std::string pad(700, 'p');
    for (int i = 0; i < 4000; i++) {
        lines.push_back(pair(1000 + i, "10.0.0.1", 40000, "10.0.0.2", 80,
                             ",\"urlsql\":\"" + pad + (i % 7 == 0 ? "needle" : "") + "\""));
        if (i == 2000) lines.push_back(std::string(40000, 'x') + "needle");
        if (i == 3000) lines.push_back(pair(4000, "10.0.0.1", 40000, "10.0.0.2", 80, ",\"urlsql\":\"" +
                                            std::string(JSON_RECORD_SIZE, 'p') + "needle\""));  // too long to be one
    }
    file("Wirelane-1-001.json", lines, 6000);
    EXPECT_EQ(result(0, 6000).size(), 4000u);
    auto got = result(0, 6000, "", "needle");
    ASSERT_EQ(got.size(), 572u);
    EXPECT_EQ(got[571], lines[3997 + 2]) << "whole, in file order";
}

ptcs_pkthdr header(u32 sec, const Bytes& f) { return {sec, 0, static_cast<u32>(f.size()), static_cast<u32>(f.size())}; }

// Without a filter a line is a record exactly when the parser takes it, whichever way it is checked: lines in
// the writer's form and others, damaged ones (cut and glued, stray quotes and separators), and every
// one-byte change or insertion of a structural byte or a blank in a record, at each place after its time.
TEST(JsonLines, RecordExactlyWhenParsed)
{
    JsonQueryT q;
    q.start = 0, q.end = 1L << 40;
    const std::string rec = pair(1000, "10.0.0.1", 40000, "10.0.0.2", 80, ",\"urlsql\":\"/a?b=c:d,e}{f\"");
    std::vector<std::string> lines = {rec, rec.substr(0, rec.size() - 1) + " }", rec + "}", rec.substr(0, 60) + rec,
        pair(1, "a", 1, "b", 2, ",\"x\":\"q\\\"uote\\u00e9\""), pair(1, "a", 1, "b", 2, ",\"x\" : \"y\""),
        pair(1, "a", 1, "b", 2, ",\"x\":\"y\"\t"), pair(1, "a", 1, "b", 2, ",\"x\":\"\x01\""),
        pair(1, "a", 1, "b", 2, ",\"x\":\"y\",\"z\""), pair(1, "a", 1, "b", 2, ",\"x\":\"y\",")};
    for (std::size_t at = rec.find(",\"src\""); at < rec.size(); ++at) {  // after the time the query reads first
        for (char c : {'"', ':', ',', '{', '}', '\\', 'a', ' '}) {
            lines.push_back(std::string(rec).replace(at, 1, 1, c)), lines.push_back(std::string(rec).insert(at, 1, c));
        }
    }
    std::vector<char> text(rec.size() + 64);
    JsonFieldT fields[80];
    for (const std::string& l : lines) {
        bool parsed = parseJsonStr(l.data(), l.size(), fields, 80, text.data(), text.size()) >= 0;
        EXPECT_EQ(filterJson(q, l.data(), l.size()), parsed) << l;
    }
}

TEST(PlayFilter, FormsAndLayers)
{
    const FrameSpec tcp {.src = 0x0A010101, .dst = 0x0A01010A, .sport = 80, .dport = 5000};  // 10.1.1.1:80 -> .10:5000
    const FrameSpec inner {.src = 0xC0A8010C, .dport = 3306};                                // 192.168.1.12
    const Bytes plain = buildFrame(tcp), vx = vxlanFrame(tcp, inner), gre = greFrame(tcp, inner);
    const Bytes ping = buildFrame({.proto = 1}), piece = buildFrame({.proto = 17, .fragField = 0x0010});  // offset 128
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
        {buildFrame({.tags = 2}), "10.0.0.1:40000", true}, {buildFrame({.etherType = 0x0806}), "10.0.0.1", false},
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
    long long t = 0;  // the forms accepted: retrieval_verbs.sh, gui_query.sh
    EXPECT_FALSE(parseTimeArg("2026-04-31 10:00:00", &t) || parseTimeArg("2026-01-01 10:00", &t));
}

// Every IPv6 form, and the character rule: letters and brackets only where an IPv6 address is written. What
// they select, frame layers and records: retrieval_verbs.sh.
TEST(FilterText, Ipv6Forms)
{
    struct { const char* text; int rc, mode; const char* first; int port = 0; } const cases[] = {
        {"2001:DB8:0::10", 0, WX_QUERY_IP, "2001:db8::10"}, {"::ffff:10.1.1.1", 0, WX_QUERY_IP, "10.1.1.1"},
        {"[2001:db8::10]:443", 0, WX_QUERY_IP_PORT, "2001:db8::10", 443}, {"2001:db8::1:80", 0, WX_QUERY_IP, "2001:db8::1:80"},
        {"2001:db8::1-2001:db8::ff", 0, WX_QUERY_IP_PERIOD, "2001:db8::1"}, {"10.0.0.1,fe80::1,::", 0, WX_QUERY_IP_LIST, "10.0.0.1"},
    };
    for (const auto& c : cases) {
        EndpointFilterT f;
        ASSERT_EQ(parseFilter(c.text, &f), 0) << c.text;
        EXPECT_EQ(std::tuple(f.mode, ipText(c.mode == WX_QUERY_IP_PERIOD ? f.low : f.addr[0]), f.port),
                  std::tuple(c.mode, std::string(c.first), c.port)) << c.text;
    }
    auto rc = [](const char* text) { EndpointFilterT f; return parseFilter(text, &f); };
    for (const char* bad : {"a", "1.2.3.a", "dead", "1.2.3.4:8a", "[1.2.3.4]:80", "[::1]:8a", "::1]", "g::1", "::1,beef"})
        EXPECT_EQ(rc(bad), FILTER_BAD_CHAR) << bad;
    for (const char* bad : {"[::1]", "[::1]:", "[::1]:65536", "1::2::3", "2001:db8::1-10.0.0.9", "::1-::2-::3",
                            "::1,1.2.3.4:80", "::1,::2-::3", "10,20"})
        EXPECT_EQ(rc(bad), FILTER_BAD_FORM) << bad;
    // A range passes addresses of its own family only: an IPv6 one may span the IPv4-mapped block.
    struct { const char *filter, *addr; bool passes; } const ends[] = {
        {"::1-2001:db8::1", "10.0.0.1", false}, {"::1-2001:db8::1", "2001:db8::", true}, {"::1-2001:db8::1", "::", false},
        {"10.0.0.1-10.0.0.9", "10.0.0.5", true}, {"10.0.0.1-10.0.0.9", "::a00:5", false},
        {"::ffff:10.0.0.1-::ffff:10.0.0.9", "10.0.0.9", true}, {"10.0.0.5,2001:db8::5", "2001:db8::5", true},
    };
    for (const auto& c : ends) {
        EndpointFilterT f;
        const IpAddrT a = ipOf(c.addr), other = ipFromV4(0xC0000201);
        ASSERT_EQ(parseFilter(c.filter, &f), 0) << c.filter;
        EXPECT_EQ(filterPasses(f, {a, 1}, {other, 2}), c.passes) << c.filter << " " << c.addr;
        EXPECT_EQ(filterPasses(f, {other, 2}, {a, 1}), c.passes) << c.filter << " " << c.addr;
    }
}

struct FakeQuestions : PlayQuestionsT {
    bool askYesNo(const char* text) override { return asked = text, false; }  // no folder opened
    void notice(const char*) override {}
    void openFolder(const char*) override {}
    std::string asked;
};

// A record of a pcap file as the store writes it (little-endian, as this machine).
std::string rec(ptcs_pkthdr h, const Bytes& d) { return std::string(reinterpret_cast<char*>(&h), 16) + bytesOf(d); }

// A record too long for a frame is skipped and the next read; a zero header ends the file; frames are cut as asked.
using PlayStoreTest = ConfFixture;
TEST_F(PlayStoreTest, RecordsAndQuestions)
{
    const Bytes bigFrame = buildFrame({.payload = std::string(1460, 'b')}), smallFrame = buildFrame({});
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
    EXPECT_EQ(scanPkt(files, q, "", sub("missing/x.pcap").c_str(), ask), -1);
}

}  // namespace
