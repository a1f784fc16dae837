// The ClickHouse sink. Records are turned into rows as they come (on the
// exporting thread, a copy under a lock), gathered per table, and closed
// into batches: a scan's pair records at its end, the others after a second
// or 10,000 records. One thread sends the batches in order over HTTP
// (libcurl, one connection kept open); a batch that fails waits at the head
// of the queue and goes again with backoff, so order is kept across an
// outage; a full queue gives up its oldest batches. A batch the server
// refuses as malformed is logged and passed over: sending it again would
// hold back every batch behind it.
#include "output/clickhouse.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "core/global_define.h"
#include "core/util.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

enum FamilyE { FAMILY_PAIRS, FAMILY_HTTP, FAMILY_DB, FAMILY_TLS, NUM_FAMILIES };
const char* const tableNames[NUM_FAMILIES] = {"pairs", "http", "db", "tls"};

constexpr std::uint32_t BATCH_RECORDS = 10000;
constexpr auto BATCH_AGE = std::chrono::seconds(1);
constexpr auto FIRST_BACKOFF = std::chrono::milliseconds(500);
constexpr auto LAST_BACKOFF = std::chrono::seconds(30);
constexpr long CONNECT_TIMEOUT_MS = 3000;
constexpr long REQUEST_TIMEOUT_MS = 60000;

// The table of a record's "type", -1 for none (the end-of-scan mark).
int familyOf(std::string_view type)
{
    if (type == "1") return FAMILY_PAIRS;
    if (type == "2") return FAMILY_HTTP;
    if (type == "7") return FAMILY_TLS;
    if (type == "4" || type == "5" || type == "6" || type == "8" || type == "9") return FAMILY_DB;
    return -1;
}

// Keys whose "0.00" means nothing to divide by, where a computed zero is
// written "0.000": sent as -0, so that a Float64 column keeps them apart.
bool isRatioKey(std::string_view key)
{
    static constexpr std::string_view keys[] = {"srcLossRatio",   "dstLossRatio",   "srcNetDelay",    "dstNetDelay",
                                                "srcHandDelay",   "dstHandDelay",   "responseDelay",  "loadTransDelay",
                                                "srcRetransDelay", "dstRetransDelay"};
    return std::find(std::begin(keys), std::end(keys), key) != std::end(keys);
}

// Keys of the 32-bit counts, which the writer prints signed ("%d"): past
// 2^31 a count comes out negative, and its unsigned column refuses that.
bool isCountKey(std::string_view key)
{
    static constexpr std::string_view keys[] = {
        "did",           "lid",           "vid",           "sport",          "dport",          "proto",
        "srcBytes",      "dstBytes",      "srcPkts",       "dstPkts",        "srcRetransPkts", "dstRetransPkts",
        "srcZeroWinPkts", "dstZeroWinPkts", "srcSynPkts",  "dstSynPkts",     "largePkts",      "srcSynAckPkts",
        "dstSynAckPkts", "srcRstPkts",    "dstRstPkts",    "srcFinPkts",     "dstFinPkts",     "srcTinyPkts",
        "dstTinyPkts",   "srcConDelayUsec", "dstConDelayUsec", "bytes"};
    return std::find(std::begin(keys), std::end(keys), key) != std::end(keys);
}

// A JSON text's content as the row carries it: an escaped byte that is not
// UTF-8 (the writer's \u0080 to \u00ff) as that byte, since the server would
// read it as a character and it could not be told from one; other escapes
// as they are.
void appendText(std::string& out, std::string_view value)
{
    std::size_t from = 0;  // the start of what is still to be copied as it is
    for (std::size_t i = value.find('\\'); i != std::string_view::npos && i + 1 < value.size();
         i = value.find('\\', i)) {
        if (value.compare(i + 1, 3, "u00") == 0 && i + 5 < value.size() && hexDigit(value[i + 4]) >= 8 &&
            hexDigit(value[i + 5]) >= 0) {
            out.append(value.substr(from, i - from));
            out += static_cast<char>(hexDigit(value[i + 4]) << 4 | hexDigit(value[i + 5]));
            from = i + 6;
        }
        i += 2;
    }
    out.append(value.substr(from));
}

