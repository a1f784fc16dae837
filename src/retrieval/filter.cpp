#include "retrieval/filter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "core/util.h"

namespace {

constexpr auto npos = std::string::npos;

// The dotted IPv4 form the probe has always read.
bool addressOf(const std::string& text, IpAddrT* out)
{
    u32 v4;
    if (text.empty() || getIPFromStr(text.c_str(), &v4) != 0) return false;
    *out = ipFromV4(v4);
    return true;
}

// Every IPv6 address has at least two colons: "::" or seven.
bool ipv6Shaped(const std::string& piece) { return std::count(piece.begin(), piece.end(), ':') >= 2; }

bool ipv6Of(const std::string& text, IpAddrT* out) { return ipv6Shaped(text) && parseIp(text.c_str(), out) == 0; }

bool portOf(const std::string& text, int* out)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != npos) return false;
    *out = std::stoi(text);
    return *out <= 65535;
}

// The pieces of t between commas and dashes.
template <typename F>
bool allPieces(const std::string& t, F&& test)
{
    for (std::size_t from = 0; from <= t.size();) {
        std::size_t to = t.find_first_of(",-", from);
        if (to == npos) to = t.size();
        if (!test(t.substr(from, to - from))) return false;
        from = to + 1;
    }
    return true;
}

// Whether the characters fit: digits and . : , - anywhere, hexadecimal
// letters only in a piece shaped as an IPv6 address, brackets only as
// "[address]" at the start, around an IPv6-shaped address.
bool charactersFit(const std::string& t)
{
    if (t.find_first_not_of("0123456789.:,-abcdefABCDEF[]") != npos) return false;
    std::size_t close = t.find(']');
    if (t.find('[') != npos || close != npos) {
        if (t[0] != '[' || close == npos || t.find_first_of("[]", 1) != close) return false;
        const std::string rest = t.substr(close + 1);
        return ipv6Shaped(t.substr(1, close - 1)) && rest.find_first_not_of("0123456789.:,-") == npos;
    }
    return allPieces(t, [](const std::string& piece) {
        return piece.find_first_of("abcdefABCDEF") == npos || ipv6Shaped(piece);
    });
}

// The IPv4 forms, told apart by which punctuation they hold.
bool parseV4(const std::string& t, EndpointFilterT& f)
{
    bool point = t.find('.') != npos, colon = t.find(':') != npos;
    bool comma = t.find(',') != npos, dash = t.find('-') != npos;
    int punct = colon + comma + dash;
    if (!point && punct == 0) {
        f.mode = WX_QUERY_PORT;
        return portOf(t, &f.port);
    }
    if (point && punct == 0) {
        f.mode = WX_QUERY_IP;
        f.addrLen = 1;
        return addressOf(t, &f.addr[0]);
    }
    if (point && colon && punct == 1) {
        std::size_t at = t.find(':');
        f.mode = WX_QUERY_IP_PORT;
        f.addrLen = 1;
        return t.find(':', at + 1) == npos && addressOf(t.substr(0, at), &f.addr[0]) &&
               portOf(t.substr(at + 1), &f.port);
    }
    if (point && dash && punct == 1) {
        std::size_t at = t.find('-');
        f.mode = WX_QUERY_IP_PERIOD;
        return t.find('-', at + 1) == npos && addressOf(t.substr(0, at), &f.low) &&
               addressOf(t.substr(at + 1), &f.high);
    }
    if (point && comma && punct == 1) {
        f.mode = WX_QUERY_IP_LIST;
        return allPieces(t, [&](const std::string& piece) {
            return f.addrLen < FILTER_MAX_ADDR && addressOf(piece, &f.addr[f.addrLen++]);
        });
    }
    return false;
}

