// Plain IPv4 sockets with time-outs, a cancel flag, byte statistics and rate
// limits; poll-based select sets of up to 64 sockets; address, URL, host and
// adapter helpers; start-up and shut-down of the socket layer.
// Error numbers are the WinSock numbers (10035 would block, 10054 reset, 10060
// timed out, 10061 refused ...) plus 1460 for this layer's own time-outs; the
// OS errno is mapped onto them. Every descriptor is opened close-on-exec and
// every send uses MSG_NOSIGNAL, so a closed peer never raises SIGPIPE.
#pragma once

#include <cstdint>

#include "net/rateaccount.h"

// Error numbers used by the layer and its callers.
enum {
    SOCKET_ERROR_NONE = 0,
    SOCKET_ERROR_TIMEOUT = 1460, // this layer's own time-outs
    SOCKET_ERROR_INTERRUPTED = 10004,
    SOCKET_ERROR_BAD_FILE = 10009,
    SOCKET_ERROR_ACCESS = 10013,
    SOCKET_ERROR_FAULT = 10014,
    SOCKET_ERROR_INVALID = 10022,
    SOCKET_ERROR_TOO_MANY_FILES = 10024,
    SOCKET_ERROR_WOULD_BLOCK = 10035,
    SOCKET_ERROR_IN_PROGRESS = 10036,
    SOCKET_ERROR_ALREADY = 10037,
    SOCKET_ERROR_NOT_SOCKET = 10038,
    SOCKET_ERROR_MESSAGE_SIZE = 10040,
    SOCKET_ERROR_BAD_PROTOCOL_OPTION = 10042,
    SOCKET_ERROR_ADDRESS_IN_USE = 10048,
    SOCKET_ERROR_ADDRESS_NOT_AVAILABLE = 10049,
    SOCKET_ERROR_NETWORK_UNREACHABLE = 10051,
    SOCKET_ERROR_ABORTED = 10053,
    SOCKET_ERROR_RESET = 10054,
    SOCKET_ERROR_NO_BUFFERS = 10055,
    SOCKET_ERROR_IS_CONNECTED = 10056,
    SOCKET_ERROR_NOT_CONNECTED = 10057,
    SOCKET_ERROR_SHUTDOWN = 10058,
    SOCKET_ERROR_TIMED_OUT = 10060,
    SOCKET_ERROR_REFUSED = 10061,
    SOCKET_ERROR_HOST_UNREACHABLE = 10065,
    SOCKET_ERROR_HOST_NOT_FOUND = 11001,
    SOCKET_ERROR_TRY_AGAIN = 11002,
    SOCKET_ERROR_NO_RECOVERY = 11003,
    SOCKET_ERROR_NO_DATA = 11004,
};

// Protocol ids of Socket_Open (always IPv4).
enum {
    SOCKET_PROTOCOL_TCP = 1,  // stream, TCP
    SOCKET_PROTOCOL_UDP = 2,  // datagram, UDP
    SOCKET_PROTOCOL_GGP = 3,  // datagram, protocol 3
    SOCKET_PROTOCOL_ICMP = 4, // datagram, ICMP
    SOCKET_PROTOCOL_DGRAM = 5,
    SOCKET_PROTOCOL_DISCOVERY = 6, // datagram, protocol 0 (UPnP discovery)
    SOCKET_PROTOCOL_RAW = 10,
};

enum {
    SOCKET_SELECT_CAPACITY = 64,
    SOCKET_DEFAULT_TIMEOUT_MS = 300000,
    SOCKET_DEFAULT_BACKLOG = 5,
    SOCKET_HOST_NAME_SIZE = 256,
};

extern const char SocketTag[];       // "socket"
extern const char SocketSelectTag[]; // "SocketSelectStruct"

// One OS socket. Created closed by Socket_Create; used by one thread at a time,
// except Cancel, which any thread may set (Socket_SetCancel).
struct SocketStruct {
    const char *Tag;
    int Cancel;      // 1 makes a pending wait in Read, ReadIP, Connect or Accept give up
    int Handle;      // OS descriptor, -1 when closed
    int LastError;   // WinSock number of the last failure, 1460 for own time-outs, 0 after success
    int Blocking;    // 1 blocking (default), 0 non-blocking
    int Accepted;    // 1 on a socket made by Accept
    int ReadTimeout; // ms, bounds the waits of Read, ReadIP and a blocking Write
    int ConnectTimeout; // ms
    int AcceptTimeout;  // ms, 0 waits for ever
    int Backlog;
    int Protocol;       // id given to Open, 0 when Open failed
    uint8_t Address[4]; // network order: connect peer, accepted peer, bound address or last sender
    int Port;           // host order, goes with Address
    double StatStart;   // tick seconds of the last ResetStatistics, 0 before any
    RateAccount Received; // bytes read, their rate and the read limit
    RateAccount Sent;     // bytes written, their rate and the write limit
};

