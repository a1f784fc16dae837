// Frame decoding: Ethernet with up to two 802.1Q tags, IPv4, then TCP, UDP or
// ICMP, directly or inside a GRE or VXLAN tunnel.
//
// Every field is read through a FrameView bounded by the captured bytes. A
// header that is not all there, an IPv4 header length below 20 or a TCP data
// offset below 20 ends the packet. A TCP payload's length comes from the IPv4
// total length, as on the wire; the bytes handed to payload analysis are
// never more than were captured.
#include "decode/decode.h"

#include <atomic>

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

void setPayload(DecodedPacketT& p, const FrameView& f, long off, int length)
{
    if (length < 0) length = 0;
    long avail = f.has(off, 0) ? static_cast<long>(f.size()) - off : 0;
    p.payloadLen = length;
    p.capLen = static_cast<int>(length < avail ? length : avail);
    p.payload = p.capLen > 0 ? f.data() + off : nullptr;
}

// Decodes the IPv4 packet at ip in f (protocols 6, 17, 1) into p. False when
// the packet is not analysed: a protocol other than those, a header cut
// short, or a fragment after the first, which carries no transport header.
bool decodeIpv4(const FrameView& f, long ip, PayloadRule rule, const pcap_pkthdr* h, DecodedPacketT& p)
{
    if (!f.has(ip, 20)) return false;
    int ihl = (f.u8(ip) & 0x0F) * 4;
    if (ihl < 20 || !f.has(ip, ihl)) return false;
    p.proto = f.u8(ip + 9);
    if (p.proto != 6 && p.proto != 17 && p.proto != 1) return false;
    if (rule == PayloadRule::Vxlan && p.proto == 1) return false;
    if ((f.be16(ip + 6) & 0x1FFF) != 0) return false;
    int totalLen = f.be16(ip + 2);
    p.frag = f.be16(ip + 4);
    p.src = f.be32(ip + 12);
    p.dst = f.be32(ip + 16);
    long th = ip + ihl;
    // Captured bytes from the IPv4 header on, for the lengths taken from them.
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
        int length = rule == PayloadRule::Gre ? captured - (ihl + doff) : totalLen - ihl - doff;
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
        setPayload(p, f, th + 8, captured - (ihl + 8));
    } else {
        setPayload(p, f, th, captured - ihl);
    }
    return true;
}

// A tunnelled IPv4 packet (sp at its header) or Ethernet frame (sp behind the
// VXLAN header); len is the number of captured bytes from sp.
bool decodeGre(int vid, const pcap_pkthdr* h, const u8* sp, int len, DecodedPacketT& p)
{
    FrameView f(sp, len > 0 ? static_cast<std::size_t>(len) : 0);
    if (!f.has(0, 20)) return false;
    long ip = 0;
    if (f.u8(9) == 47) {
        // One more level of GRE is unwrapped, no further.
        int ihl = (f.u8(0) & 0x0F) * 4;
        if (ihl < 20 || (f.be16(6) & 0x1FFF) != 0) return false;
        ip = skipGreHeaders(f, ihl);
    }
    p = blankPacket;
    p.vid = vid;
    return decodeIpv4(f, ip, PayloadRule::Gre, h, p);
}

bool decodeVxlan(int vid, const pcap_pkthdr* h, const u8* sp, int len, DecodedPacketT& p)
{
    FrameView f(sp, len > 0 ? static_cast<std::size_t>(len) : 0);
    long shift = vlanTagBytes(f);
    if (f.u8(12) == 0x88 && f.u8(13) == 0x47) shift = (f.u8(16) & 0x01) ? 4 : 8;  // MPLS labels
    p = blankPacket;
    p.vid = vid;
    return decodeIpv4(f, 14 + shift, PayloadRule::Vxlan, h, p);
}

}  // namespace

bool decodeFrame(const pcap_pkthdr* h, const std::uint8_t* sp, DecodedPacketT& p, const EndpointHintT* endpoint)
{
    frames.store(frames.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    bytes.store(bytes.load(std::memory_order_relaxed) + h->len, std::memory_order_relaxed);
    FrameView f(sp, h->caplen);

    long shift = vlanTagBytes(f);
    int vid = shift > 0 ? (f.u8(14) & 0x0F) << 8 | f.u8(15) : 0;
    if (f.u8(12 + shift) != 0x08 || f.u8(13 + shift) != 0x00 || !f.has(14 + shift, 20)) return false;
    long ip = 14 + shift;

    if (f.u8(ip + 9) == 47) {
        int ihl = (f.u8(ip) & 0x0F) * 4;
        if (ihl < 20 || (f.be16(ip + 6) & 0x1FFF) != 0) return false;
        long off = skipGreHeaders(f, ip + ihl);
        if (!f.has(off, 0)) return false;
        return decodeGre(vid, h, sp + off, static_cast<int>(f.size() - static_cast<std::size_t>(off)), p);
    }

    p = blankPacket;
    p.vid = vid;
    if (!decodeIpv4(f, ip, PayloadRule::Outer, h, p)) return false;
    if (isManagerAddr(p.src) || isManagerAddr(p.dst)) return false;

    if (p.proto == 17 && p.capLen >= 2 && p.payload[0] == 0x08 && p.payload[1] == 0x00) {
        // VXLAN flags with the identifier bit, whatever the ports.
        return p.capLen > 8 && decodeVxlan(vid, h, p.payload + 8, p.capLen - 8, p);
    }

    if (p.proto != 1 && endpoint != nullptr && endpoint->current()) {
        p.host = endpoint->index;  // the same lookup, made by the capture thread's filter
    } else {
        p.host = findEndpointIndex(ipFromV4(p.src), p.sport, ipFromV4(p.dst), p.dport, p.proto);
    }
    if (readOnlyGlobal.cntHost > 0 && p.host < 0) return false;
    ProcessStateT& ps = globalValue.processState;
    ps.byte.store(ps.byte.load(std::memory_order_relaxed) + h->len, std::memory_order_relaxed);
    ps.pkt.store(ps.pkt.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return true;
}

bool peekConversation(const pcap_pkthdr* h, const std::uint8_t* sp, u32* src, u32* dst, int* sport, int* dport)
{
    FrameView f(sp, h->caplen);
    long ip = 14 + vlanTagBytes(f);
    if (f.u8(ip - 2) != 0x08 || f.u8(ip - 1) != 0x00 || !f.has(ip, 20)) return false;
    int proto = f.u8(ip + 9);
    long th = ip + (f.u8(ip) & 0x0F) * 4;
    if ((proto != 6 && proto != 17) || !f.has(th, 4)) return false;
    *src = f.be32(ip + 12);
    *dst = f.be32(ip + 16);
    *sport = f.be16(th);
    *dport = f.be16(th + 2);
    return true;
}

std::uint64_t decodedFrames() { return frames.load(std::memory_order_relaxed); }
std::uint64_t decodedBytes() { return bytes.load(std::memory_order_relaxed); }
