// The UDP channel under one reliable-UDP port: one datagram socket of the
// socket layer, sent to and read from directly by the port's worker.
#pragma once

#include <cstdint>

#include "net/udt_packet.h"

struct SocketStruct;

extern const char UDTChannelTag[]; // "channel"

// Address of a peer: IPv4 address in network order, port in host order.
struct UDTAddress {
    uint8_t Ip[4];
    int Port;
};

struct UDTChannelStruct {
    const char *Tag;
    SocketStruct *Socket; // datagram socket, non-blocking once open
    int Handle;           // its descriptor, -1 when closed
};

// A closed channel into *channel; returns 1 (allocation failure is fatal).
int Channel_Create(UDTChannelStruct **channel);
// Closes the socket when open and frees the record; clears *channel. Accepts null.
int Channel_Destroy(UDTChannelStruct **channel);
// Opens a UDP socket allowing address reuse, binds it to address:port (any
// address and port when address is null) and sets 1 MiB send and receive
// buffers. 0 with *error = the socket layer's code (socket closed) on failure.
int Channel_Open(UDTChannelStruct *channel, const uint8_t *address, int port, int *error);
// Local address and port of the bound socket.
int Channel_GetLocalAddress(UDTChannelStruct *channel, uint8_t address[4], int *port);
// Sends the packet as one datagram (converted to network order and back).
// Returns the bytes sent, or -1 when the system refused it.
int Channel_Send(UDTChannelStruct *channel, UDTPacketStruct *packet, const UDTAddress *peer);
// Reads one waiting datagram without blocking. 1 with the packet in host order
// and the sender in *from; 0 for a datagram shorter than a header (dropped);
// -1 when nothing is waiting. Payload length is 0 unless 1 is returned.
int Channel_ReceiveNow(UDTChannelStruct *channel, UDTPacketStruct *packet, UDTAddress *from);
// The socket layer's record of the channel; 0 when closed.
int Channel_GetSocket(UDTChannelStruct *channel, SocketStruct **socket);

// Test hook: drop this many of every 1000 datagrams sent (handshakes excepted),
// chosen by a generator seeded with seed. 0 turns dropping off.
void Channel_SetTestDropRate(int perMille, uint32_t seed);
