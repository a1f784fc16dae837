// The configuration file: how its lines are read, what the rewrite holds, and
// that a failed rewrite never costs the file in place.
#include "core/conf.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/main.h"
#include "core/util.h"
#include "support/tables.h"

namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeAll(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

// A temporary folder holding the configuration file, the settings back to
// nothing.
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
        saved = {readOnlyGlobal.enableJson, readOnlyGlobal.enablePkts, readOnlyGlobal.maxLength};
    }
    void TearDown() override
    {
        readOnlyGlobal.enableJson = saved[0];
        readOnlyGlobal.enablePkts = saved[1];
        readOnlyGlobal.maxLength = saved[2];
        readOnlyGlobal.isExp = readOnlyGlobal.isPktExp = 0;
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
        g.did = g.checkHttp = g.jsonFileInd = g.pktsFileInd = 0;
        globalValue.selectRow = 0;
    }
    // Loads text as the configuration file; the rewrite that follows.
    std::string load(const std::string& text)
    {
        writeAll(conf, text);
        EXPECT_EQ(loadConf(), 0);
        return readAll(conf);
    }

    fs::path dir, conf;
    std::array<int, 3> saved {};
};

TEST_F(ConfTest, EachLineIsReadByItsOwnKey)
{
    const ReadOnlyGlobalT& g = readOnlyGlobal;
    std::string zeros = "0";
    for (int i = 1; i < 45; ++i) zeros += "|0";
    const std::pair<std::string, std::function<void()>> cases[] = {
        {"dumpPath=/data/endpoint\nexportRemote=/x/dumpPath=y\n",
         [&] {
             EXPECT_STREQ(g.tryDumpStrLocalPath, "/data/endpoint");
             EXPECT_STREQ(g.tryExportStrRemotePath, "/x/dumpPath=y");
             EXPECT_EQ(g.cntHost, 0);
         }},
        {"  \texportRemote=10.0.0.5:9000\n", [&] { EXPECT_STREQ(g.tryExportStrRemotePath, "10.0.0.5:9000"); }},
        {"kestrelDid=7\nkestrelDidX=5\nCheckHttp=1\n",
         [&] {
             EXPECT_EQ(g.did, 7);
             EXPECT_STREQ(g.kestrelStrRemotePath, "");
             EXPECT_EQ(g.checkHttp, 0);
         }},
        {"checkHttp=abc\nexportInd=12\n", [&] { EXPECT_EQ(g.checkHttp, 0); EXPECT_EQ(g.jsonFileInd, 12); }},
        {"dumpSpace=300\r\ndumpRemote=10.1.1.1",
         [&] {
             EXPECT_STREQ(g.tryDumpStrLocalSpace, "300");
             EXPECT_STREQ(g.tryDumpStrRemotePath, "10.1.1.1");
         }},
        {"columnShow=0|1||0\n",
         [&] {
             // An empty field keeps its default; the rest keep theirs.
             for (int i : {0, 1, 2, 3, 4, 37}) EXPECT_EQ(g.columnShow[i], i != 0 && i != 3 && i != 37) << i;
         }},
        // The field after the flags must not be overwritten.
        {"exportPath=keep\ncolumnShow=" + zeros + "\n",
         [&] {
             for (int i = 0; i < NUM_NETLIST_FIELD; ++i) EXPECT_EQ(g.columnShow[i], 0) << i;
             EXPECT_STREQ(g.tryExportStrLocalPath, "keep");
         }},
    };
    for (const auto& [text, check] : cases) {
        SCOPED_TRACE(text);
        resetSettings();
        writeAll(conf, text);
        ASSERT_EQ(loadConf(), 0);
        check();
    }
}

TEST_F(ConfTest, EndpointLines)
{
    std::string written = load(
        "endpoint=192.168.1.0/24|3|40213377\n"
        "endpoint=10.0.0.1|1\n"
        "endpoint=10.0.0.2\n"
        "endpoint=10.0.0.3|7|1\n"
        "endpoint=192.168.1.0/24|3|40213377\n");
    ASSERT_EQ(readOnlyGlobal.cntHost, 2) << "no '|', a bad type and a repeat are left out";
    HostInfoT h[2];
    for (int i = 0; i < 2; ++i) getHostEntry(i, &h[i]);
    EXPECT_STREQ(h[0].addrStr, "10.0.0.1");  // sorted by address
    EXPECT_EQ(std::string(h[0].busiId).size(), 8u) << "an identifier is made up";
    EXPECT_STREQ(h[1].busiId, "40213377");
    EXPECT_NE(written.find("endpoint=10.0.0.1|1|" + std::string(h[0].busiId) +
                           "\nendpoint=192.168.1.0/24|3|40213377\nexportPath="),
              std::string::npos)
        << written;
}