// A set of up to 64 sockets for Socket_SelectWait; after a wait it holds only
// the ready ones. Descriptors of any value work (no fd_set).
struct SocketSelectStruct {
    const char *Tag;
    int Ready; // kept at 0
    int Count;
    int Handles[SOCKET_SELECT_CAPACITY];
};

// Result of Socket_Resolve.
struct HostAddress {
    char Name[SOCKET_HOST_NAME_SIZE];
    uint8_t Address[4]; // network order
    int Port;
};

// ---------------------------------------------------------------------------
// Life and state
// ---------------------------------------------------------------------------

// Allocates a closed record with the defaults into *socket; returns 1.
int Socket_Create(SocketStruct **socket);
// Closes an open socket, frees the record and clears *socket. Accepts null. Returns 1.
int Socket_Destroy(SocketStruct **socket);
// Creates the OS socket for a protocol id; resets Cancel to 0 and Blocking to 1
// and the statistics. 0 when already open, for an unknown id or an OS failure
// (Protocol is then 0).
int Socket_Open(SocketStruct *socket, int protocol);
// Closes the OS socket (closed already is success); keeps settings and statistics.
int Socket_Close(SocketStruct *socket);
int Socket_IsOpen(SocketStruct *socket);
// 1 when open and made by Accept.
int Socket_IsAccepted(SocketStruct *socket);
// The protocol id; 0 when closed.
int Socket_GetProtocol(SocketStruct *socket, int *protocol);
// Shuts down both directions; 0 when closed or on an OS failure.
int Socket_Shutdown(SocketStruct *socket);
// The OS descriptor; 0 when closed.
int Socket_GetHandle(SocketStruct *socket, int *handle);
// Sets the cancel flag from any thread; returns 1.
int Socket_SetCancel(SocketStruct *socket, int flag);
int Socket_GetCancel(SocketStruct *socket);

// ---------------------------------------------------------------------------
// Options: each fails on a closed socket, clears the last error first and
// records the OS error on failure. Levels and options of SetOption/GetOption
// are this OS's numbers (<sys/socket.h>, <netinet/in.h>).
// ---------------------------------------------------------------------------

// Each returns 1 when the option took (getters: outputs valid), 0 otherwise.
int Socket_SetBlocking(SocketStruct *socket, int blocking);
int Socket_SetOption(SocketStruct *socket, int level, int option, int32_t value);
int Socket_GetOption(SocketStruct *socket, int level, int option, int32_t *value);
int Socket_SetReuseAddress(SocketStruct *socket, int flag);
// flag 1 turns Nagle's algorithm on (TCP no-delay off).
int Socket_SetNagle(SocketStruct *socket, int flag);
int Socket_SetLinger(SocketStruct *socket, int flag, int seconds);
int Socket_SetSendBufferSize(SocketStruct *socket, int bytes);
int Socket_GetSendBufferSize(SocketStruct *socket, int *bytes);
int Socket_SetReceiveBufferSize(SocketStruct *socket, int bytes);
int Socket_GetReceiveBufferSize(SocketStruct *socket, int *bytes);
int Socket_SetMulticastInterface(SocketStruct *socket, const uint8_t address[4]);
int Socket_JoinMulticastGroup(SocketStruct *socket, const uint8_t interfaceAddress[4],
                              const uint8_t groupAddress[4]);

// Settings without an OS call; each returns 1.
// 0 stores 5.
int Socket_SetBacklog(SocketStruct *socket, int backlog);
// Reports 0 while the backlog is 5, else the value.
int Socket_GetBacklog(SocketStruct *socket, int *backlog);
int Socket_SetTimeouts(SocketStruct *socket, int readWriteMs, int connectMs, int acceptMs);
int Socket_GetTimeouts(SocketStruct *socket, int *readWriteMs, int *connectMs, int *acceptMs);
// Bytes per second; below 1 = no limit.
int Socket_SetRateLimits(SocketStruct *socket, int receive, int send);
int Socket_GetRateLimits(SocketStruct *socket, int *receive, int *send);

// ---------------------------------------------------------------------------
// Connection
// ---------------------------------------------------------------------------

