// Multiplexer of one reliable-UDP port: the UDP channel, the one worker thread
// that reads it and runs every socket's timers, the request queue through which
// API threads reach the worker, the port's sockets by id, its listener and the
// timer list. The worker serves every ready datagram and due timer each pass and
// sleeps in poll until the next deadline, a datagram or a request.
#pragma once

#include <cstdint>

#include "net/udt_channel.h"

struct UDTSocketStruct;
struct UDTHashStruct;
struct ThreadStruct;

extern const char UDTMultiplexerTag[]; // "UDTMultiplexer"

enum {
    UDT_TIMER_SEND = 0, // send routine, or handshake retry while connecting
    UDT_TIMER_ACK = 1,
    UDT_TIMER_NAK = 2,
    UDT_TIMER_EXPIRY = 3,
    UDT_TIMER_COUNT = 4,
};

enum {
    UDT_REQUEST_STOP = 0,
    UDT_REQUEST_LISTENER = 1, // set (socket) or clear (null) the port's listener
    UDT_REQUEST_ADD = 2,      // add the socket to the port, then as SEND
    UDT_REQUEST_REMOVE = 3,   // unlink the socket's timers and take it off the port
    UDT_REQUEST_SEND = 4,     // run the socket's send timer work now
    UDT_REQUEST_QUEUE_SIZE = 16,
};

// One timer of a socket; linked into its multiplexer's list while armed.
struct UDTTimerNode {
    UDTTimerNode *Prev;
    UDTTimerNode *Next;
    int Type; // UDT_TIMER_*
    UDTSocketStruct *Socket;
    double Due; // seconds (Zyl_GetSeconds)
    int Linked; // 1 while in the list
};

struct UDTMuxRequest {
    int Type;
    UDTSocketStruct *Socket;
    int Value;
    int *Result; // where the worker writes the result; null when nobody waits
    int *Done;   // set to 1 by the worker when served; null when nobody waits
};

struct UDTMultiplexerStruct;

// Finds a multiplexer to share (reuse set on both, same payload size and, when
// port > 0, that local port) or opens a new port on address:port (any address
// and port when address is null). 0 with *error from the socket layer on failure.
int UDTMultiplexer_Get(int reuse, int payloadSize, const uint8_t *address, int port,
                       UDTMultiplexerStruct **mux, int *error);
// Takes one more reference (a listener's accepted socket). Returns 1.
int UDTMultiplexer_AddReference(UDTMultiplexerStruct *mux);
// Drops a reference; the last one stops the worker and closes the port.
// Never called from the worker itself.
int UDTMultiplexer_Release(UDTMultiplexerStruct **mux);
// Posts a request, waiting for room; with wait = 1 waits for the worker's result.
int UDTMultiplexer_Request(UDTMultiplexerStruct *mux, int type, UDTSocketStruct *socket, int value,
                           int wait);
// Multiplexers alive (UDTSocket_Remove refuses to stop while any exist).
int UDTMultiplexer_GetCount(void);
int UDTMultiplexer_Startup(void);
int UDTMultiplexer_Shutdown(void);

// Worker side (called only on the multiplexer's worker thread, inside handlers).
// Arms a timer at due (a linked node with the same due time stays where it is).
void UDTMultiplexer_ArmTimer(UDTMultiplexerStruct *mux, UDTTimerNode *node, double due);
void UDTMultiplexer_CancelTimer(UDTMultiplexerStruct *mux, UDTTimerNode *node);
// Adds a socket made by the port's listener to the port.
void UDTMultiplexer_AddSocketLocal(UDTMultiplexerStruct *mux, UDTSocketStruct *socket);
// Takes a socket off the port and disarms its timers; 1 when it was there.
int UDTMultiplexer_RemoveSocketLocal(UDTMultiplexerStruct *mux, UDTSocketStruct *socket);
// The port's sockets (for recognising a repeated connection request).
UDTHashStruct *UDTMultiplexer_GetSockets(UDTMultiplexerStruct *mux);
UDTChannelStruct *UDTMultiplexer_GetChannel(UDTMultiplexerStruct *mux);
int UDTMultiplexer_GetPayloadSize(UDTMultiplexerStruct *mux);

// Test hooks for driving a port from one thread (fuzzing, forged-packet tests).
// With inline mode on, ports opened afterwards get no worker thread: requests are
// served at once on the caller's thread, and nothing happens between calls of
// the two functions below.
void UDTMultiplexer_SetTestInline(int on);
// Reads every waiting datagram, then fires the timers due at now. From then on
// requests served for this port take now as their time as well.
void UDTMultiplexer_TestPump(UDTMultiplexerStruct *mux, double now);
// Hands one datagram of raw wire bytes (from `from`) to its socket, as the
// worker would.
void UDTMultiplexer_TestDeliver(UDTMultiplexerStruct *mux, const uint8_t *bytes, int length,
                                const UDTAddress *from, double now);
