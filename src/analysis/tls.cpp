// The TLS handshake reader. Three layers per direction, each fed the bytes of
// the one above it: records (5-byte headers, bodies cut by segments),
// handshake messages (4-byte headers, bodies cut by records), and the fields
// of the three messages read (ClientHello, ServerHello, Certificate). A field
// is read as "pass over skip bytes, gather want bytes, then handle them", so
// that only the bytes a result needs are kept.

// The plain MD5 context, not EVP's: the EVP context lives on the heap, this
// one fits the session's fixed-size state.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "analysis/tls.h"

#include <openssl/md5.h>

#include <algorithm>
#include <cstring>

#include "core/util.h"
#include "decode/frame_view.h"

static_assert(sizeof(MD5_CTX) <= TLS_MD5_STATE_SIZE, "MD5_CTX outgrows its room in TlsStateT");
static_assert(2 * MD5_DIGEST_LENGTH + 1 == TLS_HASH_SIZE, "a fingerprint is 32 hex digits");

namespace {

// What the gathered bytes of a direction are.
enum TlsStepE : u8 {
    WX_TLS_SKIP,  // the rest of the message is not read
    WX_TLS_CH_VERSION,
    WX_TLS_CH_SID_LEN,
    WX_TLS_CH_CIPHERS_LEN,
    WX_TLS_CH_CIPHERS,  // a run of the cipher suite list
    WX_TLS_CH_COMP_LEN,
    WX_TLS_SH_VERSION,
    WX_TLS_SH_SID_LEN,
    WX_TLS_SH_CIPHER,  // the cipher suite and the compression method
    WX_TLS_EXTS_LEN,
    WX_TLS_EXT_HDR,
    WX_TLS_EXT_BODY,
    WX_TLS_CERT_LEN,  // the list's length and the first certificate's
    WX_TLS_CERT_BODY,
    WX_TLS_DONE,  // read to the end of its extensions
    NUM_TLS_STEPS
};

// Longest record body: 2^14 plaintext bytes and the 2048 a cipher may add.
constexpr u32 MAX_RECORD = 16384 + 2048;

enum { CLIENT = 0, SERVER = 1 };

bool isGrease(u16 v) { return (v & 0x0f0f) == 0x0a0a && (v >> 8) == (v & 0xff); }

MD5_CTX* md5Of(TlsStateT* s) { return reinterpret_cast<MD5_CTX*>(s->md5); }

u8* gatherOf(TlsStateT* s, int dn) { return dn == CLIENT ? s->clientGather : s->serverGather; }

u32 be24(const FrameView& f, long off) { return static_cast<u32>(f.u8(off)) << 16 | f.be16(off + 1); }

// The fingerprint's text goes to MD5 a block at a time: a call per number
// cost more than the digest. hashLen bytes of it are waiting.
void hashFlush(TlsStateT* s)
{
    MD5_Update(md5Of(s), s->hashBuf, s->hashLen);
    s->hashLen = 0;
}

// A ',' between JA3 fields, when dn's message is the one hashed.
void hashComma(TlsStateT* s, int dn)
{
    if (s->hashDir != dn + 1) return;
    if (s->hashLen == TLS_HASH_BUFFER) hashFlush(s);
    s->hashBuf[s->hashLen++] = ',';
}

void hashStart(TlsStateT* s, int dn)
{
    MD5_Init(md5Of(s));
    s->hashLen = 0;
    s->hashDir = static_cast<u8>(dn + 1);
}

// A number of a JA3 list, '-' between the numbers of one list.
void hashNum(TlsStateT* s, int dn, u16 v)
{
    TlsDirT& d = s->dir[dn];
    if (s->hashDir != dn + 1) return;
    if (s->hashLen > TLS_HASH_BUFFER - 6) hashFlush(s);  // room for '-' and five digits
    char* out = s->hashBuf + s->hashLen;
    if (!d.listFirst) *out++ = '-';
    d.listFirst = 0;
    const int digits = decimalLength(v);
    decimalBefore(v, out + digits);
    s->hashLen = static_cast<u8>(out + digits - s->hashBuf);
}

// A JA3 field of one number, and the ',' after it.
void hashField(TlsStateT* s, int dn, u16 v)
{
    s->dir[dn].listFirst = 1;
    hashNum(s, dn, v);
    hashComma(s, dn);
    s->dir[dn].listFirst = 1;
}

void hashEnd(TlsStateT* s, char* out)
{
    unsigned char digest[MD5_DIGEST_LENGTH];
    hashFlush(s);
    MD5_Final(digest, md5Of(s));
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < MD5_DIGEST_LENGTH; i++) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 15];
    }
    out[2 * MD5_DIGEST_LENGTH] = '\0';
    s->hashDir = 0;
}

