// Tests of the UPnP client against a scripted gateway on 127.0.0.1 (device
// description, SCPD and SOAP control with exact request bytes) and of search
// answers from arbitrary LAN devices: duplicates, missing fields and the
// limits on what one answer may make us hold. The real gateway daemon is
// exercised by the port-mapping namespace test.
#include "net/upnp.h"

#include "net/socket.h"

#include "core/xml.h"
#include "core/zyl.h"
#include "net/webget.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_server.h"
#include "tests/support/support.h"
#include "tests/support/upnp_replies.h"

#include <gtest/gtest.h>
#include <map>
#include <string>

namespace {

using nettest::HttpReply;
using nettest::SoapResponse;
using nettest::UpnpData;

using nettest::ScriptedConnection;
using nettest::ScriptedServer;

// Serves `files` by path; POSTs to /ctl/IPConn get `soap` (by SOAPAction suffix).
struct Gateway {
    std::map<std::string, std::string> files;
    std::map<std::string, std::string> soap;
    ScriptedServer server;

    Gateway()
        : server([this](ScriptedConnection &c, int) {
              std::string request = c.ReadRequest();
              if (request.empty())
                  return;
              size_t start = request.find(' ') + 1;
              std::string path = request.substr(start, request.find(' ', start) - start);
              if (request.rfind("POST ", 0) == 0) {
                  for (const auto &entry : soap) {
                      if (request.find("#" + entry.first + "\"") != std::string::npos) {
                          c.Send(HttpReply(200, entry.second));
                          return;
                      }
                  }
                  c.Send(HttpReply(500, SoapResponse("Fault", "")));
                  return;
              }
              auto found = files.find(path);
              c.Send(found != files.end() ? HttpReply(200, found->second) : HttpReply(404, ""));
          }) {
        files["/rootDesc.xml"] = UpnpData("gateway.xml");
        files["/ipconn.xml"] = UpnpData("ipconn.xml");
    }
    std::string url(const std::string &path) { return server.url(path); }
};

class UpnpFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        Upnp_Create(&upnp);
        WebGet_SetAttempts(upnp->Web, 1);
    }
    void TearDown() override { Upnp_Destroy(&upnp); }

    // The WANIPConnection service of the described gateway.
    void Describe() {
        ASSERT_EQ(Upnp_AddLocation(upnp, gateway.url("/rootDesc.xml").c_str(), &base), 1);
        ASSERT_EQ(base->DeviceCount, 3);
        device = base->Devices->Next->Next;
        ASSERT_EQ(Upnp_GetFirstService(upnp, device, &service), 1);
    }

    Gateway gateway;
    UpnpStruct *upnp = nullptr;
    UpnpBaseStruct *base = nullptr;
    UpnpDeviceStruct *device = nullptr;
    UpnpServiceStruct *service = nullptr;
};

