// SHA-1 (FIPS 180-1) contexts. Tuned for bulk hashing of files and pieces:
// whole blocks go straight from the caller's buffer to the compression function,
// which uses the x86 SHA instructions when CPUID reports them.
#include "core/sha1.h"

#include "core/zyl.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define SHA1_HAVE_X86 1
#else
#define SHA1_HAVE_X86 0
#endif

static const char kSha1Tag[] = "sha1";

typedef void (*Sha1BlocksFn)(uint32_t h[5], const uint8_t *data, size_t blocks);

// ---------------------------------------------------------------------------
// Portable compression function
// ---------------------------------------------------------------------------

static inline uint32_t Sha1_Rol(uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

static inline uint32_t Sha1_LoadBig(const uint8_t *p) {
    uint32_t word;
    memcpy(&word, p, 4);
    return __builtin_bswap32(word);
}

// Message word i (0..79) in a 16-word ring.
#define SHA1_W0(i) (w[i] = Sha1_LoadBig(data + 4 * (i)))
#define SHA1_WN(i)                                                                                 \
    (w[(i)&15] =                                                                                   \
         Sha1_Rol(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i)&15], 1))

#define SHA1_F1(b, c, d) ((((c) ^ (d)) & (b)) ^ (d))
#define SHA1_F2(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_F3(b, c, d) ((((b) | (c)) & (d)) | ((b) & (c)))

#define SHA1_ROUND(a, b, c, d, e, f, k, wi)                                                        \
    do {                                                                                           \
        e += Sha1_Rol(a, 5) + f(b, c, d) + (k) + (wi);                                             \
        b = Sha1_Rol(b, 30);                                                                       \
    } while (0)

// Five rounds rotate the variable names back to where they started.
#define SHA1_FIVE(f, k, W, i)                                                                      \
    SHA1_ROUND(a, b, c, d, e, f, k, W(i));                                                         \
    SHA1_ROUND(e, a, b, c, d, f, k, W((i) + 1));                                                   \
    SHA1_ROUND(d, e, a, b, c, f, k, W((i) + 2));                                                   \
    SHA1_ROUND(c, d, e, a, b, f, k, W((i) + 3));                                                   \
    SHA1_ROUND(b, c, d, e, a, f, k, W((i) + 4))

static void Sha1_BlocksPortable(uint32_t h[5], const uint8_t *data, size_t blocks) {
    uint32_t w[16];
    for (; blocks > 0; blocks--, data += 64) {
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        SHA1_FIVE(SHA1_F1, 0x5A827999u, SHA1_W0, 0);
        SHA1_FIVE(SHA1_F1, 0x5A827999u, SHA1_W0, 5);
        SHA1_FIVE(SHA1_F1, 0x5A827999u, SHA1_W0, 10);
        SHA1_ROUND(a, b, c, d, e, SHA1_F1, 0x5A827999u, SHA1_W0(15));
        SHA1_ROUND(e, a, b, c, d, SHA1_F1, 0x5A827999u, SHA1_WN(16));
        SHA1_ROUND(d, e, a, b, c, SHA1_F1, 0x5A827999u, SHA1_WN(17));
        SHA1_ROUND(c, d, e, a, b, SHA1_F1, 0x5A827999u, SHA1_WN(18));
        SHA1_ROUND(b, c, d, e, a, SHA1_F1, 0x5A827999u, SHA1_WN(19));
        SHA1_FIVE(SHA1_F2, 0x6ED9EBA1u, SHA1_WN, 20);
        SHA1_FIVE(SHA1_F2, 0x6ED9EBA1u, SHA1_WN, 25);
        SHA1_FIVE(SHA1_F2, 0x6ED9EBA1u, SHA1_WN, 30);
        SHA1_FIVE(SHA1_F2, 0x6ED9EBA1u, SHA1_WN, 35);
        SHA1_FIVE(SHA1_F3, 0x8F1BBCDCu, SHA1_WN, 40);
        SHA1_FIVE(SHA1_F3, 0x8F1BBCDCu, SHA1_WN, 45);
        SHA1_FIVE(SHA1_F3, 0x8F1BBCDCu, SHA1_WN, 50);
        SHA1_FIVE(SHA1_F3, 0x8F1BBCDCu, SHA1_WN, 55);
        SHA1_FIVE(SHA1_F2, 0xCA62C1D6u, SHA1_WN, 60);
        SHA1_FIVE(SHA1_F2, 0xCA62C1D6u, SHA1_WN, 65);
        SHA1_FIVE(SHA1_F2, 0xCA62C1D6u, SHA1_WN, 70);
        SHA1_FIVE(SHA1_F2, 0xCA62C1D6u, SHA1_WN, 75);
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
    }
}

// ---------------------------------------------------------------------------
// x86 SHA extensions (SHA1RNDS4 does four rounds; the words travel with word 0
// in the high lane, A in the high lane of the state register)
// ---------------------------------------------------------------------------

#if SHA1_HAVE_X86

