#include "ui/list_text.h"

#include <glib.h>

#include <cstring>

#include "capture/engine.h"
#include "core/util.h"

const char* const infoTitles[NUM_NETLIST_FIELD] = {
    "Time  ", "Process  ", "CPU ", "Memory ", "Source  ", "Destination  ", "Protocol  ", "URL/SQL*",
    "srcTraffic (bps)  ", "dstTraffic (bps)  ", "srcLossRatio (%)  ", "dstLossRatio (%)  ", "responseTime (ms)  ",
    "srcNetLatency (ms)  ", "dstNetLatency (ms)  ", "srcHandleTime (ms)  ", "dstHandleTime (ms)  ",
    "loadTransTime (ms)  ", "srcRetransTime (ms)  ", "dstRetransTime (ms)  ", "srcPkts (pps)  ", "dstPkts (pps)  ",
    "srcRetransPkts (num)  ", "dstRetransPkts (num)  ", "srcSynPkts (num)  ", "dstSynPkts (num)  ",
    "srcSynAckPkts (num)  ", "dstSynAckPkts (num)  ", "srcRstPkts (num)  ", "dstRstPkts (num)  ",
    "srcFinPkts (num)  ", "dstFinPkts (num)  ", "srcTinyPkts (num)  ", "dstTinyPkts (num)  ",
    "srcZeroWinPkts (num)  ", "dstZeroWinPkts (num)  ", "largePkts (num)  ", "avgPktLen (byte)",
};

const char* const infoTitlesCate[NUM_KPI_CATE] = {"Base", "Latecny", "Byte", "Packet", "Flags"};

int columnCheckNum[NUM_KPI_CATE][NUM_NETLIST_FIELD];

void initColumCheckNum()
{
    static const int base[] = {0, 1, 2, 3, 4, 5, 6, 7};
    static const int latency[] = {12, 13, 14, 15, 16, 17, 18, 19};
    static const int bytes[] = {8, 9};
    static const int pkt[] = {20, 21, 10, 11, 22, 23, 32, 33, 34, 35, 36, 37};
    static const int flag[] = {24, 25, 26, 27, 28, 29, 30, 31};
    struct {
        const int* cols;
        int n;
    } const rows[NUM_KPI_CATE] = {{base, 8}, {latency, 8}, {bytes, 2}, {pkt, 12}, {flag, 8}};
    for (int c = 0; c < NUM_KPI_CATE; c++) {
        for (int i = 0; i < NUM_NETLIST_FIELD; i++) columnCheckNum[c][i] = i < rows[c].n ? rows[c].cols[i] : -1;
    }
}

// The KPI texts are computed in single precision and printed as double, so
// that every figure rounds the way the records' readers expect.
namespace {

char* printScaled(float v, char* out, bool withM)
{
    std::snprintf(out, KPI_TEXT_SIZE, "%.2f", static_cast<double>(v));
    if (v > 10000) std::snprintf(out, KPI_TEXT_SIZE, "%.2fK", static_cast<double>(v / 1000));
    if (withM && v > 10000000) std::snprintf(out, KPI_TEXT_SIZE, "%.2fM", static_cast<double>(v / 1000000));
    return out;
}

char* printFloat(float v, char* out)
{
    std::snprintf(out, KPI_TEXT_SIZE, "%.2f", static_cast<double>(v));
    return out;
}

}  // namespace

char* getTraffic(u32 bytes, char* out) { return printScaled(static_cast<float>(bytes) * 8 / 10, out, true); }

char* getPkts(u32 pkts, char* out) { return printScaled(static_cast<float>(pkts) / 10, out, false); }

char* getRatio(u32 a, u32 b, char* out)
{
    return printFloat(b == 0 ? 0.0f : static_cast<float>(a) / static_cast<float>(b) * 100, out);
}

char* getDelay(u32 sum, u32 cnt, char* out)
{
    return printFloat(cnt == 0 ? 0.0f : static_cast<float>(sum) / static_cast<float>(cnt) / 1000, out);
}

const char* protocolCell(u32 proto, u32 type)
{
    if (const ApplicationT* app = applicationOf(static_cast<int>(type))) return app->name;
    switch (proto) {
    case 1: return "ICMP";
    case 6: return "TCP";
    case 17: return "UDP";
    case 58: return "ICMPv6";
    default: return "";
    }
}

