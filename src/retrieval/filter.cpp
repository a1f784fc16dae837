#include "retrieval/filter.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "core/util.h"

namespace {

bool addressOf(const std::string& text, u32* out) { return !text.empty() && getIPFromStr(text.c_str(), out) == 0; }

bool portOf(const std::string& text, int* out)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *out = std::stoi(text);
    return *out <= 65535;
}

}  // namespace

int parseFilter(const char* text, EndpointFilterT* out)
{
    *out = EndpointFilterT {};
    const std::string t = text;
    if (t.empty()) return 0;
    if (t.find_first_not_of("0123456789.:,-") != std::string::npos) return FILTER_BAD_CHAR;
    bool point = t.find('.') != std::string::npos, colon = t.find(':') != std::string::npos;
    bool comma = t.find(',') != std::string::npos, dash = t.find('-') != std::string::npos;
    int punct = colon + comma + dash;
    EndpointFilterT f;
    bool ok = false;
    if (!point && punct == 0) {
        f.mode = WX_QUERY_PORT;
        ok = portOf(t, &f.port);
    } else if (point && punct == 0) {
        f.mode = WX_QUERY_IP;
        f.addrLen = 1;
        ok = addressOf(t, &f.addr[0]);
    } else if (point && colon && punct == 1) {
        std::size_t at = t.find(':');
        f.mode = WX_QUERY_IP_PORT;
        f.addrLen = 1;
        ok = t.find(':', at + 1) == std::string::npos && addressOf(t.substr(0, at), &f.addr[0]) &&
             portOf(t.substr(at + 1), &f.port);
    } else if (point && dash && punct == 1) {
        std::size_t at = t.find('-');
        f.mode = WX_QUERY_IP_PERIOD;
        ok = t.find('-', at + 1) == std::string::npos && addressOf(t.substr(0, at), &f.low) &&
             addressOf(t.substr(at + 1), &f.high);
    } else if (point && comma && punct == 1) {
        f.mode = WX_QUERY_IP_LIST;
        ok = true;
        for (std::size_t from = 0; ok && from <= t.size();) {
            std::size_t to = t.find(',', from);
            if (to == std::string::npos) to = t.size();
            ok = f.addrLen < FILTER_MAX_ADDR && addressOf(t.substr(from, to - from), &f.addr[f.addrLen++]);
            from = to + 1;
        }
    }
    if (!ok) return FILTER_BAD_FORM;
    *out = f;
    return 0;
}

bool filterPasses(const EndpointFilterT& f, EndpointT src, EndpointT dst)
{
    switch (f.mode) {
    case WX_QUERY_NONE: return true;
    case WX_QUERY_IP: return src.addr == f.addr[0] || dst.addr == f.addr[0];
    case WX_QUERY_PORT: return src.port == f.port || dst.port == f.port;
    case WX_QUERY_IP_PORT:
        return (src.addr == f.addr[0] && src.port == f.port) || (dst.addr == f.addr[0] && dst.port == f.port);
    case WX_QUERY_IP_PERIOD:
        return (src.addr >= f.low && src.addr <= f.high) || (dst.addr >= f.low && dst.addr <= f.high);
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
