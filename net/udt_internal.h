// The record of one reliable-UDP socket, shared by the API calls (udt.cpp) and
// the protocol engine the worker runs (udt_core.cpp). Every field is guarded by
// Mutex, except those the worker alone touches (noted).
#pragma once

#include <cstdint>

#include "net/rateaccount.h"
#include "net/udt.h"
#include "net/udt_buffer.h"
#include "net/udt_ccc.h"
#include "net/udt_channel.h"
#include "net/udt_losslist.h"
#include "net/udt_mux.h"
#include "net/udt_window.h"

struct MutexStruct;
struct UDTCondVarStruct;
struct UDTHashStruct;

enum {
    UDT_ERROR_INVALID = 10022,
    UDT_ERROR_WOULD_BLOCK = 10035,
    UDT_ERROR_NOT_SOCKET = 10038,
    UDT_ERROR_IN_USE = 10048,
    UDT_ERROR_NOT_CONNECTED = 10057,
    UDT_ERROR_TIMED_OUT = 10060,
    UDT_ERROR_REFUSED = 10061,
    UDT_HANDSHAKE_WORDS = 7,       // the words every peer sends
    UDT_HANDSHAKE_FULL_WORDS = 12, // with cookie and peer address (48 bytes)
    UDT_MIN_MSS = 72,              // smaller segments are refused
    UDT_REQUEST_REFUSED = 1002,
};

struct UDTSocketStruct {
    const char *Tag;
    int32_t Id;
    int32_t PeerId;
    UDTAddress Peer;
    int Accepted;
    int State;
    int Mss;         // bytes of an IP packet
    int PayloadSize; // Mss - 44
    int Blocking;
    int FlightFlagSize; // packets
    int SendBufferSize; // bytes
    int RecvBufferSize; // packets
    int Linger;         // seconds
    int SendTimeout;    // ms, -1 none
    int RecvTimeout;    // ms, -1 none
    int Reuse;
    int Backlog;
    UDTCongestionStruct *Cc;
    int LinkCapacity;    // packets/s
    double DeliveryRate; // packets/s
    double Rtt;          // seconds
    double RttVar;       // seconds
    UDTMultiplexerStruct *Mux;
    UDTHashStruct *AcceptQueue; // listener: sockets made by handshakes, oldest first
    double ConnectStart;
    double ConnectTimeout;
    double HandshakeInterval;
    int ConnectError;
    UDTPacketStruct *Handshake; // kept while connecting
    UDTSendBufferStruct *SendBuffer;
    UDTLossListStruct *SendLoss;
    UDTLossListStruct *RecvLoss;
    UDTAckWindowStruct *AckWindow;
    UDTArrivalWindowStruct *Arrival;
    int FlowWindow; // packets
    int32_t LastAckReceived;
    int32_t LastDataAck;
    int32_t CurrentSendSeq;
    int32_t Isn;
    UDTPacketStruct *Control;
    UDTRecvBufferStruct *RecvBuffer;
    double LastAckTime;
    int32_t LastAckSent;
    int32_t LastAck2Received;
    int32_t AckSequence;
    int32_t CurrentRecvSeq;
    MutexStruct *Mutex;
    UDTCondVarStruct *SendCond;
    UDTCondVarStruct *RecvCond;
    UDTTimerNode Timers[UDT_TIMER_COUNT]; // armed by the worker only
    double SendTarget;   // when the send timer was meant to fire; 0 while sending is idle
    double SendLateness; // seconds the pacing has fallen behind its schedule
    int PacketsSinceAck;
    int ExpiryCount;
    double LastResponse;
    uint64_t PacketsSent, PacketsReceived;
    int Retransmits, Losses, AcksSent, AcksReceived, NaksSent, NaksReceived;
    RateAccount RecvAccount;
    RateAccount SendAccount;
    double ResetTime; // tick clock; 0 before any reset
};

// Worker entry points (udt_core.cpp); each takes the socket's mutex itself.
void UDTCore_OnTimer(UDTSocketStruct *socket, int type, double now);
void UDTCore_OnSendNow(UDTSocketStruct *socket, double now);
// Hands a received packet to the socket; when the socket keeps it, *packet is
// replaced (possibly by null: the caller then makes a new one).
void UDTCore_OnPacket(UDTSocketStruct *socket, UDTMultiplexerStruct *mux, UDTPacketStruct **packet,
                      const UDTAddress *from, double now);
int32_t UDTCore_GetId(const UDTSocketStruct *socket);
UDTTimerNode *UDTCore_GetTimers(UDTSocketStruct *socket);

// Shared by the API and the engine (udt_core.cpp), called under the mutex.
// Makes the data received in order readable without waiting for the ACK timer.
void UDTCore_ReleaseInOrder(UDTSocketStruct *socket);
// Frees what SetUp made.
void UDTCore_TearDown(UDTSocketStruct *socket);
// Sends a control packet of type with words (host order) to the peer.
void UDTCore_SendControl(UDTSocketStruct *socket, int type, int32_t ackSequence,
                         const int32_t *words, int count);
// Allocates a socket with the defaults (used by Create and by the listener).
int UDTCore_NewSocket(UDTSocketStruct **socket);
