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
constexpr time_t T0 = 1700000000;

// A payload in its own heap block; an empty one is (nullptr, 0).
struct Payload {
    std::vector<u8> bytes;
    int len;
    Payload(const std::string& text, int cut = -1)
        : bytes(text.begin(), text.end()), len(cut < 0 ? static_cast<int>(text.size()) : cut)
    {
        bytes.resize(static_cast<std::size_t>(len));
    }
    const u8* data() const { return bytes.empty() ? nullptr : bytes.data(); }
};

struct Request {
    char url[256] = {}, method[8] = {}, domain[32] = {}, contentType[64] = {}, agent[64] = {};
    int ok;
    explicit Request(const Payload& p) { ok = isReqStart(p.data(), p.len, url, method, domain, contentType, agent); }
};

TEST(HttpRequestStart, TargetMethodAndHeaders)
{
    const std::string host40(40, 'h'), agent70(70, 'a'), long300 = "/" + std::string(299, 'u');
    struct Case {
        const char* name;
        std::string payload;
        int cut;  // bytes handed over, -1 = all
        int ok;
        std::string url, method, domain, contentType, agent;
    };
    const Case cases[] = {
        {"GET with headers",
         "GET /index.html HTTP/1.1\r\nHost: srv01\r\nUser-Agent: agent/1.0\r\nContent-Type: text/plain\r\n\r\n", -1, 1,
         "/index.html", "GET", "srv01", "text/plain", "agent/1.0"},
        {"POST", "POST /form?a=1 HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\na=1", -1, 1,
         "/form?a=1", "POST", "", "application/x-www-form-urlencoded", ""},
        {"HEAD", "HEAD / HTTP/1.1\r\nHost: h\r\n\r\n", -1, 1, "/", "HEAD", "h", "", ""},
        {"long Host cut", "GET / HTTP/1.1\r\nHost: " + host40 + "\r\n\r\n", -1, 1, "/", "GET", host40.substr(0, 31), "",
         ""},
        {"long agent cut", "GET / HTTP/1.1\r\nUser-Agent: " + agent70 + "\r\n\r\n", -1, 1, "/", "GET", "", "",
         agent70.substr(0, 62)},
        {"long URL cut", "GET " + long300 + " HTTP/1.1\r\n\r\n", -1, 1, long300.substr(0, 255), "GET", "", "", ""},
        {"single quote", "GET /a'b HTTP/1.1\r\n\r\n", -1, 1, "/a\"b", "GET", "", "", ""},
        {"REFERER cut", "GET /p?id=7REFERER=http://x/ HTTP/1.1\r\n\r\n", -1, 1, "/p?id=7", "GET", "", "", ""},
        {"control byte ends URL", "GET /ab\x01" "cd HTTP/1.1\r\n\r\n", -1, 1, "/ab", "GET", "", "", ""},
        {"non-ASCII ends URL", "GET /caf\xC3\xA9 HTTP/1.1\r\n\r\n", -1, 1, "/caf", "GET", "", "", ""},
        {"absolute http", "GET http://example.org:8080/p?q=1 HTTP/1.1\r\nHost: other\r\n\r\n", -1, 1, "/p?q=1", "GET",
         "example.org:8080", "", ""},
        {"absolute https", "GET https://example.org/p HTTP/1.1\r\nHost: other\r\n\r\n", -1, 1, "/example.org/p",
         "GET", "", "", ""},
        {"absolute without path", "GET http://example.org HTTP/1.1\r\n\r\n", -1, 1, "", "GET", "example.org", "", ""},
        {"absolute long host", "GET http://" + host40 + "/x HTTP/1.1\r\n\r\n", -1, 1, "/x", "GET",
         host40.substr(0, 31), "", ""},
        {"bare http target", "GET http HTTP/1.1\r\n\r\n", -1, 1, "", "GET", "", "", ""},
        {"header without CRLF", "GET / HTTP/1.1\r\nHost: srv01", -1, 1, "/", "GET", "", "", ""},
        {"header cut by length", "GET / HTTP/1.1\r\nHost: srv01\r\n\r\n", 22, 1, "/", "GET", "", "", ""},
        {"header after blank line", "GET / HTTP/1.1\r\n\r\nHost: srv01\r\n", -1, 1, "/", "GET", "", "", ""},
        {"header names are case-sensitive", "GET / HTTP/1.1\r\nhost: srv01\r\n\r\n", -1, 1, "/", "GET", "", "", ""},
        {"empty Host", "GET / HTTP/1.1\r\nHost:\r\n\r\n", -1, 1, "/", "GET", "", "", ""},
        {"PUT", "PUT /x HTTP/1.1\r\n\r\n", -1, 0, "", "", "", "", ""},
        {"no version", "GET /index.html\r\n\r\n", -1, 0, "", "GET", "", "", ""},
        {"version cut by length", "GET /x HTTP/1.1\r\n\r\n", 8, 0, "", "GET", "", "", ""},
        {"zero byte before version", "GET /a\0 HTTP/1.1\r\n\r\n"s, -1, 0, "", "GET", "", "", ""},
        {"empty target", "GET  HTTP/1.1\r\n\r\n", -1, 0, "", "GET", "", "", ""},
        {"empty after REFERER cut", "GET REFERER=x HTTP/1.1\r\n\r\n", -1, 0, "", "GET", "", "", ""},
        {"method alone", "POST ", -1, 0, "", "POST", "", "", ""},
        {"no payload", "", -1, 0, "", "", "", "", ""},
        // The target and " HTTP" must lie in the 2040 bytes after the method.
        {"version at the window's end", "GET /" + std::string(2034, 'a') + " HTTP/1.1\r\n\r\n", -1, 1,
         "/" + std::string(254, 'a'), "GET", "", "", ""},
        {"version past the window", "GET /" + std::string(2035, 'a') + " HTTP/1.1\r\n\r\n", -1, 0, "", "GET", "", "",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Request r(Payload(c.payload, c.cut));
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.method, c.method);
        if (c.ok != 1) continue;
        EXPECT_EQ(r.url, c.url);
        EXPECT_EQ(r.domain, c.domain);
        EXPECT_EQ(r.contentType, c.contentType);
        EXPECT_EQ(r.agent, c.agent);
    }
}