// Appends the record line as a row: its keys and values as they are, but
// begintime and endtime ("1796771356.335") in milliseconds, a ratio's "0.00"
// as -0, a count the writer printed signed (past 2^31) as the unsigned
// number it is, a byte that is not UTF-8 as itself, and the host's name
// last. The table's family, or -1 for a line that is not a record (left out).
int appendRow(std::string& out, const char* line, std::size_t len, const std::string& hostField)
{
    std::string_view s(line, len);
    if (!s.starts_with("{\"type\":\"")) return -1;
    const std::size_t typeEnd = s.find('"', 9);
    if (typeEnd == std::string_view::npos) return -1;
    const int family = familyOf(s.substr(9, typeEnd - 9));
    if (family < 0) return -1;
    const std::size_t mark = out.size();
    out += '{';
    std::size_t i = 1;
    while (i < s.size() && s[i] == '"') {
        const std::size_t keyEnd = s.find('"', i + 1);
        if (keyEnd == std::string_view::npos || s.compare(keyEnd + 1, 2, ":\"") != 0) break;
        const std::string_view key = s.substr(i + 1, keyEnd - i - 1);
        // The value ends at a quote behind an even run of backslashes.
        std::size_t j = s.find('"', keyEnd + 3);
        while (j != std::string_view::npos) {
            std::size_t b = j;
            while (b > keyEnd + 3 && s[b - 1] == '\\') b--;
            if ((j - b) % 2 == 0) break;
            j = s.find('"', j + 1);
        }
        if (j == std::string_view::npos) break;
        std::string_view value = s.substr(keyEnd + 3, j - keyEnd - 3);
        out.append(s.data() + i, keyEnd + 3 - i);
        if ((key == "begintime" || key == "endtime") && value.size() > 4 && value[value.size() - 4] == '.') {
            out.append(value.substr(0, value.size() - 4));
            out.append(value.substr(value.size() - 3));
        } else if (value == "0.00" && isRatioKey(key)) {
            out += "-0";
        } else if (value.size() > 1 && value[0] == '-' && value.find_first_not_of("0123456789", 1) == value.npos &&
                   isCountKey(key)) {
            out += std::to_string((1ll << 32) + std::atoll(std::string(value).c_str()));
        } else {
            appendText(out, value);
        }
        out += '"';
        i = j + 1;
        if (i < s.size() && s[i] == ',') {
            out += ',';
            i++;
        } else {
            break;
        }
    }
    if (i >= s.size() || s[i] != '}') {
        out.resize(mark);  // not one of the probe's lines after all
        return -1;
    }
    out += hostField;
    out += "}\n";
    return family;
}

std::string hostFieldOf(const char* host)
{
    std::string field = ",\"host\":\"";
    for (const char* c = host; *c != '\0'; c++) {
        if (*c == '"' || *c == '\\') field += '\\';
        field += *c;
    }
    return field + '"';
}

struct BatchT {
    int family;
    std::uint32_t records;
    std::string rows;
};

struct SinkT {
    std::string base;       // the URL as given, for the requests
    std::string shown;      // scheme, host and port: what the log names
    std::string hostField;  // ,"host":"..."
    std::size_t capBytes = CLICKHOUSE_QUEUE_DEFAULT;
    int keepDays = 0;  // days of records kept in the tables, 0 all

    // Rows gathered per table, not yet a batch.
    std::mutex gatherLock;
    std::string open[NUM_FAMILIES];
    std::uint32_t openRecords[NUM_FAMILIES] = {};
    Clock::time_point openSince[NUM_FAMILIES];

