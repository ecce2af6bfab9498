// RC4 stream cipher for message stream encryption. One context encrypts one
// continuous stream: i, j and S carry over between calls.
#pragma once

#include <cstdint>

struct Rc4Struct {
    const char *Tag;
    uint8_t I;
    uint8_t J;
    uint8_t S[256];
    int KeyLength;    // 1..255
    uint8_t Key[256]; // copy of the last key
};

// Allocates a context into *rc4 with S the identity, i = j = 0; returns 1.
int Rc4_Create(Rc4Struct **rc4);
// S back to the identity permutation, i = j = 0; returns 1.
int Rc4_Init(Rc4Struct *rc4);
// Runs the key schedule over the current S (i and j untouched); returns 1. A
// length of 0 or above 255 is a programming error and stops the program.
int Rc4_SetKey(Rc4Struct *rc4, const void *key, int length);
// XORs `length` bytes in place with the next key-stream bytes; returns 1.
int Rc4_Crypt(Rc4Struct *rc4, void *buffer, int64_t length);
// Frees the context and clears *rc4; accepts null. Returns 1.
int Rc4_Destroy(Rc4Struct **rc4);
