// Registration with the monitoring center against a small center of our own
// on 127.0.0.3: the request on the wire, the reply handling, the device id
// and the time-out when the center says nothing.
#include "core/check.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/main.h"
#include "core/util.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char* const centerIp = "127.0.0.3";
const std::string headers = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";

std::string expectedRequest(const std::string& path, const std::string& query)
{
    return "GET " + path + "?method=get" + query +
           " HTTP/1.0\r\n"
           "Content-Type: application/x-www-form-urlencoded; charset=UTF-8\r\n"
           "Accept: application/json, text/javascript, */*; q=0.01\r\n"
           "Accept-Encoding: gzip, deflate\r\n"
           "Accept-Language: zh-CN,zh;q=0.9\r\n"
           "Content-length: 0\r\n\r\n";
}

// A center on 127.0.0.3:port (0 = any; 80 needs root, and another test run
// may hold it for a moment). Per connection it reads the request, then sends
// the chunks apart and closes, or with silent waits until the client leaves.
struct Center {
    int fd = -1, port = 0;
    std::vector<std::string> chunks;
    int gapMs;
    bool silent;
    std::atomic<bool> stop {false};
    std::mutex m;
    std::vector<std::string> requests;
    std::thread th;

    Center(int want, std::vector<std::string> reply, int gap = 0, bool quiet = false)
        : chunks(std::move(reply)), gapMs(gap), silent(quiet)
    {
        sockaddr_in a {AF_INET, htons(static_cast<u16>(want)), {inet_addr(centerIp)}, {}};
        for (auto until = Clock::now() + 30s; fd < 0 && Clock::now() < until; std::this_thread::sleep_for(100ms)) {
            fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 8) == 0) break;
            int err = errno;
            close(fd);
            fd = -1;
            if (err != EADDRINUSE) return;
        }
        if (fd < 0) return;
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        th = std::thread([this] { serve(); });
    }
    ~Center()
    {
        stop = true;
        if (th.joinable()) th.join();
        if (fd >= 0) close(fd);
    }
    bool ok() const { return port != 0; }
    std::vector<std::string> got()
    {
        std::lock_guard<std::mutex> lk(m);
        return requests;
    }
    // Reads c until the end of the request, or until the client closes.
    bool readSome(int c, std::string& into)
    {
        char b[1024];
        pollfd q {c, POLLIN, 0};
        if (poll(&q, 1, 50) <= 0) return !stop;
        ssize_t n = recv(c, b, sizeof b, 0);
        if (n > 0) into.append(b, static_cast<std::size_t>(n));
        return n > 0 && !stop;
    }
    void serve()
    {
        while (!stop) {
            pollfd p {fd, POLLIN, 0};
            int c = poll(&p, 1, 50) > 0 ? accept(fd, nullptr, nullptr) : -1;
            if (c < 0) continue;
            int one = 1;
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::string req;
            while (req.find("\r\n\r\n") == std::string::npos && readSome(c, req)) {}
            {
                std::lock_guard<std::mutex> lk(m);
                requests.push_back(req);
            }
            std::string rest;
            while (silent && readSome(c, rest)) {}
            for (std::size_t i = 0; !silent && i < chunks.size(); i++) {
                if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
                send(c, chunks[i].data(), chunks[i].size(), MSG_NOSIGNAL);
            }
            close(c);
        }
    }
};

struct PostResult {
    int rc;
    std::string response, err;
    double seconds;
};

PostResult post(const char* host, int port, const char* path = "/p", const char* query = "&a=1")
{
    static char response[4000], err[4096];
    err[0] = '\0';
    auto t0 = Clock::now();
    int rc = doPost(host, port, path, query, response, err);
    std::chrono::duration<double> took = Clock::now() - t0;
    return {rc, rc > 0 ? std::string(response, static_cast<std::size_t>(rc)) : "", err, took.count()};
}

}  // namespace

