// Rows of the kernel's socket tables, as text.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

std::string addrText(const std::array<std::uint8_t, 16>& a)
{
    char s[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, a.data(), s, sizeof s);
}

}  // namespace

TEST(SocketRow, Ipv4AndIpv6Rows)
{
    struct Case {
        const char* line;
        const char* local = nullptr;  // nullptr: not a row
        int localPort = 0;
        const char* remote = nullptr;
        int remotePort = 0;
        unsigned long long inode = 0;
    };
    const Case cases[] = {
        {"   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 12345 1 "
         "0000000000000000 100 0 0 10 0\n",
         "::ffff:127.0.0.1", 8080, "::ffff:0.0.0.0", 0, 12345},
        {"   1: 00000000000000000000000000000000:0050 00000000000000000000000000000000:0000 0A 00000000:00000000 "
         "00:00000000 00000000     0        0 23456 1 0000000000000000 100 0 0 10 0\n",
         "::", 80, "::", 0, 23456},
        // An IPv4 peer of a dual-stack listener.
        {"   2: 0000000000000000FFFF00000100007F:0050 0000000000000000FFFF00000100007F:C350 01 00000000:00000000 "
         "00:00000000 00000000    33        0 34567 1 0000000000000000 20 4 30 10 -1\n",
         "::ffff:127.0.0.1", 80, "::ffff:127.0.0.1", 50000, 34567},
        // TIME_WAIT rows end early and name no socket.
        {"   3: 00000000000000000000000001000000:BB5D B80D0120000000000000000010000000:01BB 06 00000000:00000000 "
         "03:00000C0F 00000000     0        0 0 3 00000000e252a30d\n",
         "::1", 47965, "2001:db8::10", 443, 0},
        {"  512: 00000000000000000000000000000000:0035 00000000000000000000000000000000:0000 07 00000000:00000000 "
         "00:00000000 00000000     0        0 45678 2 0000000000000000 0\n",
         "::", 53, "::", 0, 45678},
        {"  sl  local_address                         remote_address                        st tx_queue rx_queue tr "
         "tm->when retrnsmt   uid  timeout inode\n"},
        {"   4: 0000000000000000000000000100000:0050 00000000000000000000000000000000:0000 0A 00000000:00000000 "
         "00:00000000 00000000     0        0 23456\n"},
        {"   4: 000000000000000000000000000100000:0050 00000000000000000000000000000000:0000 0A 00000000:00000000 "
         "00:00000000 00000000     0        0 23456\n"},
        {"   4: 0100007F:0050 00000000000000000000000000000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 1\n"},
        {"   4: 0100007F:1F900 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 12345\n"},
        {"   4: 0100007G:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 12345\n"},
        {"   4: 00000000000000000000000001000000:BB5D 00000000000000000000000001000000:C28A 01 00000000:00000000 "
         "00:00000000 00000000  1000"},
        {"   4: 00000000000000000000000001000000:BB"},
        {""},
    };
    for (const Case& c : cases) {
        platform::SocketRowT row {};
        const bool ok = platform::parseSocketRow(c.line, &row);
        ASSERT_EQ(ok, c.local != nullptr) << c.line;
        if (!ok) continue;
        EXPECT_EQ(addrText(row.localAddr), c.local) << c.line;
        EXPECT_EQ(row.localPort, c.localPort) << c.line;
        EXPECT_EQ(addrText(row.remoteAddr), c.remote) << c.line;
        EXPECT_EQ(row.remotePort, c.remotePort) << c.line;
        EXPECT_EQ(row.inode, c.inode) << c.line;
    }
}
