// Logging, time and string utilities; monitored endpoints and their lookup.
#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/global_define.h"
#include "core/ipaddr.h"
#include "core/protocols.h"

// ---- logging and time ----------------------------------------------------

// One line: local time, level tag (1 MESSAGE, 2 WARNING, 3 ERROR), text and a
// newline, to the console stream and to the log file, flushed at once.
void writeLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Where console copies of log lines go (standard output unless records do).
void setLogConsole(FILE* stream);

// The value of a hexadecimal digit, either case; -1 for another character.
inline int hexDigit(char c)
{
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                  : -1;
}

void getDateTime(char* out);                // at least 20 bytes
char* getStrTime(time_t tt, char* out);     // at least 20 bytes
char* format_tv(timeval tv, char* out, int size);
time_t getGlobalTime(time_t tt);            // start of the 10-second period
// value as printf's "%.<places>f" (places 0 to 3) writes it, into at least 64
// bytes; the length written.
int formatFixed(char* out, double value, int places);
// Copies at most cap - 1 bytes of src (nullptr: none) and always terminates dst.
void copyText(char* dst, std::size_t cap, const char* src);
// Writes x in decimal ending just before end, two digits a step; returns its
// first digit. Inline: the record writers call it for every number.
inline char* decimalBefore(unsigned long long x, char* end)
{
    static constexpr char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    while (x >= 100) {
        const unsigned two = static_cast<unsigned>(x % 100);
        x /= 100;
        end -= 2;
        std::memcpy(end, pairs + 2 * two, 2);
    }
    if (x >= 10) {
        end -= 2;
        std::memcpy(end, pairs + 2 * x, 2);
    } else {
        *--end = static_cast<char>('0' + x);
    }
    return end;
}
// Length of the well-formed UTF-8 sequence at p (avail bytes there), or 0:
// what the record writer keeps as it is rather than escaping byte by byte.
inline std::size_t utf8Length(const unsigned char* p, std::size_t avail)
{
    std::size_t len = p[0] >= 0xF0 && p[0] <= 0xF4 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC2 && p[0] <= 0xDF ? 2 : 0;
    if (len == 0 || len > avail) return 0;
    for (std::size_t k = 1; k < len; k++) {
        if ((p[k] & 0xC0) != 0x80) return 0;
    }
    if (len == 3 && ((p[0] == 0xE0 && p[1] < 0xA0) || (p[0] == 0xED && p[1] >= 0xA0))) return 0;
    if (len == 4 && ((p[0] == 0xF0 && p[1] < 0x90) || (p[0] == 0xF4 && p[1] >= 0x90))) return 0;
    return len;
}
// The number of decimal digits of x.
inline int decimalLength(unsigned long long x)
{
    int n = 1;
    for (unsigned long long limit = 10; n < 20 && x >= limit; limit *= 10) n++;
    return n;
}
// For running counts of work asked for and done, which may wrap: whether done
// has come up to target.
inline bool countReached(unsigned done, unsigned target) { return done - target < 0x80000000u; }

// ---- strings -------------------------------------------------------------

void trim(char* str);
int isEmptyString(char* str);
int isNumber(char* str);
void toLowerCase(char* str);
void getRandStrId(char* out);  // eight digits, at least 9 bytes
void getJsonValue(const char* keyval, char* out, int outSize);
char* processWinPath(const char* path, char* out, int outSize);
void getDomainFromUrl(char* url, char* out, int outSize);

// ---- IPv4 text and name resolution ----------------------------------------

// Resolves name (a host name, a dotted IPv4 or an IPv6 address), fills addr
// with the first address the resolver gives, of either family, and port, and
// remembers the address as one of the probe's own peers. An IPv4-mapped IPv6
// address is kept as the IPv4 address it carries. 0 or -1.
int getDomainAddr(const char* name, int port, sockaddr_storage* addr);
// The length of addr for connect: that of its family's address.
socklen_t sockAddrLen(const sockaddr_storage& addr);
// A destination's address; all zeros for a family other than IPv4 and IPv6.
IpAddrT sockAddrIp(const sockaddr_storage& addr);
// 1 when ip is one of the probe's own peers.
int isManagerAddr(const IpAddrT& ip);

// The host and port parts of "host:port", "[IPv6]:port", "[IPv6]", a plain
// host or a bare IPv6 address (whose colons are its own: it carries no port).
// host gets the host without brackets, cut to hostSize; *port points at the
// port's text within text, or is null when none is written. 0, or -1 when the
// text is malformed: an unclosed bracket, or anything but ":port" after one.
int splitHostPort(const char* text, char* host, int hostSize, const char** port);
// The host of an address text that takes no port: "[IPv6]" without its
// brackets, any other text as it is (a port in it then fails to resolve).
const char* bareHost(const char* text, char* out, int outSize);
// "host:port", or "[host]:port" for an IPv6 address; out.
char* hostPortText(const char* host, int port, char* out, int outSize);

// ---- monitored endpoints ---------------------------------------------------


int getIPFromStr(const char* text, u32* address);
int checkPortStr(const char* text);
int getSubnet(char* text, u32* low, u32* high);
int getPortFromStr(const char* text);
// The endpoint text: for IPv4 "a.b.c.d", "a.b.c.d/len" or "a.b.c.d-e.f.g.h",
// each with an optional ":port"; for IPv6 the same three forms bare, or in
// brackets to be followed by ":port" ("[2001:db8::/64]:443").
int getHostInfo(HostInfoT* host);
// Fills a zeroed endpoint from its text, protocol index and business id, the
// way both producers do; the result of getHostInfo (0 or -1).
int makeHostInfo(HostInfoT* host, const char* addrStr, int protoIdx, const char* busiId);

// The table readOnlyGlobal.hostInfo / cntHost is changed only through these two
// (from one thread at a time) and read by the capture and processing threads
// through findServer and getHostEntry, which never see a half-written entry.
int addNewHostInfo(const HostInfoT* host);  // 0 added, 1 exists, 2 full
void deleteHostInfo(int index);
int findServer(IpAddrT address, int port, int proto);
// Consistent copy of entry index; 0, or -1 when the index is out of range.
int getHostEntry(int index, HostInfoT* out);
// Changes whenever the table does: a copy taken at one version is still
// current while the version is the same.
unsigned hostTableVersion();

// The endpoint of a packet: the entry findServer gives for its source, else
// for its destination; -1 for neither (and while the table is empty).
int findEndpointIndex(IpAddrT src, int sport, IpAddrT dst, int dport, int proto);
// That lookup made ahead for a frame (by the capture thread's filter), good
// while the table is at version; version 1 (odd, never a settled table's)
// when none was made.
struct EndpointHintT {
    int index = -1;
    unsigned version = 1;
    bool current() const { return version == hostTableVersion(); }
};
