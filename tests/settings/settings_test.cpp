// The JSON export and packet dump settings on real store folders; registration with a center of
// our own on 127.0.0.3:80 (root; at start-up: center_registration.sh).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "core/util.h"
#include "settings/center.h"
#include "settings/settings.h"
#include "support/conf_fixture.h"

namespace {

namespace fs = std::filesystem;
using SettingsTest = ConfFixture;

// The refusals in the order of the checks, shown; none touches accepted values or the file.
TEST_F(SettingsTest, Refusals)
{
    static std::string shown;
    setAlertHandler([](const char* text) { shown = text; });
    ReadOnlyGlobalT& g = readOnlyGlobal;
    set(g.exportStrLocalPath, sub("json")), set(g.dumpStrLocalPath, sub("pkts")), g.maxLength = 1514;
    // A store file that cannot be made: its name is a link into nowhere.
    fs::create_directory(dir / "unmade");
    fs::create_symlink(dir / "nowhere" / "x", dir / "unmade" / "Wirelane-1-001.json");
    const std::string tooLong(256, '1');  // one more than a field holds
    struct Case { bool dump; std::string path, space, remote, trun; const char* message;
                  int maxLength = 1514;  // an accepted truncation applies before a later check refuses
                  rlim_t diskBytes = RLIM_INFINITY; } const cases[] = {
        {false, "", " ", "", "", "Please enter the correct content."},
        {false, sub("other"), "", "", "", "Local space is empty!"},
        {false, "", "100", "10.0.0.5:9000", "", "Local path is empty!"},
        {false, sub("pkts"), "100", "", "", "JSON path cannot be the same as Dump path!"},
        {false, sub("other"), "150.5", "", "", "Local space is not a number!"},
        {false, sub("missing"), "100", "", "", "Wrong directionary!"},
        {false, sub("unmade"), "100", "", "", "Write failure!"},
        {false, sub("other"), "100", "", "", "No space!", 1514, 1 << 20},
        {false, "", "", "10.0.0.5", "", "Remote port is must not NULL!"},
        {false, "", "", "10.0.0.5:65536", "", "Remote port is not a number!"},
        {false, "", "", "a b:9000", "", "Invalid address"},
        {false, "/" + tooLong, "100", "", "", "Wrong directionary!"},
        {true, "", "", "", "", "Please enter the correct content."},
        {true, sub("json"), "100", "", "", "Dump path cannot be the same as JSON path!"},
        {true, "", "", "", "abc", "Truncate length is not a number!"},
        {true, sub("missing"), "100", "", "200", "Wrong directionary!", 200},
        {true, "", "", "a b", "", "Invalid domain or address", 200},
        {true, "", "", "", tooLong, "Truncate length is not a number!", 200},
    };
    for (const Case& c : cases) {
        shown.clear();
        auto offer = [&] {
            return c.dump ? dumpOffer(c.path.c_str(), c.space.c_str(), c.remote.c_str(), c.trun.c_str())
                          : exportOffer(c.path.c_str(), c.space.c_str(), c.remote.c_str());
        };
        EXPECT_EQ(onFullDisk(c.diskBytes, offer), -1) << c.message;
        EXPECT_EQ(shown + "|" + globalValue.confErrorMsg + "|" + std::to_string(int(g.maxLength)) + "|" +
                      g.exportStrLocalPath + g.dumpStrLocalPath + "|" + g.exportStrRemotePath + g.dumpStrRemotePath +
                      "|" + std::to_string(fs::exists(conf)),
                  std::string(c.message) + "|" + c.message + "|" + std::to_string(c.maxLength) + "|" + sub("json") +
                      sub("pkts") + "||0");
    }

    // The endpoint dialog: a text too long for the entry (its first 95 characters would pass), a repeat, no row
    // chosen.
    auto said = [](int rc) { return std::to_string(rc) + " " + shown; };
    ASSERT_EQ(endpointAdd("192.168.1.12:8080", 3), 0);
    EXPECT_EQ(said(endpointAdd((std::string(80, '0') + "192.168.1.12:8080").c_str(), 3)),
              "-1 Invalid IP address or PORT");
    EXPECT_EQ(said(endpointAdd("192.168.1.12:8080", 3)), "-1 Host Already exists or Maximum exceeded");
    EXPECT_EQ(said(endpointDelete(1)), "-1 Please choice a row");
    ASSERT_EQ(endpointDelete(0), 0);
    EXPECT_EQ(g.cntHost, 0);
    // The message kept for the window is cut to its field.
    alertMessage(std::string(3000, 'x').c_str(), false);
    EXPECT_EQ(std::strlen(globalValue.confErrorMsg), sizeof globalValue.confErrorMsg - 1);
}

// 120 MB (a saved space need not be whole hundreds) take 12 files of 10 MB; a bad collector
// keeps the new store, saving nothing. An accepted dump, applied and saved: retrieval_verbs.sh.
TEST_F(SettingsTest, AcceptedStoreAndBadCollector)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    set(g.tryExportStrLocalPath, sub("json")), set(g.tryExportStrLocalSpace, "120");
    set(g.tryExportStrRemotePath, "127.0.0.2");
    EXPECT_EQ(exportAdd(false), -1);
    EXPECT_EQ(std::string(g.exportStrLocalPath) + "|" + g.exportStrRemotePath, sub("json") + "|");
    EXPECT_EQ(std::tuple(fs::exists(dir / "json" / "Wirelane-1-012.json"),
                         fs::exists(dir / "json" / "Wirelane-1-013.json"), fs::exists(conf)),
              std::tuple(true, false, false));
}