// Binds to an address (special addresses apply: 0.0.0.2 any) and port.
int Socket_Bind(SocketStruct *socket, const uint8_t address[4], int port);
// Listens with the stored backlog.
int Socket_Listen(SocketStruct *socket);
// Connects. A non-blocking socket only starts the connection and succeeds. A
// blocking one waits up to the connect time-out (cancel flag honoured): a
// refused or failed attempt fails at once with its error (10061 ...), a time-out
// fails with 1460. Resets the statistics.
int Socket_Connect(SocketStruct *socket, const uint8_t address[4], int port);
// Accepts one connection into *newSocket (null on failure), polling every 10 ms
// up to the accept time-out (0: for ever). The new record is Accepted and its OS
// socket non-blocking. A cancel fails and leaves the cancel flag at 1.
int Socket_Accept(SocketStruct *socket, SocketStruct **newSocket);

// ---------------------------------------------------------------------------
// Data. Would-block is success with 0 bytes. On a blocking socket ReadIP waits
// first, Read and Write wait when nothing can move at once (read/write
// time-out, cancel flag; a cancel set before the call is honoured before any
// transfer); a time-out fails with 1460. A peer's orderly close fails Read
// with the last error 0.
// ---------------------------------------------------------------------------

// 1 with *count bytes moved: 0 bytes when the rate limit allows none this second
// or a non-blocking socket would block. 0 (*count 0) when closed, on the peer's
// close (Read), a time-out, a cancel or an OS failure; the last error tells which.
int Socket_Read(SocketStruct *socket, void *buffer, int length, int *count);
int Socket_Write(SocketStruct *socket, const void *data, int length, int *count);
// Datagrams; address in network order, port in host order.
int Socket_ReadIP(SocketStruct *socket, uint8_t address[4], int *port, void *buffer, int length,
                  int *count);
int Socket_WriteIP(SocketStruct *socket, const uint8_t address[4], int port, const void *data,
                   int length, int *count);
// The same with the address as a 32-bit value in network order.
int Socket_ReadIP32(SocketStruct *socket, uint32_t *address, int *port, void *buffer, int length,
                    int *count);
int Socket_WriteIP32(SocketStruct *socket, uint32_t address, int port, const void *data, int length,
                     int *count);

// ---------------------------------------------------------------------------
// Addresses
// ---------------------------------------------------------------------------

// The OS's local or peer address and port; 0 (outputs zeroed) when closed or on
// an OS failure (recorded in the last error).
int Socket_GetSockName(SocketStruct *socket, uint8_t address[4], int *port);
int Socket_GetPeerName(SocketStruct *socket, uint8_t address[4], int *port);
// The stored address and port; 0 when closed.
int Socket_GetRemoteAddress(SocketStruct *socket, uint8_t address[4], int *port);
// The stored address as "%d.%d.%d.%d:%d"; 0 when closed.
int Socket_GetAddressString(SocketStruct *socket, char *buffer, int size);
// Maps the special addresses: 0.0.0.2 to 0.0.0.0, 0.0.0.1 and 0.0.0.3 to
// 255.255.255.255; returns the result in network order.
uint32_t Socket_ToInAddr(const uint8_t address[4]);

// ---------------------------------------------------------------------------
// Waiting and select sets
// ---------------------------------------------------------------------------

// Waits until a socket of the sets is ready, the time runs out (ms; 0 polls
// once) or *cancel becomes 1 (cancel may be null). The sets then hold only the
// ready sockets (all empty after a time-out or cancel). A null set or an empty
// one takes no part. 0 on an OS failure ("Select failed [label: text]").
int Socket_SelectWait(const char *label, SocketSelectStruct *readSet, SocketSelectStruct *writeSet,
                      SocketSelectStruct *errorSet, int *cancel, int timeoutMs, int *ready);
// Socket_SelectWait with the label "Wait".
int Socket_Wait(SocketSelectStruct *readSet, SocketSelectStruct *writeSet,
                SocketSelectStruct *errorSet, int *cancel, int timeoutMs, int *ready);

// Create: an empty set into *set; returns 1. Destroy accepts null, frees the set,
// clears *set and returns 1. Capacity, Copy and Clear return 1.
int SocketSelect_Create(SocketSelectStruct **set);
int SocketSelect_Destroy(SocketSelectStruct **set);
int SocketSelect_GetCapacity(SocketSelectStruct *set, int *capacity);
int SocketSelect_Copy(SocketSelectStruct *destination, SocketSelectStruct *source);
int SocketSelect_Clear(SocketSelectStruct *set);
// Add, Remove and IsSet give 0 for a null or closed socket. Adding to a full set
// succeeds without effect; removing an absent socket succeeds.
int SocketSelect_Add(SocketSelectStruct *set, SocketStruct *socket);
int SocketSelect_Remove(SocketSelectStruct *set, SocketStruct *socket);
int SocketSelect_IsSet(SocketSelectStruct *set, SocketStruct *socket);

