#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
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

// The autostart entry is made with its folders, runs the program even when
// its path holds characters the entry format reserves, and goes again; a
// folder that cannot be made is reported with its errno.
TEST(Autostart, CreateAndRemove)
{
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/wl-autostart-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string home = tmpl;
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    ASSERT_FALSE(platform::autostartExists());
    ASSERT_EQ(platform::setAutostart(true, "/opt/my \"tools\"/100%/wirelane"), 0);
    ASSERT_TRUE(platform::autostartExists());
    std::ifstream in(home + "/config/autostart/Wirelane.desktop");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("\nExec=\"/opt/my \\\\\"tools\\\\\"/100%%/wirelane\"\n"), std::string::npos) << text.str();
    EXPECT_EQ(platform::setAutostart(false, ""), 0);
    EXPECT_FALSE(platform::autostartExists());
    EXPECT_EQ(platform::setAutostart(false, ""), 0) << "already gone";

    std::ofstream(home + "/file").put('x');
    setenv("XDG_CONFIG_HOME", (home + "/file").c_str(), 1);
    EXPECT_EQ(platform::setAutostart(true, "/usr/bin/wirelane"), ENOTDIR);
    unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(home);
}

}  // namespace