TEST(DoPost, RequestAndReplyChunks)
{
    const std::string early = "HTTP/1.0 200 OK\r\nX-Early: 1\r\n", late = "Server: c\r\n\r\nbody";
    // One 5000-byte write is read as 2048 + 2048 + 904; the second chunk
    // would make 4096 and is dropped, as is one reaching exactly 4000.
    std::string big = headers + std::string(5000 - headers.size(), 'x');
    std::string exact = headers + std::string(4000 - headers.size(), 'y');
    struct Case {
        std::vector<std::string> chunks;
        int gapMs;
        std::string kept;
    } const cases[] = {
        {{headers + "did"}, 0, headers + "did"},
        {{early, late, "more"}, 300, late + "more"},
        {{big}, 0, big.substr(0, 2048) + big.substr(4096)},
        {{exact}, 0, exact.substr(0, 2048)},
        {{"HTTP/1.0 200 OK\r\n"}, 0, ""},
    };
    for (const Case& c : cases) {
        Center center(0, c.chunks, c.gapMs);
        ASSERT_TRUE(center.ok());
        PostResult r = post(centerIp, center.port, "/cgi-bin/x.cgi", "&ip=10.0.0.1&mac=AB");
        EXPECT_EQ(r.rc, static_cast<int>(c.kept.size())) << c.kept.size();
        EXPECT_EQ(r.response, c.kept);
        ASSERT_EQ(center.got().size(), 1u);
        EXPECT_EQ(center.got()[0], expectedRequest("/cgi-bin/x.cgi", "&ip=10.0.0.1&mac=AB"));
    }
}

TEST(DoPost, FailuresSayWhy)
{
    EXPECT_EQ(post("bad..name", 80).err, "Get domain address error");
    int port;
    {
        Center gone(0, {});
        ASSERT_TRUE(gone.ok());
        port = gone.port;
    }
    PostResult r = post(centerIp, port);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "Can not connect server");

    // A center that accepts and never answers gives up after 5 s.
    Center silent(0, {}, 0, true);
    ASSERT_TRUE(silent.ok());
    r = post(centerIp, silent.port);
    EXPECT_EQ(r.err, "Server did not answer");
    EXPECT_GT(r.seconds, 4.5);
    EXPECT_LT(r.seconds, 7.0);
    EXPECT_EQ(silent.got().size(), 1u) << "the request was sent";
}

// The center's registration port is 80: these need root, as in CI.
class Registration : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::snprintf(readOnlyGlobal.findMac, sizeof readOnlyGlobal.findMac, "0015A5010203");
        std::snprintf(readOnlyGlobal.hostname, sizeof readOnlyGlobal.hostname, "probe-7");
        std::snprintf(readOnlyGlobal.hostuser, sizeof readOnlyGlobal.hostuser, "ops");
        std::memset(readOnlyGlobal.cardInfo, 0, sizeof readOnlyGlobal.cardInfo);
        std::snprintf(readOnlyGlobal.cardInfo[1].address, sizeof readOnlyGlobal.cardInfo[1].address, "10.1.2.3");
        readOnlyGlobal.isKestrel = 1;
        readOnlyGlobal.did = 0;
        readOnlyGlobal.cntCard = 0;
        globalValue.selectRow = -1;
        globalValue.confErrorMsg[0] = '\0';
        char tmpl[] = "/tmp/wirelane-check.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        std::snprintf(confFilePath, sizeof confFilePath, "%s/Wirelane.conf", tmpl);
    }
    void TearDown() override
    {
        readOnlyGlobal.cntCard = 0;
        readOnlyGlobal.did = 0;
        std::filesystem::remove_all(dir);
        confFilePath[0] = '\0';
    }
    static std::string query(const std::string& ip)
    {
        return "&ip=" + ip + "&mac=0015A5010203&host=probe-7&user=ops&email=&password=&kestrel=1&ver=2.0.26963";
    }
    std::string dir;
};

#define NEED_CENTER(center) \
    if (!(center).ok()) GTEST_SKIP() << "cannot listen on 127.0.0.3:80 (needs root)"

TEST_F(Registration, ReplyGivesTheDeviceId)
{
    const std::string noDid = headers + "{\"result\":\"denied\"}";
    struct Case {
        std::vector<std::string> chunks;
        int rc, did;
        std::string err;
        int cards;  // with 2 the selected card's address is sent
    } const cases[] = {
        {{headers + "ok:did:42"}, 0, 42, "", 2},
        {{headers, "x:did:42\r\n"}, 0, 42, "", 0},
        {{headers + ":did:  17x:did:5"}, 0, 17, "", 0},
        {{headers + ":did:abc"}, 0, 0, "", 0},
        {{noDid}, -1, 5, "get nic 0015A5010203 did error " + noDid, 0},
        {{}, -1, 5, "Server response is empty", 0},
    };
    for (const Case& c : cases) {
        Center center(80, c.chunks, 200);
        NEED_CENTER(center);
        readOnlyGlobal.did = 5;
        readOnlyGlobal.cntCard = c.cards;
        globalValue.selectRow = c.cards - 1;
        char err[4096] = "";
        EXPECT_EQ(chkKestrelNicDid(centerIp, err), c.rc) << c.err;
        EXPECT_EQ(static_cast<int>(readOnlyGlobal.did), c.did) << c.err;
        EXPECT_EQ(std::string(err), c.err);
        ASSERT_EQ(center.got().size(), 1u);
        EXPECT_EQ(center.got()[0], expectedRequest("/cgi-bin/addWXWatchPoint.cgi", query(c.cards ? "10.1.2.3" : "")));
    }
}