// The collector and the VXLAN receiver in each address form, in turn: an accepted one is connected (the socket's
// number kept when the family changes) and saved as written; a refusal changes nothing.
TEST_F(SettingsTest, ChannelAddressForms)
{
    static std::string shown;
    setAlertHandler([](const char* text) { shown = text; });
    ReadOnlyGlobalT& g = readOnlyGlobal;
    struct Case { bool dump; const char* remote, *message; } const cases[] = {
        {false, "[::1]:9000", ""}, {false, "127.0.0.2:9001", ""}, {false, "[::1]:9002", ""},
        {false, "::1", "Remote port is must not NULL!"}, {false, "[::1]", "Remote port is must not NULL!"},
        {false, "[::1", "Invalid address"}, {false, "[::1]x9000", "Invalid address"},
        {false, "[::1]:x", "Remote port is not a number!"}, {true, "::1", ""}, {true, "127.0.0.2", ""},
        {true, "[::1]", ""}, {true, "[::1]:4789", "Invalid domain or address"}, {true, "[::1", "Invalid domain or address"},
    };
    std::string saved[2];
    int fd[2] = {-1, -1};
    for (const Case& c : cases) {
        shown.clear();
        if ((c.dump ? dumpOffer("", "", c.remote, "") : exportOffer("", "", c.remote)) == 0) saved[c.dump] = c.remote;
        const int sock = c.dump ? globalValue.expPktSockfd : globalValue.expSockfd;
        fd[c.dump] = fd[c.dump] < 0 ? sock : fd[c.dump];
        EXPECT_EQ(shown + "|" + (c.dump ? g.dumpStrRemotePath : g.exportStrRemotePath) + "|" +
                      std::to_string(c.dump ? g.isPktExp : g.isExp) + std::to_string(sock == fd[c.dump]),
                  std::string(c.message) + "|" + saved[c.dump] + "|11") << c.remote;
    }
    const auto& a6 = reinterpret_cast<sockaddr_in6&>(g.expAddress);
    const IpAddrT loop6 = ipOf("::1");
    EXPECT_EQ(std::tuple(a6.sin6_family, ntohs(a6.sin6_port), g.expNumIP == loop6, g.expPktNumIP == loop6),
              std::tuple(sa_family_t(AF_INET6), u16(9002), true, true));
}

