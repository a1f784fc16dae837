// The rotating file stores, read back from the files they leave.
#include "output/store.h"

#include <gtest/gtest.h>

#include <pcap/pcap.h>
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "output/data.h"

namespace {

namespace fs = std::filesystem;

constexpr long JSON_FILE = 10L << 20;
constexpr long PCAP_FILE = 50L << 20;

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string s(in ? static_cast<std::size_t>(in.tellg()) : 0, '\0');
    in.seekg(0);
    in.read(s.data(), static_cast<std::streamsize>(s.size()));
    return s;
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

StoreInfoT info(int type)
{
    StoreInfoT si;
    getStoreInfo(type, &si);
    return si;
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
        readOnlyGlobal.jsonFileInd = 0;
        readOnlyGlobal.pktsFileInd = 0;
        flags[0] = readOnlyGlobal.enableJson;
        flags[1] = readOnlyGlobal.enablePkts;
    }
    void TearDown() override
    {
        readOnlyGlobal.enableJson = flags[0];
        readOnlyGlobal.enablePkts = flags[1];
        fs::remove_all(dir);
    }
    std::string sub(const std::string& leaf)
    {
        fs::create_directory(dir + "/" + leaf);
        return dir + "/" + leaf;
    }

    std::string dir;
    int flags[2] = {0, 0};
};

TEST_F(StoreTest, SetUpClaimsTheFilesOfItsSpace)
{
    struct Case {
        int type, space;
        int present;  // empty files made beforehand, to be left alone
        int count;
    };
    const Case cases[] = {
        {STORE_JSON, 35, 0, 3}, {STORE_PKTS, 120, 0, 2},    {STORE_JSON, 9, 0, 0},
        {STORE_JSON, 35, 2, 3}, {STORE_PKTS, 1000, 20, 20}, {STORE_JSON, 1000, 100, 100},
        {STORE_JSON, 10010, 999, 999},  // at most 999
    };
    int caseNo = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(caseNo);
        const char* ext = c.type == STORE_PKTS ? "pcap" : "json";
        std::string d = sub(std::to_string(caseNo++));
        for (int n = 1; n <= c.present; ++n) std::ofstream(name(d, n, ext));
        // A trailing '/' gives the same names.
        ASSERT_EQ(initStore((d + (caseNo == 1 ? "/" : "")).c_str(), c.space, c.type), 0);

        StoreInfoT si = info(c.type);
        EXPECT_STREQ(si.localDir, d.c_str());
        EXPECT_EQ(si.fileCount, c.count);
        std::set<std::string> want;
        for (int n = 1; n <= c.count; ++n) {
            want.insert(name(d, n, ext));
            std::string file = readAll(name(d, n, ext));
            EXPECT_EQ(static_cast<long>(file.size()), n <= c.present ? 0 : si.fileSize);
            EXPECT_EQ(file.find_first_not_of('\0'), std::string::npos);
        }
        EXPECT_EQ(listDir(d), want);
    }
}

// A failed set-up creates nothing more and leaves the store in use alone.
TEST_F(StoreTest, FailedSetUpKeepsTheStoreInUse)
{
    std::string live = sub("live");
    std::string fits = sub(std::string(42 - dir.size(), 'f'));  // 43 characters
    std::string tooLong = sub(std::string(43 - dir.size(), 'f'));
    ASSERT_EQ(initStore(fits.c_str(), 0, STORE_JSON), 0);
    ASSERT_EQ(initStoreJson(live.c_str(), 20), 0);
    writeJson("first");

    std::string unmade = sub("unmade");
    fs::create_symlink(dir + "/nowhere/x", name(unmade, 2, "json"));
    struct Case {
        std::string path;
        int type, want;
        rlim_t maxFileSize = RLIM_INFINITY;
    };
    const Case cases[] = {
        {dir + "/missing", STORE_JSON, -1}, {dir + "/missing", STORE_PKTS, -1}, {tooLong, STORE_JSON, -1},
        {live, 3, -1},                      {unmade, STORE_JSON, -2},          {sub("full"), STORE_JSON, -3, 1 << 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::set<std::string> before = listDir(dir);
        rlimit old;
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit limit = {std::min(c.maxFileSize, old.rlim_max), old.rlim_max};
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        int rc = c.type == STORE_JSON ? initStoreJson(c.path.c_str(), 20) : initStore(c.path.c_str(), 100, c.type);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        EXPECT_EQ(rc, c.want);
        EXPECT_EQ(listDir(dir), before);
        EXPECT_STREQ(info(STORE_JSON).localDir, live.c_str());
    }
    EXPECT_EQ(listDir(unmade).size(), 2u);  // the first blank stays
    EXPECT_TRUE(listDir(dir + "/full").empty());  // no short blank stays

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
    EXPECT_EQ(pcap_datalink(p), DLT_EN10MB);
    EXPECT_EQ(pcap_snapshot(p), 65535);
    pcap_pkthdr* h;
    const u_char* d;
    while (pcap_next_ex(p, &h, &d) == 1) out.push_back({*h, std::vector<u8>(d, d + h->caplen)});
    pcap_close(p);
    return out;
}

TEST_F(StoreTest, FramesReadBackThroughLibpcap)
{
    ASSERT_EQ(initStorePkts(dir.c_str(), 50), 0);
    struct Case {
        u32 caplen, len;       // handed over
        u32 keptCap, keptLen;  // stored
    };
    const Case cases[] = {{1514, 1514, 1514, 1514}, {5000, 5000, 4000, 4000}, {100, 1500, 100, 100}};
    std::vector<Frame> sent;
    for (const Case& c : cases) {
        sent.push_back(frame(c.caplen, c.len, static_cast<u32>(sent.size())));
        dumpPkt(&sent.back().hdr, sent.back().data.data());
        if (sent.size() == 1) {
            EXPECT_EQ(fs::file_size(name(dir, 1, "pcap")), 1554u);
        }
    }
    std::vector<Frame> got = readPcap(name(dir, 1, "pcap"));
    ASSERT_EQ(got.size(), sent.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].hdr.ts.tv_sec, sent[i].hdr.ts.tv_sec);
        EXPECT_EQ(got[i].hdr.ts.tv_usec, sent[i].hdr.ts.tv_usec);
        EXPECT_EQ(got[i].hdr.caplen, cases[i].keptCap);
        EXPECT_EQ(got[i].hdr.len, cases[i].keptLen);
        EXPECT_TRUE(std::equal(got[i].data.begin(), got[i].data.end(), sent[i].data.begin())) << i;
    }
}

