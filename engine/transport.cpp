// The transport layer: two static operation tables (plain sockets, reliable
// UDP) and the tagged records that pick one by type. No state, threads or locks
// of its own: the socket implementations behind the slots do their own locking.
#include "engine/transport.h"

#include "core/zyl.h"
#include "net/socket.h"
#include "net/udt.h"

const char TransportTag[] = "TransportStruct";
const char TransportSelectTag[] = "TransportSelectStruct";

static const char *const kTransportNames[TRANSPORT_TYPE_COUNT] = {"Normal", "UDT"};

// ---------------------------------------------------------------------------
// Plain sockets
// ---------------------------------------------------------------------------

static SocketStruct *Sock(void *handle) {
    return static_cast<SocketStruct *>(handle);
}

static SocketSelectStruct *SockSet(void *handle) {
    return static_cast<SocketSelectStruct *>(handle);
}

static int Normal_SelectGetCapacity(void *set, int *capacity) {
    return SocketSelect_GetCapacity(SockSet(set), capacity);
}
static int Normal_SelectCopy(void *destination, void *source) {
    return SocketSelect_Copy(SockSet(destination), SockSet(source));
}
static int Normal_SelectClear(void *set) {
    return SocketSelect_Clear(SockSet(set));
}
static int Normal_SelectAdd(void *set, void *sock) {
    return SocketSelect_Add(SockSet(set), Sock(sock));
}
static int Normal_SelectRemove(void *set, void *sock) {
    return SocketSelect_Remove(SockSet(set), Sock(sock));
}
static int Normal_SelectIsSet(void *set, void *sock) {
    return SocketSelect_IsSet(SockSet(set), Sock(sock));
}
static int Normal_Wait(void *readSet, void *writeSet, void *errorSet, int *cancel, int timeoutMs,
                       int *ready) {
    return Socket_Wait(SockSet(readSet), SockSet(writeSet), SockSet(errorSet), cancel, timeoutMs,
                       ready);
}
static int Normal_SelectCreate(void **set) {
    SocketSelectStruct *s = nullptr;
    int result = SocketSelect_Create(&s);
    *set = s;
    return result;
}
static int Normal_SelectDestroy(void **set) {
    SocketSelectStruct *s = SockSet(*set);
    int result = SocketSelect_Destroy(&s);
    *set = s;
    return result;
}
static int Normal_Open(void *sock, int protocol) {
    return Socket_Open(Sock(sock), protocol);
}
static int Normal_IsOpen(void *sock) {
    return Socket_IsOpen(Sock(sock));
}
static int Normal_IsAccepted(void *sock) {
    return Socket_IsAccepted(Sock(sock));
}
static int Normal_Bind(void *sock, const uint8_t address[4], int port) {
    return Socket_Bind(Sock(sock), address, port);
}
static int Normal_Connect(void *sock, const uint8_t address[4], int port) {
    return Socket_Connect(Sock(sock), address, port);
}
static int Normal_Listen(void *sock) {
    return Socket_Listen(Sock(sock));
}
static int Normal_Accept(void *sock, void **newSock) {
    SocketStruct *accepted = nullptr;
    int result = Socket_Accept(Sock(sock), &accepted);
    *newSock = accepted;
    return result;
}
static int Normal_Close(void *sock) {
    return Socket_Close(Sock(sock));
}
static int Normal_Write(void *sock, const void *data, int length, int *written) {
    return Socket_Write(Sock(sock), data, length, written);
}
static int Normal_Read(void *sock, void *data, int length, int *read) {
    return Socket_Read(Sock(sock), data, length, read);
}
static int Normal_GetPeerName(void *sock, uint8_t address[4], int *port) {
    return Socket_GetPeerName(Sock(sock), address, port);
}
static int Normal_GetSockName(void *sock, uint8_t address[4], int *port) {
    return Socket_GetSockName(Sock(sock), address, port);
}
static int Normal_GetRemoteAddress(void *sock, uint8_t address[4], int *port) {
    return Socket_GetRemoteAddress(Sock(sock), address, port);
}
static int Normal_GetAddressString(void *sock, char *buffer, int size) {
    return Socket_GetAddressString(Sock(sock), buffer, size);
}
static int Normal_SetBlocking(void *sock, int blocking) {
    return Socket_SetBlocking(Sock(sock), blocking);
}
static int Normal_SetReuseAddress(void *sock, int allow) {
    return Socket_SetReuseAddress(Sock(sock), allow);
}
static int Normal_SetLinger(void *sock, int on, int seconds) {
    return Socket_SetLinger(Sock(sock), on, seconds);
}
static int Normal_SetBacklog(void *sock, int backlog) {
    return Socket_SetBacklog(Sock(sock), backlog);
}
static int Normal_SetSendBufferSize(void *sock, int bytes) {
    return Socket_SetSendBufferSize(Sock(sock), bytes);
}
static int Normal_SetReceiveBufferSize(void *sock, int bytes) {
    return Socket_SetReceiveBufferSize(Sock(sock), bytes);
}
static int Normal_SetTimeouts(void *sock, int first, int second, int accept) {
    return Socket_SetTimeouts(Sock(sock), first, second, accept);
}
static int Normal_GetBacklog(void *sock, int *backlog) {
    return Socket_GetBacklog(Sock(sock), backlog);
}
static int Normal_GetSendBufferSize(void *sock, int *bytes) {
    return Socket_GetSendBufferSize(Sock(sock), bytes);
}
static int Normal_GetReceiveBufferSize(void *sock, int *bytes) {
    return Socket_GetReceiveBufferSize(Sock(sock), bytes);
}
static int Normal_GetTimeouts(void *sock, int *first, int *second, int *accept) {
    return Socket_GetTimeouts(Sock(sock), first, second, accept);
}
static int Normal_ResetStatistics(void *sock) {
    return Socket_ResetStatistics(Sock(sock));
}
static int Normal_GetByteTotals(void *sock, uint64_t *received, uint64_t *sent) {
    return Socket_GetByteTotals(Sock(sock), received, sent);
}
static int Normal_GetAverageRates(void *sock, double *receive, double *send) {
    return Socket_GetAverageRates(Sock(sock), receive, send);
}
static int Normal_GetPeakRates(void *sock, double *receive, double *send) {
    return Socket_GetPeakRates(Sock(sock), receive, send);
}
static int Normal_GetCurrentRates(void *sock, double *receive, double *send) {
    return Socket_GetCurrentRates(Sock(sock), receive, send);
}
static int Normal_GetRateLimits(void *sock, int *receive, int *send) {
    return Socket_GetRateLimits(Sock(sock), receive, send);
}
static int Normal_SetRateLimits(void *sock, int receive, int send) {
    return Socket_SetRateLimits(Sock(sock), receive, send);
}
static int Normal_GetReadDelay(void *sock, int *ms) {
    return Socket_GetReadDelay(Sock(sock), ms);
}
static int Normal_GetWriteDelay(void *sock, int *ms) {
    return Socket_GetWriteDelay(Sock(sock), ms);
}
static int Normal_GetLastError(void *sock) {
    return Socket_GetLastError(Sock(sock));
}
static const char *Normal_GetLastErrorString(void *sock) {
    return Socket_GetLastErrorString(Sock(sock));
}
static int Normal_Create(void **sock) {
    SocketStruct *s = nullptr;
    int result = Socket_Create(&s);
    *sock = s;
    return result;
}
static int Normal_Destroy(void **sock) {
    SocketStruct *s = Sock(*sock);
    int result = Socket_Destroy(&s);
    *sock = s;
    return result;
}

