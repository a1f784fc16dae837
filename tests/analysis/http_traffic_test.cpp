// Real HTTP traffic (curl against nginx on loopback) read back through
// decoding, the session step and the HTTP analysis, checked against nginx's
// access log and tshark's timings. tests/scripts/http_traffic.sh makes the
// capture and names it, the log and the server port in WIRELANE_HTTP_PCAP,
// WIRELANE_HTTP_LOG and WIRELANE_HTTP_PORT.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/util.h"
#include "output/channel.h"
#include "support/capture_file.h"
#include "support/tables.h"

namespace {

std::vector<NetSessionT> handedOut;

// tshark's final responses by client port, in order: status and microseconds
// since the request (-1: none), to the last frame of the response when it
// reads whole streams, else to the frame with the status line.
std::map<int, std::vector<std::pair<int, long long>>> tsharkResponses(const std::string& file, bool wholeBody)
{
    std::string cmd = "tshark -r '" + file + "' -o tcp.desegment_tcp_streams:" + (wholeBody ? "TRUE" : "FALSE") +
                      " -Y 'http.response.code >= 200' -T fields -E separator=, -e tcp.dstport"
                      " -e http.response.code -e http.time 2>/dev/null";
    std::map<int, std::vector<std::pair<int, long long>>> byPort;
    FILE* p = popen(cmd.c_str(), "r");
    char line[256], time[64];
    for (int port, code; p != nullptr && std::fgets(line, sizeof line, p);) {
        time[0] = 0;
        if (std::sscanf(line, "%d,%d,%63[0-9.]", &port, &code, time) < 2) continue;
        byPort[port].push_back({code, time[0] ? std::llround(std::stod(time) * 1e6) : -1});
    }
    if (p != nullptr) pclose(p);
    return byPort;
}

}  // namespace

TEST(HttpTraffic, TransactionsMatchServerLogAndTshark)
{
    const char* pcap = std::getenv("WIRELANE_HTTP_PCAP");
    const char* log = std::getenv("WIRELANE_HTTP_LOG");
    const char* port = std::getenv("WIRELANE_HTTP_PORT");
    if (pcap == nullptr || log == nullptr || port == nullptr) GTEST_SKIP() << "run by tests/scripts/http_traffic.sh";

    testtables::resetSessions();
    testtables::clearEndpoints();
    ASSERT_TRUE(testtables::addEndpoint((std::string("127.0.0.1:") + port).c_str(), 3));  // HTTP
    setTransactionObserver([](const NetSessionT& s) { handedOut.push_back(s); });
    std::string err;
    const bool read = testcapture::readCaptureFile(pcap, &err);
    setTransactionObserver(nullptr);
    ASSERT_TRUE(read) << err;

    // Finished transactions were handed out; the last of each connection is
    // still open in its session. A copy without a URL closed nothing.
    std::vector<NetSessionT> all = handedOut;
    for (const HashNodeT& node : globalValue.hashTable->node) {
        for (const NetSessionT& s : node.session) {
            if (s.valid && s.type == 1) all.push_back(s);
        }
    }
    std::erase_if(all, [](const NetSessionT& s) { return s.busi.http.url[0] == '\0'; });

    // Each logged request has its own transaction. Log fields: method, URI,
    // status, host, agent, X-Forwarded-For, content type.
    std::ifstream in(log);
    std::vector<NetSessionT> left = all;
    std::size_t requests = 0;
    for (std::string text; std::getline(in, text); ++requests) {
        std::vector<std::string> f;
        std::stringstream ss(text);
        for (std::string item; std::getline(ss, item, '|');) f.push_back(item);
        f.resize(7);
        SCOPED_TRACE(f[0] + " " + f[1]);
        std::replace(f[1].begin(), f[1].end(), '\'', '"');  // the probe keeps single quotes as double ones
        auto txn = std::find_if(left.begin(), left.end(), [&](const NetSessionT& s) {
            return s.busi.http.method == f[0] && s.busi.http.url == f[1];
        });
        ASSERT_NE(txn, left.end()) << "no transaction for this request";
        const HttpSessionT& t = txn->busi.http;
        EXPECT_EQ(t.domain, f[3].substr(0, 31));
        EXPECT_EQ(t.agent, f[4].substr(0, 62));
        EXPECT_EQ(t.contentType, f[6].substr(0, 62));
        u32 lastHop = 0;  // the forwarded address is the last of the list
        getIPFromStr(f[5].substr(f[5].rfind(',') + 1).c_str(), &lastHop);
        EXPECT_EQ(std::pair(txn->forward, t.retcode), std::pair(lastHop, std::atoi(f[2].c_str())));
        EXPECT_TRUE(t.response > 0 && t.response <= t.pageload) << t.response << " " << t.pageload;
        EXPECT_EQ(txn->resp, 1);
        left.erase(txn);
    }
    EXPECT_GE(requests, 10u);
    EXPECT_EQ(left.size(), 0u) << "transactions without a request";

    // Per connection, the transactions in order meet tshark's responses.
    std::map<int, std::vector<const NetSessionT*>> byPort;
    for (const NetSessionT& s : all) byPort[s.sport].push_back(&s);
    const auto whole = tsharkResponses(pcap, true), first = tsharkResponses(pcap, false);
    ASSERT_EQ(whole.size(), byPort.size()) << "tshark sees other connections";
    int timedByTshark = 0;
    for (auto& [cport, txns] : byPort) {
        SCOPED_TRACE("client port " + std::to_string(cport));
        std::sort(txns.begin(), txns.end(), [](const NetSessionT* a, const NetSessionT* b) {
            return timercmp(&a->busi.http.beginTime, &b->busi.http.beginTime, <);
        });
        ASSERT_TRUE(whole.count(cport) && first.count(cport));
        const auto &w = whole.at(cport), &f = first.at(cport);
        ASSERT_EQ(std::pair(w.size(), f.size()), std::pair(txns.size(), txns.size()));
        for (std::size_t k = 0; k < txns.size(); ++k) {
            const HttpSessionT& t = txns[k]->busi.http;
            SCOPED_TRACE(t.url);
            EXPECT_EQ(std::pair(t.retcode, static_cast<long long>(t.pageload)), w[k]);
            if (f[k].second >= 0) {
                EXPECT_EQ(t.response, f[k].second);
                ++timedByTshark;
            }
        }
    }
    EXPECT_GE(timedByTshark, 10);
}
