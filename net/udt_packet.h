// One datagram of the reliable UDP transport: a 16-byte header of four 32-bit
// words (host order in memory, big-endian on the wire) followed directly by the
// payload, in one allocation so that a send or receive is a single system call.
#pragma once

#include <cstdint>

extern const char UDTPacketTag[]; // "packet"

enum {
    UDT_HEADER_SIZE = 16,
    UDT_CTRL_HANDSHAKE = 0,
    UDT_CTRL_KEEPALIVE = 1,
    UDT_CTRL_ACK = 2,
    UDT_CTRL_NAK = 3,
    UDT_CTRL_SHUTDOWN = 5,
    UDT_CTRL_ACK2 = 6,
};

struct UDTPacketStruct {
    const char *Tag;
    uint32_t *Header;      // 16 bytes, then PayloadCapacity bytes of payload
    uint8_t *Payload;      // Header + 16 bytes
    int PayloadLength;     // bytes of payload in use
    int PayloadCapacity;   // bytes of payload room; 0 until Packet_SetPayloadSize
    UDTPacketStruct *Link; // chain used by the buffers' free lists
};

// Allocates an empty packet (no storage yet) into *packet; returns 1.
int Packet_Create(UDTPacketStruct **packet);
// Frees header and payload and the record; clears *packet. Accepts null. Returns 1.
int Packet_Destroy(UDTPacketStruct **packet);
// Allocates header and payload storage once; a negative size or a second call is fatal.
int Packet_SetPayloadSize(UDTPacketStruct *packet, int capacity);

int Packet_IsControl(const UDTPacketStruct *packet);
int Packet_GetControlType(const UDTPacketStruct *packet);
// Word 0 = (type | 0x8000) << 16: marks the packet as control and clears bits 15-0.
void Packet_SetControlType(UDTPacketStruct *packet, int type);
int32_t Packet_GetSequence(const UDTPacketStruct *packet);     // bits 30-0 of word 0
void Packet_SetSequence(UDTPacketStruct *packet, int32_t seq); // data packet: bit 31 clear
int32_t Packet_GetAckSequence(const UDTPacketStruct *packet);
void Packet_SetAckSequence(UDTPacketStruct *packet, int32_t value);
int32_t Packet_GetDestination(const UDTPacketStruct *packet);
void Packet_SetDestination(UDTPacketStruct *packet, int32_t id);
// Payload word i of a control packet (host order); 0 beyond the payload.
int32_t Packet_GetWord(const UDTPacketStruct *packet, int index);
// Bytes a receive may fill: header plus payload capacity.
int Packet_GetReceiveSize(const UDTPacketStruct *packet);

// Header words (and control payload words) to network order and back. The
// control test is made before converting to network order and after converting
// back, so a packet survives any number of round trips.
void Packet_ToNetwork(UDTPacketStruct *packet);
void Packet_ToHost(UDTPacketStruct *packet);
