// The list of usable network cards (readOnlyGlobal.cardInfo and cntCard):
// rebuilt by card discovery, read by every thread.
#pragma once

#include <mutex>

#include "core/global_define.h"

// The list is rebuilt by the GUI thread (card dialog) and by the scan thread
// while no card is selected; a rebuild is made aside and published under
// this lock, and getCard reads under it.
std::mutex& cardListMutex();

// cntCard as an index bound, whatever was stored in it.
int listedCards();

// Called under the lock after every change of the list, so that a thread
// that keeps what it read of it (the records' device id) reads it again.
void cardListChanged();
unsigned cardListVersion();

// Consistent copy of card row for threads that did not rebuild the list;
// 0, or -1 when row is not a listed card.
int getCard(int row, CardInfoT* out);