// The forms with an IPv6 address in them: "[address]:port", a list (IPv4
// addresses may stand beside IPv6 ones), a range of one family, an address.
bool parseV6(const std::string& t, EndpointFilterT& f)
{
    if (t[0] == '[') {
        std::size_t close = t.find(']');
        f.mode = WX_QUERY_IP_PORT;
        f.addrLen = 1;
        return close + 1 < t.size() && t[close + 1] == ':' && ipv6Of(t.substr(1, close - 1), &f.addr[0]) &&
               portOf(t.substr(close + 2), &f.port);
    }
    if (t.find(',') != npos) {
        f.mode = WX_QUERY_IP_LIST;
        if (t.find('-') != npos) return false;
        return allPieces(t, [&](const std::string& piece) {
            if (f.addrLen >= FILTER_MAX_ADDR) return false;
            IpAddrT& a = f.addr[f.addrLen++];
            return piece.find(':') != npos ? ipv6Of(piece, &a) : addressOf(piece, &a);
        });
    }
    std::size_t dash = t.find('-');
    if (dash != npos) {
        f.mode = WX_QUERY_IP_PERIOD;
        return t.find('-', dash + 1) == npos && ipv6Of(t.substr(0, dash), &f.low) &&
               ipv6Of(t.substr(dash + 1), &f.high) && ipIsV4(f.low) == ipIsV4(f.high);
    }
    f.mode = WX_QUERY_IP;
    f.addrLen = 1;
    return ipv6Of(t, &f.addr[0]);
}

}  // namespace

int parseFilter(const char* text, EndpointFilterT* out)
{
    *out = EndpointFilterT {};
    const std::string t = text;
    if (t.empty()) return 0;
    if (!charactersFit(t)) return FILTER_BAD_CHAR;
    // A text without an IPv6-shaped piece is read exactly as before IPv6.
    bool v6 = t[0] == '[' || !allPieces(t, [](const std::string& piece) { return !ipv6Shaped(piece); });
    EndpointFilterT f;
    if (!(v6 ? parseV6(t, f) : parseV4(t, f))) return FILTER_BAD_FORM;
    *out = f;
    return 0;
}

const char* filterFault(int rc)
{
    if (rc == FILTER_BAD_CHAR) {
        return "holds a character no filter takes: digits and . : , - anywhere, hexadecimal letters only in an "
               "IPv6 address, brackets only around one before its port ([2001:db8::1]:443)";
    }
    return "is not an address, address:port ([IPv6 address]:port), port, low-high of one family or "
           "comma-separated list of addresses";
}

bool filterPasses(const EndpointFilterT& f, EndpointT src, EndpointT dst)
{
    switch (f.mode) {
    case WX_QUERY_NONE: return true;
    case WX_QUERY_IP: return src.addr == f.addr[0] || dst.addr == f.addr[0];
    case WX_QUERY_PORT: return src.port == f.port || dst.port == f.port;
    case WX_QUERY_IP_PORT:
        return (src.addr == f.addr[0] && src.port == f.port) || (dst.addr == f.addr[0] && dst.port == f.port);
    case WX_QUERY_IP_PERIOD: {
        // An IPv6 range may span ::ffff:0:0/96, where IPv4 addresses are
        // kept; it still holds IPv6 addresses alone.
        auto in = [&f](const IpAddrT& a) { return ipIsV4(a) == ipIsV4(f.low) && f.low <= a && a <= f.high; };
        return in(src.addr) || in(dst.addr);
    }
    case WX_QUERY_IP_LIST:
        for (int i = 0; i < f.addrLen && i < FILTER_MAX_ADDR; i++) {
            if (src.addr == f.addr[i] || dst.addr == f.addr[i]) return true;
        }
        return false;
    default: return false;
    }
}

bool parseTimeArg(const char* text, long long* seconds)
{
    const std::string t = text;
    if (!t.empty() && t.size() <= 12 && t.find_first_not_of("0123456789") == std::string::npos) {
        *seconds = std::stoll(t);
        return true;
    }
    std::tm tm {};
    int n = 0;
    if (std::sscanf(text, "%4d-%2d-%2d %2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                    &tm.tm_sec, &n) != 6 ||
        text[n] != '\0') {
        return false;
    }
    const std::tm asked = tm;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;  // the system decides whether summer time applies
    std::time_t s = std::mktime(&tm);
    // A date that does not exist (31 April, 25:00) comes back changed.
    if (s == -1 || tm.tm_mday != asked.tm_mday || tm.tm_hour != asked.tm_hour || tm.tm_min != asked.tm_min) {
        return false;
    }
    *seconds = s;
    return true;
}
