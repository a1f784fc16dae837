// Records and export channels: the one-line JSON form of pair, transaction
// and end-of-scan records, and where they go.
#include "output/data.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "capture/engine.h"
#include "core/util.h"

namespace {

FILE* jsonOut = nullptr;
std::atomic<void (*)(const CommMsgT&)> recordObserver {nullptr};
std::atomic<void (*)(const NetSessionT&)> transactionObserver {nullptr};

// Builds one record: {"key":"value",...}. Every value is a JSON string; text
// values are escaped as JSON requires, so a quote, a backslash, a control
// byte or a byte that is not UTF-8 never breaks the record. The buffer is
// large enough for the widest record with every text escaped in full.
class RecordWriter {
public:
    RecordWriter(char* out, std::size_t cap) : out_(out), cap_(cap) { put('{'); }

    void text(const char* key, const char* value, std::size_t maxLen)
    {
        open(key);
        escape(value, maxLen);
        put('"');
    }
    // A field of the records: never read past its width.
    template <std::size_t N>
    void text(const char* key, const char (&value)[N])
    {
        text(key, value, N);
    }
    // A terminated text of our own.
    void textz(const char* key, const char* value) { text(key, value, static_cast<std::size_t>(-1)); }
    void format(const char* key, const char* fmt, ...) __attribute__((format(printf, 3, 4)))
    {
        open(key);
        if (len_ < cap_) {
            va_list ap;
            va_start(ap, fmt);
            int n = std::vsnprintf(out_ + len_, cap_ - len_, fmt, ap);
            va_end(ap);
            if (n > 0) len_ = std::min(len_ + static_cast<std::size_t>(n), cap_ - 1);
        }
        put('"');
    }
    void num(const char* key, u32 value) { format(key, "%d", static_cast<int>(value)); }
    void address(const char* key, u32 ip)
    {
        format(key, "%d.%d.%d.%d", static_cast<int>(ip >> 24), static_cast<int>((ip >> 16) & 0xFF),
               static_cast<int>((ip >> 8) & 0xFF), static_cast<int>(ip & 0xFF));
    }
    // A quotient in "%.3f", or "0.00" when there is nothing to divide by.
    void ratio(const char* key, double value, bool zero)
    {
        if (zero) {
            format(key, "0.00");
        } else {
            format(key, "%.3f", value);
        }
    }
    void finish()
    {
        put('}');
        out_[len_ < cap_ ? len_ : cap_ - 1] = 0;
    }

private:
    void put(char c)
    {
        if (len_ + 1 < cap_) out_[len_++] = c;
    }
    void open(const char* key)
    {
        if (!first_) put(',');
        first_ = false;
        put('"');
        for (const char* k = key; *k; k++) put(*k);
        put('"');
        put(':');
        put('"');
    }
    void escape(const char* s, std::size_t maxLen)
    {
        static const char hex[] = "0123456789abcdef";
        const auto* p = reinterpret_cast<const unsigned char*>(s);
        std::size_t n = strnlen(s, maxLen);
        for (std::size_t i = 0; i < n;) {
            unsigned char c = p[i];
            if (c == '"' || c == '\\') {
                put('\\');
                put(static_cast<char>(c));
                i++;
            } else if (c < 0x20 || c == 0x7F) {
                put('\\');
                put('u');
                put('0');
                put('0');
                put(hex[c >> 4]);
                put(hex[c & 15]);
                i++;
            } else if (c < 0x80) {
                put(static_cast<char>(c));
                i++;
            } else if (std::size_t len = utf8Length(p + i, n - i)) {
                for (std::size_t k = 0; k < len; k++) put(static_cast<char>(p[i + k]));
                i += len;
            } else {
                // Not UTF-8: the byte is kept as the character of that value.
                put('\\');
                put('u');
                put('0');
                put('0');
                put(hex[c >> 4]);
                put(hex[c & 15]);
                i++;
            }
        }
    }
    // Length of the well-formed UTF-8 sequence at p, or 0.
    static std::size_t utf8Length(const unsigned char* p, std::size_t avail)
    {
        std::size_t len = p[0] >= 0xF0 && p[0] <= 0xF4 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 && p[0] <= 0xDF ? 2 : 0;
        if (len == 0 || len > avail) return 0;
        for (std::size_t k = 1; k < len; k++) {
            if ((p[k] & 0xC0) != 0x80) return 0;
        }
        if (len == 3 && ((p[0] == 0xE0 && p[1] < 0xA0) || (p[0] == 0xED && p[1] >= 0xA0))) return 0;
        if (len == 4 && ((p[0] == 0xF0 && p[1] < 0x90) || (p[0] == 0xF4 && p[1] >= 0x90))) return 0;
        return len;
    }

