#include "retrieval/json_query.h"

#include <fcntl.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/util.h"
#include "output/json.h"

namespace {

constexpr char PAIR_PREFIX[] = "{\"type\":\"1\",\"time\":\"";
constexpr std::size_t PAIR_PREFIX_LEN = sizeof PAIR_PREFIX - 1;
constexpr std::size_t READ_BLOCK = 1 << 20;
// No record the probe writes is longer; a longer "line" is not one of them.
constexpr std::size_t MAX_LINE = JSON_RECORD_SIZE;
constexpr int MAX_FIELDS = 80;

// The time of a pair record line, or -1 when the line is not one.
long long pairTime(const char* line, std::size_t len)
{
    if (len <= PAIR_PREFIX_LEN || std::memcmp(line, PAIR_PREFIX, PAIR_PREFIX_LEN) != 0) return -1;
    long long t = 0;
    std::size_t i = PAIR_PREFIX_LEN;
    for (; i < len && i < PAIR_PREFIX_LEN + 18 && line[i] >= '0' && line[i] <= '9'; i++) t = t * 10 + (line[i] - '0');
    return i > PAIR_PREFIX_LEN && i < len && line[i] == '"' ? t : -1;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Bytes of w that are zero have their top bit set in the result, and the
// lowest set bit marks the first one (higher ones may be false).
constexpr u64 zeroBytes(u64 w)
{
    return (w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull;
}

// The number of plain bytes (not '"', '\\' or a control byte) at the start of
// the 8 at p.
unsigned plainRun(const char* p)
{
    u64 w;
    std::memcpy(&w, p, sizeof w);
    u64 special = zeroBytes(w ^ 0x2222222222222222ull) | zeroBytes(w ^ 0x5C5C5C5C5C5C5C5Cull) |
                  ((w - 0x2020202020202020ull) & ~w & 0x8080808080808080ull);
    return special == 0 ? 8 : static_cast<unsigned>(__builtin_ctzll(special)) / 8;
}

// The quotes of the 16 bytes at p as bits (bit k: byte k), or -1 when one of
// them is a backslash or a control byte.
long quotesOf16(const char* p)
{
#if defined(__SSE2__)
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\\')),
                                   _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v));
    if (_mm_movemask_epi8(special) != 0) return -1;
    return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
#else
    long quotes = 0;
    for (int k = 0; k < 16; ++k) {
        unsigned char c = static_cast<unsigned char>(p[k]);
        if (c == '\\' || c < 0x20) return -1;
        if (c == '"') quotes |= 1L << k;
    }
    return quotes;
#endif
}

// Whether line is an object of string pairs in the record writer's own form:
// no blank between tokens, no escape, no control byte. It is checked from the
// places of its quotes alone, found 16 bytes at a time; a line in any other
// form is left to the parser, which also takes the forms this does not.
bool writerForm(const char* line, std::size_t len)
{
    // A record has some 90 strings; a line with far more is left to the parser.
    constexpr std::size_t MAX_QUOTES = 1024;
    static_assert(MAX_LINE <= 0xFFFF, "places fit in 16 bits");
    if (len < 2 || len > MAX_LINE || line[0] != '{' || line[len - 1] != '}') return false;
    u16 at[MAX_QUOTES];
    std::size_t n = 0;
    for (std::size_t i = 0; i < len; i += 16) {
        char tail[16];
        const char* p = line + i;
        if (len - i < 16) {
            std::memset(tail, 'a', sizeof tail);  // plain bytes past the end
            std::memcpy(tail, p, len - i);
            p = tail;
        }
        long quotes = quotesOf16(p);
        if (quotes < 0 || n + 16 > MAX_QUOTES) return false;
        for (; quotes != 0; quotes &= quotes - 1) {
            const auto bit = static_cast<std::size_t>(__builtin_ctzl(static_cast<unsigned long>(quotes)));
            at[n++] = static_cast<u16>(i + bit);
        }
    }
    // Quotes in fours: key, a colon, value, then a comma and the next key
    // right after it, or the closing brace last.
    if (n == 0 || n % 4 != 0 || at[0] != 1) return false;
    for (std::size_t k = 0; k < n; k += 4) {
        if (line[at[k + 1] + 1] != ':' || at[k + 2] != at[k + 1] + 2) return false;
        std::size_t close = at[k + 3];
        if (k + 4 < n ? line[close + 1] != ',' || at[k + 4] != close + 2 : close + 2 != len) return false;
    }
    return true;
}

// A JSON string from p (at its opening quote) into out; the position after
// its closing quote, or nullptr. Plain text is copied eight bytes at a time:
// the query parses every matching record. out never runs ahead of p, so the
// eight bytes written fit where eight were read.
const char* readString(const char* p, const char* end, char*& outRef)
{
    if (p == end || *p != '"') return nullptr;
    char* out = outRef;  // kept in a register, not in the caller's memory
    for (++p; p < end; ++p) {
        while (end - p >= 8) {
            unsigned n = plainRun(p);
            std::memcpy(out, p, 8);
            out += n;
            p += n;
            if (n < 8) break;
        }
        if (p == end) break;
        char c = *p;
        if (c == '"') {
            *out++ = '\0';
            outRef = out;
            return p + 1;
        }
        if (static_cast<unsigned char>(c) < 0x20) return nullptr;
        if (c != '\\') {
            *out++ = c;
            continue;
        }
        if (++p == end) return nullptr;
        switch (*p) {
        case '"': case '\\': case '/': *out++ = *p; break;
        case 'b': *out++ = '\b'; break;
        case 'f': *out++ = '\f'; break;
        case 'n': *out++ = '\n'; break;
        case 'r': *out++ = '\r'; break;
        case 't': *out++ = '\t'; break;
        case 'u': {
            if (end - p < 5) return nullptr;
            unsigned cp = 0;
            for (int k = 1; k <= 4; k++) {
                int d = hexDigit(p[k]);
                if (d < 0) return nullptr;
                cp = cp << 4 | static_cast<unsigned>(d);
            }
            p += 4;
            if (cp < 0x100) {
                *out++ = static_cast<char>(cp);  // a byte the writer could not pass as text
            } else if (cp < 0x800) {
                *out++ = static_cast<char>(0xC0 | cp >> 6);
                *out++ = static_cast<char>(0x80 | (cp & 0x3F));
            } else {
                // Three bytes; a surrogate stands for itself, as no writer of
                // ours makes pairs.
                *out++ = static_cast<char>(0xE0 | cp >> 12);
                *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                *out++ = static_cast<char>(0x80 | (cp & 0x3F));
            }
            break;
        }
        default: return nullptr;
        }
    }
    return nullptr;
}

const char* skipBlanks(const char* p, const char* end)
{
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    return p;
}

const char* fieldValue(const JsonFieldT* fields, int n, const char* key)
{
    for (int i = 0; i < n; i++) {
        if (std::strcmp(fields[i].key, key) == 0) return fields[i].value;
    }
    return nullptr;
}

unsigned long wholeValue(const char* v) { return v != nullptr ? std::strtoul(v, nullptr, 10) : 0; }

// Milliseconds written with up to three decimals as whole microseconds,
// digit by digit: 1.234 is 1234, where 1.234 * 1000 in binary is 1233.99...
u32 microseconds(const char* v)
{
    if (v == nullptr) return 0;
    unsigned long long ms = 0;
    const char* p = v;
    for (; *p >= '0' && *p <= '9'; ++p) ms = ms * 10 + static_cast<unsigned>(*p - '0');
    unsigned long long us = ms * 1000;
    if (*p == '.') {
        unsigned scale = 100;
        for (++p; *p >= '0' && *p <= '9' && scale > 0; ++p, scale /= 10) us += static_cast<unsigned>(*p - '0') * scale;
    }
    return static_cast<u32>(us);
}

// A record's address: dotted IPv4 read as ever, an IPv6 text (known by its
// colon) parsed whole, so that any spelling of the address matches; 0.0.0.0
// when it is neither, as for IPv4.
IpAddrT addressValue(const char* v)
{
    IpAddrT a;
    if (v != nullptr && std::strchr(v, ':') != nullptr) return parseIp(v, &a) == 0 ? a : ipFromV4(0);
    u32 v4 = 0;
    return ipFromV4(v != nullptr && getIPFromStr(v, &v4) == 0 ? v4 : 0);
}

// Port of a record's field; -1 when it has none.
int portValue(const char* v)
{
    return v != nullptr && *v >= '0' && *v <= '9' ? static_cast<int>(std::strtol(v, nullptr, 10)) : -1;
}

template <std::size_t N>
void copyValue(char (&dst)[N], const char* v)
{
    std::snprintf(dst, N, "%s", v != nullptr ? v : "");
}

// Scratch of the line parser, reused: a record's fields and texts.
struct ParsedLineT {
    JsonFieldT fields[MAX_FIELDS];
    char text[MAX_LINE + 1];
    int n = 0;
};

ParsedLineT& scratch()
{
    static thread_local std::unique_ptr<ParsedLineT> p(new ParsedLineT);
    return *p;
}

bool parseInto(ParsedLineT& p, const char* line, std::size_t len)
{
    if (len > MAX_LINE) return false;
    p.n = parseJsonStr(line, len, p.fields, MAX_FIELDS, p.text, sizeof p.text);
    return p.n >= 0;
}

// Reads the file at path block by block and hands each whole line (without
// its CR LF) to onLine until it returns false. With a needle, only the lines
// that hold it are handed on, found by searching the whole block: far faster
// than looking into every line. A last line without its end is left out.
template <typename F>
bool eachLine(const char* path, const std::string& needle, F&& onLine)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        writeLog(2, "Open json file %s failed", path);
        return false;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    static thread_local std::unique_ptr<char[]> block(new char[READ_BLOCK + MAX_LINE]);
    char* buf = block.get();
    std::size_t kept = 0;    // a line begun in the previous block
    bool skipFirst = false;  // the rest of a line too long to be a record
    for (bool more = true; more;) {
        ssize_t got = read(fd, buf + kept, READ_BLOCK);
        if (got <= 0) break;
        std::size_t have = kept + static_cast<std::size_t>(got);
        const char* lastNl = static_cast<const char*>(memrchr(buf, '\n', have));
        std::size_t whole = lastNl != nullptr ? static_cast<std::size_t>(lastNl - buf) + 1 : 0;
        std::size_t from = 0;
        if (skipFirst && whole > 0) {
            from = static_cast<std::size_t>(static_cast<const char*>(std::memchr(buf, '\n', whole)) - buf) + 1;
            skipFirst = false;
        }
        while (more && from < whole) {
            const char* start = buf + from;
            if (!needle.empty()) {
                const char* hit = static_cast<const char*>(memmem(start, whole - from, needle.data(), needle.size()));
                if (hit == nullptr) break;
                const char* nl = static_cast<const char*>(memrchr(start, '\n', static_cast<std::size_t>(hit - start)));
                if (nl != nullptr) start = nl + 1;
            }
            const char* nl = static_cast<const char*>(std::memchr(start, '\n', whole - (start - buf)));
            std::size_t len = static_cast<std::size_t>(nl - start);
            if (len > 0 && start[len - 1] == '\r') len--;
            if (len > 0) more = onLine(start, len);
            from = static_cast<std::size_t>(nl - buf) + 1;
        }
        kept = have - whole;
        if (kept > MAX_LINE) {
            skipFirst = true;  // not a record; passed over up to its end
            kept = 0;
        }
        std::memmove(buf, buf + whole, kept);
    }
    close(fd);
    return true;
}

}  // namespace

