// Statements of PostgreSQL and Redis connections, from request to answer.
// Both protocols may have many requests in flight (a Redis pipeline, a
// PostgreSQL client's Executes before its Sync), and PostgreSQL runs a
// prepared statement long after its text was sent: the texts wait in slots
// of a pool shared by every session, set aside once, and each answered
// statement makes a record of its own (the database record, type 8 or 9).
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "core/global_define.h"

// One payload segment of a PostgreSQL or Redis session (its bucket locked):
// len bytes captured of its wireLen, and the bytes of its frame on the wire.
// The records of the statements it answers wait for sendAnswered.
void statementStep(NetSessionT* session, int direction, u32 seq, const timeval& ts, const u8* payload, int len,
                   int wireLen, int wireBytes);
// Sends the records of the statements answered since the last call, one
// copy of the session each; called with no bucket lock held, by the thread
// that steps the sessions.
void sendAnswered(void (*send)(NetSessionT* record));

// Whether the session owns slots, which whoever ends it must hand on.
inline bool ownsStatements(const NetSessionT& s)
{
    return (s.statements.head | s.statements.named | s.statements.extra) != 0;
}
// Gives a session's slots to a copy of it (valid 1) that ends them; the
// session keeps none, and reads its connection afresh.
void handOverStatements(NetSessionT* session, NetSessionT* to);
// A copy of a session that ended, with its slots: the statements still
// waiting go out (answered when their result came, else with "resp" 0) and
// every slot is freed. send nullptr frees them without records.
void endStatements(NetSessionT* ended, void (*send)(NetSessionT* record));

// The first characters of the latest statement, "" when none: the pair
// records' "urlsql". The session's bucket is locked.
const char* latestStatement(const NetSessionT& s);

// Statements that found the pool full and make no record, since start-up.
std::uint64_t statementsWithoutRoom();
// Slots in use now.
int statementSlotsUsed();
