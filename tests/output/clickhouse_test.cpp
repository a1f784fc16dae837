// The rows the ClickHouse sink makes of record lines: what a typed column
// could not take as the record writes it, or could not give back the same.
#include <gtest/gtest.h>

#include <string>

#include "output/clickhouse.h"

TEST(ClickhouseRow, RecordLinesAsRows)
{
    struct Case {
        const char* line;
        int table;
        const char* row;  // without its host and line end
    };
    const Case cases[] = {
        // Milliseconds; a ratio's nothing-to-divide-by apart from a computed zero; two-place values as they are.
        {R"({"type":"1","srcLossRatio":"0.00","dstLossRatio":"0.000","avgPktLen":"0.00","srcNetDelay":"1.250"})", 0,
         R"({"type":"1","srcLossRatio":"-0","dstLossRatio":"0.000","avgPktLen":"0.00","srcNetDelay":"1.250"})"},
        {R"({"type":"2","begintime":"1796771356.335","endtime":"0.000","url":"/a?b=0.00"})", 1,
         R"({"type":"2","begintime":"1796771356335","endtime":"0000","url":"/a?b=0.00"})"},
        // A count printed signed past 2^31 is the unsigned one; a signed time and a text stay.
        {R"({"type":"5","bytes":"-2147483640","response":"-12","sql":"-5"})", 2,
         R"({"type":"5","bytes":"2147483656","response":"-12","sql":"-5"})"},
        // A byte that is not UTF-8 as itself; an escaped backslash before "u00e9", quotes, control bytes as written.
        {R"({"type":"9","sql":"caf\u00e9 \\u00e9 \" \u0001 \u00ff\u0080"})", 2,
         "{\"type\":\"9\",\"sql\":\"caf\xe9 \\\\u00e9 \\\" \\u0001 \xff\x80\"}"},
        // A value ends at the quote behind an even run of backslashes.
        {R"({"type":"7","sni":"a\\","ja3":"\\\"\\","alpn":"h2"})", 3,
         R"({"type":"7","sni":"a\\","ja3":"\\\"\\","alpn":"h2"})"},
        // No rows: the end-of-scan mark, a type of no table, lines that are not the writer's.
        {R"({"type":"99","time":"1"})", -1, ""},
        {R"({"type":"3","time":"1"})", -1, ""},
        {R"({"type":"1","time":"1")", -1, ""},
        {R"({"type":"1","time":1})", -1, ""},
        {R"(["type","1"])", -1, ""},
    };
    for (const Case& c : cases) {
        std::string row;
        const int table = clickhouseRow(c.line, "probe-\"a\"", &row);
        EXPECT_EQ(table, c.table) << c.line;
        if (c.table < 0) {
            EXPECT_EQ(row, "") << c.line;
        } else {
            EXPECT_EQ(row, std::string(c.row).substr(0, std::string(c.row).size() - 1) + R"(,"host":"probe-\"a\""})" + "\n")
                << c.line;
        }
    }
}
