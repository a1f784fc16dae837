// Which local socket, and which process, is one end of a conversation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace platform {

// One end of a conversation on this machine and its peer. Addresses are 16
// bytes in network order, an IPv4 one in its IPv4-mapped form (::ffff:a.b.c.d)
// as in SocketRowT; ports in host order.
struct SocketEndsT {
    int proto;  // 6 TCP, 17 UDP
    std::array<std::uint8_t, 16> local, remote;
    std::uint16_t localPort, remotePort;
    // A server's end: where the connection has no socket of its own (not
    // accepted yet, or closed already), the listener of its port answers.
    bool serverEnd = false;
};

// A netlink sock_diag socket kept open for exact lookups, one per thread that
// looks up (not shared: an exchange is a send and its reply). Opened on first
// use and reopened after an error; a protocol and family the kernel has no
// sock_diag handler for are remembered and read from /proc/net instead.
class SockDiagT {
public:
    SockDiagT() = default;
    ~SockDiagT();
    SockDiagT(const SockDiagT&) = delete;
    SockDiagT& operator=(const SockDiagT&) = delete;

    // As findSocket below.
    int find(const SocketEndsT& ends, std::uint64_t* inode, std::uint32_t* uid);
    // Lookups answered from /proc/net because sock_diag could not.
    std::uint64_t fallbacks() const { return fallbacks_; }

private:
    // 0 with the socket, or an errno-style code; -1 when sock_diag cannot
    // answer for this protocol and family.
    int exchange(const SocketEndsT& ends, bool v4, std::uint64_t* inode, std::uint32_t* uid);
    int dumpWorks(int proto, int family);
    void closeSocket();

    int fd_ = -1;
    std::uint32_t seq_ = 0;
    // Per protocol (TCP, UDP) and family (IPv4, IPv6): 0 not yet known,
    // 1 sock_diag answers, -1 it does not.
    int works_[2][2] = {};
    std::uint64_t fallbacks_ = 0;
};

// The socket of that end from the kernel's socket tables: netlink sock_diag
// (inet_diag, an exact lookup of the 4-tuple, IPv4 or IPv6 by the address
// form; for UDP the kernel's best match, which finds an unconnected server
// socket too); /proc/net as the fallback where sock_diag is not there
// (EPROTONOSUPPORT, ENOENT of the module, an old kernel). 0 with *inode and
// *uid, ENOENT when there is no such socket (closed already, or a TIME_WAIT
// one with inode 0), or an errno-style code. A listening socket is not a
// conversation's end (ENOENT). EAGAIN for a TCP connection the kernel holds
// but no process has yet (waiting in a listener's queue to be accepted):
// asking again later may find it.
// Uses a SockDiagT of the calling thread's own.
int findSocket(const SocketEndsT& ends, std::uint64_t* inode, std::uint32_t* uid);
// The same from /proc/net/{tcp,udp}{,6} alone, as the kernel's own lookup
// would choose (UDP: a connected socket of the 4-tuple first, else an
// unconnected one on the local port, one bound to the address before one
// bound to the wildcard). Reads the tables with a fixed buffer.
int findSocketInProc(const SocketEndsT& ends, std::uint64_t* inode, std::uint32_t* uid);

// The process holding socket inode open, from a cache of /proc/PID/fd
// links (socket:[INODE]) kept by the caller's object. A miss looks first at
// the last few processes found holding a socket (a program opens one
// connection after another), then refreshes the cache: from the processes
// not seen before, newest first, then from every process of uid (the
// socket's owner: a process with uid among its user ids, as
// /proc/PID/status gave them when it was first seen; not /proc/PID's owner,
// which is root for a daemon that dropped its privileges), so that a miss
// costs one user's processes, not the machine's. A socket held by several
// processes goes to the first of those last owners that holds it, else to
// the lowest process id of those the refresh that found it read.
// 0 with *pid, ENOENT when no process holds it, or an errno-style code.
// A hit is checked with one readlink of the link it came from, so a socket
// closed since, or a process gone, is not answered from the cache. Entries
// of processes gone, and of sockets that the processes read again no longer
// hold, are forgotten on each refresh. Not thread-safe: one object per
// thread.
class SocketOwnersT {
public:
    int owner(std::uint64_t inode, std::uint32_t uid, int* pid);
    std::uint64_t refreshes() const { return refreshes_; }  // how often /proc was walked (for the figures)
    std::uint64_t fdDirsRead() const { return fdDirsRead_; }  // /proc/PID/fd folders read, over all refreshes
    std::size_t cached() const { return byInode_.size(); }

private:
    struct HolderT {
        int pid;
        int fd;
        std::uint64_t walk;  // the refresh that saw it
    };
    struct ProcessT {
        std::uint64_t listed;  // last refresh that found it in /proc
        std::uint64_t read;    // last refresh that read its fds
        // Real, effective, saved and file-system user ids when first seen;
        // none readable: all ~0.
        std::uint32_t uids[4];
    };
    bool stillHeld(std::uint64_t inode, const HolderT& h) const;
    void readFds(int pid);
    static void readUids(int procFd, int pid, std::uint32_t* uids);
    void forgetGone();

    std::unordered_map<std::uint64_t, HolderT> byInode_;
    std::unordered_map<int, ProcessT> seen_;
    std::vector<int> pids_;   // one listing of /proc, kept for its capacity
    std::vector<int> fresh_;  // the processes first seen in it
    int recentOwners_[4] = {};  // the last processes a refresh found holding a socket
    unsigned nextRecent_ = 0;
    std::uint64_t walk_ = 0;
    std::uint64_t refreshes_ = 0;
    std::uint64_t fdDirsRead_ = 0;
};

}  // namespace platform