// A file ends with the frame that takes it past 50 MiB; the next frame starts
// the next file, right behind its header.
TEST_F(StoreTest, PacketFileSwitchesAfterTheFramePassingItsSize)
{
    ASSERT_EQ(initStorePkts(dir.c_str(), 100), 0);
    const u32 record = 16 + STORE_MAX_CAPLEN;
    const u32 perFile = (PCAP_FILE - 24) / record + 1;
    for (u32 seq = 0; seq <= perFile; ++seq) {
        Frame f = frame(STORE_MAX_CAPLEN, STORE_MAX_CAPLEN, seq);
        dumpPkt(&f.hdr, f.data.data());
    }
    EXPECT_EQ(readOnlyGlobal.pktsFileInd, 2);
    EXPECT_EQ(fs::file_size(name(dir, 1, "pcap")), 24 + perFile * record);
    EXPECT_EQ(readPcap(name(dir, 1, "pcap")).size(), perFile);
    std::vector<Frame> second = readPcap(name(dir, 2, "pcap"));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].hdr.ts.tv_sec, 1700000000 + perFile);
}

std::string padded(int total, int seq)
{
    std::string s = "{\"seq\":\"" + std::to_string(seq) + "\"}";
    return s.insert(1, static_cast<std::size_t>(total - 4) - s.size(), ' ');
}

TEST_F(StoreTest, JsonFileSwitchesOnlyPastItsSize)
{
    ASSERT_EQ(initStoreJson(dir.c_str(), 30), 0);
    // 10240 records of 1024 bytes fill the file exactly: still the same file.
    const int exact = static_cast<int>(JSON_FILE / 1024);
    for (int i = 0; i <= exact; ++i) writeJson(padded(1024, i).c_str());
    std::string longRecord(JSON_RECORD_SIZE + 100, 'L');
    writeJson(longRecord.c_str());

    std::string one = readAll(name(dir, 1, "json"));
    ASSERT_EQ(static_cast<long>(one.size()), JSON_FILE + 1024);
    for (int i = 0; i <= exact; ++i) ASSERT_EQ(one.compare(i * 1024ul, 1024, padded(1024, i) + "\r\n\r\n"), 0) << i;
    EXPECT_EQ(readAll(name(dir, 2, "json")), longRecord + "\r\n\r\n");
    EXPECT_EQ(readOnlyGlobal.jsonFileInd, 2);
}

// After a restart writing goes on with the file after the one saved last.
TEST_F(StoreTest, RestartResumesAfterTheSavedFile)
{
    struct Case {
        int space, saved, want;
    };
    const Case cases[] = {{30, 0, 1}, {30, 1, 2}, {30, 3, 1}, {30, 7, 1}, {50, 3, 4}};
    for (const Case& c : cases) {
        readOnlyGlobal.jsonFileInd = c.saved;
        ASSERT_EQ(initStoreJson(dir.c_str(), c.space), 0);
        writeJson("r");
        EXPECT_EQ(readOnlyGlobal.jsonFileInd, c.want) << c.saved;
        EXPECT_EQ(readAll(name(dir, c.want, "json")), "r\r\n\r\n") << c.saved;
    }
}

// Two writers while the store moves between two directories: every record
// lands whole, exactly once.
TEST_F(StoreTest, ConcurrentWritersAndSetUpLoseNothing)
{
    const std::string dirs[2] = {sub("a"), sub("b")};
    ASSERT_EQ(initStoreJson(dirs[0].c_str(), 100), 0);
    auto record = [](int t, int i) {
        std::string text = "{\"w\":\"" + std::to_string(t) + "\",\"n\":\"" + std::to_string(i) + "\"";
        return text + std::string(i % 300, ' ') + "}";
    };
    std::atomic<bool> setUpDone {false};
    int written[2] = {0, 0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            while (written[t] < 2000 || !setUpDone) writeJson(record(t, written[t]++).c_str());
        });
    }
    threads.emplace_back([&] {
        for (int k = 1; k <= 6; ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(initStoreJson(dirs[k % 2].c_str(), 100), 0);
            writeJsonEnd();
        }
        setUpDone = true;
    });
    for (std::thread& t : threads) t.join();

    std::set<std::string> want, got;
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < written[t]; ++i) want.insert(record(t, i));
    }
    for (const std::string& d : dirs) {
        for (int n = 1; n <= 10; ++n) {
            std::string text = readAll(name(d, n, "json"));
            if (text.size() == static_cast<std::size_t>(JSON_FILE) && text[0] == 0) continue;  // blank
            for (std::size_t at = 0, end; at < text.size(); at = end + 4) {
                end = text.find("\r\n\r\n", at);
                ASSERT_NE(end, std::string::npos) << name(d, n, "json");
                EXPECT_TRUE(got.insert(text.substr(at, end - at)).second) << "twice: " << text.substr(at, end - at);
            }
        }
    }
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
}

}  // namespace
