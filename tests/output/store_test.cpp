// The JSON text of pair, transaction and end-of-scan records; the rotating file stores, read back from their files.
#include <pcap/pcap.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <set>
#include <thread>

#include "output/json.h"
#include "output/store.h"
#include "support/conf_fixture.h"

namespace {

char buf[JSON_RECORD_SIZE];

// The value of key in a rendered record ("" when absent), and all its keys.
std::string value(const std::string& rec, const std::string& key)
{
    std::smatch m;
    return std::regex_search(rec, m, std::regex("\"" + key + "\":\"((\\\\.|[^\"\\\\])*)\"")) ? m[1].str() : "";
}

std::vector<std::string> keys(const std::string& rec)
{
    std::vector<std::string> out;
    const std::regex re("[{,]\"([A-Za-z]+)\":");
    for (std::sregex_iterator it(rec.begin(), rec.end(), re), end; it != end; ++it) out.push_back((*it)[1]);
    return out;
}

NetSessionT httpSession()
{
    NetSessionT s {};
    s.type = 1, s.busi.http.forward = ipFromV4(0xC0A80107);
    std::strcpy(s.busi.http.url, "/a\"b?q=1");
    s.busi.http.beginTime = {1000, 5999}, s.busi.http.endTime = {1001, 250000};
    return s;
}

// The record of a finished transaction; when there is none, a broken one.
std::string business(NetSessionT s) { return makeBusinessJsonStr(&s, buf) == 0 ? buf : "{\"none\":"; }

TEST(Record, EveryKindKeepsItsKeysAndFormats)
{
    CommMsgT m {};
    m.time = 1000, m.src = ipFromV4(0xC0A8010C), m.sendPkts = 8, m.rcvdPkts = 4, m.sendBytes = 600, m.rcvdBytes = 300;
    m.sendRetransmitPkts = 1, m.rcvdRetransmitPkts = 3, m.cntSrcDelay = 2, m.srcDelayUsec = 3000;
    m.srcConDelayUsec = 1234, m.largePkts = 0x80000000u;
    makeJsonStr(&m, buf);
    std::string r = buf;
    // The keys that readers use are read back by retrieval_test and the scripts; each key once.
    const std::vector<std::string> k = keys(r);
    EXPECT_EQ(std::pair(k.size(), std::set<std::string>(k.begin(), k.end()).size()), std::pair(47ul, 47ul));
    EXPECT_EQ(r.rfind("{\"type\":\"1\",\"time\":\"1000\",\"strTime\":\"", 0), 0u) << r;
    const std::pair<const char*, const char*> values[] = {
        {"avgPktLen", "75.00"},  {"srcLossRatio", "0.125"}, {"dstLossRatio", "0.750"}, {"srcNetDelay", "1.500"},
        {"dstNetDelay", "0.00"}, {"srcHandDelay", "1.234"}, {"largePkts", "-2147483648"}, {"src", "192.168.1.12"},
        {"mem", "0 KB"},         {"cpu", "0.000"}};
    for (const auto& [key, want] : values) EXPECT_EQ(value(r, key), want) << key;
    m.sendPkts = m.rcvdPkts = 0;  // no division by zero
    makeJsonStr(&m, buf);
    EXPECT_EQ(value(buf, "avgPktLen") + " " + value(buf, "srcLossRatio"), "0.00 0.00");

    // Transactions: HTTP and SQL; none without a URL, a begin time or a type.
    NetSessionT s = httpSession(), db {};
    s.cliHandshakeUsec = 13, s.serHandshakeUsec = 11, s.serConDelayUsec = 99;  // the connection's, not the interval's
    std::strcpy(db.busi.db.sql, "SELECT a FROM t");
    db.type = 3, db.busi.db.beginTime = {1000, 0}, db.cntCliDelay = 4, db.cliDelayUsec = 1001;
    const std::string http = business(s), sql = business(db);
    EXPECT_EQ(std::pair(keys(http).size(), keys(http).back()), std::pair(29ul, std::string("forward")));
    EXPECT_EQ(std::pair(keys(sql).size(), keys(sql).back()), std::pair(28ul, std::string("dstDelayUsec")));
    EXPECT_EQ(value(http, "type") + " " + value(sql, "type"), "2 5");
    EXPECT_EQ(value(http, "url"), "/ab?q=1") << "double quotes are stripped from transaction texts";
    EXPECT_EQ(value(http, "begintime") + " " + value(http, "endtime"), "1000.005 1001.250");
    EXPECT_EQ(value(http, "forward"), "192.168.1.7");
    EXPECT_EQ(value(http, "srcConDelayUsec") + " " + value(http, "dstConDelayUsec"), "13 11");
    EXPECT_EQ(value(sql, "sql") + " " + value(sql, "srcDelayUsec"), "SELECT a FROM t 250.25");
    // A quote in a field that fills its width: the stripping stays in that field.
    std::memset(db.busi.db.errMess, 'e', sizeof db.busi.db.errMess);
    db.busi.db.errMess[sizeof db.busi.db.errMess - 1] = '"';
    std::strcpy(db.busi.db.user, "u");
    const std::string cut = business(db);
    EXPECT_EQ(value(cut, "err") + " " + value(cut, "user"), std::string(127, 'e') + " u");
    NetSessionT none[3] = {httpSession(), httpSession(), httpSession()};
    none[0].busi.http.url[0] = 0, none[1].busi.http.beginTime = {0, 5}, none[2].type = 0;
    for (NetSessionT& n : none) EXPECT_EQ(std::to_string(makeBusinessJsonStr(&n, buf)) + buf, "-1") << &n - none;
    makeEndJsonStr(buf, 1000);
    EXPECT_STREQ(buf, "{\"type\":\"99\",\"time\":\"1000\"}");
}

// Quotes, backslashes, control bytes and bytes that are not UTF-8, in every
// text field, at full width: every record must parse for a real JSON parser.
TEST(Record, EveryRecordIsValidJsonWhateverItsText)
{
    std::vector<std::string> records;
    for (const char* t : {"a\"b\\c", "tab\there\r\n\x01\x7f", "caf\xc3\xa9 \xff\xfe bad \xe2\x82"}) {
        CommMsgT m {};
        std::snprintf(m.urlsql, sizeof m.urlsql, "%s", t);
        std::snprintf(m.busiId, sizeof m.busiId, "%s", t);
        makeJsonStr(&m, buf), records.push_back(buf);
        NetSessionT s = httpSession(), db {};
        std::snprintf(s.busi.http.url, sizeof s.busi.http.url, "/%s", t);
        std::snprintf(s.busi.http.agent, sizeof s.busi.http.agent, "%s", t);
        std::snprintf(s.busiId, sizeof s.busiId, "%s", t);
        records.push_back(business(s));
        db.type = 4, db.busi.db.beginTime = {1, 0};
        std::memset(db.busi.db.sql, '\\', sizeof db.busi.db.sql - 1);      // the widest escape, whole field
        std::memset(db.busi.db.errMess, 0x01, sizeof db.busi.db.errMess);  // not even terminated
        records.push_back(business(db));
    }
    EXPECT_NE(records[0].find("a\\\"b\\\\c"), std::string::npos) << records[0];
    FILE* p = popen("python3 -c 'import sys, json\nfor l in sys.stdin.buffer: json.loads(l)'", "w");
    ASSERT_NE(p, nullptr);
    for (const std::string& r : records) std::fprintf(p, "%s\n", r.c_str());
    EXPECT_EQ(pclose(p), 0);
}

namespace fs = std::filesystem;

constexpr long JSON_FILE = 10L << 20, PCAP_FILE = 50L << 20;

std::string name(const std::string& dir, int n, const char* ext)
{
    return dir + "/Wirelane-1-" + std::string(n < 10 ? "00" : n < 100 ? "0" : "") + std::to_string(n) + "." + ext;
}

std::set<std::string> listDir(const std::string& dir)
{
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().string());
    return out;
}

