// Buffered transport I/O for peer connections: a flat byte area per direction
// that grows in 4096-byte steps up to a limit, drained from the front. Tuned
// for 16 KiB blocks: appends copy once, the cipher runs over each byte once.
#include "engine/bufferio.h"

#include "core/rc4.h"
#include "core/zyl.h"
#include "engine/transport.h"

#include <cstring>

const char BufferIOTag[] = "BufferIOStruct";

int BufferIO_Create(BufferIOStruct **buffer) {
    ZYL_CHECK_PTR(buffer);
    *buffer = nullptr;
    BufferIOStruct *b = ZYL_NEW(BufferIOStruct);
    b->Tag = BufferIOTag;
    b->Capacity = BUFFERIO_INITIAL_CAPACITY;
    b->Data = static_cast<uint8_t *>(ZYL_ALLOC(b->Capacity));
    b->Limit = BUFFERIO_MAX_CAPACITY;
    Rc4_Create(&b->Rc4);
    *buffer = b;
    return 1;
}

int BufferIO_Destroy(BufferIOStruct **buffer) {
    ZYL_CHECK_PTR(buffer);
    BufferIOStruct *b = *buffer;
    if (b == nullptr)
        return 1;
    ZYL_CHECK_TAG(b, BufferIOTag);
    ZYL_FREE(b->Data, b->Capacity);
    Rc4_Destroy(&b->Rc4);
    b->Tag = Zyl_DeadTag;
    ZYL_FREE(b, sizeof(BufferIOStruct));
    *buffer = nullptr;
    return 1;
}

int BufferIO_SetLimit(BufferIOStruct *buffer, int limit) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    if (limit < buffer->Capacity || limit > BUFFERIO_MAX_CAPACITY) {
        ZYL_FATAL("BufferIO_SetLimit() limit out of range (%d, capacity %d)\n", limit,
                  buffer->Capacity);
    }
    buffer->Limit = limit;
    return 1;
}

int BufferIO_Reset(BufferIOStruct *buffer) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    buffer->Used = 0;
    buffer->Total = 0;
    buffer->Cipher = 0;
    Rc4_Init(buffer->Rc4);
    return 1;
}

// Moves the held bytes to a new area of capacity bytes.
static void InternalResize(BufferIOStruct *b, int capacity) {
    uint8_t *data = static_cast<uint8_t *>(ZYL_ALLOC(capacity));
    if (b->Used > 0)
        memcpy(data, b->Data, (size_t)b->Used);
    ZYL_FREE(b->Data, b->Capacity);
    b->Data = data;
    b->Capacity = capacity;
}

// One growth step (the last one may be short to land on the limit). 0 at the limit.
static int InternalGrow(BufferIOStruct *b) {
    if (b->Capacity >= b->Limit)
        return 0;
    int capacity = b->Capacity + BUFFERIO_GROWTH;
    InternalResize(b, capacity > b->Limit ? b->Limit : capacity);
    return 1;
}

int BufferIO_EnsureRoom(BufferIOStruct *buffer, int n, TransportStruct *transport) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    if (n < 0 || n > buffer->Limit)
        return 0;
    if (buffer->Capacity - buffer->Used >= n)
        return 1;
    if (transport != nullptr && !BufferIO_Flush(buffer, transport))
        return 0;
    if (buffer->Used + n > buffer->Limit)
        return 0;
    // Grown in one step to the size the steps would reach, copying the held bytes once.
    int capacity = buffer->Capacity;
    while (capacity - buffer->Used < n)
        capacity += BUFFERIO_GROWTH;
    if (capacity > buffer->Limit)
        capacity = buffer->Limit;
    if (capacity != buffer->Capacity)
        InternalResize(buffer, capacity);
    return 1;
}

