// R250 shift-register pseudo-random generator for port choices, peer ids,
// tokens and shuffles. Created generators are seeded from the kernel's random
// source; Random_Seed gives a repeatable sequence where a protocol needs one.
#pragma once

#include <cstdint>

enum { RANDOM_TABLE_SIZE = 250 };

struct RandomStruct {
    const char *Tag;
    uint32_t Table[RANDOM_TABLE_SIZE];
    int Index;         // 0..249
    uint32_t LastSeed; // last value given to Random_Seed
    int State;         // seeding generator state, below 65071
    int Multiplier;    // seeding generator multiplier (5221)
};

// Allocates a generator into *random and seeds it from getrandom(); returns 1.
// Callers need not seed it again (seeding with the clock makes ids guessable).
int Random_Create(RandomStruct **random);
// Repeatable seeding: the same seed always gives the same sequence. Returns 1.
int Random_Seed(RandomStruct *random, uint32_t seed);
// Refills the whole table from getrandom(); returns 1 (the kernel source does
// not fail for these sizes; a failure is fatal).
int Random_SeedFromSystem(RandomStruct *random);
// The next 32-bit value.
uint32_t Random_Next(RandomStruct *random);
// Frees the generator and clears *random; accepts null. Returns 1.
int Random_Destroy(RandomStruct **random);