// A fresh short folder (store names must fit), card 1, no saved file numbers
// (and no configuration file to save them to), flushes that wait for the disk.
class StoreTest : public ConfFixture {
protected:
    void SetUp() override { ConfFixture::SetUp(), confFilePath[0] = '\0', setStoreSyncEachFlush(true); }
    std::string made(const std::string& leaf) const { return fs::create_directory(dir / leaf), sub(leaf.c_str()); }
};

// Set-up claims the blank files of its space, at most 999, and leaves files already there alone; a failed
// set-up creates nothing more and leaves the store in use alone.
TEST_F(StoreTest, SetUpClaimsBlankFilesOrNothing)
{
    const std::string base = dir.string(), live = made("live"), unmade = made("unmade"), full = made("full");
    for (int n = 1; n <= 999; ++n) std::ofstream(name(full, n, "json"));
    ASSERT_EQ(initStore(full.c_str(), 10010, STORE_JSON), 0);
    EXPECT_EQ(std::pair(listDir(full).size(), fs::file_size(name(full, 1, "json"))), std::pair(999ul, 0ul));
    ASSERT_EQ(initStore(made(std::string(42 - base.size(), 'f')).c_str(), 0, STORE_JSON), 0);  // 43 characters fit
    const std::string tooLong = made(std::string(43 - base.size(), 'f'));
    ASSERT_EQ(initStoreJson((live + "/").c_str(), 25), 0);  // a trailing '/' is fine
    EXPECT_EQ(listDir(live).size(), 2u);
    EXPECT_EQ(readAll(name(live, 2, "json")), std::string(JSON_FILE, '\0'));
    writeJson("first");
    fs::create_symlink(base + "/nowhere/x", name(unmade, 2, "json"));
    struct Case { std::string path; int type, want; };
    const Case cases[] = {{base + "/missing", STORE_JSON, -1}, {base + "/missing", STORE_PKTS, -1},
                          {tooLong, STORE_JSON, -4}, {live, 3, -1}, {unmade, STORE_JSON, -2}};
    for (const Case& c : cases) {
        const std::set<std::string> before = listDir(base);
        EXPECT_EQ(initStore(c.path.c_str(), 20, c.type), c.want) << c.path;
        EXPECT_EQ(listDir(base), before) << c.path;
    }
    EXPECT_EQ(listDir(unmade).size(), 2u);  // the first blank stays
    writeJson("second"), writeJsonEnd();
    EXPECT_EQ(readAll(name(live, 1, "json")), "first\r\n\r\nsecond\r\n\r\n");
}