int BufferIO_Append(BufferIOStruct *buffer, TransportStruct *transport, const void *bytes, int n) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    if (n == 0)
        return 1;
    ZYL_CHECK_PTR(bytes);
    if (!BufferIO_EnsureRoom(buffer, n, transport))
        return 0;
    uint8_t *at = buffer->Data + buffer->Used;
    memcpy(at, bytes, (size_t)n);
    if (buffer->Cipher)
        Rc4_Crypt(buffer->Rc4, at, n);
    buffer->Used += n;
    return 1;
}

int BufferIO_Flush(BufferIOStruct *buffer, TransportStruct *transport) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    ZYL_CHECK_PTR(transport);
    int sent = 0;
    int result = 1;
    while (sent < buffer->Used) {
        int written = 0;
        if (!Transport_Write(transport, buffer->Data + sent, buffer->Used - sent, &written)) {
            result = 0;
            break;
        }
        if (written <= 0)
            break;
        sent += written;
    }
    if (sent > 0) {
        buffer->Total += sent;
        buffer->Used -= sent;
        if (buffer->Used > 0)
            memmove(buffer->Data, buffer->Data + sent, (size_t)buffer->Used);
    }
    return result;
}

int BufferIO_Write(BufferIOStruct *buffer, TransportStruct *transport, const void *bytes, int n) {
    if (!BufferIO_Append(buffer, transport, bytes, n))
        return 0;
    return BufferIO_Flush(buffer, transport);
}

int BufferIO_Consume(BufferIOStruct *buffer, int n) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    if (n < 0 || n > buffer->Used)
        return 0;
    buffer->Used -= n;
    if (buffer->Used > 0)
        memmove(buffer->Data, buffer->Data + n, (size_t)buffer->Used);
    return 1;
}

int BufferIO_Fill(BufferIOStruct *buffer, TransportStruct *transport) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    ZYL_CHECK_PTR(transport);
    // At the limit a full buffer is not an error: the reader drains it first.
    if (buffer->Capacity - buffer->Used < BUFFERIO_GROWTH)
        InternalGrow(buffer);
    const int start = buffer->Used;
    int result = 1;
    while (buffer->Used < buffer->Capacity) {
        int count = 0;
        if (!Transport_Read(transport, buffer->Data + buffer->Used, buffer->Capacity - buffer->Used,
                            &count)) {
            result = 0;
            break;
        }
        if (count <= 0)
            break;
        buffer->Used += count;
    }
    const int added = buffer->Used - start;
    if (added > 0) {
        if (buffer->Cipher)
            Rc4_Crypt(buffer->Rc4, buffer->Data + start, added);
        buffer->Total += added;
    }
    return result;
}

int BufferIO_SetKey(BufferIOStruct *buffer, const uint8_t key[BUFFERIO_KEY_SIZE]) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    ZYL_CHECK_PTR(key);
    return Rc4_SetKey(buffer->Rc4, key, BUFFERIO_KEY_SIZE);
}

int BufferIO_GetCipher(BufferIOStruct *buffer, Rc4Struct **rc4) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    ZYL_CHECK_PTR(rc4);
    *rc4 = buffer->Rc4;
    return 1;
}

int BufferIO_SetCipher(BufferIOStruct *buffer, int on) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    buffer->Cipher = on ? 1 : 0;
    return 1;
}

int BufferIO_GetUsed(BufferIOStruct *buffer, int *used) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    ZYL_CHECK_PTR(used);
    *used = buffer->Used;
    return 1;
}

int BufferIO_GetCapacity(BufferIOStruct *buffer, int *capacity) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    ZYL_CHECK_PTR(capacity);
    *capacity = buffer->Capacity;
    return 1;
}

int BufferIO_GetData(BufferIOStruct *buffer, uint8_t **data) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    ZYL_CHECK_PTR(data);
    *data = buffer->Data;
    return 1;
}

int BufferIO_GetTotal(BufferIOStruct *buffer, int64_t *total) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    ZYL_CHECK_PTR(total);
    *total = buffer->Total;
    return 1;
}
