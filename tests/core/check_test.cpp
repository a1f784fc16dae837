// Registration with the monitoring center against a small center of our own
// on 127.0.0.3: the request on the wire, the reply handling, the device id,
// the JSON channel, and the time-out when the center says nothing.
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/main.h"
#include "core/util.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char* const centerIp = "127.0.0.3";

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

// Binds a socket of type to 127.0.0.3:port (0 = any free port) and, with a
// backlog, listens. Another test run may hold a fixed port for a moment, so
// that is waited out; a listening TCP socket or a UDP socket without
// SO_REUSEADDR holds its port alone. -1 when the port cannot be had (port 80
// without root).
int bindCenter(int type, int port, int backlog = -1)
{
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(centerIp);
    a.sin_port = htons(static_cast<u16>(port));
    for (auto until = Clock::now() + 30s; Clock::now() < until; std::this_thread::sleep_for(100ms)) {
        int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        int one = 1;
        if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && (backlog < 0 || listen(fd, backlog) == 0)) {
            return fd;
        }
        int err = errno;
        close(fd);
        if (err != EADDRINUSE) return -1;
    }
    return -1;
}

int portOf(int fd)
{
    sockaddr_in a {};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A TCP center: for each connection it reads the request, then either sends
// the reply chunks (gap between them, so that they arrive apart) and closes,
// or stays silent until the client gives up.
struct Center {
    int fd = -1;
    int port = 0;
    std::vector<std::string> chunks;
    int gapMs = 0;
    bool silent = false;
    std::atomic<bool> stop {false};
    std::mutex m;
    std::vector<std::string> requests;
    std::thread th;

    Center(int wantPort, std::vector<std::string> reply, int gap = 0, bool quiet = false)
        : chunks(std::move(reply)), gapMs(gap), silent(quiet)
    {
        fd = bindCenter(SOCK_STREAM, wantPort, 8);
        if (fd < 0) return;
        port = portOf(fd);
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

    void serve()
    {
        while (!stop) {
            pollfd p {fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int c = accept(fd, nullptr, nullptr);
            if (c < 0) continue;
            int one = 1;
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::string req = readRequest(c);
            {
                std::lock_guard<std::mutex> lk(m);
                requests.push_back(req);
            }
            if (silent) {
                // Until the client closes (or the test ends).
                char b[256];
                while (!stop) {
                    pollfd q {c, POLLIN, 0};
                    if (poll(&q, 1, 50) > 0 && recv(c, b, sizeof b, 0) <= 0) break;
                }
            } else {
                for (std::size_t i = 0; i < chunks.size(); i++) {
                    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
                    send(c, chunks[i].data(), chunks[i].size(), MSG_NOSIGNAL);
                }
            }
            close(c);
        }
    }

    static std::string readRequest(int c)
    {
        std::string req;
        char b[1024];
        auto until = Clock::now() + 3s;
        while (req.find("\r\n\r\n") == std::string::npos && req.size() < 8192 && Clock::now() < until) {
            pollfd q {c, POLLIN, 0};
            if (poll(&q, 1, 50) <= 0) continue;
            ssize_t n = recv(c, b, sizeof b, 0);
            if (n <= 0) break;
            req.append(b, static_cast<std::size_t>(n));
        }
        return req;
    }
};

// Receives the datagrams sent to 127.0.0.3:9015.
struct UdpCenter {
    int fd = bindCenter(SOCK_DGRAM, 9015);
    // Whether want arrives within a second (records of other tests' threads
    // may come first).
    bool receives(const std::string& want)
    {
        char b[2048];
        for (auto until = Clock::now() + 1s; Clock::now() < until;) {
            pollfd p {fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            ssize_t n = recv(fd, b, sizeof b, 0);
            if (n > 0 && std::string(b, static_cast<std::size_t>(n)) == want) return true;
        }
        return false;
    }
    ~UdpCenter()
    {
        if (fd >= 0) close(fd);
    }
};

// A port on 127.0.0.3 that nobody listens on.
int closedPort()
{
    int fd = bindCenter(SOCK_STREAM, 0);
    int port = portOf(fd);
    close(fd);
    return port;
}

// Sends the console copy of log lines to a temporary file while it lives.
struct LogCapture {
    FILE* fp = std::tmpfile();
    LogCapture() { setLogConsole(fp); }
    ~LogCapture()
    {
        setLogConsole(nullptr);
        std::fclose(fp);
    }
    std::string text() const
    {
        std::string s(65536, '\0');
        std::rewind(fp);
        s.resize(std::fread(s.data(), 1, s.size(), fp));
        return s;
    }
};

struct PostResult {
    int rc;
    std::string response;
    std::string err;
    double seconds;
};

PostResult post(const char* host, int port, const char* path = "/p", const char* query = "&a=1")
{
    static char response[4000];
    static char err[4096];
    err[0] = '\0';
    auto t0 = Clock::now();
    int rc = doPost(host, port, path, query, response, err);
    std::chrono::duration<double> took = Clock::now() - t0;
    return {rc, rc > 0 ? std::string(response, static_cast<std::size_t>(rc)) : "", err, took.count()};
}

const std::string headers = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";

}  // namespace

TEST(DoPost, SendsTheRequestByteForByte)
{
    Center center(0, {headers + "ok"});
    ASSERT_TRUE(center.ok());
    PostResult r = post(centerIp, center.port, "/cgi-bin/x.cgi", "&ip=10.0.0.1&mac=AB&ver=2.0.1");
    EXPECT_EQ(r.rc, static_cast<int>(headers.size() + 2));
    ASSERT_EQ(center.got().size(), 1u);
    EXPECT_EQ(center.got()[0], expectedRequest("/cgi-bin/x.cgi", "&ip=10.0.0.1&mac=AB&ver=2.0.1"));
}

TEST(DoPost, KeepsWholeChunksFromTheEndOfTheHeadersBelow4000Bytes)
{
    const std::string early = "HTTP/1.0 200 OK\r\nX-Early: 1\r\n";
    const std::string late = "Server: c\r\n\r\nbody";
    // One 5000-byte write reaches the client at once, so it reads it as
    // 2048 + 2048 + 904; the second chunk would make 4096 and is dropped.
    std::string big = headers + std::string(5000 - headers.size(), 'x');
    std::string exact = headers + std::string(4000 - headers.size(), 'y');
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        int gapMs;
        std::string kept;
    } const cases[] = {
        {"one chunk, status line and headers included", {headers + "did"}, 0, headers + "did"},
        {"chunks before the end of the headers are dropped", {early, late, "more"}, 300, late + "more"},
        {"a chunk that would reach 4000 is dropped, reading goes on", {big}, 0,
         big.substr(0, 2048) + big.substr(4096)},
        {"reaching exactly 4000 is dropped too", {exact}, 0, exact.substr(0, 2048)},
        {"no end of headers at all", {"HTTP/1.0 200 OK\r\n"}, 0, ""},
        {"closed without a byte", {}, 0, ""},
    };
    for (const Case& c : cases) {
        Center center(0, c.chunks, c.gapMs);
        ASSERT_TRUE(center.ok());
        PostResult r = post(centerIp, center.port);
        EXPECT_EQ(r.rc, static_cast<int>(c.kept.size())) << c.name;
        EXPECT_EQ(r.response, c.kept) << c.name;
    }
}

TEST(DoPost, FailuresSayWhy)
{
    LogCapture log;
    PostResult r = post("bad..name", 80);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "Get domain address error");
    EXPECT_NE(log.text().find(" WARNING: Get domain bad..name:80 address error\n"), std::string::npos);

    int port = closedPort();
    r = post(centerIp, port);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "Can not connect server");
    EXPECT_NE(log.text().find(" WARNING: Can not connect 127.0.0.3:" + std::to_string(port) + "\n"),
              std::string::npos);
}

