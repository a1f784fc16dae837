// Real loopback traffic read from capture files through the whole frame path and
// checked against tshark; HttpTraffic and MysqlTraffic run from their scripts.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "capture/pipeline.h"
#include "core/util.h"
#include "output/channel.h"
#include "support/tables.h"

namespace {

void readCaptureFile(const std::string& file)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(file.c_str(), errbuf);
    ASSERT_NE(p, nullptr) << errbuf;
    connectStages();
    pcap_pkthdr* h;
    const u_char* data;
    std::vector<std::uint8_t> buf;
    while (pcap_next_ex(p, &h, &data) == 1) {
        buf.assign(data, data + h->caplen);
        buf.push_back(0);  // the ring's copy of a frame ends in a zero byte
        globalValue.currTime = h->ts.tv_sec, processPacket(h, buf.data());
    }
    pcap_close(p);
}

// The transactions of one type read with only endpoint set: those closed, then those left open.
std::vector<NetSessionT> readTransactions(const char* file, const std::string& endpoint, int protoIdx, int type)
{
    static std::vector<NetSessionT> handed;
    static int wanted;
    handed.clear(), wanted = type;
    testtables::resetSessions(), testtables::clearEndpoints();
    EXPECT_TRUE(testtables::addEndpoint(endpoint.c_str(), protoIdx));
    setTransactionObserver([](const NetSessionT& s) { if (s.type == wanted) handed.push_back(s); });
    EXPECT_NO_FATAL_FAILURE(readCaptureFile(file));
    setTransactionObserver(nullptr), testtables::clearEndpoints();
    testtables::forEachSession([&](const NetSessionT& s) {
        if (s.type == type && (type == 1 ? s.busi.http.url[0] : s.busi.db.sql[0]) != '\0') handed.push_back(s);
    });
    return handed;
}

std::vector<std::string> split(const std::string& text, char sep)
{
    std::vector<std::string> fields;
    for (std::size_t from = 0, to = 0; to != std::string::npos; from = to + 1)
        fields.push_back(text.substr(from, (to = text.find(sep, from)) - from));
    return fields;
}

// tshark's fields (-e options in args, with any others) of every frame of file.
std::vector<std::vector<std::string>> tsharkFields(const std::string& file, const std::string& args)
{
    const std::string cmd = "tshark -r '" + file + "' -T fields -E separator=, " + args + " 2>/dev/null";
    std::vector<std::vector<std::string>> rows;
    FILE* p = popen(cmd.c_str(), "r");
    char line[1024];
    while (p != nullptr && std::fgets(line, sizeof line, p))
        rows.push_back(split({line, std::strcspn(line, "\n")}, ','));
    if (p != nullptr) pclose(p);
    return rows;
}

// A conversation as tshark sees it; the client sent the first SYN, else the first packet.
struct Conversation {
    int proto = 0;
    u32 cli = 0, srv = 0;
    int cport = 0, sport = 0;
    u32 pkts[3] = {}, bytes[3] = {};  // by direction: 1 client to server, 2 back
    u32 syn[3] = {}, synAck[3] = {}, rst[3] = {}, fin[3] = {};
    long long tSyn = -1, tSynAck = -1, tAck = -1;  // microseconds
};

std::map<std::string, Conversation> tsharkConversations(const std::string& file)
{
    std::map<std::string, Conversation> convs;
    for (const auto& f : tsharkFields(file, "-e frame.time_epoch -e frame.len -e ip.src -e ip.dst -e ip.proto"
             " -e tcp.srcport -e tcp.dstport -e udp.srcport -e udp.dstport -e tcp.flags -e tcp.stream -e udp.stream")) {
        if (f.size() < 12) continue;
        const int proto = std::atoi(f[4].c_str());
        const bool tcp = proto == 6;
        const long long usec = std::llround(std::stod(f[0]) * 1e6);
        u32 src = 0, dst = 0;
        getIPFromStr(f[2].c_str(), &src), getIPFromStr(f[3].c_str(), &dst);
        const int sp = std::atoi(f[tcp ? 5 : 7].c_str()), dp = std::atoi(f[tcp ? 6 : 8].c_str());
        const int flags = tcp ? int(std::strtol(f[9].c_str(), nullptr, 16)) : 0;
        auto [it, fresh] = convs.try_emplace((tcp ? "t" : "u") + f[tcp ? 10 : 11]);
        Conversation& c = it->second;
        if (fresh) {
            const bool synAck = (flags & 0x12) == 0x12;
            c = {proto, synAck ? dst : src, synAck ? src : dst, synAck ? dp : sp, synAck ? sp : dp};
        }
        const int dir = (src == c.cli && sp == c.cport) ? 1 : 2;
        c.pkts[dir]++, c.bytes[dir] += u32(std::atoi(f[1].c_str()));
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
        if (flags & 0x01) c.fin[dir]++;
    }
    return convs;
}

