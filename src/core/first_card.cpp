#include "core/first_card.h"

#include <cstring>

namespace {

bool linkLocal(const IpAddrT& a)
{
    if (ipIsV4(a)) return ipV4(a) >> 16 == 0xa9fe;  // 169.254/16
    return a.b[0] == 0xfe && (a.b[1] & 0xc0) == 0x80;  // fe80::/10
}

int keptAddresses(const platform::InterfaceT& i, IpAddrT* out)
{
    int n = 0;
    for (int k = 0; k < i.cntAddr && k < platform::MAX_IF_ADDR; ++k) {
        IpAddrT a;
        std::memcpy(a.b, i.addr[k].data(), sizeof a.b);
        if (linkLocal(a)) continue;
        if (out != nullptr) out[n] = a;
        ++n;
    }
    return n;
}

int cardOf(const platform::InterfaceT& i, const CardInfoT* cards, int cntCard)
{
    for (int r = 0; r < cntCard; ++r) {
        if (cards[r].deviceId[0] != '\0' && std::strcmp(cards[r].cardName, i.name) == 0) return r;
    }
    return -1;
}

}  // namespace

FirstCardT chooseFirstCard(const std::vector<platform::InterfaceT>& ifs, const CardInfoT* cards, int cntCard)
{
    FirstCardT c {};
    c.cardRow = -1;
    c.reason = NUM_FIRST_REASON;
    const platform::InterfaceT* chosen = nullptr;
    auto take = [&](const platform::InterfaceT& i, int reason) {
        int row = cardOf(i, cards, cntCard);
        if (row < 0) return false;
        chosen = &i;
        c.cardRow = row;
        c.reason = reason;
        return true;
    };
    auto usable = [](const platform::InterfaceT& i) { return i.up && !i.loopback && keptAddresses(i, nullptr) > 0; };

    for (int reason : {WX_ROUTE_V4, WX_ROUTE_V6}) {
        long best = -1;
        for (const platform::InterfaceT& i : ifs) {
            long metric = reason == WX_ROUTE_V4 ? i.defaultV4 : i.defaultV6;
            if (metric >= 0 && (best < 0 || metric < best) && usable(i) && take(i, reason)) best = metric;
        }
        if (chosen != nullptr) break;
    }
    for (const platform::InterfaceT& i : ifs) {
        if (chosen == nullptr && usable(i)) take(i, WX_FIRST_UP);
    }
    for (const platform::InterfaceT& i : ifs) {
        if (chosen == nullptr && i.loopback) take(i, WX_LOOPBACK);
    }
    if (chosen != nullptr) c.cntAddr = keptAddresses(*chosen, c.addr);
    return c;
}

const char* firstCardReason(int reason)
{
    switch (reason) {
    case WX_ROUTE_V4: return "it carries the IPv4 default route";
    case WX_ROUTE_V6: return "it carries the IPv6 default route";
    case WX_FIRST_UP: return "no card carries a default route and it is the first card up";
    case WX_LOOPBACK: return "no other card is up with an address";
    default: return "no card can be chosen";
    }
}
