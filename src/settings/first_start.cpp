// The choice of a first start, made on the interfaces and cards of the moment
// and then saved like any change made in the dialogs.
#include <cstdio>
#include <cstring>
#include <vector>

#include "capture/engine.h"
#include "core/cards.h"
#include "core/conf.h"
#include "core/first_card.h"
#include "core/global_define.h"
#include "core/util.h"
#include "platform/platform.h"
#include "settings/settings.h"

int chooseOnFirstStart()
{
    std::lock_guard<std::recursive_mutex> one(settingsLock());
    ReadOnlyGlobalT& g = readOnlyGlobal;
    if (g.findMac[0] != '\0' || g.cntHost > 0) return 0;

    std::vector<platform::InterfaceT> ifs;
    if (int err = platform::listInterfaces(ifs); err != 0) {
        writeLog(2, "first start: the interfaces cannot be listed: %s", std::strerror(err));
        return -1;
    }
    CardInfoT cards[MAX_CARD];
    int cnt;
    {
        std::lock_guard<std::mutex> lk(cardListMutex());
        cnt = listedCards();
        std::memcpy(cards, g.cardInfo, sizeof cards);
    }
    const FirstCardT c = chooseFirstCard(ifs, cards, cnt);
    if (c.cardRow < 0) {
        writeLog(2, "first start: no card can be chosen; none is monitored until one is selected");
        return -1;
    }
    const CardInfoT& card = cards[c.cardRow];

    char list[platform::MAX_IF_ADDR * (IP_TEXT_SIZE + 2)] = "";
    for (int k = 0; k < c.cntAddr; ++k) {
        char text[IP_TEXT_SIZE], busiId[16];
        formatIp(c.addr[k], text);
        getRandStrId(busiId);
        HostInfoT h;
        if (makeHostInfo(&h, text, 0, busiId) != 0 || addNewHostInfo(&h) != 0) continue;
        std::size_t used = std::strlen(list);
        std::snprintf(list + used, sizeof list - used, "%s%s", used > 0 ? ", " : "", text);
    }
    {
        std::lock_guard<std::mutex> lk(confMutex());
        std::snprintf(g.findMac, sizeof g.findMac, "%s", card.deviceId);
    }
    g.checkHttp = 1;
    findNicCard();
    writeLog(1, "first start: card %s (%s, %s) chosen because %s; monitoring %s as TCP & UDP, with HTTP recognised",
             card.cardName, card.address, card.deviceId, firstCardReason(c.reason), list[0] != '\0' ? list : "nothing");
    refreshConf();
    return 1;
}
