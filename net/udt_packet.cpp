// The datagram record of the reliable UDP transport: storage, header field
// accessors and byte-order conversion. Tuned for reuse: one allocation per
// packet, converted in place around each send and receive.
#include "net/udt_packet.h"

#include <arpa/inet.h>

#include "core/zyl.h"

const char UDTPacketTag[] = "packet";

int Packet_Create(UDTPacketStruct **packet) {
    ZYL_CHECK_PTR(packet);
    *packet = nullptr;
    UDTPacketStruct *p = ZYL_NEW(UDTPacketStruct);
    p->Tag = UDTPacketTag;
    *packet = p;
    return 1;
}

int Packet_Destroy(UDTPacketStruct **packet) {
    ZYL_CHECK_PTR(packet);
    UDTPacketStruct *p = *packet;
    if (p == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(p, UDTPacketTag);
    if (p->Header != nullptr) {
        ZYL_FREE(p->Header, UDT_HEADER_SIZE + p->PayloadCapacity);
    }
    p->Tag = Zyl_DeadTag;
    ZYL_FREE(p, sizeof(UDTPacketStruct));
    *packet = nullptr;
    return 1;
}

int Packet_SetPayloadSize(UDTPacketStruct *packet, int capacity) {
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    if (capacity < 0) {
        ZYL_FATAL("Assertion failed (PayloadSize >= 0)\nPayload size (%d) is negative\n", capacity);
    }
    if (packet->Header != nullptr) {
        ZYL_FATAL("Assertion failed (Packet->Header == NULL)\nDo not call "
                  "Packet_SetPayloadSize() more then once\n");
    }
    packet->Header = static_cast<uint32_t *>(ZYL_ALLOC(UDT_HEADER_SIZE + capacity));
    packet->Payload = reinterpret_cast<uint8_t *>(packet->Header) + UDT_HEADER_SIZE;
    packet->PayloadCapacity = capacity;
    packet->PayloadLength = 0;
    return 1;
}

int Packet_IsControl(const UDTPacketStruct *packet) {
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    return (packet->Header[0] >> 31) & 1;
}

int Packet_GetControlType(const UDTPacketStruct *packet) {
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    return (int)((packet->Header[0] >> 16) & 0x7FFF);
}

void Packet_SetControlType(UDTPacketStruct *packet, int type) {
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    packet->Header[0] = ((uint32_t)type | 0x8000u) << 16;
}

int32_t Packet_GetSequence(const UDTPacketStruct *packet) {
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    return (int32_t)(packet->Header[0] & 0x7FFFFFFFu);
}

void Packet_SetSequence(UDTPacketStruct *packet, int32_t seq) {
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    packet->Header[0] = (uint32_t)seq & 0x7FFFFFFFu;
}

int32_t Packet_GetAckSequence(const UDTPacketStruct *packet) {
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    return (int32_t)packet->Header[1];
}

void Packet_SetAckSequence(UDTPacketStruct *packet, int32_t value) {
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    packet->Header[1] = (uint32_t)value;
}

int32_t Packet_GetDestination(const UDTPacketStruct *packet) {
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    return (int32_t)packet->Header[3];
}

void Packet_SetDestination(UDTPacketStruct *packet, int32_t id) {
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    packet->Header[3] = (uint32_t)id;
}

int32_t Packet_GetWord(const UDTPacketStruct *packet, int index) {
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    if (index < 0 || (index + 1) * 4 > packet->PayloadLength) {
        return 0;
    }
    return reinterpret_cast<const int32_t *>(packet->Payload)[index];
}

int Packet_GetReceiveSize(const UDTPacketStruct *packet) {
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    return UDT_HEADER_SIZE + packet->PayloadCapacity;
}

static void SwapWords(uint32_t *words, int count, int toNetwork) {
    for (int i = 0; i < count; i++) {
        words[i] = toNetwork ? htonl(words[i]) : ntohl(words[i]);
    }
}

void Packet_ToNetwork(UDTPacketStruct *packet) {
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    if (Packet_IsControl(packet)) {
        SwapWords(reinterpret_cast<uint32_t *>(packet->Payload), packet->PayloadLength / 4, 1);
    }
    SwapWords(packet->Header, 4, 1);
}

void Packet_ToHost(UDTPacketStruct *packet) {
    ZYL_CHECK_TAG(packet, UDTPacketTag);
    SwapWords(packet->Header, 4, 0);
    if (Packet_IsControl(packet)) {
        SwapWords(reinterpret_cast<uint32_t *>(packet->Payload), packet->PayloadLength / 4, 0);
    }
}
