// UPnP context and tree: creation, SSDP search on each local address, search
// answers turned into bases, walking and freeing the tree of bases, devices,
// services, actions and arguments. Descriptions and actions are in
// upnp_action.cpp.
#include "net/upnp.h"

#include "core/url.h"
#include "core/xml.h"
#include "core/zyl.h"
#include "net/socket.h"
#include "net/upnp_internal.h"
#include "net/webget.h"

#include <cstring>

const char UpnpTag[] = "upnp";
const char UpnpBaseTag[] = "UpnpBaseStruct";
const char UpnpDeviceTag[] = "UpnpDeviceStruct";
const char UpnpServiceTag[] = "UpnpServiceStruct";
const char UpnpActionTag[] = "UpnpActionStruct";
const char UpnpArgumentTag[] = "UpnpArgumentStruct";

namespace {

const uint8_t kGroup[4] = {239, 255, 255, 250};

enum {
    kMaxLocalAddresses = 16,
    kMaxAgeLimit = 86400 * 365, // seconds; larger values are taken as this
};

void FreeArguments(UpnpActionStruct *action) {
    while (action->Arguments != nullptr) {
        UpnpArgumentStruct *argument = action->Arguments;
        action->Arguments = argument->Next;
        argument->Tag = Zyl_DeadTag;
        ZYL_FREE(argument, sizeof(UpnpArgumentStruct));
    }
    action->ArgumentCount = 0;
}

void FreeService(UpnpServiceStruct *service) {
    while (service->Actions != nullptr) {
        UpnpActionStruct *action = service->Actions;
        service->Actions = action->Next;
        FreeArguments(action);
        action->Tag = Zyl_DeadTag;
        ZYL_FREE(action, sizeof(UpnpActionStruct));
    }
    Xml_Destroy(&service->Document);
    service->Tag = Zyl_DeadTag;
    ZYL_FREE(service, sizeof(UpnpServiceStruct));
}

void FreeDevice(UpnpDeviceStruct *device) {
    while (device->Services != nullptr) {
        UpnpServiceStruct *service = device->Services;
        device->Services = service->Next;
        FreeService(service);
    }
    device->Tag = Zyl_DeadTag;
    ZYL_FREE(device, sizeof(UpnpDeviceStruct));
}

// Value of a header in an HTTP head (name compared without case), trimmed and
// cut to size. 0 when absent.
int HeadValue(const char *head, int length, const char *name, char *buffer, int size) {
    buffer[0] = '\0';
    int nameLength = Zyl_StrLen(name);
    for (int i = 0; i < length;) {
        int end = i;
        while (end < length && head[end] != '\n')
            end++;
        if (end - i > nameLength && head[i + nameLength] == ':' &&
            Zyl_StrEqualNNoCase(head + i, name, nameLength)) {
            int v = i + nameLength + 1;
            while (v < end && (head[v] == ' ' || head[v] == '\t'))
                v++;
            int e = end;
            while (e > v && (head[e - 1] == '\r' || head[e - 1] == ' ' || head[e - 1] == '\t'))
                e--;
            int n = e - v < size - 1 ? e - v : size - 1;
            memcpy(buffer, head + v, (size_t)n);
            buffer[n] = '\0';
            return e - v < size;
        }
        i = end + 1;
    }
    return 0;
}

// "max-age" of a Cache-Control value (',' or ';' separated); 0 when missing.
int ParseMaxAge(const char *value, int *maxAge) {
    *maxAge = 0;
    int position = 0;
    if (!Zyl_StrFindNoCase(value, "max-age", &position))
        return 0;
    const char *p = value + position + 7;
    while (*p == ' ')
        p++;
    if (*p != '=')
        return 0;
    p++;
    while (*p == ' ')
        p++;
    if (*p < '0' || *p > '9')
        return 0;
    int64_t seconds = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        seconds = seconds * 10 + (*p - '0');
        if (seconds > kMaxAgeLimit)
            seconds = kMaxAgeLimit;
    }
    *maxAge = (int)seconds;
    return 1;
}

