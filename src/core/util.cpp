// Logging, time and string utilities; monitored endpoints and their lookup.
#include "core/util.h"

#include <arpa/inet.h>
#include <endian.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <type_traits>

void copyText(char* dst, std::size_t cap, const char* src)
{
    if (cap == 0) return;
    std::size_t n = src ? strnlen(src, cap - 1) : 0;
    std::memcpy(dst, src ? src : "", n);
    dst[n] = '\0';
}

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Reads an unsigned decimal number the way scanf's %u would, blanks first,
// but without a sign. The value saturates far above every field limit (255,
// 65535, 32) so that long digit strings cannot wrap into range. Returns the
// position after the digits, or nullptr when there is no digit.
const char* readDecimal(const char* p, u32* value)
{
    while (isBlank(*p)) ++p;
    if (!isDigit(*p)) return nullptr;
    u32 v = 0;
    for (; isDigit(*p); ++p) {
        if (v < 100000000u) v = v * 10 + u32(*p - '0');
    }
    *value = v;
    return p;
}

// Four numbers separated by points; text after the fourth is ignored.
bool readDotted(const char* p, u32 field[4])
{
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (*p != '.') return false;
            ++p;
        }
        p = readDecimal(p, &field[i]);
        if (!p) return false;
    }
    return true;
}

// Digits only, as a number (saturated), or -1.
long digitsValue(const char* text)
{
    long v = 0;
    for (const char* p = text; *p; ++p) {
        if (!isDigit(*p)) return -1;
        if (v < 100000000L) v = v * 10 + (*p - '0');
    }
    return v;
}

std::atomic<FILE*> logConsole{nullptr};  // nullptr = standard output

}  // namespace

// ---- logging and time ----------------------------------------------------

void setLogConsole(FILE* stream) { logConsole.store(stream, std::memory_order_relaxed); }

void writeLog(int level, const char* format, ...)
{
    char line[LOG_LINE_SIZE];
    getDateTime(line);
    std::size_t len = std::strlen(line);

    const char* tag = level == 1 ? " MESSAGE: " : level == 2 ? " WARNING: " : level == 3 ? " ERROR: " : "";
    std::size_t tagLen = std::strlen(tag);
    std::memcpy(line + len, tag, tagLen);
    len += tagLen;

    char msg[LOG_LINE_SIZE];
    if (format == nullptr) format = "";
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(msg, sizeof msg, format, ap);
    va_end(ap);
    std::size_t msgLen = n > 0 ? std::min<std::size_t>(std::size_t(n), sizeof msg - 1) : 0;
    // A newline that ends the format is the program's own (a blank line
    // follows); every other control byte, a peer's CR LF above all, is
    // written escaped, so that each line of the log starts with its time.
    std::size_t fmtLen = std::strlen(format);
    std::size_t keep = fmtLen > 0 && format[fmtLen - 1] == '\n' && msgLen > 0 && msg[msgLen - 1] == '\n' ? 1 : 0;
    // The message gets what is left but the newlines and one byte; a longer
    // one is cut.
    std::size_t end = sizeof line - 2 - keep;
    for (std::size_t i = 0; i + keep < msgLen && len < end; ++i) {
        unsigned char c = static_cast<unsigned char>(msg[i]);
        if (c >= 0x20 && c != 0x7F) {
            line[len++] = static_cast<char>(c);
            continue;
        }
        char esc[5];
        int w = c == '\r' ? std::snprintf(esc, sizeof esc, "\\r") : c == '\n' ? std::snprintf(esc, sizeof esc, "\\n")
              : c == '\t' ? std::snprintf(esc, sizeof esc, "\\t") : std::snprintf(esc, sizeof esc, "\\x%02x", c);
        if (len + static_cast<std::size_t>(w) > end) break;
        std::memcpy(line + len, esc, static_cast<std::size_t>(w));
        len += static_cast<std::size_t>(w);
    }
    if (keep) line[len++] = '\n';
    line[len++] = '\n';

    FILE* console = logConsole.load(std::memory_order_relaxed);
    if (!console) console = stdout;
    std::fwrite(line, 1, len, console);
    std::fflush(console);
    if (FILE* fp = readOnlyGlobal.logfp) {
        std::fwrite(line, 1, len, fp);
        std::fflush(fp);
    }
}

