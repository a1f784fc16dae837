// The Redis reader on talks built byte by byte: pipelines, inline lines,
// binary and long arguments, passwords, every reply type, and the ways a
// capture or a peer spoils a stream, each summed up as one string of events.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/redis.h"
#include "analysis/statements.h"
#include "core/protocols.h"

namespace {

// A command as an array of bulk strings.
std::string arr(std::initializer_list<std::string> args)
{
    std::string s = "*" + std::to_string(args.size()) + "\r\n";
    for (const std::string& a : args) s += "$" + std::to_string(a.size()) + "\r\n" + a + "\r\n";
    return s;
}

struct Seg { int dir; std::string bytes; };
using Talk = std::vector<Seg>;

// Events as "C<text|kind|user|db|second>" and "R<err|second>"; long texts as
// their length and last characters.
struct Sum { std::string out; bool timed; };
void onCommand(void* ctx, const RedisCommandT& c)
{
    Sum& s = *static_cast<Sum*>(ctx);
    const std::string text(c.text, c.len);
    EXPECT_EQ(std::strlen(c.text), size_t(c.len));
    s.out += "C<" + (text.size() > 60 ? std::to_string(text.size()) + ":" + text.substr(text.size() - 8) : text) + "|" +
             std::to_string(c.kind) + "|" + c.user + "|" + c.db + (s.timed ? "|" + std::to_string(c.begin.tv_sec) : "") + ">";
}
void onReply(void* ctx, const RedisReplyT& r)
{
    Sum& s = *static_cast<Sum*>(ctx);
    s.out += "R<" + std::string(r.err, r.errLen) + (s.timed ? "|" + std::to_string(r.end.tv_sec) : "") + ">";
}

// Feeds a talk frame by frame (frame i at second i, sequence numbers running
// on per direction unless a segment is given its own).
std::string play(const Talk& talk, const std::vector<u32>& seqs = {}, bool timed = true)
{
    RedisStateT s;
    std::memset(&s, 0, sizeof s);
    redisInit(&s);
    Sum sum {"", timed};
    const RedisSinkT sink {&sum, onCommand, onReply};
    u32 next[3] = {0, 1000, 90000};
    for (size_t i = 0; i < talk.size(); i++) {
        const u32 seq = i < seqs.size() && seqs[i] ? seqs[i] : next[talk[i].dir];
        next[talk[i].dir] = seq + u32(talk[i].bytes.size());
        redisFeed(&s, talk[i].dir, seq, {long(i), 0}, reinterpret_cast<const u8*>(talk[i].bytes.data()),
                  int(talk[i].bytes.size()), sink);
    }
    return sum.out;
}

const std::string pipeline = arr({"SET", "k", "v"}) + arr({"get", "k"}) + arr({"INCR", "k"}) + arr({"LPUSH", "k", "x"});
const std::string pipelineReplies = "+OK\r\n$1\r\nv\r\n-ERR value is not an integer or out of range\r\n"
                                    "-WRONGTYPE Operation against a key holding the wrong kind of value\r\n";
const std::string pipelineWant =
    "C<SET k v|0|||0>C<get k|0|||0>C<INCR k|0|||0>C<LPUSH k x|0|||0>R<|1>R<|1>R<ERR value is not an integer or out of "
    "range|1>R<WRONGTYPE Operation against a key holding the wrong kind of value|1>";

TEST(RedisReader, Talks)
{
    std::string binary = std::string("a\0\x01\xff\"b\tc", 8);
    const std::string longArg = std::string(1013, 'a') + "\x01" + "tail";  // "SET k " and 1013: the escape does not fit
    std::string deep;
    for (int i = 0; i < 17; i++) deep += "*1\r\n";
    struct Case { const char* name; Talk talk; std::vector<u32> seqs; std::string want; };
    const Case cases[] = {
        {"pipeline in one segment each way", {{1, pipeline}, {2, pipelineReplies}}, {}, pipelineWant},
        {"a command cut in its count, a length line, its bytes, between CR and LF",
         {{1, "*"}, {1, "3\r\n$3\r\nSET\r\n$1"}, {1, "\r\nk\r\n$5\r\nva"}, {1, "lue\r"}, {1, "\n"}, {2, "+O"}, {2, "K\r\n"}}, {},
         "C<SET k value|0|||0>R<|6>"},
        {"inline commands, an empty line, quotes, a line ended by LF alone",
         {{1, "PING\r\n\r\n  \r\nset k \"a b\"  'c d'\nselect 2\r\n"}, {2, "+PONG\r\n+OK\r\n+OK\r\n"}}, {},
         "C<PING|0|||0>C<set k 'a b' 'c d'|0|||0>C<select 2|3||2|0>R<|1>R<|1>R<|1>"},
        {"inline line cut in a word and in its quotes", {{1, "GE"}, {1, "T \"x "}, {1, "y\"\r"}, {1, "\n"}}, {}, "C<GET 'x y'|0|||0>"},
        {"binary argument escaped, blanks and quotes cleaned", {{1, arr({"SET", "k", binary})}}, {},
         "C<SET k a\\x00\\x01\\xff'b c|0|||0>"},
        {"long argument cut before an escape that does not fit", {{1, arr({"SET", "k", longArg})}, {1, arr({"PING"})}}, {},
         "C<1019:aaaaaaaa|0|||0>C<PING|0|||1>"},
        {"passwords masked wherever a command carries one, users and database kept",
         {{1, arr({"AUTH", "s3cret"}) + arr({"auth", "bob", "s3cret"}) + "AUTH s3cret\r\nAuth bob s3cret\r\n"},
          {1, arr({"HELLO", "3", "AUTH", "amy", "s3cret", "SETNAME", "auth"}) + "hello 3 auth amy s3cret\r\n"},
          {1, arr({"AUTH", "a", "b", "c"}) + arr({"SELECT", "7"}) + arr({"selectx", "7"})},
          {1, arr({"CONFIG", "SET", "maxmemory", "1mb", "requirepass", "s3cret", "masterauth", "s3cret"}) +
                  "acl setuser bob on >s3cret ~*\r\n" + arr({"MIGRATE", "h", "1", "", "0", "9", "AUTH", "s3cret"}) +
                  arr({"MIGRATE", "h", "1", "", "0", "9", "AUTH2", "bob", "s3cret", "KEYS", "a"})}},
         {},
         "C<AUTH ****|1|||0>C<auth bob ****|1|bob||0>C<AUTH ****|1|||0>C<Auth bob ****|1|bob||0>"
         "C<HELLO 3 AUTH amy **** SETNAME auth|2|amy||1>C<hello 3 auth amy ****|2|amy||1>"
         "C<AUTH **** **** ****|1|||2>C<SELECT 7|3||7|2>C<selectx 7|0|||2>"
         "C<CONFIG SET maxmemory 1mb requirepass **** masterauth ****|0|||3>C<acl setuser bob **** **** ****|0|||3>"
         "C<MIGRATE h 1 0 9 AUTH ****|0|||3>C<MIGRATE h 1 0 9 AUTH2 bob **** KEYS a|0|||3>"},
        {"every RESP3 type; a push and an attribute not reported; errors inside not the reply's",
         {{2, "_\r\n,1.5\r\n#t\r\n(12345678901234567890\r\n=7\r\ntxt:abc\r\n%2\r\n+a\r\n:1\r\n$1\r\nb\r\n*-1\r\n"},
          {2, "~2\r\n+a\r\n+b\r\n$-1\r\n$0\r\n\r\n*0\r\n>2\r\n+message\r\n-ERR in push\r\n|1\r\n+ttl\r\n:3\r\n+OK\r\n"},
          {2, "!8\r\nERR\r\nbad\r\n*2\r\n+OK\r\n-ERR queued\r\n*2\r\n|1\r\n+a\r\n-ERR x\r\n:1\r\n:2\r\n"}}, {},
         "R<|0>R<|0>R<|0>R<|0>R<|0>R<|0>R<|1>R<|1>R<|1>R<|1>R<|1>R<ERR\nbad|2>R<|2>R<|2>"},
        {"error cut to 127 bytes", {{2, "-ERR " + std::string(200, 'e') + "\r\n"}}, {}, "R<ERR " + std::string(123, 'e') + "|0>"},
        {"request lengths that lie stop the requests only",
         {{1, arr({"PING"}) + "*1\r\n$-5\r\nPING\r\n"}, {1, arr({"PING"})}, {2, "+PONG\r\n+PONG\r\n"}}, {},
         "C<PING|0|||0>R<|2>R<|2>"},
        {"an argument not a bulk string", {{1, "*1\r\n:1\r\n" + arr({"PING"})}}, {}, ""},
        {"a count line without its end", {{1, "*" + std::string(70, '0')}, {1, "\r\n" + arr({"PING"})}}, {}, ""},
        {"a length past 32 bits", {{2, "$99999999999\r\n"}, {2, "+OK\r\n"}}, {}, ""},
        {"a negative reply length other than -1", {{2, "+OK\r\n*-2\r\n+OK\r\n"}}, {}, "R<|0>"},
        {"streamed string and aggregate", {{2, "+OK\r\n$?\r\n;3\r\nabc\r\n;0\r\n+OK\r\n"}, {2, "*?\r\n"}}, {}, "R<|0>"},
        {"nesting deeper than the state holds", {{2, deep.substr(4) + "+OK\r\n" + deep + "+OK\r\n+OK\r\n"}}, {}, "R<|0>"},
        {"bulk not ended by CRLF", {{2, "$2\r\nabc\r\n+OK\r\n"}}, {}, ""},
        {"segment past a gap, then the missing one", {{1, arr({"PING"})}, {1, arr({"PING"})}, {1, arr({"ECHO", "x"})}},
         {0, 1030, 1014}, "C<PING|0|||0>"},
        {"retransmission passed over", {{1, "*1\r\n$4\r\nPI"}, {1, "*1\r\n$4\r\nPI"}, {1, "NG\r\n"}}, {1000, 1000, 1010},
         "C<PING|0|||0>"},
    };
    for (const Case& c : cases) EXPECT_EQ(play(c.talk, c.seqs), c.want) << c.name;
}

// A short talk with every kind of element, cut at every offset of each
// direction and fed a byte at a time, gives the same events.
TEST(RedisReader, CutAnywhere)
{
    const std::string req = arr({"AUTH", "bob", "pw"}) + "hello 3 auth amy pw\r\nSET k \"a\\\" b\" \xfe\r\n" +
                            arr({"SELECT", "2"}) + pipeline;
    const std::string res = "+OK\r\n%1\r\n+proto\r\n:3\r\n>1\r\n+p\r\n-ERR x\r\n|1\r\n+a\r\n:1\r\n+OK\r\n" + pipelineReplies;
    const std::string whole = play({{1, req}, {2, res}}, {}, false);
    EXPECT_EQ(whole, "C<AUTH bob ****|1|bob|>C<hello 3 auth amy ****|2|amy|>C<SET k 'a\\' b' \\xfe|0||>C<SELECT 2|3||2>"
                     "C<SET k v|0||>C<get k|0||>C<INCR k|0||>C<LPUSH k x|0||>R<>R<>R<ERR x>R<>R<>R<>"
                     "R<ERR value is not an integer or out of range>"
                     "R<WRONGTYPE Operation against a key holding the wrong kind of value>");
    for (size_t k = 1; k < std::max(req.size(), res.size()); k++) {
        Talk t;
        for (const auto& [dir, s] : {std::pair {1, req}, std::pair {2, res}}) {
            t.push_back({dir, s.substr(0, k)});
            if (k < s.size()) t.push_back({dir, s.substr(k)});
        }
        ASSERT_EQ(play(t, {}, false), whole) << "cut at " << k;
    }
    Talk bytes;
    for (char c : req + res) bytes.push_back({bytes.size() < req.size() ? 1 : 2, std::string(1, c)});
    EXPECT_EQ(play(bytes, {}, false), whole);
}

}  // namespace

