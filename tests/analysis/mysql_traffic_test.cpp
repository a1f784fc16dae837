// Statements and errors of a real MariaDB client and server conversation,
// read from a loopback capture through the whole frame path. The capture is
// made by tests/scripts/mysql_traffic.sh and named by WIRELANE_MYSQL_PCAP.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "output/data.h"
#include "support/capture_file.h"
#include "support/tables.h"

using namespace testtables;

namespace {

struct Seen {
    std::string sql;
    int real;
    int retcode;
    int response;
    std::string errMess;
};

std::vector<Seen> finished;

Seen seenOf(const NetSessionT& s)
{
    const DbSessionT& db = s.busi.db;
    return {db.sql, db.real, db.retcode, db.response, db.errMess};
}

void observe(const NetSessionT& s)
{
    if (s.type == 3) finished.push_back(seenOf(s));
}

}  // namespace

TEST(MysqlTraffic, StatementsAndErrorsOfOneConnection)
{
    const char* file = std::getenv("WIRELANE_MYSQL_PCAP");
    if (file == nullptr) GTEST_SKIP() << "WIRELANE_MYSQL_PCAP names no capture";
    resetSessions();
    clearEndpoints();
    HostInfoT h;
    ASSERT_EQ(makeHostInfo(&h, "127.0.0.1:13306", 5, "12345678"), 0);
    ASSERT_EQ(addNewHostInfo(&h), 0);
    finished.clear();
    setTransactionObserver(observe);
    std::string err;
    const bool read = testcapture::readCaptureFile(file, &err);
    setTransactionObserver(nullptr);
    ASSERT_TRUE(read) << err;
    clearEndpoints();

    // The statement still open when the capture ends stays in its session.
    const NetSessionT* open = nullptr;
    for (const HashNodeT& node : globalValue.hashTable->node) {
        for (const NetSessionT& s : node.session) {
            if (s.valid && s.type == 3 && s.busi.db.sql[0] != '\0') open = &s;
        }
    }
    ASSERT_NE(open, nullptr) << "no MySQL session in the capture";

    // CREATE ..., SELECT DATABASE() (sent for USE) and the unanswered keyword
    // pairs are incomplete and replaced without a report.
    struct Expected {
        const char* sql;
        const char* errMess;  // prefix
    };
    const Expected expected[] = {
        {"INSERT INTO t1 VALUES (1, 'one'), (2, 'two')", ""},
        {"SELECT id, name FROM t1 WHERE id = 1", ""},
        {"UPDATE t1 SET name = 'uno' WHERE id = 1", ""},
        {"SELECT id, name FROM t1 WHERE id > 0", ""},
        {"DELETE FROM t1 WHERE id = 2", ""},
        {"SELECT * FROM missing_table", "Table 'shop.missing_table' doesn't exist"},
        {"SELECT * FROM WHERE t1", "You have an error in your SQL syntax; check the manual"},
    };
    std::vector<Seen> all = finished;
    all.push_back(seenOf(*open));
    ASSERT_EQ(all.size(), std::size(expected));
    for (std::size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE(expected[i].sql);
        const Seen& s = all[i];
        EXPECT_EQ(s.sql, expected[i].sql);
        EXPECT_EQ(s.real, 1);
        EXPECT_EQ(s.sql.find_first_of("\r\n\t"), std::string::npos);
        if (expected[i].errMess[0] == '\0')
            EXPECT_EQ(s.errMess, "");
        else
            EXPECT_EQ(s.errMess.rfind(expected[i].errMess, 0), 0u) << s.errMess;
        EXPECT_LE(s.errMess.size(), 120u);
        EXPECT_EQ(s.retcode, 0);  // 1146 and 1064 are above 1000
        // Closed transactions are timed to their last response frame.
        if (i + 1 < all.size()) {
            EXPECT_TRUE(s.response > 0 && s.response < 5000000) << s.response;
        }
    }
}
