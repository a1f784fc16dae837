// HTTP and database parsing (statements, errors, logins of three protocols), and one session's transactions frame by
// frame; payloads and output buffers sit in heap blocks of exactly their size, so that the sanitizers see overruns.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "analysis/db.h"
#include "analysis/db_login.h"
#include "analysis/http.h"
#include "analysis/transaction.h"
#include "support/tables.h"

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
enum HttpParser { REQ, FWD, RES };
std::string parseHttp(HttpParser which, const Payload& p)
{
    if (which == REQ) {
        char url[256] = {}, method[8] = {}, domain[32] = {}, type[64] = {}, agent[64] = {};
        const int ok = isReqStart(p.data(), p.len(), url, method, domain, type, agent);
        return std::to_string(ok) + " " + (ok ? url + "|"s + method + "|" + domain + "|" + type + "|" + agent : method);
    }
    constexpr int KEEP = -7;
    int code = KEEP;
    IpAddrT forward {}, untouched {};
    const int ok = which == FWD ? getForward(p.data(), p.len(), &forward) : isResStart(p.data(), p.len(), &code);
    if (which == FWD) return std::to_string(ok) + " " + (forward == untouched ? "-" : ipText(forward));
    return std::to_string(ok) + " " + (code == KEEP ? "-" : std::to_string(code));
}

// Only complete lines count: the target and " HTTP" in the 2040 bytes after the method, a
// forwarded line's CRLF within 1020 bytes, a status line's within 1000. Headers, POST, long
// hosts, forwarded lists and 404 are checked on real traffic by HttpTraffic.
TEST(HttpParse, RequestsForwardedForAndStatusLines)
{
    const std::string long300 = "/" + std::string(299, 'u'), hop = "192.168.1.7";
    struct Case { const char* name; HttpParser parser; std::string payload; int cut; std::string want; };
    const Case cases[] = {
        {"long URL cut", REQ, "GET " + long300 + " HTTP/1.1\r\n\r\n", -1, "1 " + long300.substr(0, 255) + "|GET|||"},
        {"absolute target over Host", REQ, "GET http://example.org:8080/p?q=1 HTTP/1.1\r\nHost: other\r\n\r\n", -1,
         "1 /p?q=1|GET|example.org:8080||"},
        {"absolute without path", REQ, "GET http://example.org HTTP/1.1\r\n\r\n", -1, "1 |GET|example.org||"},
        {"header cut by length", REQ, "GET / HTTP/1.1\r\nHost: srv01\r\n\r\n", 22, "1 /|GET|||"},
        {"header in the body", REQ, "GET / HTTP/1.1\r\n\r\nHost: srv01\r\n", -1, "1 /|GET|||"},
        {"PUT", REQ, "PUT /x HTTP/1.1\r\n\r\n", -1, "0 "}, {"no version", REQ, "GET /index.html\r\n\r\n", -1, "0 GET"},
        {"version cut by length", REQ, "GET /x HTTP/1.1\r\n\r\n", 8, "0 GET"},
        {"zero byte before version", REQ, "GET /a\0 HTTP/1.1\r\n\r\n"s, -1, "0 GET"},
        {"method alone", REQ, "POST ", -1, "0 POST"}, {"no request", REQ, "", -1, "0 "},
        {"version at the window's end", REQ, "GET /" + std::string(2034, 'a') + " HTTP/1.1\r\n\r\n", -1,
         "1 /" + std::string(254, 'a') + "|GET|||"},
        {"version past the window", REQ, "GET /" + std::string(2035, 'a') + " HTTP/1.1\r\n\r\n", -1, "0 GET"},
        {"unparsable", FWD, "X-Forwarded-For: unknown\r\n", -1, "1 -"},
        {"CRLF cut by length", FWD, "X-Forwarded-For: 10.1.2.3\r\n", 25, "0 -"},
        {"key at the end", FWD, "GET / HTTP/1.1\r\nX-Forwarded-For: ", -1, "0 -"},
        {"CRLF past 1020 bytes", FWD, "X-Forwarded-For: " + std::string(1009, ' ') + "192.168.1.7\r\n", -1, "0 -"},
        {"CRLF in 1020 bytes", FWD, "X-Forwarded-For: " + std::string(1007, ' ') + "192.168.1.7\r\n", -1, "1 " + hop},
        {"IPv6 last hop", FWD, "X-Forwarded-For: 10.0.0.1, 2001:DB8:0:0::7 \r\n", -1, "1 2001:db8::7"},
        {"IPv6 hop in brackets", FWD, "X-Forwarded-For: [2001:db8::7]\r\n", -1, "1 2001:db8::7"},
        {"IPv6 hop with a zone", FWD, "X-Forwarded-For: fe80::1%eth0\r\n", -1, "1 -"},
        {"huge number saturates", RES, "HTTP/1.1 99999999999 X\r\n", -1, "1 " + std::to_string(INT_MAX)},
        {"no blank", RES, "HTTP/1.1\r\n", -1, "0 -"}, {"no status", RES, "", -1, "0 -"},
        {"status CRLF cut by length", RES, "HTTP/1.1 404 Not Found\r\n", 23, "0 -"},
        {"zero byte before CRLF", RES, "HTTP/1.1 200 OK\0\r\n"s, -1, "0 -"},
        {"CRLF past 1000 bytes", RES, "HTTP/1.1 200 " + std::string(986, 'x') + "\r\n", -1, "0 -"},
        {"CRLF within 1000 bytes", RES, "HTTP/1.1 200 " + std::string(985, 'x') + "\r\n", -1, "1 200"},
    };
    for (const Case& c : cases) EXPECT_EQ(parseHttp(c.parser, Payload(c.payload, c.cut)), c.want) << c.name;
}

