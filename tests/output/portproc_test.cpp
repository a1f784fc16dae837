// Port-to-process attribution on this machine's own sockets.
#include "output/portproc.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>

#include "platform/platform.h"

namespace {

// A socket bound to 127.0.0.1:*port (0: any free port, then set), or -1.
int boundSocket(int type, int* port)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(*port));
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && listen(fd, 4) != 0) || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

double cpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A port that had another owner is cleared and starts at 0 % CPU; the next
// sample shows the share of the machine used in between.
TEST(PortProcess, OwnSocketsShowThisProcess)
{
    int ports[2] = {0, 0};
    const int fds[2] = {boundSocket(SOCK_STREAM, &ports[0]), boundSocket(SOCK_DGRAM, &ports[1])};
    ASSERT_TRUE(fds[0] >= 0 && fds[1] >= 0);
    char path[4096];
    ASSERT_EQ(platform::exePath(path, sizeof path), 0);
    for (int port : ports) globalValue.portProc[port] = PortProcT {42.0f, "previous", 999999999, port, 1, 1, 123};
    ASSERT_EQ(getPortProcess(), 0);
    for (int port : ports) {
        const PortProcT& e = globalValue.portProc[port];
        EXPECT_EQ(std::pair(e.pid, e.port), std::pair(getpid(), port));
        EXPECT_STREQ(e.name, std::strrchr(path, '/') + 1);
        EXPECT_GT(e.mem, 0);
        EXPECT_EQ(e.cpu, 0.0f);
    }

    // One processor busy for 300 ms of this process's time.
    const double cpu0 = cpuSeconds();
    const u32 wall0 = platform::tickCountMs();
    for (volatile u64 spin = 0; cpuSeconds() - cpu0 < 0.3;) spin = spin + 1;
    ASSERT_EQ(getPortProcess(), 0);
    const double busy = (cpuSeconds() - cpu0) / ((platform::tickCountMs() - wall0) / 1000.0);
    const double want = busy * 100 / platform::processorCount();
    EXPECT_GT(globalValue.portProc[ports[0]].cpu, want * 0.6);
    EXPECT_LT(globalValue.portProc[ports[0]].cpu, want * 1.4);
    for (int fd : fds) close(fd);
}

}  // namespace