char* UTF2GB(const char* str) { return g_convert(str, -1, "UTF-8", "GB2312", nullptr, nullptr, nullptr); }

void systemText(const char* in, char* out, std::size_t outSize)
{
    out[0] = '\0';
    if (g_utf8_validate(in, -1, nullptr)) {
        g_strlcpy(out, in, outSize);
    } else if (char* utf8 = UTF2GB(in)) {
        g_strlcpy(out, utf8, outSize);
        g_free(utf8);
    }
    // A cut may have split a character; keep the whole ones.
    const char* end = nullptr;
    if (!g_utf8_validate(out, -1, &end)) out[end - out] = '\0';
}

char* cellText(const CommMsgT& r, int field, char* out)
{
    out[0] = '\0';
    char* kpi = out;
    switch (field) {
    case TIME: return getStrTime(r.time, out);
    case PROCESS: {
        // A stored record's name may fill its field: read within it.
        char name[sizeof r.pname + 1];
        std::memcpy(name, r.pname, sizeof r.pname);
        name[sizeof r.pname] = '\0';
        systemText(name, out, CELL_TEXT_SIZE);
        return out;
    }
    case PROC_CPU: std::snprintf(out, CELL_TEXT_SIZE, "%.3f", static_cast<double>(r.cpu)); return out;
    case PROC_MEM: std::snprintf(out, CELL_TEXT_SIZE, "%d KB", static_cast<int>(r.mem)); return out;
    case SOURCE: formatIpPort(r.src, static_cast<int>(r.sport), out); return out;
    case DESTINATION: formatIpPort(r.dst, static_cast<int>(r.dport), out); return out;
    case PROTOCOL: std::snprintf(out, CELL_TEXT_SIZE, "%s", protocolCell(r.proto, r.type)); return out;
    case URL_SQL: std::snprintf(out, CELL_TEXT_SIZE, "%.*s", int(sizeof r.urlsql), r.urlsql); return out;
    case SRC_TRAFFIC: return getTraffic(r.sendBytes, kpi);
    case DST_TRAFFIC: return getTraffic(r.rcvdBytes, kpi);
    case SRC_LOSS_RATIO: return getRatio(r.sendRetransmitPkts, r.sendPkts, kpi);
    case DST_LOSS_RATIO: return getRatio(r.rcvdRetransmitPkts, r.rcvdPkts, kpi);
    case RESPONSE_DELAY: return getDelay(r.customDelayUsec, r.cntCustomDelay, kpi);
    case SRC_NET_DELAY: return getDelay(r.srcDelayUsec, r.cntSrcDelay, kpi);
    case DST_NET_DELAY: return getDelay(r.dstDelayUsec, r.cntDstDelay, kpi);
    case SRC_HANDLE_DELAY: return getDelay(r.srcConDelayUsec, 1, kpi);
    case DST_HANDLE_DELAY: return getDelay(r.dstConDelayUsec, 1, kpi);
    case LOADTRANS_DELAY: return getDelay(r.loadDelayUsec, r.cntLoadDelay, kpi);
    case SRC_RETRANS_DELAY: return getDelay(r.srcRetransDelayUsec, 1, kpi);
    case DST_RETRANS_DELAY: return getDelay(r.dstRetransDelayUsec, 1, kpi);
    case SRC_PKTS: return getPkts(r.sendPkts, kpi);
    case DST_PKTS: return getPkts(r.rcvdPkts, kpi);
    case AVG_PKT_LEN: {
        u32 pkts = r.sendPkts + r.rcvdPkts;
        if (pkts != 0) std::snprintf(out, CELL_TEXT_SIZE, "%u", (r.sendBytes + r.rcvdBytes) / pkts);
        return out;
    }
    default: break;
    }
    // The plain counts of columns 22 to 36, in column order.
    const u32 counts[] = {
        r.sendRetransmitPkts, r.rcvdRetransmitPkts, r.sendSynPkts, r.rcvdSynPkts, r.sendSynAckPkts,
        r.rcvdSynAckPkts, r.sendRstPkts, r.rcvdRstPkts, r.sendFinPkts, r.rcvdFinPkts, r.sendTinyPkts,
        r.rcvdTinyPkts, r.cntSrcZeroWin, r.cntDstZeroWin, r.largePkts,
    };
    if (field >= SRC_RETRANS_PKTS && field <= LARGE_PKTS) {
        std::snprintf(out, CELL_TEXT_SIZE, "%u", counts[field - SRC_RETRANS_PKTS]);
    }
    return out;
}