// Copies len bytes from off as text, cut to size; leaves out untouched when
// the bytes to copy are not all there.
void copyText(char* out, int size, const FrameView& f, long off, long len)
{
    const long n = std::min<long>(len, size - 1);
    if (n < 0 || !f.copy(off, out, n)) return;
    out[n] = '\0';
}

// Sets the next field: pass over skip bytes (and the rest of the previous
// field cut to the gather size), then gather want bytes, keeping what fits.
void expect(TlsStateT* s, int dn, u8 step, u32 skip, u32 want)
{
    TlsDirT& d = s->dir[dn];
    const u32 room = dn == CLIENT ? TLS_CLIENT_GATHER : TLS_SERVER_GATHER;
    d.step = step;
    d.skip = d.after + skip;
    d.want = static_cast<u16>(std::min(want, room));
    d.after = want - d.want;
    d.got = 0;
}

// The next extension header, or the end of the list.
void nextExt(TlsStateT* s, int dn, u32 skip)
{
    TlsDirT& d = s->dir[dn];
    if (d.listLeft >= 4) {
        d.listLeft -= 4;
        expect(s, dn, WX_TLS_EXT_HDR, skip, 4);
    } else {
        expect(s, dn, d.listLeft == 0 ? WX_TLS_DONE : WX_TLS_SKIP, skip, 0);
    }
}

// The next run of cipher suites (as many as the gather holds), or the end of the list.
void nextCipher(TlsStateT* s, int dn)
{
    TlsDirT& d = s->dir[dn];
    if (d.listLeft >= 2 && d.listLeft % 2 == 0) {
        const u16 run = std::min<u16>(d.listLeft, TLS_CLIENT_GATHER);
        d.listLeft = static_cast<u16>(d.listLeft - run);
        expect(s, dn, WX_TLS_CH_CIPHERS, 0, run);
    } else if (d.listLeft == 0) {
        hashComma(s, dn);
        d.listFirst = 1;
        expect(s, dn, WX_TLS_CH_COMP_LEN, 0, 1);
    } else {
        expect(s, dn, WX_TLS_SKIP, 0, 0);  // an odd length: no suite list
    }
}

// The first protocol of an ALPN extension body.
void firstAlpn(char* out, const FrameView& f)
{
    if (f.be16(0) >= 1 + f.u8(2)) copyText(out, TLS_ALPN_SIZE, f, 3, f.u8(2));
}

// An extension body the reader wants, gathered (cut to the gather size).
void readExt(TlsStateT* s, int dn, const FrameView& f)
{
    const TlsDirT& d = s->dir[dn];
    if (dn == SERVER) {
        if (d.extType == 16) firstAlpn(s->alpnChosen, f);
        if (d.extType == 43 && f.has(0, 2)) s->version = f.be16(0);
        return;
    }
    switch (d.extType) {
    case 0: {  // server_name: the first host_name of the list
        for (long off = 2; off + 3 <= 2 + f.be16(0) && f.has(off, 3); off += 3 + f.be16(off + 1)) {
            if (f.u8(off) != 0) continue;
            copyText(s->sni, TLS_SNI_SIZE, f, off + 3, f.be16(off + 1));
            break;
        }
        break;
    }
    case 10: {  // supported_groups
        const long len = f.be16(0);
        if (!f.has(2, len) || len % 2 != 0) s->ja3Lost = 1;
        for (long off = 2; off + 2 <= 2 + len && f.has(off, 2); off += 2) {
            const u16 g = f.be16(off);
            if (isGrease(g)) continue;
            if (s->groupCount == TLS_JA3_GROUPS) s->ja3Lost = 1;
            else s->groups[s->groupCount++] = g;
        }
        break;
    }
    case 11: {  // ec_point_formats
        const long len = f.u8(0);
        if (!f.has(1, len)) s->ja3Lost = 1;
        for (long off = 1; off < 1 + len && f.has(off, 1); off++) {
            if (s->formatCount == TLS_JA3_FORMATS) s->ja3Lost = 1;
            else s->formats[s->formatCount++] = f.u8(off);
        }
        break;
    }
    case 16:
        firstAlpn(s->alpnOffer, f);
        break;
    case 43:  // supported_versions, as offered
        for (long off = 1; off + 2 <= 1 + f.u8(0) && f.has(off, 2); off += 2) {
            const u16 v = f.be16(off);
            if (!isGrease(v) && s->offeredCount < TLS_OFFERED_VERSIONS) s->offered[s->offeredCount++] = v;
        }
        break;
    }
}

