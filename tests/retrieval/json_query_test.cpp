// The query of the JSON store on hand-made store files: the filter forms,
// field-exact filters, the period ends, whole-result paging and the values
// read back whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "retrieval/json_query.h"

namespace {

namespace fs = std::filesystem;

std::string pair(long t, const char* src, int sport, const char* dst, int dport, const char* extra = "")
{
    char line[2048];
    std::snprintf(line, sizeof line,
                  "{\"type\":\"1\",\"time\":\"%ld\",\"src\":\"%s\",\"dst\":\"%s\",\"proto\":\"6\","
                  "\"sport\":\"%d\",\"dport\":\"%d\",\"srcPkts\":\"80\"%s}",
                  t, src, dst, sport, dport, extra);
    return line;
}

TEST(QueryFilter, FormsAndTests)
{
    const EndpointT a {0x0A010101, 80}, b {0x0A01010A, 5000};  // 10.1.1.1:80, 10.1.1.10:5000
    struct {
        const char* text;
        int rc;
        bool passes;  // for the conversation a-b
    } const cases[] = {
        {"", 0, true},
        {"10.1.1.1", 0, true},
        {"10.1.1.100", 0, false},       // not a prefix match
        {"80", 0, true},
        {"6", 0, false},                 // the protocol is no port
        {"10.1.1.1:80", 0, true},
        {"10.1.1.1:5000", 0, false},     // address and port of different sides
        {"10.1.1.2-10.1.1.9", 0, false},
        {"10.1.1.5-10.1.1.10", 0, true},  // the destination is in it
        {"10.9.9.9,10.1.1.10", 0, true},
        {"10.1.1.1 ", FILTER_BAD_CHAR, false},
        {"host", FILTER_BAD_CHAR, false},
        {"10.1.1.1:80,10.1.1.2", FILTER_BAD_FORM, false},
        {"10.0.0.300", FILTER_BAD_FORM, false},
        {"10.1.1.1:", FILTER_BAD_FORM, false},
        {"65536", FILTER_BAD_FORM, false},
        {"10.1.1.1,", FILTER_BAD_FORM, false},
        {"1-2", FILTER_BAD_FORM, false},
    };
    for (const auto& c : cases) {
        EndpointFilterT f;
        EXPECT_EQ(parseFilter(c.text, &f), c.rc) << c.text;
        if (c.rc == 0) {
            EXPECT_EQ(filterPasses(f, a, b), c.passes) << c.text;
        }
    }
    EndpointFilterT f;
    ASSERT_EQ(parseFilter("80", &f), 0);
    EXPECT_FALSE(filterPasses(f, {1, -1}, {2, -1})) << "no ports, no port match";
    long long t = 0;
    EXPECT_TRUE(parseTimeArg("1796540693", &t) && t == 1796540693);
    EXPECT_FALSE(parseTimeArg("2026-04-31 10:00:00", &t));
    EXPECT_FALSE(parseTimeArg("2026-01-01 10:00", &t));
}

class JsonQueryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/wl-query-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }
    // A store file of lines as the store writes them; mtime = its end.
    void file(const char* name, const std::vector<std::string>& lines, long mtime, const char* tail = "")
    {
        std::ofstream out(dir / name, std::ios::binary);
        for (const auto& l : lines) out << l << "\r\n\r\n";
        out << tail;
        out.close();
        struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
        utimensat(AT_FDCWD, (dir / name).c_str(), times, 0);
    }
    std::vector<StoreFileT> list()
    {
        std::vector<StoreFileT> files;
        EXPECT_EQ(listStore(dir.c_str(), "json", JSON_BLANK_FILE_SIZE, "", getJsonFileStime, files), 0);
        return files;
    }
    std::vector<std::string> result(JsonQueryT q, long skip = 0, long limit = -1)
    {
        std::vector<std::string> got;
        queryStore(list(), q, skip, limit, [&](const char* l, std::size_t n) { got.emplace_back(l, n); });
        return got;
    }
    fs::path dir;
};

// Pages over two files of 10 and 20 matches; the period's start is in, its
// end out; a file that ends at the query's start is still looked at; a
// record being written is left out.
TEST_F(JsonQueryTest, PeriodAndPages)
{
    std::vector<std::string> first, second;
    for (int i = 0; i < 10; i++) first.push_back(pair(1000 + i, "10.0.0.1", 40000, "10.0.0.2", 80));
    for (int i = 0; i < 20; i++) second.push_back(pair(2000 + i, "10.0.0.1", 40000, "10.0.0.2", 80));
    file("Wirelane-1-001.json", first, 1009);
    file("Wirelane-1-002.json", second, 2019, "{\"type\":\"1\",\"time\":\"2020\"");  // a record being written
    JsonQueryT q;
    q.start = 1000;
    q.end = 3000;
    std::vector<StoreFileT> files = list();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].stime, 1000);
    EXPECT_EQ(result(q).size(), 30u);
    CommMsgT page[QUERY_PAGE_RECORDS];
    ASSERT_EQ(scanJson(files, q, 0, page), 15);
    EXPECT_EQ(page[14].time, 2004);
    ASSERT_EQ(scanJson(files, q, 1, page), 15);
    EXPECT_EQ(page[0].time, 2005) << "matches 16 to 30 on page 1";
    EXPECT_EQ(page[14].time, 2019);
    EXPECT_EQ(scanJson(files, q, 2, page), 0);

    q.start = 1009;  // the first file's end
    q.end = 2000;    // the second file's start
    auto edge = result(q);
    ASSERT_EQ(edge.size(), 1u);
    EXPECT_NE(edge[0].find("\"time\":\"1009\""), std::string::npos);
}

