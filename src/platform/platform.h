// The few operating-system services the probe needs, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Each fills out (capacity cap, NUL-terminated) and returns 0, or returns an
// errno-style code (> 0) when the value cannot be had or does not fit.
int exePath(char* out, std::size_t cap);   // full path of the running executable
int tmpDir(char* out, std::size_t cap);    // the user's temporary directory, ending in '/'
int hostName(char* out, std::size_t cap);
int userName(char* out, std::size_t cap);
void makeDir(const char* path);            // an existing directory is fine

std::uint32_t tickCountMs();               // monotonic milliseconds
void sleepMs(int ms);

// The adapter report that the card parser reads: per interface an unindented
// heading line, an indented physical-address line and one indented IPv4 line
// per address. Writes at most cap - 1 bytes and a NUL; returns the length, or
// -1 when the interfaces cannot be listed.
int adapterReport(char* out, std::size_t cap);

}  // namespace platform