// ---------------------------------------------------------------------------
// Reliable UDP
// ---------------------------------------------------------------------------

static UDTSocketStruct *Udt(void *handle) {
    return static_cast<UDTSocketStruct *>(handle);
}

static UDTSelectStruct *UdtSet(void *handle) {
    return static_cast<UDTSelectStruct *>(handle);
}

static int Udt_SelectGetCapacity(void *set, int *capacity) {
    return UDTSelect_GetCapacity(UdtSet(set), capacity);
}
static int Udt_SelectCopy(void *destination, void *source) {
    return UDTSelect_Copy(UdtSet(destination), UdtSet(source));
}
static int Udt_SelectClear(void *set) {
    return UDTSelect_Clear(UdtSet(set));
}
static int Udt_SelectAdd(void *set, void *sock) {
    return UDTSelect_Add(UdtSet(set), Udt(sock));
}
static int Udt_SelectRemove(void *set, void *sock) {
    return UDTSelect_Remove(UdtSet(set), Udt(sock));
}
static int Udt_SelectIsSet(void *set, void *sock) {
    return UDTSelect_IsSet(UdtSet(set), Udt(sock));
}
static int Udt_Wait(void *readSet, void *writeSet, void *errorSet, int *cancel, int timeoutMs,
                    int *ready) {
    int unused = 0;
    return UDTSocket_Wait(UdtSet(readSet), UdtSet(writeSet), UdtSet(errorSet),
                          cancel != nullptr ? cancel : &unused, timeoutMs, ready);
}
static int Udt_SelectCreate(void **set) {
    UDTSelectStruct *s = nullptr;
    int result = UDTSelect_Create(&s);
    *set = s;
    return result;
}
static int Udt_SelectDestroy(void **set) {
    UDTSelectStruct *s = UdtSet(*set);
    int result = UDTSelect_Destroy(&s);
    *set = s;
    return result;
}
static int Udt_Open(void *sock, int) {
    return UDTSocket_Open(Udt(sock));
}
static int Udt_IsOpen(void *sock) {
    return UDTSocket_IsOpen(Udt(sock));
}
static int Udt_IsAccepted(void *sock) {
    return UDTSocket_IsAccepted(Udt(sock));
}
static int Udt_Bind(void *sock, const uint8_t address[4], int port) {
    return UDTSocket_Bind(Udt(sock), address, port);
}
static int Udt_Connect(void *sock, const uint8_t address[4], int port) {
    return UDTSocket_Connect(Udt(sock), address, port);
}
static int Udt_Listen(void *sock) {
    return UDTSocket_Listen(Udt(sock));
}
static int Udt_Accept(void *sock, void **newSock) {
    UDTSocketStruct *accepted = nullptr;
    int result = UDTSocket_Accept(Udt(sock), &accepted);
    *newSock = accepted;
    return result;
}
static int Udt_Close(void *sock) {
    return UDTSocket_Close(Udt(sock));
}
static int Udt_Write(void *sock, const void *data, int length, int *written) {
    return UDTSocket_Write(Udt(sock), data, length, written);
}
static int Udt_Read(void *sock, void *data, int length, int *read) {
    return UDTSocket_Read(Udt(sock), data, length, read);
}
static int Udt_GetPeerName(void *sock, uint8_t address[4], int *port) {
    return UDTSocket_GetPeerName(Udt(sock), address, port);
}
static int Udt_GetSockName(void *sock, uint8_t address[4], int *port) {
    return UDTSocket_GetSockName(Udt(sock), address, port);
}
static int Udt_GetRemoteAddress(void *sock, uint8_t address[4], int *port) {
    return UDTSocket_GetRemoteAddress(Udt(sock), address, port);
}
static int Udt_GetAddressString(void *sock, char *buffer, int size) {
    return UDTSocket_GetAddressString(Udt(sock), buffer, size);
}
static int Udt_SetBlocking(void *sock, int blocking) {
    return UDTSocket_SetBlocking(Udt(sock), blocking);
}
static int Udt_SetReuseAddress(void *sock, int allow) {
    return UDTSocket_SetReuseAddress(Udt(sock), allow);
}
static int Udt_SetLinger(void *sock, int on, int seconds) {
    return UDTSocket_SetLinger(Udt(sock), on, seconds);
}
static int Udt_SetBacklog(void *sock, int backlog) {
    return UDTSocket_SetBacklog(Udt(sock), backlog);
}
static int Udt_SetSendBufferSize(void *sock, int bytes) {
    return UDTSocket_SetSendBufferSize(Udt(sock), bytes);
}
static int Udt_SetReceiveBufferSize(void *sock, int bytes) {
    return UDTSocket_SetReceiveBufferSize(Udt(sock), bytes);
}
static int Udt_SetTimeouts(void *sock, int first, int second, int accept) {
    return UDTSocket_SetTimeouts(Udt(sock), first, second, accept);
}
static int Udt_GetBacklog(void *sock, int *backlog) {
    return UDTSocket_GetBacklog(Udt(sock), backlog);
}
static int Udt_GetSendBufferSize(void *sock, int *bytes) {
    return UDTSocket_GetSendBufferSize(Udt(sock), bytes);
}
static int Udt_GetReceiveBufferSize(void *sock, int *bytes) {
    return UDTSocket_GetReceiveBufferSize(Udt(sock), bytes);
}
static int Udt_GetTimeouts(void *sock, int *first, int *second, int *accept) {
    return UDTSocket_GetTimeouts(Udt(sock), first, second, accept);
}
static int Udt_ResetStatistics(void *sock) {
    return UDTSocket_ResetStatistics(Udt(sock));
}
static int Udt_GetByteTotals(void *sock, uint64_t *received, uint64_t *sent) {
    return UDTSocket_GetByteTotals(Udt(sock), received, sent);
}
static int Udt_GetAverageRates(void *sock, double *receive, double *send) {
    return UDTSocket_GetAverageRates(Udt(sock), receive, send);
}
static int Udt_GetPeakRates(void *sock, double *receive, double *send) {
    return UDTSocket_GetPeakRates(Udt(sock), receive, send);
}
static int Udt_GetCurrentRates(void *sock, double *receive, double *send) {
    return UDTSocket_GetCurrentRates(Udt(sock), receive, send);
}
static int Udt_GetRateLimits(void *sock, int *receive, int *send) {
    return UDTSocket_GetRateLimits(Udt(sock), receive, send);
}
static int Udt_SetRateLimits(void *sock, int receive, int send) {
    return UDTSocket_SetRateLimits(Udt(sock), receive, send);
}
static int Udt_GetReadDelay(void *sock, int *ms) {
    return UDTSocket_GetReadDelay(Udt(sock), ms);
}
static int Udt_GetWriteDelay(void *sock, int *ms) {
    return UDTSocket_GetWriteDelay(Udt(sock), ms);
}
static int Udt_GetLastError(void *sock) {
    return UDTSocket_GetLastError(Udt(sock));
}
static const char *Udt_GetLastErrorString(void *sock) {
    return UDTSocket_GetLastErrorString(Udt(sock));
}
static int Udt_Create(void **sock) {
    UDTSocketStruct *s = nullptr;
    int result = UDTSocket_Create(&s);
    *sock = s;
    return result;
}
static int Udt_Destroy(void **sock) {
    UDTSocketStruct *s = Udt(*sock);
    int result = UDTSocket_Destroy(&s);
    *sock = s;
    return result;
}

