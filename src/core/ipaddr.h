// One address type for both families: every address the probe keeps is an
// IpAddrT, compared, hashed, read and printed here alone.
#pragma once

#include <endian.h>

#include <cstddef>
#include <cstring>

#include "core/types.h"

// Sixteen bytes in network order. An IPv4 address is held in its IPv4-mapped
// form (::ffff:a.b.c.d), so that one code path serves both families, and
// ranges compare as 128-bit numbers: the IPv4 addresses are one contiguous
// run of them, in their usual order.
struct IpAddrT {
    u8 b[16];
};

// Longest text formatIp writes, with its terminating zero
// ("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"); formatIpPort adds "[]:65535".
constexpr std::size_t IP_TEXT_SIZE = 40;
constexpr std::size_t IP_PORT_TEXT_SIZE = IP_TEXT_SIZE + 8;

// IPv4 address in host order (first dotted field most significant).
inline IpAddrT ipFromV4(u32 v4)
{
    IpAddrT a {};
    a.b[10] = 0xff;
    a.b[11] = 0xff;
    a.b[12] = static_cast<u8>(v4 >> 24);
    a.b[13] = static_cast<u8>(v4 >> 16);
    a.b[14] = static_cast<u8>(v4 >> 8);
    a.b[15] = static_cast<u8>(v4);
    return a;
}

inline IpAddrT ipFromV6(const u8 (&bytes)[16])
{
    IpAddrT a;
    std::memcpy(a.b, bytes, sizeof a.b);
    return a;
}

// Both read the address as whole words: they run several times a frame.
inline bool ipIsV4(const IpAddrT& a)
{
    u64 head;
    u32 mid, mapped;
    static constexpr u8 mappedBytes[4] = {0, 0, 0xff, 0xff};
    std::memcpy(&head, a.b, sizeof head);
    std::memcpy(&mid, a.b + 8, sizeof mid);
    std::memcpy(&mapped, mappedBytes, sizeof mapped);
    return head == 0 && mid == mapped;
}

// The IPv4 address of a mapped one, in host order (the last four bytes of
// any other).
inline u32 ipV4(const IpAddrT& a)
{
    u32 v;
    std::memcpy(&v, a.b + 12, sizeof v);
    return be32toh(v);
}

inline bool operator==(const IpAddrT& x, const IpAddrT& y) { return std::memcmp(x.b, y.b, sizeof x.b) == 0; }
inline bool operator!=(const IpAddrT& x, const IpAddrT& y) { return !(x == y); }
// As 128-bit numbers, for ranges.
inline bool operator<(const IpAddrT& x, const IpAddrT& y) { return std::memcmp(x.b, y.b, sizeof x.b) < 0; }
inline bool operator<=(const IpAddrT& x, const IpAddrT& y) { return std::memcmp(x.b, y.b, sizeof x.b) <= 0; }

// An IPv6 address folded into one word, all its bits mixed.
u32 ipFoldV6(const IpAddrT& a);
// The address folded into one word for hash tables: an IPv4 address is its
// own number, so that tables keyed by IPv4 addresses place them as they
// always have; an IPv6 one mixes all its bits. Inline: the session step
// folds each address of a frame several times.
inline u32 ipFold(const IpAddrT& a) { return ipIsV4(a) ? ipV4(a) : ipFoldV6(a); }

// Prints a as "%d.%d.%d.%d" (IPv4) or in the RFC 5952 form (lower case, no
// leading zeros, the first longest run of two or more zero groups as "::").
// out holds at least IP_TEXT_SIZE bytes; returns the length written.
int formatIp(const IpAddrT& a, char* out);
// "a.b.c.d:port", or "[v6]:port"; out holds at least IP_PORT_TEXT_SIZE bytes.
int formatIpPort(const IpAddrT& a, int port, char* out);

// Reads a whole text as an address: dotted IPv4 (four decimal fields) or any
// textual IPv6 form (an IPv4-mapped one, "::ffff:1.2.3.4", is the IPv4
// address). 0, or -1 for anything else (blanks, brackets, a zone).
int parseIp(const char* text, IpAddrT* out);
// The same for the first len bytes of text.
int parseIpN(const char* text, std::size_t len, IpAddrT* out);

// The first address of the prefix of length bits that holds a, and the last;
// for an IPv4 address, bits count from the IPv4 address's own first bit.
// false for a length out of range (0 to 32 or 0 to 128).
bool ipPrefixRange(const IpAddrT& a, int bits, IpAddrT* low, IpAddrT* high);
