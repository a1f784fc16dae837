// Local socket and owning process of a conversation's end: netlink
// sock_diag for the socket, /proc for what the kernel has no interface for.
#include "platform/sockets.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include "platform/platform.h"

namespace platform {

namespace {

// TCP states as the kernel numbers them (include/net/tcp_states.h).
constexpr int TCP_ESTABLISHED_ = 1;
constexpr int TCP_SYN_RECV_ = 3;
constexpr int TCP_CLOSE_WAIT_ = 8;
constexpr int TCP_LISTEN_ = 10;
constexpr int TCP_NEW_SYN_RECV_ = 12;

bool isV4(const std::array<std::uint8_t, 16>& a)
{
    static const std::uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(a.data(), prefix, 12) == 0;
}

// :: or 0.0.0.0 in its mapped form.
bool isAny(const std::array<std::uint8_t, 16>& a)
{
    for (int i = 0; i < 16; ++i) {
        if (a[i] != 0 && !(isV4(a) && i < 12)) return false;
    }
    return true;
}

// What an inode of 0 means for a TCP socket the kernel still has: one that
// completed (or is completing) its handshake and waits to be accepted will
// belong to a process soon; any other (TIME_WAIT, a socket its process has
// closed) never will.
int noInode(int state)
{
    const bool queued = state == TCP_ESTABLISHED_ || state == TCP_SYN_RECV_ || state == TCP_CLOSE_WAIT_ ||
                        state == TCP_NEW_SYN_RECV_;
    return queued ? EAGAIN : ENOENT;
}

// The best row of the socket tables for ends, kept while the tables are read.
struct ChoiceT {
    int score = 0;
    std::uint64_t inode = 0;
    std::uint32_t uid = 0;
    int state = 0;
};

// Rates one row for ends as the kernel's lookup would; 0 when it cannot be
// the socket. A row with an inode beats one without at the same rank.
int rate(const SocketEndsT& ends, const SocketRowT& row, int state, bool sameFamily)
{
    if (row.localPort != ends.localPort) return 0;
    const bool connected = row.remoteAddr == ends.remote && row.remotePort == ends.remotePort;
    int score = 0;
    if (ends.proto == 6) {
        if (!connected || row.localAddr != ends.local || state == TCP_LISTEN_) return 0;
        score = 8;
    } else if (connected && row.localAddr == ends.local) {
        score = 8;
    } else if (isAny(row.remoteAddr) && row.remotePort == 0) {
        if (row.localAddr == ends.local) score = 4;
        else if (isAny(row.localAddr)) score = 2;
        else return 0;
    } else {
        return 0;
    }
    return (score + (sameFamily ? 1 : 0)) * 2 + (row.inode != 0 ? 1 : 0);
}

// Reads one of /proc/net/{tcp,udp}{,6} into choice with a fixed buffer.
int scanTable(const SocketEndsT& ends, int family, ChoiceT* choice)
{
    const char* path = ends.proto == 6 ? (family == 6 ? "/proc/net/tcp6" : "/proc/net/tcp")
                                       : (family == 6 ? "/proc/net/udp6" : "/proc/net/udp");
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return family == 6 && errno == ENOENT ? 0 : errno;  // IPv6 turned off
    char buf[8192];
    std::size_t have = 0;
    bool skip = false;  // within a line longer than any row
    int err = 0;
    for (;;) {
        ssize_t n = read(fd, buf + have, sizeof buf - 1 - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno;
            break;
        }
        have += static_cast<std::size_t>(n);
        buf[have] = 0;
        char* line = buf;
        while (char* nl = static_cast<char*>(std::memchr(line, '\n', have - static_cast<std::size_t>(line - buf)))) {
            *nl = 0;
            SocketRowT row;
            unsigned state = 0, uid = 0;
            if (!skip && parseSocketRow(line, &row) &&
                std::sscanf(line, " %*u: %*s %*s %x %*s %*s %*s %u", &state, &uid) == 2) {
                int score = rate(ends, row, static_cast<int>(state), (family == 4) == isV4(ends.local));
                if (score > choice->score) *choice = {score, row.inode, uid, static_cast<int>(state)};
            }
            line = nl + 1;
            skip = false;
        }
        const std::size_t rest = have - static_cast<std::size_t>(line - buf);
        if (n == 0) break;  // a last line without its newline is not a whole row
        if (rest == sizeof buf - 1) {
            have = 0;
            skip = true;
        } else {
            std::memmove(buf, line, rest);
            have = rest;
        }
    }
    close(fd);
    return err;
}

}  // namespace

int findSocketInProc(const SocketEndsT& ends, std::uint64_t* inode, std::uint32_t* uid)
{
    if (ends.proto != 6 && ends.proto != 17) return EINVAL;
    ChoiceT choice;
    // An IPv4 conversation may be carried by an IPv6 socket (dual-stack),
    // listed with mapped addresses in the IPv6 table.
    if (isV4(ends.local)) {
        if (int err = scanTable(ends, 4, &choice)) return err;
    }
    if (int err = scanTable(ends, 6, &choice)) return err;
    if (choice.score == 0) return ENOENT;
    if (choice.inode == 0) return ends.proto == 6 ? noInode(choice.state) : ENOENT;
    *inode = choice.inode;
    *uid = choice.uid;
    return 0;
}

// ---- sock_diag ----------------------------------------------------------------

SockDiagT::~SockDiagT()
{
    closeSocket();
}

void SockDiagT::closeSocket()
{
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

namespace {

struct DiagRequestT {
    nlmsghdr nlh;
    inet_diag_req_v2 req;
};

// Receives one datagram from the kernel into buf: its length, or -errno.
// The reply to a request is queued before the request's send returns; the
// timeout only guards against a kernel that does otherwise.
int receive(int fd, char* buf, std::size_t cap)
{
    sockaddr_nl from {};
    iovec iov {buf, cap};
    msghdr msg {};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n;
    do {
        n = recvmsg(fd, &msg, 0);
    } while (n < 0 && errno == EINTR);
    // A timeout must not read as the EAGAIN of a socket not yet accepted.
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? -ETIMEDOUT : -errno;
    if (msg.msg_flags & MSG_TRUNC) return -EMSGSIZE;
    if (msg.msg_namelen != sizeof from || from.nl_pid != 0) return -EPROTO;  // not from the kernel
    return static_cast<int>(n);
}

int sendRequest(int fd, const DiagRequestT& r)
{
    sockaddr_nl to {};
    to.nl_family = AF_NETLINK;
    ssize_t n;
    do {
        n = sendto(fd, &r, sizeof r, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno;
    return n == static_cast<ssize_t>(sizeof r) ? 0 : EIO;
}

// The error of an NLMSG_ERROR (0 for an acknowledgement), or EPROTO when it
// is too short to hold one.
int nlError(const nlmsghdr* h)
{
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return EPROTO;
    const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
    return e->error < 0 ? -e->error : e->error;
}

void toMapped(int family, const std::uint32_t* addr, std::array<std::uint8_t, 16>* out)
{
    if (family == AF_INET) {
        *out = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        std::memcpy(out->data() + 12, addr, 4);
    } else {
        std::memcpy(out->data(), addr, 16);
    }
}

}  // namespace

// Whether the kernel dumps proto and family at all: a dump that matches no
// state ends with NLMSG_DONE where there is a handler, with ENOENT where not.
// 1 it does, -1 it does not, or the errno-style code of a failed exchange.
int SockDiagT::dumpWorks(int proto, int family)
{
    DiagRequestT r {};
    r.nlh.nlmsg_len = sizeof r;
    r.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    r.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    r.nlh.nlmsg_seq = ++seq_;
    r.req.sdiag_family = static_cast<std::uint8_t>(family);
    r.req.sdiag_protocol = static_cast<std::uint8_t>(proto);
    r.req.idiag_states = 0;
    if (int err = sendRequest(fd_, r)) return err;
    alignas(nlmsghdr) char buf[8192];
    for (int round = 0; round < 64; ++round) {
        int n = receive(fd_, buf, sizeof buf);
        if (n < 0) return -n;
        int left = n;
        for (const auto* h = reinterpret_cast<const nlmsghdr*>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_seq != r.nlh.nlmsg_seq) continue;
            if (h->nlmsg_type == NLMSG_ERROR) {
                const int err = nlError(h);
                return err == ENOENT ? -1 : err == 0 ? EPROTO : err;
            }
            if (h->nlmsg_type == NLMSG_DONE) {
                int err = 0;
                if (h->nlmsg_len >= NLMSG_LENGTH(sizeof(int))) std::memcpy(&err, NLMSG_DATA(h), sizeof err);
                return err == 0 ? 1 : -1;
            }
        }
    }
    return EPROTO;
}

int SockDiagT::exchange(const SocketEndsT& ends, bool v4, std::uint64_t* inode, std::uint32_t* uid)
{
    const int family = v4 ? AF_INET : AF_INET6;
    int& works = works_[ends.proto == 6 ? 0 : 1][v4 ? 0 : 1];
    if (works < 0) return -1;
    if (fd_ < 0) {
        fd_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (fd_ < 0) {
            const int err = errno;
            if (err == EPROTONOSUPPORT || err == EAFNOSUPPORT) {
                for (auto& p : works_) p[0] = p[1] = -1;
                return -1;
            }
            return err;
        }
        timeval tv {1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }

    DiagRequestT r {};
    r.nlh.nlmsg_len = sizeof r;
    r.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    r.nlh.nlmsg_flags = NLM_F_REQUEST;
    r.nlh.nlmsg_seq = ++seq_;
    r.req.sdiag_family = static_cast<std::uint8_t>(family);
    r.req.sdiag_protocol = static_cast<std::uint8_t>(ends.proto);
    r.req.idiag_states = ~0u;
    r.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    r.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    // The kernel looks a UDP socket up as it would for an arriving datagram:
    // its source is the remote end. TCP takes the socket's own view.
    const bool swap = ends.proto == 17;
    const auto& src = swap ? ends.remote : ends.local;
    const auto& dst = swap ? ends.local : ends.remote;
    r.req.id.idiag_sport = htons(swap ? ends.remotePort : ends.localPort);
    r.req.id.idiag_dport = htons(swap ? ends.localPort : ends.remotePort);
    std::memcpy(r.req.id.idiag_src, src.data() + (v4 ? 12 : 0), v4 ? 4 : 16);
    std::memcpy(r.req.id.idiag_dst, dst.data() + (v4 ? 12 : 0), v4 ? 4 : 16);
    if (int err = sendRequest(fd_, r)) return err;

    alignas(nlmsghdr) char buf[8192];
    for (int round = 0; round < 8; ++round) {
        int n = receive(fd_, buf, sizeof buf);
        if (n < 0) return -n;
        int left = n;
        for (const auto* h = reinterpret_cast<const nlmsghdr*>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_seq != r.nlh.nlmsg_seq) continue;  // a late reply to an earlier request
            if (h->nlmsg_type == NLMSG_ERROR) {
                int err = nlError(h);
                if (err == ENOENT && works == 0) {
                    // ENOENT also means "no handler for this protocol": ask once.
                    int probe = dumpWorks(ends.proto, family);
                    if (probe == 1 || probe == -1) works = probe;
                    return works < 0 ? -1 : (probe == 1 ? ENOENT : probe);
                }
                if (err == ENOENT || err == 0) return ENOENT;
                if (err == EINVAL || err == EOPNOTSUPP || err == EPROTONOSUPPORT) works = -1;  // an older kernel
                return works < 0 ? -1 : err;
            }
            if (h->nlmsg_type == NLMSG_DONE) return ENOENT;
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                return EPROTO;
            }
            works = 1;
            const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            if (m->idiag_family != AF_INET && m->idiag_family != AF_INET6) return EPROTO;
            if (ends.proto == 6) {
                // Where no connection matches, the kernel answers with the
                // listener of the port: the socket asked for only when asked
                // without a remote end.
                std::array<std::uint8_t, 16> remote;
                toMapped(m->idiag_family, m->id.idiag_dst, &remote);
                const bool listenerAsked = ends.remotePort == 0;
                // A dual-stack listener answers an IPv4 question with ::.
                const bool remoteMatches =
                    listenerAsked ? std::all_of(remote.begin(), remote.end(), [](std::uint8_t b) { return b == 0; }) ||
                                        remote == ends.remote
                                  : remote == ends.remote;
                if ((m->idiag_state == TCP_LISTEN_) != listenerAsked || ntohs(m->id.idiag_dport) != ends.remotePort ||
                    !remoteMatches || ntohs(m->id.idiag_sport) != ends.localPort) {
                    return ENOENT;
                }
                if (m->idiag_inode == 0) return noInode(m->idiag_state);
            } else if (m->idiag_inode == 0 || ntohs(m->id.idiag_sport) != ends.localPort) {
                return ENOENT;
            }
            *inode = m->idiag_inode;
            *uid = m->idiag_uid;
            return 0;
        }
    }
    return EPROTO;
}

int SockDiagT::find(const SocketEndsT& ends, std::uint64_t* inode, std::uint32_t* uid)
{
    if (ends.proto != 6 && ends.proto != 17) return EINVAL;
    const bool v4 = isV4(ends.local) && isV4(ends.remote);
    for (int attempt = 0; attempt < 2; ++attempt) {
        int err = exchange(ends, v4, inode, uid);
        if ((err == ENOENT || err == EAGAIN) && ends.serverEnd && ends.proto == 6 && ends.remotePort != 0) {
            SocketEndsT listener = ends;
            listener.remote = {};
            if (v4) listener.remote[10] = listener.remote[11] = 0xff;
            listener.remotePort = 0;
            if (exchange(listener, v4, inode, uid) == 0) return 0;
        }
        if (err == 0 || err == ENOENT || err == EAGAIN) return err;
        if (err < 0) break;  // no sock_diag for this one
        // The socket may be out of step (a lost reply, a full buffer): a
        // fresh one, then /proc.
        closeSocket();
    }
    ++fallbacks_;
    return findSocketInProc(ends, inode, uid);
}

int findSocket(const SocketEndsT& ends, std::uint64_t* inode, std::uint32_t* uid)
{
    thread_local SockDiagT diag;
    return diag.find(ends, inode, uid);
}

// ---- owners -------------------------------------------------------------------

namespace {

bool isPid(const char* s, int* pid)
{
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (end == s || *end != 0 || v <= 0 || v > 0x7FFFFFFF) return false;
    *pid = static_cast<int>(v);
    return true;
}

// The inode of a "socket:[INODE]" link, or 0.
std::uint64_t socketInode(const char* link, ssize_t n)
{
    if (n < 10 || std::memcmp(link, "socket:[", 8) != 0 || link[n - 1] != ']') return 0;
    std::uint64_t v = 0;
    for (ssize_t i = 8; i < n - 1; ++i) {
        if (link[i] < '0' || link[i] > '9') return 0;
        v = v * 10 + static_cast<std::uint64_t>(link[i] - '0');
    }
    return v;
}

}  // namespace

void SocketOwnersT::readUids(int procFd, int pid, std::uint32_t* uids)
{
    std::fill(uids, uids + 4, ~0u);
    char path[32];
    std::snprintf(path, sizeof path, "%d/status", pid);
    int fd = openat(procFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buf[2048];  // the ids come within the first few hundred bytes
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return;
    buf[n] = 0;
    const char* line = std::strstr(buf, "\nUid:");
    unsigned u[4];
    if (line != nullptr && std::sscanf(line + 5, "%u %u %u %u", &u[0], &u[1], &u[2], &u[3]) == 4) {
        std::copy(u, u + 4, uids);
    }
}

bool SocketOwnersT::stillHeld(std::uint64_t inode, const HolderT& h) const
{
    char path[64], link[64];
    std::snprintf(path, sizeof path, "/proc/%d/fd/%d", h.pid, h.fd);
    ssize_t n = readlink(path, link, sizeof link);
    return n > 0 && socketInode(link, n) == inode;
}

void SocketOwnersT::readFds(int pid)
{
    seen_[pid].read = walk_;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/fd", pid);
    DIR* dir = opendir(path);
    if (dir == nullptr) return;  // gone, or not ours to see
    ++fdDirsRead_;
    while (dirent* e = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != 0 || fd < 0 || fd > 0x7FFFFFFF) continue;  // "." and ".."
        char link[64];
        ssize_t n = readlinkat(dirfd(dir), e->d_name, link, sizeof link);
        std::uint64_t inode = n > 0 ? socketInode(link, n) : 0;
        if (inode == 0) continue;
        const HolderT h {pid, static_cast<int>(fd), walk_};
        auto [it, added] = byInode_.try_emplace(inode, h);
        // A holder seen by an earlier refresh may be gone: this one's word wins;
        // within one refresh, the lowest process id.
        if (!added && (it->second.walk != walk_ || pid < it->second.pid)) it->second = h;
    }
    closedir(dir);
}

// Forgets processes not in this refresh's listing, and the sockets of those
// and of the processes whose fds it read that it did not see again.
void SocketOwnersT::forgetGone()
{
    for (auto it = byInode_.begin(); it != byInode_.end();) {
        auto p = seen_.find(it->second.pid);
        const bool gone = p == seen_.end() || p->second.listed != walk_ ||
                          (p->second.read == walk_ && it->second.walk != walk_);
        it = gone ? byInode_.erase(it) : std::next(it);
    }
    for (auto it = seen_.begin(); it != seen_.end();) {
        it = it->second.listed != walk_ ? seen_.erase(it) : std::next(it);
    }
}

int SocketOwnersT::owner(std::uint64_t inode, std::uint32_t uid, int* pid)
{
    if (inode == 0) return ENOENT;
    if (auto it = byInode_.find(inode); it != byInode_.end()) {
        if (stillHeld(inode, it->second)) {
            *pid = it->second.pid;
            return 0;
        }
        byInode_.erase(it);
    }

    // The processes that held the latest sockets found: a client or a
    // server opens one connection after another, and one look at its fds
    // spares the walk over every process of its user.
    ++walk_;
    for (int p : recentOwners_) {
        if (p == 0) continue;
        readFds(p);
        if (auto it = byInode_.find(inode); it != byInode_.end() && it->second.walk == walk_) {
            *pid = it->second.pid;
            return 0;
        }
    }

    ++refreshes_;
    ++walk_;
    pids_.clear();
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return errno;
    try {
        while (dirent* e = readdir(proc)) {
            int p;
            if (isPid(e->d_name, &p)) pids_.push_back(p);
        }
    } catch (const std::bad_alloc&) {
        closedir(proc);
        return ENOMEM;
    }
    const int procFd = dirfd(proc);

    try {
        // Processes not seen before, the newest first: a new one is the
        // likeliest owner, and a short-lived client may close its socket
        // any moment. Their user ids after their sockets.
        fresh_.clear();
        for (int p : pids_) {
            auto [it, added] = seen_.try_emplace(p, ProcessT {walk_, 0, {}});
            it->second.listed = walk_;
            if (added) fresh_.push_back(p);
        }
        for (auto p = fresh_.rbegin(); p != fresh_.rend(); ++p) readFds(*p);
        for (int p : fresh_) readUids(procFd, p, seen_[p].uids);
        auto found = byInode_.find(inode);
        if (found == byInode_.end() || found->second.walk != walk_) {
            // Then every process of the socket's user, read again.
            for (int p : pids_) {
                const ProcessT& proc = seen_[p];
                if (proc.read == walk_) continue;
                if (std::find(std::begin(proc.uids), std::end(proc.uids), uid) != std::end(proc.uids)) readFds(p);
            }
        }
        // On every refresh, so that a run of short-lived programs, each found
        // among the new processes, does not fill the cache.
        forgetGone();
    } catch (const std::bad_alloc&) {
        closedir(proc);
        return ENOMEM;
    }
    closedir(proc);

    auto it = byInode_.find(inode);
    if (it == byInode_.end() || it->second.walk != walk_) return ENOENT;
    *pid = it->second.pid;
    if (std::find(std::begin(recentOwners_), std::end(recentOwners_), *pid) == std::end(recentOwners_)) {
        recentOwners_[nextRecent_++ % std::size(recentOwners_)] = *pid;
    }
    return 0;
}

}  // namespace platform
