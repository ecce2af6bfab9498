// UPnP Internet gateway devices: SSDP search, device and service descriptions
// read into a tree (bases, devices, services, actions, arguments) and SOAP
// actions posted to a service's control URL. Every answer comes from any device
// on the LAN, so every text is bounded and every list has a count limit.
#pragma once

#include <cstdint>

struct XmlStruct;
struct XmlNodeStruct;
struct UrlStruct;
struct WebGetStruct;

enum {
    UPNP_TEXT_SIZE = 320,  // Location, search target, names, device types
    UPNP_VALUE_SIZE = 320, // argument values read from responses
    UPNP_DEFAULT_MX = 3,   // seconds
    UPNP_SSDP_PORT = 1900,
    UPNP_SEARCH_BUFFER = 2048,
    UPNP_COMMAND_BUFFER = 4096,
    UPNP_BUFFER_STEP = 1024,
    // Limits of what one gateway's answers may make us hold.
    UPNP_MAX_BASES = 16,
    UPNP_MAX_DEVICES = 32,       // per base, nested devices included
    UPNP_MAX_DEVICE_DEPTH = 6,   // nesting of deviceList
    UPNP_MAX_SERVICES = 16,      // per device
    UPNP_MAX_ACTIONS = 128,      // per service
    UPNP_MAX_ARGUMENTS = 32,     // per action
    UPNP_MAX_DOCUMENT = 1048576, // bytes of a description or action response
    UPNP_FETCH_DEADLINE = 30,    // seconds for one description or action request
    // Entries a caller reads from a gateway's mapping table in one listing,
    // restarts included (GetGenericPortMappingEntry).
    UPNP_MAX_MAPPING_ENTRIES = 256,
};

extern const char UpnpTag[];         // "upnp"
extern const char UpnpBaseTag[];     // "UpnpBaseStruct"
extern const char UpnpDeviceTag[];   // "UpnpDeviceStruct"
extern const char UpnpServiceTag[];  // "UpnpServiceStruct"
extern const char UpnpActionTag[];   // "UpnpActionStruct"
extern const char UpnpArgumentTag[]; // "UpnpArgumentStruct"

// An argument of an action, with the state variable it relates to.
struct UpnpArgumentStruct {
    const char *Tag;
    UpnpArgumentStruct *Next;
    XmlNodeStruct *Element; // in the service's SCPD
    XmlStruct *Owner;       // that SCPD (owned by the service)
    char Name[UPNP_TEXT_SIZE];
    XmlNodeStruct *StateVariable; // null when the table has none of that name
};

struct UpnpActionStruct {
    const char *Tag;
    UpnpActionStruct *Next;
    XmlNodeStruct *Element;
    char Name[UPNP_TEXT_SIZE]; // "Unknown" until set
    UpnpArgumentStruct *Arguments;
    int ArgumentCount;
};

struct UpnpServiceStruct {
    const char *Tag;
    UpnpServiceStruct *Next;
    XmlNodeStruct *Element; // in the base's device description
    XmlStruct *Owner;       // that description (owned by the base)
    XmlStruct *Document;    // the SCPD
    UpnpActionStruct *Actions;
    int ActionCount;
};

struct UpnpDeviceStruct {
    const char *Tag;
    UpnpDeviceStruct *Next;
    XmlNodeStruct *Element;
    char DeviceType[UPNP_TEXT_SIZE];
    UpnpServiceStruct *Services;
    int ServiceCount;
};

// One answering device description (one per distinct Location).
struct UpnpBaseStruct {
    const char *Tag;
    UpnpBaseStruct *Next;
    XmlStruct *Document;
    int Described;
    double DiscoveryTime; // tick seconds
    int MaxAge;           // seconds from "Cache-control", 0 when absent
    uint8_t ServerAddress[4];
    uint8_t LocalAddress[4]; // our side of the connection that fetched the description
    char Location[UPNP_TEXT_SIZE];
    char FriendlyName[UPNP_TEXT_SIZE];
    char Manufacturer[UPNP_TEXT_SIZE];
    char ManufacturerURL[UPNP_TEXT_SIZE];
    char ModelName[UPNP_TEXT_SIZE];
    char ModelNumber[UPNP_TEXT_SIZE];
    UpnpDeviceStruct *Devices;
    int DeviceCount;
};

// Asked between the waits of a search: non-zero ends the search early.
typedef int (*UpnpCancel)(void *argument);

struct UpnpStruct {
    const char *Tag;
    int Trace;           // 1: log documents and trace lines
    XmlStruct *Request;  // SOAP request being built
    XmlStruct *Response; // last SOAP response
    UrlStruct *Url;
    WebGetStruct *Web;
    char SearchTarget[UPNP_TEXT_SIZE];
    UpnpBaseStruct *Bases;
    int BaseCount;
    int MX;            // seconds, 3
    UpnpCancel Cancel; // null: searches run their whole time
    void *CancelArgument;
    char *Buffer;
    int BufferSize;
};

// A name and value given to an action.
struct UpnpPair {
    const char *Name;
    const char *Value;
};

// One entry of a gateway's port-mapping table (texts empty when absent).
struct UpnpMappingEntry {
    char RemoteHost[UPNP_VALUE_SIZE];
    char ExternalPort[UPNP_VALUE_SIZE];
    char Protocol[UPNP_VALUE_SIZE];
    char InternalClient[UPNP_VALUE_SIZE];
    char InternalPort[UPNP_VALUE_SIZE];
    char Enabled[UPNP_VALUE_SIZE];
    char Description[UPNP_VALUE_SIZE];
    char LeaseDuration[UPNP_VALUE_SIZE];
};

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

