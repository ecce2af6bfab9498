// Send and receive buffers of a connected reliable-UDP socket. Both keep a ring of
// packet pointers (constant-time lookups for retransmission and stores) and a free
// list, so a steady transfer allocates nothing.
#include "net/udt_buffer.h"

#include <cstring>

#include "core/zyl.h"

const char UDTSendBufferTag[] = "sndbuf";
const char UDTRecvBufferTag[] = "rcvbuf";

static void FreeSpares(UDTPacketStruct *p) {
    while (p != nullptr) {
        UDTPacketStruct *next = p->Link;
        Packet_Destroy(&p);
        p = next;
    }
}

static UDTPacketStruct *TakeSpare(UDTPacketStruct **spare, int payloadSize) {
    UDTPacketStruct *p = *spare;
    if (p != nullptr) {
        *spare = p->Link;
        p->Link = nullptr;
        p->PayloadLength = 0;
        return p;
    }
    Packet_Create(&p);
    Packet_SetPayloadSize(p, payloadSize);
    return p;
}

int SendBuffer_Create(UDTSendBufferStruct **buffer) {
    ZYL_CHECK_PTR(buffer);
    *buffer = nullptr;
    UDTSendBufferStruct *b = ZYL_NEW(UDTSendBufferStruct);
    b->Tag = UDTSendBufferTag;
    *buffer = b;
    return 1;
}