long long getJsonFileStime(const char* path)
{
    FILE* fp = std::fopen(path, "r");
    if (fp == nullptr) {
        writeLog(3, "Can not open json file %s", path);
        return -1;
    }
    char line[1024];
    const char* got = std::fgets(line, sizeof line, fp);
    std::fclose(fp);
    if (got == nullptr || line[0] == '\0') {
        writeLog(2, "Can not read json file %s", path);
        return -2;
    }
    const char* key = std::strstr(line, "\"time\":\"");
    if (key == nullptr) {
        writeLog(2, "Can not find json time key from file %s", path);
        return -3;
    }
    return std::atoll(key + 8);
}

int parseJsonStr(const char* line, std::size_t len, JsonFieldT* fields, int max, char* buf, std::size_t bufSize)
{
    // Unescaped text is never longer than its escaped form.
    if (bufSize < len + 1) return -1;
    const char* p = skipBlanks(line, line + len);
    const char* end = line + len;
    if (p == end || *p != '{') return -1;
    p = skipBlanks(p + 1, end);
    char* out = buf;
    int n = 0;
    if (p < end && *p == '}') return skipBlanks(p + 1, end) == end ? 0 : -1;
    for (;;) {
        char* key = out;
        if ((p = readString(p, end, out)) == nullptr) return -1;
        p = skipBlanks(p, end);
        if (p == end || *p != ':') return -1;
        p = skipBlanks(p + 1, end);
        char* value = out;
        if ((p = readString(p, end, out)) == nullptr) return -1;
        if (n < max) fields[n++] = {key, value};
        p = skipBlanks(p, end);
        if (p == end) return -1;
        if (*p == '}') return skipBlanks(p + 1, end) == end ? n : -1;
        if (*p != ',') return -1;
        p = skipBlanks(p + 1, end);
    }
}

