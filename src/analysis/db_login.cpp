// Logins and database changes of the database protocols, read from bounded
// payload views. A name is built in a local buffer and written out only when
// the frame held it whole, so a cut frame leaves the session's name as it was.
#include "analysis/db_login.h"

#include <cstring>

#include "decode/frame_view.h"

namespace {

constexpr int NAME_SIZE = 32;  // DbSessionT::user and dbname

// MySQL capability flags of a login.
constexpr u32 CLIENT_CONNECT_WITH_DB = 0x8;
constexpr u32 CLIENT_PROTOCOL_41 = 0x200;
constexpr u32 CLIENT_SECURE_CONNECTION = 0x8000;
constexpr u32 CLIENT_PLUGIN_AUTH_LENENC_DATA = 0x200000;
constexpr u8 COM_INIT_DB = 0x02;
constexpr u8 COM_QUERY = 0x03;

constexpr long TDS_HEADER = 8;
constexpr u8 TDS_LOGIN7 = 0x10;
constexpr u8 TDS_RESPONSE = 0x04;
// Offsets in the Login7 message of the (offset, length) pairs of its texts.
constexpr long LOGIN7_USER = 40;
constexpr long LOGIN7_DATABASE = 68;
constexpr long LOGIN7_FIXED = 72;  // up to the database's pair

constexpr long ORACLE_CONNECT_DATA = 58;

// A name of at most NAME_SIZE - 1 bytes of UTF-8. A character that does not
// fit ends it, so that a cut never splits a character; so does a zero.
struct NameT {
    char text[NAME_SIZE];
    int len = 0;
    bool full = false;

