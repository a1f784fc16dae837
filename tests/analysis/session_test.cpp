// The session table's lookup, its small helpers and the record made from a session.
#include "analysis/session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr u32 A = 0x0A000001, B = 0xC0A807C8;  // 10.0.0.1, 192.168.7.200

// Both directions meet in one bucket; other VLANs share the first's session, protocols not.
TEST(SessionTable, BothDirectionsFindOneSession)
{
    for (u32 x : {A, B, 0u, 0xFFFFFFFFu}) {
        const int h = getHashCode(x, B, 65535, 1);
        EXPECT_TRUE(h == getHashCode(B, x, 1, 65535) && h >= 0 && h < HASH_BUCKETS) << h;
    }
    auto node = std::make_unique<HashNodeT>();
    int dir = -1;
    NetSessionT* s = findSession(node.get(), 7, 6, A, B, 40000, 80, 100, &dir, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(findSession(node.get(), 9, 6, B, A, 80, 40000, 100, &dir, nullptr), s);
    EXPECT_EQ(std::pair(dir, s->vid), std::pair(2, 7));
    EXPECT_NE(findSession(node.get(), 7, 17, A, B, 40000, 80, 100, &dir, nullptr), s);
}

TEST(SessionHelpers, LengthClassesTimeDifferencesAndRecordTexts)
{
    u32 NetSessionT::*const classes[] = {&NetSessionT::upTo64,  &NetSessionT::upTo128,  &NetSessionT::upTo256,
                                         &NetSessionT::upTo512, &NetSessionT::upTo1024, &NetSessionT::upTo1514,
                                         &NetSessionT::largePkts};
    for (const auto& [len, k] : {std::pair {64, 0}, {65, 1}, {128, 1}, {129, 2}, {512, 3}, {1024, 4}, {1514, 5},
                                 {1515, 6}}) {
        NetSessionT s {};
        addSessionDistribute(&s, len);
        for (int i = 0; i < 7; ++i) EXPECT_EQ(s.*classes[i], i == k ? 1u : 0u) << len;
    }
    struct Diff { timeval a, b; int usec; };
    // Unset times, negative, up to and past 2^31 microseconds, 32-bit seconds wrapping.
    const Diff diffs[] = {{{10, 200}, {9, 900}, 999300}, {{10, 0}, {0, 5}, 0}, {{0, 900}, {10, 0}, 0},
                          {{9, 900}, {10, 200}, 0}, {{2147 + 5, 0}, {5, 0}, 2147000000}, {{2148 + 5, 0}, {5, 0}, 0},
                          {{5, 0}, {0xFFFFFFFFLL, 0}, 6000000}};
    for (const Diff& d : diffs) EXPECT_EQ(timevalDiffUsec(d.a, d.b), d.usec) << d.a.tv_sec << " " << d.b.tv_sec;
    // The record's host and URL or statement, cut to 32 bytes; texts copied within their fields.
    NetSessionT s {};
    std::memset(s.pname, 'p', sizeof s.pname);
    std::memset(s.busiId, 'b', sizeof s.busiId);
    struct Case { int type; const char* domain; std::string text, expect; };  // text: URL for type 1, else SQL
    const std::string longUrl = "/" + std::string(38, 'u'), longSql = "select " + std::string(393, 'x');
    const Case cases[] = {{1, "example.com", longUrl, "example.com" + longUrl.substr(0, 21)},
                          {1, "example.com", "", ""},  // no URL, no text, even with a host
                          {2, "", longSql, longSql.substr(0, 32)},
                          {0, "", "select 1", ""}};
    for (const Case& c : cases) {
        s.type = c.type;
        std::memset(&s.busi, 0, sizeof s.busi);
        std::strcpy(s.busi.http.domain, c.domain);
        std::strcpy(c.type == 1 ? s.busi.http.url : s.busi.db.sql, c.text.c_str());
        CommMsgT m;
        std::memset(&m, 0x33, sizeof m);
        cloneMsgValue(&m, &s);
        EXPECT_EQ(std::string(m.urlsql) + "|" + m.pname + "|" + m.busiId,
                  c.expect + "|" + std::string(64, 'p') + "|" + std::string(31, 'b')) << c.type;  // a wider pname
    }
}

}  // namespace