// The filters test their own fields, keywords are case-sensitive, values come
// back whole and unescaped, and delays are read digit by digit.
TEST_F(JsonQueryTest, FieldsAndValues)
{
    file("Wirelane-1-001.json",
         {pair(1000, "10.1.1.1", 40000, "10.1.1.10", 3306,
               ",\"urlsql\":\"select a,b from t where c=\\\"x\\\"\",\"srcNetDelay\":\"1.234\",\"process\":\"my\\u00e9\""),
          pair(1001, "10.1.1.10", 80, "10.1.1.20", 50000), "{\"type\":\"1\",\"time\":\"1002\",\"src\":broken}"},
         1002);
    struct {
        const char* filter;
        const char* keyword;
        int matches;
    } const cases[] = {
        {"", "", 2},          {"80", "", 1},        {"6", "", 0},      {"10.1.1.1", "", 1},
        {"10.1.1.10", "", 2}, {"10.1.1.1:3306", "", 0}, {"10.1.1.10:3306", "", 1}, {"10.1.1.15-10.1.1.30", "", 1},
        {"", "select a,b", 1}, {"", "SELECT", 0},
    };
    for (const auto& c : cases) {
        JsonQueryT q;
        q.start = 1000;
        q.end = 1003;
        ASSERT_EQ(parseFilter(c.filter, &q.filter), 0);
        q.keyword = c.keyword;
        EXPECT_EQ(static_cast<int>(result(q).size()), c.matches) << c.filter << " " << c.keyword;
    }
    JsonQueryT q;
    q.start = 1000;
    q.end = 1001;
    CommMsgT rec[QUERY_PAGE_RECORDS];
    ASSERT_EQ(scanJson(list(), q, 0, rec), 1);
    EXPECT_STREQ(rec[0].urlsql, "select a,b from t where c=\"x\"");
    EXPECT_STREQ(rec[0].pname, "my\xE9");
    EXPECT_EQ(rec[0].srcDelayUsec, 1234u);
    EXPECT_EQ(rec[0].cntSrcDelay, 1u);
    EXPECT_EQ(rec[0].sendPkts, 80u);
    EXPECT_EQ(rec[0].dport, 3306u);
    EXPECT_EQ(rec[0].src, 0x0A010101u);
}

// Lines across the read blocks, and a line too long to be a record, with and
// without a keyword.
TEST_F(JsonQueryTest, LongFiles)
{
    std::vector<std::string> lines;
    const std::string pad(700, 'p');
    for (int i = 0; i < 4000; i++) {
        lines.push_back(pair(1000 + i, "10.0.0.1", 40000, "10.0.0.2", 80,
                             (",\"urlsql\":\"" + pad + (i % 7 == 0 ? "needle" : "") + "\"").c_str()));
        if (i == 2000) lines.push_back(std::string(40000, 'x') + "needle");
    }
    file("Wirelane-1-001.json", lines, 6000);
    JsonQueryT q;
    q.start = 0;
    q.end = 6000;
    EXPECT_EQ(result(q).size(), 4000u);
    q.keyword = "needle";
    auto got = result(q);
    ASSERT_EQ(got.size(), 572u);
    EXPECT_EQ(got[571], lines[3997 + 1]) << "whole, in file order";
}

// Files that are blank, empty or not of the store are not listed.
TEST_F(JsonQueryTest, Listing)
{
    file("Wirelane-1-001.json", {pair(1000, "1.1.1.1", 1, "2.2.2.2", 2)}, 1500);
    file("Wirelane-1-002.json", {}, 1600);
    file("other.json", {pair(1000, "1.1.1.1", 1, "2.2.2.2", 2)}, 1400);
    fs::resize_file(dir / "Wirelane-1-002.json", JSON_BLANK_FILE_SIZE);
    file("Wirelane-1-003.json", {"no time here"}, 1700);
    auto files = list();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].etime, 1500);
    EXPECT_EQ(listStore((dir / "missing").c_str(), "json", JSON_BLANK_FILE_SIZE, "", getJsonFileStime, files), -1);
}

}  // namespace
