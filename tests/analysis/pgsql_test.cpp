// The PostgreSQL reader on talks built byte by byte, cut by segments at
// every offset, and spoilt by bad lengths, gaps and retransmissions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "analysis/pgsql.h"

namespace {

using Bytes = std::vector<u8>;
using Str = const std::string&;

Bytes operator+(Bytes a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); return a; }
Bytes be32(u32 v) { return {u8(v >> 24), u8(v >> 16), u8(v >> 8), u8(v)}; }
Bytes str(Str s) { Bytes b(s.begin(), s.end()); b.push_back(0); return b; }
Bytes msg(char type, const Bytes& body) { return Bytes {u8(type)} + be32(u32(body.size() + 4)) + body; }
Bytes untyped(u32 code, const Bytes& body) { return be32(u32(body.size() + 8)) + be32(code) + body; }
Bytes startup(Str user, Str db)
{
    return untyped(196608, str("user") + str(user) + (db.empty() ? Bytes {} : str("database") + str(db)) +
                               str("application_name") + str("psql") + Bytes {0});
}
const Bytes sslRequest = untyped(80877103, {}), gssRequest = untyped(80877104, {});
Bytes query(Str q) { return msg('Q', str(q)); }
Bytes parse(Str name, Str q) { return msg('P', str(name) + str(q) + Bytes {0, 1} + be32(23)); }
Bytes bind(Str portal, Str name) { return msg('B', str(portal) + str(name) + Bytes {0, 0, 0, 1, 0, 0, 0, 2, '4', '2', 0, 0}); }
Bytes execute(Str portal, u32 rows = 0) { return msg('E', str(portal) + be32(rows)); }
Bytes closeMsg(char kind, Str name) { return msg('C', Bytes {u8(kind)} + str(name)); }
const Bytes sync = msg('S', {}), describe = msg('D', Bytes {'P', 0}), flush = msg('H', {});
Bytes complete(Str tag) { return msg('C', str(tag)); }
Bytes error(char type, Str code, Str text)  // ErrorResponse or NoticeResponse
{
    return msg(type, Bytes {'S'} + str("ERROR") + Bytes {'C'} + str(code) + Bytes {'M'} + str(text) + Bytes {'P', '1', 0, 0});
}
const Bytes ready = msg('Z', {'I'}), parsed = msg('1', {}), bound = msg('2', {});
const Bytes rows = msg('T', Bytes {0, 1} + str("a") + Bytes(18, 0)) + msg('D', Bytes {0, 1} + be32(1) + Bytes {'1'});
Bytes opened(const Bytes& b) { return startup("a", "b") + b; }  // 49 bytes of start-up first
const Bytes greeting = msg('R', be32(0)) + msg('S', str("server_version") + str("15.6")) + msg('K', be32(7) + be32(9)) + ready;

struct Seg { int dir; Bytes bytes; long sec = -1; };  // sec -1: the segment's place in the talk
using Talk = std::vector<Seg>;

std::string summary;
void note(void*, const PgEventT& e)
{
    static const char* const names[] = {"startup", "ssl", "query", "parse", "bind", "exec", "sync",
                                        "close", "complete", "empty", "suspended", "error", "ready"};
    std::string s = names[e.kind];
    if (e.kind == WX_PG_STARTUP) s += std::string(" ") + e.user + "/" + e.database;
    if (e.kind == WX_PG_SSL_ANSWER) s += std::string(" ") + e.sslAnswer;
    if (e.kind == WX_PG_CLOSE) s += std::string(" ") + e.closeKind;
    if (e.kind == WX_PG_PARSE || e.kind == WX_PG_CLOSE) s += std::string(" ") + e.name;
    if (e.kind == WX_PG_BIND || e.kind == WX_PG_EXECUTE)
        s += std::string(" ") + e.portal + (e.kind == WX_PG_BIND ? "/" : "") + e.name;
    if (e.kind == WX_PG_QUERY || e.kind == WX_PG_PARSE || e.kind == WX_PG_COMPLETE)
        s += std::string(" '") + e.text + "'";
    if (e.kind == WX_PG_ERROR) s += std::string(" ") + e.sqlstate + " " + e.message;
    if (int(std::strlen(e.text)) != e.textLen) s += " !len";
    summary += (summary.empty() ? "" : "; ") + s + "@" + std::to_string(e.ts.tv_sec);
}

