// Query of the pair records in ClickHouse: the rows of a period that pass an
// endpoint filter, hold a keyword and, where asked, come from one probe,
// rebuilt as the very JSON lines the probe wrote, so that the answer reads
// as the store query's.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "retrieval/json_query.h"

struct ClickhouseQueryT {
    JsonQueryT q;
    std::string device;  // one probe's "deviceId"; "" for every probe
    std::string table;   // "" for pairs_all when the database has it, else pairs
};

// A probe's device id: 12 upper-case hexadecimal digits.
bool deviceIdValid(const char* text);
// A table name the query takes as it is: letters, digits and '_', not a digit first.
bool tableNameValid(const char* text);

// A column of the table, as DESCRIBE TABLE gives it.
struct ChColumnT {
    std::string name, type;
};

// The SELECT of q's rows from table: every column but "host", texts as hex,
// DateTime as seconds, oldest first (by "time", then by the other columns in
// table order), at most limit rows (limit < 0: all). User texts never enter
// it: the period goes in as numbers, the filter as the probe's own address
// texts and numbers, the device id only once checked, and of the keyword a
// run of plain characters, and only where every match must hold it.
std::string clickhouseSelect(const ClickhouseQueryT& q, const std::string& table, const std::vector<ChColumnT>& cols,
                             long limit);
// A row of that SELECT (TabSeparated, len bytes, no line end) as the record
// line the probe wrote, into out; false when the row does not fit the columns.
bool clickhouseRebuild(const std::vector<ChColumnT>& cols, const char* row, std::size_t len, std::string* out);

// Runs q against url ("http://host:port/?database=name", user and password
// as the HTTP interface takes them), reading the answer piece by piece: the
// lines that also pass the store query's own test (filterJson) are counted,
// the first skip passed over, then each handed to take until limit are taken
// (limit < 0: all). The number taken, or -1 with one line in err.
long queryClickhouse(const char* url, const ClickhouseQueryT& q, long skip, long limit,
                     const std::function<void(const char* line, std::size_t len)>& take, std::string* err);
