// The checks of the JSON export and packet dump settings, on real store
// folders: each refusal in its turn, and what an accepted setting changes.
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/conf.h"
#include "core/util.h"
#include "settings/startup.h"
#include "support/conf_fixture.h"

namespace {

namespace fs = std::filesystem;
using SettingsTest = ConfFixture;

// The refusals in the order the checks run, as the dialogs offer them; none
// touches the accepted values or the saved file.
TEST_F(SettingsTest, Refusals)
{
    static std::string shown;
    setAlertHandler([](const char* text) { shown = text; });
    ReadOnlyGlobalT& g = readOnlyGlobal;
    set(g.exportStrLocalPath, sub("json"));
    set(g.dumpStrLocalPath, sub("pkts"));
    g.maxLength = 1514;
    // A store file that cannot be made: its name is a link into nowhere.
    fs::create_directory(dir / "unmade");
    fs::create_symlink(dir / "nowhere" / "x", dir / "unmade" / "Wirelane-1-001.json");
    const std::string tooLong(256, '1');  // one more than a field holds
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
        {false, sub("other"), "150", "", "", "Must be a multiple of 100M!"},
        {false, sub("missing"), "100", "", "", "Wrong directionary!"},
        {false, sub("unmade"), "100", "", "", "Write failure!"},
        {false, sub("other"), "100", "", "", "No space!", 1514, 1 << 20},
        {false, "", "", "10.0.0.5", "", "Remote port is must not NULL!"},
        {false, "", "", "10.0.0.5:65536", "", "Remote port is not a number!"},
        {false, "", "", "a b:9000", "", "Invalid address"},
        {false, "/" + tooLong, "100", "", "", "Wrong directionary!"},
        {false, sub("other"), tooLong, "", "", "Local space is not a number!"},
        {false, "", "", tooLong + ":9000", "", "Invalid address"},
        {true, "", "", "", "", "Please enter the correct content."},
        {true, sub("other"), "", "", "", "Local space is empty!"},
        {true, "", "100", "", "", "Local path is empty!"},
        {true, sub("json"), "100", "", "", "Dump path cannot be the same as JSON path!"},
        {true, "", "", "", "abc", "Truncate length is not a number!"},
        {true, "", "", "", "63", "Truncate length must be large than 64"},
        {true, sub("other"), "50", "", "200", "Must be a multiple of 100M!", 200},
        {true, sub("missing"), "100", "", "", "Wrong directionary!", 200},
        {true, "", "", "a b", "", "Invalid domain or address", 200},
        {true, "", "", tooLong, "", "Invalid domain or address", 200},
        {true, "", "", "", tooLong, "Truncate length is not a number!", 200},
    };
    for (const Case& c : cases) {
        shown.clear();
        auto offer = [&] {
            return c.dump ? dumpOffer(c.path.c_str(), c.space.c_str(), c.remote.c_str(), c.trun.c_str())
                          : exportOffer(c.path.c_str(), c.space.c_str(), c.remote.c_str());
        };
        EXPECT_EQ(onFullDisk(c.diskBytes, offer), -1) << c.message;
        EXPECT_EQ(shown, c.message);
        EXPECT_EQ(g.maxLength, c.maxLength) << c.message;
        EXPECT_EQ(std::string(g.exportStrLocalPath) + g.dumpStrLocalPath, sub("json") + sub("pkts")) << c.message;
        EXPECT_EQ(g.exportStrRemotePath[0] | g.dumpStrRemotePath[0], 0) << c.message;
        EXPECT_FALSE(fs::exists(conf)) << c.message;
    }

    // The endpoint dialog.
    ASSERT_EQ(endpointAdd("192.168.1.12:8080", 3), 0);
    for (auto [addr, message] : {std::pair{"10.0.0.300", "Invalid IP address or PORT"},
                                 {"10.0.0.1:http", "Invalid IP address or PORT"},
                                 {"192.168.100.100-192.168.100.200:8080", "Invalid IP address or PORT"},
                                 {"192.168.1.12:8080", "Host Already exists or Maximum exceeded"}}) {
        shown.clear();
        EXPECT_EQ(endpointAdd(addr, 3), -1) << addr;
        EXPECT_EQ(shown, message) << addr;
    }
    EXPECT_EQ(endpointDelete(-1), -1);
    EXPECT_EQ(shown, "Please choice a row");
    EXPECT_EQ(g.cntHost, 1);
}

TEST_F(SettingsTest, AcceptedSettingsApplyAndSave)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    set(g.tryExportStrRemotePath, " 127.0.0.2:9000 ");  // only the collector
    ASSERT_EQ(exportAdd(false), 0);
    EXPECT_EQ(g.expPort, 9000);
    EXPECT_EQ(g.isExp, 1);
    EXPECT_NE(readAll(conf).find("exportRemote=127.0.0.2:9000\nexportSpace=\n"), std::string::npos);

    // 120 MB (a saved file may hold any space from 100 on) take 12 files of
    // 10 MB; a bad collector then keeps the new store but saves nothing.
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

    // Endpoints from the dialog: the port of the text wins over the
    // protocol's, and each gets a business id of its own.
    ASSERT_EQ(endpointAdd("192.168.1.12:8080", 3), 0);
    ASSERT_EQ(endpointAdd("10.0.0.0/24", 5), 0);
    HostInfoT a, b;
    ASSERT_EQ(getHostEntry(1, &a) | getHostEntry(0, &b), 0);  // by address
    EXPECT_EQ(a.port, 8080);
    EXPECT_EQ(b.port, 3306);
    EXPECT_STRNE(a.busiId, b.busiId);
    EXPECT_NE(readAll(conf).find(std::string("endpoint=192.168.1.12:8080|3|") + a.busiId + "\n"), std::string::npos);
    ASSERT_EQ(endpointDelete(1), 0);
    EXPECT_EQ(readAll(conf).find("192.168.1.12"), std::string::npos);
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
