// The checks of the JSON export and packet dump settings. They run from the
// dialogs and, without a window, from the configuration loader; each refusal
// is one fixed message, and the first one ends the check.
#include "settings/settings.h"

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <thread>

#include "capture/engine.h"
#include "core/conf.h"
#include "core/global_define.h"
#include "core/util.h"
#include "output/channel.h"
#include "output/store.h"
#include "settings/center.h"

namespace {

constexpr int MIN_SPACE_MB = 100;
constexpr int MIN_TRUNC_LEN = 64;  // Ethernet, IPv4 and TCP headers with options
constexpr int VXLAN_PORT = 4789;
constexpr int CONF_TEXT_SIZE = 256;  // a text setting's field

std::atomic<void (*)(const char*)> alertHandler {nullptr};

// Cut to the field; the fields are 256 bytes, as long as a configuration line.
template <std::size_t N>
void copyField(char (&dst)[N], const char* src)
{
    std::size_t n = strnlen(src, N - 1);
    std::memmove(dst, src, n);
    dst[n] = '\0';
}

// The setting as a whole decimal number, capped at INT_MAX; -1 when it holds
// anything but digits. isNumber also lets dots through, but stores and
// lengths come in whole units.
int wholeNumber(char* text)
{
    if (!isNumber(text) || text[0] == '\0') return -1;
    long long v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return -1;
        v = v * 10 + (*p - '0');
        if (v > INT_MAX) v = INT_MAX;
    }
    return static_cast<int>(v);
}

// A try field may have been filled by anyone: never read past its end.
template <std::size_t N>
bool given(char (&field)[N])
{
    field[N - 1] = '\0';
    return !isEmptyString(field);
}

// A store's set-up result as a refusal.
int storeRefusal(int rc)
{
    return rc == -1 ? WX_NO_FOLDER : rc == -2 ? WX_WRITE_FAILED : rc == -3 ? WX_NO_SPACE : WX_BAD_VALUE;
}

const char* storeMessage(int rc)
{
    return rc == WX_WRITE_FAILED ? "Write failure!" : rc == WX_NO_SPACE ? "No space!" : "Wrong directionary!";
}

