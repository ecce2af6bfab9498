// Tests of NAT traversal: the engine's manager runs in a child started inside
// the lan namespace of a home gateway made by the test (miniupnpd speaking
// UPnP IGD and NAT-PMP), and upnpc (the other client and the observer) and the
// daemon's own log say what the gateway holds and what it was asked, in order.
#include "engine/traverse.h"

#include "core/zyl.h"
#include "engine/manager.h"
#include "net/upnp.h"
#include "tests/engine/transport_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/netns.h"
#include "tests/support/support.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

const char kUpnpc[] = "upnpc -u http://192.168.77.1:5000/rootDesc.xml ";
const char kOther[] = "192.168.77.9"; // another host of the lan

bool Has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// The gateway's table as upnpc lists it.
std::string Listing() {
    std::string output;
    testsupport::RunCommand(std::string(kUpnpc) + "-l 2>&1", &output);
    return output;
}

std::string Entry(const char *protocol, int port, const char *client, const char *description) {
    return std::string(protocol) + " " + std::to_string(port) + "->" + client + ":" +
           std::to_string(port) + " '" + description + "'";
}

// Polls the table (a few times a second) until it holds `part`, or not.
bool WaitForListing(const std::string &part, bool present, std::string *last) {
    return testsupport::WaitUntil(
        [&] {
            *last = Listing();
            if (Has(*last, part) == present)
                return true;
            usleep(200000);
            return false;
        },
        120);
}

int AlertCount(const std::string &text) {
    return testsupport::Count(testsupport::CapturedAlerts(), text);
}

// Runs inside the lan namespace: a manager listening on args[1] with traversal
// checking every 2 s, started and stopped. "upnp": our mappings appear, a
// removed one comes back at a check, all go at stop. "conflict": the port is
// another host's, so NAT-PMP grants another and UPnP refuses. Results are
// printed as "@ ..." lines, the Alert log as "alert ..." lines.
PORTICO_TEST_CHILD(traverse_lan) {
    if (args.size() != 2)
        return 2;
    const std::string &scenario = args[0];
    const int port = std::stoi(args[1]);
    enginetest::StartTransports();
    testsupport::EnsureAlertLog();
    testsupport::CaptureAlerts();
    ManagerStruct *manager = nullptr;
    Manager_Create(&manager);
    Manager_DisableWebServer(manager);
    Manager_SetListenPort(manager, port);
    TraverseStruct *traverse = nullptr;
    Manager_GetTraverse(manager, &traverse);
    TraverseSettingsStruct settings;
    Traverse_GetSettings(traverse, &settings);
    settings.CheckInterval = 2;
    settings.PassWaitMs = 200;
    settings.DiscoveryMX = 1;
    Traverse_Configure(traverse, &settings);
    Manager_SetActive(manager, 1);
    const std::string tcp = Entry("TCP", port, "192.168.77.2", "QTR-Dynamic");
    const std::string udp = Entry("UDP", port, "192.168.77.2", "QTR-Dynamic");
    const std::string adding =
        "Member not found - adding [] [192.168.77.2] [" + std::to_string(port) + "] [";
    std::string table;
    if (scenario == "upnp") {
        bool mapped = WaitForListing(tcp, true, &table) && WaitForListing(udp, true, &table);
        printf("@ mapped %d\n", mapped ? 1 : 0);
        printf("@ started table\n%s\n@ end\n", table.c_str());
        // Our UDP entry goes; the next check puts it back, and leaves TCP alone.
        testsupport::RunCommand(std::string(kUpnpc) + "-d " + std::to_string(port) + " UDP");
        bool back = WaitForListing(udp, true, &table);
        printf("@ readded %d\n", back ? 1 : 0);
        printf("@ added TCP %d UDP %d\n", AlertCount(adding + "TCP]"), AlertCount(adding + "UDP]"));
    } else {
        bool done = testsupport::WaitUntil(
            [] { return testsupport::AlertSeen("Traverse unable to add mapping"); }, 120);
        printf("@ refused %d\n", done ? 1 : 0);
    }
    int mappedFlag = 0;
    Traverse_GetNatPmpMapped(traverse, &mappedFlag);
    int checks = 0;
    Traverse_GetChecks(traverse, &checks);
    printf("@ natpmp mapped %d checks>=1 %d\n", mappedFlag, checks >= 1 ? 1 : 0);
    Manager_SetActive(manager, 0);
    int local = 0;
    Manager_GetListenPort(manager, &local);
    printf("@ listen port %d\n", local);
    printf("@ stopped table\n%s\n@ end\n", Listing().c_str());
    for (const auto &line : testsupport::CapturedAlerts())
        printf("alert %d %s\n", line.first, line.second.c_str());
    Manager_Destroy(&manager);
    testsupport::StopAlertCapture();
    return 0;
}

