// The engine's transport layer: one operations table per transport type (plain
// sockets, reliable UDP) behind tagged connection and readiness-set records, so
// engine code opens, connects, reads, writes and waits without knowing the kind.
#pragma once

#include <cstdint>

struct SocketStruct;

enum {
    TRANSPORT_TYPE_NORMAL = 1, // plain sockets
    TRANSPORT_TYPE_UDT = 2,    // reliable UDP
    TRANSPORT_TYPE_COUNT = 2,
    TRANSPORT_ADDRESS_STRING_SIZE = 320,
    TRANSPORT_BACKLOG = 1000,
};

extern const char TransportTag[];       // "TransportStruct"
extern const char TransportSelectTag[]; // "TransportSelectStruct"

// The 48 operations of one transport type, in fixed slot order. Handles are the
// implementation's socket or set records; results 1 success, 0 failure (the code
// is then read with GetLastError) unless stated.
struct TransportOps {
    int (*SelectGetCapacity)(void *set, int *capacity); // 0
    int (*SelectCopy)(void *destination, void *source); // 1
    int (*SelectClear)(void *set);                      // 2
    int (*SelectAdd)(void *set, void *sock);            // 3
    int (*SelectRemove)(void *set, void *sock);         // 4
    int (*SelectIsSet)(void *set, void *sock);          // 5
    int (*Wait)(void *readSet, void *writeSet, void *errorSet, int *cancel, int timeoutMs,
                int *ready);                                              // 6
    int (*SelectCreate)(void **set);                                      // 7
    int (*SelectDestroy)(void **set);                                     // 8
    int (*Open)(void *sock, int protocol);                                // 9
    int (*IsOpen)(void *sock);                                            // 10
    int (*IsAccepted)(void *sock);                                        // 11
    int (*Bind)(void *sock, const uint8_t address[4], int port);          // 12
    int (*Connect)(void *sock, const uint8_t address[4], int port);       // 13
    int (*Listen)(void *sock);                                            // 14
    int (*Accept)(void *sock, void **newSock);                            // 15
    int (*Close)(void *sock);                                             // 16
    int (*Write)(void *sock, const void *data, int length, int *written); // 17
    int (*Read)(void *sock, void *data, int length, int *read);           // 18
    int (*GetPeerName)(void *sock, uint8_t address[4], int *port);        // 19
    int (*GetSockName)(void *sock, uint8_t address[4], int *port);        // 20
    int (*GetRemoteAddress)(void *sock, uint8_t address[4], int *port);   // 21
    int (*GetAddressString)(void *sock, char *buffer, int size);          // 22
    int (*SetBlocking)(void *sock, int blocking);                         // 23
    int (*SetReuseAddress)(void *sock, int allow);                        // 24
    int (*SetLinger)(void *sock, int on, int seconds);                    // 25
    int (*SetBacklog)(void *sock, int backlog);                           // 26
    int (*SetSendBufferSize)(void *sock, int bytes);                      // 27
    int (*SetReceiveBufferSize)(void *sock, int bytes);                   // 28
    int (*SetTimeouts)(void *sock, int first, int second, int accept);    // 29
    int (*GetBacklog)(void *sock, int *backlog);                          // 30
    int (*GetSendBufferSize)(void *sock, int *bytes);                     // 31
    int (*GetReceiveBufferSize)(void *sock, int *bytes);                  // 32
    int (*GetTimeouts)(void *sock, int *first, int *second, int *accept); // 33
    int (*ResetStatistics)(void *sock);                                   // 34
    int (*GetByteTotals)(void *sock, uint64_t *received, uint64_t *sent); // 35
    int (*GetAverageRates)(void *sock, double *receive, double *send);    // 36
    int (*GetPeakRates)(void *sock, double *receive, double *send);       // 37
    int (*GetCurrentRates)(void *sock, double *receive, double *send);    // 38
    int (*GetRateLimits)(void *sock, int *receive, int *send);            // 39
    int (*SetRateLimits)(void *sock, int receive, int send);              // 40
    int (*GetReadDelay)(void *sock, int *ms);                             // 41
    int (*GetWriteDelay)(void *sock, int *ms);                            // 42
    int (*GetLastError)(void *sock);                                      // 43
    const char *(*GetErrorString)(int code);                              // 44
    const char *(*GetLastErrorString)(void *sock);                        // 45
    int (*Create)(void **sock);                                           // 46
    int (*Destroy)(void **sock);                                          // 47
};

// The tables in type order: [0] "Normal", [1] "UDT".
extern const TransportOps Transport_Ops[TRANSPORT_TYPE_COUNT];

// One connection end of either kind.
struct TransportStruct {
    const char *Tag;
    void *Handle; // the implementation's socket record; null = none
    int Type;     // 0 until set, then TRANSPORT_TYPE_*
    int Index;    // table index of Type
};

// One readiness set of either kind; holds sockets of its own type only.
struct TransportSelectStruct {
    const char *Tag;
    void *Handle;
    int Type;
    int Index;
};

// Table index of a type; any type but 1 or 2 is fatal.
int Transport_TypeToIndex(int type);

