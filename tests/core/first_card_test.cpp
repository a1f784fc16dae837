// The card and endpoints of a first start, chosen from tables of interfaces
// and cards; and the default routes read from the kernel's route tables.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/first_card.h"

namespace {

struct IfT {
    const char* name;
    bool up, loopback;
    long v4, v6;  // default route metrics, -1 none
    std::vector<const char*> addrs;
    bool card;  // listed as a card with a device id
};

// "name reason: endpoints", or "none".
std::string choose(const std::vector<IfT>& table)
{
    std::vector<platform::InterfaceT> ifs;
    CardInfoT cards[MAX_CARD] {};
    int cnt = 0;
    for (const IfT& t : table) {
        platform::InterfaceT i {};
        std::snprintf(i.name, sizeof i.name, "%s", t.name);
        i.up = t.up;
        i.loopback = t.loopback;
        i.defaultV4 = t.v4;
        i.defaultV6 = t.v6;
        for (const char* a : t.addrs) {
            IpAddrT ip;
            EXPECT_EQ(parseIp(a, &ip), 0) << a;
            std::memcpy(i.addr[i.cntAddr++].data(), ip.b, 16);
        }
        ifs.push_back(i);
        if (t.card) {
            std::snprintf(cards[cnt].cardName, sizeof cards[cnt].cardName, "%s", t.name);
            std::snprintf(cards[cnt].deviceId, sizeof cards[cnt].deviceId, "02000000000%d", cnt);
            ++cnt;
        }
    }
    FirstCardT c = chooseFirstCard(ifs, cards, cnt);
    if (c.cardRow < 0) return "none";
    static const char* const reasons[] = {"v4route", "v6route", "firstup", "loopback"};
    std::string out = std::string(cards[c.cardRow].cardName) + " " + reasons[c.reason] + ":";
    for (int k = 0; k < c.cntAddr; ++k) {
        char text[IP_TEXT_SIZE];
        formatIp(c.addr[k], text);
        out += std::string(" ") + text;
    }
    return out;
}

}  // namespace

TEST(FirstCard, ChoiceAndEndpoints)
{
    const IfT lo {"lo", true, true, -1, -1, {"127.0.0.1", "::1"}, true};
    const IfT eth0 {"eth0", true, false, -1, -1, {"192.0.2.5", "fe80::1", "2001:db8::5"}, true};
    const IfT wlan {"wlan0", true, false, 600, -1, {"198.51.100.7", "169.254.3.3", "fe80::2"}, true};
    auto with = [](IfT i, long v4, long v6) {
        i.v4 = v4;
        i.v6 = v6;
        return i;
    };
    IfT down = with(wlan, 100, -1);
    down.up = false;
    IfT notCard = with(wlan, 100, -1);
    notCard.card = false;
    const IfT onlyLinkLocal {"eth1", true, false, -1, -1, {"169.254.1.1", "fe80::9"}, true};

    const std::pair<std::vector<IfT>, std::string> cases[] = {
        // The route's card, though another comes first; link-local addresses left out.
        {{lo, eth0, wlan}, "wlan0 v4route: 198.51.100.7"},
        {{lo, with(eth0, 100, -1), wlan}, "eth0 v4route: 192.0.2.5 2001:db8::5"},
        {{lo, with(eth0, 700, -1), wlan}, "wlan0 v4route: 198.51.100.7"},
        // An IPv4 default route wins over an IPv6 one, which wins over none.
        {{lo, with(eth0, -1, 1), wlan}, "wlan0 v4route: 198.51.100.7"},
        {{lo, with(eth0, -1, 1024), with(wlan, -1, -1)}, "eth0 v6route: 192.0.2.5 2001:db8::5"},
        // A route through a card that is down, or through no listed card, does not count.
        {{lo, eth0, down}, "eth0 firstup: 192.0.2.5 2001:db8::5"},
        {{lo, eth0, notCard}, "eth0 firstup: 192.0.2.5 2001:db8::5"},
        // A card with link-local addresses alone is passed over; the loopback comes last.
        {{lo, onlyLinkLocal, eth0}, "eth0 firstup: 192.0.2.5 2001:db8::5"},
        {{lo, onlyLinkLocal, down}, "lo loopback: 127.0.0.1 ::1"},
        {{with(lo, 0, 0)}, "lo loopback: 127.0.0.1 ::1"},
        {{notCard}, "none"},
    };
    for (const auto& [table, want] : cases) EXPECT_EQ(choose(table), want);
}

TEST(FirstCard, DefaultRouteLines)
{
    auto parse = [](const char* line, int family) {
        char name[16] = "";
        long metric = -1;
        if (!platform::parseDefaultRoute(line, family, name, sizeof name, &metric)) return std::string("-");
        return std::string(name) + " " + std::to_string(metric);
    };
    const std::string v6zero = "00000000000000000000000000000000";
    const struct {
        std::string line;
        int family;
        const char* want;
    } cases[] = {
        {"Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n", 4, "-"},
        {"eth0\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n", 4, "eth0 100"},
        {"eth0\t0002A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n", 4, "-"},   // a subnet
        {"eth0\t00000000\t0102A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n", 4, "-"},   // not up
        {"eth0\t00000000\t0102A8C0\t0203\t0\t0\t100\t00000000\t0\t0\t0\n", 4, "-"},   // rejects
        {v6zero + " 00 " + v6zero + " 00 fe800000000000000000000000000001 00000400 00000001 00000000 00000003     eth0\n",
         6, "eth0 1024"},
        // The kernel's unreachable default through lo, and a prefix of its own.
        {v6zero + " 00 " + v6zero + " 00 " + v6zero + " ffffffff 00000001 00000000 00200200       lo\n", 6, "-"},
        {"20010db8000000000000000000000000 40 " + v6zero + " 00 " + v6zero + " 00000100 00000001 00000000 00000001 eth0\n",
         6, "-"},
        {v6zero + " 00 " + v6zero + " 00 " + v6zero + " 00000400 00000001 00000000 00000003 averyveryverylongname\n", 6,
         "-"},
    };
    for (const auto& c : cases) EXPECT_EQ(parse(c.line.c_str(), c.family), c.want) << c.line;
}
