// The one-line JSON form of pair, transaction and end-of-scan records.
#include "output/json.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "analysis/session.h"
#include "analysis/tls.h"
#include "core/cards.h"
#include "core/programs.h"
#include "core/util.h"

namespace {

// A key of the records with what comes before and after it (,"key":"), put
// together when the program is built and padded so that it can be copied in
// one fixed-size move.
constexpr std::size_t KEY_COPY = 32;
struct Key {
    template <std::size_t N>
    consteval Key(const char (&k)[N]) : len(N + 4)
    {
        static_assert(N + 4 <= KEY_COPY);
        text[0] = ',';
        text[1] = '"';
        for (std::size_t i = 0; i + 1 < N; i++) text[2 + i] = k[i];
        text[N + 1] = '"';
        text[N + 2] = ':';
        text[N + 3] = '"';
    }
    char text[KEY_COPY + 1] = {};
    std::size_t len;
};

// A name given as a template argument, so that each key is one constant of
// the program: built on the stack at every call, a key would be read back
// before its pieces are stored, which stalls the processor.
template <std::size_t N>
struct Name {
    consteval Name(const char (&k)[N])
    {
        for (std::size_t i = 0; i < N; i++) text[i] = k[i];
    }
    char text[N] = {};
};
template <Name name>
inline constexpr Key key {name.text};

// Builds one record: {"key":"value",...}. Every value is a JSON string; text
// values are escaped as JSON requires, so a quote, a backslash, a control
// byte or a byte that is not UTF-8 never breaks the record. The buffer is
// large enough for the widest record with every text escaped in full.
class RecordWriter {
public:
    // cap includes the terminating zero.
    RecordWriter(char* out, std::size_t cap) : out_(out), pos_(out), end_(out + cap - 1) { put("{", 1); }

