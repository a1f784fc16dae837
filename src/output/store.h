// The two rotating file stores on local disk: raw frames in pcap files and
// JSON records, each a fixed ring of numbered files claimed at set-up.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>

#include "core/global_define.h"

constexpr int STORE_PKTS = 1;
constexpr int STORE_JSON = 2;
constexpr int STORE_MAX_FILES = 999;
constexpr int STORE_MAX_CAPLEN = 4000;   // frame bytes kept per record
constexpr int PCAP_FILE_HEADER_SIZE = 24;

// The record header of a pcap file, as written (little-endian).
struct ptcs_pkthdr {
    u32 tv_sec;
    u32 tv_usec;
    u32 caplen;
    u32 len;
};
static_assert(sizeof(ptcs_pkthdr) == 16);

// Sets up the store of type (STORE_PKTS, STORE_JSON) in directory path with
// space MB, creating its missing blank files. 0; -1 the directory is missing
// or inaccessible, or a bad type; -2 a blank file cannot be created; -3 one
// cannot be filled (no space); -4 its file names would not fit. On failure
// the store in use, if any, carries on as it was.
int initStore(const char* path, int space, int type);
// initStore, and on success the store is enabled (for good).
int initStorePkts(const char* path, int space);
int initStoreJson(const char* path, int space);
// Moves each store that is set up for another card to the file names of card
// row (0-based; nothing for -1): the blank files that this run claimed for
// the old card and never wrote are removed, the new card's are claimed, and
// the next write opens the file after the one saved last.
void storesFollowCard(int row);

// Opens the store's next file in ring order and saves its number in the
// settings: the packet store returns the open file, the JSON store 0; -1 when
// it cannot be opened.
int newFile(int type);
// Appends one frame to the packet store (dropped when no file can be opened).
void dumpPkt(const pcap_pkthdr* h, const u8* pkt);
// Flushes the packet store's open file to disk.
void dumpPktEnd();
// Appends one record and an empty line (CR LF CR LF) to the JSON store.
void writeJson(const char* str);
void writeJsonEnd();
// Writes out what both stores hold and flushes their files to disk: at the end
// of the program, so that nothing gathered is lost.
void flushStores();
// Whether dumpPktEnd and writeJsonEnd wait for the disk (on by default).
void setStoreSyncEachFlush(bool sync);
// Creates the store's missing blank files: 0, -1, -2 or -3 as initStore.
int writeBlankFile(int type);

// Writes all size bytes to the open file: size, or 0 when a write fails.
int storeFile(int hFile, const void* buf, int size);
// The 24-byte pcap file header (microsecond stamps, Ethernet); returns 24.
int makeHeaderBuf(u8* buf);

// Since start-up: the bytes written into the store's files, the files it
// opened in turn, and its writes and opens that failed. Zeros for a bad type.
struct StoreCountsT {
    std::uint64_t bytesWritten, switches, writeFailures;
};
StoreCountsT storeCounts(int type);

// A consistent copy of the store's record, for readers of the files (the
// file in use is fname): 0, or -1 for a bad type.
int getStoreInfo(int type, StoreInfoT* out);