TEST_F(UpnpFixture, DescriptionBuildsTheTree) {
    testsupport::ConsoleCapture console;
    Describe();
    EXPECT_EQ(base->Described, 1);
    EXPECT_STREQ(base->FriendlyName, "Test Gateway & Router");
    EXPECT_STREQ(base->Manufacturer, "Example Works");
    EXPECT_STREQ(base->ModelNumber, "42");
    const uint8_t loopback[4] = {127, 0, 0, 1};
    uint8_t local[4];
    Upnp_GetBaseAddress(upnp, base, local);
    EXPECT_EQ(memcmp(local, loopback, 4), 0);
    // Nested devices join the base's list in document order.
    const char *types[] = {"InternetGatewayDevice", "WANDevice", "WANConnectionDevice"};
    UpnpDeviceStruct *d = nullptr;
    ASSERT_EQ(Upnp_GetFirstDevice(upnp, base, &d), 1);
    for (const char *type : types) {
        ASSERT_NE(d, nullptr);
        EXPECT_NE(std::string(d->DeviceType).find(type), std::string::npos);
        Upnp_GetNextDevice(upnp, d, &d);
    }
    EXPECT_EQ(d, nullptr);
    // The first device's SCPD is missing: the service stays without actions.
    EXPECT_EQ(base->Devices->ServiceCount, 1);
    EXPECT_EQ(base->Devices->Services->ActionCount, 0);
    EXPECT_TRUE(console.Contains("Failed to get service info ["));
    char text[UPNP_TEXT_SIZE];
    EXPECT_EQ(Upnp_GetServiceValue(upnp, service, "controlURL", text, sizeof text), 1);
    EXPECT_STREQ(text, "/ctl/IPConn");
    UpnpActionStruct *action = nullptr;
    ASSERT_EQ(Upnp_FindAction(upnp, service, "getgenericportmappingentry", &action), 1);
    EXPECT_EQ(action->ArgumentCount, 9);
    UpnpArgumentStruct *argument = nullptr;
    ASSERT_EQ(Upnp_FindArgument(upnp, action, "NewProtocol", &argument), 1);
    ASSERT_NE(argument->StateVariable, nullptr);
    EXPECT_EQ(Upnp_GetArgumentElementValue(upnp, argument, "direction", text, sizeof text), 1);
    EXPECT_STREQ(text, "out");
    ASSERT_EQ(Upnp_FindArgument(upnp, action, "NewPortMappingIndex", &argument), 1);
    EXPECT_EQ(argument->StateVariable, nullptr); // not in the state table
    EXPECT_EQ(Upnp_FindAction(upnp, service, "DeletePortMapping", &action), 0);
    EXPECT_EQ(action, nullptr);
}

TEST_F(UpnpFixture, ActionSendsInArgumentsOnly) {
    Describe();
    gateway.soap["AddPortMapping"] = SoapResponse("AddPortMapping", "");
    UpnpActionStruct *action = nullptr;
    ASSERT_EQ(Upnp_FindAction(upnp, service, "AddPortMapping", &action), 1);
    testsupport::ConsoleCapture console;
    // NewLeaseDuration is missing from the pairs; an unknown pair is ignored.
    ASSERT_EQ(Upnp_Command(upnp, base, device, service, action, 8, "newremotehost", "",
                           "NewExternalPort", "6881", "NewProtocol", "TCP", "NewInternalPort",
                           "6881", "NewInternalClient", "10.0.0.5", "NewEnabled", "1",
                           "NewPortMappingDescription", "a<b>&c", "Bogus", "x"),
              1);
    EXPECT_TRUE(console.Contains(
        "Unable to find [NewLeaseDuration] in argument list for [AddPortMapping]\n"));
    std::string request = gateway.server.requests().back();
    EXPECT_EQ(request.rfind("POST /ctl/IPConn HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("\r\nSOAPAction: "
                           "\"urn:schemas-upnp-org:service:WANIPConnection:1#AddPortMapping\"\r\n"),
              std::string::npos)
        << request;
    EXPECT_NE(request.find("\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n"), std::string::npos);
    std::string body = request.substr(request.find("\r\n\r\n") + 4);
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    Xml_ParseBuffer(xml, body.c_str());
    XmlNodeStruct *call = nullptr;
    ASSERT_EQ(Xml_Find(xml, "AddPortMapping", XML_NO_DEPTH_LIMIT, 0, nullptr, &call), 1);
    std::string sent;
    XmlNodeStruct *child = nullptr;
    for (Xml_GetFirstChild(xml, call, &child); child != nullptr;
         Xml_GetNextSibling(xml, child, &child)) {
        const char *name = nullptr;
        const char *data = nullptr;
        Xml_GetName(xml, child, &name);
        Xml_GetData(xml, child, &data);
        sent += std::string(name) + "=" + data + ";";
    }
    EXPECT_EQ(sent, "NewRemoteHost=;NewExternalPort=6881;NewProtocol=TCP;NewInternalPort=6881;"
                    "NewInternalClient=10.0.0.5;NewEnabled=1;NewPortMappingDescription=a<b>&c;");
    Xml_Destroy(&xml);
    EXPECT_NE(body.find("xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\""),
              std::string::npos);
    EXPECT_NE(body.find("s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\""),
              std::string::npos);
}

