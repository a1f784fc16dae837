// Endpoint text parsing, the sorted endpoint table and its lock-free readers.
#include "core/util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>

namespace {

constexpr u32 ip(u32 a, u32 b, u32 c, u32 d) { return (a << 24) | (b << 16) | (c << 8) | d; }

void clearTable()
{
    while (readOnlyGlobal.cntHost > 0) deleteHostInfo(0);
}

class EndpointTable : public ::testing::Test {
protected:
    void SetUp() override { clearTable(); }
    void TearDown() override { clearTable(); }

    static int add(const char* text, int protoIdx, const char* busiId = "00000001")
    {
        HostInfoT h;
        EXPECT_EQ(makeHostInfo(&h, text, protoIdx, busiId), 0) << text;
        return addNewHostInfo(&h);
    }
};

enum { ANY = 0, TCP = 1, UDP = 2, HTTP = 3, ORACLE = 4, MYSQL = 5 };

TEST(EndpointText, Forms)
{
    struct Case {
        const char* text;
        int protoIdx;
        int result;
        u32 low, high;
        int port;
    };
    const Case cases[] = {
        {"192.168.1.12", HTTP, 0, ip(192, 168, 1, 12), ip(192, 168, 1, 12), 80},
        {"192.168.1.12:8080", HTTP, 0, ip(192, 168, 1, 12), ip(192, 168, 1, 12), 8080},
        {"192.168.1.12", TCP, 0, ip(192, 168, 1, 12), ip(192, 168, 1, 12), 0},
        {"192.168.1.0/24", MYSQL, 0, ip(192, 168, 1, 0), ip(192, 168, 1, 255), 3306},
        {"192.168.1.0/24:80", ANY, 0, ip(192, 168, 1, 0), ip(192, 168, 1, 255), 80},
        {"10.1.2.3/32", TCP, 0, ip(10, 1, 2, 3), ip(10, 1, 2, 3), 0},
        {"10.1.2.3/40", TCP, 0, ip(10, 1, 2, 3), ip(10, 1, 2, 3), 0},
        {"0.0.0.0/0", TCP, 0, 0, 0xFFFFFFFF, 0},
        {"10.0.0.0/8", TCP, 0, ip(10, 0, 0, 0), ip(10, 255, 255, 255), 0},
        {"128.0.0.0/1", TCP, 0, ip(128, 0, 0, 0), 0xFFFFFFFF, 0},
        {"0.0.0.0/abc", TCP, 0, 0, 0xFFFFFFFF, 0},  // no number reads as 0
        {"256.0.0.0/8", TCP, 0, 0, ip(0, 255, 255, 255), 0},  // subnet fields count modulo 256
        {"192.168.1.112-192.168.1.200", ORACLE, 0, ip(192, 168, 1, 112), ip(192, 168, 1, 200), 1521},
        {"192.168.1.112--192.168.1.200", ORACLE, 0, ip(192, 168, 1, 112), ip(192, 168, 1, 200), 1521},
        {"192.168.1.112-192.168.1.200:80", TCP, 0, ip(192, 168, 1, 112), ip(192, 168, 1, 200), 80},
        {"192.168.1.200-192.168.1.112", TCP, 0, ip(192, 168, 1, 200), ip(192, 168, 1, 112), 0},
        {"1.2.3.4:65535", TCP, 0, ip(1, 2, 3, 4), ip(1, 2, 3, 4), 65535},
        {"1.2.3.4.5", TCP, 0, ip(1, 2, 3, 4), ip(1, 2, 3, 4), 0},  // text after the fourth number is ignored
        // Refused.
        {"192.168.1.5/24", TCP, -1, 0, 0, 0},
        {"1.2.3.0/abc", TCP, -1, 0, 0, 0},
        {"1.2.3.4:0", TCP, -1, 0, 0, 0},
        {"1.2.3.4:65536", TCP, -1, 0, 0, 0},
        {"1.2.3.4:99999999999", TCP, -1, 0, 0, 0},
        {"1.2.3.4:80a", TCP, -1, 0, 0, 0},
        {"1.2.3.4:", TCP, -1, 0, 0, 0},
        {"1.2.3.4:-80", TCP, -1, 0, 0, 0},
        {"256.1.1.1", TCP, -1, 0, 0, 0},
        {"1.2.3.4294967297", TCP, -1, 0, 0, 0},
        {"1.2.3", TCP, -1, 0, 0, 0},
        {"1.2.3/8", TCP, -1, 0, 0, 0},
        {"1.+2.3.4", TCP, -1, 0, 0, 0},
        {"1.2.3.4-", TCP, -1, 0, 0, 0},
        {"1.2.3.4-1.2.3.256", TCP, -1, 0, 0, 0},
        {"", TCP, -1, 0, 0, 0},
        {"host.example", TCP, -1, 0, 0, 0},
        {"1.2.3.4", 7, -1, 0, 0, 0},
        {"1.2.3.4", -1, -1, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        HostInfoT h;
        ASSERT_EQ(makeHostInfo(&h, c.text, c.protoIdx, "12345678"), c.result);
        if (c.result != 0) continue;
        EXPECT_EQ(h.addressLow, c.low);
        EXPECT_EQ(h.addressHigh, c.high);
        EXPECT_EQ(h.port, c.port);
        EXPECT_STREQ(h.addrStr, c.text);  // kept as entered
        EXPECT_STREQ(h.protoStr, protoStrList[c.protoIdx]);
        EXPECT_EQ(h.appType, protoAppType[c.protoIdx]);
        EXPECT_EQ(h.netType, protoNetType[c.protoIdx]);
        EXPECT_STREQ(h.busiId, "12345678");
    }
}

TEST(EndpointText, NumberHelpersAndOverlongText)
{
    struct Case {
        const char* text;
        int check;
        int port;
    };
    const Case ports[] = {{"80", 0, 80}, {"", -1, 0}, {"0", -1, 0}, {"65535", 0, 65535}, {"65536", -1, -1},
                          {"+80", -1, -1}, {" 80", -1, -1}, {"8o", -1, -1}};
    for (const Case& c : ports) {
        EXPECT_EQ(checkPortStr(c.text), c.check) << c.text;
        EXPECT_EQ(getPortFromStr(c.text), c.port) << c.text;
    }

    char subnet[] = "10.0.0.0/-8";
    u32 low = 1, high = 1;
    EXPECT_EQ(getSubnet(subnet, &low, &high), -1);  // a negative length is not "no bits"
    EXPECT_STREQ(subnet, "10.0.0.0");

    // Longer than the field: the parse stops at 31 characters and reads nothing beyond.
    HostInfoT h{};
    std::memset(h.addrStr, '1', sizeof h.addrStr);
    std::memcpy(h.addrStr, "10.0.0.1:", 9);  // ":" then 23 digits, no terminator
    h.port = 7;
    EXPECT_EQ(getHostInfo(&h), -1);
    EXPECT_EQ(h.port, 7);

    char longAddr[64];
    std::snprintf(longAddr, sizeof longAddr, "10.0.0.1-10.0.0.2 %s", std::string(40, 'x').c_str());
    ASSERT_EQ(makeHostInfo(&h, longAddr, TCP, longAddr), 0);
    EXPECT_EQ(std::strlen(h.addrStr), 31u);
    EXPECT_EQ(std::strlen(h.busiId), 31u);
    EXPECT_EQ(h.addressHigh, ip(10, 0, 0, 2));
}

TEST_F(EndpointTable, SortedInsertionAndResults)
{
    EXPECT_EQ(add("10.1.1.1:80", TCP), 0);
    EXPECT_EQ(add("10.0.0.0/8", TCP), 0);
    EXPECT_EQ(add("192.168.1.0/24", HTTP), 0);
    EXPECT_EQ(add("10.0.0.0/8", TCP), 1);  // identical, busiId included
    EXPECT_EQ(add("10.0.0.0/8", TCP, "00000002"), 0);
    EXPECT_EQ(add("10.0.0.0/8", UDP), 0);
    EXPECT_EQ(add("1.1.1.1", TCP), 0);
    EXPECT_EQ(add("10.0.0.0/8", TCP, "00000002"), 1);  // met after another equal start

    const char* order[][2] = {{"1.1.1.1", "00000001"},    {"10.0.0.0/8", "00000001"},
                              {"10.0.0.0/8", "00000002"}, {"10.0.0.0/8", "00000001"},
                              {"10.1.1.1:80", "00000001"}, {"192.168.1.0/24", "00000001"}};
    ASSERT_EQ(readOnlyGlobal.cntHost, 6);
    for (int i = 0; i < 6; ++i) {
        HostInfoT h;
        ASSERT_EQ(getHostEntry(i, &h), 0);
        EXPECT_STREQ(h.addrStr, order[i][0]) << i;
        EXPECT_STREQ(h.busiId, order[i][1]) << i;
    }
    HostInfoT h;
    EXPECT_EQ(getHostEntry(6, &h), -1);
    EXPECT_EQ(getHostEntry(-1, &h), -1);
    EXPECT_EQ(readOnlyGlobal.hostInfo[3].netType, 17);

    deleteHostInfo(6);  // out of range: ignored
    deleteHostInfo(-1);
    ASSERT_EQ(readOnlyGlobal.cntHost, 6);
    deleteHostInfo(1);
    ASSERT_EQ(readOnlyGlobal.cntHost, 5);
    ASSERT_EQ(getHostEntry(1, &h), 0);
    EXPECT_STREQ(h.busiId, "00000002");
    ASSERT_EQ(getHostEntry(4, &h), 0);
    EXPECT_STREQ(h.addrStr, "192.168.1.0/24");
}

TEST_F(EndpointTable, FullTableRefusesWithTwo)
{
    char text[32];
    for (int i = 0; i < MAX_HOST; ++i) {
        std::snprintf(text, sizeof text, "10.0.%d.%d", i % 7, i);  // not added in order
        ASSERT_EQ(add(text, TCP), 0) << text;
    }
    EXPECT_EQ(add("10.9.9.9", TCP), 2);
    EXPECT_EQ(add("10.0.0.0", TCP), 2);  // fullness is checked before identity
    EXPECT_EQ(readOnlyGlobal.cntHost, MAX_HOST);
    HostInfoT last;
    ASSERT_EQ(getHostEntry(MAX_HOST - 1, &last), 0);
    EXPECT_STREQ(last.addrStr, "10.0.6.62");
    deleteHostInfo(0);
    EXPECT_EQ(add("10.9.9.9", TCP), 0);
}

TEST_F(EndpointTable, FindServerRules)
{
    add("10.1.1.1:80", TCP);
    add("10.0.0.0/8", TCP);
    add("20.0.0.1:80", TCP);
    add("20.0.0.2:80", HTTP);
    add("30.0.0.0/24", UDP);
    add("40.0.0.0/24", ANY);
    add("50.0.0.1:53", ANY);
    add("60.0.0.9-60.0.0.1", TCP);
    ASSERT_EQ(readOnlyGlobal.cntHost, 8);

    struct Case {
        u32 address;
        int port;
        int proto;
        const char* expected;  // addrStr of the entry found, nullptr for none
    };
    const Case cases[] = {
        {ip(10, 1, 1, 1), 80, 6, "10.0.0.0/8"},  // the lower start wins
        {ip(10, 1, 1, 1), 80, 17, nullptr},
        {ip(10, 255, 255, 255), 1, 6, "10.0.0.0/8"},
        {ip(11, 0, 0, 0), 80, 6, nullptr},
        {ip(20, 0, 0, 1), 80, 6, "20.0.0.1:80"},
        {ip(20, 0, 0, 1), 443, 6, nullptr},          // TCP keeps to its port
        {ip(20, 0, 0, 2), 443, 6, "20.0.0.2:80"},    // an application type does not
        {ip(20, 0, 0, 2), 80, 17, nullptr},          // HTTP is TCP only
        {ip(30, 0, 0, 7), 1, 17, "30.0.0.0/24"},
        {ip(30, 0, 0, 7), 1, 6, nullptr},
        {ip(40, 0, 0, 7), 1, 6, "40.0.0.0/24"},
        {ip(40, 0, 0, 7), 1, 17, "40.0.0.0/24"},
        {ip(50, 0, 0, 1), 53, 17, "50.0.0.1:53"},
        {ip(50, 0, 0, 1), 54, 17, nullptr},
        {ip(60, 0, 0, 5), 1, 6, nullptr},  // a reversed range matches nothing
        {0xFFFFFFFF, 1, 6, nullptr},
    };
    for (const Case& c : cases) {
        int idx = findServer(c.address, c.port, c.proto);
        SCOPED_TRACE(testing::Message() << std::hex << c.address << std::dec << ":" << c.port << "/" << c.proto);
        if (!c.expected) {
            EXPECT_EQ(idx, -1);
            continue;
        }
        HostInfoT h;
        ASSERT_GE(idx, 0);
        ASSERT_EQ(getHostEntry(idx, &h), 0);
        EXPECT_STREQ(h.addrStr, c.expected);
    }

    clearTable();
    EXPECT_EQ(findServer(ip(10, 1, 1, 1), 80, 6), -1);
    add("0.0.0.0/0", TCP);
    EXPECT_EQ(findServer(0, 1, 6), 0);
    EXPECT_EQ(findServer(0xFFFFFFFF, 1, 6), 0);
}

// Every entry the writer adds is derived from one number k (its busiId), so
// a reader can tell a whole entry from one mixed out of two.
TEST_F(EndpointTable, ReadersNeverSeeHalfWrittenEntries)
{
    constexpr int kinds = 2000;
    static HostInfoT numbered[kinds];
    for (int k = 0; k < kinds; ++k) {
        char text[32], id[32];
        std::snprintf(text, sizeof text, "10.%d.%d.0/24", k >> 8, k & 0xFF);
        std::snprintf(id, sizeof id, "%08d", k);
        ASSERT_EQ(makeHostInfo(&numbered[k], text, k % NUM_PROTO, id), 0);
    }
    auto isWhole = [](const HostInfoT& h) {
        int k = std::atoi(h.busiId);
        return k >= 0 && k < kinds && std::memcmp(&h, &numbered[k], sizeof h) == 0;
    };

    std::atomic<bool> done{false};
    std::atomic<long> reads{0}, torn{0};
    std::thread reader([&] {
        std::mt19937 rng(2);
        HostInfoT h;
        while (!done.load(std::memory_order_relaxed)) {
            int k = int(rng() % kinds);
            int idx = findServer(numbered[k].addressLow | 9, 1521, 6);
            if (idx < -1 || idx >= MAX_HOST) torn.fetch_add(1);
            if (idx >= 0 && getHostEntry(idx, &h) == 0 && !isWhole(h)) torn.fetch_add(1);
            for (int i = 0; i < MAX_HOST && getHostEntry(i, &h) == 0; ++i) {
                if (!isWhole(h)) torn.fetch_add(1);
                reads.fetch_add(1, std::memory_order_relaxed);
            }
        }
    });
    std::thread writer([&] {
        // Deleting the first entry moves every other one: the longest change.
        std::mt19937 rng(1);
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (std::chrono::steady_clock::now() < end) {
            for (int n = 0; n < 100; ++n) {
                addNewHostInfo(&numbered[rng() % kinds]);
                if (readOnlyGlobal.cntHost >= 48) deleteHostInfo(0);
            }
        }
        done = true;
    });
    writer.join();
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

}  // namespace