    void text(const Key& key, const char* value, std::size_t maxLen)
    {
        open(key);
        escape(value, maxLen);
        put("\"", 1);
    }
    // A field of the records: never read past its width.
    template <std::size_t N>
    void text(const Key& key, const char (&value)[N])
    {
        text(key, value, N);
    }
    // A terminated text of our own.
    void textz(const Key& key, const char* value) { text(key, value, static_cast<std::size_t>(-1)); }
    // A number as printf's "%.<places>f" writes it.
    void fixed(const Key& key, double value, int places)
    {
        char digits[64];
        value_(key, digits, static_cast<std::size_t>(formatFixed(digits, value, places)));
    }
    // A 32-bit value as a signed decimal ("%d"); written by hand, as records
    // are mostly integers and printf would dominate their cost.
    void num(const Key& key, u32 value) { integer(key, static_cast<int>(value)); }
    void integer(const Key& key, long long value)
    {
        open(key);
        if (end_ - pos_ > 32) {
            pos_ = decimalAt(value, pos_);
        } else {
            char digits[24];
            char* first = decimal(value, digits + sizeof digits);
            put(first, static_cast<std::size_t>(digits + sizeof digits - first));
        }
        put("\"", 1);
    }
    // A size as "%d KB".
    void kilobytes(const Key& key, int value)
    {
        char digits[32];
        char* last = digits + sizeof digits - 3;
        std::memcpy(last, " KB", 3);
        char* first = decimal(value, last);
        value_(key, first, static_cast<std::size_t>(digits + sizeof digits - first));
    }
    void address(const Key& key, const IpAddrT& a)
    {
        char text[IP_TEXT_SIZE];
        value_(key, text, static_cast<std::size_t>(formatIp(a, text)));
    }
    // A capture time as "%u.%03u": seconds, a point, milliseconds.
    void seconds(const Key& key, const timeval& tv)
    {
        char text[32];
        char* at = text + sizeof text;
        unsigned ms = static_cast<unsigned>(tv.tv_usec) / 1000;
        *--at = static_cast<char>('0' + ms % 10);
        *--at = static_cast<char>('0' + ms / 10 % 10);
        *--at = static_cast<char>('0' + ms / 100 % 10);
        *--at = '.';
        at = decimal(static_cast<unsigned>(tv.tv_sec), at);
        value_(key, at, static_cast<std::size_t>(text + sizeof text - at));
    }
    // A value that needs no formatting.
    void literal(const Key& key, const char* text) { value_(key, text, std::strlen(text)); }
    // A quotient in "%.3f", or "0.00" when there is nothing to divide by.
    void ratio(const Key& key, double value, bool zero)
    {
        if (zero) {
            literal(key, "0.00");
        } else {
            fixed(key, value, 3);
        }
    }
    void finish()
    {
        put("}", 1);
        *pos_ = 0;
    }

private:
    // The magnitude of v, unsigned, so that the most negative value negates safely.
    static unsigned long long magnitude(long long v)
    {
        unsigned long long x = static_cast<unsigned long long>(v);
        return v < 0 ? 0 - x : x;
    }
    // Writes v in decimal ending just before end; the first digit or sign.
    static char* decimal(long long v, char* end)
    {
        char* first = decimalBefore(magnitude(v), end);
        if (v < 0) *--first = '-';
        return first;
    }
    // Writes v in decimal from at on, which has room; the end of it.
    static char* decimalAt(long long v, char* at)
    {
        unsigned long long x = magnitude(v);
        if (v < 0) *at++ = '-';
        const int n = decimalLength(x);
        decimalBefore(x, at + n);
        return at + n;
    }
    // Appends what fits of n bytes. The writing goes through a local cursor:
    // stores through a char pointer could alias the members, and the compiler
    // would reload them after every byte.
    void put(const char* text, std::size_t n)
    {
        char* at = pos_;
        n = std::min(n, static_cast<std::size_t>(end_ - at));
        std::memcpy(at, text, n);
        pos_ = at + n;
    }
    void open(const Key& key)
    {
        std::size_t skip = pos_ == out_ + 1 ? 1 : 0;  // no comma before the first
        if (end_ - pos_ > static_cast<std::ptrdiff_t>(KEY_COPY)) {
            std::memcpy(pos_, key.text + skip, KEY_COPY);
            pos_ += key.len - skip;
        } else {
            put(key.text + skip, key.len - skip);
        }
    }
    void value_(const Key& key, const char* text, std::size_t n)
    {
        open(key);
        put(text, n);
        put("\"", 1);
    }
    void escape(const char* s, std::size_t maxLen)
    {
        static const char hex[] = "0123456789abcdef";
        const auto* p = reinterpret_cast<const unsigned char*>(s);
        char* at = pos_;
        char* const end = end_;
        for (std::size_t i = 0; i < maxLen && p[i] != 0;) {
            std::size_t plain = i;
            while (plain < maxLen && p[plain] >= 0x20 && p[plain] < 0x7F && p[plain] != '"' && p[plain] != '\\') plain++;
            std::size_t run = std::min(plain - i, static_cast<std::size_t>(end - at));
            std::memcpy(at, s + i, run);
            at += run;
            i = plain;
            if (i == maxLen || p[i] == 0) break;
            unsigned char c = p[i];
            std::size_t len = c == '"' || c == '\\' || c < 0x80 ? 0 : utf8Length(p + i, maxLen - i);
            if (len > 0) {
                // Well-formed UTF-8 passes as it is.
                if (static_cast<std::size_t>(end - at) < len) break;
                std::memcpy(at, s + i, len);
                at += len;
                i += len;
                continue;
            }
            if (end - at < 6) break;
            if (c == '"' || c == '\\') {
                *at++ = '\\';
                *at++ = static_cast<char>(c);
            } else {
                // A control byte, or a byte that is not UTF-8: the character
                // of that value, \u00XX.
                for (char ch : {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]}) *at++ = ch;
            }
            i++;
        }
        pos_ = at;
    }

    char* const out_;
    char* pos_;
    char* const end_;
};

// The local process block: the conversation's program, as sampled last.
void processBlock(RecordWriter& w, const char* name, float cpu, int mem)
{
    w.text(key<"process">, name, sizeof ProgramViewT::name);
    if (cpu == 0) {
        w.literal(key<"cpu">, "0.000");  // most conversations have no local program
    } else {
        w.fixed(key<"cpu">, static_cast<double>(cpu), 3);
    }
    if (mem == 0) {
        w.literal(key<"mem">, "0 KB");
    } else {
        w.kilobytes(key<"mem">, mem);
    }
}

