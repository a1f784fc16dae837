// The program's folder: the one given, else Wirelane in the temporary
// directory, else (another user's) one of this user's own beside it.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/platform.h"

namespace {

struct TmpDirT {
    std::string path;
    std::string oldTmp;
    TmpDirT()
    {
        char tmpl[] = "/tmp/wirelane-folder.XXXXXX";
        path = mkdtemp(tmpl);
        if (const char* t = std::getenv("TMPDIR")) oldTmp = t;
        setenv("TMPDIR", path.c_str(), 1);
    }
    ~TmpDirT()
    {
        if (oldTmp.empty()) {
            unsetenv("TMPDIR");
        } else {
            setenv("TMPDIR", oldTmp.c_str(), 1);
        }
        std::filesystem::remove_all(path);
    }
};

}  // namespace

TEST(ProgramFolder, GivenDefaultAndAnotherUsers)
{
    TmpDirT tmp;
    char out[4096];
    bool aside = true;
    const std::string home = tmp.path + "/home";
    ASSERT_EQ(platform::programFolder(home.c_str(), out, sizeof out, &aside), 0);
    EXPECT_EQ(out, home);
    EXPECT_FALSE(aside);
    EXPECT_TRUE(std::filesystem::is_directory(home));
    EXPECT_EQ(platform::programFolder((tmp.path + "/no/such").c_str(), out, sizeof out, &aside), ENOENT);

    ASSERT_EQ(platform::programFolder(nullptr, out, sizeof out, &aside), 0);
    EXPECT_EQ(out, tmp.path + "/Wirelane");
    EXPECT_FALSE(aside);

    if (geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    char me[256];
    ASSERT_EQ(platform::userName(me, sizeof me), 0);
    // Another user's folder, or a link standing in for one, sends this user aside.
    ASSERT_EQ(chown((tmp.path + "/Wirelane").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(platform::programFolder(nullptr, out, sizeof out, &aside), 0);
    EXPECT_EQ(out, tmp.path + "/Wirelane-" + me);
    EXPECT_TRUE(aside);
    std::filesystem::remove_all(tmp.path + "/Wirelane-" + me);
    std::filesystem::create_directory_symlink(tmp.path + "/Wirelane", tmp.path + "/Wirelane-" + me);
    EXPECT_EQ(platform::programFolder(nullptr, out, sizeof out, &aside), -1);
    EXPECT_EQ(out, tmp.path + "/Wirelane-" + me);
}