void PrintSummary(const UpnpBaseStruct *base) {
    const char *line = "---------------------------------------------\n";
    Zyl_Print("%s", line);
    Zyl_Print("Base URL       [%s]\n", base->Location);
    Zyl_Print("Name           [%s]\n", base->FriendlyName);
    Zyl_Print("Manu Name      [%s]\n", base->Manufacturer);
    Zyl_Print("Manu URL       [%s]\n", base->ManufacturerURL);
    Zyl_Print("Model Name     [%s]\n", base->ModelName);
    Zyl_Print("Model Number   [%s]\n", base->ModelNumber);
    Zyl_Print("%s", line);
}

// Opens the search socket on one local address; 0 (closed) when it cannot serve.
int OpenSearchSocket(SocketStruct *socket, const uint8_t local[4]) {
    if (!Socket_Open(socket, SOCKET_PROTOCOL_DISCOVERY)) {
        Zyl_Print("Unable to open multicast socket\n");
        return 0;
    }
    Socket_SetReuseAddress(socket, 1);
    if (!Socket_Bind(socket, local, 0)) {
        Zyl_Print("Unable to bind to %d.%d.%d.%d:%d\n", local[0], local[1], local[2], local[3], 0);
    } else if (!Socket_SetMulticastInterface(socket, local)) {
        Zyl_Print("Unable to set interface to %d.%d.%d.%d:%d\n", local[0], local[1], local[2],
                  local[3], 0);
    } else if (!Socket_JoinMulticastGroup(socket, local, kGroup)) {
        Zyl_Print("Unable to set multicast relationship to %d.%d.%d.%d / %d.%d.%d.%d (%s)\n",
                  local[0], local[1], local[2], local[3], kGroup[0], kGroup[1], kGroup[2],
                  kGroup[3], Socket_GetLastErrorString(socket));
    } else {
        return 1;
    }
    Socket_Close(socket);
    return 0;
}

int SendSearch(UpnpStruct *context, SocketStruct *socket) {
    Upnp_GrowBuffer(context, UPNP_SEARCH_BUFFER);
    int length =
        Zyl_FormatString(context->Buffer, context->BufferSize,
                         "M-SEARCH * HTTP/1.1\r\nST: %s\r\nMX: %d\r\nMAN: \"ssdp:discover\"\r\n"
                         "HOST: %d.%d.%d.%d:%d\r\n\r\n",
                         context->SearchTarget, context->MX, kGroup[0], kGroup[1], kGroup[2],
                         kGroup[3], UPNP_SSDP_PORT);
    int sent = 0;
    if (!Socket_WriteIP(socket, kGroup, UPNP_SSDP_PORT, context->Buffer, length, &sent)) {
        Zyl_Print("Unable to write to %d.%d.%d.%d:%d (%s)\n", kGroup[0], kGroup[1], kGroup[2],
                  kGroup[3], UPNP_SSDP_PORT, Socket_GetLastErrorString(socket));
        return 0;
    }
    Zyl_Print("Send [%d.%d.%d.%d:%d] (%d)\n", kGroup[0], kGroup[1], kGroup[2], kGroup[3],
              UPNP_SSDP_PORT, sent);
    return 1;
}

int Cancelled(UpnpStruct *context) {
    return context->Cancel != nullptr && context->Cancel(context->CancelArgument) != 0;
}

