// Reading a capture file in large blocks.
#pragma once

#include <pcap/pcap.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>

// Reads the records of a classic capture file (format 2.4, either byte order,
// micro- or nanosecond times) straight from the file a block at a time: the
// capture library copies every frame twice on its way through stdio. A record
// that is not plain (longer than the file's snapshot length, or cut short at
// the end of the file) is left to the library, which then reads on from its
// offset, so that every file reads exactly as the library reads it.
class SavefileReader {
public:
    // Reads the file that p (opened by pcap_fopen_offline) reads, from its
    // first record on.
    void open(pcap_t* p);
    // As pcap_next_ex: 1 = a record in *hdr and *data, valid until the next
    // call; PCAP_ERROR_BREAK = the end of the file; PCAP_ERROR = a failure,
    // which error() tells.
    int next(pcap_pkthdr** hdr, const std::uint8_t** data);
    const char* error() const;

private:
    // Takes the file when its header is one this reader knows.
    bool take(int fd, int snapshot);
    // 1 = a plain record, 0 = the end of the file, -1 = one for the library.
    int plainRecord();
    // Makes at least need bytes from pos_ on readable, unless the file ends first.
    void fill(std::size_t need);
    std::uint32_t field(std::size_t at) const;
    off_t offset() const { return base_ + static_cast<off_t>(pos_); }

    pcap_t* p_ = nullptr;
    int fd_ = -1;  // -1 once the library reads
    bool swapped_ = false;
    bool nano_ = false;
    std::uint32_t snapshot_ = 0;
    std::unique_ptr<std::uint8_t[]> buf_;
    off_t base_ = 0;        // file offset of buf_[0]
    std::size_t have_ = 0;  // bytes in buf_
    std::size_t pos_ = 0;   // the next record's header in buf_
    bool eof_ = false;
    pcap_pkthdr hdr_ {};
    char error_[256] = "";
};