// One element of DER: its tag, where its contents begin and their length
// (which may reach past the bytes gathered).
struct DerT {
    int tag;
    long body;
    long len;
    long end() const { return body + len; }
};

bool derAt(const FrameView& f, long off, DerT& t)
{
    if (!f.has(off, 2)) return false;
    t.tag = f.u8(off);
    const int first = f.u8(off + 1);
    t.body = off + 2;
    t.len = first;
    if (first >= 0x80) {
        const int bytes = first & 0x7f;
        if (bytes < 1 || bytes > 3 || !f.has(t.body, bytes)) return false;  // a certificate is under 16 MB
        t.len = 0;
        for (int i = 0; i < bytes; i++) t.len = t.len << 8 | f.u8(t.body++);
    }
    return true;
}

// The first common name (2.5.4.3) of a Name, when it is a string type kept as bytes.
void commonName(char* out, const FrameView& f, const DerT& name)
{
    DerT set, atv, oid, value;
    for (long off = name.body; off < name.end() && derAt(f, off, set) && set.tag == 0x31; off = set.end()) {
        for (long at = set.body; at < set.end() && derAt(f, at, atv) && atv.tag == 0x30; at = atv.end()) {
            if (!derAt(f, atv.body, oid) || oid.tag != 0x06 || oid.len != 3 || f.u8(oid.body) != 0x55 ||
                f.u8(oid.body + 1) != 0x04 || f.u8(oid.body + 2) != 0x03 || !derAt(f, oid.end(), value))
                continue;
            // UTF8String, PrintableString, T61String, IA5String
            if (value.tag == 0x0c || value.tag == 0x13 || value.tag == 0x14 || value.tag == 0x16) {
                copyText(out, TLS_CN_SIZE, f, value.body, value.len);
                return;
            }
        }
    }
}

// UTCTime (YYMMDDHHMMSSZ) or GeneralizedTime (YYYYMMDDHHMMSSZ) as "YYYY-MM-DD HH:MM:SS".
void derTime(char* out, const FrameView& f, const DerT& t)
{
    char d[16] = {};
    int at = 0;
    if (t.tag == 0x17 && t.len == 13 && f.copy(t.body, d + 2, 13)) {
        d[0] = d[2] >= '5' ? '1' : '2';  // two-digit years 50 to 99 are 19xx
        d[1] = d[2] >= '5' ? '9' : '0';
    } else if (!(t.tag == 0x18 && t.len == 15 && f.copy(t.body, d, 15))) {
        return;
    }
    for (at = 0; at < 14; at++)
        if (d[at] < '0' || d[at] > '9') return;
    if (d[14] != 'Z') return;
    static const char layout[] = "dddd-dd-dd dd:dd:dd";
    static_assert(sizeof layout == TLS_TIME_SIZE, "the time's text fills its field");
    const char* digit = d;
    for (std::size_t i = 0; i < sizeof layout; i++) out[i] = layout[i] == 'd' ? *digit++ : layout[i];
}

