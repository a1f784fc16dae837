// The Redis reader. Each direction is a small machine stepped byte by byte
// through its lines and a run at a time through bulk bytes. A command's
// arguments go to its text as they come, escaped and cleaned, or masked;
// the few that matter (the name, the options and subcommands that carry a
// user or a password, SELECT's database) are also matched or gathered. A reply is followed as a stack of the elements
// still to come in each open aggregate, so that only the top-level element's
// end and error are reported.
#include "analysis/redis.h"

#include <algorithm>
#include <cstring>

#include "decode/frame_view.h"

namespace {

// What the next byte of a direction is.
enum RedisStepE : u8 {
    // client to server; 0 so that a zeroed state waits for a command
    WX_REDIS_REQ_START,   // a command's first byte: '*' an array, else an inline line
    WX_REDIS_REQ_COUNT,   // the array's count line
    WX_REDIS_REQ_DOLLAR,  // the '$' of an argument
    WX_REDIS_REQ_LEN,     // its length line
    WX_REDIS_REQ_BULK,    // its bytes
    WX_REDIS_REQ_CR,      // the line end after them
    WX_REDIS_REQ_LF,
    WX_REDIS_REQ_INLINE,  // an inline command's line
    // server to client
    WX_REDIS_RES_TYPE,   // an element's type byte
    WX_REDIS_RES_LINE,   // a simple element's line, passed over (a top-level error's gathered)
    WX_REDIS_RES_LEN,    // a bulk's length line
    WX_REDIS_RES_COUNT,  // an array's, set's or push's count line
    WX_REDIS_RES_PAIRS,  // a map's
    WX_REDIS_RES_ATTR,   // an attribute's
    WX_REDIS_RES_BULK,
    WX_REDIS_RES_CR,
    WX_REDIS_RES_LF,
    NUM_REDIS_STEPS
};

enum { REQ = 0, RES = 1 };
enum { ORDER_NONE, ORDER_READING, ORDER_STOPPED };

// A length line longer than this is not one: "*", ten digits and "\r\n" is 13.
constexpr int MAX_LENGTH_LINE = 64;
// Redis refuses an inline command longer than this and closes the connection.
constexpr u32 MAX_INLINE_LINE = 64 * 1024;
constexpr u32 MAX_ARGS = 0x7fffffff;
// left[] keeps an attribute's count with its top bit set.
constexpr u32 ATTR_BIT = 0x80000000u;
constexpr u32 COUNT_MASK = ~ATTR_BIT;

// numBits
constexpr u8 NUM_DIGITS = 1, NUM_MINUS = 2, NUM_CR = 4;
enum { NUM_BAD = -1, NUM_MORE, NUM_DONE, NUM_NULL };

// reqBits
constexpr u8 REQ_DQUOTE = 1;  // an inline word in double quotes
constexpr u8 REQ_SQUOTE = 2;  // in single quotes
constexpr u8 REQ_ESCAPE = 4;  // the byte before was a backslash in quotes
constexpr u8 REQ_WORD = 8;    // an inline word is being read
constexpr u8 REQ_FULL = 16;   // an escape did not fit: nothing more goes to the text
constexpr u8 REQ_USER = 32;   // HELLO's user was read
constexpr u8 REQ_ARRAY = 64;  // the command is an array (its count known)

// resBits: what the top-level element being read is.
constexpr u8 RES_PUSH = 1, RES_ERR = 2, RES_GATHER = 4;

// How an argument's bytes are taken.
enum { ARG_WRITE, ARG_FIELD, ARG_DEFER, ARG_MASK };

// What the next argument is to its command. Besides AUTH's, passwords
// are written in HELLO's and MIGRATE's AUTH options, CONFIG SET's secret
// parameters and ACL SETUSER's rules ('>' and '<' add and remove them in clear).
enum {
    ROLE_PLAIN,      // written as it is
    ROLE_OPTION,     // written, matched: HELLO's and MIGRATE's options
    ROLE_USER,       // the user of an AUTH option: written (HELLO's kept), then its password
    ROLE_PASS,       // masked, then an option
    ROLE_NAME,       // HELLO's client name: written, then an option
    ROLE_SUB,        // ACL's or CONFIG's subcommand: written, matched
    ROLE_ACL_USER,   // ACL SETUSER's user: written, then its rules
    ROLE_SECRET,     // masked, as every argument after it
    ROLE_PARAM,      // CONFIG SET's parameter: written, matched
    ROLE_PARAM_PASS, // the value of a secret one: masked, then a parameter
    ROLE_VALUE,      // the value of another: written, then a parameter
};

// The keywords matched, one bit of match each; padded with NULs so that a
// comparison at any place up to the longest stays inside.
constexpr int KW_LONGEST = 24;
const char keywords[][KW_LONGEST + 1] = {"AUTH", "HELLO", "SELECT", "SETNAME", "AUTH2", "MIGRATE", "ACL", "SETUSER",
                                         "CONFIG", "SET", "REQUIREPASS", "MASTERAUTH", "TLS-KEY-FILE-PASS",
                                         "TLS-CLIENT-KEY-FILE-PASS"};
enum {
    KW_AUTH, KW_HELLO, KW_SELECT, KW_SETNAME, KW_AUTH2, KW_MIGRATE, KW_ACL, KW_SETUSER,
    KW_CONFIG, KW_SET, KW_REQUIREPASS, KW_MASTERAUTH, KW_TLS_KEY_PASS, KW_TLS_CLIENT_KEY_PASS, NUM_KW
};
static_assert(NUM_KW <= 16, "a keyword has a bit of RedisStateT::match");

// Where the first b at or after off is, or the view's size.
long findByte(const FrameView& f, long off, u8 b)
{
    if (!f.has(off, 1)) return static_cast<long>(f.size());
    const void* at = std::memchr(f.data() + off, b, f.size() - static_cast<std::size_t>(off));
    return at ? static_cast<const u8*>(at) - f.data() : static_cast<long>(f.size());
}

void stop(RedisDirT& d) { d.order = ORDER_STOPPED; }

void startNum(RedisDirT& d, u8 step)
{
    d.step = step;
    d.num = 0;
    d.numBits = 0;
    d.lineLen = 0;
}

// One byte of a length line: "-1" is a null, any other sign, byte or size
// beyond 32 bits is a lie, and "\r\n" ends it.
int numByte(RedisDirT& d, u8 b)
{
    if (++d.lineLen > MAX_LENGTH_LINE) return NUM_BAD;
    if (d.numBits & NUM_CR) {
        if (b != '\n' || !(d.numBits & NUM_DIGITS)) return NUM_BAD;
        if (d.numBits & NUM_MINUS) return d.num == 1 ? NUM_NULL : NUM_BAD;
        return NUM_DONE;
    }
    if (b == '\r') {
        d.numBits |= NUM_CR;
        return NUM_MORE;
    }
    if (b == '-' && d.lineLen == 1) {
        d.numBits |= NUM_MINUS;
        return NUM_MORE;
    }
    if (b < '0' || b > '9') return NUM_BAD;  // also the '?' of a streamed type
    const u32 digit = b - '0';
    if (d.num > (0xffffffffu - digit) / 10) return NUM_BAD;
    d.num = d.num * 10 + digit;
    d.numBits |= NUM_DIGITS;
    return NUM_MORE;
}

// ---- commands

// Printable bytes, and the line breaks and tabs the text turns into blanks.
bool plain(u8 b) { return (b >= 0x20 && b < 0x7f) || b == '\r' || b == '\n' || b == '\t'; }

void addRaw(RedisStateT* s, const char* text)
{
    if (!(s->reqBits & REQ_FULL)) sqlTextAdd(&s->text, reinterpret_cast<const u8*>(text), std::strlen(text));
}

// Argument bytes to the text, those that are not printable as "\xHH"; an
// escape that does not fit ends the text rather than leave half of it.
void writeText(RedisStateT* s, const FrameView& v)
{
    static const char hex[] = "0123456789abcdef";
    SqlTextT* t = &s->text;
    const long n = static_cast<long>(v.size());
    for (long i = 0; i < n && !(s->reqBits & REQ_FULL) && t->len < SQL_TEXT_CHARS;) {
        long j = i;
        while (j < n && plain(v.u8(j))) j++;
        if (j > i) {
            sqlTextAdd(t, v.data() + i, j - i);
            i = j;
            continue;
        }
        if (t->len + 4 > SQL_TEXT_CHARS) {
            s->reqBits |= REQ_FULL;
            return;
        }
        const u8 b = v.u8(i++);
        const u8 esc[4] = {'\\', 'x', static_cast<u8>(hex[b >> 4]), static_cast<u8>(hex[b & 15])};
        sqlTextAdd(t, esc, 4);
    }
}

void gatherField(RedisStateT* s, const FrameView& v)
{
    const long take = std::min<long>(static_cast<long>(v.size()), REDIS_FIELD_SIZE - 1 - s->fieldLen);
    if (take <= 0 || !v.copy(0, s->field + s->fieldLen, take)) return;
    s->fieldLen = static_cast<u8>(s->fieldLen + take);
    s->field[s->fieldLen] = '\0';
}

void clearField(RedisStateT* s)
{
    std::memset(s->field, 0, sizeof s->field);
    s->fieldLen = 0;
}

void startCommand(RedisStateT* s, bool array)
{
    sqlTextStart(&s->text);
    clearField(s);
    s->argIndex = 0;
    s->kind = WX_REDIS_OTHER;
    s->role = ROLE_PLAIN;
    s->reqBits = array ? REQ_ARRAY : 0;
}

void argStart(RedisStateT* s)
{
    const int idx = s->argIndex;
    u8 mode = ARG_WRITE;
    if (s->kind == WX_REDIS_AUTH && idx == 1) {
        // AUTH user password, or AUTH password: an array tells which by its
        // count, an inline line only at its next word or its end.
        if (!(s->reqBits & REQ_ARRAY)) mode = ARG_DEFER;
        else mode = s->argsLeft == 2 ? ARG_FIELD : ARG_MASK;
    } else if (s->kind == WX_REDIS_AUTH && idx > 1) {
        if (!(s->reqBits & REQ_ARRAY) && idx == 2) {
            addRaw(s, " ");
            writeText(s, FrameView(reinterpret_cast<const u8*>(s->field), s->fieldLen));
        }
        mode = ARG_MASK;
    } else if (s->kind == WX_REDIS_HELLO && s->role == ROLE_USER) {
        clearField(s);
        mode = ARG_FIELD;
    } else if (s->role == ROLE_PASS || s->role == ROLE_SECRET || s->role == ROLE_PARAM_PASS) {
        mode = ARG_MASK;
    } else if (s->kind == WX_REDIS_SELECT && idx == 1) {
        mode = ARG_FIELD;
    }
    s->argMode = mode;
    const bool matched = idx == 0 || s->role == ROLE_OPTION || s->role == ROLE_SUB || s->role == ROLE_PARAM;
    s->match = matched ? (1 << NUM_KW) - 1 : 0;
    s->matchAt = 0;
    if (mode == ARG_DEFER) return;
    if (idx > 0) addRaw(s, " ");
    if (mode == ARG_MASK) addRaw(s, "****");
}

void argBytes(RedisStateT* s, const FrameView& v)
{
    for (long i = 0; s->match && i < static_cast<long>(v.size()); i++, s->matchAt++) {
        if (s->matchAt >= KW_LONGEST) {
            s->match = 0;
            break;
        }
        u8 b = v.u8(i);
        if (b >= 'a' && b <= 'z') b = static_cast<u8>(b - 'a' + 'A');
        for (int k = 0; k < NUM_KW; k++)
            if (keywords[k][s->matchAt] != b) s->match &= static_cast<u16>(~(1 << k));
    }
    if (s->argMode == ARG_FIELD || s->argMode == ARG_DEFER) gatherField(s, v);
    if (s->argMode == ARG_FIELD || s->argMode == ARG_WRITE) writeText(s, v);
}

// The role of the argument after one that was role, and matched word (-1 none).
u8 nextRole(const RedisStateT* s, int role, int word)
{
    switch (role) {
    case ROLE_OPTION:
        if (word == KW_AUTH) return s->kind == WX_REDIS_HELLO ? ROLE_USER : ROLE_PASS;
        if (word == KW_AUTH2) return ROLE_USER;
        return word == KW_SETNAME ? ROLE_NAME : ROLE_OPTION;
    case ROLE_USER:
        return ROLE_PASS;
    case ROLE_PASS:
    case ROLE_NAME:
        return ROLE_OPTION;
    case ROLE_SUB:
        return word == KW_SETUSER ? ROLE_ACL_USER : word == KW_SET ? ROLE_PARAM : ROLE_PLAIN;
    case ROLE_ACL_USER:
    case ROLE_SECRET:
        return ROLE_SECRET;
    case ROLE_PARAM:
        return word == KW_REQUIREPASS || word == KW_MASTERAUTH || word == KW_TLS_KEY_PASS ||
                       word == KW_TLS_CLIENT_KEY_PASS
                   ? ROLE_PARAM_PASS
                   : ROLE_VALUE;
    case ROLE_PARAM_PASS:
    case ROLE_VALUE:
        return ROLE_PARAM;
    default:
        return ROLE_PLAIN;
    }
}

void argEnd(RedisStateT* s)
{
    int word = -1;
    for (int k = 0; k < NUM_KW; k++)
        if ((s->match >> k & 1) && std::strlen(keywords[k]) == s->matchAt) word = k;
    if (s->argIndex == 0) {
        s->kind = word == KW_AUTH ? WX_REDIS_AUTH
                  : word == KW_HELLO ? WX_REDIS_HELLO
                  : word == KW_SELECT ? WX_REDIS_SELECT
                                      : WX_REDIS_OTHER;
        s->role = word == KW_HELLO || word == KW_MIGRATE ? ROLE_OPTION
                  : word == KW_ACL || word == KW_CONFIG  ? ROLE_SUB
                                                         : ROLE_PLAIN;
    } else {
        if (s->kind == WX_REDIS_HELLO && s->role == ROLE_USER) s->reqBits |= REQ_USER;
        s->role = nextRole(s, s->role, word);
    }
    if (s->argIndex < 255) s->argIndex++;
}

void endCommand(RedisStateT* s, const RedisSinkT& sink)
{
    const bool authUser = s->kind == WX_REDIS_AUTH && s->argIndex == 3;
    if (s->kind == WX_REDIS_AUTH && s->argIndex == 2 && !(s->reqBits & REQ_ARRAY)) addRaw(s, " ****");
    if (s->kind == WX_REDIS_AUTH && !authUser) clearField(s);  // a lone argument was the password
    sqlTextEnd(&s->text);
    RedisCommandT c;
    c.text = s->text.text;
    c.len = s->text.len;
    c.begin = {static_cast<time_t>(s->beginSec), static_cast<suseconds_t>(s->beginUsec)};
    c.kind = s->kind;
    c.user = authUser || (s->kind == WX_REDIS_HELLO && (s->reqBits & REQ_USER)) ? s->field : "";
    c.db = s->kind == WX_REDIS_SELECT && s->argIndex > 1 ? s->field : "";
    if (sink.command) sink.command(sink.ctx, c);
    clearField(s);
}

// Bytes of an inline line up to and with its '\n': words split on blanks
// outside quotes (a word opening with a quote runs to the closing one, as
// Redis splits them), the quotes kept in the text. Returns the bytes read.
long inlineBytes(RedisStateT* s, const FrameView& f, const RedisSinkT& sink)
{
    RedisDirT& d = s->dir[REQ];
    const long len = static_cast<long>(f.size());
    for (long i = 0; i < len; i++) {
        if (++d.num > MAX_INLINE_LINE) {
            stop(d);
            return len;
        }
        const u8 b = f.u8(i);
        u8& bits = s->reqBits;
        if (b == '\n') {
            if (bits & (REQ_DQUOTE | REQ_SQUOTE)) {  // Redis refuses the line and closes
                stop(d);
                return len;
            }
            if (bits & REQ_WORD) argEnd(s);
            if (s->argIndex > 0) endCommand(s, sink);
            d.step = WX_REDIS_REQ_START;
            return i + 1;
        }
        if (bits & (REQ_DQUOTE | REQ_SQUOTE)) {
            const bool escaped = bits & REQ_ESCAPE;
            if ((bits & REQ_DQUOTE) && escaped) bits &= ~REQ_ESCAPE;
            else if ((bits & REQ_SQUOTE) && b == '\'' && escaped) bits &= ~REQ_ESCAPE;
            else if (b == ((bits & REQ_DQUOTE) ? '"' : '\'')) bits &= ~(REQ_DQUOTE | REQ_SQUOTE);
            else bits = static_cast<u8>(b == '\\' ? bits | REQ_ESCAPE : bits & ~REQ_ESCAPE);
        } else if (b == ' ' || b == '\t' || b == '\r' || b == '\v' || b == '\f') {
            if (bits & REQ_WORD) argEnd(s);
            bits &= ~REQ_WORD;
            continue;
        } else if (!(bits & REQ_WORD)) {
            argStart(s);
            bits |= REQ_WORD;
            if (b == '"') bits |= REQ_DQUOTE;
            if (b == '\'') bits |= REQ_SQUOTE;
        }
        argBytes(s, f.slice(i, 1));
    }
    return len;
}

void feedRequest(RedisStateT* s, const FrameView& f, const timeval& ts, const RedisSinkT& sink)
{
    RedisDirT& d = s->dir[REQ];
    const long len = static_cast<long>(f.size());
    for (long off = 0; off < len && d.order == ORDER_READING;) {
        switch (d.step) {
        case WX_REDIS_REQ_START:
            s->beginSec = static_cast<u32>(ts.tv_sec);
            s->beginUsec = static_cast<u32>(ts.tv_usec);
            if (f.u8(off) == '*') {
                off++;
                startNum(d, WX_REDIS_REQ_COUNT);
            } else {
                startCommand(s, false);
                d.step = WX_REDIS_REQ_INLINE;
                d.num = 0;
            }
            break;
        case WX_REDIS_REQ_COUNT:
        case WX_REDIS_REQ_LEN: {
            const int r = numByte(d, f.u8(off++));
            if (r == NUM_MORE) break;
            if (r == NUM_BAD || (d.step == WX_REDIS_REQ_LEN && r == NUM_NULL) || d.num > MAX_ARGS) {
                stop(d);
            } else if (d.step == WX_REDIS_REQ_COUNT) {
                if (r == NUM_NULL || d.num == 0) {  // an empty array is no command
                    d.step = WX_REDIS_REQ_START;
                    break;
                }
                startCommand(s, true);
                s->argsLeft = d.num;
                d.step = WX_REDIS_REQ_DOLLAR;
            } else {
                argStart(s);
                d.step = d.num > 0 ? WX_REDIS_REQ_BULK : WX_REDIS_REQ_CR;
            }
            break;
        }
        case WX_REDIS_REQ_DOLLAR:
            if (f.u8(off++) == '$') startNum(d, WX_REDIS_REQ_LEN);
            else stop(d);
            break;
        case WX_REDIS_REQ_BULK: {
            const long take = std::min<long>(d.num, len - off);
            argBytes(s, f.slice(off, take));
            off += take;
            d.num -= static_cast<u32>(take);
            if (d.num == 0) d.step = WX_REDIS_REQ_CR;
            break;
        }
        case WX_REDIS_REQ_CR:
            if (f.u8(off++) == '\r') d.step = WX_REDIS_REQ_LF;
            else stop(d);
            break;
        case WX_REDIS_REQ_LF:
            if (f.u8(off++) != '\n') {
                stop(d);
                break;
            }
            argEnd(s);
            if (--s->argsLeft > 0) {
                d.step = WX_REDIS_REQ_DOLLAR;
                break;
            }
            endCommand(s, sink);
            d.step = WX_REDIS_REQ_START;
            break;
        case WX_REDIS_REQ_INLINE:
            off += inlineBytes(s, f.from(off), sink);
            break;
        default:
            stop(d);
        }
    }
}

// ---- replies

void gatherErr(RedisStateT* s, const FrameView& v)
{
    for (long i = 0; i < static_cast<long>(v.size()) && s->errLen < REDIS_ERR_SIZE - 1; i++)
        if (v.u8(i) != '\r') s->err[s->errLen++] = static_cast<char>(v.u8(i));
}

// An element is whole: it counts against its aggregate, which may be whole
// in turn; a whole top-level one is the reply.
void elementDone(RedisStateT* s, const timeval& ts, const RedisSinkT& sink)
{
    while (s->depth > 0) {
        u32& left = s->left[s->depth - 1];
        left--;
        if ((left & COUNT_MASK) != 0) return;
        s->depth--;
        if (left & ATTR_BIT) return;  // an attribute goes with the element after it
    }
    if (!(s->resBits & RES_PUSH) && sink.reply) {
        const int n = s->resBits & RES_ERR ? s->errLen : 0;
        s->err[n] = '\0';
        sink.reply(sink.ctx, RedisReplyT {s->err, n, ts});
    }
    s->resBits = 0;
    s->errLen = 0;
}

void typeByte(RedisStateT* s, u8 b)
{
    RedisDirT& d = s->dir[RES];
    const bool top = s->depth == 0;
    switch (b) {
    case '-':
        if (top) s->resBits |= RES_ERR | RES_GATHER;
        d.step = WX_REDIS_RES_LINE;
        break;
    case '+':
    case ':':
    case ',':
    case '#':
    case '(':
    case '_':
        d.step = WX_REDIS_RES_LINE;
        break;
    case '!':
        if (top) s->resBits |= RES_ERR | RES_GATHER;
        startNum(d, WX_REDIS_RES_LEN);
        break;
    case '$':
    case '=':
        startNum(d, WX_REDIS_RES_LEN);
        break;
    case '>':
        if (top) s->resBits |= RES_PUSH;
        startNum(d, WX_REDIS_RES_COUNT);
        break;
    case '*':
    case '~':
        startNum(d, WX_REDIS_RES_COUNT);
        break;
    case '%':
        startNum(d, WX_REDIS_RES_PAIRS);
        break;
    case '|':
        startNum(d, WX_REDIS_RES_ATTR);
        break;
    default:  // the parts of a streamed string or aggregate, or not the protocol
        stop(d);
    }
}

// An aggregate's count line is read.
void openAggregate(RedisStateT* s, int r, const timeval& ts, const RedisSinkT& sink)
{
    RedisDirT& d = s->dir[RES];
    const bool attr = d.step == WX_REDIS_RES_ATTR;
    const u32 pairs = d.step == WX_REDIS_RES_COUNT ? 1 : 2;
    const u32 n = r == NUM_NULL ? 0 : d.num;
    d.step = WX_REDIS_RES_TYPE;
    if (n > COUNT_MASK / pairs || (n > 0 && s->depth == REDIS_MAX_DEPTH)) {
        stop(d);
    } else if (n > 0) {
        s->left[s->depth++] = n * pairs | (attr ? ATTR_BIT : 0);
    } else if (!attr) {
        elementDone(s, ts, sink);
    }
}

void feedReply(RedisStateT* s, const FrameView& f, const timeval& ts, const RedisSinkT& sink)
{
    RedisDirT& d = s->dir[RES];
    const long len = static_cast<long>(f.size());
    for (long off = 0; off < len && d.order == ORDER_READING;) {
        switch (d.step) {
        case WX_REDIS_RES_TYPE:
            typeByte(s, f.u8(off++));
            break;
        case WX_REDIS_RES_LINE: {
            const long end = findByte(f, off, '\n');
            if (s->resBits & RES_GATHER) gatherErr(s, f.slice(off, end - off));
            off = end;
            if (off == len) break;
            off++;
            d.step = WX_REDIS_RES_TYPE;
            elementDone(s, ts, sink);
            break;
        }
        case WX_REDIS_RES_LEN:
        case WX_REDIS_RES_COUNT:
        case WX_REDIS_RES_PAIRS:
        case WX_REDIS_RES_ATTR: {
            const int r = numByte(d, f.u8(off++));
            if (r == NUM_MORE) break;
            if (r == NUM_BAD) stop(d);
            else if (d.step != WX_REDIS_RES_LEN) openAggregate(s, r, ts, sink);
            else if (r == NUM_NULL) {
                d.step = WX_REDIS_RES_TYPE;
                elementDone(s, ts, sink);
            } else {
                d.step = d.num > 0 ? WX_REDIS_RES_BULK : WX_REDIS_RES_CR;
            }
            break;
        }
        case WX_REDIS_RES_BULK: {
            const long take = std::min<long>(d.num, len - off);
            if (s->resBits & RES_GATHER) gatherErr(s, f.slice(off, take));
            off += take;
            d.num -= static_cast<u32>(take);
            if (d.num == 0) d.step = WX_REDIS_RES_CR;
            break;
        }
        case WX_REDIS_RES_CR:
            if (f.u8(off++) == '\r') d.step = WX_REDIS_RES_LF;
            else stop(d);
            break;
        case WX_REDIS_RES_LF:
            if (f.u8(off++) != '\n') {
                stop(d);
                break;
            }
            d.step = WX_REDIS_RES_TYPE;
            elementDone(s, ts, sink);
            break;
        default:
            stop(d);
        }
    }
}

}  // namespace

