// Arbitrary capture files through the block reader and through the capture library: the same records, the same end.
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "capture/savefile.h"

namespace {

// A digest of every record and of how the reading ended.
std::uint64_t readAll(const char* path, bool blocks)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    FILE* fp = std::fopen(path, "rb");
    pcap_t* p = fp != nullptr ? pcap_fopen_offline(fp, errbuf) : nullptr;
    if (p == nullptr) {
        if (fp != nullptr) std::fclose(fp);
        return 1;
    }
    static SavefileReader reader;  // its blocks are kept for the process's life
    reader.open(p);
    std::uint64_t sum = 0;
    pcap_pkthdr* h;
    std::uint8_t* d;
    const u_char* cd;
    bool inPlace = false;
    int rc;
    while ((rc = blocks ? reader.next(&h, &d, &inPlace) : pcap_next_ex(p, &h, &cd)) == 1) {
        if (!blocks) d = const_cast<std::uint8_t*>(cd);
        sum = sum * 1000003 + static_cast<std::uint64_t>(h->ts.tv_sec) * 31 + h->ts.tv_usec;
        sum = sum * 1000003 + h->caplen * 7 + h->len;
        for (bpf_u_int32 i = 0; i < h->caplen; i++) sum = sum * 131 + d[i];
        if (inPlace) d[h->caplen] = 0;  // as the ring does
    }
    std::string end = std::to_string(rc) + (rc == PCAP_ERROR ? (blocks ? reader.error() : pcap_geterr(p)) : "");
    for (char c : end) sum = sum * 131 + static_cast<unsigned char>(c);
    pcap_close(p);
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path = "/tmp/fuzz_savefile." + std::to_string(getpid()) + ".pcap";
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return 0;
    std::fwrite(data, 1, size, out);
    std::fclose(out);
    if (readAll(path.c_str(), true) != readAll(path.c_str(), false)) __builtin_trap();
    return 0;
}
