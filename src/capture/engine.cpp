// Network cards: discovery of the usable cards and the capture thread.
#include "capture/engine.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "capture/ring.h"
#include "capture/savefile.h"
#include "core/cards.h"
#include "core/util.h"
#include "output/store.h"
#include "platform/platform.h"

// ---- card discovery ----------------------------------------------------------

namespace {

// Devices list more addresses than any card needs; a runaway list stops here.
constexpr int MAX_DEVICE_ADDRESSES = 100;

template <std::size_t N>
void copyCut(char (&dst)[N], const char* src)
{
    std::size_t i = 0;
    for (; src[i] != '\0' && i + 1 < N; ++i) {
        dst[i] = src[i];
    }
    dst[i] = '\0';
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// Applies one report line to the card being filled; true when the line
// completed it.
bool parseReportLine(const char* line, CardInfoT& card)
{
    if (static_cast<unsigned char>(line[0]) > ' ') {
        // A new adapter starts afresh, so one without a physical-address line
        // never inherits that of an adapter without IPv4 listed before it.
        std::memset(&card, 0, sizeof card);
        copyCut(card.displayName, line);
    }

    int dashes = 0;
    for (const char* p = line; *p != '\0'; ++p) {
        dashes += *p == '-';
    }
    const char* colon = std::strchr(line, ':');
    if (dashes == 5 && colon != nullptr) {
        std::size_t n = 0;
        for (const char* p = colon + 1; *p != '\0' && n + 1 < sizeof card.deviceId; ++p) {
            if (isHexDigit(*p)) {
                card.deviceId[n++] = *p;
            }
        }
        card.deviceId[n] = '\0';
    }

    if ((std::strstr(line, "IPv4") == nullptr && std::strstr(line, "IPv6") == nullptr) || colon == nullptr) {
        return false;
    }
    // The address follows ": "; a note such as "(Preferred)" may trail it,
    // and an IPv6 one a zone ("%eth0").
    copyCut(card.address, colon[1] != '\0' ? colon + 2 : colon + 1);
    if (char* note = std::strpbrk(card.address, "(%")) {
        *note = '\0';
    }
    if (std::strstr(line, "IPv4") != nullptr) {
        u32 ip = 0;
        if (getIPFromStr(card.address, &ip) != 0) return false;
        card.ip = ipFromV4(ip);
        return true;
    }
    return parseIp(card.address, &card.ip) == 0;
}

int fillCardNames(CardInfoT* cards, int cnt)
{
    pcap_if_t* devs = nullptr;
    char err[PCAP_ERRBUF_SIZE];
    if (pcap_findalldevs(&devs, err) < 0) {
        writeLog(3, "find all dev failed");
        return -1;
    }
    matchCardNames(cards, cnt, devs);
    pcap_freealldevs(devs);
    return 0;
}

}  // namespace

int parseAdapterReport(const char* text, int len, CardInfoT* cards, int maxCards)
{
    if (cards == nullptr || maxCards <= 0) {
        return 0;
    }
    std::memset(cards, 0, sizeof(CardInfoT) * maxCards);
    if (text == nullptr || len <= 0) {
        return 0;
    }
    if (len > ADAPTER_REPORT_LIMIT) {
        len = ADAPTER_REPORT_LIMIT;
    }

    char line[ADAPTER_REPORT_LIMIT + 1];
    int n = 0;
    int pos = 0;
    while (pos < len && text[pos] != '\0' && n < maxCards) {
        if (text[pos] == '\r' || text[pos] == '\n') {
            ++pos;
            continue;
        }
        int start = pos;
        while (pos < len && text[pos] != '\0' && text[pos] != '\r' && text[pos] != '\n') {
            ++pos;
        }
        std::memcpy(line, text + start, pos - start);
        line[pos - start] = '\0';
        if (parseReportLine(line, cards[n])) {
            ++n;
        }
    }
    return n;
}

void matchCardNames(CardInfoT* cards, int cnt, const pcap_if_t* devs)
{
    for (const pcap_if_t* dev = devs; dev != nullptr; dev = dev->next) {
        if (dev->name == nullptr) {
            continue;
        }
        int seen = 0;
        for (const pcap_addr_t* a = dev->addresses; a != nullptr && seen < MAX_DEVICE_ADDRESSES;
             a = a->next, ++seen) {
            // Each family's address as it is; others hold unrelated bytes.
            if (a->addr == nullptr) continue;
            IpAddrT ip {};
            if (a->addr->sa_family == AF_INET) {
                sockaddr_in sin;
                std::memcpy(&sin, a->addr, sizeof sin);
                if (sin.sin_addr.s_addr == 0) continue;
                ip = ipFromV4(ntohl(sin.sin_addr.s_addr));
            } else if (a->addr->sa_family == AF_INET6) {
                sockaddr_in6 sin6;
                std::memcpy(&sin6, a->addr, sizeof sin6);
                std::memcpy(ip.b, sin6.sin6_addr.s6_addr, sizeof ip.b);
                if (ip == IpAddrT {}) continue;
            } else {
                continue;
            }
            int i = 0;
            while (i < cnt && cards[i].ip != ip) {
                ++i;
            }
            if (i < cnt) {
                copyCut(cards[i].cardName, dev->name);
                break;
            }
        }
    }
}

int keepNamedCards(CardInfoT* cards, int cnt)
{
    int kept = 0;
    for (int i = 0; i < cnt; ++i) {
        if (cards[i].cardName[0] == '\0') {
            continue;
        }
        if (kept != i) {
            cards[kept] = cards[i];
        }
        ++kept;
    }
    for (int i = kept; i < cnt; ++i) {
        std::memset(&cards[i], 0, sizeof cards[i]);
    }
    return kept;
}

int findCardByMac(const CardInfoT* cards, int cnt, const char* mac)
{
    if (mac == nullptr || mac[0] == '\0') {
        return -1;
    }
    for (int i = 0; i < cnt; ++i) {
        if (std::strstr(cards[i].deviceId, mac) != nullptr) {
            return i;
        }
    }
    return -1;
}

int getCardInfo()
{
    char report[ADAPTER_REPORT_LIMIT + 1];
    int len = platform::adapterReport(report, sizeof report);
    if (len < 0) {
        return -1;
    }
    CardInfoT cards[MAX_CARD];
    int cnt = parseAdapterReport(report, len, cards, MAX_CARD);
    fillCardNames(cards, cnt);
    cnt = keepNamedCards(cards, cnt);

    std::lock_guard<std::mutex> lock(cardListMutex());
    std::memcpy(readOnlyGlobal.cardInfo, cards, sizeof cards);
    readOnlyGlobal.cntCard = cnt;
    cardListChanged();
    return 0;
}

int getCardName()
{
    std::lock_guard<std::mutex> lock(cardListMutex());
    const int named = fillCardNames(readOnlyGlobal.cardInfo, listedCards());
    cardListChanged();
    return named;
}

void checkNetCard()
{
    std::lock_guard<std::mutex> lock(cardListMutex());
    readOnlyGlobal.cntCard = keepNamedCards(readOnlyGlobal.cardInfo, listedCards());
    cardListChanged();
}

int findNicCard()
{
    globalValue.newSelect = 0;
    globalValue.selectRow = -1;
    const char* mac = readOnlyGlobal.findMac;
    if (mac[0] == '\0') {
        return 0;
    }
    writeLog(1, "try to find %s", mac);

    char address[sizeof(CardInfoT::address)];
    int row;
    {
        std::lock_guard<std::mutex> lock(cardListMutex());
        row = findCardByMac(readOnlyGlobal.cardInfo, listedCards(), mac);
        if (row >= 0) {
            copyCut(address, readOnlyGlobal.cardInfo[row].address);
        }
    }
    if (row >= 0) {
        // The row first: the capture thread opens selectRow once it sees newSelect.
        globalValue.selectRow = row;
        globalValue.newSelect = 1;
        writeLog(1, "find card %s match mac %s", address, mac);
    }
    return 1;
}

// ---- the capture thread --------------------------------------------------------
//
// Reads frames from the selected card, or from a capture file, and offers them
// to the packet ring.

namespace {

// Replaced and read by the capture thread; the lock keeps a stop's
// pcap_breakloop from another thread off a handle being closed.
pcap_t* caphandler = nullptr;
std::mutex handleLock;
char handleName[1024];  // the device of caphandler
bool fromFile = false;
char fileName[1024];
SavefileReader savefile;
bool permissionLogged = false;
std::atomic<int> state {WX_CAPTURE_WAITING};  // set by the capture thread
// Drops over every handle opened: those closed, plus the open one's as last
// read. The library counts from zero on each open, so a card that went away
// and came back would otherwise hide its losses.
std::atomic<unsigned> libraryDrops {0};
unsigned closedHandleDrops = 0;  // the capture thread's alone, as the two below
unsigned openHandleDrops = 0;
unsigned openInterfaceDrops = 0;

// A stop: the capture thread takes no more frames and ends the input.
std::atomic<bool> stopRequested {false};
std::mutex napLock;
std::condition_variable napCv;

// Sleeps ms, less when a stop comes meanwhile; false then.
bool napUnlessStopped(int ms)
{
    std::unique_lock<std::mutex> lk(napLock);
    return !napCv.wait_for(lk, std::chrono::milliseconds(ms), [] { return stopRequested.load(); });
}
std::atomic<std::uint64_t> capturedFrames {0};  // written by the capture thread alone
double readingSeconds = 0;                        // set before the end of a file is told
std::uint64_t emptyRecords = 0;                   // likewise
bool readToEnd = true;                            // likewise

// Kernel buffer of a live capture: room for bursts while the ring is drained.
constexpr int CAPTURE_BUFFER_BYTES = 16 << 20;
constexpr int READ_TIMEOUT_MS = 1000;
constexpr std::uint32_t STATS_MS = 1000;
constexpr std::uint32_t LOSS_LOG_MS = 10000;

// Reads the open handle's drops into libraryDrops. The library reads the
// interface's own count from the card's statistics, which a card that has
// gone away no longer has (the count it gives then is nonsense): its last
// reading stands.
void readHandleDrops(bool cardGone)
{
    pcap_stat st {};
    if (caphandler == nullptr || pcap_stats(caphandler, &st) != 0) return;
    if (!cardGone) openInterfaceDrops = st.ps_ifdrop;
    openHandleDrops = st.ps_drop + openInterfaceDrops;
    libraryDrops = closedHandleDrops + openHandleDrops;
}

// Takes the handle's drops into the sum and closes it.
void closeHandle(bool cardGone)
{
    if (caphandler == nullptr) return;
    readHandleDrops(cardGone);
    closedHandleDrops += openHandleDrops;
    openHandleDrops = 0;
    openInterfaceDrops = 0;
    libraryDrops = closedHandleDrops;
    std::lock_guard<std::mutex> lk(handleLock);
    pcap_close(caphandler);
    caphandler = nullptr;
}

// The library's drop count is read once a second (the count of the stop
// line comes from here); once per ten seconds, and only when something was
// lost since the last line, the log says how many frames the full ring and
// the capture library dropped.
void checkLosses(std::uint32_t& lastStats, std::uint32_t& lastLog, std::uint64_t& lastRing, unsigned& lastLib)
{
    std::uint32_t now = platform::tickCountMs();
    if (now - lastStats < STATS_MS) return;
    lastStats = now;
    readHandleDrops(false);
    if (now - lastLog < LOSS_LOG_MS) return;
    lastLog = now;
    std::uint64_t ring = ringDropCount();
    unsigned lib = libraryDrops;
    if (ring != lastRing || lib != lastLib) {
        writeLog(2, "frames lost: %llu on the full packet ring, %u dropped by the capture library",
                 static_cast<unsigned long long>(ring), lib);
        lastRing = ring;
        lastLib = lib;
    }
}

// One frame from the card, in the capture library's batch.
void takeFrame(u_char*, const pcap_pkthdr* hdr, const u_char* data)
{
    capturedFrames.store(capturedFrames.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (data == nullptr || hdr->caplen == 0) return;
    setCaptureSecond(hdr->ts.tv_sec);
    pcap_pkthdr copy = *hdr;
    packet_write(&copy, data);
}

int readFile()
{
    time_t period = -1;
    std::uint64_t frames = 0;
    std::uint8_t* data = nullptr;
    pcap_pkthdr* hdr = nullptr;
    bool inPlace = false;
    for (;;) {
        int rc = savefile.next(&hdr, &data, &inPlace);
        if (rc == PCAP_ERROR_BREAK) break;  // end of the file
        if (rc < 0) {
            // The record that could not be read, numbered from 1 as other
            // tools number frames, empty records included.
            readToEnd = false;
            writeLog(3, "read %s stopped at frame %llu: %s", fileName,
                     static_cast<unsigned long long>(frames + emptyRecords + 1), savefile.error());
            break;
        }
        if (rc == 0) continue;
        // A record may hold no bytes at all (the format allows it); it says
        // nothing, and the frames after it are still to be read.
        if (data == nullptr || hdr->caplen == 0) {
            emptyRecords++;
            continue;
        }
        // The scan follows capture time: every new period is marked in the
        // ring, also when the frame that starts it is filtered out.
        time_t p = getGlobalTime(hdr->ts.tv_sec);
        if (p != period) {
            packet_mark_time(hdr->ts);
            period = p;
        }
        frames++;
        if (inPlace) {
            packet_write_in_place(hdr, data);  // the reader's own header, ours to cut
        } else {
            pcap_pkthdr copy = *hdr;
            packet_write(&copy, data);
        }
    }
    timespec cpu {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    readingSeconds = cpu.tv_sec + cpu.tv_nsec / 1e9;
    packet_end_input(frames);
    return 0;
}

}  // namespace

WX_CAPTURE_STATE captureState() { return static_cast<WX_CAPTURE_STATE>(state.load(std::memory_order_relaxed)); }
unsigned captureLibraryDrops() { return libraryDrops; }
std::uint64_t capturedFrameCount() { return capturedFrames.load(std::memory_order_relaxed); }
double fileReadingSeconds() { return readingSeconds; }
std::uint64_t fileEmptyRecords() { return emptyRecords; }
bool fileReadToEnd() { return readToEnd; }

int openCaptureFile(const char* path, char* err, int errSize)
{
    // The file is read through a large buffer: with the library's default
    // every few frames cost a read call.
    FILE* fp = std::fopen(path, "rb");
    if (fp == nullptr) {
        std::snprintf(err, errSize, "cannot read capture file %s: %s", path, std::strerror(errno));
        return -1;
    }
    static char buffer[1 << 20];  // one capture file at a time
    std::setvbuf(fp, buffer, _IOFBF, sizeof buffer);
    char errbuf[PCAP_ERRBUF_SIZE] = {0};
    pcap_t* p = pcap_fopen_offline(fp, errbuf);
    if (p == nullptr) {
        std::fclose(fp);
        std::snprintf(err, errSize, "cannot read capture file %s: %s", path, errbuf);
        return -1;
    }
    if (pcap_datalink(p) != DLT_EN10MB) {
        std::snprintf(err, errSize, "capture file %s holds %s frames; only Ethernet captures can be analysed", path,
                      pcap_datalink_val_to_name(pcap_datalink(p)) ? pcap_datalink_val_to_name(pcap_datalink(p))
                                                                   : "unknown");
        pcap_close(p);  // closes fp
        return -1;
    }
    caphandler = p;
    fromFile = true;
    savefile.open(p);
    savefile.setKeeper({packet_written, packet_wait_released});
    std::snprintf(fileName, sizeof fileName, "%s", path);
    return 0;
}

int selectCaptureInterface(const char* name)
{
    std::lock_guard<std::mutex> lock(cardListMutex());
    int cnt = readOnlyGlobal.cntCard;
    for (int i = 0; i < cnt; i++) {
        if (std::strcmp(readOnlyGlobal.cardInfo[i].cardName, name) == 0) {
            globalValue.selectRow = i;
            globalValue.newSelect = 1;
            return 0;
        }
    }
    // A device without an IPv4 address is not listed as a card; capture from
    // it all the same, as an extra entry.
    if (cnt >= MAX_CARD) {
        writeLog(3, "cannot select capture device %s: the card table is full", name);
        return -1;
    }
    CardInfoT& card = readOnlyGlobal.cardInfo[cnt];
    std::memset(&card, 0, sizeof card);
    std::snprintf(card.cardName, sizeof card.cardName, "%s", name);
    std::snprintf(card.displayName, sizeof card.displayName, "%s", name);
    readOnlyGlobal.cntCard = cnt + 1;
    cardListChanged();
    globalValue.selectRow = cnt;
    globalValue.newSelect = 1;
    return 0;
}

namespace {

int openHandle(bool cardGone)
{
    closeHandle(cardGone);
    char name[1024];
    CardInfoT card;
    const int row = globalValue.selectRow;
    int found = getCard(row, &card);
    if (found == 0) {
        std::snprintf(name, sizeof name, "%s", card.cardName);
        // The stores write under the names of the card captured.
        storesFollowCard(row);
    }
    // Until it opens, a card that was open is lost; any other is awaited.
    const int failed = cardGone ? WX_CAPTURE_LOST : WX_CAPTURE_WAITING;
    if (!napUnlessStopped(1000) || found != 0) {
        state = failed;
        return -1;
    }

    char errbuf[PCAP_ERRBUF_SIZE] = {0};
    pcap_t* p = pcap_create(name, errbuf);
    if (p == nullptr) {
        state = failed;
        return -1;
    }
    pcap_set_snaplen(p, 65536);
    pcap_set_promisc(p, 1);
    pcap_set_timeout(p, READ_TIMEOUT_MS);
    pcap_set_buffer_size(p, CAPTURE_BUFFER_BYTES);
    int rc = pcap_activate(p);
    if (rc < 0) {
        const bool denied = rc == PCAP_ERROR_PERM_DENIED || rc == PCAP_ERROR_PROMISC_PERM_DENIED;
        state = denied ? WX_CAPTURE_DENIED : failed;
        if (denied && !permissionLogged) {
            permissionLogged = true;
            writeLog(3,
                     "no permission to capture on %s: run as root or give the executable the capabilities "
                     "cap_net_raw,cap_net_admin (setcap cap_net_raw,cap_net_admin=eip); retrying",
                     name);
        }
        pcap_close(p);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lk(handleLock);
        caphandler = p;
        std::snprintf(handleName, sizeof handleName, "%s", name);
    }
    state = WX_CAPTURE_ON;
    if (!napUnlessStopped(1000)) return -1;
    globalValue.newSelect = 0;
    return 0;
}

}  // namespace

int openPcapHandler() { return openHandle(false); }

bool captureDevice(char* out, std::size_t cap)
{
    std::lock_guard<std::mutex> lk(handleLock);
    if (caphandler == nullptr || fromFile) return false;
    std::snprintf(out, cap, "%s", handleName);
    return true;
}

int captureDrainMs()
{
    // The kernel hands a block of frames over when it is full or has been
    // the current one for a read time-out, so the last frame waits two at
    // most.
    std::lock_guard<std::mutex> lk(handleLock);
    return caphandler != nullptr && !fromFile ? 2 * READ_TIMEOUT_MS + 100 : 0;
}

void stopReading()
{
    {
        std::lock_guard<std::mutex> lk(napLock);
        stopRequested = true;
    }
    napCv.notify_all();
    std::lock_guard<std::mutex> lk(handleLock);
    if (caphandler != nullptr && !fromFile) pcap_breakloop(caphandler);
}

int packetThread(void*)
{
    if (fromFile) return readFile();

    while (globalValue.selectRow < 0 && napUnlessStopped(1000)) {
    }

    std::uint32_t lastStats = platform::tickCountMs(), lastLog = lastStats;
    std::uint64_t lastRing = 0;
    unsigned lastLib = 0;
    while (readOnlyGlobal.runFlag && !stopRequested) {
        if (globalValue.newSelect) openPcapHandler();
        if (caphandler == nullptr) continue;  // the open failed: try again
        checkLosses(lastStats, lastLog, lastRing, lastLib);
        // What the kernel holds, a ring's worth at most, so that a card kept
        // busy still lets the loop look at its flags; none after the read
        // time-out.
        if (pcap_dispatch(caphandler, RING_SLOTS, takeFrame, nullptr) < 0 && !stopRequested) {
            // Card gone or read error: reopen until it is back, saying so
            // once each way.
            char name[sizeof handleName];
            std::snprintf(name, sizeof name, "%s", handleName);
            state = WX_CAPTURE_LOST;
            writeLog(2, "capture on %s failed: %s; opening it again until the card is back", name,
                     pcap_geterr(caphandler));
            while (openHandle(true) != 0 && !stopRequested) {
            }
            if (caphandler != nullptr) writeLog(1, "capture on %s is back", name);
        }
    }
    // The frames taken so far are analysed; the drops go into the stop line.
    closeHandle(false);
    packet_end_input(capturedFrames.load(std::memory_order_relaxed));
    return 0;
}
