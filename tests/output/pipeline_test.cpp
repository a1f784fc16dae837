// The whole offline pipeline on a real capture, with every output on: the
// UDP collector, the VXLAN receiver, the JSON and pcap stores and the
// probe's own record file must carry the same records and frames.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "capture/engine.h"
#include "capture/ring.h"
#include "output/channel.h"
#include "output/store.h"
#include "settings/startup.h"
#include "support/tables.h"

namespace fs = std::filesystem;

namespace {

const std::string capture = WIRELANE_SOURCE_DIR "/tests/data/http_keepalive_reset.pcap";
fs::path dir;

// A UDP socket on 127.0.0.2 (not the address of the traffic under test).
struct Receiver {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr {};

    Receiver()
    {
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = inet_addr("127.0.0.2");
        socklen_t len = sizeof addr;
        int big = 8 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        timeval wait {0, 500000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    }
    // Every datagram, up to half a second without one.
    std::vector<std::string> received()
    {
        std::vector<std::string> got;
        char buf[70000];
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) >= 0;) got.emplace_back(buf, n);
        close(fd);
        return got;
    }
};

Receiver *collector, *vxlan;

// Monitors the HTTP server of the capture, with every output on.
void configure()
{
    ASSERT_TRUE(testtables::addEndpoint("127.0.0.1:18090", 3));
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

std::string valueOf(const std::string& rec, const std::string& key)
{
    std::size_t at = rec.find("\"" + key + "\":\"");
    if (at == std::string::npos) return "";
    at += key.size() + 4;
    return rec.substr(at, rec.find('"', at) - at);
}

// The frames of a capture file that pass filter, as libpcap reads them.
std::vector<std::string> frames(const fs::path& file, const char* filter)
{
    std::vector<std::string> out;
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(file.c_str(), err);
    bpf_program prog;
    if (p == nullptr || pcap_compile(p, &prog, filter, 1, PCAP_NETMASK_UNKNOWN) != 0) return out;
    pcap_pkthdr* h;
    const u_char* d;
    while (pcap_next_ex(p, &h, &d) == 1) {
        if (pcap_offline_filter(&prog, h, d)) out.emplace_back(d, d + h->caplen);
    }
    pcap_freecode(&prog);
    pcap_close(p);
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
    const std::vector<std::string> records = collector->received(), vxlanFrames = vxlan->received();
    flushJsonOut();

    // The collector gets what the record file gets, one record a datagram,
    // in the same order: transactions, then pairs, then the end of the scan
    // with the pairs' time.
    std::vector<std::string> out;
    std::ifstream outFile(dir / "out.json");
    for (std::string l; std::getline(outFile, l);) out.push_back(l);
    ASSERT_GE(out.size(), 5u);
    EXPECT_EQ(records, out);
    std::string order, urls;
    for (const std::string& r : out) {
        order += valueOf(r, "type") == "2" ? "T" : valueOf(r, "type") == "1" ? "P" : "E";
        urls += valueOf(r, "url") + " ";
    }
    EXPECT_TRUE(std::regex_match(order, std::regex("T+P+E"))) << order;
    EXPECT_EQ(valueOf(out.back(), "time"), valueOf(out[out.size() - 2], "time"));
    EXPECT_NE(urls.find("/big.txt "), std::string::npos) << urls;

    // The JSON store holds the same records (not the end mark), each
    // followed by CR LF CR LF, then the blank rest.
    std::ifstream json(dir / "json" / "Wirelane-0-001.json", std::ios::binary);
    const std::string stored {std::istreambuf_iterator<char>(json), {}};
    std::string expected;
    for (std::size_t i = 0; i + 1 < out.size(); i++) expected += out[i] + "\r\n\r\n";
    EXPECT_EQ(stored.substr(0, expected.size()), expected);
    EXPECT_EQ(stored.find_first_not_of('\0', expected.size()), std::string::npos);

    // The pcap store and the VXLAN receiver (VNI 200) both hold every frame
    // of the monitored server, in order, cut to what a slot keeps.
    std::vector<std::string> cut, wrapped;
    for (const std::string& f : frames(capture, "tcp port 18090")) {
        cut.push_back(f.substr(0, SLOT_DATA));
        wrapped.push_back(std::string("\x08\0\0\0\0\0\xC8\0", 8) + cut.back());
    }
    ASSERT_GE(cut.size(), 20u);
    EXPECT_TRUE(frames(dir / "pkts" / "Wirelane-0-001.pcap", "") == cut);
    EXPECT_TRUE(vxlanFrames == wrapped);
    fs::remove_all(dir);
}