// ---------------------------------------------------------------------------
// The tables, in type order
// ---------------------------------------------------------------------------

const TransportOps Transport_Ops[TRANSPORT_TYPE_COUNT] = {
    {Normal_SelectGetCapacity,
     Normal_SelectCopy,
     Normal_SelectClear,
     Normal_SelectAdd,
     Normal_SelectRemove,
     Normal_SelectIsSet,
     Normal_Wait,
     Normal_SelectCreate,
     Normal_SelectDestroy,
     Normal_Open,
     Normal_IsOpen,
     Normal_IsAccepted,
     Normal_Bind,
     Normal_Connect,
     Normal_Listen,
     Normal_Accept,
     Normal_Close,
     Normal_Write,
     Normal_Read,
     Normal_GetPeerName,
     Normal_GetSockName,
     Normal_GetRemoteAddress,
     Normal_GetAddressString,
     Normal_SetBlocking,
     Normal_SetReuseAddress,
     Normal_SetLinger,
     Normal_SetBacklog,
     Normal_SetSendBufferSize,
     Normal_SetReceiveBufferSize,
     Normal_SetTimeouts,
     Normal_GetBacklog,
     Normal_GetSendBufferSize,
     Normal_GetReceiveBufferSize,
     Normal_GetTimeouts,
     Normal_ResetStatistics,
     Normal_GetByteTotals,
     Normal_GetAverageRates,
     Normal_GetPeakRates,
     Normal_GetCurrentRates,
     Normal_GetRateLimits,
     Normal_SetRateLimits,
     Normal_GetReadDelay,
     Normal_GetWriteDelay,
     Normal_GetLastError,
     Socket_GetErrorString,
     Normal_GetLastErrorString,
     Normal_Create,
     Normal_Destroy},
    {Udt_SelectGetCapacity,
     Udt_SelectCopy,
     Udt_SelectClear,
     Udt_SelectAdd,
     Udt_SelectRemove,
     Udt_SelectIsSet,
     Udt_Wait,
     Udt_SelectCreate,
     Udt_SelectDestroy,
     Udt_Open,
     Udt_IsOpen,
     Udt_IsAccepted,
     Udt_Bind,
     Udt_Connect,
     Udt_Listen,
     Udt_Accept,
     Udt_Close,
     Udt_Write,
     Udt_Read,
     Udt_GetPeerName,
     Udt_GetSockName,
     Udt_GetRemoteAddress,
     Udt_GetAddressString,
     Udt_SetBlocking,
     Udt_SetReuseAddress,
     Udt_SetLinger,
     Udt_SetBacklog,
     Udt_SetSendBufferSize,
     Udt_SetReceiveBufferSize,
     Udt_SetTimeouts,
     Udt_GetBacklog,
     Udt_GetSendBufferSize,
     Udt_GetReceiveBufferSize,
     Udt_GetTimeouts,
     Udt_ResetStatistics,
     Udt_GetByteTotals,
     Udt_GetAverageRates,
     Udt_GetPeakRates,
     Udt_GetCurrentRates,
     Udt_GetRateLimits,
     Udt_SetRateLimits,
     Udt_GetReadDelay,
     Udt_GetWriteDelay,
     Udt_GetLastError,
     UDTSocket_GetErrorString,
     Udt_GetLastErrorString,
     Udt_Create,
     Udt_Destroy},
};

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

