// Log lines, time and string helpers, name resolution and the peer list.
#include "core/util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cctype>
#include <cstring>
#include <string>

namespace {

// Sends the console copy of log lines to a temporary file while it lives.
struct LogCapture {
    FILE* fp = std::tmpfile();
    LogCapture() { setLogConsole(fp); }
    ~LogCapture()
    {
        setLogConsole(nullptr);
        std::fclose(fp);
    }
    std::string text() const
    {
        std::string s(8192, '\0');
        std::rewind(fp);
        s.resize(std::fread(s.data(), 1, s.size(), fp));
        return s;
    }
};

// "2026-03-05 09:04:07"
bool isStamp(const std::string& s)
{
    const std::string shape = "dddd-dd-dd dd:dd:dd";
    if (s.size() != shape.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(s[i])) : s[i] != shape[i]) return false;
    }
    return true;
}

TEST(WriteLog, LineFormat)
{
    struct Case {
        int level;
        const char* message;
        const char* tail;  // after the time stamp
    };
    const Case cases[] = {
        {1, "started", " MESSAGE: started\n"},
        {2, "open conf file failed", " WARNING: open conf file failed\n"},
        {3, "code 7", " ERROR: code 7\n"},
        {4, "x", "x\n"},
        {1, "ends in newline\n", " MESSAGE: ends in newline\n\n"},
    };
    for (const Case& c : cases) {
        LogCapture cap;
        writeLog(c.level, "%s", c.message);
        std::string line = cap.text();
        ASSERT_GT(line.size(), 19u);
        EXPECT_TRUE(isStamp(line.substr(0, 19))) << line;
        EXPECT_EQ(line.substr(19), c.tail);
    }
}

TEST(WriteLog, LongMessageIsCutAndCopiedToTheFile)
{
    readOnlyGlobal.logfp = std::tmpfile();
    std::string console, logged(LOG_LINE_SIZE + 1, '\0');
    {
        LogCapture cap;
        writeLog(3, "%s", std::string(10000, 'a').c_str());
        console = cap.text();
    }
    std::rewind(readOnlyGlobal.logfp);
    logged.resize(std::fread(logged.data(), 1, logged.size(), readOnlyGlobal.logfp));
    std::fclose(readOnlyGlobal.logfp);
    readOnlyGlobal.logfp = nullptr;

    EXPECT_LT(console.size(), std::size_t(LOG_LINE_SIZE));
    EXPECT_GT(console.size(), std::size_t(LOG_LINE_SIZE - 8));
    EXPECT_EQ(console.find('\n'), console.size() - 1);
    EXPECT_EQ(logged, console);
}

TEST(UtilText, TimeAndAddresses)
{
    char out[32];
    EXPECT_STREQ(format_tv(timeval{12, 5999}, out, sizeof out), "12.005");
    EXPECT_STREQ(format_tv(timeval{12, 999}, out, sizeof out), "12.000");
    EXPECT_EQ(getGlobalTime(1700000007), 1700000000);
    EXPECT_EQ(getGlobalTime(1700000010), 1700000010);

    time_t tt = 1772701447;
    tm t{};
    localtime_r(&tt, &t);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &t);
    EXPECT_STREQ(getStrTime(tt, out), expected);

    EXPECT_STREQ(getIPPortStrFromUint(0xC0A8010C, out, 80), "192.168.1.12:80");
    EXPECT_STREQ(getIPPortStrFromUint(0xFFFFFFFF, out, 65535), "255.255.255.255:65535");

    getRandStrId(out);
    EXPECT_EQ(std::strspn(out, "0123456789"), 8u);
    EXPECT_EQ(out[8], '\0');
}