    // Batches waiting, oldest first, and the one being sent; bytes counts both.
    std::mutex queueLock;
    std::condition_variable wake, drained;
    std::deque<BatchT> waiting;
    std::size_t bytes = 0;
    bool sending = false;
    bool dropSending = false;  // the queue overflowed while the oldest was out
    bool overflowing = false;  // the overflow has been logged
    bool flushing = false;

    std::atomic<std::uint64_t> batchesSent {0}, recordsSent {0}, retries {0};
    std::atomic<std::uint64_t> batchesDropped {0}, recordsDropped {0};
    std::atomic<std::uint64_t> batchesRefused {0}, recordsRefused {0};
};
SinkT* sink = nullptr;
std::atomic<bool> sinkOn {false};

void countDropped(SinkT& k, const BatchT& b)
{
    k.batchesDropped.fetch_add(1, std::memory_order_relaxed);
    k.recordsDropped.fetch_add(b.records, std::memory_order_relaxed);
}

// Puts a batch at the queue's end, giving up the oldest waiting ones when it
// would not fit; the caller holds queueLock.
void enqueue(SinkT& k, BatchT&& b)
{
    const std::size_t size = b.rows.size();
    // A batch larger than the whole queue could never wait: it alone goes.
    const bool tooBig = size > k.capBytes;
    bool dropped = tooBig;
    while (!tooBig && k.bytes + size > k.capBytes && !k.waiting.empty()) {
        countDropped(k, k.waiting.front());
        k.bytes -= k.waiting.front().rows.size();
        k.waiting.pop_front();
        dropped = true;
    }
    if (!tooBig && k.bytes + size > k.capBytes && k.sending && !k.dropSending) {
        k.dropSending = true;  // the oldest, out with the sender, goes once it is back
        dropped = true;
    }
    if (dropped && !k.overflowing) {
        writeLog(2, "ClickHouse: the queue of batches waiting for %s is full (%zu MB): the oldest are dropped",
                 k.shown.c_str(), k.capBytes >> 20);
        k.overflowing = true;
    }
    if (tooBig) {
        countDropped(k, b);
        return;
    }
    k.bytes += size;
    k.waiting.push_back(std::move(b));
    k.wake.notify_one();
}

// Closes a table's gathered rows into a batch; the caller holds gatherLock.
void closeOpen(SinkT& k, int family)
{
    if (k.openRecords[family] == 0) return;
    BatchT b {family, k.openRecords[family], std::move(k.open[family])};
    k.open[family] = std::string();
    k.open[family].reserve(b.rows.size());  // the next batch is likely as large: no growing copies
    k.openRecords[family] = 0;
    std::lock_guard<std::mutex> lk(k.queueLock);
    enqueue(k, std::move(b));
}

// ---- sending -----------------------------------------------------------------

std::size_t keepReply(char* data, std::size_t size, std::size_t n, void* out)
{
    auto* reply = static_cast<std::string*>(out);
    if (reply->size() < 2048) reply->append(data, std::min(size * n, 2048 - reply->size()));
    return size * n;
}

enum OutcomeE { SENT, REFUSED, FAILED };

// The server's error number in its answer ("Code: 27. ..."), or -1.
int errorCode(const std::string& reply)
{
    const std::size_t at = reply.find("Code: ");
    return at == std::string::npos ? -1 : std::atoi(reply.c_str() + at + 6);
}

// Errors of the data itself: a value that does not parse, an unknown key, a
// row cut short; the same batch would fail again.
bool malformed(int code)
{
    static constexpr int codes[] = {6, 26, 27, 32, 38, 41, 53, 69, 70, 72, 117, 130};
    return std::find(std::begin(codes), std::end(codes), code) != std::end(codes);
}