// Next message group from the previous four: W[g] = msg2(msg1(W[g-4], W[g-3])
// ^ W[g-2], W[g-1]), stored over W[g-4].
#define SHA1_NI_SCHEDULE(m0, m1, m2, m3)                                                           \
    m0 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m0, m1), m2), m3)

// Four rounds: E comes from the state before the previous group plus the words.
#define SHA1_NI_GROUP(func, m)                                                                     \
    e = _mm_sha1nexte_epu32(previous, m);                                                          \
    previous = abcd;                                                                               \
    abcd = _mm_sha1rnds4_epu32(abcd, e, func)

// Schedules group g into the slot of g - 4 and runs its four rounds.
#define SHA1_NI_STEP(func, m0, m1, m2, m3)                                                         \
    SHA1_NI_SCHEDULE(m0, m1, m2, m3);                                                              \
    SHA1_NI_GROUP(func, m0)

__attribute__((target("sha,sse4.1"))) static void
Sha1_BlocksHardware(uint32_t h[5], const uint8_t *data, size_t blocks) {
    const __m128i swap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128((const __m128i *)h), 0x1B);
    __m128i e0 = _mm_set_epi32((int)h[4], 0, 0, 0);
    for (; blocks > 0; blocks--, data += 64) {
        const __m128i abcdSaved = abcd;
        const __m128i e0Saved = e0;
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)data), swap);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(data + 16)), swap);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(data + 32)), swap);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(data + 48)), swap);
        __m128i e = _mm_add_epi32(e0, m0);
        __m128i previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e, 0);
        SHA1_NI_GROUP(0, m1);
        SHA1_NI_GROUP(0, m2);
        SHA1_NI_GROUP(0, m3);
        SHA1_NI_STEP(0, m0, m1, m2, m3);
        SHA1_NI_STEP(1, m1, m2, m3, m0);
        SHA1_NI_STEP(1, m2, m3, m0, m1);
        SHA1_NI_STEP(1, m3, m0, m1, m2);
        SHA1_NI_STEP(1, m0, m1, m2, m3);
        SHA1_NI_STEP(1, m1, m2, m3, m0);
        SHA1_NI_STEP(2, m2, m3, m0, m1);
        SHA1_NI_STEP(2, m3, m0, m1, m2);
        SHA1_NI_STEP(2, m0, m1, m2, m3);
        SHA1_NI_STEP(2, m1, m2, m3, m0);
        SHA1_NI_STEP(2, m2, m3, m0, m1);
        SHA1_NI_STEP(3, m3, m0, m1, m2);
        SHA1_NI_STEP(3, m0, m1, m2, m3);
        SHA1_NI_STEP(3, m1, m2, m3, m0);
        SHA1_NI_STEP(3, m2, m3, m0, m1);
        SHA1_NI_STEP(3, m3, m0, m1, m2);
        e0 = _mm_sha1nexte_epu32(previous, e0Saved);
        abcd = _mm_add_epi32(abcd, abcdSaved);
    }
    _mm_storeu_si128((__m128i *)h, _mm_shuffle_epi32(abcd, 0x1B));
    h[4] = (uint32_t)_mm_extract_epi32(e0, 3);
}

static int Sha1_CpuHasSha(void) {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        return 0;
    }
    const int sse41 = (ecx >> 19) & 1;
    const int ssse3 = (ecx >> 9) & 1;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        return 0;
    }
    return sse41 && ssse3 && ((ebx >> 29) & 1);
}

#else
static int Sha1_CpuHasSha(void) {
    return 0;
}
#endif

// 1 when the processor has the instructions and they have not been switched off.
static std::atomic<int> sha1HardwareAllowed{1};

static Sha1BlocksFn Sha1_ChooseBlocks(void) {
#if SHA1_HAVE_X86
    static const int present = Sha1_CpuHasSha();
    if (present && sha1HardwareAllowed.load(std::memory_order_relaxed)) {
        return Sha1_BlocksHardware;
    }
#endif
    return Sha1_BlocksPortable;
}

int Sha1_HasHardware(void) {
    return Sha1_ChooseBlocks() != Sha1_BlocksPortable;
}

int Sha1_SetHardware(int allowed) {
    sha1HardwareAllowed.store(allowed ? 1 : 0, std::memory_order_relaxed);
    return 1;
}

// ---------------------------------------------------------------------------
// Contexts
// ---------------------------------------------------------------------------

int Sha1_Create(Sha1Struct **sha1) {
    ZYL_CHECK_PTR(sha1);
    *sha1 = nullptr;
    Sha1Struct *context = ZYL_NEW(Sha1Struct);
    Sha1_Init(context);
    *sha1 = context;
    return 1;
}

int Sha1_Init(Sha1Struct *sha1) {
    ZYL_CHECK_PTR(sha1);
    memset(sha1, 0, sizeof(*sha1));
    sha1->Tag = kSha1Tag;
    sha1->H[0] = 0x67452301u;
    sha1->H[1] = 0xEFCDAB89u;
    sha1->H[2] = 0x98BADCFEu;
    sha1->H[3] = 0x10325476u;
    sha1->H[4] = 0xC3D2E1F0u;
    sha1->ByteSwap = 1;
    return 1;
}

