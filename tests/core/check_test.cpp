// Registration with the monitoring center, against a small center of our own
// on 127.0.0.3: the request on the wire, replies, device ids and time-outs.
#include "settings/center.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/conf.h"
#include "core/util.h"
#include "settings/startup.h"

namespace {

using namespace std::chrono_literals;
const char* const centerIp = "127.0.0.3";
const std::string headers = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";

std::string request(const std::string& path, const std::string& query)
{
    return "GET " + path + "?method=get" + query +
           " HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded; charset=UTF-8\r\n"
           "Accept: application/json, text/javascript, */*; q=0.01\r\nAccept-Encoding: gzip, deflate\r\n"
           "Accept-Language: zh-CN,zh;q=0.9\r\nContent-length: 0\r\n\r\n";
}

template <std::size_t N>
void set(char (&field)[N], const char* text) { std::snprintf(field, N, "%s", text); }

// A center on 127.0.0.3:port (0 = any; 80 needs root, and another test run
// may hold it for a moment). Connection i gets its request read, then reply i
// (the last one for the rest; '\v' splits it into writes 300 ms apart), and is
// closed. Without replies it takes no connection up.
struct Center {
    int fd = -1, port = 0;
    std::vector<std::string> replies, requests;
    std::thread th;

    Center(int want, std::vector<std::string> answers) : replies(std::move(answers))
    {
        sockaddr_in a {AF_INET, htons(static_cast<u16>(want)), {inet_addr(centerIp)}, {}};
        for (int tries = 300; fd < 0 && tries-- > 0; std::this_thread::sleep_for(100ms)) {
            fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 8) == 0) break;
            int err = errno;
            close(std::exchange(fd, -1));
            if (err != EADDRINUSE) return;
        }
        socklen_t len = sizeof a;
        if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return;
        port = ntohs(a.sin_port);
        if (!replies.empty()) th = std::thread([this] { serve(); });
    }
    ~Center() { got(), close(fd); }
    // Stops the center; the requests it read.
    const std::vector<std::string>& got()
    {
        shutdown(fd, SHUT_RDWR);  // ends the accept below
        if (th.joinable()) th.join();
        return requests;
    }
    void serve()
    {
        for (int c, one = 1; (c = accept(fd, nullptr, nullptr)) >= 0; close(c)) {
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::string& req = requests.emplace_back();
            char b[1024];
            for (ssize_t n = 1; n > 0 && req.find("\r\n\r\n") == std::string::npos;) {
                if ((n = recv(c, b, sizeof b, 0)) > 0) req.append(b, static_cast<std::size_t>(n));
            }
            const std::string& reply = replies[std::min(requests.size(), replies.size()) - 1];
            for (std::size_t at = 0, end = 0; end < reply.size(); at = end + 1) {
                if (at > 0) std::this_thread::sleep_for(300ms);
                end = std::min(reply.find('\v', at), reply.size());
                send(c, reply.data() + at, end - at, MSG_NOSIGNAL);
            }
        }
    }
};

// What doPost returns, with the reply kept or the message on failure.
std::pair<int, std::string> post(const char* host, int port)
{
    static char response[4000], err[4096];
    int rc = doPost(host, port, "/cgi-bin/x.cgi", "&ip=10.0.0.1&mac=AB", response, err);
    return {rc, rc < 0 ? err : std::string(response, static_cast<std::size_t>(std::max(rc, 0)))};
}

}  // namespace

TEST(DoPost, RequestAndReplyChunks)
{
    // One 5000-byte write is read as 2048 + 2048 + 904; the second chunk
    // would make 4096 and is dropped, as is one reaching exactly 4000.
    std::string big = headers + std::string(5000 - headers.size(), 'x');
    std::string exact = headers + std::string(4000 - headers.size(), 'y');
    const std::pair<std::string, std::string> cases[] = {
        {headers + "did", headers + "did"},
        // Writes before the one that ends the headers are dropped.
        {"HTTP/1.0 200 OK\r\nX-Early: 1\r\n\vServer: c\r\n\r\nbody\vmore", "Server: c\r\n\r\nbodymore"},
        {big, big.substr(0, 2048) + big.substr(4096)},
        {exact, exact.substr(0, 2048)},
        {"HTTP/1.0 200 OK\r\n", ""},
    };
    for (const auto& [reply, kept] : cases) {
        Center center(0, {reply});
        ASSERT_NE(center.port, 0);
        EXPECT_EQ(post(centerIp, center.port), std::pair(static_cast<int>(kept.size()), kept));
        EXPECT_EQ(center.got(), std::vector {request("/cgi-bin/x.cgi", "&ip=10.0.0.1&mac=AB")});
    }
}

