// The SYN watch: a second, small capture on the card being captured, which
// sees only the SYNs that open TCP connections, each at once (immediate
// mode). The main capture hands its frames over in blocks, up to a second
// late, which keeps it cheap at high rates; a short connection's socket is
// gone within a millisecond. The watch hands each SYN to the attribution,
// whose lookup then starts while the socket is still there.
#include "capture/syn_watch.h"

#include <pcap/pcap.h>

#include <cstring>
#include <thread>

#include "analysis/attribution.h"
#include "capture/engine.h"
#include "core/util.h"
#include "platform/platform.h"

namespace {

// SYN without ACK, IPv4 or IPv6 (TCP right behind the fixed header).
constexpr const char* SYN_FILTER =
    "(ip and tcp and (tcp[tcpflags] & (tcp-syn|tcp-ack)) == tcp-syn) or "
    "(ip6 and ip6[6] == 6 and (ip6[53] & 0x12) == 0x02)";
constexpr int WATCH_TIMEOUT_MS = 200;  // a look at the card's name this often at least

void takeSyn(u_char*, const pcap_pkthdr* hdr, const u_char* data)
{
    if (data != nullptr) hintFrame(data, hdr->caplen);
}

pcap_t* openWatch(const char* name)
{
    char err[PCAP_ERRBUF_SIZE] = {0};
    pcap_t* p = pcap_create(name, err);
    if (p == nullptr) return nullptr;
    pcap_set_snaplen(p, 128);
    pcap_set_immediate_mode(p, 1);
    pcap_set_timeout(p, WATCH_TIMEOUT_MS);
    pcap_set_buffer_size(p, 1 << 20);
    bpf_program filter {};
    if (pcap_activate(p) < 0 || pcap_datalink(p) != DLT_EN10MB ||
        pcap_compile(p, &filter, SYN_FILTER, 1, PCAP_NETMASK_UNKNOWN) != 0) {
        pcap_close(p);
        return nullptr;
    }
    const int rc = pcap_setfilter(p, &filter);
    pcap_freecode(&filter);
    if (rc != 0) {
        pcap_close(p);
        return nullptr;
    }
    return p;
}

void watchThread()
{
    char current[1024] = "", name[1024];
    pcap_t* p = nullptr;
    bool failedLogged = false;
    while (readOnlyGlobal.runFlag) {
        if (!captureDevice(name, sizeof name)) name[0] = '\0';
        if (std::strcmp(name, current) != 0) {
            if (p != nullptr) pcap_close(p);
            p = name[0] != '\0' ? openWatch(name) : nullptr;
            if (p == nullptr && name[0] != '\0' && !failedLogged) {
                writeLog(2, "the SYN watch on %s cannot be opened: short connections may go without their program",
                         name);
                failedLogged = true;
            }
            std::snprintf(current, sizeof current, "%s", p != nullptr ? name : "");
        }
        if (p == nullptr) {
            platform::sleepMs(WATCH_TIMEOUT_MS);
            continue;
        }
        if (pcap_dispatch(p, 64, takeSyn, nullptr) < 0) {
            pcap_close(p);  // the card went: opened again with the main capture's
            p = nullptr;
            current[0] = '\0';
            platform::sleepMs(1000);
        }
    }
    if (p != nullptr) pcap_close(p);
}

}  // namespace

void startSynWatch() { std::thread(watchThread).detach(); }