// A session's statements across frames the capture cut short: a bulk passed over keeps the place; a cut
// through a reply's structure loses it until the client asks again, the asked before then answered with the
// server's last frame, and the server's next segment begins a reply.
TEST(RedisStatements, FramesCutShort)
{
    static NetSessionT s;
    static std::string records;
    s = NetSessionT {};
    s.type = APP_REDIS;
    u32 seq[3] = {0, 1, 1};
    time_t clock = 0;  // a second a segment
    auto step = [&](int dir, const std::string& bytes, u32 missing = 0) {
        const auto n = static_cast<int>(bytes.size());
        const timeval ts {++clock, 0};
        statementStep(&s, dir, seq[dir], ts, reinterpret_cast<const u8*>(bytes.data()), n,
                      n + static_cast<int>(missing), 100);
        seq[dir] += static_cast<u32>(n) + missing;
        if (dir == 2) s.resTime = ts;  // as the session step keeps it
        sendAnswered([](NetSessionT* r) {
            records += std::string(r->busi.db.sql).substr(0, 12) + "|" + std::to_string(r->resp) + "|" +
                       std::to_string(r->busi.db.endTime.tv_sec) + " ";
        });
    };
    step(1, "*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$1000\r\n" + std::string(100, 'v'), 850);
    step(1, std::string(50, 'v') + "\r\n");
    step(2, "+OK\r\n");
    step(1, arr({"GET", "k"}));
    step(2, "$1000\r\n" + std::string(100, 'v'), 902);  // the bulk's end and its line end lost
    step(1, arr({"PING"}));
    step(2, "+PONG\r\n");
    step(1, arr({"GET", "x"}));  // unanswered when the session ends
    static NetSessionT ended;
    handOverStatements(&s, &ended);
    endStatements(&ended, [](NetSessionT* r) { records += std::string(r->busi.db.sql) + "|" + std::to_string(r->resp); });
    EXPECT_EQ(records, "SET k vvvvvv|1|3 GET k|1|5 PING|1|7 GET x|0");
    EXPECT_FALSE(ownsStatements(s) || ownsStatements(ended));
    EXPECT_EQ(statementSlotsUsed(), 0);
}
