#include "settings/center.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "capture/engine.h"
#include "core/conf.h"
#include "core/global_define.h"
#include "core/util.h"
#include "output/channel.h"
#include "settings/settings.h"

namespace {

constexpr int KESTREL_PORT = 9015;  // the center takes records on this UDP port
constexpr int REGISTER_PORT = 80;
constexpr const char* REGISTER_PATH = "/cgi-bin/addWXWatchPoint.cgi";
constexpr int BUILD_NUMBER = 26963;
constexpr int ERRBUF_SIZE = 4096;
constexpr int REQUEST_SIZE = 2048;
constexpr int CHUNK_SIZE = 2048;
constexpr int RESPONSE_SIZE = 4000;
// The whole exchange (connect, send, reply) must end within this, so that a
// center that accepts and never answers cannot freeze start-up or the dialog.
constexpr int EXCHANGE_TIMEOUT_MS = 5000;

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for events on fd until the deadline; the poll result (0 = time-out).
int waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p {fd, events, 0};
        int rc = poll(&p, 1, remainingMs(deadline));
        if (rc >= 0 || errno != EINTR) return rc;
    }
}

// connect with the deadline; 0, or -1 with errno set.
int connectBy(int fd, const sockaddr_storage& addr, Clock::time_point deadline)
{
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sockAddrLen(addr)) == 0) return 0;
    if (errno != EINPROGRESS) return -1;
    int rc = waitFor(fd, POLLOUT, deadline);
    if (rc == 0) errno = ETIMEDOUT;
    if (rc <= 0) return -1;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

// The decimal number at text the way atoi reads it, kept within int.
int leadingInt(const char* text)
{
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

}  // namespace

int doPost(const char* host, int port, const char* path, const char* query, char* response, char* errbuf)
{
    response[0] = '\0';
    // The center as "host:port" in the log, "[IPv6]:port" for an IPv6 one.
    char name[256];
    host = bareHost(host, name, sizeof name);
    char peer[300];
    hostPortText(host, port, peer, sizeof peer);
    sockaddr_storage addr {};
    if (getDomainAddr(host, port, &addr) != 0) {
        std::snprintf(errbuf, ERRBUF_SIZE, "Get domain address error");
        writeLog(2, "Get domain %s address error", peer);
        return -1;
    }

    char request[REQUEST_SIZE];
    int reqLen = std::snprintf(request, sizeof request,
                               "GET %s?method=get%s HTTP/1.0\r\n"
                               "Content-Type: application/x-www-form-urlencoded; charset=UTF-8\r\n"
                               "Accept: application/json, text/javascript, */*; q=0.01\r\n"
                               "Accept-Encoding: gzip, deflate\r\n"
                               "Accept-Language: zh-CN,zh;q=0.9\r\n"
                               "Content-length: %d\r\n\r\n%s",
                               path, query, 0, "");
    if (reqLen < 0 || reqLen >= REQUEST_SIZE) {
        // A cut request would carry a wrong query; send none.
        std::snprintf(errbuf, ERRBUF_SIZE, "Request is longer than %d bytes", REQUEST_SIZE - 1);
        writeLog(2, "Request to %s is longer than %d bytes", peer, REQUEST_SIZE - 1);
        return -1;
    }

    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(EXCHANGE_TIMEOUT_MS);
    int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || connectBy(fd, addr, deadline) != 0) {
        int err = errno;
        if (fd >= 0) close(fd);
        std::snprintf(errbuf, ERRBUF_SIZE, "Can not connect server");
        writeLog(2, "Can not connect %s", peer);
        writeLog(2, "connect to %s: %s", peer, std::strerror(err));
        return -1;
    }

    // A fresh connection takes 2 KiB at once; the loop only guards against
    // a short send.
    int sent = 0;
    while (sent < reqLen) {
        ssize_t n = send(fd, request + sent, static_cast<std::size_t>(reqLen - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN && waitFor(fd, POLLOUT, deadline) > 0) continue;
        int err = n < 0 && errno != EAGAIN ? errno : ETIMEDOUT;
        close(fd);
        std::snprintf(errbuf, ERRBUF_SIZE, "Can not send request to server");
        writeLog(2, "send to %s: %s", peer, std::strerror(err));
        return -1;
    }

    // Chunks before the first one that holds the end of the headers are
    // dropped; after it, whole chunks are kept while the total stays below
    // RESPONSE_SIZE, and reading goes on until the peer closes.
    char chunk[CHUNK_SIZE];
    int kept = 0;
    long received = 0;
    bool inBody = false;
    bool timedOut = false;
    for (;;) {
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) break;
            if (waitFor(fd, POLLIN, deadline) > 0) continue;
            timedOut = true;
            break;
        }
        received += n;
        if (!inBody) inBody = memmem(chunk, static_cast<std::size_t>(n), "\r\n\r\n", 4) != nullptr;
        if (inBody && kept + n < RESPONSE_SIZE) {
            std::memcpy(response + kept, chunk, static_cast<std::size_t>(n));
            kept += static_cast<int>(n);
        }
    }
    close(fd);
    response[kept] = '\0';

    if (timedOut && received == 0) {
        std::snprintf(errbuf, ERRBUF_SIZE, "Server did not answer");
        writeLog(2, "%s did not answer within %d s", peer, EXCHANGE_TIMEOUT_MS / 1000);
        return -1;
    }
    if (timedOut) {
        // What came before the time-out is all there will be.
        writeLog(2, "%s did not close the connection within %d s", peer, EXCHANGE_TIMEOUT_MS / 1000);
    }
    return kept;
}

