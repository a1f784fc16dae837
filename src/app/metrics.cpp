#include "app/metrics.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/session.h"
#include "capture/engine.h"
#include "capture/pipeline.h"
#include "capture/ring.h"
#include "core/global_define.h"
#include "output/channel.h"
#include "output/pairs.h"
#include "output/scan.h"

namespace {

// Room for the whole exposition: about 4 KiB today.
constexpr std::size_t EXPOSITION_BYTES = 16384;
constexpr char CONTENT_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";

int listenFd = -1;
MHD_Daemon* server = nullptr;

// Appends to a fixed buffer; a text that does not fit marks it full.
struct WriterT {
    char* out;
    std::size_t cap;
    std::size_t len = 0;
    bool full = false;

    __attribute__((format(printf, 2, 3))) void add(const char* fmt, ...)
    {
        if (full) return;
        va_list ap;
        va_start(ap, fmt);
        int n = std::vsnprintf(out + len, cap - len, fmt, ap);
        va_end(ap);
        if (n < 0 || static_cast<std::size_t>(n) >= cap - len) {
            full = true;
            return;
        }
        len += static_cast<std::size_t>(n);
    }
    void head(const char* name, const char* type, const char* help)
    {
        add("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
    }
    void counter(const char* name, const char* help, std::uint64_t value)
    {
        head(name, "counter", help);
        add("%s %llu\n", name, static_cast<unsigned long long>(value));
    }
    void gauge(const char* name, const char* help, double value)
    {
        head(name, "gauge", help);
        add("%s %.17g\n", name, value);
    }
};

MHD_Result answer(void*, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, std::size_t*, void**)
{
    static const char notFound[] = "not found: only /metrics is served\n";
    static const char notAllowed[] = "only GET and HEAD are answered\n";
    unsigned status = MHD_HTTP_OK;
    char text[EXPOSITION_BYTES];
    const char* body = text;
    std::size_t len = 0;
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        status = MHD_HTTP_METHOD_NOT_ALLOWED;
        body = notAllowed;
        len = sizeof notAllowed - 1;
    } else if (std::strcmp(url, "/metrics") != 0) {
        status = MHD_HTTP_NOT_FOUND;
        body = notFound;
        len = sizeof notFound - 1;
    } else {
        int n = renderMetrics(collectMetrics(), text, sizeof text);
        if (n < 0) return MHD_NO;  // the exposition outgrew its buffer: a fault of this file
        len = static_cast<std::size_t>(n);
    }
    MHD_Response* response =
        MHD_create_response_from_buffer(len, const_cast<char*>(body), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                            status == MHD_HTTP_OK ? CONTENT_TYPE : "text/plain; charset=utf-8");
    MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace

MetricsFiguresT collectMetrics()
{
    MetricsFiguresT f {};
    f.captured = capturedFrameCount();
    f.analysed = ringTakenCount();
    f.lostRing = ringDropCount();
    f.droppedCapture = captureLibraryDrops();
    f.sessions = sessionsInUse();
    f.pairs = pairsOfLastScan();
    for (int i = 0; i < NUM_METRICS_RECORD_TYPES; i++) f.records[i] = recordsExported(METRICS_RECORD_TYPES[i]);
    f.json = storeCounts(STORE_JSON);
    f.pcap = storeCounts(STORE_PKTS);
    f.sendErrorsJson = channelSendErrors(CHANNEL_JSON);
    f.sendErrorsVxlan = channelSendErrors(CHANNEL_VXLAN);
    f.clickhouse = clickhouseStats();
    f.lastScan = lastScanStamp();
    return f;
}

int renderMetrics(const MetricsFiguresT& f, char* out, std::size_t cap)
{
    if (cap == 0) return -1;
    WriterT w {out, cap};
    w.counter("wirelane_frames_captured_total", "Frames taken from the card or the capture file.", f.captured);
    w.counter("wirelane_frames_analysed_total", "Frames taken from the packet ring and analysed.", f.analysed);
    w.counter("wirelane_frames_lost_ring_total", "Frames lost because the packet ring was full.", f.lostRing);
    w.counter("wirelane_frames_dropped_capture_total", "Frames the capture library reported dropped.",
              f.droppedCapture);
    w.gauge("wirelane_sessions_active", "Sessions in the session table.", static_cast<double>(f.sessions));
    w.gauge("wirelane_session_table_used_ratio", "Sessions in the session table, of its slots.",
            static_cast<double>(f.sessions) / (HASH_BUCKETS * BUCKET_SESSIONS));
    w.gauge("wirelane_pair_table_used_ratio", "Endpoint pairs of the last scan, of the pair table's slots.",
            static_cast<double>(f.pairs) / (PAIR_BUCKETS * PAIR_SLOTS));
    w.head("wirelane_records_exported_total", "counter", "Records written out to the sinks, by record type.");
    for (int i = 0; i < NUM_METRICS_RECORD_TYPES; i++) {
        w.add("wirelane_records_exported_total{type=\"%d\"} %llu\n", METRICS_RECORD_TYPES[i],
              static_cast<unsigned long long>(f.records[i]));
    }
    const struct {
        const char* name;
        const char* help;
        std::uint64_t StoreCountsT::*field;
    } storeSeries[] = {
        {"wirelane_store_bytes_written_total", "Bytes written into the store's files.", &StoreCountsT::bytesWritten},
        {"wirelane_store_switches_total", "Files of the store opened in turn.", &StoreCountsT::switches},
        {"wirelane_store_write_failures_total", "Writes and opens of the store's files that failed.",
         &StoreCountsT::writeFailures},
    };
    for (const auto& s : storeSeries) {
        w.head(s.name, "counter", s.help);
        w.add("%s{store=\"json\"} %llu\n%s{store=\"pcap\"} %llu\n", s.name,
              static_cast<unsigned long long>(f.json.*s.field), s.name,
              static_cast<unsigned long long>(f.pcap.*s.field));
    }
    w.head("wirelane_channel_send_errors_total", "counter", "Sends that failed, by export channel.");
    w.add("wirelane_channel_send_errors_total{channel=\"json\"} %llu\n"
          "wirelane_channel_send_errors_total{channel=\"vxlan\"} %llu\n",
          static_cast<unsigned long long>(f.sendErrorsJson), static_cast<unsigned long long>(f.sendErrorsVxlan));
    const ClickhouseStatsT& c = f.clickhouse;
    w.head("wirelane_clickhouse_batches_total", "counter",
           "ClickHouse batches: sent, attempts retried, dropped (queue full or program ended), refused as malformed.");
    w.add("wirelane_clickhouse_batches_total{result=\"sent\"} %llu\n"
          "wirelane_clickhouse_batches_total{result=\"retried\"} %llu\n"
          "wirelane_clickhouse_batches_total{result=\"dropped\"} %llu\n"
          "wirelane_clickhouse_batches_total{result=\"refused\"} %llu\n",
          static_cast<unsigned long long>(c.batchesSent), static_cast<unsigned long long>(c.retries),
          static_cast<unsigned long long>(c.batchesDropped), static_cast<unsigned long long>(c.batchesRefused));
    w.gauge("wirelane_clickhouse_queue_bytes", "Bytes waiting to be sent to ClickHouse.",
            static_cast<double>(c.queueBytes));
    w.gauge("wirelane_last_scan_timestamp_seconds", "Period stamp of the latest scan (Unix time), 0 before the first.",
            static_cast<double>(f.lastScan));
    return w.full ? -1 : static_cast<int>(w.len);
}

int parseMetricsAddress(const char* text, sockaddr_storage* addr)
{
    const char* colon = std::strrchr(text, ':');
    if (colon == nullptr || colon == text) return -1;
    char host[INET6_ADDRSTRLEN + 2];
    std::size_t hostLen = static_cast<std::size_t>(colon - text);
    bool v6 = text[0] == '[';
    if (v6) {
        if (hostLen < 3 || colon[-1] != ']') return -1;
        text++;
        hostLen -= 2;
    }
    if (hostLen >= sizeof host) return -1;
    std::memcpy(host, text, hostLen);
    host[hostLen] = 0;
    const char* port = colon + 1;
    if (port[0] == 0 || std::strlen(port) > 5 || std::strspn(port, "0123456789") != std::strlen(port)) return -1;
    long p = std::strtol(port, nullptr, 10);
    if (p < 1 || p > 65535) return -1;
    *addr = {};
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(addr);
        if (inet_pton(AF_INET6, host, &a->sin6_addr) != 1) return -1;
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<std::uint16_t>(p));
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(addr);
        if (inet_pton(AF_INET, host, &a->sin_addr) != 1) return -1;
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<std::uint16_t>(p));
    }
    return 0;
}

