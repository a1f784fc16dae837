// Log lines, text helpers, name resolution and the peer list; endpoint text parsing, the sorted endpoint table and its
// lock-free readers; reading the configuration file, its rewrite, and failed rewrites (refused values: probe_cli.sh).
#include <arpa/inet.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "core/util.h"
#include "platform/platform.h"
#include "support/conf_fixture.h"

namespace {

// Keeps the console copy of log lines in memory while it lives.
struct LogCapture {
    char* buf = nullptr;
    std::size_t size = 0;
    FILE* fp = open_memstream(&buf, &size);
    LogCapture() { setLogConsole(fp); }
    ~LogCapture() { setLogConsole(nullptr), std::fclose(fp), std::free(buf); }
    std::string text() const { return {buf, size}; }
};

// A line too long for the buffer is cut and still ends in a newline (time stamp and levels: probe_cli.sh).
TEST(WriteLog, LongLineIsCut)
{
    LogCapture cap;
    writeLog(3, "%s", std::string(10000, 'a').c_str());
    const std::string line = cap.text();
    EXPECT_EQ(line.substr(19, 12), " ERROR: aaaa");
    EXPECT_TRUE(line.size() < LOG_LINE_SIZE && line.size() > LOG_LINE_SIZE - 8 && line.back() == '\n') << line.size();
}

// A peer's control bytes are written escaped, so that every line starts with its time; a newline that ends the format
// still leaves an empty line.
TEST(WriteLog, ControlBytesAreEscaped)
{
    struct Case { const char* format; const char* arg; std::string want; } const cases[] = {
        {"get %s", "HTTP/1.0 200 OK\r\n\r\nbody\n", "get HTTP/1.0 200 OK\\r\\n\\r\\nbody\\n\n"},
        {"%s", "a\tb\x1b[2J\x7f\xc3\xa9", "a\\tb\\x1b[2J\\x7f\xc3\xa9\n"},
        {"did %s\n", "42\n", "did 42\\n\n\n"},
    };
    for (const Case& c : cases) {
        LogCapture cap;
        writeLog(4, c.format, c.arg);
        EXPECT_EQ(cap.text().substr(19), c.want) << c.arg;
    }
    LogCapture cap;
    writeLog(4, "%s", std::string(5000, '\r').c_str());  // cut at a whole escape
    std::string want;
    for (int i = 0; i < (LOG_LINE_SIZE - 21) / 2; ++i) want += "\\r";  // as long as a line of 'a' can be
    EXPECT_EQ(cap.text().substr(19), want + "\n");
}

// Texts at their buffers' limits; fixed point must match printf byte for byte, ties and signs too.
TEST(UtilText, CutsAndFixedPoint)
{
    char out[32];
    char url[] = "https://a-rather-long-host-name.example:8443/?next=http://b/";
    EXPECT_STREQ((getDomainFromUrl(url, out, 8), out), "a-rathe");

    char mine[64], theirs[64];
    for (double v : {0.0, -0.0, 0.0625, 0.0005, 2.5, 3.5, 0.125, 0.375, -0.0001, 999.9995, 1e15, -2e15, 1.0 / 3,
                     4294967295.0 / 1000, double(200.225f), 1e-300, 5e-324, 12345.6785, -0.5, 1e14 + 0.5}) {
        for (int places = 0; places <= 3; places++) {
            formatFixed(mine, v, places), std::snprintf(theirs, sizeof theirs, "%.*f", places, v);
            ASSERT_STREQ(mine, theirs) << places << " places of " << v;
        }
    }
}

// Each peer is remembered once; at the list's limit one warning, and resolving goes on.
TEST(DomainAddr, ResolvesAndRemembersPeers)
{
    readOnlyGlobal.managerAddrCnt = 0;
    LogCapture cap;
    sockaddr_storage addr {};
    const auto& a4 = reinterpret_cast<const sockaddr_in&>(addr);
    ASSERT_EQ(getDomainAddr("127.0.0.1", 9015, &addr), 0);
    EXPECT_EQ(std::pair(ntohl(a4.sin_addr.s_addr), ntohs(a4.sin_port)), std::pair(0x7F000001u, uint16_t(9015)));
    for (const char* bad : {"255.255.255.255", ""}) EXPECT_EQ(getDomainAddr(bad, 9, &addr), -1) << bad;
    EXPECT_EQ(ntohs(a4.sin_port), 9015);
    for (u32 i = 1; i <= MAX_MANAGER_ADDR + 6; ++i) {
        ASSERT_EQ(getDomainAddr(("127.0.0." + std::to_string(i)).c_str(), 80, &addr), 0) << i;
        EXPECT_EQ(ntohl(a4.sin_addr.s_addr), 0x7F000000u + i);
    }
    EXPECT_EQ(u32(readOnlyGlobal.managerAddrCnt), u32(MAX_MANAGER_ADDR));
    const u32 last = 0x7F000000u + MAX_MANAGER_ADDR;
    EXPECT_EQ(std::pair(isManagerAddr(ipFromV4(last)), isManagerAddr(ipFromV4(last + 1))), std::pair(1, 0));
    const std::string log = cap.text();
    const std::size_t warned = log.find(" WARNING: ");
    EXPECT_TRUE(warned != std::string::npos && warned == log.rfind(" WARNING: ")) << "not warned once: " << log;
    readOnlyGlobal.managerAddrCnt = 0;
}

// IPv6 peers are peers as IPv4 ones are; an IPv4-mapped address is the IPv4 one.
TEST(DomainAddr, IPv6Peers)
{
    readOnlyGlobal.managerAddrCnt = 0;
    sockaddr_storage addr {};
    const IpAddrT want = ipOf("2001:db8::5"), other = ipOf("2001:db8::6");
    ASSERT_EQ(getDomainAddr("2001:db8::5", 9000, &addr), 0);
    EXPECT_EQ(std::tuple(sockAddrLen(addr), ntohs(reinterpret_cast<sockaddr_in6&>(addr).sin6_port), isManagerAddr(want),
                         isManagerAddr(other), sockAddrIp(addr) == want),
              std::tuple(socklen_t(sizeof(sockaddr_in6)), u16(9000), 1, 0, true));
    ASSERT_EQ(getDomainAddr("::ffff:10.1.2.3", 80, &addr), 0);
    EXPECT_EQ(std::tuple(addr.ss_family, isManagerAddr(ipFromV4(0x0A010203)), u32(readOnlyGlobal.managerAddrCnt)),
              std::tuple(sa_family_t(AF_INET), 1, 2u));
    readOnlyGlobal.managerAddrCnt = 0;
}

IpAddrT ip(u32 a, u32 b, u32 c, u32 d) { return ipFromV4((a << 24) | (b << 16) | (c << 8) | d); }
enum { ANY = 0, TCP = 1, UDP = 2, HTTP = 3, ORACLE = 4, MYSQL = 5 };

TEST(EndpointText, FormsAndRefusals)
{
    struct Case { const char* text; int protoIdx; const char *low, *high; int port; };
    const char* const all6 = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";
    const std::string longest = "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:fff0-" + std::string(all6) + "]:65535";
    const Case cases[] = {
        {"192.168.1.12", HTTP, "192.168.1.12", "192.168.1.12", 80},  // the application's port
        {"192.168.1.12:65535", HTTP, "192.168.1.12", "192.168.1.12", 65535},
        {"192.168.1.0/24", MYSQL, "192.168.1.0", "192.168.1.255", 3306},
        {"192.168.1.0/24:80", ANY, "192.168.1.0", "192.168.1.255", 80},
        {"0.0.0.0/0", TCP, "0.0.0.0", "255.255.255.255", 0},
        {"192.168.1.112-192.168.1.200", ORACLE, "192.168.1.112", "192.168.1.200", 1521},
        {"192.168.1.112--192.168.1.200", ORACLE, "192.168.1.112", "192.168.1.200", 1521},
        {"192.168.1.200-192.168.1.112", TCP, "192.168.1.200", "192.168.1.112", 0},  // kept reversed
        {"2001:db8::10", HTTP, "2001:db8::10", "2001:db8::10", 80}, {"::/0", TCP, "::", all6, 0},
        {"2001:db8::10:443", TCP, "2001:db8::10:443", "2001:db8::10:443", 0},  // bare: all of it is the address
        {"[2001:DB8::10]:443", TCP, "2001:db8::10", "2001:db8::10", 443},
        {"2001:db8::/64", MYSQL, "2001:db8::", "2001:db8::ffff:ffff:ffff:ffff", 3306},
        {"[2001:db8::/64]:443", TCP, "2001:db8::", "2001:db8::ffff:ffff:ffff:ffff", 443},
        {"2001:db8::1-2001:db8::ff", ANY, "2001:db8::1", "2001:db8::ff", 0},
        {"[::ffff:10.0.0.0/104]:80", TCP, "10.0.0.0", "10.255.255.255", 80},  // IPv4 in its IPv6 form
        {longest.c_str(), TCP, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fff0", all6, 65535},
    };
    HostInfoT h;
    for (const Case& c : cases) {
        ASSERT_EQ(makeHostInfo(&h, c.text, c.protoIdx, "12345678"), 0) << c.text;
        EXPECT_EQ(std::tuple(ipText(h.addressLow), ipText(h.addressHigh), h.port, std::string(h.addrStr)),
                  std::tuple(c.low, c.high, c.port, c.text));
    }
    for (const char* text : {"192.168.1.5/24", "1.2.3.0/abc", "10.0.0.0/-8", "1.2.3.4:0", "1.2.3.4:65536",
                             "1.2.3.4:99999999999", "1.2.3.4:80a", "1.2.3.4:", "256.1.1.1", "1.2.3.4294967297",
                             "1.2.3", "1.2.3/8", "1.+2.3.4", "1.2.3.4-", "", "[2001:db8::10", "2001:db8::10]",
                             "[2001:db8::10]443", "[2001:db8::10]:", "[[2001:db8::10]]:80", "[1.2.3.4]:80",
                             "[2001:db8::10]:0", "[2001:db8::10]:65536", "2001:db8::/129", "2001:db8::1/64",
                             "2001:db8::/", "::ffff:10.0.0.0/95", "1.2.3.4-2001:db8::1", "2001:db8::ff-2001:db8::1",
                             "fe80::1%eth0", " 2001:db8::10", "2001:db8::10 ", "[2001:db8::10] :80"})
        EXPECT_EQ(makeHostInfo(&h, text, TCP, "1"), -1) << text;
    EXPECT_EQ(makeHostInfo(&h, "1.2.3.4", NUM_PROTO, "1"), -1);
    // Fields are cut to their width (an identifier from the file may be longer).
    std::string longText = "10.0.0.1-10.0.0.2 " + std::string(100, 'x');
    ASSERT_EQ(makeHostInfo(&h, longText.c_str(), TCP, longText.c_str()), 0);
    EXPECT_EQ(std::pair(std::strlen(h.addrStr), std::strlen(h.busiId)), std::pair(95ul, 31ul));
}

int add(const char* text, int protoIdx, const char* busiId = "1")
{
    HostInfoT h;
    EXPECT_EQ(makeHostInfo(&h, text, protoIdx, busiId), 0) << text;
    return addNewHostInfo(&h);
}
std::string entry(int index)
{
    HostInfoT h;
    return getHostEntry(index, &h) != 0 ? "none" : std::string(h.addrStr) + " " + h.protoStr + " " + h.busiId;
}

// Sorted by first address, later additions after equal starts; the first match wins.
TEST(EndpointTable, SortedTableAndLookup)
{
    testtables::clearEndpoints();
    EXPECT_EQ(findServer(ip(10, 1, 1, 1), 80, 6), -1);
    // 0 added, 1 already there (also when met after another entry with the same start).
    const std::tuple<const char*, int, const char*, int> adds[] = {
        {"10.1.1.1:80", TCP, "1", 0},  {"10.0.0.0/8", TCP, "1", 0},  {"192.168.1.0/24", HTTP, "1", 0},
        {"10.0.0.0/8", TCP, "1", 1},   {"10.0.0.0/8", TCP, "2", 0},  {"10.0.0.0/8", UDP, "1", 0},
        {"1.1.1.1", TCP, "1", 0},      {"10.0.0.0/8", TCP, "2", 1},  {"20.0.0.1:80", TCP, "1", 0},
        {"30.0.0.0/24", UDP, "1", 0},  {"40.0.0.0/24", ANY, "1", 0}, {"50.0.0.1:53", ANY, "1", 0},
        {"60.0.0.9-60.0.0.1", TCP, "1", 0}};
    for (auto [text, proto, id, rc] : adds) EXPECT_EQ(add(text, proto, id), rc) << text << " " << id;
    std::string table;
    for (int i = 0; i < readOnlyGlobal.cntHost; ++i) table += entry(i) + "; ";
    EXPECT_EQ(table, "1.1.1.1 TCP 1; 10.0.0.0/8 TCP 1; 10.0.0.0/8 TCP 2; 10.0.0.0/8 UDP 1; 10.1.1.1:80 TCP 1; "
                     "20.0.0.1:80 TCP 1; 30.0.0.0/24 UDP 1; 40.0.0.0/24 TCP & UDP 1; 50.0.0.1:53 TCP & UDP 1; "
                     "60.0.0.9-60.0.0.1 TCP 1; 192.168.1.0/24 HTTP 1; ");
    struct Case { IpAddrT address; int port, proto; const char* found; };
    const Case cases[] = {
        {ip(10, 1, 1, 1), 80, 6, "10.0.0.0/8 TCP 1"},    {ip(10, 1, 1, 1), 80, 17, "10.0.0.0/8 UDP 1"},
        {ip(10, 255, 255, 255), 1, 6, "10.0.0.0/8 TCP 1"}, {ip(20, 0, 0, 1), 80, 6, "20.0.0.1:80 TCP 1"},
        {ip(20, 0, 0, 1), 443, 6, "none"},  // TCP keeps its port
        {ip(192, 168, 1, 9), 443, 6, "192.168.1.0/24 HTTP 1"},  // an application type does not
        {ip(192, 168, 1, 9), 80, 17, "none"},  {ip(30, 0, 0, 7), 1, 6, "none"},
        {ip(40, 0, 0, 7), 1, 6, "40.0.0.0/24 TCP & UDP 1"}, {ip(40, 0, 0, 7), 1, 17, "40.0.0.0/24 TCP & UDP 1"},
        {ip(50, 0, 0, 1), 54, 17, "none"},     {ip(60, 0, 0, 5), 1, 6, "none"},  // a reversed range matches nothing
        {ip(255, 255, 255, 255), 1, 6, "none"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(entry(findServer(c.address, c.port, c.proto)), c.found) << "lookup " << &c - cases;
    EXPECT_EQ(entry(11) + entry(-1), "nonenone");
    // A frame's endpoint: its source's entry, wherever it stands, else its destination's.
    EXPECT_EQ(entry(findEndpointIndex(ip(192, 168, 1, 9), 443, ip(1, 1, 1, 1), 80, 6)), "192.168.1.0/24 HTTP 1");
    EXPECT_EQ(entry(findEndpointIndex(ip(9, 9, 9, 9), 443, ip(20, 0, 0, 1), 80, 6)), "20.0.0.1:80 TCP 1");
    EXPECT_EQ(entry(findEndpointIndex(ip(20, 0, 0, 1), 443, ip(9, 9, 9, 9), 80, 6)), "none");
    for (int index : {11, -1, 1}) deleteHostInfo(index);
    ASSERT_EQ(readOnlyGlobal.cntHost, 10);
    EXPECT_EQ(entry(1) + "; " + entry(9), "10.0.0.0/8 TCP 2; 192.168.1.0/24 HTTP 1");
    EXPECT_EQ(entry(findServer(ip(10, 1, 1, 1), 80, 6)), "10.0.0.0/8 TCP 2");

    // The table holds 64; fullness is checked before identity.
    for (int i = 0; readOnlyGlobal.cntHost < MAX_HOST; ++i)
        ASSERT_EQ(add(("2.0.0." + std::to_string(i)).c_str(), TCP), 0);
    EXPECT_EQ(add("10.9.9.9", TCP), 2);
    EXPECT_EQ(add("1.1.1.1", TCP), 2);  // already there, but full first
    deleteHostInfo(0);
    EXPECT_EQ(add("10.9.9.9", TCP), 0);
    testtables::clearEndpoints();
}

// IPv6 entries sort above the IPv4 ones (as 128-bit numbers) and match by the whole address.
TEST(EndpointTable, Ipv6LookupInPrefixAndRange)
{
    testtables::clearEndpoints();
    for (auto [text, proto] : {std::pair{"[2001:db8:1::1-2001:db8:1::ff]:443", TCP}, {"2001:db8::/64", TCP},
                               {"10.1.1.1", UDP}, {"[2001:db8:2::10]:8080", HTTP}, {"::/127", ANY}})
        ASSERT_EQ(add(text, proto), 0) << text;
    const char *net = "2001:db8::/64 TCP 1", *range = "[2001:db8:1::1-2001:db8:1::ff]:443 TCP 1";
    EXPECT_EQ(entry(0) + ", " + entry(1) + ", " + entry(2), std::string("::/127 TCP & UDP 1, 10.1.1.1 UDP 1, ") + net);
    const std::tuple<const char*, int, int, const char*> cases[] = {
        {"2001:db8::5", 1, 6, net}, {"2001:db8::ffff:ffff:ffff:ffff", 1, 6, net}, {"2001:db8:0:1::", 1, 6, "none"},
        {"2001:db8::5", 1, 17, "none"}, {"2001:db8:1::1", 443, 6, range}, {"2001:db8:1::ff", 443, 6, range},
        {"2001:db8:1::80", 444, 6, "none"}, {"2001:db8:1::100", 443, 6, "none"}, {"::2", 53, 17, "none"},
        {"2001:db8:2::10", 9, 6, "[2001:db8:2::10]:8080 HTTP 1"},  // an application type takes any port
        {"10.1.1.1", 53, 17, "10.1.1.1 UDP 1"}, {"::a01:101", 53, 17, "none"},  // the same last four bytes
    };
    for (auto [address, port, proto, found] : cases) EXPECT_EQ(entry(findServer(ipOf(address), port, proto)), found);
    // The walk ends above the source, not before the destination's entry; the source's entry wins.
    EXPECT_EQ(entry(findEndpointIndex(ipOf("::5"), 1, ipOf("2001:db8:1::7"), 443, 6)), range);
    EXPECT_EQ(entry(findEndpointIndex(ipOf("2001:db8::9"), 1, ipOf("::1"), 443, 6)), net);
    testtables::clearEndpoints();
}

// Entries derive from k (busiId), so a torn one shows; deleting entry 0 moves all others.
TEST(EndpointTable, ReadersNeverSeeHalfWrittenEntries)
{
    testtables::clearEndpoints();
    constexpr int kinds = 2000;
    static HostInfoT numbered[kinds];
    for (int k = 0; k < kinds; ++k) {
        std::string text = "10." + std::to_string(k >> 8) + "." + std::to_string(k & 0xFF) + ".0/24";
        ASSERT_EQ(makeHostInfo(&numbered[k], text.c_str(), k % NUM_PROTO, std::to_string(k).c_str()), 0);
    }
    std::atomic<bool> done {false};
    std::thread writer([&] {
        std::mt19937 rng(1);
        for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200); !done;) {
            addNewHostInfo(&numbered[rng() % kinds]);
            if (readOnlyGlobal.cntHost >= 48) deleteHostInfo(0);
            done = std::chrono::steady_clock::now() >= end;
        }
    });
    auto torn = [](const HostInfoT& h) {
        int k = std::atoi(h.busiId);
        return k < 0 || k >= kinds || std::memcmp(&h, &numbered[k], sizeof h) != 0;
    };
    long reads = 0, torns = 0;
    for (HostInfoT h; !done;) {
        int idx = findServer(ipFromV4(ipV4(numbered[reads % kinds].addressLow) | 9), 1521, 6);
        torns += idx < -1 || idx >= MAX_HOST || (idx >= 0 && getHostEntry(idx, &h) == 0 && torn(h));
        for (int i = 0; i < MAX_HOST && getHostEntry(i, &h) == 0; ++i, ++reads) torns += torn(h);
    }
    writer.join();
    testtables::clearEndpoints();
    EXPECT_EQ(torns, 0);
    EXPECT_GT(reads, 0);
}

// Filling ahead must leave what the tables hold, end once all are in, and
// leave every page resident.
TEST(TableMemory, FillAheadHandsOutThePagesAndKeepsTheirContents)
{
    constexpr std::size_t bytes = (4u << 20) + 12345;  // two steps and a part
    auto* a = static_cast<unsigned char*>(platform::allocTable(bytes));
    auto* b = static_cast<unsigned char*>(platform::allocTable(100));
    ASSERT_TRUE(a != nullptr && b != nullptr);
    a[100] = 7, a[bytes - 1] = 9, b[99] = 5;
    platform::fillAhead(a, bytes);
    platform::fillAhead(b, 100);
    int steps = 0;
    while (platform::fillAheadStep() && steps < 10) steps++;
    EXPECT_EQ(steps, 4);
    EXPECT_FALSE(platform::fillAheadStep());
    EXPECT_EQ(a[100] + a[bytes - 1] + b[99], 7 + 9 + 5);
    std::vector<unsigned char> resident((bytes + 4095) / 4096);
    ASSERT_EQ(mincore(a, bytes, resident.data()), 0);
    EXPECT_EQ(std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return (r & 1) == 0; }), 0);
}

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;
// Columns 0 and 3 hidden, the others as by default; the last flag follows.
const std::string columns = "0|1|1|0|1|1|0|1|0|0|1|1|1|1|1|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|";

