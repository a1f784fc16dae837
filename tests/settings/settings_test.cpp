// The JSON export and packet dump settings on real store folders.
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

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
    set(g.exportStrLocalPath, sub("json")), set(g.dumpStrLocalPath, sub("pkts"));
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
        {false, sub("other"), "150", "", "", "Must be a multiple of 100M!"},
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
        {true, "", "", "", "63", "Truncate length must be large than 64"},
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

    // The endpoint dialog: a text too long for the entry, a repeat, no row chosen.
    auto said = [](int rc) { return std::to_string(rc) + " " + shown; };
    ASSERT_EQ(endpointAdd("192.168.1.12:8080", 3), 0);
    EXPECT_EQ(said(endpointAdd("192.168.100.100-192.168.100.200:8080", 3)), "-1 Invalid IP address or PORT");
    EXPECT_EQ(said(endpointAdd("192.168.1.12:8080", 3)), "-1 Host Already exists or Maximum exceeded");
    EXPECT_EQ(said(endpointDelete(1)), "-1 Please choice a row");
    ASSERT_EQ(endpointDelete(0), 0);
    EXPECT_EQ(g.cntHost, 0);
    // The message kept for the window is cut to its field.
    alertMessage(std::string(3000, 'x').c_str(), false);
    EXPECT_EQ(std::strlen(globalValue.confErrorMsg), sizeof globalValue.confErrorMsg - 1);
}

// 120 MB (a saved space need not be whole hundreds) take 12 files of 10 MB; a bad collector
// keeps the new store, saving nothing. An accepted dump applies and saves all of its values.
TEST_F(SettingsTest, AcceptedSettingsApplyAndSave)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    set(g.tryExportStrLocalPath, sub("json"));
    set(g.tryExportStrLocalSpace, "120");
    set(g.tryExportStrRemotePath, "127.0.0.2");
    EXPECT_EQ(exportAdd(false), -1);
    EXPECT_EQ(std::string(g.exportStrLocalPath) + "|" + g.exportStrRemotePath, sub("json") + "|");
    EXPECT_EQ(std::tuple(fs::exists(dir / "json" / "Wirelane-1-012.json"),
                         fs::exists(dir / "json" / "Wirelane-1-013.json"), fs::exists(conf)),
              std::tuple(true, false, false));

    set(g.tryDumpStrLocalPath, sub("pkts"));
    set(g.tryDumpStrLocalSpace, "100");
    set(g.tryDumpStrRemotePath, " 127.0.0.2 ");
    set(g.tryDumpStrTrunLen, "64");
    ASSERT_EQ(dumpAdd(false), 0);
    EXPECT_EQ(std::tuple(int(g.maxLength), fs::exists(dir / "pkts" / "Wirelane-1-002.pcap"), int(g.expPktPort),
                         int(g.isPktExp)), std::tuple(64, true, 4789, 1));
    EXPECT_NE(readAll(conf).find("dumpPath=" + sub("pkts") + "\ndumpRemote=127.0.0.2\ndumpSpace=100\ndumpTrun=64\n"),
              std::string::npos) << readAll(conf);
}

}  // namespace