int openMetricsSocket(const sockaddr_storage& addr, char* err, int errSize)
{
    const bool v6 = addr.ss_family == AF_INET6;
    char host[INET6_ADDRSTRLEN] = "";
    const void* raw = v6 ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr)
                         : static_cast<const void*>(&reinterpret_cast<const sockaddr_in&>(addr).sin_addr);
    inet_ntop(addr.ss_family, raw, host, sizeof host);
    const unsigned port = ntohs(v6 ? reinterpret_cast<const sockaddr_in6&>(addr).sin6_port
                                   : reinterpret_cast<const sockaddr_in&>(addr).sin_port);
    int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd >= 0) {
        // A restart finds the port free at once, whatever connections the last run left.
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        // [::] means IPv6 alone, as the address says.
        if (v6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    }
    const socklen_t len = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0 || listen(fd, 16) != 0) {
        const int e = errno;
        std::snprintf(err, static_cast<std::size_t>(errSize), "cannot serve metrics on %s%s%s:%u: %s",
                      v6 ? "[" : "", host, v6 ? "]" : "", port, std::strerror(e));
        if (fd >= 0) close(fd);
        return -1;
    }
    listenFd = fd;
    return 0;
}

int startMetrics(char* err, int errSize)
{
    if (listenFd < 0) {
        std::snprintf(err, static_cast<std::size_t>(errSize), "no socket for the metrics");
        return -1;
    }
    // A scrape now and then: one polling thread serves them all, a few at a
    // time, and a client that stalls is let go after ten seconds.
    server = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO, 0, nullptr, nullptr, &answer, nullptr,
                              MHD_OPTION_LISTEN_SOCKET, listenFd, MHD_OPTION_CONNECTION_LIMIT, 8u,
                              MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_END);
    if (server == nullptr) {
        std::snprintf(err, static_cast<std::size_t>(errSize), "the metrics server did not start");
        return -1;
    }
    return 0;
}

void stopMetrics()
{
    if (server != nullptr) MHD_stop_daemon(server);  // closes the socket too
    server = nullptr;
    listenFd = -1;
}
