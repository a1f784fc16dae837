// Real HTTP traffic read back through decoding, the session step and the HTTP
// analysis: curl clients against nginx on loopback, captured by
// tests/scripts/http_traffic.sh, which names the capture, nginx's access log
// and the server port in WIRELANE_HTTP_PCAP, WIRELANE_HTTP_LOG and
// WIRELANE_HTTP_PORT. Requests are checked against the access log (one line
// of '|'-separated fields per request), timings against tshark.
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
#include "output/data.h"
#include "support/capture_file.h"
#include "support/tables.h"

namespace {

std::vector<NetSessionT> handedOut;

void keepTransaction(const NetSessionT& s) { handedOut.push_back(s); }

struct LogLine {
    std::string method, uri, status, host, agent, forwarded, contentType;
};

std::vector<LogLine> readAccessLog(const char* path)
{
    std::vector<LogLine> lines;
    std::ifstream in(path);
    std::string text;
    while (std::getline(in, text)) {
        std::vector<std::string> f;
        std::stringstream ss(text);
        std::string item;
        while (std::getline(ss, item, '|')) f.push_back(item);
        f.resize(7);
        lines.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
    }
    return lines;
}

// The URL the probe keeps for an origin-form target: printable ASCII up to
// the first other byte, single quotes as double quotes, 255 characters.
std::string keptUrl(const std::string& uri)
{
    std::string url;
    for (char c : uri) {
        if (url.size() == 255 || static_cast<signed char>(c) < 0x20) break;
        url += c == '\'' ? '"' : c;
    }
    return url;
}

u32 lastHop(const std::string& forwarded)
{
    std::size_t comma = forwarded.rfind(',');
    std::string hop = comma == std::string::npos ? forwarded : forwarded.substr(comma + 1);
    u32 address = 0;
    return getIPFromStr(hop.c_str(), &address) == 0 ? address : 0;
}

// tshark's final responses by client port, in order: status and the time
// since the request in microseconds (-1 when tshark gives none). Reading
// whole streams, it times a response to its last frame; reading frame by
// frame, to the frame with the status line.
std::map<int, std::vector<std::pair<int, long long>>> tsharkResponses(const std::string& file, bool wholeBody)
{
    std::string cmd = "tshark -r '" + file + "' -o tcp.desegment_tcp_streams:" + (wholeBody ? "TRUE" : "FALSE") +
                      " -Y 'http.response.code >= 200' -T fields -E separator=, -e tcp.dstport"
                      " -e http.response.code -e http.time 2>/dev/null";
    std::map<int, std::vector<std::pair<int, long long>>> byPort;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return byPort;
    char line[256];
    while (std::fgets(line, sizeof line, p)) {
        int port = 0, code = 0;
        char time[64] = "";
        if (std::sscanf(line, "%d,%d,%63[0-9.]", &port, &code, time) < 2) continue;
        byPort[port].push_back({code, time[0] ? std::llround(std::stod(time) * 1e6) : -1});
    }
    pclose(p);
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
    handedOut.clear();
    setTransactionObserver(keepTransaction);
    std::string err;
    const bool read = testcapture::readCaptureFile(pcap, &err);
    setTransactionObserver(nullptr);
    ASSERT_TRUE(read) << err;

    // Finished transactions were handed out; the last of each connection is
    // still open in its session. A copy without a URL closed nothing.
    std::vector<NetSessionT> all;
    for (const NetSessionT& s : handedOut) {
        if (s.busi.http.url[0] != '\0') all.push_back(s);
    }
    for (const HashNodeT& node : globalValue.hashTable->node) {
        for (const NetSessionT& s : node.session) {
            if (s.valid && s.type == 1 && s.busi.http.url[0] != '\0') all.push_back(s);
        }
    }

    const std::vector<LogLine> lines = readAccessLog(log);
    ASSERT_GE(lines.size(), 10u);
    EXPECT_EQ(all.size(), lines.size());
    std::vector<bool> matched(all.size(), false);
    for (const LogLine& l : lines) {
        SCOPED_TRACE(l.method + " " + l.uri);
        const std::string url = keptUrl(l.uri);
        std::size_t i = 0;
        while (i < all.size() && (matched[i] || all[i].busi.http.method != l.method || all[i].busi.http.url != url))
            ++i;
        ASSERT_LT(i, all.size()) << "no transaction for this request";
        matched[i] = true;
        const HttpSessionT& t = all[i].busi.http;
        EXPECT_EQ(t.domain, l.host.substr(0, 31));
        EXPECT_EQ(t.agent, l.agent.substr(0, 62));
        EXPECT_EQ(t.contentType, l.contentType.substr(0, 62));
        EXPECT_EQ(all[i].forward, lastHop(l.forwarded));
        EXPECT_EQ(t.retcode, std::atoi(l.status.c_str()));
        EXPECT_GT(t.response, 0);
        EXPECT_LE(t.response, t.pageload);
        EXPECT_EQ(all[i].resp, 1);
    }

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
        const auto& w = whole.at(cport);
        const auto& f = first.at(cport);
        ASSERT_EQ(w.size(), txns.size());
        ASSERT_EQ(f.size(), txns.size());
        for (std::size_t k = 0; k < txns.size(); ++k) {
            const HttpSessionT& t = txns[k]->busi.http;
            SCOPED_TRACE(t.url);
            EXPECT_EQ(t.retcode, w[k].first);
            EXPECT_EQ(t.pageload, w[k].second);
            if (f[k].second >= 0) {
                EXPECT_EQ(t.response, f[k].second);
                ++timedByTshark;
            }
        }
    }
    EXPECT_GE(timedByTshark, 10);
}
