// The PostgreSQL frontend/backend protocol (version 3) of one TCP
// connection, read from its segments and reported as events, in order: the
// StartupMessage and the answer to an SSL or GSS encryption request, the
// client's Query, Parse, Bind, Execute, Sync and Close, the server's
// CommandComplete, EmptyQueryResponse, PortalSuspended, ErrorResponse and
// ReadyForQuery. Every other message is passed over.
//
// The reader is incremental: messages may be cut anywhere by segments and
// only the fields reported are gathered (a statement of several MB, or a
// Bind with large parameters, passes through fixed state). It keeps no text
// of an earlier message: matching an Execute to its statement is the
// caller's. Segments of a direction must come in order; a gap or a partly
// overlapping segment stops reading that direction, a segment wholly before
// the expected one (a retransmission) is passed over.
#pragma once

#include <sys/time.h>

#include "core/pgsql_state.h"
#include "core/types.h"

enum PgEventKindE {
    WX_PG_STARTUP,     // user, database
    WX_PG_SSL_ANSWER,  // sslAnswer; after 'S' or 'G' nothing more is read
    WX_PG_QUERY,       // text
    WX_PG_PARSE,       // name, text
    WX_PG_BIND,        // portal, name (the statement)
    WX_PG_EXECUTE,     // portal
    WX_PG_SYNC,
    WX_PG_CLOSE,       // closeKind, name
    WX_PG_COMPLETE,    // CommandComplete: text (its tag)
    WX_PG_EMPTY,       // EmptyQueryResponse
    WX_PG_SUSPENDED,   // PortalSuspended
    WX_PG_ERROR,       // sqlstate, message
    WX_PG_READY,       // ReadyForQuery
    NUM_WX_PG
};

// One event. Texts are NUL-terminated, "" where the kind has none, and live
// until the callback returns.
struct PgEventT {
    int kind;
    // Requests: the frame holding the message's first byte; answers: the
    // frame holding its last byte.
    timeval ts;
    const char* text;  // a statement cleaned as the records write it, or a command tag
    int textLen;
    const char* name;
    const char* portal;
    char closeKind;  // 'S' statement, 'P' portal
    const char* user;
    const char* database;  // the user's name when the StartupMessage has none
    char sqlstate[PG_SQLSTATE_SIZE];
    const char* message;
    char sslAnswer;  // 'S' or 'N' to an SSLRequest, 'G' or 'N' to a GSSENCRequest
};

struct PgSinkT {
    void* ctx;
    void (*event)(void* ctx, const PgEventT& e);
};

// Readies a zeroed state.
void pgInit(PgStateT* s);

// Reads one segment of direction 1 (client to server) or 2 (back), with its
// TCP sequence number and frame time, and reports the messages it completes.
void pgFeed(PgStateT* s, int direction, u32 seq, const timeval& ts, const u8* payload, int len, const PgSinkT& sink);

// The next n bytes of the direction were not captured (a frame cut short):
// passed over inside a message's body, which ends with what was gathered
// of it; anywhere else they stop the direction.
void pgSkip(PgStateT* s, int direction, u32 n, const timeval& ts, const PgSinkT& sink);
// A stopped direction reads again, from the start of its next segment,
// which must begin a message; true when it was stopped.
bool pgResume(PgStateT* s, int direction);
