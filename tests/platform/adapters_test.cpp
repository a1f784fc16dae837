#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "capture/engine.h"
#include "platform/platform.h"

namespace {

TEST(AdapterReport, ListsLoopbackOfThisMachine)
{
    char report[65536];
    int len = platform::adapterReport(report, sizeof report);
    ASSERT_GT(len, 0);
    CardInfoT cards[MAX_CARD];
    int n = parseAdapterReport(report, len, cards, MAX_CARD);
    bool found = false;
    for (int i = 0; i < n; ++i) {
        found |= std::strcmp(cards[i].deviceId, "000000000000") == 0 && std::strcmp(cards[i].address, "127.0.0.1") == 0;
    }
    EXPECT_TRUE(found) << report;
}

// A report that does not fit is cut after a whole line, never inside one.
TEST(AdapterReport, CutAtALineEnd)
{
    char full[65536];
    int fullLen = platform::adapterReport(full, sizeof full);
    ASSERT_GT(fullLen, 0);
    for (size_t cap = 1; cap <= size_t(fullLen) + 1; ++cap) {
        std::string buf(cap + 8, '#');
        int len = platform::adapterReport(buf.data(), cap);
        ASSERT_TRUE(len >= 0 && size_t(len) < cap);
        EXPECT_EQ(buf.substr(0, len + 1), std::string(full, len) + '\0');
        EXPECT_EQ(buf[cap], '#');
        EXPECT_TRUE(len == 0 || buf[len - 1] == '\n');
    }
}

}  // namespace
