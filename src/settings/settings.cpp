// The checks of the JSON export and packet dump settings. They run from the
// dialogs and, without a window, from the configuration loader; each refusal
// is one fixed message, and the first one ends the check.
#include "settings/settings.h"

#include <arpa/inet.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>

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

const char* storeMessage(int rc)
{
    return rc == -2 ? "Write failure!" : rc == -3 ? "No space!" : "Wrong directionary!";
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
    ReadOnlyGlobalT& g = readOnlyGlobal;
    bool path = given(g.tryExportStrLocalPath);
    bool space = given(g.tryExportStrLocalSpace);
    bool remote = given(g.tryExportStrRemotePath);

    if (!path && !space && !remote) {
        alertMessage("Please enter the correct content.", win);
        return -1;
    }
    if (checkLocalPair(path, space, g.tryExportStrLocalPath, g.dumpStrLocalPath,
                       "JSON path cannot be the same as Dump path!", win) != 0) {
        return -1;
    }

    if (path) {
        int mb = checkSpace(g.tryExportStrLocalSpace, win);
        if (mb < 0) return -1;
        int rc = initStoreJson(g.tryExportStrLocalPath, mb);
        if (rc < 0) {
            alertMessage(storeMessage(rc), win);
            return -1;
        }
        std::lock_guard<std::mutex> lk(confMutex());
        copyField(g.exportStrLocalPath, g.tryExportStrLocalPath);
        copyField(g.exportStrLocalSpace, g.tryExportStrLocalSpace);
    }

    if (remote) {
        char host[sizeof g.tryExportStrRemotePath];
        copyField(host, g.tryExportStrRemotePath);
        char* colon = std::strchr(host, ':');
        if (colon == nullptr) {
            alertMessage("Remote port is must not NULL!", win);
            return -1;
        }
        *colon = '\0';
        int port = wholeNumber(colon + 1);
        if (port < 1 || port > 65535) {
            alertMessage("Remote port is not a number!", win);
            return -1;
        }
        sockaddr_in addr;
        if (getDomainAddr(host, port, &addr) != 0) {
            alertMessage("Invalid address", win);
            return -1;
        }
        g.expPort = port;
        g.expAddress = addr;
        g.expNumIP = ntohl(addr.sin_addr.s_addr);
        initExpSock();
        std::lock_guard<std::mutex> lk(confMutex());
        copyField(g.exportStrRemotePath, g.tryExportStrRemotePath);
    }

    refreshConf();
    return 0;
}

int dumpAdd(bool win)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    bool path = given(g.tryDumpStrLocalPath);
    bool space = given(g.tryDumpStrLocalSpace);
    bool remote = given(g.tryDumpStrRemotePath);
    bool trun = given(g.tryDumpStrTrunLen);

    if (!path && !space && !remote && !trun) {
        alertMessage("Please enter the correct content.", win);
        return -1;
    }
    if (checkLocalPair(path, space, g.tryDumpStrLocalPath, g.exportStrLocalPath,
                       "Dump path cannot be the same as JSON path!", win) != 0) {
        return -1;
    }

    if (trun) {
        int len = wholeNumber(g.tryDumpStrTrunLen);
        if (len < 0) {
            alertMessage("Truncate length is not a number!", win);
            return -1;
        }
        if (len < MIN_TRUNC_LEN) {
            alertMessage("Truncate length must be large than 64", win);
            return -1;
        }
        g.maxLength = len;
        // Saved with it, with or without a local store: the length applies
        // to forwarded frames too.
        std::lock_guard<std::mutex> lk(confMutex());
        copyField(g.dumpStrTrunLen, g.tryDumpStrTrunLen);
    }

    if (path) {
        int mb = checkSpace(g.tryDumpStrLocalSpace, win);
        if (mb < 0) return -1;
        int rc = initStorePkts(g.tryDumpStrLocalPath, mb);
        if (rc < 0) {
            alertMessage(storeMessage(rc), win);
            return -1;
        }
        std::lock_guard<std::mutex> lk(confMutex());
        copyField(g.dumpStrLocalPath, g.tryDumpStrLocalPath);
        copyField(g.dumpStrLocalSpace, g.tryDumpStrLocalSpace);
    }

    if (remote) {
        sockaddr_in addr;
        if (getDomainAddr(g.tryDumpStrRemotePath, VXLAN_PORT, &addr) != 0) {
            alertMessage("Invalid domain or address", win);
            return -1;
        }
        g.expPktPort = VXLAN_PORT;
        g.expPktAddress = addr;
        g.expPktNumIP = ntohl(addr.sin_addr.s_addr);
        initPacketSock();
        std::lock_guard<std::mutex> lk(confMutex());
        copyField(g.dumpStrRemotePath, g.tryDumpStrRemotePath);
    }

    refreshConf();
    return 0;
}

int exportOffer(const char* path, const char* space, const char* remote)
{
    ReadOnlyGlobalT& g = readOnlyGlobal;
    if (!offer(g.tryExportStrLocalPath, path, "Wrong directionary!") ||
        !offer(g.tryExportStrLocalSpace, space, "Local space is not a number!") ||
        !offer(g.tryExportStrRemotePath, remote, "Invalid address")) {
        return -1;
    }
    return exportAdd(true);
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
    return dumpAdd(true);
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

}  // namespace

int loadConf()
{
    if (readConfFile() != 0) return -1;
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
    // Take up the monitoring center only when its host resolves.
    sockaddr_in center;
    if (!isEmptyString(g.kestrelStrRemotePath) && getDomainAddr(g.kestrelStrRemotePath, 80, &center) == 0 &&
        center.sin_addr.s_addr != 0) {
        kestrelConfirm(false);
    }

    refreshConf();
    return 0;
}
