// The texts of the live list and of its CSV export, on plain records, and what the query dialogs
// show: which entry of their time lists shows a time, and the period they open with.
#include "ui/list_text.h"

#include <cstring>

#include "support/conf_fixture.h"
#include "capture/engine.h"
#include "ui/query_text.h"

namespace {

char out[CELL_TEXT_SIZE];

char* traffic(u32 a, u32, char* o) { return getTraffic(a, o); }
char* pkts(u32 a, u32, char* o) { return getPkts(a, o); }

// KPI texts at the K and M steps, at the largest counts and without division by zero; the
// protocol cell; every column in one category of the column chooser.
TEST(ListTextTest, KpiProtocolAndColumnTexts)
{
    struct { char* (*fn)(u32, u32, char*); u32 a, b; const char* want; } const kpis[] = {
        {traffic, 12500, 0, "10000.00"}, {traffic, 12501, 0, "10.00K"}, {traffic, 12500000, 0, "10000.00K"},
        {traffic, 12500001, 0, "10.00M"}, {traffic, 0xFFFFFFFF, 0, "3435.97M"}, {pkts, 100000, 0, "10000.00"},
        {pkts, 100001, 0, "10.00K"}, {pkts, 0xFFFFFFFF, 0, "429496.75K"},  // no M step; single precision
        {getRatio, 1, 3, "33.33"}, {getRatio, 5, 0, "0.00"}, {getDelay, 3000, 4, "0.75"}, {getDelay, 12345, 0, "0.00"},
    };
    for (const auto& c : kpis) EXPECT_STREQ(c.fn(c.a, c.b, out), c.want) << c.a << " " << c.b;
    struct { u32 proto, type; const char* want; } const protocols[] = {
        {1, 0, "ICMP"}, {6, 2, "ORACLE"}, {17, 4, "SQLSERVER"}, {6, 5, "TCP"}, {47, 0, ""}, {47, 99, ""}};
    for (const auto& c : protocols) EXPECT_STREQ(protocolCell(c.proto, c.type), c.want) << c.proto << "/" << c.type;
    initColumCheckNum();
    int seen[NUM_NETLIST_FIELD] = {};
    for (auto& row : columnCheckNum) for (int i = 0; i < NUM_NETLIST_FIELD && row[i] >= 0; i++) seen[row[i]]++;
    for (int c = 0; c < NUM_NETLIST_FIELD; c++) EXPECT_EQ(seen[c], 1) << "column " << c;
}

// Every cell of a known record, in the list and in the CSV export (which names the transport
// only, quotes what holds a comma, a quote or a line break, and skips records of time 0).
using CsvTest = ConfFixture;
TEST_F(CsvTest, CellsAndCsvExport)
{
    setenv("TZ", "UTC", 1), tzset();
    const char* const want[NUM_NETLIST_FIELD] = {
        "2026-03-05 00:00:00", "mysql\xE4\xBD\xA0", "1.250", "2048 KB", "192.168.1.2:51000", "10.0.0.5:3306",
        "MYSQL", "select a, b from t", "10.00K", "800.00", "10.00", "5.00", "2.50", "0.25", "0.25", "1.20", "0.80",
        "9.00", "0.10", "0.20", "3.00", "2.00", "3", "1", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13",
        "14", "15", "16", "270",
    };
    CommMsgT r {};
    r.type = 3, r.time = 1772668800;  // 2026-03-05 00:00:00 UTC
    r.src = ipFromV4(0xC0A80102), r.sport = 51000, r.dst = ipFromV4(0x0A000005), r.dport = 3306, r.proto = 6;
    std::strcpy(r.urlsql, "select a, b from t");
    std::strcpy(r.pname, "mysql\xC4\xE3");  // GB2312 for a Chinese character
    r.cpu = 1.25f, r.mem = 2048;
    r.sendBytes = 12501, r.rcvdBytes = 1000, r.sendPkts = 30, r.rcvdPkts = 20, r.sendRetransmitPkts = 3;
    r.rcvdRetransmitPkts = 1, r.sendSynPkts = 4, r.rcvdSynPkts = 5, r.sendSynAckPkts = 6, r.rcvdSynAckPkts = 7;
    r.cntCustomDelay = 2, r.customDelayUsec = 5000, r.cntSrcDelay = 1, r.srcDelayUsec = 250;
    r.cntDstDelay = 4, r.dstDelayUsec = 1000, r.srcConDelayUsec = 1200, r.dstConDelayUsec = 800;
    r.cntLoadDelay = 1, r.loadDelayUsec = 9000, r.srcRetransDelayUsec = 100, r.dstRetransDelayUsec = 200;
    r.sendRstPkts = 8, r.rcvdRstPkts = 9, r.sendFinPkts = 10, r.rcvdFinPkts = 11, r.sendTinyPkts = 12;
    r.rcvdTinyPkts = 13, r.cntSrcZeroWin = 14, r.cntDstZeroWin = 15, r.largePkts = 16;
    CommMsgT recs[3] = {r, r, r};
    EXPECT_STREQ(cellText(recs[0], PROTOCOL, out), "MYSQL");
    recs[1].time = 0;  // skipped
    recs[2].sendPkts = recs[2].rcvdPkts = 0, recs[2].proto = 17;
    std::strcpy(recs[2].urlsql, "GET /a?\"q\"\nx");
    EXPECT_STREQ(cellText(recs[2], AVG_PKT_LEN, out), "") << "no packets, no average";
    char name[64], small[16];
    ASSERT_TRUE(csvFileName(sub("export").c_str(), name, sizeof name));  // ".csv" appended
    ASSERT_EQ(writeCsv(name, recs, 3), 0);
    auto line = [](const std::vector<std::string>& cells) {
        std::string l;
        for (const std::string& c : cells) l += c + ",";
        return l + "NULL\n";
    };
    std::vector<std::string> first(want, want + NUM_NETLIST_FIELD), last = first;
    first[PROTOCOL] = "TCP", first[URL_SQL] = "\"select a, b from t\"";
    last[PROTOCOL] = "UDP", last[URL_SQL] = "\"GET /a?\"\"q\"\"\nx\"", last[AVG_PKT_LEN] = "";
    last[SRC_LOSS_RATIO] = last[DST_LOSS_RATIO] = last[SRC_PKTS] = last[DST_PKTS] = "0.00";
    const std::vector<std::string> titles(infoTitles, infoTitles + NUM_NETLIST_FIELD);
    EXPECT_EQ(readAll(sub("export.csv")), line(titles) + line(first) + line(last));
    EXPECT_EQ(writeCsv(sub("missing/x.csv").c_str(), recs, 1), -1);
    ASSERT_TRUE(csvFileName("/tmp/b.csv", small, sizeof small));
    EXPECT_STREQ(small, "/tmp/b.csv") << "no second extension";
    EXPECT_FALSE(csvFileName("/tmp/long-name1", small, sizeof small)) << "too long: refused, not cut";

    // IPv6 ends, the longest form too, are cells and CSV fields whole, bracketed and unquoted.
    CommMsgT v6 = r;
    v6.src = ipOf("2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff"), v6.dst = ipOf("::1");
    v6.sport = 65535;
    EXPECT_STREQ(cellText(v6, SOURCE, out), "[2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff]:65535");
    ASSERT_EQ(writeCsv(name, &v6, 1), 0);
    EXPECT_NE(readAll(name).find(",[2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff]:65535,[::1]:3306,TCP,"),
              std::string::npos);

    // A name that is neither UTF-8 nor GB2312 shows as an empty cell; an unterminated one is read within its field.
    CommMsgT& bad = recs[0];
    std::memset(bad.pname, '\xFF', sizeof bad.pname);
    EXPECT_STREQ(cellText(bad, PROCESS, out), "");
    std::memset(bad.pname, 'a', sizeof bad.pname);
    EXPECT_EQ(std::strlen(cellText(bad, PROCESS, out)), sizeof bad.pname);
}

// What the window test cannot bring about: a lost card, counts past 32 bits, a card without an address, no endpoint.
TEST(ListTextTest, StatusAndEmptyListLines)
{
    char text[512];
    statusLineText({"vh1", "fd00:34::1", "", WX_CAPTURE_LOST, 5000000000, 4999999999, 5000000001, 0}, text, sizeof text);
    EXPECT_STREQ(text, "vh1 (fd00:34::1)   Card lost   5000000000 captured, 4999999999 analysed, 5000000001 lost");
    statusLineText({"vh1", "", "", WX_CAPTURE_DENIED, 0, 0, 0, 0}, text, sizeof text);
    EXPECT_STREQ(text, "vh1   No permission to capture on vh1   0 captured, 0 analysed, 0 lost");
    EXPECT_STREQ(emptyListText(true, 0), "No endpoint is monitored: add one in \"Analysis settings\"");
    EXPECT_EQ(emptyListText(true, 1), nullptr);
}

TEST(QueryText, ComboIndexAndPreset)
{
    struct { const int* table; int value, index; } const cases[] = {
        {minNum, 7, 1}, {secNum, 59, 11}, {yearNum, 2019, 0}, {yearNum, 2031, 10}, {yearNum, 2036, 0},
        {dayNum, 31, 30}};
    for (const auto& c : cases) EXPECT_EQ(comboDefIndex(c.table, c.value), c.index) << c.value;

    setenv("TZ", "UTC", 1), tzset();
    int shown[6];
    timeIndexes(1796540693, shown);  // 2026-12-06 07:04:53
    EXPECT_EQ(std::vector<int>(shown, shown + 6), (std::vector<int> {6, 11, 5, 7, 0, 10})) << "year to second";

    const std::vector<StoreFileT> files = {{"a", "a", 100, 200}, {"b", "b", 200, 300}};
    long long start, end;
    presetPeriod(files, 0, 0, &start, &end);
    EXPECT_EQ(std::pair(start, end), std::pair(200LL, 300LL));
    presetPeriod(files, 150, 250, &start, &end);
    EXPECT_EQ(start, 150) << "the last query's period";
    presetPeriod({}, 0, 0, &start, &end);
    EXPECT_EQ(start + end, 0);
}

}  // namespace
