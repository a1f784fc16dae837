// Frame decoding: Ethernet with up to two 802.1Q tags, IPv4 or IPv6, then
// TCP, UDP, ICMP or ICMPv6, directly or inside a GRE or VXLAN tunnel.
//
// Every field is read through a FrameView bounded by the captured bytes. A
// header that is not all there, an IPv4 header length below 20 or a TCP data
// offset below 20 ends the packet. A TCP payload's length comes from the IPv4
// total length (the IPv6 payload length), as on the wire; the bytes handed to
// payload analysis are never more than were captured.
#include "decode/decode.h"

#include <atomic>
#include <cstring>

#include "core/util.h"
#include "decode/frame_view.h"

namespace {

// What a decoding starts from, copied from here: a blank built on the stack
// would be read back in pieces other than those it was stored in, which
// stalls the processor on every frame.
constexpr DecodedPacketT blankPacket {};

// Written by the processing thread alone, read by others.
std::atomic<std::uint64_t> frames {0};
std::atomic<std::uint64_t> bytes {0};

enum class PayloadRule {
    Outer,   // one zero byte alone is a keep-alive probe: no payload
    Gre,     // TCP length from the captured bytes; short zero padding ignored
    Vxlan,   // TCP length from the IPv4 header, no keep-alive rule
};

constexpr int IPV6_HEADER = 40;

void setPayload(DecodedPacketT& p, const FrameView& f, long off, int length)
{
    if (length < 0) length = 0;
    long avail = f.has(off, 0) ? static_cast<long>(f.size()) - off : 0;
    p.payloadLen = length;
    p.capLen = static_cast<int>(length < avail ? length : avail);
    p.payload = p.capLen > 0 ? f.data() + off : nullptr;
}

// An IPv4 address at off in its mapped form, copied as it lies (both are in
// network order) as one word, which the read of it that follows takes whole.
void putV4(IpAddrT& a, const FrameView& f, long off)
{
    std::memset(a.b, 0, 10);
    a.b[10] = a.b[11] = 0xff;
    f.copy(off, a.b + 12, 4);
}

// The transport header at th of the IP packet at ip (p.proto set), whose
// length on the wire is totalLen.
bool decodeTransport(const FrameView& f, long ip, long th, int totalLen, PayloadRule rule, const pcap_pkthdr* h,
                     DecodedPacketT& p)
{
    int hlen = static_cast<int>(th - ip);
    // Captured bytes from the IP header on, for the lengths taken from them.
    int captured = static_cast<int>(f.size() - static_cast<std::size_t>(ip));

    if (p.proto == 6) {
        if (!f.has(th, 20)) return false;
        int doff = (f.u8(th + 12) >> 4) * 4;
        if (doff < 20) return false;
        p.sport = f.be16(th);
        p.dport = f.be16(th + 2);
        p.seq = f.be32(th + 4);
        p.ackSeq = f.be32(th + 8);
        p.tcpFlag = f.u8(th + 13);
        p.winSize = f.be16(th + 14);
        int length = rule == PayloadRule::Gre ? captured - (hlen + doff) : totalLen - hlen - doff;
        setPayload(p, f, th + doff, length);
        // A keep-alive probe: one zero byte, captured. Tested on the frame:
        // the two lengths just stored would be read back as one word, which
        // the processor cannot take from the two stores, a stall per frame.
        if (rule == PayloadRule::Outer && length == 1 && f.has(th + doff, 1) && f.u8(th + doff) == 0) {
            setPayload(p, f, th + doff, 0);
        } else if (rule == PayloadRule::Gre && p.payloadLen <= 6 && h->len <= 66 && p.capLen > 0 &&
                   p.payload[0] == 0) {
            setPayload(p, f, th + doff, 0);  // Ethernet padding
        }
    } else if (p.proto == 17) {
        if (!f.has(th, 8)) return false;
        p.sport = f.be16(th);
        p.dport = f.be16(th + 2);
        setPayload(p, f, th + 8, captured - (hlen + 8));
    } else {
        setPayload(p, f, th, captured - hlen);
    }
    return true;
}

// Decodes the IPv4 packet at ip in f (protocols 6, 17, 1) into p. False when
// the packet is not analysed: a protocol other than those, a header cut
// short, or a fragment after the first, which carries no transport header.
// Flattened, every read and the transport's decoding inline: on the path of
// nearly every frame, calls would cost more than the work they do.
[[gnu::flatten]] bool decodeIpv4(const FrameView& f, long ip, PayloadRule rule, const pcap_pkthdr* h, DecodedPacketT& p)
{
    if (!f.has(ip, 20)) return false;
    int ihl = (f.u8(ip) & 0x0F) * 4;
    if (ihl < 20 || !f.has(ip, ihl)) return false;
    p.proto = f.u8(ip + 9);
    if (p.proto != 6 && p.proto != 17 && p.proto != 1) return false;
    if (rule == PayloadRule::Vxlan && p.proto == 1) return false;
    if ((f.be16(ip + 6) & 0x1FFF) != 0) return false;
    p.frag = f.be16(ip + 4);
    putV4(p.src, f, ip + 12);
    putV4(p.dst, f, ip + 16);
    return decodeTransport(f, ip, ip + ihl, f.be16(ip + 2), rule, h, p);
}

// Decodes the IPv6 packet at ip, walked into c, as decodeIpv4 does an IPv4
// one: TCP, UDP, and the ICMPv6 messages that play the part of ICMP (errors,
// below 128, and echo). Neighbour discovery and multicast listener messages
// do the work of ARP and IGMP, which are not analysed either.
bool decodeIpv6(const FrameView& f, long ip, const Ipv6ChainT& c, PayloadRule rule, const pcap_pkthdr* h,
                DecodedPacketT& p)
{
    if (c.later) return false;  // no transport header, as for IPv4
    p.proto = c.proto;
    if (p.proto != 6 && p.proto != 17 && p.proto != 58) return false;
    if (p.proto == 58 && (rule == PayloadRule::Vxlan || !f.has(c.th, 1) || f.u8(c.th) > 129)) return false;
    p.v6 = true;
    f.copy(ip + 8, p.src.b, 16);
    f.copy(ip + 24, p.dst.b, 16);
    p.frag = c.frag;
    return decodeTransport(f, ip, c.th, IPV6_HEADER + f.be16(ip + 4), rule, h, p);
}

bool decodeIp(const FrameView& f, long ip, bool v6, PayloadRule rule, const pcap_pkthdr* h, DecodedPacketT& p)
{
    if (!v6) return decodeIpv4(f, ip, rule, h, p);
    Ipv6ChainT c;
    return walkIpv6(f, ip, c) && decodeIpv6(f, ip, c, rule, h, p);
}

// Where the GRE header carried by the IP packet at ip begins; -1 when it
// carries none, or is a fragment after the first.
long greHeader(const FrameView& f, long ip, bool v6)
{
    if (v6) {
        Ipv6ChainT c;
        return walkIpv6(f, ip, c) && !c.later && c.proto == 47 ? c.th : -1;
    }
    int ihl = (f.u8(ip) & 0x0F) * 4;
    if (!f.has(ip, 20) || f.u8(ip + 9) != 47 || ihl < 20 || (f.be16(ip + 6) & 0x1FFF) != 0) return -1;
    return ip + ihl;
}

// A tunnelled IP packet (sp at its header; v6 its family) or Ethernet frame
// (sp behind the VXLAN header); len is the number of captured bytes from sp.
bool decodeGre(int vid, const pcap_pkthdr* h, const u8* sp, int len, bool v6, DecodedPacketT& p)
{
    const FrameView f = viewOf(sp, len);
    // One more level of GRE is unwrapped, no further.
    long gre = greHeader(f, 0, v6);
    long ip = gre >= 0 ? skipGreHeaders(f, gre, &v6) : 0;
    p = blankPacket;
    p.vid = vid;
    return decodeIp(f, ip, v6, PayloadRule::Gre, h, p);
}

bool decodeVxlan(int vid, const pcap_pkthdr* h, const u8* sp, int len, DecodedPacketT& p)
{
    const FrameView f = viewOf(sp, len);
    long shift = vlanTagBytes(f);
    // The inner EtherType is read for IPv6 alone: anything else is taken as
    // IPv4, as it always has been.
    bool v6 = f.be16(12 + shift) == 0x86DD;
    if (f.u8(12) == 0x88 && f.u8(13) == 0x47) {
        shift = (f.u8(16) & 0x01) ? 4 : 8;  // MPLS labels, which name no protocol
        v6 = (f.u8(14 + shift) >> 4) == 6;
    }
    p = blankPacket;
    p.vid = vid;
    return decodeIp(f, 14 + shift, v6, PayloadRule::Vxlan, h, p);
}

// VXLAN flags with the identifier bit, whatever the ports.
bool carriesVxlan(const DecodedPacketT& p)
{
    return p.proto == 17 && p.capLen >= 2 && p.payload[0] == 0x08 && p.payload[1] == 0x00;
}

// The untunnelled packet in p: left out when it is the probe's own peers'
// traffic, else a tunnel's inner packet, or a packet filtered by the
// monitored endpoints and counted.
[[gnu::always_inline]] inline bool admitPacket(const pcap_pkthdr* h, DecodedPacketT& p, const EndpointHintT* endpoint)
{
    if (isManagerAddr(p.src) || isManagerAddr(p.dst)) return false;
    if (carriesVxlan(p)) return p.capLen > 8 && decodeVxlan(p.vid, h, p.payload + 8, p.capLen - 8, p);

    const bool icmp = p.proto == 1 || p.proto == 58;
    if (!icmp && endpoint != nullptr && endpoint->current()) {
        p.host = endpoint->index;  // the same lookup, made by the capture thread's filter
    } else {
        p.host = findEndpointIndex(p.src, p.sport, p.dst, p.dport, p.proto);
    }
    if (readOnlyGlobal.cntHost > 0 && p.host < 0) return false;
    ProcessStateT& ps = globalValue.processState;
    ps.byte.store(ps.byte.load(std::memory_order_relaxed) + h->len, std::memory_order_relaxed);
    ps.pkt.store(ps.pkt.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return true;
}

// An untunnelled IPv6 packet, or the tunnel it carries.
bool decodeOuterIpv6(int vid, const pcap_pkthdr* h, const FrameView& f, long ip, DecodedPacketT& p,
                     const EndpointHintT* endpoint)
{
    Ipv6ChainT c;
    if (!walkIpv6(f, ip, c) || c.later) return false;
    if (c.proto == 47) {
        bool v6;
        long off = skipGreHeaders(f, c.th, &v6);
        if (!f.has(off, 0)) return false;
        return decodeGre(vid, h, f.data() + off, static_cast<int>(f.size() - static_cast<std::size_t>(off)), v6, p);
    }
    p = blankPacket;
    p.vid = vid;
    return decodeIpv6(f, ip, c, PayloadRule::Outer, h, p) && admitPacket(h, p, endpoint);
}

}  // namespace

bool decodeFrame(const pcap_pkthdr* h, const std::uint8_t* sp, DecodedPacketT& p, const EndpointHintT* endpoint)
{
    frames.store(frames.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    bytes.store(bytes.load(std::memory_order_relaxed) + h->len, std::memory_order_relaxed);
    FrameView f(sp, h->caplen);

    long shift = vlanTagBytes(f);
    int vid = shift > 0 ? (f.u8(14) & 0x0F) << 8 | f.u8(15) : 0;
    long ip = 14 + shift;
    if (f.u8(12 + shift) != 0x08 || f.u8(13 + shift) != 0x00 || !f.has(ip, 20)) {
        return f.u8(12 + shift) == 0x86 && f.u8(13 + shift) == 0xDD && decodeOuterIpv6(vid, h, f, ip, p, endpoint);
    }

    if (f.u8(ip + 9) == 47) {
        int ihl = (f.u8(ip) & 0x0F) * 4;
        if (ihl < 20 || (f.be16(ip + 6) & 0x1FFF) != 0) return false;
        bool v6;
        long off = skipGreHeaders(f, ip + ihl, &v6);
        if (!f.has(off, 0)) return false;
        return decodeGre(vid, h, sp + off, static_cast<int>(f.size() - static_cast<std::size_t>(off)), v6, p);
    }

    p = blankPacket;
    p.vid = vid;
    return decodeIpv4(f, ip, PayloadRule::Outer, h, p) && admitPacket(h, p, endpoint);
}

bool peekConversation(const pcap_pkthdr* h, const std::uint8_t* sp, IpAddrT* src, IpAddrT* dst, int* sport,
                      int* dport)
{
    FrameView f(sp, h->caplen);
    long ip = 14 + vlanTagBytes(f);
    int proto;
    long th;
    if (f.be16(ip - 2) == 0x0800 && f.has(ip, 20)) {
        proto = f.u8(ip + 9);
        th = ip + (f.u8(ip) & 0x0F) * 4;
        putV4(*src, f, ip + 12);
        putV4(*dst, f, ip + 16);
    } else if (f.be16(ip - 2) == 0x86DD && f.has(ip, IPV6_HEADER)) {
        // Extension headers are left to the decoding: a hint need not be
        // right every time.
        proto = f.u8(ip + 6);
        th = ip + IPV6_HEADER;
        f.copy(ip + 8, src->b, 16);
        f.copy(ip + 24, dst->b, 16);
    } else {
        return false;
    }
    if ((proto != 6 && proto != 17) || !f.has(th, 4)) return false;
    *sport = f.be16(th);
    *dport = f.be16(th + 2);
    return true;
}

std::uint64_t decodedFrames() { return frames.load(std::memory_order_relaxed); }
std::uint64_t decodedBytes() { return bytes.load(std::memory_order_relaxed); }