namespace {

// One CSV field and its separator; quoted where a comma, a quote or a line
// break would otherwise split or end the record.
bool putField(FILE* fp, const char* text)
{
    if (std::strpbrk(text, ",\"\r\n") == nullptr) return std::fprintf(fp, "%s,", text) >= 0;
    bool ok = std::fputc('"', fp) != EOF;
    for (const char* p = text; ok && *p; p++) {
        ok = (*p != '"' || std::fputc('"', fp) != EOF) && std::fputc(*p, fp) != EOF;
    }
    return ok && std::fputs("\",", fp) != EOF;
}

}  // namespace

bool writeCsvHeader(FILE* fp)
{
    bool ok = true;
    for (const char* title : infoTitles) ok = ok && putField(fp, title);
    return ok && std::fputs("NULL\n", fp) != EOF;
}

bool writeCsvRecord(FILE* fp, const CommMsgT& r)
{
    if (r.time == 0) return true;
    char cell[CELL_TEXT_SIZE];
    bool ok = true;
    for (int f = 0; ok && f < NUM_NETLIST_FIELD; f++) {
        // The file names the transport only, as the records do.
        const char* text = f == PROTOCOL ? (r.proto == 17 ? "UDP" : r.proto == 1 ? "ICMP" : "TCP")
                                         : cellText(r, f, cell);
        ok = putField(fp, text);
    }
    return ok && std::fputs("NULL\n", fp) != EOF;
}

int writeCsv(const char* path, const CommMsgT* recs, int count)
{
    FILE* fp = std::fopen(path, "w");
    if (fp == nullptr) return -1;
    bool ok = writeCsvHeader(fp);
    for (int i = 0; ok && i < count; i++) ok = writeCsvRecord(fp, recs[i]);
    return std::fclose(fp) == 0 && ok ? 0 : -1;
}

bool csvFileName(const char* chosen, char* out, std::size_t outSize)
{
    std::size_t n = std::strlen(chosen);
    bool hasExt = n >= 4 && std::strcmp(chosen + n - 4, ".csv") == 0;
    int w = std::snprintf(out, outSize, hasExt ? "%s" : "%s.csv", chosen);
    return w >= 0 && static_cast<std::size_t>(w) < outSize;
}

void statusLineText(const StatusLineT& s, char* out, std::size_t outSize)
{
    char name[128];
    if (s.card[0] != '\0') {
        std::snprintf(name, sizeof name, "%s", s.card);
    } else {
        std::snprintf(name, sizeof name, s.findMac[0] != '\0' ? "card %s" : "No card", s.findMac);
    }
    char card[256];
    std::snprintf(card, sizeof card, s.address[0] != '\0' ? "%s (%s)" : "%s", name, s.address);
    char state[192];
    switch (s.state) {
    case WX_CAPTURE_ON: std::snprintf(state, sizeof state, "Capturing"); break;
    case WX_CAPTURE_LOST: std::snprintf(state, sizeof state, "Card lost"); break;
    case WX_CAPTURE_DENIED: std::snprintf(state, sizeof state, "No permission to capture on %s", name); break;
    default: std::snprintf(state, sizeof state, "Waiting for the card"); break;
    }
    char scan[32] = "";
    tm local {};
    if (s.lastScan != 0 && localtime_r(&s.lastScan, &local) != nullptr) {
        std::snprintf(scan, sizeof scan, "   last scan %02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    }
    std::snprintf(out, outSize, "%s   %s   %llu captured, %llu analysed, %llu lost%s", card, state,
                  static_cast<unsigned long long>(s.captured), static_cast<unsigned long long>(s.analysed),
                  static_cast<unsigned long long>(s.lost), scan);
}

const char* emptyListText(bool cardSelected, int endpoints)
{
    if (!cardSelected) return "No card is selected: choose one with \"Select NIC\"";
    if (endpoints <= 0) return "No endpoint is monitored: add one in \"Analysis settings\"";
    return nullptr;
}
