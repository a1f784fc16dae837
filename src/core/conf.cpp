// The configuration file: key=value lines, read once at start-up, rewritten
// whole after every accepted change.
#include "core/conf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <thread>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/global_define.h"
#include "core/util.h"
#include "platform/platform.h"

char confFilePath[2048];

namespace {

// Lines are read in pieces of at most 255 characters.
constexpr int CONF_LINE_SIZE = 256;

enum ConfKeyT {
    KEY_CARD_MAC,
    KEY_ENDPOINT,
    KEY_EXPORT_PATH,
    KEY_EXPORT_REMOTE,
    KEY_EXPORT_SPACE,
    KEY_EXPORT_IND,
    KEY_DUMP_PATH,
    KEY_DUMP_REMOTE,
    KEY_DUMP_SPACE,
    KEY_DUMP_TRUN,
    KEY_DUMP_IND,
    KEY_KESTREL,
    KEY_KESTREL_DID,
    KEY_CHECK_HTTP,
    KEY_COLUMN_SHOW,
    KEY_CLICKHOUSE,
    KEY_CLICKHOUSE_QUEUE,
    KEY_CLICKHOUSE_DAYS,
    NUM_CONF_KEY
};

const char* const keyNames[NUM_CONF_KEY] = {
    "cardMac",  "endpoint",  "exportPath", "exportRemote", "exportSpace", "exportInd",  "dumpPath",   "dumpRemote",
    "dumpSpace", "dumpTrun", "dumpInd",    "kestrel",      "kestrelDid",  "checkHttp", "columnShow",
    "clickhouse", "clickhouseQueue", "clickhouseDays",
};

// Time, process, process CPU, source, destination, URL or SQL, both loss
// ratios, response delay and both network delays.
constexpr int defaultShown[] = {0, 1, 2, 4, 5, 7, 10, 11, 12, 13, 14};

std::mutex writeLock;

// Saved texts kept from applying by a condition of the moment, written in
// place of the values in use until released; guarded by writeLock.
struct HeldTextT {
    bool held;
    char text[CONF_LINE_SIZE];
};
HeldTextT heldTexts[NUM_CONF_KEY];

int keyIndex(const char* key)
{
    for (int k = 0; k < NUM_CONF_KEY; ++k) {
        if (std::strcmp(keyNames[k], key) == 0) return k;
    }
    return -1;
}

// Cut to the field; the fields are 256 bytes, as long as a configuration line.
template <std::size_t N>
void copyField(char (&dst)[N], const char* src)
{
    std::size_t n = strnlen(src, N - 1);
    std::memmove(dst, src, n);
    dst[n] = '\0';
}

// A decimal number as atoi reads one (leading blanks, a sign, digits up to the
// first other character; no number is 0), held to the range of int.
int readInt(const char* text)
{
    long long v = std::strtoll(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// A store file number; a negative one would name a file outside the ring.
int readFileInd(const char* text)
{
    int v = readInt(text);
    return v < 0 ? 0 : v;
}

// The key is the text before the line's first "=", after any leading blanks,
// equal to a known key as a whole: a key that merely appears inside another
// line's value (dumpPath=/data/endpoint) must not claim that line. The value
// starts right after the "=".
ConfKeyT findKey(const char* line, const char** value)
{
    while (*line == ' ' || *line == '\t') ++line;
    const char* eq = std::strchr(line, '=');
    if (eq == nullptr) return NUM_CONF_KEY;
    std::size_t len = static_cast<std::size_t>(eq - line);
    for (int k = 0; k < NUM_CONF_KEY; ++k) {
        if (std::strlen(keyNames[k]) == len && std::memcmp(line, keyNames[k], len) == 0) {
            *value = eq + 1;
            return static_cast<ConfKeyT>(k);
        }
    }
    return NUM_CONF_KEY;
}

// Fields between "|", from flag 0 on; an empty field keeps its flag, numbers
// beyond the last column are ignored.
void readColumnShow(const char* value)
{
    const char* p = value;
    for (int i = 0; i < NUM_NETLIST_FIELD; ++i) {
        const char* bar = std::strchr(p, '|');
        if (p[0] != '\0' && p[0] != '|') readOnlyGlobal.columnShow[i] = readInt(p);
        if (bar == nullptr) break;
        p = bar + 1;
    }
}

void applyLine(const char* line)
{
    const char* value = nullptr;
    ReadOnlyGlobalT& g = readOnlyGlobal;
    switch (findKey(line, &value)) {
    case KEY_CARD_MAC: copyField(g.findMac, value); break;
    case KEY_ENDPOINT: addConfEndpoint(value); break;
    case KEY_EXPORT_PATH: copyField(g.tryExportStrLocalPath, value); break;
    case KEY_EXPORT_REMOTE: copyField(g.tryExportStrRemotePath, value); break;
    case KEY_EXPORT_SPACE: copyField(g.tryExportStrLocalSpace, value); break;
    case KEY_EXPORT_IND: g.jsonFileInd = readFileInd(value); break;
    case KEY_DUMP_PATH: copyField(g.tryDumpStrLocalPath, value); break;
    case KEY_DUMP_REMOTE: copyField(g.tryDumpStrRemotePath, value); break;
    case KEY_DUMP_SPACE: copyField(g.tryDumpStrLocalSpace, value); break;
    case KEY_DUMP_TRUN: copyField(g.tryDumpStrTrunLen, value); break;
    case KEY_DUMP_IND: g.pktsFileInd = readFileInd(value); break;
    case KEY_KESTREL: copyField(g.kestrelStrRemotePath, value); break;
    case KEY_KESTREL_DID: g.did = readInt(value); break;
    case KEY_CHECK_HTTP: g.checkHttp = readInt(value); break;
    case KEY_COLUMN_SHOW: readColumnShow(value); break;
    case KEY_CLICKHOUSE: copyField(g.clickhouseUrl, value); break;
    case KEY_CLICKHOUSE_QUEUE: g.clickhouseQueueMb = readInt(value); break;
    case KEY_CLICKHOUSE_DAYS: g.clickhouseDays = readInt(value); break;
    case NUM_CONF_KEY: break;  // not a setting
    }
}

// Writes the settings in the writer's order; false when a write failed.
bool writeSettings(FILE* fp)
{
    const ReadOnlyGlobalT& g = readOnlyGlobal;
    bool ok = true;
    auto text = [&](ConfKeyT k, const char* v) {
        if (heldTexts[k].held) v = heldTexts[k].text;
        ok = ok && std::fprintf(fp, "%s=%s\n", keyNames[k], v) >= 0;
    };
    auto number = [&](ConfKeyT k, int v) { ok = ok && std::fprintf(fp, "%s=%d\n", keyNames[k], v) >= 0; };

    if (g.findMac[0] != '\0') text(KEY_CARD_MAC, g.findMac);
    HostInfoT h;
    for (int i = 0; i < readOnlyGlobal.cntHost && getHostEntry(i, &h) == 0; ++i) {
        ok = ok && std::fprintf(fp, "%s=%s|%d|%s\n", keyNames[KEY_ENDPOINT], h.addrStr, h.protoIdx, h.busiId) >= 0;
    }
    text(KEY_EXPORT_PATH, g.exportStrLocalPath);
    text(KEY_EXPORT_REMOTE, g.exportStrRemotePath);
    text(KEY_EXPORT_SPACE, g.exportStrLocalSpace);
    number(KEY_EXPORT_IND, g.jsonFileInd);
    text(KEY_DUMP_PATH, g.dumpStrLocalPath);
    text(KEY_DUMP_REMOTE, g.dumpStrRemotePath);
    text(KEY_DUMP_SPACE, g.dumpStrLocalSpace);
    text(KEY_DUMP_TRUN, g.dumpStrTrunLen);
    number(KEY_DUMP_IND, g.pktsFileInd);
    text(KEY_KESTREL, g.kestrelStrRemotePath);
    number(KEY_KESTREL_DID, g.did);
    number(KEY_CHECK_HTTP, g.checkHttp);
    ok = ok && std::fprintf(fp, "%s=", keyNames[KEY_COLUMN_SHOW]) >= 0;
    for (int i = 0; i < NUM_NETLIST_FIELD; ++i) {
        ok = ok && std::fprintf(fp, i + 1 < NUM_NETLIST_FIELD ? "%d|" : "%d\n", g.columnShow[i]) >= 0;
    }
    // Written once set, so that the files of probes without them stay as they were.
    if (g.clickhouseUrl[0] != '\0') text(KEY_CLICKHOUSE, g.clickhouseUrl);
    if (g.clickhouseQueueMb != 0 && g.clickhouseQueueMb != CLICKHOUSE_QUEUE_MB)
        number(KEY_CLICKHOUSE_QUEUE, g.clickhouseQueueMb);
    if (g.clickhouseDays != 0) number(KEY_CLICKHOUSE_DAYS, g.clickhouseDays);
    return ok;
}

// Makes the rename itself survive a crash.
void syncDirOf(const char* file)
{
    char dir[sizeof confFilePath];
    copyField(dir, file);
    char* slash = std::strrchr(dir, '/');
    if (slash == dir) {
        slash[1] = '\0';
    } else if (slash != nullptr) {
        *slash = '\0';
    } else {
        copyField(dir, ".");
    }
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace

std::mutex& confMutex()
{
    return writeLock;
}

void holdConfText(const char* key, const char* text)
{
    int k = keyIndex(key);
    if (k < 0) return;
    std::lock_guard<std::mutex> lk(writeLock);
    heldTexts[k].held = true;
    copyField(heldTexts[k].text, text);
}

void releaseConfText(const char* key)
{
    int k = keyIndex(key);
    if (k < 0) return;
    std::lock_guard<std::mutex> lk(writeLock);
    heldTexts[k].held = false;
}

bool heldConfText(const char* key, char* out, std::size_t cap)
{
    int k = keyIndex(key);
    if (k < 0 || cap == 0) return false;
    std::lock_guard<std::mutex> lk(writeLock);
    if (!heldTexts[k].held) return false;
    std::size_t n = strnlen(heldTexts[k].text, cap - 1);
    std::memcpy(out, heldTexts[k].text, n);
    out[n] = '\0';
    return true;
}

int addConfEndpoint(const char* value)
{
    char work[CONF_LINE_SIZE];
    copyField(work, value);
    char* bar = std::strchr(work, '|');
    if (bar == nullptr) return 0;
    *bar = '\0';
    const char* proto = bar + 1;
    char* busi = std::strchr(bar + 1, '|');
    if (busi != nullptr) *busi++ = '\0';

    // The program writes indices 0 to 6 only; anything else is refused, as
    // is an address that would not fit its field whole.
    bool valid = std::strlen(work) < sizeof(HostInfoT::addrStr) && proto[0] >= '0' && proto[0] < '0' + NUM_PROTO &&
                 proto[1] == '\0';
    char freshId[16];
    if (busi == nullptr || busi[0] == '\0') {
        getRandStrId(freshId);
        busi = freshId;
    }
    HostInfoT h;
    if (!valid || makeHostInfo(&h, work, proto[0] - '0', busi) != 0) {
        writeLog(2, "Invalid IP address or PORT %s", value);
        return -1;
    }
    if (addNewHostInfo(&h) != 0) {
        writeLog(2, "Host Already exists or Maximum exceeded %s", value);
        return -1;
    }
    writeLog(1, "add endpoint %s", value);
    return 0;
}

int readConfFile()
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    for (int& flag : g.columnShow) flag = 0;
    for (int i : defaultShown) g.columnShow[i] = 1;

    writeLog(1, "read conf from %s", confFilePath);
    FILE* fp = std::fopen(confFilePath, "r");
    if (fp == nullptr) {
        writeLog(2, "open conf file failed");
        return -1;
    }
    char line[CONF_LINE_SIZE];
    while (std::fgets(line, sizeof line, fp) != nullptr) {
        std::size_t len = std::strlen(line);
        if (len > 0 && line[len - 1] == '\n') line[--len] = '\0';
        // A file edited on Windows ends its lines in CR LF.
        if (len > 0 && line[len - 1] == '\r') line[--len] = '\0';
        applyLine(line);
    }
    std::fclose(fp);
    return 0;
}

// ---- saves in the background ---------------------------------------------------

namespace {

// A save waits for the disk; the stores ask for one at every file switch and
// must not wait. Saves asked while one runs are served together by the next,
// which writes the settings as they are then. The saver waits on these until
// the process ends: never destroyed.
std::mutex& saveMutex = *new std::mutex;
std::condition_variable& saveWanted = *new std::condition_variable;
std::condition_variable& saveDone = *new std::condition_variable;
unsigned savesAsked = 0;
unsigned savesDone = 0;

void saverThread()
{
    platform::yieldToCapture();
    std::unique_lock<std::mutex> lk(saveMutex);
    for (;;) {
        saveWanted.wait(lk, [] { return savesAsked != savesDone; });
        unsigned upTo = savesAsked;
        lk.unlock();
        refreshConf();
        lk.lock();
        savesDone = upTo;
        saveDone.notify_all();
    }
}

}  // namespace

void saveConfSoon()
{
    static std::once_flag started;
    std::call_once(started, [] { std::thread(saverThread).detach(); });
    std::lock_guard<std::mutex> lk(saveMutex);
    savesAsked++;
    saveWanted.notify_one();
}

void waitConfSaved()
{
    std::unique_lock<std::mutex> lk(saveMutex);
    unsigned target = savesAsked;
    saveDone.wait(lk, [target] { return countReached(savesDone, target); });
}

// The file is replaced whole through a temporary file beside it, so that a
// crash or a full disk while writing leaves the previous file intact.
int refreshConf()
{
    std::lock_guard<std::mutex> lk(writeLock);
    writeLog(1, "write conf to %s", confFilePath);

    char tmp[sizeof confFilePath + 8];
    int n = std::snprintf(tmp, sizeof tmp, "%s.tmp", confFilePath);
    FILE* fp = nullptr;
    int err = confFilePath[0] == '\0' ? ENOENT : ENAMETOOLONG;
    if (confFilePath[0] != '\0' && n > 0 && n < static_cast<int>(sizeof tmp)) {
        // The new file keeps the old one's permissions.
        struct stat st;
        bool existed = stat(confFilePath, &st) == 0;
        mode_t mode = existed ? (st.st_mode & 07777) : 0644;
        int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            if (existed) fchmod(fd, mode);  // a stale temporary file has its own
            fp = fdopen(fd, "w");
            if (fp == nullptr) close(fd);
        }
        err = errno;
    }
    if (fp == nullptr) {
        writeLog(1, "conf file %s: %s", tmp, std::strerror(err));
        writeLog(2, "open conf file failed");
        return -1;
    }

    bool ok = writeSettings(fp) && std::fflush(fp) == 0 && fsync(fileno(fp)) == 0;
    err = errno;
    if (std::fclose(fp) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && std::rename(tmp, confFilePath) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp);
        writeLog(1, "conf file %s: %s", tmp, std::strerror(err));
        writeLog(2, "open conf file failed");
        return -1;
    }
    syncDirOf(confFilePath);
    return 0;
}
