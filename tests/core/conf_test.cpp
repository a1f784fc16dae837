// The configuration file: how its lines are read, what the rewrite holds, and
// that a failed rewrite never costs the file in place.
#include "core/conf.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/util.h"
#include "settings/startup.h"
#include "support/conf_fixture.h"

namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;

class ConfTest : public ConfFixture {
protected:
    // Loads text as the configuration file; the rewrite that follows.
    std::string load(const std::string& text)
    {
        resetSettings();
        std::ofstream(conf, std::ios::binary) << text;
        EXPECT_EQ(loadConf(), 0);
        return readAll(conf);
    }
};

TEST_F(ConfTest, EachLineIsReadByItsOwnKey)
{
    // The tried export and dump values, the center, its id, checkHttp and exportInd.
    const ReadOnlyGlobalT& g = readOnlyGlobal;
    auto tried = [&] {
        std::string s;
        for (const char* text : {g.tryExportStrLocalPath, g.tryExportStrRemotePath, g.tryDumpStrLocalPath,
                                 g.tryDumpStrRemotePath, g.tryDumpStrLocalSpace, g.kestrelStrRemotePath}) {
            s += std::string(text) + ",";
        }
        return s + std::to_string(g.did) + "," + std::to_string(g.checkHttp) + "," + std::to_string(g.jsonFileInd);
    };
    const std::pair<std::string, std::string> cases[] = {
        // A key inside a value claims nothing; the value keeps its "=".
        {"dumpPath=/data/endpoint\nexportRemote=/x/dumpPath=y\n", ",/x/dumpPath=y,/data/endpoint,,,,0,0,0"},
        {"  \texportRemote=10.0.0.5:9000\n", ",10.0.0.5:9000,,,,,0,0,0"},
        {"kestrelDid=7\nkestrelDidX=5\nCheckHttp=1\n", ",,,,,,7,0,0"},  // keys are whole and case-sensitive
        {"checkHttp=abc\nexportInd=12\n", ",,,,,,0,0,12"},
        {"checkHttp=1\nexportInd=-4\n", ",,,,,,0,1,0"},  // a negative file number would leave the ring
        {"dumpSpace=300\r\ndumpRemote=10.1.1.1", ",,,10.1.1.1,300,,0,0,0"},
    };
    for (const auto& [text, want] : cases) {
        load(text);
        EXPECT_EQ(tried(), want) << text;
        EXPECT_EQ(readOnlyGlobal.cntHost, 0) << text;
    }
}

// An empty flag keeps its default; flags beyond the last column are ignored
// and must not run into the setting after them.
TEST_F(ConfTest, ColumnFlags)
{
    std::string flags = "0|1|1|0|1|1|0|1|0|0|1|1|1|1|1|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0";
    std::string written = load("columnShow=0|1||0\n");
    EXPECT_NE(written.find("\ncolumnShow=" + flags + "\n"), npos) << written;
    std::string ones = "1";
    for (int i = 1; i < 45; ++i) ones += "|1";
    written = load("columnShow=" + ones + "\n");
    EXPECT_NE(written.find("exportPath=\n"), npos) << written;
    EXPECT_NE(written.find("\ncolumnShow=" + ones.substr(0, 2 * NUM_NETLIST_FIELD - 1) + "\n"), npos) << written;
}

// No '|', a bad type and a repeat are left out; a missing identifier is made
// up (8 characters). The rewrite holds the table's order and form.
TEST_F(ConfTest, EndpointLines)
{
    std::string written = load(
        "endpoint=192.168.1.0/24|3|40213377\nendpoint=10.0.0.1|1\nendpoint=10.0.0.2\n"
        "endpoint=10.0.0.3|7|1\nendpoint=192.168.1.0/24|3|40213377\n");
    EXPECT_EQ(readOnlyGlobal.cntHost, 2);
    EXPECT_EQ(written.find("endpoint=10.0.0.1|1|"), 0u) << written;
    EXPECT_EQ(written.find("\nendpoint=192.168.1.0/24|3|40213377\nexportPath="), 28u) << written;
}

