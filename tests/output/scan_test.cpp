// The scan: which sessions end, what their records become, and the pairs; records handed off
// by the processing thread (frames over VXLAN: retrieval_verbs.sh).
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "output/channel.h"
#include "output/pairs.h"
#include "output/scan.h"
#include "support/tables.h"

namespace {

std::vector<CommMsgT> exported;

// Hands the pair table a record of pkts packets of 100 bytes.
void put(u32 src, u32 dst, u32 sport, u32 dport, u32 pkts)
{
    CommMsgT m {};
    m.src = ipFromV4(src), m.dst = ipFromV4(dst), m.sport = sport, m.dport = dport, m.sendPkts = pkts, m.sendBytes = 100 * pkts;
    putCommpairSession(&m);
}

class ScanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pHashTable != nullptr || initCommPair() == 0);
        eraseCommpairTable(), testtables::resetSessions(), exported.clear();
        setRecordObserver([](const CommMsgT& r) { exported.push_back(r); });
        setScanFollowsCapture(true), readOnlyGlobal.sessionTimeOut = 60;  // no pause before the end record
    }
    void TearDown() override { setRecordObserver(nullptr); }
};

TEST_F(ScanTest, RecordsFoldIntoPairs)
{
    const u32 cli = 0x0A000001, srv = 0x0A000002;
    // Same client host, server and port fold into one pair with port 0; a reverse record joins only a pair of port 0.
    put(cli, srv, 40000, 80, 2), put(cli, srv, 40001, 80, 3), put(cli, srv, 40002, 443, 1);
    put(srv, cli, 80, 40000, 5), put(srv, cli, 80, 0, 7);
    exportCommpairData(1000);
    ASSERT_EQ(exported.size(), 3u);
    EXPECT_EQ(std::tuple(exported[0].sendPkts, exported[0].sendBytes, exported[0].sport, exported[0].time),
              std::tuple(12u, 1200u, 0u, 1000L));  // stamped with the period
    EXPECT_EQ(std::pair(exported[1].dport, exported[2].src), std::pair(443u, ipFromV4(srv)));
    exported.clear(), exportCommpairData(1010);
    EXPECT_TRUE(exported.empty()) << "pairs live one scan";

    // Sixteen pairs fill a bucket; a seventeenth new pair is dropped.
    for (u32 i = 0; i < 17; i++) put(cli + 512 * i, srv - 512 * i, 40000, 80, 1);  // same (src + dst) & 511
    exportCommpairData(1020);
    EXPECT_EQ(exported.size(), 16u);
}

TEST_F(ScanTest, SessionsEndWhenIdleOrClosed)
{
    // idle: seconds; endAll: the end of a capture file, which ends every session
    struct Case { const char* name; int state; long idle; u32 pkts; bool record, stays, endAll = false; };
    const Case cases[] = {
        {"active", 3, 5, 4, true, true},                  {"active without traffic", 3, 5, 0, false, true},
        {"closed, quiet for 1 s", 4, 1, 4, true, true},   {"closed, quiet for 2 s", 5, 2, 4, true, false},
        {"idle for 59 s", 3, 59, 4, true, true},          {"idle for 60 s", 3, 60, 4, true, false},
        {"ended without traffic", 3, 70, 0, false, false}, {"end of the capture", 3, 0, 1, true, false, true},
    };
    globalValue.realCurrTime = 10000;
    NetSessionT& s = globalValue.hashTable->node[5].session[3];
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testtables::resetSessions(), exported.clear();
        s.valid = 1, s.state = c.state, s.proto = 6, s.lastPktTime.tv_sec = 10000 - c.idle;
        s.rcvdPkts = c.pkts, s.rcvdBytes = 60 * c.pkts;
        scanFun(10000, c.endAll);
        ASSERT_EQ(exported.size(), c.record ? 1u : 0u);
        EXPECT_EQ(c.record ? exported[0].rcvdPkts : 0u, c.pkts);
        EXPECT_EQ(s.valid, c.stays ? 1 : 0);
        EXPECT_EQ(s.rcvdPkts, c.stays ? 0u : s.rcvdPkts) << "counters start again each interval";
    }
}

// Records come out whole, once each and in export order, even with the queue full and the exporting thread behind.
TEST(ExportQueue, HandedOffRecordsKeepTheirOrder)
{
    std::string path = testing::TempDir() + "export_queue.json";
    char err[256];
    ASSERT_EQ(openJsonOut(path.c_str(), err, sizeof err), 0) << err;
    constexpr int RECORDS = 60000;  // some 35 MB, several times the queue
    std::thread processing([] {
        handOffRecords();
        CommMsgT m {};
        NetSessionT s {};
        s.type = 1, s.busi.http.beginTime.tv_sec = 1700000000;
        for (int i = 0; i < RECORDS; i++) {
            m.sport = static_cast<u32>(i);
            std::snprintf(s.busi.http.url, sizeof s.busi.http.url, "/%d", i);
            i % 10 == 9 ? exportBusinessData(&s) : exportData(&m, 1700000000);
        }
        exportEndData(1700000010);
    });
    processing.join(), flushJsonOut();
    std::ifstream in(path);
    int n = 0;
    for (std::string line; std::getline(in, line); n++) {
        std::string want = n == RECORDS   ? "{\"type\":\"99\""
                           : n % 10 == 9 ? "\"url\":\"/" + std::to_string(n) + "\""
                                         : "\"sport\":\"" + std::to_string(n) + "\"";
        ASSERT_NE(line.find(want), std::string::npos) << "line " << n << ": " << line.substr(0, 200);
        ASSERT_EQ(line.back(), '}') << "line " << n;
    }
    EXPECT_EQ(n, RECORDS + 1);
}

}  // namespace