// Issuer, notAfter and subject of the start of a DER certificate.
void readCert(TlsStateT* s, const FrameView& f)
{
    DerT cert, tbs, t;
    if (!derAt(f, 0, cert) || cert.tag != 0x30 || !derAt(f, cert.body, tbs) || tbs.tag != 0x30) return;
    long off = tbs.body;
    if (derAt(f, off, t) && t.tag == 0xa0) off = t.end();  // the version
    // serial number, signature algorithm, issuer, validity, subject
    for (int field = 0; field < 5 && derAt(f, off, t); field++, off = t.end()) {
        if (field == 2 && t.tag == 0x30) commonName(s->certIssuer, f, t);
        DerT notBefore, notAfter;
        if (field == 3 && t.tag == 0x30 && derAt(f, t.body, notBefore) && derAt(f, notBefore.end(), notAfter))
            derTime(s->certNotAfter, f, notAfter);
        if (field == 4 && t.tag == 0x30) commonName(s->certSubject, f, t);
    }
}

// Handles the gathered bytes of the current field and sets the next one.
void handleField(TlsStateT* s, int dn, const FrameView& f)
{
    TlsDirT& d = s->dir[dn];
    switch (d.step) {
    case WX_TLS_CH_VERSION:
        s->helloVersion = f.be16(0);
        hashField(s, dn, s->helloVersion);
        expect(s, dn, WX_TLS_CH_SID_LEN, 32, 1);  // after the random
        break;
    case WX_TLS_CH_SID_LEN:
        expect(s, dn, WX_TLS_CH_CIPHERS_LEN, f.u8(0), 2);
        break;
    case WX_TLS_CH_CIPHERS_LEN:
        d.listLeft = f.be16(0);
        d.listFirst = 1;
        nextCipher(s, dn);
        break;
    case WX_TLS_CH_CIPHERS:
        for (long off = 0; off + 2 <= static_cast<long>(f.size()); off += 2)
            if (!isGrease(f.be16(off))) hashNum(s, dn, f.be16(off));
        nextCipher(s, dn);
        break;
    case WX_TLS_CH_COMP_LEN:
        expect(s, dn, WX_TLS_EXTS_LEN, f.u8(0), 2);
        break;
    case WX_TLS_SH_VERSION:
        s->version = f.be16(0);
        hashField(s, dn, s->version);
        expect(s, dn, WX_TLS_SH_SID_LEN, 32, 1);
        break;
    case WX_TLS_SH_SID_LEN:
        expect(s, dn, WX_TLS_SH_CIPHER, f.u8(0), 3);
        break;
    case WX_TLS_SH_CIPHER:
        s->cipher = f.be16(0);
        hashField(s, dn, s->cipher);
        expect(s, dn, WX_TLS_EXTS_LEN, 0, 2);
        break;
    case WX_TLS_EXTS_LEN:
        d.listLeft = f.be16(0);
        nextExt(s, dn, 0);
        break;
    case WX_TLS_EXT_HDR: {
        const u16 type = f.be16(0), len = f.be16(2);
        if (len > d.listLeft) {  // past its list: the message is not read further
            expect(s, dn, WX_TLS_SKIP, 0, 0);
            break;
        }
        d.listLeft -= len;
        if (!isGrease(type)) hashNum(s, dn, type);
        const bool wanted = dn == CLIENT ? type == 0 || type == 10 || type == 11 || type == 16 || type == 43
                                         : type == 16 || type == 43;
        d.extType = type;
        if (wanted) expect(s, dn, WX_TLS_EXT_BODY, 0, len);
        else nextExt(s, dn, len);
        break;
    }
    case WX_TLS_EXT_BODY:
        readExt(s, dn, f);
        nextExt(s, dn, 0);
        break;
    case WX_TLS_CERT_LEN:
        expect(s, dn, WX_TLS_CERT_BODY, 0, be24(f, 3));
        break;
    case WX_TLS_CERT_BODY:
        readCert(s, f);
        expect(s, dn, WX_TLS_SKIP, 0, 0);
        break;
    default:
        expect(s, dn, WX_TLS_SKIP, 0, 0);
    }
}