class ConfTest : public ConfFixture {
protected:
    // Loads text as the configuration file; the rewrite that follows.
    std::string load(const std::string& text)
    {
        resetSettings();
        std::ofstream(conf, std::ios::binary) << text;
        EXPECT_EQ(loadConf(), 0);
        return readAll(conf);
    }
};

// Keys inside values, blanks before keys, case, bad and negative numbers, CRLF and a cut last line.
TEST_F(ConfTest, EachLineIsReadByItsOwnKey)
{
    const ReadOnlyGlobalT& g = readOnlyGlobal;
    auto tried = [&] {
        std::string s;
        for (const char* text : {g.tryExportStrLocalPath, g.tryExportStrRemotePath, g.tryDumpStrLocalPath,
                                 g.tryDumpStrRemotePath, g.tryDumpStrLocalSpace, g.kestrelStrRemotePath})
            s += std::string(text) + ",";
        return s + std::to_string(g.did) + "," + std::to_string(g.checkHttp) + "," + std::to_string(g.jsonFileInd);
    };
    const std::pair<std::string, std::string> cases[] = {
        // A key inside a value claims nothing; the value keeps its "=".
        {"dumpPath=/data/endpoint\nexportRemote=/x/dumpPath=y\n", ",/x/dumpPath=y,/data/endpoint,,,,0,0,0"},
        {"  \texportRemote=10.0.0.5:9000\n", ",10.0.0.5:9000,,,,,0,0,0"},
        {"kestrelDid=7\nkestrelDidX=5\nCheckHttp=1\n", ",,,,,,7,0,0"},  // keys are whole and case-sensitive
        {"checkHttp=abc\nexportInd=12\n", ",,,,,,0,0,12"},
        {"checkHttp=1\nexportInd=-4\n", ",,,,,,0,1,0"},  // a negative file number would leave the ring
        {"dumpSpace=300\r\ndumpRemote=10.1.1.1", ",,,10.1.1.1,300,,0,0,0"},
    };
    for (const auto& [text, want] : cases) {
        load(text);
        EXPECT_EQ(tried() + "," + std::to_string(g.cntHost), want + ",0") << text;
    }
}