char* getStrTime(time_t tt, char* out)
{
    tm t{};
    localtime_r(&tt, &t);
    // Room for any int fields; the caller's 20 bytes hold every real date.
    char text[80];
    std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
    copyText(out, 20, text);
    return out;
}

void getDateTime(char* out) { getStrTime(std::time(nullptr), out); }

char* format_tv(timeval tv, char* out, int size)
{
    if (size > 0) {
        std::snprintf(out, std::size_t(size), "%u.%03u", unsigned(tv.tv_sec), unsigned(tv.tv_usec / 1000));
    }
    return out;
}

time_t getGlobalTime(time_t tt) { return tt - tt % 10; }

int formatFixed(char* out, double value, int places)
{
    static constexpr std::uint64_t scale[] = {1, 10, 100, 1000};
    if (places < 0 || places > 3 || !(std::fabs(value) < 1e15)) {
        return std::snprintf(out, 64, "%.*f", places < 0 || places > 3 ? 0 : places, value);
    }
    // value is m x 2^e exactly, with m below 2^53, so m x scale fits 64 bits
    // and the scaled value is rounded exactly: to nearest, ties to even, as
    // printf rounds in the default rounding mode (which the probe never changes).
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    int exponent = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t m = bits & ((std::uint64_t {1} << 52) - 1);
    if (exponent != 0) {
        m |= std::uint64_t {1} << 52;
    } else {
        exponent = 1;  // subnormal
    }
    int e = exponent - 1075;
    std::uint64_t scaled = m * scale[places];
    std::uint64_t n = 0;
    if (e >= 0) {
        n = scaled << e;  // below 1e18: value < 1e15
    } else if (e > -64) {
        int k = -e;
        std::uint64_t rest = scaled & ((std::uint64_t {1} << k) - 1);
        std::uint64_t half = std::uint64_t {1} << (k - 1);
        n = scaled >> k;
        if (rest > half || (rest == half && (n & 1))) n++;
    }  // else below half a unit: 0

    char* p = out;
    if (bits >> 63) *p++ = '-';
    char digits[24];
    int len = 0;
    for (int i = 0; i < places || n > 0 || len <= places; i++) {
        if (len == places && places > 0) digits[len++] = '.';
        digits[len++] = static_cast<char>('0' + n % 10);
        n /= 10;
    }
    while (len > 0) *p++ = digits[--len];
    *p = 0;
    return static_cast<int>(p - out);
}

// ---- strings -------------------------------------------------------------

// In place rather than through a working copy: same result, any length.
void trim(char* str)
{
    char* start = str;
    while (*start == ' ') ++start;
    std::size_t len = std::strlen(start);
    if (start != str) std::memmove(str, start, len + 1);
    while (len > 0 && str[len - 1] == ' ') str[--len] = '\0';
}

int isEmptyString(char* str)
{
    trim(str);
    return str[0] == '\0' ? 1 : 0;
}

int isNumber(char* str)
{
    trim(str);
    for (const char* p = str; *p; ++p) {
        if (!isDigit(*p) && *p != '.') return 0;
    }
    return 1;
}

void toLowerCase(char* str)
{
    for (char* p = str; *p; ++p) {
        if (*p >= 'A' && *p <= 'Z') *p = char(*p - 'A' + 'a');
    }
}

// Seeded from the clock on every call: two calls in one second agree.
// Seeded once: reseeding from the clock at every call gave every endpoint
// added within one second the same business id.
void getRandStrId(char* out)
{
    static std::mutex lock;
    static std::mt19937 gen(std::random_device{}());
    std::lock_guard<std::mutex> lk(lock);
    std::uniform_int_distribution<int> digit(0, 9);
    for (int i = 0; i < 8; ++i) out[i] = char('0' + digit(gen));
    out[8] = '\0';
}

void getJsonValue(const char* keyval, char* out, int outSize)
{
    if (outSize <= 0) return;
    int n = 0;
    const char* p = keyval ? std::strchr(keyval, ':') : nullptr;
    if (p) {
        ++p;
        while (*p == ' ' || *p == '"') ++p;
        for (; *p && *p != '"' && *p != '}' && n < outSize - 1; ++p) out[n++] = *p;
    }
    out[n] = '\0';
}