int SendBuffer_Destroy(UDTSendBufferStruct **buffer) {
    ZYL_CHECK_PTR(buffer);
    UDTSendBufferStruct *b = *buffer;
    if (b == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(b, UDTSendBufferTag);
    for (int i = 0; i < b->Count; i++) {
        Packet_Destroy(&b->Ring[(b->Head + i) % b->Capacity]);
    }
    FreeSpares(b->Spare);
    if (b->Ring != nullptr) {
        ZYL_FREE(b->Ring, sizeof(UDTPacketStruct *) * (size_t)b->Capacity);
    }
    b->Tag = Zyl_DeadTag;
    ZYL_FREE(b, sizeof(UDTSendBufferStruct));
    *buffer = nullptr;
    return 1;
}

int SendBuffer_Open(UDTSendBufferStruct *buffer, int payloadSize, int limit) {
    ZYL_CHECK_TAG(buffer, UDTSendBufferTag);
    if (payloadSize <= 0) {
        ZYL_FATAL("Assertion failed (PayloadSize > 0)\nPayloadSize (%d) is not positive\n",
                  payloadSize);
    }
    if (limit <= 0) {
        ZYL_FATAL("Assertion failed (Limit > 0)\nLimit (%d) is not positive\n", limit);
    }
    if (buffer->PayloadSize != 0) {
        ZYL_FATAL("Assertion failed (SendBuffer->PayloadSize == 0)\nDo not call SendBuffer_Open() "
                  "more then once\n");
    }
    buffer->PayloadSize = payloadSize;
    buffer->Capacity = limit / payloadSize < 1 ? 1 : limit / payloadSize;
    buffer->Ring = static_cast<UDTPacketStruct **>(
        ZYL_ALLOC(sizeof(UDTPacketStruct *) * (size_t)buffer->Capacity));
    return 1;
}

static UDTPacketStruct *Newest(const UDTSendBufferStruct *b) {
    return b->Count ? b->Ring[(b->Head + b->Count - 1) % b->Capacity] : nullptr;
}

int SendBuffer_Append(UDTSendBufferStruct *buffer, const void *data, int length, int *taken,
                      int *becameSendable) {
    ZYL_CHECK_TAG(buffer, UDTSendBufferTag);
    ZYL_CHECK_PTR(taken);
    ZYL_CHECK_PTR(becameSendable);
    *taken = 0;
    *becameSendable = 0;
    const uint8_t *src = static_cast<const uint8_t *>(data);
    int hadUnsent = buffer->Unsent < buffer->Count;
    int done = 0;
    UDTPacketStruct *last = Newest(buffer);
    if (last != nullptr && hadUnsent && last->PayloadLength < buffer->PayloadSize) {
        int n = buffer->PayloadSize - last->PayloadLength;
        n = n < length ? n : length;
        memcpy(last->Payload + last->PayloadLength, src, (size_t)n);
        last->PayloadLength += n;
        done = n;
    }
    while (done < length && buffer->Count < buffer->Capacity) {
        UDTPacketStruct *p = TakeSpare(&buffer->Spare, buffer->PayloadSize);
        int n = length - done < buffer->PayloadSize ? length - done : buffer->PayloadSize;
        memcpy(p->Payload, src + done, (size_t)n);
        p->PayloadLength = n;
        buffer->Ring[(buffer->Head + buffer->Count) % buffer->Capacity] = p;
        buffer->Count++;
        done += n;
    }
    buffer->Bytes += done;
    *taken = done;
    *becameSendable = !hadUnsent && buffer->Unsent < buffer->Count;
    return 1;
}

int64_t SendBuffer_GetRoom(const UDTSendBufferStruct *buffer) {
    ZYL_CHECK_TAG(buffer, UDTSendBufferTag);
    int64_t room = (int64_t)(buffer->Capacity - buffer->Count) * buffer->PayloadSize;
    UDTPacketStruct *last = Newest(buffer);
    if (last != nullptr && buffer->Unsent < buffer->Count) {
        room += buffer->PayloadSize - last->PayloadLength;
    }
    return room;
}

int64_t SendBuffer_GetPending(const UDTSendBufferStruct *buffer) {
    ZYL_CHECK_TAG(buffer, UDTSendBufferTag);
    return buffer->Bytes;
}

UDTPacketStruct *SendBuffer_NextUnsent(UDTSendBufferStruct *buffer) {
    ZYL_CHECK_TAG(buffer, UDTSendBufferTag);
    if (buffer->Unsent >= buffer->Count) {
        return nullptr;
    }
    return buffer->Ring[(buffer->Head + buffer->Unsent++) % buffer->Capacity];
}

UDTPacketStruct *SendBuffer_GetSent(const UDTSendBufferStruct *buffer, int n) {
    ZYL_CHECK_TAG(buffer, UDTSendBufferTag);
    if (n < 0 || n >= buffer->Unsent) {
        return nullptr;
    }
    return buffer->Ring[(buffer->Head + n) % buffer->Capacity];
}

int SendBuffer_Release(UDTSendBufferStruct *buffer, int n) {
    ZYL_CHECK_TAG(buffer, UDTSendBufferTag);
    n = n < buffer->Count ? n : buffer->Count;
    for (int i = 0; i < n; i++) {
        UDTPacketStruct *p = buffer->Ring[buffer->Head];
        buffer->Ring[buffer->Head] = nullptr;
        buffer->Head = (buffer->Head + 1) % buffer->Capacity;
        buffer->Bytes -= p->PayloadLength;
        p->Link = buffer->Spare;
        buffer->Spare = p;
    }
    buffer->Count -= n;
    buffer->Unsent = buffer->Unsent > n ? buffer->Unsent - n : 0;
    return 1;
}

int RecvBuffer_Create(UDTRecvBufferStruct **buffer) {
    ZYL_CHECK_PTR(buffer);
    *buffer = nullptr;
    UDTRecvBufferStruct *b = ZYL_NEW(UDTRecvBufferStruct);
    b->Tag = UDTRecvBufferTag;
    *buffer = b;
    return 1;
}

int RecvBuffer_Destroy(UDTRecvBufferStruct **buffer) {
    ZYL_CHECK_PTR(buffer);
    UDTRecvBufferStruct *b = *buffer;
    if (b == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(b, UDTRecvBufferTag);
    for (int i = 0; i < b->Size; i++) {
        Packet_Destroy(&b->Slots[i]);
    }
    FreeSpares(b->Spare);
    if (b->Slots != nullptr) {
        ZYL_FREE(b->Slots, sizeof(UDTPacketStruct *) * (size_t)b->Size);
    }
    b->Tag = Zyl_DeadTag;
    ZYL_FREE(b, sizeof(UDTRecvBufferStruct));
    *buffer = nullptr;
    return 1;
}

int RecvBuffer_Open(UDTRecvBufferStruct *buffer, int size) {
    ZYL_CHECK_TAG(buffer, UDTRecvBufferTag);
    if (size <= 0) {
        ZYL_FATAL("Assertion failed (BufSize > 0)\nBufSize (%d) is not positive\n", size);
    }
    if (buffer->Size != 0) {
        ZYL_FATAL("Assertion failed (RecvBuffer->Size == 0)\nDo not call RecvBuffer_Open() more "
                  "then once\n");
    }
    buffer->Size = size;
    buffer->Slots =
        static_cast<UDTPacketStruct **>(ZYL_ALLOC(sizeof(UDTPacketStruct *) * (size_t)size));
    return 1;
}

int RecvBuffer_GetReadable(const UDTRecvBufferStruct *buffer) {
    ZYL_CHECK_TAG(buffer, UDTRecvBufferTag);
    return (buffer->AckPos - buffer->ReadPos + buffer->Size) % buffer->Size;
}

int RecvBuffer_GetFree(const UDTRecvBufferStruct *buffer) {
    ZYL_CHECK_TAG(buffer, UDTRecvBufferTag);
    return (buffer->ReadPos - buffer->AckPos - 1 + 2 * buffer->Size) % buffer->Size;
}

int RecvBuffer_IsFilled(const UDTRecvBufferStruct *buffer, int offset) {
    ZYL_CHECK_TAG(buffer, UDTRecvBufferTag);
    if (offset < 0 || offset >= RecvBuffer_GetFree(buffer)) {
        return 0;
    }
    return buffer->Slots[(buffer->AckPos + offset) % buffer->Size] != nullptr;
}

int RecvBuffer_Store(UDTRecvBufferStruct *buffer, UDTPacketStruct **packet, int offset) {
    ZYL_CHECK_TAG(buffer, UDTRecvBufferTag);
    ZYL_CHECK_PTR(packet);
    ZYL_CHECK_TAG(*packet, UDTPacketTag);
    if (offset < 0 || offset >= RecvBuffer_GetFree(buffer)) {
        return 0;
    }
    int slot = (buffer->AckPos + offset) % buffer->Size;
    if (buffer->Slots[slot] != nullptr) {
        return 0;
    }
    buffer->Slots[slot] = *packet;
    UDTPacketStruct *spare = buffer->Spare;
    if (spare != nullptr) {
        buffer->Spare = spare->Link;
        spare->Link = nullptr;
    }
    *packet = spare;
    return 1;
}

int RecvBuffer_Acknowledge(UDTRecvBufferStruct *buffer, int n) {
    ZYL_CHECK_TAG(buffer, UDTRecvBufferTag);
    int room = RecvBuffer_GetFree(buffer);
    n = n < room ? n : room;
    if (n > 0) {
        buffer->AckPos = (buffer->AckPos + n) % buffer->Size;
    }
    return 1;
}

int RecvBuffer_HasData(const UDTRecvBufferStruct *buffer) {
    ZYL_CHECK_TAG(buffer, UDTRecvBufferTag);
    return buffer->ReadPos != buffer->AckPos;
}

int RecvBuffer_Read(UDTRecvBufferStruct *buffer, void *data, int length, int *count) {
    ZYL_CHECK_TAG(buffer, UDTRecvBufferTag);
    ZYL_CHECK_PTR(count);
    *count = 0;
    uint8_t *dst = static_cast<uint8_t *>(data);
    int done = 0;
    while (done < length && buffer->ReadPos != buffer->AckPos) {
        UDTPacketStruct *p = buffer->Slots[buffer->ReadPos];
        if (p != nullptr) {
            int n = p->PayloadLength - buffer->ReadOffset;
            n = n < length - done ? n : length - done;
            memcpy(dst + done, p->Payload + buffer->ReadOffset, (size_t)n);
            done += n;
            buffer->ReadOffset += n;
            if (buffer->ReadOffset < p->PayloadLength) {
                break;
            }
            buffer->Slots[buffer->ReadPos] = nullptr;
            p->Link = buffer->Spare;
            buffer->Spare = p;
        }
        buffer->ReadOffset = 0;
        buffer->ReadPos = (buffer->ReadPos + 1) % buffer->Size;
    }
    *count = done;
    return 1;
}