int Transport_TypeToIndex(int type) {
    if (type != TRANSPORT_TYPE_NORMAL && type != TRANSPORT_TYPE_UDT) {
        ZYL_FATAL("Unknown transport type %d\n", type);
    }
    return type - 1;
}

static const TransportOps *Transport_Table(TransportStruct *transport) {
    ZYL_CHECK_TAG(transport, TransportTag);
    return &Transport_Ops[transport->Index];
}

static const TransportOps *TransportSelect_Table(TransportSelectStruct *set) {
    ZYL_CHECK_TAG(set, TransportSelectTag);
    return &Transport_Ops[set->Index];
}

// A set and a transport of different types is a programming error.
static void Transport_CheckSameType(TransportStruct *transport, TransportSelectStruct *set) {
    ZYL_CHECK_TAG(transport, TransportTag);
    ZYL_CHECK_TAG(set, TransportSelectTag);
    if (transport->Type != set->Type || transport->Handle == nullptr || set->Handle == nullptr) {
        ZYL_FATAL("Transport type mismatch (%d != %d)\n", transport->Type, set->Type);
    }
}

int Transport_Startup(void) {
    Socket_Init();
    UDTSocket_Init();
    return 1;
}

int Transport_Shutdown(void) {
    UDTSocket_Remove();
    Socket_Remove();
    return 1;
}