char* processWinPath(const char* path, char* out, int outSize)
{
    if (outSize <= 0) return out;
    int n = 0;
    for (const char* p = path; p && *p; ++p) {
        int need = *p == '\\' ? 2 : 1;
        if (n + need > outSize - 1) break;  // never split a doubled backslash
        out[n++] = *p;
        if (need == 2) out[n++] = '\\';
    }
    out[n] = '\0';
    return out;
}

void getDomainFromUrl(char* url, char* out, int outSize)
{
    if (outSize <= 0) return;
    char* host = url;
    // When both scheme texts occur, the earlier one is the scheme.
    const char* plain = std::strstr(url, "http://");
    const char* secure = std::strstr(url, "https://");
    if (secure && (!plain || secure < plain)) {
        host = url + 8;
    } else if (plain) {
        host = url + 7;
    }
    if (char* slash = std::strchr(host, '/')) *slash = '\0';
    copyText(out, std::size_t(outSize), host);
}

// ---- IPv4 text and name resolution ----------------------------------------

namespace {
std::mutex managerMutex;  // serialises appenders; readers go without it
bool managerFullLogged = false;
}  // namespace

namespace {

// Appends ip to a peer list unless it is there; entry first, count second,
// for the readers that go without the lock. false when the list is full.
bool rememberPeer(const IpAddrT& ip)
{
    std::lock_guard<std::mutex> lock(managerMutex);
    SharedWord<u32>& count = readOnlyGlobal.managerAddrCnt;
    IpAddrT* list = readOnlyGlobal.managerAddrList;
    u32 cnt = count;
    if (cnt > MAX_MANAGER_ADDR) cnt = MAX_MANAGER_ADDR;
    for (u32 i = 0; i < cnt; ++i) {
        if (list[i] == ip) return true;
    }
    if (cnt == MAX_MANAGER_ADDR) {
        if (managerFullLogged) return true;
        managerFullLogged = true;
        return false;
    }
    list[cnt] = ip;
    count = cnt + 1;
    return true;
}

}  // namespace

int getDomainAddr(const char* name, int port, sockaddr_storage* addr)
{
    if (!name) name = "";
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one result per address
    addrinfo* res = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &res);
    if (rc != 0 || !res) {
        writeLog(3, "Get domain %s failed with %d", name, rc);
        return -1;
    }
    // A name of both families: the resolver's first choice, as any client
    // on this host would take it.
    sockaddr_storage found {};
    if (res->ai_addrlen <= sizeof found) std::memcpy(&found, res->ai_addr, res->ai_addrlen);
    freeaddrinfo(res);

    in_addr_t net = INADDR_NONE;
    if (found.ss_family == AF_INET) {
        net = reinterpret_cast<const sockaddr_in*>(&found)->sin_addr.s_addr;
        if (net == INADDR_NONE) {
            writeLog(3, "inet_addr failed");
            return -1;
        }
    } else if (found.ss_family == AF_INET6) {
        // Traffic to an IPv4-mapped address goes out as IPv4.
        const in6_addr& a6 = reinterpret_cast<const sockaddr_in6*>(&found)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a6)) std::memcpy(&net, a6.s6_addr + 12, 4);
    } else {
        writeLog(3, "Get domain %s failed with %d", name, EAI_FAMILY);
        return -1;
    }

    if (net != INADDR_NONE) {
        std::memset(addr, 0, sizeof *addr);
        auto* a4 = reinterpret_cast<sockaddr_in*>(addr);
        a4->sin_family = AF_INET;
        a4->sin_addr.s_addr = net;
        a4->sin_port = htons(u16(port));
    } else {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&found);
        a6->sin6_port = htons(u16(port));
        a6->sin6_flowinfo = 0;
        std::memcpy(addr, &found, sizeof found);
    }
    const IpAddrT ip = sockAddrIp(*addr);
    if (!rememberPeer(ip)) {
        char text[IP_TEXT_SIZE];
        formatIp(ip, text);
        writeLog(2, "Too many peer addresses: traffic to and from %s will not be ignored", text);
    }
    return 0;
}

socklen_t sockAddrLen(const sockaddr_storage& addr)
{
    return addr.ss_family == AF_INET6 ? socklen_t(sizeof(sockaddr_in6)) : socklen_t(sizeof(sockaddr_in));
}

