// The TLS handshake reader on handshakes built byte by byte: two whole ones
// (TLS 1.2 with a certificate, TLS 1.3 with GREASE and a post-quantum key
// share), cut into segments and records in several ways, and spoilt in the
// ways a capture or a peer spoils them. JA3 and JA3S are checked against
// digests of the method's text made apart from the reader (python3 hashlib).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "analysis/tls.h"

namespace {

using Bytes = std::vector<u8>;

Bytes operator+(Bytes a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); return a; }
Bytes u16s(std::initializer_list<unsigned> v) { Bytes b; for (unsigned x : v) b.insert(b.end(), {u8(x >> 8), u8(x)}); return b; }
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes len8(const Bytes& b) { return Bytes {u8(b.size())} + b; }
Bytes len16(const Bytes& b) { return u16s({unsigned(b.size())}) + b; }
Bytes len24(const Bytes& b) { return Bytes {u8(b.size() >> 16)} + len16(b); }
Bytes ext(unsigned type, const Bytes& body) { return u16s({type}) + len16(body); }
Bytes msg(u8 type, const Bytes& body) { return Bytes {type} + len24(body); }
Bytes record(u8 type, const Bytes& body) { return Bytes {type, 3, 1} + len16(body); }
Bytes der(u8 tag, const Bytes& b) { return Bytes {tag} + (b.size() < 128 ? len8(b) : Bytes {0x82} + len16(b)); }
Bytes alpn(std::initializer_list<const char*> names) { Bytes l; for (auto n : names) l = l + len8(text(n)); return len16(l); }

Bytes hello(u8 type, const Bytes& suites, const Bytes& exts)
{
    return msg(type, u16s({0x0303}) + Bytes(32, 7) + len8(Bytes(type == 1 ? 32 : 0, 9)) + suites + exts);
}
// JA3 "771,49195-49199-52393,0-11-10-16-65281-23,29-23-24,0"
const Bytes suites12 = len16(u16s({0xc02b, 0xc02f, 0xcca9})) + Bytes {1, 0};
const Bytes exts12 = ext(0, len16(Bytes {0} + len16(text("www.example.test")))) + ext(11, {1, 0}) +
                     ext(10, len16(u16s({29, 23, 24}))) + ext(16, alpn({"h2", "http/1.1"})) + ext(0xff01, {0}) + ext(23, {});
const Bytes clientHello12 = hello(1, suites12, len16(exts12));
// JA3S "771,49199,65281-16-11"
const Bytes serverHello12 =
    hello(2, u16s({0xc02f}) + Bytes {0}, len16(ext(0xff01, {0}) + ext(16, alpn({"h2"})) + ext(11, {1, 0})));
// JA3 "771,4865-4866-4867-49195,0-10-16-43-51-13-21,4588-29-23,": GREASE in every list, a
// hybrid key share of 1,216 bytes and padding make a ClientHello of about 1,800 bytes.
const Bytes clientHello13 = hello(1, len16(u16s({0x1a1a, 0x1301, 0x1302, 0x1303, 0xc02b})) + Bytes {1, 0},
    len16(ext(0x2a2a, {}) + ext(0, len16(Bytes {0} + len16(text("pq.example.test")))) +
          ext(10, len16(u16s({0x3a3a, 4588, 29, 23}))) + ext(16, alpn({"http/1.1"})) +
          ext(43, len8(u16s({0x4a4a, 0x0304, 0x0303}))) +
          ext(51, len16(u16s({0x3a3a, 1}) + Bytes {0} + u16s({4588}) + len16(Bytes(1216, 5)))) +
          ext(13, len16(u16s({0x0403, 0x0804}))) + ext(21, Bytes(480, 0))));
// JA3S "771,4865,43-51"
const Bytes serverHello13 = hello(2, u16s({0x1301}) + Bytes {0}, len16(ext(43, u16s({0x0304})) + ext(51, Bytes(36, 1))));

Bytes name(const std::string& cn)
{
    return der(0x30, der(0x31, der(0x30, der(6, {0x55, 4, 6}) + der(0x13, text("ZZ")))) +
                         der(0x31, der(0x30, der(6, {0x55, 4, 3}) + der(0x0c, text(cn)))));
}
const Bytes certificate = msg(11, len24(len24(der(0x30,
    der(0x30, der(0xa0, der(2, {2})) + der(2, {1, 2, 3}) + der(0x30, der(6, {0x2a, 0x86, 0x48})) + name("Test CA") +
                  der(0x30, der(0x17, text("250101000000Z")) + der(0x17, text("491231235959Z"))) +
                  name("www.example.test") + der(0x30, Bytes(300, 3))) + Bytes(80, 4)))));

