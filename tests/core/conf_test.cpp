// The configuration file: how its lines are read, what the rewrite holds, and
// that a failed rewrite never costs the file in place.
#include "core/conf.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/main.h"
#include "core/util.h"
#include "support/tables.h"

namespace {

namespace fs = std::filesystem;

constexpr u32 ip(u32 a, u32 b, u32 c, u32 d) { return (a << 24) | (b << 16) | (c << 8) | d; }

std::string readAll(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeAll(const fs::path& file, const std::string& text)
{
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// The default column flags as a columnShow value, with some flags changed.
std::string columns(std::initializer_list<std::pair<int, int>> changed = {})
{
    int flags[NUM_NETLIST_FIELD] = {1, 1, 1, 0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 1, 1};
    for (auto [i, v] : changed) flags[i] = v;
    std::string s;
    for (int f : flags) s += std::to_string(f) + "|";
    s.pop_back();
    return s;
}

// A temporary folder holding the configuration file, the settings back to
// nothing, and the log lines kept in a file of their own.
class ConfTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/wl-conf-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        conf = dir / "Wirelane.conf";
        std::snprintf(confFilePath, sizeof confFilePath, "%s", conf.c_str());
        resetSettings();
        flags[0] = readOnlyGlobal.enableJson;
        flags[1] = readOnlyGlobal.enablePkts;
        maxLength = readOnlyGlobal.maxLength;
        // In memory: a file size limit set by a test must not stop the log.
        savedLog = readOnlyGlobal.logfp;
        readOnlyGlobal.logfp = nullptr;
        console = open_memstream(&logText, &logSize);
        setLogConsole(console);
    }
    void TearDown() override
    {
        setLogConsole(nullptr);
        std::fclose(console);
        std::free(logText);
        readOnlyGlobal.logfp = savedLog;
        readOnlyGlobal.enableJson = flags[0];
        readOnlyGlobal.enablePkts = flags[1];
        readOnlyGlobal.maxLength = maxLength;
        readOnlyGlobal.isExp = 0;
        readOnlyGlobal.isPktExp = 0;
        resetSettings();
        fs::remove_all(dir);
        confFilePath[0] = '\0';
    }
    static void resetSettings()
    {
        testtables::clearEndpoints();
        ReadOnlyGlobalT& g = readOnlyGlobal;
        for (char* text : {g.findMac, g.exportStrLocalPath, g.exportStrRemotePath, g.exportStrLocalSpace,
                           g.tryExportStrLocalPath, g.tryExportStrRemotePath, g.tryExportStrLocalSpace,
                           g.dumpStrLocalPath, g.dumpStrRemotePath, g.dumpStrLocalSpace, g.dumpStrTrunLen,
                           g.tryDumpStrLocalPath, g.tryDumpStrRemotePath, g.tryDumpStrLocalSpace,
                           g.tryDumpStrTrunLen, g.kestrelStrRemotePath}) {
            text[0] = '\0';
        }
        g.did = 0;
        g.checkHttp = 0;
        g.jsonFileInd = 0;
        g.pktsFileInd = 0;
        globalValue.selectRow = 0;
    }
    std::string log()
    {
        std::fflush(console);
        return std::string(logText, logSize);
    }
    // Loads text as the configuration file; the rewrite that follows.
    std::string load(const std::string& text)
    {
        writeAll(conf, text);
        EXPECT_EQ(loadConf(), 0);
        return readAll(conf);
    }

    fs::path dir, conf;
    FILE* savedLog = nullptr;
    FILE* console = nullptr;
    char* logText = nullptr;
    std::size_t logSize = 0;
    int flags[2] = {0, 0};
    int maxLength = 0;
};

TEST_F(ConfTest, EachLineIsReadByItsOwnKey)
{
    const ReadOnlyGlobalT& g = readOnlyGlobal;
    std::string longValue(300, 'a');
    std::string zeros = "0";
    for (int i = 1; i < 45; ++i) zeros += "|0";
    struct Case {
        const char* name;
        std::string text;
        std::function<void()> check;
    };
    const Case cases[] = {
        {"a key inside a value", "dumpPath=/data/endpoint\nexportRemote=/x/dumpPath=y\n",
         [&] {
             EXPECT_STREQ(g.tryDumpStrLocalPath, "/data/endpoint");
             EXPECT_STREQ(g.tryExportStrRemotePath, "/x/dumpPath=y");
             EXPECT_EQ(g.cntHost, 0);
         }},
        {"leading blanks", "  \texportRemote=10.0.0.5:9000\n", [&] {
             EXPECT_STREQ(g.tryExportStrRemotePath, "10.0.0.5:9000");
         }},
        {"kestrelDid is not kestrel", "kestrelDid=7\n",
         [&] {
             EXPECT_EQ(g.did, 7);
             EXPECT_STREQ(g.kestrelStrRemotePath, "");
         }},
        {"keys are whole and case-sensitive", "kestrelDidX=5\nCheckHttp=1\ndumpRemote\ncheckHttp =1\n",
         [&] {
             EXPECT_EQ(g.did, 0);
             EXPECT_EQ(g.checkHttp, 0);
             EXPECT_STREQ(g.tryDumpStrRemotePath, "");
         }},
        {"numbers", "checkHttp=abc\nexportInd=12\ndumpInd=-3\nkestrelDid=99999999999\n",
         [&] {
             EXPECT_EQ(g.checkHttp, 0);
             EXPECT_EQ(g.jsonFileInd, 12);
             EXPECT_EQ(g.pktsFileInd, 0);
             EXPECT_EQ(g.did, 2147483647);
         }},
        {"last line without newline", "dumpSpace=300\r\ndumpRemote=10.1.1.1", [&] {
             EXPECT_STREQ(g.tryDumpStrLocalSpace, "300");
             EXPECT_STREQ(g.tryDumpStrRemotePath, "10.1.1.1");
         }},
        // 255 characters a piece: the rest of the line is a piece of its own.
        {"overlong line", "dumpRemote=" + longValue + "=\ndumpTrun=128\n", [&] {
             EXPECT_EQ(std::string(g.tryDumpStrRemotePath), std::string(255 - 11, 'a'));
             EXPECT_STREQ(g.tryDumpStrTrunLen, "128");
         }},
        {"columnShow partial", "columnShow=0|1||0\n",
         [&] {
             EXPECT_EQ(g.columnShow[0], 0);
             EXPECT_EQ(g.columnShow[1], 1);
             EXPECT_EQ(g.columnShow[2], 1);  // empty: left at its default
             EXPECT_EQ(g.columnShow[3], 0);
             EXPECT_EQ(g.columnShow[4], 1);
             EXPECT_EQ(g.columnShow[37], 0);
         }},
        // The field after the flags must not be overwritten.
        {"columnShow overlong", "exportPath=keep\ncolumnShow=" + zeros + "\n",
         [&] {
             for (int i = 0; i < NUM_NETLIST_FIELD; ++i) EXPECT_EQ(g.columnShow[i], 0) << i;
             EXPECT_STREQ(g.tryExportStrLocalPath, "keep");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSettings();
        writeAll(conf, c.text);
        ASSERT_EQ(loadConf(), 0);
        c.check();
    }
}

TEST_F(ConfTest, EndpointLines)
{
    std::string written = load(
        "endpoint=192.168.1.0/24|3|40213377\n"
        "endpoint=10.0.0.1|1\n"
        "endpoint=10.0.0.2\n"
        "endpoint=10.0.0.3|7|1\n"
        "endpoint=10.0.0.4||1\n"
        "endpoint=300.0.0.1|1|1\n"
        "endpoint=192.168.1.0/24|3|40213377\n"
        "endpoint=10.0.0.5:8080|3|\n");

    ASSERT_EQ(readOnlyGlobal.cntHost, 3);
    HostInfoT h[3];
    for (int i = 0; i < 3; ++i) getHostEntry(i, &h[i]);
    // The table is sorted by address.
    EXPECT_STREQ(h[0].addrStr, "10.0.0.1");
    EXPECT_EQ(h[0].netType, 6);
    EXPECT_TRUE(std::regex_match(h[0].busiId, std::regex("[0-9]{8}"))) << h[0].busiId;
    EXPECT_STREQ(h[1].addrStr, "10.0.0.5:8080");
    EXPECT_EQ(h[1].port, 8080);
    EXPECT_EQ(h[1].appType, 1);
    EXPECT_TRUE(std::regex_match(h[1].busiId, std::regex("[0-9]{8}"))) << h[1].busiId;
    EXPECT_STREQ(h[2].addrStr, "192.168.1.0/24");
    EXPECT_EQ(h[2].addressLow, ip(192, 168, 1, 0));
    EXPECT_EQ(h[2].port, 80);
    EXPECT_STREQ(h[2].busiId, "40213377");

    std::string l = log();
    for (const char* refused : {"10.0.0.3|7|1", "10.0.0.4||1", "300.0.0.1|1|1"}) {
        EXPECT_NE(l.find(std::string("WARNING: Invalid IP address or PORT ") + refused + "\n"), std::string::npos)
            << refused;
    }
    EXPECT_NE(l.find("WARNING: Host Already exists or Maximum exceeded 192.168.1.0/24|3|40213377\n"),
              std::string::npos);
    EXPECT_EQ(l.find("10.0.0.2"), std::string::npos);  // no "|": ignored without a word

    // The rewrite keeps the accepted ones only, each with its identifier.
    EXPECT_NE(written.find("endpoint=10.0.0.1|1|" + std::string(h[0].busiId) + "\n" + "endpoint=10.0.0.5:8080|3|" +
                           h[1].busiId + "\nendpoint=192.168.1.0/24|3|40213377\nexportPath="),
              std::string::npos)
        << written;
}

// A hand-edited file comes back in the writer's order and form; read again,
// it gives the same settings and the same file.
TEST_F(ConfTest, RewriteRoundTrip)
{
    std::string json = (dir / "json").string(), pkts = (dir / "pkts").string();
    fs::create_directories(json);
    fs::create_directories(pkts);
    std::string edited = "columnShow=0|1|1|0|1|1|0|1|0|0|1|1|1|1|1|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|1\n"
                         "unknown=1\n"
                         "dumpTrun=128\n"
                         " checkHttp=1\r\n"
                         "dumpPath=" + pkts + "\n"
                         "dumpSpace=100\n"
                         "dumpRemote=127.0.0.2\n"
                         "dumpInd=1\n"
                         "exportRemote=127.0.0.2:9000\n"
                         "endpoint=192.168.1.0/24|3|40213377\n"
                         "exportSpace=100\n"
                         "exportInd=3\n"
                         "kestrelDid=9\n"
                         "cardMac=AABBCCDDEEFF\n"
                         "exportPath=" + json;
    std::string want = "cardMac=AABBCCDDEEFF\n"
                       "endpoint=192.168.1.0/24|3|40213377\n"
                       "exportPath=" + json + "\n"
                       "exportRemote=127.0.0.2:9000\n"
                       "exportSpace=100\n"
                       "exportInd=3\n"
                       "dumpPath=" + pkts + "\n"
                       "dumpRemote=127.0.0.2\n"
                       "dumpSpace=100\n"
                       "dumpTrun=128\n"
                       "dumpInd=1\n"
                       "kestrel=\n"
                       "kestrelDid=9\n"
                       "checkHttp=1\n"
                       "columnShow=" + columns({{0, 0}, {37, 1}}) + "\n";
    EXPECT_EQ(load(edited), want);
    EXPECT_EQ(readOnlyGlobal.enableJson, 1);
    EXPECT_EQ(readOnlyGlobal.isExp, 1);
    EXPECT_EQ(readOnlyGlobal.expPort, 9000);
    EXPECT_EQ(readOnlyGlobal.maxLength, 128);
    EXPECT_EQ(readOnlyGlobal.expPktNumIP, ip(127, 0, 0, 2));

    resetSettings();
    EXPECT_EQ(load(want), want);
    EXPECT_EQ(readOnlyGlobal.columnShow[37], 1);
    EXPECT_EQ(readOnlyGlobal.cntHost, 1);
}

// The store values go through their validators only with a local path: a
// collector alone is not taken up, and it comes back empty.
TEST_F(ConfTest, CollectorWithoutLocalStoreIsDropped)
{
    std::string written = load("exportRemote=127.0.0.2:9000\n");
    EXPECT_EQ(readOnlyGlobal.isExp, 0);
    EXPECT_STREQ(readOnlyGlobal.exportStrRemotePath, "");
    EXPECT_NE(written.find("\nexportRemote=\n"), std::string::npos) << written;
    EXPECT_EQ(log().find("WARNING"), std::string::npos) << log();
}

TEST_F(ConfTest, StartUpWithACenterAndASavedDeviceId)
{
    // A saved device id is reused: no request goes out, and records go to
    // the center's port 9015.
    std::string written = load("kestrel=127.0.0.3\nkestrelDid=7\n");
    EXPECT_NE(log().find("MESSAGE: Read did 7 from conf file\n"), std::string::npos) << log();
    EXPECT_STREQ(readOnlyGlobal.exportStrRemotePath, "127.0.0.3:9015");
    EXPECT_NE(written.find("exportRemote=127.0.0.3:9015\n"), std::string::npos);
    EXPECT_NE(written.find("kestrel=127.0.0.3\nkestrelDid=7\n"), std::string::npos);
}

TEST_F(ConfTest, NoFileMeansDefaultsAndNoFile)
{
    EXPECT_EQ(loadConf(), -1);
    EXPECT_NE(log().find("WARNING: open conf file failed\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(conf));
    for (int i = 0; i < NUM_NETLIST_FIELD; ++i) EXPECT_EQ(readOnlyGlobal.columnShow[i], columns()[2 * i] - '0') << i;
}

// Whatever stops the rewrite half-way, the file in place stays as it was and
// no temporary file is left behind.
TEST_F(ConfTest, FailedRewriteLeavesTheOldFile)
{
    const std::string old = "exportInd=5\n";
    fs::path tmp = conf.string() + ".tmp";
    struct Case {
        const char* name;
        std::function<void()> before, after;
        bool rootWritesAnyway = false;
    };
    rlimit savedLimit;
    getrlimit(RLIMIT_FSIZE, &savedLimit);
    void (*savedHandler)(int) = SIG_DFL;
    const Case cases[] = {
        {"temporary name taken by a folder", [&] { fs::create_directory(tmp); }, [&] { fs::remove(tmp); }},
        {"disk full while writing",
         [&] {
             savedHandler = std::signal(SIGXFSZ, SIG_IGN);
             rlimit small = {100, savedLimit.rlim_max};
             setrlimit(RLIMIT_FSIZE, &small);
         },
         [&] {
             setrlimit(RLIMIT_FSIZE, &savedLimit);
             std::signal(SIGXFSZ, savedHandler);
         }},
        {"folder not writable", [&] { fs::permissions(dir, fs::perms::owner_write, fs::perm_options::remove); },
         [&] { fs::permissions(dir, fs::perms::owner_write, fs::perm_options::add); }, true},
    };
    readOnlyGlobal.jsonFileInd = 6;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.rootWritesAnyway && geteuid() == 0) continue;
        writeAll(conf, old);
        std::size_t logged = log().size();
        c.before();
        int rc = refreshConf();
        c.after();
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(readAll(conf), old);
        EXPECT_FALSE(fs::exists(tmp));
        EXPECT_NE(log().substr(logged).find("WARNING: open conf file failed\n"), std::string::npos);
    }

    // Afterwards it is written as usual, with the old file's permissions.
    fs::permissions(conf, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(refreshConf(), 0);
    EXPECT_NE(readAll(conf).find("exportInd=6\n"), std::string::npos);
    EXPECT_EQ(fs::status(conf).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(fs::exists(tmp));
}

// The stores save on their own threads while the dialogs save on theirs:
// every file that can be seen is whole.
TEST_F(ConfTest, ConcurrentRewritesLeaveAWholeFile)
{
    std::atomic<bool> done {false};
    std::vector<std::string> torn;
    std::thread reader([&] {
        while (!done) {
            std::string text = readAll(conf);
            if (!text.empty() && text.find("\ncolumnShow=") == std::string::npos) torn.push_back(text);
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                if (t == 0) readOnlyGlobal.jsonFileInd = i;
                EXPECT_EQ(refreshConf(), 0);
            }
        });
    }
    for (std::thread& w : writers) w.join();
    done = true;
    reader.join();
    EXPECT_TRUE(torn.empty()) << torn.size() << " torn, e.g. " << torn.front();
    EXPECT_NE(readAll(conf).find("exportInd=49\n"), std::string::npos);
}

}  // namespace