int Transport_Create(TransportStruct **transport) {
    ZYL_CHECK_PTR(transport);
    TransportStruct *t = ZYL_NEW(TransportStruct);
    t->Tag = TransportTag;
    *transport = t;
    return 1;
}

int Transport_Destroy(TransportStruct **transport) {
    ZYL_CHECK_PTR(transport);
    TransportStruct *t = *transport;
    if (t == nullptr)
        return 1;
    ZYL_CHECK_TAG(t, TransportTag);
    if (t->Handle != nullptr)
        Transport_Ops[t->Index].Destroy(&t->Handle);
    t->Tag = Zyl_DeadTag;
    ZYL_FREE(t, sizeof(TransportStruct));
    *transport = nullptr;
    return 1;
}

int Transport_SetType(TransportStruct *transport, int type) {
    ZYL_CHECK_TAG(transport, TransportTag);
    if (transport->Handle != nullptr && transport->Type == type)
        return 1;
    int index = Transport_TypeToIndex(type);
    if (transport->Handle != nullptr)
        Transport_Ops[transport->Index].Destroy(&transport->Handle);
    transport->Type = type;
    transport->Index = index;
    return Transport_Ops[index].Create(&transport->Handle);
}

int Transport_GetType(TransportStruct *transport, int *type) {
    ZYL_CHECK_TAG(transport, TransportTag);
    ZYL_CHECK_PTR(type);
    *type = transport->Type;
    return 1;
}