std::string withQuery(const std::string& base, CURL* curl, const std::string& sql)
{
    char* escaped = curl_easy_escape(curl, sql.c_str(), static_cast<int>(sql.size()));
    std::string url = base + (base.find('?') == std::string::npos ? "?" : "&") + "query=" + escaped;
    curl_free(escaped);
    return url;
}

// Runs one statement with body as its data; the outcome, and why it failed.
// The answer's first 2 KB go to answer when given.
OutcomeE post(CURL* curl, const std::string& base, const std::string& sql, const std::string& body, std::string* why,
              std::string* answer = nullptr)
{
    std::string kept;
    std::string& reply = answer != nullptr ? *answer : kept;
    reply.clear();
    const auto rc = static_cast<CURLcode>(
        clickhousePost(curl, withQuery(base, curl, sql), body, keepReply, &reply, REQUEST_TIMEOUT_MS));
    if (rc != CURLE_OK) {
        *why = curl_easy_strerror(rc);
        return FAILED;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status == 200) return SENT;
    *why = "HTTP " + std::to_string(status) + ": " + clickhouseFirstLine(reply);
    return malformed(errorCode(reply)) ? REFUSED : FAILED;
}

// Drops the day partitions older than the retention from every table; 18.16
// has no TTL. Partitions are days (toYYYYMMDD), dropped by their number.
void dropOldDays(SinkT& k, CURL* curl)
{
    const std::string before = "toYYYYMMDD(now() - " + std::to_string(k.keepDays) + " * 86400)";
    for (const char* table : tableNames) {
        std::string why, answer;
        const std::string list = std::string("SELECT DISTINCT partition FROM system.parts WHERE active AND "
                                             "database = currentDatabase() AND table = '") +
                                 table + "' AND toUInt32(partition) < " + before + " FORMAT TSV";
        if (post(curl, k.base, list, "", &why, &answer) != SENT) {
            writeLog(2, "ClickHouse: old days of %s not looked up: %s", table, why.c_str());
            continue;
        }
        for (std::size_t at = 0; at < answer.size();) {
            std::size_t nl = answer.find('\n', at);
            if (nl == std::string::npos) nl = answer.size();
            const std::string day = answer.substr(at, nl - at);
            at = nl + 1;
            if (day.size() != 8 || day.find_first_not_of("0123456789") != std::string::npos) continue;
            if (post(curl, k.base, std::string("ALTER TABLE ") + table + " DROP PARTITION " + day, "", &why) == SENT)
                writeLog(1, "ClickHouse: day %s of %s dropped, older than %d days", day.c_str(), table, k.keepDays);
            else
                writeLog(2, "ClickHouse: day %s of %s not dropped: %s", day.c_str(), table, why.c_str());
        }
    }
}