// Letters, digits, '-' and '_' in dot-separated labels: a name that could
// resolve some day. Anything else cannot, and is a malformed value.
bool hostNameForm(const char* name)
{
    std::size_t len = std::strlen(name), label = 0;
    if (len == 0 || len > 253) return false;
    for (const char* p = name; *p; ++p) {
        char c = *p;
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                   c == '_') {
            if (++label > 63) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Resolves name for port; 0, or the refusal. An IPv6 address is a value
// that may resolve too (on a host that has no IPv6 yet, say).
int resolve(const char* name, int port, sockaddr_storage* addr)
{
    if (getDomainAddr(name, port, addr) == 0) return 0;
    in6_addr v6;
    return hostNameForm(name) || inet_pton(AF_INET6, name, &v6) == 1 ? WX_NO_NAME : WX_BAD_VALUE;
}

// The local space: a number of at least 100 MB; -1 after the message. The
// dialogs ask for whole hundreds, as their tip says; a saved file keeps the
// space it was written with.
int checkSpace(char* text, bool win)
{
    int space = wholeNumber(text);
    if (space < 0) {
        alertMessage("Local space is not a number!", win);
        return -1;
    }
    if (space < MIN_SPACE_MB || (win && space % MIN_SPACE_MB != 0)) {
        alertMessage("Must be a multiple of 100M!", win);
        return -1;
    }
    return space;
}

// The checks both stores share: a path needs its space and the other way
// round, and the two stores cannot share a directory. 0, or -1 reported.
int checkLocalPair(bool path, bool space, const char* dir, const char* otherDir, const char* sameMessage, bool win)
{
    if (path && !space) {
        alertMessage("Local space is empty!", win);
        return -1;
    }
    if (space && !path) {
        alertMessage("Local path is empty!", win);
        return -1;
    }
    if (path && std::strcmp(dir, otherDir) == 0) {
        alertMessage(sameMessage, win);
        return -1;
    }
    return 0;
}

// What each store or channel setting needs to apply, checked and applied in
// one step: 0, or the refusal after its message. Applied, a value kept from
// start-up is released: the value in use is the one to save.

// The JSON store (STORE_JSON) or the packet store (STORE_PKTS).
int applyStore(int type, char* path, char* space, bool win)
{
    int mb = checkSpace(space, win);
    if (mb < 0) return WX_BAD_VALUE;
    int rc = type == STORE_JSON ? initStoreJson(path, mb) : initStorePkts(path, mb);
    if (rc < 0) {
        rc = storeRefusal(rc);
        alertMessage(storeMessage(rc), win);
        return rc;
    }
    ReadOnlyGlobalT& g = readOnlyGlobal;
    std::lock_guard<std::mutex> lk(confMutex());
    copyField(type == STORE_JSON ? g.exportStrLocalPath : g.dumpStrLocalPath, path);
    copyField(type == STORE_JSON ? g.exportStrLocalSpace : g.dumpStrLocalSpace, space);
    return 0;
}

int applyCollector(const char* text, bool win)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    char field[sizeof g.tryExportStrRemotePath];
    copyField(field, text);
    // "host:port" or "[IPv6]:port"; a bare IPv6 address has no port.
    char host[sizeof field];
    const char* portText = nullptr;
    if (splitHostPort(field, host, sizeof host, &portText) != 0) {
        alertMessage("Invalid address", win);
        return WX_BAD_VALUE;
    }
    if (portText == nullptr) {
        alertMessage("Remote port is must not NULL!", win);
        return WX_BAD_VALUE;
    }
    char portField[sizeof field];
    copyField(portField, portText);
    int port = wholeNumber(portField);
    if (port < 1 || port > 65535) {
        alertMessage("Remote port is not a number!", win);
        return WX_BAD_VALUE;
    }
    sockaddr_storage addr;
    if (int rc = resolve(host, port, &addr); rc != 0) {
        alertMessage("Invalid address", win);
        return rc;
    }
    g.expPort = port;
    g.expAddress = addr;
    g.expNumIP.store(sockAddrIp(addr));
    initExpSock();
    std::lock_guard<std::mutex> lk(confMutex());
    copyField(g.exportStrRemotePath, text);
    return 0;
}

int applyReceiver(const char* text, bool win)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    char host[sizeof g.tryDumpStrRemotePath];
    sockaddr_storage addr;
    if (int rc = resolve(bareHost(text, host, sizeof host), VXLAN_PORT, &addr); rc != 0) {
        alertMessage("Invalid domain or address", win);
        return rc;
    }
    g.expPktPort = VXLAN_PORT;
    g.expPktAddress = addr;
    g.expPktNumIP.store(sockAddrIp(addr));
    initPacketSock();
    std::lock_guard<std::mutex> lk(confMutex());
    copyField(g.dumpStrRemotePath, text);
    return 0;
}

// ---- values kept from start-up ------------------------------------------------

// The parts of the settings that apply on their own, with the keys that save
// them; a part is kept while its first key's text is held.
enum PartT { PART_JSON_STORE, PART_COLLECTOR, PART_PKT_STORE, PART_RECEIVER, PART_CENTER, NUM_PART };
struct PartKeysT {
    const char* key;
    const char* spaceKey;  // the store's space, kept with its path
};
const PartKeysT partKeys[NUM_PART] = {
    {"exportPath", "exportSpace"}, {"exportRemote", nullptr}, {"dumpPath", "dumpSpace"}, {"dumpRemote", nullptr},
    {"kestrel", nullptr},
};

constexpr int DEFAULT_RETRY_SECONDS = 60;

// Seconds between two tries of the kept values. WIRELANE_RETRY_SECONDS, read
// once, shortens the minute for the tests, which cannot wait that long.
int retrySeconds()
{
    static const int seconds = [] {
        const char* env = std::getenv("WIRELANE_RETRY_SECONDS");
        int v = env != nullptr ? std::atoi(env) : 0;
        return v > 0 ? v : DEFAULT_RETRY_SECONDS;
    }();
    return seconds;
}

void release(PartT part)
{
    releaseConfText(partKeys[part].key);
    if (partKeys[part].spaceKey != nullptr) releaseConfText(partKeys[part].spaceKey);
}

