#include "retrieval/clickhouse_query.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/ipaddr.h"
#include "core/util.h"
#include "output/clickhouse.h"

namespace {

constexpr auto npos = std::string::npos;
constexpr std::size_t ERROR_KEPT = 2048;
// Every other Float64 key of the records has three places.
constexpr const char* twoPlaces[] = {"avgPktLen", "srcDelayUsec", "dstDelayUsec"};

// A text the query builds itself (addresses, device ids, plain runs of the
// keyword) as an SQL string: quote and backslash escaped, nothing else
// reaches here.
std::string quoted(const std::string& s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out + "'";
}

std::string addressText(const IpAddrT& a)
{
    char text[IP_TEXT_SIZE];
    formatIp(a, text);
    return quoted(text);
}

// The filter as a condition that every row passing it meets: the addresses
// as the probe prints them (the stored texts are its own), ports and ranges
// as numbers. The store query's own test runs again on each rebuilt line.
std::string filterCondition(const EndpointFilterT& f)
{
    const std::string port = std::to_string(f.port);
    switch (f.mode) {
    case WX_QUERY_IP: return "(src = " + addressText(f.addr[0]) + " OR dst = " + addressText(f.addr[0]) + ")";
    case WX_QUERY_PORT: return "(sport = " + port + " OR dport = " + port + ")";
    case WX_QUERY_IP_PORT:
        return "((src = " + addressText(f.addr[0]) + " AND sport = " + port + ") OR (dst = " + addressText(f.addr[0]) +
               " AND dport = " + port + "))";
    case WX_QUERY_IP_LIST: {
        std::string list;
        for (int i = 0; i < f.addrLen && i < FILTER_MAX_ADDR; i++) list += (i > 0 ? ", " : "") + addressText(f.addr[i]);
        return "(src IN (" + list + ") OR dst IN (" + list + "))";
    }
    case WX_QUERY_IP_PERIOD: {
        // The stored texts of IPv6 addresses hold a colon, those of IPv4 ones none.
        std::string side[2];
        const char* cols[2] = {"src", "dst"};
        for (int k = 0; k < 2; k++) {
            const std::string c = cols[k];
            if (ipIsV4(f.low)) {
                side[k] = "(position(" + c + ", ':') = 0 AND IPv4StringToNum(" + c + ") BETWEEN " +
                          std::to_string(ipV4(f.low)) + " AND " + std::to_string(ipV4(f.high)) + ")";
            } else {
                // Upper-case hex of the 16 bytes orders as the numbers do.
                char lo[33], hi[33];
                for (int i = 0; i < 16; i++) {
                    std::snprintf(lo + 2 * i, 3, "%02X", f.low.b[i]);
                    std::snprintf(hi + 2 * i, 3, "%02X", f.high.b[i]);
                }
                side[k] = "(position(" + c + ", ':') > 0 AND hex(IPv6StringToNum(" + c + ")) BETWEEN " + quoted(lo) +
                          " AND " + quoted(hi) + ")";
            }
        }
        return "(" + side[0] + " OR " + side[1] + ")";
    }
    default: return "";
    }
}

// The longest run of the keyword that every line holding the keyword holds in
// one of its String values, unescaped; "" when there is none. A keyword
// without a quote lies within one key, value or punctuation of the line; a
// run of printable characters that no writer's escape makes (no backslash, u,
// digit or a-f), no punctuation of the line, not all '.' and '-' (a number's),
// and in no key name, can only lie in a text value, as the same bytes.
std::string keywordRun(const std::string& keyword, const std::vector<ChColumnT>& cols)
{
    if (keyword.find('"') != npos) return "";
    auto plain = [](unsigned char c) {
        return c >= 0x20 && c < 0x7F && std::strchr("\"\\{}:,u0123456789abcdef", c) == nullptr;
    };
    std::string best;
    for (std::size_t i = 0; i < keyword.size();) {
        std::size_t j = i;
        while (j < keyword.size() && plain(static_cast<unsigned char>(keyword[j]))) j++;
        if (j - i > best.size()) best = keyword.substr(i, j - i);
        i = j + 1;
    }
    if (best.find_first_not_of(".-") == npos) return "";
    for (const ChColumnT& c : cols) {
        if (c.name.find(best) != npos) return "";
    }
    return best;
}

// A text's bytes as the record writer escapes them between quotes.
void appendEscaped(std::string& out, const unsigned char* p, std::size_t n)
{
    static const char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        const std::size_t len = c >= 0x80 ? utf8Length(p + i, n - i) : 0;
        if (len > 0) {
            out.append(reinterpret_cast<const char*>(p + i), len);
            i += len;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            for (char ch : {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]}) out += ch;
        }
        i++;
    }
}

