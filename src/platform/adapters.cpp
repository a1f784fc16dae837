// The adapter report, built from getifaddrs() in the line format the card
// parser reads.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

// Appends whole lines only. A cut line could still parse, as a shorter
// address or an address under the wrong heading, so once one line does not
// fit nothing more is written.
struct ReportWriter {
    char* out;
    std::size_t cap;
    std::size_t len = 0;
    bool full = false;

    void line(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (full) {
            return;
        }
        char buf[256];
        va_list ap;
        va_start(ap, format);
        int n = std::vsnprintf(buf, sizeof buf, format, ap);
        va_end(ap);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof buf || len + n >= cap) {
            full = true;
            return;
        }
        std::memcpy(out + len, buf, n);
        len += n;
        out[len] = '\0';
    }
};

// Secondary addresses carry a label such as "eth0:1"; they belong to eth0.
void baseName(const char* name, char* out, std::size_t cap)
{
    std::size_t i = 0;
    for (; name[i] != '\0' && name[i] != ':' && i + 1 < cap; ++i) {
        out[i] = name[i];
    }
    out[i] = '\0';
}

bool sameInterface(const ifaddrs* ifa, const char* base)
{
    char name[64];
    if (ifa->ifa_name == nullptr) {
        return false;
    }
    baseName(ifa->ifa_name, name, sizeof name);
    return std::strcmp(name, base) == 0;
}

// Each IPv4 address completes a card of its own, so an interface with
// several addresses repeats its heading and physical address before each;
// one without IPv4 is completed by an IPv6 address.
void writeInterface(ReportWriter& w, const ifaddrs* list, const char* base)
{
    char mac[128] = "";
    for (const ifaddrs* p = list; p != nullptr; p = p->ifa_next) {
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_PACKET || !sameInterface(p, base)) {
            continue;
        }
        sockaddr_ll ll;
        std::memcpy(&ll, p->ifa_addr, sizeof ll);
        if (ll.sll_halen == 6) {
            const unsigned char* m = ll.sll_addr;
            std::snprintf(mac, sizeof mac, "   Physical Address. . . . . . . . . : %02X-%02X-%02X-%02X-%02X-%02X\n",
                          m[0], m[1], m[2], m[3], m[4], m[5]);
        }
        break;
    }

    bool any = false;
    for (const ifaddrs* p = list; p != nullptr; p = p->ifa_next) {
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET || !sameInterface(p, base)) {
            continue;
        }
        sockaddr_in sin;
        std::memcpy(&sin, p->ifa_addr, sizeof sin);
        char text[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text) == nullptr) {
            continue;
        }
        w.line("%s\n", base);
        if (mac[0] != '\0') w.line("%s", mac);
        w.line("   IPv4 Address. . . . . . . . . . . : %s(Preferred)\n", text);
        any = true;
    }
    if (any) return;
    // A card without IPv4 is listed by one IPv6 address: the first global
    // one, else its link-local one (a mirror port often has no other).
    char v6[INET6_ADDRSTRLEN] = "";
    bool global = false;
    for (const ifaddrs* p = list; p != nullptr && !global; p = p->ifa_next) {
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET6 || !sameInterface(p, base)) {
            continue;
        }
        sockaddr_in6 sin6;
        std::memcpy(&sin6, p->ifa_addr, sizeof sin6);
        const bool linkLocal = IN6_IS_ADDR_LINKLOCAL(&sin6.sin6_addr);
        if ((v6[0] == '\0' || !linkLocal) && inet_ntop(AF_INET6, &sin6.sin6_addr, v6, sizeof v6) != nullptr) {
            global = !linkLocal;
        }
    }
    w.line("%s\n", base);
    if (mac[0] != '\0') w.line("%s", mac);
    if (v6[0] != '\0') {
        w.line("   %s. . . . . . . . . . . : %s(Preferred)\n", global ? "IPv6 Address" : "Link-local IPv6 Address", v6);
    }
}

}  // namespace

int adapterReport(char* out, std::size_t cap)
{
    if (out == nullptr) {
        return -1;
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return -1;
    }
    ReportWriter w{out, cap};
    if (cap > 0) {
        out[0] = '\0';
    }

    for (const ifaddrs* ifa = list; ifa != nullptr && !w.full; ifa = ifa->ifa_next) {
        if (ifa->ifa_name == nullptr) {
            continue;
        }
        char base[64];
        baseName(ifa->ifa_name, base, sizeof base);
        bool listedBefore = false;
        for (const ifaddrs* p = list; p != ifa; p = p->ifa_next) {
            if (sameInterface(p, base)) {
                listedBefore = true;
                break;
            }
        }
        if (!listedBefore) {
            writeInterface(w, list, base);
        }
    }

    freeifaddrs(list);
    return static_cast<int>(w.len);
}

}  // namespace platform