void fillCommFromJson(CommMsgT* rec, const JsonFieldT* f, int n)
{
    auto v = [&](const char* key) { return fieldValue(f, n, key); };
    *rec = CommMsgT {};
    rec->type = 1;
    rec->time = static_cast<time_t>(std::strtoll(v("time") ? v("time") : "0", nullptr, 10));
    copyValue(rec->pname, v("process"));
    rec->cpu = v("cpu") != nullptr ? std::strtof(v("cpu"), nullptr) : 0.0f;
    rec->mem = static_cast<u32>(wholeValue(v("mem")));
    copyValue(rec->urlsql, v("urlsql"));
    rec->src = addressValue(v("src"));
    rec->dst = addressValue(v("dst"));
    struct {
        const char* key;
        u32 CommMsgT::*field;
    } static const whole[] = {
        {"proto", &CommMsgT::proto},
        {"sport", &CommMsgT::sport},
        {"dport", &CommMsgT::dport},
        {"srcPkts", &CommMsgT::sendPkts},
        {"dstPkts", &CommMsgT::rcvdPkts},
        {"srcBytes", &CommMsgT::sendBytes},
        {"dstBytes", &CommMsgT::rcvdBytes},
        {"srcRetransPkts", &CommMsgT::sendRetransmitPkts},
        {"dstRetransPkts", &CommMsgT::rcvdRetransmitPkts},
        {"srcSynPkts", &CommMsgT::sendSynPkts},
        {"dstSynPkts", &CommMsgT::rcvdSynPkts},
        {"srcSynAckPkts", &CommMsgT::sendSynAckPkts},
        {"dstSynAckPkts", &CommMsgT::rcvdSynAckPkts},
        {"srcRstPkts", &CommMsgT::sendRstPkts},
        {"dstRstPkts", &CommMsgT::rcvdRstPkts},
        {"srcFinPkts", &CommMsgT::sendFinPkts},
        {"dstFinPkts", &CommMsgT::rcvdFinPkts},
        {"srcTinyPkts", &CommMsgT::sendTinyPkts},
        {"dstTinyPkts", &CommMsgT::rcvdTinyPkts},
        {"srcZeroWinPkts", &CommMsgT::cntSrcZeroWin},
        {"dstZeroWinPkts", &CommMsgT::cntDstZeroWin},
        {"largePkts", &CommMsgT::largePkts},
    };
    for (const auto& w : whole) rec->*w.field = static_cast<u32>(wholeValue(v(w.key)));
    struct {
        const char* key;
        u32 CommMsgT::*field;
    } static const delays[] = {
        {"srcNetDelay", &CommMsgT::srcDelayUsec},
        {"dstNetDelay", &CommMsgT::dstDelayUsec},
        {"srcHandDelay", &CommMsgT::srcConDelayUsec},
        {"dstHandDelay", &CommMsgT::dstConDelayUsec},
        {"srcRetransDelay", &CommMsgT::srcRetransDelayUsec},
        {"dstRetransDelay", &CommMsgT::dstRetransDelayUsec},
        {"responseDelay", &CommMsgT::customDelayUsec},
        {"loadTransDelay", &CommMsgT::loadDelayUsec},
    };
    for (const auto& d : delays) rec->*d.field = microseconds(v(d.key));
    rec->cntSrcDelay = rec->cntDstDelay = rec->cntCustomDelay = rec->cntLoadDelay = 1;
}

