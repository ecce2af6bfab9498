// UPnP descriptions and actions: fetching a base's device description and each
// service's SCPD into the tree (with count and nesting limits, as any LAN
// device may answer), and posting SOAP actions and reading their out values.
#include "net/upnp.h"

#include "core/url.h"
#include "core/xml.h"
#include "core/zyl.h"
#include "net/upnp_internal.h"
#include "net/webget.h"

#include <cstdarg>
#include <cstring>

namespace {

const char kEnvelopeNamespace[] = "http://schemas.xmlsoap.org/soap/envelope/";
const char kEncodingNamespace[] = "http://schemas.xmlsoap.org/soap/encoding/";

enum { kMaxPairs = 32 };

// Bounded copy of the text of a named child; 0 (empty) when absent or cut.
int ChildText(XmlStruct *xml, XmlNodeStruct *node, const char *name, char *buffer, int size) {
    buffer[0] = '\0';
    XmlNodeStruct *child = nullptr;
    if (node == nullptr || !Xml_FindChild(xml, node, name, 0, &child))
        return 0;
    const char *data = nullptr;
    Xml_GetData(xml, child, &data);
    if (!Zyl_StrCopy(buffer, data, size)) {
        buffer[0] = '\0';
        return 0;
    }
    return 1;
}

// First text of an element named `name` anywhere in the document.
void FindText(XmlStruct *xml, const char *name, char *buffer, int size) {
    XmlNodeStruct *node = nullptr;
    if (!Xml_Find(xml, name, XML_NO_DEPTH_LIMIT, 0, nullptr, &node))
        return;
    const char *data = nullptr;
    if (Xml_GetData(xml, node, &data))
        Zyl_StrCopy(buffer, data, size);
}

// The first child of `node` named `name` (from `after`'s next sibling when given).
XmlNodeStruct *NextNamed(XmlStruct *xml, XmlNodeStruct *node, XmlNodeStruct *after,
                         const char *name) {
    XmlNodeStruct *child = nullptr;
    if (after != nullptr)
        Xml_GetNextSibling(xml, after, &child);
    else
        Xml_GetFirstChild(xml, node, &child);
    for (; child != nullptr; Xml_GetNextSibling(xml, child, &child)) {
        const char *childName = nullptr;
        int kind = 0;
        Xml_GetKind(xml, child, &kind);
        Xml_GetName(xml, child, &childName);
        if (kind == XML_KIND_ELEMENT && Zyl_StrEqualNoCase(childName, name))
            return child;
    }
    return nullptr;
}

// GETs a URL into the client; 1 with the NUL-terminated content.
int Fetch(UpnpStruct *context, const char *url, const char **content, int64_t *size) {
    WebGetStruct *web = context->Web;
    WebGet_ClearHeaders(web);
    WebGet_SetRequestType(web, WEBGET_GET);
    WebGet_SetPostData(web, nullptr, 0);
    WebGet_SetURL(web, url);
    int success = 0;
    while (WebGet_Process(web, &success)) {
    }
    *content = "";
    *size = 0;
    if (!success)
        return 0;
    WebGet_GetContent(web, content, size);
    return *content != nullptr;
}

// The related state variable of an argument in the SCPD's state table.
XmlNodeStruct *FindStateVariable(UpnpServiceStruct *service, const char *related,
                                 const char *action) {
    XmlStruct *xml = service->Document;
    XmlNodeStruct *table = nullptr;
    if (!Xml_Find(xml, "serviceStateTable", XML_NO_DEPTH_LIMIT, 0, nullptr, &table)) {
        Zyl_Print("No state table list for argument\n");
        return nullptr;
    }
    for (XmlNodeStruct *v = NextNamed(xml, table, nullptr, "stateVariable"); v != nullptr;
         v = NextNamed(xml, table, v, "stateVariable")) {
        char name[UPNP_TEXT_SIZE];
        if (!ChildText(xml, v, "name", name, sizeof(name))) {
            Zyl_Print("Unable to get name for state variable [%s] in [%s]\n", related, action);
            continue;
        }
        if (Zyl_StrEqualNoCase(name, related))
            return v;
    }
    return nullptr;
}

void ReadArguments(UpnpStruct *context, UpnpServiceStruct *service, UpnpActionStruct *action) {
    XmlStruct *xml = service->Document;
    XmlNodeStruct *list = nullptr;
    if (!Xml_FindChild(xml, action->Element, "argumentList", 0, &list)) {
        if (context->Trace)
            Zyl_Print("No argument list for action [%s]\n", action->Name);
        return;
    }
    UpnpArgumentStruct **tail = &action->Arguments;
    for (XmlNodeStruct *a = NextNamed(xml, list, nullptr, "argument"); a != nullptr;
         a = NextNamed(xml, list, a, "argument")) {
        if (action->ArgumentCount >= UPNP_MAX_ARGUMENTS) {
            Zyl_Print("Too many arguments in action [%s]\n", action->Name);
            return;
        }
        char name[UPNP_TEXT_SIZE];
        if (!ChildText(xml, a, "name", name, sizeof(name)) || name[0] == '\0') {
            Zyl_Print("Unable to get name for argument in action [%s]\n", action->Name);
            continue;
        }
        UpnpArgumentStruct *argument = ZYL_NEW(UpnpArgumentStruct);
        argument->Tag = UpnpArgumentTag;
        argument->Element = a;
        argument->Owner = xml;
        Zyl_StrCopy(argument->Name, name, sizeof(argument->Name));
        char related[UPNP_TEXT_SIZE];
        if (ChildText(xml, a, "relatedStateVariable", related, sizeof(related))) {
            argument->StateVariable = FindStateVariable(service, related, action->Name);
            if (context->Trace)
                Zyl_Print("Mapped StateTable 0x%p: [%s][%s]\n", (void *)argument->StateVariable,
                          name, related);
        }
        if (context->Trace)
            Zyl_Print("Argument 0x%p [%s] 0x%p\n", (void *)argument, name,
                      (void *)argument->StateVariable);
        *tail = argument;
        tail = &argument->Next;
        action->ArgumentCount++;
    }
}

void ReadActions(UpnpStruct *context, UpnpServiceStruct *service) {
    XmlStruct *xml = service->Document;
    XmlNodeStruct *list = nullptr;
    if (!Xml_Find(xml, "actionList", XML_NO_DEPTH_LIMIT, 0, nullptr, &list)) {
        if (context->Trace)
            Zyl_Print("No action list for service\n");
        return;
    }
    UpnpActionStruct **tail = &service->Actions;
    for (XmlNodeStruct *a = NextNamed(xml, list, nullptr, "action"); a != nullptr;
         a = NextNamed(xml, list, a, "action")) {
        if (service->ActionCount >= UPNP_MAX_ACTIONS) {
            Zyl_Print("Too many actions in service\n");
            return;
        }
        UpnpActionStruct *action = ZYL_NEW(UpnpActionStruct);
        action->Tag = UpnpActionTag;
        action->Element = a;
        if (!ChildText(xml, a, "name", action->Name, sizeof(action->Name)))
            Zyl_StrCopy(action->Name, "Unknown", sizeof(action->Name));
        if (context->Trace)
            Zyl_Print("Action 0x%p [%s]\n", (void *)action, action->Name);
        *tail = action;
        tail = &action->Next;
        service->ActionCount++;
        ReadArguments(context, service, action);
    }
}

// Adds a service and reads its SCPD. 0 when the SCPD cannot be fetched (the
// walk of this device's services ends) or read.
int ReadService(UpnpStruct *context, UpnpBaseStruct *base, UpnpDeviceStruct *device,
                XmlNodeStruct *element) {
    UpnpServiceStruct *service = ZYL_NEW(UpnpServiceStruct);
    service->Tag = UpnpServiceTag;
    service->Element = element;
    service->Owner = base->Document;
    UpnpServiceStruct **tail = &device->Services;
    while (*tail != nullptr)
        tail = &(*tail)->Next;
    *tail = service;
    device->ServiceCount++;
    char link[UPNP_TEXT_SIZE];
    char url[URL_TEXT_SIZE];
    ChildText(base->Document, element, "SCPDURL", link, sizeof(link));
    Url_SetBase(context->Url, base->Location);
    if (link[0] == '\0' || !Url_MakeAbsolute(context->Url, link, url, sizeof(url))) {
        Zyl_Print("Failed to get service info [%s] [%s]\n", base->Location, link);
        return 0;
    }
    if (context->Trace)
        Zyl_Print("Service 0x%p [%s]\n", (void *)service, url);
    const char *content = nullptr;
    int64_t size = 0;
    if (!Fetch(context, url, &content, &size)) {
        Zyl_Print("Failed to get service info [%s] [%s]\n", base->Location, url);
        return 0;
    }
    if (context->Trace)
        Zyl_Print("Importing %I64d service data from [%s]\n", size, url);
    Xml_Create(&service->Document);
    if (!Xml_ParseBuffer(service->Document, content)) {
        Zyl_Print("Unable to parse SCPD XML\n");
        return 0;
    }
    if (context->Trace)
        Xml_Dump(service->Document);
    ReadActions(context, service);
    return 1;
}

// Adds a device with its services and nested devices. 0 when it has no type.
int ReadDevice(UpnpStruct *context, UpnpBaseStruct *base, XmlNodeStruct *element, int depth) {
    XmlStruct *xml = base->Document;
    if (base->DeviceCount >= UPNP_MAX_DEVICES) {
        Zyl_Print("Too many devices in [%s]\n", base->Location);
        return 1;
    }
    char type[UPNP_TEXT_SIZE];
    if (!ChildText(xml, element, "deviceType", type, sizeof(type))) {
        Zyl_Print("Unable to get find device type\n");
        return 0;
    }
    UpnpDeviceStruct *device = ZYL_NEW(UpnpDeviceStruct);
    device->Tag = UpnpDeviceTag;
    device->Element = element;
    Zyl_StrCopy(device->DeviceType, type, sizeof(device->DeviceType));
    UpnpDeviceStruct **tail = &base->Devices;
    while (*tail != nullptr)
        tail = &(*tail)->Next;
    *tail = device;
    base->DeviceCount++;
    if (context->Trace)
        Zyl_Print("Device 0x%p [%s]\n", (void *)device, type);
    XmlNodeStruct *list = nullptr;
    if (Xml_FindChild(xml, element, "serviceList", 0, &list)) {
        XmlNodeStruct *s = NextNamed(xml, list, nullptr, "service");
        if (s == nullptr)
            Zyl_Print("Unable to get first service\n");
        for (; s != nullptr; s = NextNamed(xml, list, s, "service")) {
            if (device->ServiceCount >= UPNP_MAX_SERVICES) {
                Zyl_Print("Too many services in device [%s]\n", type);
                break;
            }
            if (!ReadService(context, base, device, s))
                break;
        }
    }
    if (Xml_FindChild(xml, element, "deviceList", 0, &list)) {
        if (depth >= UPNP_MAX_DEVICE_DEPTH) {
            Zyl_Print("Devices nested too deep in [%s]\n", base->Location);
            return 1;
        }
        for (XmlNodeStruct *d = NextNamed(xml, list, nullptr, "device"); d != nullptr;
             d = NextNamed(xml, list, d, "device")) {
            if (!ReadDevice(context, base, d, depth + 1))
                return 0;
        }
    }
    return 1;
}

// Builds the SOAP request for an action into the request document.
void BuildEnvelope(UpnpStruct *context, UpnpServiceStruct *service, UpnpActionStruct *action,
                   const char *serviceType, int count, const UpnpPair *pairs) {
    XmlStruct *xml = context->Request;
    Xml_Clear(xml);
    XmlNodeStruct *declaration = nullptr;
    Xml_AddElement(xml, nullptr, nullptr, &declaration, "xml");
    Xml_SetKind(xml, declaration, XML_KIND_DECLARATION);
    Xml_AddAttribute(xml, declaration, "version", "1.0");
    XmlNodeStruct *envelope = nullptr;
    Xml_AddElement(xml, nullptr, declaration, &envelope, "s:Envelope");
    Xml_AddAttribute(xml, envelope, "xmlns:s", kEnvelopeNamespace);
    Xml_AddAttribute(xml, envelope, "s:encodingStyle", kEncodingNamespace);
    XmlNodeStruct *body = nullptr;
    Xml_AddElement(xml, envelope, nullptr, &body, "s:Body");
    char name[UPNP_TEXT_SIZE + 2];
    Zyl_FormatString(name, sizeof(name), "u:%s", action->Name);
    XmlNodeStruct *call = nullptr;
    Xml_AddElement(xml, body, nullptr, &call, name);
    Xml_AddAttribute(xml, call, "xmlns:u", serviceType);
    for (UpnpArgumentStruct *a = action->Arguments; a != nullptr; a = a->Next) {
        char direction[16];
        ChildText(service->Document, a->Element, "direction", direction, sizeof(direction));
        if (Zyl_StrEqualNoCase(direction, "out"))
            continue;
        const UpnpPair *pair = nullptr;
        for (int i = 0; i < count && pair == nullptr; i++) {
            if (pairs[i].Name != nullptr && Zyl_StrEqualNoCase(pairs[i].Name, a->Name))
                pair = &pairs[i];
        }
        if (pair == nullptr) {
            Zyl_Print("Unable to find [%s] in argument list for [%s]\n", a->Name, action->Name);
            continue;
        }
        XmlNodeStruct *element = nullptr;
        Xml_AddElement(xml, call, nullptr, &element, a->Name);
        Xml_SetData(xml, element, pair->Value != nullptr ? pair->Value : "");
    }
}

// Prints the request document into the buffer; 0 when it is too large.
int PrintEnvelope(UpnpStruct *context, int *length) {
    int64_t size = 0;
    Xml_GetPrintSize(context->Request, &size);
    if (size + 1 > UPNP_MAX_DOCUMENT)
        return 0;
    Upnp_GrowBuffer(context, (int)size + 1);
    return Xml_PrintToBuffer(context->Request, context->Buffer, context->BufferSize, length);
}

} // namespace

