// The JSON text of pair, transaction and end-of-scan records.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "output/data.h"

namespace {

std::string pairText(const CommMsgT& m)
{
    static char buf[JSON_RECORD_SIZE];
    makeJsonStr(&m, buf);
    return buf;
}

// The value of key in a rendered record ("" when absent).
std::string value(const std::string& rec, const std::string& key)
{
    std::smatch m;
    std::regex re("\"" + key + "\":\"((\\\\.|[^\"\\\\])*)\"");
    return std::regex_search(rec, m, re) ? m[1].str() : "";
}

std::vector<std::string> keys(const std::string& rec)
{
    std::vector<std::string> out;
    std::regex re("[{,]\"([A-Za-z]+)\":");
    for (auto it = std::sregex_iterator(rec.begin(), rec.end(), re); it != std::sregex_iterator(); ++it) {
        out.push_back((*it)[1].str());
    }
    return out;
}

// Every line must parse as JSON for a real parser.
bool allParse(const std::vector<std::string>& records)
{
    FILE* p = popen("python3 -c 'import sys, json\nfor l in sys.stdin.buffer: json.loads(l)'", "w");
    if (p == nullptr) return false;
    for (const std::string& r : records) std::fprintf(p, "%s\n", r.c_str());
    return pclose(p) == 0;
}

NetSessionT httpSession()
{
    NetSessionT s {};
    s.type = 1;
    s.src = 0x0A000001;
    s.dst = 0x0A000002;
    s.sport = 40000;
    s.dport = 80;
    s.forward = 0xC0A80107;
    std::strcpy(s.busi.http.url, "/a\"b?q=1");
    std::strcpy(s.busi.http.method, "GET");
    std::strcpy(s.busi.http.domain, "srv01");
    s.busi.http.beginTime = {1000, 5999};
    s.busi.http.endTime = {1001, 250000};
    s.busi.http.retcode = 200;
    return s;
}

}  // namespace

TEST(Record, PairValuesAndTheirFormats)
{
    CommMsgT m {};
    m.time = 1000;
    m.src = 0xC0A8010C;
    m.sendPkts = 8;
    m.rcvdPkts = 4;
    m.sendBytes = 600;
    m.rcvdBytes = 300;
    m.sendRetransmitPkts = 1;
    m.rcvdRetransmitPkts = 3;  // rcvdPkts non-zero: 0.750
    m.cntSrcDelay = 2;
    m.srcDelayUsec = 3000;
    m.srcConDelayUsec = 1234;
    m.largePkts = 0x80000000u;
    std::string r = pairText(m);

    const char* const order[] = {"type", "time", "strTime", "process", "cpu", "mem", "urlsql", "src", "dst",
        "proto", "did", "lid", "vid", "deviceId", "busiId", "sport", "dport", "srcBytes", "dstBytes", "srcPkts",
        "dstPkts", "avgPktLen", "srcRetransPkts", "srcLossRatio", "dstRetransPkts", "dstLossRatio",
        "srcZeroWinPkts", "dstZeroWinPkts", "srcSynPkts", "dstSynPkts", "largePkts", "srcSynAckPkts",
        "dstSynAckPkts", "srcRstPkts", "dstRstPkts", "srcFinPkts", "dstFinPkts", "srcTinyPkts", "dstTinyPkts",
        "srcNetDelay", "dstNetDelay", "srcHandDelay", "dstHandDelay", "responseDelay", "loadTransDelay",
        "srcRetransDelay", "dstRetransDelay"};
    EXPECT_EQ(keys(r), std::vector<std::string>(std::begin(order), std::end(order)));
    EXPECT_EQ(r.rfind("{\"type\":\"1\",\"time\":\"1000\",\"strTime\":\"", 0), 0u) << r;
    EXPECT_EQ(value(r, "avgPktLen"), "75.00");
    EXPECT_EQ(value(r, "srcLossRatio"), "0.125");
    EXPECT_EQ(value(r, "dstLossRatio"), "0.750");
    EXPECT_EQ(value(r, "srcNetDelay"), "1.500");
    EXPECT_EQ(value(r, "dstNetDelay"), "0.00");
    EXPECT_EQ(value(r, "srcHandDelay"), "1.234");
    EXPECT_EQ(value(r, "dstHandDelay"), "0.00");
    EXPECT_EQ(value(r, "largePkts"), "-2147483648");
    EXPECT_EQ(value(r, "src"), "192.168.1.12");
    EXPECT_EQ(value(r, "mem"), "0 KB");
    EXPECT_EQ(value(r, "cpu"), "0.000");

    m.sendPkts = 0;
    m.rcvdPkts = 0;
    r = pairText(m);
    EXPECT_EQ(value(r, "avgPktLen"), "0.00");
    EXPECT_EQ(value(r, "srcLossRatio"), "0.00");
}

