// HTTP transaction analysis: request starts, header values and status lines
// read from TCP payloads into fixed stack buffers; one transaction per
// session, closed when the client speaks again after a response or starts a
// new request.
#include "analysis/http.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>

#include "analysis/session.h"
#include "core/util.h"

namespace {

// A frame is looked at only this far: the request from its target on, the
// status line, the X-Forwarded-For value (bytes, without the terminator).
constexpr int REQ_WORK = 2040;
constexpr int RES_WORK = 1000;
constexpr int FWD_WORK = 1020;

// Longest texts kept, in characters.
constexpr std::size_t URL_MAX = 255;
constexpr std::size_t DOMAIN_MAX = 31;
constexpr std::size_t HEADER_MAX = 62;
constexpr std::size_t METHOD_MAX = 7;

// Copies at most max of the len bytes at src into dst (max + 1 bytes),
// stopping at a zero byte, and terminates the copy.
void copyPayload(char* dst, const u8* src, int len, int max)
{
    int n = len < max ? len : max;
    int i = 0;
    for (; i < n && src[i] != 0; ++i) dst[i] = static_cast<char>(src[i]);
    dst[i] = '\0';
}

void copyCut(char* dst, const char* src, std::size_t len, std::size_t max)
{
    if (len > max) len = max;
    std::memcpy(dst, src, len);
    dst[len] = '\0';
}

// One header line (without its CRLF). Values start at a fixed index: the
// name, its colon and exactly one blank.
void takeHeader(const char* line, std::size_t len, char* domain, char* contentType, char* agent)
{
    struct Header {
        std::string_view name;
        std::size_t valueAt;
        char* out;
        std::size_t max;
    };
    const Header headers[] = {
        {"Host:", 6, domain, DOMAIN_MAX},
        {"User-Agent:", 12, agent, HEADER_MAX},
        {"Content-Type:", 14, contentType, HEADER_MAX},
    };
    std::string_view text(line, len);
    for (const Header& h : headers) {
        if (!text.starts_with(h.name)) continue;
        if (len <= h.valueAt)
            h.out[0] = '\0';
        else
            copyCut(h.out, line + h.valueAt, len - h.valueAt, h.max);
        return;
    }
}

// atoi on the text up to the next blank (blanks end the words of a status
// line), saturated instead of overflowing.
int statusNumber(const char* p)
{
    while (*p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (v <= INT_MAX) v = v * 10 + (*p - '0');
    }
    if (v > INT_MAX) v = INT_MAX;
    return static_cast<int>(negative ? -v : v);
}

// Hands the session's transaction to the caller and starts an empty one.
void closeTransaction(NetSessionT* session, NetSessionT* oneSession)
{
    std::memcpy(static_cast<void*>(oneSession), session, transactionBytes(*session));
    oneSession->valid = 1;
    resetSession(1, session);
}

}  // namespace

int getMethod(const u8* str, int strLen, char* method)
{
    struct Method {
        std::string_view start;  // the name and its blank
        int id;
    };
    static constexpr Method methods[] = {{"GET ", 1}, {"POST ", 2}, {"HEAD ", 3}};
    if (str == nullptr || strLen <= 0) return 0;
    std::string_view text(reinterpret_cast<const char*>(str), static_cast<std::size_t>(strLen));
    for (const Method& m : methods) {
        if (!text.starts_with(m.start)) continue;
        copyCut(method, m.start.data(), m.start.size() - 1, METHOD_MAX);
        return m.id;
    }
    return 0;
}

void getHttpFeature(const char* str, char* domain, char* contentType, char* agent)
{
    // The first line is the rest of the request line and is not a header.
    const char* line = nullptr;
    for (const char* p = str; *p != '\0'; ++p) {
        if (p[0] != '\r' || p[1] != '\n') continue;
        if (line != nullptr) takeHeader(line, static_cast<std::size_t>(p - line), domain, contentType, agent);
        line = p + 2;
        if (p[2] == '\r' && p[3] == '\n') break;  // end of the header block
        ++p;
    }
}

