// Statement, error and login parsing of the three database protocols, on
// frames laid out as each protocol puts them on the wire.
#include "analysis/db.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::string;

Bytes le16(unsigned v) { return {char(v & 0xFF), char(v >> 8 & 0xFF)}; }
Bytes be16(unsigned v) { return {char(v >> 8 & 0xFF), char(v & 0xFF)}; }
Bytes le32(unsigned v) { return le16(v & 0xFFFF) + le16(v >> 16); }
Bytes cut(const Bytes& b, std::size_t n) { return b.substr(0, n); }

// A frame in a buffer of exactly its length, so that the sanitizers see any
// read past the captured bytes.
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
    return Bytes {char(type), '\x01'} + be16(unsigned(8 + body.size())) + be16(0x34) + "\x01" + '\0' + body;
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

TEST(DbStatement, TextAndCompleteness)
{
    const Bytes longName(1500, 'c');
    // type 3 reads with getStrSql, 4 with getSqlserverSql; sql nullptr: 1021 bytes
    struct Case { const char* what; int type; Bytes payload; const char* sql; int real; };
    const Case cases[] = {
        {"plain query", 3, mysqlQuery("SELECT id FROM t1"), "SELECT id FROM t1", 1},
        {"keyword without partner", 3, mysqlQuery("DROP TABLE t1  "), "DROP TABLE t1", 0},
        {"list order beats position", 3, mysqlQuery("insert into t2 select a from t3"), "select a from t3", 1},
        {"line breaks and tabs", 3, mysqlQuery("SELECT a,\r\n\tb\r\n\tFROM\tt1\t WHERE x = 1"),
         "SELECT a, b FROM t1 WHERE x = 1", 1},
        {"double quote", 3, mysqlQuery("select \"x\" from t"), "select 'x' from t", 1},
        {"non-ASCII bytes dropped", 3, mysqlQuery("select 'caf\xC3\xA9' from t"), "select 'caf' from t", 1},
        {"zero byte ends it", 3, mysqlQuery(Bytes("delete from t\0 junk", 19)), "delete from t", 1},
        {"cut to the capture", 3, cut(mysqlQuery("SELECT id FROM t1"), 5 + 11), "SELECT id F", 0},
        {"no keyword", 3, mysqlQuery("SET NAMES utf8"), "old", 0},
        {"cut at 1021", 3, mysqlQuery("select " + longName + " from t"), nullptr, 1},
        {"Oracle data packet", 3, tnsData("\x11\x69\x05select ename from emp"), "select ename from emp", 1},
        {"UTF-16 batch", 4, tdsBatch("SELECT name FROM \"dbo\".t1"), "SELECT name FROM \"dbo\".t1", 1},
        {"batch line breaks", 4, tdsBatch("update t set a = 1\r\n\t where b = 2"), "update t set a = 1 where b = 2", 1},
        {"batch drop not known", 4, tdsBatch("DROP TABLE t1"), "old", 0},
        {"batch no partner", 4, tdsBatch("insert t values (1)"), "insert t values (1)", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        char sql[1024] = "old";
        int real = 0;
        const std::vector<u8> f = exact(c.payload);
        (c.type == 3 ? getStrSql : getSqlserverSql)(sql, f.data(), int(f.size()), &real);
        EXPECT_EQ(std::string(sql), c.sql != nullptr ? c.sql : "select " + longName.substr(0, 1014));
        EXPECT_EQ(real, c.real);
    }
    char sql[1024] = "old";
    int real = 0;
    getStrSql(sql, nullptr, 0, &real);
    getSqlserverSql(sql, nullptr, 0, &real);
    EXPECT_STREQ(sql, "old");
}

TEST(DbError, CodeAndTextOfResponses)
{
    const Bytes e1064 = mysqlError(1064, "You have an error in your SQL syntax");
    const Bytes e208 = tdsError(208, utf16("Invalid object name 'dbo.t9'."));
    // mess nullptr: 120 'm' (a longer text cut to the field)
    struct Case { const char* what; decltype(&getMysqlCode) parse; Bytes payload; int code; const char* mess; };
    const Case cases[] = {
        {"MySQL number above 1000", getMysqlCode, e1064, 0, "You have an error in your SQL syntax"},
        {"MySQL 1000 kept", getMysqlCode, mysqlError(1000, "hashchk"), 1000, "hashchk"},
        {"MySQL 7 bytes: code only", getMysqlCode, cut(mysqlError(900, "x"), 7), 900, "old"},
        {"MySQL 13 bytes: empty text", getMysqlCode, cut(e1064, 13), 0, ""},
        {"MySQL text cut to capture", getMysqlCode, cut(e1064, 16), 0, "You"},
        {"MySQL 6 bytes", getMysqlCode, cut(e1064, 6), -1, "old"},
        {"MySQL OK packet", getMysqlCode, mysqlPacket(1, Bytes("\x00\x01\x00\x02\x00", 5)), -1, "old"},
        {"MySQL long text", getMysqlCode, mysqlError(1105, Bytes(300, 'm')), 0, nullptr},
        {"Oracle error", getOracleCode, tnsData("\x04\x01\x02\x03ORA-00942: table or view does not exist\n"), 942,
         "table or view does not exist"},
        {"Oracle text cut to 32", getOracleCode, tnsData("ORA-01017: invalid username/password; logon denied\n"), 1017,
         "invalid username/password; logo"},
        {"Oracle ORA- at the frame end", getOracleCode, tnsData("xxORA-0"), 0, ""},
        {"Oracle no error", getOracleCode, tnsData("\x10\x17no rows"), -1, "old"},
        {"SQL Server error", getSqlserverCode, e208, 208, "Invalid object name 'dbo.t9'."},
        {"SQL Server user error", getSqlserverCode, tdsError(50000, utf16("custom")), 0, "custom"},
        {"SQL Server non-ASCII mended", getSqlserverCode,
         tdsError(2627, Bytes("U\0n\0g\0\xFC\0l\0\x3D\xD8\x00\xDE!\0", 16)), 2627, "Ung?l?!"},
        {"SQL Server text cut to capture", getSqlserverCode, cut(e208, 19 + 2 * 5), 208, "Inval"},
        {"SQL Server header only", getSqlserverCode, cut(e208, 15), 208, ""},
        {"SQL Server long text", getSqlserverCode, tdsError(8152, utf16(Bytes(300, 'm'))), 8152, nullptr},
        {"SQL Server other token", getSqlserverCode, tdsPacket(0x04, "\x81" + Bytes(20, '\x01')), -1, "old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int code = -1;
        char mess[128] = "old";
        std::memset(mess + 4, '#', sizeof mess - 5);  // a guard, to see writes past the text
        const std::vector<u8> f = exact(c.payload);
        c.parse(&code, mess, f.data(), int(f.size()));
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(Bytes(mess), c.mess != nullptr ? c.mess : Bytes(120, 'm'));
    }
}

TEST(DbLogin, OracleUserFromConnectRequest)
{
    const Bytes user30(30, 'u');
    struct Case { const char* what; Bytes payload; int result; const char* user; };
    const Case cases[] = {
        {"connect request", tnsConnect(connectData("dbuser")), 1, "dbuser"},
        {"30 characters", tnsConnect(connectData(user30)), 1, user30.c_str()},
        {"31 characters", tnsConnect(connectData(user30 + "u")), 1, "old"},
        {"no closing parenthesis in the frame", tnsConnect("(USER=dbuser"), 1, "old"},
        {"no USER=", tnsConnect("(DESCRIPTION=(CONNECT_DATA=(SID=orcl)))"), 0, "old"},
        {"USER= before offset 58", Bytes("(USER=a)") + Bytes(51, ' '), 0, "old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        char user[32] = "old";
        const std::vector<u8> f = exact(c.payload);
        EXPECT_EQ(getOracleUser(user, f.data(), int(f.size())), c.result);
        EXPECT_STREQ(user, c.user);
    }
}

// A session through the life cycle, per protocol: login, a complete
// statement, an incomplete one, the next statement, and one more.
TEST(DbTransaction, StatementsCloseTransactions)
{
    struct Case { int type; Bytes (*statement)(const Bytes&); const char* user; };
    const Case cases[] = {{2, tnsData, "scott"}, {3, mysqlQuery, ""}, {4, tdsBatch, ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        NetSessionT s {}, copy {};
        s.type = c.type;
        auto request = [&](const Bytes& payload, const timeval& ts) {
            const std::vector<u8> f = exact(payload);
            processDbReq(&s, 0, c.type, ts, f.data(), int(f.size()), &copy);
        };
        const timeval t0 {1000, 900000}, t1 {1001, 150000}, t2 {1001, 200000}, t3 {1002, 0};
        if (c.type == 2) {
            request(tnsConnect(connectData(c.user)), t0);
            EXPECT_STREQ(s.busi.db.sql, "");  // a login is no statement
        }
        request(c.statement("SELECT id FROM t1"), t0);
        EXPECT_EQ(s.busi.db.real, 1);
        // What the dispatcher does with the response frames.
        s.resp = 1;
        s.bytes = 900;
        s.busi.db.endTime = t1;
        request(c.statement("commit"), t1);
        EXPECT_EQ(copy.valid, 0);
        EXPECT_STREQ(s.busi.db.sql, "SELECT id FROM t1");

        request(c.statement("select 1"), t2);
        ASSERT_EQ(copy.valid, 1);
        EXPECT_STREQ(copy.busi.db.sql, "SELECT id FROM t1");
        EXPECT_EQ(copy.busi.db.response, 250000);
        EXPECT_STREQ(copy.busi.db.user, c.user);
        EXPECT_STREQ(s.busi.db.sql, "select 1");
        EXPECT_EQ(s.busi.db.real + s.resp + s.bytes, 0);
        EXPECT_EQ(std::pair(s.busi.db.beginTime.tv_sec, s.busi.db.beginTime.tv_usec), std::pair(t2.tv_sec, t2.tv_usec));

        // The incomplete statement is replaced without a report; the user stays.
        copy.valid = 0;
        request(c.statement("delete from t1"), t3);
        EXPECT_EQ(copy.valid, 0);
        EXPECT_STREQ(s.busi.db.sql, "delete from t1");
        EXPECT_STREQ(s.busi.db.user, c.user);
    }
}

}  // namespace