void redisInit(RedisStateT* s)
{
    s->dir[REQ].step = WX_REDIS_REQ_START;
    s->dir[RES].step = WX_REDIS_RES_TYPE;
    sqlTextStart(&s->text);
}

void redisFeed(RedisStateT* s, int direction, u32 seq, const timeval& ts, const u8* payload, int len,
               const RedisSinkT& sink)
{
    if (len <= 0 || payload == nullptr || (direction != 1 && direction != 2)) return;
    RedisDirT& d = s->dir[direction - 1];
    if (d.order == ORDER_STOPPED) return;
    if (d.order == ORDER_READING) {
        const auto ahead = static_cast<std::int32_t>(seq - d.nextSeq);
        if (ahead < 0 && ahead + len <= 0) return;  // a retransmission of bytes read
        if (ahead != 0) stop(d);
    }
    if (d.order != ORDER_STOPPED) {
        d.order = ORDER_READING;
        d.nextSeq = seq + static_cast<u32>(len);
        const FrameView f = viewOf(payload, len);
        if (direction == 1) feedRequest(s, f, ts, sink);
        else feedReply(s, f, ts, sink);
    }
    // An inline AUTH cut off may have left its password gathered.
    if (direction == 1 && d.order == ORDER_STOPPED) clearField(s);
}

void redisSkip(RedisStateT* s, int direction, u32 n)
{
    if (n == 0 || (direction != 1 && direction != 2)) return;
    RedisDirT& d = s->dir[direction - 1];
    if (d.order != ORDER_READING) return;
    d.nextSeq += n;
    if ((d.step == WX_REDIS_REQ_BULK || d.step == WX_REDIS_RES_BULK) && d.num > n) {
        d.num -= n;
        // The argument lacks those bytes: the text ends before it.
        if (direction == 1) s->reqBits |= REQ_FULL;
        return;
    }
    stop(d);
    if (direction == 1) clearField(s);
}

bool redisResume(RedisStateT* s, int direction)
{
    if (direction != 1 && direction != 2) return false;
    RedisDirT& d = s->dir[direction - 1];
    if (d.order != ORDER_STOPPED) return false;
    d = RedisDirT {};
    if (direction == 1) {
        d.step = WX_REDIS_REQ_START;
    } else {
        d.step = WX_REDIS_RES_TYPE;
        s->depth = 0;
        s->resBits = 0;
        s->errLen = 0;
    }
    return true;
}
