// A capture file read through to its end, by the block reader or by the capture library alone.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "capture/savefile.h"

namespace testcapture {

// A line per record (time, lengths, a sum of the bytes), then the last code and its message.
inline std::string readLog(const char* path, bool blocks)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    FILE* fp = std::fopen(path, "rb");
    pcap_t* p = fp != nullptr ? pcap_fopen_offline(fp, errbuf) : nullptr;
    if (p == nullptr) {
        if (fp != nullptr) std::fclose(fp);
        return "open failed";
    }
    static SavefileReader reader;  // its blocks are kept for the process's life
    reader.open(p);
    std::string log;
    pcap_pkthdr* h;
    std::uint8_t* d;
    const u_char* cd;
    bool inPlace = false;
    int rc;
    while ((rc = blocks ? reader.next(&h, &d, &inPlace) : pcap_next_ex(p, &h, &cd)) == 1) {
        if (!blocks) d = const_cast<std::uint8_t*>(cd);
        unsigned sum = 0;
        for (std::uint32_t i = 0; i < h->caplen; i++) sum = sum * 31 + d[i];
        if (inPlace) d[h->caplen] = 0;  // as the ring does
        log += std::to_string(h->ts.tv_sec) + "." + std::to_string(h->ts.tv_usec) + " " + std::to_string(h->caplen) +
               "/" + std::to_string(h->len) + " " + std::to_string(sum) + "\n";
    }
    log += "rc " + std::to_string(rc);
    if (rc == PCAP_ERROR) log += std::string(": ") + (blocks ? reader.error() : pcap_geterr(p));
    pcap_close(p);
    return log;
}

}  // namespace testcapture
