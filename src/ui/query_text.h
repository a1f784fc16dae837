// What the query and playback dialogs compute without widgets: the values
// of their time lists, which entry shows a time, and the preset period.
#pragma once

#include <vector>

#include "retrieval/store_list.h"

// The values of the six time lists, each ended by -1.
extern const int yearNum[], monNum[], dayNum[], hourNum[], minNum[], secNum[];
extern const int* const timeTables[6];

// The entry of table that shows value: value itself, else value rounded
// down to a multiple of 5, else the first.
int comboDefIndex(const int* table, int value);
// The entries of the six lists (year to second) that show the local time t.
void timeIndexes(long long t, int out[6]);

// The period a dialog opens with: the last one run (lastStart and lastEnd
// both set), else from the end of the first listed file's period to the end
// of the last one's; 0 and 0 without files.
void presetPeriod(const std::vector<StoreFileT>& files, long long lastStart, long long lastEnd, long long* start,
                  long long* end);
