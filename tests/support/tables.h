// Test helpers for the process-wide tables and addresses.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <ostream>
#include <string>

#include "core/global_define.h"
#include "core/util.h"

// An address from its text (the test fails on a bad one); an address as text, as long as the printer says.
inline IpAddrT ipOf(const char* text) { IpAddrT a {}; EXPECT_EQ(parseIp(text, &a), 0) << text; return a; }
inline std::string ipText(const IpAddrT& a) { char t[IP_TEXT_SIZE]; return {t, std::size_t(formatIp(a, t))}; }
// Test failures print an address as text.
inline void PrintTo(const IpAddrT& a, std::ostream* os) { *os << ipText(a); }

namespace testtables {

// An empty session table (allocated on first use) and empty traffic counters.
inline void resetSessions()
{
    if (globalValue.hashTable == nullptr) globalValue.hashTable = new HashTableT();
    for (int bucket = 0; bucket < HASH_BUCKETS; bucket++) {
        std::lock_guard<std::mutex> lk(globalValue.hashTable->lock[bucket].hMutex);
        std::memset(static_cast<void*>(globalValue.hashTable->node[bucket].session), 0, sizeof(HashNodeT));
    }
    globalValue.processState.byte = globalValue.processState.pkt = 0;
}

template <class F>
void forEachSession(F f)
{
    for (HashNodeT& node : globalValue.hashTable->node) {
        for (NetSessionT& s : node.session) if (s.valid) f(s);
    }
}
inline int countSessions()
{
    int n = 0;
    forEachSession([&](const NetSessionT&) { n++; });
    return n;
}
// The session between a and b, either way round.
inline NetSessionT* findTracked(const IpAddrT& a, const IpAddrT& b)
{
    NetSessionT* found = nullptr;
    forEachSession([&](NetSessionT& s) {
        if ((s.src == a && s.dst == b) || (s.src == b && s.dst == a)) found = &s;
    });
    return found;
}
inline NetSessionT* findTracked(u32 a, u32 b) { return findTracked(ipFromV4(a), ipFromV4(b)); }

inline void clearEndpoints()
{
    while (readOnlyGlobal.cntHost > 0) deleteHostInfo(0);
}
inline bool addEndpoint(const char* text, int protoIdx)
{
    HostInfoT h;
    return makeHostInfo(&h, text, protoIdx, "12345678") == 0 && addNewHostInfo(&h) == 0;
}

}  // namespace testtables
