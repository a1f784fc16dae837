// The rotating file stores, read back from the files they leave.
#include "output/store.h"

#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "output/data.h"

namespace {

namespace fs = std::filesystem;

constexpr long JSON_FILE = 10L << 20, PCAP_FILE = 50L << 20;

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string name(const std::string& dir, int n, const char* ext)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, "%s/Wirelane-1-%03d.%s", dir.c_str(), n, ext);
    return buf;
}

std::set<std::string> listDir(const std::string& dir)
{
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().string());
    return out;
}

// A fresh short directory (store names must fit), card 1, no saved file
// numbers; the enable flags are restored afterwards.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/wl-store-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        globalValue.selectRow = 0;
        readOnlyGlobal.jsonFileInd = readOnlyGlobal.pktsFileInd = 0;
        flags = {readOnlyGlobal.enableJson, readOnlyGlobal.enablePkts};
    }
    void TearDown() override
    {
        std::tie(readOnlyGlobal.enableJson, readOnlyGlobal.enablePkts) = flags;
        fs::remove_all(dir);
    }
    std::string sub(const std::string& leaf)
    {
        fs::create_directory(dir + "/" + leaf);
        return dir + "/" + leaf;
    }

    std::string dir;
    std::pair<int, int> flags;
};

TEST_F(StoreTest, SetUpClaimsBlankFilesOfItsSpace)
{
    // present: empty files made beforehand, to be left alone; at most 999 files
    struct Case { int type, space, present, count; };
    const Case cases[] = {{STORE_JSON, 35, 0, 3}, {STORE_PKTS, 120, 0, 2}, {STORE_JSON, 9, 0, 0},
                          {STORE_JSON, 35, 2, 3}, {STORE_JSON, 10010, 999, 999}};
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        const char* ext = c.type == STORE_PKTS ? "pcap" : "json";
        std::string d = sub(std::to_string(&c - cases));
        for (int n = 1; n <= c.present; ++n) std::ofstream(name(d, n, ext));
        ASSERT_EQ(initStore((d + (&c == cases ? "/" : "")).c_str(), c.space, c.type), 0);  // a trailing '/' is fine
        StoreInfoT si;
        getStoreInfo(c.type, &si);
        EXPECT_STREQ(si.localDir, d.c_str());
        EXPECT_EQ(si.fileCount, c.count);
        std::set<std::string> want;
        for (int n = 1; n <= c.count; ++n) {
            std::string file = readAll(*want.insert(name(d, n, ext)).first);
            EXPECT_EQ(static_cast<long>(file.size()), n <= c.present ? 0 : si.fileSize);
            EXPECT_EQ(file.find_first_not_of('\0'), std::string::npos);
        }
        EXPECT_EQ(listDir(d), want);
    }
}

// A failed set-up creates nothing more and leaves the store in use alone.
TEST_F(StoreTest, FailedSetUpKeepsTheStoreInUse)
{
    const std::string live = sub("live"), unmade = sub("unmade");
    ASSERT_EQ(initStore(sub(std::string(42 - dir.size(), 'f')).c_str(), 0, STORE_JSON), 0);  // 43 characters fit
    const std::string tooLong = sub(std::string(43 - dir.size(), 'f'));
    ASSERT_EQ(initStoreJson(live.c_str(), 20), 0);
    writeJson("first");
    fs::create_symlink(dir + "/nowhere/x", name(unmade, 2, "json"));
    struct Case { std::string path; int type, want; };
    const Case cases[] = {{dir + "/missing", STORE_JSON, -1}, {dir + "/missing", STORE_PKTS, -1},
                          {tooLong, STORE_JSON, -1},          {live, 3, -1},
                          {unmade, STORE_JSON, -2}};
    for (const Case& c : cases) {
        const std::set<std::string> before = listDir(dir);
        EXPECT_EQ(initStore(c.path.c_str(), 20, c.type), c.want) << c.path;
        EXPECT_EQ(listDir(dir), before) << c.path;
    }
    EXPECT_EQ(listDir(unmade).size(), 2u);  // the first blank stays
    writeJson("second");
    writeJsonEnd();
    EXPECT_EQ(readAll(name(live, 1, "json")), "first\r\n\r\nsecond\r\n\r\n");
}

struct Frame {
    pcap_pkthdr hdr;
    std::vector<u8> data;
};

Frame frame(u32 caplen, u32 len, u32 seq)
{
    Frame f {{{1700000000 + seq, seq * 7}, caplen, len}, std::vector<u8>(caplen)};
    for (u32 i = 0; i < caplen; ++i) f.data[i] = static_cast<u8>(i * 31 + seq);
    dumpPkt(&f.hdr, f.data.data());
    return f;
}

// Frames as libpcap reads them back.
std::vector<Frame> readPcap(const std::string& path)
{
    std::vector<Frame> out;
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(path.c_str(), err);
    EXPECT_NE(p, nullptr) << err;
    if (p == nullptr) return out;
    EXPECT_EQ(std::pair(pcap_datalink(p), pcap_snapshot(p)), std::pair(DLT_EN10MB, 65535));
    pcap_pkthdr* h;
    const u_char* d;
    while (pcap_next_ex(p, &h, &d) == 1) out.push_back({*h, std::vector<u8>(d, d + h->caplen)});
    pcap_close(p);
    return out;
}

