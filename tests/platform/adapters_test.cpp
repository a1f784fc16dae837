#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

// A report that does not fit is cut after a whole line, never inside one,
// and nothing is written past the buffer.
TEST(AdapterReport, CutAtALineEnd)
{
    char full[65536];
    const int fullLen = platform::adapterReport(full, sizeof full);
    ASSERT_GT(fullLen, 0);
    for (std::size_t cap = 1; cap <= std::size_t(fullLen) + 1; ++cap) {
        std::string buf(cap + 8, '#');
        const int len = platform::adapterReport(buf.data(), cap);
        ASSERT_TRUE(len >= 0 && std::size_t(len) < cap);
        EXPECT_EQ(buf.substr(0, len + 1), std::string(full, len) + '\0');
        EXPECT_EQ(buf[cap], '#');
        EXPECT_TRUE(len == 0 || buf[len - 1] == '\n');
    }
}

}  // namespace