int isReqStart(const u8* str, int strLen, char* url, char* method, char* domain, char* contentType, char* agent)
{
    int id = getMethod(str, strLen, method);
    if (id == 0) return 0;
    const int target = id == 1 ? 4 : 5;
    if (strLen <= target) return 0;

    char work[REQ_WORK + 1];
    copyPayload(work, str + target, strLen - target, REQ_WORK);
    char* version = std::strstr(work, " HTTP");
    if (version == nullptr) return 0;
    getHttpFeature(version, domain, contentType, agent);

    *version = '\0';
    // Some clients append the referring page to the target.
    if (char* referer = std::strstr(work, "REFERER=")) *referer = '\0';
    const std::size_t len = std::strlen(work);
    if (len == 0) return 0;

    if (std::strncmp(work, "http", 4) != 0) {
        // The URL is kept as printable ASCII: it ends at the first control or
        // non-ASCII byte, and single quotes are stored as double quotes.
        const std::size_t n = len < URL_MAX ? len : URL_MAX;
        std::size_t i = 0;
        for (; i < n && static_cast<signed char>(work[i]) >= 0x20; ++i) url[i] = work[i] == '\'' ? '"' : work[i];
        url[i] = '\0';
        return 1;
    }

    // Absolute form: "http://" is skipped; with "https://" one slash is left,
    // so the host comes out empty and the URL keeps the host.
    const char* host = work + (len < 7 ? len : 7);
    const char* slash = std::strchr(host, '/');
    const std::size_t hostLen = slash != nullptr ? static_cast<std::size_t>(slash - host) : std::strlen(host);
    copyCut(domain, host, hostLen, DOMAIN_MAX);
    if (slash != nullptr)
        copyCut(url, slash, std::strlen(slash), URL_MAX);
    else
        url[0] = '\0';
    return 1;
}

int getForward(const u8* str, int strLen, IpAddrT* forward)
{
    static constexpr std::string_view key = "X-Forwarded-For: ";
    if (str == nullptr || strLen <= 0) return 0;
    std::string_view text(reinterpret_cast<const char*>(str), static_cast<std::size_t>(strLen));
    const std::size_t at = text.find(key);
    if (at == std::string_view::npos) return 0;

    const std::size_t value = at + key.size();
    char work[FWD_WORK + 1];
    copyPayload(work, str + value, strLen - static_cast<int>(value), FWD_WORK);
    char* end = std::strstr(work, "\r\n");
    if (end == nullptr) return 0;
    *end = '\0';
    // Each proxy appends the address it received from; the last is the
    // client of the proxy next to the server.
    const char* comma = std::strrchr(work, ',');
    const char* hop = comma != nullptr ? comma + 1 : work;
    u32 address = 0;
    if (getIPFromStr(hop, &address) == 0) {
        *forward = ipFromV4(address);
        return 1;
    }
    // An IPv6 hop, bare or in brackets, between blanks.
    std::string_view v6(hop);
    while (!v6.empty() && (v6.front() == ' ' || v6.front() == '\t')) v6.remove_prefix(1);
    while (!v6.empty() && (v6.back() == ' ' || v6.back() == '\t')) v6.remove_suffix(1);
    if (v6.size() > 2 && v6.front() == '[' && v6.back() == ']') v6 = v6.substr(1, v6.size() - 2);
    IpAddrT a;
    if (v6.find(':') != std::string_view::npos && parseIpN(v6.data(), v6.size(), &a) == 0) *forward = a;
    return 1;
}

int isResStart(const u8* str, int strLen, int* code)
{
    if (str == nullptr || strLen <= 0) return 0;
    // The status line: up to the first CRLF within the first RES_WORK bytes,
    // and before any zero byte. Only that much is copied.
    int n = std::min(strLen, RES_WORK);
    if (n < 4 || std::memcmp(str, "HTTP", 4) != 0) return 0;
    char work[RES_WORK + 1];
    int len = 0;
    for (; len + 1 < n && str[len] != 0 && !(str[len] == '\r' && str[len + 1] == '\n'); ++len) {
        work[len] = static_cast<char>(str[len]);
    }
    if (len + 1 >= n || str[len] != '\r') return 0;
    work[len] = '\0';
    // A line without a blank has no status number; it is not taken for 0,
    // which would leave a transaction with no status waiting for one.
    const char* blank = std::strchr(work, ' ');
    if (blank == nullptr) return 0;
    *code = statusNumber(blank + 1);
    return 1;
}

void processHttpReq(NetSessionT* session, const timeval& ts, const u8* payload, int payloadLen,
                    NetSessionT* oneSession, int prev)
{
    oneSession->valid = 0;
    HttpSessionT& http = session->busi.http;
    // The client speaks after a response: that exchange is over, unless the
    // server only said 100 Continue and the body follows.
    if (prev == 2 && http.retcode != 100) closeTransaction(session, oneSession);

    char url[sizeof http.url] = {};
    char method[sizeof http.method] = {};
    char domain[sizeof http.domain] = {};
    char contentType[sizeof http.contentType] = {};
    char agent[sizeof http.agent] = {};
    if (isReqStart(payload, payloadLen, url, method, domain, contentType, agent) != 1) return;

    // A new request closes the transaction before it, answered or not.
    if (oneSession->valid != 1) closeTransaction(session, oneSession);
    std::memcpy(http.url, url, sizeof url);
    std::memcpy(http.method, method, sizeof method);
    std::memcpy(http.domain, domain, sizeof domain);
    std::memcpy(http.contentType, contentType, sizeof contentType);
    std::memcpy(http.agent, agent, sizeof agent);
    http.beginTime = ts;
    getForward(payload, payloadLen, &http.forward);
    http.pageload = 0;
    http.response = 0;
}