    char* out_;
    std::size_t cap_;
    std::size_t len_ = 0;
    bool first_ = true;
};

// The local process block: the port table entry of port.
void processBlock(RecordWriter& w, u32 port)
{
    const PortProcT& p = globalValue.portProc[port & 0xFFFF];
    w.text("process", p.name);
    w.format("cpu", "%.3f", static_cast<double>(p.cpu));
    w.format("mem", "%d KB", p.mem);
}

void deviceId(RecordWriter& w)
{
    CardInfoT card {};
    getCard(globalValue.selectRow, &card);
    w.text("deviceId", card.deviceId);
}

// usec / (count x 1000) in milliseconds; the product wraps as a 32-bit word.
void averageMs(RecordWriter& w, const char* key, u32 usec, u32 count)
{
    u32 divisor = count * 1000u;
    w.ratio(key, divisor ? usec / static_cast<double>(divisor) : 0, count == 0 || divisor == 0);
}

void totalMs(RecordWriter& w, const char* key, u32 usec) { w.ratio(key, usec / 1000.0, usec == 0); }

}  // namespace

// ---- record text -------------------------------------------------------------

void delQuota(char* str)
{
    char* w = str;
    for (const char* r = str; *r; r++) {
        if (*r != '"') *w++ = *r;
    }
    *w = 0;
}

void makeJsonStr(const CommMsgT* m, char* str)
{
    RecordWriter w(str, JSON_RECORD_SIZE);
    char when[32];
    w.format("type", "%d", 1);
    w.format("time", "%ld", static_cast<long>(m->time));
    w.textz("strTime", getStrTime(m->time, when));
    processBlock(w, m->sport);
    w.text("urlsql", m->urlsql);
    w.address("src", m->src);
    w.address("dst", m->dst);
    w.num("proto", m->proto);
    w.num("did", m->did);
    w.num("lid", m->lid);
    w.num("vid", m->vid);
    deviceId(w);
    w.text("busiId", m->busiId);
    w.num("sport", m->sport);
    w.num("dport", m->dport);
    w.num("srcBytes", m->sendBytes);
    w.num("dstBytes", m->rcvdBytes);
    w.num("srcPkts", m->sendPkts);
    w.num("dstPkts", m->rcvdPkts);
    u32 pkts = m->sendPkts + m->rcvdPkts;
    u32 bytes = m->sendBytes + m->rcvdBytes;
    if (pkts == 0) {
        w.format("avgPktLen", "0.00");
    } else {
        w.format("avgPktLen", "%.2f", static_cast<double>(static_cast<float>(bytes) / static_cast<float>(pkts)));
    }
    w.num("srcRetransPkts", m->sendRetransmitPkts);
    w.ratio("srcLossRatio", m->sendPkts ? static_cast<double>(m->sendRetransmitPkts) / m->sendPkts : 0,
            m->sendRetransmitPkts == 0 || m->sendPkts == 0);
    w.num("dstRetransPkts", m->rcvdRetransmitPkts);
    w.ratio("dstLossRatio", m->rcvdPkts ? static_cast<double>(m->rcvdRetransmitPkts) / m->rcvdPkts : 0,
            m->rcvdRetransmitPkts == 0 || m->rcvdPkts == 0);
    w.num("srcZeroWinPkts", m->cntSrcZeroWin);
    w.num("dstZeroWinPkts", m->cntDstZeroWin);
    w.num("srcSynPkts", m->sendSynPkts);
    w.num("dstSynPkts", m->rcvdSynPkts);
    w.num("largePkts", m->largePkts);
    w.num("srcSynAckPkts", m->sendSynAckPkts);
    w.num("dstSynAckPkts", m->rcvdSynAckPkts);
    w.num("srcRstPkts", m->sendRstPkts);
    w.num("dstRstPkts", m->rcvdRstPkts);
    w.num("srcFinPkts", m->sendFinPkts);
    w.num("dstFinPkts", m->rcvdFinPkts);
    w.num("srcTinyPkts", m->sendTinyPkts);
    w.num("dstTinyPkts", m->rcvdTinyPkts);
    averageMs(w, "srcNetDelay", m->srcDelayUsec, m->cntSrcDelay);
    averageMs(w, "dstNetDelay", m->dstDelayUsec, m->cntDstDelay);
    totalMs(w, "srcHandDelay", m->srcConDelayUsec);
    totalMs(w, "dstHandDelay", m->dstConDelayUsec);
    averageMs(w, "responseDelay", m->customDelayUsec, m->cntCustomDelay);
    averageMs(w, "loadTransDelay", m->loadDelayUsec, m->cntLoadDelay);
    totalMs(w, "srcRetransDelay", m->srcRetransDelayUsec);
    totalMs(w, "dstRetransDelay", m->dstRetransDelayUsec);
    w.finish();
}

