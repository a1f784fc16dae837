// Throughput of offline analysis against the bare read loop of the capture
// library, measured in one run on the same file.
//
//   wirelane-bench FILE PROBE [PROBE-ARGS...]
//
// Reads FILE with a bare pcap_next_ex loop, then runs PROBE --read FILE with
// the given arguments, each three times; reports the best frames per second of
// each, their ratio and the probe's peak resident memory.
#include <pcap/pcap.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

double seconds(std::chrono::steady_clock::time_point a)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

long bareLoop(const char* file, double& best)
{
    long frames = 0;
    for (int run = 0; run < 3; run++) {
        char errbuf[PCAP_ERRBUF_SIZE];
        auto t0 = std::chrono::steady_clock::now();
        pcap_t* p = pcap_open_offline(file, errbuf);
        if (p == nullptr) {
            std::fprintf(stderr, "wirelane-bench: %s\n", errbuf);
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
        double s = seconds(t0);
        if (best == 0 || s < best) best = s;
        frames = n + (sum == 0xFFFFFFFF);
    }
    return frames;
}

int runProbe(std::vector<char*>& args, double& best, long& maxRssKb)
{
    for (int run = 0; run < 3; run++) {
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
        double s = seconds(t0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "wirelane-bench: %s failed (status %d)\n", args[0], status);
            return -1;
        }
        if (best == 0 || s < best) best = s;
        if (ru.ru_maxrss > maxRssKb) maxRssKb = ru.ru_maxrss;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: wirelane-bench FILE PROBE [PROBE-ARGS...]\n");
        return 2;
    }
    const char* file = argv[1];
    double bare = 0;
    long frames = bareLoop(file, bare);
    if (frames < 0) return 1;

    std::vector<char*> args = {argv[2], const_cast<char*>("--read"), argv[1]};
    for (int i = 3; i < argc; i++) args.push_back(argv[i]);
    args.push_back(nullptr);
    double probe = 0;
    long rss = 0;
    if (runProbe(args, probe, rss) != 0) return 1;

    double bareFps = frames / bare;
    double probeFps = frames / probe;
    std::printf("frames: %ld\n", frames);
    std::printf("bare pcap_next_ex loop: %.3f s, %.0f frames/s\n", bare, bareFps);
    std::printf("wirelane-probe --read:  %.3f s, %.0f frames/s (%.1f%% of the bare loop)\n", probe, probeFps,
                100.0 * probeFps / bareFps);
    std::printf("probe peak resident memory: %ld KiB\n", rss);
    return 0;
}
