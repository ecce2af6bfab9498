// Tests of NAT traversal. The mapping-table walk runs against a gateway on
// 127.0.0.1 whose table the test scripts (hostile answers included); the whole
// service runs in the engine's manager in a child started inside the lan
// namespace of a home gateway made by the test (miniupnpd speaking UPnP IGD
// and NAT-PMP), where upnpc (the other client and the observer) and the
// daemon's own log say what the gateway holds and what it was asked, in order.
#include "engine/traverse.h"

#include "core/zyl.h"
#include "engine/manager.h"
#include "net/natpmp.h"
#include "net/upnp.h"
#include "net/webget.h"
#include "tests/engine/transport_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/netns.h"
#include "tests/support/scripted_server.h"
#include "tests/support/support.h"
#include "tests/support/upnp_replies.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using nettest::HttpReply;
using nettest::SoapResponse;
using nettest::UpnpData;

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

// ---------------------------------------------------------------------------
// The mapping-table walk against a scripted gateway on 127.0.0.1
// ---------------------------------------------------------------------------

struct Mapping {
    std::string RemoteHost, ExternalPort, Protocol, InternalClient, InternalPort, Description;
};

// The text of <name>...</name> in a SOAP request; empty when absent.
std::string Argument(const std::string &request, const std::string &name) {
    size_t at = request.find("<" + name + ">");
    if (at == std::string::npos)
        return std::string();
    at += name.size() + 2;
    return request.substr(at, request.find("</" + name + ">", at) - at);
}

// A gateway keeping a mapping table the way the actions change it. Endless:
// every index answers with another host's entry. Sticky: removals answer
// success and keep the entry.
class TableGateway {
  public:
    TableGateway() : server_([this](nettest::ScriptedConnection &c, int) { Serve(c); }) {
        std::string scpd = UpnpData("ipconn.xml");
        const std::string remove =
            "<action><name>DeletePortMapping</name><argumentList>"
            "<argument><name>NewRemoteHost</name><direction>in</direction></argument>"
            "<argument><name>NewExternalPort</name><direction>in</direction></argument>"
            "<argument><name>NewProtocol</name><direction>in</direction></argument>"
            "</argumentList></action>";
        scpd.insert(scpd.find("</actionList>"), remove);
        scpd_ = scpd;
    }
    std::string url() const { return server_.url("/rootDesc.xml"); }
    void Set(const std::vector<Mapping> &table, bool endless = false, bool sticky = false) {
        std::lock_guard<std::mutex> guard(lock_);
        table_ = table;
        endless_ = endless;
        sticky_ = sticky;
    }
    std::vector<Mapping> table() {
        std::lock_guard<std::mutex> guard(lock_);
        return table_;
    }
    int count(const std::string &action) {
        std::lock_guard<std::mutex> guard(lock_);
        return action == "Get" ? gets_ : action == "Delete" ? deletes_ : adds_;
    }

  private:
    std::string Entry(const Mapping &m) {
        return SoapResponse("GetGenericPortMappingEntry",
                            "<NewRemoteHost>" + m.RemoteHost + "</NewRemoteHost><NewExternalPort>" +
                                m.ExternalPort + "</NewExternalPort><NewProtocol>" + m.Protocol +
                                "</NewProtocol><NewInternalPort>" + m.InternalPort +
                                "</NewInternalPort><NewInternalClient>" + m.InternalClient +
                                "</NewInternalClient><NewEnabled>1</NewEnabled>"
                                "<NewPortMappingDescription>" +
                                m.Description +
                                "</NewPortMappingDescription><NewLeaseDuration>0"
                                "</NewLeaseDuration>");
    }
    void Serve(nettest::ScriptedConnection &c) {
        std::string request = c.ReadRequest();
        if (request.empty())
            return;
        if (request.rfind("GET /rootDesc.xml", 0) == 0) {
            c.Send(HttpReply(200, UpnpData("gateway.xml")));
            return;
        }
        if (request.rfind("GET /ipconn.xml", 0) == 0) {
            c.Send(HttpReply(200, scpd_));
            return;
        }
        std::lock_guard<std::mutex> guard(lock_);
        const std::string fault = HttpReply(500, SoapResponse("Fault", ""));
        if (request.find("#GetGenericPortMappingEntry\"") != std::string::npos) {
            gets_++;
            size_t index = std::stoul(Argument(request, "NewPortMappingIndex"));
            if (endless_)
                c.Send(HttpReply(200, Entry({"", std::to_string(20000 + index % 40000), "TCP",
                                             "10.0.0.9", "1", "someone"})));
            else
                c.Send(index < table_.size() ? HttpReply(200, Entry(table_[index])) : fault);
        } else if (request.find("#DeletePortMapping\"") != std::string::npos) {
            deletes_++;
            for (size_t i = 0; i < table_.size(); i++) {
                const Mapping &m = table_[i];
                if (m.RemoteHost == Argument(request, "NewRemoteHost") &&
                    m.ExternalPort == Argument(request, "NewExternalPort") &&
                    m.Protocol == Argument(request, "NewProtocol")) {
                    if (!sticky_)
                        table_.erase(table_.begin() + (long)i);
                    c.Send(HttpReply(200, SoapResponse("DeletePortMapping", "")));
                    return;
                }
            }
            c.Send(fault);
        } else if (request.find("#AddPortMapping\"") != std::string::npos) {
            adds_++;
            table_.push_back(
                {Argument(request, "NewRemoteHost"), Argument(request, "NewExternalPort"),
                 Argument(request, "NewProtocol"), Argument(request, "NewInternalClient"),
                 Argument(request, "NewInternalPort"),
                 Argument(request, "NewPortMappingDescription")});
            c.Send(HttpReply(200, SoapResponse("AddPortMapping", "")));
        } else {
            c.Send(fault);
        }
    }