void processBlock(RecordWriter& w, ProgramRefT program)
{
    ProgramViewT view;
    if (program == 0 || !programView(program, &view)) {
        processBlock(w, "", 0, 0);  // most conversations: no table look
    } else {
        processBlock(w, view.name, view.cpu, view.mem);
    }
}

// The local time text of a second. Records come many to a second, and a
// second's transactions finish in about the order they began: the texts of
// the last 64 seconds are kept.
const char* timeText(time_t sec)
{
    struct Entry {
        time_t sec = -1;
        char text[32];
    };
    static thread_local Entry recent[64];
    Entry& e = recent[static_cast<unsigned long long>(sec) % 64];
    if (e.sec != sec) {
        getStrTime(sec, e.text);
        e.sec = sec;
    }
    return e.text;
}

// The selected card's device id, looked up again only when the card list
// changed or another card was selected: a lookup takes the list's lock,
// whose atomic steps wait for the record's text written so far to reach
// the cache, for every record.
void deviceId(RecordWriter& w)
{
    struct Seen {
        unsigned version = 0;
        int row = -2;  // none yet
        char id[sizeof CardInfoT::deviceId] = "";
    };
    static thread_local Seen seen;
    const unsigned version = cardListVersion();
    const int row = globalValue.selectRow;
    if (version != seen.version || row != seen.row) {
        CardInfoT card {};
        getCard(row, &card);
        std::memcpy(seen.id, card.deviceId, sizeof seen.id);
        seen.version = version;
        seen.row = row;
    }
    w.text(key<"deviceId">, seen.id);
}

// usec / (count x 1000) in milliseconds; the product wraps as a 32-bit word.
void averageMs(RecordWriter& w, const Key& key, u32 usec, u32 count)
{
    u32 divisor = count * 1000u;
    w.ratio(key, divisor ? usec / static_cast<double>(divisor) : 0, count == 0 || divisor == 0);
}

void totalMs(RecordWriter& w, const Key& key, u32 usec) { w.ratio(key, usec / 1000.0, usec == 0); }

}  // namespace

// ---- record text -------------------------------------------------------------

void delQuota(char* str, std::size_t cap)
{
    const std::size_t len = strnlen(str, cap);
    char* w = static_cast<char*>(std::memchr(str, '"', len));  // mostly none
    if (w == nullptr) return;
    for (const char* r = w; r < str + len; r++) {
        if (*r != '"') *w++ = *r;
    }
    *w = 0;  // within the field: a quote went
}