int Transport_GetName(TransportStruct *transport, char *buffer, int size) {
    ZYL_CHECK_TAG(transport, TransportTag);
    ZYL_CHECK_PTR(buffer);
    if (size > 0)
        buffer[0] = 0;
    if (transport->Type == 0)
        return 0;
    Zyl_StrCopy(buffer, kTransportNames[transport->Index], size);
    return 1;
}

int Transport_DetachSocket(TransportStruct *transport) {
    ZYL_CHECK_TAG(transport, TransportTag);
    transport->Handle = nullptr;
    return 1;
}

int Transport_AttachSocket(TransportStruct *transport, SocketStruct *socket) {
    ZYL_CHECK_TAG(transport, TransportTag);
    ZYL_CHECK_TAG(socket, SocketTag);
    if (transport->Type != TRANSPORT_TYPE_NORMAL)
        return 0;
    if (transport->Handle != nullptr && transport->Handle != socket)
        Transport_Ops[transport->Index].Destroy(&transport->Handle);
    transport->Handle = socket;
    return 1;
}

int Transport_GetUDTSocket(TransportStruct *transport, void **socket) {
    ZYL_CHECK_TAG(transport, TransportTag);
    ZYL_CHECK_PTR(socket);
    *socket = nullptr;
    if (transport->Type != TRANSPORT_TYPE_UDT || transport->Handle == nullptr)
        return 0;
    *socket = transport->Handle;
    return 1;
}

int Transport_GetProtocol(TransportStruct *transport, int *protocol) {
    ZYL_CHECK_TAG(transport, TransportTag);
    ZYL_CHECK_PTR(protocol);
    *protocol = 0;
    if (transport->Type == TRANSPORT_TYPE_UDT) {
        *protocol = SOCKET_PROTOCOL_TCP;
        return 1;
    }
    ZYL_CHECK_PTR(transport->Handle);
    return Socket_GetProtocol(Sock(transport->Handle), protocol);
}

// Plain-socket-only calls on anything else are a programming error.
static SocketStruct *Transport_PlainSocket(TransportStruct *transport) {
    ZYL_CHECK_TAG(transport, TransportTag);
    if (transport->Type != TRANSPORT_TYPE_NORMAL || transport->Handle == nullptr) {
        ZYL_FATAL("Plain-socket call on a transport that is not an open plain socket (type %d)\n",
                  transport->Type);
    }
    return Sock(transport->Handle);
}

int Transport_WriteTo(TransportStruct *transport, const uint8_t address[4], int port,
                      const void *data, int length, int *sent) {
    return Socket_WriteIP(Transport_PlainSocket(transport), address, port, data, length, sent);
}

int Transport_ReadFrom(TransportStruct *transport, uint8_t address[4], int *port, void *data,
                       int length, int *received) {
    return Socket_ReadIP(Transport_PlainSocket(transport), address, port, data, length, received);
}

