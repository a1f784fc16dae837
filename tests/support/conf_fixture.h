// A temporary folder with the configuration file and store folders json, pkts and other;
// the saved and tried settings are empty around each test.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "core/conf.h"
#include "settings/settings.h"
#include "support/tables.h"

class ConfFixture : public ::testing::Test {
protected:
    // Saves the stores asked for in the background belong to no test's folder.
    void SetUp() override
    {
        waitConfSaved();
        char tmpl[] = "/tmp/wl-conf-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        for (const char* sub : {"json", "pkts", "other"}) std::filesystem::create_directory(dir / sub);
        conf = dir / "Wirelane.conf", set(confFilePath, conf);
        saved = {readOnlyGlobal.enableJson, readOnlyGlobal.enablePkts, readOnlyGlobal.maxLength}, resetSettings();
    }
    void TearDown() override
    {
        waitConfSaved(), confFilePath[0] = '\0';
        for (const char* key : {"exportPath", "exportSpace", "exportRemote", "dumpPath", "dumpSpace", "dumpRemote",
                                "kestrel"}) {
            releaseConfText(key);
        }
        std::tie(readOnlyGlobal.enableJson, readOnlyGlobal.enablePkts, readOnlyGlobal.maxLength) = saved;
        readOnlyGlobal.isExp = readOnlyGlobal.isPktExp = 0, setAlertHandler(nullptr), resetSettings();
        std::filesystem::remove_all(dir);
    }
    static void resetSettings()
    {
        testtables::clearEndpoints();
        ReadOnlyGlobalT& g = readOnlyGlobal;
        for (char* text : {g.findMac, g.exportStrLocalPath, g.exportStrRemotePath, g.exportStrLocalSpace,
                           g.tryExportStrLocalPath, g.tryExportStrRemotePath, g.tryExportStrLocalSpace,
                           g.dumpStrLocalPath, g.dumpStrRemotePath, g.dumpStrLocalSpace, g.dumpStrTrunLen,
                           g.tryDumpStrLocalPath, g.tryDumpStrRemotePath, g.tryDumpStrLocalSpace,
                           g.tryDumpStrTrunLen, g.kestrelStrRemotePath, globalValue.confErrorMsg}) {
            text[0] = '\0';
        }
        g.did = g.checkHttp = g.jsonFileInd = g.pktsFileInd = globalValue.selectRow = 0;
    }
    static std::string readAll(const std::filesystem::path& file)
    {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // f() with writes beyond maxBytes failing, as on a full disk.
    static int onFullDisk(rlim_t maxBytes, const std::function<int()>& f)
    {
        rlimit old;
        getrlimit(RLIMIT_FSIZE, &old);
        const rlimit limit {std::min(maxBytes, old.rlim_max), old.rlim_max};
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        int rc = f();
        setrlimit(RLIMIT_FSIZE, &old), std::signal(SIGXFSZ, oldHandler);
        return rc;
    }
    template <std::size_t N>
    static void set(char (&field)[N], const std::string& text) { std::snprintf(field, N, "%s", text.c_str()); }
    std::string sub(const char* name) const { return (dir / name).string(); }

    std::filesystem::path dir, conf;
    std::tuple<int, int, int> saved;
};
