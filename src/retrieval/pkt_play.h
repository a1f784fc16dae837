// Playback of the packet store: the stored frames of a period that pass an
// endpoint filter, copied into one pcap file, optionally cut short, and
// optionally replayed over VXLAN to an analyser.
#pragma once

#include <netinet/in.h>

#include <thread>
#include <vector>

#include "core/global_define.h"
#include "output/store.h"
#include "retrieval/filter.h"
#include "retrieval/store_list.h"

constexpr long long PKT_BLANK_FILE_SIZE = 52428800;  // a blank store file, never written
// The largest frame a store record may hold; longer records are skipped.
constexpr int PLAY_FRAME_MAX = STORE_MAX_CAPLEN;

struct PlayQueryT {
    long long start = 0, end = 0;  // time stamps from start to end, both included
    EndpointFilterT filter;
    u32 trunLen = 0;  // 0 = frames as stored
};

// The questions a playback asks at its end. The desktop program asks them in
// message boxes; the headless verb answers them itself.
class PlayQuestionsT {
public:
    virtual ~PlayQuestionsT() = default;
    virtual bool askYesNo(const char* text) = 0;  // title "Message"
    virtual void notice(const char* text) = 0;    // title "Notice"
    virtual void openFolder(const char* dir) = 0;
};

// Time stamp (seconds) of the first frame of the pcap store file at path; 0
// when it cannot be read.
long long getPktFileStime(const char* path);

// Whether a frame (record header h, bytes data) lies in the period and passes
// the filter. The filter sees every IP layer of the frame, IPv4 or IPv6 (its
// extension headers walked): the outer one (behind up to two 802.1Q tags)
// and, for VXLAN and GRE, the inner one; it passes when any layer does.
// Non-first fragments have no ports.
bool checkPkt(const PlayQueryT& q, const ptcs_pkthdr& h, const u8* data);

// Appends the passing frames of the store file at path to out (cut to
// q.trunLen); the number written, or -1 when out cannot be written.
long readPktFile(const char* path, const PlayQueryT& q, FILE* out);

// Writes the passing frames of the listed files that meet the period into a
// new pcap file at outPath (written beside it and renamed into place, so a
// replay still reading the old file keeps it); the number of frames, or -1
// when the file cannot be written (logged). progress, when given, is told
// after each file how many of the files have been read.
long playStore(const std::vector<StoreFileT>& files, const PlayQueryT& q, const char* outPath,
               void (*progress)(int done, int total, void* ctx) = nullptr, void* ctx = nullptr);

// Sends every frame of the pcap file at path, each after the 8-byte VXLAN
// header (VNI 200), as one UDP datagram to target, back to back. The file is
// opened before the thread starts, so a later playback cannot change what it
// sends. Returns the thread (joinable), or an empty one when the file cannot
// be opened or no socket made (logged).
std::thread startVxlanReplay(const char* path, const sockaddr_storage& target);
// Resolves a VXLAN target text, "host:port" or "[IPv6]:port", into addr; 0,
// or -1 when it is malformed, has no port or does not resolve.
int resolveVxlanTarget(const char* text, sockaddr_storage* addr);

// The whole playback: playStore of q into outPath, then the final questions
// (open the folder; with a VXLAN target "HOST:PORT", replay to it); the
// number of frames written, or -1 when the file cannot be written. The
// replay thread, if one is started, is handed to replay (detached when
// replay is null).
long scanPkt(const std::vector<StoreFileT>& files, const PlayQueryT& q, const char* vxlanTarget,
             const char* outPath, PlayQuestionsT& ask, std::thread* replay = nullptr,
             void (*progress)(int done, int total, void* ctx) = nullptr, void* ctx = nullptr);
