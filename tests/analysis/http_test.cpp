// HTTP parsing on literal payloads, and the transaction of one session driven
// frame by frame through processBusiness. Payloads sit in buffers of exactly
// their length, so that a read past the end shows under AddressSanitizer.
#include "analysis/http.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "analysis/transaction.h"

namespace {

using namespace std::string_literals;

// A payload in its own heap block, cut to cut bytes; an empty one is (nullptr, 0).
struct Payload {
    std::vector<u8> bytes;
    Payload(const std::string& text, int cut = -1) : bytes(text.begin(), cut < 0 ? text.end() : text.begin() + cut) {}
    const u8* data() const { return bytes.empty() ? nullptr : bytes.data(); }
    int len() const { return static_cast<int>(bytes.size()); }
};

TEST(HttpParse, RequestStartTargetMethodAndHeaders)
{
    const std::string host40(40, 'h'), long300 = "/" + std::string(299, 'u');
    // want: "url|method|domain|contentType|agent" for a request, else the method alone
    struct Case { const char* name; std::string payload; int cut, ok; std::string want; };
    const Case cases[] = {
        {"GET with headers", "GET /i HTTP/1.1\r\nHost: srv\r\nUser-Agent: ag/1\r\nContent-Type: text/x\r\n\r\n", -1, 1,
         "/i|GET|srv|text/x|ag/1"},
        {"POST", "POST /form?a=1 HTTP/1.0\r\nContent-Type: application/json\r\n\r\na=1", -1, 1,
         "/form?a=1|POST||application/json|"},
        {"long Host cut", "GET / HTTP/1.1\r\nHost: " + host40 + "\r\n\r\n", -1, 1, "/|GET|" + host40.substr(9) + "||"},
        {"long URL cut", "GET " + long300 + " HTTP/1.1\r\n\r\n", -1, 1, long300.substr(0, 255) + "|GET|||"},
        {"absolute http", "GET http://example.org:8080/p?q=1 HTTP/1.1\r\nHost: other\r\n\r\n", -1, 1,
         "/p?q=1|GET|example.org:8080||"},
        {"absolute without path", "GET http://example.org HTTP/1.1\r\n\r\n", -1, 1, "|GET|example.org||"},
        {"header cut by length", "GET / HTTP/1.1\r\nHost: srv01\r\n\r\n", 22, 1, "/|GET|||"},
        {"header in the body", "GET / HTTP/1.1\r\n\r\nHost: srv01\r\n", -1, 1, "/|GET|||"},
        {"PUT", "PUT /x HTTP/1.1\r\n\r\n", -1, 0, ""},
        {"no version", "GET /index.html\r\n\r\n", -1, 0, "GET"},
        {"version cut by length", "GET /x HTTP/1.1\r\n\r\n", 8, 0, "GET"},
        {"zero byte before version", "GET /a\0 HTTP/1.1\r\n\r\n"s, -1, 0, "GET"},
        {"method alone", "POST ", -1, 0, "POST"},
        {"no payload", "", -1, 0, ""},
        // The target and " HTTP" must lie in the 2040 bytes after the method.
        {"version at the window's end", "GET /" + std::string(2034, 'a') + " HTTP/1.1\r\n\r\n", -1, 1,
         "/" + std::string(254, 'a') + "|GET|||"},
        {"version past the window", "GET /" + std::string(2035, 'a') + " HTTP/1.1\r\n\r\n", -1, 0, "GET"},
    };
    for (const Case& c : cases) {
        char url[256] = {}, method[8] = {}, domain[32] = {}, type[64] = {}, agent[64] = {};
        const Payload p(c.payload, c.cut);
        EXPECT_EQ(isReqStart(p.data(), p.len(), url, method, domain, type, agent), c.ok) << c.name;
        EXPECT_EQ(c.ok ? std::string(url) + "|" + method + "|" + domain + "|" + type + "|" + agent : method, c.want)
            << c.name;
    }
}

// The last X-Forwarded-For hop and the status code, each taken only from a
// complete line within the bytes looked at; otherwise the value stays.
TEST(HttpParse, ForwardedForAndStatusLine)
{
    constexpr int KEEP = -7;
    auto parse = [](bool fwd, const Payload& p) {
        int code = KEEP;
        u32 forward = u32(KEEP);
        const int ok = fwd ? getForward(p.data(), p.len(), &forward) : isResStart(p.data(), p.len(), &code);
        return std::pair(ok, fwd ? int(forward) : code);
    };
    constexpr int hop = 192 << 24 | 168 << 16 | 1 << 8 | 7;  // 192.168.1.7
    struct Case { const char* name; bool fwd; std::string payload; int cut, ok, value; };
    const Case cases[] = {
        {"two hops", 1, "GET / HTTP/1.1\r\nX-Forwarded-For: 10.0.0.1, 192.168.1.7\r\n\r\n", -1, 1, hop},
        {"unparsable", 1, "X-Forwarded-For: unknown\r\n", -1, 1, KEEP},
        {"no CRLF", 1, "X-Forwarded-For: 10.1.2.3", -1, 0, KEEP},
        {"CRLF cut by length", 1, "X-Forwarded-For: 10.1.2.3\r\n", 25, 0, KEEP},
        {"key at the end", 1, "GET / HTTP/1.1\r\nX-Forwarded-For: ", -1, 0, KEEP},
        {"CRLF past 1020 bytes", 1, "X-Forwarded-For: " + std::string(1009, ' ') + "192.168.1.7\r\n", -1, 0, KEEP},
        {"CRLF within 1020 bytes", 1, "X-Forwarded-For: " + std::string(1007, ' ') + "192.168.1.7\r\n", -1, 1, hop},
        {"404", 0, "HTTP/1.1 404 Not Found\r\n", -1, 1, 404},
        {"huge number saturates", 0, "HTTP/1.1 99999999999 X\r\n", -1, 1, INT_MAX},
        {"no blank", 0, "HTTP/1.1\r\n", -1, 0, KEEP},
        {"no CRLF", 0, "HTTP/1.1 200 OK", -1, 0, KEEP},
        {"CRLF cut by length", 0, "HTTP/1.1 404 Not Found\r\n", 23, 0, KEEP},
        {"zero byte before CRLF", 0, "HTTP/1.1 200 OK\0\r\n"s, -1, 0, KEEP},
        {"CRLF past 1000 bytes", 0, "HTTP/1.1 200 " + std::string(986, 'x') + "\r\n", -1, 0, KEEP},
        {"CRLF within 1000 bytes", 0, "HTTP/1.1 200 " + std::string(985, 'x') + "\r\n", -1, 1, 200},
        {"no payload", 0, "", -1, 0, KEEP},
    };
    for (const Case& c : cases) {
        const Payload p(c.payload, c.cut);
        EXPECT_EQ(parse(c.fwd, p), std::pair(c.ok, c.value)) << c.name;
    }
}

// "url retcode response pageload forward" of a transaction; times in usec.
std::string txn(const NetSessionT& s)
{
    const HttpSessionT& h = s.busi.http;
    return std::string(h.url) + " " + std::to_string(h.retcode) + " " + std::to_string(h.response) + " " +
           std::to_string(h.pageload) + " " + std::to_string(s.forward);
}

TEST(HttpTransaction, OpensAnswersAndCloses)
{
    // One payload frame: direction (1 client, 2 server), milliseconds, bytes,
    // and the transaction it closes, if any.
    struct Frame { int dir, ms; std::string text; const char* closes = nullptr; };
    struct Scenario { const char* name; std::vector<Frame> frames; const char* open; int beginMs; };
    const std::string get1 = "GET /one HTTP/1.1\r\nHost: h\r\n\r\n", get2 = "GET /two HTTP/1.1\r\nHost: h\r\n\r\n";
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
    const Frame first {1, 0, get1, " 0 0 0 0"};
    const Scenario scenarios[] = {
        {"first response frame gives the response time, the latest the page load",
         {first, {2, 30, ok}, {2, 45, "body1"}, {2, 50, "HTTP/1.1 500 in the body\r\n"}}, "/one 200 30000 50000 0", 0},
        {"100 Continue keeps the transaction open for the body",
         {{1, 0, "POST /up HTTP/1.1\r\nExpect: 100-continue\r\n\r\n", " 0 0 0 0"},
          {2, 2, "HTTP/1.1 100 Continue\r\n\r\n"}, {1, 10, "first half"}, {1, 12, "second half"},
          {2, 20, "HTTP/1.1 201 Created\r\n\r\n"}},
         "/up 201 8000 8000 0", 0},
        {"a second request closes the first with its timings",
         {first, {2, 30, ok}, {2, 40, "body1"}, {1, 100, get2, "/one 200 30000 40000 0"}}, "/two 0 0 0 0", 100},
        {"any client frame after a response closes; the next request closes the empty rest",
         {first, {2, 30, ok}, {1, 50, "ping", "/one 200 30000 30000 0"}, {2, 60, "HTTP/1.1 204 No Content\r\n\r\n"},
          {1, 70, get2, " 204 10000 10000 0"}},
         "/two 0 0 0 0", 70},
        {"frames without captured bytes still time and close",
         {first, {2, 30, ""}, {2, 40, ok}, {1, 50, "", "/one 200 30000 40000 0"}}, " 0 0 0 0", 0},
        {"the forwarded client belongs to its transaction",
         {{1, 0, "GET /a HTTP/1.1\r\nX-Forwarded-For: 10.0.0.1, 192.168.1.7\r\n\r\n", " 0 0 0 0"}, {2, 5, ok},
          {1, 9, get2, "/a 200 5000 5000 3232235783"}},  // 192.168.1.7
         "/two 0 0 0 0", 9},
    };
    for (const Scenario& sc : scenarios) {
        SCOPED_TRACE(sc.name);
        NetSessionT s {};
        s.valid = s.type = 1;
        for (const Frame& f : sc.frames) {
            const Payload p(f.text);
            // The session step stores the direction before the analysis runs.
            const int prev = s.lastDirection;
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