// The text between "@ <name>\n" and the next "@ end".
std::string Section(const std::string &output, const std::string &name) {
    size_t at = output.find("@ " + name + "\n");
    if (at == std::string::npos)
        return std::string();
    at += name.size() + 3;
    size_t end = output.find("@ end", at);
    return output.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// Positions of the NAT-PMP requests for `port` in the daemon's log, in order,
// as "udp 0" (protocol and lifetime).
std::string NatPmpRequests(const std::string &log, int port) {
    const std::string head =
        "NAT-PMP port mapping request : " + std::to_string(port) + "->192.168.77.2:";
    std::string seen;
    size_t at = 0;
    while ((at = log.find(head, at)) != std::string::npos) {
        size_t end = log.find('\n', at);
        std::string line = log.substr(at, end - at);
        size_t space = line.rfind(' ');
        size_t protocol = line.rfind(' ', space - 1);
        seen += line.substr(protocol + 1, space - protocol - 1) + " " +
                line.substr(line.find("lifetime=") + 9) + "; ";
        at = end;
    }
    return seen;
}

TEST(TraverseGateway, MappingsFollowStartAndStopAndSpareOtherHosts) {
    nettest::GatewayNamespaces net;
    if (!net.ok())
        GTEST_SKIP() << "port-mapping namespaces unavailable: " << net.why();
    const int port = 47010;
    std::string out;
    // Another host's entry with our description, a stale entry of ours, and
    // an entry of ours that another program made.
    ASSERT_EQ(net.RunInLan(std::string(kUpnpc) + "-e QTR-Dynamic -a " + kOther + " 47001 47001 TCP",
                           &out),
              0)
        << out << net.log();
    ASSERT_EQ(
        net.RunInLan(std::string(kUpnpc) + "-e QTR-Dynamic -a 192.168.77.2 47002 47002 UDP", &out),
        0)
        << out;
    ASSERT_EQ(
        net.RunInLan(std::string(kUpnpc) + "-e other-app -a 192.168.77.2 47003 47003 TCP", &out), 0)
        << out;

    std::string output;
    EXPECT_EQ(net.RunChildInLan("traverse_lan", "upnp " + std::to_string(port) + " 2>&1", &output),
              0)
        << output;
    EXPECT_TRUE(Has(output, "@ mapped 1\n")) << output << net.log();
    const std::string started = Section(output, "started table");
    EXPECT_TRUE(Has(started, Entry("TCP", 47001, kOther, "QTR-Dynamic"))) << started;
    EXPECT_FALSE(Has(started, "47002->")) << started; // cleared at the first discovery
    EXPECT_TRUE(Has(started, Entry("TCP", 47003, "192.168.77.2", "other-app"))) << started;
    EXPECT_TRUE(Has(output, "@ readded 1\n")) << output;
    // TCP was found at every later check; UDP was added twice.
    EXPECT_TRUE(Has(output, "@ added TCP 1 UDP 2\n")) << output;
    EXPECT_TRUE(Has(output, "@ natpmp mapped 1 checks>=1 1\n")) << output;
    EXPECT_TRUE(Has(output, "Dangling member found - removing")) << output;

    // Stopping removed ours and nothing else.
    const std::string stopped = Section(output, "stopped table");
    EXPECT_FALSE(Has(stopped, std::to_string(port) + "->")) << stopped;
    EXPECT_TRUE(Has(stopped, Entry("TCP", 47001, kOther, "QTR-Dynamic"))) << stopped;
    EXPECT_TRUE(Has(stopped, Entry("TCP", 47003, "192.168.77.2", "other-app"))) << stopped;
    std::string now;
    net.RunInLan(std::string(kUpnpc) + "-l", &now);
    EXPECT_FALSE(Has(now, std::to_string(port) + "->")) << now;

    // NAT-PMP: our earlier entries cleared once (UDP, TCP), then UDP mapped
    // before TCP, for the rescan interval.
    EXPECT_EQ(NatPmpRequests(net.log(), port), "udp 0s; tcp 0s; udp 3600s; tcp 3600s; ")
        << net.log();
    std::string reference;
    net.RunInLan("natpmpc -g 192.168.77.1", &reference);
    EXPECT_TRUE(Has(reference, std::string("Public IP address : ") + net.kExternalAddress))
        << reference;
}

TEST(TraverseGateway, AnotherHostsPortIsNeitherTakenNorFollowed) {
    nettest::GatewayNamespaces net;
    if (!net.ok())
        GTEST_SKIP() << "port-mapping namespaces unavailable: " << net.why();
    const int port = 47020;
    std::string out;
    for (const char *protocol : {"TCP", "UDP"})
        ASSERT_EQ(net.RunInLan(std::string(kUpnpc) + "-e QTR-Dynamic -a " + kOther +
                                   " 47020 47020 " + protocol,
                               &out),
                  0)
            << out << net.log();
    std::string output;
    EXPECT_EQ(
        net.RunChildInLan("traverse_lan", "conflict " + std::to_string(port) + " 2>&1", &output), 0)
        << output;
    EXPECT_TRUE(Has(output, "@ refused 1\n")) << output << net.log();
    // The gateway granted other external ports: logged, the listener stays.
    EXPECT_TRUE(Has(output, "Traverse NATPMP gateway granted other ports")) << output << net.log();
    EXPECT_TRUE(Has(output, "@ listen port 47020\n")) << output;
    const std::string stopped = Section(output, "stopped table");
    EXPECT_TRUE(Has(stopped, Entry("TCP", 47020, kOther, "QTR-Dynamic"))) << stopped;
    EXPECT_TRUE(Has(stopped, Entry("UDP", 47020, kOther, "QTR-Dynamic"))) << stopped;
}

TEST(TraverseSettings, ConfigureClampsAndKeepsTheDescription) {
    TraverseStruct *traverse = nullptr;
    ASSERT_EQ(Traverse_Create(&traverse), 1);
    TraverseSettingsStruct s;
    Traverse_GetSettings(traverse, &s);
    EXPECT_EQ(s.RescanInterval, 3600);
    EXPECT_EQ(s.CheckInterval, 600);
    EXPECT_EQ(s.PassWaitMs, 1000);
    EXPECT_EQ(s.DiscoveryMX, 5);
    EXPECT_STREQ(s.Description, "QTR-Dynamic");
    s.RescanInterval = 0;
    s.CheckInterval = -5;
    s.PassWaitMs = 50000;
    s.DiscoveryMX = -1;
    s.Description[0] = '\0';
    ASSERT_EQ(Traverse_Configure(traverse, &s), 1);
    Traverse_GetSettings(traverse, &s);
    EXPECT_EQ(s.RescanInterval, 1);
    EXPECT_EQ(s.CheckInterval, 1);
    EXPECT_EQ(s.PassWaitMs, 1000);
    EXPECT_EQ(s.DiscoveryMX, 0);
    EXPECT_STREQ(s.Description, "QTR-Dynamic");
    EXPECT_EQ(traverse->Upnp->MX, 0);
    Traverse_Destroy(&traverse);
    EXPECT_EQ(traverse, nullptr);
}

} // namespace
