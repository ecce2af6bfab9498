// What the DHT node writes to the debug log: whole hex dumps of datagrams it
// cannot decode (a few a second), the statistics line with the pools' peaks
// and the socket's rates, and at shutdown the route list, the audit list and
// the filter rules.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "engine/dht.h"
#include "engine/ipfilter.h"
#include "tests/engine/dht_support.h"
#include "tests/support/log_capture.h"

using namespace dhttest;

namespace {

double Clock(void *context) {
    return *static_cast<double *>(context);
}

class DHTDump : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::CaptureAlerts();
        DHT_Create(&dht_);
        DHT_SetVerbose(dht_, 0);
        DHT_SetClock(dht_, Clock, &now_);
        DHT_SetListen(dht_, kLoopback, 0);
        DHT_SetActive(dht_, 1);
        DHT_Pump(dht_);
        console_.Clear();
    }
    void TearDown() override {
        DHT_Destroy(&dht_);
        testsupport::StopAlertCapture();
    }
    void AddNode(uint8_t first, int a) {
        std::string nodeId(20, '\0');
        nodeId[0] = (char)first;
        const uint8_t address[4] = {10, 0, 0, (uint8_t)a};
        DHTNodeStruct *node = nullptr;
        ASSERT_EQ(
            1, DHT_InternalAddNode(dht_, (const uint8_t *)nodeId.data(), address, 6000 + a, &node));
    }
    int Count(const std::string &part) {
        const std::string text = console_.Text();
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            n++;
        return n;
    }
    testsupport::ConsoleCapture console_;
    DHTStruct *dht_ = nullptr;
    double now_ = 1000;
};

TEST_F(DHTDump, UndecodableDatagramsAreDumpedWholeAFewASecond) {
    std::string packet(600, 'x');
    packet[0] = 'q'; // not bencode
    packet[599] = '\x01';
    ASSERT_EQ(0, DHT_HandleDatagram(dht_, kLoopback, 7000, packet.data(), (int)packet.size()));
    EXPECT_TRUE(console_.Contains("Packet from 127.0.0.1:7000 [600] (0 not dumped before it)\n"))
        << console_.Text();
    EXPECT_TRUE(console_.Contains("0000  71 78 78 78 78 78 78 78 78 78 78 78 78 78 78 78  "
                                  "qxxxxxxxxxxxxxxx\n"))
        << console_.Text();
    // 600 bytes end in a line of 8 at 0x250, padded, the last byte shown as '.'.
    EXPECT_TRUE(console_.Contains("0250  78 78 78 78 78 78 78 01 " + std::string(8 * 3, ' ') +
                                  " xxxxxxx.\n"))
        << console_.Text();
    EXPECT_EQ(38, Count("\n0")) << "one line per 16 bytes";

    // A flood in the same second is dumped DHT_DUMPS_PER_SECOND times in all.
    for (int i = 0; i < 20; i++)
        DHT_HandleDatagram(dht_, kLoopback, 7000, "junk", 4);
    EXPECT_EQ(DHT_DUMPS_PER_SECOND, Count("Packet from "));
    now_ += 1;
    DHT_HandleDatagram(dht_, kLoopback, 7001, "junk", 4);
    EXPECT_TRUE(console_.Contains("Packet from 127.0.0.1:7001 [4] (" +
                                  std::to_string(21 - DHT_DUMPS_PER_SECOND) +
                                  " not dumped before it)\n"))
        << console_.Text();
}

TEST_F(DHTDump, StatisticsLineShowsUseAndPeakOfEachPoolAndTheSocketRates) {
    for (int i = 0; i < 9; i++)
        AddNode((uint8_t)(i * 28), i + 1); // the ninth splits the root
    now_ += 2;
    DHT_Pump(dht_);
    const std::regex line(
        R"(T: (\d+)/(\d+)  P: 0/0  N: 9/9  R: 3/3 \[R: \d+\.\d\dk  W: \d+\.\d\dk\]\n)");
    std::smatch m;
    const std::string text = console_.Text();
    ASSERT_TRUE(std::regex_search(text, m, line)) << text;
    EXPECT_LE(std::stoi(m[1]), std::stoi(m[2]));
}

TEST_F(DHTDump, ShutdownWritesTheRouteListTheAuditListAndTheFilter) {
    for (int i = 0; i < 9; i++)
        AddNode((uint8_t)(i * 28), i + 1);
    const uint8_t skipped[4] = {10, 9, 9, 9};
    IPFilter_AddRule(dht_->Filter, skipped, skipped, nullptr);
    now_ += 30;
    DHT_Destroy(&dht_);
    const std::string text = console_.Text();
    const size_t routes = text.find("Route list ----\n");
    const size_t audit = text.find("Audit list ----\n");
    const size_t filter = text.find("Filter [10.9.9.9 to 10.9.9.9]");
    ASSERT_NE(std::string::npos, routes) << text;
    ASSERT_NE(std::string::npos, audit) << text;
    ASSERT_NE(std::string::npos, filter) << text;
    EXPECT_LT(routes, audit);
    EXPECT_LT(audit, filter);
    const std::string routeList = text.substr(routes, audit - routes);
    EXPECT_NE(std::string::npos,
              routeList.find("-- Below 1:0000000000000000000000000000000000000000\n"))
        << routeList;
    EXPECT_NE(std::string::npos,
              routeList.find("-- Above 1:8000000000000000000000000000000000000000\n"));
    // A contact: id, version, address, [responses/failures], ages, pending:reply ms.
    EXPECT_NE(std::string::npos, routeList.find("1c00000000000000000000000000000000000000 "
                                                "00000000 10.0.0.2:6002 [0/0] 30/30/30 0:0 "
                                                "(0.00) \n"))
        << routeList;
    const std::string auditList = text.substr(audit, filter - audit);
    for (int i = 0; i < 9; i++)
        EXPECT_NE(std::string::npos, auditList.find("\n" + std::to_string(i) + ": 10.0.0."))
            << auditList;
    EXPECT_NE(std::string::npos,
              auditList.find(": 10.0.0.9:6009 e000000000000000000000000000000000000000 [0/0] "
                             "30/30/30 0:0\n"))
        << auditList;
}

} // namespace
