// The probe's figures for a monitoring system: /metrics over HTTP, in the
// Prometheus text format (0.0.4), served by libmicrohttpd on a thread of
// its own. Every figure is read when scraped from counters the probe keeps
// anyway; serving costs the frame path nothing.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "output/clickhouse.h"
#include "output/store.h"

// The record types that get a series of their own, in the order shown.
constexpr int METRICS_RECORD_TYPES[] = {1, 2, 4, 5, 6, 7, 8, 9, 99};
constexpr int NUM_METRICS_RECORD_TYPES = sizeof METRICS_RECORD_TYPES / sizeof METRICS_RECORD_TYPES[0];

struct MetricsFiguresT {
    // The four figures of the stop line.
    std::uint64_t captured, analysed, lostRing, droppedCapture;
    long sessions;  // in the session table
    int pairs;      // of the last scan
    std::uint64_t records[NUM_METRICS_RECORD_TYPES];
    StoreCountsT json, pcap;
    std::uint64_t sendErrorsJson, sendErrorsVxlan;
    ClickhouseStatsT clickhouse;
    time_t lastScan;  // 0 before the first
};

// The figures as they stand now.
MetricsFiguresT collectMetrics();
// The exposition of figures into out (cap bytes, NUL-terminated): its length,
// or -1 when it does not fit.
int renderMetrics(const MetricsFiguresT& figures, char* out, std::size_t cap);

// Reads "ADDR:PORT" (an IPv4 address, or an IPv6 one in brackets, and a port
// of 1 to 65535) into addr: 0, or -1.
int parseMetricsAddress(const char* text, sockaddr_storage* addr);
// Binds and listens on addr, before the probe starts: 0, or -1 with the
// reason in err.
int openMetricsSocket(const sockaddr_storage& addr, char* err, int errSize);
// Serves /metrics on the socket opened, from a thread of its own: 0, or -1
// with the reason in err. stopMetrics ends it.
int startMetrics(char* err, int errSize);
void stopMetrics();