int Upnp_DescribeBase(UpnpStruct *context, UpnpBaseStruct *base) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_TAG(base, UpnpBaseTag);
    const char *content = nullptr;
    int64_t size = 0;
    if (!Fetch(context, base->Location, &content, &size)) {
        Zyl_Print("Failed to prepare base [%s]\n", base->Location);
        return 0;
    }
    WebGet_GetServerAddress(context->Web, base->ServerAddress);
    WebGet_GetLocalAddress(context->Web, base->LocalAddress);
    Zyl_Print("Importing %I64d from [%s]\n", size, base->Location);
    if (base->Document == nullptr)
        Xml_Create(&base->Document);
    XmlStruct *xml = base->Document;
    if (!Xml_ParseBuffer(xml, content)) {
        Zyl_Print("Unable to parse XML\n");
        return 0;
    }
    if (context->Trace)
        Xml_Dump(xml);
    FindText(xml, "friendlyName", base->FriendlyName, sizeof(base->FriendlyName));
    FindText(xml, "manufacturer", base->Manufacturer, sizeof(base->Manufacturer));
    FindText(xml, "manufacturerURL", base->ManufacturerURL, sizeof(base->ManufacturerURL));
    FindText(xml, "modelName", base->ModelName, sizeof(base->ModelName));
    FindText(xml, "modelNumber", base->ModelNumber, sizeof(base->ModelNumber));
    XmlNodeStruct *root = nullptr;
    if (!Xml_Find(xml, "root", XML_NO_DEPTH_LIMIT, 0, nullptr, &root)) {
        Zyl_Print("Unable to find root member\n");
        return 0;
    }
    XmlNodeStruct *device = NextNamed(xml, root, nullptr, "device");
    if (device == nullptr) {
        Zyl_Print("Unable to get first device\n");
        return 0;
    }
    for (; device != nullptr; device = NextNamed(xml, root, device, "device")) {
        if (!ReadDevice(context, base, device, 0))
            return 0;
    }
    base->Described = 1;
    return 1;
}