// A hand-edited file comes back in the writer's order and form; read again,
// it gives the same file.
TEST_F(ConfTest, RewriteRoundTrip)
{
    std::string json = (dir / "json").string(), pkts = (dir / "pkts").string();
    fs::create_directories(json);
    fs::create_directories(pkts);
    std::string cols = "0|1|1|0|1|1|0|1|0|0|1|1|1|1|1|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|1";
    std::string want = "cardMac=AABBCCDDEEFF\nendpoint=192.168.1.0/24|3|40213377\nexportPath=" + json +
                       "\nexportRemote=127.0.0.2:9000\nexportSpace=100\nexportInd=3\ndumpPath=" + pkts +
                       "\ndumpRemote=127.0.0.2\ndumpSpace=100\ndumpTrun=128\ndumpInd=1\nkestrel=\nkestrelDid=9\n"
                       "checkHttp=1\ncolumnShow=" + cols + "\n";
    std::string edited = "columnShow=" + cols + "\nunknown=1\ndumpTrun=128\n checkHttp=1\r\ndumpPath=" + pkts +
                         "\ndumpSpace=100\ndumpRemote=127.0.0.2\ndumpInd=1\nexportRemote=127.0.0.2:9000\n"
                         "endpoint=192.168.1.0/24|3|40213377\nexportSpace=100\nexportInd=3\nkestrelDid=9\n"
                         "cardMac=AABBCCDDEEFF\nexportPath=" + json;
    EXPECT_EQ(load(edited), want);
    EXPECT_EQ(readOnlyGlobal.expPort, 9000);
    EXPECT_EQ(readOnlyGlobal.maxLength, 128);
    resetSettings();
    EXPECT_EQ(load(want), want);

    // A collector without a local store is not taken up, and comes back empty.
    resetSettings();
    EXPECT_NE(load("exportRemote=127.0.0.2:9000\n").find("\nexportRemote=\n"), std::string::npos);
}

// Whatever stops the rewrite half-way, the file in place stays as it was and
// no temporary file is left behind.
TEST_F(ConfTest, FailedRewriteLeavesTheOldFile)
{
    const std::string old = "exportInd=5\n";
    fs::path tmp = conf.string() + ".tmp";
    rlimit savedLimit;
    getrlimit(RLIMIT_FSIZE, &savedLimit);
    void (*savedHandler)(int) = SIG_DFL;
    const std::pair<std::function<void()>, std::function<void()>> cases[] = {
        {[&] { fs::create_directory(tmp); }, [&] { fs::remove(tmp); }},
        {[&] {
             savedHandler = std::signal(SIGXFSZ, SIG_IGN);
             rlimit small = {100, savedLimit.rlim_max};
             setrlimit(RLIMIT_FSIZE, &small);
         },
         [&] {
             setrlimit(RLIMIT_FSIZE, &savedLimit);
             std::signal(SIGXFSZ, savedHandler);
         }},
    };
    readOnlyGlobal.jsonFileInd = 6;
    for (const auto& [before, after] : cases) {
        writeAll(conf, old);
        before();
        int rc = refreshConf();
        after();
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(readAll(conf), old);
        EXPECT_FALSE(fs::exists(tmp));
    }
    // Afterwards it is written as usual, with the old file's permissions.
    fs::permissions(conf, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(refreshConf(), 0);
    EXPECT_NE(readAll(conf).find("exportInd=6\n"), std::string::npos);
    EXPECT_EQ(fs::status(conf).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

// The stores save on their own threads while the dialogs save on theirs:
// every file that can be seen is whole.
TEST_F(ConfTest, ConcurrentRewritesLeaveAWholeFile)
{
    std::atomic<bool> done {false};
    int torn = 0;
    std::thread reader([&] {
        while (!done) {
            std::string text = readAll(conf);
            torn += !text.empty() && text.find("\ncolumnShow=") == std::string::npos;
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
    EXPECT_EQ(torn, 0);
    EXPECT_NE(readAll(conf).find("exportInd=49\n"), std::string::npos);
}

}  // namespace