TEST(UtilText, TrimAndPredicates)
{
    struct Case {
        const char* in;
        const char* trimmed;
        int empty, number;
    };
    const Case cases[] = {
        {"  a b  ", "a b", 0, 0}, {"   ", "", 1, 1},    {"", "", 1, 1},       {"\tx\t", "\tx\t", 0, 0},
        {" 12.5 ", "12.5", 0, 1}, {"1e5", "1e5", 0, 0}, {" -1", "-1", 0, 0},
    };
    for (const Case& c : cases) {
        char a[16], b[16], d[16];
        std::strcpy(a, c.in);
        std::strcpy(b, c.in);
        std::strcpy(d, c.in);
        trim(a);
        EXPECT_STREQ(a, c.trimmed);
        EXPECT_EQ(isEmptyString(b), c.empty) << c.in;
        EXPECT_EQ(isNumber(d), c.number) << c.in;
        EXPECT_STREQ(d, c.trimmed);  // trimmed whatever the answer
    }
    std::string big = "   " + std::string(9000, 'z') + "  ";  // beyond the 8192-byte working size
    trim(big.data());
    EXPECT_EQ(std::strlen(big.c_str()), 9000u);
}

TEST(UtilText, DomainFromUrl)
{
    struct Case {
        const char* url;
        int outSize;
        const char* domain;
    };
    const Case cases[] = {
        {"https://center.example:8443/reg/x", 32, "center.example:8443"},
        {"http://center.example/reg", 32, "center.example"},
        {"center.example:80/reg", 32, "center.example:80"},
        {"https://a.example/?next=http://b.example/", 32, "a.example"},
        {"http://a-rather-long-host-name.example/", 8, "a-rathe"},
    };
    for (const Case& c : cases) {
        char url[64], out[32];
        std::strcpy(url, c.url);
        getDomainFromUrl(url, out, c.outSize);
        EXPECT_STREQ(out, c.domain) << c.url;
    }
}

class DomainAddr : public ::testing::Test {
protected:
    void SetUp() override { readOnlyGlobal.managerAddrCnt = 0; }
    void TearDown() override { readOnlyGlobal.managerAddrCnt = 0; }
    sockaddr_in addr{};
};

TEST_F(DomainAddr, RemembersEachAddressOnce)
{
    LogCapture cap;
    ASSERT_EQ(getDomainAddr("127.0.0.1", 9015, &addr), 0);
    EXPECT_EQ(addr.sin_family, AF_INET);
    EXPECT_EQ(ntohl(addr.sin_addr.s_addr), 0x7F000001u);
    EXPECT_EQ(ntohs(addr.sin_port), 9015);
    ASSERT_EQ(getDomainAddr("127.0.0.1", 80, &addr), 0);
    ASSERT_EQ(getDomainAddr("localhost", 80, &addr), 0);

    EXPECT_EQ(getDomainAddr("255.255.255.255", 9, &addr), -1);  // the conversion's failure value
    EXPECT_EQ(getDomainAddr("", 9, &addr), -1);
    EXPECT_EQ(ntohs(addr.sin_port), 80);
    EXPECT_EQ(u32(readOnlyGlobal.managerAddrCnt), 1u);
    EXPECT_EQ(isManagerAddr(0x7F000001), 1);
    EXPECT_EQ(isManagerAddr(0xFFFFFFFF), 0);
    std::string log = cap.text();
    EXPECT_NE(log.find(" ERROR: inet_addr failed\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" ERROR: Get domain  failed with "), std::string::npos) << log;
}

TEST_F(DomainAddr, ListStopsAtItsLimitButResolvingGoesOn)
{
    LogCapture cap;
    for (u32 i = 1; i <= MAX_MANAGER_ADDR + 6; ++i) {
        std::string name = "127.0.0." + std::to_string(i);
        ASSERT_EQ(getDomainAddr(name.c_str(), 80, &addr), 0) << name;
        EXPECT_EQ(ntohl(addr.sin_addr.s_addr), 0x7F000000u + i);
    }
    EXPECT_EQ(u32(readOnlyGlobal.managerAddrCnt), u32(MAX_MANAGER_ADDR));
    EXPECT_EQ(isManagerAddr(0x7F000000u + MAX_MANAGER_ADDR), 1);
    EXPECT_EQ(isManagerAddr(0x7F000000u + MAX_MANAGER_ADDR + 1), 0);
    std::string log = cap.text();
    std::size_t first = log.find(" WARNING: ");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(" WARNING: ", first + 1), std::string::npos) << "warned more than once";
}

}  // namespace