// One value of a row as the record holds it; false when it does not read.
bool appendValue(std::string& out, const ChColumnT& col, const char* v, std::size_t n)
{
    if (col.type == "String") {
        if (n % 2 != 0) return false;
        thread_local std::string bytes;
        bytes.clear();
        for (std::size_t at = 0; at < n; at += 2) {
            const int hi = hexDigit(v[at]), lo = hexDigit(v[at + 1]);
            if (hi < 0 || lo < 0) return false;
            bytes += static_cast<char>(hi << 4 | lo);
        }
        appendEscaped(out, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        return true;
    }
    const std::string text(v, n);
    char* end = nullptr;
    char buf[64];
    if (col.type == "Float64") {
        const double d = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0') return false;
        if (d == 0 && std::signbit(d)) {
            out += "0.00";  // nothing to divide by
            return true;
        }
        const bool two = std::find_if(std::begin(twoPlaces), std::end(twoPlaces),
                                      [&](const char* k) { return col.name == k; }) != std::end(twoPlaces);
        std::snprintf(buf, sizeof buf, "%.*f", two ? 2 : 3, d);
        out += buf;
        return true;
    }
    if (text.empty() || text.find_first_not_of("-0123456789") != npos) return false;
    if (col.name == "begintime" || col.name == "endtime") {
        const unsigned long long ms = std::strtoull(text.c_str(), nullptr, 10);
        std::snprintf(buf, sizeof buf, "%llu.%03llu", ms / 1000, ms % 1000);
        out += buf;
    } else if (col.type == "UInt32") {
        // The probe prints its 32-bit counters signed.
        out += std::to_string(static_cast<int>(static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10))));
    } else {
        out += text;
    }
    return true;
}

// ---- the server --------------------------------------------------------------

// What the answer of one request brings: the lines handed to onLine (which
// returns false to stop), or the server's error.
struct AnswerT {
    CURL* curl = nullptr;
    std::function<bool(const char* line, std::size_t len)> onLine;
    long status = 0;
    std::string pending;  // a line begun in the last piece
    std::string error;    // the body of an answer that is not 200, its start
    bool stopped = false;
};

std::size_t onData(char* data, std::size_t size, std::size_t n, void* p)
{
    auto& a = *static_cast<AnswerT*>(p);
    const std::size_t len = size * n;
    if (a.status == 0) curl_easy_getinfo(a.curl, CURLINFO_RESPONSE_CODE, &a.status);
    if (a.status != 200) {
        if (a.error.size() < ERROR_KEPT) a.error.append(data, std::min(len, ERROR_KEPT - a.error.size()));
        return len;
    }
    a.pending.append(data, len);
    std::size_t from = 0;
    for (std::size_t nl; (nl = a.pending.find('\n', from)) != npos; from = nl + 1) {
        if (!a.onLine(a.pending.data() + from, nl - from)) {
            a.stopped = true;
            return 0;  // ends the transfer
        }
    }
    a.pending.erase(0, from);
    return len;
}

struct ServerT {
    std::string url, shown;
    CURL* curl = nullptr;

