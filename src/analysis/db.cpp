// Database transaction analysis: statement text, error code and text, and
// the Oracle login user, read from bounded payload views into fixed buffers.
#include "analysis/db.h"

#include <cstdlib>
#include <cstring>
#include <iterator>

#include "analysis/db_login.h"
#include "analysis/session.h"
#include "core/sql_text.h"
#include "core/util.h"
#include "decode/frame_view.h"

namespace {

constexpr int DB_ORACLE = 2;
constexpr int DB_MYSQL = 3;
constexpr int DB_SQLSERVER = 4;

constexpr int SQL_SIZE = 1024;        // DbSessionT::sql
constexpr int SQL_MAX_CHARS = 1021;   // statement characters copied out
constexpr int WORK_SIZE = 2040;       // bytes of a frame searched for keywords
constexpr int TDS_WORK_SIZE = 2041;   // non-zero bytes of a SQL Server frame
constexpr int ORA_MESS_MAX = 32;
constexpr int ERR_MESS_MAX = 120;     // of DbSessionT::errMess (128)
constexpr int USER_LOOK = 31;         // user name characters looked at for ')'

// Leading keywords in the order they are tried (the order, not the position in
// the text, decides), with the keyword that makes the statement complete.
struct KeywordT {
    const char* word;
    const char* partner;
};
constexpr KeywordT SQL_KEYWORDS[] = {{"select", "from"}, {"insert", "into"}, {"update", "set"},
                                     {"delete", "from"}, {"create", nullptr}, {"analyze", nullptr},
                                     {"drop", nullptr},   {"alter", nullptr}};
// SQL Server statements are not recognised by "drop" and "alter".
constexpr int TDS_KEYWORDS = 6;

// DbSessionT::askedState: a change of database asked for, or taken.
constexpr int DB_ASKED = 1;
constexpr int DB_TAKEN = 2;

// A change of database the server took holds from the next statement on.
void takeAskedDb(DbSessionT& db)
{
    if (db.askedState != DB_TAKEN) return;
    std::memcpy(db.dbname, db.askedDb, sizeof db.dbname);
    db.askedState = 0;
}

// Control bytes and, as signed characters, every byte from 0x80 on.
bool isControl(u8 b) { return static_cast<signed char>(b) <= 0x1F; }

// Copies up to WORK_SIZE bytes into work (WORK_SIZE + 1 bytes), control bytes
// blanked, so the text can be searched as one string.
int blankedCopy(char* work, const FrameView& v)
{
    int n = v.size() < WORK_SIZE ? static_cast<int>(v.size()) : WORK_SIZE;
    for (int i = 0; i < n; ++i) {
        u8 b = v.u8(i);
        work[i] = isControl(b) ? ' ' : static_cast<char>(b);
    }
    work[n] = '\0';
    return n;
}

// The first keyword of the list found anywhere in lower; its position, or
// nullptr. *complete tells whether its partner occurs anywhere in lower.
const char* findKeyword(const char* lower, int count, bool* complete)
{
    for (int k = 0; k < count; ++k) {
        const char* at = std::strstr(lower, SQL_KEYWORDS[k].word);
        if (at == nullptr) continue;
        const char* partner = SQL_KEYWORDS[k].partner;
        *complete = partner != nullptr && std::strstr(lower, partner) != nullptr;
        return at;
    }
    return nullptr;
}

}  // namespace

void getStrSql(char* sql, const u8* payload, int payloadLen, int* real)
{
    FrameView v = viewOf(payload, payloadLen);
    char work[WORK_SIZE + 1];
    blankedCopy(work, v);
    toLowerCase(work);
    bool complete = false;
    const char* atIndex = findKeyword(work, static_cast<int>(std::size(SQL_KEYWORDS)), &complete);
    if (atIndex == nullptr) return;
    if (complete) *real = 1;

    // Copied from the frame itself to keep the case.
    SqlTextT text;
    sqlTextStart(&text);
    const long at = static_cast<long>(atIndex - work);
    sqlTextAdd(&text, v.data() + at, static_cast<long>(v.size()) - at);
    sqlTextEnd(&text);
    std::memcpy(sql, text.text, text.len + 1u);
}

