// Records into ClickHouse over its HTTP interface: each record line as one
// row of its family's table (pairs, http, db, tls), in batches, sent by a
// thread of its own; batches that fail wait in a bounded queue and go again
// in order, with backoff.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/global_define.h"

constexpr std::size_t CLICKHOUSE_QUEUE_DEFAULT = static_cast<std::size_t>(CLICKHOUSE_QUEUE_MB) << 20;

// Checks a sink URL ("http://host:port/?database=name", user and password
// as the HTTP interface takes them): 0, or -1 with the reason in err.
int clickhouseCheckUrl(const char* url, char* err, int errSize);

// Starts sending to url, keeping at most queueBytes of batches that wait,
// and in the tables the records of the last keepDays days (0: all; older
// days are dropped at the start and once a day); 0, or -1 with the reason in
// err (the sink then stays off).
int clickhouseStart(const char* url, std::size_t queueBytes, int keepDays, char* err, int errSize);
bool clickhouseOn();

// One record as the probe writes it (a JSON line); called by whoever
// exports records. Pair records wait for the end of their scan; the others
// go at least once a second, or every 10,000.
void clickhouseRecord(const char* line, std::size_t len);
// The row the sink sends for a record line, host's name added, in out; its
// table (0 pairs, 1 http, 2 db, 3 tls), or -1 for a line that makes none.
int clickhouseRow(const char* line, const char* host, std::string* out);
// The end of a scan: its pair records go as one batch.
void clickhouseEndOfScan();
// Sends what was gathered and waits up to waitMs for every batch to go; what
// is still waiting then is counted as dropped.
void clickhouseFlush(int waitMs);

struct ClickhouseStatsT {
    std::uint64_t batchesSent, recordsSent;
    std::uint64_t retries;  // failed attempts sent again
    std::uint64_t batchesDropped, recordsDropped;  // the queue was full, or the program ended
    std::uint64_t batchesRefused, recordsRefused;  // the server found the data malformed
    std::uint64_t queueBytes;
};
ClickhouseStatsT clickhouseStats();
// "; ClickHouse: ..." with the figures for the end lines, "" while off.
void clickhouseSummary(char* out, std::size_t cap);

// One POST of body to url through curl (a CURL handle, whose connection it
// keeps open), the answer's bytes to write(data), within timeoutMs (0: no
// limit but the 3 s to connect); curl's result code.
int clickhousePost(void* curl, const std::string& url, const std::string& body,
                   std::size_t (*write)(char* bytes, std::size_t size, std::size_t n, void* data), void* data,
                   long timeoutMs);
// The first line of a server's answer, cut to 300 characters, for a message.
std::string clickhouseFirstLine(const std::string& answer);

// Runs each statement of the schema (statements end with ';' at a line's
// end) in url's database, creating the database first; 0, or -1 with the
// server's answer in err.
int clickhouseCreateTables(const char* url, const char* schema, char* err, int errSize);
