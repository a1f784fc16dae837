// Reading the configuration file, its rewrite, and failed rewrites (refused values: probe_cli.sh).
#include "core/conf.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/conf_fixture.h"

namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;
// Columns 0 and 3 hidden, the others as by default; the last flag follows.
const std::string columns = "0|1|1|0|1|1|0|1|0|0|1|1|1|1|1|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|";

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

// Keys inside values, blanks before keys, case, bad and negative numbers, CRLF and a cut last line.
TEST_F(ConfTest, EachLineIsReadByItsOwnKey)
{
    const ReadOnlyGlobalT& g = readOnlyGlobal;
    auto tried = [&] {
        std::string s;
        for (const char* text : {g.tryExportStrLocalPath, g.tryExportStrRemotePath, g.tryDumpStrLocalPath,
                                 g.tryDumpStrRemotePath, g.tryDumpStrLocalSpace, g.kestrelStrRemotePath})
            s += std::string(text) + ",";
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
        EXPECT_EQ(tried() + "," + std::to_string(g.cntHost), want + ",0") << text;
    }
}

// Empty and surplus column flags, and bad, repeated or id-less endpoint lines, in the table's order.
TEST_F(ConfTest, ColumnFlagsAndEndpointLines)
{
    std::string ones = "1";
    for (int i = 1; i < 45; ++i) ones += "|1";
    std::string written = load("columnShow=" + ones + "\n");
    EXPECT_NE(written.find("exportPath=\n"), npos) << written;
    EXPECT_NE(written.find("\ncolumnShow=" + ones.substr(0, 2 * NUM_NETLIST_FIELD - 1) + "\n"), npos) << written;
    written = load("columnShow=0|1||0\nendpoint=192.168.1.0/24|3|40213377\nendpoint=10.0.0.1|1\nendpoint=10.0.0.2\n"
                   "endpoint=10.0.0.3|7|1\nendpoint=192.168.1.0/24|3|40213377\n");
    EXPECT_EQ(std::tuple(int(readOnlyGlobal.cntHost), written.find("endpoint=10.0.0.1|1|"),
                         written.find("\nendpoint=192.168.1.0/24|3|40213377\nexportPath=")),
              std::tuple(2, std::size_t(0), std::size_t(28))) << written;
    EXPECT_NE(written.find("\ncolumnShow=" + columns + "0\n"), npos) << written;
}

// Any order and unknown keys come back in the writer's form, twice alike; dumpTrun alone is kept.
TEST_F(ConfTest, RewriteRoundTrip)
{
    const std::string want =
        "cardMac=AABBCCDDEEFF\nendpoint=192.168.1.0/24|3|40213377\nexportPath=" + sub("json") +
        "\nexportRemote=127.0.0.2:9000\nexportSpace=100\nexportInd=3\ndumpPath=" + sub("pkts") +
        "\ndumpRemote=127.0.0.2\ndumpSpace=100\ndumpTrun=128\ndumpInd=1\nkestrel=\nkestrelDid=9\ncheckHttp=1\n"
        "columnShow=" + columns + "1\n";
    std::string edited = "unknown=1\n", line;
    for (std::istringstream in(want); std::getline(in, line);) edited.insert(0, line + "\n");  // last line first
    EXPECT_EQ(load(edited), want);
    EXPECT_EQ(std::pair(int(readOnlyGlobal.expPort), int(readOnlyGlobal.maxLength)), std::pair(9000, 128));
    EXPECT_EQ(load(want), want);
    const std::string trunOnly = load("dumpTrun=200\n");
    EXPECT_NE(trunOnly.find("\ndumpTrun=200\n"), npos) << trunOnly;
    EXPECT_EQ(readOnlyGlobal.maxLength, 200);
}

// A rewrite stopped half-way keeps the old file and leaves no temporary file.
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
    EXPECT_EQ(readAll(conf) + std::to_string(fs::exists(tmp)), old + "0");

    // Afterwards it is written as usual, with the old file's permissions.
    fs::permissions(conf, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(refreshConf(), 0);
    EXPECT_NE(readAll(conf).find("exportInd=6\n"), npos);
    EXPECT_EQ(fs::status(conf).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

// Stores and dialogs saving on their own threads: every file seen is whole.
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
