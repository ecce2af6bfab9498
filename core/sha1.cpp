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
#if defined(__SSE2__)
#include <emmintrin.h>
#define SHA1_HAVE_SSE2 1
#else
#define SHA1_HAVE_SSE2 0
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
// Vector-scheduled compression function (SSE2, the x86-64 baseline). The
// message schedule is computed four words at a time with W+K stored ahead,
// and the schedule of the next block is interleaved with the rounds of the
// current one (a group of four words per four rounds), so the scalar rounds
// carry one load-add per round instead of the schedule's xors and rotates.
// ---------------------------------------------------------------------------

#if SHA1_HAVE_SSE2

static inline __m128i Sha1_Rol128(__m128i value, int bits) {
    return _mm_or_si128(_mm_slli_epi32(value, bits), _mm_srli_epi32(value, 32 - bits));
}

// Big-endian words to host order without SSSE3: swap the 16-bit halves, then
// the bytes of each half.
static inline __m128i Sha1_Swap128(__m128i value) {
    value = _mm_shufflehi_epi16(_mm_shufflelo_epi16(value, 0xB1), 0xB1);
    return _mm_or_si128(_mm_slli_epi16(value, 8), _mm_srli_epi16(value, 8));
}

// The four words starting two lanes into a: lanes 2, 3 of a, then lanes 0, 1 of b.
static inline __m128i Sha1_Middle128(__m128i a, __m128i b) {
    return _mm_castpd_si128(_mm_shuffle_pd(_mm_castsi128_pd(a), _mm_castsi128_pd(b), 1));
}

// Message group G (words 4G..4G+3) of the block at data into x[G], and the
// words plus their round constant into wk[4G..4G+3].
//  G 0..3:  the block's words.
//  G 4..7:  W[i] = rol1(W[i-3] ^ W[i-8] ^ W[i-14] ^ W[i-16]); lane 3 needs W[i]
//           of lane 0, added afterwards as rol2 of lane 0's sum.
//  G 8..19: W[i] = rol2(W[i-6] ^ W[i-16] ^ W[i-28] ^ W[i-32]), which has no
//           dependency inside a group.
template <int G>
static inline __attribute__((always_inline)) void Sha1_ScheduleGroup(__m128i x[20], uint32_t *wk,
                                                                     const uint8_t *data) {
    static_assert(G >= 0 && G < 20, "SHA-1 has 20 message groups");
    __m128i value;
    if constexpr (G < 4) {
        value = Sha1_Swap128(_mm_loadu_si128((const __m128i *)(data + 16 * G)));
    } else if constexpr (G < 8) {
        __m128i sum = _mm_xor_si128(_mm_srli_si128(x[G - 1], 4), x[G - 2]);
        sum = _mm_xor_si128(sum, _mm_xor_si128(Sha1_Middle128(x[G - 4], x[G - 3]), x[G - 4]));
        value = _mm_xor_si128(Sha1_Rol128(sum, 1), Sha1_Rol128(_mm_slli_si128(sum, 12), 2));
    } else {
        __m128i sum = _mm_xor_si128(Sha1_Middle128(x[G - 2], x[G - 1]), x[G - 4]);
        sum = _mm_xor_si128(sum, _mm_xor_si128(x[G - 7], x[G - 8]));
        value = Sha1_Rol128(sum, 2);
    }
    x[G] = value;
    const int k = G < 5    ? 0x5A827999
                  : G < 10 ? 0x6ED9EBA1
                  : G < 15 ? (int)0x8F1BBCDCu
                           : (int)0xCA62C1D6u;
    _mm_store_si128((__m128i *)(wk + 4 * G), _mm_add_epi32(value, _mm_set1_epi32(k)));
}

// Maj(b, c, d) as the sum of two parts with no bit in common, which the
// processor computes side by side rather than in one chain.
#define SHA1_F3V(b, c, d) (((b) & (c)) + ((d) & ((b) ^ (c))))

// One round with W+K from the table; the newest variable `a` enters last.
#define SHA1_VROUND(a, b, c, d, e, f, i)                                                           \
    do {                                                                                           \
        e += wk[i] + f(b, c, d);                                                                   \
        e += Sha1_Rol(a, 5);                                                                       \
        b = Sha1_Rol(b, 30);                                                                       \
    } while (0)

