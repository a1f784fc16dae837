// Endpoint text parsing, the sorted endpoint table and its lock-free readers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <tuple>

#include "core/util.h"
#include "support/tables.h"

namespace {

constexpr u32 ip(u32 a, u32 b, u32 c, u32 d) { return (a << 24) | (b << 16) | (c << 8) | d; }
enum { ANY = 0, TCP = 1, UDP = 2, HTTP = 3, ORACLE = 4, MYSQL = 5 };

TEST(EndpointText, FormsAndRefusals)
{
    struct Case { const char* text; int protoIdx; u32 low, high; int port; };
    const Case cases[] = {
        {"192.168.1.12", HTTP, ip(192, 168, 1, 12), ip(192, 168, 1, 12), 80},  // the application's port
        {"192.168.1.12:65535", HTTP, ip(192, 168, 1, 12), ip(192, 168, 1, 12), 65535},
        {"192.168.1.0/24", MYSQL, ip(192, 168, 1, 0), ip(192, 168, 1, 255), 3306},
        {"192.168.1.0/24:80", ANY, ip(192, 168, 1, 0), ip(192, 168, 1, 255), 80},
        {"0.0.0.0/0", TCP, 0, 0xFFFFFFFF, 0},
        {"192.168.1.112-192.168.1.200", ORACLE, ip(192, 168, 1, 112), ip(192, 168, 1, 200), 1521},
        {"192.168.1.112--192.168.1.200", ORACLE, ip(192, 168, 1, 112), ip(192, 168, 1, 200), 1521},
        {"192.168.1.200-192.168.1.112", TCP, ip(192, 168, 1, 200), ip(192, 168, 1, 112), 0},  // kept reversed
    };
    HostInfoT h;
    for (const Case& c : cases) {
        ASSERT_EQ(makeHostInfo(&h, c.text, c.protoIdx, "12345678"), 0) << c.text;
        EXPECT_EQ(std::tuple(h.addressLow, h.addressHigh, h.port), std::tuple(c.low, c.high, c.port)) << c.text;
    }
    for (const char* text : {"192.168.1.5/24", "1.2.3.0/abc", "10.0.0.0/-8", "1.2.3.4:0", "1.2.3.4:65536",
                             "1.2.3.4:99999999999", "1.2.3.4:80a", "1.2.3.4:", "256.1.1.1", "1.2.3.4294967297",
                             "1.2.3", "1.2.3/8", "1.+2.3.4", "1.2.3.4-", ""})
        EXPECT_EQ(makeHostInfo(&h, text, TCP, "1"), -1) << text;
    EXPECT_EQ(makeHostInfo(&h, "1.2.3.4", NUM_PROTO, "1"), -1);
    // Fields are cut to 31 characters (an identifier from the file may be longer).
    std::string longText = "10.0.0.1-10.0.0.2 " + std::string(40, 'x');
    ASSERT_EQ(makeHostInfo(&h, longText.c_str(), TCP, longText.c_str()), 0);
    EXPECT_EQ(std::pair(std::strlen(h.addrStr), std::strlen(h.busiId)), std::pair(31ul, 31ul));
}

int add(const char* text, int protoIdx, const char* busiId = "1")
{
    HostInfoT h;
    EXPECT_EQ(makeHostInfo(&h, text, protoIdx, busiId), 0) << text;
    return addNewHostInfo(&h);
}
std::string entry(int index)
{
    HostInfoT h;
    return getHostEntry(index, &h) != 0 ? "none" : std::string(h.addrStr) + " " + h.protoStr + " " + h.busiId;
}

// Sorted by first address, later additions after equal starts; the first match wins.
TEST(EndpointTable, SortedTableAndLookup)
{
    testtables::clearEndpoints();
    EXPECT_EQ(findServer(ip(10, 1, 1, 1), 80, 6), -1);
    // 0 added, 1 already there (also when met after another entry with the same start).
    const std::tuple<const char*, int, const char*, int> adds[] = {
        {"10.1.1.1:80", TCP, "1", 0},  {"10.0.0.0/8", TCP, "1", 0},  {"192.168.1.0/24", HTTP, "1", 0},
        {"10.0.0.0/8", TCP, "1", 1},   {"10.0.0.0/8", TCP, "2", 0},  {"10.0.0.0/8", UDP, "1", 0},
        {"1.1.1.1", TCP, "1", 0},      {"10.0.0.0/8", TCP, "2", 1},  {"20.0.0.1:80", TCP, "1", 0},
        {"30.0.0.0/24", UDP, "1", 0},  {"40.0.0.0/24", ANY, "1", 0}, {"50.0.0.1:53", ANY, "1", 0},
        {"60.0.0.9-60.0.0.1", TCP, "1", 0}};
    for (auto [text, proto, id, rc] : adds) EXPECT_EQ(add(text, proto, id), rc) << text << " " << id;
    std::string table;
    for (int i = 0; i < readOnlyGlobal.cntHost; ++i) table += entry(i) + "; ";
    EXPECT_EQ(table, "1.1.1.1 TCP 1; 10.0.0.0/8 TCP 1; 10.0.0.0/8 TCP 2; 10.0.0.0/8 UDP 1; 10.1.1.1:80 TCP 1; "
                     "20.0.0.1:80 TCP 1; 30.0.0.0/24 UDP 1; 40.0.0.0/24 TCP & UDP 1; 50.0.0.1:53 TCP & UDP 1; "
                     "60.0.0.9-60.0.0.1 TCP 1; 192.168.1.0/24 HTTP 1; ");
    struct Case { u32 address; int port, proto; const char* found; };
    const Case cases[] = {
        {ip(10, 1, 1, 1), 80, 6, "10.0.0.0/8 TCP 1"},    {ip(10, 1, 1, 1), 80, 17, "10.0.0.0/8 UDP 1"},
        {ip(10, 255, 255, 255), 1, 6, "10.0.0.0/8 TCP 1"}, {ip(20, 0, 0, 1), 80, 6, "20.0.0.1:80 TCP 1"},
        {ip(20, 0, 0, 1), 443, 6, "none"},  // TCP keeps its port
        {ip(192, 168, 1, 9), 443, 6, "192.168.1.0/24 HTTP 1"},  // an application type does not
        {ip(192, 168, 1, 9), 80, 17, "none"},  {ip(30, 0, 0, 7), 1, 6, "none"},
        {ip(40, 0, 0, 7), 1, 6, "40.0.0.0/24 TCP & UDP 1"}, {ip(40, 0, 0, 7), 1, 17, "40.0.0.0/24 TCP & UDP 1"},
        {ip(50, 0, 0, 1), 54, 17, "none"},     {ip(60, 0, 0, 5), 1, 6, "none"},  // a reversed range matches nothing
        {0xFFFFFFFF, 1, 6, "none"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(entry(findServer(c.address, c.port, c.proto)), c.found) << std::hex << c.address << std::dec
                                                                           << ":" << c.port << "/" << c.proto;
    EXPECT_EQ(entry(11) + entry(-1), "nonenone");
    for (int index : {11, -1, 1}) deleteHostInfo(index);
    ASSERT_EQ(readOnlyGlobal.cntHost, 10);
    EXPECT_EQ(entry(1) + "; " + entry(9), "10.0.0.0/8 TCP 2; 192.168.1.0/24 HTTP 1");
    EXPECT_EQ(entry(findServer(ip(10, 1, 1, 1), 80, 6)), "10.0.0.0/8 TCP 2");

    // The table holds 64; fullness is checked before identity.
    for (int i = 0; readOnlyGlobal.cntHost < MAX_HOST; ++i)
        ASSERT_EQ(add(("2.0.0." + std::to_string(i)).c_str(), TCP), 0);
    EXPECT_EQ(add("10.9.9.9", TCP), 2);
    EXPECT_EQ(add("1.1.1.1", TCP), 2);  // already there, but full first
    deleteHostInfo(0);
    EXPECT_EQ(add("10.9.9.9", TCP), 0);
    testtables::clearEndpoints();
}

// Entries derive from k (busiId), so a torn one shows; deleting entry 0 moves all others.
TEST(EndpointTable, ReadersNeverSeeHalfWrittenEntries)
{
    testtables::clearEndpoints();
    constexpr int kinds = 2000;
    static HostInfoT numbered[kinds];
    for (int k = 0; k < kinds; ++k) {
        std::string text = "10." + std::to_string(k >> 8) + "." + std::to_string(k & 0xFF) + ".0/24";
        ASSERT_EQ(makeHostInfo(&numbered[k], text.c_str(), k % NUM_PROTO, std::to_string(k).c_str()), 0);
    }
    std::atomic<bool> done {false};
    std::thread writer([&] {
        std::mt19937 rng(1);
        for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200); !done;) {
            addNewHostInfo(&numbered[rng() % kinds]);
            if (readOnlyGlobal.cntHost >= 48) deleteHostInfo(0);
            done = std::chrono::steady_clock::now() >= end;
        }
    });
    auto torn = [](const HostInfoT& h) {
        int k = std::atoi(h.busiId);
        return k < 0 || k >= kinds || std::memcmp(&h, &numbered[k], sizeof h) != 0;
    };
    long reads = 0, torns = 0;
    for (HostInfoT h; !done;) {
        int idx = findServer(numbered[reads % kinds].addressLow | 9, 1521, 6);
        torns += idx < -1 || idx >= MAX_HOST || (idx >= 0 && getHostEntry(idx, &h) == 0 && torn(h));
        for (int i = 0; i < MAX_HOST && getHostEntry(i, &h) == 0; ++i, ++reads) torns += torn(h);
    }
    writer.join();
    testtables::clearEndpoints();
    EXPECT_EQ(torns, 0);
    EXPECT_GT(reads, 0);
}

}  // namespace
