// The texts of the live list: column titles, KPI formats, the cells of a
// record and its CSV line. GLib only, no widgets, so it runs without a display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "core/global_define.h"

enum WX_NETLIST_FIELD {
    TIME, PROCESS, PROC_CPU, PROC_MEM, SOURCE, DESTINATION, PROTOCOL, URL_SQL,
    SRC_TRAFFIC, DST_TRAFFIC, SRC_LOSS_RATIO, DST_LOSS_RATIO, RESPONSE_DELAY,
    SRC_NET_DELAY, DST_NET_DELAY, SRC_HANDLE_DELAY, DST_HANDLE_DELAY, LOADTRANS_DELAY,
    SRC_RETRANS_DELAY, DST_RETRANS_DELAY, SRC_PKTS, DST_PKTS, SRC_RETRANS_PKTS,
    DST_RETRANS_PKTS, SRC_SYN_PKTS, DST_SYN_PKTS, SRC_SYNACK_PKTS, DST_SYNACK_PKTS,
    SRC_RST_PKTS, DST_RST_PKTS, SRC_FIN_PKTS, DST_FIN_PKTS, SRC_TINY_PKTS,
    DST_TINY_PKTS, SRC_ZEROWIN_PKTS, DST_ZEROWIN_PKTS, LARGE_PKTS, AVG_PKT_LEN,
};
static_assert(AVG_PKT_LEN + 1 == NUM_NETLIST_FIELD);

enum WX_KPI_CATE {
    WX_KPI_CATE_BASE, WX_KPI_CATE_LATENCY, WX_KPI_CATE_BYTE, WX_KPI_CATE_PKT, WX_KPI_CATE_FLAG,
    NUM_KPI_CATE,
};

extern const char* const infoTitles[NUM_NETLIST_FIELD];
extern const char* const infoTitlesCate[NUM_KPI_CATE];
// Column numbers of each category in display order, -1 behind the last.
extern int columnCheckNum[NUM_KPI_CATE][NUM_NETLIST_FIELD];
void initColumCheckNum();

// Room for any KPI text.
constexpr int KPI_TEXT_SIZE = 64;
// Bits per second of a ten-second byte count, with K and M steps.
char* getTraffic(u32 bytes, char* out);
// Packets per second of a ten-second count, with a K step.
char* getPkts(u32 pkts, char* out);
// a over b in percent; "0.00" when b is 0.
char* getRatio(u32 a, u32 b, char* out);
// Average of a microsecond sum in milliseconds; "0.00" when cnt is 0.
char* getDelay(u32 sum, u32 cnt, char* out);

// The name of the list's protocol cell; "" for an unknown combination.
const char* protocolCell(u32 proto, u32 type);

// A GB2312 text as UTF-8 (g_free it), or nullptr when it cannot be converted.
char* UTF2GB(const char* str);
// Text from the system for display: kept when it is UTF-8 already, else
// converted from GB2312; "" when neither works.
void systemText(const char* in, char* out, std::size_t outSize);

// Room for any cell: the longest is the URL/SQL text.
constexpr int CELL_TEXT_SIZE = sizeof(CommMsgT::urlsql) + 8;
// The text of one column of a record (its program's cells too: the record's
// own, as exported or stored). Returns out.
char* cellText(const CommMsgT& rec, int field, char* out);

// The CSV export: the header line, then one line per record whose time is
// not 0, with the process cells from the live port table. 0, or -1 when the
// file cannot be written.
int writeCsv(const char* path, const CommMsgT* recs, int count);
// The same in pieces, for a result too long to hold: the header line, and the
// line of one record (none for a record of time 0); false when a write failed.
bool writeCsvHeader(FILE* fp);
bool writeCsvRecord(FILE* fp, const CommMsgT& r);
// The export file name: chosen with ".csv" appended unless it ends in it.
// false when the name does not fit out.
bool csvFileName(const char* chosen, char* out, std::size_t outSize);

// What the main window's status line shows: the selected card (name ""
// when none is, then the remembered physical address, if any, stands for
// it), the capture state (WX_CAPTURE_STATE), the frame counts since start
// and the period stamp of the latest scan (0 before the first).
struct StatusLineT {
    const char* card;
    const char* address;
    const char* findMac;
    int state;
    std::uint64_t captured, analysed, lost;
    time_t lastScan;
};
// "eth0 (192.0.2.5)   Capturing   5 captured, 5 analysed, 0 lost   last scan 10:42:30"
void statusLineText(const StatusLineT& s, char* out, std::size_t outSize);
// The line of the empty live list when nothing can come into it (no card
// selected, no endpoint monitored), naming the button that mends it; nullptr
// when rows can come.
const char* emptyListText(bool cardSelected, int endpoints);
