// The adapter report and the desktop autostart entry.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"

namespace {

// A report that does not fit is cut after a whole line, and nothing is written past the buffer.
TEST(AdapterReport, CutAtALineEnd)
{
    char full[65536];
    const int fullLen = platform::adapterReport(full, sizeof full);
    ASSERT_GT(fullLen, 0);
    for (std::size_t cap = 1; cap <= std::size_t(fullLen) + 1; ++cap) {
        std::string buf(cap + 8, '#');
        const int len = platform::adapterReport(buf.data(), cap);
        ASSERT_TRUE(len >= 0 && std::size_t(len) < cap);
        EXPECT_EQ(buf.substr(0, len + 1) + buf[cap], std::string(full, len) + '\0' + '#') << cap;
        EXPECT_TRUE(len == 0 || buf[len - 1] == '\n');
    }
}

// Reserved characters in the program's path are escaped; an unmade folder gives its errno.
TEST(Autostart, QuotedExecAndUnmadeFolder)
{
    char tmpl[] = "/tmp/wl-autostart-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string home = tmpl;
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    ASSERT_EQ(platform::setAutostart(true, "/opt/my \"tools\"/100%/wirelane"), 0);
    std::ifstream in(home + "/config/autostart/Wirelane.desktop");
    const std::string text {std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(text.find("\nExec=\"/opt/my \\\\\"tools\\\\\"/100%%/wirelane\"\n"), std::string::npos) << text;
    EXPECT_EQ(platform::setAutostart(false, "") | platform::setAutostart(false, ""), 0) << "again when gone";
    EXPECT_FALSE(platform::autostartExists());

    std::ofstream(home + "/file").put('x');
    setenv("XDG_CONFIG_HOME", (home + "/file").c_str(), 1);
    EXPECT_EQ(platform::setAutostart(true, "/usr/bin/wirelane"), ENOTDIR);
    unsetenv("XDG_CONFIG_HOME");
    std::filesystem::remove_all(home);
}

}  // namespace
