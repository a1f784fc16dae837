// The start-up sequence: the process-wide records cleared, the tables made,
// the configuration loaded and the worker threads started.
#include "settings/startup.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

#include "analysis/attribution.h"
#include "capture/engine.h"
#include "capture/pipeline.h"
#include "capture/ring.h"
#include "capture/syn_watch.h"
#include "core/conf.h"
#include "core/global_define.h"
#include "core/util.h"
#include "output/channel.h"
#include "output/clickhouse.h"
#include "output/pairs.h"
#include "output/scan.h"
#include "output/store.h"
#include "platform/platform.h"
#include "settings/settings.h"

int initGlobalValue(const char* home)
{
    platform::preferHugePages(&globalValue, sizeof globalValue);

    // The table's memory comes zero-filled: only the 1024 bucket mutexes are
    // constructed, so the sessions' pages are touched when sessions use them.
    void* table = platform::allocTable(sizeof(HashTableT));
    globalValue.hashTable = table != nullptr ? new (table) HashTableT : nullptr;
    if (globalValue.hashTable == nullptr) {
        writeLog(3, "not enough money!");
        return -1;
    }

    int rc = platform::exePath(readOnlyGlobal.exeFilePath, sizeof readOnlyGlobal.exeFilePath);
    if (rc != 0) {
        writeLog(3, "Error GetModuleFileName %d\n", rc);
        return -1;
    }
    rc = platform::hostName(readOnlyGlobal.hostname, sizeof readOnlyGlobal.hostname);
    if (rc != 0) {
        std::snprintf(readOnlyGlobal.hostname, sizeof readOnlyGlobal.hostname, "CanNotGetComputer");
        writeLog(3, "Error GetComputerName %d\n", rc);
    }
    rc = platform::userName(readOnlyGlobal.hostuser, sizeof readOnlyGlobal.hostuser);
    if (rc != 0) {
        std::snprintf(readOnlyGlobal.hostuser, sizeof readOnlyGlobal.hostuser, "CanNotGetUser");
        writeLog(3, "Error GetUserName %d\n", rc);
    }

    // The log, the configuration and the playback file live there: say why
    // it cannot be made, as nothing can be logged to a file yet.
    bool aside = false;
    if (int err = platform::programFolder(home, readOnlyGlobal.userTmpPath, sizeof readOnlyGlobal.userTmpPath, &aside);
        err != 0) {
        writeLog(3, "cannot make the folder %s for the log and configuration: %s", readOnlyGlobal.userTmpPath,
                 err == -1 ? "it belongs to another user" : std::strerror(err));
        return -1;
    }

    if (char* slash = std::strrchr(readOnlyGlobal.exeFilePath, '/')) *slash = 0;

    time_t now = time(nullptr);
    tm local {};
    localtime_r(&now, &local);
    char logName[LOG_NAME_SIZE];
    int n = std::snprintf(logName, sizeof logName, "%s/Wirelane-%d-%02d-%02d.log", readOnlyGlobal.userTmpPath,
                          local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    if (n < 0 || n >= static_cast<int>(sizeof logName)) {
        // The name would not fit its buffer: refuse it rather than cut it.
        writeLog(3, "log file name in %s is longer than %d characters", readOnlyGlobal.userTmpPath,
                 LOG_NAME_SIZE - 1);
        writeLog(3, "create log file failed");
        return -1;
    }
    readOnlyGlobal.logfp = std::fopen(logName, "a");
    if (readOnlyGlobal.logfp == nullptr) {
        writeLog(3, "create log file %s failed: %s", logName, std::strerror(errno));
        return -1;
    }

    if (aside) {
        writeLog(2, "the folder Wirelane of the temporary directory belongs to another user: using %s",
                 readOnlyGlobal.userTmpPath);
    }
    globalValue.selectRow = -1;
    return 0;
}

namespace {

// The ClickHouse sink, from the command line or the configuration. A value
// that cannot be one is refused with a warning and written back empty; a
// sink that does not start leaves the probe capturing and storing as ever.
void startClickhouse(const char* override)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    char err[512];
    if (g.clickhouseUrl[0] != '\0' && clickhouseCheckUrl(g.clickhouseUrl, err, sizeof err) != 0) {
        writeLog(2, "clickhouse: %s", err);
        g.clickhouseUrl[0] = '\0';
    }
    if (g.clickhouseQueueMb < 1 || g.clickhouseQueueMb > 65536) {
        if (g.clickhouseQueueMb != 0)
            writeLog(2, "clickhouseQueue: %d is not a size from 1 to 65536 MB", g.clickhouseQueueMb);
        g.clickhouseQueueMb = static_cast<int>(CLICKHOUSE_QUEUE_DEFAULT >> 20);
    }
    if (g.clickhouseDays < 0) {
        writeLog(2, "clickhouseDays: %d is not a number of days (0 keeps all)", g.clickhouseDays);
        g.clickhouseDays = 0;
    }
    const char* url = override != nullptr ? override : g.clickhouseUrl;
    if (url[0] == '\0') return;
    if (clickhouseStart(url, static_cast<std::size_t>(g.clickhouseQueueMb) << 20, g.clickhouseDays, err, sizeof err) !=
        0)
        writeLog(2, "ClickHouse: %s", err);
}

}  // namespace

