// Arbitrary-precision integers for the key exchange of encrypted peer
// connections. Values are 32-bit words, least significant first, sized for
// 768-bit operands; arithmetic works word by word (exponentiation in Montgomery
// form over 64-bit limbs for odd moduli, with carry-chain instructions where the
// processor has them) so that a key exchange costs a fraction of a millisecond.
#pragma once

#include <cstdint>

struct BigIntStruct {
    const char *Tag;
    uint32_t *Words; // Capacity + 1 words, owned
    int Capacity;    // words, a multiple of 64 once grown
    int Length;      // used words; 0 means the value 0; the top used word is never 0
    int Negative;    // 1 when negative
};

// Creates the value 0 (no word array yet) into *value; returns 1.
int BigInt_Create(BigIntStruct **value);
// Frees the words and the record and clears *value; accepts null.
int BigInt_Destroy(BigIntStruct **value);
// Ensures room for `words` words (rounded up to a multiple of 64); keeps the value.
int BigInt_Expand(BigIntStruct *value, int words);
// Drops most significant zero words.
int BigInt_Normalise(BigIntStruct *value);
int BigInt_Zero(BigIntStruct *value);
int BigInt_SetWord(BigIntStruct *value, uint32_t word);
int BigInt_Copy(BigIntStruct *dst, const BigIntStruct *src);
// Compares magnitudes: the difference of the used lengths when they differ,
// else -1, 0 or 1 from the first differing word from the top.
int BigInt_Compare(const BigIntStruct *a, const BigIntStruct *b);
// 1 when the bit is set; 0 for a negative bit number or one beyond the value.
int BigInt_TestBit(const BigIntStruct *value, int bit);
int BigInt_WordBits(uint32_t word);
int BigInt_NumBits(const BigIntStruct *value);
int BigInt_NumBytes(const BigIntStruct *value);
// r = a + b over n words; returns the carry. r may alias a or b.
uint32_t BigInt_AddWords(uint32_t *r, const uint32_t *a, const uint32_t *b, int n);
// Magnitude sum and difference; the difference fails (0) when |a| < |b|.
int BigInt_UAdd(BigIntStruct *r, const BigIntStruct *a, const BigIntStruct *b);
int BigInt_USub(BigIntStruct *r, const BigIntStruct *a, const BigIntStruct *b);
// Signed sum and difference.
int BigInt_Add(BigIntStruct *r, const BigIntStruct *a, const BigIntStruct *b);
int BigInt_Sub(BigIntStruct *r, const BigIntStruct *a, const BigIntStruct *b);
// r = a shifted left by n bits (sign kept) / r = a shifted right by one bit.
int BigInt_ShiftLeft(BigIntStruct *r, const BigIntStruct *a, int n);
int BigInt_ShiftRight1(BigIntStruct *r, const BigIntStruct *a);
// r = a x b; t is scratch space. Any of r, a, b may alias.
int BigInt_Mul(BigIntStruct *r, BigIntStruct *t, const BigIntStruct *a, const BigIntStruct *b);
// r = |a| mod |m| (sign of a kept on a non-zero result); t is scratch space.
// Fails (0) when m is 0.
int BigInt_Mod(BigIntStruct *t, BigIntStruct *r, const BigIntStruct *a, const BigIntStruct *m);
// r = base ^ exponent mod modulus (non-negative operands); fails (0) when the
// modulus is 0. r may alias the operands.
int BigInt_ModExp(BigIntStruct *r, const BigIntStruct *base, const BigIntStruct *exponent,
                  const BigIntStruct *modulus);
// Test hook: 1 makes exponentiation use its portable rows even on a processor
// with MULX, ADCX and ADOX, 0 (the default) lets it choose. Returns the previous
// setting.
int BigInt_SetPortableRows(int on);
// value = the big-endian byte string (length 0 gives 0).
int BigInt_FromBytes(int length, BigIntStruct *value, const uint8_t *bytes);
// Writes the significant bytes big-endian; fails (0, nothing written) when size
// is smaller than BigInt_NumBytes. *count = bytes written.
int BigInt_ToBytes(uint8_t *buffer, const BigIntStruct *value, int size, int *count);
// Optional '-', then hexadecimal digits up to the first other character; an
// empty digit run fails.
int BigInt_FromHex(BigIntStruct *value, const char *text);
