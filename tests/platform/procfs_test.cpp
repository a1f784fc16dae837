// Rows of the kernel's socket tables, as text.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

TEST(SocketRow, Ipv4AndIpv6Rows)
{
    auto row = [](const char* endpoints, const char* inode) {
        return std::string("  12: ") + endpoints + " 01 00000000:00000000 00:00000000 00000000  1000  0 " + inode +
               " 1 0000000000000000 20 4 30 10 -1\n";
    };
    // What a row reads as: "local port remote port inode", or "" when the line is not one.
    auto parse = [](const std::string& line) {
        platform::SocketRowT r {};
        if (!platform::parseSocketRow(line.c_str(), &r)) return std::string();
        char l[INET6_ADDRSTRLEN], m[INET6_ADDRSTRLEN];
        return std::string(inet_ntop(AF_INET6, r.localAddr.data(), l, sizeof l)) + " " + std::to_string(r.localPort) +
               " " + inet_ntop(AF_INET6, r.remoteAddr.data(), m, sizeof m) + " " + std::to_string(r.remotePort) + " " +
               std::to_string(r.inode);
    };
    const std::pair<std::string, const char*> cases[] = {
        {row("0100007F:1F90 00000000:0000", "12345"), "::ffff:127.0.0.1 8080 ::ffff:0.0.0.0 0 12345"},
        // An IPv4 peer of a dual-stack socket, and a TIME_WAIT row (no socket) to a global address.
        {row("0000000000000000FFFF00000100007F:0050 0000000000000000FFFF00000100007F:C350", "34567"),
         "::ffff:127.0.0.1 80 ::ffff:127.0.0.1 50000 34567"},
        {"   3: 00000000000000000000000001000000:BB5D B80D0120000000000000000010000000:01BB 06 00000000:00000000 "
         "03:00000C0F 00000000     0        0 0 3 00000000e252a30d\n",
         "::1 47965 2001:db8::10 443 0"},
        {"  sl  local_address                         remote_address                        st tx_queue\n", ""},
        {row("0000000000000000000000000100000:0050 00000000000000000000000000000000:0000", "1"), ""},
        {row("0100007F:0050 00000000000000000000000000000000:0000", "1"), ""},
        {row("0100007F:1F90 00000000:0000", "").substr(0, 60), ""},
    };
    for (const auto& [line, want] : cases) EXPECT_EQ(parse(line), want) << line;
}
