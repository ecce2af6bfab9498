// The download manager: settings, identity, start and stop, and the thread's
// re-listen on a port change, against real sockets on 127.0.0.1.
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "core/thread.h"
#include "engine/manager.h"
#include "net/webserv.h"
#include "tests/engine/manager_support.h"
#include "tests/support/support.h"

using enginetest::ManagerFixture;
using testsupport::AlertSeen;

namespace {

// Polls cond every millisecond for up to ten seconds.
template <typename Cond> bool WaitFor(Cond cond) {
    for (int i = 0; i < 10000; i++) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}

bool Listed(const char *command, int port) {
    std::string out;
    testsupport::RunCommand(command, &out);
    return out.find(":" + std::to_string(port) + " ") != std::string::npos;
}

class ManagerTest : public ManagerFixture {};

TEST_F(ManagerTest, PortRangeIsClampedAndOrdered) {
    struct Case {
        int a, b, low, high;
    } cases[] = {
        {70000, 10, 1024, 65535}, {2000, 2001, 2000, 2001}, {5000, 3000, 3000, 5000},
        {-5, 80, 1024, 1024},     {4000, 4000, 4000, 4000}, {1024, 65535, 1024, 65535},
    };
    for (const Case &c : cases) {
        Manager_SetPortRange(manager_, c.a, c.b);
        int low = 0;
        int high = 0;
        for (int i = 0; i < 2000; i++) {
            int port = 0;
            ASSERT_EQ(1, Manager_PickListenPort(manager_, &port));
            low = i == 0 || port < low ? port : low;
            high = i == 0 || port > high ? port : high;
            ASSERT_GE(port, c.low) << c.a << "," << c.b;
            ASSERT_LE(port, c.high - 2 < c.low ? c.low : c.high - 2) << c.a << "," << c.b;
        }
        if (c.high - c.low <= 1) {
            EXPECT_EQ(c.low, high) << c.a << "," << c.b; // a narrow range gives low only
        }
    }
}

TEST_F(ManagerTest, StartsOnceAndStopsWhenStopped) {
    testsupport::ConsoleCapture console;
    int started = 0, running = 0;
    Thread_GetCounts(&started, &running);
    Manager_SetVerbose(manager_);
    EXPECT_EQ(1, Manager_SetActive(manager_, 0)); // stopped: nothing to do
    EXPECT_FALSE(console.Contains("Manager thread shut down successful"));
    EXPECT_EQ(1, Manager_SetActive(manager_, 1));
    // Once both listeners are open every engine thread has started: the
    // manager's, the NAT traversal's and the reliable-UDP worker.
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            int port = 0;
            Manager_GetUDTPort(manager_, &port);
            return port != 0;
        },
        60));
    Thread_GetCounts(&started, &running);
    EXPECT_EQ(1, Manager_SetActive(manager_, 1)); // already started: no new thread
    int after = 0;
    Thread_GetCounts(&after, &running);
    EXPECT_EQ(started, after);
    int active = 0;
    Manager_GetActive(manager_, &active);
    EXPECT_EQ(1, active);
    EXPECT_EQ(1, Manager_SetActive(manager_, 0));
    EXPECT_TRUE(console.Contains("Manager thread shut down successful"));
    Manager_GetActive(manager_, &active);
    EXPECT_EQ(0, active);
    EXPECT_TRUE(AlertSeen("Initializing manager (0)"));
    // A second run starts a new thread.
    EXPECT_EQ(1, Manager_SetActive(manager_, 1));
    EXPECT_EQ(1, Manager_SetActive(manager_, 0));
}

TEST_F(ManagerTest, UniqueIdIsTheCrcOfHardwareAddressXorTheText) {
    if (!testsupport::HaveProgram("python3"))
        GTEST_SKIP() << "python3 missing";
    const char *text = "{0A1B2C3D-4E5F-6a7b-8C9D-0E1F2A3B4C5D}";
    testsupport::ConsoleCapture console;
    ASSERT_EQ(1, Manager_SetUniqueID(manager_, text));
    uint32_t id = 0;
    Manager_GetUniqueID(manager_, &id);
    uint8_t mac[6];
    Manager_GetHardwareAddress(manager_, mac);
    char hex[13];
    for (int i = 0; i < 6; i++)
        snprintf(hex + 2 * i, 3, "%02x", mac[i]);
    std::string out;
    ASSERT_EQ(0, testsupport::RunCommand(std::string("python3 -c 'import zlib; print(\"%08X\" % "
                                                     "(zlib.crc32(bytes.fromhex(\"") +
                                             hex + "\")) ^ zlib.crc32(b\"" + text + "\")))'",
                                         &out));
    char mine[16];
    snprintf(mine, sizeof mine, "%08X\n", id);
    EXPECT_EQ(out, mine);
    EXPECT_TRUE(console.Contains(std::string("Unique ID: ") + std::string(mine, 8)));
}

