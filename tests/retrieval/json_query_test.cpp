// The query of the JSON store on hand-made store files: field-exact filters,
// the period ends, whole-result paging and the values read back whole.
#include "retrieval/json_query.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "support/conf_fixture.h"

namespace {

namespace fs = std::filesystem;

std::string pair(long t, const char* src, int sport, const char* dst, int dport, const std::string& extra = "")
{
    return "{\"type\":\"1\",\"time\":\"" + std::to_string(t) + "\",\"src\":\"" + src + "\",\"dst\":\"" + dst +
           "\",\"proto\":\"6\",\"sport\":\"" + std::to_string(sport) + "\",\"dport\":\"" + std::to_string(dport) +
           "\",\"srcPkts\":\"80\"" + extra + "}";
}

class JsonQueryTest : public ConfFixture {
protected:
    // A store file of lines as the store writes them; mtime = its end.
    void file(const char* name, const std::vector<std::string>& lines, long mtime, const char* tail = "")
    {
        std::string text;
        for (const auto& l : lines) text += l + "\r\n\r\n";
        std::ofstream(dir / "json" / name, std::ios::binary) << text << tail;
        const timespec times[2] = {{mtime, 0}, {mtime, 0}};
        utimensat(AT_FDCWD, (dir / "json" / name).c_str(), times, 0);
    }
    std::vector<StoreFileT> list()
    {
        std::vector<StoreFileT> files;
        EXPECT_EQ(listStore(sub("json").c_str(), "json", JSON_BLANK_FILE_SIZE, "", getJsonFileStime, files), 0);
        return files;
    }
    std::vector<std::string> result(long long start, long long end, const char* filter = "", const char* keyword = "")
    {
        JsonQueryT q;
        q.start = start, q.end = end, q.keyword = keyword;
        EXPECT_EQ(parseFilter(filter, &q.filter), 0);
        std::vector<std::string> got;
        queryStore(list(), q, 0, -1, [&](const char* l, std::size_t n) { got.emplace_back(l, n); });
        return got;
    }
};

// Pages over two files of 10 and 20 matches; the period's start is in, its
// end out; a file that ends at the query's start is still looked at; a
// record being written is left out. Files that are blank, without a time or
// not of the store are not listed.
TEST_F(JsonQueryTest, PeriodAndPages)
{
    std::vector<std::string> first, second;
    for (int i = 0; i < 10; i++) first.push_back(pair(1000 + i, "10.0.0.1", 40000, "10.0.0.2", 80));
    for (int i = 0; i < 20; i++) second.push_back(pair(2000 + i, "10.0.0.1", 40000, "10.0.0.2", 80));
    file("Wirelane-1-001.json", first, 1009);
    file("Wirelane-1-002.json", second, 2019, "{\"type\":\"1\",\"time\":\"2020\"");  // a record being written
    file("Wirelane-1-003.json", {}, 2100);
    fs::resize_file(dir / "json" / "Wirelane-1-003.json", JSON_BLANK_FILE_SIZE);
    file("Wirelane-1-004.json", {"no time here"}, 2200);
    file("other.json", first, 1400);
    std::vector<StoreFileT> files = list();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(std::tuple(files[0].stime, files[0].etime, files[1].name), std::tuple(1000, 1009, "Wirelane-1-002.json"));
    EXPECT_EQ(result(1000, 3000).size(), 30u);
    JsonQueryT q;
    q.start = 1000, q.end = 3000;
    CommMsgT page[QUERY_PAGE_RECORDS];
    ASSERT_EQ(scanJson(files, q, 0, page), 15);
    EXPECT_EQ(page[14].time, 2004);
    ASSERT_EQ(scanJson(files, q, 1, page), 15);
    EXPECT_EQ(std::pair(page[0].time, page[14].time), std::pair(2005L, 2019L)) << "matches 16 to 30 on page 1";
    EXPECT_EQ(scanJson(files, q, 2, page), 0);
    auto edge = result(1009, 2000);  // from the first file's end to the second file's start
    ASSERT_EQ(edge.size(), 1u);
    EXPECT_NE(edge[0].find("\"time\":\"1009\""), std::string::npos);
    EXPECT_EQ(listStore(sub("missing").c_str(), "json", JSON_BLANK_FILE_SIZE, "", getJsonFileStime, files), -1);
}

// The filters test their own fields (not srcPkts, not proto), keywords are
// case-sensitive, a broken line is no record, values come back whole and
// unescaped, and delays are read digit by digit.
TEST_F(JsonQueryTest, FieldsAndValues)
{
    file("Wirelane-1-001.json",
         {pair(1000, "10.1.1.1", 40000, "10.1.1.10", 3306,
               ",\"urlsql\":\"select a,b from t where c=\\\"x\\\"\",\"srcNetDelay\":\"1.234\",\"process\":\"my\\u00e9\""),
          pair(1001, "10.1.1.10", 80, "10.1.1.20", 50000), "{\"type\":\"1\",\"time\":\"1002\",\"src\":broken}"},
         1002);
    struct { const char *filter, *keyword; std::size_t matches; } const cases[] = {
        {"", "", 2}, {"80", "", 1}, {"6", "", 0}, {"10.1.1.1", "", 1}, {"10.1.1.10", "", 2}, {"10.1.1.1:3306", "", 0},
        {"10.1.1.10:3306", "", 1}, {"10.1.1.15-10.1.1.30", "", 1}, {"", "select a,b", 1}, {"", "SELECT", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(result(1000, 1003, c.filter, c.keyword).size(), c.matches) << c.filter << " " << c.keyword;
    JsonQueryT q;
    q.start = 1000, q.end = 1001;
    CommMsgT rec[QUERY_PAGE_RECORDS];
    ASSERT_EQ(scanJson(list(), q, 0, rec), 1);
    EXPECT_STREQ(rec[0].urlsql, "select a,b from t where c=\"x\"");
    EXPECT_STREQ(rec[0].pname, "my\xE9");
    EXPECT_EQ(std::tuple(rec[0].srcDelayUsec, rec[0].cntSrcDelay, rec[0].sendPkts, rec[0].dport, rec[0].src),
              std::tuple(1234u, 1u, 80u, 3306u, 0x0A010101u));
}

// Lines across the read blocks, and a line too long to be a record, with and
// without a keyword.
TEST_F(JsonQueryTest, LongFiles)
{
    std::vector<std::string> lines;
    const std::string pad(700, 'p');
    for (int i = 0; i < 4000; i++) {
        lines.push_back(pair(1000 + i, "10.0.0.1", 40000, "10.0.0.2", 80,
                             ",\"urlsql\":\"" + pad + (i % 7 == 0 ? "needle" : "") + "\""));
        if (i == 2000) lines.push_back(std::string(40000, 'x') + "needle");
    }
    file("Wirelane-1-001.json", lines, 6000);
    EXPECT_EQ(result(0, 6000).size(), 4000u);
    auto got = result(0, 6000, "", "needle");
    ASSERT_EQ(got.size(), 572u);
    EXPECT_EQ(got[571], lines[3997 + 1]) << "whole, in file order";
}

}  // namespace
