// Port-to-process attribution on this machine's own sockets.
#include "output/portproc.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include <cstring>
#include <ctime>

#include "platform/platform.h"

// A port that had another owner is cleared, at 0 % CPU; the next sample shows the machine's share used in between.
TEST(PortProcess, OwnSocketsShowThisProcess)
{
    int fds[2] = {socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    int ports[2];
    for (int i = 0; i < 2; ++i) {
        sockaddr_in a {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        ASSERT_EQ(bind(fds[i], reinterpret_cast<sockaddr*>(&a), len), 0);  // any free port
        ASSERT_EQ(getsockname(fds[i], reinterpret_cast<sockaddr*>(&a), &len), 0);
        ports[i] = ntohs(a.sin_port);
        globalValue.portProc[ports[i]] = PortProcT {42.0f, "previous", 999999999, ports[i], 1, 1, 123};
    }
    ASSERT_EQ(listen(fds[0], 4), 0);
    char path[4096];
    ASSERT_EQ(platform::exePath(path, sizeof path), 0);
    ASSERT_EQ(getPortProcess(), 0);
    for (int port : ports) {
        const PortProcT& e = globalValue.portProc[port];
        EXPECT_EQ(std::pair(e.pid, e.port), std::pair(getpid(), port));
        EXPECT_STREQ(e.name, std::strrchr(path, '/') + 1);
        EXPECT_GT(e.mem, 0);
        EXPECT_EQ(e.cpu, 0.0f);
    }

    // One processor busy for 300 ms of this process's time.
    const std::clock_t cpu0 = std::clock();
    const u32 wall0 = platform::tickCountMs();
    for (volatile u64 spin = 0; std::clock() - cpu0 < CLOCKS_PER_SEC * 3 / 10;) spin = spin + 1;
    ASSERT_EQ(getPortProcess(), 0);
    const double cpuMs = static_cast<double>(std::clock() - cpu0) * 1000 / CLOCKS_PER_SEC;
    const double want = cpuMs / (platform::tickCountMs() - wall0) * 100 / platform::processorCount();
    EXPECT_GT(globalValue.portProc[ports[0]].cpu, want * 0.6);
    EXPECT_LT(globalValue.portProc[ports[0]].cpu, want * 1.4);
    for (int fd : fds) close(fd);
}

// Another process's IPv6 sockets: a listener on ::1 connected to itself, a dual-stack UDP socket on ::, and a
// listener on ::1 at the port of an IPv4 listener of this process, which the IPv6 owner takes.
TEST(PortProcess, Ipv6SocketsOfAnotherProcess)
{
    int v4 = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    sockaddr* sa = reinterpret_cast<sockaddr*>(&a);
    ASSERT_TRUE(bind(v4, sa, len) == 0 && listen(v4, 1) == 0 && getsockname(v4, sa, &len) == 0);
    char cmd[1024];
    std::snprintf(cmd, sizeof cmd, "exec python3 -c '%s' %d", R"(
import os, socket as s, sys, time
t = s.socket(s.AF_INET6); t.bind(("::1", 0)); t.listen(4); c = s.create_connection(t.getsockname()[:2]); d = t.accept()
u = s.socket(s.AF_INET6, s.SOCK_DGRAM); u.bind(("::", 0))
v = s.socket(s.AF_INET6); v.bind(("::1", int(sys.argv[1]))); v.listen(1)
print(os.getpid(), t.getsockname()[1], c.getsockname()[1], u.getsockname()[1], flush=True); time.sleep(60)
)", ntohs(a.sin_port));
    FILE* child = popen(cmd, "r");
    int pid = 0, ports[4] = {0, 0, 0, ntohs(a.sin_port)};
    ASSERT_EQ(std::fscanf(child, "%d %d %d %d", &pid, &ports[0], &ports[1], &ports[2]), 4);
    ASSERT_EQ(getPortProcess(), 0);
    for (int port : ports) {
        EXPECT_EQ(globalValue.portProc[port].pid, pid) << port;
        EXPECT_EQ(std::strncmp(globalValue.portProc[port].name, "python3", 7), 0) << globalValue.portProc[port].name;
    }
    kill(pid, SIGTERM);
    pclose(child);
    close(v4);
}
