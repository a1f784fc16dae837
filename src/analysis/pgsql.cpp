// The PostgreSQL protocol reader. Two layers per direction: messages (a
// header of type byte and length, or for the client's first ones length and
// request code, then a body cut by segments), and the fields of the few
// messages read, each a byte or a NUL-ended text taken a piece at a time and
// kept only as far as its field holds.
#include "analysis/pgsql.h"

#include <algorithm>
#include <cstring>

#include "decode/frame_view.h"

namespace {

// What the next body bytes of a direction are.
enum PgStepE : u8 {
    WX_PGS_SKIP,  // the rest of the message is not read
    WX_PGS_QUERY,  // statement text (Query; Parse after its name)
    WX_PGS_PARSE_NAME,
    WX_PGS_BIND_PORTAL,
    WX_PGS_BIND_NAME,
    WX_PGS_EXEC_PORTAL,
    WX_PGS_CLOSE_KIND,
    WX_PGS_CLOSE_NAME,
    WX_PGS_KEY,    // a StartupMessage parameter name; an empty one ends the list
    WX_PGS_VALUE,  // its value
    WX_PGS_ERR_CODE,  // an ErrorResponse field's code byte; 0 ends the fields
    WX_PGS_ERR_VALUE,
    WX_PGS_TAG,  // CommandComplete
    NUM_WX_PGS
};

enum { CLIENT = 0, SERVER = 1 };

// Request codes of the client's untyped messages.
constexpr u32 CANCEL_REQUEST = 80877102;
constexpr u32 SSL_REQUEST = 80877103;
constexpr u32 GSSENC_REQUEST = 80877104;
constexpr u32 PROTOCOL_3 = 3;  // the major version in the top 16 bits; any minor reads the same

// The server refuses a startup packet over 10,000 bytes and a message over
// 1 GB; a length past these is not this protocol, or not its start.
constexpr u32 MAX_STARTUP = 10000;
constexpr u32 MAX_MESSAGE = 0x40000000;

// Where the current text of a direction is kept, and its size; null when it
// is only passed over.
char* textOf(PgStateT* s, int dn, int* size)
{
    const PgDirT& d = s->dir[dn];
    *size = PG_NAME_SIZE;
    switch (d.step) {
    case WX_PGS_PARSE_NAME:
    case WX_PGS_BIND_NAME:
    case WX_PGS_CLOSE_NAME:
        return s->name;
    case WX_PGS_BIND_PORTAL:
    case WX_PGS_EXEC_PORTAL:
        return s->client.ids.portal;
    case WX_PGS_KEY:
        *size = PG_KEY_SIZE;
        return s->client.ids.key;
    case WX_PGS_VALUE:
        return d.field == 'u' ? s->client.ids.user : d.field == 'd' ? s->client.ids.database : nullptr;
    case WX_PGS_ERR_VALUE:
        if (d.field == 'C') {
            *size = PG_SQLSTATE_SIZE;
            return s->sqlstate;
        }
        *size = PG_MESSAGE_SIZE;
        return d.field == 'M' ? s->message : nullptr;
    case WX_PGS_TAG:
        *size = PG_MESSAGE_SIZE;
        return s->message;
    default:
        return nullptr;
    }
}

// A text cut to its field may end inside a UTF-8 character: the records
// must not carry half of one.
void dropCutChar(char* text, int len)
{
    int at = len, follow = 0;
    while (at > 0 && follow < 3 && (static_cast<u8>(text[at - 1]) & 0xC0) == 0x80) {
        at--;
        follow++;
    }
    if (at == 0) return;
    const u8 lead = static_cast<u8>(text[at - 1]);
    const int need = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (follow < need) text[at - 1] = '\0';
}

// The current text has ended at its NUL: sets the field after it.
void textEnded(PgStateT* s, int dn)
{
    PgDirT& d = s->dir[dn];
    const u16 got = d.got;
    d.got = 0;
    switch (d.step) {
    case WX_PGS_PARSE_NAME:
        d.step = WX_PGS_QUERY;
        break;
    case WX_PGS_BIND_PORTAL:
        d.step = WX_PGS_BIND_NAME;
        break;
    case WX_PGS_KEY: {
        const char* key = s->client.ids.key;
        d.field = std::strcmp(key, "user") == 0 ? 'u' : std::strcmp(key, "database") == 0 ? 'd' : 0;
        d.step = got == 0 ? WX_PGS_SKIP : WX_PGS_VALUE;
        break;
    }
    case WX_PGS_VALUE:
        d.step = WX_PGS_KEY;
        break;
    case WX_PGS_ERR_VALUE:
        d.step = WX_PGS_ERR_CODE;
        break;
    default:
        d.step = WX_PGS_SKIP;
    }
}

// Body bytes of the current message, read field by field.
void bodyBytes(PgStateT* s, int dn, const FrameView& f)
{
    PgDirT& d = s->dir[dn];
    const long len = static_cast<long>(f.size());
    long off = 0;
    while (off < len && d.step != WX_PGS_SKIP) {
        if (d.step == WX_PGS_QUERY) {
            // The cleaner stops at a NUL or a full text; what follows the
            // statement (a Parse's parameter types) is not wanted.
            SqlTextT* t = &s->client.sql;
            const FrameView rest = f.from(off);
            sqlTextAdd(t, rest.data(), static_cast<long>(rest.size()));
            if (t->closed || t->len >= SQL_TEXT_CHARS) d.step = WX_PGS_SKIP;
            return;
        }
        if (d.step == WX_PGS_CLOSE_KIND) {
            s->closeKind = static_cast<char>(f.u8(off++));
            d.step = WX_PGS_CLOSE_NAME;
            continue;
        }
        if (d.step == WX_PGS_ERR_CODE) {
            d.field = f.u8(off++);
            d.step = d.field == 0 ? WX_PGS_SKIP : WX_PGS_ERR_VALUE;
            continue;
        }
        int size = 0;
        char* out = textOf(s, dn, &size);
        bool ended = false;
        while (off < len && !ended) {
            const u8 b = f.u8(off++);
            ended = b == 0;
            if (!ended && out != nullptr && d.got < size - 1) out[d.got++] = static_cast<char>(b);
        }
        if (out != nullptr) {
            out[d.got] = '\0';
            if (d.got == size - 1) dropCutChar(out, d.got);
        }
        if (ended) textEnded(s, dn);
    }
}

// A message header is complete: false when it is not this protocol.
bool beginMessage(PgStateT* s, int dn)
{
    PgDirT& d = s->dir[dn];
    d.step = WX_PGS_SKIP;
    d.got = 0;
    if (d.untyped) {  // the client's length and request code
        if (d.left < 8 || d.left > MAX_STARTUP) return false;
        d.left -= 8;
        if (d.code == SSL_REQUEST || d.code == GSSENC_REQUEST) {
            s->awaitAnswer = 1;
            return d.left == 0;
        }
        if (d.code >> 16 == PROTOCOL_3) {
            d.untyped = 0;
            s->client.ids.user[0] = s->client.ids.database[0] = '\0';
            d.step = WX_PGS_KEY;
            return true;
        }
        return d.code == CANCEL_REQUEST;
    }
    if (d.left < 4 || d.left > MAX_MESSAGE) return false;
    d.left -= 4;
    if (dn == CLIENT) {
        switch (d.type) {
        case 'Q':
            sqlTextStart(&s->client.sql);
            d.step = WX_PGS_QUERY;
            break;
        case 'P':
            sqlTextStart(&s->client.sql);
            s->name[0] = '\0';
            d.step = WX_PGS_PARSE_NAME;
            break;
        case 'B':
        case 'E':
            s->client.ids.portal[0] = s->name[0] = '\0';
            d.step = d.type == 'B' ? WX_PGS_BIND_PORTAL : WX_PGS_EXEC_PORTAL;
            break;
        case 'C':
            s->closeKind = 0;
            s->name[0] = '\0';
            d.step = WX_PGS_CLOSE_KIND;
            break;
        }
    } else if (d.type == 'E' || d.type == 'C') {
        s->sqlstate[0] = s->message[0] = '\0';
        d.step = d.type == 'E' ? WX_PGS_ERR_CODE : WX_PGS_TAG;
    }
    return true;
}

void emit(const PgSinkT& sink, PgEventT& e)
{
    if (sink.event != nullptr) sink.event(sink.ctx, e);
}

PgEventT eventOf(int kind, const timeval& ts)
{
    PgEventT e {};
    e.kind = kind;
    e.ts = ts;
    e.text = e.name = e.portal = e.user = e.database = e.message = "";
    return e;
}

// The current message has ended: reports it when it is one of those read.
void endMessage(PgStateT* s, int dn, const timeval& ts, const PgSinkT& sink)
{
    PgDirT& d = s->dir[dn];
    d.hdrGot = 0;
    d.step = WX_PGS_SKIP;
    int kind = -1;
    if (dn == CLIENT) {
        static const char types[] = "QPBESC";
        static const int kinds[] = {WX_PG_QUERY, WX_PG_PARSE, WX_PG_BIND, WX_PG_EXECUTE, WX_PG_SYNC, WX_PG_CLOSE};
        const char* at = d.type != 0 ? std::strchr(types, d.type) : nullptr;
        if (at != nullptr) kind = kinds[at - types];
        if (d.type == 0 && d.code >> 16 == PROTOCOL_3) kind = WX_PG_STARTUP;
    } else {
        static const char types[] = "CIsEZ";
        static const int kinds[] = {WX_PG_COMPLETE, WX_PG_EMPTY, WX_PG_SUSPENDED, WX_PG_ERROR, WX_PG_READY};
        const char* at = std::strchr(types, d.type);
        if (at != nullptr && d.type != 0) kind = kinds[at - types];
    }
    if (kind < 0) return;
    PgEventT e = eventOf(kind, dn == CLIENT ? s->reqTime : ts);
    switch (kind) {
    case WX_PG_STARTUP:
        e.user = s->client.ids.user;
        e.database = s->client.ids.database[0] != '\0' ? s->client.ids.database : e.user;
        break;
    case WX_PG_QUERY:
    case WX_PG_PARSE:
        sqlTextEnd(&s->client.sql);
        e.text = s->client.sql.text;
        e.textLen = s->client.sql.len;
        if (kind == WX_PG_PARSE) e.name = s->name;
        break;
    case WX_PG_BIND:
    case WX_PG_EXECUTE:
        e.portal = s->client.ids.portal;
        if (kind == WX_PG_BIND) e.name = s->name;
        break;
    case WX_PG_CLOSE:
        e.closeKind = s->closeKind;
        e.name = s->name;
        break;
    case WX_PG_COMPLETE:
        e.text = s->message;
        e.textLen = static_cast<int>(std::strlen(s->message));
        break;
    case WX_PG_ERROR:
        std::memcpy(e.sqlstate, s->sqlstate, sizeof e.sqlstate);
        e.message = s->message;
        break;
    }
    emit(sink, e);
}

}  // namespace