TEST_F(UpnpFixture, OutValuesComeFromTheResponse) {
    Describe();
    gateway.soap["GetExternalIPAddress"] = SoapResponse(
        "GetExternalIPAddress", "<NewExternalIPAddress>203.0.113.7</NewExternalIPAddress>");
    gateway.soap["GetGenericPortMappingEntry"] =
        SoapResponse("GetGenericPortMappingEntry",
                     "<NewRemoteHost></NewRemoteHost><NewExternalPort>6881</NewExternalPort>"
                     "<NewProtocol>UDP</NewProtocol><NewInternalPort>6882</NewInternalPort>"
                     "<NewInternalClient>10.0.0.5</NewInternalClient><NewEnabled>1</NewEnabled>"
                     "<NewPortMappingDescription>mine</NewPortMappingDescription>"
                     "<NewLeaseDuration>0</NewLeaseDuration>");
    UpnpActionStruct *action = nullptr;
    ASSERT_EQ(Upnp_FindAction(upnp, service, "GetExternalIPAddress", &action), 1);
    ASSERT_EQ(Upnp_Command(upnp, base, device, service, action, 1, "NewExternalIPAddress", "x"), 1);
    // An out argument is never sent, even when the caller names it.
    EXPECT_EQ(gateway.server.requests().back().find("<NewExternalIPAddress"), std::string::npos);
    UpnpArgumentStruct *argument = nullptr;
    ASSERT_EQ(Upnp_FindArgument(upnp, action, "NewExternalIPAddress", &argument), 1);
    char value[UPNP_VALUE_SIZE];
    ASSERT_EQ(
        Upnp_GetArgumentValue(upnp, base, device, service, action, argument, value, sizeof value),
        1);
    EXPECT_STREQ(value, "203.0.113.7");
    char small[5];
    Upnp_GetArgumentValue(upnp, base, device, service, action, argument, small, sizeof small);
    EXPECT_STREQ(small, "203.");
    UpnpMappingEntry entry;
    ASSERT_EQ(Upnp_GetMappingEntry(upnp, base, device, service, 0, &entry), 1);
    EXPECT_STREQ(entry.RemoteHost, "");
    EXPECT_STREQ(entry.ExternalPort, "6881");
    EXPECT_STREQ(entry.Protocol, "UDP");
    EXPECT_STREQ(entry.InternalPort, "6882");
    EXPECT_STREQ(entry.Description, "mine");
    EXPECT_NE(gateway.server.requests().back().find("<NewPortMappingIndex>0</NewPortMappingIndex>"),
              std::string::npos);
}

TEST_F(UpnpFixture, FailedActionReportsFailure) {
    Describe();
    UpnpActionStruct *action = nullptr;
    ASSERT_EQ(Upnp_FindAction(upnp, service, "GetGenericPortMappingEntry", &action), 1);
    testsupport::ConsoleCapture console;
    UpnpMappingEntry entry;
    EXPECT_EQ(Upnp_GetMappingEntry(upnp, base, device, service, 7, &entry), 0);
    EXPECT_TRUE(console.Contains("Failed to process soap command [GetGenericPortMappingEntry]"));
}