void getSqlserverSql(char* sql, const u8* payload, int payloadLen, int* real)
{
    FrameView v = viewOf(payload, payloadLen);
    // Dropping the zero bytes reads UTF-16LE text of ASCII characters as plain
    // text (and the header bytes as blanks).
    char text[TDS_WORK_SIZE + 1];
    char lower[TDS_WORK_SIZE + 1];
    int n = 0;
    for (std::size_t i = 0; i < v.size() && n < TDS_WORK_SIZE; ++i) {
        u8 b = v.u8(static_cast<long>(i));
        if (b == 0) continue;
        text[n++] = isControl(b) ? ' ' : static_cast<char>(b);
    }
    text[n] = '\0';
    std::memcpy(lower, text, static_cast<std::size_t>(n) + 1);
    toLowerCase(lower);

    bool complete = false;
    const char* at = findKeyword(lower, TDS_KEYWORDS, &complete);
    if (at == nullptr) return;
    if (complete) *real = 1;

    int out = 0;
    bool afterBlank = false;
    for (const char* p = text + (at - lower); *p != '\0' && out < SQL_MAX_CHARS; ++p) {
        bool blank = *p == ' ' || *p == '\r' || *p == '\n';
        if (blank && afterBlank) continue;
        afterBlank = blank;
        sql[out++] = *p;
    }
    sql[out] = '\0';
    trim(sql);
}

void getOracleCode(int* code, char* errMess, const u8* payload, int payloadLen)
{
    char work[WORK_SIZE + 1];
    int n = blankedCopy(work, viewOf(payload, payloadLen));
    const char* at = std::strstr(work, "ORA-");
    if (at != nullptr) {
        int pos = static_cast<int>(at - work);
        // "ORA-" and five digits, then a colon: the text follows from 10 on.
        char digits[6] = {};
        std::memcpy(digits, at + 4, static_cast<std::size_t>(n - pos - 4 < 5 ? n - pos - 4 : 5));
        *code = std::atoi(digits);
        int from = pos + 10;
        int len = from >= n ? 0 : (n - from < ORA_MESS_MAX ? n - from : ORA_MESS_MAX);
        if (len > 0) std::memcpy(errMess, work + from, static_cast<std::size_t>(len));
        errMess[len] = '\0';
    }
    trim(errMess);
}

void getMysqlCode(int* code, char* errMess, const u8* payload, int payloadLen)
{
    FrameView v = viewOf(payload, payloadLen);
    // An error packet: 3-byte length, sequence number, then 0xFF.
    if (v.size() <= 6 || v.u8(4) != 0xFF) return;
    int number = v.le16(5);
    *code = number > 1000 ? 0 : number;
    if (v.size() < 13) return;
    // The text follows '#' and the five-character SQL state.
    int avail = static_cast<int>(v.size() - 13);
    int limit = avail < ERR_MESS_MAX ? avail : ERR_MESS_MAX;
    int n = 0;
    while (n < limit && v.u8(13 + n) != 0) {
        errMess[n] = static_cast<char>(v.u8(13 + n));
        ++n;
    }
    errMess[n] = '\0';
}