// Body bytes of the current handshake message. A field whose bytes are all
// in this piece is read where it lies; one cut by a record or segment
// boundary is gathered first.
void fieldBytes(TlsStateT* s, int dn, const FrameView& f)
{
    TlsDirT& d = s->dir[dn];
    long off = 0;
    const long len = static_cast<long>(f.size());
    for (;;) {
        const long pass = std::min<long>(d.skip, len - off);
        d.skip -= static_cast<u32>(pass);
        off += pass;
        if (d.skip == 0 && d.got == 0 && d.want > 0 && d.want <= len - off) {
            const FrameView field = f.slice(off, d.want);
            off += d.want;
            d.want = 0;
            handleField(s, dn, field);
            continue;
        }
        if (d.skip == 0 && d.want > 0) {
            const long take = std::min<long>(d.want, len - off);
            if (!f.copy(off, gatherOf(s, dn) + d.got, take)) return;
            d.got = static_cast<u16>(d.got + take);
            d.want = static_cast<u16>(d.want - take);
            off += take;
        }
        if (d.skip > 0 || d.want > 0 || d.step == WX_TLS_SKIP || d.step == WX_TLS_DONE) return;
        handleField(s, dn, FrameView(gatherOf(s, dn), d.got));
    }
}

void startMessage(TlsStateT* s, int dn)
{
    TlsDirT& d = s->dir[dn];
    const u8 type = d.msgHdr[0];
    d.msgLeft = be24(FrameView(d.msgHdr, 4), 1);
    d.after = 0;
    if (dn == CLIENT && type == 1 && !s->seenClientHello) {
        s->seenClientHello = 1;
        s->clientHelloTime = d.recTime;
        hashStart(s, CLIENT);
        expect(s, dn, WX_TLS_CH_VERSION, 0, 2);
    } else if (dn == SERVER && type == 2 && s->seenClientHello) {
        if (!s->seenServerHello) s->serverHelloTime = d.recTime;
        s->seenServerHello = 1;
        hashStart(s, SERVER);  // a ClientHello not ended by now gets no JA3
        expect(s, dn, WX_TLS_SH_VERSION, 0, 2);
    } else if (dn == SERVER && type == 11 && s->seenServerHello && !s->certSeen) {
        s->certSeen = 1;
        expect(s, dn, WX_TLS_CERT_LEN, 0, 6);
    } else {
        expect(s, dn, WX_TLS_SKIP, 0, 0);
    }
}

// A hello read to the end of its extensions (or ending where they would
// begin) gets its fingerprint; one cut short or with lengths that lie does not.
void endMessage(TlsStateT* s, int dn)
{
    TlsDirT& d = s->dir[dn];
    const bool whole = d.skip == 0 && d.after == 0 &&
                       (d.step == WX_TLS_DONE || (d.step == WX_TLS_EXTS_LEN && d.got == 0));
    if (whole && s->hashDir == dn + 1 && dn == CLIENT && !s->ja3Lost) {
        hashComma(s, dn);
        d.listFirst = 1;
        for (int i = 0; i < s->groupCount; i++) hashNum(s, dn, s->groups[i]);
        hashComma(s, dn);
        d.listFirst = 1;
        for (int i = 0; i < s->formatCount; i++) hashNum(s, dn, s->formats[i]);
        hashEnd(s, s->ja3);
    } else if (whole && s->hashDir == dn + 1 && dn == SERVER) {
        hashEnd(s, s->ja3s);
    }
    if (s->hashDir == dn + 1) s->hashDir = 0;
    d.msgHdrGot = 0;
    d.step = WX_TLS_SKIP;
}

// Body bytes of a handshake record in clear.
void handshakeBytes(TlsStateT* s, int dn, const FrameView& f)
{
    TlsDirT& d = s->dir[dn];
    const long len = static_cast<long>(f.size());
    for (long off = 0; off < len;) {
        if (d.msgHdrGot < 4) {
            d.msgHdr[d.msgHdrGot++] = f.u8(off++);
            if (d.msgHdrGot == 4) {
                startMessage(s, dn);
                if (d.msgLeft == 0) endMessage(s, dn);
            }
            continue;
        }
        const long take = std::min<long>(d.msgLeft, len - off);
        fieldBytes(s, dn, f.slice(off, take));
        off += take;
        d.msgLeft -= static_cast<u32>(take);
        if (d.msgLeft == 0) endMessage(s, dn);
    }
}

