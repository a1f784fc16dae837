// The card and endpoints a first start monitors, chosen from the interfaces
// and the listed cards alone, so that the choice is tested on tables.
#pragma once

#include <vector>

#include "core/global_define.h"
#include "core/ipaddr.h"
#include "platform/platform.h"

// Why a card was chosen, in the order the rules are tried.
enum WX_FIRST_REASON {
    WX_ROUTE_V4,  // it carries the IPv4 default route (the lowest metric)
    WX_ROUTE_V6,  // it carries the IPv6 default route, and none carries an IPv4 one
    WX_FIRST_UP,  // the first card that is up and not the loopback
    WX_LOOPBACK,  // nothing else
    NUM_FIRST_REASON
};

struct FirstCardT {
    int cardRow;  // in the card list; -1 when none can be chosen
    int reason;
    int cntAddr;
    IpAddrT addr[platform::MAX_IF_ADDR];  // its addresses, link-local ones left out
};

// Only a listed card with a device id can be chosen, as the configuration
// remembers a card by it; interfaces and cards meet by the capture name.
// Every card but the loopback needs an address that is not link-local.
FirstCardT chooseFirstCard(const std::vector<platform::InterfaceT>& ifs, const CardInfoT* cards, int cntCard);
// The reason as the log says it.
const char* firstCardReason(int reason);