// The dialog asks the center even with a saved id, cuts the entry to its
// host, points the JSON channel at UDP 9015 of the center and saves.
TEST_F(Registration, ConfirmFromTheDialog)
{
    Center center(80, {headers + ":did:42"});
    NEED_CENTER(center);
    readOnlyGlobal.did = 7;
    std::snprintf(readOnlyGlobal.kestrelStrRemotePath, sizeof readOnlyGlobal.kestrelStrRemotePath,
                  "http://127.0.0.3/console/index.html");
    ASSERT_EQ(kestrelConfirm(true), 0) << globalValue.confErrorMsg;
    EXPECT_STREQ(readOnlyGlobal.kestrelStrRemotePath, "127.0.0.3");
    EXPECT_EQ(static_cast<int>(readOnlyGlobal.did), 42);
    EXPECT_EQ(center.got().size(), 1u);
    EXPECT_EQ(ntohs(readOnlyGlobal.expAddress.sin_port), 9015);
    EXPECT_STREQ(readOnlyGlobal.exportStrRemotePath, "127.0.0.3:9015");
    EXPECT_EQ(static_cast<int>(readOnlyGlobal.isExp), 1);
    std::ifstream in(confFilePath);
    std::string saved {std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(saved.find("\nkestrel=127.0.0.3\nkestrelDid=42\n"), std::string::npos) << saved;
}

TEST_F(Registration, ConfirmAtStartUp)
{
    Center center(80, {headers + ":did:42"});
    NEED_CENTER(center);
    std::snprintf(readOnlyGlobal.kestrelStrRemotePath, sizeof readOnlyGlobal.kestrelStrRemotePath, "127.0.0.3");
    readOnlyGlobal.did = 7;  // a saved id is reused: no request
    ASSERT_EQ(kestrelConfirm(false), 0);
    EXPECT_EQ(static_cast<int>(readOnlyGlobal.did), 7);
    EXPECT_STREQ(readOnlyGlobal.exportStrRemotePath, "127.0.0.3:9015");
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(center.got().empty());
    readOnlyGlobal.did = 0;  // without one the probe registers
    ASSERT_EQ(kestrelConfirm(false), 0);
    EXPECT_EQ(static_cast<int>(readOnlyGlobal.did), 42);
    EXPECT_EQ(center.got().size(), 1u);
}

TEST_F(Registration, ConfirmFailuresSaveNothing)
{
    Center center(80, {});  // answers nothing and closes
    NEED_CENTER(center);
    std::snprintf(readOnlyGlobal.exportStrRemotePath, sizeof readOnlyGlobal.exportStrRemotePath, "10.9.9.9:514");
    struct Case {
        const char *entry, *message, *exportPath;
        bool win;
    } const cases[] = {
        {"http://bad..name/x", "Parse Tkestrel domain bad..name failed", "10.9.9.9:514", true},
        {"127.0.0.3", "Server response is empty", "127.0.0.3:9015", false},
    };
    for (const Case& c : cases) {
        std::snprintf(readOnlyGlobal.kestrelStrRemotePath, sizeof readOnlyGlobal.kestrelStrRemotePath, "%s",
                      c.entry);
        EXPECT_EQ(kestrelConfirm(c.win), -1) << c.entry;
        EXPECT_STREQ(globalValue.confErrorMsg, c.message);
        EXPECT_STREQ(readOnlyGlobal.exportStrRemotePath, c.exportPath);
        EXPECT_EQ(static_cast<int>(readOnlyGlobal.did), 0);
        EXPECT_FALSE(std::filesystem::exists(confFilePath));
    }
}
