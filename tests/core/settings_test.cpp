// The checks of the JSON export and packet dump settings, on real store
// folders: each refusal in its turn, and what an accepted setting changes.
#include "core/settings.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/conf.h"
#include "core/main.h"
#include "core/util.h"

namespace {

namespace fs = std::filesystem;

template <std::size_t N>
void set(char (&field)[N], const std::string& text)
{
    std::snprintf(field, N, "%s", text.c_str());
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/wl-set-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        for (const char* sub : {"json", "pkts", "other"}) fs::create_directory(dir / sub);
        std::snprintf(confFilePath, sizeof confFilePath, "%s", (dir / "Wirelane.conf").c_str());
        clear();
        saved = {readOnlyGlobal.enableJson, readOnlyGlobal.enablePkts, readOnlyGlobal.maxLength};
    }
    void TearDown() override
    {
        readOnlyGlobal.enableJson = saved[0];
        readOnlyGlobal.enablePkts = saved[1];
        readOnlyGlobal.maxLength = saved[2];
        readOnlyGlobal.isExp = readOnlyGlobal.isPktExp = 0;
        setAlertHandler(nullptr);
        clear();
        fs::remove_all(dir);
        confFilePath[0] = '\0';
    }
    static void clear()
    {
        ReadOnlyGlobalT& g = readOnlyGlobal;
        for (char* text : {g.exportStrLocalPath, g.exportStrRemotePath, g.exportStrLocalSpace, g.tryExportStrLocalPath,
                           g.tryExportStrRemotePath, g.tryExportStrLocalSpace, g.dumpStrLocalPath,
                           g.dumpStrRemotePath, g.dumpStrLocalSpace, g.dumpStrTrunLen, g.tryDumpStrLocalPath,
                           g.tryDumpStrRemotePath, g.tryDumpStrLocalSpace, g.tryDumpStrTrunLen}) {
            text[0] = '\0';
        }
        globalValue.confErrorMsg[0] = '\0';
        globalValue.selectRow = 0;
    }
    static std::string readAll(FILE* fp)
    {
        std::string s(65536, '\0');
        std::rewind(fp);
        s.resize(std::fread(s.data(), 1, s.size(), fp));
        return s;
    }
    static std::string savedConf()
    {
        std::ifstream in(confFilePath);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::string sub(const char* name) const { return (dir / name).string(); }
    // The store file n of a folder, as the stores name it for card 1.
    fs::path storeFile(const char* folder, const char* n) const
    {
        return dir / folder / ("Wirelane-1-" + std::string(n));
    }

    fs::path dir;
    std::array<int, 3> saved {};
};

// The refusals in the order the checks run; each leaves the accepted values and the saved file alone.
TEST_F(SettingsTest, ExportRefusals)
{
    // A blank that cannot be created: its name is a link into nowhere.
    std::string unmade = sub("unmade");
    fs::create_directory(unmade);
    fs::create_symlink(dir / "nowhere" / "x", storeFile("unmade", "001.json"));
    set(readOnlyGlobal.dumpStrLocalPath, sub("pkts"));
    struct Case {
        std::string path, space, remote;
        const char* message;
        rlim_t maxFileSize = RLIM_INFINITY;
    } const cases[] = {
        {"", " ", "", "Please enter the correct content."},
        {sub("json"), "", "", "Local space is empty!"},
        {"", "100", "10.0.0.5:9000", "Local path is empty!"},
        {sub("pkts"), "100", "", "JSON path cannot be the same as Dump path!"},
        {sub("json"), "150.5", "", "Local space is not a number!"},
        {sub("json"), "50", "", "Must be a multiple of 100M!"},
        {sub("missing"), "100", "", "Wrong directionary!"},
        {unmade, "100", "", "Write failure!"},
        {sub("other"), "100", "", "No space!", 1 << 20},
        {"", "", "10.0.0.5", "Remote port is must not NULL!"},
        {"", "", "10.0.0.5:65536", "Remote port is not a number!"},
        {"", "", "a b:9000", "Invalid address"},
    };
    for (const Case& c : cases) {
        set(readOnlyGlobal.tryExportStrLocalPath, c.path);
        set(readOnlyGlobal.tryExportStrLocalSpace, c.space);
        set(readOnlyGlobal.tryExportStrRemotePath, c.remote);
        rlimit old;
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit limit = {std::min(c.maxFileSize, old.rlim_max), old.rlim_max};
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        int rc = exportAdd(false);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        EXPECT_EQ(rc, -1) << c.message;
        EXPECT_STREQ(globalValue.confErrorMsg, c.message);
        EXPECT_EQ(readOnlyGlobal.exportStrLocalPath[0] | readOnlyGlobal.exportStrRemotePath[0], 0) << c.message;
        EXPECT_FALSE(fs::exists(confFilePath)) << c.message;
    }
}

TEST_F(SettingsTest, DumpRefusals)
{
    set(readOnlyGlobal.exportStrLocalPath, sub("json"));
    readOnlyGlobal.maxLength = 1514;
    struct Case {
        std::string path, space, remote, trun;
        const char* message;
        int maxLength;  // the truncation applies before a later check refuses
    } const cases[] = {
        {"", "", "", "", "Please enter the correct content.", 1514},
        {sub("pkts"), "", "", "", "Local space is empty!", 1514},
        {"", "100", "", "", "Local path is empty!", 1514},
        {sub("json"), "100", "", "", "Dump path cannot be the same as JSON path!", 1514},
        {"", "", "", "abc", "Truncate length is not a number!", 1514},
        {"", "", "", "63", "Truncate length must be large than 64", 1514},
        {sub("pkts"), "50", "", "200", "Must be a multiple of 100M!", 200},
        {sub("pkts"), "x", "", "", "Local space is not a number!", 200},
        {sub("missing"), "100", "", "", "Wrong directionary!", 200},
        {"", "", "a b", "", "Invalid domain or address", 200},
    };
    for (const Case& c : cases) {
        set(readOnlyGlobal.tryDumpStrLocalPath, c.path);
        set(readOnlyGlobal.tryDumpStrLocalSpace, c.space);
        set(readOnlyGlobal.tryDumpStrRemotePath, c.remote);
        set(readOnlyGlobal.tryDumpStrTrunLen, c.trun);
        EXPECT_EQ(dumpAdd(false), -1) << c.message;
        EXPECT_STREQ(globalValue.confErrorMsg, c.message);
        EXPECT_EQ(readOnlyGlobal.maxLength, c.maxLength) << c.message;
        EXPECT_EQ(readOnlyGlobal.dumpStrLocalPath[0], '\0') << c.message;
        EXPECT_FALSE(fs::exists(confFilePath)) << c.message;
    }
}

TEST_F(SettingsTest, AcceptedSettingsApplyAndSave)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    set(g.tryExportStrRemotePath, " 127.0.0.2:9000 ");  // only the collector
    ASSERT_EQ(exportAdd(false), 0);
    EXPECT_EQ(g.expPort, 9000);
    EXPECT_EQ(g.isExp, 1);
    EXPECT_NE(savedConf().find("exportRemote=127.0.0.2:9000\nexportSpace=\n"), std::string::npos);

