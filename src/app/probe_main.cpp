// wirelane-probe: the probe without windows, for servers, tests and
// benchmarks. Captures from a card, or analyses a capture file and exits.
#include <pcap/pcap.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "app/metrics.h"
#include "app/probe_verbs.h"
#include "capture/engine.h"
#include "clickhouse_schema.h"
#include "capture/pipeline.h"
#include "capture/ring.h"
#include "core/util.h"
#include "output/channel.h"
#include "output/clickhouse.h"
#include "output/store.h"
#include "settings/startup.h"

namespace {

const char* const usageHead =
    "Usage: wirelane-probe [OPTION]...\n";
const char* const usageText =
    "\n"
    "Capture and analyse the traffic of the monitored endpoints without a window.\n"
    "\n"
    "  --interface NAME   capture live from device NAME instead of the remembered card\n"
    "  --read FILE        analyse the Ethernet capture FILE (pcap) and exit\n"
    "  --conf FILE        configuration file (default: Wirelane.conf in the program's\n"
    "                     folder)\n"
    "  --home DIR         the program's folder, for the configuration, the log files\n"
    "                     and the default stores (default: Wirelane in $TMPDIR, or\n"
    "                     /tmp/Wirelane/; /tmp/Wirelane-USER/ when that folder\n"
    "                     belongs to another user)\n"
    "  --auto             when the configuration has no card and no endpoint, choose\n"
    "                     the card of the default route (else the first card up,\n"
    "                     else the loopback), monitor its addresses, recognise\n"
    "                     HTTP and save the choice; a later start keeps it\n"
    "  --json-out PATH    also write every exported record, one per line, to PATH;\n"
    "                     with '-' records go to standard output and log lines to\n"
    "                     standard error\n"
    "  --clickhouse URL   also send every record to ClickHouse at URL\n"
    "                     (http://HOST:PORT/?database=NAME, with user= and password=\n"
    "                     where the server wants them), instead of the configured one\n"
    "  --create-tables    with --clickhouse: create the database and the tables of\n"
    "                     the records there, if missing, and exit\n"
    "  --metrics ADDR:PORT  serve the probe's figures at http://ADDR:PORT/metrics\n"
    "                     for Prometheus (127.0.0.1:9105, [::1]:9105)\n"
    "  --help             show this help and exit\n";

struct OptionsT {
    const char* interfaceName = nullptr;
    const char* readFile = nullptr;
    const char* confFile = nullptr;
    const char* home = nullptr;
    const char* jsonOut = nullptr;
    const char* clickhouse = nullptr;
    const char* metrics = nullptr;
    sockaddr_storage metricsAddress {};
    bool createTables = false;
    bool autoChoose = false;
};

int usageError(const char* fmt, const char* arg)
{
    std::fprintf(stderr, "wirelane-probe: ");
    std::fprintf(stderr, fmt, arg);
    std::fprintf(stderr, "\n\n%s%s%s", usageHead, verbsUsageText, usageText);
    return 2;
}

// 0 = run, 1 = --help shown, 2 = bad command line (reported).
int parseOptions(int argc, char** argv, OptionsT& opt)
{
    struct {
        const char* name;
        const char** value;
    } const valued[] = {
        {"--interface", &opt.interfaceName},
        {"--read", &opt.readFile},
        {"--conf", &opt.confFile},
        {"--home", &opt.home},
        {"--json-out", &opt.jsonOut},
        {"--clickhouse", &opt.clickhouse},
        {"--metrics", &opt.metrics},
    };
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::printf("%s%s%s", usageHead, verbsUsageText, usageText);
            return 1;
        }
        if (std::strcmp(arg, "--auto") == 0) {
            opt.autoChoose = true;
            continue;
        }
        if (std::strcmp(arg, "--create-tables") == 0) {
            opt.createTables = true;
            continue;
        }
        bool known = false;
        for (const auto& v : valued) {
            std::size_t n = std::strlen(v.name);
            if (std::strncmp(arg, v.name, n) != 0 || (arg[n] != 0 && arg[n] != '=')) continue;
            known = true;
            const char* value = nullptr;
            if (arg[n] == '=') {
                value = arg + n + 1;
            } else if (i + 1 < argc) {
                value = argv[++i];
            }
            if (value == nullptr || value[0] == 0) return usageError("option %s needs a value", v.name);
            if (*v.value != nullptr) return usageError("option %s given twice", v.name);
            *v.value = value;
        }
        if (!known) return usageError("unknown option '%s'", arg);
    }
    if (opt.interfaceName != nullptr && opt.readFile != nullptr) {
        return usageError("%s", "--interface and --read cannot be used together");
    }
    if (opt.autoChoose && (opt.interfaceName != nullptr || opt.readFile != nullptr)) {
        return usageError("%s", "--auto chooses a card: it cannot be used with --interface or --read");
    }
    char err[512];
    if (opt.clickhouse != nullptr && clickhouseCheckUrl(opt.clickhouse, err, sizeof err) != 0) {
        return usageError("%s", err);
    }
    if (opt.createTables && opt.clickhouse == nullptr)
        return usageError("%s", "--create-tables needs --clickhouse URL");
    if (opt.metrics != nullptr && parseMetricsAddress(opt.metrics, &opt.metricsAddress) != 0) {
        // One line: the usage says nothing more about an address.
        std::fprintf(stderr, "wirelane-probe: --metrics '%s': ADDR:PORT expected, as 127.0.0.1:9105 or [::1]:9105\n",
                     opt.metrics);
        return 2;
    }
    return 0;
}

