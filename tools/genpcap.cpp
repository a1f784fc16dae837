// Writes a synthetic Ethernet capture for benchmarks: many TCP conversations
// (handshake, request, a response of several segments, close) with some UDP
// and ICMP between them. Deterministic for given arguments. The servers:
//   web (the default): HTTP 198.19.0.1-16:80 and, one conversation in eight,
//     MySQL 198.19.0.33-34:3306; clients in 198.18.0.0/16;
//   mixed: twenty servers 10.2.0.1-20, HTTP on 1-8 (port 80), TLS on 9-12
//     (port 443), MySQL on 13-16 (port 3306), plain TCP on 17-20 (port 5000);
//     clients in 10.1.0.0/16.
// ipv6 writes every conversation and datagram over IPv6, half6 every second
// one (in the order they start), with the same frames otherwise. An IPv4
// address a.b.c.d becomes fd00:A:B::C, where A and B are a and b's decimal
// digits written as hexadecimal ones and C is c * 256 + d: 10.2.0.20 is
// fd00:10:2::14, 198.19.0.33 is fd00:198:19::21.
//
//   wirelane-genpcap OUT.pcap [FRAMES] [CONCURRENT-CONVERSATIONS] [CLIENT-HOSTS] [web|mixed] [ipv4|ipv6|half6]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

FILE* out;
std::uint64_t clockUsec = 1767225600ULL * 1000000;  // 2026-01-01 00:00:00 UTC
long written = 0;

void put16be(std::uint8_t* p, unsigned v) { p[0] = v >> 8; p[1] = v & 0xFF; }
void put32be(std::uint8_t* p, std::uint32_t v) { put16be(p, v >> 16); put16be(p + 2, v & 0xFFFF); }

// The one's complement sum of a 16-bit big-endian word run; an odd last byte is padded with zero.
std::uint32_t addWords(std::uint32_t sum, const std::uint8_t* p, int len)
{
    for (int i = 0; i + 1 < len; i += 2) sum += p[i] << 8 | p[i + 1];
    if (len % 2 != 0) sum += p[len - 1] << 8;
    return sum;
}