void getSqlserverCode(int* code, char* errMess, const u8* payload, int payloadLen)
{
    FrameView v = viewOf(payload, payloadLen);
    // The first token behind the 8-byte packet header: ERROR (0xAA), its
    // length (2 bytes LE) and the error number (4 bytes LE).
    if (v.size() <= 14 || v.u8(8) != 0xAA) return;
    u32 number = v.u8(11) | static_cast<u32>(v.u8(12)) << 8 | static_cast<u32>(v.u8(13)) << 16 |
                 static_cast<u32>(v.u8(14)) << 24;
    *code = number > 20000 ? 0 : static_cast<int>(number);

    // After state and class comes the message: a character count (2 bytes
    // LE) at 17, then UTF-16LE characters from 19, all inside the token.
    std::size_t end = 11 + static_cast<std::size_t>(v.le16(9));
    if (end > v.size()) end = v.size();
    int count = v.has(17, 2) ? v.le16(17) : 0;
    int n = 0;
    for (int k = 0; k < count && n < ERR_MESS_MAX; ++k) {
        std::size_t off = 19 + 2 * static_cast<std::size_t>(k);
        if (off + 2 > end) break;
        unsigned unit = v.le16(static_cast<long>(off));
        if (unit == 0) break;
        // A surrogate pair is one character.
        if (unit >= 0xD800 && unit < 0xDC00 && k + 1 < count && off + 4 <= end) {
            unsigned next = v.le16(static_cast<long>(off + 2));
            if (next >= 0xDC00 && next < 0xE000) ++k;
        }
        errMess[n++] = unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    errMess[n] = '\0';
}

int getOracleUser(char* user, const u8* payload, int payloadLen)
{
    FrameView v = viewOf(payload, payloadLen);
    // The connect data of a connect request begins at offset 58 at the earliest.
    if (v.size() <= 58) return 0;
    static constexpr char key[] = "USER=";
    constexpr std::size_t keyLen = sizeof key - 1;
    const u8* data = v.data();
    const void* hit = memmem(data + 58, v.size() - 58, key, keyLen);
    if (hit == nullptr) return 0;
    std::size_t from = static_cast<std::size_t>(static_cast<const u8*>(hit) - data) + keyLen;
    // Names of more than 30 characters do not fit and are ignored.
    for (int k = 0; k < USER_LOOK && v.has(static_cast<long>(from) + k, 1); ++k) {
        if (v.u8(static_cast<long>(from) + k) != ')') continue;
        std::memcpy(user, data + from, static_cast<std::size_t>(k));
        user[k] = '\0';
        break;
    }
    return 1;
}

void processDbReq(NetSessionT* session, u32, int type, const timeval& ts, const u8* payload, int payloadLen,
                  NetSessionT* oneSession)
{
    DbSessionT& db = session->busi.db;
    // An Oracle connect request (TNS packet type 1) is a login, not a statement.
    if (type == DB_ORACLE && viewOf(payload, payloadLen).u8(4) == 1) {
        getOracleDb(db.dbname, payload, payloadLen);
        if (getOracleUser(db.user, payload, payloadLen) == 1) return;
    }
    if (type == DB_SQLSERVER && getSqlServerUser(db.user, db.dbname, payload, payloadLen) == 1) return;
    if (type == DB_MYSQL) {
        if (getMysqlLogin(db.user, db.dbname, payload, payloadLen) == 1) return;
        // Only the answer right after the request can take the schema.
        if (db.askedState == DB_ASKED) db.askedState = 0;
        char schema[sizeof db.askedDb];
        if (getMysqlSchemaRequest(schema, payload, payloadLen) == 1) {
            // One name waits at a time: a change already taken holds from now.
            takeAskedDb(db);
            std::memcpy(db.askedDb, schema, sizeof db.askedDb);
            db.askedState = DB_ASKED;
            return;
        }
    }

    char sql[SQL_SIZE] = {};
    int real = 0;
    if (type == DB_ORACLE || type == DB_MYSQL)
        getStrSql(sql, payload, payloadLen, &real);
    else if (type == DB_SQLSERVER)
        getSqlserverSql(sql, payload, payloadLen, &real);
    if (sql[0] == '\0') return;  // a continuation or no statement at all

    // Only a complete statement is reported; an incomplete one is replaced.
    if (db.real != 0) {
        db.response = timevalDiffUsec(db.endTime, db.beginTime);
        *oneSession = *session;
        oneSession->valid = 1;
    }
    // User and database name stay with the session (a change of database
    // taken since the last statement holds from this one); the result is the
    // new statement's own, none until its response says otherwise.
    resetSession(type, session);
    takeAskedDb(db);
    std::memset(db.sql, 0, sizeof db.sql);
    std::memcpy(db.sql, sql, strnlen(sql, sizeof db.sql - 1));
    db.retcode = 0;
    db.errMess[0] = '\0';
    session->resp = 0;
    db.real = real;
    db.beginTime = ts;
}

void processDbRes(NetSessionT* session, int type, const u8* payload, int payloadLen)
{
    DbSessionT& db = session->busi.db;
    if (type == DB_SQLSERVER) {
        if (getSqlServerDbChange(db.askedDb, payload, payloadLen) == 1) db.askedState = DB_TAKEN;
    } else if (type == DB_MYSQL && db.askedState == DB_ASKED) {
        // The schema changes only when the server takes it.
        db.askedState = isMysqlOk(payload, payloadLen) == 1 ? DB_TAKEN : 0;
    }
}
