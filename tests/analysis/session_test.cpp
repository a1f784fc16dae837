// The session table's lookup, its small helpers and the record made from a
// session.
#include "analysis/session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "output/commpair.h"

namespace {

constexpr u32 ip(u32 a, u32 b, u32 c, u32 d) { return (a << 24) | (b << 16) | (c << 8) | d; }
constexpr u32 A = ip(10, 0, 0, 1);
constexpr u32 B = ip(192, 168, 7, 200);

TEST(SessionTable, BothDirectionsFindOneSession)
{
    struct Quad {
        u32 src, dst;
        int sport, dport;
    };
    const Quad quads[] = {{A, B, 40000, 80}, {0xFFFFFFFF, 0xFFFFFFFF, 65535, 65535}, {0, 0, 0, 0}, {B, B, 1023, 1}};
    for (const Quad& q : quads) {
        int h = getHashCode(q.src, q.dst, q.sport, q.dport);
        EXPECT_EQ(h, getHashCode(q.dst, q.src, q.dport, q.sport));
        EXPECT_TRUE(h >= 0 && h < HASH_BUCKETS) << h;
    }

    auto node = std::make_unique<HashNodeT>();
    int dir = -1;
    NetSessionT* s = findSession(node.get(), 7, 6, A, B, 40000, 80, 100, &dir, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(dir, 0);
    EXPECT_EQ(findSession(node.get(), 0, 6, A, B, 40000, 80, 100, &dir, nullptr), s);
    EXPECT_EQ(dir, 1);
    EXPECT_EQ(findSession(node.get(), 9, 6, B, A, 80, 40000, 100, &dir, nullptr), s);
    EXPECT_EQ(dir, 2);
    EXPECT_EQ(s->vid, 7);  // other VLANs share the session of the first
    EXPECT_NE(findSession(node.get(), 0, 17, A, B, 40000, 80, 100, &dir, nullptr), s);

    // Until the session step decides, the higher port is the client.
    NetSessionT* t = findSession(node.get(), 0, 6, A, B, 80, 40000, 100, &dir, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(dir, 0);
    EXPECT_EQ(t->src, B);
    EXPECT_EQ(t->sport, 40000);
    EXPECT_EQ(t->dst, A);
    EXPECT_EQ(t->dport, 80);
}

TEST(SessionHelpers, LengthClassesAndTimeDifferences)
{
    const std::pair<int, u32 NetSessionT::*> classes[] = {
        {0, &NetSessionT::upTo64},       {64, &NetSessionT::upTo64},     {65, &NetSessionT::upTo128},
        {128, &NetSessionT::upTo128},    {129, &NetSessionT::upTo256},   {512, &NetSessionT::upTo512},
        {1024, &NetSessionT::upTo1024},  {1514, &NetSessionT::upTo1514}, {1515, &NetSessionT::largePkts},
        {65535, &NetSessionT::largePkts}};
    for (const auto& [len, field] : classes) {
        NetSessionT s {};
        addSessionDistribute(&s, len);
        EXPECT_EQ(s.*field, 1u) << len;
        EXPECT_EQ(s.upTo64 + s.upTo128 + s.upTo256 + s.upTo512 + s.upTo1024 + s.upTo1514 + s.largePkts, 1u) << len;
    }

    struct Diff {
        timeval a, b;
        int usec;
    };
    const Diff diffs[] = {
        {{10, 200}, {9, 900}, 999300},
        {{10, 0}, {0, 5}, 0},          // unset time
        {{0, 900}, {10, 0}, 0},
        {{9, 900}, {10, 200}, 0},      // negative
        {{2147 + 5, 0}, {5, 0}, 2147000000},
        {{2148 + 5, 0}, {5, 0}, 0},    // wraps past 2^31 microseconds
        {{5, 0}, {0xFFFFFFFFLL, 0}, 6000000},  // 32-bit seconds wrap
    };
    for (const Diff& d : diffs) EXPECT_EQ(timevalDiffUsec(d.a, d.b), d.usec) << d.a.tv_sec << " " << d.b.tv_sec;
}

TEST(SessionHelpers, ClearAndResetTouchOnlyTheirFields)
{
    NetSessionT s;
    std::memset(&s, 0x5A, sizeof s);
    clearSessionValue(&s);
    EXPECT_EQ(s.sendBytes + s.connNum + s.loadDelayUsec, 0u);
    EXPECT_NE(s.lastReqTime.tv_usec, 0);  // the neighbours of the block stay
    EXPECT_NE(s.busi.http.retcode, 0);

    for (int type : {1, 3}) {
        SCOPED_TRACE(type);
        NetSessionT r {};
        r.forward = 77;
        r.bytes = 500;
        r.lastDirection = 2;
        r.lastReqTime = {100, 5};
        std::strcpy(type == 1 ? r.busi.http.url : r.busi.db.sql, "/index.html");
        if (type != 1) std::strcpy(r.busi.db.user, "scott");
        resetSession(type, &r);
        EXPECT_EQ(r.forward + r.bytes + r.lastDirection + r.lastReqTime.tv_sec, 0);
        if (type == 1) {
            EXPECT_STREQ(r.busi.http.url, "");
        } else {
            // The login's user outlives the statement, which the next one overwrites.
            EXPECT_STREQ(r.busi.db.sql, "/index.html");
            EXPECT_STREQ(r.busi.db.user, "scott");
        }
    }
}

TEST(SessionRecord, CountersNamesAndUrlSql)
{
    NetSessionT s {};
    s.src = A;
    s.dport = 3306;
    s.lastPktTime = {1700000123, 999};
    s.cliConDelayUsec = 11;
    s.serRetransDelayUsec = 44;
    s.rcvdRetransmitPkts = 5;
    s.loadDelayUsec = 77;
    s.rcvdBytes = 88;
    s.did = 9;
    std::memset(s.pname, 'p', sizeof s.pname);  // unterminated
    std::memset(s.busiId, 'b', sizeof s.busiId);

    struct UrlSql {
        int type;
        std::string domain, text, expect;  // text: URL for type 1, else SQL
    };
    const std::string longUrl = "/" + std::string(38, 'u');
    const std::string longSql = "select " + std::string(393, 'x');
    const UrlSql cases[] = {
        {1, "example.com", longUrl, "example.com" + longUrl.substr(0, 21)},
        {1, "h", "/a", "h/a"},
        {1, "example.com", "", ""},  // no URL, no text, even with a host
        {2, "", longSql, longSql.substr(0, 32)},
        {4, "", "exec p", "exec p"},
        {0, "", "select 1", ""},
    };
    for (const UrlSql& c : cases) {
        SCOPED_TRACE(c.type);
        s.type = c.type;
        std::memset(&s.busi, 0, sizeof s.busi);
        std::strcpy(s.busi.http.domain, c.domain.c_str());
        std::strcpy(c.type == 1 ? s.busi.http.url : s.busi.db.sql, c.text.c_str());
        CommMsgT m;
        std::memset(&m, 0x33, sizeof m);
        cloneMsgValue(&m, &s);
        EXPECT_EQ(std::string(m.urlsql), c.expect);
        EXPECT_EQ(m.time, 1700000123);
        EXPECT_EQ(m.src, A);
        EXPECT_EQ(m.dport, 3306u);
        EXPECT_EQ(m.srcConDelayUsec, 11u);  // client side becomes the record's src side
        EXPECT_EQ(m.dstRetransDelayUsec, 44u);
        EXPECT_EQ(m.rcvdRetransmitPkts, 5u);
        EXPECT_EQ(m.loadDelayUsec, 77u);
        EXPECT_EQ(m.rcvdBytes, 88u);
        EXPECT_EQ(m.did + m.type + m.mem + m.sendPkts, 0u);
        EXPECT_EQ(std::string(m.pname), std::string(64, 'p'));  // the record's field is wider
        EXPECT_EQ(std::string(m.busiId), std::string(31, 'b'));
    }
}

}  // namespace
