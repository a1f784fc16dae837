// HTTP parsing, and one session's transaction frame by frame; payloads sit in buffers of
// exactly their length, so that a read past the end shows under AddressSanitizer.
#include "analysis/http.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "analysis/transaction.h"

namespace {

using namespace std::string_literals;

// Cut to cut bytes; an empty one is (nullptr, 0).
struct Payload {
    std::vector<u8> bytes;
    Payload(const std::string& text, int cut = -1) : bytes(text.begin(), cut < 0 ? text.end() : text.begin() + cut) {}
    const u8* data() const { return bytes.empty() ? nullptr : bytes.data(); }
    int len() const { return static_cast<int>(bytes.size()); }
};

// The result, then "url|method|domain|contentType|agent" (the method alone on failure),
// the last forwarded hop or the status code, "-" when left untouched.
enum Parser { REQ, FWD, RES };
std::string parse(Parser which, const Payload& p)
{
    if (which == REQ) {
        char url[256] = {}, method[8] = {}, domain[32] = {}, type[64] = {}, agent[64] = {};
        const int ok = isReqStart(p.data(), p.len(), url, method, domain, type, agent);
        return std::to_string(ok) + " " + (ok ? url + "|"s + method + "|" + domain + "|" + type + "|" + agent : method);
    }
    constexpr int KEEP = -7;
    int code = KEEP;
    u32 forward = u32(KEEP);
    const int ok = which == FWD ? getForward(p.data(), p.len(), &forward) : isResStart(p.data(), p.len(), &code);
    const long long value = which == FWD ? (forward == u32(KEEP) ? KEEP : (long long)forward) : code;
    return std::to_string(ok) + " " + (value == KEEP ? "-" : std::to_string(value));
}

// Only complete lines count: the target and " HTTP" in the 2040 bytes after the method, a
// forwarded line's CRLF within 1020 bytes, a status line's within 1000. POST, long hosts,
// forwarded lists and 404 are checked on real traffic by HttpTraffic.
TEST(HttpParse, RequestsForwardedForAndStatusLines)
{
    const std::string long300 = "/" + std::string(299, 'u'), hop = "3232235783";  // 192.168.1.7
    struct Case { const char* name; Parser parser; std::string payload; int cut; std::string want; };
    const Case cases[] = {
        {"GET with headers", REQ, "GET /i HTTP/1.1\r\nHost: srv\r\nUser-Agent: ag/1\r\nContent-Type: text/x\r\n\r\n",
         -1, "1 /i|GET|srv|text/x|ag/1"},
        {"long URL cut", REQ, "GET " + long300 + " HTTP/1.1\r\n\r\n", -1, "1 " + long300.substr(0, 255) + "|GET|||"},
        {"absolute target over Host", REQ, "GET http://example.org:8080/p?q=1 HTTP/1.1\r\nHost: other\r\n\r\n", -1,
         "1 /p?q=1|GET|example.org:8080||"},
        {"absolute without path", REQ, "GET http://example.org HTTP/1.1\r\n\r\n", -1, "1 |GET|example.org||"},
        {"header cut by length", REQ, "GET / HTTP/1.1\r\nHost: srv01\r\n\r\n", 22, "1 /|GET|||"},
        {"header in the body", REQ, "GET / HTTP/1.1\r\n\r\nHost: srv01\r\n", -1, "1 /|GET|||"},
        {"PUT", REQ, "PUT /x HTTP/1.1\r\n\r\n", -1, "0 "},
        {"no version", REQ, "GET /index.html\r\n\r\n", -1, "0 GET"},
        {"version cut by length", REQ, "GET /x HTTP/1.1\r\n\r\n", 8, "0 GET"},
        {"zero byte before version", REQ, "GET /a\0 HTTP/1.1\r\n\r\n"s, -1, "0 GET"},
        {"method alone", REQ, "POST ", -1, "0 POST"},
        {"no request", REQ, "", -1, "0 "},
        {"version at the window's end", REQ, "GET /" + std::string(2034, 'a') + " HTTP/1.1\r\n\r\n", -1,
         "1 /" + std::string(254, 'a') + "|GET|||"},
        {"version past the window", REQ, "GET /" + std::string(2035, 'a') + " HTTP/1.1\r\n\r\n", -1, "0 GET"},
        {"unparsable", FWD, "X-Forwarded-For: unknown\r\n", -1, "1 -"},
        {"CRLF cut by length", FWD, "X-Forwarded-For: 10.1.2.3\r\n", 25, "0 -"},
        {"key at the end", FWD, "GET / HTTP/1.1\r\nX-Forwarded-For: ", -1, "0 -"},
        {"CRLF past 1020 bytes", FWD, "X-Forwarded-For: " + std::string(1009, ' ') + "192.168.1.7\r\n", -1, "0 -"},
        {"CRLF in 1020 bytes", FWD, "X-Forwarded-For: " + std::string(1007, ' ') + "192.168.1.7\r\n", -1, "1 " + hop},
        {"huge number saturates", RES, "HTTP/1.1 99999999999 X\r\n", -1, "1 " + std::to_string(INT_MAX)},
        {"no blank", RES, "HTTP/1.1\r\n", -1, "0 -"},
        {"status CRLF cut by length", RES, "HTTP/1.1 404 Not Found\r\n", 23, "0 -"},
        {"zero byte before CRLF", RES, "HTTP/1.1 200 OK\0\r\n"s, -1, "0 -"},
        {"CRLF past 1000 bytes", RES, "HTTP/1.1 200 " + std::string(986, 'x') + "\r\n", -1, "0 -"},
        {"CRLF within 1000 bytes", RES, "HTTP/1.1 200 " + std::string(985, 'x') + "\r\n", -1, "1 200"},
        {"no status", RES, "", -1, "0 -"},
    };
    for (const Case& c : cases) EXPECT_EQ(parse(c.parser, Payload(c.payload, c.cut)), c.want) << c.name;
}

// "url retcode response pageload forward"; times in usec.
std::string txn(const NetSessionT& s)
{
    const HttpSessionT& h = s.busi.http;
    return std::string(h.url) + " " + std::to_string(h.retcode) + " " + std::to_string(h.response) + " " +
           std::to_string(h.pageload) + " " + std::to_string(s.forward);
}

// Frames by direction (1 client, 2 server) at milliseconds, with the transaction each
// closes; keep-alive, 100 Continue and forwarded clients are left to HttpTraffic.
TEST(HttpTransaction, OpensAnswersAndCloses)
{
    struct Frame { int dir, ms; std::string text; const char* closes = nullptr; };
    struct Scenario { const char* name; std::vector<Frame> frames; const char* open; int beginMs; };
    const std::string get2 = "GET /two HTTP/1.1\r\n\r\n", ok = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
    const Frame first {1, 0, "GET /one HTTP/1.1\r\nHost: h\r\n\r\n", " 0 0 0 0"};
    const Scenario scenarios[] = {
        {"any client frame after a response closes; the next request closes the empty rest",
         {first, {2, 30, ok}, {1, 50, "ping", "/one 200 30000 30000 0"}, {2, 60, "HTTP/1.1 204 No Content\r\n\r\n"},
          {1, 70, get2, " 204 10000 10000 0"}},
         "/two 0 0 0 0", 70},
        {"frames without captured bytes still time and close; a status line in the body is not one",
         {first, {2, 30, ""}, {2, 40, ok}, {2, 45, "HTTP/1.1 500 in the body\r\n"},
          {1, 50, "", "/one 200 30000 45000 0"}}, " 0 0 0 0", 0},
    };
    for (const Scenario& sc : scenarios) {
        SCOPED_TRACE(sc.name);
        NetSessionT s {};
        s.valid = s.type = 1;
        for (const Frame& f : sc.frames) {
            const Payload p(f.text);
            const int prev = s.lastDirection;  // the session step stores the direction before the analysis runs
            s.lastDirection = f.dir;
            NetSessionT one;
            one.valid = 0;
            processBusiness(&s, 0, 1, f.dir, timeval {1700000000, f.ms * 1000}, p.data(), p.len(), &one, prev);
            EXPECT_EQ(one.valid ? txn(one) : "", f.closes ? f.closes : "") << f.ms;
        }
        EXPECT_EQ(txn(s), sc.open);
        EXPECT_EQ(std::pair(s.busi.http.beginTime.tv_usec, s.busi.http.endTime.tv_usec),
                  std::pair(sc.beginMs * 1000L, sc.frames.back().ms * 1000L));
    }
}

}  // namespace