// Feeds a talk frame by frame, sequence numbers running on per direction
// unless a segment is given its own, and sums up the events.
std::string play(const Talk& talk, const std::vector<u32>& seqs = {})
{
    PgStateT s;
    std::memset(&s, 0, sizeof s);
    pgInit(&s);
    summary.clear();
    u32 next[3] = {0, 4294967290u, 90000};  // the client's wraps round
    for (size_t i = 0; i < talk.size(); i++) {
        const Seg& g = talk[i];
        const u32 seq = i < seqs.size() && seqs[i] ? seqs[i] : next[g.dir];
        next[g.dir] = seq + u32(g.bytes.size());
        pgFeed(&s, g.dir, seq, {g.sec < 0 ? long(i) : g.sec, 0}, g.bytes.data(), int(g.bytes.size()), {nullptr, note});
    }
    return summary;
}

TEST(PgsqlReader, Talks)
{
    const std::string big = "select '" + std::string(3 << 20, 'x') + "'";  // 3 MB
    const Bytes bigQuery = query(big);
    Talk bigTalk = {{1, startup("a", "b")}};
    for (size_t at = 0; at < bigQuery.size(); at += 65536)
        bigTalk.push_back({1, Bytes(bigQuery.begin() + at, bigQuery.begin() + std::min(at + 65536, bigQuery.size()))});
    bigTalk.push_back({1, query("select 2")});
    const std::string cutMessage = std::string(119, 'm') + "\xc3\xa9 tail";  // the cut falls inside the é
    const std::string ab = "startup a/b@0; ", s1 = "select 1", longName(70, 'n'), name63(63, 'n');
    struct Case { const char* name; Talk talk; std::vector<u32> seqs; std::string want; };
    const Case cases[] = {
        {"startup", {{1, startup("alice", "shop")}, {2, greeting}}, {}, "startup alice/shop@0; ready@1"},
        {"startup without database", {{1, startup("bob", "")}, {2, greeting}}, {}, "startup bob/bob@0; ready@1"},
        {"SSL refused", {{1, sslRequest}, {2, {'N'}}, {1, startup("alice", "shop")}, {2, greeting}}, {},
         "ssl N@1; startup alice/shop@2; ready@3"},
        {"GSS refused, then SSL taken: nothing more read", {{1, gssRequest}, {2, {'N'}}, {1, sslRequest}, {2, {'S'}},
         {1, Bytes {22, 3, 1, 0, 5, 1, 0, 0, 1, 3}}, {2, ready}, {1, query(s1)}}, {}, "ssl N@1; ssl S@3"},
        {"old server erring on SSL", {{1, sslRequest}, {2, error('E', "0A000", "no")}}, {}, "error 0A000 no@1"},
        {"cancel request", {{1, untyped(80877102, be32(7) + be32(9))}, {2, ready}}, {}, "ready@1"},
        {"simple query, a notice, an empty one", {{1, opened(query(s1))}, {2, greeting + rows + error('N', "00000", "notice") +
         complete("SELECT 1") + ready}, {1, query("")}, {2, msg('I', {}) + ready}}, {},
         ab + "query 'select 1'@0; ready@1; complete 'SELECT 1'@1; ready@1; query ''@2; empty@3; ready@3"},
        {"error", {{1, opened(query("select * from nope"))}, {2, error('E', "42P01", "relation \"nope\" does not exist") + ready}},
         {}, ab + "query 'select * from nope'@0; error 42P01 relation \"nope\" does not exist@1; ready@1"},
        {"statement over several lines", {{1, opened(query("SELECT a,\n\t  b\r\n  FROM \"T\" ;\n"))}}, {},
         ab + "query 'SELECT a, b FROM 'T' ;'@0"},
        {"extended: named statement, portal run twice, closed",
         {{1, opened(parse("s1", "select $1") + bind("p1", "s1") + describe + execute("p1", 1) + execute("p1") + sync)},
          {2, parsed + bound + rows + msg('s', {}) + rows + complete("SELECT 1")}, {2, ready},
          {1, closeMsg('S', "s1") + closeMsg('P', "") + sync}}, {},
         ab + "parse s1 'select $1'@0; bind p1/s1@0; exec p1@0; exec p1@0; sync@0; suspended@1; complete 'SELECT 1'@1; "
              "ready@2; close S s1@3; close P @3; sync@3"},
        {"pipeline over segments, unnamed statements, an error inside",
         {{1, opened(parse("", "insert into t values ($1)") + bind("", "") + execute(""))},
          {1, parse("", "insert into u values ($1)") + bind("", "") + execute("") + flush},
          {2, parsed + bound + complete("INSERT 0 1") + error('E', "42P01", "no u")}, {1, bind("", "s0") + execute("") + sync},
          {2, ready}}, {},
         ab + "parse  'insert into t values ($1)'@0; bind /@0; exec @0; parse  'insert into u values ($1)'@1; bind /@1; "
              "exec @1; complete 'INSERT 0 1'@2; error 42P01 no u@2; bind /s0@3; exec @3; sync@3; ready@4"},
        {"3 MB statement cut to its field, then another", bigTalk, {},
         ab + "query '" + big.substr(0, 1021) + "'@1; query 'select 2'@50"},
        {"names and message cut to their fields", {{1, opened(parse(longName, s1) + bind(longName, longName))},
         {2, error('E', "XX000", cutMessage)}}, {},
         ab + "parse " + name63 + " 'select 1'@0; bind " + name63 + "/" + name63 + "@0; error XX000 " + std::string(119, 'm') + "@1"},
        {"typed length under 4 stops the client, not the server",
         {{1, opened(query(s1) + Bytes {'Q', 0, 0, 0, 3} + query("select 2"))}, {2, ready}}, {}, ab + "query 'select 1'@0; ready@1"},
        {"startup of protocol 2", {{1, untyped(0x20000, str("user") + str("a") + Bytes {0})}, {1, query("x")}}, {}, ""},
        {"segment past a gap stops the direction", {{1, opened(query(s1))}, {1, query("select 3")}, {1, query("select 2")},
         {2, ready}}, {0, 71, 57}, ab + "query 'select 1'@0; ready@3"},
        {"retransmissions passed over, a partial overlap stops", {{1, opened(query(s1))}, {1, opened(query(s1))},
         {1, query("select 2")}, {1, query("select 2") + query("select 3")}}, {0, 4294967290u, 0, 57},
         ab + "query 'select 1'@0; query 'select 2'@2"},
    };
    for (const Case& c : cases) EXPECT_EQ(play(c.talk, c.seqs), c.want) << c.name;
}

