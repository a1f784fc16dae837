// The whole offline pipeline on a real capture, with every output on: the
// UDP collector, the VXLAN receiver, the JSON and pcap stores and the
// probe's own record file must carry the same records and frames.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/engine.h"
#include "capture/packet.h"
#include "core/main.h"
#include "core/util.h"
#include "output/data.h"
#include "output/store.h"

namespace fs = std::filesystem;

namespace {

const std::string capture = WIRELANE_SOURCE_DIR "/tests/data/http_keepalive_reset.pcap";
fs::path dir;

// A UDP listener on 127.0.0.2 (not the address of the traffic under test)
// that keeps every datagram.
struct Receiver {
    int fd = -1;
    sockaddr_in addr {};
    std::vector<std::string> got;
    std::thread reader;
    std::atomic<bool> stop {false};

    Receiver()
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = inet_addr("127.0.0.2");
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        int big = 8 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        timeval tv {0, 200000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        reader = std::thread([this] {
            char buf[70000];
            while (!stop) {
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n >= 0) got.emplace_back(buf, static_cast<std::size_t>(n));
            }
        });
    }
    void finish()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        stop = true;
        reader.join();
        close(fd);
    }
};

Receiver* collector;
Receiver* vxlan;

void configure()
{
    HostInfoT h;
    ASSERT_EQ(makeHostInfo(&h, "127.0.0.1:18090", 3, "40213377"), 0);
    ASSERT_EQ(addNewHostInfo(&h), 0);
    readOnlyGlobal.expAddress = collector->addr;
    readOnlyGlobal.expNumIP = ntohl(collector->addr.sin_addr.s_addr);
    readOnlyGlobal.expPort = ntohs(collector->addr.sin_port);
    ASSERT_EQ(initExpSock(), 0);
    readOnlyGlobal.expPktAddress = vxlan->addr;
    readOnlyGlobal.expPktNumIP = ntohl(vxlan->addr.sin_addr.s_addr);
    readOnlyGlobal.expPktPort = ntohs(vxlan->addr.sin_port);
    ASSERT_EQ(initPacketSock(), 0);
    fs::create_directories(dir / "json");
    fs::create_directories(dir / "pkts");
    ASSERT_EQ(initStoreJson((dir / "json").c_str(), 10), 0);
    ASSERT_EQ(initStorePkts((dir / "pkts").c_str(), 50), 0);
}

std::vector<std::string> lines(const fs::path& file)
{
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

std::string valueOf(const std::string& rec, const std::string& key)
{
    std::size_t at = rec.find("\"" + key + "\":\"");
    if (at == std::string::npos) return "";
    at += key.size() + 4;
    return rec.substr(at, rec.find('"', at) - at);
}

std::string run(const std::string& cmd)
{
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    return out;
}

}  // namespace

TEST(Pipeline, EveryOutputCarriesTheSameRecordsAndFrames)
{
    char tmpl[] = "/tmp/wirelane-pipeline.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    setenv("TMPDIR", tmpl, 1);
    collector = new Receiver;
    vxlan = new Receiver;

    char err[512];
    ASSERT_EQ(openCaptureFile(capture.c_str(), err, sizeof err), 0) << err;
    ASSERT_EQ(openJsonOut((dir / "out.json").c_str(), err, sizeof err), 0) << err;
    StartOptionsT options;
    options.offline = true;
    options.configure = configure;
    ASSERT_EQ(startUp(options), 0);
    packet_wait_finished();
    flushJsonOut();
    collector->finish();
    vxlan->finish();

    // The collector gets what the record file gets, one record a datagram,
    // in the same order: transactions, then pairs, then the end of the scan
    // with the pairs' time.
    std::vector<std::string> out = lines(dir / "out.json");
    ASSERT_GE(out.size(), 5u);
    EXPECT_EQ(collector->got, out);
    std::string order;
    for (const std::string& r : out) order += valueOf(r, "type") == "2" ? "T" : valueOf(r, "type") == "1" ? "P" : "E";
    EXPECT_TRUE(std::regex_match(order, std::regex("T+P+E"))) << order;
    EXPECT_EQ(valueOf(out.back(), "time"), valueOf(out[out.size() - 2], "time"));
    EXPECT_NE(std::find_if(out.begin(), out.end(),
                           [](const std::string& r) { return valueOf(r, "url") == "/big.txt"; }),
              out.end());

    // The JSON store holds the same records (not the end mark), each
    // followed by CR LF CR LF.
    std::stringstream stored;
    stored << std::ifstream(dir / "json" / "Wirelane-0-001.json").rdbuf();
    std::string expected;
    for (std::size_t i = 0; i + 1 < out.size(); i++) expected += out[i] + "\r\n\r\n";
    EXPECT_EQ(stored.str().substr(0, expected.size()), expected);
    EXPECT_EQ(stored.str().find_first_not_of('\0', expected.size()), std::string::npos) << "then the blank rest";

    // The pcap store and the VXLAN receiver both hold every frame of the
    // monitored server, as tshark reads them.
    std::string want = run("tshark -r " + capture + " -Y 'tcp.port == 18090' 2>/dev/null | wc -l");
    std::string stored1 = run("tshark -r " + (dir / "pkts" / "Wirelane-0-001.pcap").string() +
                              " -Y 'tcp.port == 18090' 2>/dev/null | wc -l");
    EXPECT_EQ(stored1, want);
    ASSERT_EQ(std::to_string(vxlan->got.size()) + "\n", want);

    // Put the datagrams behind Ethernet, IPv4 and UDP to port 4789 and let
    // tshark decode them: VXLAN with VNI 200 around the original frames.
    fs::path wrapped = dir / "vxlan.pcap";
    {
        std::ofstream f(wrapped, std::ios::binary);
        const u32 fileHeader[6] = {0xA1B2C3D4u, 0x00040002u, 0, 0, 65535, 1};
        f.write(reinterpret_cast<const char*>(fileHeader), sizeof fileHeader);
        for (const std::string& d : vxlan->got) {
            std::string udp(8, '\0'), ip(20, '\0');
            const std::size_t udpLen = 8 + d.size();
            udp[0] = 0x30, udp[1] = 0x39, udp[2] = 0x12, udp[3] = static_cast<char>(0xB5);  // 12345 -> 4789
            udp[4] = static_cast<char>(udpLen >> 8), udp[5] = static_cast<char>(udpLen & 0xFF);
            ip[0] = 0x45, ip[8] = 64, ip[9] = 17;
            ip[2] = static_cast<char>((20 + udpLen) >> 8), ip[3] = static_cast<char>((20 + udpLen) & 0xFF);
            ip[12] = 127, ip[15] = 1, ip[16] = 127, ip[19] = 2;
            std::string frame = std::string("\x02\0\0\0\0\x02\x02\0\0\0\0\x01\x08\0", 14) + ip + udp + d;
            const u32 rec[4] = {1, 0, static_cast<u32>(frame.size()), static_cast<u32>(frame.size())};
            f.write(reinterpret_cast<const char*>(rec), sizeof rec);
            f << frame;
        }
    }
    std::string decoded =
        run("tshark -r " + wrapped.string() + " -Y 'vxlan.vni == 200 && tcp.port == 18090' 2>/dev/null | wc -l");
    EXPECT_EQ(decoded, want);
    fs::remove_all(dir);
}
