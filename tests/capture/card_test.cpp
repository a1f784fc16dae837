// Network cards: this machine's adapter report, its reading, the card chosen by physical address; the autostart entry.
#include <cstring>

#include "capture/engine.h"
#include "platform/platform.h"
#include "support/conf_fixture.h"

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
        {atLimit(0), "a|00000000000A|10.0.0.1;b|00000000000B|10.0.0.2;"}, {atLimit(1), "a|00000000000A|10.0.0.1;"},
        {longLines, std::string(127, 'H') + "|" + std::string(31, 'A') + "|10.0.0.1" + std::string(55, ' ') + ";"},
        {nine, eight}, {"", ""},
        // A card without IPv4, by its IPv6 address; a zone or a note trails it; one that does not parse is none.
        {adapter("v6", "00-00-00-00-00-06", "") + "   IPv6 Address. . . . : 2001:db8::5(Preferred)\r\n" +
             adapter("ll", "", "") + "   Link-local IPv6 Address . : fe80::1%eth1(Preferred)\r\n" + adapter("x", "", "") +
             "   IPv6 Address. . . . : 2001:db8::g\r\n",
         "v6|000000000006|2001:db8::5;ll||fe80::1;"},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(parse(text), want) << text.substr(0, 200);
}

using CardTest = ConfFixture;

// The first listed card whose device id holds the address (a real card's whole address:
// live_capture.sh); entries past the count are stale; without an address none is sought.
TEST_F(CardTest, FindNicCardLooksAtListedCardsOnly)
{
    const char* ids[] = {"00155D010203", "AABBCCDDEEFF", "0000C0FFEE00"};
    for (int i = 0; i < 3; ++i)
        readOnlyGlobal.cardInfo[i] = CardInfoT {}, set(readOnlyGlobal.cardInfo[i].deviceId, ids[i]);
    readOnlyGlobal.cntCard = 2;
    for (const auto& [mac, result, row] : {std::tuple {"DDEEFF", 1, 1}, {"C0FFEE", 1, -1}, {"", 0, -1}}) {
        set(readOnlyGlobal.findMac, mac);
        globalValue.selectRow = 5, globalValue.newSelect = 1;
        const int found = findNicCard();
        EXPECT_EQ(std::tuple(found, int(globalValue.selectRow), int(globalValue.newSelect)),
                  std::tuple(result, row, int(row >= 0))) << mac;
    }
}

// A report that does not fit is cut after a whole line, and nothing is written past the buffer.
TEST(AdapterReport, CutAtALineEnd)
{
    char full[65536];
    const int fullLen = platform::adapterReport(full, sizeof full);
    ASSERT_GT(fullLen, 0);
    for (std::size_t cap = 1; cap <= std::size_t(fullLen) + 1; ++cap) {
        std::string buf(cap + 8, '#');
        const int len = platform::adapterReport(buf.data(), cap);
        ASSERT_TRUE(len >= 0 && std::size_t(len) < cap);
        EXPECT_EQ(buf.substr(0, len + 1) + buf[cap], std::string(full, len) + '\0' + '#') << cap;
        EXPECT_TRUE(len == 0 || buf[len - 1] == '\n');
    }
}

// Reserved characters in the program's path are escaped (a plain path: gui_settings.py);
// removing twice is fine; an unmade folder gives its errno.
TEST_F(CardTest, AutostartQuotedExecAndUnmadeFolder)
{
    setenv("XDG_CONFIG_HOME", sub("config").c_str(), 1);
    ASSERT_EQ(platform::setAutostart(true, "/opt/my \"tools\"/100%/wirelane"), 0);
    const std::string text = readAll(dir / "config/autostart/Wirelane.desktop");
    EXPECT_NE(text.find("\nExec=\"/opt/my \\\\\"tools\\\\\"/100%%/wirelane\"\n"), std::string::npos) << text;
    EXPECT_EQ(platform::setAutostart(false, "") | platform::setAutostart(false, ""), 0) << "again when gone";
    EXPECT_FALSE(platform::autostartExists());
    std::ofstream(conf).put('x'), setenv("XDG_CONFIG_HOME", conf.c_str(), 1);  // a file
    EXPECT_EQ(platform::setAutostart(true, "/usr/bin/wirelane"), ENOTDIR);
    unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