    // Runs sql, its answer's lines to onLine; "" when it ran (or onLine
    // stopped it), else what went wrong.
    std::string run(const std::string& sql, const std::function<bool(const char*, std::size_t)>& onLine)
    {
        AnswerT a;
        a.curl = curl;
        a.onLine = onLine;
        // No time limit: a long sort on the server may keep the first row a while.
        const auto rc = static_cast<CURLcode>(clickhousePost(curl, url, sql, onData, &a, 0));
        if (a.stopped) return "";
        if (rc != CURLE_OK) return "ClickHouse at " + shown + " does not answer: " + curl_easy_strerror(rc);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (status != 200)
            return "ClickHouse at " + shown + ": HTTP " + std::to_string(status) + ": " + clickhouseFirstLine(a.error);
        // An error met while rows stream comes after them, without a line end.
        if (!a.pending.empty())
            return "the answer of ClickHouse at " + shown + " broke off: " + clickhouseFirstLine(a.pending);
        return "";
    }
};

bool identifier(const std::string& s)
{
    return !s.empty() && !(s[0] >= '0' && s[0] <= '9') &&
           s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == npos;
}

}  // namespace

bool deviceIdValid(const char* text)
{
    return std::strlen(text) == 12 && std::strspn(text, "0123456789ABCDEF") == 12;
}

bool tableNameValid(const char* text) { return identifier(text); }

std::string clickhouseSelect(const ClickhouseQueryT& cq, const std::string& table, const std::vector<ChColumnT>& cols,
                             long limit)
{
    const JsonQueryT& q = cq.q;
    std::string shown, order = "`time`";
    for (const ChColumnT& c : cols) {
        const std::string name = "`" + c.name + "`";
        shown += (shown.empty() ? "" : ", ") +
                 (c.type == "String" ? "hex(" + name + ")" : c.type == "DateTime" ? "toUInt32(" + name + ")" : name);
        if (c.name != "time") order += ", " + name;
    }
    // DateTime holds seconds from 0 to 2^32 - 1.
    auto second = [](long long t) { return std::to_string(std::clamp(t, 0LL, 4294967295LL)); };
    std::string where = "`time` >= toDateTime(" + second(q.start) + ") AND `time` < toDateTime(" + second(q.end) + ")";
    if (q.end > 4294967295LL) where = "`time` >= toDateTime(" + second(q.start) + ")";
    if (!cq.device.empty() && deviceIdValid(cq.device.c_str())) where += " AND deviceId = " + quoted(cq.device);
    const std::string filter = filterCondition(q.filter);
    if (!filter.empty()) where += " AND " + filter;
    const std::string run = keywordRun(q.keyword, cols);
    if (!run.empty()) {
        std::string any;
        for (const ChColumnT& c : cols) {
            if (c.type == "String")
                any += (any.empty() ? "" : " OR ") + ("position(`" + c.name + "`, " + quoted(run) + ") > 0");
        }
        if (!any.empty()) where += " AND (" + any + ")";
    }
    std::string sql = "SELECT " + shown + " FROM `" + table + "` WHERE " + where + " ORDER BY " + order;
    if (limit >= 0) sql += " LIMIT " + std::to_string(limit);
    return sql + " FORMAT TabSeparated";
}

bool clickhouseRebuild(const std::vector<ChColumnT>& cols, const char* row, std::size_t len, std::string* out)
{
    out->assign("{");
    const char* p = row;
    const char* end = row + len;
    for (std::size_t i = 0; i < cols.size(); i++) {
        const char* tab = static_cast<const char*>(std::memchr(p, '\t', static_cast<std::size_t>(end - p)));
        const bool last = i + 1 == cols.size();
        if ((tab == nullptr) != last) return false;
        const char* stop = last ? end : tab;
        out->append(i > 0 ? ",\"" : "\"").append(cols[i].name).append("\":\"");
        if (!appendValue(*out, cols[i], p, static_cast<std::size_t>(stop - p))) return false;
        *out += '"';
        p = stop + 1;
    }
    *out += '}';
    return true;
}

