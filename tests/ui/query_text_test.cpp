// Which entry of the dialogs' time lists shows a time, and the period the
// dialogs open with.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "ui/query_text.h"

namespace {

TEST(QueryText, ComboIndexAndPreset)
{
    struct {
        const int* table;
        int value;
        int index;
    } const cases[] = {
        {minNum, 7, 1},   {minNum, 55, 11}, {secNum, 59, 11}, {yearNum, 2019, 0},
        {yearNum, 2031, 10}, {yearNum, 2036, 0}, {yearNum, 2026, 6}, {dayNum, 31, 30},
    };
    for (const auto& c : cases) EXPECT_EQ(comboDefIndex(c.table, c.value), c.index) << c.value;

    setenv("TZ", "UTC", 1);
    tzset();
    int shown[6];
    timeIndexes(1796540693, shown);  // 2026-12-06 07:04:53
    const int want[6] = {6, 11, 5, 7, 0, 10};
    for (int i = 0; i < 6; i++) EXPECT_EQ(shown[i], want[i]) << "part " << i;

    const std::vector<StoreFileT> files = {{"a", "a", 100, 200}, {"b", "b", 200, 300}};
    long long start, end;
    presetPeriod(files, 0, 0, &start, &end);
    EXPECT_EQ(start, 200);
    EXPECT_EQ(end, 300);
    presetPeriod(files, 150, 250, &start, &end);
    EXPECT_EQ(start, 150) << "the last query's period";
    presetPeriod({}, 0, 0, &start, &end);
    EXPECT_EQ(start + end, 0);
}

}  // namespace
