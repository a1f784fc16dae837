// The JSON text of pair, transaction and end-of-scan records.
#include "output/json.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

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
    s.type = 1, s.forward = 0xC0A80107;
    std::strcpy(s.busi.http.url, "/a\"b?q=1");
    s.busi.http.beginTime = {1000, 5999}, s.busi.http.endTime = {1001, 250000};
    return s;
}

// The record of a finished transaction; when there is none, a broken one.
std::string business(NetSessionT s) { return makeBusinessJsonStr(&s, buf) == 0 ? buf : "{\"none\":"; }

TEST(Record, EveryKindKeepsItsKeysAndFormats)
{
    CommMsgT m {};
    m.time = 1000, m.src = 0xC0A8010C, m.sendPkts = 8, m.rcvdPkts = 4, m.sendBytes = 600, m.rcvdBytes = 300;
    m.sendRetransmitPkts = 1, m.rcvdRetransmitPkts = 3, m.cntSrcDelay = 2, m.srcDelayUsec = 3000;
    m.srcConDelayUsec = 1234, m.largePkts = 0x80000000u;
    makeJsonStr(&m, buf);
    std::string r = buf;
    EXPECT_EQ(keys(r), (std::vector<std::string> {"type", "time", "strTime", "process", "cpu", "mem", "urlsql",
        "src", "dst", "proto", "did", "lid", "vid", "deviceId", "busiId", "sport", "dport", "srcBytes", "dstBytes",
        "srcPkts", "dstPkts", "avgPktLen", "srcRetransPkts", "srcLossRatio", "dstRetransPkts", "dstLossRatio",
        "srcZeroWinPkts", "dstZeroWinPkts", "srcSynPkts", "dstSynPkts", "largePkts", "srcSynAckPkts",
        "dstSynAckPkts", "srcRstPkts", "dstRstPkts", "srcFinPkts", "dstFinPkts", "srcTinyPkts", "dstTinyPkts",
        "srcNetDelay", "dstNetDelay", "srcHandDelay", "dstHandDelay", "responseDelay", "loadTransDelay",
        "srcRetransDelay", "dstRetransDelay"}));
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
    std::strcpy(db.busi.db.sql, "SELECT a FROM t");
    db.type = 3, db.busi.db.beginTime = {1000, 0}, db.cntCliDelay = 4, db.cliDelayUsec = 1001;
    const std::string http = business(s), sql = business(db);
    EXPECT_EQ(std::pair(keys(http).size(), keys(http).back()), std::pair(29ul, std::string("forward")));
    EXPECT_EQ(std::pair(keys(sql).size(), keys(sql).back()), std::pair(28ul, std::string("dstDelayUsec")));
    EXPECT_EQ(value(http, "type") + " " + value(sql, "type"), "2 5");
    EXPECT_EQ(value(http, "url"), "/ab?q=1") << "double quotes are stripped from transaction texts";
    EXPECT_EQ(value(http, "begintime") + " " + value(http, "endtime"), "1000.005 1001.250");
    EXPECT_EQ(value(http, "forward"), "192.168.1.7");
    EXPECT_EQ(value(sql, "sql") + " " + value(sql, "srcDelayUsec"), "SELECT a FROM t 250.25");
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
        makeJsonStr(&m, buf);
        records.push_back(buf);
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

}  // namespace