int Upnp_GetServiceValue(UpnpStruct *context, UpnpServiceStruct *service, const char *name,
                         char *buffer, int size) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_TAG(service, UpnpServiceTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(buffer);
    return ChildText(service->Owner, service->Element, name, buffer, size);
}

int Upnp_GetArgumentElementValue(UpnpStruct *context, UpnpArgumentStruct *argument,
                                 const char *name, char *buffer, int size) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_TAG(argument, UpnpArgumentTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(buffer);
    return ChildText(argument->Owner, argument->Element, name, buffer, size);
}

// Posts the first `length` bytes of the message buffer to url as the SOAP action
// "serviceType#actionName" and runs the exchange to its end; *content = the
// reply body (null when none), owned by the client. 1 when the exchange succeeded.
static int PostEnvelope(UpnpStruct *context, const char *serviceType, const char *actionName,
                        const char *url, int length, const char **content) {
    WebGetStruct *web = context->Web;
    char soapAction[2 * UPNP_TEXT_SIZE + 4];
    Zyl_FormatString(soapAction, sizeof(soapAction), "\"%s#%s\"", serviceType, actionName);
    WebGet_ClearHeaders(web);
    WebGet_AddHeader(web, "SOAPAction", soapAction);
    WebGet_AddHeader(web, "Content-Type", "text/xml; charset=\"utf-8\"");
    WebGet_AddHeader(web, "Cache-Control", "no-cache");
    WebGet_AddHeader(web, "Pragma", "no-cache");
    WebGet_SetRequestType(web, WEBGET_POST);
    WebGet_SetPostData(web, context->Buffer, length);
    WebGet_SetURL(web, url);
    int success = 0;
    while (WebGet_Process(web, &success)) {
    }
    int64_t size = 0;
    WebGet_GetContent(web, content, &size);
    // The client is shared with the description fetches, which are plain GETs.
    WebGet_SetRequestType(web, WEBGET_GET);
    WebGet_SetPostData(web, nullptr, 0);
    return success;
}