int startUp(const StartOptionsT& options)
{
    // The two process-wide records start zeroed, as static storage does, and
    // are set up once per process: clearing them again would only make the
    // kernel hand out and clear the pages of their large, mostly unused tables.
    platform::preferHugePages(&readOnlyGlobal, sizeof readOnlyGlobal);
    readOnlyGlobal.isKestrel = 1;  // the probe may always report to a monitoring center
    if (initGlobalValue(options.homePath) != 0) {
        writeLog(3, "init globalValue failed");
        return -1;
    }
    if (initCommPair() != 0) {
        writeLog(3, "init commpair failed");
        return -1;
    }
    connectStages();
    if (init_packet() != 0) {
        writeLog(3, "init packet failed");
        return -1;
    }
    if (initSocket() != 0) {
        writeLog(3, "init Socket failed");
        return -1;
    }
    if (!options.offline) getCardInfo();

    int n = options.confPath != nullptr
                ? std::snprintf(confFilePath, sizeof confFilePath, "%s", options.confPath)
                : std::snprintf(confFilePath, sizeof confFilePath, "%s/%s", readOnlyGlobal.userTmpPath, "Wirelane.conf");
    if (n < 0 || n >= static_cast<int>(sizeof confFilePath)) {
        writeLog(3, "configuration file name longer than %d characters", static_cast<int>(sizeof confFilePath) - 1);
        return -1;
    }
    // A file that exists but cannot be read may hold a choice: only a
    // missing one counts as a first start.
    int loaded = loadConf();
    bool missing = loaded != 0 && access(confFilePath, F_OK) != 0 && errno == ENOENT;
    if (options.configure != nullptr) options.configure();
    if (options.firstStart && !options.offline && (loaded == 0 || missing)) chooseOnFirstStart();

    if (options.interfaceName != nullptr && selectCaptureInterface(options.interfaceName) != 0) return -1;
    startClickhouse(options.clickhouseUrl);

    readOnlyGlobal.runFlag = 1;
    readOnlyGlobal.disableRepeat = 1;
    readOnlyGlobal.sessionTimeOut = 60;

    setScanFollowsCapture(options.offline);
    setStoreSyncEachFlush(!options.offline);
    // A full ring holds the capture thread back, file or card: a card's
    // frames then wait in the kernel's capture buffer, which takes a burst of
    // many milliseconds, instead of being lost at once.
    setRingWaitWhenFull(true);
    // The tables' pages are zero-filled where they are first touched, at a
    // cost the processing thread would pay in the middle of its frames and
    // scans. Reading a file, the capture thread has them handed out instead
    // while the processing thread is behind: sessions first, which the first
    // frame uses; pairs and the queue at the first scan. A card's frames do
    // not wait: a thread of its own hands them all out at once, so that no
    // burst meets them fresh and the probe's size stays what it is.
    platform::fillAhead(globalValue.hashTable, sizeof(HashTableT));
    platform::fillAhead(pHashTable, sizeof(CommPairHashTableT));
    fillExportQueueAhead();
    if (options.offline) {
        setRingIdleWork(platform::fillAheadStep);
    } else {
        std::thread([] {
            while (platform::fillAheadStep()) {
            }
        }).detach();
    }
    // A live card's conversations with this machine name their programs.
    if (!options.offline) {
        startAttribution();
        startSynWatch();
    }
    std::thread(scanThread, nullptr).detach();
    std::thread(processThread, nullptr).detach();
    std::thread(packetThread, nullptr).detach();
    return 0;
}