IpAddrT sockAddrIp(const sockaddr_storage& addr)
{
    if (addr.ss_family == AF_INET6) {
        IpAddrT a;
        std::memcpy(a.b, reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_addr.s6_addr, sizeof a.b);
        return a;
    }
    if (addr.ss_family != AF_INET) return IpAddrT {};
    return ipFromV4(ntohl(reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr.s_addr));
}

int isManagerAddr(const IpAddrT& ip)
{
    u32 cnt = readOnlyGlobal.managerAddrCnt;
    if (cnt > MAX_MANAGER_ADDR) cnt = MAX_MANAGER_ADDR;
    for (u32 i = 0; i < cnt; ++i) {
        if (readOnlyGlobal.managerAddrList[i] == ip) return 1;
    }
    return 0;
}

int splitHostPort(const char* text, char* host, int hostSize, const char** port)
{
    *port = nullptr;
    if (hostSize <= 0) return -1;
    host[0] = '\0';
    const char* end = nullptr;  // one past the host
    in6_addr unused;
    if (text[0] == '[') {
        const char* close = std::strchr(text, ']');
        if (close == nullptr || (close[1] != '\0' && close[1] != ':')) return -1;
        if (close[1] == ':') *port = close + 2;
        ++text;
        end = close;
    } else if (inet_pton(AF_INET6, text, &unused) == 1) {
        end = text + std::strlen(text);
    } else if (const char* colon = std::strchr(text, ':')) {
        *port = colon + 1;
        end = colon;
    } else {
        end = text + std::strlen(text);
    }
    int n = std::min(int(end - text), hostSize - 1);
    std::memcpy(host, text, std::size_t(n));
    host[n] = '\0';
    return 0;
}

const char* bareHost(const char* text, char* out, int outSize)
{
    const char* port = nullptr;
    return splitHostPort(text, out, outSize, &port) == 0 && port == nullptr ? out : text;
}

char* hostPortText(const char* host, int port, char* out, int outSize)
{
    in6_addr v6;
    std::snprintf(out, std::size_t(outSize), inet_pton(AF_INET6, host, &v6) == 1 ? "[%s]:%d" : "%s:%d", host, port);
    return out;
}

// ---- monitored endpoints ---------------------------------------------------

int getIPFromStr(const char* text, u32* address)
{
    u32 f[4];
    if (!text || !readDotted(text, f)) return -1;
    for (u32 v : f) {
        if (v > 255) return -1;
    }
    *address = (f[0] << 24) | (f[1] << 16) | (f[2] << 8) | f[3];
    return 0;
}

int checkPortStr(const char* text)
{
    long v = text ? digitsValue(text) : -1;
    return v >= 1 && v <= 65535 ? 0 : -1;
}

int getPortFromStr(const char* text)
{
    long v = text ? digitsValue(text) : -1;
    return v >= 0 && v <= 65535 ? int(v) : -1;
}

int getSubnet(char* text, u32* low, u32* high)
{
    long prefix = 32;
    if (char* slash = std::strchr(text, '/')) {
        *slash = '\0';
        // Read like atoi: no number is 0; a negative length is refused.
        const char* p = slash + 1;
        while (isBlank(*p)) ++p;
        bool negative = *p == '-';
        if (*p == '-' || *p == '+') ++p;
        prefix = 0;
        for (; isDigit(*p); ++p) {
            if (prefix < 1000) prefix = prefix * 10 + (*p - '0');
        }
        if (negative && prefix > 0) return -1;
    }
    u32 f[4];
    if (!readDotted(text, f)) return -1;
    // Fields are not range-checked here: each counts modulo 256.
    u32 addr = ((f[0] & 0xFF) << 24) | ((f[1] & 0xFF) << 16) | ((f[2] & 0xFF) << 8) | (f[3] & 0xFF);
    if (prefix >= 32) {
        *low = *high = addr;
        return 0;
    }
    u32 mask = prefix == 0 ? 0 : ~0u << (32 - prefix);
    if (addr & ~mask) return -1;  // must be the first address of its subnet
    *low = addr;
    *high = addr | ~mask;
    return 0;
}

