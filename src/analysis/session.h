// The session table: 1024 buckets of 16 sessions, each bucket under its mutex.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <ctime>
#include <mutex>

#include "core/global_define.h"
#include "core/protocols.h"

// The leading part of a session that its transaction record reads: a web
// transaction has no use for the larger database half.
inline std::size_t transactionBytes(const NetSessionT& s)
{
    return s.type == 1 ? offsetof(NetSessionT, busi) + sizeof(HttpSessionT) : sizeof s;
}

// Whether a thread besides the processing thread works in the session table
// (the scan thread of live capture); where none does, the buckets' locks are
// not taken. Shared until told otherwise; set before the threads start.
void setSessionTableShared(bool shared);
bool sessionTableShared();
// A bucket's lock where the table is shared, none where it is not.
inline std::unique_lock<std::mutex> lockBucket(HashTableT& table, int bucket)
{
    std::unique_lock<std::mutex> lock(table.lock[bucket].hMutex, std::defer_lock);
    if (sessionTableShared()) lock.lock();
    return lock;
}

// Bucket of a conversation of the folded addresses (ipFold); the same for
// both directions. A sum, so that both directions meet in one bucket;
// unsigned, so that odd port values cannot make the index negative. An IPv4
// address folds to itself: its conversations keep their buckets.
inline int bucketOf(u32 foldSrc, u32 foldDst, int sport, int dport)
{
    u32 sum = (foldSrc & 1023u) + (foldDst & 1023u) + static_cast<u32>(sport) + static_cast<u32>(dport);
    return static_cast<int>(sum % HASH_BUCKETS);
}
inline int getHashCode(const IpAddrT& src, const IpAddrT& dst, int sport, int dport)
{
    return bucketOf(ipFold(src), ipFold(dst), sport, dport);
}
// The session of a packet in bucket node (whose mutex the caller holds), or a
// new one, or nullptr when the bucket is full. direction: 1 from src to dst, 2
// back, 0 for a new session. A FIN-closed session idle for more than a second
// may be recycled: its record is then left in pCommMsg, and a copy of it with
// its open transaction in pEnded (valid 1, when it has an application type),
// for the caller to export once the bucket is released.
NetSessionT* findSession(HashNodeT* node, int vid, int proto, const IpAddrT& src, const IpAddrT& dst, int sport,
                         int dport, time_t tstamp, int* direction, CommMsgT* pCommMsg, NetSessionT* pEnded = nullptr);
// The most sessions one bucket has held at once since start-up, and the
// frames whose conversation found its bucket full and was not tracked: how
// well the hash spreads conversations.
int sessionBucketPeak();
std::uint64_t untrackedFrames();
// The scan ended n sessions (their slots are free again).
void noteSessionsEnded(int n);
// Sessions in the table now: a counter, not a walk of the table.
long sessionsInUse();
// Ask for the memory a coming packet's session step will touch, and change
// nothing: some frames ahead its bucket's lock and digests, and a little
// later, those being at hand, the keys up to its session and the session's
// counters and times.
void prefetchSession(const IpAddrT& src, const IpAddrT& dst, int sport, int dport);
void prefetchSessionState(const IpAddrT& src, const IpAddrT& dst, int sport, int dport);
void initSession(NetSessionT* session, int vid, int proto, const IpAddrT& src, const IpAddrT& dst, int sport,
                 int dport);
// Zeroes the KPI block (sendBytes through loadDelayUsec).
void clearSessionValue(NetSessionT* session);
// Ends the current transaction.
void resetSession(int type, NetSessionT* session);
// A new connection in the slot: it starts with an empty transaction and no
// handshake times, nothing of the connection the slot held (exported with
// its own) carried over.
void emptyTransaction(NetSessionT* session);
// Whether the session holds a transaction that makes a record (a URL or a
// statement, and its start; url and sql start at the same place of the
// union, and so do both begin times).
inline bool holdsTransaction(const NetSessionT& s)
{
    // A TLS handshake once its ClientHello is seen, until its record is out.
    if (s.type == APP_TLS) return s.busi.tls.seenClientHello != 0 && s.tlsReported == 0;
    // One statement of a PostgreSQL or Redis connection, once answered or ended.
    if (isPipelinedApp(s.type)) return s.statements.record != 0;
    return s.type >= 1 && s.type <= 4 && s.busi.http.url[0] != 0 && s.busi.http.beginTime.tv_sec != 0;
}
void addSessionDistribute(NetSessionT* session, int len);
// a - b in microseconds; 0 when either is unset or the result is negative.
int timevalDiffUsec(const timeval& a, const timeval& b);

// Fills a record (zeroed first) from a session's counters, names and the
// first 32 characters of its URL or SQL text.
void cloneMsgValue(CommMsgT* pCommMsg, const NetSessionT* pNetSession);
