// Port-to-process attribution on this machine's own sockets.
#include "output/portproc.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>

#include "platform/platform.h"

namespace {

// A socket bound to 127.0.0.1:port (0 = any free port), or -1.
int boundSocket(int type, int port, int* boundPort)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && listen(fd, 4) != 0) || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *boundPort = ntohs(a.sin_port);
    return fd;
}

std::string exeBaseName()
{
    char path[4096];
    if (platform::exePath(path, sizeof path) != 0) return "";
    return std::strrchr(path, '/') + 1;
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
    int ports[2];
    int fds[2] = {boundSocket(SOCK_STREAM, 0, &ports[0]), boundSocket(SOCK_DGRAM, 0, &ports[1])};
    ASSERT_TRUE(fds[0] >= 0 && fds[1] >= 0);
    for (int port : ports) {
        globalValue.portProc[port] = PortProcT {42.0f, "previous", 999999999, port, 1, 1, 123};
    }
    ASSERT_EQ(getPortProcess(), 0);
    for (int port : ports) {
        const PortProcT& e = globalValue.portProc[port];
        EXPECT_EQ(e.pid, getpid()) << port;
        EXPECT_EQ(e.port, port);
        EXPECT_EQ(e.name, exeBaseName());
        EXPECT_GT(e.mem, 0);
        EXPECT_EQ(e.cpu, 0.0f);
    }

    // One processor busy for 300 ms of this process's time.
    double cpu0 = cpuSeconds();
    u32 wall0 = platform::tickCountMs();
    for (volatile u64 spin = 0; cpuSeconds() - cpu0 < 0.3;) spin = spin + 1;
    ASSERT_EQ(getPortProcess(), 0);
    double busy = (cpuSeconds() - cpu0) / ((platform::tickCountMs() - wall0) / 1000.0);
    double want = busy * 100 / platform::processorCount();
    EXPECT_GT(globalValue.portProc[ports[0]].cpu, want * 0.6);
    EXPECT_LT(globalValue.portProc[ports[0]].cpu, want * 1.4);
    for (int fd : fds) close(fd);
}

// TCP rows come first: a port number held by a TCP socket of this process
// and a UDP socket of another describes the UDP owner.
TEST(PortProcess, UdpOwnerWinsASharedPortNumber)
{
    int port, unused;
    int tcp = boundSocket(SOCK_STREAM, 0, &port);
    int ready[2], done[2];
    ASSERT_TRUE(tcp >= 0 && pipe(ready) == 0 && pipe(done) == 0);
    pid_t child = fork();
    if (child == 0) {
        close(tcp);
        char ok = boundSocket(SOCK_DGRAM, port, &unused) >= 0;
        (void)!write(ready[1], &ok, 1);
        (void)!read(done[0], &ok, 1);
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    if (ok) {
        EXPECT_EQ(getPortProcess(), 0);
        EXPECT_EQ(globalValue.portProc[port].pid, child);
    }
    (void)!write(done[1], &ok, 1);
    waitpid(child, nullptr, 0);
    for (int fd : {ready[0], ready[1], done[0], done[1], tcp}) close(fd);
    if (!ok) GTEST_SKIP() << "UDP port " << port << " is taken";
}

}  // namespace
