// The session step: TCP and UDP tracking of one decoded packet in its session.
#pragma once

#include <pcap/pcap.h>

#include "core/global_define.h"
#include "decode/decode.h"

// One decoded packet, IPv4 or IPv6, into its session. pCommMsg receives the record of a session recycled on the way,
// which the caller exports; a finished transaction goes to the transaction
// sink once the session's bucket is released.
void process(const DecodedPacketT& p, const pcap_pkthdr* h, CommMsgT* pCommMsg);
void processFirstPacket(NetSessionT* session, int proto, u32 seq, u32 ackSeq, const pcap_pkthdr* h, u8 tcpFlag,
                        int tiny, int direction, int payloadLen, int winSize);
void processStateAndAck(NetSessionT* session, int direction, u32 seq, u32 ackSeq, const timeval& ts, u8 tcpFlag);
void processPayload(NetSessionT* session, int direction, u32 seq, const timeval& ts, u8 tcpFlag, int payloadLen,
                    int* retran);
int isRepeat(NetSessionT* session, int direction, u16 frag);
void processIcmp(NetSessionT* session, const IpAddrT& src, const pcap_pkthdr* h, const u8* payload, int payloadLen);
int checkAppType(const u8* payload, int payloadLen);

// Where the session step sends a copy of a session whose transaction
// finished (valid 1): the exports, set by whoever assembles the pipeline.
// Without a sink the copies are dropped.
void setTransactionSink(void (*sink)(NetSessionT* session));