// At start-up a value refused for the moment (a folder missing, a full disk) keeps its text in the file and
// applies at a later try; a malformed one is written back empty, also beside one kept. Names that resolve
// later: settings_retry.sh.
TEST_F(SettingsTest, StartUpKeepsWhatMayApplyLater)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    const std::string later = sub("later"), json = sub("json");
    struct Case { std::vector<std::string> lines; rlim_t diskBytes; std::string kept, applied; } const cases[] = {
        {{"exportPath=" + later, "exportSpace=100"}, RLIM_INFINITY, "exportPath=" + later + "\nexportRemote=\n"
         "exportSpace=100\n", later},
        {{"exportPath=" + json, "exportSpace=100"}, 1 << 20, "exportPath=" + json + "\nexportRemote=\n"
         "exportSpace=100\n", json},
        {{"exportPath=" + later, "exportSpace=100", "exportRemote=10.0.0.5"}, RLIM_INFINITY, "exportPath=" + later +
         "\nexportRemote=\nexportSpace=100\n", later},
        {{"exportPath=" + later, "exportSpace=150.5"}, RLIM_INFINITY, "exportPath=\nexportRemote=\nexportSpace=\n", ""},
        {{"dumpPath=" + later, "dumpSpace=100", "dumpTrun=abc"}, RLIM_INFINITY, "dumpPath=\ndumpRemote=\n"
         "dumpSpace=\ndumpTrun=\n", ""},
        {{"dumpPath=" + later, "dumpSpace=100", "dumpRemote=a b"}, RLIM_INFINITY, "dumpPath=" + later +
         "\ndumpRemote=\ndumpSpace=100\ndumpTrun=\n", later},
    };
    for (const Case& c : cases) {
        resetSettings(), std::filesystem::remove_all(later);
        std::ofstream(conf) << [&] { std::string t; for (auto& l : c.lines) t += l + "\n"; return t; }();
        onFullDisk(c.diskBytes, [] { return loadConf(); });
        const std::string file = "\n" + readAll(conf), key = c.kept.substr(0, c.kept.find('='));
        EXPECT_NE(file.find("\n" + c.kept), std::string::npos) << file;
        std::filesystem::create_directory(later);
        EXPECT_EQ(retryHeldSettings(), 0);
        EXPECT_EQ(key == "exportPath" ? g.exportStrLocalPath : g.dumpStrLocalPath, c.applied) << c.kept;
        EXPECT_NE(("\n" + readAll(conf)).find("\n" + key + "=" + c.applied + "\n"), std::string::npos) << c.kept;
    }
}

// A socket listening on 127.0.0.3:port, or -1; a test run may hold 80 for a moment.
int listenOn(int port)
{
    sockaddr_in a {AF_INET, htons(static_cast<u16>(port)), {inet_addr("127.0.0.3")}, {}};
    for (int tries = 300, one = 1; tries-- > 0; usleep(100000)) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 8) == 0) return fd;
        int err = errno;
        close(fd);
        if (err != EADDRINUSE) break;
    }
    return -1;
}

// The registration request, byte for byte.
std::string request(const std::string& ip)
{
    return "GET /cgi-bin/addWXWatchPoint.cgi?method=get&ip=" + ip +
           "&mac=0015A5010203&host=probe-7&user=ops&email=&password=&kestrel=1&ver=2.0.26963 HTTP/1.0\r\n"
           "Content-Type: application/x-www-form-urlencoded; charset=UTF-8\r\n"
           "Accept: application/json, text/javascript, */*; q=0.01\r\nAccept-Encoding: gzip, deflate\r\n"
           "Accept-Language: zh-CN,zh;q=0.9\r\nContent-length: 0\r\n\r\n";
}

// Connection i: its request read, reply i sent ('\v': 300 ms pause), closed; the requests.
std::vector<std::string> serve(int fd, const std::vector<std::string>& replies)
{
    std::vector<std::string> requests;
    for (int c, one = 1; requests.size() < replies.size() && (c = accept(fd, nullptr, nullptr)) >= 0; close(c)) {
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string& req = requests.emplace_back();
        char b[1024];
        for (ssize_t n = 1; n > 0 && req.find("\r\n\r\n") == std::string::npos;)
            if ((n = recv(c, b, sizeof b, 0)) > 0) req.append(b, static_cast<std::size_t>(n));
        const std::string& reply = replies[requests.size() - 1];
        for (std::size_t at = 0, end = 0; end < reply.size(); at = end + 1) {
            if (at > 0) usleep(300000);
            end = std::min(reply.find('\v', at), reply.size());
            send(c, reply.data() + at, end - at, MSG_NOSIGNAL);
        }
    }
    return requests;
}

using Registration = ConfFixture;