TEST(HttpForwardedFor, LastHopWhenTheLineIsComplete)
{
    constexpr u32 KEEP = 0xDEADBEEF;
    struct Case {
        const char* name;
        std::string payload;
        int cut;
        int ok;
        u32 forward;
    };
    const Case cases[] = {
        {"two hops", "GET / HTTP/1.1\r\nX-Forwarded-For: 10.0.0.1, 192.168.1.7\r\n\r\n", -1, 1, ip(192, 168, 1, 7)},
        {"three hops", "X-Forwarded-For: 10.0.0.1, 10.0.0.2, 172.16.0.9\r\n", -1, 1, ip(172, 16, 0, 9)},
        {"one hop", "X-Forwarded-For: 10.1.2.3\r\n", -1, 1, ip(10, 1, 2, 3)},
        {"unparsable", "X-Forwarded-For: unknown\r\n", -1, 1, KEEP},
        {"unparsable last hop", "X-Forwarded-For: 10.0.0.1, unknown\r\n", -1, 1, KEEP},
        {"no CRLF", "X-Forwarded-For: 10.1.2.3", -1, 0, KEEP},
        {"CRLF cut by length", "X-Forwarded-For: 10.1.2.3\r\n", 25, 0, KEEP},
        {"key at the end", "GET / HTTP/1.1\r\nX-Forwarded-For: ", -1, 0, KEEP},
        {"no blank after colon", "X-Forwarded-For:10.1.2.3\r\n", -1, 0, KEEP},
        {"absent", "GET / HTTP/1.1\r\nHost: h\r\n\r\n", -1, 0, KEEP},
        {"CRLF past 1020 bytes", "X-Forwarded-For: " + std::string(1013, ' ') + "1.2.3.4\r\n", -1, 0, KEEP},
        {"CRLF within 1020 bytes", "X-Forwarded-For: " + std::string(1011, ' ') + "1.2.3.4\r\n", -1, 1,
         ip(1, 2, 3, 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Payload p(c.payload, c.cut);
        u32 forward = KEEP;
        EXPECT_EQ(getForward(p.data(), p.len, &forward), c.ok);
        EXPECT_EQ(forward, c.forward);
    }
}

TEST(HttpStatusLine, CodeFromACompleteStatusLine)
{
    constexpr int KEEP = -7;
    struct Case {
        const char* name;
        std::string payload;
        int cut;
        int ok;
        int code;
    };
    const Case cases[] = {
        {"404", "HTTP/1.1 404 Not Found\r\n", -1, 1, 404},
        {"200 with headers", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", -1, 1, 200},
        {"100", "HTTP/1.1 100 Continue\r\n\r\n", -1, 1, 100},
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
        SCOPED_TRACE(c.name);
        Payload p(c.payload, c.cut);
        int code = KEEP;
        EXPECT_EQ(isResStart(p.data(), p.len, &code), c.ok);
        EXPECT_EQ(code, c.code);
    }
}

// ---- the transaction of one session ----------------------------------------

// What a transaction holds; times in microseconds.
struct Txn {
    std::string url;
    int retcode = 0, response = 0, pageload = 0;
    u32 forward = 0;
};

// One payload frame: direction (1 client, 2 server), milliseconds after T0,
// bytes, and the transaction it hands back, if any.
struct Frame {
    int dir;
    int ms;
    std::string text;
    bool closes = false;
    Txn closed = {};
};

struct Scenario {
    const char* name;
    std::vector<Frame> frames;
    Txn open;  // the transaction left in the session
    int beginMs, endMs;
};

timeval at(int ms) { return {T0 + ms / 1000, (ms % 1000) * 1000}; }

void expectTxn(const NetSessionT& s, const Txn& t)
{
    EXPECT_EQ(s.busi.http.url, t.url);
    EXPECT_EQ(s.busi.http.retcode, t.retcode);
    EXPECT_EQ(s.busi.http.response, t.response);
    EXPECT_EQ(s.busi.http.pageload, t.pageload);
    EXPECT_EQ(s.forward, t.forward);
}

TEST(HttpTransaction, OpensAnswersAndCloses)
{
    const std::string get1 = "GET /one HTTP/1.1\r\nHost: h\r\n\r\n", get2 = "GET /two HTTP/1.1\r\nHost: h\r\n\r\n";
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
    const Scenario scenarios[] = {
        {"first response frame gives the response time, the latest the page load",
         {{1, 0, get1, true, {""}},
          {2, 30, ok},
          {2, 45, "body1"},
          {2, 50, "HTTP/1.1 500 in the body\r\n"}},
         {"/one", 200, 30000, 50000}, 0, 50},
        {"100 Continue keeps the transaction open for the body",
         {{1, 0, "POST /up HTTP/1.1\r\nExpect: 100-continue\r\n\r\n", true, {""}},
          {2, 2, "HTTP/1.1 100 Continue\r\n\r\n"},
          {1, 10, "body part 1"},
          {1, 12, "body part 2"},
          {2, 20, "HTTP/1.1 201 Created\r\n\r\n"}},
         {"/up", 201, 8000, 8000}, 0, 20},
        {"a second request closes the first with its timings",
         {{1, 0, get1, true, {""}},
          {2, 30, ok},
          {2, 40, "body1"},
          {1, 100, get2, true, {"/one", 200, 30000, 40000}}},
         {"/two", 0, 0, 0}, 100, 100},
        {"any client frame after a response closes; the next request closes the empty rest",
         {{1, 0, get1, true, {""}},
          {2, 30, ok},
          {1, 50, "ping", true, {"/one", 200, 30000, 30000}},
          {2, 60, "HTTP/1.1 204 No Content\r\n\r\n"},
          {1, 70, get2, true, {"", 204, 10000, 10000}}},
         {"/two", 0, 0, 0}, 70, 70},
        {"an unanswered request is closed by the next",
         {{1, 0, get1, true, {""}}, {1, 10, get2, true, {"/one"}}},
         {"/two"}, 10, 10},
        {"frames without captured bytes still time and close",
         {{1, 0, get1, true, {""}},
          {2, 30, ""},
          {2, 40, ok},
          {1, 50, "", true, {"/one", 200, 30000, 40000}}},
         {""}, 0, 50},
        {"the forwarded client belongs to its transaction",
         {{1, 0, "GET /a HTTP/1.1\r\nX-Forwarded-For: 10.0.0.1, 192.168.1.7\r\n\r\n", true, {""}},
          {2, 5, ok},
          {1, 9, get2, true, {"/a", 200, 5000, 5000, ip(192, 168, 1, 7)}}},
         {"/two"}, 9, 9},
    };
    for (const Scenario& sc : scenarios) {
        SCOPED_TRACE(sc.name);
        NetSessionT s {};
        s.valid = 1;
        s.type = 1;
        for (const Frame& f : sc.frames) {
            SCOPED_TRACE(f.ms);
            Payload p(f.text);
            // The session step stores the direction before the analysis runs.
            const int prev = s.lastDirection;
            s.lastDirection = f.dir;
            NetSessionT one;
            one.valid = 0;
            processBusiness(&s, 0, 1, f.dir, at(f.ms), p.data(), p.len, &one, prev);
            EXPECT_EQ(s.lastDirection, f.dir);
            ASSERT_EQ(one.valid, f.closes ? 1 : 0);
            if (f.closes) expectTxn(one, f.closed);
        }
        expectTxn(s, sc.open);
        if (!sc.open.url.empty()) {
            EXPECT_EQ(s.busi.http.beginTime.tv_sec, at(sc.beginMs).tv_sec);
            EXPECT_EQ(s.busi.http.beginTime.tv_usec, at(sc.beginMs).tv_usec);
        }
        EXPECT_EQ(s.busi.http.endTime.tv_usec, at(sc.endMs).tv_usec);
    }
}

}  // namespace
