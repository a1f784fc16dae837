#include "core/cards.h"

#include <atomic>

namespace {
std::atomic<unsigned> listVersion {0};
}

std::mutex& cardListMutex()
{
    static std::mutex m;
    return m;
}

int listedCards()
{
    int cnt = readOnlyGlobal.cntCard;
    return cnt < 0 ? 0 : cnt > MAX_CARD ? MAX_CARD : cnt;
}

void cardListChanged() { listVersion.fetch_add(1, std::memory_order_release); }
unsigned cardListVersion() { return listVersion.load(std::memory_order_acquire); }

int getCard(int row, CardInfoT* out)
{
    std::lock_guard<std::mutex> lock(cardListMutex());
    if (out == nullptr || row < 0 || row >= listedCards()) {
        return -1;
    }
    *out = readOnlyGlobal.cardInfo[row];
    return 0;
}
