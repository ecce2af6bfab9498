// A byte buffer between a peer connection and its transport, one per direction,
// with an optional RC4 stream applied as bytes enter it: appended output is
// encrypted, received input decrypted, so everything held is plain text.
#pragma once

#include <cstdint>

struct Rc4Struct;
struct TransportStruct;

enum {
    BUFFERIO_INITIAL_CAPACITY = 20480,
    BUFFERIO_GROWTH = 4096,
    // Largest capacity a buffer reaches unless given a smaller limit.
    BUFFERIO_MAX_CAPACITY = 167936,
    BUFFERIO_KEY_SIZE = 20, // a SHA-1 digest
};

extern const char BufferIOTag[]; // "BufferIOStruct"

struct BufferIOStruct {
    const char *Tag;
    uint8_t *Data;  // owned, Capacity bytes
    int Capacity;   // grows by BUFFERIO_GROWTH up to Limit
    int Head;       // bytes drained from the front of Data and not yet moved over
    int Used;       // bytes held from Data + Head
    int64_t Total;  // bytes sent (output) or received (input) since the last reset
    int Cipher;     // 1: bytes are run through Rc4 as they enter the buffer
    Rc4Struct *Rc4; // owned
    int Limit;      // largest capacity, BUFFERIO_INITIAL_CAPACITY..BUFFERIO_MAX_CAPACITY
    int Saturated;  // 1: the last fill stopped because the area was full
};

// Create: 1 and *buffer (capacity 20480, empty, cipher off, RC4 at the identity
// permutation, limit BUFFERIO_MAX_CAPACITY). Destroy frees it and clears
// *buffer; accepts a null *buffer. Both return 1.
int BufferIO_Create(BufferIOStruct **buffer);
int BufferIO_Destroy(BufferIOStruct **buffer);
// Caps the capacity (at least the current one, at most BUFFERIO_MAX_CAPACITY;
// anything else is a programming error). Returns 1.
int BufferIO_SetLimit(BufferIOStruct *buffer, int limit);
// Empty, totals 0, cipher off, RC4 back to the identity permutation (any key
// must be set again). The capacity stays; the next fill does not double it. Returns 1.
int BufferIO_Reset(BufferIOStruct *buffer);

// Makes n bytes free at the end: 1 when they already are; else flushes to the
// transport (when given) and grows by steps of 4096. 0 when the flush failed or
// the limit stands in the way; the held bytes are then as the flush left them.
int BufferIO_EnsureRoom(BufferIOStruct *buffer, int n, TransportStruct *transport);
// Makes room as EnsureRoom does, copies n bytes to the end and, with the cipher
// on, encrypts exactly those bytes. 0 (nothing appended) when there is no room.
int BufferIO_Append(BufferIOStruct *buffer, TransportStruct *transport, const void *bytes, int n);
// Sends from the start while the transport takes everything offered (a write
// taking less, or 0, ends the flush); what is left stays as the held bytes. 1
// also when nothing or only part was sent; 0 when the transport failed (the
// unsent bytes stay).
int BufferIO_Flush(BufferIOStruct *buffer, TransportStruct *transport);
// Append, then flush. 0 when either failed.
int BufferIO_Write(BufferIOStruct *buffer, TransportStruct *transport, const void *bytes, int n);
// Drops n bytes from the front without moving the rest (they move over once,
// when room at the end is wanted). 0 (nothing dropped) when n is negative or
// above the bytes held.
int BufferIO_Consume(BufferIOStruct *buffer, int n);
// Reads what the transport has into the free space, decrypting with the cipher
// on. Reads until a read returns less than asked (the transport is drained) or
// the space is full. The area doubles (up to the limit) before a fill that
// follows one which filled it, and grows once by 4096 when less than that is
// free. 0 when a read reported the transport closed or failed (the bytes read
// before are kept); 1 otherwise, also when nothing arrived.
int BufferIO_Fill(BufferIOStruct *buffer, TransportStruct *transport);

// Runs the RC4 key schedule with a 20-byte key over the current RC4 state.
// Returns 1.
int BufferIO_SetKey(BufferIOStruct *buffer, const uint8_t key[BUFFERIO_KEY_SIZE]);
// The buffer's RC4 state (owned by the buffer), for bytes processed by hand.
int BufferIO_GetCipher(BufferIOStruct *buffer, Rc4Struct **rc4);
// Cipher on (1) or off (0) for bytes entering the buffer from now on. Returns 1.
int BufferIO_SetCipher(BufferIOStruct *buffer, int on);

int BufferIO_GetUsed(BufferIOStruct *buffer, int *used);
int BufferIO_GetCapacity(BufferIOStruct *buffer, int *capacity);
// The held bytes start at *data (valid until the next call that changes the buffer).
int BufferIO_GetData(BufferIOStruct *buffer, uint8_t **data);
int BufferIO_GetTotal(BufferIOStruct *buffer, int64_t *total);
