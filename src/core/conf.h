// The configuration file "Wirelane.conf": key=value lines, read once at
// start-up and rewritten whole after every accepted change.
#pragma once

#include <cstddef>
#include <mutex>

// The configuration file in use (set at start-up).
extern char confFilePath[2048];

// Reads the configuration file into the settings: the remembered card, the
// endpoints (added to the table), the texts of the stores, channels and
// monitoring center (the export and dump values into their "try" fields, for
// the validators), the store file numbers, the columns and the HTTP switch.
// The columns start from their defaults. 0, or -1 when it cannot be opened.
int readConfFile();
// Rewrites the configuration file from the current settings, replacing it
// whole: a write that fails leaves the old file. One call at a time (the
// stores call it from their own threads). 0, or -1 when it cannot be written.
int refreshConf();
// refreshConf on a thread of its own, for callers that must not wait for the
// disk; waitConfSaved returns when every save asked so far is done.
void saveConfSoon();
void waitConfSaved();
// A saved text that a condition of the moment keeps from applying (a name
// that does not resolve yet, a store folder not there yet): the file keeps it
// under key, in place of the value in use, until it is released. Only the
// text keys of the stores, channels and monitoring center are held.
void holdConfText(const char* key, const char* text);
void releaseConfText(const char* key);
// The text held for key, copied into out (cap bytes); false when none is.
bool heldConfText(const char* key, char* out, std::size_t cap);
// Applies the value of one "endpoint" line; 0 added or ignored, -1 refused.
int addConfEndpoint(const char* value);
// Held by refreshConf while it reads the settings. refreshConf also runs on
// the store threads, so code that changes a saved text setting at run time
// takes it for the copy.
std::mutex& confMutex();
