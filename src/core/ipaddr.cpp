#include "core/ipaddr.h"

#include <arpa/inet.h>

#include <cstdio>

u32 ipFoldV6(const IpAddrT& a)
{
    u32 w[4];
    std::memcpy(w, a.b, sizeof w);
    // Each word taken in, then every bit of the sum spread over all of them
    // (the finish of MurmurHash3), so that a host part and a prefix alike
    // reach the low bits that pick a bucket.
    u32 h = 0;
    for (u32 x : w) {
        h ^= x;
        h = ((h << 15) | (h >> 17)) * 0x9E3779B1u;  // high bits down before they are multiplied away
    }
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    return h ^ (h >> 16);
}

namespace {

// Written by hand, not through a format: the records print an address or
// three each, and a busy web server makes hundreds of thousands of them.
char* putDecimal(char* at, unsigned v)
{
    if (v >= 100) *at++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *at++ = static_cast<char>('0' + v / 10 % 10);
    *at++ = static_cast<char>('0' + v % 10);
    return at;
}

char* putHex(char* at, unsigned v)
{
    static const char digit[] = "0123456789abcdef";
    bool lead = true;
    for (int shift = 12; shift >= 0; shift -= 4) {
        unsigned d = (v >> shift) & 0xF;
        if (lead && d == 0 && shift > 0) continue;
        lead = false;
        *at++ = digit[d];
    }
    return at;
}

}  // namespace

int formatIp(const IpAddrT& a, char* out)
{
    char* at = out;
    if (ipIsV4(a)) {
        for (int i = 12; i < 16; i++) {
            if (i > 12) *at++ = '.';
            at = putDecimal(at, a.b[i]);
        }
        *at = '\0';
        return static_cast<int>(at - out);
    }
    unsigned group[8];
    for (int i = 0; i < 8; i++) group[i] = static_cast<unsigned>(a.b[2 * i] << 8 | a.b[2 * i + 1]);
    // The first longest run of zero groups, if it is at least two long.
    int runAt = -1, runLen = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && group[j] == 0) j++;
        if (j - i > runLen) {
            runAt = i;
            runLen = j - i;
        }
        i = j > i ? j : i + 1;
    }
    for (int i = 0; i < 8; i++) {
        if (i == runAt) {
            *at++ = ':';
            *at++ = ':';
            i += runLen - 1;
            continue;
        }
        if (at > out && at[-1] != ':') *at++ = ':';
        at = putHex(at, group[i]);
    }
    *at = '\0';
    return static_cast<int>(at - out);
}

int formatIpPort(const IpAddrT& a, int port, char* out)
{
    if (ipIsV4(a)) {
        int n = formatIp(a, out);
        return n + std::snprintf(out + n, IP_PORT_TEXT_SIZE - n, ":%d", port);
    }
    out[0] = '[';
    int n = 1 + formatIp(a, out + 1);
    return n + std::snprintf(out + n, IP_PORT_TEXT_SIZE - n, "]:%d", port);
}

int parseIpN(const char* text, std::size_t len, IpAddrT* out)
{
    char buf[64];
    if (len == 0 || len >= sizeof buf) return -1;
    std::memcpy(buf, text, len);
    buf[len] = '\0';
    in_addr v4;
    // inet_pton takes exactly four decimal fields, as the endpoints always have.
    if (inet_pton(AF_INET, buf, &v4) == 1) {
        *out = ipFromV4(ntohl(v4.s_addr));
        return 0;
    }
    in6_addr v6;
    if (inet_pton(AF_INET6, buf, &v6) != 1) return -1;
    std::memcpy(out->b, v6.s6_addr, sizeof out->b);
    return 0;
}

int parseIp(const char* text, IpAddrT* out) { return parseIpN(text, std::strlen(text), out); }

bool ipPrefixRange(const IpAddrT& a, int bits, IpAddrT* low, IpAddrT* high)
{
    const bool v4 = ipIsV4(a);
    if (bits < 0 || bits > (v4 ? 32 : 128)) return false;
    if (v4) bits += 96;  // the mapped prefix ::ffff:0:0/96 comes first
    *low = a;
    *high = a;
    for (int i = 0; i < 16; i++) {
        int keep = bits - 8 * i;  // bits of this byte that belong to the prefix
        u8 mask = keep >= 8 ? 0xff : keep <= 0 ? 0 : static_cast<u8>(0xff << (8 - keep));
        low->b[i] &= mask;
        high->b[i] |= static_cast<u8>(~mask);
    }
    return true;
}