// Frames come back through libpcap as sent, cut to 4000 bytes (both lengths); a file ends with its overfilling frame.
TEST_F(StoreTest, FramesReadBackAndFilesSwitchPastTheirSize)
{
    const std::string d = sub("pkts");
    ASSERT_EQ(initStorePkts(d.c_str(), 100), 0);
    std::vector<std::pair<u32, u32>> sizes = {{1514, 1514}, {5000, 5000}, {100, 1500}};  // caplen, len
    const long full = 16 + STORE_MAX_CAPLEN, used = 24 + 3 * 16 + 1514 + STORE_MAX_CAPLEN + 100;
    const std::size_t inFirst = 3 + (PCAP_FILE - used) / full + 1;
    sizes.resize(inFirst + 1, {STORE_MAX_CAPLEN, STORE_MAX_CAPLEN});
    u8 data[5000];
    for (u32 seq = 0; seq < sizes.size(); ++seq) {
        const pcap_pkthdr h {{1700000000 + seq, seq * 7}, sizes[seq].first, sizes[seq].second};
        for (u32 i = 0; i < sizeof data; ++i) data[i] = static_cast<u8>(i * 31 + seq);
        dumpPkt(&h, data);
    }
    dumpPktEnd();
    EXPECT_EQ(readOnlyGlobal.pktsFileInd, 2);
    EXPECT_EQ(static_cast<long>(fs::file_size(name(d, 1, "pcap"))), used + static_cast<long>(inFirst - 3) * full);
    u32 seq = 0;
    for (int n : {1, 2}) {
        char err[PCAP_ERRBUF_SIZE];
        pcap_t* p = pcap_open_offline(name(d, n, "pcap").c_str(), err);
        ASSERT_NE(p, nullptr) << err;
        EXPECT_EQ(std::pair(pcap_datalink(p), pcap_snapshot(p)), std::pair(DLT_EN10MB, 65535));
        pcap_pkthdr* h;
        const u_char* b;
        for (; pcap_next_ex(p, &h, &b) == 1; ++seq) {
            const u32 kept = std::min<u32>(sizes.at(seq).first, STORE_MAX_CAPLEN);
            ASSERT_EQ(std::tuple(h->ts.tv_sec, h->ts.tv_usec, h->caplen, h->len),
                      std::tuple(1700000000L + seq, seq * 7L, kept, kept));
            for (u32 i = 0; i < kept; ++i) ASSERT_EQ(b[i], static_cast<u8>(i * 31 + seq)) << seq;
        }
        pcap_close(p);
        EXPECT_EQ(seq, n == 1 ? inFirst : sizes.size());
    }
}

