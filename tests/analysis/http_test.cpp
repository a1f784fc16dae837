// HTTP parsing on literal payloads, and the transaction of one session driven
// frame by frame through processBusiness. Payloads sit in buffers of exactly
// their length, so that a read past the end shows under AddressSanitizer.
#include "analysis/http.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "analysis/business.h"

namespace {

using namespace std::string_literals;

constexpr u32 ip(u32 a, u32 b, u32 c, u32 d) { return (a << 24) | (b << 16) | (c << 8) | d; }

// A payload in its own heap block, cut to len bytes; an empty one is (nullptr, 0).
struct Payload {
    std::vector<u8> bytes;
    int len;
    Payload(const std::string& text, int cut = -1) : bytes(text.begin(), text.end())
    {
        len = cut < 0 ? static_cast<int>(text.size()) : cut;
        bytes.resize(static_cast<std::size_t>(len));
    }
    const u8* data() const { return bytes.empty() ? nullptr : bytes.data(); }
};

TEST(HttpRequestStart, TargetMethodAndHeaders)
{
    const std::string host40(40, 'h'), agent70(70, 'a'), agent62(62, 'a'), long300 = "/" + std::string(299, 'u');
    // want: "url|method|domain|contentType|agent" for a request, else the method alone
    struct Case { const char* name; std::string payload; int cut, ok; std::string want; };
    const Case cases[] = {
        {"GET with headers", "GET /i HTTP/1.1\r\nHost: srv\r\nUser-Agent: ag/1\r\nContent-Type: text/x\r\n\r\n", -1, 1,
         "/i|GET|srv|text/x|ag/1"},
        {"POST", "POST /form?a=1 HTTP/1.0\r\nContent-Type: application/json\r\n\r\na=1", -1, 1,
         "/form?a=1|POST||application/json|"},
        {"long Host cut", "GET / HTTP/1.1\r\nHost: " + host40 + "\r\n\r\n", -1, 1, "/|GET|" + host40.substr(9) + "||"},
        {"long agent cut", "GET / HTTP/1.1\r\nUser-Agent: " + agent70 + "\r\n\r\n", -1, 1, "/|GET|||" + agent62},
        {"long URL cut", "GET " + long300 + " HTTP/1.1\r\n\r\n", -1, 1, long300.substr(0, 255) + "|GET|||"},
        {"single quote", "GET /a'b HTTP/1.1\r\n\r\n", -1, 1, "/a\"b|GET|||"},
        {"REFERER cut", "GET /p?id=7REFERER=http://x/ HTTP/1.1\r\n\r\n", -1, 1, "/p?id=7|GET|||"},
        {"control byte ends URL", "GET /ab\x01" "cd HTTP/1.1\r\n\r\n", -1, 1, "/ab|GET|||"},
        {"absolute http", "GET http://example.org:8080/p?q=1 HTTP/1.1\r\nHost: other\r\n\r\n", -1, 1,
         "/p?q=1|GET|example.org:8080||"},
        {"absolute https", "GET https://example.org/p HTTP/1.1\r\nHost: x\r\n\r\n", -1, 1, "/example.org/p|GET|||"},
        {"absolute without path", "GET http://example.org HTTP/1.1\r\n\r\n", -1, 1, "|GET|example.org||"},
        {"header without CRLF", "GET / HTTP/1.1\r\nHost: srv01", -1, 1, "/|GET|||"},
        {"header cut by length", "GET / HTTP/1.1\r\nHost: srv01\r\n\r\n", 22, 1, "/|GET|||"},
        {"header after blank line", "GET / HTTP/1.1\r\n\r\nHost: srv01\r\n", -1, 1, "/|GET|||"},
        {"header names are case-sensitive", "GET / HTTP/1.1\r\nhost: srv01\r\n\r\n", -1, 1, "/|GET|||"},
        {"PUT", "PUT /x HTTP/1.1\r\n\r\n", -1, 0, ""},
        {"no version", "GET /index.html\r\n\r\n", -1, 0, "GET"},
        {"version cut by length", "GET /x HTTP/1.1\r\n\r\n", 8, 0, "GET"},
        {"zero byte before version", "GET /a\0 HTTP/1.1\r\n\r\n"s, -1, 0, "GET"},
        {"empty target", "GET  HTTP/1.1\r\n\r\n", -1, 0, "GET"},
        {"method alone", "POST ", -1, 0, "POST"},
        {"no payload", "", -1, 0, ""},
        // The target and " HTTP" must lie in the 2040 bytes after the method.
        {"version at the window's end", "GET /" + std::string(2034, 'a') + " HTTP/1.1\r\n\r\n", -1, 1,
         "/" + std::string(254, 'a') + "|GET|||"},
        {"version past the window", "GET /" + std::string(2035, 'a') + " HTTP/1.1\r\n\r\n", -1, 0, "GET"},
    };
    for (const Case& c : cases) {
        char url[256] = {}, method[8] = {}, domain[32] = {}, type[64] = {}, agent[64] = {};
        Payload p(c.payload, c.cut);
        EXPECT_EQ(isReqStart(p.data(), p.len, url, method, domain, type, agent), c.ok) << c.name;
        const std::string got = c.ok ? std::string(url) + "|" + method + "|" + domain + "|" + type + "|" + agent
                                     : method;
        EXPECT_EQ(got, c.want) << c.name;
    }
}

TEST(HttpForwardedFor, LastHopWhenTheLineIsComplete)
{
    constexpr u32 KEEP = 0xDEADBEEF;
    struct Case { const char* name; std::string payload; int cut, ok; u32 forward; };
    const Case cases[] = {
        {"two hops", "GET / HTTP/1.1\r\nX-Forwarded-For: 10.0.0.1, 192.168.1.7\r\n\r\n", -1, 1, ip(192, 168, 1, 7)},
        {"one hop", "X-Forwarded-For: 10.1.2.3\r\n", -1, 1, ip(10, 1, 2, 3)},
        {"unparsable", "X-Forwarded-For: unknown\r\n", -1, 1, KEEP},
        {"unparsable last hop", "X-Forwarded-For: 10.0.0.1, unknown\r\n", -1, 1, KEEP},
        {"no CRLF", "X-Forwarded-For: 10.1.2.3", -1, 0, KEEP},
        {"CRLF cut by length", "X-Forwarded-For: 10.1.2.3\r\n", 25, 0, KEEP},
        {"key at the end", "GET / HTTP/1.1\r\nX-Forwarded-For: ", -1, 0, KEEP},
        {"no blank after colon", "X-Forwarded-For:10.1.2.3\r\n", -1, 0, KEEP},
        {"CRLF past 1020 bytes", "X-Forwarded-For: " + std::string(1013, ' ') + "1.2.3.4\r\n", -1, 0, KEEP},
        {"CRLF within 1020 bytes", "X-Forwarded-For: " + std::string(1011, ' ') + "1.2.3.4\r\n", -1, 1, 
         ip(1, 2, 3, 4)},
    };
    for (const Case& c : cases) {
        Payload p(c.payload, c.cut);
        u32 forward = KEEP;
        EXPECT_EQ(getForward(p.data(), p.len, &forward), c.ok) << c.name;
        EXPECT_EQ(forward, c.forward) << c.name;
    }
}

TEST(HttpStatusLine, CodeFromACompleteStatusLine)
{
    constexpr int KEEP = -7;
    struct Case { const char* name; std::string payload; int cut, ok, code; };
    const Case cases[] = {
        {"404", "HTTP/1.1 404 Not Found\r\n", -1, 1, 404},
        {"no number", "HTTP/1.1 abc\r\n", -1, 1, 0},
        {"huge number saturates", "HTTP/1.1 99999999999 X\r\n", -1, 1, INT_MAX},
        {"no blank", "HTTP/1.1\r\n", -1, 0, KEEP},
        {"no CRLF", "HTTP/1.1 200 OK", -1, 0, KEEP},
        {"CRLF cut by length", "HTTP/1.1 404 Not Found\r\n", 23, 0, KEEP},
        {"zero byte before CRLF", "HTTP/1.1 200 OK\0\r\n"s, -1, 0, KEEP},
        {"CRLF past 1000 bytes", "HTTP/1.1 200 " + std::string(986, 'x') + "\r\n", -1, 0, KEEP},
        {"CRLF within 1000 bytes", "HTTP/1.1 200 " + std::string(985, 'x') + "\r\n", -1, 1, 200},
        {"not at the start", "<p>HTTP/1.1 200 OK\r\n", -1, 0, KEEP},
        {"no payload", "", -1, 0, KEEP},
    };
    for (const Case& c : cases) {
        Payload p(c.payload, c.cut);
        int code = KEEP;
        EXPECT_EQ(isResStart(p.data(), p.len, &code), c.ok) << c.name;
        EXPECT_EQ(code, c.code) << c.name;
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
          {2, 2, "HTTP/1.1 100 Continue\r\n\r\n"},
          {1, 10, "body part 1"},
          {1, 12, "body part 2"},
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
            Payload p(f.text);
            // The session step stores the direction before the analysis runs.
            const int prev = s.lastDirection;
            s.lastDirection = f.dir;
            NetSessionT one;
            one.valid = 0;
            processBusiness(&s, 0, 1, f.dir, timeval {1700000000, f.ms * 1000}, p.data(), p.len, &one, prev);
            EXPECT_EQ(one.valid ? txn(one) : "", f.closes ? f.closes : "") << f.ms;
        }
        EXPECT_EQ(txn(s), sc.open);
        EXPECT_EQ(s.busi.http.beginTime.tv_usec, sc.beginMs * 1000);
        EXPECT_EQ(s.busi.http.endTime.tv_usec, sc.frames.back().ms * 1000);
    }
}

}  // namespace
