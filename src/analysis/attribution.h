// Which local program each conversation belongs to. When the session step
// makes a session with an end on this machine, it asks; a thread of its own
// finds that end's socket in the kernel's tables and the process holding
// it, and writes the program into the session. The client's program when
// the client is on this machine (loopback conversations too), else the
// server's. The processing thread never waits: a request that finds the
// queue full is counted and dropped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/global_define.h"

// Starts the lookup thread, for live capture; once per process.
void startAttribution();
// The session step's request for a session just made in slot of bucket; a
// connection whose client the SYN watch has found already gets its program
// at once.
void askProgram(int bucket, int slot, NetSessionT& s);
// The SYN watch's word on a frame as it comes off the card: a TCP SYN from
// this machine starts the lookup of its client at once, long before the
// frame reaches the session step, as a short connection's socket is gone
// within a millisecond.
void hintFrame(const std::uint8_t* frame, std::uint32_t caplen);

// "; programs: ..." for the stop line, "" where no lookup ran.
void attributionSummary(char* out, std::size_t cap);