// Empty and surplus column flags, and bad, repeated or id-less endpoint lines, in the table's order.
TEST_F(ConfTest, ColumnFlagsAndEndpointLines)
{
    std::string ones = "1";
    for (int i = 1; i < 45; ++i) ones += "|1";
    std::string written = load("columnShow=" + ones + "\n");
    EXPECT_NE(written.find("exportPath=\n"), npos) << written;
    EXPECT_NE(written.find("\ncolumnShow=" + ones.substr(0, 2 * NUM_NETLIST_FIELD - 1) + "\n"), npos) << written;
    written = load("columnShow=0|1||0\nendpoint=192.168.1.0/24|3|40213377\nendpoint=10.0.0.1|1\nendpoint=10.0.0.2\n"
                   "endpoint=10.0.0.3|9|1\nendpoint=192.168.1.0/24|3|40213377\n");
    EXPECT_EQ(std::tuple(int(readOnlyGlobal.cntHost), written.find("endpoint=10.0.0.1|1|"),
                         written.find("\nendpoint=192.168.1.0/24|3|40213377\nexportPath=")),
              std::tuple(2, std::size_t(0), std::size_t(28))) << written;
    EXPECT_NE(written.find("\ncolumnShow=" + columns + "0\n"), npos) << written;
}

// Any order and unknown keys come back in the writer's form, twice alike (IPv6 endpoints whole, in address
// order); dumpTrun alone is kept.
TEST_F(ConfTest, RewriteRoundTrip)
{
    const std::string want =
        "cardMac=AABBCCDDEEFF\nendpoint=192.168.1.0/24|3|40213377\nendpoint=2001:db8::/64|3|40213378\n"
        "endpoint=[2001:db8::1-2001:db8::ff]:443|1|7\n"
        "endpoint=[ffff:ffff:ffff:ffff:ffff:ffff:ffff:fff0-ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:65535|0|8\n"
        "exportPath=" + sub("json") +
        "\nexportRemote=127.0.0.2:9000\nexportSpace=100\nexportInd=3\ndumpPath=" + sub("pkts") +
        "\ndumpRemote=127.0.0.2\ndumpSpace=100\ndumpTrun=128\ndumpInd=1\nkestrel=\nkestrelDid=9\ncheckHttp=1\n"
        "columnShow=" + columns + "1\n";
    std::string edited = "unknown=1\n", line;
    for (std::istringstream in(want); std::getline(in, line);) edited.insert(0, line + "\n");  // last line first
    EXPECT_EQ(load(edited), want);
    EXPECT_EQ(std::pair(int(readOnlyGlobal.expPort), int(readOnlyGlobal.maxLength)), std::pair(9000, 128));
    EXPECT_EQ(load(want), want);
    const std::string trunOnly = load("dumpTrun=200\n");
    EXPECT_NE(trunOnly.find("\ndumpTrun=200\n"), npos) << trunOnly;
    EXPECT_EQ(readOnlyGlobal.maxLength, 200);
}

