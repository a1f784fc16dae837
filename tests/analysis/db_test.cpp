// Statement, error and login parsing of the three database protocols, on
// frames laid out as each protocol puts them on the wire. Each frame sits in a
// buffer of exactly its length, so that the sanitizers see any read past it.
#include "analysis/db.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::string;

Bytes le16(unsigned v) { return {char(v & 0xFF), char(v >> 8 & 0xFF)}; }
Bytes be16(unsigned v) { return {char(v >> 8 & 0xFF), char(v & 0xFF)}; }
Bytes le32(unsigned v) { return le16(v & 0xFFFF) + le16(v >> 16); }
Bytes cut(const Bytes& b, std::size_t n) { return b.substr(0, n); }
std::vector<u8> exact(const Bytes& b) { return {b.begin(), b.end()}; }

// MySQL: 3-byte length, sequence number, body.
Bytes mysqlPacket(int seq, const Bytes& body) { return le16(body.size() & 0xFFFF) + '\0' + char(seq) + body; }
Bytes mysqlQuery(const Bytes& text) { return mysqlPacket(0, "\x03" + text); }
Bytes mysqlError(unsigned number, const Bytes& text) { return mysqlPacket(1, "\xFF" + le16(number) + "#HY000" + text); }

// TNS: length, checksum, packet type, reserved byte, header checksum.
Bytes tnsHeader(std::size_t total, int type) { return be16(unsigned(total)) + be16(0) + char(type) + '\0' + be16(0); }
Bytes tnsData(const Bytes& data) { return tnsHeader(10 + data.size(), 6) + be16(0) + data; }
// A connect request whose connect data starts at offset 58.
Bytes tnsConnect(const Bytes& connectData)
{
    Bytes body = be16(314) + be16(300) + be16(0) + be16(8192) + be16(65535) + be16(0x7F08) + be16(0) + be16(0x0100) +
                 be16(unsigned(connectData.size())) + be16(58);
    body.resize(58 - 8, '\0');
    return tnsHeader(58 + connectData.size(), 1) + body + connectData;
}
Bytes connectData(const Bytes& user) { return "(DESCRIPTION=(CONNECT_DATA=(SID=orcl)(CID=(USER=" + user + "))))"; }

Bytes utf16(const Bytes& ascii)
{
    Bytes out;
    for (char c : ascii) out += Bytes {c, '\0'};
    return out;
}
// TDS: type, status (end of message), length, SPID, packet id, window.
Bytes tdsPacket(int type, const Bytes& body)
{
    return Bytes {char(type), 1} + be16(unsigned(8 + body.size())) + be16(0x34) + "\x01" + '\0' + body;
}
// SQL batch: ALL_HEADERS with one transaction descriptor header, then text.
Bytes tdsBatch(const Bytes& text)
{
    return tdsPacket(0x01, le32(22) + le32(18) + le16(2) + Bytes(8, '\0') + le32(1) + utf16(text));
}
// ERROR token with message text given as UTF-16LE, then a DONE token.
Bytes tdsError(unsigned number, const Bytes& messUtf16)
{
    Bytes token = le32(number) + "\x01\x10" + le16(unsigned(messUtf16.size() / 2)) + messUtf16 + '\x03' +
                  utf16("db1") + '\0' + le32(1);
    return tdsPacket(0x04, "\xAA" + le16(unsigned(token.size())) + token + "\xFD" + Bytes(12, '\0'));
}

// A parser's text and number (real for a statement, code for an error) on one
// frame; both start as "old" and -1, a guard behind the text shows overwrites.
using Parse = std::pair<Bytes, int> (*)(const std::vector<u8>&);
template <void (*F)(char*, const u8*, int, int*)>
std::pair<Bytes, int> statement(const std::vector<u8>& f)
{
    char sql[1024] = "old";
    int real = -1;
    F(sql, f.data(), int(f.size()), &real);
    return {sql, real};
}
template <void (*F)(int*, char*, const u8*, int)>
std::pair<Bytes, int> error(const std::vector<u8>& f)
{
    int code = -1;
    char mess[128] = "old";
    std::memset(mess + 4, '#', sizeof mess - 5);
    F(&code, mess, f.data(), int(f.size()));
    return {mess, code};
}
std::pair<Bytes, int> login(const std::vector<u8>& f)
{
    char user[32] = "old";
    const int found = getOracleUser(user, f.data(), int(f.size()));
    return {user, found};
}

