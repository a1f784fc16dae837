// The card and endpoints of a first start, chosen from tables of interfaces
// and cards; and the default routes read from the kernel's route tables.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/first_card.h"
#include "support/tables.h"

namespace {

// name, up, loopback, default route metrics (IPv4, IPv6; -1 none), a listed card, addresses.
struct IfT { const char* name; bool up, loopback; long v4, v6; bool card; std::vector<const char*> addrs; };

// "name reason: endpoints", the reason 4 or 6 for the default route of that
// family, 1 for the first card up, 0 for the loopback; or "none".
std::string choose(const std::vector<IfT>& table)
{
    std::vector<platform::InterfaceT> ifs;
    CardInfoT cards[MAX_CARD] {};
    int cnt = 0;
    for (const IfT& t : table) {
        platform::InterfaceT& i = ifs.emplace_back(platform::InterfaceT {{}, t.up, t.loopback, t.v4, t.v6, 0, {}});
        std::snprintf(i.name, sizeof i.name, "%s", t.name);
        for (IpAddrT a; const char* text : t.addrs) {
            EXPECT_EQ(parseIp(text, &a), 0);
            std::memcpy(i.addr[i.cntAddr++].data(), a.b, sizeof a.b);
        }
        if (t.card) {
            std::snprintf(cards[cnt].cardName, sizeof cards[cnt].cardName, "%s", t.name);
            std::snprintf(cards[cnt++].deviceId, sizeof cards[0].deviceId, "%s", t.name);
        }
    }
    FirstCardT c = chooseFirstCard(ifs, cards, cnt);
    std::string out = c.cardRow < 0 ? "none" : std::string(cards[c.cardRow].cardName) + " " + "4610"[c.reason] + ":";
    for (int k = 0; k < c.cntAddr; ++k) out += " " + ipText(c.addr[k]);
    return out;
}

}  // namespace

TEST(FirstCard, ChoiceAndEndpoints)
{
    const IfT lo {"lo", true, true, -1, -1, true, {"127.0.0.1", "::1"}};
    const IfT eth {"eth0", true, false, -1, -1, true, {"192.0.2.5", "fe80::1", "2001:db8::5"}};
    const IfT wlan {"wlan0", true, false, 600, -1, true, {"198.51.100.7", "169.254.3.3", "fe80::2"}};
    const IfT linkLocal {"eth1", true, false, -1, -1, true, {"169.254.1.1", "fe80::9"}};
    auto route = [](IfT i, long v4, long v6) { return i.v4 = v4, i.v6 = v6, i; };
    auto down = [](IfT i) { return i.up = false, i; };
    auto noCard = [](IfT i) { return i.card = false, i; };
    const std::pair<std::vector<IfT>, std::string> cases[] = {
        // The route's card, not the first; link-local addresses left out; the lowest metric.
        {{lo, eth, wlan}, "wlan0 4: 198.51.100.7"},
        {{lo, route(eth, 100, -1), wlan}, "eth0 4: 192.0.2.5 2001:db8::5"},
        // An IPv4 default route wins over an IPv6 one, which wins over none.
        {{lo, route(eth, -1, 1), wlan}, "wlan0 4: 198.51.100.7"},
        {{lo, route(eth, -1, 1024), route(wlan, -1, -1)}, "eth0 6: 192.0.2.5 2001:db8::5"},
        // A route through a card that is down, or through no listed card, does not count; nor does a card
        // with link-local addresses alone. The loopback comes last.
        {{lo, eth, down(wlan)}, "eth0 1: 192.0.2.5 2001:db8::5"},
        {{lo, noCard(wlan), linkLocal, eth}, "eth0 1: 192.0.2.5 2001:db8::5"},
        {{linkLocal, down(eth), route(lo, 0, 0)}, "lo 0: 127.0.0.1 ::1"},
        {{noCard(lo)}, "none"},
    };
    for (const auto& [table, want] : cases) EXPECT_EQ(choose(table), want);
}

// The IPv4 table is read on a real one by the whole-program test.
TEST(FirstCard, Ipv6DefaultRouteLines)
{
    char name[16] = "";
    long metric = 0;
    const std::string v6 = std::string(32, '0') + " 00 " + std::string(32, '0') + " 00 " + std::string(32, '0');
    EXPECT_TRUE(platform::parseDefaultRoute((v6 + " 00000400 1 0 00000003 eth1").c_str(), 6, name, 16, &metric));
    EXPECT_EQ(std::string(name) + " " + std::to_string(metric), "eth1 1024");
    EXPECT_FALSE(platform::parseDefaultRoute((v6 + " ffffffff 1 0 00200200 lo").c_str(), 6, name, 16, &metric));
}