struct Seg { int dir; Bytes bytes; };
using Talk = std::vector<Seg>;

Bytes cut(const Bytes& b, size_t from, size_t to = SIZE_MAX) { return Bytes(b.begin() + from, b.begin() + std::min(to, b.size())); }
// The client's first flight cut at the offsets given, then the rest of the talk.
Talk split(const Bytes& first, std::vector<size_t> at, const Talk& rest)
{
    Talk t;
    at.insert(at.begin(), 0);
    for (size_t i = 0; i < at.size(); i++) t.push_back({1, cut(first, at[i], i + 1 < at.size() ? at[i + 1] : SIZE_MAX)});
    t.insert(t.end(), rest.begin(), rest.end());
    return t;
}

const Bytes ch12 = record(22, clientHello12), ch13 = record(22, clientHello13);
const Talk rest12 = {{2, record(22, serverHello12) + record(22, certificate) + record(22, msg(14, {}))},
                     {1, record(22, msg(16, len8(Bytes(65, 2)))) + record(20, {1}) + record(22, Bytes(40, 8))},
                     {2, record(20, {1}) + record(22, Bytes(40, 8))}, {1, record(23, Bytes(30, 6))}};
const Talk rest13 = {{2, record(22, serverHello13) + record(20, {1}) + record(23, Bytes(900, 3))},
                     {1, record(20, {1}) + record(23, Bytes(53, 3))}, {1, record(23, Bytes(30, 6))}};

// Feeds a talk frame by frame (frame i at second i, sequence numbers running
// on per direction unless a segment is given its own), then sums up the results.
std::string play(const Talk& talk, const std::vector<u32>& seqs = {})
{
    TlsStateT s;
    std::memset(&s, 0, sizeof s);
    tlsInit(&s);
    u32 next[3] = {0, 1000, 90000};
    std::string done = "-";
    for (size_t i = 0; i < talk.size(); i++) {
        const u32 seq = i < seqs.size() && seqs[i] ? seqs[i] : next[talk[i].dir];
        next[talk[i].dir] = seq + u32(talk[i].bytes.size());
        if (tlsFeed(&s, talk[i].dir, seq, {long(i), 0}, talk[i].bytes.data(), int(talk[i].bytes.size()))) done = std::to_string(i);
    }
    char version[16] = "", cipher[8] = "";
    if (s.seenServerHello) tlsVersionText(s.version, version, sizeof version), tlsCipherText(s.cipher, cipher, sizeof cipher);
    std::string offered;
    for (int i = 0; i < s.offeredCount; i++) offered += std::to_string(s.offered[i]) + " ";
    return std::string(s.sni) + "|" + s.alpnOffer + "|" + s.alpnChosen + "|" + version + "|" + cipher + "|" + offered +
           "|" + s.ja3 + "|" + s.ja3s + "|" + s.certSubject + "|" + s.certIssuer + "|" + s.certNotAfter + "|" +
           std::to_string(s.alert) + "|t" + (s.seenClientHello ? std::to_string(s.clientHelloTime.tv_sec) : "-") + "," +
           (s.seenServerHello ? std::to_string(s.serverHelloTime.tv_sec) : "-") + "," +
           std::to_string(s.lastHandshakeTime.tv_sec) + ",done " + done;
}

const std::string ja3_12 = "c1cc199d01cc8d4f0c0a1719374f0b20", ja3s12 = "2de81c22ea32a57162df5cb08d4a2795";
const std::string ja3_13 = "f663aaa30d96f63e9e85c56d5cd57474", ja3s13 = "f4febc55ea12b31ae17cfb7e614afda8";
const std::string tail12 = "|" + ja3_12 + "|" + ja3s12 + "|www.example.test|Test CA|2049-12-31 23:59:59|-1|t";