    std::mutex lock_;
    std::vector<Mapping> table_;
    bool endless_ = false;
    bool sticky_ = false;
    int gets_ = 0, deletes_ = 0, adds_ = 0;
    std::string scpd_;
    nettest::ScriptedServer server_; // last: stopped before the rest goes
};

class TraverseSync : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::EnsureAlertLog();
        testsupport::CaptureAlerts();
        Traverse_Create(&traverse);
        WebGet_SetAttempts(traverse->Upnp->Web, 1);
        UpnpBaseStruct *base = nullptr;
        // Reached on 127.0.0.1: that is our internal client toward it.
        ASSERT_EQ(Upnp_AddLocation(traverse->Upnp, gateway.url().c_str(), &base), 1);
    }
    void TearDown() override {
        Traverse_Destroy(&traverse);
        testsupport::StopAlertCapture();
    }
    // The table as "protocol port client description" lines.
    std::string Table() {
        std::string text;
        for (const Mapping &m : gateway.table())
            text += m.Protocol + " " + m.ExternalPort + " " + m.InternalClient + ":" +
                    m.InternalPort + " " + m.Description + "\n";
        return text;
    }
    TableGateway gateway;
    TraverseStruct *traverse = nullptr;
};

const Mapping kOurs = {"", "6881", "TCP", "127.0.0.1", "6881", "QTR-Dynamic"};
const Mapping kOursUdp = {"", "6881", "UDP", "127.0.0.1", "6881", "QTR-Dynamic"};
const Mapping kOtherHost = {"", "6882", "TCP", "10.0.0.9", "6882", "QTR-Dynamic"};
const Mapping kOtherProgram = {"", "6884", "TCP", "127.0.0.1", "6884", "other-app"};

TEST_F(TraverseSync, RemovingTakesOnlyEntriesWithOurDescriptionAndAddress) {
    gateway.Set({kOurs, kOtherHost, kOtherProgram, kOursUdp});
    EXPECT_EQ(UPnP_SyncPortMappings("", traverse, 0, ""), 1);
    EXPECT_EQ(Table(), "TCP 6882 10.0.0.9:6882 QTR-Dynamic\nTCP 6884 127.0.0.1:6884 other-app\n");
    EXPECT_EQ(gateway.count("Delete"), 2);
    EXPECT_EQ(gateway.count("Add"), 0);
}

TEST_F(TraverseSync, AddingKeepsOurEntryAndReplacesThisHostsOtherOne) {
    // Our TCP entry exists; the UDP one is this host's under NAT-PMP's name;
    // another host holds 6881 UDP behind a remote host of its own.
    const Mapping natPmp = {"", "6881", "UDP", "127.0.0.1", "6881", "NAT-PMP 6881 udp"};
    const Mapping remote = {"198.51.100.7", "6881", "UDP", "10.0.0.9", "6881", "x"};
    gateway.Set({kOurs, natPmp, remote, kOtherHost});
    EXPECT_EQ(UPnP_SyncPortMappings("6881", traverse, 1, "TCP"), 1);
    EXPECT_EQ(gateway.count("Add"), 0);
    EXPECT_EQ(UPnP_SyncPortMappings("6881", traverse, 1, "UDP"), 1);
    EXPECT_EQ(gateway.count("Delete"), 1);
    EXPECT_EQ(gateway.count("Add"), 1);
    EXPECT_EQ(Table(), "TCP 6881 127.0.0.1:6881 QTR-Dynamic\nUDP 6881 10.0.0.9:6881 x\n"
                       "TCP 6882 10.0.0.9:6882 QTR-Dynamic\nUDP 6881 127.0.0.1:6881 QTR-Dynamic\n");
    EXPECT_TRUE(testsupport::AlertSeen("Member not found - adding [] [127.0.0.1] [6881] [UDP]"));
}