// Collects answers for MX + 1 seconds after the search was sent.
void CollectAnswers(UpnpStruct *context, SocketStruct *socket, SocketSelectStruct *set) {
    double end = Zyl_GetTickSeconds() + context->MX + 1;
    for (;;) {
        if (Cancelled(context))
            return;
        int left = (int)((end - Zyl_GetTickSeconds()) * 1000.0);
        if (left <= 0)
            return;
        SocketSelect_Clear(set);
        SocketSelect_Add(set, socket);
        int ready = 0;
        if (!Socket_Wait(set, nullptr, nullptr, nullptr, left < 100 ? left : 100, &ready))
            return;
        if (ready == 0)
            continue;
        uint8_t sender[4] = {0, 0, 0, 0};
        int port = 0;
        int count = 0;
        if (!Socket_ReadIP(socket, sender, &port, context->Buffer, context->BufferSize - 1,
                           &count)) {
            Zyl_Print("Unable to read from %d.%d.%d.%d:%d\n", sender[0], sender[1], sender[2],
                      sender[3], port);
            return;
        }
        if (count == 0)
            continue;
        context->Buffer[count] = '\0';
        if (context->Trace)
            Zyl_Print("Receive [%d.%d.%d.%d:%d] (%d) %s\n", sender[0], sender[1], sender[2],
                      sender[3], port, count, context->Buffer);
        Upnp_AddSearchReply(context, sender, context->Buffer, count);
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Shared with upnp_action.cpp
// ---------------------------------------------------------------------------

void Upnp_GrowBuffer(UpnpStruct *context, int size) {
    if (context->BufferSize >= size)
        return;
    int grown = (size + UPNP_BUFFER_STEP - 1) / UPNP_BUFFER_STEP * UPNP_BUFFER_STEP;
    char *buffer = static_cast<char *>(ZYL_ALLOC(grown));
    if (context->Buffer != nullptr) {
        memcpy(buffer, context->Buffer, (size_t)context->BufferSize);
        ZYL_FREE(context->Buffer, context->BufferSize);
    }
    context->Buffer = buffer;
    context->BufferSize = grown;
}

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

int Upnp_Create(UpnpStruct **context) {
    ZYL_CHECK_PTR(context);
    *context = nullptr;
    UpnpStruct *c = ZYL_NEW(UpnpStruct);
    c->Tag = UpnpTag;
    c->MX = UPNP_DEFAULT_MX;
    Xml_Create(&c->Request);
    Xml_Create(&c->Response);
    Url_Create(&c->Url);
    WebGet_Create(&c->Web);
    WebGet_SetHTTPVersion(c->Web, 1.1);
    WebGet_SetRetryDelay(c->Web, 1);
    WebGet_SetBlocking(c->Web, 1);
    // Gateways answer within seconds: one that drips its answer is given up on.
    WebGetSettingsStruct settings;
    WebGet_GetSettings(c->Web, &settings);
    settings.SizeLimit = UPNP_MAX_DOCUMENT;
    settings.Deadline = UPNP_FETCH_DEADLINE;
    WebGet_Configure(c->Web, &settings);
    *context = c;
    return 1;
}

int Upnp_Destroy(UpnpStruct **context) {
    ZYL_CHECK_PTR(context);
    UpnpStruct *c = *context;
    if (c == nullptr)
        return 1;
    ZYL_CHECK_TAG(c, UpnpTag);
    Upnp_RemoveAllBases(c);
    if (c->Buffer != nullptr)
        ZYL_FREE(c->Buffer, c->BufferSize);
    Url_Destroy(&c->Url);
    Xml_Destroy(&c->Request);
    Xml_Destroy(&c->Response);
    WebGet_Destroy(&c->Web);
    c->Tag = Zyl_DeadTag;
    ZYL_FREE(c, sizeof(UpnpStruct));
    *context = nullptr;
    return 1;
}

int Upnp_SetMX(UpnpStruct *context, int seconds) {
    ZYL_CHECK_TAG(context, UpnpTag);
    context->MX = seconds < 0 ? 0 : seconds;
    return 1;
}

int Upnp_SetCancel(UpnpStruct *context, UpnpCancel cancel, void *argument) {
    ZYL_CHECK_TAG(context, UpnpTag);
    context->Cancel = cancel;
    context->CancelArgument = argument;
    return 1;
}

int Upnp_SetTrace(UpnpStruct *context, int trace) {
    ZYL_CHECK_TAG(context, UpnpTag);
    context->Trace = trace;
    WebGet_SetTrace(context->Web, trace);
    return 1;
}

// ---------------------------------------------------------------------------
// Discovery
// ---------------------------------------------------------------------------

int Upnp_AddSearchReply(UpnpStruct *context, const uint8_t sender[4], const char *reply,
                        int length) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_PTR(sender);
    ZYL_CHECK_PTR(reply);
    char link[UPNP_TEXT_SIZE];
    if (!HeadValue(reply, length, "Location", link, sizeof(link)) || link[0] == '\0') {
        Zyl_Print("Search answer without a usable Location\n");
        return 0;
    }
    char base[64];
    char location[URL_TEXT_SIZE];
    Zyl_FormatString(base, sizeof(base), "http://%d.%d.%d.%d/", sender[0], sender[1], sender[2],
                     sender[3]);
    Url_SetBase(context->Url, base);
    if (!Url_MakeAbsolute(context->Url, link, location, sizeof(location)) || location[0] == '\0' ||
        Zyl_StrLen(location) >= UPNP_TEXT_SIZE) {
        Zyl_Print("Search answer without a usable Location\n");
        return 0;
    }
    UpnpBaseStruct **tail = &context->Bases;
    for (; *tail != nullptr; tail = &(*tail)->Next) {
        if (Zyl_StrEqualNoCase((*tail)->Location, location)) {
            Zyl_Print("Duplicate Base object -- skipping [%s] vs [%s]\n", (*tail)->Location,
                      location);
            return 0;
        }
    }
    if (context->BaseCount >= UPNP_MAX_BASES) {
        Zyl_Print("Too many gateways answered -- skipping [%s]\n", location);
        return 0;
    }
    UpnpBaseStruct *b = ZYL_NEW(UpnpBaseStruct);
    b->Tag = UpnpBaseTag;
    Zyl_StrCopy(b->Location, location, sizeof(b->Location));
    b->DiscoveryTime = Zyl_GetTickSeconds();
    const char *unknown = "Unknown";
    Zyl_StrCopy(b->FriendlyName, unknown, sizeof(b->FriendlyName));
    Zyl_StrCopy(b->Manufacturer, unknown, sizeof(b->Manufacturer));
    Zyl_StrCopy(b->ManufacturerURL, unknown, sizeof(b->ManufacturerURL));
    Zyl_StrCopy(b->ModelName, unknown, sizeof(b->ModelName));
    Zyl_StrCopy(b->ModelNumber, unknown, sizeof(b->ModelNumber));
    char cache[UPNP_TEXT_SIZE];
    HeadValue(reply, length, "Cache-control", cache, sizeof(cache));
    if (!ParseMaxAge(cache, &b->MaxAge))
        Zyl_Print("Unable to decode timeout [%s]\n", cache);
    *tail = b;
    context->BaseCount++;
    Zyl_Print("Base [%s] [%d]\n", b->Location, b->MaxAge);
    return 1;
}

int Upnp_Discover(UpnpStruct *context, const char *searchTarget) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_PTR(searchTarget);
    Zyl_StrCopy(context->SearchTarget, searchTarget, sizeof(context->SearchTarget));
    Zyl_Print("Discovering device [%s]\n", context->SearchTarget);
    SocketStruct *socket = nullptr;
    SocketSelectStruct *set = nullptr;
    Socket_Create(&socket);
    SocketSelect_Create(&set);
    // Each local address gets a socket of its own, so every interface is searched.
    uint8_t local[4];
    for (int n = 0; n < kMaxLocalAddresses && Socket_GetHostAddress(n, local); n++) {
        if (Cancelled(context))
            break;
        Zyl_Print("%d:Local IP [%d.%d.%d.%d:%d]\n", n, local[0], local[1], local[2], local[3], 0);
        if (!OpenSearchSocket(socket, local))
            continue;
        if (SendSearch(context, socket))
            CollectAnswers(context, socket, set);
        Socket_Close(socket);
    }
    SocketSelect_Destroy(&set);
    Socket_Destroy(&socket);
    for (UpnpBaseStruct *b = context->Bases; b != nullptr; b = b->Next) {
        if (b->Described || Cancelled(context))
            continue;
        Upnp_DescribeBase(context, b);
        PrintSummary(b);
    }
    return 1;
}