int Transport_SameBinding(const void *a, const void *b) {
    ZYL_CHECK_PTR(a);
    ZYL_CHECK_PTR(b);
    return Zyl_MemEqual(a, b, 12) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Slot wrappers
// ---------------------------------------------------------------------------

int Transport_Open(TransportStruct *transport) {
    return Transport_Table(transport)->Open(transport->Handle, SOCKET_PROTOCOL_TCP);
}
int Transport_IsOpen(TransportStruct *transport) {
    return Transport_Table(transport)->IsOpen(transport->Handle);
}
int Transport_IsAccepted(TransportStruct *transport) {
    return Transport_Table(transport)->IsAccepted(transport->Handle);
}
int Transport_Bind(TransportStruct *transport, const uint8_t address[4], int port) {
    return Transport_Table(transport)->Bind(transport->Handle, address, port);
}
int Transport_Connect(TransportStruct *transport, const uint8_t address[4], int port) {
    return Transport_Table(transport)->Connect(transport->Handle, address, port);
}
int Transport_Listen(TransportStruct *transport) {
    return Transport_Table(transport)->Listen(transport->Handle);
}

int Transport_Accept(TransportStruct *listener, TransportStruct **accepted) {
    ZYL_CHECK_PTR(accepted);
    *accepted = nullptr;
    void *handle = nullptr;
    int result = Transport_Table(listener)->Accept(listener->Handle, &handle);
    if (result && handle != nullptr) {
        Transport_Create(accepted);
        (*accepted)->Handle = handle;
        (*accepted)->Type = listener->Type;
        (*accepted)->Index = listener->Index;
    }
    return result;
}

int Transport_Close(TransportStruct *transport) {
    return Transport_Table(transport)->Close(transport->Handle);
}
int Transport_Write(TransportStruct *transport, const void *data, int length, int *written) {
    return Transport_Table(transport)->Write(transport->Handle, data, length, written);
}
int Transport_Read(TransportStruct *transport, void *data, int length, int *read) {
    return Transport_Table(transport)->Read(transport->Handle, data, length, read);
}
int Transport_GetPeerName(TransportStruct *transport, uint8_t address[4], int *port) {
    return Transport_Table(transport)->GetPeerName(transport->Handle, address, port);
}
int Transport_GetSockName(TransportStruct *transport, uint8_t address[4], int *port) {
    return Transport_Table(transport)->GetSockName(transport->Handle, address, port);
}
int Transport_GetRemoteAddress(TransportStruct *transport, uint8_t address[4], int *port) {
    return Transport_Table(transport)->GetRemoteAddress(transport->Handle, address, port);
}
int Transport_GetAddressString(TransportStruct *transport, char *buffer) {
    return Transport_Table(transport)->GetAddressString(transport->Handle, buffer,
                                                        TRANSPORT_ADDRESS_STRING_SIZE);
}
int Transport_SetBlocking(TransportStruct *transport) {
    return Transport_Table(transport)->SetBlocking(transport->Handle, 0);
}
int Transport_SetReuseAddress(TransportStruct *transport) {
    return Transport_Table(transport)->SetReuseAddress(transport->Handle, 1);
}
int Transport_SetBacklog(TransportStruct *transport) {
    return Transport_Table(transport)->SetBacklog(transport->Handle, TRANSPORT_BACKLOG);
}
int Transport_ResetStatistics(TransportStruct *transport) {
    return Transport_Table(transport)->ResetStatistics(transport->Handle);
}
int Transport_GetAverageRates(TransportStruct *transport, double *receive, double *send) {
    return Transport_Table(transport)->GetAverageRates(transport->Handle, receive, send);
}
int Transport_GetPeakRates(TransportStruct *transport, double *receive, double *send) {
    return Transport_Table(transport)->GetPeakRates(transport->Handle, receive, send);
}
int Transport_GetCurrentRates(TransportStruct *transport, double *receive, double *send) {
    return Transport_Table(transport)->GetCurrentRates(transport->Handle, receive, send);
}
int Transport_SetRateLimits(TransportStruct *transport, int receive, int send) {
    return Transport_Table(transport)->SetRateLimits(transport->Handle, receive, send);
}
int Transport_GetReadDelay(TransportStruct *transport, int *ms) {
    return Transport_Table(transport)->GetReadDelay(transport->Handle, ms);
}
int Transport_GetWriteDelay(TransportStruct *transport, int *ms) {
    return Transport_Table(transport)->GetWriteDelay(transport->Handle, ms);
}
const char *Transport_GetLastErrorString(TransportStruct *transport) {
    return Transport_Table(transport)->GetLastErrorString(transport->Handle);
}
int Transport_GetLastError(TransportStruct *transport) {
    return Transport_Table(transport)->GetLastError(transport->Handle);
}

// ---------------------------------------------------------------------------
// Readiness sets
// ---------------------------------------------------------------------------

int TransportSelect_Create(TransportSelectStruct **set) {
    ZYL_CHECK_PTR(set);
    TransportSelectStruct *s = ZYL_NEW(TransportSelectStruct);
    s->Tag = TransportSelectTag;
    *set = s;
    return 1;
}

int TransportSelect_Bind(TransportSelectStruct *set, int type) {
    ZYL_CHECK_TAG(set, TransportSelectTag);
    if (set->Handle != nullptr && set->Type == type)
        return 1;
    int index = Transport_TypeToIndex(type);
    if (set->Handle != nullptr)
        Transport_Ops[set->Index].SelectDestroy(&set->Handle);
    set->Type = type;
    set->Index = index;
    return Transport_Ops[index].SelectCreate(&set->Handle);
}

int TransportSelect_Destroy(TransportSelectStruct **set) {
    ZYL_CHECK_PTR(set);
    TransportSelectStruct *s = *set;
    if (s == nullptr)
        return 1;
    ZYL_CHECK_TAG(s, TransportSelectTag);
    if (s->Handle != nullptr)
        Transport_Ops[s->Index].SelectDestroy(&s->Handle);
    s->Tag = Zyl_DeadTag;
    ZYL_FREE(s, sizeof(TransportSelectStruct));
    *set = nullptr;
    return 1;
}

int Transport_SelectGetCapacity(TransportSelectStruct *set, int *capacity) {
    return TransportSelect_Table(set)->SelectGetCapacity(set->Handle, capacity);
}

int Transport_SelectClear(TransportSelectStruct *set) {
    return TransportSelect_Table(set)->SelectClear(set->Handle);
}

int Transport_SelectAdd(TransportStruct *transport, TransportSelectStruct *set) {
    Transport_CheckSameType(transport, set);
    return Transport_Ops[set->Index].SelectAdd(set->Handle, transport->Handle);
}

int Transport_SelectIsSet(TransportStruct *transport, TransportSelectStruct *set) {
    Transport_CheckSameType(transport, set);
    return Transport_Ops[set->Index].SelectIsSet(set->Handle, transport->Handle);
}

int Transport_Wait(TransportSelectStruct *readSet, TransportSelectStruct *writeSet, int *cancel,
                   int timeoutMs, int *ready) {
    ZYL_CHECK_PTR(ready);
    *ready = 0;
    if (readSet == nullptr && writeSet == nullptr) {
        ZYL_FATAL("Transport_Wait() without a read or a write set\n");
    }
    if (readSet != nullptr)
        ZYL_CHECK_TAG(readSet, TransportSelectTag);
    if (writeSet != nullptr)
        ZYL_CHECK_TAG(writeSet, TransportSelectTag);
    TransportSelectStruct *first = readSet != nullptr ? readSet : writeSet;
    if (first->Handle == nullptr ||
        (readSet != nullptr && writeSet != nullptr &&
         (readSet->Type != writeSet->Type || writeSet->Handle == nullptr))) {
        ZYL_FATAL("Transport type mismatch in wait\n");
    }
    return Transport_Ops[first->Index].Wait(readSet != nullptr ? readSet->Handle : nullptr,
                                            writeSet != nullptr ? writeSet->Handle : nullptr,
                                            nullptr, cancel, timeoutMs, ready);
}
