// Reliable, rate-controlled byte streams over UDP (UDT version 4 wire format):
// the socket and select operations behind the transport table's UDT column.
// Every call returns 1 on success and 0 on failure and leaves its WinSock-style
// code (0 on success) in the calling thread's slot (UDTSocket_GetLastError).
// Accept, Read, Write and Connect also return 1 for would-block (10035): the out
// values tell would-block from done. One worker thread per UDP port does the
// protocol; a socket's mutex is never held while waiting for that worker.
#pragma once

#include <cstdint>

struct UDTSocketStruct;
struct UDTSelectStruct;
struct SocketStruct;

extern const char UDTSocketTag[]; // "UDTSocketStruct"
extern const char UDTSelectTag[]; // "UDTSelectStruct"

enum {
    UDT_STATE_NEW = 1,
    UDT_STATE_OPENED = 2,
    UDT_STATE_BOUND = 3,
    UDT_STATE_LISTENING = 4,
    UDT_STATE_CONNECTING = 5,
    UDT_STATE_FAILED = 6,
    UDT_STATE_CONNECTED = 7,
    UDT_STATE_CLOSING = 8,
    UDT_STATE_BROKEN = 9,
    UDT_STATE_CLOSED = 10,
    UDT_SELECT_CAPACITY = 100,
};

// Library start and stop: Init once before any socket (fatal when repeated);
// Remove after every socket is destroyed (fatal otherwise).
int UDTSocket_Init(void);
int UDTSocket_Remove(void);

// A socket in state New with the defaults; *socket null on failure.
int UDTSocket_Create(UDTSocketStruct **socket);
// Closes (as Close), frees the record and clears *socket. Accepts null.
int UDTSocket_Destroy(UDTSocketStruct **socket);
int UDTSocket_Open(UDTSocketStruct *socket);
int UDTSocket_IsOpen(UDTSocketStruct *socket);
int UDTSocket_IsAccepted(UDTSocketStruct *socket);
// Attaches to the UDP port address:port (0.0.0.0 or 0.0.0.2 any; port 0 any).
int UDTSocket_Bind(UDTSocketStruct *socket, const uint8_t address[4], int port);
// Blocking: waits until connected, refused (10061) or timed out (10060).
int UDTSocket_Connect(UDTSocketStruct *socket, const uint8_t address[4], int port);
int UDTSocket_Listen(UDTSocketStruct *socket);
// *newSocket = the oldest connection waiting; null with 10035 when none (non-blocking).
int UDTSocket_Accept(UDTSocketStruct *socket, UDTSocketStruct **newSocket);
int UDTSocket_Close(UDTSocketStruct *socket);
int UDTSocket_Write(UDTSocketStruct *socket, const void *data, int length, int *written);
// After the peer shut down (or our Close) the data already received is still
// read until none is left; then 10057.
int UDTSocket_Read(UDTSocketStruct *socket, void *data, int length, int *read);
int UDTSocket_GetPeerName(UDTSocketStruct *socket, uint8_t address[4], int *port);
int UDTSocket_GetSockName(UDTSocketStruct *socket, uint8_t address[4], int *port);
int UDTSocket_GetRemoteAddress(UDTSocketStruct *socket, uint8_t address[4], int *port);
int UDTSocket_GetAddressString(UDTSocketStruct *socket, char *buffer, int size);
int UDTSocket_SetBlocking(UDTSocketStruct *socket, int blocking);
int UDTSocket_SetReuseAddress(UDTSocketStruct *socket, int allow);
int UDTSocket_SetLinger(UDTSocketStruct *socket, int on, int seconds);
int UDTSocket_SetBacklog(UDTSocketStruct *socket, int backlog);
int UDTSocket_SetSendBufferSize(UDTSocketStruct *socket, int bytes);
int UDTSocket_SetReceiveBufferSize(UDTSocketStruct *socket, int bytes);
// Milliseconds; negative = no limit. accept must be negative.
int UDTSocket_SetTimeouts(UDTSocketStruct *socket, int receive, int send, int accept);
int UDTSocket_GetBacklog(UDTSocketStruct *socket, int *backlog);
int UDTSocket_GetSendBufferSize(UDTSocketStruct *socket, int *bytes);
int UDTSocket_GetReceiveBufferSize(UDTSocketStruct *socket, int *bytes);
int UDTSocket_GetTimeouts(UDTSocketStruct *socket, int *receive, int *send, int *accept);
int UDTSocket_ResetStatistics(UDTSocketStruct *socket);
int UDTSocket_GetByteTotals(UDTSocketStruct *socket, uint64_t *received, uint64_t *sent);
int UDTSocket_GetAverageRates(UDTSocketStruct *socket, double *receive, double *send);
int UDTSocket_GetPeakRates(UDTSocketStruct *socket, double *receive, double *send);
int UDTSocket_GetCurrentRates(UDTSocketStruct *socket, double *receive, double *send);
int UDTSocket_GetRateLimits(UDTSocketStruct *socket, int *receive, int *send);
int UDTSocket_SetRateLimits(UDTSocketStruct *socket, int receive, int send);
int UDTSocket_GetReadDelay(UDTSocketStruct *socket, int *milliseconds);
int UDTSocket_GetWriteDelay(UDTSocketStruct *socket, int *milliseconds);
int UDTSocket_GetLastError(UDTSocketStruct *socket);
const char *UDTSocket_GetErrorString(int code);
const char *UDTSocket_GetLastErrorString(UDTSocketStruct *socket);
// The UDP socket under a Bound or Listening socket.
int UDTSocket_GetChannelSocket(UDTSocketStruct *socket, SocketStruct **channelSocket);
// The socket's state (UDT_STATE_*).
int UDTSocket_GetState(UDTSocketStruct *socket);

// Create: an empty set into *set. Destroy accepts null, frees the set and clears
// *set. Both, GetCapacity and Copy succeed (1) and leave a last error of 0.
int UDTSelect_Create(UDTSelectStruct **set);
int UDTSelect_Destroy(UDTSelectStruct **set);
int UDTSelect_GetCapacity(UDTSelectStruct *set, int *capacity);
int UDTSelect_Copy(UDTSelectStruct *destination, UDTSelectStruct *source);
int UDTSelect_Clear(UDTSelectStruct *set);
int UDTSelect_Add(UDTSelectStruct *set, UDTSocketStruct *socket);
int UDTSelect_Remove(UDTSelectStruct *set, UDTSocketStruct *socket);
int UDTSelect_IsSet(UDTSelectStruct *set, UDTSocketStruct *socket);
// Polls until a socket of either set is ready or timeout ms pass (<= 0: once).
// An error set is refused (10022); cancel must be given but is not consulted.
int UDTSocket_Wait(UDTSelectStruct *readSet, UDTSelectStruct *writeSet, UDTSelectStruct *errorSet,
                   int *cancel, int timeout, int *count);

// Test hook: connect time-out and handshake retry interval (seconds) for
// connects started afterwards; 0 restores 30 s and 1 s.
void UDTSocket_SetTestConnectTimes(double timeout, double interval);