// A context with an HTTP/1.1 client (retry delay 1 s) into *context; returns 1.
int Upnp_Create(UpnpStruct **context);
// Frees every base, the buffer, the URL object, both documents and the client;
// clears *context. Accepts null. Returns 1.
int Upnp_Destroy(UpnpStruct **context);
int Upnp_SetMX(UpnpStruct *context, int seconds);
int Upnp_SetTrace(UpnpStruct *context, int trace);
// A question asked every 100 ms of a search (and before each local address):
// when it answers non-zero the search ends with what it has. Null removes it.
// Returns 1.
int Upnp_SetCancel(UpnpStruct *context, UpnpCancel cancel, void *argument);

// ---------------------------------------------------------------------------
// Discovery and description
// ---------------------------------------------------------------------------

// Searches every local address for `searchTarget` for MX + 1 seconds (less
// when the cancel question says so), adds a base per new Location and
// describes the new bases. Returns 1 even when no
// gateway answered; 0 when the search socket cannot be opened.
int Upnp_Discover(UpnpStruct *context, const char *searchTarget);
// Takes one search answer (an HTTP response head) from `sender`: a new
// Location (made absolute against the sender) becomes a base, not yet
// described. Returns 1 when a base was added; 0 for a duplicate, an answer
// without a usable Location, or past the base limit.
int Upnp_AddSearchReply(UpnpStruct *context, const uint8_t sender[4], const char *reply,
                        int length);
// Adds a base for a known Location and describes it. 1 when described.
int Upnp_AddLocation(UpnpStruct *context, const char *location, UpnpBaseStruct **base);
// Fetches and reads a base's description and its services' SCPDs. 1 when the
// description was read (a service whose SCPD cannot be fetched is left without
// actions); 0 leaves the base undescribed.
int Upnp_DescribeBase(UpnpStruct *context, UpnpBaseStruct *base);

// ---------------------------------------------------------------------------
// The tree: each gives 1 and the item, or 0 and null when there is none.
// ---------------------------------------------------------------------------

int Upnp_GetFirstBase(UpnpStruct *context, UpnpBaseStruct **base);
int Upnp_GetNextBase(UpnpStruct *context, UpnpBaseStruct *base, UpnpBaseStruct **next);
// The local address on which the base was reached.
int Upnp_GetBaseAddress(UpnpStruct *context, UpnpBaseStruct *base, uint8_t address[4]);
int Upnp_GetFirstDevice(UpnpStruct *context, UpnpBaseStruct *base, UpnpDeviceStruct **device);
int Upnp_GetNextDevice(UpnpStruct *context, UpnpDeviceStruct *device, UpnpDeviceStruct **next);
int Upnp_GetFirstService(UpnpStruct *context, UpnpDeviceStruct *device,
                         UpnpServiceStruct **service);
int Upnp_GetNextService(UpnpStruct *context, UpnpServiceStruct *service, UpnpServiceStruct **next);
// Names compare without regard to case.
int Upnp_FindAction(UpnpStruct *context, UpnpServiceStruct *service, const char *name,
                    UpnpActionStruct **action);
int Upnp_FindArgument(UpnpStruct *context, UpnpActionStruct *action, const char *name,
                      UpnpArgumentStruct **argument);
// The text of a named child of a service element ("serviceType", "controlURL"
// ...), cut to size. 0 with an empty text when absent.
int Upnp_GetServiceValue(UpnpStruct *context, UpnpServiceStruct *service, const char *name,
                         char *buffer, int size);
// The same for an argument element ("name", "direction" ...).
int Upnp_GetArgumentElementValue(UpnpStruct *context, UpnpArgumentStruct *argument,
                                 const char *name, char *buffer, int size);

// Frees every base with everything below it. Returns 1.
int Upnp_RemoveAllBases(UpnpStruct *context);
// Frees one base; 0 ("Unable to find base to remove") when it is not listed.
int Upnp_RemoveBase(UpnpStruct *context, UpnpBaseStruct *base);

// ---------------------------------------------------------------------------
// Actions
// ---------------------------------------------------------------------------

// Posts the action with the caller's in arguments (pairs by name, any case;
// missing ones are left out, out arguments are never sent). 1 when the gateway
// answered with success and the response was read.
int Upnp_SendCommand(UpnpStruct *context, UpnpBaseStruct *base, UpnpDeviceStruct *device,
                     UpnpServiceStruct *service, UpnpActionStruct *action, int count,
                     const UpnpPair *pairs);
// The same with `count` name and value texts as trailing arguments.
int Upnp_Command(UpnpStruct *context, UpnpBaseStruct *base, UpnpDeviceStruct *device,
                 UpnpServiceStruct *service, UpnpActionStruct *action, int count, ...);
// The value of an out argument in the last response, cut to size. 0 with an
// empty text when the response lacks it.
int Upnp_GetArgumentValue(UpnpStruct *context, UpnpBaseStruct *base, UpnpDeviceStruct *device,
                          UpnpServiceStruct *service, UpnpActionStruct *action,
                          UpnpArgumentStruct *argument, char *buffer, int size);
// GetGenericPortMappingEntry at `index`: 1 with the entry; 0 past the end of
// the table (or when the service lacks the action).
int Upnp_GetMappingEntry(UpnpStruct *context, UpnpBaseStruct *base, UpnpDeviceStruct *device,
                         UpnpServiceStruct *service, int index, UpnpMappingEntry *entry);