// JSON files switch the same way; after a restart writing goes on after the file saved last, round the ring.
TEST_F(StoreTest, JsonFilesSwitchPastTheirSizeAndResumeAfterRestart)
{
    const std::string d = sub("json");
    ASSERT_EQ(initStoreJson(d.c_str(), 30), 0);
    // 10240 records of 1024 bytes fill a file exactly: still the same file.
    const std::string rec(1020, 'r'), longRecord(JSON_RECORD_SIZE + 100, 'L');
    for (int i = 0; i <= JSON_FILE / 1024; ++i) writeJson(rec.c_str());
    writeJson(longRecord.c_str()), writeJsonEnd();
    std::string one = readAll(name(d, 1, "json"));
    ASSERT_EQ(static_cast<long>(one.size()), JSON_FILE + 1024);
    EXPECT_EQ(one.substr(JSON_FILE - 1024, 2048), rec + "\r\n\r\n" + rec + "\r\n\r\n");
    EXPECT_EQ(readAll(name(d, 2, "json")), longRecord + "\r\n\r\n");
    EXPECT_EQ(readOnlyGlobal.jsonFileInd, 2);

    const int cases[][3] = {{30, 0, 1}, {30, 1, 2}, {30, 3, 1}, {30, 7, 1}, {50, 3, 4}};  // space, saved, next
    for (const auto& [space, saved, next] : cases) {
        readOnlyGlobal.jsonFileInd = saved;
        ASSERT_EQ(initStoreJson(d.c_str(), space), 0);
        writeJson("r"), writeJsonEnd();
        EXPECT_EQ(readOnlyGlobal.jsonFileInd, next) << saved;
        EXPECT_EQ(readAll(name(d, next, "json")), "r\r\n\r\n") << saved;
    }
}

// Two writers while the store moves between two folders: every record lands whole, exactly once.
TEST_F(StoreTest, ConcurrentWritersAndSetUpLoseNothing)
{
    const std::string dirs[2] = {sub("json"), sub("other")};
    ASSERT_EQ(initStoreJson(dirs[0].c_str(), 200), 0);
    auto record = [](int t, int i) { return std::to_string(t) + ":" + std::to_string(i) + std::string(i % 300, '.'); };
    std::atomic<bool> setUpDone {false};
    int written[2] = {0, 0};
    // At most 20 MB in all: the 20 files of a folder never come round again.
    auto writer = [&](int t) {
        while ((written[t] < 2000 || !setUpDone) && written[t] < 60000) writeJson(record(t, written[t]++).c_str());
    };
    std::thread first(writer, 0), second(writer, 1);
    for (int k = 1; k <= 6; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(initStoreJson(dirs[k % 2].c_str(), 200), 0);
        writeJsonEnd();
    }
    setUpDone = true;
    first.join(), second.join();
    writeJsonEnd();
    std::multiset<std::string> want, got;
    for (int t = 0; t < 2; ++t)
        for (int i = 0; i < written[t]; ++i) want.insert(record(t, i));
    for (const std::string& d : dirs) {
        for (int n = 1; n <= 20; ++n) {
            const std::string text = readAll(name(d, n, "json"));
            std::size_t at = text[0] == 0 ? text.size() : 0;  // blank files hold nothing
            for (std::size_t end; (end = text.find("\r\n\r\n", at)) != std::string::npos; at = end + 4)
                got.insert(text.substr(at, end - at));
            EXPECT_EQ(at, text.size()) << name(d, n, "json");
        }
    }
    EXPECT_TRUE(got == want);
}

// Writes cut short (a file size limit, as on a full disk) are cut off the file again, so that it ends with the last
// whole record written; a pcap file whose first frames are lost, header and all, gets its header with the next.
TEST_F(StoreTest, FailedWritesLeaveWholeFramesAndRecords)
{
    const std::string j = sub("json"), p = sub("pkts"), rec(1000, 'r');
    ASSERT_EQ(initStoreJson(j.c_str(), 10), 0);
    ASSERT_EQ(initStorePkts(p.c_str(), 50), 0);
    const u8 frame[100] = {};
    const pcap_pkthdr h {{1, 0}, sizeof frame, sizeof frame};
    onFullDisk(300 << 10, [&] {
        for (int i = 0; i < 600; ++i) writeJson(rec.c_str());
        return writeJsonEnd(), 0;
    });
    onFullDisk(10, [&] {
        for (int i = 0; i < 600; ++i) dumpPkt(&h, frame);
        return dumpPktEnd(), 0;
    });
    writeJson("after"), writeJsonEnd(), dumpPkt(&h, frame), dumpPktEnd();
    const std::string json = readAll(name(j, 1, "json")), pcap = readAll(name(p, 1, "pcap"));
    std::string want;
    for (std::size_t i = 0; i < (json.size() - 9) / (rec.size() + 4); ++i) want += rec + "\r\n\r\n";
    EXPECT_TRUE(json.size() > 20000 && json.size() < 300000 && json == want + "after\r\n\r\n") << json.size();
    EXPECT_EQ(pcap.size(), 24u + 16 + sizeof frame);
    EXPECT_EQ(pcap.substr(0, 4), "\xD4\xC3\xB2\xA1");
}

}  // namespace
