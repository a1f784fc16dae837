// The clear-text part of a TLS handshake: server name, versions, cipher,
// ALPN, the JA3 and JA3S fingerprints, the server's first certificate (up to
// TLS 1.2) and a fatal alert, read from the segments of one TCP connection.
//
// The reader is incremental: records and handshake messages may be cut
// anywhere by segments and records, and only the fields it reports are
// gathered (a ClientHello of several KB, a post-quantum key share or a long
// cipher list, passes through a few hundred bytes of state). Segments of a
// direction must come in order; a gap or a partly overlapping segment stops
// reading that direction, a segment wholly before the expected one (a
// retransmission) is passed over.
#pragma once

#include <sys/time.h>

#include "core/tls_state.h"
#include "core/types.h"

// Readies a zeroed state.
void tlsInit(TlsStateT* s);

// Whether the client's first payload starts a TLS handshake: a handshake
// record (content type 22) of version 3.1 to 3.4 holding a ClientHello.
bool tlsStarts(const u8* payload, int len);

// Reads one segment of direction 1 (client to server) or 2 (back), with its
// TCP sequence number and frame time. True once, when the handshake has just
// completed: the client's first application-data record after the
// ServerHello (in TLS 1.3 its encrypted Finished). Later segments are not read.
bool tlsFeed(TlsStateT* s, int direction, u32 seq, const timeval& ts, const u8* payload, int len);

// The record's texts; without a ServerHello (seenServerHello 0) the record
// writes "" for both instead.
// "TLSv1.0" to "TLSv1.3", "SSLv3", else the number in hex ("0x7f1c").
void tlsVersionText(u16 version, char* out, int outSize);
// "0x" and four lower-case hex digits.
void tlsCipherText(u16 cipher, char* out, int outSize);