void pgInit(PgStateT* s) { s->dir[CLIENT].untyped = 1; }

void pgFeed(PgStateT* s, int direction, u32 seq, const timeval& ts, const u8* payload, int len, const PgSinkT& sink)
{
    if (s->done || len <= 0 || payload == nullptr || (direction != 1 && direction != 2)) return;
    const int dn = direction - 1;
    PgDirT& d = s->dir[dn];
    if (d.stopped) return;
    if (d.started) {
        const auto ahead = static_cast<std::int32_t>(seq - d.nextSeq);
        if (ahead < 0 && ahead + len <= 0) return;  // a retransmission of bytes read
        if (ahead != 0) {
            d.stopped = 1;
            return;
        }
    }
    d.started = 1;
    d.nextSeq = seq + static_cast<u32>(len);
    const FrameView f = viewOf(payload, len);
    for (long off = 0; off < len;) {
        if (dn == SERVER && s->awaitAnswer && d.hdrGot == 0) {
            // One untyped byte answers an encryption request; anything else
            // (an old server's ErrorResponse) is a message.
            const u8 b = f.u8(off);
            s->awaitAnswer = 0;
            if (b == 'S' || b == 'G' || b == 'N') {
                off++;
                PgEventT e = eventOf(WX_PG_SSL_ANSWER, ts);
                e.sslAnswer = static_cast<char>(b);
                emit(sink, e);
                if (b != 'N') {
                    s->done = 1;  // encrypted from here on
                    return;
                }
                continue;
            }
        }
        const int hdrSize = d.untyped ? 8 : 5;
        if (d.hdrGot < hdrSize) {
            const u8 b = f.u8(off++);
            // A typed message where the client's first is expected: the
            // connection began before the capture (a length's first byte,
            // below 10,000, is 0).
            if (d.hdrGot == 0 && d.untyped && b != 0 && !s->awaitAnswer) d.untyped = 0;
            if (d.hdrGot == 0) {
                if (dn == CLIENT) s->reqTime = ts;
                d.left = d.code = 0;
                d.type = d.untyped ? 0 : b;
            }
            if (d.untyped && d.hdrGot >= 4) d.code = d.code << 8 | b;
            else if (d.untyped || d.hdrGot >= 1) d.left = d.left << 8 | b;
            if (++d.hdrGot < hdrSize) continue;
            if (!beginMessage(s, dn)) {
                d.stopped = 1;
                return;
            }
            if (d.left == 0) endMessage(s, dn, ts, sink);
            continue;
        }
        const long take = std::min<long>(d.left, len - off);
        if (d.step != WX_PGS_SKIP) bodyBytes(s, dn, f.slice(off, take));
        off += take;
        d.left -= static_cast<u32>(take);
        if (d.left == 0) endMessage(s, dn, ts, sink);
    }
}

void pgSkip(PgStateT* s, int direction, u32 n, const timeval& ts, const PgSinkT& sink)
{
    if (s->done || n == 0 || (direction != 1 && direction != 2)) return;
    const int dn = direction - 1;
    PgDirT& d = s->dir[dn];
    if (d.stopped || !d.started) return;
    d.nextSeq += n;
    const bool inBody = d.hdrGot == (d.untyped ? 8 : 5);
    if (!inBody || n > d.left) {
        d.stopped = 1;
        return;
    }
    // What was gathered of the current field stays, cut.
    d.step = WX_PGS_SKIP;
    d.left -= n;
    if (d.left == 0) endMessage(s, dn, ts, sink);
}

bool pgResume(PgStateT* s, int direction)
{
    if (s->done || (direction != 1 && direction != 2)) return false;
    PgDirT& d = s->dir[direction - 1];
    if (!d.stopped) return false;
    const u8 untyped = d.untyped;
    d = PgDirT {};
    d.untyped = untyped;
    return true;
}
