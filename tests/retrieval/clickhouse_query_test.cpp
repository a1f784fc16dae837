// The ClickHouse query's two pure halves: a row as the server prints it back
// into the probe's own line (the values the sink changed, and texts the
// writer escapes), and the SQL it asks, where no user text may go unchecked
// and the keyword narrows only where every match lies.
#include <gtest/gtest.h>

#include "retrieval/clickhouse_query.h"

namespace {

TEST(ClickhouseQuery, RowsComeBackAsTheProbeWroteThem)
{
    const std::vector<ChColumnT> cols = {{"type", "UInt8"},        {"time", "DateTime"},     {"process", "String"},
                                         {"srcBytes", "UInt32"},   {"avgPktLen", "Float64"}, {"srcLossRatio", "Float64"},
                                         {"cpu", "Float64"},       {"begintime", "UInt64"}};
    struct {
        const char* row;
        const char* line;  // nullptr: refused
    } const cases[] = {
        {"1\t1767225610\t61\t4294967295\t835.8\t-0\t0\t1767225600006",
         R"({"type":"1","time":"1767225610","process":"a","srcBytes":"-1","avgPktLen":"835.80","srcLossRatio":"0.00","cpu":"0.000","begintime":"1767225600.006"})"},
        // A quote, a backslash, a control byte, UTF-8 and a byte that is not.
        {"1\t0\t225CC3A90AFF\t2147483647\t0.1\t0.125\t12.5\t5",
         R"({"type":"1","time":"0","process":"\"\\é\u000a\u00ff","srcBytes":"2147483647","avgPktLen":"0.10","srcLossRatio":"0.125","cpu":"12.500","begintime":"0.005"})"},
        {"1\t0\t61\t1\t1\t1\t1", nullptr},            // a column short
        {"1\t0\t6\t1\t1\t1\t1\t1", nullptr},          // half a byte of hex
        {"1\t0\t61\t1\t1\t1\t1\t1\t1", nullptr},      // a column more
        {"Code: 241, e.displayText() = DB::Exception", nullptr},
    };
    for (const auto& c : cases) {
        std::string line;
        const bool ok = clickhouseRebuild(cols, c.row, std::strlen(c.row), &line);
        EXPECT_EQ(ok, c.line != nullptr) << c.row;
        if (ok && c.line != nullptr) {
            EXPECT_EQ(line, c.line);
        }
    }
}

TEST(ClickhouseQuery, KeywordNarrowsOnlyWhereEveryMatchLies)
{
    const std::vector<ChColumnT> cols = {{"type", "UInt8"}, {"time", "DateTime"}, {"urlsql", "String"},
                                         {"srcZeroWinPkts", "UInt32"}};
    struct {
        const char* keyword;
        const char* narrowed;  // the SQL's condition on the texts; "" none
    } const cases[] = {
        {"shop.bench", "position(`urlsql`, 'shop.') > 0"},
        {"it's", "position(`urlsql`, 'it\\'s') > 0"},  // the quote escaped
        {"Zero", ""},                                  // in a key name: every line holds it
        {"10.2.0.1", ""},                              // a number's characters
        {"u00e9", ""},                                 // what an escape writes
        {"\"src\":\"x y", ""},                         // across a quote
        {"x\\y", "position(`urlsql`, 'x') > 0"},
    };
    for (const auto& c : cases) {
        ClickhouseQueryT q;
        q.q.keyword = c.keyword;
        const std::string sql = clickhouseSelect(q, "pairs", cols, -1);
        if (*c.narrowed != '\0') {
            EXPECT_NE(sql.find(c.narrowed), std::string::npos) << c.keyword << ": " << sql;
        } else {
            EXPECT_EQ(sql.find("position(`urlsql`"), std::string::npos) << c.keyword << ": " << sql;
        }
    }
}

}  // namespace
