// Log lines, time and string helpers, name resolution and the peer list.
#include "core/util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cctype>
#include <cstring>
#include <string>

namespace {

// Captures the log lines written while it lives.
class LogCapture {
public:
    LogCapture() : fp_(std::tmpfile()) { setLogConsole(fp_); }
    ~LogCapture()
    {
        setLogConsole(nullptr);
        std::fclose(fp_);
    }
    std::string text()
    {
        std::string s;
        std::rewind(fp_);
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, fp_)) > 0) s.append(buf, n);
        return s;
    }

private:
    FILE* fp_;
};

// "2026-03-05 09:04:07"
bool isStamp(const std::string& s)
{
    const char* shape = "dddd-dd-dd dd:dd:dd";
    if (s.size() != std::strlen(shape)) return false;
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
        std::string expected;  // after the time stamp
    };
    const Case cases[] = {
        {1, "started", " MESSAGE: started\n"},
        {2, "open conf file failed", " WARNING: open conf file failed\n"},
        {3, "code 7", " ERROR: code 7\n"},
        {4, "x", "x\n"},
        {0, "x", "x\n"},
        {1, "ends in newline\n", " MESSAGE: ends in newline\n\n"},
    };
    for (const Case& c : cases) {
        LogCapture cap;
        writeLog(c.level, "%s", c.message);
        std::string line = cap.text();
        SCOPED_TRACE(line);
        EXPECT_TRUE(isStamp(line.substr(0, 19)));
        EXPECT_EQ(line.substr(19), c.expected);
    }
}

TEST(WriteLog, SameBytesToLogFileAndLongMessageCut)
{
    FILE* file = std::tmpfile();
    readOnlyGlobal.logfp = file;
    std::string console;
    {
        LogCapture cap;
        std::string big(10000, 'a');
        writeLog(3, "%s", big.c_str());
        console = cap.text();
    }
    readOnlyGlobal.logfp = nullptr;

    ASSERT_LT(console.size(), std::size_t(LOG_LINE_SIZE));
    EXPECT_GT(console.size(), std::size_t(LOG_LINE_SIZE - 8));
    EXPECT_EQ(console.back(), '\n');
    EXPECT_EQ(console.find('\n'), console.size() - 1);

    std::string logged(console.size() + 1, '\0');
    std::rewind(file);
    logged.resize(std::fread(logged.data(), 1, logged.size(), file));
    std::fclose(file);
    EXPECT_EQ(logged, console);
}

TEST(Time, Formats)
{
    char out[32];
    EXPECT_STREQ(format_tv(timeval{12, 5999}, out, sizeof out), "12.005");
    EXPECT_STREQ(format_tv(timeval{12, 999}, out, sizeof out), "12.000");
    EXPECT_STREQ(format_tv(timeval{1700000000, 999999}, out, sizeof out), "1700000000.999");

    EXPECT_EQ(getGlobalTime(1700000007), 1700000000);
    EXPECT_EQ(getGlobalTime(1700000010), 1700000010);
    EXPECT_EQ(getGlobalTime(1700000019), 1700000010);

    // Local time, whatever the zone: compare with the library's own reading.
    time_t tt = 1772701447;
    tm t{};
    localtime_r(&tt, &t);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &t);
    EXPECT_STREQ(getStrTime(tt, out), expected);

    getDateTime(out);
    EXPECT_TRUE(isStamp(out)) << out;
}

