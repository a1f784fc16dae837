// The per-session state of the PostgreSQL protocol reader (analysis/pgsql.h),
// here so that the session's union can hold it. Plain data of fixed size.
#pragma once

#include <sys/time.h>

#include "core/sql_text.h"
#include "core/types.h"

// Sizes of the gathered texts, with their NUL.
constexpr int PG_NAME_SIZE = 64;      // statement, portal, user and database names: 63 bytes
constexpr int PG_MESSAGE_SIZE = 121;  // an error's message or a command tag: 120 bytes
constexpr int PG_SQLSTATE_SIZE = 6;
constexpr int PG_KEY_SIZE = 10;  // a startup parameter's name: enough to tell "user" and "database" apart

// One direction's reading position.
struct PgDirT {
    u32 nextSeq;  // sequence number the next segment must start at
    u32 left;     // while the header is read, its length field; then body bytes still to come
    u32 code;     // the request code of an untyped message
    u16 got;      // bytes of the current text gathered
    u8 hdrGot;    // header bytes read: type and length, or length and code
    u8 type;      // the message's type byte; 0 for an untyped one
    u8 step;      // what the next body bytes are (see pgsql.cpp)
    u8 field;     // the ErrorResponse field, or the startup parameter, being read
    u8 untyped;   // the next message has no type byte (the client's first ones)
    u8 started;   // nextSeq is known
    u8 stopped;   // out of order or not this protocol: nothing more is read
};

// The reading state of one session. Plain data: a session starts it zeroed
// (memset) and calls pgInit. Only the fields of the message being read are
// kept; the texts of earlier messages are the caller's to keep.
struct PgStateT {
    timeval reqTime;  // frame holding the first byte of the client's current message
    // The client's texts: a statement, or the names of a Bind, an Execute or
    // the StartupMessage, never both in one message.
    union {
        SqlTextT sql;
        struct {
            char portal[PG_NAME_SIZE];
            char user[PG_NAME_SIZE];
            char database[PG_NAME_SIZE];
            char key[PG_KEY_SIZE];
        } ids;
    } client;
    char name[PG_NAME_SIZE];  // statement (Parse, Bind) or statement or portal (Close)
    char closeKind;
    // The server's: an error's fields, or a command tag in message.
    char message[PG_MESSAGE_SIZE];
    char sqlstate[PG_SQLSTATE_SIZE];
    u8 awaitAnswer;  // an SSLRequest or GSSENCRequest waits for the server's one-byte answer
    u8 done;         // the session went to encryption: nothing more is read
    PgDirT dir[2];   // client to server, server to client
};
// 1,288 bytes: within the 1,304 of the database part it sits beside in the
// session's union, so that sessions do not grow.
static_assert(sizeof(PgStateT) <= 1304, "the PostgreSQL state outgrows its room");
