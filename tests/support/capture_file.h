// Reads a capture file through frame decoding and the session step, frame by
// frame, as the processing thread does.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capture/pipeline.h"
#include "core/global_define.h"

namespace testcapture {

// false (with the reason in err) when the file cannot be opened.
inline bool readCaptureFile(const std::string& file, std::string* err)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(file.c_str(), errbuf);
    if (p == nullptr) {
        *err = errbuf;
        return false;
    }
    connectStages();
    pcap_pkthdr* h;
    const u_char* data;
    std::vector<std::uint8_t> buf;
    while (pcap_next_ex(p, &h, &data) == 1) {
        // The ring's copy of a frame ends in a zero byte.
        buf.assign(data, data + h->caplen);
        buf.push_back(0);
        globalValue.currTime = h->ts.tv_sec;
        processPacket(h, buf.data());
    }
    pcap_close(p);
    return true;
}

}  // namespace testcapture