void senderThread(SinkT* kp)
{
    SinkT& k = *kp;
    platform::yieldToCapture();
    CURL* curl = curl_easy_init();
    auto backoff = std::chrono::duration_cast<Clock::duration>(FIRST_BACKOFF);
    Clock::time_point retryAt {}, lastFail {};
    std::string failing;  // the kind of failure under way, "" while sending works
    std::uint64_t failedTries = 0;
    std::string lastRefusal;
    Clock::time_point nextCleaning = Clock::now();
    for (;;) {
        if (k.keepDays > 0 && curl != nullptr && Clock::now() >= nextCleaning) {
            dropOldDays(k, curl);
            nextCleaning = Clock::now() + std::chrono::hours(24);
        }
        // Transactions gathered for a second make a batch.
        {
            std::lock_guard<std::mutex> lk(k.gatherLock);
            const Clock::time_point now = Clock::now();
            for (int f = FAMILY_HTTP; f < NUM_FAMILIES; f++) {
                if (k.openRecords[f] != 0 && now - k.openSince[f] >= BATCH_AGE) closeOpen(k, f);
            }
        }
        BatchT b;
        {
            std::unique_lock<std::mutex> lk(k.queueLock);
            // At the end, the backoff shrinks to a fifth of a second.
            auto due = [&] {
                return k.flushing ? std::min(retryAt, lastFail + std::chrono::milliseconds(200)) : retryAt;
            };
            k.wake.wait_until(lk, std::max(due(), Clock::now() + std::chrono::milliseconds(100)),
                              [&] { return !k.waiting.empty() && Clock::now() >= due(); });
            if (k.waiting.empty() || Clock::now() < due()) continue;
            b = std::move(k.waiting.front());
            k.waiting.pop_front();
            k.sending = true;
        }
        std::string why;
        const OutcomeE outcome =
            curl == nullptr ? FAILED
                            : post(curl, k.base, std::string("INSERT INTO ") + tableNames[b.family] +
                                                     " FORMAT JSONEachRow", b.rows, &why);
        std::lock_guard<std::mutex> lk(k.queueLock);
        k.sending = false;
        if (outcome == FAILED && !k.dropSending) {
            k.retries.fetch_add(1, std::memory_order_relaxed);
            failedTries++;
            if (why != failing) {
                writeLog(2, "ClickHouse: sending to %s fails: %s; the records wait and go again", k.shown.c_str(),
                         why.c_str());
                failing = why;
            }
            lastFail = Clock::now();
            retryAt = lastFail + backoff;
            backoff = std::min(backoff * 2, std::chrono::duration_cast<Clock::duration>(LAST_BACKOFF));
            k.waiting.push_front(std::move(b));
            continue;
        }
        k.bytes -= b.rows.size();
        if (k.bytes <= k.capBytes / 2) k.overflowing = false;
        if (outcome == FAILED) {
            countDropped(k, b);
        } else if (outcome == REFUSED) {
            k.batchesRefused.fetch_add(1, std::memory_order_relaxed);
            k.recordsRefused.fetch_add(b.records, std::memory_order_relaxed);
            if (why != lastRefusal) {
                writeLog(2, "ClickHouse: %s refused a batch of %u records for table %s: %s", k.shown.c_str(),
                         b.records, tableNames[b.family], why.c_str());
                lastRefusal = why;
            }
        } else {
            k.batchesSent.fetch_add(1, std::memory_order_relaxed);
            k.recordsSent.fetch_add(b.records, std::memory_order_relaxed);
            lastRefusal.clear();
        }
        k.dropSending = false;
        if (outcome != FAILED && !failing.empty()) {
            writeLog(1, "ClickHouse: sending to %s works again after %llu failed attempts", k.shown.c_str(),
                     static_cast<unsigned long long>(failedTries));
            failing.clear();
            failedTries = 0;
        }
        backoff = std::chrono::duration_cast<Clock::duration>(FIRST_BACKOFF);
        retryAt = {};
        if (k.waiting.empty()) k.drained.notify_all();
    }
}

// The value of a parameter of the URL's query, "" when absent.
std::string parameter(const std::string& url, const char* name)
{
    const std::size_t q = url.find('?');
    if (q == std::string::npos) return "";
    const std::string want = std::string(name) + "=";
    for (std::size_t at = q + 1; at < url.size();) {
        std::size_t end = url.find('&', at);
        if (end == std::string::npos) end = url.size();
        if (url.compare(at, want.size(), want) == 0) return url.substr(at + want.size(), end - at - want.size());
        at = end + 1;
    }
    return "";
}

}  // namespace

int clickhousePost(void* curl, const std::string& url, const std::string& body,
                   std::size_t (*write)(char* bytes, std::size_t size, std::size_t n, void* data), void* data,
                   long timeoutMs)
{
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, data);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, CONNECT_TIMEOUT_MS);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    return curl_easy_perform(curl);
}

std::string clickhouseFirstLine(const std::string& answer)
{
    std::string line = answer.substr(0, answer.find('\n'));
    if (line.size() > 300) line.resize(300);
    return line;
}

