// The program table on real processes: this one, a child that turns into
// another program, and one that has gone.
#include "core/programs.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "platform/platform.h"

TEST(Programs, NamesFiguresAndReuse)
{
    EXPECT_FLOAT_EQ(cpuShare(2500000, 1000, 4), 6.25f) << "250 ms of CPU over 1000 ms on 4 processors";

    char path[4096];
    ASSERT_EQ(platform::exePath(path, sizeof path), 0);
    const ProgramRefT self = programOf(getpid());
    ASSERT_NE(self, 0u);
    EXPECT_EQ(programOf(getpid()), self) << "one entry per process";
    ProgramViewT v;
    ASSERT_TRUE(programView(self, &v));
    EXPECT_STREQ(v.name, std::strrchr(path, '/') + 1);
    EXPECT_EQ(v.cpu, 0.0f) << "no interval yet";
    EXPECT_GT(v.mem, 0);
    EXPECT_EQ(programPid(self), getpid());

    // One processor busy for 300 ms of this process's time: the next sample shows its share of the machine.
    const std::clock_t cpu0 = std::clock();
    const u32 wall0 = platform::tickCountMs();
    for (volatile u64 spin = 0; std::clock() - cpu0 < CLOCKS_PER_SEC * 3 / 10;) spin = spin + 1;
    samplePrograms();
    const double cpuMs = static_cast<double>(std::clock() - cpu0) * 1000 / CLOCKS_PER_SEC;
    const double want = cpuMs / (platform::tickCountMs() - wall0) * 100 / platform::processorCount();
    ASSERT_TRUE(programView(self, &v));
    EXPECT_GT(v.cpu, want * 0.6);
    EXPECT_LT(v.cpu, want * 1.4);

    // A child runs this program, then another: a new entry, and the old reference names nothing any more.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t child = fork();
    if (child == 0) {
        char c;
        close(go[1]);
        if (read(go[0], &c, 1) == 1) execl("/bin/sleep", "sleep", "5", static_cast<char*>(nullptr));
        _exit(1);
    }
    close(go[0]);
    const ProgramRefT before = programOf(child);
    ASSERT_NE(before, 0u);
    ASSERT_TRUE(programView(before, &v));
    EXPECT_STREQ(v.name, std::strrchr(path, '/') + 1);
    ASSERT_EQ(write(go[1], "x", 1), 1);
    ProgramRefT after = 0;
    for (int i = 0; i < 200 && (after == 0 || after == before); i++, usleep(5000)) after = programOf(child);
    ASSERT_TRUE(programView(after, &v));
    EXPECT_STREQ(v.name, "sleep");
    EXPECT_FALSE(programView(before, &v)) << "given to the new program";
    EXPECT_STREQ(v.name, "");

    // Gone: no entry for it, and its last figures stay with the one it had.
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(programOf(child), 0u);
    samplePrograms();
    ASSERT_TRUE(programView(after, &v));
    EXPECT_STREQ(v.name, "sleep");
    EXPECT_EQ(programOf(0), 0u);
    EXPECT_FALSE(programView(0, &v));
}