namespace {

// The IPv6 forms without brackets and port: an address, a prefix (whose
// address must be its first, as for IPv4) or a range of one family in
// ascending order. text is cut where it is read.
int getV6Range(char* text, IpAddrT* low, IpAddrT* high)
{
    if (char* dash = std::strchr(text, '-')) {
        *dash = '\0';
        const char* second = dash[1] == '-' ? dash + 2 : dash + 1;  // as for IPv4, "--" reads as one dash
        if (parseIp(text, low) != 0 || parseIp(second, high) != 0) return -1;
        return ipIsV4(*low) == ipIsV4(*high) && *low <= *high ? 0 : -1;
    }
    IpAddrT address;
    if (char* slash = std::strchr(text, '/')) {
        *slash = '\0';
        long bits = slash[1] != '\0' ? digitsValue(slash + 1) : -1;
        if (bits < 0 || bits > 128 || parseIp(text, &address) != 0) return -1;
        // An IPv4 address written in its IPv6 form counts the mapped prefix too.
        if (ipIsV4(address)) bits -= 96;
        if (!ipPrefixRange(address, int(bits), low, high)) return -1;
        return *low == address ? 0 : -1;
    }
    if (parseIp(text, &address) != 0) return -1;
    *low = *high = address;
    return 0;
}

}  // namespace

int getHostInfo(HostInfoT* host)
{
    char work[sizeof host->addrStr];
    copyText(work, sizeof work, host->addrStr);

    int port = -1;
    IpAddrT low, high;
    // An IPv4 form has one colon at most (before its port); an IPv6 one has
    // two or more, or starts with a bracket.
    char* colon = std::strchr(work, ':');
    if (work[0] == '[' || (colon != nullptr && std::strchr(colon + 1, ':') != nullptr)) {
        char* inner = work;
        if (work[0] == '[') {
            char* close = std::strchr(work, ']');
            if (close == nullptr) return -1;
            *close = '\0';
            inner = work + 1;
            if (close[1] == ':') {
                if (checkPortStr(close + 2) != 0) return -1;
                port = getPortFromStr(close + 2);
            } else if (close[1] != '\0') {
                return -1;
            }
            // Brackets hold an IPv6 form, once.
            if (std::strchr(inner, ':') == nullptr || std::strchr(inner, '[') != nullptr) return -1;
        }
        if (getV6Range(inner, &low, &high) != 0) return -1;
    } else {
        if (colon != nullptr) {
            if (checkPortStr(colon + 1) != 0) return -1;
            port = getPortFromStr(colon + 1);
            *colon = '\0';
        }
        u32 low4 = 0, high4 = 0;
        if (char* dash = std::strchr(work, '-')) {
            *dash = '\0';
            const char* second = dash[1] == '-' ? dash + 2 : dash + 1;  // "--" reads as one dash
            // The ends are not compared: a reversed range is kept and matches nothing.
            if (getIPFromStr(work, &low4) != 0 || getIPFromStr(second, &high4) != 0) return -1;
        } else if (std::strchr(work, '/')) {
            if (getSubnet(work, &low4, &high4) != 0) return -1;
        } else {
            if (getIPFromStr(work, &low4) != 0) return -1;
            high4 = low4;
        }
        low = ipFromV4(low4);
        high = ipFromV4(high4);
    }
    host->addressLow = low;
    host->addressHigh = high;
    if (port >= 0) host->port = port;
    return 0;
}

int makeHostInfo(HostInfoT* host, const char* addrStr, int protoIdx, const char* busiId)
{
    std::memset(host, 0, sizeof *host);
    if (protoIdx < 0 || protoIdx >= NUM_PROTO) return -1;
    copyText(host->addrStr, sizeof host->addrStr, addrStr);
    host->protoIdx = protoIdx;
    const ProtocolT& protocol = protocols[protoIdx];
    copyText(host->protoStr, sizeof host->protoStr, protocol.name);
    host->port = protocol.port;
    host->appType = protocol.appType;
    host->netType = protocol.netType;
    copyText(host->busiId, sizeof host->busiId, busiId);
    return getHostInfo(host);
}

