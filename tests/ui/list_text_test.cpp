// The texts of the live list and of its CSV export, on plain records.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "ui/list_text.h"

namespace {

char out[CELL_TEXT_SIZE];

TEST(ListTextTest, KpiTexts)
{
    struct {
        char* (*fn)(u32, u32, char*);
        u32 a, b;
        const char* want;
    } const cases[] = {
        {[](u32 a, u32, char* o) { return getTraffic(a, o); }, 12500, 0, "10000.00"},
        {[](u32 a, u32, char* o) { return getTraffic(a, o); }, 12501, 0, "10.00K"},
        {[](u32 a, u32, char* o) { return getTraffic(a, o); }, 12500000, 0, "10000.00K"},
        {[](u32 a, u32, char* o) { return getTraffic(a, o); }, 12500001, 0, "10.00M"},
        {[](u32 a, u32, char* o) { return getTraffic(a, o); }, 125000000, 0, "100.00M"},
        {[](u32 a, u32, char* o) { return getTraffic(a, o); }, 0xFFFFFFFF, 0, "3435.97M"},
        {[](u32 a, u32, char* o) { return getPkts(a, o); }, 100000, 0, "10000.00"},
        {[](u32 a, u32, char* o) { return getPkts(a, o); }, 100001, 0, "10.00K"},
        {[](u32 a, u32, char* o) { return getPkts(a, o); }, 12345678, 0, "1234.57K"},
        {[](u32 a, u32, char* o) { return getPkts(a, o); }, 0xFFFFFFFF, 0, "429496.75K"},  // no M step; single precision
        {getRatio, 1, 3, "33.33"},
        {getRatio, 5, 0, "0.00"},
        {getDelay, 1500, 1, "1.50"},
        {getDelay, 12345, 0, "0.00"},
        {getDelay, 3000, 4, "0.75"},
    };
    for (const auto& c : cases) EXPECT_STREQ(c.fn(c.a, c.b, out), c.want) << c.a << " " << c.b;
}

TEST(ListTextTest, ProtocolCell)
{
    struct {
        u32 proto, type;
        const char* want;
    } const cases[] = {
        {1, 0, "ICMP"}, {6, 0, "TCP"}, {17, 0, "UDP"}, {6, 1, "HTTP"}, {6, 2, "ORACLE"},
        {6, 3, "MYSQL"}, {17, 4, "SQLSERVER"}, {6, 5, "TCP"}, {47, 0, ""}, {47, 99, ""},
    };
    for (const auto& c : cases) EXPECT_STREQ(protocolCell(c.proto, c.type), c.want) << c.proto << "/" << c.type;
}

CommMsgT knownRecord()
{
    CommMsgT r {};
    r.type = 3;
    r.time = 1772668800;  // 2026-03-05 00:00:00 UTC
    r.src = 0xC0A80102;
    r.sport = 51000;
    r.dst = 0x0A000005;
    r.dport = 3306;
    r.proto = 6;
    std::strcpy(r.urlsql, "select a, b from t");
    r.sendBytes = 12501;
    r.rcvdBytes = 1000;
    r.sendPkts = 30;
    r.rcvdPkts = 20;
    r.sendRetransmitPkts = 3;
    r.rcvdRetransmitPkts = 1;
    r.cntCustomDelay = 2, r.customDelayUsec = 5000;
    r.cntSrcDelay = 1, r.srcDelayUsec = 250;
    r.cntDstDelay = 4, r.dstDelayUsec = 1000;
    r.srcConDelayUsec = 1200, r.dstConDelayUsec = 800;
    r.cntLoadDelay = 1, r.loadDelayUsec = 9000;
    r.srcRetransDelayUsec = 100, r.dstRetransDelayUsec = 200;
    r.sendSynPkts = 4, r.rcvdSynPkts = 5, r.sendSynAckPkts = 6, r.rcvdSynAckPkts = 7;
    r.sendRstPkts = 8, r.rcvdRstPkts = 9, r.sendFinPkts = 10, r.rcvdFinPkts = 11;
    r.sendTinyPkts = 12, r.rcvdTinyPkts = 13, r.cntSrcZeroWin = 14, r.cntDstZeroWin = 15, r.largePkts = 16;
    return r;
}

class ListRecordTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        PortProcT& p = globalValue.portProc[51000];
        p = PortProcT {};
        std::strcpy(p.name, "mysql\xC4\xE3");  // GB2312 for a Chinese character
        p.cpu = 1.25f;
        p.mem = 2048;
    }
};