// ---------------------------------------------------------------------------
// Statistics (tick clock seconds)
// ---------------------------------------------------------------------------

// Totals, rates and peaks start again now (the limits stay); returns 1.
int Socket_ResetStatistics(SocketStruct *socket);
// Byte totals since the last reset; returns 1.
int Socket_GetByteTotals(SocketStruct *socket, uint64_t *received, uint64_t *sent);
// 0 before any reset; zeros within 4 s of the reset.
int Socket_GetAverageRates(SocketStruct *socket, double *receive, double *send);
int Socket_GetPeakRates(SocketStruct *socket, double *receive, double *send);
int Socket_GetCurrentRates(SocketStruct *socket, double *receive, double *send);
// ms until the limit of this second is lifted; 0 and failure when not limited.
int Socket_GetReadDelay(SocketStruct *socket, int *ms);
int Socket_GetWriteDelay(SocketStruct *socket, int *ms);

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

// The WinSock number of the last failure (0 after a success).
int Socket_GetLastError(SocketStruct *socket);
// Text of a WinSock number; "Unknown error code" for others.
const char *Socket_GetErrorString(int code);
const char *Socket_GetLastErrorString(SocketStruct *socket);
// The WinSock number for an errno value.
int Socket_MapErrno(int osError);

// ---------------------------------------------------------------------------
// Names and addresses
// ---------------------------------------------------------------------------

// Dotted IPv4 text is taken as is; otherwise the OS lookup. 0 (record cleared)
// when the lookup fails.
int Socket_Resolve(HostAddress *host, const char *name);
// Splits a URL; every output is cleared first and cut to its size less one. A
// port outside 0-65535 or not a number fails.
int Socket_ParseURL(const char *url, char *scheme, int schemeSize, char *host, int hostSize,
                    int *port, char *directory, int directorySize, char *fileName, int fileNameSize,
                    char *user, int userSize, char *password, int passwordSize);
// Splits the URL, resolves its host and stores the URL's port.
int Socket_ResolveURL(HostAddress *host, const char *url);

// Byte order of 4 and 2 bytes, destination then source (any alignment); return 1.
int Socket_NetToHost32(void *destination, const void *source);
int Socket_HostToNet32(void *destination, const void *source);
int Socket_NetToHost16(void *destination, const void *source);
int Socket_HostToNet16(void *destination, const void *source);
// Four bytes, most significant first.
uint32_t Socket_ReadBigEndian32(const void *bytes);
int Socket_AddressEqual(const uint8_t a[4], const uint8_t b[4]);
// Two 16-byte sockaddr_in values: family, port and address equal.
int Socket_AddressEqual16(const void *a, const void *b);

// ---------------------------------------------------------------------------
// Host and adapters (IPv4, loopback left out; never the host name's address)
// ---------------------------------------------------------------------------

// First address of this host in 10/8, 172.16/12 or 192.168/16; 0 when none.
int Socket_GetPrivateHostAddress(uint8_t address[4]);
// The n-th (from 0) IPv4 address of this host's interfaces; 0 past the end.
int Socket_GetHostAddress(int n, uint8_t address[4]);
// The n-th adapter's hardware address; length must be 6 (fatal otherwise).
int Socket_GetAdapterMAC(int n, uint8_t *buffer, int length);
int Socket_GetAdapterName(int n, char *buffer, int size);
// The n-th adapter's default gateway as dotted text ("0.0.0.0" when none).
int Socket_GetAdapterGateway(int n, char *buffer, int size);
// *connected = 1 when the adapter's link is up; 0 when there is no n-th adapter.
int Socket_IsAdapterConnected(int n, int *connected);
// *alive = 1 when a non-loopback interface is up; returns 1.
int Socket_IsNetworkAlive(int *alive);

// ---------------------------------------------------------------------------
// Library
// ---------------------------------------------------------------------------

// Start-up and shut-down of the layer: nothing to do on this OS; both return 1.
int Socket_Init(void);
int Socket_Remove(void);

// Test hook: the clock (seconds) used for statistics and rate limits; null
// restores the tick clock (Zyl_GetTickSeconds).
typedef double (*SocketClock)(void);
void Socket_SetClock(SocketClock clock);