// Keeps the saved text of a part refused for now at start-up; false when
// the refusal is for good (or a window asked), and the value is dropped.
bool keptForLater(PartT part, int rc, const char* text, const char* space, bool win)
{
    if (win || !refusedForNow(rc)) return false;
    holdConfText(partKeys[part].key, text);
    if (space != nullptr) holdConfText(partKeys[part].spaceKey, space);
    writeLog(2, "%s=%s refused for now; kept, and tried again every %d s", partKeys[part].key, text,
             retrySeconds());
    return true;
}

// The outcome rc of one part's try in a validator: applied, its kept text is
// released; refused for now, it is kept and first keeps the first such
// refusal. false when the refusal is for good, which ends the validator.
bool settle(PartT part, int rc, const char* text, const char* space, bool win, int& first)
{
    if (rc == 0) {
        release(part);
        return true;
    }
    if (!keptForLater(part, rc, text, space, win)) return false;
    if (first == 0) first = rc;
    return true;
}

// Copies an entry's text into its try field. Text longer than the field is
// refused with the message the field's own check gives for a bad value:
// cutting it would apply a value the user never typed.
template <std::size_t N>
bool offer(char (&field)[N], const char* text, const char* badMessage)
{
    if (std::strlen(text) >= N) {
        alertMessage(badMessage, true);
        return false;
    }
    std::lock_guard<std::mutex> lk(confMutex());
    copyField(field, text);
    return true;
}

}  // namespace

void setAlertHandler(void (*handler)(const char* text))
{
    alertHandler = handler;
}

void alertMessage(const char* text, bool win)
{
    copyField(globalValue.confErrorMsg, text);
    void (*handler)(const char*) = alertHandler;
    if (win && handler != nullptr) {
        handler(text);
    } else {
        writeLog(2, "%s", text);
    }
}

int exportAdd(bool win)
{
    std::lock_guard<std::recursive_mutex> one(settingsLock());
    ReadOnlyGlobalT& g = readOnlyGlobal;
    bool path = given(g.tryExportStrLocalPath);
    bool space = given(g.tryExportStrLocalSpace);
    bool remote = given(g.tryExportStrRemotePath);

    if (!path && !space && !remote) {
        alertMessage("Please enter the correct content.", win);
        return WX_BAD_VALUE;
    }
    if (checkLocalPair(path, space, g.tryExportStrLocalPath, g.dumpStrLocalPath,
                       "JSON path cannot be the same as Dump path!", win) != 0) {
        return WX_BAD_VALUE;
    }

    int first = 0;  // the first refusal, of a part kept for later
    if (path) {
        int rc = applyStore(STORE_JSON, g.tryExportStrLocalPath, g.tryExportStrLocalSpace, win);
        if (!settle(PART_JSON_STORE, rc, g.tryExportStrLocalPath, g.tryExportStrLocalSpace, win, first)) return rc;
    }
    if (remote) {
        int rc = applyCollector(g.tryExportStrRemotePath, win);
        if (!settle(PART_COLLECTOR, rc, g.tryExportStrRemotePath, nullptr, win, first)) return rc;
    }

    refreshConf();
    return first;
}

