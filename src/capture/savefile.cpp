#include "capture/savefile.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t FILE_HEADER = 24;
constexpr std::size_t RECORD_HEADER = 16;
// A read's size; the buffer also holds the largest record the library takes.
constexpr std::size_t BLOCK = 1 << 20;
constexpr std::size_t MAX_RECORD = RECORD_HEADER + 262144;

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
    if (!take(fileno(pcap_file(p)), pcap_snapshot(p))) fd_ = -1;
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
    if (!buf_) buf_ = std::make_unique<std::uint8_t[]>(BLOCK + MAX_RECORD);
    fd_ = fd;
    // Longer records are the library's, whatever the header says.
    snapshot_ = static_cast<std::uint32_t>(snapshot) < MAX_RECORD - RECORD_HEADER ? static_cast<std::uint32_t>(snapshot)
                                                                                  : MAX_RECORD - RECORD_HEADER;
    base_ = FILE_HEADER;
    have_ = pos_ = 0;
    eof_ = false;
    return true;
}

void SavefileReader::fill(std::size_t need)
{
    if (have_ - pos_ >= need || eof_) return;
    // The rest of the last block moves to the front; records are small
    // beside a block, so this is a short copy.
    std::memmove(buf_.get(), buf_.get() + pos_, have_ - pos_);
    base_ += static_cast<off_t>(pos_);
    have_ -= pos_;
    pos_ = 0;
    while (have_ < need && !eof_) {
        ssize_t n = pread(fd_, buf_.get() + have_, BLOCK, base_ + static_cast<off_t>(have_));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            eof_ = true;  // a read error too: the library reports it
            break;
        }
        have_ += static_cast<std::size_t>(n);
    }
}

std::uint32_t SavefileReader::field(std::size_t at) const { return load32(buf_.get() + pos_ + at, swapped_); }

int SavefileReader::plainRecord()
{
    fill(RECORD_HEADER);
    if (have_ == pos_) return 0;
    if (have_ - pos_ < RECORD_HEADER) return -1;
    std::uint32_t caplen = field(8);
    if (caplen > snapshot_) return -1;
    fill(RECORD_HEADER + caplen);
    if (have_ - pos_ < RECORD_HEADER + caplen) return -1;
    hdr_.ts.tv_sec = field(0);
    std::uint32_t frac = field(4);
    hdr_.ts.tv_usec = nano_ ? frac / 1000 : frac;
    hdr_.caplen = caplen;
    hdr_.len = field(12);
    return 1;
}

int SavefileReader::next(pcap_pkthdr** hdr, const std::uint8_t** data)
{
    if (fd_ < 0) return pcap_next_ex(p_, hdr, data);
    int rc = plainRecord();
    if (rc == 0) return PCAP_ERROR_BREAK;
    if (rc > 0) {
        *hdr = &hdr_;
        *data = buf_.get() + pos_ + RECORD_HEADER;
        pos_ += RECORD_HEADER + hdr_.caplen;
        return 1;
    }
    // The library reads on from this record.
    fd_ = -1;
    if (fseeko(pcap_file(p_), offset(), SEEK_SET) != 0) {
        std::snprintf(error_, sizeof error_, "%s", std::strerror(errno));
        return PCAP_ERROR;
    }
    return pcap_next_ex(p_, hdr, data);
}

const char* SavefileReader::error() const { return error_[0] != '\0' ? error_ : pcap_geterr(p_); }