// Runs the compression function over `blocks` whole 64-byte blocks at data,
// updating the context's chaining words.
static inline void Sha1_Transform(Sha1Struct *sha1, const uint8_t *data, size_t blocks) {
    Sha1_ChooseBlocks()(sha1->H, data, blocks);
}

static uint64_t Sha1_GetBitLength(const Sha1Struct *sha1) {
    return ((uint64_t)sha1->LengthHigh << 32) | sha1->LengthLow;
}

int Sha1_Update(Sha1Struct *sha1, const void *data, int64_t length) {
    ZYL_CHECK_TAG(sha1, kSha1Tag);
    if (length == 0) {
        return 1;
    }
    ZYL_CHECK_PTR(data);
    if (length < 0 || sha1->Done) {
        ZYL_FATAL("Sha1_Update() invalid call (length %lld, done %d)\n", (long long)length,
                  sha1->Done);
    }
    const uint64_t bits = Sha1_GetBitLength(sha1);
    size_t used = (size_t)((bits >> 3) & 63);
    const uint64_t total = bits + ((uint64_t)length << 3);
    sha1->LengthLow = (uint32_t)total;
    sha1->LengthHigh = (uint32_t)(total >> 32);

    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    size_t left = (size_t)length;
    if (used > 0) {
        const size_t take = left < 64 - used ? left : 64 - used;
        memcpy(sha1->Block + used, bytes, take);
        used += take;
        bytes += take;
        left -= take;
        if (used < 64) {
            return 1;
        }
        Sha1_Transform(sha1, sha1->Block, 1);
    }
    if (left >= 64) {
        Sha1_Transform(sha1, bytes, left / 64);
        bytes += left & ~(size_t)63;
        left &= 63;
    }
    if (left > 0) {
        memcpy(sha1->Block, bytes, left);
    }
    return 1;
}

int Sha1_Final(Sha1Struct *sha1) {
    ZYL_CHECK_TAG(sha1, kSha1Tag);
    if (sha1->Done) {
        return 1;
    }
    const uint64_t bits = Sha1_GetBitLength(sha1);
    const size_t used = (size_t)((bits >> 3) & 63);
    sha1->Block[used] = 0x80;
    if (used + 1 > 56) {
        memset(sha1->Block + used + 1, 0, 64 - used - 1);
        Sha1_Transform(sha1, sha1->Block, 1);
        memset(sha1->Block, 0, 56);
    } else {
        memset(sha1->Block + used + 1, 0, 56 - used - 1);
    }
    for (int k = 0; k < 8; k++) {
        sha1->Block[56 + k] = (uint8_t)(bits >> (56 - 8 * k));
    }
    Sha1_Transform(sha1, sha1->Block, 1);
    for (int k = 0; k < 5; k++) {
        const uint32_t word = sha1->H[k];
        sha1->Digest[4 * k] = (uint8_t)(word >> 24);
        sha1->Digest[4 * k + 1] = (uint8_t)(word >> 16);
        sha1->Digest[4 * k + 2] = (uint8_t)(word >> 8);
        sha1->Digest[4 * k + 3] = (uint8_t)word;
    }
    memset(sha1->Block, 0, sizeof(sha1->Block));
    sha1->Done = 1;
    return 1;
}

int Sha1_GetDigest(Sha1Struct *sha1, uint8_t *buffer, int size) {
    ZYL_CHECK_TAG(sha1, kSha1Tag);
    ZYL_CHECK_PTR(buffer);
    if (!sha1->Done) {
        Zyl_Print("SHA1 must be generated first!\n");
        return 0;
    }
    if (size < 20) {
        return 0;
    }
    memcpy(buffer, sha1->Digest, 20);
    return 1;
}

int Sha1_GetHexString(Sha1Struct *sha1, int blanks, char *buffer, int size) {
    ZYL_CHECK_TAG(sha1, kSha1Tag);
    ZYL_CHECK_PTR(buffer);
    if (!sha1->Done) {
        Zyl_Print("SHA1 must be generated first!\n");
        return 0;
    }
    if (size < 60) {
        return 0;
    }
    static const char kDigits[] = "0123456789abcdef";
    int at = 0;
    for (int k = 0; k < 20; k++) {
        buffer[at++] = kDigits[sha1->Digest[k] >> 4];
        buffer[at++] = kDigits[sha1->Digest[k] & 15];
        if (blanks == 1 && (k & 3) == 3 && k < 16) {
            buffer[at++] = ' ';
        }
    }
    buffer[at] = '\0';
    return 1;
}

int Sha1_Destroy(Sha1Struct **sha1) {
    ZYL_CHECK_PTR(sha1);
    if (*sha1 == nullptr) {
        return 1;
    }
    Sha1Struct *context = *sha1;
    ZYL_CHECK_TAG(context, kSha1Tag);
    context->Tag = Zyl_DeadTag;
    ZYL_FREE(context, sizeof(Sha1Struct));
    *sha1 = nullptr;
    return 1;
}
