// Frame decoding: from a captured frame to the one packet the session step
// takes from it.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>

#include "core/global_define.h"
#include "core/ipaddr.h"
#include "core/util.h"

// What the session step needs of one packet.
struct DecodedPacketT {
    int vid = 0;  // 802.1Q identifier of the outer frame, 0 untagged
    int proto = 0;  // 6, 17, 1, or 58 (ICMPv6)
    IpAddrT src {}, dst {};  // on 8-byte boundaries: the IPv4 path writes and reads them by the word
    bool v6 = false;         // the addresses are IPv6 ones
    int sport = 0, dport = 0;
    u32 seq = 0, ackSeq = 0;
    u8 tcpFlag = 0;
    u16 frag = 0;  // IPv4 identification; IPv6 fragment identification folded, 0 unfragmented
    int winSize = 0;
    const u8* payload = nullptr;
    int payloadLen = 0;  // on the wire for TCP, captured for UDP and ICMP
    int capLen = 0;      // bytes of the payload that were captured
    int host = -2;       // the endpoint (findEndpointIndex), -2 when not looked up
};

// Decodes one frame (sp followed by a zero byte) into p: true when it holds
// a packet to analyse, IPv4 or IPv6, directly or inside a GRE or VXLAN
// tunnel. Untunnelled packets of the probe's own peers, or of no monitored
// endpoint while some are set, are not; the others count in
// globalValue.processState. The filter's lookup is taken from endpoint when
// it is current.
bool decodeFrame(const pcap_pkthdr* h, const std::uint8_t* sp, DecodedPacketT& p,
                 const EndpointHintT* endpoint = nullptr);

// The addresses and ports of an untunnelled TCP or UDP frame, read ahead of
// its decoding; false for any other frame.
bool peekConversation(const pcap_pkthdr* h, const std::uint8_t* sp, IpAddrT* src, IpAddrT* dst, int* sport,
                      int* dport);

// Frames and wire bytes handed to decoding since start-up.
std::uint64_t decodedFrames();
std::uint64_t decodedBytes();
