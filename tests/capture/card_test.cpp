#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <iterator>
#include <string>
#include <vector>

#include "capture/engine.h"

namespace {

const char* const kMacLine = "   Physical Address. . . . . . . . . : ";
const char* const kIpLine = "   IPv4 Address. . . . . . . . . . . : ";

std::string adapter(const std::string& heading, const std::string& mac, const std::string& ip)
{
    std::string s = heading + "\r\n\r\n";
    if (!mac.empty()) s += kMacLine + mac + "\r\n";
    if (!ip.empty()) s += kIpLine + ip + "\r\n";
    return s;
}

std::vector<CardInfoT> parse(const std::string& text)
{
    CardInfoT cards[MAX_CARD];
    int n = parseAdapterReport(text.data(), int(text.size()), cards, MAX_CARD);
    return {cards, cards + n};
}

u32 ipOf(const char* dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return ntohl(a.s_addr);
}

TEST(AdapterReportParse, Cases)
{
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::vector<std::string>> cards;  // heading, device id, address
    };
    const Case cases[] = {
        {"one adapter", "Host configuration\r\n\r\n   Host Name . . . . : probe\r\n\r\n" +
                            adapter("Ethernet adapter eth0:", "00-15-5D-01-02-03", "192.168.1.10(Preferred)"),
         {{"Ethernet adapter eth0:", "00155D010203", "192.168.1.10"}}},
        {"adapter without IPv4 is overwritten",
         adapter("a", "00-00-00-00-00-0A", "") + adapter("b", "00-00-00-00-00-0B", "10.0.0.2"),
         {{"b", "00000000000B", "10.0.0.2"}}},
        {"lower-case hex is dropped", adapter("a", "00-15-5d-01-02-03", "10.0.0.1"),
         {{"a", "00155010203", "10.0.0.1"}}},
        {"any note in parentheses is cut", adapter("a", "00-15-5D-01-02-03", "10.0.0.1(Duplicate)"),
         {{"a", "00155D010203", "10.0.0.1"}}},
        {"LF, CR and runs of both split lines", "a\n\n\r   Physical Address: 00-15-5D-01-02-03\r\r   IPv4: 10.0.0.1\n",
         {{"a", "00155D010203", "10.0.0.1"}}},
        {"unparsable address completes nothing",
         adapter("a", "00-00-00-00-00-0A", "999.0.0.1") + adapter("b", "00-00-00-00-00-0B", "10.0.0.2"),
         {{"b", "00000000000B", "10.0.0.2"}}},
        {"seven dashes are no physical address",
         adapter("a", "00-00-00-00-00-00-00-E0", "10.0.0.1"), {{"a", "", "10.0.0.1"}}},
        {"no address inherited from a skipped adapter",
         adapter("a", "00-00-00-00-00-0A", "") + adapter("tun", "", "10.0.0.9"), {{"tun", "", "10.0.0.9"}}},
        {"text ends at a NUL", adapter("a", "00-00-00-00-00-0A", "10.0.0.1") + std::string(1, '\0') +
                                   adapter("b", "00-00-00-00-00-0B", "10.0.0.2"),
         {{"a", "00000000000A", "10.0.0.1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto cards = parse(c.text);
        ASSERT_EQ(cards.size(), c.cards.size());
        for (size_t i = 0; i < cards.size(); ++i) {
            EXPECT_EQ(cards[i].displayName, c.cards[i][0]);
            EXPECT_EQ(cards[i].deviceId, c.cards[i][1]);
            EXPECT_EQ(cards[i].address, c.cards[i][2]);
            EXPECT_EQ(cards[i].ip, ipOf(c.cards[i][2].c_str()));
            EXPECT_STREQ(cards[i].cardName, "");
        }
    }
}

TEST(AdapterReportParse, AtMostEightCards)
{
    std::string text;
    for (char i = '1'; i <= '9'; ++i) text += adapter({i}, "00-00-00-00-00-0" + std::string{i}, "10.0.0." + std::string{i});
    EXPECT_EQ(parse(text).size(), 8u);
}

// The second adapter's address ends exactly at the limit, or one byte past it.
TEST(AdapterReportParse, ReadsOnlyTheFirst4096Bytes)
{
    std::string first = adapter("a", "00-00-00-00-00-0A", "10.0.0.1");
    std::string second = adapter("b", "00-00-00-00-00-0B", "") + kIpLine + "10.0.0.2";
    for (size_t shift : {0, 1}) {
        std::string filler(ADAPTER_REPORT_LIMIT - first.size() - second.size() - 2 + shift, ' ');
        std::string text = first + filler + "\r\n" + second + "\r\n" + adapter("c", "00-00-00-00-00-0C", "10.0.0.3");
        EXPECT_EQ(parse(text).size(), shift == 0 ? 2u : 1u) << "shift " << shift;
    }
}

TEST(AdapterReportParse, LongLinesAreCutToTheFields)
{
    std::string text = adapter(std::string(300, 'H'), std::string(100, 'A') + "-1-2-3-4-5",
                               "10.0.0.1" + std::string(100, ' ') + "(x)") +
                       std::string(5000, 'x') + "\r\n";
    auto cards = parse(text);
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].displayName, std::string(127, 'H'));
    EXPECT_EQ(cards[0].deviceId, std::string(31, 'A'));
    EXPECT_EQ(strlen(cards[0].address), 63u);
    EXPECT_EQ(cards[0].ip, ipOf("10.0.0.1"));
}

// Text made of the bytes the parser reacts to, plus anything else; every
// field must stay NUL-terminated within its size.
TEST(AdapterReportParse, GarbageNeverOverruns)
{
    const std::string pieces[] = {"IPv4", ":", ": ", "-", "(", "\r", "\n", " ", "1.2.3.4", "A", "\xff", "."};
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        size_t size = rng() % 6000;
        while (text.size() < size) {
            if (rng() % 3 == 0) text += char(rng() % 256);
            else text += pieces[rng() % std::size(pieces)];
        }
        CardInfoT cards[MAX_CARD];
        int n = parseAdapterReport(text.data(), int(text.size()), cards, MAX_CARD);
        ASSERT_TRUE(n >= 0 && n <= MAX_CARD);
        for (const CardInfoT& c : cards) {
            ASSERT_TRUE(memchr(c.deviceId, 0, sizeof c.deviceId) && memchr(c.address, 0, sizeof c.address) &&
                        memchr(c.displayName, 0, sizeof c.displayName));
        }
    }
}