namespace {

// filterJson; keywordSeen: the line is known to hold the keyword.
bool passes(const JsonQueryT& q, const char* line, std::size_t len, bool keywordSeen)
{
    long long t = pairTime(line, len);
    if (t < q.start || t >= q.end) return false;
    if (!keywordSeen && !q.keyword.empty() && memmem(line, len, q.keyword.data(), q.keyword.size()) == nullptr) {
        return false;
    }
    // A damaged line is no record, whatever the filter. Without a filter
    // no field is needed: a line in the writer's own form passes unparsed.
    if (q.filter.mode == WX_QUERY_NONE && writerForm(line, len)) return true;
    ParsedLineT& p = scratch();
    if (!parseInto(p, line, len)) return false;
    if (q.filter.mode == WX_QUERY_NONE) return true;
    auto v = [&](const char* key) { return fieldValue(p.fields, p.n, key); };
    return filterPasses(q.filter, {addressValue(v("src")), portValue(v("sport"))},
                        {addressValue(v("dst")), portValue(v("dport"))});
}

}  // namespace

bool filterJson(const JsonQueryT& q, const char* line, std::size_t len)
{
    return passes(q, line, len, false);
}

long queryStore(const std::vector<StoreFileT>& files, const JsonQueryT& q, long skip, long limit,
                const std::function<void(const char* line, std::size_t len)>& take)
{
    long taken = 0;
    // The lines found by searching for the keyword hold it, unless it spans
    // a line's end.
    bool keywordSeen = !q.keyword.empty() && q.keyword.find_first_of("\r\n") == std::string::npos;
    for (const StoreFileT& f : files) {
        if (limit >= 0 && taken >= limit) break;
        if (!periodMeets(f, q.start, q.end, false)) continue;
        eachLine(f.path.c_str(), q.keyword, [&](const char* line, std::size_t len) {
            if (!passes(q, line, len, keywordSeen)) return true;
            if (skip > 0) {
                skip--;
                return true;
            }
            take(line, len);
            ++taken;
            return limit < 0 || taken < limit;
        });
    }
    return taken;
}

int scanJson(const std::vector<StoreFileT>& files, const JsonQueryT& q, int page, CommMsgT* out)
{
    int n = 0;
    queryStore(files, q, static_cast<long>(page) * QUERY_PAGE_RECORDS, QUERY_PAGE_RECORDS,
               [&](const char* line, std::size_t len) {
                   ParsedLineT& p = scratch();
                   if (parseInto(p, line, len)) fillCommFromJson(&out[n++], p.fields, p.n);
               });
    return n;
}
