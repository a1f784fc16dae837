// The interfaces with their flags and addresses (getifaddrs) and the default
// routes through them (/proc/net/route, /proc/net/ipv6_route).
#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

InterfaceT* findOrAdd(std::vector<InterfaceT>& list, const char* label)
{
    // A secondary address is labelled "eth0:1"; it belongs to eth0.
    char name[sizeof InterfaceT::name];
    std::size_t n = std::strcspn(label, ":");
    if (n >= sizeof name) n = sizeof name - 1;
    std::memcpy(name, label, n);
    name[n] = '\0';
    for (InterfaceT& i : list) {
        if (std::strcmp(i.name, name) == 0) return &i;
    }
    InterfaceT fresh {};
    std::memcpy(fresh.name, name, n + 1);
    fresh.defaultV4 = fresh.defaultV6 = -1;
    list.push_back(fresh);
    return &list.back();
}

void addAddress(InterfaceT& i, const sockaddr* sa)
{
    if (i.cntAddr >= MAX_IF_ADDR) return;
    std::array<std::uint8_t, 16>& a = i.addr[i.cntAddr];
    a = {};
    if (sa->sa_family == AF_INET) {
        sockaddr_in sin;
        std::memcpy(&sin, sa, sizeof sin);
        a[10] = a[11] = 0xff;
        std::memcpy(&a[12], &sin.sin_addr, 4);
    } else {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, sa, sizeof sin6);
        std::memcpy(a.data(), &sin6.sin6_addr, 16);
    }
    i.cntAddr++;
}

void readDefaultRoutes(const char* path, int family, std::vector<InterfaceT>& list)
{
    FILE* fp = std::fopen(path, "r");
    if (fp == nullptr) return;
    char line[512];
    while (std::fgets(line, sizeof line, fp) != nullptr) {
        char name[sizeof InterfaceT::name];
        long metric;
        if (!parseDefaultRoute(line, family, name, sizeof name, &metric)) continue;
        for (InterfaceT& i : list) {
            if (std::strcmp(i.name, name) != 0) continue;
            long& best = family == 4 ? i.defaultV4 : i.defaultV6;
            if (best < 0 || metric < best) best = metric;
        }
    }
    std::fclose(fp);
}

}  // namespace

bool parseDefaultRoute(const char* line, int family, char* iface, std::size_t cap, long* metric)
{
    char name[64];
    unsigned flags = 0;
    unsigned long m = 0;
    bool isDefault = false;
    if (family == 4) {
        // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
        unsigned dest, gateway, mask;
        int refs, use;
        if (std::sscanf(line, "%63s %x %x %x %d %d %lu %x", name, &dest, &gateway, &flags, &refs, &use, &m, &mask) !=
            8) {
            return false;
        }
        isDefault = dest == 0 && mask == 0;
    } else {
        // Destination, its prefix length, source, its prefix length, next
        // hop, metric, references, use, flags, interface; numbers in hex.
        char dest[40], src[40], hop[40];
        unsigned plen, srcPlen, refs, use;
        if (std::sscanf(line, "%39s %x %39s %x %39s %lx %x %x %x %63s", dest, &plen, src, &srcPlen, hop, &m, &refs,
                        &use, &flags, name) != 10) {
            return false;
        }
        isDefault = plen == 0 && std::strspn(dest, "0") == 32 && dest[32] == '\0';
    }
    if (!isDefault || (flags & RTF_UP) == 0 || (flags & RTF_REJECT) != 0 || std::strlen(name) >= cap) return false;
    std::strcpy(iface, name);
    *metric = static_cast<long>(m);
    return true;
}

int listInterfaces(std::vector<InterfaceT>& out)
{
    out.clear();
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) return errno;
    for (const ifaddrs* p = all; p != nullptr; p = p->ifa_next) {
        if (p->ifa_name == nullptr) continue;
        InterfaceT* i = findOrAdd(out, p->ifa_name);
        i->up = i->up || (p->ifa_flags & IFF_UP) != 0;
        i->loopback = i->loopback || (p->ifa_flags & IFF_LOOPBACK) != 0;
        if (p->ifa_addr != nullptr && (p->ifa_addr->sa_family == AF_INET || p->ifa_addr->sa_family == AF_INET6)) {
            addAddress(*i, p->ifa_addr);
        }
    }
    freeifaddrs(all);
    readDefaultRoutes("/proc/net/route", 4, out);
    readDefaultRoutes("/proc/net/ipv6_route", 6, out);
    return 0;
}

}  // namespace platform
