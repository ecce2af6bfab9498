// R250 generator (Kirkpatrick-Stoll, taps 103 and 250): one XOR per value. New
// generators take their whole table from getrandom(); Random_Seed rebuilds the
// table from a 32-bit seed with a small LCG so peers can repeat a sequence.
#include "core/random.h"

#include "core/zyl.h"

#include <cerrno>
#include <cstring>
#include <sys/random.h>

static const char kRandomTag[] = "random";

enum { RANDOM_LCG_MODULUS = 65071, RANDOM_LCG_MULTIPLIER = 5221, RANDOM_LCG_START = 1245 };

// One step of the seeding generator; yields the new 16-bit state.
static int Random_Lcg(RandomStruct *random) {
    const uint32_t t = (uint32_t)random->Multiplier * (uint32_t)random->State + 1u;
    random->State = (int)(t % RANDOM_LCG_MODULUS);
    return random->State;
}

int Random_Create(RandomStruct **random) {
    ZYL_CHECK_PTR(random);
    *random = nullptr;
    RandomStruct *generator = ZYL_NEW(RandomStruct);
    generator->Tag = kRandomTag;
    generator->State = RANDOM_LCG_START;
    generator->Multiplier = RANDOM_LCG_MULTIPLIER;
    Random_SeedFromSystem(generator);
    *random = generator;
    return 1;
}

int Random_Seed(RandomStruct *random, uint32_t seed) {
    ZYL_CHECK_TAG(random, kRandomTag);
    random->LastSeed = seed;
    random->State = (int)(((seed & 0xFFFFu) + (seed >> 16)) % RANDOM_LCG_MODULUS);
    random->Index = 0;
    for (int k = 0; k < RANDOM_TABLE_SIZE; k++) {
        const uint32_t low = (uint32_t)Random_Lcg(random);
        const uint32_t high = (uint32_t)Random_Lcg(random);
        random->Table[k] = high * 65536u + low;
    }
    return 1;
}

// Fills `size` bytes from the kernel's random source (blocking only before the
// pool is first initialised at boot).
static void Random_FillFromSystem(void *buffer, size_t size) {
    uint8_t *bytes = static_cast<uint8_t *>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t got = getrandom(bytes + done, size - done, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            ZYL_FATAL("Random_SeedFromSystem() getrandom failed %d\n", errno);
        }
        done += (size_t)got;
    }
}

int Random_SeedFromSystem(RandomStruct *random) {
    ZYL_CHECK_TAG(random, kRandomTag);
    Random_FillFromSystem(random->Table, sizeof(random->Table));
    Random_FillFromSystem(&random->LastSeed, sizeof(random->LastSeed));
    random->Index = 0;
    // An all-zero table would only ever give 0; 250 zero words from the kernel
    // do not happen, but one set bit keeps the generator live regardless.
    random->Table[0] |= 1u;
    return 1;
}

uint32_t Random_Next(RandomStruct *random) {
    ZYL_CHECK_TAG(random, kRandomTag);
    const int i = random->Index;
    const int j = i < 147 ? i + 103 : i - 147;
    const uint32_t value = random->Table[i] ^ random->Table[j];
    random->Table[i] = value;
    random->Index = i + 1 < RANDOM_TABLE_SIZE ? i + 1 : 0;
    return value;
}

int Random_Destroy(RandomStruct **random) {
    ZYL_CHECK_PTR(random);
    RandomStruct *generator = *random;
    if (generator == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(generator, kRandomTag);
    memset(generator->Table, 0, sizeof(generator->Table));
    generator->Tag = Zyl_DeadTag;
    ZYL_FREE(generator, sizeof(RandomStruct));
    *random = nullptr;
    return 1;
}