TEST_F(StoreTest, FramesReadBackThroughLibpcap)
{
    ASSERT_EQ(initStorePkts(dir.c_str(), 50), 0);
    struct Case { u32 caplen, len, kept; };  // kept: stored as both lengths
    const Case cases[] = {{1514, 1514, 1514}, {5000, 5000, 4000}, {100, 1500, 100}};
    std::vector<Frame> sent;
    for (const Case& c : cases) {
        sent.push_back(frame(c.caplen, c.len, static_cast<u32>(sent.size())));
        dumpPktEnd();  // what is written may wait for the flush
        if (sent.size() == 1) {
            EXPECT_EQ(fs::file_size(name(dir, 1, "pcap")), 1554u);
        }
    }
    std::vector<Frame> got = readPcap(name(dir, 1, "pcap"));
    ASSERT_EQ(got.size(), sent.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        const timeval a = got[i].hdr.ts, b = sent[i].hdr.ts;
        EXPECT_EQ(std::pair(a.tv_sec, a.tv_usec), std::pair(b.tv_sec, b.tv_usec));
        EXPECT_EQ(std::pair(got[i].hdr.caplen, got[i].hdr.len), std::pair(cases[i].kept, cases[i].kept));
        EXPECT_TRUE(std::equal(got[i].data.begin(), got[i].data.end(), sent[i].data.begin())) << i;
    }
}

// A file ends with the record that takes it past its size; the next one starts
// the next file.
TEST_F(StoreTest, FilesSwitchOnlyPastTheirSize)
{
    ASSERT_EQ(initStorePkts(dir.c_str(), 100), 0);
    const u32 record = 16 + STORE_MAX_CAPLEN, perFile = (PCAP_FILE - 24) / record + 1;
    for (u32 seq = 0; seq <= perFile; ++seq) frame(STORE_MAX_CAPLEN, STORE_MAX_CAPLEN, seq);
    dumpPktEnd();
    EXPECT_EQ(readOnlyGlobal.pktsFileInd, 2);
    EXPECT_EQ(fs::file_size(name(dir, 1, "pcap")), 24 + perFile * record);
    EXPECT_EQ(readPcap(name(dir, 1, "pcap")).size(), perFile);
    std::vector<Frame> second = readPcap(name(dir, 2, "pcap"));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].hdr.ts.tv_sec, 1700000000 + perFile);

    // 10240 JSON records of 1024 bytes fill a file exactly: still the same file.
    ASSERT_EQ(initStoreJson(dir.c_str(), 30), 0);
    const std::string rec(1020, 'r'), longRecord(JSON_RECORD_SIZE + 100, 'L');
    for (int i = 0; i <= JSON_FILE / 1024; ++i) writeJson(rec.c_str());
    writeJson(longRecord.c_str());
    writeJsonEnd();
    std::string one = readAll(name(dir, 1, "json"));
    ASSERT_EQ(static_cast<long>(one.size()), JSON_FILE + 1024);
    EXPECT_EQ(one.substr(JSON_FILE - 1024, 2048), rec + "\r\n\r\n" + rec + "\r\n\r\n");
    EXPECT_EQ(readAll(name(dir, 2, "json")), longRecord + "\r\n\r\n");
    EXPECT_EQ(readOnlyGlobal.jsonFileInd, 2);
}

// After a restart writing goes on with the file after the one saved last.
TEST_F(StoreTest, RestartResumesAfterTheSavedFile)
{
    struct Case { int space, saved, want; };
    const Case cases[] = {{30, 0, 1}, {30, 1, 2}, {30, 3, 1}, {30, 7, 1}, {50, 3, 4}};
    for (const Case& c : cases) {
        readOnlyGlobal.jsonFileInd = c.saved;
        ASSERT_EQ(initStoreJson(dir.c_str(), c.space), 0);
        writeJson("r");
        writeJsonEnd();
        EXPECT_EQ(readOnlyGlobal.jsonFileInd, c.want) << c.saved;
        EXPECT_EQ(readAll(name(dir, c.want, "json")), "r\r\n\r\n") << c.saved;
    }
}

// Two writers while the store moves between two directories: every record
// lands whole, exactly once.
TEST_F(StoreTest, ConcurrentWritersAndSetUpLoseNothing)
{
    const std::string dirs[2] = {sub("a"), sub("b")};
    ASSERT_EQ(initStoreJson(dirs[0].c_str(), 200), 0);
    auto record = [](int t, int i) { return std::to_string(t) + ":" + std::to_string(i) + std::string(i % 300, '.'); };
    // At most 20 MB in all: the 20 files of a directory never come round again.
    constexpr int MOST = 60000;
    std::atomic<bool> setUpDone {false};
    int written[2] = {0, 0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            while ((written[t] < 2000 || !setUpDone) && written[t] < MOST) writeJson(record(t, written[t]++).c_str());
        });
    }
    threads.emplace_back([&] {
        for (int k = 1; k <= 6; ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(initStoreJson(dirs[k % 2].c_str(), 200), 0);
            writeJsonEnd();
        }
        setUpDone = true;
    });
    for (std::thread& t : threads) t.join();
    writeJsonEnd();

    std::multiset<std::string> want, got;
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < written[t]; ++i) want.insert(record(t, i));
    }
    for (const std::string& d : dirs) {
        for (int n = 1; n <= 20; ++n) {
            std::string text = readAll(name(d, n, "json"));
            if (text.size() == static_cast<std::size_t>(JSON_FILE) && text[0] == 0) continue;  // blank
            for (std::size_t at = 0, end; at < text.size(); at = end + 4) {
                end = text.find("\r\n\r\n", at);
                ASSERT_NE(end, std::string::npos) << name(d, n, "json");
                got.insert(text.substr(at, end - at));
            }
        }
    }
    EXPECT_TRUE(got == want);
}

}  // namespace