// Starts the socket layer, then the reliable-UDP library; returns 1.
int Transport_Startup(void);
// Stops the reliable-UDP library, then the socket layer; returns 1.
int Transport_Shutdown(void);

// An empty record (no handle, type 0) into *transport; returns 1.
int Transport_Create(TransportStruct **transport);
// Destroys the handle (closing it), frees the record, clears *transport. Accepts null.
int Transport_Destroy(TransportStruct **transport);
// Gives the record a fresh handle of the type (the old one destroyed), unless it
// already has a handle of that type. Returns 1; a bad type is fatal.
int Transport_SetType(TransportStruct *transport, int type);
int Transport_GetType(TransportStruct *transport, int *type);
// Copies "Normal" or "UDT" (cut to size). 0 when no type is set.
int Transport_GetName(TransportStruct *transport, char *buffer, int size);
// Forgets the handle without closing it (its new owner took it). Returns 1.
int Transport_DetachSocket(TransportStruct *transport);
// Plain sockets only (0 otherwise): destroys a held handle and adopts socket.
int Transport_AttachSocket(TransportStruct *transport, SocketStruct *socket);
// For a reliable-UDP record with a handle: *socket = the UDTSocketStruct; else 0.
int Transport_GetUDTSocket(TransportStruct *transport, void **socket);
// Plain sockets: the socket's protocol id (1 TCP, 2 UDP); reliable UDP: 1.
int Transport_GetProtocol(TransportStruct *transport, int *protocol);

// Wrappers of the table slots; results are the slot's.
int Transport_Open(TransportStruct *transport); // stream protocol
int Transport_IsOpen(TransportStruct *transport);
int Transport_IsAccepted(TransportStruct *transport);
int Transport_Bind(TransportStruct *transport, const uint8_t address[4], int port);
int Transport_Connect(TransportStruct *transport, const uint8_t address[4], int port);
int Transport_Listen(TransportStruct *transport);
// On success with a connection: *accepted = a new record of the listener's type.
// Would-block is success with *accepted null: callers test both.
int Transport_Accept(TransportStruct *listener, TransportStruct **accepted);
int Transport_Close(TransportStruct *transport);
// Would-block is success with *written / *read 0.
int Transport_Write(TransportStruct *transport, const void *data, int length, int *written);
int Transport_Read(TransportStruct *transport, void *data, int length, int *read);
int Transport_GetPeerName(TransportStruct *transport, uint8_t address[4], int *port);
int Transport_GetSockName(TransportStruct *transport, uint8_t address[4], int *port);
int Transport_GetRemoteAddress(TransportStruct *transport, uint8_t address[4], int *port);
// "%d.%d.%d.%d:%d" into a buffer of TRANSPORT_ADDRESS_STRING_SIZE bytes.
int Transport_GetAddressString(TransportStruct *transport, char *buffer);
// Always switches to non-blocking.
int Transport_SetBlocking(TransportStruct *transport);
// Always allows address reuse.
int Transport_SetReuseAddress(TransportStruct *transport);
// Always a backlog of 1000.
int Transport_SetBacklog(TransportStruct *transport);
int Transport_ResetStatistics(TransportStruct *transport);
int Transport_GetAverageRates(TransportStruct *transport, double *receive, double *send);
int Transport_GetPeakRates(TransportStruct *transport, double *receive, double *send);
int Transport_GetCurrentRates(TransportStruct *transport, double *receive, double *send);
int Transport_SetRateLimits(TransportStruct *transport, int receive, int send);
int Transport_GetReadDelay(TransportStruct *transport, int *ms);
int Transport_GetWriteDelay(TransportStruct *transport, int *ms);
const char *Transport_GetLastErrorString(TransportStruct *transport);
// The WinSock-numbered code of the last failure (per socket for plain sockets,
// per calling thread for reliable UDP).
int Transport_GetLastError(TransportStruct *transport);

// Datagrams of a plain socket (fatal for other types); port in host order.
int Transport_WriteTo(TransportStruct *transport, const uint8_t address[4], int port,
                      const void *data, int length, int *sent);
int Transport_ReadFrom(TransportStruct *transport, uint8_t address[4], int *port, void *data,
                       int length, int *received);

// Readiness sets.
int TransportSelect_Create(TransportSelectStruct **set);
// Gives the set a fresh empty handle of the type unless it already has one. Returns 1.
int TransportSelect_Bind(TransportSelectStruct *set, int type);
int TransportSelect_Destroy(TransportSelectStruct **set);
int Transport_SelectGetCapacity(TransportSelectStruct *set, int *capacity);
int Transport_SelectClear(TransportSelectStruct *set);
// The set and the transport must be of one type (fatal otherwise).
int Transport_SelectAdd(TransportStruct *transport, TransportSelectStruct *set);
int Transport_SelectIsSet(TransportStruct *transport, TransportSelectStruct *set);
// Waits until a member of either set is ready, timeoutMs pass or *cancel is 1
// (plain sockets only). At least one set; both of one type (fatal otherwise).
int Transport_Wait(TransportSelectStruct *readSet, TransportSelectStruct *writeSet, int *cancel,
                   int timeoutMs, int *ready);

// 1 when two 12-byte listen settings are byte-for-byte equal.
int Transport_SameBinding(const void *a, const void *b);