int makeBusinessJsonStr(NetSessionT* s, char* str)
{
    str[0] = 0;
    int jsonType = s->type == 1 ? 2 : s->type == 2 ? 4 : s->type == 3 ? 5 : s->type == 4 ? 6 : -1;
    if (jsonType < 0) return -1;
    // url and sql start at the same place of the union.
    if (s->busi.http.url[0] == 0 || s->busi.http.beginTime.tv_sec == 0) return -1;
    bool http = s->type == 1;
    HttpSessionT& h = s->busi.http;
    DbSessionT& d = s->busi.db;
    double srcAvg = 0, dstAvg = 0;
    if (http) {
        delQuota(h.domain);
        delQuota(h.url);
        delQuota(h.method);
        delQuota(h.contentType);
        delQuota(h.agent);
    } else {
        delQuota(d.sql);
        delQuota(d.errMess);
        delQuota(d.dbname);
        delQuota(d.user);
        srcAvg = s->cntCliDelay ? static_cast<double>(s->cliDelayUsec) / s->cntCliDelay : 0;
        dstAvg = s->cntSerDelay ? static_cast<double>(s->serDelayUsec) / s->cntSerDelay : 0;
    }

    RecordWriter w(str, JSON_RECORD_SIZE);
    char text[32];
    w.format("type", "%d", jsonType);
    w.format("time", "%ld", static_cast<long>(static_cast<time_t>(globalValue.currTime)));
    processBlock(w, static_cast<u32>(s->sport));
    const timeval& begin = http ? h.beginTime : d.beginTime;
    const timeval& end = http ? h.endTime : d.endTime;
    w.textz("strBegintime", getStrTime(begin.tv_sec, text));
    w.address("src", s->src);
    w.address("dst", s->dst);
    w.format("did", "%d", s->did);
    w.format("lid", "%d", s->lid);
    w.format("vid", "%d", s->vid);
    deviceId(w);
    w.text("busiId", s->busiId);
    w.format("sport", "%d", s->sport);
    w.format("dport", "%d", s->dport);
    w.num("srcConDelayUsec", s->cliConDelayUsec);
    w.num("dstConDelayUsec", s->serConDelayUsec);
    w.textz("begintime", format_tv(begin, text, sizeof text));
    w.textz("endtime", format_tv(end, text, sizeof text));
    w.format("bytes", "%d", s->bytes);
    if (http) {
        w.format("response", "%d", h.response);
        w.format("pageload", "%d", h.pageload);
        w.format("retcode", "%d", h.retcode);
        w.text("method", h.method);
        w.text("url", h.url);
        w.text("domain", h.domain);
        w.text("contentType", h.contentType);
        w.text("agent", h.agent);
        w.address("forward", s->forward);
    } else {
        w.format("response", "%d", d.response);
        w.text("sql", d.sql);
        w.format("resp", "%d", s->resp);
        w.text("err", d.errMess);
        w.text("dbname", d.dbname);
        w.text("user", d.user);
        w.format("srcDelayUsec", "%.2f", srcAvg);
        w.format("dstDelayUsec", "%.2f", dstAvg);
    }
    w.finish();
    return 0;
}

void makeEndJsonStr(char* str, time_t stamp)
{
    RecordWriter w(str, JSON_RECORD_SIZE);
    w.format("type", "%d", 99);
    w.format("time", "%ld", static_cast<long>(stamp));
    w.finish();
}

// ---- channels ----------------------------------------------------------------

int initSocket()
{
    // POSIX sockets need no start-up; both channels start closed.
    globalValue.expSockfd = -1;
    globalValue.expPktSockfd = -1;
    readOnlyGlobal.isExp = 0;
    readOnlyGlobal.isPktExp = 0;
    return 0;
}

int openJsonOut(const char* path, char* err, int errSize)
{
    if (std::strcmp(path, "-") == 0) {
        jsonOut = stdout;
        return 0;
    }
    jsonOut = std::fopen(path, "w");
    if (jsonOut == nullptr) {
        std::snprintf(err, errSize, "cannot write records to %s: %s", path, std::strerror(errno));
        return -1;
    }
    return 0;
}

void flushJsonOut()
{
    if (jsonOut != nullptr) std::fflush(jsonOut);
}

void setRecordObserver(void (*observer)(const CommMsgT& record)) { recordObserver = observer; }
void setTransactionObserver(void (*observer)(const NetSessionT& session)) { transactionObserver = observer; }

int exportData(CommMsgT* pCommMsg, time_t stamp)
{
    pCommMsg->type = 1;
    pCommMsg->time = stamp;
    pCommMsg->lid = 0;
    pCommMsg->vid = 0;
    pCommMsg->did = static_cast<u32>(static_cast<int>(readOnlyGlobal.did));
    if (auto observe = recordObserver.load()) observe(*pCommMsg);
    // Rendering, the collector and the JSON store take the record from here.
    return 0;
}

int exportBusinessData(NetSessionT* pNetSession)
{
    pNetSession->lid = 0;
    pNetSession->vid = 0;
    pNetSession->did = readOnlyGlobal.did;
    if (auto observe = transactionObserver.load()) observe(*pNetSession);
    // Transaction records are rendered and sent from here.
    return -1;
}
