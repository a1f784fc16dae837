// Records handed off by the processing thread come out whole, once each and
// in the order they were exported, also when the queue runs full and the
// exporting thread is behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "output/channel.h"

TEST(ExportQueue, HandedOffRecordsKeepTheirOrder)
{
    std::string path = testing::TempDir() + "export_queue.json";
    char err[256];
    ASSERT_EQ(openJsonOut(path.c_str(), err, sizeof err), 0) << err;
    constexpr int RECORDS = 20000;  // many times the queue
    std::thread processing([] {
        handOffRecords();
        CommMsgT m {};
        NetSessionT s {};
        s.type = 1;
        s.busi.http.beginTime.tv_sec = 1700000000;
        for (int i = 0; i < RECORDS; i++) {
            if (i % 10 == 9) {
                std::snprintf(s.busi.http.url, sizeof s.busi.http.url, "/%d", i);
                exportBusinessData(&s);
            } else {
                m.sport = static_cast<u32>(i);
                exportData(&m, 1700000000);
            }
        }
        exportEndData(1700000010);
    });
    processing.join();
    flushJsonOut();

    std::ifstream in(path);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        std::string want = n == RECORDS       ? "{\"type\":\"99\""
                           : n % 10 == 9 ? "\"url\":\"/" + std::to_string(n) + "\""
                                         : "\"sport\":\"" + std::to_string(n) + "\"";
        ASSERT_NE(line.find(want), std::string::npos) << "line " << n << ": " << line.substr(0, 200);
        ASSERT_EQ(line.back(), '}') << "line " << n;
        n++;
    }
    EXPECT_EQ(n, RECORDS + 1);
}