// tshark's final responses by client port: status and microseconds since the request
// (-1: none) to the response's last frame (wholeBody), else to its status line.
std::map<int, std::vector<std::pair<int, long long>>> tsharkResponses(const std::string& file, bool wholeBody)
{
    std::map<int, std::vector<std::pair<int, long long>>> byPort;
    const std::string options = std::string("-o tcp.desegment_tcp_streams:") + (wholeBody ? "TRUE" : "FALSE");
    for (const auto& f : tsharkFields(file, options + " -Y 'http.response.code >= 200' -e tcp.dstport"
                                                      " -e http.response.code -e http.time")) {
        if (f.size() < 2 || f[0].empty() || f[1].empty()) continue;
        const long long usec = f.size() > 2 && !f[2].empty() ? std::llround(std::stod(f[2]) * 1e6) : -1;
        byPort[std::atoi(f[0].c_str())].push_back({std::atoi(f[1].c_str()), usec});
    }
    return byPort;
}

}  // namespace

TEST(TsharkCompare, EveryConversationCountsWhatTsharkSees)
{
    testtables::resetSessions(), testtables::clearEndpoints();
    const char* env = std::getenv("WIRELANE_COMPARE_PCAP");
    const std::string file = env ? env : WIRELANE_SOURCE_DIR "/tests/data/http_keepalive_reset.pcap";
    const std::map<std::string, Conversation> convs = tsharkConversations(file);
    ASSERT_GE(convs.size(), 3u) << "tshark read nothing from " << file;
    ASSERT_NO_FATAL_FAILURE(readCaptureFile(file));
    int handshakes = 0, resets = 0;
    for (const auto& [key, c] : convs) {
        SCOPED_TRACE("conversation " + key + ", client port " + std::to_string(c.cport));
        const NetSessionT* s = nullptr;
        testtables::forEachSession([&](const NetSessionT& t) {
            if (t.proto == c.proto && t.src == ipFromV4(c.cli) && t.dst == ipFromV4(c.srv) && t.sport == c.cport && t.dport == c.sport)
                s = &t;
        });
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(std::tuple(s->rcvdPkts, s->sendPkts, s->rcvdBytes, s->sendBytes),
                  std::tuple(c.pkts[1], c.pkts[2], c.bytes[1], c.bytes[2]));
        if (c.proto != 6) continue;
        EXPECT_EQ(std::tuple(s->rcvdSynPkts, s->sendSynPkts, s->rcvdSynAckPkts, s->sendSynAckPkts),
                  std::tuple(c.syn[1], c.syn[2], c.synAck[1], c.synAck[2]));
        EXPECT_EQ(std::tuple(s->rcvdRstPkts, s->sendRstPkts, s->rcvdFinPkts, s->sendFinPkts),
                  std::tuple(c.rst[1], c.rst[2], c.fin[1], c.fin[2]));
        resets += c.rst[1] + c.rst[2] > 0;
        if (c.tSyn >= 0 && c.tSynAck >= 0 && c.tAck >= 0) {
            handshakes++;
            EXPECT_EQ(std::tuple(s->serConDelayUsec, s->cliConDelayUsec, s->connNum, s->realDirection),
                      std::tuple(u32(c.tSynAck - c.tSyn), u32(c.tAck - c.tSynAck), 1u, 1));
        }
    }
    EXPECT_GE(handshakes, 3) << "the capture should hold whole connections";
    EXPECT_GE(resets, 1) << "and one closed by a reset";
}

