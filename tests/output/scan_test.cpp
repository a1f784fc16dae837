// The scan: which sessions end, what their records become, the pairs and
// the top list.
#include <gtest/gtest.h>

#include <vector>

#include "output/commpair.h"
#include "output/data.h"
#include "output/scan.h"
#include "support/tables.h"

using namespace testtables;

namespace {

std::vector<CommMsgT> exported;
void keep(const CommMsgT& r) { exported.push_back(r); }

CommMsgT record(u32 src, u32 dst, u32 sport, u32 dport, u32 pkts)
{
    CommMsgT m {};
    m.src = src;
    m.dst = dst;
    m.sport = sport;
    m.dport = dport;
    m.sendPkts = pkts;
    m.rcvdPkts = 0;
    m.sendBytes = 100 * pkts;
    return m;
}

class ScanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (pHashTable == nullptr) {
            ASSERT_EQ(initCommPair(), 0);
        }
        eraseCommpairTable();
        resetSessions();
        exported.clear();
        setRecordObserver(keep);
        setScanFollowsCapture(true);  // no pause before the end record
        readOnlyGlobal.sessionTimeOut = 60;
    }
    void TearDown() override { setRecordObserver(nullptr); }
};

}  // namespace

TEST_F(ScanTest, TopListKeepsTheBusiest)
{
    cntMaxSession = 0;
    const u32 totals[] = {5, 3, 3, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    for (u32 t : totals) {
        CommMsgT m = record(1, 2, 3, 4, t);
        storeMaxCommMsg(&m, 1);
    }
    ASSERT_EQ(cntMaxSession, 15);
    CommMsgT four = record(7, 8, 9, 10, 4);
    storeMaxCommMsg(&four, 3);
    EXPECT_EQ(comms[1].src, 7u) << "the first of the two quietest gives way";
    EXPECT_EQ(comms[1].type, 3u);
    CommMsgT three = record(11, 12, 13, 14, 3);
    storeMaxCommMsg(&three, 1);
    EXPECT_EQ(comms[2].src, 1u) << "an offer no busier than the quietest is dropped";
}

TEST_F(ScanTest, RecordsFoldIntoPairs)
{
    const u32 cli = 0x0A000001, srv = 0x0A000002;
    CommMsgT a = record(cli, srv, 40000, 80, 2);
    a.time = 100;
    CommMsgT b = record(cli, srv, 40001, 80, 3);
    b.time = 200;
    CommMsgT otherPort = record(cli, srv, 40002, 443, 1);
    putCommpairSession(&a);
    putCommpairSession(&b);
    putCommpairSession(&otherPort);
    // A record of the opposite direction joins only a pair whose port is 0.
    CommMsgT crossed = record(srv, cli, 80, 40000, 5);
    putCommpairSession(&crossed);
    CommMsgT crossedZero = record(srv, cli, 80, 0, 7);
    putCommpairSession(&crossedZero);

    exportCommpairData(1000);
    ASSERT_EQ(exported.size(), 3u);
    EXPECT_EQ(exported[0].sendPkts, 5u + 7u) << "same client host, server and port; then the crossed record";
    EXPECT_EQ(exported[0].sendBytes, 1200u);
    EXPECT_EQ(exported[0].sport, 0u);
    EXPECT_EQ(exported[0].time, 1000) << "stamped with the period";
    EXPECT_EQ(exported[1].dport, 443u);
    EXPECT_EQ(exported[2].src, srv);
    exported.clear();
    exportCommpairData(1010);
    EXPECT_TRUE(exported.empty()) << "pairs live one scan";

    // Sixteen pairs fill a bucket; a seventeenth new pair is dropped.
    for (u32 i = 0; i < 17; i++) {
        CommMsgT m = record(cli + 512 * i, srv - 512 * i, 40000, 80, 1);  // same (src + dst) & 511
        putCommpairSession(&m);
    }
    exportCommpairData(1020);
    EXPECT_EQ(exported.size(), 16u);
}

TEST_F(ScanTest, SessionsEndWhenIdleOrClosed)
{
    struct Case {
        const char* name;
        int state;
        long idle;  // seconds before the newest frame
        u32 pkts;
        bool record, stays;
    };
    const Case cases[] = {
        {"active", 3, 5, 4, true, true},
        {"active without traffic", 3, 5, 0, false, true},
        {"closed, quiet for 1 s", 4, 1, 4, true, true},
        {"closed, quiet for 2 s", 5, 2, 4, true, false},
        {"idle for 59 s", 3, 59, 4, true, true},
        {"idle for 60 s", 3, 60, 4, true, false},
        {"ended without traffic", 3, 70, 0, false, false},
    };
    globalValue.realCurrTime = 10000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSessions();
        exported.clear();
        NetSessionT& s = globalValue.hashTable->node[5].session[3];
        s.valid = 1;
        s.state = c.state;
        s.proto = 6;
        s.src = 0x0A000001;
        s.dst = 0x0A000002;
        s.sport = 40000;
        s.dport = 80;
        s.lastPktTime.tv_sec = 10000 - c.idle;
        s.rcvdPkts = c.pkts;
        s.rcvdBytes = 60 * c.pkts;
        scanFun(10000, false);
        EXPECT_EQ(exported.size(), c.record ? 1u : 0u);
        if (c.record) {
            EXPECT_EQ(exported[0].rcvdPkts, c.pkts);
        }
        if (c.record && c.stays) {
            EXPECT_EQ(s.rcvdPkts, 0u) << "counters start again each interval";
        }
        EXPECT_EQ(s.valid, c.stays ? 1 : 0);
    }
    // The end of a capture file ends every session.
    resetSessions();
    NetSessionT& s = globalValue.hashTable->node[0].session[0];
    s.valid = 1;
    s.state = 3;
    s.lastPktTime.tv_sec = 10000;
    s.rcvdPkts = 1;
    scanFun(10010, true);
    EXPECT_EQ(s.valid, 0);
}
