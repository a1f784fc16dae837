// The per-session state of the TLS handshake reader (analysis/tls.h), here
// so that the session's union can hold it. Plain data of fixed size.
#pragma once

#include <sys/time.h>

#include "core/types.h"

// Sizes of the text results, with their NUL.
constexpr int TLS_SNI_SIZE = 128;
constexpr int TLS_ALPN_SIZE = 32;
constexpr int TLS_CN_SIZE = 64;
constexpr int TLS_HASH_SIZE = 33;       // 32 lower-case hex digits
constexpr int TLS_TIME_SIZE = 20;       // "YYYY-MM-DD HH:MM:SS"
constexpr int TLS_OFFERED_VERSIONS = 6;
// Gathered bytes of a field: the client's longest is the server name
// extension (5 bytes of lists and a name of up to 127); the server's is the
// start of its first certificate, up to the end of the subject.
constexpr int TLS_CLIENT_GATHER = 136;
constexpr int TLS_SERVER_GATHER = 320;
// Groups and point formats of the ClientHello kept for JA3 (their place in
// its text is after the extension list); a client offering more gets no JA3.
constexpr int TLS_JA3_GROUPS = 16;
constexpr int TLS_JA3_FORMATS = 4;
// libcrypto's MD5 context, kept as plain bytes so that this header needs no
// OpenSSL header (tls.cpp checks the size).
constexpr int TLS_MD5_STATE_SIZE = 96;
constexpr int TLS_HASH_BUFFER = 64;  // fingerprint text not yet hashed: one MD5 block

// One direction's reading position.
struct TlsDirT {
    timeval recTime;   // frame holding the first byte of the current record
    u32 nextSeq;       // sequence number the next segment must start at
    u32 recLeft;       // body bytes of the current record still to come
    u32 msgLeft;       // body bytes of the current handshake message still to come
    u32 skip;          // bytes to pass over before the current field
    u32 after;         // bytes to pass over after it (the rest of a field cut to the gather size)
    u16 want;          // bytes of the current field still to gather
    u16 got;           // bytes gathered
    u16 listLeft;      // bytes left of the list being read (cipher suites, extensions)
    u16 extType;       // the extension whose body is being gathered
    u8 recHdr[5];      // a record header being gathered
    u8 recHdrGot;
    u8 msgHdr[4];      // a handshake message header being gathered
    u8 msgHdrGot;
    u8 step;           // what the gathered bytes are (see tls.cpp)
    u8 alertLevel;     // level byte of the alert being read
    u8 started;        // nextSeq is known
    u8 stopped;        // out of order or not TLS: nothing more is read
    u8 encrypted;      // after a ChangeCipherSpec up to TLS 1.2: handshake records are no longer clear
    u8 listFirst;      // the next number is the first of its JA3 list (no '-')
};

// The handshake state and results of one session. Plain data: a session
// starts it zeroed (memset) and calls tlsInit.
struct TlsStateT {
    // Results; texts are NUL-terminated, cut to their field.
    char sni[TLS_SNI_SIZE];
    char alpnOffer[TLS_ALPN_SIZE];   // the client's first ALPN protocol
    char alpnChosen[TLS_ALPN_SIZE];  // the server's choice (not in clear in TLS 1.3)
    char certSubject[TLS_CN_SIZE];   // common names of the first certificate
    char certIssuer[TLS_CN_SIZE];
    char certNotAfter[TLS_TIME_SIZE];  // UTC, "" when not seen
    char ja3[TLS_HASH_SIZE];
    char ja3s[TLS_HASH_SIZE];
    u16 offered[TLS_OFFERED_VERSIONS];  // the ClientHello's supported_versions, GREASE left out
    u8 offeredCount;
    u16 helloVersion;  // the ClientHello's legacy version
    u16 version;       // negotiated: supported_versions of the ServerHello, else its legacy version
    u16 cipher;
    int alert;         // description of the first fatal alert in clear, -1 none
    // Frames that began the records holding the first bytes of the hellos:
    // a hello cut into several segments counts from its first.
    timeval clientHelloTime;
    timeval serverHelloTime;
    timeval lastHandshakeTime;  // latest frame carrying handshake record bytes
    timeval completeTime;     // frame of the client's first application-data record
    u8 seenClientHello, seenServerHello, complete;
    u8 certSeen;  // the first Certificate message has been read

    // Reading state.
    TlsDirT dir[2];  // client to server, server to client
    u8 clientGather[TLS_CLIENT_GATHER];
    u8 serverGather[TLS_SERVER_GATHER];
    u16 groups[TLS_JA3_GROUPS];
    u8 formats[TLS_JA3_FORMATS];
    u8 groupCount, formatCount;
    u8 ja3Lost;    // the ClientHello's lists did not fit: no JA3
    u8 hashDir;    // the direction whose message the MD5 context is hashing, 0 none
    u8 hashLen;
    char hashBuf[TLS_HASH_BUFFER];
    alignas(8) u8 md5[TLS_MD5_STATE_SIZE];
};
// 1,296 bytes: within the 1,304 of the database part it sits beside in the
// session's union, so that sessions do not grow.
static_assert(sizeof(TlsStateT) <= 1304, "the TLS state outgrows its room");
