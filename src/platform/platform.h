// The few operating-system services the probe needs, in one place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

// Each fills out (capacity cap, NUL-terminated) and returns 0, or returns an
// errno-style code (> 0) when the value cannot be had or does not fit.
int exePath(char* out, std::size_t cap);   // full path of the running executable
int tmpDir(char* out, std::size_t cap);    // the user's temporary directory, ending in '/'
int hostName(char* out, std::size_t cap);
int userName(char* out, std::size_t cap);
int makeDir(const char* path);             // 0, or errno; an existing directory is fine
// The program's folder (configuration, log, default stores), made when
// missing: home when given, else Wirelane in the temporary directory; when
// that one is not the user's own, Wirelane-USER beside it, and *aside is set.
// 0, -1 when even that one belongs to another user, or errno.
int programFolder(const char* home, char* out, std::size_t cap, bool* aside);

std::uint32_t tickCountMs();               // monotonic milliseconds
void sleepMs(int ms);
// Lowers the calling thread's scheduling priority a little: for threads that
// write out results, which may lag, so that capture and analysis, which must
// not, get the processors first when both want them.
void yieldToCapture();

// Memory for a large table that lives as long as the process: zero-filled,
// and in huge pages where the kernel offers them, so that filling it costs a
// page fault per 2 MiB, not one per 4 KiB. nullptr when none is left.
void* allocTable(std::size_t bytes);
// Asks for huge pages over the whole 2 MiB pages inside [p, p + bytes), for
// large records that are not allocated (static ones); only a hint.
void preferHugePages(void* p, std::size_t bytes);
// Tables whose pages had better be handed out before their first use: the
// kernel zero-fills a page where it is first touched, and the thread that
// touches it waits meanwhile. fillAheadStep has the next 2 MiB of the listed
// tables handed out, in the order listed, without changing what they hold;
// false once all are in (or the kernel cannot do it). A few tables at most,
// listed before the thread that takes the steps starts.
void fillAhead(void* p, std::size_t bytes);
bool fillAheadStep();

// The adapter report that the card parser reads: per interface an unindented
// heading line, an indented physical-address line and one indented IPv4 line
// per address. Writes at most cap - 1 bytes and a NUL; returns the length, or
// -1 when the interfaces cannot be listed.
int adapterReport(char* out, std::size_t cap);

// ---- interfaces and default routes -----------------------------------------

constexpr int MAX_IF_ADDR = 16;

// One network interface with the facts a choice of card needs.
struct InterfaceT {
    char name[64];
    bool up;
    bool loopback;
    // Metric of the lowest default route through it, per family; -1 when
    // none goes through it.
    long defaultV4;
    long defaultV6;
    int cntAddr;
    // Bytes in network order, an IPv4 address in its IPv4-mapped form.
    std::array<std::uint8_t, 16> addr[MAX_IF_ADDR];
};

// The interfaces (at most MAX_IF_ADDR addresses each, in the system's
// order) and the default routes of the main table through them. 0, or an
// errno-style code when the interfaces cannot be listed; unreadable route
// tables leave no default route.
int listInterfaces(std::vector<InterfaceT>& out);
// Reads one line of /proc/net/route (family 4) or /proc/net/ipv6_route (6):
// true for a default route that is up and does not reject, with the name of
// its interface (cap bytes) and its metric.
bool parseDefaultRoute(const char* line, int family, char* iface, std::size_t cap, long* metric);

// ---- sockets and processes ----------------------------------------------------

// One row of the system's TCP or UDP socket table, IPv4 or IPv6.
struct SocketRowT {
    // Bytes in network order; an IPv4 address in its IPv4-mapped form
    // (::ffff:a.b.c.d), so that both families sort and compare alike.
    std::array<std::uint8_t, 16> localAddr;
    std::array<std::uint8_t, 16> remoteAddr;
    std::uint16_t localPort;
    std::uint16_t remotePort;
    std::uint64_t inode;       // 0 for a socket no process holds (TIME_WAIT)
    int pid;                   // owning process, 0 when none can be seen
};

// Reads one line of /proc/net/tcp, tcp6, udp or udp6 (addresses of 8 or 32
// hexadecimal digits) into row, owner not filled in; false for the heading or
// a line that does not hold a whole row.
bool parseSocketRow(const char* line, SocketRowT* row);
// Appends the rows of the table of proto (6 TCP, sorted by local then remote
// address and port; 17 UDP) and family (4 or 6) to rows, owners not yet
// filled in. A system without IPv6 has an empty IPv6 table. 0, or an
// errno-style code.
int socketTable(int proto, int family, std::vector<SocketRowT>& rows);
// Fills in the owner of every row with one walk over the processes' open
// files; a socket held by several processes goes to the lowest process id.
void findSocketOwners(std::vector<SocketRowT>& rows);

// A process opened for reading its figures; one process for its whole life,
// even if its id is reused meanwhile. 0, or an errno-style code.
int openProcess(int pid, int* proc);
void closeProcess(int proc);
// Base name of the process's executable, or its command name when the
// executable cannot be read.
int processName(int proc, char* out, std::size_t cap);
// User plus system time, in 100-ns units.
int processCpuTime(int proc, std::uint64_t* time100ns);
// Resident set size in KiB.
int processRssKiB(int proc, int* kib);
int processorCount();

}  // namespace platform

namespace platform {

// ---- start with the desktop session -------------------------------------------

// The desktop program's XDG autostart entry,
// $XDG_CONFIG_HOME/autostart/Wirelane.desktop (~/.config/autostart when that
// is not set). Exists: the program starts with the session.
bool autostartExists();
// Creates the entry for the executable exe, or removes it. 0, or the
// errno-style code of what failed.
int setAutostart(bool on, const char* exe);

}  // namespace platform
