// Send and receive buffers of a connected reliable-UDP socket. The send buffer
// holds packets from the oldest unacknowledged to the newest, coalescing small
// writes into the newest unsent packet; the receive buffer is a ring of packet
// slots indexed by distance from the acknowledged position. Packets are recycled.
#pragma once

#include <cstdint>

#include "net/udt_packet.h"

extern const char UDTSendBufferTag[]; // "sndbuf"
extern const char UDTRecvBufferTag[]; // "rcvbuf"

struct UDTSendBufferStruct {
    const char *Tag;
    UDTPacketStruct **Ring; // Capacity slots; Count packets from Head
    UDTPacketStruct *Spare; // free packets chained through Link
    int PayloadSize;        // bytes per packet
    int Capacity;           // packets (Limit / PayloadSize, at least 1)
    int Head;               // ring index of the oldest packet
    int Count;              // packets held (sent or not)
    int Unsent;             // offset from Head of the first packet not yet sent
    int64_t Bytes;          // bytes held
};

struct UDTRecvBufferStruct {
    const char *Tag;
    UDTPacketStruct **Slots; // Size slots
    UDTPacketStruct *Spare;  // free packets chained through Link
    int Size;                // slots; one always stays empty
    int ReadPos;             // slot read next
    int AckPos;              // end of the readable part
    int ReadOffset;          // bytes already read from the packet at ReadPos
};

// Create: a new record into *buffer; returns 1 (allocation failure is fatal).
// Destroy accepts null, frees the record, clears *buffer and returns 1.
int SendBuffer_Create(UDTSendBufferStruct **buffer);
int SendBuffer_Destroy(UDTSendBufferStruct **buffer);
// Sizes the buffer once; non-positive values or a second call are fatal.
int SendBuffer_Open(UDTSendBufferStruct *buffer, int payloadSize, int limit);
// Takes up to length bytes: tops up the newest unsent packet, then fills new ones
// while there is capacity. *taken = bytes taken; *becameSendable = 1 when the
// buffer had nothing unsent before and has now.
int SendBuffer_Append(UDTSendBufferStruct *buffer, const void *data, int length, int *taken,
                      int *becameSendable);
// Bytes Append could take now.
int64_t SendBuffer_GetRoom(const UDTSendBufferStruct *buffer);
// Bytes held (unacknowledged, sent or not).
int64_t SendBuffer_GetPending(const UDTSendBufferStruct *buffer);
// The next unsent packet (and marks it sent); null when all are sent.
UDTPacketStruct *SendBuffer_NextUnsent(UDTSendBufferStruct *buffer);
// The packet at offset n from the oldest; null when n is outside what was sent.
UDTPacketStruct *SendBuffer_GetSent(const UDTSendBufferStruct *buffer, int n);
// Drops n packets from the front (at most those held).
int SendBuffer_Release(UDTSendBufferStruct *buffer, int n);

// Create: a new record into *buffer; returns 1 (allocation failure is fatal).
// Destroy accepts null, frees the record, clears *buffer and returns 1.
int RecvBuffer_Create(UDTRecvBufferStruct **buffer);
int RecvBuffer_Destroy(UDTRecvBufferStruct **buffer);
// Sizes the ring once (slots); a non-positive size or a second call is fatal.
int RecvBuffer_Open(UDTRecvBufferStruct *buffer, int size);
int RecvBuffer_GetReadable(const UDTRecvBufferStruct *buffer); // packets
int RecvBuffer_GetFree(const UDTRecvBufferStruct *buffer);     // slots
// Keeps *packet at offset slots past the acknowledged position and replaces
// *packet with a spare one (null when none: the caller makes one). 0, leaving
// *packet alone, when the offset is outside the free slots or the slot is taken.
int RecvBuffer_Store(UDTRecvBufferStruct *buffer, UDTPacketStruct **packet, int offset);
// 1 when the slot offset past the acknowledged position holds a packet.
int RecvBuffer_IsFilled(const UDTRecvBufferStruct *buffer, int offset);
// Moves the acknowledged position n slots (at most the free ones).
int RecvBuffer_Acknowledge(UDTRecvBufferStruct *buffer, int n);
// Copies up to length in-order acknowledged bytes; *count = bytes copied.
int RecvBuffer_Read(UDTRecvBufferStruct *buffer, void *data, int length, int *count);
// 1 when there are acknowledged bytes to read.
int RecvBuffer_HasData(const UDTRecvBufferStruct *buffer);