int dumpAdd(bool win)
{
    std::lock_guard<std::recursive_mutex> one(settingsLock());
    ReadOnlyGlobalT& g = readOnlyGlobal;
    bool path = given(g.tryDumpStrLocalPath);
    bool space = given(g.tryDumpStrLocalSpace);
    bool remote = given(g.tryDumpStrRemotePath);
    bool trun = given(g.tryDumpStrTrunLen);

    if (!path && !space && !remote && !trun) {
        alertMessage("Please enter the correct content.", win);
        return WX_BAD_VALUE;
    }
    if (checkLocalPair(path, space, g.tryDumpStrLocalPath, g.exportStrLocalPath,
                       "Dump path cannot be the same as JSON path!", win) != 0) {
        return WX_BAD_VALUE;
    }

    if (trun) {
        int len = wholeNumber(g.tryDumpStrTrunLen);
        if (len < 0) {
            alertMessage("Truncate length is not a number!", win);
            return WX_BAD_VALUE;
        }
        if (len < MIN_TRUNC_LEN) {
            alertMessage("Truncate length must be large than 64", win);
            return WX_BAD_VALUE;
        }
        g.maxLength = len;
        // Saved with it, with or without a local store: the length applies
        // to forwarded frames too.
        std::lock_guard<std::mutex> lk(confMutex());
        copyField(g.dumpStrTrunLen, g.tryDumpStrTrunLen);
    }

    int first = 0;
    if (path) {
        int rc = applyStore(STORE_PKTS, g.tryDumpStrLocalPath, g.tryDumpStrLocalSpace, win);
        if (!settle(PART_PKT_STORE, rc, g.tryDumpStrLocalPath, g.tryDumpStrLocalSpace, win, first)) return rc;
    }
    if (remote) {
        int rc = applyReceiver(g.tryDumpStrRemotePath, win);
        if (!settle(PART_RECEIVER, rc, g.tryDumpStrRemotePath, nullptr, win, first)) return rc;
    }

    refreshConf();
    return first;
}

bool refusedForNow(int rc)
{
    return rc == WX_NO_NAME || rc == WX_NO_FOLDER || rc == WX_WRITE_FAILED || rc == WX_NO_SPACE;
}

std::recursive_mutex& settingsLock()
{
    static std::recursive_mutex lock;
    return lock;
}

int exportOffer(const char* path, const char* space, const char* remote)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    if (!offer(g.tryExportStrLocalPath, path, "Wrong directionary!") ||
        !offer(g.tryExportStrLocalSpace, space, "Local space is not a number!") ||
        !offer(g.tryExportStrRemotePath, remote, "Invalid address")) {
        return -1;
    }
    return exportAdd(true) == 0 ? 0 : -1;
}

int dumpOffer(const char* path, const char* space, const char* remote, const char* trun)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    if (!offer(g.tryDumpStrLocalPath, path, "Wrong directionary!") ||
        !offer(g.tryDumpStrLocalSpace, space, "Local space is not a number!") ||
        !offer(g.tryDumpStrRemotePath, remote, "Invalid domain or address") ||
        !offer(g.tryDumpStrTrunLen, trun, "Truncate length is not a number!")) {
        return -1;
    }
    return dumpAdd(true) == 0 ? 0 : -1;
}

int endpointAdd(const char* addrText, int protoIdx)
{
    HostInfoT host;
    char busiId[16];
    getRandStrId(busiId);
    if (std::strlen(addrText) >= sizeof host.addrStr || makeHostInfo(&host, addrText, protoIdx, busiId) != 0) {
        alertMessage("Invalid IP address or PORT", true);
        return -1;
    }
    // Each new endpoint has an id of its own, so the table would take the
    // same endpoint twice; the dialog treats one that differs only in its id
    // as existing.
    bool exists = false;
    HostInfoT old;
    for (int i = 0; !exists && getHostEntry(i, &old) == 0; ++i) {
        std::memcpy(old.busiId, host.busiId, sizeof old.busiId);
        exists = std::memcmp(&old, &host, sizeof old) == 0;
    }
    if (exists || addNewHostInfo(&host) != 0) {
        alertMessage("Host Already exists or Maximum exceeded", true);
        return -1;
    }
    refreshConf();
    return 0;
}

int endpointDelete(int row)
{
    if (row < 0 || row >= readOnlyGlobal.cntHost) {
        alertMessage("Please choice a row", true);
        return -1;
    }
    deleteHostInfo(row);
    refreshConf();
    return 0;
}