// The endpoint table is a seqlock. The writer (one at a time, under
// hostWriter) makes the sequence odd, changes the table word by word and
// makes it even again; a reader that saw the same even sequence before and
// after its walk read one consistent table. Table words are stored with
// release and loaded with acquire rather than relaxed plus fences: the same
// ordering, plain moves on x86, and a model that ThreadSanitizer follows.
namespace {

static_assert(std::is_trivially_copyable_v<HostInfoT> && std::is_standard_layout_v<HostInfoT>);
// Entries are copied and read as 64-bit words, so that each half of an
// address is one load; the four numbers that open an entry are two words.
static_assert(sizeof(HostInfoT) % sizeof(u64) == 0 && alignof(HostInfoT) >= alignof(u64),
              "endpoint entries are copied as whole 64-bit words");
static_assert(offsetof(HostInfoT, port) == 0 && offsetof(HostInfoT, protoIdx) == 4 &&
              offsetof(HostInfoT, appType) == 8 && offsetof(HostInfoT, netType) == 12);
constexpr int HOST_WORDS = int(sizeof(HostInfoT) / sizeof(u64));
constexpr int LOW_WORD = int(offsetof(HostInfoT, addressLow) / sizeof(u64));
constexpr int HIGH_WORD = int(offsetof(HostInfoT, addressHigh) / sizeof(u64));
static_assert(offsetof(HostInfoT, addressLow) % sizeof(u64) == 0 &&
              offsetof(HostInfoT, addressHigh) % sizeof(u64) == 0);

std::atomic<unsigned> hostSeq{0};
std::mutex hostWriter;

u64* words(HostInfoT* h) { return reinterpret_cast<u64*>(h); }

// A reader's load; a change in progress shows up in the sequence read after it.
u64 loadWord(HostInfoT& h, int i) { return std::atomic_ref<u64>(words(&h)[i]).load(std::memory_order_acquire); }

// Entry dst (in the table) becomes src, word by word.
void storeEntry(HostInfoT* dst, const HostInfoT& src)
{
    u64 buf[HOST_WORDS];
    std::memcpy(buf, &src, sizeof buf);
    u64* w = words(dst);
    for (int i = 0; i < HOST_WORDS; ++i) std::atomic_ref<u64>(w[i]).store(buf[i], std::memory_order_release);
}

void loadEntry(HostInfoT* src, HostInfoT* out)
{
    u64 buf[HOST_WORDS];
    for (int i = 0; i < HOST_WORDS; ++i) buf[i] = loadWord(*src, i);
    std::memcpy(out, buf, sizeof buf);
}

unsigned beginWrite()
{
    unsigned seq = hostSeq.load(std::memory_order_relaxed);
    hostSeq.store(seq + 1, std::memory_order_relaxed);  // ordered by the release stores that follow
    return seq + 1;
}

void endWrite(unsigned seq) { hostSeq.store(seq + 1, std::memory_order_release); }

unsigned beginRead()
{
    for (;;) {
        unsigned seq = hostSeq.load(std::memory_order_acquire);
        if ((seq & 1) == 0) return seq;
        std::this_thread::yield();  // a change takes microseconds
    }
}

// A reader whose acquire loads saw any word of a change also sees that
// change's odd sequence here, or a later one.
bool endRead(unsigned seq) { return hostSeq.load(std::memory_order_relaxed) == seq; }

int hostCount()
{
    int cnt = readOnlyGlobal.cntHost;
    return cnt < 0 ? 0 : cnt > MAX_HOST ? MAX_HOST : cnt;
}

bool sameEntry(const HostInfoT& a, const HostInfoT& b)
{
    return a.port == b.port && a.protoIdx == b.protoIdx && a.appType == b.appType && a.netType == b.netType &&
           a.addressLow == b.addressLow && a.addressHigh == b.addressHigh &&
           std::strncmp(a.addrStr, b.addrStr, sizeof a.addrStr) == 0 &&
           std::strncmp(a.protoStr, b.protoStr, sizeof a.protoStr) == 0 &&
           std::strncmp(a.busiId, b.busiId, sizeof a.busiId) == 0;
}

}  // namespace

int addNewHostInfo(const HostInfoT* host)
{
    std::lock_guard<std::mutex> lock(hostWriter);
    HostInfoT entry = *host;  // host may be a table entry that is about to move
    HostInfoT* table = readOnlyGlobal.hostInfo;
    int cnt = hostCount();  // only this thread writes, so plain reads are current
    if (cnt >= MAX_HOST) return 2;

    int place = cnt;
    for (int i = 0; i < cnt; ++i) {
        if (table[i].addressLow < entry.addressLow) continue;
        if (sameEntry(table[i], entry)) return 1;
        if (entry.addressLow < table[i].addressLow) {
            place = i;
            break;
        }
        // Equal start but different: later additions go after it.
    }

    unsigned seq = beginWrite();
    for (int i = cnt; i > place; --i) storeEntry(&table[i], table[i - 1]);
    storeEntry(&table[place], entry);
    readOnlyGlobal.cntHost = cnt + 1;
    endWrite(seq);
    return 0;
}

