#include "ui/query_text.h"

#include <ctime>

const int yearNum[] = {2020, 2021, 2022, 2023, 2024, 2025, 2026, 2027, 2028, 2029, 2030, -1};
const int monNum[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, -1};
const int dayNum[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                      17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, -1};
const int hourNum[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, -1};
const int minNum[] = {0, 5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55, -1};
const int secNum[] = {0, 5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55, -1};
const int* const timeTables[6] = {yearNum, monNum, dayNum, hourNum, minNum, secNum};

int comboDefIndex(const int* table, int value)
{
    for (int want : {value, value - value % 5}) {
        for (int i = 0; table[i] != -1; i++) {
            if (table[i] == want) return i;
        }
    }
    return 0;
}

void timeIndexes(long long t, int out[6])
{
    std::time_t s = static_cast<std::time_t>(t);
    std::tm tm {};
    localtime_r(&s, &tm);
    const int parts[6] = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    for (int i = 0; i < 6; i++) out[i] = comboDefIndex(timeTables[i], parts[i]);
}

void presetPeriod(const std::vector<StoreFileT>& files, long long lastStart, long long lastEnd, long long* start,
                  long long* end)
{
    if (lastStart != 0 && lastEnd != 0) {
        *start = lastStart;
        *end = lastEnd;
    } else {
        *start = files.empty() ? 0 : files.front().etime;
        *end = files.empty() ? 0 : files.back().etime;
    }
}