// A center that accepts and never answers must not hold the caller: the
// exchange gives up after 5 s.
TEST(DoPost, SilentCenterTimesOut)
{
    Center center(0, {}, 0, true);
    ASSERT_TRUE(center.ok());
    PostResult r = post(centerIp, center.port);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "Server did not answer");
    EXPECT_GT(r.seconds, 4.5);
    EXPECT_LT(r.seconds, 7.0);
    EXPECT_EQ(center.got().size(), 1u) << "the request was sent";
}

// A full accept queue: the handshake never completes, the connect times out.
TEST(DoPost, UnansweredConnectTimesOut)
{
    int fd = bindCenter(SOCK_STREAM, 0, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(centerIp);
    a.sin_port = htons(static_cast<u16>(portOf(fd)));
    int filler = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

    PostResult r = post(centerIp, portOf(fd));
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "Can not connect server");
    EXPECT_GT(r.seconds, 4.5);
    EXPECT_LT(r.seconds, 7.0);
    close(filler);
    close(fd);
}

// The center's registration port is 80: these need root, as in CI.
class Registration : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::snprintf(readOnlyGlobal.findMac, sizeof readOnlyGlobal.findMac, "0015A5010203");
        std::snprintf(readOnlyGlobal.hostname, sizeof readOnlyGlobal.hostname, "probe-7");
        std::snprintf(readOnlyGlobal.hostuser, sizeof readOnlyGlobal.hostuser, "ops");
        readOnlyGlobal.isKestrel = 1;
        readOnlyGlobal.did = 0;
        readOnlyGlobal.cntCard = 0;
        globalValue.selectRow = -1;
        globalValue.confErrorMsg[0] = '\0';
    }
    void TearDown() override
    {
        readOnlyGlobal.cntCard = 0;
        readOnlyGlobal.did = 0;
    }
    static std::string query(const std::string& ip)
    {
        return "&ip=" + ip + "&mac=0015A5010203&host=probe-7&user=ops&email=&password=&kestrel=1&ver=2.0.26963";
    }
};