TEST_F(ManagerTest, IdentityPeerIdAgentAndClientCode) {
    uint8_t id[20];
    Manager_GetPeerID(manager_, id);
    EXPECT_EQ("-VX0081-", std::string(reinterpret_cast<char *>(id), 8));
    for (int i = 8; i < 20; i++)
        EXPECT_TRUE(isalnum(id[i])) << i;
    char code[4];
    EXPECT_EQ(1, Manager_GetClientCode(id, code));
    EXPECT_STREQ("V08", code);
    uint8_t second[20];
    Manager_SetClientTag(manager_, "-VP1001-");
    Manager_GetPeerID(manager_, second);
    EXPECT_EQ("-VP1001-", std::string(reinterpret_cast<char *>(second), 8));
    EXPECT_NE(std::string(reinterpret_cast<char *>(id) + 8, 12),
              std::string(reinterpret_cast<char *>(second) + 8, 12));
    const uint8_t odd[20] = {'M', '4', '-', '2', '0', '-', '8', '-'};
    EXPECT_EQ(0, Manager_GetClientCode(odd, code));
    EXPECT_STREQ("", code);
    char agent[80];
    Manager_GetAgentName(manager_, agent, sizeof agent);
    EXPECT_STREQ("Vexil Core/0.80", agent);
    uint32_t key = 0, again = 1;
    Manager_GetTrackerKey(manager_, &key);
    Manager_GetTrackerKey(manager_, &again);
    EXPECT_EQ(key, again);
    char proxy[80] = "x";
    Manager_GetProxy(manager_, proxy, sizeof proxy);
    EXPECT_STREQ("", proxy);
    int port = 1;
    EXPECT_EQ(0, Manager_GetLocalPort(manager_, &port)); // no listener yet
    EXPECT_EQ(0, port);
}

TEST_F(ManagerTest, ListensAgainWhenThePortChanges) {
    Manager_SetActive(manager_, 1);
    int first = 0;
    int udt = 0;
    ASSERT_TRUE(WaitFor([&] {
        Manager_GetUDTPort(manager_, &udt);
        return udt != 0;
    }));
    ASSERT_EQ(1, Manager_GetLocalPort(manager_, &first));
    EXPECT_EQ(first, udt);
    EXPECT_TRUE(Listed("ss -ltn", first));
    EXPECT_TRUE(Listed("ss -lun", first));
    const int next = enginetest::FreePort();
    Manager_SetListenPort(manager_, next);
    int now = 0;
    ASSERT_TRUE(WaitFor([&] { return Manager_GetLocalPort(manager_, &now) == 1 && now == next; }));
    ASSERT_TRUE(WaitFor([&] {
        Manager_GetUDTPort(manager_, &udt);
        return udt == next;
    }));
    EXPECT_TRUE(Listed("ss -ltn", next));
    EXPECT_TRUE(Listed("ss -lun", next));
    EXPECT_FALSE(Listed("ss -ltn", first));
    Manager_SetActive(manager_, 0);
    EXPECT_EQ(0, Manager_GetLocalPort(manager_, &now)); // closed at the thread's end
}

TEST_F(ManagerTest, WebServerStaysOffWhenDisabled) {
    Manager_DisableWebServer(manager_);
    Manager_SetActive(manager_, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    WebServerStruct *server = nullptr;
    Manager_GetWebServer(manager_, &server);
    int port = -1;
    EXPECT_EQ(0, WebServer_GetListenPort(server, &port));
    EXPECT_EQ(0, port);
    Manager_SetActive(manager_, 0);
}

TEST_F(ManagerTest, AFailedListenIsRetriedAtMostOnceASecond) {
    UseTestClock();
    const uint8_t absent[4] = {192, 0, 2, 1}; // not an address of this host
    Manager_SetBindAddress(manager_, absent);
    Manager_SetActive(manager_, 1);
    const std::string failed = "Listen initialization failed";
    ASSERT_TRUE(WaitFor([&] { return AlertSeen(failed); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(1, testsupport::Count(testsupport::CapturedAlerts(), failed));
    EXPECT_TRUE(AlertSeen("Unable to TCP bind for listen (192.0.2.1:"));
    clock_.Now = clock_.Now + 1.0;
    ASSERT_TRUE(
        WaitFor([&] { return testsupport::Count(testsupport::CapturedAlerts(), failed) == 2; }));
    // A good address is taken up in the next cycle.
    const uint8_t loopback[4] = {127, 0, 0, 1};
    Manager_SetBindAddress(manager_, loopback);
    clock_.Now = clock_.Now + 1.0;
    int port = 0;
    ASSERT_TRUE(WaitFor([&] { return Manager_GetLocalPort(manager_, &port) == 1; }));
    Manager_SetActive(manager_, 0);
}

} // namespace