long queryClickhouse(const char* url, const ClickhouseQueryT& cq, long skip, long limit,
                     const std::function<void(const char* line, std::size_t len)>& take, std::string* err)
{
    char why[512];
    if (clickhouseCheckUrl(url, why, sizeof why) != 0) {
        *err = why;
        return -1;
    }
    if (!cq.device.empty() && !deviceIdValid(cq.device.c_str())) {
        *err = "bad device id '" + cq.device + "'";
        return -1;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    ServerT s;
    s.url = url;
    const std::size_t scheme = s.url.find("://") + 3;
    s.shown = s.url.substr(0, s.url.find_first_of("/?", scheme));
    const std::size_t at = s.shown.find('@');  // user:password@host: not for the messages
    if (at != npos) s.shown = s.shown.substr(0, scheme) + s.shown.substr(at + 1);
    s.curl = curl_easy_init();
    if (s.curl == nullptr) {
        *err = "libcurl could not start";
        return -1;
    }
    std::unique_ptr<CURL, void (*)(CURL*)> owner(s.curl, curl_easy_cleanup);

    // The Distributed table reads every shard; a single server's table is pairs.
    std::string table = cq.table;
    if (table.empty()) {
        std::vector<std::string> names;
        *err = s.run("SELECT name FROM system.tables WHERE database = currentDatabase() AND name IN ('pairs', "
                     "'pairs_all') FORMAT TabSeparated",
                     [&](const char* line, std::size_t len) {
                         names.emplace_back(line, len);
                         return true;
                     });
        if (!err->empty()) return -1;
        if (names.empty()) {
            *err = "ClickHouse at " + s.shown + ": the database has no table pairs (wirelane-probe --clickhouse URL "
                   "--create-tables makes it)";
            return -1;
        }
        table = std::find(names.begin(), names.end(), "pairs_all") != names.end() ? "pairs_all" : "pairs";
    } else if (!identifier(table)) {
        *err = "bad table name '" + table + "'";
        return -1;
    }
    std::vector<ChColumnT> cols;
    *err = s.run("DESCRIBE TABLE `" + table + "` FORMAT TabSeparated", [&](const char* line, std::size_t len) {
        const std::string l(line, len);
        const std::size_t tab = l.find('\t');
        const std::size_t tab2 = tab == npos ? npos : l.find('\t', tab + 1);
        if (tab != npos && l.substr(0, tab) != "host")
            cols.push_back({l.substr(0, tab), l.substr(tab + 1, tab2 - tab - 1)});
        return true;
    });
    if (!err->empty()) return -1;
    const bool hasColumn =
        std::find_if(cols.begin(), cols.end(), [](const ChColumnT& c) { return c.name == "time"; }) != cols.end();
    for (const ChColumnT& c : cols) {
        if (!identifier(c.name)) {
            *err = "table " + table + " has a column named '" + c.name + "', which no record has";
            return -1;
        }
    }
    if (!hasColumn || cols.front().name != "type" || cols[1].name != "time") {
        *err = "table " + table + " is not a table of pair records (its first columns are not type and time)";
        return -1;
    }

    // Without a keyword, the rows are the matches: the server stops at the page's end.
    const long rows = cq.q.keyword.empty() && limit >= 0 ? skip + limit : -1;
    long taken = 0;
    std::string line, broken;
    *err = s.run(clickhouseSelect(cq, table, cols, rows), [&](const char* row, std::size_t len) {
        if (!clickhouseRebuild(cols, row, len, &line)) {
            broken.assign(row, std::min<std::size_t>(len, 300));
            return false;
        }
        if (!filterJson(cq.q, line.data(), line.size())) return true;
        if (skip > 0) {
            skip--;
            return true;
        }
        take(line.data(), line.size());
        ++taken;
        return limit < 0 || taken < limit;
    });
    if (err->empty() && !broken.empty()) *err = "the answer of ClickHouse at " + s.shown + " broke off: " + broken;
    return err->empty() ? taken : -1;
}