int Upnp_SendCommand(UpnpStruct *context, UpnpBaseStruct *base, UpnpDeviceStruct *device,
                     UpnpServiceStruct *service, UpnpActionStruct *action, int count,
                     const UpnpPair *pairs) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_TAG(base, UpnpBaseTag);
    ZYL_CHECK_TAG(device, UpnpDeviceTag);
    ZYL_CHECK_TAG(service, UpnpServiceTag);
    ZYL_CHECK_TAG(action, UpnpActionTag);
    if (count > 0)
        ZYL_CHECK_PTR(pairs);
    if (action->Name[0] == '\0' || Zyl_StrEqual(action->Name, "Unknown")) {
        Zyl_Print("Unable to get action name\n");
        return 0;
    }
    char serviceType[UPNP_TEXT_SIZE];
    char control[UPNP_TEXT_SIZE];
    if (!ChildText(base->Document, service->Element, "serviceType", serviceType,
                   sizeof(serviceType))) {
        Zyl_Print("Unable to get service type\n");
        return 0;
    }
    if (!ChildText(base->Document, service->Element, "controlURL", control, sizeof(control))) {
        Zyl_Print("Unable to get control URL\n");
        return 0;
    }
    if (context->Trace)
        Zyl_Print("Issuing service [%s] command [%s] to [%s]\n", serviceType, action->Name,
                  control);
    Upnp_GrowBuffer(context, UPNP_COMMAND_BUFFER);
    BuildEnvelope(context, service, action, serviceType, count, pairs);
    int length = 0;
    char url[URL_TEXT_SIZE];
    Url_SetBase(context->Url, base->Location);
    if (!PrintEnvelope(context, &length) ||
        !Url_MakeAbsolute(context->Url, control, url, sizeof(url))) {
        Zyl_Print("Failed to process soap command [%s] [%s]\n", action->Name, control);
        return 0;
    }
    if (context->Trace)
        Zyl_Print("%s\n", context->Buffer);
    const char *content = nullptr;
    int success = PostEnvelope(context, serviceType, action->Name, url, length, &content);
    if (!Xml_ParseBuffer(context->Response, content != nullptr ? content : "")) {
        Zyl_Print("Unable to parse XML\n");
        return 0;
    }
    if (context->Trace)
        Xml_Dump(context->Response);
    if (!success) {
        Zyl_Print("Failed to process soap command [%s] [%s]\n", action->Name, url);
        return 0;
    }
    return 1;
}