void makeJsonStr(const CommMsgT* m, char* str)
{
    RecordWriter w(str, JSON_RECORD_SIZE);
    w.num(key<"type">, 1);
    w.integer(key<"time">, m->time);
    w.textz(key<"strTime">, timeText(m->time));
    processBlock(w, m->pname, m->cpu, static_cast<int>(m->mem));
    w.text(key<"urlsql">, m->urlsql);
    w.address(key<"src">, m->src);
    w.address(key<"dst">, m->dst);
    w.num(key<"proto">, m->proto);
    w.num(key<"did">, m->did);
    w.num(key<"lid">, m->lid);
    w.num(key<"vid">, m->vid);
    deviceId(w);
    w.text(key<"busiId">, m->busiId);
    w.num(key<"sport">, m->sport);
    w.num(key<"dport">, m->dport);
    w.num(key<"srcBytes">, m->sendBytes);
    w.num(key<"dstBytes">, m->rcvdBytes);
    w.num(key<"srcPkts">, m->sendPkts);
    w.num(key<"dstPkts">, m->rcvdPkts);
    u32 pkts = m->sendPkts + m->rcvdPkts;
    u32 bytes = m->sendBytes + m->rcvdBytes;
    if (pkts == 0) {
        w.literal(key<"avgPktLen">, "0.00");
    } else {
        w.fixed(key<"avgPktLen">, static_cast<double>(static_cast<float>(bytes) / static_cast<float>(pkts)), 2);
    }
    w.num(key<"srcRetransPkts">, m->sendRetransmitPkts);
    w.ratio(key<"srcLossRatio">, m->sendPkts ? static_cast<double>(m->sendRetransmitPkts) / m->sendPkts : 0,
            m->sendRetransmitPkts == 0 || m->sendPkts == 0);
    w.num(key<"dstRetransPkts">, m->rcvdRetransmitPkts);
    w.ratio(key<"dstLossRatio">, m->rcvdPkts ? static_cast<double>(m->rcvdRetransmitPkts) / m->rcvdPkts : 0,
            m->rcvdRetransmitPkts == 0 || m->rcvdPkts == 0);
    w.num(key<"srcZeroWinPkts">, m->cntSrcZeroWin);
    w.num(key<"dstZeroWinPkts">, m->cntDstZeroWin);
    w.num(key<"srcSynPkts">, m->sendSynPkts);
    w.num(key<"dstSynPkts">, m->rcvdSynPkts);
    w.num(key<"largePkts">, m->largePkts);
    w.num(key<"srcSynAckPkts">, m->sendSynAckPkts);
    w.num(key<"dstSynAckPkts">, m->rcvdSynAckPkts);
    w.num(key<"srcRstPkts">, m->sendRstPkts);
    w.num(key<"dstRstPkts">, m->rcvdRstPkts);
    w.num(key<"srcFinPkts">, m->sendFinPkts);
    w.num(key<"dstFinPkts">, m->rcvdFinPkts);
    w.num(key<"srcTinyPkts">, m->sendTinyPkts);
    w.num(key<"dstTinyPkts">, m->rcvdTinyPkts);
    averageMs(w, key<"srcNetDelay">, m->srcDelayUsec, m->cntSrcDelay);
    averageMs(w, key<"dstNetDelay">, m->dstDelayUsec, m->cntDstDelay);
    totalMs(w, key<"srcHandDelay">, m->srcConDelayUsec);
    totalMs(w, key<"dstHandDelay">, m->dstConDelayUsec);
    averageMs(w, key<"responseDelay">, m->customDelayUsec, m->cntCustomDelay);
    averageMs(w, key<"loadTransDelay">, m->loadDelayUsec, m->cntLoadDelay);
    totalMs(w, key<"srcRetransDelay">, m->srcRetransDelayUsec);
    totalMs(w, key<"dstRetransDelay">, m->dstRetransDelayUsec);
    w.finish();
}

namespace {

// The keys every transaction record starts with, "type" to "bytes".
void transactionKeys(RecordWriter& w, const NetSessionT& s, int jsonType, time_t now, const timeval& begin,
                     const timeval& end)
{
    w.integer(key<"type">, jsonType);
    w.integer(key<"time">, now);
    processBlock(w, static_cast<ProgramRefT>(s.program));
    w.textz(key<"strBegintime">, timeText(begin.tv_sec));
    w.address(key<"src">, s.src);
    w.address(key<"dst">, s.dst);
    w.num(key<"did">, static_cast<u32>(s.did));
    w.num(key<"lid">, static_cast<u32>(s.lid));
    w.num(key<"vid">, static_cast<u32>(s.vid));
    deviceId(w);
    w.text(key<"busiId">, s.busiId);
    w.num(key<"sport">, static_cast<u32>(s.sport));
    w.num(key<"dport">, static_cast<u32>(s.dport));
    // The connection's own, not those of the interval, which a scan may have cleared.
    w.num(key<"srcConDelayUsec">, s.cliHandshakeUsec);
    w.num(key<"dstConDelayUsec">, s.serHandshakeUsec);
    w.seconds(key<"begintime">, begin);
    w.seconds(key<"endtime">, end);
    w.num(key<"bytes">, static_cast<u32>(s.bytes));
}

// The record of a TLS handshake (type 7): the keys every transaction record
// starts with, then what the handshake showed.
void tlsJson(NetSessionT* s, int jsonType, time_t now, char* str)
{
    TlsStateT& t = s->busi.tls;
    for (auto [text, cap] : {std::pair {t.sni, sizeof t.sni}, {t.alpnOffer, sizeof t.alpnOffer},
                             {t.alpnChosen, sizeof t.alpnChosen}, {t.certSubject, sizeof t.certSubject},
                             {t.certIssuer, sizeof t.certIssuer}}) {
        delQuota(text, cap);
    }
    RecordWriter w(str, JSON_RECORD_SIZE);
    transactionKeys(w, *s, jsonType, now, t.clientHelloTime, t.lastHandshakeTime);
    w.integer(key<"response">, t.seenServerHello ? timevalDiffUsec(t.serverHelloTime, t.clientHelloTime) : 0);
    w.text(key<"sni">, t.sni);
    char version[16] = "", cipher[8] = "";
    if (t.seenServerHello) {
        tlsVersionText(t.version, version, sizeof version);
        tlsCipherText(t.cipher, cipher, sizeof cipher);
    }
    w.textz(key<"version">, version);
    w.textz(key<"cipher">, cipher);
    w.text(key<"alpn">, t.alpnChosen[0] != '\0' ? t.alpnChosen : t.alpnOffer, sizeof t.alpnOffer);
    w.text(key<"ja3">, t.ja3);
    w.text(key<"ja3s">, t.ja3s);
    w.text(key<"certSubject">, t.certSubject);
    w.text(key<"certIssuer">, t.certIssuer);
    w.text(key<"certNotAfter">, t.certNotAfter);
    char alert[12] = "";
    if (t.alert >= 0) std::snprintf(alert, sizeof alert, "%d", t.alert);
    w.textz(key<"alert">, alert);
    w.integer(key<"setup">, t.complete ? timevalDiffUsec(t.completeTime, t.clientHelloTime) : 0);
    w.finish();
}

}  // namespace

