// Throughput of offline analysis against the bare read loop of the capture
// library, measured in one run on the same file.
//
//   wirelane-bench FILE PROBE [PROBE-ARGS...]
//
// Five rounds, each a bare pcap_next_ex loop over FILE (through a 1 MiB stdio
// buffer, as the probe reads files) and then PROBE --read FILE with the given
// arguments; reports every round, the medians' frames per second, their ratio
// and the probe's peak resident memory.
#include <pcap/pcap.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

double seconds(std::chrono::steady_clock::time_point a)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

// Frames of file read by one bare loop, -1 when it cannot be read.
long bareLoop(const char* file, double& secs)
{
    static char buffer[1 << 20];
    auto t0 = std::chrono::steady_clock::now();
    FILE* fp = std::fopen(file, "rb");
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* p = nullptr;
    if (fp != nullptr) {
        std::setvbuf(fp, buffer, _IOFBF, sizeof buffer);
        p = pcap_fopen_offline(fp, errbuf);
        if (p == nullptr) std::fclose(fp);
    }
    if (p == nullptr) {
        std::fprintf(stderr, "wirelane-bench: cannot read %s\n", file);
        return -1;
    }
    pcap_pkthdr* h;
    const u_char* d;
    long n = 0;
    unsigned sum = 0;
    while (pcap_next_ex(p, &h, &d) == 1) {
        n++;
        sum += d[0];  // touch the data, as any consumer does
    }
    pcap_close(p);
    secs = seconds(t0);
    return n + (sum == 0xFFFFFFFF);
}

int runProbe(std::vector<char*>& args, double& secs, long& maxRssKb)
{
    // Dirty pages of the run before (its stores) go to disk first, so that
    // no run waits for the writes of another.
    sync();
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, 1);
            dup2(devnull, 2);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage ru {};
    wait4(pid, &status, 0, &ru);
    secs = seconds(t0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "wirelane-bench: %s failed (status %d)\n", args[0], status);
        return -1;
    }
    maxRssKb = std::max(maxRssKb, ru.ru_maxrss);
    return 0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: wirelane-bench FILE PROBE [PROBE-ARGS...]\n");
        return 2;
    }
    const char* file = argv[1];
    std::vector<char*> args = {argv[2], const_cast<char*>("--read"), argv[1]};
    for (int i = 3; i < argc; i++) args.push_back(argv[i]);
    args.push_back(nullptr);

    constexpr int ROUNDS = 5;
    std::vector<double> bare, probe;
    long frames = 0, rss = 0;
    for (int round = 1; round <= ROUNDS; round++) {
        double b = 0, p = 0;
        frames = bareLoop(file, b);
        if (frames < 0 || runProbe(args, p, rss) != 0) return 1;
        bare.push_back(b);
        probe.push_back(p);
        std::printf("round %d: bare loop %.3f s, probe %.3f s\n", round, b, p);
    }
    const double bareFps = frames / median(bare), probeFps = frames / median(probe);
    std::printf("frames: %ld\n", frames);
    std::printf("bare pcap_next_ex loop: median %.3f s, %.0f frames/s\n", median(bare), bareFps);
    std::printf("wirelane-probe --read:  median %.3f s, %.0f frames/s (%.1f%% of the bare loop)\n", median(probe),
                probeFps, 100.0 * probeFps / bareFps);
    std::printf("probe peak resident memory: %ld KiB\n", rss);
    return 0;
}
