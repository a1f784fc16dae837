// The export channels: records handed off by the processing thread, and
// frames over VXLAN.
#include "output/channel.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <thread>

// Records come out whole, once each and in the order they were exported,
// also when the queue runs full and the exporting thread is behind.
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
            m.sport = static_cast<u32>(i);
            std::snprintf(s.busi.http.url, sizeof s.busi.http.url, "/%d", i);
            i % 10 == 9 ? exportBusinessData(&s) : exportData(&m, 1700000000);
        }
        exportEndData(1700000010);
    });
    processing.join();
    flushJsonOut();
    std::ifstream in(path);
    int n = 0;
    for (std::string line; std::getline(in, line); n++) {
        std::string want = n == RECORDS   ? "{\"type\":\"99\""
                           : n % 10 == 9 ? "\"url\":\"/" + std::to_string(n) + "\""
                                         : "\"sport\":\"" + std::to_string(n) + "\"";
        ASSERT_NE(line.find(want), std::string::npos) << "line " << n << ": " << line.substr(0, 200);
        ASSERT_EQ(line.back(), '}') << "line " << n;
    }
    EXPECT_EQ(n, RECORDS + 1);
}

// A frame goes out whole behind the VXLAN header (VNI 200), cut to what a
// ring slot holds.
TEST(ExportQueue, FramesGoOutInVxlan)
{
    sockaddr_in& a = readOnlyGlobal.expPktAddress = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    timeval wait {2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), len), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    initSocket();  // both channels closed: the frame channel opens a socket of its own
    ASSERT_EQ(initPacketSock(), 0);
    u8 frame[SLOT_DATA + 100];
    for (std::size_t i = 0; i < sizeof frame; i++) frame[i] = static_cast<u8>(i * 7);
    for (u32 caplen : {60u, SLOT_DATA + 100u}) {
        const pcap_pkthdr h {{0, 0}, caplen, caplen};
        exportPacketData(&h, frame);
        char got[SLOT_DATA + 200];
        const std::size_t want = std::min<std::size_t>(caplen, SLOT_DATA);
        ASSERT_EQ(recv(fd, got, sizeof got, 0), static_cast<ssize_t>(8 + want)) << caplen;
        EXPECT_EQ(std::string(got, 8 + want), std::string("\x08\0\0\0\0\0\xC8\0", 8) + std::string(frame, frame + want))
            << caplen;
    }
    readOnlyGlobal.isPktExp = 0;
    close(fd);
}
