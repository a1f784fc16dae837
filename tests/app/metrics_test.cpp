// The metrics address and the exposition: what a scraper or a user can get
// wrong with them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

#include "app/metrics.h"

TEST(Metrics, ParsesAddressesAndRefusesTheRest)
{
    struct Case {
        const char* text;
        int family;  // 0: refused
        unsigned port;
    };
    const Case cases[] = {
        {"127.0.0.1:9105", AF_INET, 9105},
        {"0.0.0.0:1", AF_INET, 1},
        {"[::1]:65535", AF_INET6, 65535},
        {"[::]:9105", AF_INET6, 9105},
        {"127.0.0.1", 0, 0},          // no port
        {"127.0.0.1:", 0, 0},
        {"127.0.0.1:0", 0, 0},
        {"127.0.0.1:65536", 0, 0},
        {"127.0.0.1:+80", 0, 0},
        {"127.0.0.1:0000080", 0, 0},  // more digits than a port has
        {"::1:9105", 0, 0},           // IPv6 without brackets
        {"[::1:9105", 0, 0},
        {"[127.0.0.1]:9105", 0, 0},
        {"::1]:9105", 0, 0},
        {"localhost:9105", 0, 0},     // addresses, not names
        {":9105", 0, 0},
    };
    for (const Case& c : cases) {
        sockaddr_storage a {};
        int rc = parseMetricsAddress(c.text, &a);
        EXPECT_EQ(rc, c.family == 0 ? -1 : 0) << c.text;
        if (rc != 0) continue;
        EXPECT_EQ(a.ss_family, c.family) << c.text;
        unsigned port = ntohs(c.family == AF_INET ? reinterpret_cast<sockaddr_in&>(a).sin_port
                                                  : reinterpret_cast<sockaddr_in6&>(a).sin6_port);
        EXPECT_EQ(port, c.port) << c.text;
    }
}

TEST(Metrics, RendersEveryFigureOnceAndRefusesASmallBuffer)
{
    MetricsFiguresT f {};
    f.captured = 18446744073709551615ull;  // a counter prints whole, unsigned
    f.sessions = 8192;
    f.pairs = 4096;
    f.records[8] = 7;  // type 99
    f.pcap.switches = 3;
    f.clickhouse.retries = 5;
    f.lastScan = 1796540690;
    char text[16384];
    int n = renderMetrics(f, text, sizeof text);
    ASSERT_GT(n, 0);
    const std::string s(text, static_cast<std::size_t>(n));
    for (const char* line : {"wirelane_frames_captured_total 18446744073709551615\n",
                             "wirelane_session_table_used_ratio 0.5\n", "wirelane_pair_table_used_ratio 0.5\n",
                             "wirelane_records_exported_total{type=\"99\"} 7\n",
                             "wirelane_store_switches_total{store=\"pcap\"} 3\n",
                             "wirelane_clickhouse_batches_total{result=\"retried\"} 5\n",
                             "wirelane_last_scan_timestamp_seconds 1796540690\n"}) {
        EXPECT_NE(s.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(renderMetrics(f, text, static_cast<std::size_t>(n)), -1);  // no room for the NUL
    EXPECT_EQ(renderMetrics(f, text, static_cast<std::size_t>(n) + 1), n);
}
