// The pair table: records of one scan folded per endpoint pair.
#pragma once

#include "core/comm.h"

constexpr int PAIR_BUCKETS = 512;
constexpr int PAIR_SLOTS = 16;

struct CommPairHashNodeT {
    CommMsgT commpair[PAIR_SLOTS];
};

struct CommPairHashTableT {
    CommPairHashNodeT node[PAIR_BUCKETS];
};

extern CommPairHashTableT* pHashTable;

int initCommPair();


#include <ctime>

// Folds one record of the current scan into its endpoint pair: same client
// host, server address and server port. A bucket with 16 other pairs drops it.
void putCommpairSession(const CommMsgT* pCommMsg);
// Adds record src into slot dst (copies it when the slot is free).
void mergeCommPair(CommMsgT* dst, const CommMsgT* src);
// Exports every pair with the period stamp tcurr and empties the table.
void exportCommpairData(time_t tcurr);
void eraseCommpairTable();
// The pairs of the last scan, of the table's PAIR_BUCKETS * PAIR_SLOTS.
int pairsOfLastScan();
