// Buffered transport I/O for peer connections: a flat byte area per direction
// that grows (doubling for a connection that keeps it full, 4096-byte steps
// otherwise) up to a limit, drained from the front. Tuned
// for 16 KiB blocks: appends copy once, the cipher runs over each byte once,
// and draining only moves the start of the held bytes: what is left moves to
// the front when room at the end is wanted, once per fill instead of once per
// message read.
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
    buffer->Head = 0;
    buffer->Used = 0;
    buffer->Total = 0;
    buffer->Cipher = 0;
    buffer->Saturated = 0;
    Rc4_Init(buffer->Rc4);
    return 1;
}

// Free bytes after the held ones.
static int InternalRoom(const BufferIOStruct *b) {
    return b->Capacity - b->Head - b->Used;
}

// Moves the held bytes to the front of the area.
static void InternalCompact(BufferIOStruct *b) {
    if (b->Head == 0)
        return;
    if (b->Used > 0)
        memmove(b->Data, b->Data + b->Head, (size_t)b->Used);
    b->Head = 0;
}

// Drops n held bytes from the front.
static void InternalDrop(BufferIOStruct *b, int n) {
    b->Used -= n;
    b->Head = b->Used > 0 ? b->Head + n : 0;
}

// Moves the held bytes to the front of a new area of capacity bytes.
static void InternalResize(BufferIOStruct *b, int capacity) {
    uint8_t *data = static_cast<uint8_t *>(ZYL_ALLOC(capacity));
    if (b->Used > 0)
        memcpy(data, b->Data + b->Head, (size_t)b->Used);
    ZYL_FREE(b->Data, b->Capacity);
    b->Data = data;
    b->Capacity = capacity;
    b->Head = 0;
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
    if (InternalRoom(buffer) >= n)
        return 1;
    if (transport != nullptr && !BufferIO_Flush(buffer, transport))
        return 0;
    InternalCompact(buffer);
    if (buffer->Capacity - buffer->Used >= n)
        return 1;
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
    uint8_t *at = buffer->Data + buffer->Head + buffer->Used;
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
    const uint8_t *held = buffer->Data + buffer->Head;
    while (sent < buffer->Used) {
        const int offered = buffer->Used - sent;
        int written = 0;
        if (!Transport_Write(transport, held + sent, offered, &written)) {
            result = 0;
            break;
        }
        if (written <= 0)
            break;
        sent += written;
        // A short write filled the transport's send space: the next one would
        // only report "would block".
        if (written < offered)
            break;
    }
    if (sent > 0) {
        buffer->Total += sent;
        InternalDrop(buffer, sent);
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
    InternalDrop(buffer, n);
    return 1;
}

int BufferIO_Fill(BufferIOStruct *buffer, TransportStruct *transport) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    ZYL_CHECK_PTR(transport);
    // A previous fill that stopped on a full buffer means the peer sends
    // faster than one area's worth per pass: the area doubles (up to the
    // limit), so a fast connection soon reads large blocks per call instead
    // of a few KiB. Otherwise the held bytes move to the front once less than
    // half the area is free after them. At the limit a full buffer is not an
    // error: the reader drains it first.
    if (buffer->Saturated && buffer->Capacity < buffer->Limit) {
        const int doubled = buffer->Capacity * 2;
        InternalResize(buffer, doubled < buffer->Limit ? doubled : buffer->Limit);
    } else if (InternalRoom(buffer) < buffer->Capacity / 2) {
        InternalCompact(buffer);
    }
    if (InternalRoom(buffer) < BUFFERIO_GROWTH)
        InternalGrow(buffer);
    buffer->Saturated = 0;
    uint8_t *held = buffer->Data + buffer->Head;
    const int start = buffer->Used;
    int result = 1;
    while (InternalRoom(buffer) > 0) {
        const int asked = InternalRoom(buffer);
        int count = 0;
        if (!Transport_Read(transport, held + buffer->Used, asked, &count)) {
            result = 0;
            break;
        }
        if (count <= 0)
            break;
        buffer->Used += count;
        // A short read took what the transport held: asking again would only
        // report "would block" (one more system call per fill).
        if (count < asked)
            break;
    }
    if (result && InternalRoom(buffer) == 0)
        buffer->Saturated = 1;
    const int added = buffer->Used - start;
    if (added > 0) {
        if (buffer->Cipher)
            Rc4_Crypt(buffer->Rc4, held + start, added);
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
    *data = buffer->Data + buffer->Head;
    return 1;
}

int BufferIO_GetTotal(BufferIOStruct *buffer, int64_t *total) {
    ZYL_CHECK_TAG(buffer, BufferIOTag);
    ZYL_CHECK_PTR(total);
    *total = buffer->Total;
    return 1;
}
