// Statements in flight. A slot holds one statement waiting for its answer,
// one prepared statement or portal of a PostgreSQL connection, or what a
// connection's records need besides (its user and database, the head of its
// latest statement). Slots are linked by number into a session's lists; the
// pool's free list is the only thing shared between threads, under a lock
// held for a few words. A slot's content belongs to the session that holds
// its number (read and written under the session's bucket lock), or to the
// copy of an ended session that took it over, or to the processing thread
// once its statement is answered and waits to be sent.
#include "analysis/statements.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>

#include "analysis/pgsql.h"
#include "analysis/redis.h"
#include "analysis/session.h"
#include "analysis/tls.h"
#include "core/util.h"

namespace {

enum SlotKindE : u8 {
    SLOT_QUERY,    // PostgreSQL simple query: answered by its ReadyForQuery
    SLOT_EXECUTE,  // PostgreSQL Execute: by its CommandComplete or ErrorResponse, its group by ReadyForQuery
    SLOT_COMMAND,  // Redis command: by its reply
    SLOT_PREPARED, // PostgreSQL prepared statement (name: its name)
    SLOT_PORTAL,   // PostgreSQL portal (name: its name), with the text of the statement bound to it
    SLOT_EXTRA,    // the connection's user, database and latest statement
};

// The head of the latest statement a pair record carries.
constexpr int HEAD_CHARS = 32;

struct SlotT {
    u32 next;
    u8 kind;
    u8 answered;    // its result came
    u8 closes;      // PostgreSQL: the last Execute before its Sync
    u8 redisKind;   // Redis: WX_REDIS_... of the command
    u16 syncsAfter; // PostgreSQL: Syncs without a statement sent after this one closed its group
    u16 textLen;
    timeval begin;  // the frame of the request's first byte
    timeval end;    // the frame that completed its answer
    u32 bytesAt;    // the session's bytes before the frame that completed the request
    u32 bytes;      // the statement's, once answered
    char err[128];
    char user[32];  // at the answer, for its record; SLOT_EXTRA: the connection's
    char dbname[32];
    char name[64];  // prepared statement or portal; Redis: the user of AUTH or HELLO, or SELECT's database
    char text[SQL_TEXT_SIZE];
};

// Enough for thousands of connections each with prepared statements and a
// pipeline in flight; the pages of slots never used are never touched.
constexpr u32 POOL_SLOTS = 16384;
SlotT pool[POOL_SLOTS + 1];  // slot 0 is "none"
std::mutex poolLock;
u32 freeSlots = 0;    // list of freed slots, under poolLock
u32 highWater = 0;    // slots 1 to highWater have been handed out once, under poolLock
std::atomic<int> slotsUsed {0};
std::atomic<std::uint64_t> withoutRoom {0};

// A cleared slot of kind, or 0 when the pool is full.
u32 takeSlot(u8 kind)
{
    u32 n = 0;
    {
        std::lock_guard<std::mutex> lk(poolLock);
        if (freeSlots != 0) {
            n = freeSlots;
            freeSlots = pool[n].next;
        } else if (highWater < POOL_SLOTS) {
            n = ++highWater;
        }
    }
    if (n == 0) return 0;
    slotsUsed.fetch_add(1, std::memory_order_relaxed);
    SlotT& s = pool[n];
    // The header and the empty texts; the rest is written before it is read.
    std::memset(static_cast<void*>(&s), 0, offsetof(SlotT, text) + 1);
    s.kind = kind;
    return n;
}

// Frees a list of slots linked by next.
void freeList(u32 n)
{
    if (n == 0) return;
    int count = 1;
    u32 last = n;
    while (pool[last].next != 0) {
        last = pool[last].next;
        count++;
    }
    std::lock_guard<std::mutex> lk(poolLock);
    pool[last].next = freeSlots;
    freeSlots = n;
    slotsUsed.fetch_sub(count, std::memory_order_relaxed);
}

// Copies a text cut to cap - 1 bytes, not leaving half of a UTF-8 character.
void copyCut(char* out, std::size_t cap, const char* text)
{
    copyText(out, cap, text);
    std::size_t n = std::strlen(out);
    if (n < cap - 1) return;
    std::size_t at = n;
    while (at > 0 && (static_cast<u8>(out[at - 1]) & 0xC0) == 0x80) at--;
    if (at > 0 && static_cast<u8>(out[at - 1]) >= 0xC0) {
        const u8 lead = static_cast<u8>(out[at - 1]);
        const std::size_t need = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
        if (n - at < need) out[at - 1] = '\0';
    }
}

// The connection's SLOT_EXTRA, taken when first needed; nullptr when the pool is full.
SlotT* extraOf(NetSessionT* s)
{
    if (s->statements.extra == 0) s->statements.extra = takeSlot(SLOT_EXTRA);
    return s->statements.extra != 0 ? &pool[s->statements.extra] : nullptr;
}

// ---- answered statements, waiting to be sent -------------------------------

// The processing thread's: the session they came from, as it was when they
// were answered, and their slots in order.
struct AnsweredT {
    NetSessionT session;
    u32 head = 0, tail = 0;
};
thread_local AnsweredT answered;

// The record of one statement: the session's leading part, and the
// statement as the database records hold one.
void fillRecord(NetSessionT* out, const NetSessionT& from, const SlotT& e)
{
    if (out != &from) std::memcpy(static_cast<void*>(out), &from, offsetof(NetSessionT, busi));
    out->statements = {};
    out->statements.record = 1;
    out->resp = e.answered;
    out->bytes = static_cast<int>(e.bytes);
    DbSessionT& db = out->busi.db;
    std::memset(static_cast<void*>(&db), 0, offsetof(DbSessionT, sql));
    db.beginTime = e.begin;
    db.endTime = e.answered ? e.end : e.begin;
    db.response = e.answered ? timevalDiffUsec(e.end, e.begin) : 0;
    std::memcpy(db.sql, e.text, e.textLen + 1u);
    copyText(db.errMess, sizeof db.errMess, e.err);
    copyText(db.user, sizeof db.user, e.user);
    copyText(db.dbname, sizeof db.dbname, e.dbname);
}

// The connection's user and database, as they are when the statement ends.
void takeConnectionFacts(SlotT& e, const StatementRefsT& q)
{
    if (q.extra == 0) return;
    std::memcpy(e.user, pool[q.extra].user, sizeof e.user);
    std::memcpy(e.dbname, pool[q.extra].dbname, sizeof e.dbname);
}

// The statement's result has come (PostgreSQL: its group's ReadyForQuery;
// Redis: its reply): off the session's queue, which it heads, and on to the
// answered ones.
void finish(NetSessionT* s, u32 n, const timeval& end, int wireBytes)
{
    SlotT& e = pool[n];
    StatementRefsT& q = s->statements;
    q.head = e.next;
    if (q.head == 0) q.tail = 0;
    e.next = 0;
    if (e.answered && e.end.tv_sec == 0) e.end = end;
    e.bytes = static_cast<u32>(s->bytes) + static_cast<u32>(wireBytes) - e.bytesAt;
    takeConnectionFacts(e, s->statements);
    if (answered.head == 0) {
        answered.head = n;
    } else {
        pool[answered.tail].next = n;
    }
    answered.tail = n;
}

// A new statement at the end of the session's queue; nullptr (counted) when
// the pool is full.
SlotT* enqueue(NetSessionT* s, u8 kind, const timeval& begin, const char* text, int textLen)
{
    const u32 n = takeSlot(kind);
    if (n == 0) {
        withoutRoom.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    SlotT& e = pool[n];
    e.begin = begin;
    e.bytesAt = static_cast<u32>(s->bytes);
    const int len = textLen < SQL_TEXT_SIZE ? textLen : SQL_TEXT_SIZE - 1;
    std::memcpy(e.text, text, static_cast<std::size_t>(len));
    e.text[len] = '\0';
    e.textLen = static_cast<u16>(len);
    StatementRefsT& q = s->statements;
    if (q.tail != 0)
        pool[q.tail].next = n;
    else
        q.head = n;
    q.tail = n;
    if (SlotT* x = extraOf(s)) copyText(x->text, HEAD_CHARS + 1, e.text);
    return &e;
}

// ---- PostgreSQL --------------------------------------------------------------

// The prepared statement or portal of that name, or 0.
u32 findNamed(const NetSessionT& s, u8 kind, const char* name)
{
    for (u32 n = s.statements.named; n != 0; n = pool[n].next) {
        if (pool[n].kind == kind && std::strcmp(pool[n].name, name) == 0) return n;
    }
    return 0;
}

void dropNamed(NetSessionT* s, u8 kind, const char* name)
{
    for (u32* at = &s->statements.named; *at != 0; at = &pool[*at].next) {
        if (pool[*at].kind != kind || std::strcmp(pool[*at].name, name) != 0) continue;
        const u32 n = *at;
        *at = pool[n].next;
        pool[n].next = 0;
        freeList(n);
        return;
    }
}

// A prepared statement or portal of that name, with the text; replaces one
// of the same name (an unnamed one is replaced by the next).
void keepNamed(NetSessionT* s, u8 kind, const char* name, const char* text, int textLen)
{
    u32 n = findNamed(*s, kind, name);
    if (n == 0) {
        n = takeSlot(kind);
        if (n == 0) {
            withoutRoom.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        copyText(pool[n].name, sizeof pool[n].name, name);
        pool[n].next = s->statements.named;
        s->statements.named = n;
    }
    SlotT& e = pool[n];
    std::memcpy(e.text, text, static_cast<std::size_t>(textLen));
    e.text[textLen] = '\0';
    e.textLen = static_cast<u16>(textLen);
}

struct StepT {
    NetSessionT* s;
    int wireBytes;
    bool encrypted;  // PostgreSQL: the server took an SSL request
};

// The server's side was lost to bytes not captured, and the client has
// asked again: the answers to everything asked before ended within those
// bytes, at the latest with the last server frame. (A client that asks
// ahead of its answers may have one still coming; it is taken as ended.)
void answerAll(StepT& st)
{
    NetSessionT* s = st.s;
    StatementRefsT& q = s->statements;
    while (q.head != 0) {
        SlotT& e = pool[q.head];
        if (!e.answered && timevalDiffUsec(s->resTime, e.begin) > 0) {
            e.answered = 1;
            e.end = s->resTime;
        }
        finish(s, q.head, s->resTime, 0);
    }
    q.lost = 0;
    q.bare = 0;
}

// The statement of the group heading the queue that a result belongs to:
// a Query takes every result until its ReadyForQuery, an Execute one.
SlotT* resultTarget(const NetSessionT& s)
{
    for (u32 n = s.statements.head; n != 0; n = pool[n].next) {
        SlotT& e = pool[n];
        if (e.kind == SLOT_QUERY) return &e;
        if (!e.answered) return &e;
        if (e.closes) break;
    }
    return nullptr;
}

// ReadyForQuery: the head's group is answered, the Query or the Executes
// up to the one before its Sync. An Execute answered ahead of others of its
// group ends with its own result; the last one, or one the server passed
// over after an error, with the group.
void groupReady(StepT& st, const timeval& ts)
{
    StatementRefsT& q = st.s->statements;
    if (q.bare > 0) {
        q.bare--;
        return;
    }
    while (q.head != 0) {
        const u32 n = q.head;
        SlotT& e = pool[n];
        const bool last = e.kind == SLOT_QUERY || e.closes || e.next == 0;
        if (e.kind == SLOT_QUERY) e.answered = 1;
        if (last && e.answered) e.end = ts;
        const u16 bare = e.syncsAfter;
        finish(st.s, n, ts, st.wireBytes);
        if (last) {
            q.bare = bare;
            return;
        }
    }
}

void pgEvent(void* ctx, const PgEventT& ev)
{
    StepT& st = *static_cast<StepT*>(ctx);
    NetSessionT* s = st.s;
    StatementRefsT& q = s->statements;
    // Each side may have lost its place to bytes not captured: the client's
    // next message follows the server's answer, and the server's next
    // segment (once the client asks again) begins an answer.
    if (ev.kind >= WX_PG_QUERY && ev.kind <= WX_PG_CLOSE && pgResume(&s->busi.pg, 2)) answerAll(st);
    if (ev.kind == WX_PG_READY) pgResume(&s->busi.pg, 1);
    switch (ev.kind) {
    case WX_PG_STARTUP:
        if (SlotT* x = extraOf(s)) {
            copyCut(x->user, sizeof x->user, ev.user);
            copyCut(x->dbname, sizeof x->dbname, ev.database);
        }
        break;
    case WX_PG_SSL_ANSWER:
        st.encrypted = ev.sslAnswer == 'S';
        break;
    case WX_PG_QUERY:
        if (enqueue(s, SLOT_QUERY, ev.ts, ev.text, ev.textLen) == nullptr) {
            // Its ReadyForQuery is still due.
            if (q.tail != 0)
                pool[q.tail].syncsAfter++;
            else
                q.bare++;
        }
        break;
    case WX_PG_PARSE:
        keepNamed(s, SLOT_PREPARED, ev.name, ev.text, ev.textLen);
        break;
    case WX_PG_BIND: {
        const u32 p = findNamed(*s, SLOT_PREPARED, ev.name);
        keepNamed(s, SLOT_PORTAL, ev.portal, p != 0 ? pool[p].text : "", p != 0 ? pool[p].textLen : 0);
        break;
    }
    case WX_PG_EXECUTE: {
        // A portal bound before the capture began runs a statement unknown here.
        const u32 p = findNamed(*s, SLOT_PORTAL, ev.portal);
        enqueue(s, SLOT_EXECUTE, ev.ts, p != 0 ? pool[p].text : "", p != 0 ? pool[p].textLen : 0);
        break;
    }
    case WX_PG_SYNC:
        if (q.tail != 0 && pool[q.tail].kind == SLOT_EXECUTE && !pool[q.tail].closes)
            pool[q.tail].closes = 1;
        else if (q.tail != 0)
            pool[q.tail].syncsAfter++;
        else
            q.bare++;
        break;
    case WX_PG_CLOSE:
        dropNamed(s, ev.closeKind == 'S' ? SLOT_PREPARED : SLOT_PORTAL, ev.name);
        break;
    case WX_PG_COMPLETE:
    case WX_PG_EMPTY:
    case WX_PG_SUSPENDED:
    case WX_PG_ERROR:
        if (SlotT* e = resultTarget(*s)) {
            // A Query's first error is its error; its end is its ReadyForQuery.
            if (ev.kind == WX_PG_ERROR && e->err[0] == '\0') {
                std::size_t n = std::strlen(ev.sqlstate);
                std::memcpy(e->err, ev.sqlstate, n);
                if (n > 0) e->err[n++] = ' ';
                copyText(e->err + n, sizeof e->err - n, ev.message);
            }
            if (e->kind == SLOT_EXECUTE) {
                e->answered = 1;
                e->end = ev.ts;
            }
        }
        break;
    case WX_PG_READY:
        groupReady(st, ev.ts);
        break;
    }
}

// ---- Redis -------------------------------------------------------------------

void redisCommand(void* ctx, const RedisCommandT& c)
{
    StepT& st = *static_cast<StepT*>(ctx);
    StatementRefsT& q = st.s->statements;
    if (redisResume(&st.s->busi.redis, 2)) answerAll(st);
    // Behind a command that found no room, the replies would pair wrongly:
    // the commands after it wait as a count too, until their turn.
    SlotT* e = nullptr;
    if (q.lost == 0)
        e = enqueue(st.s, SLOT_COMMAND, c.begin, c.text, c.len);
    else
        withoutRoom.fetch_add(1, std::memory_order_relaxed);
    if (e == nullptr) {
        q.lost++;
        return;
    }
    e->redisKind = static_cast<u8>(c.kind);
    copyCut(e->name, sizeof e->name, c.kind == WX_REDIS_SELECT ? c.db : c.user);
}

void redisReply(void* ctx, const RedisReplyT& r)
{
    StepT& st = *static_cast<StepT*>(ctx);
    NetSessionT* s = st.s;
    StatementRefsT& q = s->statements;
    redisResume(&s->busi.redis, 1);
    if (q.head == 0) {
        // A subscriber's messages and a monitor's lines answer no command.
        if (q.lost > 0) q.lost--;
        return;
    }
    SlotT& e = pool[q.head];
    e.answered = 1;
    copyText(e.err, sizeof e.err, r.err);
    // A login or a change of database holds once the server took it.
    if (r.err[0] == '\0' && e.name[0] != '\0') {
        if (SlotT* x = extraOf(s)) {
            if (e.redisKind == WX_REDIS_SELECT)
                copyText(x->dbname, sizeof x->dbname, e.name);
            else if (e.redisKind == WX_REDIS_AUTH || e.redisKind == WX_REDIS_HELLO)
                copyText(x->user, sizeof x->user, e.name);
        }
    }
    finish(s, q.head, r.end, st.wireBytes);
}

}  // namespace

void statementStep(NetSessionT* session, int direction, u32 seq, const timeval& ts, const u8* payload, int len,
                   int wireLen, int wireBytes)
{
    NetSessionT* s = session;
    const bool pg = s->type == APP_POSTGRESQL;
    if (!s->statements.ready) {
        std::memset(static_cast<void*>(&s->busi), 0, sizeof s->busi);
        if (pg)
            pgInit(&s->busi.pg);
        else
            redisInit(&s->busi.redis);
        s->statements.ready = 1;
    }
    StepT st {s, wireBytes, false};
    // Bytes of the segment past those captured are passed over.
    const u32 missing = wireLen > len ? static_cast<u32>(wireLen - len) : 0;
    if (pg) {
        const PgSinkT sink {&st, pgEvent};
        pgFeed(&s->busi.pg, direction, seq, ts, payload, len, sink);
        pgSkip(&s->busi.pg, direction, missing, ts, sink);
    } else {
        redisFeed(&s->busi.redis, direction, seq, ts, payload, len, RedisSinkT {&st, redisCommand, redisReply});
        redisSkip(&s->busi.redis, direction, missing);
    }
    // Their records carry the session's counters as they are now.
    if (answered.head != 0) {
        std::memcpy(static_cast<void*>(&answered.session), s, offsetof(NetSessionT, busi));
    }
    if (st.encrypted) {
        // The connection goes on in TLS, its handshake read as any other's.
        endStatements(s, nullptr);
        s->statements = {};
        s->type = APP_TLS;
        std::memset(static_cast<void*>(&s->busi.tls), 0, sizeof s->busi.tls);
        tlsInit(&s->busi.tls);
    }
}

void sendAnswered(void (*send)(NetSessionT* record))
{
    u32 n = answered.head;
    if (n == 0) return;
    answered.head = answered.tail = 0;
    NetSessionT& record = answered.session;
    while (n != 0) {
        const u32 next = pool[n].next;
        pool[n].next = 0;
        fillRecord(&record, record, pool[n]);
        if (send != nullptr) send(&record);
        freeList(n);
        n = next;
    }
}

void handOverStatements(NetSessionT* session, NetSessionT* to)
{
    if (!ownsStatements(*session)) return;
    std::memcpy(static_cast<void*>(to), session, sizeof *session);
    to->valid = 1;
    session->statements = {};
}

void endStatements(NetSessionT* ended, void (*send)(NetSessionT* record))
{
    StatementRefsT& q = ended->statements;
    if (send != nullptr && q.head != 0) {
        // One copy for all: the ended session itself holds the slot numbers.
        static thread_local NetSessionT record;
        while (q.head != 0) {
            const u32 n = q.head;
            SlotT& e = pool[n];
            q.head = e.next;
            e.next = 0;
            takeConnectionFacts(e, q);
            e.bytes = static_cast<u32>(ended->bytes) - e.bytesAt;
            fillRecord(&record, *ended, e);
            send(&record);
            freeList(n);
        }
    }
    freeList(q.head);
    freeList(q.named);
    freeList(q.extra);
    q.head = q.tail = q.named = q.extra = 0;
}

const char* latestStatement(const NetSessionT& s)
{
    return s.statements.extra != 0 ? pool[s.statements.extra].text : "";
}

std::uint64_t statementsWithoutRoom() { return withoutRoom.load(std::memory_order_relaxed); }
int statementSlotsUsed() { return slotsUsed.load(std::memory_order_relaxed); }