bool deviceExists(const char* name)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_if_t* devs = nullptr;
    if (pcap_findalldevs(&devs, errbuf) != 0) return true;  // let the open say why
    bool found = false;
    for (pcap_if_t* d = devs; d != nullptr && !found; d = d->next) found = std::strcmp(d->name, name) == 0;
    pcap_freealldevs(devs);
    return found;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "query") == 0) return runQueryVerb(argc - 1, argv + 1);
    if (argc > 1 && std::strcmp(argv[1], "play") == 0) return runPlayVerb(argc - 1, argv + 1);
    OptionsT opt;
    int rc = parseOptions(argc, argv, opt);
    if (rc == 1) return 0;
    if (rc != 0) return rc;

    char err[2048];
    if (opt.createTables) {
        if (clickhouseCreateTables(opt.clickhouse, clickhouseSchema, err, sizeof err) != 0) {
            std::fprintf(stderr, "wirelane-probe: %s\n", err);
            return 1;
        }
        std::printf("the tables of the records are in place at %s\n", opt.clickhouse);
        return 0;
    }
    if (opt.jsonOut != nullptr && std::strcmp(opt.jsonOut, "-") == 0) setLogConsole(stderr);
    if (opt.readFile != nullptr && openCaptureFile(opt.readFile, err, sizeof err) != 0) {
        std::fprintf(stderr, "wirelane-probe: %s\n", err);
        return 1;
    }
    if (opt.interfaceName != nullptr && !deviceExists(opt.interfaceName)) {
        std::fprintf(stderr, "wirelane-probe: no capture device named '%s'\n", opt.interfaceName);
        return 1;
    }
    if (opt.jsonOut != nullptr && openJsonOut(opt.jsonOut, err, sizeof err) != 0) {
        std::fprintf(stderr, "wirelane-probe: %s\n", err);
        return 1;
    }
    // Bound before the probe starts, so that a port in use stops it at once.
    if (opt.metrics != nullptr && openMetricsSocket(opt.metricsAddress, err, sizeof err) != 0) {
        std::fprintf(stderr, "wirelane-probe: %s\n", err);
        return 1;
    }

    StartOptionsT start;
    start.homePath = opt.home;
    start.confPath = opt.confFile;
    start.interfaceName = opt.interfaceName;
    start.offline = opt.readFile != nullptr;
    start.firstStart = opt.autoChoose;
    start.clickhouseUrl = opt.clickhouse;

    // A live probe runs until it is told to stop. The worker threads inherit
    // this mask, so the stop signals reach the main thread alone.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    if (!start.offline) pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    if (startUp(start) != 0) return 1;
    // Served once the tables it reads exist, by a thread that inherits the
    // blocked stop signals.
    if (opt.metrics != nullptr && startMetrics(err, sizeof err) != 0) {
        std::fprintf(stderr, "wirelane-probe: %s\n", err);
        return 1;
    }

    if (start.offline) {
        packet_wait_finished();
        flushExports();
        flushStores();
        flushJsonOut();
        stopMetrics();
        // A capture file read only in part was analysed as far as it went;
        // the log said where it stopped.
        return fileReadToEnd() ? 0 : 1;
    }
    int sig = 0;
    sigwait(&stop, &sig);
    // The frames taken are analysed and their records written out; a second
    // signal meanwhile ends the probe at once.
    std::thread([stop] {
        int again = 0;
        sigwait(&stop, &again);
        writeLog(2, "signal %d during the stop: ending at once", again);
        _exit(1);
    }).detach();
    bool stopped = stopCapture(STOP_LIMIT_MS);
    char cause[32];
    std::snprintf(cause, sizeof cause, "signal %d", sig);
    logStopLine(cause);
    if (!stopped) {
        writeLog(3, "the stop did not finish within %d s: ending without the records still being written",
                 STOP_LIMIT_MS / 1000);
        _exit(1);
    }
    flushJsonOut();
    stopMetrics();
    return 0;
}