TEST(DbParse, StatementsErrorsAndLogins)
{
    const auto mysql = statement<getStrSql>, tds = statement<getSqlserverSql>;
    const auto myErr = error<getMysqlCode>, oraErr = error<getOracleCode>, tdsErr = error<getSqlserverCode>;
    const Bytes longName(1500, 'c'), user30(30, 'u'), e1064 = mysqlError(1064, "You have an error in your SQL syntax");
    const Bytes e208 = tdsError(208, utf16("Invalid object name 'dbo.t9'."));
    struct Case { const char* what; Parse parse; Bytes payload, text; int number; };
    const Case cases[] = {
        // A statement's number tells whether the leading keyword's partner is there.
        {"plain query", mysql, mysqlQuery("SELECT id FROM t1"), "SELECT id FROM t1", 1},
        {"keyword without partner", mysql, mysqlQuery("DROP TABLE t1  "), "DROP TABLE t1", -1},
        {"line breaks and tabs", mysql, mysqlQuery("SELECT a,\r\n\tb\r\n\tFROM\tt1\t WHERE x = 1"),
         "SELECT a, b FROM t1 WHERE x = 1", 1},
        {"zero byte ends it", mysql, mysqlQuery(Bytes("delete from t\0 junk", 19)), "delete from t", 1},
        {"cut to the capture", mysql, cut(mysqlQuery("SELECT id FROM t1"), 5 + 11), "SELECT id F", -1},
        {"no keyword", mysql, mysqlQuery("SET NAMES utf8"), "old", -1},
        {"cut at 1021", mysql, mysqlQuery("select " + longName + " from t"), "select " + Bytes(1014, 'c'), 1},
        {"no payload", mysql, {}, "old", -1},
        {"Oracle data packet", mysql, tnsData("\x11\x69\x05select ename from emp"), "select ename from emp", 1},
        {"UTF-16 batch", tds, tdsBatch("SELECT name FROM \"dbo\".t1"), "SELECT name FROM \"dbo\".t1", 1},
        {"batch no partner", tds, tdsBatch("insert t values (1)"), "insert t values (1)", -1},
        // MySQL error numbers above 1000 are reported as 0.
        {"MySQL error", myErr, e1064, "You have an error in your SQL syntax", 0},
        {"MySQL 1000 kept", myErr, mysqlError(1000, "hashchk"), "hashchk", 1000},
        {"MySQL 7 bytes: code only", myErr, cut(mysqlError(900, "x"), 7), "old", 900},
        {"MySQL 13 bytes: empty text", myErr, cut(e1064, 13), "", 0},
        {"MySQL text cut to capture", myErr, cut(e1064, 16), "You", 0},
        {"MySQL 6 bytes", myErr, cut(e1064, 6), "old", -1},
        {"MySQL OK packet", myErr, mysqlPacket(1, Bytes("\x00\x01\x00\x02\x00", 5)), "old", -1},
        {"MySQL long text", myErr, mysqlError(1105, Bytes(300, 'm')), Bytes(120, 'm'), 0},
        {"Oracle error", oraErr, tnsData("\x04\x01\x02\x03ORA-00942: table or view does not exist\n"),
         "table or view does not exist", 942},
        {"Oracle text cut to 32", oraErr, tnsData("ORA-01017: invalid username/password; logon denied\n"),
         "invalid username/password; logo", 1017},
        {"Oracle ORA- at the frame end", oraErr, tnsData("xxORA-0"), "", 0},
        {"Oracle no error", oraErr, tnsData("\x10\x17no rows"), "old", -1},
        // SQL Server user error numbers (above 20000) are reported as 0.
        {"SQL Server error", tdsErr, e208, "Invalid object name 'dbo.t9'.", 208},
        {"SQL Server user error", tdsErr, tdsError(50000, utf16("custom")), "custom", 0},
        {"SQL Server non-ASCII mended", tdsErr, tdsError(2627, Bytes("U\0n\0g\0\xFC\0l\0\x3D\xD8\x00\xDE!\0", 16)),
         "Ung?l?!", 2627},
        {"SQL Server text cut to capture", tdsErr, cut(e208, 19 + 2 * 5), "Inval", 208},
        {"SQL Server header only", tdsErr, cut(e208, 15), "", 208},
        {"SQL Server long text", tdsErr, tdsError(8152, utf16(Bytes(300, 'm'))), Bytes(120, 'm'), 8152},
        {"SQL Server other token", tdsErr, tdsPacket(0x04, "\x81" + Bytes(20, '\x01')), "old", -1},
        // An Oracle login: names of more than 30 characters are ignored.
        {"connect request", login, tnsConnect(connectData("dbuser")), "dbuser", 1},
        {"30 characters", login, tnsConnect(connectData(user30)), user30, 1},
        {"31 characters", login, tnsConnect(connectData(user30 + "u")), "old", 1},
        {"no closing parenthesis in the frame", login, tnsConnect("(USER=dbuser"), "old", 1},
        {"no USER=", login, tnsConnect("(DESCRIPTION=(CONNECT_DATA=(SID=orcl)))"), "old", 0},
        {"USER= before offset 58", login, Bytes("(USER=a)") + Bytes(51, ' '), "old", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(c.parse(exact(c.payload)), std::pair(c.text, c.number)) << c.what;
}

// A session through the life cycle, per protocol: login, a complete
// statement, an incomplete one, the next statement, and one more.
TEST(DbTransaction, StatementsCloseTransactions)
{
    struct Case { int type; Bytes (*statement)(const Bytes&); const char* user; };
    for (const Case& c : {Case {2, tnsData, "scott"}, {3, mysqlQuery, ""}, {4, tdsBatch, ""}}) {
        SCOPED_TRACE(c.type);
        NetSessionT s {}, copy {};
        s.type = c.type;
        auto request = [&](const Bytes& payload, const timeval& ts) {
            const std::vector<u8> f = exact(payload);
            processDbReq(&s, 0, c.type, ts, f.data(), int(f.size()), &copy);
        };
        if (c.type == 2) request(tnsConnect(connectData(c.user)), {1000, 0});
        EXPECT_STREQ(s.busi.db.sql, "") << "a login is no statement";
        request(c.statement("SELECT id FROM t1"), {1000, 900000});
        // What the dispatcher does with the response frames.
        s.resp = 1;
        s.bytes = 900;
        s.busi.db.endTime = {1001, 150000};
        request(c.statement("commit"), {1001, 150000});
        EXPECT_EQ(copy.valid, 0);

        request(c.statement("select 1"), {1001, 200000});
        ASSERT_EQ(copy.valid, 1);
        EXPECT_EQ(std::tuple(Bytes(copy.busi.db.sql), copy.busi.db.response, Bytes(copy.busi.db.user)),
                  std::tuple("SELECT id FROM t1", 250000, c.user));
        EXPECT_EQ(std::tuple(Bytes(s.busi.db.sql), s.busi.db.real, s.resp, s.bytes), std::tuple("select 1", 0, 0, 0));

        // The incomplete statement is replaced without a report; the user stays.
        copy.valid = 0;
        request(c.statement("delete from t1"), {1002, 0});
        EXPECT_EQ(std::tuple(copy.valid, Bytes(s.busi.db.sql), Bytes(s.busi.db.user)),
                  std::tuple(0, "delete from t1", c.user));
    }
}

}  // namespace
