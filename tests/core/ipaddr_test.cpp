#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/ipaddr.h"
#include "support/tables.h"

namespace {

// The printer's length is taken at its word: a wrong one shows in the text.
constexpr auto parsed = ipOf;
constexpr auto printed = ipText;

TEST(IpAddr, PrintsEachFamilyInItsCanonicalForm)
{
    struct {
        const char* in;
        const char* out;
    } const cases[] = {
        {"0.0.0.0", "0.0.0.0"},
        {"192.168.1.10", "192.168.1.10"},
        {"255.255.255.255", "255.255.255.255"},
        {"::ffff:10.2.0.1", "10.2.0.1"},  // the mapped form is the IPv4 address
        {"::", "::"},
        {"::1", "::1"},
        {"2001:DB8::10", "2001:db8::10"},                          // lower case
        {"2001:0db8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},  // no leading zeros
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},          // one zero group stays
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},                    // the longest run
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},              // the first of two as long
        {"fe80::", "fe80::"},
        {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"::1.2.3.4", "::102:304"},  // only the mapped form is IPv4
        {"64:ff9b::", "64:ff9b::"},
    };
    for (const auto& c : cases) EXPECT_EQ(printed(parsed(c.in)), c.out) << c.in;

    char out[IP_PORT_TEXT_SIZE];
    formatIpPort(parsed("127.0.0.1"), 8080, out);
    EXPECT_STREQ(out, "127.0.0.1:8080");
    formatIpPort(parsed("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), 65535, out);
    EXPECT_STREQ(out, "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:65535");
}

TEST(IpAddr, RefusesAnythingButAWholeAddress)
{
    for (const char* bad : {"", " 1.2.3.4", "1.2.3.4 ", "1.2.3", "1.2.3.256", "1.2.3.4.5", "[::1]", "::1%lo",
                            "1:2:3:4:5:6:7:8:9", "2001:db8:::1", "g::1", "localhost"}) {
        IpAddrT a;
        EXPECT_EQ(parseIp(bad, &a), -1) << bad;
    }
    IpAddrT a;
    EXPECT_EQ(parseIpN("::1]:80", 3, &a), 0);
    EXPECT_EQ(printed(a), "::1");
}

TEST(IpAddr, OrdersAsNumbersAndFoldsIpv4ToItself)
{
    EXPECT_TRUE(parsed("10.2.0.9") < parsed("10.2.0.10"));
    EXPECT_TRUE(parsed("9.255.255.255") < parsed("10.0.0.0"));
    EXPECT_TRUE(parsed("2001:db8::ff") < parsed("2001:db8::1:0"));
    EXPECT_TRUE(parsed("255.255.255.255") < parsed("2001:db8::"));  // ranges never mix families
    EXPECT_EQ(ipFold(parsed("198.19.0.7")), 0xC6130007u);

    // IPv6 hosts that differ in one group land on many different words.
    std::set<u32> folds;
    for (int i = 0; i < 256; i++) {
        IpAddrT a = parsed("2001:db8::");
        a.b[15] = static_cast<u8>(i);
        folds.insert(ipFold(a) % 1024);
        a.b[15] = 0;
        a.b[7] = static_cast<u8>(i);  // the prefix alone
        folds.insert(ipFold(a) % 1024);
    }
    EXPECT_GT(folds.size(), 350u);
}

TEST(IpAddr, PrefixRanges)
{
    struct {
        const char* addr;
        int bits;
        const char* low;
        const char* high;
    } const cases[] = {
        {"192.168.1.77", 24, "192.168.1.0", "192.168.1.255"},
        {"10.1.2.3", 0, "0.0.0.0", "255.255.255.255"},
        {"10.1.2.3", 32, "10.1.2.3", "10.1.2.3"},
        {"10.1.2.3", 13, "10.0.0.0", "10.7.255.255"},
        {"2001:db8::7", 64, "2001:db8::", "2001:db8::ffff:ffff:ffff:ffff"},
        {"2001:db8:abcd::", 36, "2001:db8:a000::", "2001:db8:afff:ffff:ffff:ffff:ffff:ffff"},
        {"::1", 128, "::1", "::1"},
    };
    for (const auto& c : cases) {
        IpAddrT low, high;
        ASSERT_TRUE(ipPrefixRange(parsed(c.addr), c.bits, &low, &high)) << c.addr;
        EXPECT_EQ(printed(low), c.low) << c.addr << "/" << c.bits;
        EXPECT_EQ(printed(high), c.high) << c.addr << "/" << c.bits;
    }
    IpAddrT low, high;
    EXPECT_FALSE(ipPrefixRange(parsed("10.0.0.0"), 33, &low, &high));
    EXPECT_FALSE(ipPrefixRange(parsed("::"), 129, &low, &high));
    EXPECT_FALSE(ipPrefixRange(parsed("::"), -1, &low, &high));
}

}  // namespace