int Upnp_AddLocation(UpnpStruct *context, const char *location, UpnpBaseStruct **base) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_PTR(location);
    ZYL_CHECK_PTR(base);
    *base = nullptr;
    char reply[UPNP_TEXT_SIZE + 64];
    Zyl_FormatString(reply, sizeof(reply), "HTTP/1.1 200 OK\r\nLocation: %s\r\n\r\n", location);
    const uint8_t none[4] = {0, 0, 0, 0};
    if (!Upnp_AddSearchReply(context, none, reply, Zyl_StrLen(reply)))
        return 0;
    UpnpBaseStruct *b = context->Bases;
    while (b->Next != nullptr)
        b = b->Next;
    *base = b;
    int described = Upnp_DescribeBase(context, b);
    PrintSummary(b);
    return described;
}

// ---------------------------------------------------------------------------
// The tree
// ---------------------------------------------------------------------------

int Upnp_GetFirstBase(UpnpStruct *context, UpnpBaseStruct **base) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_PTR(base);
    *base = context->Bases;
    return *base != nullptr;
}

int Upnp_GetNextBase(UpnpStruct *context, UpnpBaseStruct *base, UpnpBaseStruct **next) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_TAG(base, UpnpBaseTag);
    ZYL_CHECK_PTR(next);
    *next = base->Next;
    return *next != nullptr;
}