// A hand-edited file comes back in the writer's order and form; read again,
// it gives the same file.
TEST_F(ConfTest, RewriteRoundTrip)
{
    std::string cols = "0|1|1|0|1|1|0|1|0|0|1|1|1|1|1|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|1";
    std::string want = "cardMac=AABBCCDDEEFF\nendpoint=192.168.1.0/24|3|40213377\nexportPath=" + sub("json") +
                       "\nexportRemote=127.0.0.2:9000\nexportSpace=100\nexportInd=3\ndumpPath=" + sub("pkts") +
                       "\ndumpRemote=127.0.0.2\ndumpSpace=100\ndumpTrun=128\ndumpInd=1\nkestrel=\nkestrelDid=9\n"
                       "checkHttp=1\ncolumnShow=" + cols + "\n";
    std::string edited = "columnShow=" + cols + "\nunknown=1\ndumpTrun=128\n checkHttp=1\r\ndumpPath=" + sub("pkts") +
                         "\ndumpSpace=100\ndumpRemote=127.0.0.2\ndumpInd=1\nexportRemote=127.0.0.2:9000\n"
                         "endpoint=192.168.1.0/24|3|40213377\nexportSpace=100\nexportInd=3\nkestrelDid=9\n"
                         "cardMac=AABBCCDDEEFF\nexportPath=" + sub("json");
    EXPECT_EQ(load(edited), want);
    EXPECT_EQ(readOnlyGlobal.expPort, 9000);
    EXPECT_EQ(readOnlyGlobal.maxLength, 128);
    EXPECT_EQ(load(want), want);
    // A collector or a truncation length without a local store is taken up
    // and kept.
    const std::string remoteOnly = load("exportRemote=127.0.0.2:9000\ndumpTrun=200\n");
    EXPECT_NE(remoteOnly.find("\nexportRemote=127.0.0.2:9000\n"), npos) << remoteOnly;
    EXPECT_NE(remoteOnly.find("\ndumpTrun=200\n"), npos) << remoteOnly;
    EXPECT_EQ(readOnlyGlobal.isExp, 1);
    EXPECT_EQ(readOnlyGlobal.maxLength, 200);
}

// Whatever stops the rewrite half-way, the file in place stays as it was and
// no temporary file is left behind.
TEST_F(ConfTest, FailedRewriteLeavesTheOldFile)
{
    const std::string old = "exportInd=5\n";
    fs::path tmp = conf.string() + ".tmp";
    std::ofstream(conf) << old;
    readOnlyGlobal.jsonFileInd = 6;
    fs::create_directory(tmp);  // in the way of the temporary file
    EXPECT_EQ(refreshConf(), -1);
    EXPECT_EQ(readAll(conf), old);
    fs::remove(tmp);
    EXPECT_EQ(onFullDisk(100, refreshConf), -1);
    EXPECT_EQ(readAll(conf), old);
    EXPECT_FALSE(fs::exists(tmp));

    // Afterwards it is written as usual, with the old file's permissions.
    fs::permissions(conf, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(refreshConf(), 0);
    EXPECT_NE(readAll(conf).find("exportInd=6\n"), npos);
    EXPECT_EQ(fs::status(conf).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

// The stores save on their own threads while the dialogs save on theirs:
// every file that can be seen is whole.
TEST_F(ConfTest, ConcurrentRewritesLeaveAWholeFile)
{
    std::atomic<bool> done {false};
    int torn = 0;
    std::thread reader([&] {
        for (std::string text; !done; text = readAll(conf)) torn += !text.empty() && text.find("\ncolumnShow=") == npos;
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
    EXPECT_NE(readAll(conf).find("exportInd=49\n"), npos);
}

}  // namespace