int makeTransactionJsonStr(NetSessionT* s, time_t now, char* str)
{
    str[0] = 0;
    if (!holdsTransaction(*s)) return -1;
    const ApplicationT* app = applicationOf(s->type);
    if (app == nullptr) return -1;
    const int jsonType = app->jsonType;
    if (s->type == APP_TLS) {
        tlsJson(s, jsonType, now, str);
        return 0;
    }
    const bool http = s->type == APP_HTTP;
    HttpSessionT& h = s->busi.http;
    DbSessionT& d = s->busi.db;
    double srcAvg = 0, dstAvg = 0;
    if (http) {
        delQuota(h.domain, sizeof h.domain);
        delQuota(h.url, sizeof h.url);
        delQuota(h.method, sizeof h.method);
        delQuota(h.contentType, sizeof h.contentType);
        delQuota(h.agent, sizeof h.agent);
    } else {
        delQuota(d.sql, sizeof d.sql);
        delQuota(d.errMess, sizeof d.errMess);
        delQuota(d.dbname, sizeof d.dbname);
        delQuota(d.user, sizeof d.user);
        srcAvg = s->cntCliDelay ? static_cast<double>(s->cliDelayUsec) / s->cntCliDelay : 0;
        dstAvg = s->cntSerDelay ? static_cast<double>(s->serDelayUsec) / s->cntSerDelay : 0;
    }

    RecordWriter w(str, JSON_RECORD_SIZE);
    transactionKeys(w, *s, jsonType, now, http ? h.beginTime : d.beginTime, http ? h.endTime : d.endTime);
    if (http) {
        w.integer(key<"response">, h.response);
        w.integer(key<"pageload">, h.pageload);
        w.integer(key<"retcode">, h.retcode);
        w.text(key<"method">, h.method);
        w.text(key<"url">, h.url);
        w.text(key<"domain">, h.domain);
        w.text(key<"contentType">, h.contentType);
        w.text(key<"agent">, h.agent);
        // Without the header, "0.0.0.0" whatever the family.
        static constexpr IpAddrT none {};
        w.address(key<"forward">, h.forward == none ? ipFromV4(0) : h.forward);
    } else {
        w.integer(key<"response">, d.response);
        w.text(key<"sql">, d.sql);
        w.integer(key<"resp">, s->resp);
        w.text(key<"err">, d.errMess);
        w.text(key<"dbname">, d.dbname);
        w.text(key<"user">, d.user);
        w.fixed(key<"srcDelayUsec">, srcAvg, 2);
        w.fixed(key<"dstDelayUsec">, dstAvg, 2);
    }
    w.finish();
    return 0;
}

int makeBusinessJsonStr(NetSessionT* s, char* str) { return makeTransactionJsonStr(s, globalValue.currTime, str); }

void makeEndJsonStr(char* str, time_t stamp)
{
    RecordWriter w(str, JSON_RECORD_SIZE);
    w.integer(key<"type">, 99);
    w.integer(key<"time">, stamp);
    w.finish();
}