    // 120 MB take 12 files of 10 MB; a bad collector then keeps the new
    // store but saves nothing.
    fs::remove(confFilePath);
    set(g.tryExportStrLocalPath, sub("json"));
    set(g.tryExportStrLocalSpace, "120");
    set(g.tryExportStrRemotePath, "127.0.0.2");
    EXPECT_EQ(exportAdd(false), -1);
    EXPECT_STREQ(g.exportStrLocalPath, sub("json").c_str());
    EXPECT_STREQ(g.exportStrRemotePath, "127.0.0.2:9000");
    EXPECT_TRUE(fs::exists(storeFile("json", "012.json")));
    EXPECT_FALSE(fs::exists(storeFile("json", "013.json")));
    EXPECT_FALSE(fs::exists(confFilePath));

    set(g.tryDumpStrLocalPath, sub("pkts"));
    set(g.tryDumpStrLocalSpace, "100");
    set(g.tryDumpStrRemotePath, "127.0.0.2");
    set(g.tryDumpStrTrunLen, "64");
    ASSERT_EQ(dumpAdd(false), 0);
    EXPECT_EQ(g.maxLength, 64);
    EXPECT_TRUE(fs::exists(storeFile("pkts", "002.pcap")));
    EXPECT_EQ(g.expPktPort, 4789);
    EXPECT_EQ(g.isPktExp, 1);
    EXPECT_NE(savedConf().find("dumpPath=" + sub("pkts") + "\ndumpRemote=127.0.0.2\ndumpSpace=100\ndumpTrun=64\n"),
              std::string::npos);
}

std::string shown;
void showInBox(const char* text) { shown = text; }

TEST_F(SettingsTest, MessagesGoToTheWindowOrTheLog)
{
    FILE* log = std::tmpfile();
    setLogConsole(log);
    for (int handler = 0; handler < 2; ++handler) {
        for (bool win : {false, true}) {
            setAlertHandler(handler ? showInBox : nullptr);
            shown.clear();
            std::size_t logged = readAll(log).size();
            alertMessage("No space!", win);
            bool toBox = handler && win;
            EXPECT_STREQ(globalValue.confErrorMsg, "No space!");
            EXPECT_EQ(shown, toBox ? "No space!" : "");
            EXPECT_EQ(readAll(log).substr(logged).find("WARNING: No space!\n") != std::string::npos, !toBox);
        }
    }
    setLogConsole(nullptr);
    std::fclose(log);
    std::string longText(3000, 'x');
    alertMessage(longText.c_str(), false);
    EXPECT_EQ(std::strlen(globalValue.confErrorMsg), sizeof globalValue.confErrorMsg - 1);
}

}  // namespace
