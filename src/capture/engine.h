// Network cards: discovery of the usable cards and the capture thread.
#pragma once

#include <pcap/pcap.h>

#include "core/cards.h"
#include "core/global_define.h"

// ---- card discovery ----------------------------------------------------------

// Only this much of the adapter report is read.
constexpr int ADAPTER_REPORT_LIMIT = 4096;

// Parses the first ADAPTER_REPORT_LIMIT bytes of an adapter report (the text
// ends earlier at a NUL) into cards, which it clears first. Returns the number
// of completed cards (those with a parsed IPv4 address), at most maxCards.
int parseAdapterReport(const char* text, int len, CardInfoT* cards, int maxCards);
// Gives each card the name of the capture device that reports its address.
void matchCardNames(CardInfoT* cards, int cnt, const pcap_if_t* devs);
// Moves the cards with a capture name to the front, in order; their number.
int keepNamedCards(CardInfoT* cards, int cnt);
// Index of the first card whose device id contains mac, or -1 (also for "").
int findCardByMac(const CardInfoT* cards, int cnt, const char* mac);

// Rebuild readOnlyGlobal.cardInfo / cntCard from the adapter report and the
// capture devices; 0, or -1 (list unchanged) when there is no report.
int getCardInfo();
// Fills cardName of the listed cards; 0, or -1 when devices cannot be listed.
int getCardName();
// Drops the listed cards without cardName.
void checkNetCard();
// Selects the card remembered in findMac: 0 when none is remembered, else 1
// (found or not); sets globalValue.selectRow and newSelect.
int findNicCard();

// ---- the capture thread ----------------------------------------------------

int packetThread(void* arg);
// (Re)opens the selected card; 0 = open, -1 = failed.
int openPcapHandler();
// Makes a capture file the source instead of a card. 0, or -1 with a message
// in err when the file cannot be opened or does not hold Ethernet frames.
int openCaptureFile(const char* path, char* err, int errSize);
// Captures from the named device instead of the remembered card. 0, or -1
// after logging why.
int selectCaptureInterface(const char* name);
// How long a live capture is still read at a stop, so that the frames the
// card had captured before it reach the ring; 0 while no card is open.
int captureDrainMs();
// The card being captured live, into out; false when none is.
bool captureDevice(char* out, std::size_t cap);
// Live capture: the capture thread takes no more frames, closes the card and
// tells the ring that the input has ended.
void stopReading();
// What the capture thread does, for the window's status line: waits for a
// card to be selected or to appear, captures, has lost its open card and
// opens it again, or may not open the card.
enum WX_CAPTURE_STATE { WX_CAPTURE_WAITING, WX_CAPTURE_ON, WX_CAPTURE_LOST, WX_CAPTURE_DENIED, NUM_CAPTURE_STATE };
WX_CAPTURE_STATE captureState();
// Frames that the capture library reports as dropped, over every card opened
// since start-up.
unsigned captureLibraryDrops();
// Frames the capture library handed over from the card, since start-up.
std::uint64_t capturedFrameCount();
// The capture thread's CPU time up to the end of the capture file, once the
// ring has been told of that end.
double fileReadingSeconds();
// Records of the capture file that held no bytes and were skipped, and
// whether the file was read to its end (false after a cut record or a read
// error); both once the ring has been told of the end.
std::uint64_t fileEmptyRecords();
bool fileReadToEnd();