TEST(DoPost, FailuresSayWhy)
{
    EXPECT_EQ(post("bad..name", 80), std::pair(-1, std::string("Get domain address error")));
    int closedPort = Center(0, {""}).port;
    EXPECT_EQ(post(centerIp, closedPort), std::pair(-1, std::string("Can not connect server")));

    // A center that never answers is given up after 5 s.
    Center mute(0, {});
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(post(centerIp, mute.port), std::pair(-1, std::string("Server did not answer")));
    EXPECT_NEAR(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 5.5, 1.0);
}

// The center's registration port is 80: these need root, as in CI.
class Registration : public ::testing::Test {
protected:
    void SetUp() override
    {
        ReadOnlyGlobalT& g = readOnlyGlobal;
        set(g.findMac, "0015A5010203");
        set(g.hostname, "probe-7");
        set(g.hostuser, "ops");
        std::memset(g.cardInfo, 0, sizeof g.cardInfo);
        set(g.cardInfo[1].address, "10.1.2.3");
        g.isKestrel = 1;
        g.did = g.cntCard = 0;
        globalValue.selectRow = -1;
        set(confFilePath, ("/tmp/wirelane-check-" + std::to_string(getpid()) + ".conf").c_str());
    }
    void TearDown() override
    {
        readOnlyGlobal.cntCard = readOnlyGlobal.did = readOnlyGlobal.isExp = 0;
        std::remove(confFilePath);
        confFilePath[0] = '\0';
    }
    static std::string saved()
    {
        std::ifstream in(confFilePath);
        return {std::istreambuf_iterator<char>(in), {}};
    }
};

TEST_F(Registration, ReplyGivesTheDeviceId)
{
    const std::string noDid = headers + "{\"result\":\"denied\"}";
    struct Case {
        std::string reply, err;
        int rc, did;
    } const cases[] = {
        {headers + "ok:did:42", "", 0, 42},  // with the selected card's address
        {headers + ":did:  17x:did:5", "", 0, 17},
        {headers + ":did:abc", "", 0, 0},
        {noDid, "get nic 0015A5010203 did error " + noDid, -1, 5},
        {"", "Server response is empty", -1, 5},
    };
    for (const Case& c : cases) {
        Center center(80, {c.reply});
        if (center.port == 0) GTEST_SKIP() << "cannot listen on 127.0.0.3:80 (needs root)";
        readOnlyGlobal.did = 5;
        readOnlyGlobal.cntCard = &c == cases ? 2 : 0;
        globalValue.selectRow = readOnlyGlobal.cntCard - 1;
        char err[4096] = "";
        EXPECT_EQ(chkKestrelNicDid(centerIp, err), c.rc) << c.err;
        EXPECT_EQ(static_cast<int>(readOnlyGlobal.did), c.did) << c.err;
        EXPECT_EQ(std::string(err), c.err);
        std::string query = std::string("&ip=") + (&c == cases ? "10.1.2.3" : "") +
                            "&mac=0015A5010203&host=probe-7&user=ops&email=&password=&kestrel=1&ver=2.0.26963";
        EXPECT_EQ(center.got(), std::vector {request("/cgi-bin/addWXWatchPoint.cgi", query)});
    }
}

// A failure saves nothing. The dialog asks the center even with a saved id,
// cuts the entry to its host and saves; records then go to UDP 9015 of the
// center. (Start-up with and without a saved id: center_registration.sh.)
TEST_F(Registration, Confirm)
{
    Center center(80, {"", headers + ":did:42"});  // at first it answers nothing
    if (center.port == 0) GTEST_SKIP() << "cannot listen on 127.0.0.3:80 (needs root)";
    ReadOnlyGlobalT& g = readOnlyGlobal;
    set(g.exportStrRemotePath, "10.9.9.9:514");
    set(g.kestrelStrRemotePath, "http://bad..name/x");
    EXPECT_EQ(kestrelConfirm(true), -1);
    EXPECT_STREQ(globalValue.confErrorMsg, "Parse Tkestrel domain bad..name failed");
    EXPECT_STREQ(g.exportStrRemotePath, "10.9.9.9:514");
    set(g.kestrelStrRemotePath, "127.0.0.3");
    EXPECT_EQ(kestrelConfirm(false), -1);
    EXPECT_STREQ(globalValue.confErrorMsg, "Server response is empty");
    EXPECT_STREQ(g.exportStrRemotePath, "127.0.0.3:9015");
    EXPECT_EQ(static_cast<int>(g.did), 0);
    EXPECT_EQ(saved(), "");

    g.did = 7;
    set(g.kestrelStrRemotePath, "http://127.0.0.3/console/index.html");
    ASSERT_EQ(kestrelConfirm(true), 0) << globalValue.confErrorMsg;
    EXPECT_STREQ(g.kestrelStrRemotePath, "127.0.0.3");
    EXPECT_EQ(static_cast<int>(g.did), 42);
    EXPECT_EQ(ntohs(g.expAddress.sin_port), 9015);
    EXPECT_EQ(static_cast<int>(g.isExp), 1);
    EXPECT_NE(saved().find("\nkestrel=127.0.0.3\nkestrelDid=42\n"), std::string::npos) << saved();
}
