// Real loopback traffic (curl and a Python client against nginx, a UDP
// exchange) read through decoding and session tracking, compared per
// conversation with tshark's reading of the same capture:
// tests/data/http_keepalive_reset.pcap, or the file named by
// WIRELANE_COMPARE_PCAP (the live test passes a fresh one).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/util.h"
#include "decode/decode.h"
#include "support/capture_file.h"
#include "support/tables.h"

using namespace testtables;

namespace {

// One conversation as tshark dissects it, folded the way the probe counts:
// the client is the sender of the first SYN, else of the first packet.
struct Conversation {
    int proto = 0;
    u32 cli = 0, srv = 0;
    int cport = 0, sport = 0;
    u32 pkts[3] = {}, bytes[3] = {};  // by direction: 1 client to server, 2 back
    u32 syn[3] = {}, synAck[3] = {}, rst[3] = {};
    int finDir[2] = {};                            // direction of the first FIN and of the last later one
    long long tSyn = -1, tSynAck = -1, tAck = -1;  // microseconds
};

std::map<std::string, Conversation> readWithTshark(const std::string& file)
{
    std::string cmd = "tshark -r '" + file +
                      "' -T fields -E separator=, -e frame.time_epoch -e frame.len -e ip.src -e ip.dst -e ip.proto"
                      " -e tcp.srcport -e tcp.dstport -e udp.srcport -e udp.dstport -e tcp.flags -e tcp.stream"
                      " -e udp.stream 2>/dev/null";
    std::map<std::string, Conversation> convs;
    FILE* p = popen(cmd.c_str(), "r");
    char line[1024];
    while (p != nullptr && std::fgets(line, sizeof line, p)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        for (std::string item; std::getline(ss, item, ',');) f.push_back(item);
        if (f.size() < 12) continue;
        const int proto = std::atoi(f[4].c_str());
        const bool tcp = proto == 6;
        const long long usec = std::llround(std::stod(f[0]) * 1e6);
        u32 src = 0, dst = 0;
        getIPFromStr(f[2].c_str(), &src);
        getIPFromStr(f[3].c_str(), &dst);
        const int sp = std::atoi(f[tcp ? 5 : 7].c_str()), dp = std::atoi(f[tcp ? 6 : 8].c_str());
        const int flags = tcp ? static_cast<int>(std::strtol(f[9].c_str(), nullptr, 16)) : 0;

        auto [it, fresh] = convs.try_emplace((tcp ? "t" : "u") + f[tcp ? 10 : 11]);
        Conversation& c = it->second;
        if (fresh) {
            const bool synAckFirst = (flags & 0x12) == 0x12;
            c = {proto, synAckFirst ? dst : src, synAckFirst ? src : dst, synAckFirst ? dp : sp,
                 synAckFirst ? sp : dp};
        }
        const int dir = (src == c.cli && sp == c.cport) ? 1 : 2;
        c.pkts[dir]++;
        c.bytes[dir] += static_cast<u32>(std::atoi(f[1].c_str()));
        if ((flags & 0x12) == 0x02) {
            c.syn[fresh ? dir : 1]++;  // a later SYN counts on the client side
            if (c.tSyn < 0) c.tSyn = usec;
        }
        if (flags == 0x12) {
            c.synAck[fresh ? dir : 2]++;
            if (c.tSynAck < 0) c.tSynAck = usec;
        }
        if (flags == 0x10 && dir == 1 && c.tSynAck >= 0 && c.tAck < 0) c.tAck = usec;
        if (flags & 0x04) c.rst[dir]++;
        if (flags & 0x01) (c.finDir[0] == 0 ? c.finDir[0] : c.finDir[1]) = dir;
    }
    if (p != nullptr) pclose(p);
    return convs;
}

}  // namespace

TEST(TsharkCompare, EveryConversationCountsWhatTsharkSees)
{
    resetSessions();
    clearEndpoints();
    const char* env = std::getenv("WIRELANE_COMPARE_PCAP");
    const std::string file = env ? env : WIRELANE_SOURCE_DIR "/tests/data/http_keepalive_reset.pcap";
    const std::map<std::string, Conversation> convs = readWithTshark(file);
    ASSERT_GE(convs.size(), 3u) << "tshark read nothing from " << file;
    std::string err;
    ASSERT_TRUE(testcapture::readCaptureFile(file, &err)) << err;

    int handshakes = 0, resets = 0;
    for (const auto& [key, c] : convs) {
        SCOPED_TRACE("conversation " + key + ", client port " + std::to_string(c.cport));
        const NetSessionT* s = nullptr;
        for (const HashNodeT& node : globalValue.hashTable->node) {
            for (const NetSessionT& t : node.session) {
                if (t.valid && t.proto == c.proto && t.src == c.cli && t.dst == c.srv && t.sport == c.cport &&
                    t.dport == c.sport)
                    s = &t;
            }
        }
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(std::tuple(s->rcvdPkts, s->sendPkts, s->rcvdBytes, s->sendBytes),
                  std::tuple(c.pkts[1], c.pkts[2], c.bytes[1], c.bytes[2]));
        if (c.proto != 6) continue;
        EXPECT_EQ(std::tuple(s->rcvdSynPkts, s->sendSynPkts, s->rcvdSynAckPkts, s->sendSynAckPkts),
                  std::tuple(c.syn[1], c.syn[2], c.synAck[1], c.synAck[2]));
        EXPECT_EQ(std::tuple(s->rcvdRstPkts, s->sendRstPkts, s->sendFinPkts, s->rcvdFinPkts),
                  std::tuple(c.rst[1], c.rst[2], static_cast<u32>(c.finDir[0]), static_cast<u32>(c.finDir[1])));
        resets += c.rst[1] + c.rst[2] > 0;
        if (c.tSyn >= 0 && c.tSynAck >= 0 && c.tAck >= 0) {
            handshakes++;
            EXPECT_EQ(std::tuple(s->serConDelayUsec, s->cliConDelayUsec, s->connNum, s->realDirection),
                      std::tuple(static_cast<u32>(c.tSynAck - c.tSyn), static_cast<u32>(c.tAck - c.tSynAck), 1u, 1));
        }
    }
    EXPECT_GE(handshakes, 3) << "the capture should hold whole connections";
    EXPECT_GE(resets, 1) << "and one closed by a reset";
}
