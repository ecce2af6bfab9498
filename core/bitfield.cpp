// Bit fields of piece flags with a cached count of set bits. Bulk operations
// work a byte at a time and recount with a table-free popcount; spare bits of
// the last byte are kept clear so the bytes can go on the wire as they are.
#include "core/bitfield.h"

#include "core/zyl.h"

#include <cstring>

static const char kBitfieldTag[] = "bitfield";

// Mask of the real bits of the last byte (0xFF when the bits fill it).
static uint8_t Bitfield_LastByteMask(const BitfieldStruct *field) {
    const int used = field->Bits & 7;
    return used == 0 ? (uint8_t)0xFF : (uint8_t)(0xFF << (8 - used));
}

static void Bitfield_ClearSpareBits(BitfieldStruct *field) {
    if (field->ByteLength > 0) {
        field->Bytes[field->ByteLength - 1] &= Bitfield_LastByteMask(field);
    }
}

// Counts the set bits; the spare bits are clear, so whole bytes can be counted.
static void Bitfield_Recount(BitfieldStruct *field) {
    int count = 0;
    int at = 0;
    for (; at + 8 <= field->ByteLength; at += 8) {
        uint64_t word;
        memcpy(&word, field->Bytes + at, 8);
        count += __builtin_popcountll(word);
    }
    for (; at < field->ByteLength; at++) {
        count += __builtin_popcount(field->Bytes[at]);
    }
    field->SetCount = count;
}

// Debug builds run the full check once per about as many changes as it reads
// bytes, so that checking keeps single-bit work O(1) amortised.
static void Bitfield_DebugCheck(BitfieldStruct *field) {
#ifndef NDEBUG
    if (--field->CheckCountdown <= 0)
        Bitfield_CheckInvariants(field);
#else
    (void)field;
#endif
}

static void Bitfield_CheckIndex(const BitfieldStruct *field, int index) {
    if (index < 0 || index >= field->Bits) {
        ZYL_FATAL("Bit outside boundary %d >= %d\n", index, field->Bits);
    }
}

static void Bitfield_CheckSameSize(const BitfieldStruct *field, const BitfieldStruct *other,
                                   const char *what) {
    if (field->Bits != other->Bits) {
        ZYL_FATAL("Bit mismatch on %s (%d != %d)\n", what, field->Bits, other->Bits);
    }
}

int Bitfield_Create(BitfieldStruct **field) {
    ZYL_CHECK_PTR(field);
    *field = nullptr;
    BitfieldStruct *created = ZYL_NEW(BitfieldStruct);
    created->Tag = kBitfieldTag;
    *field = created;
    return 1;
}

int Bitfield_Destroy(BitfieldStruct **field) {
    ZYL_CHECK_PTR(field);
    BitfieldStruct *victim = *field;
    if (victim == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(victim, kBitfieldTag);
    if (victim->Bytes != nullptr) {
        ZYL_FREE(victim->Bytes, victim->ByteLength);
    }
    victim->Tag = Zyl_DeadTag;
    ZYL_FREE(victim, sizeof(BitfieldStruct));
    *field = nullptr;
    return 1;
}

int Bitfield_SetSize(BitfieldStruct *field, int bits) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    if (bits < 0) {
        ZYL_FATAL("Bitfield_SetSize() negative size %d\n", bits);
    }
    if (bits == field->Bits) {
        return 1;
    }
    if (field->Bytes != nullptr) {
        ZYL_FREE(field->Bytes, field->ByteLength);
    }
    field->SetCount = 0;
    field->Bits = bits;
    field->ByteLength = (int)(((int64_t)bits + 7) / 8);
    if (field->ByteLength > 0) {
        field->Bytes = static_cast<uint8_t *>(ZYL_ALLOC(field->ByteLength));
    }
    Bitfield_DebugCheck(field);
    return 1;
}

int Bitfield_GetSize(BitfieldStruct *field, int *bits) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    ZYL_CHECK_PTR(bits);
    *bits = field->Bits;
    return 1;
}

int Bitfield_GetByteLength(BitfieldStruct *field, int *length) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    ZYL_CHECK_PTR(length);
    *length = field->ByteLength;
    return 1;
}

int Bitfield_GetSetCount(BitfieldStruct *field, int *count) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    ZYL_CHECK_PTR(count);
    *count = field->SetCount;
    return 1;
}

int Bitfield_GetUnsetCount(BitfieldStruct *field, int *count) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    ZYL_CHECK_PTR(count);
    *count = field->Bits - field->SetCount;
    return 1;
}

int Bitfield_Set(BitfieldStruct *field, int index) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    Bitfield_CheckIndex(field, index);
    const uint8_t mask = (uint8_t)(0x80 >> (index & 7));
    uint8_t *byte = &field->Bytes[index >> 3];
    if ((*byte & mask) == 0) {
        *byte |= mask;
        field->SetCount++;
    }
    Bitfield_DebugCheck(field);
    return 1;
}

int Bitfield_Clear(BitfieldStruct *field, int index) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    Bitfield_CheckIndex(field, index);
    const uint8_t mask = (uint8_t)(0x80 >> (index & 7));
    uint8_t *byte = &field->Bytes[index >> 3];
    if ((*byte & mask) != 0) {
        *byte &= (uint8_t)~mask;
        field->SetCount--;
    }
    Bitfield_DebugCheck(field);
    return 1;
}