// Every message of a short talk cut at every offset, and fed a byte at a time.
TEST(PgsqlReader, CutAnywhere)
{
    const Bytes client = sslRequest + startup("alice", "shop") + query("select\n 1") + parse("s", "select $1") + bind("p", "s") +
                         execute("p") + closeMsg('S', "s") + sync;
    const Bytes server =
        Bytes {'N'} + greeting + complete("SELECT 1") + ready + parsed + bound + error('E', "22P02", "bad") + ready;
    const Talk whole = {{1, client, 0}, {2, server, 1}};
    const std::string want = play(whole);
    ASSERT_EQ(want, "startup alice/shop@0; query 'select 1'@0; parse s 'select $1'@0; bind p/s@0; exec p@0; close S s@0; "
                    "sync@0; ssl N@1; ready@1; complete 'SELECT 1'@1; ready@1; error 22P02 bad@1; ready@1");
    auto at = [](const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); };
    for (size_t i = 1; i < client.size(); i++) {
        const size_t j = i % server.size();
        // A direction's first empty piece is passed over as no segment.
        const Talk t = {{1, at(client, 0, i), 0}, {1, at(client, i, client.size()), 0}, {2, at(server, 0, j), 1},
                        {2, at(server, j, server.size()), 1}};
        ASSERT_EQ(play(t), want) << "cut at " << i;
    }
    Talk bytes;
    for (u8 b : client) bytes.push_back({1, {b}, 0});
    for (u8 b : server) bytes.push_back({2, {b}, 1});
    EXPECT_EQ(play(bytes), want);
}

}  // namespace