#define NEED_CENTER(center) \
    if (!(center).ok()) GTEST_SKIP() << "cannot listen on 127.0.0.3:80 (needs root)"

TEST_F(Registration, ReplyGivesTheDeviceId)
{
    const std::string noDid = headers + "{\"result\":\"denied\"}";
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        int rc;
        int did;
        std::string err;
    } const cases[] = {
        {"id in the body", {headers + "ok:did:42"}, 0, 42, ""},
        {"id after the headers' chunk", {headers, "x:did:42\r\n"}, 0, 42, ""},
        {"the first key counts, digits end the number", {headers + ":did:  17x:did:5"}, 0, 17, ""},
        {"no number reads as 0", {headers + ":did:abc"}, 0, 0, ""},
        {"no key: the message holds the whole reply", {noDid}, -1, 5, "get nic 0015A5010203 did error " + noDid},
        {"empty reply", {}, -1, 5, "Server response is empty"},
    };
    for (const Case& c : cases) {
        Center center(80, c.chunks, 200);
        NEED_CENTER(center);
        readOnlyGlobal.did = 5;
        char err[4096] = "";
        EXPECT_EQ(chkKestrelNicDid(centerIp, err), c.rc) << c.name;
        EXPECT_EQ(static_cast<int>(readOnlyGlobal.did), c.did) << c.name;
        EXPECT_EQ(std::string(err), c.err) << c.name;
        ASSERT_EQ(center.got().size(), 1u) << c.name;
        EXPECT_EQ(center.got()[0], expectedRequest("/cgi-bin/addWXWatchPoint.cgi", query(""))) << c.name;
    }
}

TEST_F(Registration, SendsTheSelectedCardsAddress)
{
    Center center(80, {headers + ":did:42"});
    NEED_CENTER(center);
    std::memset(readOnlyGlobal.cardInfo, 0, sizeof readOnlyGlobal.cardInfo);
    std::snprintf(readOnlyGlobal.cardInfo[1].address, sizeof readOnlyGlobal.cardInfo[1].address, "10.1.2.3");
    readOnlyGlobal.cntCard = 2;
    globalValue.selectRow = 1;
    char err[4096] = "";
    ASSERT_EQ(chkKestrelNicDid(centerIp, err), 0) << err;
    ASSERT_EQ(center.got().size(), 1u);
    EXPECT_EQ(center.got()[0], expectedRequest("/cgi-bin/addWXWatchPoint.cgi", query("10.1.2.3")));
}

