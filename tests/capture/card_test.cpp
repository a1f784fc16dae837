// Network cards: the adapter report and the card chosen by its physical address.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "capture/engine.h"

namespace {

const std::string IP_LINE = "   IPv4 Address. . . . . . . . . . . : ";

std::string adapter(const std::string& heading, const std::string& mac, const std::string& ip)
{
    return heading + "\r\n\r\n" + (mac.empty() ? "" : "   Physical Address. . . . . . . . . : " + mac + "\r\n") +
           (ip.empty() ? "" : IP_LINE + ip + "\r\n");
}

// "heading|device id|address;" for each card found; every field stays terminated.
std::string parse(const std::string& text)
{
    CardInfoT cards[MAX_CARD];
    const int n = parseAdapterReport(text.data(), int(text.size()), cards, MAX_CARD);
    EXPECT_TRUE(n >= 0 && n <= MAX_CARD);
    std::string out;
    for (const CardInfoT& c : cards) {
        EXPECT_TRUE(memchr(c.deviceId, 0, sizeof c.deviceId) && memchr(c.address, 0, sizeof c.address) &&
                    memchr(c.displayName, 0, sizeof c.displayName));
        if (&c - cards < n) out += std::string(c.displayName) + "|" + c.deviceId + "|" + c.address + ";";
    }
    return out;
}

TEST(AdapterReport, ParseRules)
{
    const std::string a1 = adapter("a", "00-00-00-00-00-0A", "10.0.0.1");
    const std::string b2 = adapter("b", "00-00-00-00-00-0B", "10.0.0.2");
    // The second adapter's address ends exactly at the 4096-byte limit, or one byte past it.
    auto atLimit = [&](std::size_t shift) {
        const std::string second = adapter("b", "00-00-00-00-00-0B", "") + IP_LINE + "10.0.0.2";
        return a1 + std::string(ADAPTER_REPORT_LIMIT - a1.size() - second.size() - 2 + shift, ' ') + "\r\n" + second +
               "\r\n" + adapter("c", "00-00-00-00-00-0C", "10.0.0.3");
    };
    const std::string longLines = adapter(std::string(300, 'H'), std::string(100, 'A') + "-1-2-3-4-5",
                                          "10.0.0.1" + std::string(100, ' ') + "(x)") + std::string(5000, 'x') + "\r\n";
    std::string nine, eight;  // only MAX_CARD cards are kept
    for (char i = '1'; i <= '9'; ++i) {
        const std::string n {i};
        nine += adapter(n, "00-00-00-00-00-0" + n, "10.0.0." + n);
        if (i <= '8') eight += n + "|00000000000" + n + "|10.0.0." + n + ";";
    }
    const std::pair<std::string, std::string> cases[] = {
        {"Host configuration\r\n\r\n   Host Name . . . . : probe\r\n\r\n" +
             adapter("Ethernet adapter eth0:", "00-15-5D-01-02-03", "192.168.1.10(Preferred)"),
         "Ethernet adapter eth0:|00155D010203|192.168.1.10;"},
        {adapter("a", "00-00-00-00-00-0A", "") + b2, "b|00000000000B|10.0.0.2;"},  // no IPv4: overwritten
        {"a\n\n\r   Physical Address: 00-15-5D-01-02-03\r\r   IPv4: 10.0.0.1\n", "a|00155D010203|10.0.0.1;"},
        {adapter("a", "00-00-00-00-00-0A", "999.0.0.1") + b2, "b|00000000000B|10.0.0.2;"},
        {adapter("a", "00-01-00-01-2A-3B-4C-5D", "10.0.0.1"), "a||10.0.0.1;"},  // more dashes than a physical address
        {adapter("a", "00-00-00-00-00-0A", "") + adapter("tun", "", "10.0.0.9"), "tun||10.0.0.9;"},
        {a1 + std::string(1, '\0') + b2, "a|00000000000A|10.0.0.1;"},
        {atLimit(0), "a|00000000000A|10.0.0.1;b|00000000000B|10.0.0.2;"},
        {atLimit(1), "a|00000000000A|10.0.0.1;"},
        {longLines, std::string(127, 'H') + "|" + std::string(31, 'A') + "|10.0.0.1" + std::string(55, ' ') + ";"},
        {nine, eight},
        {"", ""},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(parse(text), want) << text.substr(0, 200);
}

TEST(FindNicCard, SelectsFirstCardContainingTheMac)
{
    const char* ids[] = {"00155D010203", "AABBCCDDEEFF", "0000C0FFEE00"};  // the third lies past cntCard
    for (int i = 0; i < 3; ++i) {
        readOnlyGlobal.cardInfo[i] = CardInfoT {};
        std::snprintf(readOnlyGlobal.cardInfo[i].deviceId, sizeof readOnlyGlobal.cardInfo[i].deviceId, "%s", ids[i]);
    }
    readOnlyGlobal.cntCard = 2;
    struct Case { const char* mac; int result, row, newSelect; };
    for (const Case& c : {Case {"5D0102", 1, 0, 1}, {"DDEEFF", 1, 1, 1}, {"", 0, -1, 0}, {"123456", 1, -1, 0},
                          {"C0FFEE", 1, -1, 0}}) {
        std::snprintf(readOnlyGlobal.findMac, sizeof readOnlyGlobal.findMac, "%s", c.mac);
        globalValue.selectRow = 5;
        globalValue.newSelect = 1;
        const int result = findNicCard();
        EXPECT_EQ(std::tuple(result, int(globalValue.selectRow), int(globalValue.newSelect)),
                  std::tuple(c.result, c.row, c.newSelect)) << c.mac;
    }
    readOnlyGlobal.findMac[0] = '\0';
}

}  // namespace