TEST_F(UpnpFixture, SearchAnswersBecomeDistinctBases) {
    testsupport::ConsoleCapture console;
    const uint8_t sender[4] = {192, 168, 1, 1};
    std::string a = "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nST: upnp:rootdevice\r\n"
                    "LOCATION: http://192.168.1.1:5000/rootDesc.xml\r\n\r\n";
    EXPECT_EQ(Upnp_AddSearchReply(upnp, sender, a.c_str(), (int)a.size()), 1);
    std::string same = "HTTP/1.1 200 OK\r\nLocation: HTTP://192.168.1.1:5000/rootDesc.xml\r\n\r\n";
    EXPECT_EQ(Upnp_AddSearchReply(upnp, sender, same.c_str(), (int)same.size()), 0);
    EXPECT_TRUE(console.Contains("Duplicate Base object -- skipping"));
    std::string relative = "HTTP/1.1 200 OK\nLocation: /desc.xml\n\n";
    EXPECT_EQ(Upnp_AddSearchReply(upnp, sender, relative.c_str(), (int)relative.size()), 1);
    std::string none = "HTTP/1.1 200 OK\r\nST: x\r\n\r\n";
    EXPECT_EQ(Upnp_AddSearchReply(upnp, sender, none.c_str(), (int)none.size()), 0);
    std::string huge =
        "HTTP/1.1 200 OK\r\nLocation: http://h/" + std::string(400, 'x') + "\r\n\r\n";
    EXPECT_EQ(Upnp_AddSearchReply(upnp, sender, huge.c_str(), (int)huge.size()), 0);
    ASSERT_EQ(upnp->BaseCount, 2);
    EXPECT_EQ(upnp->Bases->MaxAge, 1800);
    EXPECT_STREQ(upnp->Bases->FriendlyName, "Unknown");
    UpnpBaseStruct *second = nullptr;
    ASSERT_EQ(Upnp_GetNextBase(upnp, upnp->Bases, &second), 1);
    EXPECT_STREQ(second->Location, "http://192.168.1.1/desc.xml");
    EXPECT_EQ(second->MaxAge, 0);
    EXPECT_TRUE(console.Contains("Unable to decode timeout []\n"));
    for (int i = 0; i < 40; i++) {
        std::string r =
            "HTTP/1.1 200 OK\r\nLocation: http://10.0.0.1/" + std::to_string(i) + "\r\n\r\n";
        Upnp_AddSearchReply(upnp, sender, r.c_str(), (int)r.size());
    }
    EXPECT_EQ(upnp->BaseCount, UPNP_MAX_BASES);
    UpnpBaseStruct stranger{};
    stranger.Tag = UpnpBaseTag;
    EXPECT_EQ(Upnp_RemoveBase(upnp, &stranger), 0);
    EXPECT_TRUE(console.Contains("Unable to find base to remove [0x"));
    Upnp_RemoveAllBases(upnp);
    EXPECT_EQ(Upnp_GetFirstBase(upnp, &base), 0);
}

TEST_F(UpnpFixture, CancelledSearchSendsNothing) {
    static int asked = 0;
    asked = 0;
    Upnp_SetCancel(
        upnp,
        [](void *) {
            asked++;
            return 1;
        },
        nullptr);
    testsupport::ConsoleCapture console;
    EXPECT_EQ(Upnp_Discover(upnp, "urn:schemas-upnp-org:device:InternetGatewayDevice:1"), 1);
    EXPECT_TRUE(console.Contains("Discovering device ["));
    EXPECT_FALSE(console.Contains("Send [")) << console.Text();
    EXPECT_EQ(Upnp_GetFirstBase(upnp, &base), 0);
    // With no local address there is nothing to ask about.
    uint8_t any[4];
    if (Socket_GetHostAddress(0, any)) {
        EXPECT_GE(asked, 1);
    }
}

TEST_F(UpnpFixture, HostileDescriptionsAreBounded) {
    // Devices nested far deeper than any gateway, and far more of them.
    std::string deep = "<root><device><deviceType>d0</deviceType>";
    for (int i = 1; i < 40; i++)
        deep += "<deviceList><device><deviceType>d" + std::to_string(i) + "</deviceType>";
    for (int i = 1; i < 40; i++)
        deep += "</device></deviceList>";
    deep += "</device></root>";
    gateway.files["/deep.xml"] = deep;
    std::string wide = "<root>";
    for (int i = 0; i < 200; i++)
        wide += "<device><deviceType>w</deviceType></device>";
    wide += "</root>";
    gateway.files["/wide.xml"] = wide;
    gateway.files["/notype.xml"] = "<root><device><friendlyName>n</friendlyName></device></root>";
    gateway.files["/noroot.xml"] = "<html><body>hello</body></html>";
    // Nesting far past the XML reader's depth limit is cut there, not followed.
    gateway.files["/nested.xml"] = "<root><device><deviceType>n</deviceType>" +
                                   std::string(20000 * 3, ' ') + "</device></root>";
    for (size_t i = 0; i < 20000; i++)
        gateway.files["/nested.xml"].replace(40 + i * 3, 3, "<a>");
    UpnpBaseStruct *b = nullptr;
    ASSERT_EQ(Upnp_AddLocation(upnp, gateway.url("/deep.xml").c_str(), &b), 1);
    EXPECT_EQ(b->DeviceCount, UPNP_MAX_DEVICE_DEPTH + 1);
    ASSERT_EQ(Upnp_AddLocation(upnp, gateway.url("/wide.xml").c_str(), &b), 1);
    EXPECT_EQ(b->DeviceCount, UPNP_MAX_DEVICES);
    EXPECT_EQ(Upnp_AddLocation(upnp, gateway.url("/notype.xml").c_str(), &b), 0);
    EXPECT_EQ(b->Described, 0);
    EXPECT_EQ(Upnp_AddLocation(upnp, gateway.url("/noroot.xml").c_str(), &b), 0);
    testsupport::ConsoleCapture console;
    EXPECT_EQ(Upnp_AddLocation(upnp, gateway.url("/nested.xml").c_str(), &b), 1);
    EXPECT_TRUE(console.Contains("nesting deeper than 256 levels dropped"));
    EXPECT_EQ(b->DeviceCount, 1);
    EXPECT_EQ(Upnp_AddLocation(upnp, gateway.url("/absent.xml").c_str(), &b), 0);
    EXPECT_STREQ(b->FriendlyName, "Unknown");
}

} // namespace