TEST(Record, TransactionRecords)
{
    static char buf[JSON_RECORD_SIZE];
    NetSessionT s = httpSession();
    ASSERT_EQ(makeBusinessJsonStr(&s, buf), 0);
    std::string r = buf;
    EXPECT_EQ(keys(r).size(), 29u);
    EXPECT_EQ(value(r, "type"), "2");
    EXPECT_EQ(value(r, "url"), "/ab?q=1") << "double quotes are stripped from transaction texts";
    EXPECT_EQ(value(r, "begintime"), "1000.005");
    EXPECT_EQ(value(r, "endtime"), "1001.250");
    EXPECT_EQ(value(r, "forward"), "192.168.1.7");
    EXPECT_EQ(keys(r).back(), "forward");

    NetSessionT db {};
    db.type = 3;
    std::strcpy(db.busi.db.sql, "SELECT a FROM t");
    std::strcpy(db.busi.db.errMess, "Table 't' doesn't exist");
    db.busi.db.beginTime = {1000, 0};
    db.cntCliDelay = 4;
    db.cliDelayUsec = 1001;
    ASSERT_EQ(makeBusinessJsonStr(&db, buf), 0);
    r = buf;
    EXPECT_EQ(keys(r).size(), 28u);
    EXPECT_EQ(value(r, "type"), "5");
    EXPECT_EQ(value(r, "sql"), "SELECT a FROM t");
    EXPECT_EQ(value(r, "srcDelayUsec"), "250.25");
    EXPECT_EQ(keys(r).back(), "dstDelayUsec");

    // Nothing reportable: no URL, no begin time, no application type.
    NetSessionT none = httpSession();
    none.busi.http.url[0] = 0;
    EXPECT_EQ(makeBusinessJsonStr(&none, buf), -1);
    EXPECT_STREQ(buf, "");
    none = httpSession();
    none.busi.http.beginTime = {0, 5};
    EXPECT_EQ(makeBusinessJsonStr(&none, buf), -1);
    none = httpSession();
    none.type = 0;
    EXPECT_EQ(makeBusinessJsonStr(&none, buf), -1);

    makeEndJsonStr(buf, 1000);
    EXPECT_STREQ(buf, "{\"type\":\"99\",\"time\":\"1000\"}");
}

TEST(Record, EveryRecordIsValidJsonWhateverItsText)
{
    // Quotes, backslashes, control bytes and bytes that are not UTF-8, in
    // every text field, at full width.
    std::vector<std::string> records;
    const char* nasty[] = {"a\"b\\c", "tab\there\r\n\x01\x7f", "caf\xc3\xa9 \xff\xfe bad \xe2\x82", "plain"};
    for (const char* t : nasty) {
        CommMsgT m {};
        std::snprintf(m.urlsql, sizeof m.urlsql, "%s", t);
        std::snprintf(m.busiId, sizeof m.busiId, "%s", t);
        records.push_back(pairText(m));

        NetSessionT s = httpSession();
        std::snprintf(s.busi.http.url, sizeof s.busi.http.url, "/%s", t);
        std::snprintf(s.busi.http.agent, sizeof s.busi.http.agent, "%s", t);
        std::snprintf(s.busiId, sizeof s.busiId, "%s", t);
        static char buf[JSON_RECORD_SIZE];
        ASSERT_EQ(makeBusinessJsonStr(&s, buf), 0);
        records.push_back(buf);

        NetSessionT db {};
        db.type = 4;
        std::memset(db.busi.db.sql, '\\', sizeof db.busi.db.sql - 1);  // the widest escape, whole field
        std::memset(db.busi.db.errMess, 0x01, sizeof db.busi.db.errMess);  // not even terminated
        db.busi.db.beginTime = {1, 0};
        ASSERT_EQ(makeBusinessJsonStr(&db, buf), 0);
        records.push_back(buf);
    }
    EXPECT_TRUE(allParse(records));
    EXPECT_NE(records[0].find("a\\\"b\\\\c"), std::string::npos) << records[0];
}
