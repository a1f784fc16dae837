// The forms of the metrics address a user may write, right and wrong.
#include <gtest/gtest.h>
#include <netinet/in.h>

#include "app/metrics.h"

TEST(Metrics, ParsesAddressesAndRefusesTheRest)
{
    struct Case {
        const char* text;
        int family;  // 0: refused
        unsigned port;
    } const cases[] = {
        {"127.0.0.1:9105", AF_INET, 9105}, {"0.0.0.0:1", AF_INET, 1}, {"[::1]:65535", AF_INET6, 65535},
        {"[::]:9105", AF_INET6, 9105},
        // No port, port 0 or too large, a sign, too many digits; IPv6 not in brackets, IPv4 in them; a name.
        {"127.0.0.1", 0, 0}, {"127.0.0.1:", 0, 0}, {"127.0.0.1:0", 0, 0}, {"127.0.0.1:65536", 0, 0},
        {"127.0.0.1:+80", 0, 0}, {"127.0.0.1:0000080", 0, 0}, {"::1:9105", 0, 0}, {"[::1:9105", 0, 0},
        {"::1]:9105", 0, 0}, {"[127.0.0.1]:9105", 0, 0}, {"localhost:9105", 0, 0}, {":9105", 0, 0},
    };
    for (const Case& c : cases) {
        sockaddr_storage a {};
        const int rc = parseMetricsAddress(c.text, &a);
        ASSERT_EQ(rc, c.family == 0 ? -1 : 0) << c.text;
        if (rc != 0) continue;
        EXPECT_EQ(a.ss_family, c.family) << c.text;
        const auto port = c.family == AF_INET ? reinterpret_cast<sockaddr_in&>(a).sin_port
                                              : reinterpret_cast<sockaddr_in6&>(a).sin6_port;
        EXPECT_EQ(ntohs(port), c.port) << c.text;
    }
}
