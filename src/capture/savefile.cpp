#include "capture/savefile.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr std::size_t FILE_HEADER = 24;
constexpr std::size_t RECORD_HEADER = 16;
// A block holds the part of a record left over from the block before, as
// much of the file as then fits, and the zero byte a caller may put after the
// last record. Reads of half a megabyte at most stay in the processor's
// cache until their records are taken (a megabyte left a miss a record).
constexpr std::size_t BLOCK = 1 << 18;
constexpr std::size_t MAX_RECORD = RECORD_HEADER + 262144;
constexpr std::size_t BLOCK_SPAN = MAX_RECORD + BLOCK + 1;

std::uint32_t load32(const std::uint8_t* p, bool swapped)
{
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return swapped ? __builtin_bswap32(v) : v;
}

}  // namespace

void SavefileReader::open(pcap_t* p)
{
    p_ = p;
    error_[0] = '\0';
    // Ethernet captures alone, the ones analysed: in a file of the other byte
    // order the library rewrites the pseudo-headers of some other link types.
    if (pcap_datalink(p) != DLT_EN10MB || !take(fileno(pcap_file(p)), pcap_snapshot(p))) fd_ = -1;
}

bool SavefileReader::take(int fd, int snapshot)
{
    fd_ = -1;
    std::uint8_t h[FILE_HEADER];
    if (snapshot <= 0 || pread(fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) return false;
    std::uint32_t magic = load32(h, false);
    swapped_ = magic == 0xd4c3b2a1u || magic == 0x4d3cb2a1u;
    nano_ = magic == 0xa1b23c4du || magic == 0x4d3cb2a1u;
    if (!swapped_ && !nano_ && magic != 0xa1b2c3d4u) return false;
    // Older versions had their quirks, which the library knows.
    std::uint16_t major, minor;
    std::memcpy(&major, h + 4, 2);
    std::memcpy(&minor, h + 6, 2);
    if (swapped_) {
        major = __builtin_bswap16(major);
        minor = __builtin_bswap16(minor);
    }
    if (major != 2 || minor != 4) return false;
    // Touched only as the blocks are used; kept for the process's life, as
    // frames of a file may still be in use when the next one is opened.
    if (blocks_ == nullptr) blocks_ = static_cast<std::uint8_t*>(platform::allocTable(BLOCKS * BLOCK_SPAN));
    if (blocks_ == nullptr) return false;
    fd_ = fd;
    // Longer records are the library's, whatever the header says.
    snapshot_ = static_cast<std::uint32_t>(snapshot) < MAX_RECORD - RECORD_HEADER ? static_cast<std::uint32_t>(snapshot)
                                                                                  : MAX_RECORD - RECORD_HEADER;
    block_ = 0;
    buf_ = blocks_;
    for (std::uint64_t& s : stamps_) s = 0;
    base_ = FILE_HEADER;
    have_ = pos_ = 0;
    eof_ = readFailed_ = false;
    return true;
}

bool SavefileReader::fill(std::size_t need)
{
    if (have_ - pos_ >= need || eof_) return true;
    // On to the next block, once its records are done with, taking along
    // the rest of this one: a part of one record, a short copy.
    int next = (block_ + 1) % BLOCKS;
    if (keeper_.stamp != nullptr) {
        stamps_[block_] = keeper_.stamp();
        if (!keeper_.waitUntil(stamps_[next])) return false;
    }
    std::uint8_t* to = blocks_ + next * BLOCK_SPAN;
    std::size_t rest = have_ - pos_;
    std::memcpy(to, buf_ + pos_, rest);
    if (rest > 0) to[0] = first_;
    block_ = next;
    buf_ = to;
    base_ += static_cast<off_t>(pos_);
    have_ = rest;
    pos_ = 0;
    while (have_ < need && !eof_) {
        ssize_t n = pread(fd_, buf_ + have_, BLOCK_SPAN - 1 - have_, base_ + static_cast<off_t>(have_));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A read error too: the library reads on from the record, and
            // reports it.
            eof_ = true;
            readFailed_ = n < 0;
            break;
        }
        have_ += static_cast<std::size_t>(n);
    }
    first_ = buf_[0];
    return true;
}

std::uint32_t SavefileReader::field(const std::uint8_t* header, std::size_t at) const
{
    return load32(header + at, swapped_);
}

int SavefileReader::plainRecord()
{
    if (!fill(RECORD_HEADER)) return 0;
    if (have_ == pos_) return readFailed_ ? -1 : 0;
    if (have_ - pos_ < RECORD_HEADER) return -1;
    std::uint8_t header[RECORD_HEADER];
    std::memcpy(header, buf_ + pos_, sizeof header);
    header[0] = first_;
    std::uint32_t caplen = field(header, 8);
    if (caplen > snapshot_) return -1;
    if (!fill(RECORD_HEADER + caplen)) return 0;
    if (have_ - pos_ < RECORD_HEADER + caplen) return -1;
    // The library widens the time fields as signed numbers, but as unsigned
    // ones in a file of the other byte order; out of range either way.
    auto widen = [this](std::uint32_t v) {
        return swapped_ ? static_cast<long>(v) : static_cast<long>(static_cast<std::int32_t>(v));
    };
    hdr_.ts.tv_sec = widen(field(header, 0));
    long frac = widen(field(header, 4));
    hdr_.ts.tv_usec = nano_ ? frac / 1000 : frac;
    hdr_.caplen = caplen;
    hdr_.len = field(header, 12);
    return 1;
}

int SavefileReader::next(pcap_pkthdr** hdr, std::uint8_t** data, bool* inPlace)
{
    *inPlace = false;
    if (fd_ < 0) {
        const u_char* d = nullptr;
        int rc = pcap_next_ex(p_, hdr, &d);
        *data = const_cast<std::uint8_t*>(d);
        return rc;
    }
    int rc = plainRecord();
    if (rc == 0) return PCAP_ERROR_BREAK;
    if (rc > 0) {
        *hdr = &hdr_;
        *data = buf_ + pos_ + RECORD_HEADER;
        *inPlace = true;
        pos_ += RECORD_HEADER + hdr_.caplen;
        // Read before the caller may put a zero byte there.
        first_ = pos_ < have_ ? buf_[pos_] : 0;
        return 1;
    }
    // The library reads on from this record.
    fd_ = -1;
    if (fseeko(pcap_file(p_), offset(), SEEK_SET) != 0) {
        std::snprintf(error_, sizeof error_, "%s", std::strerror(errno));
        return PCAP_ERROR;
    }
    return next(hdr, data, inPlace);
}

const char* SavefileReader::error() const { return error_[0] != '\0' ? error_ : pcap_geterr(p_); }