TEST_F(ListRecordTest, TheCellsOfAKnownRecord)
{
    const char* const want[NUM_NETLIST_FIELD] = {
        "2026-03-05 00:00:00", "mysql\xE4\xBD\xA0", "1.250", "2048 KB", "192.168.1.2:51000", "10.0.0.5:3306",
        "MYSQL", "select a, b from t", "10.00K", "800.00", "10.00", "5.00", "2.50", "0.25", "0.25", "1.20", "0.80",
        "9.00", "0.10", "0.20", "3.00", "2.00", "3", "1", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13",
        "14", "15", "16", "270",
    };
    CommMsgT r = knownRecord();
    for (int f = 0; f < NUM_NETLIST_FIELD; f++) {
        EXPECT_STREQ(cellText(r, portOwner(r.sport), f, out), want[f]) << infoTitles[f];
    }
    r.sendPkts = r.rcvdPkts = 0;
    EXPECT_STREQ(cellText(r, portOwner(r.sport), AVG_PKT_LEN, out), "") << "no packets, no average";
    // A name that is neither UTF-8 nor GB2312 shows as an empty cell; an
    // unterminated name is read within its field.
    PortProcT bad {};
    std::memset(bad.name, '\xFF', sizeof bad.name);
    EXPECT_STREQ(cellText(r, bad, PROCESS, out), "");
    std::memset(bad.name, 'a', sizeof bad.name);
    EXPECT_EQ(std::strlen(cellText(r, bad, PROCESS, out)), sizeof bad.name);
}

TEST_F(ListRecordTest, CsvExport)
{
    CommMsgT recs[3] = {knownRecord(), knownRecord(), knownRecord()};
    recs[1].time = 0;  // skipped
    recs[2].sendPkts = recs[2].rcvdPkts = 0;
    recs[2].proto = 17;
    std::strcpy(recs[2].urlsql, "GET /a?\"q\"\nx");
    // Not under TMPDIR: other tests point it at folders of their own.
    std::string path = "/tmp/wirelane_export_" + std::to_string(getpid()) + ".csv";
    ASSERT_EQ(writeCsv(path.c_str(), recs, 3), 0);
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    std::string header;
    for (const char* t : infoTitles) header += std::string(t) + ",";
    std::string first = "2026-03-05 00:00:00,mysql\xE4\xBD\xA0,1.250,2048 KB,192.168.1.2:51000,10.0.0.5:3306,TCP,"
                        "\"select a, b from t\",10.00K,800.00,10.00,5.00,2.50,0.25,0.25,1.20,0.80,9.00,0.10,0.20,"
                        "3.00,2.00,3,1,4,5,6,7,8,9,10,11,12,13,14,15,16,270,NULL\n";
    std::string last = "2026-03-05 00:00:00,mysql\xE4\xBD\xA0,1.250,2048 KB,192.168.1.2:51000,10.0.0.5:3306,UDP,"
                       "\"GET /a?\"\"q\"\"\nx\",10.00K,800.00,0.00,0.00,2.50,0.25,0.25,1.20,0.80,9.00,0.10,0.20,"
                       "0.00,0.00,3,1,4,5,6,7,8,9,10,11,12,13,14,15,16,,NULL\n";
    EXPECT_EQ(all.str(), header + "NULL\n" + first + last);
    std::remove(path.c_str());
    EXPECT_EQ(writeCsv("/nonexistent/dir/x.csv", recs, 1), -1);
}

TEST(ListTextTest, CsvFileName)
{
    char name[16];
    ASSERT_TRUE(csvFileName("/tmp/a", name, sizeof name));
    EXPECT_STREQ(name, "/tmp/a.csv");
    ASSERT_TRUE(csvFileName("/tmp/b.csv", name, sizeof name));
    EXPECT_STREQ(name, "/tmp/b.csv") << "no second extension";
    EXPECT_FALSE(csvFileName("/tmp/long-name1", name, sizeof name)) << "too long: refused, not cut";
}

TEST(ListTextTest, ColumnCategories)
{
    initColumCheckNum();
    int seen[NUM_NETLIST_FIELD] = {};
    for (auto& row : columnCheckNum) {
        for (int c : row) {
            if (c < 0) break;
            seen[c]++;
        }
    }
    for (int c = 0; c < NUM_NETLIST_FIELD; c++) EXPECT_EQ(seen[c], 1) << "column " << c << " in one category";
    EXPECT_EQ(columnCheckNum[WX_KPI_CATE_PKT][2], SRC_LOSS_RATIO);
    EXPECT_EQ(columnCheckNum[WX_KPI_CATE_BYTE][2], -1);
}

}  // namespace