TEST_F(TraverseSync, HostileTablesEndTheWalk) {
    // A table that never ends: read up to the bound, then ours is still added.
    gateway.Set({}, true);
    EXPECT_EQ(UPnP_SyncPortMappings("6881", traverse, 1, "TCP"), 1);
    EXPECT_EQ(gateway.count("Get"), TRAVERSE_MAX_LIST_INDICES);
    EXPECT_TRUE(testsupport::AlertSeen("Traverse mapping list stopped after 1024 entries"));
    EXPECT_EQ(gateway.count("Add"), 1);
    // Removals that answer success and keep the entry: the walk restarts a
    // bounded number of times.
    gateway.Set({kOurs}, false, true);
    const int gets = gateway.count("Get");
    EXPECT_EQ(UPnP_SyncPortMappings("", traverse, 0, ""), 1);
    EXPECT_EQ(gateway.count("Delete"), TRAVERSE_MAX_LIST_RESTARTS + 1);
    EXPECT_EQ(gateway.count("Get") - gets, TRAVERSE_MAX_LIST_RESTARTS + 1);
    EXPECT_TRUE(testsupport::AlertSeen("Traverse mapping list stopped after 64 restarts"));
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
    if (scenario == "adapters") {
        settings.DiscoveryMX = 0; // nobody answers: the searches only cost time
        NatPmp_SetTimeouts(traverse->NatPmp, 1, 100);
    }
    if (scenario == "rescan")
        settings.RescanInterval = 3;
    if (scenario == "stop")
        settings.DiscoveryMX = 120; // a search longer than the stop's wait
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
    } else if (scenario == "conflict") {
        bool done = testsupport::WaitUntil(
            [] { return testsupport::AlertSeen("Traverse unable to add mapping"); }, 120);
        printf("@ refused %d\n", done ? 1 : 0);
    } else if (scenario == "rescan") {
        const std::string mapping = "Traverse mapping NATPMP entries (" + args[1] + ")";
        bool twice = testsupport::WaitUntil([&] { return AlertCount(mapping) >= 2; }, 120);
        printf("@ mapped twice %d\n", twice ? 1 : 0);
    } else if (scenario == "adapters") {
        // The check follows the NAT-PMP pass over the adapters.
        bool passed = testsupport::WaitUntil(
            [] { return testsupport::AlertSeen("Traverse check interval triggered"); }, 300);
        printf("@ passed %d\n", passed ? 1 : 0);
    } else {
        bool searching = testsupport::WaitUntil(
            [] { return testsupport::AlertSeen("Traverse UPNP discovery started (0)"); }, 120);
        printf("@ searching %d\n", searching ? 1 : 0);
    }
    int mappedFlag = 0;
    Traverse_GetNatPmpMapped(traverse, &mappedFlag);
    int checks = 0;
    Traverse_GetChecks(traverse, &checks);
    printf("@ natpmp mapped %d checks>=1 %d\n", mappedFlag, checks >= 1 ? 1 : 0);
    const double stopping = Zyl_GetTickSeconds();
    Manager_SetActive(manager, 0);
    printf("@ stop took %d s\n", (int)(Zyl_GetTickSeconds() - stopping));
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