int Upnp_Command(UpnpStruct *context, UpnpBaseStruct *base, UpnpDeviceStruct *device,
                 UpnpServiceStruct *service, UpnpActionStruct *action, int count, ...) {
    ZYL_CHECK_TAG(context, UpnpTag);
    if (count < 0 || count > kMaxPairs) {
        ZYL_FATAL("Too many action arguments (%d)\n", count);
    }
    UpnpPair pairs[kMaxPairs];
    va_list args;
    va_start(args, count);
    for (int i = 0; i < count; i++) {
        pairs[i].Name = va_arg(args, const char *);
        pairs[i].Value = va_arg(args, const char *);
    }
    va_end(args);
    return Upnp_SendCommand(context, base, device, service, action, count, pairs);
}

int Upnp_GetArgumentValue(UpnpStruct *context, UpnpBaseStruct *base, UpnpDeviceStruct *device,
                          UpnpServiceStruct *service, UpnpActionStruct *action,
                          UpnpArgumentStruct *argument, char *buffer, int size) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_TAG(base, UpnpBaseTag);
    ZYL_CHECK_TAG(device, UpnpDeviceTag);
    ZYL_CHECK_TAG(service, UpnpServiceTag);
    ZYL_CHECK_TAG(action, UpnpActionTag);
    ZYL_CHECK_TAG(argument, UpnpArgumentTag);
    ZYL_CHECK_PTR(buffer);
    if (size > 0)
        buffer[0] = '\0';
    char name[UPNP_TEXT_SIZE + 16];
    Zyl_FormatString(name, sizeof(name), "%sResponse", action->Name);
    XmlNodeStruct *response = nullptr;
    if (!Xml_Find(context->Response, name, XML_NO_DEPTH_LIMIT, 0, nullptr, &response)) {
        Zyl_Print("Unable to find action response [%s]\n", action->Name);
        return 0;
    }
    XmlNodeStruct *value = nullptr;
    if (!Xml_FindChild(context->Response, response, argument->Name, 0, &value)) {
        Zyl_Print("Unable to find argument [%s] in action response [%s]\n", argument->Name,
                  action->Name);
        return 0;
    }
    const char *data = nullptr;
    Xml_GetData(context->Response, value, &data);
    Zyl_StrCopy(buffer, data, size);
    return 1;
}