std::uint16_t foldSum(std::uint32_t sum)
{
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// 10.2.0.20 -> fd00:10:2::14 (see the top of the file).
void ipv6Of(std::uint32_t v4, std::uint8_t* p)
{
    auto digitsAsHex = [](unsigned octet) { return (octet / 100) << 8 | (octet / 10 % 10) << 4 | octet % 10; };
    std::memset(p, 0, 16);
    put16be(p, 0xFD00);
    put16be(p + 2, digitsAsHex(v4 >> 24));
    put16be(p + 4, digitsAsHex(v4 >> 16 & 0xFF));
    put16be(p + 14, v4 & 0xFFFF);
}

void writeFrame(const std::uint8_t* frame, int len)
{
    std::uint32_t rec[4] = {static_cast<std::uint32_t>(clockUsec / 1000000),
                            static_cast<std::uint32_t>(clockUsec % 1000000), static_cast<std::uint32_t>(len),
                            static_cast<std::uint32_t>(len)};
    std::fwrite(rec, sizeof rec, 1, out);
    std::fwrite(frame, 1, len, out);
    written++;
}

// proto 6, 17 or 1 (ICMPv6 echo over IPv6); payloadLen bytes of text filler. Over IPv6 the addresses are mapped
// and the IP id is dropped; the transport checksums, left zero over IPv4, are needed there (UDP's and ICMPv6's may
// not be zero) and are written.
void emit(int proto, std::uint32_t src, std::uint32_t dst, int sport, int dport, std::uint32_t seq,
          std::uint32_t ack, int flags, const char* text, int payloadLen, std::uint16_t ipId, bool v6,
          int textLen = -1)
{
    static std::uint8_t f[2048];
    std::memset(f, 0, 80);  // every header, IPv6 and TCP ones included, and the padding to 60
    const std::uint8_t macA[6] = {0x02, 0, 0, 0, 0, 1}, macB[6] = {0x02, 0, 0, 0, 0, 2};
    std::memcpy(f, macB, 6);
    std::memcpy(f + 6, macA, 6);
    put16be(f + 12, v6 ? 0x86DD : 0x0800);
    std::uint8_t* ip = f + 14;
    int th = proto == 6 ? 20 : 8;
    int ipHeader = v6 ? 40 : 20;
    int total = ipHeader + th + payloadLen;
    if (v6) {
        ip[0] = 0x60;
        put16be(ip + 4, th + payloadLen);
        ip[6] = proto == 1 ? 58 : proto;
        ip[7] = 64;
        ipv6Of(src, ip + 8);
        ipv6Of(dst, ip + 24);
    } else {
        ip[0] = 0x45;
        put16be(ip + 2, total);
        put16be(ip + 4, ipId);
        ip[6] = 0x40;
        ip[8] = 64;
        ip[9] = proto;
        put32be(ip + 12, src);
        put32be(ip + 16, dst);
        put16be(ip + 10, foldSum(addWords(0, ip, 20)));
    }
    std::uint8_t* t = ip + ipHeader;
    if (proto == 6) {
        put16be(t, sport);
        put16be(t + 2, dport);
        put32be(t + 4, seq);
        put32be(t + 8, ack);
        t[12] = 5 << 4;
        t[13] = flags;
        put16be(t + 14, 65535);
    } else if (proto == 17) {
        put16be(t, sport);
        put16be(t + 2, dport);
        put16be(t + 4, 8 + payloadLen);
    } else {
        t[0] = v6 ? 128 : 8;  // echo request
        put16be(t + 4, sport);
        put16be(t + 6, seq & 0xFFFF);
    }
    std::uint8_t* pl = t + th;
    int tl = textLen >= 0 ? textLen : static_cast<int>(std::strlen(text));
    for (int i = 0; i < payloadLen; i++) pl[i] = i < tl ? text[i] : static_cast<std::uint8_t>('a' + i % 26);
    if (v6) {
        // Pseudo-header: both addresses, the upper-layer length and the next header.
        std::uint32_t sum = addWords(0, ip + 8, 32) + static_cast<std::uint32_t>(th + payloadLen) + ip[6];
        std::uint16_t check = foldSum(addWords(sum, t, th + payloadLen));
        if (proto == 17 && check == 0) check = 0xFFFF;  // zero would mean "no checksum"
        put16be(t + (proto == 6 ? 16 : proto == 17 ? 6 : 2), check);
    }
    int len = 14 + total;
    if (len < 60) len = 60;
    writeFrame(f, len);
}

// TLS flights of the port 443 servers, built once. Servers 10.2.0.9-10 negotiate TLS 1.3, 11-12 TLS 1.2 with a
// certificate; each has a name of its own. The client's first request follows the handshake in one segment with
// its last flight (TLS 1.3: ChangeCipherSpec and Finished; TLS 1.2: key exchange, ChangeCipherSpec and Finished,
// sent at once as a client that starts early does), the answers are application-data records.
using Bytes = std::string;

Bytes be16(unsigned v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }
Bytes be24(unsigned v) { return static_cast<char>(v >> 16) + be16(v & 0xFFFF); }
Bytes vec8(const Bytes& b) { return static_cast<char>(b.size()) + b; }
Bytes vec16(const Bytes& b) { return be16(static_cast<unsigned>(b.size())) + b; }
Bytes vec24(const Bytes& b) { return be24(static_cast<unsigned>(b.size())) + b; }
Bytes ext(unsigned type, const Bytes& body) { return be16(type) + vec16(body); }
Bytes handshake(int type, const Bytes& body) { return static_cast<char>(type) + vec24(body); }
Bytes record(int type, unsigned version, const Bytes& body)
{
    return static_cast<char>(type) + be16(version) + vec16(body);
}
Bytes fill(int n, char c) { return Bytes(static_cast<std::size_t>(n), c); }

// DER: tag, definite length, contents.
Bytes der(int tag, const Bytes& body)
{
    const std::size_t n = body.size();
    Bytes len = n < 0x80 ? Bytes(1, static_cast<char>(n)) : n < 0x100 ? "\x81" + Bytes(1, static_cast<char>(n))
                                                                        : "\x82" + be16(static_cast<unsigned>(n));
    return static_cast<char>(tag) + len + body;
}

Bytes commonNameOf(const char* cn)
{
    return der(0x30, der(0x31, der(0x30, der(0x06, "\x55\x04\x03") + der(0x0c, cn))));
}

// An ECDSA P-256 certificate; key and signature are filler, tools decode it all the same.
Bytes certificate(const char* subject, const char* issuer)
{
    const Bytes ecdsaSha256 = der(0x30, der(0x06, "\x2a\x86\x48\xce\x3d\x04\x03\x02"));
    const Bytes key = der(0x30, der(0x30, der(0x06, "\x2a\x86\x48\xce\x3d\x02\x01") +
                                              der(0x06, "\x2a\x86\x48\xce\x3d\x03\x01\x07")) +
                                    der(0x03, Bytes(1, '\0') + '\x04' + fill(64, '\x5a')));
    const Bytes tbs = der(0x30, der(0xa0, der(0x02, "\x02")) + der(0x02, "\x1f\x2e\x3d\x4c") + ecdsaSha256 +
                                    commonNameOf(issuer) +
                                    der(0x30, der(0x17, "260101000000Z") + der(0x17, "270401120000Z")) +
                                    commonNameOf(subject) + key);
    const Bytes signature = der(0x30, der(0x02, fill(32, '\x3c')) + der(0x02, fill(32, '\x3d')));
    return der(0x30, tbs + ecdsaSha256 + der(0x03, Bytes(1, '\0') + signature));
}

struct TlsFlights {
    Bytes clientHello, serverFlight, clientFinish;  // the server's flight is SERVER_FLIGHT bytes long
};
const int SERVER_FLIGHT = 1200;
TlsFlights tlsFlights[4];

void buildTlsFlights()
{
    static const char* names[4] = {"shop.bench.example", "api.bench.example", "cdn.bench.example",
                                   "login.bench.example"};
    const Bytes random = fill(32, '\x11'), sessionId = fill(32, '\x22'), share = fill(32, '\x33');
    for (int i = 0; i < 4; i++) {
        const bool tls13 = i < 2;
        const Bytes name = names[i];
        // GREASE values, as browsers send them: first among the suites, groups and versions, first and last
        // among the extensions.
        const unsigned grease = 0x0a0au + 0x3030u * static_cast<unsigned>(i);
        Bytes suites = be16(grease);
        for (unsigned s : {0x1301u, 0x1302u, 0x1303u, 0xc02bu, 0xc02fu, 0xc02cu, 0xc030u, 0xcca9u, 0xcca8u, 0x009eu,
                           0x009fu, 0xc009u, 0xc013u, 0xc00au, 0xc014u, 0x00ffu})
            suites += be16(s);
        Bytes sigAlgs;
        for (unsigned a : {0x0403u, 0x0503u, 0x0603u, 0x0807u, 0x0808u, 0x0804u, 0x0805u, 0x0806u, 0x0401u, 0x0501u,
                           0x0601u})
            sigAlgs += be16(a);
        const Bytes exts = ext(grease, "") + ext(0x0000, vec16('\0' + vec16(name))) +
                           ext(0x000b, vec8(Bytes("\0\1\2", 3))) +
                           ext(0x000a, vec16(be16(grease) + be16(0x001d) + be16(0x0017) + be16(0x0018))) +
                           ext(0x0023, "") +
                           ext(0x0010, vec16(vec8("h2") + vec8("http/1.1"))) + ext(0x0016, "") + ext(0x0017, "") +
                           ext(0x000d, vec16(sigAlgs)) + ext(0x002b, vec8(be16(grease) + be16(0x0304) + be16(0x0303))) +
                           ext(0x002d, vec8("\1")) + ext(0x0033, vec16(be16(0x001d) + vec16(share))) +
                           ext(grease ^ 0x1010u, Bytes(1, '\0'));
        const Bytes clientBody =
            be16(0x0303) + random + vec8(sessionId) + vec16(suites) + vec8(Bytes(1, '\0')) + vec16(exts);
        tlsFlights[i].clientHello = record(22, 0x0301, handshake(1, clientBody));
        Bytes flight, finish;
        if (tls13) {
            const Bytes serverHello = handshake(2, be16(0x0303) + random + vec8(sessionId) + be16(0x1301 + i) + '\0' +
                                                 vec16(ext(0x002b, be16(0x0304)) +
                                                       ext(0x0033, be16(0x001d) + vec16(share))));
            flight = record(22, 0x0303, serverHello) + record(20, 0x0303, "\1");
            flight += record(23, 0x0303, fill(SERVER_FLIGHT - static_cast<int>(flight.size()) - 5, '\x44'));
            finish = record(20, 0x0303, "\1") + record(23, 0x0303, fill(53, '\x55'));
        } else {
            const Bytes alpn = i == 2 ? "h2" : "http/1.1";
            const Bytes serverHello = handshake(2, be16(0x0303) + random + vec8(sessionId) + be16(0xc02f) + '\0' +
                                                 vec16(ext(0xff01, Bytes(1, '\0')) + ext(0x0010, vec16(vec8(alpn))) +
                                                       ext(0x000b, vec8(Bytes(1, '\0'))) + ext(0x0017, "")));
            const Bytes cert = handshake(11, vec24(vec24(certificate(names[i], "Bench Issuing CA"))));
            const int keyExchange = SERVER_FLIGHT - 5 - static_cast<int>(serverHello.size() + cert.size()) - 4 - 4;
            flight = record(22, 0x0303, serverHello + cert + handshake(12, fill(keyExchange, '\x66')) + handshake(14, ""));
            finish = record(22, 0x0303, handshake(16, vec8(share))) + record(20, 0x0303, "\1") +
                     record(22, 0x0303, fill(40, '\x55'));
        }
        tlsFlights[i].serverFlight = flight;
        tlsFlights[i].clientFinish = finish;
    }
}

enum class App { Http, Mysql, Tls, Tcp };

struct Conv {
    std::uint32_t cli, srv;
    int cport, sport;
    std::uint32_t cseq, sseq;
    int step;
    int segments;
    std::uint16_t id;
    App app;
    const TlsFlights* tls;
    bool v6;
};

std::uint32_t rng = 12345;
std::uint32_t clientHosts = 4000;
bool mixed = false;
int ipv6Every = 0;  // 0: IPv4 only; 1: every conversation and datagram over IPv6; 2: every second one
long convsStarted = 0, datagrams = 0;
bool nextIsIpv6(long& counter) { return ipv6Every != 0 && counter++ % ipv6Every == ipv6Every - 1; }
std::uint32_t next() { rng = rng * 1103515245u + 12345u; return rng >> 8; }
std::uint32_t clientNet() { return mixed ? 0x0A010000u : 0xC6120000u; }
std::uint32_t serverNet() { return mixed ? 0x0A020000u : 0xC6130000u; }

void restart(Conv& c, int index)
{
    c.cli = clientNet() + 0x100u + next() % clientHosts;
    c.tls = &tlsFlights[0];
    if (mixed) {
        const int n = 1 + index % 20;
        c.srv = serverNet() + static_cast<std::uint32_t>(n);
        c.app = n <= 8 ? App::Http : n <= 12 ? App::Tls : n <= 16 ? App::Mysql : App::Tcp;
        c.sport = c.app == App::Http ? 80 : c.app == App::Mysql ? 3306 : c.app == App::Tls ? 443 : 5000;
        c.tls = &tlsFlights[(n - 9) & 3];
    } else {
        const bool mysql = index % 8 == 7;
        c.srv = serverNet() + (mysql ? 0x21u + static_cast<std::uint32_t>(index % 2)   // .33..34
                                     : 0x01u + static_cast<std::uint32_t>(index % 16));  // .1..16
        c.app = mysql ? App::Mysql : App::Http;
        c.sport = mysql ? 3306 : 80;
    }
    c.cport = 1024 + static_cast<int>(next() % 60000);
    c.cseq = next();
    c.sseq = next();
    c.step = 0;
    c.segments = 1 + static_cast<int>(next() % (mixed ? 24 : 12));  // mixed: longer answers, fuller frames
    c.id = static_cast<std::uint16_t>(next());
    c.v6 = nextIsIpv6(convsStarted);
}

// One frame of conversation c; its steps form a whole HTTP exchange.
void step(Conv& c, int index)
{
    const int srvPort = c.sport;
    const bool mysql = c.app == App::Mysql;
    int s = c.step++;
    if (s == 0) {
        emit(6, c.cli, c.srv, c.cport, srvPort, c.cseq++, 0, 0x02, "", 0, c.id++, c.v6);
    } else if (s == 1) {
        emit(6, c.srv, c.cli, srvPort, c.cport, c.sseq++, c.cseq, 0x12, "", 0, c.id++, c.v6);
    } else if (s == 2) {
        emit(6, c.cli, c.srv, c.cport, srvPort, c.cseq, c.sseq, 0x10, "", 0, c.id++, c.v6);
    } else if (s == 3) {
        // A MySQL query packet: 3-byte length, sequence 0, command 3, text.
        static const char query[] = "\x29\x00\x00\x00\x03SELECT id, name FROM users WHERE id = 42";
        static const char get[] = "GET /index.html?id=42 HTTP/1.1\r\nHost: bench.example\r\nUser-Agent: bench\r\n\r\n";
        static const char plain[] = "\x16\x03\x01\x00\x40";  // a plain TCP request: 5 bytes, then filler
        const Bytes& hello = c.tls->clientHello;
        const char* req = mysql ? query : c.app == App::Http ? get : c.app == App::Tls ? hello.data() : plain;
        int n = static_cast<int>(mysql ? sizeof query - 1 : c.app == App::Http ? sizeof get - 1
                                 : c.app == App::Tls ? hello.size() : 69);
        emit(6, c.cli, c.srv, c.cport, srvPort, c.cseq, c.sseq, 0x18, req, n, c.id++, c.v6, c.app == App::Tcp ? 5 : n);
        c.cseq += n;
    } else if (c.app == App::Tls && s < 4 + c.segments) {
        // The server's handshake flight, then the client's last flight with its request, then the answer.
        int n = s == 4 ? SERVER_FLIGHT : 1100 + static_cast<int>(next() % 361);
        const bool client = s == 5;
        Bytes head = s == 4 ? c.tls->serverFlight : client ? c.tls->clientFinish : "";
        if (s != 4) head += Bytes("\x17\x03\x03", 3) + be16(n - static_cast<unsigned>(head.size()) - 5);
        const int textLen = static_cast<int>(head.size());
        if (client) {
            emit(6, c.cli, c.srv, c.cport, srvPort, c.cseq, c.sseq, 0x18, head.data(), n, c.id++, c.v6, textLen);
            c.cseq += n;
        } else {
            emit(6, c.srv, c.cli, srvPort, c.cport, c.sseq, c.cseq, 0x18, head.data(), n, c.id++, c.v6, textLen);
            c.sseq += n;
        }
    } else if (s < 4 + c.segments) {
        const char* res = s != 4 || c.app == App::Tcp ? ""
                          : mysql ? "\x01\x00\x00\x01\x02"
                                  : "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 9000\r\n\r\n";
        int n = s == 4 ? 1200 : mixed ? 1100 + static_cast<int>(next() % 361) : 200 + static_cast<int>(next() % 1260);
        emit(6, c.srv, c.cli, srvPort, c.cport, c.sseq, c.cseq, 0x18, res, n, c.id++, c.v6, mysql && s == 4 ? 5 : -1);
        c.sseq += n;
    } else if (s == 4 + c.segments) {
        emit(6, c.cli, c.srv, c.cport, srvPort, c.cseq, c.sseq, 0x10, "", 0, c.id++, c.v6);
    } else if (s == 5 + c.segments) {
        emit(6, c.cli, c.srv, c.cport, srvPort, c.cseq++, c.sseq, 0x11, "", 0, c.id++, c.v6);
    } else if (s == 6 + c.segments) {
        emit(6, c.srv, c.cli, srvPort, c.cport, c.sseq++, c.cseq, 0x11, "", 0, c.id++, c.v6);
    } else {
        emit(6, c.cli, c.srv, c.cport, srvPort, c.cseq, c.sseq, 0x10, "", 0, c.id++, c.v6);
        restart(c, index);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: wirelane-genpcap OUT.pcap [FRAMES] [CONCURRENT-CONVERSATIONS] [CLIENT-HOSTS]"
                             " [web|mixed] [ipv4|ipv6|half6]\n");
        return 2;
    }
    long frames = argc > 2 ? std::atol(argv[2]) : 1000000;
    int concurrent = argc > 3 ? std::atoi(argv[3]) : 2000;
    clientHosts = argc > 4 ? static_cast<std::uint32_t>(std::atoi(argv[4])) : 4000;
    const std::string layout = argc > 5 ? argv[5] : "web";
    mixed = layout == "mixed";
    const std::string family = argc > 6 ? argv[6] : "ipv4";
    ipv6Every = family == "ipv6" ? 1 : family == "half6" ? 2 : 0;
    if (frames <= 0 || concurrent <= 0 || clientHosts == 0 || (!mixed && layout != "web") ||
        (ipv6Every == 0 && family != "ipv4") || argc > 7) {
        std::fprintf(stderr, "wirelane-genpcap: FRAMES, CONVERSATIONS and CLIENT-HOSTS must be positive,"
                             " the layout web or mixed, the family ipv4, ipv6 or half6\n");
        return 2;
    }
    out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::uint32_t fileHeader[6] = {0xA1B2C3D4u, 0x00040002u, 0, 0, 65535, 1};
    std::fwrite(fileHeader, sizeof fileHeader, 1, out);

    buildTlsFlights();
    std::vector<Conv> convs(concurrent);
    for (int i = 0; i < concurrent; i++) restart(convs[i], i);
    while (written < frames) {
        clockUsec += 20 + next() % 40;  // about 25,000 frames per second of capture time
        std::uint32_t r = next() % 100;
        if (r < 4) {
            emit(17, clientNet() + 0x100u + next() % clientHosts, serverNet() + 0x35u,
                 1024 + static_cast<int>(next() % 60000), 53, 0, 0, 0, "\x12\x34\x01\x00", 40,
                 static_cast<std::uint16_t>(next()), nextIsIpv6(datagrams));
        } else if (r < 5) {
            emit(1, clientNet() + 0x100u + next() % clientHosts, serverNet() + 1u, 7, 0, next(), 0, 0, "", 56,
                 static_cast<std::uint16_t>(next()), nextIsIpv6(datagrams));
        } else {
            int i = static_cast<int>(next() % static_cast<std::uint32_t>(concurrent));
            step(convs[i], i);
        }
    }
    std::fclose(out);
    return 0;
}
