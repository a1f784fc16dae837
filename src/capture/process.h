// Frame decoding: from a captured frame to the session step.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>

#include "core/global_define.h"

// Decodes one frame; sp is followed by a zero byte.
void processPacket(const pcap_pkthdr* h, const std::uint8_t* sp);
// Asks for the memory of the session an untunnelled TCP or UDP frame belongs
// to, ahead of processPacket; changes nothing.
void prefetchSession(const pcap_pkthdr* h, const std::uint8_t* sp);
// A tunnelled IPv4 packet (sp at its header) or Ethernet frame (sp behind the
// VXLAN header); len is the number of captured bytes from sp.
void processGRE(int vid, const pcap_pkthdr* h, const u8* sp, int len, CommMsgT* pCommMsg);
void processVxLan(int vid, const pcap_pkthdr* h, const u8* sp, int len, CommMsgT* pCommMsg);

// ---- the session step --------------------------------------------------------

// One decoded packet into its session. payloadLen is the payload's length
// (for TCP as on the wire), capLen how many of its bytes were captured and
// may be read. pCommMsg receives the record of a session recycled on the
// way, which the caller exports.
void process(int vid, int proto, u32 src, u32 dst, int sport, int dport, u32 seq, u32 ackSeq, u8 tcpFlag,
             const pcap_pkthdr* h, u16 frag, const u8* payload, int payloadLen, int capLen, int winSize,
             CommMsgT* pCommMsg);
void processFirstPacket(NetSessionT* session, int proto, u32 seq, u32 ackSeq, const pcap_pkthdr* h, u8 tcpFlag,
                        int tiny, int direction, int payloadLen, int winSize);
void processStateAndAck(NetSessionT* session, int direction, u32 seq, u32 ackSeq, const timeval& ts, u8 tcpFlag);
void processPayload(NetSessionT* session, int direction, u32 seq, const timeval& ts, u8 tcpFlag, int payloadLen,
                    int* retran);
int isRepeat(NetSessionT* session, int direction, u16 frag);
void processIcmp(NetSessionT* session, u32 src, u32 dst, const pcap_pkthdr* h, const u8* payload,
                 int payloadLen);
int checkAppType(const u8* payload, int payloadLen);

// Frames and wire bytes handed to decoding since start-up.
std::uint64_t decodedFrames();
std::uint64_t decodedBytes();