// "url retcode response pageload forward"; times in usec.
std::string txn(const NetSessionT& s)
{
    const HttpSessionT& h = s.busi.http;
    return std::string(h.url) + " " + std::to_string(h.retcode) + " " + std::to_string(h.response) + " " +
           std::to_string(h.pageload) + " " + (h.forward == IpAddrT {} ? "-" : "set");
}

// Frames by direction (1 client, 2 server) at milliseconds, with the transaction each
// closes; keep-alive, 100 Continue and forwarded clients are left to HttpTraffic.
TEST(HttpTransaction, OpensAnswersAndCloses)
{
    struct Frame { int dir, ms; std::string text; const char* closes = nullptr; };
    struct Scenario { const char* name; std::vector<Frame> frames; const char* open; int beginMs; };
    const std::string get2 = "GET /two HTTP/1.1\r\n\r\n", ok = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
    const Frame first {1, 0, "GET /one HTTP/1.1\r\nHost: h\r\n\r\n", " 0 0 0 -"};
    const Scenario scenarios[] = {
        {"any client frame after a response closes; the next request closes the empty rest",
         {first, {2, 30, ok}, {1, 50, "ping", "/one 200 30000 30000 -"}, {2, 60, "HTTP/1.1 204 No Content\r\n\r\n"},
          {1, 70, get2, " 204 10000 10000 -"}},
         "/two 0 0 0 -", 70},
        {"frames without captured bytes still time and close; a status line in the body is not one",
         {first, {2, 30, ""}, {2, 40, ok}, {2, 45, "HTTP/1.1 500 in the body\r\n"},
          {1, 50, "", "/one 200 30000 45000 -"}}, " 0 0 0 -", 0},
    };
    for (const Scenario& sc : scenarios) {
        SCOPED_TRACE(sc.name);
        NetSessionT s {};
        s.valid = s.type = 1;
        for (const Frame& f : sc.frames) {
            const Payload p(f.text);
            const int prev = s.lastDirection;  // the session step stores the direction before the analysis runs
            s.lastDirection = f.dir;
            NetSessionT one {};
            processBusiness(&s, 0, 1, f.dir, timeval {1700000000, f.ms * 1000}, p.data(), p.len(), &one, prev);
            EXPECT_EQ(one.valid ? txn(one) : "", f.closes ? f.closes : "") << f.ms;
        }
        EXPECT_EQ(txn(s), sc.open);
        EXPECT_EQ(std::pair(s.busi.http.beginTime.tv_usec, s.busi.http.endTime.tv_usec),
                  std::pair(sc.beginMs * 1000L, sc.frames.back().ms * 1000L));
    }
}

using Bytes = std::string;

Bytes le16(unsigned v) { return {char(v & 0xFF), char(v >> 8 & 0xFF)}; }
Bytes be16(unsigned v) { return {char(v >> 8 & 0xFF), char(v & 0xFF)}; }
Bytes le32(unsigned v) { return le16(v & 0xFFFF) + le16(v >> 16); }
Bytes cut(const Bytes& b, std::size_t n) { return b.substr(0, n); }
Bytes utf16(const Bytes& ascii) { Bytes out; for (char c : ascii) out += Bytes {c, '\0'}; return out; }

