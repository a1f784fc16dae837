// Arbitrary capture files through the block reader and through the capture library: the same records, the same end.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "support/capture_read.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path = "/tmp/fuzz_savefile." + std::to_string(getpid()) + ".pcap";
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return 0;
    std::fwrite(data, 1, size, out);
    std::fclose(out);
    if (testcapture::readLog(path.c_str(), true) != testcapture::readLog(path.c_str(), false)) __builtin_trap();
    return 0;
}
