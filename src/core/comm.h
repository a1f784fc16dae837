// The communication-pair record: one conversation or endpoint pair over one
// reporting interval. Counters named send* count frames from dst to src.
#pragma once

#include <cstdint>
#include <ctime>

#include "core/ipaddr.h"

struct CommMsgT {
    std::uint32_t type;  // 1 in exported records; the application type in the top list
    time_t time;
    std::uint32_t did;
    std::uint32_t lid;
    std::uint32_t vid;
    IpAddrT src;
    IpAddrT dst;
    std::uint32_t proto;
    std::uint32_t sport;
    std::uint32_t dport;
    std::uint32_t sendPkts, rcvdPkts;
    std::uint32_t sendTinyPkts, rcvdTinyPkts;
    std::uint32_t srcConDelayUsec, dstConDelayUsec;
    std::uint32_t cntSrcDelay, srcDelayUsec;
    std::uint32_t srcRetransDelayUsec;
    std::uint32_t cntDstDelay, dstDelayUsec;
    std::uint32_t dstRetransDelayUsec;
    std::uint32_t connNum;
    std::uint32_t sendSynPkts, rcvdSynPkts, sendSynAckPkts, rcvdSynAckPkts;
    std::uint32_t sendRstPkts, rcvdRstPkts, sendFinPkts, rcvdFinPkts;
    std::uint32_t sendRetransmitPkts, rcvdRetransmitPkts;
    std::uint32_t cntCustomDelay, customDelayUsec;
    std::uint32_t upTo64, upTo128, upTo256, upTo512, upTo1024, upTo1514;
    std::uint32_t largePkts;
    std::uint32_t cntSrcWin, srcWinSize, cntDstWin, dstWinSize;
    std::uint32_t cntSrcZeroWin, cntDstZeroWin;
    std::uint32_t realDirection;
    std::uint32_t cntLoadDelay, loadDelayUsec;
    std::uint32_t sendBytes, rcvdBytes;
    // The local program (core/programs.h) of the busiest of the folded
    // sessions that has one, and that session's bytes.
    std::uint32_t program, programBytes;
    float cpu;
    std::uint32_t mem;  // KB
    char pname[128];
    char busiId[32];
    char urlsql[1024];  // last: copies of a record stop after its text
};
