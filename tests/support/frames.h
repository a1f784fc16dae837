// Raw frames: Ethernet, 802.1Q tags, IPv4 or IPv6 and a TCP, UDP or other header with payload.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace testframes {

using Bytes = std::vector<std::uint8_t>;

struct FrameSpec {
    int tags = 0;           // 0, 1 or 2 802.1Q tags
    std::uint16_t tci = 0;  // tag control of the outer tag
    std::uint16_t etherType = 0x0800;
    int proto = 6;
    std::uint32_t src = 0x0A000001, dst = 0x0A000002;
    int sport = 40000, dport = 80;
    std::uint16_t ipId = 1, fragField = 0x4000;  // flags and fragment offset
    std::uint32_t seq = 1000, ack = 0;
    std::uint8_t flags = 0x18;
    std::uint16_t window = 65535;
    std::string payload {};
};

inline void put16(Bytes& f, std::size_t at, unsigned v) { f[at] = std::uint8_t(v >> 8), f[at + 1] = std::uint8_t(v); }
inline void put32(Bytes& f, std::size_t off, std::uint32_t v) { put16(f, off, v >> 16), put16(f, off + 2, v & 0xFFFF); }

// For protocols other than TCP and UDP the payload is all that follows the IPv4 header.
inline Bytes buildFrame(const FrameSpec& s)
{
    const std::size_t ip = 14 + 4 * std::size_t(s.tags), t = ip + 20, th = s.proto == 6 ? 20 : s.proto == 17 ? 8 : 0;
    Bytes f(t + th, 0);
    f.insert(f.end(), s.payload.begin(), s.payload.end());
    std::fill(f.begin(), f.begin() + 6, 0x02), std::fill(f.begin() + 6, f.begin() + 12, 0x04);
    for (int i = 0; i < s.tags; i++) put32(f, 12 + 4 * i, 0x81000000u | (i == 0 ? s.tci : 7));
    put16(f, ip - 2, s.etherType), f[ip] = 0x45, f[ip + 8] = 64, f[ip + 9] = std::uint8_t(s.proto);
    put16(f, ip + 2, unsigned(f.size() - ip)), put16(f, ip + 4, s.ipId), put16(f, ip + 6, s.fragField);
    put32(f, ip + 12, s.src), put32(f, ip + 16, s.dst);
    if (th > 0) put32(f, t, std::uint32_t(s.sport) << 16 | std::uint32_t(s.dport));
    if (s.proto == 6) {
        put32(f, t + 4, s.seq), put32(f, t + 8, s.ack);
        f[t + 12] = 5 << 4, f[t + 13] = s.flags, put16(f, t + 14, s.window);
    } else if (s.proto == 17) {
        put16(f, t + 4, unsigned(8 + s.payload.size()));
    }
    return f;
}

// An IPv6 extension header: type, length in bytes (of 8s, of 4s for AH), a fragment header's fields.
struct Ext6 { int type, len = 8; std::uint16_t fragField = 0; std::uint32_t fragId = 0; };

// 2001:db8::1 to 2001:db8::2 behind the extension headers, in order; Ethernet, tags and the
// upper layer (l4.proto) as buildFrame makes them.
inline Bytes buildFrame6(const FrameSpec& l4, const std::vector<Ext6>& ext = {})
{
    const Bytes v4 = buildFrame(l4);
    const long ip = 14 + 4 * l4.tags;
    Bytes f(v4.begin(), v4.begin() + ip);  // the IPv4 frame may be shorter than an IPv6 header
    f.resize(ip + 40);
    std::fill(f.begin() + ip, f.end(), 0), put16(f, ip - 2, 0x86DD), f[ip] = 0x60, f[ip + 7] = 64;
    inet_pton(AF_INET6, "2001:db8::1", &f[ip + 8]), inet_pton(AF_INET6, "2001:db8::2", &f[ip + 24]);
    std::size_t next = ip + 6;  // the next-header field to fill
    for (const Ext6& e : ext) {
        f[next] = std::uint8_t(e.type), next = f.size(), f.resize(f.size() + std::size_t(e.len));
        f[next + 1] = std::uint8_t(e.type == 51 ? e.len / 4 - 2 : e.type == 44 ? 0 : e.len / 8 - 1);
        if (e.type == 44) put16(f, next + 2, e.fragField), put32(f, next + 4, e.fragId);
    }
    f[next] = std::uint8_t(l4.proto), f.insert(f.end(), v4.begin() + ip + 20, v4.end());
    put16(f, ip + 4, unsigned(f.size() - ip - 40));
    return f;
}

inline std::string bytesOf(const Bytes& v, std::size_t from = 0) { return {v.begin() + long(from), v.end()}; }

// Tunnel headers: GRE carrying IPv4, IPv6 or Ethernet, VXLAN with VNI 200.
inline const std::string GRE_IP("\x00\x00\x08\x00", 4), GRE_TEB("\x00\x00\x65\x58", 4);
inline const std::string GRE_IP6("\x00\x00\x86\xDD", 4);
inline const std::string VXLAN("\x08\x00\x00\x00\x00\x00\xC8\x00", 8);

inline Bytes tunnel(FrameSpec outer, int proto, const std::string& header, const std::string& inner)
{
    outer.proto = proto, outer.payload = header + inner;
    return buildFrame(outer);
}
// inner's IPv4 packet in GRE; inner's whole frame in VXLAN.
inline Bytes greFrame(const FrameSpec& outer, const FrameSpec& inner)
{
    return tunnel(outer, 47, GRE_IP, bytesOf(buildFrame(inner), 14 + 4 * std::size_t(inner.tags)));
}
inline Bytes vxlanFrame(const FrameSpec& outer, const FrameSpec& inner)
{
    return tunnel(outer, 17, VXLAN, bytesOf(buildFrame(inner)));
}

}  // namespace testframes