TEST(TlsReader, HandshakesCutAndSpoilt)
{
    // The ClientHello's body in three records; one whose extension list claims an
    // extension past the message's end (the server name is read, the fingerprint is not).
    const Bytes threeRecords =
        record(22, cut(clientHello12, 0, 30)) + record(22, cut(clientHello12, 30, 100)) + record(22, cut(clientHello12, 100));
    Bytes lying = exts12;
    lying.back() = 9;  // the last extension, and the list, 9 bytes longer than the message
    const Bytes longExt = hello(1, suites12, u16s({unsigned(lying.size() + 9)}) + lying);
    const Bytes alert = record(21, {1, 0, 2, 40});
    struct Case { const char* name; Talk talk; std::vector<u32> seqs; std::string want; };
    const Case cases[] = {
        {"TLS 1.2", split(ch12, {}, rest12), {}, "www.example.test|h2|h2|TLSv1.2|0xc02f|" + tail12 + "0,1,3,done 4"},
        {"TLS 1.3, ClientHello in two segments", split(ch13, {1000}, rest13), {},
         "pq.example.test|http/1.1||TLSv1.3|0x1301|772 771 |" + ja3_13 + "|" + ja3s13 + "||||-1|t0,2,2,done 3"},
        {"ClientHello in three segments, cut in the record header and a length", split(ch12, {3, 46}, rest12), {},
         "www.example.test|h2|h2|TLSv1.2|0xc02f|" + tail12 + "0,3,5,done 6"},
        {"ClientHello in three records", split(threeRecords, {}, rest12), {},
         "www.example.test|h2|h2|TLSv1.2|0xc02f|" + tail12 + "0,1,3,done 4"},
        {"ClientHello cut in the middle of its record", {{1, cut(ch12, 0, 130)}}, {}, "www.example.test|||||||||||-1|t0,-,0,done -"},
        {"record length past any record", {{1, Bytes {22, 3, 1, 0x48, 0x01} + cut(ch12, 5)}}, {}, "|||||||||||-1|t-,-,0,done -"},
        {"extension length past the message", split(record(22, longExt), {}, rest12), {},
         "www.example.test|h2|h2|TLSv1.2|0xc02f|||" + ja3s12 + "|www.example.test|Test CA|2049-12-31 23:59:59|-1|t0,1,3,done 4"},
        {"ServerHello before the ClientHello", {rest12[0], {1, ch12}, rest12[3]}, {},
         "www.example.test|h2|||||" + ja3_12 + "|||||-1|t1,-,1,done -"},
        {"fatal alert after a warning, cut between them", {{1, ch12}, {2, cut(alert, 0, 8)}, {2, cut(alert, 8)}}, {},
         "www.example.test|h2|||||" + ja3_12 + "|||||40|t0,-,0,done -"},
        {"segment past a gap, then the missing one", split(ch12, {40, 120}, {}), {1000, 1120, 1040}, "|||||||||||-1|t0,-,0,done -"},
        {"TLS 1.3 after a HelloRetryRequest", split(ch13, {}, {{2, record(22, hello(2, u16s({0x1302}) + Bytes {0}, len16(ext(43, u16s({0x0304}))))) + record(20, {1})},
         {1, record(20, {1}) + record(22, clientHello12)}, rest13[0], rest13[1]}), {},
         "pq.example.test|http/1.1||TLSv1.3|0x1301|772 771 |" + ja3_13 + "|" + ja3s13 + "||||-1|t0,1,3,done 4"},
        {"retransmission passed over", {{1, cut(ch12, 0, 40)}, {1, cut(ch12, 0, 40)}, {1, cut(ch12, 40)}, rest12[0],
         rest12[1], rest12[2], rest12[3]}, {1000, 1000, 1040}, "www.example.test|h2|h2|TLSv1.2|0xc02f|" + tail12 + "0,3,5,done 6"},
    };
    for (const Case& c : cases) EXPECT_EQ(play(c.talk, c.seqs), c.want) << c.name;
}

TEST(TlsReader, Starts)
{
    EXPECT_TRUE(tlsStarts(ch12.data(), 6));
    const Bytes notStarts[] = {cut(ch12, 0, 5), Bytes {22, 3, 0, 0, 9, 1}, Bytes {22, 3, 5, 0, 9, 1}, Bytes {22, 3, 1, 0, 9, 2},
                               Bytes {23, 3, 3, 0, 9, 1}};
    for (const Bytes& b : notStarts) EXPECT_FALSE(tlsStarts(b.data(), int(b.size()))) << int(b[2]);
}

}  // namespace
