// The per-session state of the Redis reader (analysis/redis.h), here so that
// the session's union can hold it. Plain data of fixed size.
#pragma once

#include "core/sql_text.h"
#include "core/types.h"

constexpr int REDIS_FIELD_SIZE = 32;  // the records' user and dbname fields, with their NUL
constexpr int REDIS_ERR_SIZE = 128;   // the records' error text, with its NUL
// Aggregates open at once in a reply; a deeper one stops the direction.
// Real replies nest a few levels (command docs, the deepest, about eight).
constexpr int REDIS_MAX_DEPTH = 16;

// One direction's reading position.
struct RedisDirT {
    // The number of a length line being read, then the bytes of a bulk still
    // to come (a string is at most 512 MB); the bytes of an inline command's line.
    u32 num;
    u32 nextSeq;  // sequence number the next segment must start at
    u8 step;      // what the next byte is (see redis.cpp)
    u8 lineLen;   // bytes of the length line so far
    u8 numBits;   // digits seen, a minus sign, a '\r' seen (redis.cpp)
    u8 order;     // 0 before the first segment, 1 reading, 2 stopped: nothing more is read
};

// Plain data: a session starts it zeroed (memset) and calls redisInit.
struct RedisStateT {
    SqlTextT text;                 // the command being read, cleaned as the records write it
    char field[REDIS_FIELD_SIZE];  // its user (AUTH, HELLO) or database (SELECT), raw, cut
    char err[REDIS_ERR_SIZE];      // the error of the reply being read, cut, ended when reported
    RedisDirT dir[2];              // client to server, server to client

    // The command being read.
    u32 beginSec, beginUsec;  // frame holding its first byte
    u32 argsLeft;             // arguments of an array still to come
    u8 argIndex;              // the argument being read, 0 the name (stays at 255 from there)
    u8 argMode;               // how its bytes are taken (redis.cpp)
    u8 kind;                  // WX_REDIS_... once the name is read
    u8 role;                  // what the next argument is to its command (redis.cpp)
    u8 fieldLen;
    u16 match;                // keywords the argument may still be, one bit each
    u8 matchAt;               // its bytes compared so far
    u8 reqBits;               // inline quoting, the text full, the user known (redis.cpp)

    // The reply being read: the elements still to come of each open aggregate,
    // an attribute's with its top bit set (it is not an element of its parent).
    u32 left[REDIS_MAX_DEPTH];
    u8 depth;
    u8 errLen;
    u8 resBits;  // the reply is a push, is an error, an error's bytes are gathered
};
// Within the 1,304 bytes of the database part it sits beside in the
// session's union, so that sessions do not grow.
static_assert(sizeof(RedisStateT) <= 1304, "the Redis state outgrows its room");
