// Export channels: JSON records over UDP, into the JSON store and the probe's
// own sink; raw frames over VXLAN.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <ctime>

#include "core/global_define.h"

int initSocket();
// Lists the export queue with the tables filled ahead (platform::fillAhead).
void fillExportQueueAhead();
// (Re)open the JSON channel to expAddress and the frame channel to
// expPktAddress; 0 when connected, -1 otherwise.
int initExpSock();
int initPacketSock();
// Forwards one captured frame in VXLAN (VNI 200) when the frame channel is on.
int exportPacketData(const pcap_pkthdr* h, const u8* sp);
// Flags the packet-store flush, flushes the JSON store and sends the
// end-of-scan record.
int exportEndData(time_t stamp);

// The probe's own record sink (--json-out): every exported record, one per
// line. 0, or -1 with a message in err.
int openJsonOut(const char* path, char* err, int errSize);
// Writes out the sink's buffer, after the records handed off so far.
void flushJsonOut();

// Stamps and exports one pair record (the scan's pairs, and the record of a
// session slot recycled during frame processing). Returns 0.
int exportData(CommMsgT* pCommMsg, time_t stamp);
// The record's program, name and figures as sampled last, into its process
// fields; nothing for a record without one.
void nameProgram(CommMsgT* m);
// Exports the finished transaction of a session copy; 0, or -1 when it holds
// none.
int exportBusinessData(NetSessionT* pNetSession);

// Records exported by the calling thread from now on are rendered, sent and
// stored by a thread of their own, in order; the processing thread calls it.
void handOffRecords();
// Waits until every record handed off so far is written out.
void flushExports();

// Records written out to the sinks since start-up, of record type (the
// "type" of the JSON records: 1 pairs, a transaction type, 99 end of scan).
std::uint64_t recordsExported(int type);
// Sends that failed on a channel since start-up.
constexpr int CHANNEL_JSON = 0;
constexpr int CHANNEL_VXLAN = 1;
constexpr int NUM_CHANNELS = 2;
std::uint64_t channelSendErrors(int channel);

// See every pair record that exportData stamps and every finished transaction
// that exportBusinessData is given, before they are rendered (nullptr to
// stop); tests watch the records through them.
void setRecordObserver(void (*observer)(const CommMsgT& record));
void setTransactionObserver(void (*observer)(const NetSessionT& session));
