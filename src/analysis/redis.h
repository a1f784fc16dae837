// Redis commands and their replies, read from the segments of one TCP
// connection: requests as arrays of bulk strings or inline lines, replies of
// every RESP2 and RESP3 type. Each whole command and each whole top-level
// reply is reported through a sink, in order; pipelined commands and their
// replies come out in the order they were sent, for the caller to pair.
//
// The reader is incremental: a command or reply may be cut anywhere by
// segments, and only what a result needs is gathered (a command's text up to
// the records' field, a user or database, the start of an error). Segments of
// a direction must come in order; a gap or a partly overlapping segment stops
// reading that direction, as do bytes that are not the protocol (a length
// that lies, a nesting deeper than the state holds, RESP3's streamed types);
// a segment wholly before the expected one (a retransmission) is passed over.
#pragma once

#include <sys/time.h>

#include "core/redis_state.h"
#include "core/types.h"

enum RedisKindE { WX_REDIS_OTHER, WX_REDIS_AUTH, WX_REDIS_HELLO, WX_REDIS_SELECT, NUM_REDIS_KINDS };

// A whole command, reported when its last byte is read. The texts live in
// the state: they are valid during the call only.
struct RedisCommandT {
    // The name and arguments joined by one blank: bytes that are not
    // printable written "\xHH", cleaned as the records' statements are, cut
    // to SQL_TEXT_CHARS (whole escapes only). Every password written "****":
    // AUTH's, the AUTH options of HELLO and MIGRATE, CONFIG SET's secret
    // parameters, ACL SETUSER's rules.
    const char* text;
    int len;
    timeval begin;     // the frame holding the command's first byte
    int kind;          // WX_REDIS_..., the name matched without regard to case
    const char* user;  // AUTH with two arguments, or HELLO's AUTH: the user; "" otherwise
    const char* db;    // SELECT: its argument; "" otherwise
};

// A whole top-level reply, reported when its last byte is read. Pushes and
// attributes are not replies and are not reported.
struct RedisReplyT {
    const char* err;  // an error reply: its text without the '-', cut to REDIS_ERR_SIZE - 1 bytes; "" otherwise
    int errLen;
    timeval end;  // the frame holding the reply's last byte
};

struct RedisSinkT {
    void* ctx;
    void (*command)(void* ctx, const RedisCommandT& c);
    void (*reply)(void* ctx, const RedisReplyT& r);
};

// Readies a zeroed state.
void redisInit(RedisStateT* s);

// Reads one segment of direction 1 (client to server) or 2 (back), with its
// TCP sequence number and frame time, reporting what it completes.
void redisFeed(RedisStateT* s, int direction, u32 seq, const timeval& ts, const u8* payload, int len,
               const RedisSinkT& sink);

// The next n bytes of the direction were not captured (a frame cut short):
// passed over inside a bulk string, which keeps the place (a command's text
// then ends before that argument); anywhere else they stop the direction.
void redisSkip(RedisStateT* s, int direction, u32 n);
// A stopped direction reads again, from the start of its next segment,
// which must begin a command or a reply; true when it was stopped.
bool redisResume(RedisStateT* s, int direction);