// A record header is complete: false when it is not TLS.
bool beginRecord(TlsStateT* s, int dn, const timeval& ts)
{
    TlsDirT& d = s->dir[dn];
    const FrameView h(d.recHdr, 5);
    const u8 type = h.u8(0);
    d.recLeft = h.be16(3);
    if (type < 20 || type > 23 || h.u8(1) != 3 || d.recLeft > MAX_RECORD) return false;
    // TLS 1.3 keeps a ChangeCipherSpec for middleboxes only: its encrypted
    // records are application data, and after a HelloRetryRequest the real
    // ServerHello still comes in clear.
    if (type == 20 && s->version != 0x0304) d.encrypted = 1;
    if (type == 22) s->lastHandshakeTime = ts;
    if (type == 23 && dn == CLIENT && s->seenServerHello) {
        s->complete = 1;
        s->completeTime = ts;
    }
    if (d.recLeft == 0) d.recHdrGot = 0;
    return true;
}

}  // namespace

void tlsInit(TlsStateT* s) { s->alert = -1; }

bool tlsStarts(const u8* payload, int len)
{
    const FrameView f = viewOf(payload, len);
    return f.has(0, 6) && f.u8(0) == 22 && f.u8(1) == 3 && f.u8(2) >= 1 && f.u8(2) <= 4 && f.u8(5) == 1;
}

bool tlsFeed(TlsStateT* s, int direction, u32 seq, const timeval& ts, const u8* payload, int len)
{
    if (s->complete || len <= 0 || payload == nullptr || (direction != 1 && direction != 2)) return false;
    const int dn = direction - 1;
    TlsDirT& d = s->dir[dn];
    if (d.stopped) return false;
    if (d.started) {
        const auto ahead = static_cast<std::int32_t>(seq - d.nextSeq);
        if (ahead < 0 && ahead + len <= 0) return false;  // a retransmission of bytes read
        if (ahead != 0) {
            d.stopped = 1;
            return false;
        }
    }
    d.started = 1;
    d.nextSeq = seq + static_cast<u32>(len);
    const FrameView f = viewOf(payload, len);
    for (long off = 0; off < len;) {
        if (d.recHdrGot < 5) {
            if (d.recHdrGot == 0) d.recTime = ts;
            d.recHdr[d.recHdrGot++] = f.u8(off++);
            if (d.recHdrGot == 5 && !beginRecord(s, dn, ts)) {
                d.stopped = 1;
                return false;
            }
            if (s->complete) return true;
            continue;
        }
        const long take = std::min<long>(d.recLeft, len - off);
        const u8 type = d.recHdr[0];
        if (type == 22) {
            s->lastHandshakeTime = ts;
            if (!d.encrypted) handshakeBytes(s, dn, f.slice(off, take));
        } else if (type == 21 && !d.encrypted) {
            // level and description pairs; the first fatal one is kept
            const u32 at = FrameView(d.recHdr, 5).be16(3) - d.recLeft;
            for (long i = 0; i < take; i++) {
                if ((at + i) % 2 == 0) d.alertLevel = f.u8(off + i);
                else if (d.alertLevel == 2 && s->alert < 0) s->alert = f.u8(off + i);
            }
        }
        off += take;
        d.recLeft -= static_cast<u32>(take);
        if (d.recLeft == 0) d.recHdrGot = 0;
    }
    return false;
}

void tlsCipherText(u16 cipher, char* out, int outSize)
{
    static const char hex[] = "0123456789abcdef";
    const char text[7] = {'0', 'x', hex[cipher >> 12], hex[cipher >> 8 & 15], hex[cipher >> 4 & 15], hex[cipher & 15]};
    copyText(out, static_cast<std::size_t>(std::max(outSize, 0)), text);
}

void tlsVersionText(u16 version, char* out, int outSize)
{
    static const char* const names[] = {"SSLv3", "TLSv1.0", "TLSv1.1", "TLSv1.2", "TLSv1.3"};
    if (version < 0x0300 || version > 0x0304) {
        tlsCipherText(version, out, outSize);  // the same form: "0x" and four hex digits
        return;
    }
    copyText(out, static_cast<std::size_t>(std::max(outSize, 0)), names[version - 0x0300]);
}
