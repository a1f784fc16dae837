#include "platform/sockets.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace {

using platform::SocketEndsT;

// A socket address as the lookups take it: 16 bytes, IPv4 mapped.
void toEnd(const sockaddr_storage& sa, std::array<std::uint8_t, 16>* addr, std::uint16_t* port)
{
    const auto* a4 = reinterpret_cast<const sockaddr_in*>(&sa);
    const auto* a6 = reinterpret_cast<const sockaddr_in6*>(&sa);
    *addr = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (sa.ss_family == AF_INET) std::memcpy(addr->data() + 12, &a4->sin_addr, 4);
    else std::memcpy(addr->data(), &a6->sin6_addr, 16);
    *port = ntohs(sa.ss_family == AF_INET ? a4->sin_port : a6->sin6_port);
}

SocketEndsT endsOf(int fd, int proto)
{
    SocketEndsT e {};
    e.proto = proto;
    sockaddr_storage sa {};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    toEnd(sa, &e.local, &e.localPort);
    getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &(len = sizeof sa));
    toEnd(sa, &e.remote, &e.remotePort);
    return e;
}

// The ends as the socket's peer sees them.
SocketEndsT flip(SocketEndsT e)
{
    std::swap(e.local, e.remote);
    std::swap(e.localPort, e.remotePort);
    return e;
}

std::uint64_t inodeOf(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

// A socket bound to loopback (or the wildcard), port chosen by the kernel,
// or connected to the port of peer on loopback.
int makeSocket(int family, int type, bool wildcard, int peer = -1)
{
    int fd = socket(family, type | SOCK_CLOEXEC, 0);
    sockaddr_storage sa {};
    socklen_t len = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (peer >= 0) getsockname(peer, reinterpret_cast<sockaddr*>(&sa), &len);
    sa.ss_family = static_cast<sa_family_t>(family);
    if (family == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&sa)->sin_addr.s_addr = htonl(wildcard ? INADDR_ANY : INADDR_LOOPBACK);
    } else {
        reinterpret_cast<sockaddr_in6*>(&sa)->sin6_addr = wildcard ? in6addr_any : in6addr_loopback;
    }
    auto* a = reinterpret_cast<sockaddr*>(&sa);
    const int err = peer >= 0 ? connect(fd, a, len) : bind(fd, a, len);
    if (err != 0) close(fd);
    return err == 0 ? fd : -1;
}

using LookupFn = int (*)(const SocketEndsT&, std::uint64_t*, std::uint32_t*);

// sock_diag alone: the lookups it could not answer are counted.
platform::SockDiagT diag;
int diagFind(const SocketEndsT& e, std::uint64_t* inode, std::uint32_t* uid) { return diag.find(e, inode, uid); }

struct CaseT {
    const char* name;
    int family;
    LookupFn lookup;
};

class SocketLookup : public ::testing::TestWithParam<CaseT> {
protected:
    // The lookup's answer: its code, and the inode when found.
    std::pair<int, std::uint64_t> find(const SocketEndsT& e)
    {
        std::uint64_t inode = 0;
        std::uint32_t uid = ~0u;
        int err = GetParam().lookup(e, &inode, &uid);
        EXPECT_TRUE(err != 0 || uid == geteuid());
        return {err, err == 0 ? inode : 0};
    }
    int family() const { return GetParam().family; }
    void TearDown() override { EXPECT_EQ(diag.fallbacks(), 0u); }
};

TEST_P(SocketLookup, TcpBothEndsNotTheListenerNorClosed)
{
    int listener = makeSocket(family(), SOCK_STREAM, false);
    ASSERT_EQ(listen(listener, 4), 0);
    int client = makeSocket(family(), SOCK_STREAM, false, listener);
    const SocketEndsT clientEnds = endsOf(client, 6);
    // Connected, not yet accepted: the kernel has it, no process does.
    EXPECT_EQ(find(flip(clientEnds)).first, EAGAIN);
    int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(server, 0);

    EXPECT_EQ(find(clientEnds), std::make_pair(0, inodeOf(client)));
    EXPECT_EQ(find(endsOf(server, 6)), std::make_pair(0, inodeOf(server)));
    // Another peer of the listener's port: only the listener matches it.
    SocketEndsT stranger = flip(clientEnds);
    EXPECT_EQ(find((++stranger.remotePort, stranger)).first, ENOENT);

    close(client);  // TIME_WAIT on this side, without an inode
    close(server);
    EXPECT_EQ(find(clientEnds).first, ENOENT);
    EXPECT_EQ(find(flip(clientEnds)).first, ENOENT);
    close(listener);
}

