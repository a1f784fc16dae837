// Builds raw frames for tests: Ethernet, optional 802.1Q tags, IPv4 and a
// TCP, UDP or ICMP header with payload. Fields are written big-endian, as on
// the wire, and can be changed afterwards through the offsets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testframes {

struct FrameSpec {
    int tags = 0;              // 0, 1 or 2 802.1Q tags
    std::uint16_t tci = 0;     // tag control of the outer tag
    std::uint16_t etherType = 0x0800;
    int proto = 6;             // IPv4 protocol
    std::uint32_t src = 0x0A000001;
    std::uint32_t dst = 0x0A000002;
    int sport = 40000;
    int dport = 80;
    std::uint16_t ipId = 1;
    std::uint16_t fragField = 0x4000;  // flags and fragment offset
    std::uint32_t seq = 1000;
    std::uint32_t ack = 0;
    std::uint8_t flags = 0x18;
    std::uint16_t window = 65535;
    std::string payload;
};

inline void put16(std::vector<std::uint8_t>& f, std::size_t off, unsigned v)
{
    f[off] = static_cast<std::uint8_t>(v >> 8);
    f[off + 1] = static_cast<std::uint8_t>(v);
}

inline void put32(std::vector<std::uint8_t>& f, std::size_t off, std::uint32_t v)
{
    put16(f, off, v >> 16);
    put16(f, off + 2, v & 0xFFFF);
}

// Offset of the IPv4 header in a frame built from spec.
inline std::size_t ipOffset(const FrameSpec& s) { return 14 + 4 * static_cast<std::size_t>(s.tags); }

inline std::vector<std::uint8_t> buildFrame(const FrameSpec& s)
{
    std::size_t ip = ipOffset(s);
    // TCP and UDP get their headers; for other protocols (ICMP, GRE) the
    // payload is the whole message behind the IPv4 header.
    std::size_t th = s.proto == 6 ? 20 : s.proto == 17 ? 8 : 0;
    std::vector<std::uint8_t> f(ip + 20 + th + s.payload.size(), 0);
    for (int i = 0; i < 6; i++) {
        f[i] = 0x02;
        f[6 + i] = 0x04;
    }
    std::size_t off = 12;
    for (int t = 0; t < s.tags; t++) {
        put16(f, off, 0x8100);
        put16(f, off + 2, t == 0 ? s.tci : 7);
        off += 4;
    }
    put16(f, off, s.etherType);
    f[ip] = 0x45;
    put16(f, ip + 2, static_cast<unsigned>(20 + th + s.payload.size()));
    put16(f, ip + 4, s.ipId);
    put16(f, ip + 6, s.fragField);
    f[ip + 8] = 64;
    f[ip + 9] = static_cast<std::uint8_t>(s.proto);
    put32(f, ip + 12, s.src);
    put32(f, ip + 16, s.dst);
    std::size_t t = ip + 20;
    if (th > 0) {
        put16(f, t, static_cast<unsigned>(s.sport));
        put16(f, t + 2, static_cast<unsigned>(s.dport));
    }
    if (s.proto == 6) {
        put32(f, t + 4, s.seq);
        put32(f, t + 8, s.ack);
        f[t + 12] = 5 << 4;
        f[t + 13] = s.flags;
        put16(f, t + 14, s.window);
    } else if (s.proto == 17) {
        put16(f, t + 4, static_cast<unsigned>(8 + s.payload.size()));
    }
    for (std::size_t i = 0; i < s.payload.size(); i++) f[t + th + i] = static_cast<std::uint8_t>(s.payload[i]);
    return f;
}

inline std::string bytesOf(const std::vector<std::uint8_t>& v, std::size_t from = 0)
{
    return std::string(v.begin() + static_cast<long>(from), v.end());
}

// An IPv4 packet in GRE (protocol type 0x0800) in an Ethernet frame.
inline std::vector<std::uint8_t> greFrame(const FrameSpec& outer, const FrameSpec& inner)
{
    FrameSpec s = outer;
    s.proto = 47;
    s.payload = std::string("\x00\x00\x08\x00", 4) + bytesOf(buildFrame(inner), ipOffset(inner));
    return buildFrame(s);
}

// An Ethernet frame in VXLAN (VNI 200) in UDP.
inline std::vector<std::uint8_t> vxlanFrame(const FrameSpec& outer, const FrameSpec& inner)
{
    FrameSpec s = outer;
    s.proto = 17;
    s.payload = std::string("\x08\x00\x00\x00\x00\x00\xC8\x00", 8) + bytesOf(buildFrame(inner));
    return buildFrame(s);
}

}  // namespace testframes