int Upnp_GetBaseAddress(UpnpStruct *context, UpnpBaseStruct *base, uint8_t address[4]) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_TAG(base, UpnpBaseTag);
    ZYL_CHECK_PTR(address);
    memcpy(address, base->LocalAddress, 4);
    return 1;
}

int Upnp_GetFirstDevice(UpnpStruct *context, UpnpBaseStruct *base, UpnpDeviceStruct **device) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_TAG(base, UpnpBaseTag);
    ZYL_CHECK_PTR(device);
    *device = base->Devices;
    return *device != nullptr;
}

int Upnp_GetNextDevice(UpnpStruct *context, UpnpDeviceStruct *device, UpnpDeviceStruct **next) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_TAG(device, UpnpDeviceTag);
    ZYL_CHECK_PTR(next);
    *next = device->Next;
    return *next != nullptr;
}

int Upnp_GetFirstService(UpnpStruct *context, UpnpDeviceStruct *device,
                         UpnpServiceStruct **service) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_TAG(device, UpnpDeviceTag);
    ZYL_CHECK_PTR(service);
    *service = device->Services;
    return *service != nullptr;
}

int Upnp_GetNextService(UpnpStruct *context, UpnpServiceStruct *service, UpnpServiceStruct **next) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_TAG(service, UpnpServiceTag);
    ZYL_CHECK_PTR(next);
    *next = service->Next;
    return *next != nullptr;
}

int Upnp_FindAction(UpnpStruct *context, UpnpServiceStruct *service, const char *name,
                    UpnpActionStruct **action) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_TAG(service, UpnpServiceTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(action);
    for (*action = service->Actions; *action != nullptr; *action = (*action)->Next) {
        if (Zyl_StrEqualNoCase((*action)->Name, name))
            return 1;
    }
    return 0;
}

int Upnp_FindArgument(UpnpStruct *context, UpnpActionStruct *action, const char *name,
                      UpnpArgumentStruct **argument) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_TAG(action, UpnpActionTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(argument);
    for (*argument = action->Arguments; *argument != nullptr; *argument = (*argument)->Next) {
        if (Zyl_StrEqualNoCase((*argument)->Name, name))
            return 1;
    }
    return 0;
}

int Upnp_RemoveBase(UpnpStruct *context, UpnpBaseStruct *base) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_PTR(base);
    UpnpBaseStruct **link = &context->Bases;
    while (*link != nullptr && *link != base)
        link = &(*link)->Next;
    if (*link == nullptr) {
        Zyl_Print("Unable to find base to remove [0x%p]\n", (void *)base);
        return 0;
    }
    *link = base->Next;
    context->BaseCount--;
    while (base->Devices != nullptr) {
        UpnpDeviceStruct *device = base->Devices;
        base->Devices = device->Next;
        FreeDevice(device);
    }
    Xml_Destroy(&base->Document);
    base->Tag = Zyl_DeadTag;
    ZYL_FREE(base, sizeof(UpnpBaseStruct));
    return 1;
}

int Upnp_RemoveAllBases(UpnpStruct *context) {
    ZYL_CHECK_TAG(context, UpnpTag);
    while (context->Bases != nullptr)
        Upnp_RemoveBase(context, context->Bases);
    return 1;
}