int clickhouseCheckUrl(const char* url, char* err, int errSize)
{
    const std::string_view u(url);
    const std::size_t scheme = u.starts_with("http://") ? 7 : u.starts_with("https://") ? 8 : 0;
    const std::size_t hostEnd = scheme == 0 ? 0 : u.find_first_of("/?", scheme);
    const std::string_view host = scheme == 0 ? "" : u.substr(scheme, hostEnd - scheme);
    if (scheme == 0 || host.empty() || host.front() == ':') {
        std::snprintf(err, errSize, "'%s' is not a ClickHouse URL: give http://HOST:PORT/?database=NAME", url);
        return -1;
    }
    if (u.find_first_of(" \t\r\n") != std::string_view::npos) {
        std::snprintf(err, errSize, "a ClickHouse URL holds no blanks: '%s'", url);
        return -1;
    }
    return 0;
}

int clickhouseStart(const char* url, std::size_t queueBytes, int keepDays, char* err, int errSize)
{
    if (clickhouseCheckUrl(url, err, errSize) != 0) return -1;
    if (sink != nullptr) {
        std::snprintf(err, errSize, "the ClickHouse sink is already on");
        return -1;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    // Lives as long as the process: the sender waits on it to the end.
    auto* k = new SinkT;
    k->base = url;
    const std::size_t scheme = k->base.find("://") + 3;
    k->shown = k->base.substr(0, k->base.find_first_of("/?", scheme));
    const std::size_t at = k->shown.find('@');  // user:password@host: not for the log
    if (at != std::string::npos) k->shown = k->shown.substr(0, scheme) + k->shown.substr(at + 1);
    k->hostField = hostFieldOf(readOnlyGlobal.hostname);
    k->capBytes = queueBytes > 0 ? queueBytes : CLICKHOUSE_QUEUE_DEFAULT;
    k->keepDays = keepDays;
    sink = k;
    std::thread(senderThread, k).detach();
    sinkOn = true;
    writeLog(1, "ClickHouse: records go to %s, database %s", k->shown.c_str(),
             parameter(k->base, "database").empty() ? "default" : parameter(k->base, "database").c_str());
    return 0;
}

bool clickhouseOn() { return sinkOn.load(std::memory_order_acquire); }

int clickhouseRow(const char* line, const char* host, std::string* out)
{
    out->clear();
    return appendRow(*out, line, std::strlen(line), hostFieldOf(host));
}

void clickhouseRecord(const char* line, std::size_t len)
{
    if (!clickhouseOn()) return;
    SinkT& k = *sink;
    // Which table is known once the row is made: each goes to its own.
    thread_local std::string row;
    row.clear();
    const int family = appendRow(row, line, len, k.hostField);
    if (family < 0) return;
    std::lock_guard<std::mutex> lk(k.gatherLock);
    if (k.openRecords[family] == 0) k.openSince[family] = Clock::now();
    k.open[family] += row;
    if (++k.openRecords[family] >= BATCH_RECORDS && family != FAMILY_PAIRS) closeOpen(k, family);
}

void clickhouseEndOfScan()
{
    if (!clickhouseOn()) return;
    std::lock_guard<std::mutex> lk(sink->gatherLock);
    closeOpen(*sink, FAMILY_PAIRS);
}

void clickhouseFlush(int waitMs)
{
    if (!clickhouseOn()) return;
    SinkT& k = *sink;
    {
        std::lock_guard<std::mutex> lk(k.gatherLock);
        for (int f = 0; f < NUM_FAMILIES; f++) closeOpen(k, f);
    }
    std::unique_lock<std::mutex> lk(k.queueLock);
    k.flushing = true;
    k.wake.notify_one();
    k.drained.wait_for(lk, std::chrono::milliseconds(waitMs), [&] { return k.waiting.empty() && !k.sending; });
    k.flushing = false;
    if (k.waiting.empty()) return;
    std::uint64_t records = 0;
    for (const BatchT& b : k.waiting) {
        records += b.records;
        k.bytes -= b.rows.size();  // what is out with the sender stays counted until it is back
        countDropped(k, b);
    }
    writeLog(2, "ClickHouse: %zu batches (%llu records) could not be sent to %s before the end", k.waiting.size(),
             static_cast<unsigned long long>(records), k.shown.c_str());
    k.waiting.clear();
}

ClickhouseStatsT clickhouseStats()
{
    ClickhouseStatsT s {};
    if (sink == nullptr) return s;
    SinkT& k = *sink;
    s.batchesSent = k.batchesSent;
    s.recordsSent = k.recordsSent;
    s.retries = k.retries;
    s.batchesDropped = k.batchesDropped;
    s.recordsDropped = k.recordsDropped;
    s.batchesRefused = k.batchesRefused;
    s.recordsRefused = k.recordsRefused;
    std::lock_guard<std::mutex> lk(k.queueLock);
    s.queueBytes = k.bytes;
    return s;
}

void clickhouseSummary(char* out, std::size_t cap)
{
    out[0] = '\0';
    if (!clickhouseOn()) return;
    const ClickhouseStatsT s = clickhouseStats();
    std::snprintf(out, cap,
                  "; ClickHouse: %llu batches (%llu records) sent, %llu attempts retried, %llu batches (%llu "
                  "records) dropped, %llu batches (%llu records) refused",
                  static_cast<unsigned long long>(s.batchesSent), static_cast<unsigned long long>(s.recordsSent),
                  static_cast<unsigned long long>(s.retries), static_cast<unsigned long long>(s.batchesDropped),
                  static_cast<unsigned long long>(s.recordsDropped), static_cast<unsigned long long>(s.batchesRefused),
                  static_cast<unsigned long long>(s.recordsRefused));
}

int clickhouseCreateTables(const char* url, const char* schema, char* err, int errSize)
{
    if (clickhouseCheckUrl(url, err, errSize) != 0) return -1;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        std::snprintf(err, errSize, "libcurl could not start");
        return -1;
    }
    std::string base = url;
    const std::string database = parameter(base, "database");
    std::string why;
    int rc = 0;
    // The database first, asked without it: it may not exist yet.
    if (!database.empty()) {
        std::string without = base.substr(0, base.find('?') + 1);
        for (std::size_t at = base.find('?') + 1; at < base.size();) {
            std::size_t end = std::min(base.find('&', at), base.size());
            if (base.compare(at, 9, "database=") != 0) without.append(base, at, end - at) += '&';
            at = end + 1;
        }
        without.pop_back();  // the last '&', or the '?' when nothing else was given
        if (post(curl, without, "CREATE DATABASE IF NOT EXISTS " + database, "", &why) != SENT) rc = -1;
    }
    std::string_view rest(schema);
    while (rc == 0 && !rest.empty()) {
        std::size_t end = rest.find(";\n");
        std::string_view statement = rest.substr(0, end == std::string_view::npos ? rest.size() : end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 2);
        // Comment lines and blanks alone make no statement.
        std::string text;
        for (std::size_t at = 0; at < statement.size();) {
            std::size_t nl = statement.find('\n', at);
            std::string_view line =
                statement.substr(at, nl == std::string_view::npos ? std::string_view::npos : nl - at);
            at = nl == std::string_view::npos ? statement.size() : nl + 1;
            const std::size_t first = line.find_first_not_of(" \t");
            if (first != std::string_view::npos && !line.substr(first).starts_with("--")) text.append(line) += '\n';
        }
        if (text.find_first_not_of(" \t\n") == std::string::npos) continue;
        if (post(curl, base, text, "", &why) != SENT) rc = -1;
    }
    curl_easy_cleanup(curl);
    if (rc != 0) std::snprintf(err, errSize, "creating the tables failed: %s", why.c_str());
    return rc;
}
