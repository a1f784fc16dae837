// The one-line JSON text of the records.
#pragma once

#include <cstddef>
#include <ctime>

#include "core/global_define.h"

// A rendered record always fits, with every text value escaped in full.
constexpr int JSON_RECORD_SIZE = 16384;

// The pair record (JSON type 1).
void makeJsonStr(const CommMsgT* pCommMsg, char* str);
// The transaction record of a session copy (types 2, 4, 5, 6) as exported at
// time now; 0, or -1 and an empty str when it holds no reportable
// transaction. Strips double quotes from the session's text fields.
int makeTransactionJsonStr(NetSessionT* pNetSession, time_t now, char* str);
// The same at the time of the latest frame.
int makeBusinessJsonStr(NetSessionT* pNetSession, char* str);
// The end-of-scan record (type 99).
void makeEndJsonStr(char* str, time_t stamp);
// Removes the double quotes from a text field of cap bytes, terminated or
// filling the field.
void delQuota(char* str, std::size_t cap);