int Upnp_GetMappingEntry(UpnpStruct *context, UpnpBaseStruct *base, UpnpDeviceStruct *device,
                         UpnpServiceStruct *service, int index, UpnpMappingEntry *entry) {
    ZYL_CHECK_TAG(context, UpnpTag);
    ZYL_CHECK_PTR(entry);
    memset(entry, 0, sizeof(*entry));
    UpnpActionStruct *action = nullptr;
    if (!Upnp_FindAction(context, service, "GetGenericPortMappingEntry", &action))
        return 0;
    char text[16];
    Zyl_FormatString(text, sizeof(text), "%d", index);
    if (!Upnp_Command(context, base, device, service, action, 1, "NewPortMappingIndex", text))
        return 0;
    struct {
        const char *Name;
        char *Value;
    } outs[] = {
        {"NewRemoteHost", entry->RemoteHost},
        {"NewExternalPort", entry->ExternalPort},
        {"NewProtocol", entry->Protocol},
        {"NewInternalClient", entry->InternalClient},
        {"NewInternalPort", entry->InternalPort},
        {"NewEnabled", entry->Enabled},
        {"NewPortMappingDescription", entry->Description},
        {"NewLeaseDuration", entry->LeaseDuration},
    };
    for (const auto &out : outs) {
        UpnpArgumentStruct *argument = nullptr;
        if (Upnp_FindArgument(context, action, out.Name, &argument))
            Upnp_GetArgumentValue(context, base, device, service, action, argument, out.Value,
                                  UPNP_VALUE_SIZE);
    }
    return 1;
}
