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

struct NetSessionT;
// Fills a record (zeroed first) from a session's counters, names and the
// first 32 characters of its URL or SQL text.
void cloneMsgValue(CommMsgT* pCommMsg, const NetSessionT* pNetSession);