int chkKestrelNicDid(const char* host, char* errbuf)
{
    CardInfoT card {};
    if (getCard(globalValue.selectRow, &card) != 0) card.address[0] = '\0';

    // Values go in as they are, without URL encoding; the fields are short
    // enough that the query always fits.
    char query[1024];
    std::snprintf(query, sizeof query, "&ip=%s&mac=%s&host=%s&user=%s&email=%s&password=%s&kestrel=%d&ver=2.0.%d",
                  card.address, readOnlyGlobal.findMac, readOnlyGlobal.hostname, readOnlyGlobal.hostuser, "", "",
                  readOnlyGlobal.isKestrel, BUILD_NUMBER);

    char response[RESPONSE_SIZE];
    int n = doPost(host, REGISTER_PORT, REGISTER_PATH, query, response, errbuf);
    if (n < 0) return -1;
    if (n == 0) {
        std::snprintf(errbuf, ERRBUF_SIZE, "Server response is empty");
        return -1;
    }
    response[n < RESPONSE_SIZE ? n : RESPONSE_SIZE - 1] = '\0';

    const char* at = std::strstr(response, ":did:");
    if (at == nullptr) {
        std::snprintf(errbuf, ERRBUF_SIZE, "get nic %s did error %s", readOnlyGlobal.findMac, response);
        writeLog(3, "%s", errbuf);
        return -1;
    }
    readOnlyGlobal.did = leadingInt(at + 5);
    writeLog(1, "nic %s did is %d\n", readOnlyGlobal.findMac, static_cast<int>(readOnlyGlobal.did));
    return 0;
}

int kestrelConfirm(bool win)
{
    std::lock_guard<std::recursive_mutex> one(settingsLock());
    char msg[ERRBUF_SIZE];
    if (win) {
        // The dialog stored the entry as typed; keep its host part only.
        char host[sizeof readOnlyGlobal.kestrelStrRemotePath];
        getDomainFromUrl(readOnlyGlobal.kestrelStrRemotePath, host, sizeof host);
        std::memcpy(readOnlyGlobal.kestrelStrRemotePath, host, sizeof host);
    }
    const char* center = readOnlyGlobal.kestrelStrRemotePath;
    char name[sizeof readOnlyGlobal.kestrelStrRemotePath];
    const char* host = bareHost(center, name, sizeof name);

    sockaddr_storage addr {};
    if (getDomainAddr(host, KESTREL_PORT, &addr) != 0) {
        std::snprintf(msg, sizeof msg, "Parse Tkestrel domain %s failed", center);
        alertMessage(msg, win);
        return WX_NO_NAME;
    }
    readOnlyGlobal.kestrelAddress = addr;
    readOnlyGlobal.kestrelPort = KESTREL_PORT;
    readOnlyGlobal.kestrelNumIP.store(sockAddrIp(addr));

    // Records go to the center from now on.
    readOnlyGlobal.expPort = KESTREL_PORT;
    readOnlyGlobal.expNumIP.store(readOnlyGlobal.kestrelNumIP.load());
    readOnlyGlobal.expAddress = addr;
    // A collector kept from start-up would take them back.
    releaseConfText("exportRemote");
    releaseConfText("kestrel");
    {
        // A store thread may be saving the settings right now.
        std::lock_guard<std::mutex> lk(confMutex());
        hostPortText(host, KESTREL_PORT, readOnlyGlobal.exportStrRemotePath,
                     sizeof readOnlyGlobal.exportStrRemotePath);
    }
    if (initExpSock() != 0) {
        alertMessage("Init Tkestrel socket failed", win);
        return -1;
    }

    if (!win && readOnlyGlobal.did != 0) {
        writeLog(1, "Read did %d from conf file", static_cast<int>(readOnlyGlobal.did));
    } else if (chkKestrelNicDid(center, msg) != 0) {
        alertMessage(msg, win);
        return -1;
    }

    if (win) refreshConf();
    return 0;
}