void deleteHostInfo(int index)
{
    std::lock_guard<std::mutex> lock(hostWriter);
    HostInfoT* table = readOnlyGlobal.hostInfo;
    int cnt = hostCount();
    if (index < 0 || index >= cnt) return;

    unsigned seq = beginWrite();
    for (int i = index; i < cnt - 1; ++i) storeEntry(&table[i], table[i + 1]);
    readOnlyGlobal.cntHost = cnt - 1;
    endWrite(seq);
}

namespace {

// An address as a 128-bit number, for the ordered compares of the lookup:
// a compare of two is two instructions.
using WideT = unsigned __int128;

WideT wideOf(u64 first, u64 second) { return WideT(be64toh(first)) << 64 | be64toh(second); }

WideT wideOf(const IpAddrT& a)
{
    u64 w[2];
    std::memcpy(w, a.b, sizeof w);
    return wideOf(w[0], w[1]);
}

WideT lowOf(HostInfoT& h) { return wideOf(loadWord(h, LOW_WORD), loadWord(h, LOW_WORD + 1)); }

// Whether entry h, which starts at or below address, has address (and port)
// as a server of proto.
inline bool serves(HostInfoT& h, WideT address, int port, int proto)
{
    if (wideOf(loadWord(h, HIGH_WORD), loadWord(h, HIGH_WORD + 1)) < address) return false;
    u64 head[2] = {loadWord(h, 0), loadWord(h, 1)};
    int field[4];  // port, protoIdx, appType, netType
    std::memcpy(field, head, sizeof field);
    const int hostPort = field[0], appType = field[2], netType = field[3];
    // Application types keep their port for display only: any port matches.
    if (hostPort != 0 && hostPort != port && (appType == 6 || appType == 17 || appType == 99)) return false;
    return appType == 99 || netType == 99 || netType == proto;
}

}  // namespace

// The table is in ascending order of first address: the walk ends at the
// first entry that starts above the address.
int findServer(IpAddrT address, int port, int proto)
{
    HostInfoT* table = readOnlyGlobal.hostInfo;
    const WideT a = wideOf(address);
    for (;;) {
        unsigned seq = beginRead();
        int cnt = hostCount();
        int found = -1;
        for (int i = 0; i < cnt && found < 0 && a >= lowOf(table[i]); ++i) {
            if (serves(table[i], a, port, proto)) found = i;
        }
        if (endRead(seq)) return found;
    }
}

unsigned hostTableVersion() { return hostSeq.load(std::memory_order_acquire); }

int findEndpointIndex(IpAddrT src, int sport, IpAddrT dst, int dport, int proto)
{
    // The first entry serving src, else the first serving dst: one pass
    // over the table for both, as every frame asks, ending where both
    // addresses lie below the entries left.
    HostInfoT* table = readOnlyGlobal.hostInfo;
    const WideT s = wideOf(src), d = wideOf(dst);
    for (;;) {
        unsigned seq = beginRead();
        int cnt = hostCount();
        int bySrc = -1, byDst = -1;
        for (int i = 0; i < cnt && bySrc < 0; ++i) {
            const WideT low = lowOf(table[i]);
            const bool srcIn = s >= low, dstIn = byDst < 0 && d >= low;
            if (!srcIn && !dstIn) break;
            if (srcIn && serves(table[i], s, sport, proto)) {
                bySrc = i;
            } else if (dstIn && serves(table[i], d, dport, proto)) {
                byDst = i;
            }
        }
        if (endRead(seq)) return bySrc >= 0 ? bySrc : byDst;
    }
}

int getHostEntry(int index, HostInfoT* out)
{
    for (;;) {
        unsigned seq = beginRead();
        int cnt = hostCount();
        bool inRange = index >= 0 && index < cnt;
        HostInfoT copy;
        if (inRange) loadEntry(&readOnlyGlobal.hostInfo[index], &copy);
        if (endRead(seq)) {
            if (!inRange) return -1;
            *out = copy;
            return 0;
        }
    }
}