// A rewrite stopped half-way keeps the old file and leaves no temporary file.
TEST_F(ConfTest, FailedRewriteLeavesTheOldFile)
{
    const std::string old = "exportInd=5\n";
    fs::path tmp = conf.string() + ".tmp";
    std::ofstream(conf) << old;
    readOnlyGlobal.jsonFileInd = 6;
    fs::create_directory(tmp);  // in the way of the temporary file
    EXPECT_EQ(refreshConf(), -1);
    EXPECT_EQ(readAll(conf), old);
    fs::remove(tmp);
    EXPECT_EQ(onFullDisk(100, refreshConf), -1);
    EXPECT_EQ(readAll(conf) + std::to_string(fs::exists(tmp)), old + "0");

    // Afterwards it is written as usual, with the old file's permissions.
    fs::permissions(conf, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(refreshConf(), 0);
    EXPECT_NE(readAll(conf).find("exportInd=6\n"), npos);
    EXPECT_EQ(fs::status(conf).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

// Stores and dialogs saving on their own threads: every file seen is whole.
TEST_F(ConfTest, ConcurrentRewritesLeaveAWholeFile)
{
    std::atomic<bool> done {false};
    int torn = 0;
    std::thread reader([&] {
        for (std::string text; !done; text = readAll(conf)) torn += !text.empty() && text.find("\ncolumnShow=") == npos;
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                if (t == 0) readOnlyGlobal.jsonFileInd = i;
                EXPECT_EQ(refreshConf(), 0);
            }
        });
    }
    for (std::thread& w : writers) w.join();
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_NE(readAll(conf).find("exportInd=49\n"), npos);
}

}  // namespace
