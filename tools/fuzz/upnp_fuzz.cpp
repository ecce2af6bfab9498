// libFuzzer target for the UPnP client's discovery and SOAP replies: the input
// up to its first NUL is a search answer from 127.0.0.1; the rest is the HTTP
// reply the gateway gives to every action. The gateway's description and its
// WANIPConnection service come from a stand-in transport, so the client finds
// the service and posts GetExternalIPAddress and GetGenericPortMappingEntry
// without a network.
#include "core/zyl.h"
#include "net/upnp.h"
#include "net/webget.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

const char kDescription[] =
    "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
    "<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
    "<serviceList><service>"
    "<serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
    "<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>"
    "<SCPDURL>/scpd.xml</SCPDURL><controlURL>/ctl</controlURL>"
    "</service></serviceList></device></root>";

#define UPNP_FUZZ_ARG(name, direction, variable)                                                   \
    "<argument><name>" name "</name><direction>" direction                                         \
    "</direction><relatedStateVariable>" variable "</relatedStateVariable></argument>"

const char kScpd[] =
    "<?xml version=\"1.0\"?><scpd xmlns=\"urn:schemas-upnp-org:service-1-0\"><actionList>"
    "<action><name>GetExternalIPAddress</name><argumentList>" UPNP_FUZZ_ARG(
        "NewExternalIPAddress", "out",
        "ExternalIPAddress") "</argumentList></action>"
                             "<action><name>GetGenericPortMappingEntry</"
                             "name><argumentList>" UPNP_FUZZ_ARG(
                                 "NewPortMappingIndex", "in",
                                 "Entries") UPNP_FUZZ_ARG("NewExternalPort", "out", "ExternalPort")
                                 UPNP_FUZZ_ARG("NewProtocol", "out", "Protocol") UPNP_FUZZ_ARG(
                                     "NewInternalClient", "out",
                                     "Client") "</argumentList></action>"
                                               "</actionList><serviceStateTable>"
                                               "<stateVariable><name>ExternalIPAddress</"
                                               "name><dataType>string</dataType></stateVariable>"
                                               "<stateVariable><name>Entries</name><dataType>ui2</"
                                               "dataType></stateVariable>"
                                               "<stateVariable><name>ExternalPort</"
                                               "name><dataType>ui2</dataType></stateVariable>"
                                               "<stateVariable><name>Protocol</"
                                               "name><dataType>string</dataType></stateVariable>"
                                               "<stateVariable><name>Client</"
                                               "name><dataType>string</dataType></stateVariable>"
                                               "</serviceStateTable></scpd>";

// One exchange of the stand-in transport: the request written so far, then the
// reply chosen by its first line.
struct Gateway {
    std::string request;
    std::string reply;
    size_t position;
    int replied;
    const uint8_t *soap;
    size_t soapSize;
};

std::string Document(const char *text) {
    return std::string("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: ") +
           std::to_string(strlen(text)) + "\r\nConnection: close\r\n\r\n" + text;
}

int FakeConnect(WebGetStruct *, void *user, const uint8_t[4], int) {
    Gateway *g = static_cast<Gateway *>(user);
    g->request.clear();
    g->reply.clear();
    g->position = 0;
    g->replied = 0;
    return 1;
}

int FakeReady(WebGetStruct *, void *) {
    return 1;
}

int FakeWrite(WebGetStruct *, void *user, const void *data, int length, int *count) {
    Gateway *g = static_cast<Gateway *>(user);
    g->request.append(static_cast<const char *>(data), (size_t)length);
    *count = length;
    return 1;
}

int FakeRead(WebGetStruct *, void *user, void *buffer, int length, int *count) {
    Gateway *g = static_cast<Gateway *>(user);
    *count = 0;
    if (!g->replied) {
        if (g->request.find("\r\n\r\n") == std::string::npos)
            return 1; // the request is not complete yet
        g->replied = 1;
        if (g->request.compare(0, 14, "GET /desc.xml ") == 0)
            g->reply = Document(kDescription);
        else if (g->request.compare(0, 14, "GET /scpd.xml ") == 0)
            g->reply = Document(kScpd);
        else
            g->reply.assign(reinterpret_cast<const char *>(g->soap), g->soapSize);
    }
    if (g->position >= g->reply.size())
        return 0; // the gateway closed
    size_t n = g->reply.size() - g->position;
    if (n > (size_t)length)
        n = (size_t)length;
    if (n > 700)
        n = 700; // replies arrive in pieces
    memcpy(buffer, g->reply.data() + g->position, n);
    g->position += n;
    *count = (int)n;
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Zyl_Init("upnp_fuzz.log", ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_MemoryInit(INT_MAX);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint8_t *split = static_cast<const uint8_t *>(memchr(data, 0, size));
    size_t answerSize = split != nullptr ? (size_t)(split - data) : size;
    Gateway gateway = {};
    gateway.soap = split != nullptr ? split + 1 : data + size;
    gateway.soapSize = split != nullptr ? size - answerSize - 1 : 0;

    UpnpStruct *upnp = nullptr;
    Upnp_Create(&upnp);
    WebGetTransportOps ops = {FakeConnect, FakeReady, FakeRead, FakeWrite, &gateway};
    WebGet_SetPlainTransport(upnp->Web, &ops);
    WebGetSettingsStruct settings;
    WebGet_GetSettings(upnp->Web, &settings);
    settings.Attempts = 1;
    settings.RetryDelay = 0.0;
    WebGet_Configure(upnp->Web, &settings);

    static const uint8_t sender[4] = {127, 0, 0, 1};
    std::string answer(reinterpret_cast<const char *>(data), answerSize);
    Upnp_AddSearchReply(upnp, sender, answer.c_str(), (int)answer.size());
    Upnp_AddSearchReply(upnp, sender, answer.c_str(), (int)answer.size()); // a duplicate
    Upnp_RemoveAllBases(upnp);

    UpnpBaseStruct *base = nullptr;
    UpnpDeviceStruct *device = nullptr;
    UpnpServiceStruct *service = nullptr;
    UpnpActionStruct *action = nullptr;
    UpnpArgumentStruct *argument = nullptr;
    if (Upnp_AddLocation(upnp, "http://127.0.0.1:5000/desc.xml", &base) &&
        Upnp_GetFirstDevice(upnp, base, &device) && Upnp_GetFirstService(upnp, device, &service) &&
        Upnp_FindAction(upnp, service, "GetExternalIPAddress", &action) &&
        Upnp_FindArgument(upnp, action, "NewExternalIPAddress", &argument)) {
        char value[UPNP_VALUE_SIZE];
        if (Upnp_Command(upnp, base, device, service, action, 0))
            Upnp_GetArgumentValue(upnp, base, device, service, action, argument, value,
                                  sizeof(value));
        UpnpMappingEntry entry;
        Upnp_GetMappingEntry(upnp, base, device, service, 0, &entry);
    } else {
        __builtin_trap(); // the fixed description must always be read
    }
    Upnp_Destroy(&upnp);
    return 0;
}
