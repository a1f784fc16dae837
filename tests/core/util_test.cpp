// Log lines, text helpers, name resolution and the peer list.
#include "core/util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>
#include <string>

namespace {

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

// Time stamp and level on each line; a long one is cut, ends in a newline, goes to the file too.
TEST(WriteLog, LineFormatAndCut)
{
    LogCapture cap;
    readOnlyGlobal.logfp = std::tmpfile();
    for (int level = 1; level <= 4; ++level) writeLog(level, "%s", "m");
    writeLog(3, "%s", std::string(10000, 'a').c_str());
    const std::string console = textOf(cap.fp);
    EXPECT_EQ(textOf(readOnlyGlobal.logfp), console);
    std::fclose(std::exchange(readOnlyGlobal.logfp, nullptr));
    std::istringstream lines(console);
    std::string line, tails;
    for (tm t {}; std::getline(lines, line); tails += line.substr(std::min<std::size_t>(19, line.size()), 12) + "|")
        EXPECT_EQ(strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &t), line.c_str() + 19) << line;
    EXPECT_EQ(tails, " MESSAGE: m| WARNING: m| ERROR: m|m| ERROR: aaaa|");
    const std::size_t lastLine = console.size() - console.rfind('\n', console.size() - 2) - 1;  // with its newline
    EXPECT_TRUE(lastLine < LOG_LINE_SIZE && lastLine > LOG_LINE_SIZE - 8 && console.back() == '\n') << lastLine;
}

// Texts at their buffers' limits; fixed point must match printf byte for byte, ties and signs too.
TEST(UtilText, CutsAndFixedPoint)
{
    char out[32];
    EXPECT_STREQ(format_tv(timeval {12, 5999}, out, sizeof out), "12.005");  // cut, not rounded
    EXPECT_STREQ(getIPPortStrFromUint(0xFFFFFFFF, out, 65535), "255.255.255.255:65535");
    char url[] = "https://a-rather-long-host-name.example:8443/?next=http://b/";
    EXPECT_STREQ((getDomainFromUrl(url, out, 8), out), "a-rathe");

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

// Each peer is remembered once; at the list's limit one warning, and resolving goes on.
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
        ASSERT_EQ(getDomainAddr(("127.0.0." + std::to_string(i)).c_str(), 80, &addr), 0) << i;
        EXPECT_EQ(ntohl(addr.sin_addr.s_addr), 0x7F000000u + i);
    }
    EXPECT_EQ(u32(readOnlyGlobal.managerAddrCnt), u32(MAX_MANAGER_ADDR));
    const u32 last = 0x7F000000u + MAX_MANAGER_ADDR;
    EXPECT_EQ(std::pair(isManagerAddr(last), isManagerAddr(last + 1)), std::pair(1, 0));
    const std::string log = textOf(cap.fp);
    const std::size_t warned = log.find(" WARNING: ");
    EXPECT_TRUE(warned != std::string::npos && warned == log.rfind(" WARNING: ")) << "not warned once: " << log;
    readOnlyGlobal.managerAddrCnt = 0;
}

}  // namespace