// The dialog's path: the entry is cut to its host, the JSON channel goes to
// UDP 9015 of the center, the center is asked even with a saved id, and the
// settings are saved.
TEST_F(Registration, ConfirmFromTheDialog)
{
    Center center(80, {headers + ":did:42"});
    NEED_CENTER(center);
    UdpCenter records;
    ASSERT_GE(records.fd, 0);
    char dir[] = "/tmp/wirelane-check.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string conf = std::string(dir) + "/Wirelane.conf";
    std::snprintf(confFilePath, sizeof confFilePath, "%s", conf.c_str());

    readOnlyGlobal.did = 7;
    std::snprintf(readOnlyGlobal.kestrelStrRemotePath, sizeof readOnlyGlobal.kestrelStrRemotePath,
                  "http://127.0.0.3/console/index.html");
    ASSERT_EQ(kestrelConfirm(true), 0) << globalValue.confErrorMsg;
    EXPECT_STREQ(readOnlyGlobal.kestrelStrRemotePath, "127.0.0.3");
    EXPECT_EQ(static_cast<int>(readOnlyGlobal.did), 42);
    EXPECT_EQ(center.got().size(), 1u);
    EXPECT_EQ(static_cast<u32>(readOnlyGlobal.kestrelNumIP), 0x7F000003u);
    EXPECT_EQ(static_cast<int>(readOnlyGlobal.kestrelPort), 9015);
    EXPECT_EQ(static_cast<u32>(readOnlyGlobal.expNumIP), 0x7F000003u);
    EXPECT_EQ(static_cast<int>(readOnlyGlobal.expPort), 9015);
    EXPECT_EQ(ntohs(readOnlyGlobal.expAddress.sin_port), 9015);
    EXPECT_STREQ(readOnlyGlobal.exportStrRemotePath, "127.0.0.3:9015");
    ASSERT_EQ(static_cast<int>(readOnlyGlobal.isExp), 1);
    send(globalValue.expSockfd, "probe", 5, MSG_NOSIGNAL);
    EXPECT_TRUE(records.receives("probe")) << "the JSON channel reaches the center";

    std::stringstream saved;
    saved << std::ifstream(conf).rdbuf();
    EXPECT_NE(saved.str().find("\nkestrel=127.0.0.3\nkestrelDid=42\n"), std::string::npos) << saved.str();
    std::filesystem::remove_all(dir);
    confFilePath[0] = '\0';
}

TEST_F(Registration, ConfirmAtStartUp)
{
    Center center(80, {headers + ":did:42"});
    NEED_CENTER(center);
    std::snprintf(readOnlyGlobal.kestrelStrRemotePath, sizeof readOnlyGlobal.kestrelStrRemotePath, "127.0.0.3");

    // A saved id is reused: no request.
    {
        LogCapture log;
        readOnlyGlobal.did = 7;
        ASSERT_EQ(kestrelConfirm(false), 0);
        EXPECT_EQ(static_cast<int>(readOnlyGlobal.did), 7);
        EXPECT_NE(log.text().find(" MESSAGE: Read did 7 from conf file\n"), std::string::npos) << log.text();
        EXPECT_STREQ(readOnlyGlobal.exportStrRemotePath, "127.0.0.3:9015");
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(center.got().empty());
    }
    // Without one the probe registers.
    readOnlyGlobal.did = 0;
    ASSERT_EQ(kestrelConfirm(false), 0);
    EXPECT_EQ(static_cast<int>(readOnlyGlobal.did), 42);
    EXPECT_EQ(center.got().size(), 1u);
}

TEST_F(Registration, ConfirmFailuresAreReportedAndNothingIsSaved)
{
    Center center(80, {});  // answers nothing and closes
    NEED_CENTER(center);
    char dir[] = "/tmp/wirelane-check.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string conf = std::string(dir) + "/Wirelane.conf";
    std::snprintf(confFilePath, sizeof confFilePath, "%s", conf.c_str());
    std::snprintf(readOnlyGlobal.exportStrRemotePath, sizeof readOnlyGlobal.exportStrRemotePath, "10.9.9.9:514");

    struct Case {
        const char* entry;
        bool win;
        const char* message;
        const char* exportPath;  // afterwards
    } const cases[] = {
        {"http://bad..name/x", true, "Parse Tkestrel domain bad..name failed", "10.9.9.9:514"},
        {"bad..name", false, "Parse Tkestrel domain bad..name failed", "10.9.9.9:514"},
        // Registration fails: the channel already points at the center.
        {"127.0.0.3", true, "Server response is empty", "127.0.0.3:9015"},
        {"127.0.0.3", false, "Server response is empty", "127.0.0.3:9015"},
    };
    for (const Case& c : cases) {
        readOnlyGlobal.did = 0;
        globalValue.confErrorMsg[0] = '\0';
        std::snprintf(readOnlyGlobal.kestrelStrRemotePath, sizeof readOnlyGlobal.kestrelStrRemotePath, "%s",
                      c.entry);
        EXPECT_EQ(kestrelConfirm(c.win), -1) << c.entry;
        EXPECT_STREQ(globalValue.confErrorMsg, c.message) << c.entry;
        EXPECT_STREQ(readOnlyGlobal.exportStrRemotePath, c.exportPath) << c.entry;
        EXPECT_EQ(static_cast<int>(readOnlyGlobal.did), 0) << c.entry;
        EXPECT_FALSE(std::filesystem::exists(conf)) << c.entry;
    }
    std::filesystem::remove_all(dir);
    confFilePath[0] = '\0';
}
