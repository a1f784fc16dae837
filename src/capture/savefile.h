// Reading a capture file in large blocks.
#pragma once

#include <pcap/pcap.h>
#include <sys/types.h>

#include <cstdint>

// Reads the records of a classic Ethernet capture file (format 2.4, either
// byte order, micro- or nanosecond times) straight from the file a block at a
// time: the capture library copies every frame twice on its way through
// stdio. Other link types are the library's, and so is a record that is not
// plain (longer than the file's snapshot length, cut short at the end of the
// file, or after a failed read), from which the library then reads on, so
// that every file reads exactly as the library reads it.
//
// The records read here stay in their block, so that the frames need not be
// copied again: a block is read into anew only when its records are no longer
// in use, which the keeper, when one is set, tells.
class SavefileReader {
public:
    // Reads the file that p (opened by pcap_fopen_offline) reads, from its
    // first record on.
    void open(pcap_t* p);
    // As pcap_next_ex: 1 = a record in *hdr and *data; PCAP_ERROR_BREAK = the
    // end of the file; PCAP_ERROR = a failure, which error() tells. A record
    // of the reader's own (*inPlace) stays where it is until its block is read
    // into anew, and the byte after it is the caller's to overwrite; one from
    // the library is valid until the next call.
    int next(pcap_pkthdr** hdr, std::uint8_t** data, bool* inPlace);
    const char* error() const;

    // stamp() is called when a block's records have all been handed out, and
    // before the block is read into anew, waitUntil(that stamp) must return
    // true; false ends the reading.
    struct Keeper {
        std::uint64_t (*stamp)();
        bool (*waitUntil)(std::uint64_t stamp);
    };
    void setKeeper(const Keeper& keeper) { keeper_ = keeper; }

    // Room for the frames of a full ring at common frame sizes.
    static constexpr int BLOCKS = 16;

private:
    // Takes the file when its header is one this reader knows.
    bool take(int fd, int snapshot);
    // 1 = a plain record at pos_, 0 = the end of the file, -1 = one for the library.
    int plainRecord();
    // Makes at least need bytes from pos_ on readable, unless the file ends
    // first; false when the keeper ended the reading.
    bool fill(std::size_t need);
    std::uint32_t field(const std::uint8_t* header, std::size_t at) const;
    off_t offset() const { return base_ + static_cast<off_t>(pos_); }

    pcap_t* p_ = nullptr;
    int fd_ = -1;  // -1 once the library reads
    bool swapped_ = false;
    bool nano_ = false;
    std::uint32_t snapshot_ = 0;
    Keeper keeper_ {};
    std::uint8_t* blocks_ = nullptr;
    std::uint64_t stamps_[BLOCKS] = {};
    int block_ = 0;
    std::uint8_t* buf_ = nullptr;  // the current block
    off_t base_ = 0;               // file offset of buf_[0]
    std::size_t have_ = 0;         // bytes in buf_
    std::size_t pos_ = 0;          // the next record's header in buf_
    // The first byte of the record at pos_, which the caller may have
    // overwritten with the zero byte after the record before.
    std::uint8_t first_ = 0;
    bool eof_ = false;
    bool readFailed_ = false;  // the end came from a failed read
    pcap_pkthdr hdr_ {};
    char error_[256] = "";
};
