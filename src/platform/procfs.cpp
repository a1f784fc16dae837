// Socket tables and process figures from /proc.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <tuple>
#include <utility>

#include "platform/platform.h"

namespace platform {

namespace {

// Reads a small file of the process into buf (NUL-terminated): its length,
// or -errno.
int readSmall(int proc, const char* name, char* buf, std::size_t cap)
{
    int fd = openat(proc, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    ssize_t n = read(fd, buf, cap - 1);
    int err = errno;
    close(fd);
    if (n < 0) return -err;
    buf[n] = 0;
    return static_cast<int>(n);
}

void copyCut(const char* s, std::size_t len, char* out, std::size_t cap)
{
    len = std::min(len, cap - 1);
    std::memcpy(out, s, len);
    out[len] = 0;
}

bool isPid(const char* s, int* pid)
{
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (end == s || *end != 0 || v <= 0 || v > 0x7FFFFFFF) return false;
    *pid = static_cast<int>(v);
    return true;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The value of the n hexadecimal digits at p, which the caller has counted.
std::uint32_t hexWord(const char* p, int n)
{
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 4 | static_cast<std::uint32_t>(hexDigit(p[i]));
    return v;
}

// Reads "ADDR:PORT" at p (the address of 8 or 32 digits, after any spaces)
// and moves p past it; the number of address digits, or 0 when it is not one.
int endpoint(const char*& p, std::array<std::uint8_t, 16>* addr, std::uint16_t* port)
{
    p += std::strspn(p, " ");
    const char hex[] = "0123456789ABCDEFabcdef";
    const std::size_t digits = std::strspn(p, hex);
    if ((digits != 8 && digits != 32) || p[digits] != ':' || std::strspn(p + digits + 1, hex) != 4) return 0;
    // The kernel prints each 32-bit word of the address as the number it
    // holds in memory: the word's bytes in host order are the address bytes.
    if (digits == 8) {
        *addr = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    }
    for (std::size_t i = 0; i < digits / 8; ++i) {
        const std::uint32_t w = hexWord(p + 8 * i, 8);
        std::memcpy(addr->data() + (digits == 8 ? 12 : 4 * i), &w, 4);
    }
    *port = static_cast<std::uint16_t>(hexWord(p + digits + 1, 4));
    p += digits + 5;
    return static_cast<int>(digits);
}

}  // namespace

bool parseSocketRow(const char* line, SocketRowT* row)
{
    // "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000  0 12345 ..."
    // IPv6 rows write each address as four 32-bit words of 8 digits.
    const char* p = line + std::strspn(line, " ");
    std::size_t n = std::strspn(p, "0123456789");
    if (n == 0 || p[n] != ':') return false;  // the heading
    p += n + 1;
    int localDigits = endpoint(p, &row->localAddr, &row->localPort);
    if (localDigits == 0 || endpoint(p, &row->remoteAddr, &row->remotePort) != localDigits) return false;
    unsigned long long inode;
    if (std::sscanf(p, " %*x %*x:%*x %*x:%*x %*x %*u %*d %llu", &inode) != 1) return false;
    row->inode = inode;
    row->pid = 0;
    return true;
}

int socketTable(int proto, int family, std::vector<SocketRowT>& rows)
{
    const char* path = proto == 6 ? (family == 6 ? "/proc/net/tcp6" : "/proc/net/tcp")
                     : proto == 17 ? (family == 6 ? "/proc/net/udp6" : "/proc/net/udp")
                                   : nullptr;
    if (path == nullptr || (family != 4 && family != 6)) return EINVAL;
    FILE* fp = std::fopen(path, "re");
    if (fp == nullptr) return family == 6 && errno == ENOENT ? 0 : errno;  // IPv6 turned off
    std::size_t first = rows.size();
    int err = 0;
    char line[512];
    try {
        SocketRowT row;
        while (std::fgets(line, sizeof line, fp) != nullptr) {
            if (parseSocketRow(line, &row)) rows.push_back(row);
        }
        if (std::ferror(fp)) err = EIO;
    } catch (const std::bad_alloc&) {
        err = ENOMEM;
    }
    std::fclose(fp);
    if (err == 0 && proto == 6) {
        // The order of a sorted connection table: which row of a shared port
        // comes last does not depend on the kernel's hash order.
        std::sort(rows.begin() + static_cast<long>(first), rows.end(), [](const SocketRowT& a, const SocketRowT& b) {
            return std::tie(a.localAddr, a.localPort, a.remoteAddr, a.remotePort) <
                   std::tie(b.localAddr, b.localPort, b.remoteAddr, b.remotePort);
        });
    }
    return err;
}

void findSocketOwners(std::vector<SocketRowT>& rows)
{
    std::vector<std::pair<std::uint64_t, int>> owners;  // inode, pid; sorted by inode
    try {
        for (const SocketRowT& r : rows) {
            if (r.inode != 0) owners.emplace_back(r.inode, 0);
        }
    } catch (const std::bad_alloc&) {
        return;
    }
    std::sort(owners.begin(), owners.end());
    owners.erase(std::unique(owners.begin(), owners.end()), owners.end());
    auto find = [&owners](std::uint64_t inode) {
        auto it = std::lower_bound(owners.begin(), owners.end(), std::make_pair(inode, 0));
        return it != owners.end() && it->first == inode ? it : owners.end();
    };

    DIR* procDir = opendir("/proc");
    if (procDir == nullptr) return;
    while (dirent* pe = readdir(procDir)) {
        int pid;
        if (!isPid(pe->d_name, &pid)) continue;
        char path[64];
        std::snprintf(path, sizeof path, "%d/fd", pid);
        int fdDir = openat(dirfd(procDir), path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDir < 0) continue;  // gone, or not ours to see
        DIR* fds = fdopendir(fdDir);
        if (fds == nullptr) {
            close(fdDir);
            continue;
        }
        while (dirent* fe = readdir(fds)) {
            char link[64];
            ssize_t n = readlinkat(fdDir, fe->d_name, link, sizeof link - 1);
            if (n <= 0) continue;
            link[n] = 0;
            unsigned long long inode;
            if (std::sscanf(link, "socket:[%llu]", &inode) != 1) continue;
            auto it = find(inode);
            if (it != owners.end() && (it->second == 0 || pid < it->second)) it->second = pid;
        }
        closedir(fds);
    }
    closedir(procDir);

    for (SocketRowT& r : rows) {
        auto it = r.inode != 0 ? find(r.inode) : owners.end();
        r.pid = it != owners.end() ? it->second : 0;
    }
}

int openProcess(int pid, int* proc)
{
    if (pid <= 0) return ESRCH;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d", pid);
    int fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    *proc = fd;
    return 0;
}

void closeProcess(int proc)
{
    close(proc);
}

int processName(int proc, char* out, std::size_t cap)
{
    if (cap == 0) return EINVAL;
    char path[4096];
    ssize_t n = readlinkat(proc, "exe", path, sizeof path - 1);
    if (n > 0) {
        path[n] = 0;
        // An executable replaced on disk still names the running program.
        const char deleted[] = " (deleted)";
        std::size_t len = static_cast<std::size_t>(n);
        if (len > sizeof deleted - 1 && std::strcmp(path + len - (sizeof deleted - 1), deleted) == 0) {
            len -= sizeof deleted - 1;
            path[len] = 0;
        }
        const char* slash = std::strrchr(path, '/');
        const char* base = slash != nullptr ? slash + 1 : path;
        copyCut(base, std::strlen(base), out, cap);
        return 0;
    }
    // Kernel threads and other users' processes: the command name.
    int len = readSmall(proc, "comm", path, sizeof path);
    if (len < 0) return -len;
    if (len > 0 && path[len - 1] == '\n') --len;
    copyCut(path, static_cast<std::size_t>(len), out, cap);
    return 0;
}

int processCpuTime(int proc, std::uint64_t* time100ns)
{
    static const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    char buf[2048];
    int len = readSmall(proc, "stat", buf, sizeof buf);
    if (len < 0) return -len;
    // The command name in parentheses may hold anything, so fields are
    // counted from its closing parenthesis: the state is the first after it,
    // utime and stime the 12th and 13th.
    const char* p = std::strrchr(buf, ')');
    unsigned long long utime, stime;
    if (p == nullptr ||
        std::sscanf(p + 1, " %*c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu %llu", &utime, &stime) != 2 ||
        ticksPerSecond <= 0) {
        return EINVAL;
    }
    *time100ns = (utime + stime) * 10000000ull / static_cast<unsigned long long>(ticksPerSecond);
    return 0;
}

int processRssKiB(int proc, int* kib)
{
    char buf[4096];
    int len = readSmall(proc, "status", buf, sizeof buf);
    if (len < 0) return -len;
    const char* p = std::strstr(buf, "\nVmRSS:");
    if (p == nullptr) return ENOENT;  // kernel threads have none
    *kib = static_cast<int>(std::strtol(p + 7, nullptr, 10));
    return 0;
}

int processorCount()
{
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

}  // namespace platform