TEST(TraverseGateway, RescansMapAgainWithoutClearingAndStopEndsASearch) {
    nettest::GatewayNamespaces net;
    if (!net.ok())
        GTEST_SKIP() << "port-mapping namespaces unavailable: " << net.why();
    const int port = 47030;
    std::string output;
    EXPECT_EQ(
        net.RunChildInLan("traverse_lan", "rescan " + std::to_string(port) + " 2>&1", &output), 0)
        << output;
    EXPECT_TRUE(Has(output, "@ mapped twice 1\n")) << output << net.log();
    EXPECT_TRUE(Has(output, "alert 0 Traverse rescanning\n")) << output;
    EXPECT_TRUE(Has(output, "alert 0 Traverse UPNP discovery started (1)\n")) << output;
    // Our earlier entries are cleared at the first mapping only; every mapping
    // lives for the rescan interval.
    const std::string requests = NatPmpRequests(net.log(), port);
    const std::string first = "udp 0s; tcp 0s; udp 3s; tcp 3s; udp 3s; tcp 3s; ";
    EXPECT_EQ(requests.substr(0, first.size()), first) << net.log();
    EXPECT_EQ(requests.find(" 0s", first.size()), std::string::npos) << requests;
    size_t clearings = 0;
    for (size_t at = 0;
         (at = output.find("Traverse clearing any previous", at)) != std::string::npos; at++)
        clearings++;
    EXPECT_EQ(clearings, 2u) << output; // once for UPnP, once for NAT-PMP

    // A stop during a search of 121 s ends the search: it does not wait for
    // its end (the bound is half of it, far above any machine's stop).
    output.clear();
    EXPECT_EQ(net.RunChildInLan("traverse_lan", "stop " + std::to_string(port) + " 2>&1", &output),
              0)
        << output;
    EXPECT_TRUE(Has(output, "@ searching 1\n")) << output;
    const size_t took = output.find("@ stop took ");
    ASSERT_NE(took, std::string::npos) << output;
    EXPECT_LT(std::stoi(output.substr(took + 12)), 60) << output;
    EXPECT_TRUE(Has(output, "alert 0 Traverse thread shut down successful\n")) << output;
    EXPECT_FALSE(Has(output, "Timeout waiting on traverse thread shutdown")) << output;
}

// A namespace of its own with twelve adapters, each with a default gateway
// that never answers; the fourth has no link. Removed on destruction.
class AdapterNamespace {
  public:
    AdapterNamespace() : name_("ptad" + std::to_string(getpid())) {
        if (geteuid() != 0 || !testsupport::HaveProgram("ip")) {
            why_ = "network namespaces need root and ip";
            return;
        }
        testsupport::RunCommand("ip netns del " + name_ + " 2>/dev/null");
        ok_ = Run("ip netns add " + name_) && Run(ip_ + "link set lo up");
        for (int i = 0; ok_ && i < 12; i++) {
            const std::string n = std::to_string(i);
            ok_ = Run(ip_ + "link add v" + n + " type veth peer name w" + n) &&
                  Run(ip_ + "addr add 10.77." + n + ".2/24 dev v" + n) &&
                  Run(ip_ + "link set v" + n + " up") &&
                  (i == 3 || Run(ip_ + "link set w" + n + " up")) &&
                  Run(ip_ + "route add default via 10.77." + n + ".1 dev v" + n + " metric " +
                      std::to_string(100 + i));
        }
    }
    ~AdapterNamespace() { testsupport::RunCommand("ip netns del " + name_ + " 2>/dev/null"); }
    bool ok() const { return ok_; }
    const std::string &why() const { return why_; }
    int RunChild(const std::string &arguments, std::string *output) {
        return testsupport::RunCommand("ip netns exec " + name_ + " " + testsupport::SelfPath() +
                                           " --child traverse_lan " + arguments,
                                       output);
    }

  private:
    bool Run(const std::string &command) {
        std::string output;
        if (testsupport::RunCommand(command + " 2>&1", &output) == 0)
            return true;
        why_ = "'" + command + "' failed: " + output;
        return false;
    }
    std::string name_;
    std::string ip_ = "ip -n ptad" + std::to_string(getpid()) + " ";
    bool ok_ = false;
    std::string why_;
};

TEST(TraverseAdapters, OnlyConnectedAdaptersOfTheFirstTenAreAsked) {
    AdapterNamespace net;
    if (!net.ok())
        GTEST_SKIP() << "adapter namespace unavailable: " << net.why();
    std::string output;
    EXPECT_EQ(net.RunChild("adapters 47040 2>&1", &output), 0) << output;
    EXPECT_TRUE(Has(output, "@ passed 1\n")) << output;
    std::string asked;
    for (int i = 0; i < 12; i++) {
        const std::string line =
            "Traverse NATPMP discovery started (10.77." + std::to_string(i) + ".1:5351)";
        if (Has(output, line))
            asked += std::to_string(i) + " ";
    }
    EXPECT_EQ(asked, "0 1 2 4 5 6 7 8 9 ") << output;
    EXPECT_TRUE(Has(output, "@ natpmp mapped 0 ")) << output;
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