    void put(u32 cp)
    {
        const int bytes = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        if (cp == 0 || len + bytes > NAME_SIZE - 1) {
            full = true;
            return;
        }
        static constexpr u8 LEAD[] = {0, 0, 0xC0, 0xE0, 0xF0};
        for (int k = bytes - 1; k > 0; --k) text[len + k] = static_cast<char>(0x80 | (cp & 0x3F)), cp >>= 6;
        text[len] = static_cast<char>(LEAD[bytes] | cp);
        len += bytes;
    }
    void storeIn(char* out) const
    {
        std::memcpy(out, text, static_cast<std::size_t>(len));
        out[len] = '\0';
    }
};

// Bytes as UTF-8 where they form it; any other byte is taken as Latin-1 (the
// other character set a client may well log in with).
void putBytes(NameT& name, const FrameView& v, long off, long len)
{
    for (long i = 0; i < len && !name.full;) {
        const u8 b = v.u8(off + i);
        const int extra = b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xF0 && b <= 0xF4 ? 3 : 0;
        u32 cp = b & (0x3F >> extra);
        bool ok = extra > 0 && i + extra < len;
        for (int k = 1; ok && k <= extra; ++k) {
            const u8 c = v.u8(off + i + k);
            ok = (c & 0xC0) == 0x80;
            cp = cp << 6 | (c & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are no UTF-8.
        if (ok && extra == 2) ok = cp >= 0x800 && (cp < 0xD800 || cp >= 0xE000);
        if (ok && extra == 3) ok = cp >= 0x10000 && cp <= 0x10FFFF;
        name.put(ok ? cp : b);
        i += ok ? extra + 1 : 1;
    }
}

// units UTF-16LE code units; a surrogate without its partner becomes U+FFFD.
void putUtf16(NameT& name, const FrameView& v, long off, long units)
{
    for (long k = 0; k < units && !name.full; ++k) {
        const u32 unit = v.le16(off + 2 * k);
        if (unit >= 0xD800 && unit < 0xDC00 && k + 1 < units) {
            const u32 low = v.le16(off + 2 * k + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                name.put(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++k;
                continue;
            }
        }
        name.put(unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit);
    }
}

bool isBlank(u8 b) { return b == ' ' || b == '\t' || b == '\r' || b == '\n'; }

long skipBlanks(const FrameView& v, long off, long end)
{
    while (off < end && isBlank(v.u8(off))) ++off;
    return off;
}

// Length of the zero-terminated text at off, or -1 when no zero comes before end.
long textLen(const FrameView& v, long off, long end)
{
    for (long i = off; i < end; ++i)
        if (v.u8(i) == 0) return i - off;
    return -1;
}

// Whether word (upper case) stands at off, in any case.
bool hasWord(const FrameView& v, long off, const char* word)
{
    for (long k = 0; word[k] != '\0'; ++k) {
        u8 b = v.u8(off + k);
        if (b >= 'a' && b <= 'z') b = static_cast<u8>(b - 'a' + 'A');
        if (b != static_cast<u8>(word[k])) return false;
    }
    return true;
}

// Length of the MySQL packet at the frame's start (3 bytes LE, behind them its
// sequence number).
long mysqlLength(const FrameView& v) { return v.u8(0) | v.u8(1) << 8 | v.u8(2) << 16; }

// Where the login's password answer ends; the answer itself is not read.
long skipAuthAnswer(const FrameView& v, long off, long end, u32 caps)
{
    if (caps & CLIENT_PLUGIN_AUTH_LENENC_DATA) {
        const u8 first = v.u8(off);
        if (first < 0xFB) return off + 1 + first;
        if (first == 0xFC) return off + 3 + v.le16(off + 1);
        if (first == 0xFD) return off + 4 + (v.le16(off + 1) | v.u8(off + 3) << 16);
        return end;  // eight-byte lengths do not fit a login packet
    }
    if (caps & CLIENT_SECURE_CONNECTION) return off + 1 + v.u8(off);
    const long n = textLen(v, off, end);
    return n < 0 ? end : off + n + 1;
}

}  // namespace

int getMysqlLogin(char* user, char* dbname, const u8* payload, int payloadLen)
{
    FrameView v = viewOf(payload, payloadLen);
    // The client's answer to the server's greeting is the packet numbered 1.
    if (!v.has(0, 6) || v.u8(3) != 1) return 0;
    const long size = static_cast<long>(v.size());
    const long end = 4 + mysqlLength(v) < size ? 4 + mysqlLength(v) : size;
    u32 caps = v.le16(4);
    long at;  // the user name
    if (caps & CLIENT_PROTOCOL_41) {
        // Capabilities, packet size, character set and 23 reserved bytes, of
        // which MariaDB uses the last four for capabilities of its own.
        caps = v.le32(4);
        if (end < 36) return 0;
        for (long i = 9; i < 28; ++i)
            if (v.u8(4 + i) != 0) return 0;
        at = 36;
    } else {
        // Two bytes of capabilities, three of packet size. The client sends
        // it alone: the packet fills the frame.
        if (4 + mysqlLength(v) != size) return 0;
        at = 9;
    }
    // A TLS request ends before the name: what follows is encrypted.
    const long userLen = textLen(v, at, end);
    if (userLen < 0) return 0;
    NameT name;
    putBytes(name, v, at, userLen);
    name.storeIn(user);

    if (!(caps & CLIENT_CONNECT_WITH_DB)) return 1;
    const long from = skipAuthAnswer(v, at + userLen + 1, end, caps);
    const long dbLen = from < end ? textLen(v, from, end) : -1;
    if (dbLen >= 0) {
        NameT db;
        putBytes(db, v, from, dbLen);
        db.storeIn(dbname);
    }
    return 1;
}

int getMysqlSchemaRequest(char* name, const u8* payload, int payloadLen)
{
    FrameView v = viewOf(payload, payloadLen);
    const long end = static_cast<long>(v.size());
    // A command: packet 0, sent alone.
    if (!v.has(0, 6) || v.u8(3) != 0 || 4 + mysqlLength(v) != end) return 0;
    NameT schema;
    if (v.u8(4) == COM_INIT_DB) {
        putBytes(schema, v, 5, end - 5);
    } else if (v.u8(4) == COM_QUERY) {
        long i = skipBlanks(v, 5, end);
        if (!hasWord(v, i, "USE") || !isBlank(v.u8(i + 3))) return 0;
        i = skipBlanks(v, i + 3, end);
        if (v.u8(i) == '`') {
            // A quoted name; a doubled backquote stands for one.
            long from = ++i;
            for (;; ++i) {
                if (i >= end) return 0;
                if (v.u8(i) != '`') continue;
                if (v.u8(i + 1) != '`') break;
                putBytes(schema, v, from, i + 1 - from);
                from = ++i + 1;
            }
            putBytes(schema, v, from, i - from);
            ++i;
        } else {
            const long from = i;
            while (i < end && !isBlank(v.u8(i)) && v.u8(i) != ';') ++i;
            putBytes(schema, v, from, i - from);
        }
        i = skipBlanks(v, i, end);
        if (i < end && v.u8(i) != ';') return 0;
    } else {
        return 0;
    }
    if (schema.len == 0) return 0;
    schema.storeIn(name);
    return 1;
}

int isMysqlOk(const u8* payload, int payloadLen)
{
    FrameView v = viewOf(payload, payloadLen);
    // Header, 0x00, two length-encoded numbers, status and warning count.
    return v.has(0, 5) && v.u8(4) == 0x00 && mysqlLength(v) >= 7 ? 1 : 0;
}

int getSqlServerUser(char* user, char* dbname, const u8* payload, int payloadLen)
{
    FrameView v = viewOf(payload, payloadLen);
    const long end = v.be16(2) < v.size() ? v.be16(2) : static_cast<long>(v.size());
    if (v.u8(0) != TDS_LOGIN7 || end < TDS_HEADER + LOGIN7_FIXED) return 0;
    // Each text by its offset (from the message start) and its length in
    // UTF-16 units; one that does not lie whole in the packet is left.
    auto text = [&](char* out, long pair) {
        const long off = TDS_HEADER + v.le16(TDS_HEADER + pair);
        const long units = v.le16(TDS_HEADER + pair + 2);
        if (units == 0 || off + 2 * units > end) return;
        NameT name;
        putUtf16(name, v, off, units);
        name.storeIn(out);
    };
    text(user, LOGIN7_USER);
    text(dbname, LOGIN7_DATABASE);
    return 1;
}

int getSqlServerDbChange(char* dbname, const u8* payload, int payloadLen)
{
    FrameView v = viewOf(payload, payloadLen);
    const long end = v.be16(2) < v.size() ? v.be16(2) : static_cast<long>(v.size());
    if (v.u8(0) != TDS_RESPONSE) return 0;
    int found = 0;
    // The tokens of the packet, up to the first whose length is not known
    // without its contents (column data and the like).
    for (long off = TDS_HEADER; off < end;) {
        const u8 token = v.u8(off);
        if (token == 0xE3 && v.u8(off + 3) == 1) {
            // ENVCHANGE of the database: new name (length in units, then
            // UTF-16LE), then the old one.
            const long tokenEnd = off + 3 + v.le16(off + 1) < end ? off + 3 + v.le16(off + 1) : end;
            const long units = v.u8(off + 4);
            if (units > 0 && off + 5 + 2 * units <= tokenEnd) {
                NameT name;
                putUtf16(name, v, off + 5, units);
                name.storeIn(dbname);
                found = 1;
            }
        }
        if (token == 0xE3 || token == 0xAA || token == 0xAB || token == 0xAD || token == 0xA9)
            off += 3 + v.le16(off + 1);  // ENVCHANGE, ERROR, INFO, LOGINACK, ORDER
        else if (token == 0xFD || token == 0xFE || token == 0xFF)
            off += 13;  // DONE and its kin
        else if (token == 0x79)
            off += 5;  // RETURNSTATUS
        else
            break;
    }
    return found;
}

int getOracleDb(char* dbname, const u8* payload, int payloadLen)
{
    FrameView v = viewOf(payload, payloadLen);
    const long end = static_cast<long>(v.size());
    // "(NAME = value)", the name in any case, blanks around the '='.
    for (long i = ORACLE_CONNECT_DATA; i < end; ++i) {
        if (v.u8(i) != '(') continue;
        const long at = skipBlanks(v, i + 1, end);
        const long nameLen = hasWord(v, at, "SERVICE_NAME") ? 12 : hasWord(v, at, "SID") ? 3 : 0;
        const long eq = skipBlanks(v, at + nameLen, end);
        if (nameLen == 0 || v.u8(eq) != '=') continue;
        const long from = skipBlanks(v, eq + 1, end);
        long to = from;
        while (to < end && v.u8(to) != ')') ++to;
        if (to >= end) return 0;  // cut short: the name may be too
        while (to > from && isBlank(v.u8(to - 1))) --to;
        if (to == from) continue;
        NameT name;
        putBytes(name, v, from, to - from);
        name.storeIn(dbname);
        return 1;
    }
    return 0;
}
