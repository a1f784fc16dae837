// Statements and errors of a real MariaDB client and server conversation,
// read from a loopback capture through the whole frame path. The capture is
// made by tests/scripts/mysql_traffic.sh and named by WIRELANE_MYSQL_PCAP.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "output/channel.h"
#include "support/capture_file.h"
#include "support/tables.h"

using namespace testtables;

namespace {

std::vector<DbSessionT> finished;

}  // namespace

TEST(MysqlTraffic, StatementsAndErrorsOfOneConnection)
{
    const char* file = std::getenv("WIRELANE_MYSQL_PCAP");
    if (file == nullptr) GTEST_SKIP() << "WIRELANE_MYSQL_PCAP names no capture";
    resetSessions();
    clearEndpoints();
    ASSERT_TRUE(addEndpoint("127.0.0.1:13306", 5));  // MySQL
    finished.clear();
    setTransactionObserver([](const NetSessionT& s) {
        if (s.type == 3) finished.push_back(s.busi.db);
    });
    std::string err;
    const bool read = testcapture::readCaptureFile(file, &err);
    setTransactionObserver(nullptr);
    clearEndpoints();
    ASSERT_TRUE(read) << err;

    // The statement still open when the capture ends stays in its session.
    std::vector<DbSessionT> all = finished;
    for (const HashNodeT& node : globalValue.hashTable->node) {
        for (const NetSessionT& s : node.session) {
            if (s.valid && s.type == 3 && s.busi.db.sql[0] != '\0') all.push_back(s.busi.db);
        }
    }
    // CREATE ..., SELECT DATABASE() (sent for USE) and the unanswered keyword
    // pairs are incomplete and replaced without a report.
    const std::pair<const char*, const char*> expected[] = {  // statement, start of the error message
        {"INSERT INTO t1 VALUES (1, 'one'), (2, 'two')", ""},
        {"SELECT id, name FROM t1 WHERE id = 1", ""},
        {"UPDATE t1 SET name = 'uno' WHERE id = 1", ""},
        {"SELECT id, name FROM t1 WHERE id > 0", ""},
        {"DELETE FROM t1 WHERE id = 2", ""},
        {"SELECT * FROM missing_table", "Table 'shop.missing_table' doesn't exist"},
        {"SELECT * FROM WHERE t1", "You have an error in your SQL syntax; check the manual"},
    };
    ASSERT_EQ(all.size(), std::size(expected)) << "the last statement is still open";
    for (std::size_t i = 0; i < all.size(); ++i) {
        const auto& [sql, errMess] = expected[i];
        const DbSessionT& s = all[i];
        SCOPED_TRACE(sql);
        EXPECT_STREQ(s.sql, sql);
        EXPECT_EQ(s.real, 1);
        const std::string mess(s.errMess, strnlen(s.errMess, sizeof s.errMess));
        EXPECT_EQ(mess.substr(0, std::strlen(errMess)), errMess);
        EXPECT_EQ(mess.empty(), errMess[0] == '\0');
        EXPECT_LE(mess.size(), 120u);
        EXPECT_EQ(s.retcode, 0);  // 1146 and 1064 are above 1000
        // Closed transactions are timed to their last response frame.
        EXPECT_TRUE(i + 1 == all.size() || (s.response > 0 && s.response < 5000000)) << s.response;
    }
}