sockaddr_in v4(const char* dotted)
{
    sockaddr_in s{};
    s.sin_family = AF_INET;
    inet_pton(AF_INET, dotted, &s.sin_addr);
    return s;
}

CardInfoT card(const char* dotted, const char* deviceId = "")
{
    CardInfoT c{};
    std::snprintf(c.address, sizeof c.address, "%s", dotted);
    std::snprintf(c.deviceId, sizeof c.deviceId, "%s", deviceId);
    c.ip = ipOf(dotted);
    return c;
}

TEST(CardNames, MatchedByAddressThenUnnamedCardsDropped)
{
    // eth0: an IPv6 entry whose flow label reads as 10.0.0.4, 0.0.0.0, 10.0.0.1;
    // eth1: 10.0.0.2, 10.0.0.1.
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    six.sin6_flowinfo = htonl(ipOf("10.0.0.4"));
    sockaddr_in a[] = {v4("0.0.0.0"), v4("10.0.0.1"), v4("10.0.0.2"), v4("10.0.0.1")};
    auto sa = [](auto& x) { return reinterpret_cast<sockaddr*>(&x); };
    pcap_addr_t e0[3] = {{&e0[1], sa(six), {}, {}, {}}, {&e0[2], sa(a[0]), {}, {}, {}}, {nullptr, sa(a[1]), {}, {}, {}}};
    pcap_addr_t e1[2] = {{&e1[1], sa(a[2]), {}, {}, {}}, {nullptr, sa(a[3]), {}, {}, {}}};
    pcap_if_t devs[2] = {{&devs[1], (char*)"eth0", nullptr, e0, 0}, {nullptr, (char*)"eth1", nullptr, e1, 0}};
    readOnlyGlobal.cardInfo[0] = card("10.0.0.1");
    readOnlyGlobal.cardInfo[1] = card("10.0.0.2");
    readOnlyGlobal.cardInfo[2] = card("10.0.0.1");  // same address: the first card has it
    readOnlyGlobal.cardInfo[3] = card("10.0.0.4");  // only an IPv6 entry carries these bytes
    readOnlyGlobal.cardInfo[4] = card("0.0.0.0");
    readOnlyGlobal.cntCard = 5;
    matchCardNames(readOnlyGlobal.cardInfo, 5, devs);
    checkNetCard();

    ASSERT_EQ(int(readOnlyGlobal.cntCard), 2);
    EXPECT_EQ(std::string(readOnlyGlobal.cardInfo[0].cardName) + "/" + readOnlyGlobal.cardInfo[0].address, "eth0/10.0.0.1");
    EXPECT_EQ(std::string(readOnlyGlobal.cardInfo[1].cardName) + "/" + readOnlyGlobal.cardInfo[1].address, "eth1/10.0.0.2");
}

TEST(FindNicCard, SelectsFirstCardContainingTheMac)
{
    struct Case {
        const char* mac;
        int result, row, newSelect;
    } cases[] = {
        {"5D0102", 1, 0, 1}, {"DDEEFF", 1, 1, 1}, {"", 0, -1, 0}, {"123456", 1, -1, 0},
        {"5d0102", 1, -1, 0}, {"C0FFEE", 1, -1, 0},  // lower case; a card past cntCard
    };
    readOnlyGlobal.cardInfo[0] = card("192.168.1.10", "00155D010203");
    readOnlyGlobal.cardInfo[1] = card("10.0.0.1", "AABBCCDDEEFF");
    readOnlyGlobal.cardInfo[2] = card("10.0.0.2", "0000C0FFEE00");
    readOnlyGlobal.cntCard = 2;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mac);
        std::snprintf(readOnlyGlobal.findMac, sizeof readOnlyGlobal.findMac, "%s", c.mac);
        globalValue.selectRow = 5;
        globalValue.newSelect = 1;
        EXPECT_EQ(findNicCard(), c.result);
        EXPECT_EQ(int(globalValue.selectRow), c.row);
        EXPECT_EQ(int(globalValue.newSelect), c.newSelect);
    }
    readOnlyGlobal.findMac[0] = '\0';
}

TEST(CardDiscovery, FindsLoopbackOnThisMachine)
{
    ASSERT_EQ(getCardInfo(), 0);
    std::snprintf(readOnlyGlobal.findMac, sizeof readOnlyGlobal.findMac, "000000000000");
    EXPECT_EQ(findNicCard(), 1);
    readOnlyGlobal.findMac[0] = '\0';
    CardInfoT lo;
    ASSERT_EQ(getCard(globalValue.selectRow, &lo), 0);
    EXPECT_STREQ(lo.cardName, "lo");
    EXPECT_STREQ(lo.address, "127.0.0.1");
}

}  // namespace
