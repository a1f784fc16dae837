// The block reader of capture files against the capture library: every file,
// odd ones included, must read record for record as the library reads it.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/capture_read.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Rec {
    std::uint32_t caplen, len;
    std::size_t written = ~std::size_t(0);  // data bytes in the file, if fewer than caplen
};

void put32(Bytes& b, std::uint32_t v, bool big)
{
    for (int i = 0; i < 4; i++) b.push_back(std::uint8_t(big ? v >> (24 - 8 * i) : v >> (8 * i)));
}

Bytes makeFile(std::uint32_t magic, bool big, std::uint16_t minor, std::uint32_t snaplen, const std::vector<Rec>& recs)
{
    Bytes b;
    put32(b, magic, big);
    put32(b, big ? (2u << 16 | minor) : (std::uint32_t(minor) << 16 | 2u), big);
    put32(b, 0, big), put32(b, 0, big), put32(b, snaplen, big), put32(b, 1, big);
    std::uint32_t t = 1767225600;
    for (const Rec& r : recs) {
        put32(b, t++, big), put32(b, 999999 - t % 1000, big), put32(b, r.caplen, big), put32(b, r.len, big);
        std::size_t n = std::min<std::size_t>(r.caplen, r.written);
        for (std::size_t i = 0; i < n; i++) b.push_back(std::uint8_t(i * 7 + t));
    }
    return b;
}

// What one reading gave: a line per record, then the last code and message.
std::string readAll(const Bytes& file, bool blocks)
{
    std::string name = ::testing::TempDir() + "/savefile.pcap";
    FILE* out = std::fopen(name.c_str(), "wb");
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);
    return testcapture::readLog(name.c_str(), blocks);
}

TEST(Savefile, ReadsEveryFileAsTheLibraryDoes)
{
    // Enough records to cross the reader's block boundaries several times.
    std::vector<Rec> many;
    for (std::uint32_t i = 0; i < 3000; i++) many.push_back({60 + i * 37 % 1455, 60 + i * 37 % 1455 + i % 3});
    std::vector<Rec> odd = many;
    odd[5] = {0, 60};                 // no data
    odd[1500] = {1600, 1600};         // longer than the snapshot length below
    odd.push_back({1500, 1500, 700});  // cut short by the end of the file
    std::vector<Rec> cutHeader = {{100, 100}, {100, 100}};
    Bytes late = makeFile(0xa1b23c4d, false, 4, 65535, {{60, 60}, {60, 60}});
    std::fill(late.begin() + 24, late.begin() + 32, 0xF0);  // seconds and fraction with the sign bit
    Bytes lateSwapped = makeFile(0xa1b23c4d, true, 4, 65535, {{60, 60}, {60, 60}});
    std::fill(lateSwapped.begin() + 24, lateSwapped.begin() + 32, 0xF0);
    const struct {
        const char* what;
        Bytes file;
    } cases[] = {
        {"little-endian microseconds", makeFile(0xa1b2c3d4, false, 4, 65535, many)},
        {"big-endian nanoseconds", makeFile(0xa1b23c4d, true, 4, 262144, many)},
        {"odd records", makeFile(0xa1b2c3d4, false, 4, 1500, odd)},
        {"snapshot length 0", makeFile(0xa1b2c3d4, false, 4, 0, many)},
        {"bogus capture length", makeFile(0xa1b2c3d4, true, 4, 262144, {{100, 100}, {300000, 300000}})},
        {"cut in a record header", [&] {
             Bytes b = makeFile(0xa1b2c3d4, false, 4, 65535, cutHeader);
             b.resize(b.size() - 100 - 9);
             return b;
         }()},
        {"version 2.3", makeFile(0xa1b2c3d4, false, 3, 65535, many)},
        {"time fields with the sign bit", late}, {"the same, other byte order", lateSwapped},
    };
    for (const auto& c : cases) {
        std::string library = readAll(c.file, false);
        EXPECT_EQ(readAll(c.file, true), library) << c.what;
        EXPECT_GT(library.size(), 10u) << c.what;
    }
}

}  // namespace