// MySQL: 3-byte length, sequence number, body.
Bytes mysqlPacket(int seq, const Bytes& body) { return le16(body.size() & 0xFFFF) + '\0' + char(seq) + body; }
Bytes mysqlQuery(const Bytes& text) { return mysqlPacket(0, "\x03" + text); }
Bytes mysqlError(unsigned number, const Bytes& text) { return mysqlPacket(1, "\xFF" + le16(number) + "#HY000" + text); }
// TNS: length, checksum, type, reserved, header checksum; connect data at offset 58.
Bytes tnsHeader(std::size_t total, int type) { return be16(unsigned(total)) + be16(0) + char(type) + '\0' + be16(0); }
Bytes tnsData(const Bytes& data) { return tnsHeader(10 + data.size(), 6) + be16(0) + data; }
Bytes tnsConnect(const Bytes& connectData)
{
    Bytes body = be16(314) + be16(300) + be16(0) + be16(8192) + be16(65535) + be16(0x7F08) + be16(0) + be16(0x0100) +
                 be16(unsigned(connectData.size())) + be16(58);
    body.resize(58 - 8, '\0');
    return tnsHeader(58 + connectData.size(), 1) + body + connectData;
}
Bytes connectData(const Bytes& user) { return "(DESCRIPTION=(CONNECT_DATA=(SID=orcl)(CID=(USER=" + user + "))))"; }
// TDS: type, status, length, SPID, packet id, window. A batch has ALL_HEADERS with one
// transaction descriptor; an error is an ERROR token (UTF-16LE text), then a DONE.
Bytes tdsPacket(int type, const Bytes& body)
{
    return Bytes {char(type), 1} + be16(unsigned(8 + body.size())) + be16(0x34) + "\x01" + '\0' + body;
}
Bytes tdsBatch(const Bytes& text)
{
    return tdsPacket(0x01, le32(22) + le32(18) + le16(2) + Bytes(8, '\0') + le32(1) + utf16(text));
}
Bytes tdsError(unsigned number, const Bytes& messUtf16)
{
    Bytes token = le32(number) + "\x01\x10" + le16(unsigned(messUtf16.size() / 2)) + messUtf16 + '\x03' +
                  utf16("db1") + '\0' + le32(1);
    return tdsPacket(0x04, "\xAA" + le16(unsigned(token.size())) + token + "\xFD" + Bytes(12, '\0'));
}

// A statement and whether its keyword's partner is there, an error's text and code, or a
// login's user and whether found; from "old" and -1, '#'s behind an error show overwrites.
enum DbParser { MYSQL, TDS, MY_ERR, ORA_ERR, TDS_ERR, LOGIN };
std::pair<Bytes, int> parseDb(DbParser p, const Bytes& payload)
{
    const Payload f(payload);
    const bool error = p == MY_ERR || p == ORA_ERR || p == TDS_ERR;
    std::vector<char> text(p == LOGIN ? 32 : error ? 128 : 1024, error ? '#' : '\0');
    std::memcpy(text.data(), "old", 4);
    text.back() = '\0';
    int n = -1, len = f.len();
    const u8* d = f.data();
    switch (p) {
        case MYSQL: getStrSql(text.data(), d, len, &n); break;
        case TDS: getSqlserverSql(text.data(), d, len, &n); break;
        case MY_ERR: getMysqlCode(&n, text.data(), d, len); break;
        case ORA_ERR: getOracleCode(&n, text.data(), d, len); break;
        case TDS_ERR: getSqlserverCode(&n, text.data(), d, len); break;
        case LOGIN: n = getOracleUser(text.data(), d, len); break;
    }
    return {text.data(), n};
}

