// SHA-1 message digest (FIPS 180-1) for info hashes, piece checks, file
// verification and the handshake keys. Uses the processor's SHA instructions
// when it reports them, portable code otherwise (vector-scheduled on x86-64).
#pragma once

#include <cstdint>

struct Sha1Struct {
    const char *Tag;
    uint32_t LengthLow;  // message length in bits, low word
    uint32_t LengthHigh; // message length in bits, high word
    uint32_t H[5];       // chaining words H0..H4
    uint8_t Block[64];   // bytes of the block not yet transformed
    int Done;            // 1 after Sha1_Final
    uint8_t Digest[20];  // valid when Done is 1
    int ByteSwap;        // 1: block words are read big-endian
};

// Allocates and initialises a context into *sha1; returns 1.
int Sha1_Create(Sha1Struct **sha1);
// Resets a context in place (also one embedded in another record); returns 1.
int Sha1_Init(Sha1Struct *sha1);
// Adds `length` bytes (0 or more); returns 1. Adding to a finished context is a
// programming error and stops the program.
int Sha1_Update(Sha1Struct *sha1, const void *data, int64_t length);
// Pads, stores the 20-byte digest and marks the context done; returns 1. A
// second call keeps the digest.
int Sha1_Final(Sha1Struct *sha1);
// Copies the 20 digest bytes. Returns 0 and leaves the buffer unchanged when
// the size is below 20 or Sha1_Final has not run ("SHA1 must be generated first!").
int Sha1_GetDigest(Sha1Struct *sha1, uint8_t *buffer, int size);
// The digest as 40 lower-case hex digits, NUL-terminated; with `blanks` 1 a blank
// follows each of the first four 8-digit groups (44 characters). Returns 0 and
// leaves the buffer unchanged when the size is below 60 or before Sha1_Final.
int Sha1_GetHexString(Sha1Struct *sha1, int blanks, char *buffer, int size);
// Frees the context and clears *sha1; accepts null. Returns 1.
int Sha1_Destroy(Sha1Struct **sha1);

// The compression functions, slowest first: plain C (every processor), the
// message schedule in SSE2 vectors (x86-64), the processor's SHA instructions.
enum {
    SHA1_FORM_PLAIN = 1,
    SHA1_FORM_VECTOR = 2,
    SHA1_FORM_HARDWARE = 3,
};

// 1 when the processor's SHA instructions are in use.
int Sha1_HasHardware(void);
// Uses the fastest form present up to `form` (one of SHA1_FORM_*; another
// value is a programming error and stops the program), for benchmarks and
// tests; SHA1_FORM_HARDWARE restores the default. Returns the form now in use.
int Sha1_LimitForm(int form);