// Twenty rounds from `base` with five groups of the next block's schedule
// spread over them; twenty rounds bring the variable names back.
#define SHA1_VTWENTY(f, base)                                                                      \
    Sha1_ScheduleGroup<(base) / 4>(x, next, ahead);                                                \
    SHA1_VROUND(a, b, c, d, e, f, (base));                                                         \
    SHA1_VROUND(e, a, b, c, d, f, (base) + 1);                                                     \
    SHA1_VROUND(d, e, a, b, c, f, (base) + 2);                                                     \
    SHA1_VROUND(c, d, e, a, b, f, (base) + 3);                                                     \
    Sha1_ScheduleGroup<(base) / 4 + 1>(x, next, ahead);                                            \
    SHA1_VROUND(b, c, d, e, a, f, (base) + 4);                                                     \
    SHA1_VROUND(a, b, c, d, e, f, (base) + 5);                                                     \
    SHA1_VROUND(e, a, b, c, d, f, (base) + 6);                                                     \
    SHA1_VROUND(d, e, a, b, c, f, (base) + 7);                                                     \
    Sha1_ScheduleGroup<(base) / 4 + 2>(x, next, ahead);                                            \
    SHA1_VROUND(c, d, e, a, b, f, (base) + 8);                                                     \
    SHA1_VROUND(b, c, d, e, a, f, (base) + 9);                                                     \
    SHA1_VROUND(a, b, c, d, e, f, (base) + 10);                                                    \
    SHA1_VROUND(e, a, b, c, d, f, (base) + 11);                                                    \
    Sha1_ScheduleGroup<(base) / 4 + 3>(x, next, ahead);                                            \
    SHA1_VROUND(d, e, a, b, c, f, (base) + 12);                                                    \
    SHA1_VROUND(c, d, e, a, b, f, (base) + 13);                                                    \
    SHA1_VROUND(b, c, d, e, a, f, (base) + 14);                                                    \
    SHA1_VROUND(a, b, c, d, e, f, (base) + 15);                                                    \
    Sha1_ScheduleGroup<(base) / 4 + 4>(x, next, ahead);                                            \
    SHA1_VROUND(e, a, b, c, d, f, (base) + 16);                                                    \
    SHA1_VROUND(d, e, a, b, c, f, (base) + 17);                                                    \
    SHA1_VROUND(c, d, e, a, b, f, (base) + 18);                                                    \
    SHA1_VROUND(b, c, d, e, a, f, (base) + 19)

template <int... G>
static inline __attribute__((always_inline)) void Sha1_ScheduleBlock(__m128i x[20], uint32_t *wk,
                                                                     const uint8_t *data) {
    (Sha1_ScheduleGroup<G>(x, wk, data), ...);
}

static void Sha1_BlocksVector(uint32_t h[5], const uint8_t *data, size_t blocks) {
    if (blocks == 0) {
        return;
    }
    alignas(16) uint32_t table[2][80];
    __m128i x[20];
    Sha1_ScheduleBlock<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19>(
        x, table[0], data);
    for (size_t n = 0; n < blocks; n++, data += 64) {
        const uint32_t *wk = table[n & 1];
        uint32_t *next = table[(n + 1) & 1];
        // The last block schedules itself again rather than read past the input.
        const uint8_t *ahead = n + 1 < blocks ? data + 64 : data;
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        SHA1_VTWENTY(SHA1_F1, 0);
        SHA1_VTWENTY(SHA1_F2, 20);
        SHA1_VTWENTY(SHA1_F3V, 40);
        SHA1_VTWENTY(SHA1_F2, 60);
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
    }
}

#endif

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

// The fastest form the caller allows (Sha1_LimitForm); SHA1_FORM_HARDWARE
// unless a benchmark or test lowered it.
static std::atomic<int> sha1FormLimit{SHA1_FORM_HARDWARE};

static int Sha1_FormPresent(int form) {
    switch (form) {
    case SHA1_FORM_HARDWARE: {
        static const int present = Sha1_CpuHasSha();
        return present;
    }
    case SHA1_FORM_VECTOR:
        return SHA1_HAVE_SSE2;
    default:
        return form == SHA1_FORM_PLAIN;
    }
}

// The fastest form present up to the limit.
static int Sha1_ChooseForm(void) {
    int form = sha1FormLimit.load(std::memory_order_relaxed);
    while (form > SHA1_FORM_PLAIN && !Sha1_FormPresent(form)) {
        form--;
    }
    return form;
}

static Sha1BlocksFn Sha1_ChooseBlocks(void) {
    switch (Sha1_ChooseForm()) {
#if SHA1_HAVE_X86
    case SHA1_FORM_HARDWARE:
        return Sha1_BlocksHardware;
#endif
#if SHA1_HAVE_SSE2
    case SHA1_FORM_VECTOR:
        return Sha1_BlocksVector;
#endif
    default:
        return Sha1_BlocksPortable;
    }
}

int Sha1_HasHardware(void) {
    return Sha1_ChooseForm() == SHA1_FORM_HARDWARE;
}

int Sha1_LimitForm(int form) {
    if (form < SHA1_FORM_PLAIN || form > SHA1_FORM_HARDWARE) {
        ZYL_FATAL("Sha1_LimitForm() invalid form %d\n", form);
    }
    sha1FormLimit.store(form, std::memory_order_relaxed);
    return Sha1_ChooseForm();
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

static void Sha1_SetBitLength(Sha1Struct *sha1, uint64_t bits) {
    sha1->LengthLow = (uint32_t)bits;
    sha1->LengthHigh = (uint32_t)(bits >> 32);
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
    Sha1_SetBitLength(sha1, bits + ((uint64_t)length << 3));

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
