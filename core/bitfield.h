// Numbered flags (which pieces a download or a peer has) with a running count of
// set bits. Bit k is mask 0x80 >> (k % 8) of byte k / 8, as the peer wire
// protocol sends it; spare bits past the last index are always kept clear.
#pragma once

#include <cstdint>

struct BitfieldStruct {
    const char *Tag;
    uint8_t *Bytes; // owned, tracked allocator; null for 0 bits
    int ByteLength; // (Bits + 7) / 8
    int Bits;
    int SetCount;       // set bits among 0..Bits-1
    int CheckCountdown; // debug builds: changes left before the next full check
};

// An empty field (0 bits) into *field; returns 1.
int Bitfield_Create(BitfieldStruct **field);
// Frees the bytes and the record, clears *field; accepts null. Returns 1.
int Bitfield_Destroy(BitfieldStruct **field);
// Resizes to `bits` (0 or more) with every bit clear; earlier contents are not
// kept. No change when the size is the same. Returns 1.
int Bitfield_SetSize(BitfieldStruct *field, int bits);
int Bitfield_GetSize(BitfieldStruct *field, int *bits);
int Bitfield_GetByteLength(BitfieldStruct *field, int *length);
int Bitfield_GetSetCount(BitfieldStruct *field, int *count);
int Bitfield_GetUnsetCount(BitfieldStruct *field, int *count);
// Set, clear and test one bit. An index below 0 or at or past the size stops the
// program ("Bit outside boundary %d >= %d"). Test returns 1 when set, else 0;
// Set and Clear return 1.
int Bitfield_Set(BitfieldStruct *field, int index);
int Bitfield_Clear(BitfieldStruct *field, int index);
int Bitfield_Test(BitfieldStruct *field, int index);
// Every real bit set / clear / inverted; spare bits stay clear. Return 1.
int Bitfield_SetAll(BitfieldStruct *field);
int Bitfield_ClearAll(BitfieldStruct *field);
int Bitfield_Invert(BitfieldStruct *field);
// 1 when every bit is set (a field of 0 bits is complete), else 0.
int Bitfield_IsComplete(BitfieldStruct *field);
// 1 when no bit is set, else 0.
int Bitfield_IsEmpty(BitfieldStruct *field);
// Copy the bytes out / in; `length` must equal the byte length (fatal
// otherwise). SetBytes clears the spare bits of the last byte and recounts.
// Return 1.
int Bitfield_GetBytes(BitfieldStruct *field, uint8_t *buffer, int length);
int Bitfield_SetBytes(BitfieldStruct *field, const uint8_t *buffer, int length);
// Makes the field an exact copy of the source (size, bits, count); returns 1.
int Bitfield_Copy(BitfieldStruct *field, BitfieldStruct *source);
// field |= other, field &= ~other, field &= other. Sizes must be equal (fatal
// otherwise). Return 1.
int Bitfield_Combine(BitfieldStruct *field, BitfieldStruct *other);
int Bitfield_Except(BitfieldStruct *field, BitfieldStruct *other);
int Bitfield_Intersect(BitfieldStruct *field, BitfieldStruct *other);
// Checks that the cached count matches the bits, the byte length matches the size
// and the spare bits are clear; stops the program when not ("Bitfield count
// mismatch ..."). Returns 1. Debug builds also run it by themselves.
int Bitfield_CheckInvariants(BitfieldStruct *field);
