// The checks of the JSON export and packet dump settings, on real store
// folders: each refusal in its turn, and what an accepted setting changes.
#include "core/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/conf.h"
#include "core/main.h"
#include "core/util.h"
#include "support/conf_fixture.h"

namespace {

namespace fs = std::filesystem;
using SettingsTest = ConfFixture;

// The refusals in the order the checks run; none touches the accepted values
// or the saved file.
TEST_F(SettingsTest, Refusals)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    set(g.exportStrLocalPath, sub("json"));
    set(g.dumpStrLocalPath, sub("pkts"));
    g.maxLength = 1514;
    // A store file that cannot be made: its name is a link into nowhere.
    fs::create_directory(dir / "unmade");
    fs::create_symlink(dir / "nowhere" / "x", dir / "unmade" / "Wirelane-1-001.json");
    struct Case {
        bool dump;
        std::string path, space, remote, trun;
        const char* message;
        int maxLength = 1514;  // an accepted truncation applies before a later check refuses
        rlim_t diskBytes = RLIM_INFINITY;
    } const cases[] = {
        {false, "", " ", "", "", "Please enter the correct content."},
        {false, sub("other"), "", "", "", "Local space is empty!"},
        {false, "", "100", "10.0.0.5:9000", "", "Local path is empty!"},
        {false, sub("pkts"), "100", "", "", "JSON path cannot be the same as Dump path!"},
        {false, sub("other"), "150.5", "", "", "Local space is not a number!"},
        {false, sub("other"), "50", "", "", "Must be a multiple of 100M!"},
        {false, sub("missing"), "100", "", "", "Wrong directionary!"},
        {false, sub("unmade"), "100", "", "", "Write failure!"},
        {false, sub("other"), "100", "", "", "No space!", 1514, 1 << 20},
        {false, "", "", "10.0.0.5", "", "Remote port is must not NULL!"},
        {false, "", "", "10.0.0.5:65536", "", "Remote port is not a number!"},
        {false, "", "", "a b:9000", "", "Invalid address"},
        {true, "", "", "", "", "Please enter the correct content."},
        {true, sub("other"), "", "", "", "Local space is empty!"},
        {true, "", "100", "", "", "Local path is empty!"},
        {true, sub("json"), "100", "", "", "Dump path cannot be the same as JSON path!"},
        {true, "", "", "", "abc", "Truncate length is not a number!"},
        {true, "", "", "", "63", "Truncate length must be large than 64"},
        {true, sub("other"), "50", "", "200", "Must be a multiple of 100M!", 200},
        {true, sub("missing"), "100", "", "", "Wrong directionary!", 200},
        {true, "", "", "a b", "", "Invalid domain or address", 200},
    };
    for (const Case& c : cases) {
        set(c.dump ? g.tryDumpStrLocalPath : g.tryExportStrLocalPath, c.path);
        set(c.dump ? g.tryDumpStrLocalSpace : g.tryExportStrLocalSpace, c.space);
        set(c.dump ? g.tryDumpStrRemotePath : g.tryExportStrRemotePath, c.remote);
        set(g.tryDumpStrTrunLen, c.trun);
        EXPECT_EQ(onFullDisk(c.diskBytes, [&] { return c.dump ? dumpAdd(false) : exportAdd(false); }), -1)
            << c.message;
        EXPECT_STREQ(globalValue.confErrorMsg, c.message);
        EXPECT_EQ(g.maxLength, c.maxLength) << c.message;
        EXPECT_EQ(std::string(g.exportStrLocalPath) + g.dumpStrLocalPath, sub("json") + sub("pkts")) << c.message;
        EXPECT_EQ(g.exportStrRemotePath[0] | g.dumpStrRemotePath[0], 0) << c.message;
        EXPECT_FALSE(fs::exists(conf)) << c.message;
    }
}

TEST_F(SettingsTest, AcceptedSettingsApplyAndSave)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    set(g.tryExportStrRemotePath, " 127.0.0.2:9000 ");  // only the collector
    ASSERT_EQ(exportAdd(false), 0);
    EXPECT_EQ(g.expPort, 9000);
    EXPECT_EQ(g.isExp, 1);
    EXPECT_NE(readAll(conf).find("exportRemote=127.0.0.2:9000\nexportSpace=\n"), std::string::npos);

    // 120 MB take 12 files of 10 MB; a bad collector then keeps the new
    // store but saves nothing.
    fs::remove(conf);
    set(g.tryExportStrLocalPath, sub("json"));
    set(g.tryExportStrLocalSpace, "120");
    set(g.tryExportStrRemotePath, "127.0.0.2");
    EXPECT_EQ(exportAdd(false), -1);
    EXPECT_STREQ(g.exportStrLocalPath, sub("json").c_str());
    EXPECT_STREQ(g.exportStrRemotePath, "127.0.0.2:9000");
    EXPECT_TRUE(fs::exists(dir / "json" / "Wirelane-1-012.json"));
    EXPECT_FALSE(fs::exists(dir / "json" / "Wirelane-1-013.json"));
    EXPECT_FALSE(fs::exists(conf));

    set(g.tryDumpStrLocalPath, sub("pkts"));
    set(g.tryDumpStrLocalSpace, "100");
    set(g.tryDumpStrRemotePath, "127.0.0.2");
    set(g.tryDumpStrTrunLen, "64");
    ASSERT_EQ(dumpAdd(false), 0);
    EXPECT_EQ(g.maxLength, 64);
    EXPECT_TRUE(fs::exists(dir / "pkts" / "Wirelane-1-002.pcap"));
    EXPECT_EQ(g.expPktPort, 4789);
    EXPECT_EQ(g.isPktExp, 1);
    EXPECT_NE(readAll(conf).find("dumpPath=" + sub("pkts") + "\ndumpRemote=127.0.0.2\ndumpSpace=100\ndumpTrun=64\n"),
              std::string::npos);
}

// A message goes to the window's handler when a window asked and there is
// one, else to the log; either way it is kept, cut to its field.
TEST_F(SettingsTest, MessagesGoToTheWindowOrTheLog)
{
    static std::string shown;
    FILE* log = std::fopen((dir / "log").c_str(), "w");
    setLogConsole(log);
    setAlertHandler([](const char* text) { shown = text; });
    alertMessage("No space!", false);
    alertMessage("Wrong directionary!", true);
    EXPECT_STREQ(globalValue.confErrorMsg, "Wrong directionary!");
    setAlertHandler(nullptr);
    alertMessage("Write failure!", true);
    setLogConsole(nullptr);
    std::fclose(log);
    EXPECT_EQ(shown, "Wrong directionary!");
    const std::string logged = readAll(dir / "log");
    EXPECT_NE(logged.find(" WARNING: No space!\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find(" WARNING: Write failure!\n"), std::string::npos) << logged;
    EXPECT_EQ(logged.find("Wrong directionary!"), std::string::npos) << logged;
    alertMessage(std::string(3000, 'x').c_str(), false);
    EXPECT_EQ(std::strlen(globalValue.confErrorMsg), sizeof globalValue.confErrorMsg - 1);
}

}  // namespace
