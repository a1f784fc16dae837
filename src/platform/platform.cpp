// Process, user and time services on Linux.
#include "platform/platform.h"

#include <pwd.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>
#include <thread>

namespace platform {

namespace {

int copyOut(const char* s, char* out, std::size_t cap)
{
    std::size_t n = std::strlen(s);
    if (n + 1 > cap) return ENAMETOOLONG;
    std::memcpy(out, s, n + 1);
    return 0;
}

struct FillAheadT {
    char* at;
    std::size_t left;
};
FillAheadT fillList[8];
int fillCount = 0;
int fillNext = 0;

}  // namespace

void fillAhead(void* p, std::size_t bytes)
{
    if (p != nullptr && fillCount < static_cast<int>(std::size(fillList))) {
        fillList[fillCount++] = {static_cast<char*>(p), bytes};
    }
}

bool fillAheadStep()
{
    constexpr std::size_t STEP = 2u << 20;
    while (fillNext < fillCount && fillList[fillNext].left == 0) fillNext++;
    if (fillNext == fillCount) return false;
    FillAheadT& t = fillList[fillNext];
    std::size_t n = std::min(STEP, t.left);
    // Pages already there stay as they are; the table's users may be at work
    // in it meanwhile.
    if (madvise(t.at, n, MADV_POPULATE_WRITE) != 0) {
        fillNext = fillCount;
        return false;
    }
    t.at += n;
    t.left -= n;
    return true;
}

void* allocTable(std::size_t bytes)
{
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    preferHugePages(p, bytes);
    return p;
}

void preferHugePages(void* p, std::size_t bytes)
{
    constexpr std::uintptr_t HUGE_PAGE = 2u << 20;
    const std::uintptr_t from = (reinterpret_cast<std::uintptr_t>(p) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const std::uintptr_t to = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(HUGE_PAGE - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

int exePath(char* out, std::size_t cap)
{
    if (cap == 0) return EINVAL;
    ssize_t n = readlink("/proc/self/exe", out, cap);
    if (n < 0) return errno;
    if (static_cast<std::size_t>(n) >= cap) return ENAMETOOLONG;
    out[n] = 0;
    return 0;
}

int tmpDir(char* out, std::size_t cap)
{
    // The same choice as GLib's temporary directory: TMPDIR, else /tmp.
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || dir[0] == 0) dir = "/tmp";
    std::size_t n = std::strlen(dir);
    bool slash = dir[n - 1] == '/';
    if (n + (slash ? 1 : 2) > cap) return ENAMETOOLONG;
    std::memcpy(out, dir, n);
    if (!slash) out[n++] = '/';
    out[n] = 0;
    return 0;
}

namespace {
// A folder made now, or already there as a folder of this user (not a link);
// -1 for one that is someone else's.
int ownDir(const char* path)
{
    if (int err = makeDir(path); err != 0) return err;
    struct stat st;
    if (lstat(path, &st) != 0) return errno;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() ? 0 : -1;
}
}  // namespace

int programFolder(const char* home, char* out, std::size_t cap, bool* aside)
{
    *aside = false;
    if (home != nullptr) {
        if (copyOut(home, out, cap) != 0) return ENAMETOOLONG;
        return makeDir(out);
    }
    char dir[PATH_MAX];
    if (int err = tmpDir(dir, sizeof dir); err != 0) return err;
    std::string path = std::string(dir) + "Wirelane";
    int err = ownDir(path.c_str());
    if (err == -1) {
        // Another user's folder (a shared /tmp): this user's log and
        // configuration go into one of its own.
        char user[256];
        if (int e = userName(user, sizeof user); e != 0) return e;
        path = std::string(dir) + "Wirelane-" + user;
        *aside = true;
        err = ownDir(path.c_str());
    }
    if (err != 0) {
        copyOut(path.c_str(), out, cap);  // the folder the caller names in its message
        return err;
    }
    return copyOut(path.c_str(), out, cap) != 0 ? ENAMETOOLONG : 0;
}

int hostName(char* out, std::size_t cap)
{
    char buf[256];
    if (gethostname(buf, sizeof buf) != 0) return errno;
    buf[sizeof buf - 1] = 0;
    return copyOut(buf, out, cap);
}

int userName(char* out, std::size_t cap)
{
    passwd pw {};
    passwd* found = nullptr;
    char buf[4096];
    int rc = getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found);
    if (found == nullptr) return rc != 0 ? rc : ENOENT;
    return copyOut(pw.pw_name, out, cap);
}

int makeDir(const char* path)
{
    if (mkdir(path, 0755) == 0) return 0;
    int err = errno;
    struct stat st;
    if (err == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return err;
}

std::uint32_t tickCountMs()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void yieldToCapture()
{
    // A batch thread does not take the processor from the one that woke it
    // (the capture and processing threads hand it work many times a second);
    // it still gets its share, also where other programs keep the
    // processors busy, so that records reach the collector in time. Policy
    // and nice value belong to the thread.
    sched_param param {};
    sched_setscheduler(0, SCHED_BATCH, &param);
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 5);
}

}  // namespace platform
