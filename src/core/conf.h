// The configuration file "Wirelane.conf": key=value lines, read once at
// start-up and rewritten whole after every accepted change.
#pragma once

#include <mutex>

// Reads the configuration file (confFilePath) and applies it: card, endpoints,
// stores and channels, the monitoring center, columns and the HTTP switch;
// then rewrites it. 0, or -1 when it cannot be opened.
int loadConf();
// Rewrites the configuration file from the current settings, replacing it
// whole: a write that fails leaves the old file. One call at a time (the
// stores call it from their own threads). 0, or -1 when it cannot be written.
int refreshConf();
// refreshConf on a thread of its own, for callers that must not wait for the
// disk; waitConfSaved returns when every save asked so far is done.
void saveConfSoon();
void waitConfSaved();
// Applies the value of one "endpoint" line; 0 added or ignored, -1 refused.
int addConfEndpoint(const char* value);
// Held by refreshConf while it reads the settings. refreshConf also runs on
// the store threads, so code that changes a saved text setting at run time
// takes it for the copy.
std::mutex& confMutex();