// The id from the reply, or why none: chunks before the end of the headers dropped, then whole
// chunks (up to 2048) kept below 4000 in all. The dialog: a failure saves nothing; it asks even
// with a saved id, cuts the entry to its host, saves, and sends to 9015.
TEST_F(Registration, DeviceIdAndConfirm)
{
    const std::string headers = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    const std::string noDid = "get nic 0015A5010203 did error ";
    std::string big = headers + std::string(5000 - headers.size(), 'x');  // read as 2048 + 2048 + 904
    std::string exact = headers + std::string(4000 - headers.size(), 'y');
    struct Case { std::string reply, err; int rc, did; } const cases[] = {
        {headers + "ok:did:42", "", 0, 42},  // with the selected card's address
        {headers + ":did:  17x:did:5", "", 0, 17}, {headers + ":did:abc", "", 0, 0},
        {headers + "denied", noDid + headers + "denied", -1, 5},
        {"HTTP/1.0 200 OK\r\nX-Early: 1\r\n\vServer: c\r\n\r\nbody\vmore", noDid + "Server: c\r\n\r\nbodymore", -1, 5},
        {big, noDid + big.substr(0, 2048) + big.substr(4096), -1, 5}, {exact, noDid + exact.substr(0, 2048), -1, 5},
        {"HTTP/1.0 200 OK\r\n", "Server response is empty", -1, 5}, {"", "Server response is empty", -1, 5},
    };
    std::vector<std::string> replies;
    for (const Case& c : cases) replies.push_back(c.reply);
    replies.insert(replies.end(), {"", headers + ":did:42"});  // for the dialog
    const int fd = listenOn(80);
    if (fd < 0) GTEST_SKIP() << "cannot listen on 127.0.0.3:80 (needs root)";
    auto center = std::async(std::launch::async, serve, fd, replies);
    ReadOnlyGlobalT& g = readOnlyGlobal;
    set(g.findMac, "0015A5010203"), set(g.hostname, "probe-7"), set(g.hostuser, "ops");
    std::memset(g.cardInfo, 0, sizeof g.cardInfo), set(g.cardInfo[1].address, "10.1.2.3");
    g.isKestrel = 1;
    char err[4096], response[4000];
    for (const Case& c : cases) {
        g.did = 5, err[0] = '\0';
        g.cntCard = &c == cases ? 2 : 0, globalValue.selectRow = g.cntCard - 1;
        const int rc = chkKestrelNicDid("127.0.0.3", err);
        EXPECT_EQ(std::tuple(rc, static_cast<int>(g.did), std::string(err)), std::tuple(c.rc, c.did, c.err)) << c.reply;
    }
    auto failed = [&](int rc) { return std::to_string(rc) + " " + err; };
    EXPECT_EQ(failed(chkKestrelNicDid("bad..name", err)), "-1 Get domain address error");
    EXPECT_EQ(failed(doPost("127.0.0.3", 1, "/", "", response, err)), "-1 Can not connect server");  // none on 1

    set(g.exportStrRemotePath, "10.9.9.9:514"), set(g.kestrelStrRemotePath, "http://bad..name/x");
    auto confirm = [&](bool win) {
        const int rc = kestrelConfirm(win);
        return std::to_string(rc) + "|" + globalValue.confErrorMsg + "|" + g.exportStrRemotePath;
    };
    EXPECT_EQ(confirm(true), "-2|Parse Tkestrel domain bad..name failed|10.9.9.9:514");
    set(g.kestrelStrRemotePath, "127.0.0.3"), g.did = 0;
    EXPECT_EQ(confirm(false), "-1|Server response is empty|127.0.0.3:9015");
    EXPECT_EQ(std::pair(int(g.did), readAll(conf)), std::pair(0, std::string()));
    set(g.kestrelStrRemotePath, "http://127.0.0.3/console/index.html"), g.did = 7;
    EXPECT_EQ(kestrelConfirm(true), 0) << globalValue.confErrorMsg;
    EXPECT_EQ(std::tuple(std::string(g.kestrelStrRemotePath), int(g.did), ntohs(reinterpret_cast<sockaddr_in&>(g.expAddress).sin_port), int(g.isExp)),
              std::tuple("127.0.0.3", 42, 9015, 1));
    EXPECT_NE(readAll(conf).find("\nkestrel=127.0.0.3\nkestrelDid=42\n"), std::string::npos) << readAll(conf);

    shutdown(fd, SHUT_RDWR);  // ends the accept of a request that never came
    std::vector<std::string> want(replies.size(), request(""));
    want[0] = request("10.1.2.3");
    EXPECT_EQ(center.get(), want);
    close(fd), g.cntCard = 0;
}

}  // namespace
