// A read-only view of captured bytes. Every read is checked against the
// captured length; a read past the end yields 0, so decoders test has() where
// the difference matters and never index the buffer themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class FrameView {
public:
    FrameView(const std::uint8_t* data, std::size_t len) : data_(data), len_(data ? len : 0) {}

    std::size_t size() const { return len_; }
    const std::uint8_t* data() const { return data_; }

    // True when len bytes from off are inside the captured bytes.
    bool has(long off, long len) const
    {
        return off >= 0 && len >= 0 && static_cast<std::size_t>(off) <= len_ &&
               static_cast<std::size_t>(len) <= len_ - static_cast<std::size_t>(off);
    }
    std::uint8_t u8(long off) const { return has(off, 1) ? data_[off] : 0; }
    std::uint16_t be16(long off) const
    {
        return has(off, 2) ? static_cast<std::uint16_t>(data_[off] << 8 | data_[off + 1]) : 0;
    }
    std::uint16_t le16(long off) const
    {
        return has(off, 2) ? static_cast<std::uint16_t>(data_[off + 1] << 8 | data_[off]) : 0;
    }
    std::uint32_t le32(long off) const
    {
        if (!has(off, 4)) return 0;
        return static_cast<std::uint32_t>(le16(off + 2)) << 16 | le16(off);
    }
    std::uint32_t be32(long off) const
    {
        if (!has(off, 4)) return 0;
        return static_cast<std::uint32_t>(data_[off]) << 24 | static_cast<std::uint32_t>(data_[off + 1]) << 16 |
               static_cast<std::uint32_t>(data_[off + 2]) << 8 | data_[off + 3];
    }
    // Copies len bytes from off to out; false, copying nothing, when they
    // are not all there.
    bool copy(long off, void* out, long len) const
    {
        if (!has(off, len)) return false;
        std::memcpy(out, data_ + off, static_cast<std::size_t>(len));
        return true;
    }
    // len bytes from off, or an empty view when they are not all there.
    FrameView slice(long off, long len) const
    {
        return has(off, len) ? FrameView(data_ + off, static_cast<std::size_t>(len)) : FrameView(nullptr, 0);
    }
    // The view from off onward (empty when off is past the end).
    FrameView from(long off) const
    {
        if (!has(off, 0)) return FrameView(nullptr, 0);
        return FrameView(data_ + off, len_ - static_cast<std::size_t>(off));
    }

private:
    const std::uint8_t* data_;
    std::size_t len_;
};

// The view of len bytes at data, where a length that is not positive means none.
inline FrameView viewOf(const std::uint8_t* data, int len)
{
    return FrameView(data, len > 0 ? static_cast<std::size_t>(len) : 0);
}

// Bytes of 802.1Q tags after the MAC addresses of an Ethernet frame: none,
// one tag or two.
inline long vlanTagBytes(const FrameView& f)
{
    if (f.u8(12) != 0x81 || f.u8(13) != 0x00) return 0;
    return f.u8(16) == 0x81 && f.u8(17) == 0x00 ? 8 : 4;
}

// Where the packet behind the GRE header at off begins, as the decoder reads
// it. The protocol type tests run each on the type as it stands after the
// previous one: bridged Ethernet, then IPv4, then enhanced GRE with PPP.
inline long skipGreHeaders(const FrameView& f, long off)
{
    if (f.u8(off + 2) == 0x65 && f.u8(off + 3) == 0x58) off += 18;
    if (f.u8(off + 2) == 0x08 && f.u8(off + 3) == 0x00) off += 4;
    if (f.u8(off + 2) == 0x88 && f.u8(off + 3) == 0x0B) off += f.u8(off + 1) == 0x81 ? 17 : 13;
    return off;
}

// The same, knowing IPv6 inside: carried directly (protocol type 0x86DD) or
// in bridged Ethernet; *v6 tells which family begins there. Every other
// type is read as the IPv4 decoder always has.
inline long skipGreHeaders(const FrameView& f, long off, bool* v6)
{
    *v6 = true;
    if (f.be16(off + 2) == 0x86DD) return off + 4;
    if (f.be16(off + 2) == 0x6558 && f.be16(off + 16) == 0x86DD) return off + 18;
    *v6 = false;
    return skipGreHeaders(f, off);
}

// The upper-layer header of an IPv6 packet, behind its extension headers.
struct Ipv6ChainT {
    long th = 0;         // where it begins
    int proto = 0;       // the first next header that is not walked through
    std::uint16_t frag = 0;  // fragment identification folded to 16 bits; 0 unfragmented
    bool later = false;  // a fragment after the first: no upper-layer header at th
};

// Extension headers walked before an IPv6 packet is given up: real ones
// carry two or three, and a longer chain only makes every frame cost more.
constexpr int MAX_IPV6_EXT_HEADERS = 8;

// Walks the extension headers (hop-by-hop 0, routing 43, fragment 44,
// destination options 60, AH 51) of the IPv6 packet at ip. ESP, no next
// header and any header not known here end the walk as an upper layer
// would. False for a header cut short or too many of them.
inline bool walkIpv6(const FrameView& f, long ip, Ipv6ChainT& c)
{
    if (!f.has(ip, 40) || (f.u8(ip) >> 4) != 6) return false;
    int next = f.u8(ip + 6);
    long off = ip + 40;
    for (int n = 0;; n++) {
        long len = 8;
        if (next == 0 || next == 43 || next == 60) {
            len = (f.u8(off + 1) + 1) * 8;
        } else if (next == 51) {
            len = (f.u8(off + 1) + 2) * 4;  // in 4-byte units
        } else if (next != 44) {
            c.th = off;
            c.proto = next;
            return true;
        }
        if (n == MAX_IPV6_EXT_HEADERS || !f.has(off, len)) return false;  // len is 8 at least
        if (next == 44) {
            if ((f.be16(off + 2) & 0xFFF8) != 0) c.later = true;
            std::uint32_t id = f.be32(off + 4);
            c.frag = static_cast<std::uint16_t>(id ^ id >> 16);
        }
        next = f.u8(off);
        off += len;
    }
}