namespace {

bool anyGiven(std::initializer_list<char*> fields)
{
    for (char* f : fields) {
        if (!isEmptyString(f)) return true;
    }
    return false;
}

// The monitoring center of the file, taken up without a window; 0, or the
// refusal.
int takeUpCenter()
{
    // Take it up only when its host resolves.
    char host[sizeof readOnlyGlobal.kestrelStrRemotePath];
    sockaddr_storage center;
    int rc = resolve(bareHost(readOnlyGlobal.kestrelStrRemotePath, host, sizeof host), 80, &center);
    if (rc != 0) return rc;
    const IpAddrT a = sockAddrIp(center);
    bool unspecified = a == IpAddrT {} || a == ipFromV4(0);
    return unspecified ? WX_BAD_VALUE : kestrelConfirm(false);
}

// One more try of a kept part: 0, or the refusal.
int retryPart(PartT part, char* text, char* space)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    switch (part) {
    case PART_JSON_STORE:
        if (std::strcmp(text, g.dumpStrLocalPath) == 0) {
            alertMessage("JSON path cannot be the same as Dump path!", false);
            return WX_BAD_VALUE;
        }
        return applyStore(STORE_JSON, text, space, false);
    case PART_COLLECTOR: return applyCollector(text, false);
    case PART_PKT_STORE:
        if (std::strcmp(text, g.exportStrLocalPath) == 0) {
            alertMessage("Dump path cannot be the same as JSON path!", false);
            return WX_BAD_VALUE;
        }
        return applyStore(STORE_PKTS, text, space, false);
    case PART_RECEIVER: return applyReceiver(text, false);
    case PART_CENTER: {
        std::lock_guard<std::mutex> lk(confMutex());
        copyField(g.kestrelStrRemotePath, text);
    }
        return takeUpCenter();
    case NUM_PART: break;
    }
    return WX_BAD_VALUE;
}

// Whether the retry thread runs; guarded by settingsLock.
bool retrying = false;

void retryLoop()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(retrySeconds()));
        std::lock_guard<std::recursive_mutex> one(settingsLock());
        if (retryHeldSettings() == 0) {
            retrying = false;
            return;
        }
    }
}

}  // namespace

int retryHeldSettings()
{
    std::lock_guard<std::recursive_mutex> one(settingsLock());
    int kept = 0;
    bool changed = false;
    for (int p = 0; p < NUM_PART; ++p) {
        PartT part = static_cast<PartT>(p);
        char text[CONF_TEXT_SIZE], space[CONF_TEXT_SIZE] = "";
        if (!heldConfText(partKeys[p].key, text, sizeof text)) continue;
        if (partKeys[p].spaceKey != nullptr) heldConfText(partKeys[p].spaceKey, space, sizeof space);
        char shown[CONF_TEXT_SIZE];
        copyField(shown, text);
        int rc = retryPart(part, text, space);
        if (rc != 0 && refusedForNow(rc)) {
            ++kept;
            continue;
        }
        release(part);
        changed = true;
        if (rc == 0) {
            writeLog(1, "%s=%s applied", partKeys[p].key, shown);
        } else {
            writeLog(2, "%s=%s refused; no longer kept", partKeys[p].key, shown);
        }
    }
    if (changed) refreshConf();
    return kept;
}

int loadConf()
{
    if (readConfFile() != 0) return -1;
    std::lock_guard<std::recursive_mutex> one(settingsLock());
    ReadOnlyGlobalT& g = readOnlyGlobal;
    if (g.findMac[0] != '\0') findNicCard();
    // The stores and channels start only through their validators, after all
    // of their values (and the saved file numbers) are in. A validator runs
    // when any of its values is saved: a collector or a truncation length
    // without a local store is a setting too, and the rewrite below would
    // otherwise drop it.
    if (anyGiven({g.tryExportStrLocalPath, g.tryExportStrLocalSpace, g.tryExportStrRemotePath})) exportAdd(false);
    if (anyGiven({g.tryDumpStrLocalPath, g.tryDumpStrLocalSpace, g.tryDumpStrRemotePath, g.tryDumpStrTrunLen})) {
        dumpAdd(false);
    }
    if (!isEmptyString(g.kestrelStrRemotePath)) {
        int rc = takeUpCenter();
        keptForLater(PART_CENTER, rc, g.kestrelStrRemotePath, nullptr, false);
    }

    refreshConf();
    int kept = 0;
    char text[CONF_TEXT_SIZE];
    for (const PartKeysT& p : partKeys) kept += heldConfText(p.key, text, sizeof text) ? 1 : 0;
    if (kept > 0 && !retrying) {
        retrying = true;
        std::thread(retryLoop).detach();
    }
    return 0;
}
