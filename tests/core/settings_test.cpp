// The checks of the JSON export and packet dump settings, on real store
// folders: each refusal in its turn, and what an accepted setting changes.
#include "core/settings.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/conf.h"
#include "core/main.h"
#include "core/util.h"

namespace {

namespace fs = std::filesystem;

constexpr u32 ip(u32 a, u32 b, u32 c, u32 d) { return (a << 24) | (b << 16) | (c << 8) | d; }

std::string readAll(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

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
        saved[0] = readOnlyGlobal.enableJson;
        saved[1] = readOnlyGlobal.enablePkts;
        saved[2] = readOnlyGlobal.maxLength;
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
        readOnlyGlobal.enableJson = saved[0];
        readOnlyGlobal.enablePkts = saved[1];
        readOnlyGlobal.maxLength = saved[2];
        readOnlyGlobal.isExp = 0;
        readOnlyGlobal.isPktExp = 0;
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
    std::string log()
    {
        std::fflush(console);
        return std::string(logText, logSize);
    }
    std::string sub(const char* name) const { return (dir / name).string(); }
    // The store file n of folder, as the stores name it for card 1.
    std::string storeFile(const std::string& folder, int n, const char* ext) const
    {
        char buf[256];
        std::snprintf(buf, sizeof buf, "%s/Wirelane-1-%03d.%s", folder.c_str(), n, ext);
        return buf;
    }

    fs::path dir;
    FILE* savedLog = nullptr;
    FILE* console = nullptr;
    char* logText = nullptr;
    std::size_t logSize = 0;
    int saved[3] = {0, 0, 0};
};

// The refusals in the order the checks run; each is reported once, at level
// 2 without a window, and leaves the accepted values and the saved file alone.
TEST_F(SettingsTest, ExportRefusals)
{
    // A blank that cannot be created: its name is a link into nowhere.
    std::string unmade = sub("unmade");
    fs::create_directory(unmade);
    fs::create_symlink(dir / "nowhere" / "x", storeFile(unmade, 1, "json"));
    set(readOnlyGlobal.dumpStrLocalPath, sub("pkts"));
    std::ofstream(sub("plain")) << "a file\n";
    struct Case {
        std::string path, space, remote;
        const char* message;
        rlim_t maxFileSize = RLIM_INFINITY;
    };
    const Case cases[] = {
        {"", " ", "", "Please enter the correct content."},
        {sub("json"), "", "", "Local space is empty!"},
        {"", "100", "10.0.0.5:9000", "Local path is empty!"},
        {sub("pkts"), "100", "", "JSON path cannot be the same as Dump path!"},
        {sub("json"), "abc", "", "Local space is not a number!"},
        {sub("json"), "150.5", "", "Local space is not a number!"},
        {sub("json"), "50", "", "Must be a multiple of 100M!"},
        {sub("missing"), "100", "", "Wrong directionary!"},
        {sub("plain"), "100", "", "Wrong directionary!"},
        {unmade, "100", "", "Write failure!"},
        {sub("other"), "100", "", "No space!", 1 << 20},
        {"", "", "10.0.0.5", "Remote port is must not NULL!"},
        {"", "", "10.0.0.5:", "Remote port is not a number!"},
        {"", "", "10.0.0.5:9x", "Remote port is not a number!"},
        {"", "", "10.0.0.5:65536", "Remote port is not a number!"},
        {"", "", "a b:9000", "Invalid address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        set(readOnlyGlobal.tryExportStrLocalPath, c.path);
        set(readOnlyGlobal.tryExportStrLocalSpace, c.space);
        set(readOnlyGlobal.tryExportStrRemotePath, c.remote);
        std::size_t logged = log().size();
        rlimit old;
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit limit = {std::min(c.maxFileSize, old.rlim_max), old.rlim_max};
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        int rc = exportAdd(false);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        EXPECT_EQ(rc, -1);
        EXPECT_STREQ(globalValue.confErrorMsg, c.message);
        EXPECT_NE(log().substr(logged).find(std::string(" WARNING: ") + c.message + "\n"), std::string::npos);
        EXPECT_STREQ(readOnlyGlobal.exportStrLocalPath, "");
        EXPECT_STREQ(readOnlyGlobal.exportStrRemotePath, "");
        EXPECT_EQ(readOnlyGlobal.isExp, 0);
        EXPECT_FALSE(fs::exists(confFilePath));
    }
}

TEST_F(SettingsTest, DumpRefusals)
{
    set(readOnlyGlobal.exportStrLocalPath, sub("json"));
    readOnlyGlobal.maxLength = 1514;
    struct Case {
        std::string path, space, remote, trun;
        const char* message;
        int maxLength;  // step 5 applies before a later check refuses
    };
    const Case cases[] = {
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
        SCOPED_TRACE(c.message);
        set(readOnlyGlobal.tryDumpStrLocalPath, c.path);
        set(readOnlyGlobal.tryDumpStrLocalSpace, c.space);
        set(readOnlyGlobal.tryDumpStrRemotePath, c.remote);
        set(readOnlyGlobal.tryDumpStrTrunLen, c.trun);
        std::size_t logged = log().size();
        EXPECT_EQ(dumpAdd(false), -1);
        EXPECT_STREQ(globalValue.confErrorMsg, c.message);
        EXPECT_NE(log().substr(logged).find(std::string(" WARNING: ") + c.message + "\n"), std::string::npos);
        EXPECT_EQ(readOnlyGlobal.maxLength, c.maxLength);
        EXPECT_STREQ(readOnlyGlobal.dumpStrLocalPath, "");
        EXPECT_EQ(readOnlyGlobal.isPktExp, 0);
        EXPECT_FALSE(fs::exists(confFilePath));
    }
}

TEST_F(SettingsTest, AcceptedSettingsApplyAndSave)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;

    // Only the collector: the local store stays as it is.
    set(g.tryExportStrRemotePath, " 127.0.0.2:9000 ");
    ASSERT_EQ(exportAdd(false), 0);
    EXPECT_STREQ(g.exportStrRemotePath, "127.0.0.2:9000");
    EXPECT_EQ(g.expPort, 9000);
    EXPECT_EQ(g.expNumIP, ip(127, 0, 0, 2));
    EXPECT_EQ(g.isExp, 1);
    EXPECT_STREQ(g.exportStrLocalPath, "");
    EXPECT_NE(readAll(confFilePath).find("exportRemote=127.0.0.2:9000\nexportSpace=\n"), std::string::npos);

    // A store of 120 MB takes 12 files of 10 MB; then a bad collector keeps
    // the new store but saves nothing.
    fs::remove(confFilePath);
    set(g.tryExportStrLocalPath, sub("json"));
    set(g.tryExportStrLocalSpace, "120");
    set(g.tryExportStrRemotePath, "127.0.0.2");
    EXPECT_EQ(exportAdd(false), -1);
    EXPECT_STREQ(globalValue.confErrorMsg, "Remote port is must not NULL!");
    EXPECT_STREQ(g.exportStrLocalPath, sub("json").c_str());
    EXPECT_STREQ(g.exportStrLocalSpace, "120");
    EXPECT_STREQ(g.exportStrRemotePath, "127.0.0.2:9000");
    EXPECT_EQ(g.enableJson, 1);
    EXPECT_TRUE(fs::exists(storeFile(sub("json"), 12, "json")));
    EXPECT_FALSE(fs::exists(storeFile(sub("json"), 13, "json")));
    EXPECT_FALSE(fs::exists(confFilePath));

    // Truncation alone changes the length at once but not the saved text,
    // which goes with the local store; 64 is enough.
    set(g.tryDumpStrTrunLen, "64");
    ASSERT_EQ(dumpAdd(false), 0);
    EXPECT_EQ(g.maxLength, 64);
    EXPECT_STREQ(g.dumpStrTrunLen, "");

    set(g.tryDumpStrLocalPath, sub("pkts"));
    set(g.tryDumpStrLocalSpace, "100");
    set(g.tryDumpStrRemotePath, "127.0.0.2");
    set(g.tryDumpStrTrunLen, "96");
    ASSERT_EQ(dumpAdd(false), 0);
    EXPECT_EQ(g.maxLength, 96);
    EXPECT_EQ(g.enablePkts, 1);
    EXPECT_TRUE(fs::exists(storeFile(sub("pkts"), 2, "pcap")));
    EXPECT_EQ(g.expPktPort, 4789);
    EXPECT_EQ(g.expPktNumIP, ip(127, 0, 0, 2));
    EXPECT_EQ(g.isPktExp, 1);
    EXPECT_NE(readAll(confFilePath).find("dumpPath=" + sub("pkts") + "\ndumpRemote=127.0.0.2\ndumpSpace=100\n" +
                                         "dumpTrun=96\n"),
              std::string::npos);
}

std::string shown;
void showInBox(const char* text) { shown = text; }

TEST_F(SettingsTest, MessagesGoToTheWindowOrTheLog)
{
    struct Case {
        bool handler, win, toBox;
    };
    const Case cases[] = {{false, false, false}, {false, true, false}, {true, false, false}, {true, true, true}};
    for (const Case& c : cases) {
        setAlertHandler(c.handler ? showInBox : nullptr);
        shown.clear();
        std::size_t logged = log().size();
        alertMessage("No space!", c.win);
        EXPECT_STREQ(globalValue.confErrorMsg, "No space!");
        EXPECT_EQ(shown, c.toBox ? "No space!" : "");
        EXPECT_EQ(log().substr(logged).find("WARNING: No space!\n") != std::string::npos, !c.toBox);
    }
    std::string longText(3000, 'x');
    alertMessage(longText.c_str(), false);
    EXPECT_EQ(std::strlen(globalValue.confErrorMsg), sizeof globalValue.confErrorMsg - 1);
}

}  // namespace
