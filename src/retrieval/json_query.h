// Query of the JSON store: the pair records of a period that pass an
// endpoint filter and hold a keyword, read back from the store's files.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "core/comm.h"
#include "retrieval/filter.h"
#include "retrieval/store_list.h"

constexpr long long JSON_BLANK_FILE_SIZE = 10485760;  // a blank store file, never written
constexpr int QUERY_PAGE_RECORDS = 15;

struct JsonQueryT {
    long long start = 0, end = 0;  // records with start <= time < end
    EndpointFilterT filter;
    std::string keyword;  // case-sensitive, anywhere in the stored line; "" = any
};

// The time of the first record of the store file at path: above 0, or -1 the
// file cannot be opened, -2 it is empty, -3 its first line has no time.
long long getJsonFileStime(const char* path);

// One key and its value, unescaped, each ended by a NUL.
struct JsonFieldT {
    const char* key;
    const char* value;
};

// Reads a stored record line (a flat JSON object; len bytes, no line end) into
// at most max fields whose texts go to buf (bufSize bytes; the line's length
// plus one always suffices). The number of fields, or -1 when the line is not
// such an object. \u0000 to \u00ff give back the byte the record writer
// escaped; other code points come as UTF-8.
int parseJsonStr(const char* line, std::size_t len, JsonFieldT* fields, int max, char* buf, std::size_t bufSize);
// Fills a pair record from the fields of its stored line; the delay sums get
// a count of 1, so that the list's averages give back the stored values.
void fillCommFromJson(CommMsgT* rec, const JsonFieldT* fields, int n);
// Whether a stored line (len bytes) is a pair record of q's period that holds
// q's keyword and passes its filter.
bool filterJson(const JsonQueryT& q, const char* line, std::size_t len);

// The matches of q in the files that meet its period, files in list order,
// lines in file order: the first skip are passed over, then each is handed to
// take (the line without its end, and its length) until limit are taken
// (limit < 0: all). A last line without its end (a record being written) is
// left out. Returns the number taken; a file that cannot be read is logged
// and passed over.
long queryStore(const std::vector<StoreFileT>& files, const JsonQueryT& q, long skip, long limit,
                const std::function<void(const char* line, std::size_t len)>& take);

// Page page (from 0) of q's result as records, at most 15, into out; their
// number. Pages count over the whole result: page p holds matches 15p + 1 to
// 15p + 15.
int scanJson(const std::vector<StoreFileT>& files, const JsonQueryT& q, int page, CommMsgT* out);