TEST(HttpTraffic, TransactionsMatchServerLogAndTshark)
{
    const char* pcap = std::getenv("WIRELANE_HTTP_PCAP");
    const char* log = std::getenv("WIRELANE_HTTP_LOG");
    const char* port = std::getenv("WIRELANE_HTTP_PORT");
    if (pcap == nullptr || log == nullptr || port == nullptr) GTEST_SKIP() << "run by tests/scripts/http_traffic.sh";
    // A copy without a URL closed nothing.
    std::vector<NetSessionT> all = readTransactions(pcap, std::string("127.0.0.1:") + port, 3, 1);
    std::erase_if(all, [](const NetSessionT& s) { return s.busi.http.url[0] == '\0'; });
    // Log fields: method, URI, status, host, agent, X-Forwarded-For, content type.
    std::ifstream in(log);
    std::vector<NetSessionT> left = all;
    for (std::string text; std::getline(in, text);) {
        std::vector<std::string> f = split(text, '|');
        f.resize(7);
        SCOPED_TRACE(f[0] + " " + f[1]);
        std::replace(f[1].begin(), f[1].end(), '\'', '"');  // the probe keeps single quotes as double ones
        auto txn = std::find_if(left.begin(), left.end(), [&](const NetSessionT& s) {
            return s.busi.http.method == f[0] && s.busi.http.url == f[1];
        });
        ASSERT_NE(txn, left.end()) << "no transaction for this request";
        const HttpSessionT& t = txn->busi.http;
        EXPECT_EQ(std::tuple(std::string(t.domain), std::string(t.agent), std::string(t.contentType)),
                  std::tuple(f[3].substr(0, 31), f[4].substr(0, 62), f[6].substr(0, 62)));
        u32 lastHop = 0;  // the forwarded address is the last of the list; none kept without the header
        getIPFromStr(f[5].substr(f[5].rfind(',') + 1).c_str(), &lastHop);
        EXPECT_EQ(std::tuple(t.forward == (lastHop ? ipFromV4(lastHop) : IpAddrT {}), t.retcode, txn->resp),
                  std::tuple(true, std::atoi(f[2].c_str()), 1));
        EXPECT_TRUE(t.response > 0 && t.response <= t.pageload) << t.response << " " << t.pageload;
        left.erase(txn);
    }
    EXPECT_EQ(left.size(), 0u) << "transactions without a request";

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
            if (f[k].second >= 0) { EXPECT_EQ(t.response, f[k].second); }
            timedByTshark += f[k].second >= 0;
        }
    }
    EXPECT_GE(timedByTshark, 10);
}

// CREATE, SELECT DATABASE() (for USE) and unanswered statements are replaced unreported.
TEST(MysqlTraffic, StatementsAndErrorsOfOneConnection)
{
    const char* file = std::getenv("WIRELANE_MYSQL_PCAP");
    if (file == nullptr) GTEST_SKIP() << "WIRELANE_MYSQL_PCAP names no capture";
    const std::vector<NetSessionT> all = readTransactions(file, "127.0.0.1:13306", 5, 3);  // MySQL
    const std::pair<const char*, const char*> expected[] = {  // statement, start of the error message
        {"INSERT INTO t1 VALUES (1, 'one'), (2, 'two')", ""}, {"SELECT id, name FROM t1 WHERE id = 1", ""},
        {"UPDATE t1 SET name = 'uno' WHERE id = 1", ""}, {"SELECT id, name FROM t1 WHERE id > 0", ""},
        {"DELETE FROM t1 WHERE id = 2", ""},  // then SET NAMES fails
        {"SELECT * FROM missing_table", "Table 'shop.missing_table' doesn't exist"},
        {"UPDATE t1 SET name = 'one' WHERE id = 1", ""},
        {"SELECT * FROM WHERE t1", "You have an error in your SQL syntax; check the manual"},
    };
    ASSERT_EQ(all.size(), std::size(expected));
    for (std::size_t i = 0; i < all.size(); ++i) {
        const auto& [sql, errMess] = expected[i];
        const DbSessionT& s = all[i].busi.db;
        SCOPED_TRACE(sql);
        const std::string mess(s.errMess, strnlen(s.errMess, sizeof s.errMess));
        EXPECT_EQ(std::tuple(std::string(s.sql), s.real, mess.substr(0, std::strlen(errMess)), mess.empty(),
                             mess.size() <= 120, s.retcode),  // 1146 and 1064 are above 1000: code 0
                  std::tuple(sql, 1, errMess, errMess[0] == '\0', true, 0));
        // Closed ones are timed to their last response frame; the last is still open.
        EXPECT_TRUE(i + 1 == all.size() || (s.response > 0 && s.response < 5000000)) << s.response;
    }
}

// Each statement's user and schema: from the login, changed by COM_INIT_DB and USE once the server takes them.
TEST(MysqlTraffic, UserAndSchemaOfEachStatement)
{
    const char* file = std::getenv("WIRELANE_MYSQL_LOGINS_PCAP");
    if (file == nullptr) GTEST_SKIP() << "WIRELANE_MYSQL_LOGINS_PCAP names no capture";
    std::map<std::string, std::string> got;
    for (const NetSessionT& s : readTransactions(file, "127.0.0.1:13306", 5, 3))
        if (s.busi.db.real) got[s.busi.db.sql] += std::string(s.busi.db.user) + "@" + s.busi.db.dbname + " ";
    EXPECT_EQ(got, (std::map<std::string, std::string> {
        {"SELECT id FROM t1 WHERE id = 1", "shopper@shop "}, {"SELECT id FROM t2", "shopper@other "},
        {"SELECT id FROM t2 WHERE id > 0", "shopper@other "}, {"SELECT id FROM shop.t1 WHERE id = 1", "shopper@ "},
        {"SELECT name FROM t1 WHERE id = 1", "shopper@shop "}, {"SELECT id FROM t1 WHERE id < 2", "shopper@shop "},
        {"SELECT id FROM t2 WHERE id = 1", "shopper@other "}}));
}
