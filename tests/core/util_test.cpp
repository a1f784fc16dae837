// Log lines, time and string helpers, name resolution and the peer list.
#include "core/util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The text of a temporary file.
std::string textOf(FILE* fp)
{
    std::string s(8192, '\0');
    std::rewind(fp);
    s.resize(std::fread(s.data(), 1, s.size(), fp));
    return s;
}

// Sends the console copy of log lines to a temporary file while it lives.
struct LogCapture {
    FILE* fp = std::tmpfile();
    LogCapture() { setLogConsole(fp); }
    ~LogCapture() { setLogConsole(nullptr), std::fclose(fp); }
};

TEST(WriteLog, LineFormatAndCut)
{
    LogCapture cap;
    for (int level = 1; level <= 4; ++level) writeLog(level, "%s", "m");
    std::istringstream lines(textOf(cap.fp));
    std::string line;
    for (const char* tail : {" MESSAGE: m", " WARNING: m", " ERROR: m", "m"}) {
        ASSERT_TRUE(std::getline(lines, line));
        tm t {};
        EXPECT_EQ(strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &t), line.c_str() + 19) << line;  // the time stamp
        EXPECT_EQ(line.substr(std::min<std::size_t>(19, line.size())), tail);
    }

    // A long line is cut, still ends in a newline, and goes to the log file too.
    std::size_t before = textOf(cap.fp).size();
    readOnlyGlobal.logfp = std::tmpfile();
    writeLog(3, "%s", std::string(10000, 'a').c_str());
    const std::string console = textOf(cap.fp).substr(before), logged = textOf(readOnlyGlobal.logfp);
    std::fclose(readOnlyGlobal.logfp);
    readOnlyGlobal.logfp = nullptr;
    EXPECT_LT(console.size(), std::size_t(LOG_LINE_SIZE));
    EXPECT_GT(console.size(), std::size_t(LOG_LINE_SIZE - 8));
    EXPECT_EQ(console.find('\n'), console.size() - 1);
    EXPECT_EQ(logged, console);
}

TEST(UtilText, NumbersAndCuts)
{
    char out[32];
    EXPECT_STREQ(format_tv(timeval {12, 5999}, out, sizeof out), "12.005");  // cut, not rounded
    EXPECT_EQ(getGlobalTime(1700000009), 1700000000);
    EXPECT_STREQ(getIPPortStrFromUint(0xFFFFFFFF, out, 65535), "255.255.255.255:65535");
    for (auto [text, number] : {std::pair {" 12.5 ", 1}, {"   ", 1}, {"1e5", 0}, {" -1", 0}}) {
        std::strcpy(out, text);
        EXPECT_EQ(isNumber(out), number) << text;
    }
    std::string big = "   " + std::string(9000, 'z') + "  ";  // beyond the 8192-byte working size
    trim(big.data());
    EXPECT_EQ(std::strlen(big.c_str()), 9000u);
    char url[] = "https://a-rather-long-host-name.example:8443/?next=http://b/";
    getDomainFromUrl(url, out, 8);
    EXPECT_STREQ(out, "a-rathe");
}

// The fixed-point writer must agree with printf byte for byte, ties and
// signs included, or records would change with the speed-up.
TEST(UtilText, FixedPointAsPrintf)
{
    std::vector<double> values = {0, -0.0, 0.0625, 0.0005, 2.5, 3.5, 0.125, 0.375, -0.0001, 999.9995,
                                  1e15, -2e15, 1.0 / 3, 4294967295.0 / 1000, 200.225f, 1e-300};
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20000; i++) {
        double v = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 60) - 80);
        values.push_back(i % 2 ? v : -v);
        values.push_back(static_cast<double>(rng() % 100000000) / 1000 + 0.0005 * (i % 3));  // ties
    }
    char mine[64], theirs[64];
    for (double v : values) {
        for (int places = 0; places <= 3; places++) {
            formatFixed(mine, v, places);
            std::snprintf(theirs, sizeof theirs, "%.*f", places, v);
            ASSERT_STREQ(mine, theirs) << places << " places of " << v;
        }
    }
}

// Each peer address is remembered once; the list stops at its limit with one
// warning, but resolving goes on.
TEST(DomainAddr, ResolvesAndRemembersPeers)
{
    readOnlyGlobal.managerAddrCnt = 0;
    LogCapture cap;
    sockaddr_in addr {};
    ASSERT_EQ(getDomainAddr("localhost", 9015, &addr), 0);
    EXPECT_EQ(std::pair(ntohl(addr.sin_addr.s_addr), ntohs(addr.sin_port)), std::pair(0x7F000001u, uint16_t(9015)));
    for (const char* bad : {"255.255.255.255", ""}) EXPECT_EQ(getDomainAddr(bad, 9, &addr), -1) << bad;
    EXPECT_EQ(ntohs(addr.sin_port), 9015);
    for (u32 i = 1; i <= MAX_MANAGER_ADDR + 6; ++i) {
        std::string name = "127.0.0." + std::to_string(i);
        ASSERT_EQ(getDomainAddr(name.c_str(), 80, &addr), 0) << name;
        EXPECT_EQ(ntohl(addr.sin_addr.s_addr), 0x7F000000u + i);
    }
    EXPECT_EQ(u32(readOnlyGlobal.managerAddrCnt), u32(MAX_MANAGER_ADDR));
    EXPECT_EQ(isManagerAddr(0x7F000000u + MAX_MANAGER_ADDR), 1);
    EXPECT_EQ(isManagerAddr(0x7F000000u + MAX_MANAGER_ADDR + 1), 0);
    const std::string log = textOf(cap.fp);
    EXPECT_NE(log.find(" WARNING: "), std::string::npos) << log;
    EXPECT_EQ(log.find(" WARNING: "), log.rfind(" WARNING: ")) << "warned more than once";
    readOnlyGlobal.managerAddrCnt = 0;
}

}  // namespace