TEST_P(SocketLookup, UdpConnectedAndServerSockets)
{
    for (bool wildcard : {false, true}) {
        SCOPED_TRACE(wildcard ? "server on the wildcard address" : "server on loopback");
        int server = makeSocket(family(), SOCK_DGRAM, wildcard);
        int client = makeSocket(family(), SOCK_DGRAM, false, server);
        const SocketEndsT clientEnds = endsOf(client, 17);
        EXPECT_EQ(find(clientEnds), std::make_pair(0, inodeOf(client)));
        // The unconnected server, through its peer's 4-tuple.
        EXPECT_EQ(find(flip(clientEnds)), std::make_pair(0, inodeOf(server)));
        close(client);
        close(server);
        EXPECT_EQ(find(clientEnds).first, ENOENT);
        EXPECT_EQ(find(flip(clientEnds)).first, ENOENT);
    }
}

INSTANTIATE_TEST_SUITE_P(Sockets, SocketLookup,
                         ::testing::Values(CaseT {"diag4", AF_INET, diagFind},
                                           CaseT {"diag6", AF_INET6, diagFind},
                                           CaseT {"proc4", AF_INET, platform::findSocketInProc},
                                           CaseT {"proc6", AF_INET6, platform::findSocketInProc}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SocketOwners, OwnSocketsChildsAndShared)
{
    platform::SocketOwnersT owners;
    int listener = makeSocket(AF_INET, SOCK_STREAM, false);
    ASSERT_EQ(listen(listener, 4), 0);
    auto ownerOf = [&owners](const SocketEndsT& e) {
        std::uint64_t inode = 0;
        std::uint32_t uid = 0;
        int pid = 0, err = platform::findSocket(e, &inode, &uid);
        if (err == 0) err = owners.owner(inode, uid, &pid);
        return std::make_pair(err, pid);
    };

    int shared = makeSocket(AF_INET, SOCK_STREAM, false, listener);
    int toChild[2], fromChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(fromChild), 0);
    // The child drops to another user, as a server's workers do (which
    // leaves /proc/PID to root), and makes its connection only after the
    // cache has seen it: found by reading that user's processes again.
    const uid_t childUid = geteuid() == 0 ? 65534 : geteuid();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char c = 'n';
        if (setresuid(childUid, childUid, childUid) != 0 || write(fromChild[1], &c, 1) != 1) _exit(1);
        if (read(toChild[0], &c, 1) != 1) _exit(1);
        int own = makeSocket(AF_INET, SOCK_STREAM, false, listener);
        c = own >= 0 ? 'y' : 'n';
        if (write(fromChild[1], &c, 1) != 1 || read(toChild[0], &c, 1) != 1) _exit(1);
        close(own);
        _exit(0);
    }
    // A failed assertion must not leave the child waiting.
    struct ReapT {
        pid_t pid;
        ~ReapT() { pid > 0 && kill(pid, SIGKILL) == 0 && waitpid(pid, nullptr, 0) == pid; }
    } reap {child};
    char c = 0;
    ASSERT_EQ(read(fromChild[0], &c, 1), 1);
    // Held by both: the lower process id.
    EXPECT_EQ(ownerOf(endsOf(shared, 6)), std::make_pair(0, getpid()));
    ASSERT_EQ(write(toChild[1], "c", 1), 1);
    ASSERT_EQ(read(fromChild[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    int accepted[2];
    for (int& a : accepted) a = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    // Which accepted socket is the child's: the one whose peer is not shared.
    const SocketEndsT sharedEnds = endsOf(shared, 6);
    const int forChild = flip(endsOf(accepted[0], 6)).localPort == sharedEnds.localPort ? accepted[1] : accepted[0];
    const SocketEndsT childEnds = flip(endsOf(forChild, 6));

    std::uint64_t inode = 0;
    std::uint32_t uid = 0;
    ASSERT_EQ(platform::findSocket(childEnds, &inode, &uid), 0);
    EXPECT_EQ(uid, childUid);
    EXPECT_EQ(ownerOf(childEnds), std::make_pair(0, child));
    EXPECT_EQ(ownerOf(endsOf(forChild, 6)), std::make_pair(0, getpid()));
    const std::uint64_t walks = owners.refreshes();
    EXPECT_EQ(ownerOf(childEnds), std::make_pair(0, child));  // from the cache
    EXPECT_EQ(owners.refreshes(), walks);

    // Its socket closed and the child gone: neither the kernel nor the cache names it.
    ASSERT_EQ(write(toChild[1], "x", 1), 1);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    reap.pid = 0;
    int pid = 0;
    EXPECT_EQ(owners.owner(inode, uid, &pid), ENOENT);
    EXPECT_EQ(ownerOf(childEnds).first, ENOENT);
    EXPECT_EQ(ownerOf(sharedEnds), std::make_pair(0, getpid()));

    for (int fd : {accepted[0], accepted[1], shared, listener, toChild[0], toChild[1], fromChild[0], fromChild[1]}) {
        close(fd);
    }
}

}  // namespace