TEST(DbParse, StatementsErrorsAndLogins)
{
    const Bytes longName(1500, 'c'), user30(30, 'u'), e1064 = mysqlError(1064, "You have an error in your SQL syntax");
    const Bytes e208 = tdsError(208, utf16("Invalid object name 'dbo.t9'."));
    struct Case { const char* what; DbParser parser; Bytes payload, text; int number; };
    // Plain MySQL statements and errors, line breaks and tabs are checked on real traffic by MysqlTraffic.
    const Case cases[] = {
        {"keyword without partner", MYSQL, mysqlQuery("DROP TABLE t1  "), "DROP TABLE t1", -1},
        {"zero byte ends it", MYSQL, mysqlQuery(Bytes("delete from t\0 junk", 19)), "delete from t", 1},
        {"cut to the capture", MYSQL, cut(mysqlQuery("SELECT id FROM t1"), 5 + 11), "SELECT id F", -1},
        {"no keyword", MYSQL, mysqlQuery("SET NAMES utf8"), "old", -1}, {"no payload", MYSQL, {}, "old", -1},
        {"cut at 1021", MYSQL, mysqlQuery("select " + longName + " from t"), "select " + Bytes(1014, 'c'), 1},
        {"Oracle data packet", MYSQL, tnsData("\x11\x69\x05select ename from emp"), "select ename from emp", 1},
        {"UTF-16 batch", TDS, tdsBatch("SELECT name FROM \"dbo\".t1"), "SELECT name FROM \"dbo\".t1", 1},
        {"batch no partner", TDS, tdsBatch("insert t values (1)"), "insert t values (1)", -1},
        // MySQL error numbers above 1000 and SQL Server user errors (above 20000) are reported as 0.
        {"MySQL 1000 kept", MY_ERR, mysqlError(1000, "hashchk"), "hashchk", 1000},
        {"MySQL 7 bytes: code only", MY_ERR, cut(mysqlError(900, "x"), 7), "old", 900},
        {"MySQL 13 bytes: no text", MY_ERR, cut(e1064, 13), "", 0}, {"MySQL 6 bytes", MY_ERR, cut(e1064, 6), "old", -1},
        {"MySQL text cut to capture", MY_ERR, cut(e1064, 16), "You", 0},
        {"MySQL OK packet", MY_ERR, mysqlPacket(1, Bytes("\x00\x01\x00\x02\x00", 5)), "old", -1},
        {"MySQL long text", MY_ERR, mysqlError(1105, Bytes(300, 'm')), Bytes(120, 'm'), 0},
        {"Oracle error", ORA_ERR, tnsData("\x04\x01\x02\x03ORA-00942: table or view does not exist\n"),
         "table or view does not exist", 942},
        {"Oracle text cut to 32", ORA_ERR, tnsData("ORA-01017: invalid username/password; logon denied\n"),
         "invalid username/password; logo", 1017},
        {"Oracle ORA- at the frame end", ORA_ERR, tnsData("xxORA-0"), "", 0},
        {"Oracle no error", ORA_ERR, tnsData("\x10\x17no rows"), "old", -1},
        {"SQL Server error", TDS_ERR, e208, "Invalid object name 'dbo.t9'.", 208},
        {"SQL Server user error", TDS_ERR, tdsError(50000, utf16("custom")), "custom", 0},
        {"SQL Server non-ASCII mended", TDS_ERR, tdsError(2627, Bytes("U\0n\0g\0\xFC\0l\0\x3D\xD8\x00\xDE!\0", 16)),
         "Ung?l?!", 2627},
        {"SQL Server text cut to capture", TDS_ERR, cut(e208, 19 + 2 * 5), "Inval", 208},
        {"SQL Server header only", TDS_ERR, cut(e208, 15), "", 208},
        {"SQL Server long text", TDS_ERR, tdsError(8152, utf16(Bytes(300, 'm'))), Bytes(120, 'm'), 8152},
        {"SQL Server other token", TDS_ERR, tdsPacket(0x04, "\x81" + Bytes(20, '\x01')), "old", -1},
        // An Oracle login (the plain one in DbTransaction): names over 30 characters are ignored.
        {"30 characters", LOGIN, tnsConnect(connectData(user30)), user30, 1},
        {"31 characters", LOGIN, tnsConnect(connectData(user30 + "u")), "old", 1},
        {"no closing parenthesis in the frame", LOGIN, tnsConnect("(USER=dbuser"), "old", 1},
        {"no USER=", LOGIN, tnsConnect("(DESCRIPTION=(CONNECT_DATA=(SID=orcl)))"), "old", 0},
        {"USER= before offset 58", LOGIN, Bytes("(USER=a)") + Bytes(51, ' '), "old", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(parseDb(c.parser, c.payload), std::pair(c.text, c.number)) << c.what;
}

// Per protocol: login (Oracle's names user and database), a complete statement, an incomplete one, the next, one more.
TEST(DbTransaction, StatementsCloseTransactions)
{
    struct Case { int type; Bytes (*statement)(const Bytes&); const char* user; };
    for (const Case& c : {Case {2, tnsData, "scott"}, {3, mysqlQuery, ""}, {4, tdsBatch, ""}}) {
        SCOPED_TRACE(c.type);
        NetSessionT s {}, copy {};
        s.type = c.type;
        auto request = [&](const Bytes& payload, const timeval& ts) {
            const Payload f(payload);
            processDbReq(&s, 0, c.type, ts, f.data(), f.len(), &copy);
        };
        if (c.type == 2) request(tnsConnect(connectData(c.user)), {1000, 0});
        EXPECT_STREQ(s.busi.db.sql, "") << "a login is no statement";
        request(c.statement("SELECT id FROM t1"), {1000, 900000});
        s.resp = 1, s.bytes = 900, s.busi.db.endTime = {1001, 150000};  // as the dispatcher does on responses
        request(c.statement("commit"), {1001, 150000});
        EXPECT_EQ(copy.valid, 0);
        request(c.statement("select 1"), {1001, 200000});
        ASSERT_EQ(copy.valid, 1);
        const DbSessionT& d = copy.busi.db;
        EXPECT_EQ(std::tuple(Bytes(d.sql), d.response, d.user + "@"s + d.dbname),
                  std::tuple("SELECT id FROM t1", 250000, c.user + "@"s + (c.type == 2 ? "orcl" : "")));
        EXPECT_EQ(std::tuple(Bytes(s.busi.db.sql), s.busi.db.real, s.resp, s.bytes), std::tuple("select 1", 0, 0, 0));
        // The incomplete statement is replaced without a report; the user stays.
        copy.valid = 0, request(c.statement("delete from t1"), {1002, 0});
        EXPECT_EQ(std::tuple(copy.valid, Bytes(s.busi.db.sql), Bytes(s.busi.db.user)),
                  std::tuple(0, "delete from t1", c.user));
    }
}

using Frames = std::vector<std::pair<int, Bytes>>;
// The transactions that frames (direction, payload) close in a new session of type, fed as the session step does,
// then the session itself.
std::vector<NetSessionT> feed(int type, const Frames& frames)
{
    std::vector<NetSessionT> out(1);
    out[0].valid = 1, out[0].type = type;
    for (const auto& [dir, payload] : frames) {
        const Payload f(payload);
        NetSessionT one {};
        const int prev = std::exchange(out[0].lastDirection, dir);  // as the session step leaves it
        const timeval ts {1700000000, int(out.size() - 1) * 1000};
        processBusiness(&out[0], 0, type, dir, ts, f.data(), f.len(), &one, prev);
        if (one.valid) out.push_back(one);
    }
    std::rotate(out.begin(), out.begin() + 1, out.end());
    return out;
}

// A statement's record carries the answer to it alone: neither an earlier statement's error
// nor the error answering a later request that holds no statement.
TEST(DbTransaction, EachStatementKeepsItsOwnResult)
{
    const Bytes ok = mysqlPacket(1, Bytes("\x00\x01\x00\x02\x00", 5));
    const Frames frames = {
        {1, mysqlQuery("SELECT a FROM t9")}, {2, mysqlError(1000, "no t9")},
        {1, mysqlQuery("UPDATE t1 SET a = 1")}, {2, ok},
        {1, mysqlQuery("SET NAMES nosuch")}, {2, mysqlError(999, "unknown set")},
        {1, mysqlQuery("DELETE FROM t1")}, {2, mysqlError(900, "locked")}, {1, mysqlQuery("SELECT b FROM t1")},
    };
    using Result = std::tuple<Bytes, int, Bytes>;
    std::vector<Result> got;
    for (const NetSessionT& s : feed(3, frames)) got.emplace_back(s.busi.db.sql, s.busi.db.retcode, s.busi.db.errMess);
    EXPECT_EQ(got, (std::vector<Result> {{"SELECT a FROM t9", 1000, "no t9"}, {"UPDATE t1 SET a = 1", 0, ""},
                                         {"DELETE FROM t1", 900, "locked"}, {"SELECT b FROM t1", 0, ""}}));
}

// MySQL logins: 4.1 (capabilities 0x8 schema, 0x200 4.1, 0x8000 counted password answer, 0x200000 length-encoded
// one) with MariaDB's capabilities in the last 4 of the 23 reserved bytes, and the older form.
Bytes myLogin41(u32 caps, const Bytes& user, const Bytes& answer, const Bytes& db)
{
    Bytes body = le32(caps | 0x200) + le32(1 << 24) + '\x2d' + Bytes(19, '\0') + le32(0x1C) + user + '\0';
    body += (caps & 0x208000 ? Bytes(1, char(answer.size())) + answer : answer + '\0') + db;
    return mysqlPacket(1, body + Bytes("mysql_native_password\0", 22));
}
Bytes myLogin320(unsigned caps, const Bytes& rest) { return mysqlPacket(1, le16(caps) + "\xff\xff\xff" + rest); }
// TDS Login7: a 94-byte fixed part, then host, user, password, application, server and database texts.
Bytes tdsLogin7(const Bytes& user, const Bytes& db, unsigned userOff = 0, unsigned passOff = 0)
{
    const Bytes texts[] = {utf16("ws1"), user, utf16("secret"), utf16("app"), utf16("srv"), "", "", "", db};
    Bytes fixed = le32(0) + le32(0x74000004) + le32(4096) + Bytes(24, '\0'), data;
    for (int k = 0; k < 9; ++k) {
        fixed += le16(k == 1 && userOff ? userOff : k == 2 && passOff ? passOff : 94 + unsigned(data.size()));
        fixed += le16(unsigned(texts[k].size() / 2)), data += texts[k];
    }
    return tdsPacket(0x10, fixed + Bytes(22, '\0') + data);
}
// ENVCHANGE of type 1 (database) or 2 (language): the new name, then an empty old one.
Bytes envChange(int type, const Bytes& name)
{
    return "\xE3" + le16(unsigned(name.size() + 3)) + char(type) + char(name.size() / 2) + name + '\0';
}
Bytes tdsInfo() { return "\xAB" + le16(6) + le32(5701) + "\0\0"s; }

// Readers of user and database; "user|dbname" from "old" (a request's schema as dbname), and the result.
using LoginReader = int (*)(char*, char*, const u8*, int);
constexpr LoginReader MY_LOGIN = getMysqlLogin, TDS_LOGIN = getSqlServerUser;
constexpr LoginReader MY_SCHEMA = [](char*, char* d, const u8* p, int n) { return getMysqlSchemaRequest(d, p, n); };
constexpr LoginReader TDS_ENV = [](char*, char* d, const u8* p, int n) { return getSqlServerDbChange(d, p, n); };
constexpr LoginReader ORA_DB = [](char*, char* d, const u8* p, int n) { return getOracleDb(d, p, n); };

TEST(DbParse, LoginsAndDatabaseChanges)
{
    const Bytes scramble("\x01\x00\x3b\x00\x7f", 5), e9 = "\xC3\xA9", login7 = tdsLogin7(utf16("sa"), utf16("shop"));
    Bytes e9x16;
    for (int k = 0; k < 16; ++k) e9x16 += e9;
    struct Case { const char* what; LoginReader read; Bytes payload, want; int found; };
    const Case cases[] = {
        {"4.1 length-encoded answer", MY_LOGIN, myLogin41(0x200008, "app", scramble, "shop\0"s), "app|shop", 1},
        {"4.1 counted answer, no schema flag", MY_LOGIN, myLogin41(0x8000, "app", scramble, ""), "app|old", 1},
        {"4.1 schema cut by the capture", MY_LOGIN, cut(myLogin41(0x8008, "app", "", "shop\0"s), 42), "app|old", 1},
        {"Latin-1, UTF-8", MY_LOGIN, myLogin41(0x8008, "J\xFCrg", "", e9 + "t\0"s), "J\xC3\xBCrg|" + e9 + "t", 1},
        {"TLS request", MY_LOGIN, cut(myLogin41(0x8, "", "", ""), 36), "old|old", 0},
        {"reserved bytes set", MY_LOGIN, mysqlPacket(1, le32(0x200) + Bytes(28, '\x01') + "u\0"s), "old|old", 0},
        {"3.20 with schema", MY_LOGIN, myLogin320(0x8, "root\0abcdefgh\0test\0"s), "root|test", 1},
        {"USE, blanks and semicolon", MY_SCHEMA, mysqlQuery(" use\tshop ;"), "old|shop", 1},
        {"USE quoted", MY_SCHEMA, mysqlQuery("USE `my``db`"), "old|my`db", 1},
        {"schema cut to the field", MY_SCHEMA, mysqlPacket(0, "\x02" + e9x16), "old|" + e9x16.substr(0, 30), 1},
        {"USER", MY_SCHEMA, mysqlQuery("USER x"), "old|old", 0},
        {"no database", TDS_LOGIN, tdsLogin7(utf16("sa"), ""), "sa|old", 1},
        {"password offset off the packet", TDS_LOGIN, tdsLogin7(utf16("sa"), utf16("db"), 0, 0xFFFF), "sa|db", 1},
        {"user offset off the packet", TDS_LOGIN, tdsLogin7(utf16("sa"), utf16("db"), 0xFFF0), "old|db", 1},
        {"database one byte short", TDS_LOGIN, cut(login7, login7.size() - 1), "sa|old", 1},
        {"fixed part short", TDS_LOGIN, cut(login7, 79), "old|old", 0},
        {"surrogate pair, lone surrogate", TDS_LOGIN, tdsLogin7("\x3D\xD8\x00\xDE"s, "\x00\xDC" "a\0"s),
         "\xF0\x9F\x98\x80|\xEF\xBF\xBD" "a", 1},
        {"login answer", TDS_ENV, tdsPacket(4, envChange(1, utf16("master")) + tdsInfo() + envChange(2, utf16("us"))),
         "old|master", 1},
        {"past an error", TDS_ENV, tdsPacket(4, "\xAA" + le16(4) + le32(911) + envChange(1, utf16("x"))), "old|x", 1},
        {"name past the token", TDS_ENV, tdsPacket(4, "\xE3\x03\x00\x01\x05" + utf16("ab")), "old|old", 0},
        {"SERVICE_NAME", ORA_DB, tnsConnect("(CONNECT_DATA=(SERVICE_NAME=orclpdb1)(CID=(USER=u)))"), "old|orclpdb1", 1},
        {"SID, case and blanks", ORA_DB, tnsConnect("(CONNECT_DATA=( sid = ORCL )(CID=(PROGRAM=x)))"), "old|ORCL", 1},
        {"CID is no SID", ORA_DB, tnsConnect("(CID=(USER=u)))"), "old|old", 0},
        {"cut short", ORA_DB, tnsConnect("(SERVICE_NAME=orclp"), "old|old", 0},
        {"long name cut", ORA_DB, tnsConnect("(SERVICE_NAME=" + Bytes(40, 's') + ")"), "old|" + Bytes(31, 's'), 1},
    };
    for (const Case& c : cases) {
        const Payload f(c.payload);
        char user[32] = "old", db[32] = "old";
        const int found = c.read(user, db, f.data(), f.len());
        EXPECT_EQ(std::pair(user + "|"s + db, found), std::pair(c.want, c.found)) << c.what;
    }
}

// A change of database holds once the server takes it, from the next statement on; one waits at a time, and only
// the answer right after the request takes it. The dbname of each closed statement, then the session's.
TEST(DbTransaction, DatabaseChangesTakeEffectOnceTaken)
{
    const Bytes ok = mysqlPacket(1, Bytes("\x00\x00\x00\x02\x00\x00\x00", 7)), shop = envChange(1, utf16("shop"));
    const auto q = mysqlQuery, batch = tdsBatch;
    const Frames mysql = {{1, q("USE a")}, {2, ok}, {1, q("USE nosuch")}, {2, mysqlError(1049, "Unknown")},
                          {1, q("USE c")}, {1, q("SELECT b FROM t")}, {2, ok}, {1, q("select 1")}};
    const Frames tds = {{1, tdsLogin7(utf16("sa"), "")}, {2, tdsPacket(4, shop)}, {1, batch("SELECT a FROM t")},
                        {1, batch("USE x")}, {2, tdsPacket(4, "\x81" + shop)}, {1, batch("USE m")},
                        {2, tdsPacket(4, envChange(1, utf16("m")) + tdsInfo())}, {1, batch("select 1")}};
    for (const auto& [type, frames, want] : {std::tuple(3, mysql, "a,a"), std::tuple(4, tds, "shop,m")}) {
        Bytes got;
        for (const NetSessionT& s : feed(type, frames)) got += Bytes(got.empty() ? "" : ",") + s.busi.db.dbname;
        EXPECT_EQ(got, want) << type;
    }
}

}  // namespace