TEST(Strings, TrimAndPredicates)
{
    struct Case {
        const char* in;
        const char* trimmed;
        int empty;
        int number;
    };
    const Case cases[] = {
        {"  a b  ", "a b", 0, 0},
        {"   ", "", 1, 1},
        {"", "", 1, 1},
        {"\tx\t", "\tx\t", 0, 0},
        {" 12.5 ", "12.5", 0, 1},
        {"1e5", "1e5", 0, 0},
        {"8080", "8080", 0, 1},
        {" -1", "-1", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        char a[32], b[32], d[32];
        std::strcpy(a, c.in);
        std::strcpy(b, c.in);
        std::strcpy(d, c.in);
        trim(a);
        EXPECT_STREQ(a, c.trimmed);
        EXPECT_EQ(isEmptyString(b), c.empty);
        EXPECT_STREQ(b, c.trimmed);
        EXPECT_EQ(isNumber(d), c.number);
        EXPECT_STREQ(d, c.trimmed);
    }
}

TEST(Strings, TrimLongerThanWorkingBuffer)
{
    std::string s = "   " + std::string(9000, 'z') + "  ";
    trim(s.data());
    EXPECT_EQ(std::strlen(s.c_str()), 9000u);
    EXPECT_EQ(s[0], 'z');
}

TEST(Strings, SmallHelpers)
{
    char s[] = "MiXeD 123 ÄZ";
    toLowerCase(s);
    EXPECT_STREQ(s, "mixed 123 Äz");

    char id[9];
    getRandStrId(id);
    EXPECT_EQ(std::strlen(id), 8u);
    EXPECT_EQ(std::strspn(id, "0123456789"), 8u);

    char out[8];
    getJsonValue(R"("did": "12345"})", out, sizeof out);
    EXPECT_STREQ(out, "12345");
    getJsonValue(R"("did":77})", out, sizeof out);
    EXPECT_STREQ(out, "77");
    getJsonValue(R"("k": "0123456789abc")", out, sizeof out);
    EXPECT_STREQ(out, "0123456");
    getJsonValue("no colon", out, sizeof out);
    EXPECT_STREQ(out, "");

    char path[8];
    EXPECT_STREQ(processWinPath(R"(a\b)", path, sizeof path), R"(a\\b)");
    EXPECT_STREQ(processWinPath(R"(abcdef\g)", path, sizeof path), "abcdef");  // a pair is never split
}

TEST(Strings, DomainFromUrl)
{
    struct Case {
        const char* url;
        const char* domain;
    };
    const Case cases[] = {
        {"https://center.example:8443/reg/x", "center.example:8443"},
        {"http://center.example/reg", "center.example"},
        {"center.example:80/reg", "center.example:80"},
        {"center.example", "center.example"},
        {"https://a.example/?next=http://b.example/", "a.example"},
    };
    for (const Case& c : cases) {
        char url[64];
        char out[32];
        std::strcpy(url, c.url);
        getDomainFromUrl(url, out, sizeof out);
        EXPECT_STREQ(out, c.domain) << c.url;
    }
    char url[] = "http://a-rather-long-host-name.example/";
    char small[8];
    getDomainFromUrl(url, small, sizeof small);
    EXPECT_STREQ(small, "a-rathe");
}

TEST(Ipv4Text, FromUint)
{
    char out[22];
    EXPECT_STREQ(getIPPortStrFromUint(0xC0A8010C, out, 80), "192.168.1.12:80");
    EXPECT_STREQ(getIPPortStrFromUint(0xFFFFFFFF, out, 65535), "255.255.255.255:65535");
    getIPStrFromUint(0x0A000001, out);
    EXPECT_STREQ(out, "10.0.0.1");
}

class DomainAddr : public ::testing::Test {
protected:
    void SetUp() override { readOnlyGlobal.managerAddrCnt = 0; }
    void TearDown() override { readOnlyGlobal.managerAddrCnt = 0; }
};

TEST_F(DomainAddr, RemembersEachAddressOnce)
{
    sockaddr_in addr{};
    ASSERT_EQ(getDomainAddr("127.0.0.1", 9015, &addr), 0);
    EXPECT_EQ(addr.sin_family, AF_INET);
    EXPECT_EQ(ntohl(addr.sin_addr.s_addr), 0x7F000001u);
    EXPECT_EQ(ntohs(addr.sin_port), 9015);
    ASSERT_EQ(getDomainAddr("127.0.0.1", 80, &addr), 0);
    ASSERT_EQ(getDomainAddr("localhost", 80, &addr), 0);
    EXPECT_EQ(u32(readOnlyGlobal.managerAddrCnt), 1u);
    EXPECT_EQ(isManagerAddr(0x7F000001), 1);
    EXPECT_EQ(isManagerAddr(0x7F000002), 0);
}

TEST_F(DomainAddr, FailuresLeaveAddressAndListAlone)
{
    LogCapture cap;
    sockaddr_in addr;
    std::memset(&addr, 0xAB, sizeof addr);
    EXPECT_EQ(getDomainAddr("255.255.255.255", 80, &addr), -1);  // the conversion's failure value
    EXPECT_EQ(getDomainAddr("", 80, &addr), -1);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&addr)[0], 0xAB);
    EXPECT_EQ(u32(readOnlyGlobal.managerAddrCnt), 0u);
    std::string log = cap.text();
    EXPECT_NE(log.find(" ERROR: inet_addr failed\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" ERROR: Get domain  failed with "), std::string::npos) << log;
}

TEST_F(DomainAddr, ListStopsAtItsLimit)
{
    LogCapture cap;
    char name[32];
    sockaddr_in addr{};
    for (int i = 1; i <= MAX_MANAGER_ADDR + 6; ++i) {
        std::snprintf(name, sizeof name, "127.0.0.%d", i);
        ASSERT_EQ(getDomainAddr(name, 80, &addr), 0) << name;
        EXPECT_EQ(ntohl(addr.sin_addr.s_addr), 0x7F000000u + u32(i));
    }
    EXPECT_EQ(u32(readOnlyGlobal.managerAddrCnt), u32(MAX_MANAGER_ADDR));
    EXPECT_EQ(isManagerAddr(0x7F000000u + MAX_MANAGER_ADDR), 1);
    EXPECT_EQ(isManagerAddr(0x7F000000u + MAX_MANAGER_ADDR + 1), 0);

    // Known addresses are still recognised once the list is full.
    ASSERT_EQ(getDomainAddr("127.0.0.1", 80, &addr), 0);
    std::string log = cap.text();
    std::size_t first = log.find(" WARNING: ");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(" WARNING: ", first + 1), std::string::npos) << "warned more than once";
}

}  // namespace