int Bitfield_Test(BitfieldStruct *field, int index) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    Bitfield_CheckIndex(field, index);
    return (field->Bytes[index >> 3] & (0x80 >> (index & 7))) != 0 ? 1 : 0;
}

int Bitfield_SetAll(BitfieldStruct *field) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    if (field->ByteLength > 0) {
        memset(field->Bytes, 0xFF, (size_t)field->ByteLength);
        Bitfield_ClearSpareBits(field);
    }
    field->SetCount = field->Bits;
    Bitfield_DebugCheck(field);
    return 1;
}

int Bitfield_ClearAll(BitfieldStruct *field) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    if (field->ByteLength > 0) {
        memset(field->Bytes, 0, (size_t)field->ByteLength);
    }
    field->SetCount = 0;
    Bitfield_DebugCheck(field);
    return 1;
}

int Bitfield_Invert(BitfieldStruct *field) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    for (int k = 0; k < field->ByteLength; k++) {
        field->Bytes[k] = (uint8_t)~field->Bytes[k];
    }
    Bitfield_ClearSpareBits(field);
    field->SetCount = field->Bits - field->SetCount;
    Bitfield_DebugCheck(field);
    return 1;
}

int Bitfield_IsComplete(BitfieldStruct *field) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    return field->SetCount == field->Bits ? 1 : 0;
}

int Bitfield_IsEmpty(BitfieldStruct *field) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    return field->SetCount < 1 ? 1 : 0;
}

static void Bitfield_CheckLength(const BitfieldStruct *field, int length, const char *what) {
    if (length != field->ByteLength) {
        ZYL_FATAL("Bitfield_%s() length mismatch (%d != %d)\n", what, length, field->ByteLength);
    }
}

int Bitfield_GetBytes(BitfieldStruct *field, uint8_t *buffer, int length) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    Bitfield_CheckLength(field, length, "GetBytes");
    if (length > 0) {
        ZYL_CHECK_PTR(buffer);
        memcpy(buffer, field->Bytes, (size_t)length);
    }
    return 1;
}

int Bitfield_SetBytes(BitfieldStruct *field, const uint8_t *buffer, int length) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    Bitfield_CheckLength(field, length, "SetBytes");
    if (length > 0) {
        ZYL_CHECK_PTR(buffer);
        memcpy(field->Bytes, buffer, (size_t)length);
    }
    Bitfield_ClearSpareBits(field);
    Bitfield_Recount(field);
    Bitfield_DebugCheck(field);
    return 1;
}

int Bitfield_Copy(BitfieldStruct *field, BitfieldStruct *source) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    ZYL_CHECK_TAG(source, kBitfieldTag);
    if (field == source) {
        return 1;
    }
    Bitfield_SetSize(field, source->Bits);
    if (field->ByteLength > 0) {
        memcpy(field->Bytes, source->Bytes, (size_t)field->ByteLength);
    }
    field->SetCount = source->SetCount;
    Bitfield_DebugCheck(field);
    return 1;
}

int Bitfield_Combine(BitfieldStruct *field, BitfieldStruct *other) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    ZYL_CHECK_TAG(other, kBitfieldTag);
    Bitfield_CheckSameSize(field, other, "combine");
    for (int k = 0; k < field->ByteLength; k++) {
        field->Bytes[k] |= other->Bytes[k];
    }
    Bitfield_Recount(field);
    Bitfield_DebugCheck(field);
    return 1;
}

int Bitfield_Except(BitfieldStruct *field, BitfieldStruct *other) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    ZYL_CHECK_TAG(other, kBitfieldTag);
    Bitfield_CheckSameSize(field, other, "except");
    for (int k = 0; k < field->ByteLength; k++) {
        field->Bytes[k] &= (uint8_t)~other->Bytes[k];
    }
    Bitfield_Recount(field);
    Bitfield_DebugCheck(field);
    return 1;
}

int Bitfield_Intersect(BitfieldStruct *field, BitfieldStruct *other) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    ZYL_CHECK_TAG(other, kBitfieldTag);
    Bitfield_CheckSameSize(field, other, "intersect");
    for (int k = 0; k < field->ByteLength; k++) {
        field->Bytes[k] &= other->Bytes[k];
    }
    Bitfield_Recount(field);
    Bitfield_DebugCheck(field);
    return 1;
}

int Bitfield_CheckInvariants(BitfieldStruct *field) {
    ZYL_CHECK_TAG(field, kBitfieldTag);
    const int cached = field->SetCount;
    const int spare = field->ByteLength > 0
                          ? field->Bytes[field->ByteLength - 1] & ~Bitfield_LastByteMask(field)
                          : 0;
    Bitfield_Recount(field);
    if (field->SetCount != cached || spare != 0 || field->ByteLength != (field->Bits + 7) / 8) {
        ZYL_FATAL("Bitfield count mismatch (%d != %d, spare 0x%x)\n", cached, field->SetCount,
                  spare);
    }
    field->CheckCountdown = field->ByteLength + 1;
    return 1;
}