// ---------------------------------------------------------------------------
// Against miniupnpd in network namespaces (root only)
// ---------------------------------------------------------------------------

#include "tests/support/netns.h"

namespace {

const char kIgd[] = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";

int LogToStdout(const char *text) {
    fputs("log: ", stdout);
    fputs(text, stdout);
    return 1;
}

// The first service of any discovered base that offers `name`.
bool FindService(UpnpStruct *upnp, const char *name, UpnpBaseStruct **base,
                 UpnpDeviceStruct **device, UpnpServiceStruct **service) {
    for (Upnp_GetFirstBase(upnp, base); *base != nullptr; Upnp_GetNextBase(upnp, *base, base)) {
        for (Upnp_GetFirstDevice(upnp, *base, device); *device != nullptr;
             Upnp_GetNextDevice(upnp, *device, device)) {
            for (Upnp_GetFirstService(upnp, *device, service); *service != nullptr;
                 Upnp_GetNextService(upnp, *service, service)) {
                UpnpActionStruct *action = nullptr;
                if (Upnp_FindAction(upnp, *service, name, &action))
                    return true;
            }
        }
    }
    return false;
}

// Runs inside the lan namespace: discovers the gateway, reads its external
// address, then adds (args[0] "add") or deletes ("delete") TCP port 45001,
// and lists the mapping table. Results are printed as "@ ..." lines.
PORTICO_TEST_CHILD(upnp_lan) {
    Zyl_SetConsoleCallback(LogToStdout);
    UpnpStruct *upnp = nullptr;
    Upnp_Create(&upnp);
    WebGet_SetAttempts(upnp->Web, 1);
    Upnp_SetMX(upnp, 1);
    Upnp_Discover(upnp, kIgd);
    UpnpBaseStruct *base = nullptr;
    UpnpDeviceStruct *device = nullptr;
    UpnpServiceStruct *service = nullptr;
    if (!FindService(upnp, "AddPortMapping", &base, &device, &service)) {
        printf("@ no gateway\n");
        Upnp_Destroy(&upnp);
        return 2;
    }
    uint8_t local[4];
    Upnp_GetBaseAddress(upnp, base, local);
    char client[32];
    Zyl_FormatString(client, sizeof client, "%d.%d.%d.%d", local[0], local[1], local[2], local[3]);
    printf("@ location %s client %s\n", base->Location, client);
    UpnpActionStruct *action = nullptr;
    UpnpArgumentStruct *argument = nullptr;
    char value[UPNP_VALUE_SIZE] = "";
    if (Upnp_FindAction(upnp, service, "GetExternalIPAddress", &action) &&
        Upnp_Command(upnp, base, device, service, action, 0) &&
        Upnp_FindArgument(upnp, action, "NewExternalIPAddress", &argument) &&
        Upnp_GetArgumentValue(upnp, base, device, service, action, argument, value, sizeof value))
        printf("@ external %s\n", value);
    int result = 0;
    if (args.size() == 1 && args[0] == "add") {
        Upnp_FindAction(upnp, service, "AddPortMapping", &action);
        result =
            Upnp_Command(upnp, base, device, service, action, 8, "NewRemoteHost", "",
                         "NewExternalPort", "45001", "NewProtocol", "TCP", "NewInternalPort",
                         "45001", "NewInternalClient", client, "NewEnabled", "1",
                         "NewPortMappingDescription", "portico-test", "NewLeaseDuration", "3600");
    } else if (args.size() == 1 && args[0] == "delete" &&
               Upnp_FindAction(upnp, service, "DeletePortMapping", &action)) {
        result = Upnp_Command(upnp, base, device, service, action, 3, "NewRemoteHost", "",
                              "NewExternalPort", "45001", "NewProtocol", "TCP");
    }
    printf("@ %s %d\n", args.empty() ? "none" : args[0].c_str(), result);
    // The table is read with a bound, whatever the gateway keeps answering.
    for (int i = 0; i < UPNP_MAX_MAPPING_ENTRIES; i++) {
        UpnpMappingEntry e;
        if (!Upnp_GetMappingEntry(upnp, base, device, service, i, &e))
            break;
        printf("@ entry %s %s %s:%s %s\n", e.Protocol, e.ExternalPort, e.InternalClient,
               e.InternalPort, e.Description);
    }
    Upnp_Destroy(&upnp);
    return result ? 0 : 1;
}

// The "@ " lines of a child's output.
std::string Results(const std::string &output) {
    std::string lines;
    size_t at = 0;
    while ((at = output.find("@ ", at)) != std::string::npos) {
        if (at == 0 || output[at - 1] == '\n') {
            size_t end = output.find('\n', at);
            lines += output.substr(at + 2, end - at - 2) + "\n";
            at = end;
        } else {
            at += 2;
        }
    }
    return lines;
}

bool Has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

TEST(UpnpGateway, AddListAndDeleteAgreeWithUpnpc) {
    nettest::GatewayNamespaces net;
    if (!net.ok())
        GTEST_SKIP() << "port-mapping namespaces unavailable: " << net.why();
    // A mapping made by the reference client first: our listing must show it.
    std::string upnpc;
    // upnpc goes straight to the description (-u), skipping its own search.
    const std::string reference = "upnpc -u http://192.168.77.1:5000/rootDesc.xml ";
    ASSERT_EQ(net.RunInLan(reference + "-a 192.168.77.2 45002 45002 UDP", &upnpc), 0) << upnpc;
    std::string output;
    net.RunChildInLan("upnp_lan", "add 2>&1", &output);
    std::string results = Results(output);
    EXPECT_TRUE(Has(results, "location http://192.168.77.1:5000/rootDesc.xml client 192.168.77.2"))
        << output << net.log();
    EXPECT_TRUE(Has(results, std::string("external ") + net.kExternalAddress)) << output;
    EXPECT_TRUE(Has(results, "add 1\n")) << output << net.log();
    EXPECT_TRUE(Has(results, "entry UDP 45002 192.168.77.2:45002")) << output;
    EXPECT_TRUE(Has(results, "entry TCP 45001 192.168.77.2:45001 portico-test")) << output;
    net.RunInLan(reference + "-l", &upnpc);
    EXPECT_TRUE(Has(upnpc, std::string("ExternalIPAddress = ") + net.kExternalAddress)) << upnpc;
    EXPECT_TRUE(Has(upnpc, "TCP 45001->192.168.77.2:45001 'portico-test'")) << upnpc;

    output.clear();
    net.RunChildInLan("upnp_lan", "delete 2>&1", &output);
    results = Results(output);
    EXPECT_TRUE(Has(results, "delete 1\n")) << output << net.log();
    EXPECT_FALSE(Has(results, "entry TCP 45001")) << output;
    EXPECT_TRUE(Has(results, "entry UDP 45002")) << output;
    net.RunInLan(reference + "-l", &upnpc);
    EXPECT_FALSE(Has(upnpc, "45001->")) << upnpc;
    EXPECT_TRUE(Has(upnpc, "UDP 45002->192.168.77.2:45002")) << upnpc;
}

} // namespace
