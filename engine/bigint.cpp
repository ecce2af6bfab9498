// Arbitrary-precision integers: word-level schoolbook multiplication, Knuth's
// long division for remainders, and Montgomery exponentiation over 64-bit limbs
// with a 5-bit window for odd moduli (the key-exchange prime), tuned for 768-bit
// operands: its rows run on MULX/ADCX/ADOX where the processor has them.
#include "engine/bigint.h"

#include <atomic>
#include <cstring>

#include "core/zyl.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#endif

static const char kBigIntTag[] = "BigIntStruct";

// BigInt_SetPortableRows' setting: 1 keeps exponentiation on the portable rows.
static std::atomic<int> gPortableRows{0};

enum { kGrowWords = 64, kWindowBits = 5 };

// ---------------------------------------------------------------------------
// Record life and plain accessors
// ---------------------------------------------------------------------------

int BigInt_Create(BigIntStruct **value) {
    ZYL_CHECK_PTR(value);
    BigIntStruct *v = ZYL_NEW(BigIntStruct);
    v->Tag = kBigIntTag;
    *value = v;
    return 1;
}

int BigInt_Destroy(BigIntStruct **value) {
    if (value == nullptr || *value == nullptr)
        return 1;
    BigIntStruct *v = *value;
    ZYL_CHECK_TAG(v, kBigIntTag);
    if (v->Words != nullptr)
        ZYL_FREE(v->Words, (int64_t)(v->Capacity + 1) * 4);
    v->Tag = Zyl_DeadTag;
    ZYL_FREE(v, sizeof(BigIntStruct));
    *value = nullptr;
    return 1;
}

int BigInt_Expand(BigIntStruct *value, int words) {
    ZYL_CHECK_TAG(value, kBigIntTag);
    if (words <= value->Capacity)
        return 1;
    int capacity = (words + kGrowWords - 1) / kGrowWords * kGrowWords;
    uint32_t *grown = static_cast<uint32_t *>(ZYL_ALLOC((int64_t)(capacity + 1) * 4));
    if (value->Words != nullptr) {
        memcpy(grown, value->Words, (size_t)value->Length * 4);
        ZYL_FREE(value->Words, (int64_t)(value->Capacity + 1) * 4);
    }
    value->Words = grown;
    value->Capacity = capacity;
    return 1;
}

static int InternalLength(const uint32_t *words, int n) {
    while (n > 0 && words[n - 1] == 0)
        n--;
    return n;
}

int BigInt_Normalise(BigIntStruct *value) {
    ZYL_CHECK_TAG(value, kBigIntTag);
    value->Length = InternalLength(value->Words, value->Length);
    if (value->Length == 0)
        value->Negative = 0;
    return 1;
}

int BigInt_Zero(BigIntStruct *value) {
    ZYL_CHECK_TAG(value, kBigIntTag);
    value->Length = 0;
    value->Negative = 0;
    return 1;
}

int BigInt_SetWord(BigIntStruct *value, uint32_t word) {
    ZYL_CHECK_TAG(value, kBigIntTag);
    BigInt_Expand(value, 1);
    value->Words[0] = word;
    value->Length = word != 0 ? 1 : 0;
    value->Negative = 0;
    return 1;
}

int BigInt_Copy(BigIntStruct *dst, const BigIntStruct *src) {
    ZYL_CHECK_TAG(dst, kBigIntTag);
    ZYL_CHECK_TAG(src, kBigIntTag);
    if (dst == src)
        return 1;
    BigInt_Expand(dst, src->Length);
    if (src->Length > 0)
        memcpy(dst->Words, src->Words, (size_t)src->Length * 4);
    dst->Length = src->Length;
    dst->Negative = src->Negative;
    return 1;
}

static int InternalCompareWords(const uint32_t *a, int an, const uint32_t *b, int bn) {
    if (an != bn)
        return an - bn;
    for (int i = an - 1; i >= 0; i--) {
        if (a[i] != b[i])
            return a[i] > b[i] ? 1 : -1;
    }
    return 0;
}

int BigInt_Compare(const BigIntStruct *a, const BigIntStruct *b) {
    ZYL_CHECK_TAG(a, kBigIntTag);
    ZYL_CHECK_TAG(b, kBigIntTag);
    return InternalCompareWords(a->Words, a->Length, b->Words, b->Length);
}

int BigInt_TestBit(const BigIntStruct *value, int bit) {
    ZYL_CHECK_TAG(value, kBigIntTag);
    if (bit < 0 || bit / 32 >= value->Length)
        return 0;
    return (value->Words[bit / 32] >> (bit % 32)) & 1;
}

// Bit lengths of the byte values 0..255.
static constexpr struct ByteBitsTable {
    uint8_t Bits[256];
    constexpr ByteBitsTable() : Bits() {
        for (int i = 1; i < 256; i++)
            Bits[i] = (uint8_t)(Bits[i / 2] + 1);
    }
} kByteBits;

int BigInt_WordBits(uint32_t word) {
    if (word & 0xFF000000u)
        return 24 + kByteBits.Bits[word >> 24];
    if (word & 0x00FF0000u)
        return 16 + kByteBits.Bits[word >> 16];
    if (word & 0x0000FF00u)
        return 8 + kByteBits.Bits[word >> 8];
    return kByteBits.Bits[word];
}

int BigInt_NumBits(const BigIntStruct *value) {
    ZYL_CHECK_TAG(value, kBigIntTag);
    if (value->Length == 0)
        return 0;
    return (value->Length - 1) * 32 + BigInt_WordBits(value->Words[value->Length - 1]);
}

int BigInt_NumBytes(const BigIntStruct *value) {
    return (BigInt_NumBits(value) + 7) / 8;
}

// ---------------------------------------------------------------------------
// Addition and subtraction
// ---------------------------------------------------------------------------

uint32_t BigInt_AddWords(uint32_t *r, const uint32_t *a, const uint32_t *b, int n) {
    uint64_t carry = 0;
    for (int i = 0; i < n; i++) {
        carry += (uint64_t)a[i] + b[i];
        r[i] = (uint32_t)carry;
        carry >>= 32;
    }
    return (uint32_t)carry;
}

int BigInt_UAdd(BigIntStruct *r, const BigIntStruct *a, const BigIntStruct *b) {
    ZYL_CHECK_TAG(r, kBigIntTag);
    ZYL_CHECK_TAG(a, kBigIntTag);
    ZYL_CHECK_TAG(b, kBigIntTag);
    if (a->Length < b->Length) {
        const BigIntStruct *swap = a;
        a = b;
        b = swap;
    }
    int an = a->Length, bn = b->Length;
    BigInt_Expand(r, an + 1);
    uint64_t carry = BigInt_AddWords(r->Words, a->Words, b->Words, bn);
    for (int i = bn; i < an; i++) {
        carry += a->Words[i];
        r->Words[i] = (uint32_t)carry;
        carry >>= 32;
    }
    r->Words[an] = (uint32_t)carry;
    r->Length = an + 1;
    r->Negative = 0;
    return BigInt_Normalise(r);
}

// r = a - b over words, |a| >= |b|; r may alias a or b.
static void InternalSubWords(uint32_t *r, const uint32_t *a, int an, const uint32_t *b, int bn) {
    int64_t borrow = 0;
    for (int i = 0; i < an; i++) {
        int64_t d = (int64_t)a[i] - (i < bn ? b[i] : 0) - borrow;
        borrow = d < 0;
        r[i] = (uint32_t)d;
    }
}

int BigInt_USub(BigIntStruct *r, const BigIntStruct *a, const BigIntStruct *b) {
    ZYL_CHECK_TAG(r, kBigIntTag);
    ZYL_CHECK_TAG(a, kBigIntTag);
    ZYL_CHECK_TAG(b, kBigIntTag);
    if (InternalCompareWords(a->Words, a->Length, b->Words, b->Length) < 0)
        return 0;
    int an = a->Length;
    BigInt_Expand(r, an);
    InternalSubWords(r->Words, a->Words, an, b->Words, b->Length);
    r->Length = an;
    r->Negative = 0;
    return BigInt_Normalise(r);
}

// Signed sum of a and (b with its sign flipped when `negateB`).
static int InternalSignedAdd(BigIntStruct *r, const BigIntStruct *a, const BigIntStruct *b,
                             int negateB) {
    int aNeg = a->Negative, bNeg = b->Negative ^ negateB;
    if (aNeg == bNeg) {
        BigInt_UAdd(r, a, b);
        r->Negative = r->Length > 0 ? aNeg : 0;
        return 1;
    }
    if (BigInt_Compare(a, b) >= 0) {
        BigInt_USub(r, a, b);
        r->Negative = r->Length > 0 ? aNeg : 0;
    } else {
        BigInt_USub(r, b, a);
        r->Negative = r->Length > 0 ? bNeg : 0;
    }
    return 1;
}

int BigInt_Add(BigIntStruct *r, const BigIntStruct *a, const BigIntStruct *b) {
    ZYL_CHECK_TAG(r, kBigIntTag);
    ZYL_CHECK_TAG(a, kBigIntTag);
    ZYL_CHECK_TAG(b, kBigIntTag);
    return InternalSignedAdd(r, a, b, 0);
}

int BigInt_Sub(BigIntStruct *r, const BigIntStruct *a, const BigIntStruct *b) {
    ZYL_CHECK_TAG(r, kBigIntTag);
    ZYL_CHECK_TAG(a, kBigIntTag);
    ZYL_CHECK_TAG(b, kBigIntTag);
    return InternalSignedAdd(r, a, b, 1);
}

// ---------------------------------------------------------------------------
// Shifts
// ---------------------------------------------------------------------------

int BigInt_ShiftLeft(BigIntStruct *r, const BigIntStruct *a, int n) {
    ZYL_CHECK_TAG(r, kBigIntTag);
    ZYL_CHECK_TAG(a, kBigIntTag);
    if (n < 0)
        n = 0;
    int an = a->Length, wordShift = n / 32, bitShift = n % 32;
    int negative = a->Negative;
    BigInt_Expand(r, an + wordShift + 1);
    // From the top down so that r may alias a.
    r->Words[an + wordShift] = 0;
    for (int i = an - 1; i >= 0; i--) {
        uint32_t w = a->Words[i];
        if (bitShift != 0)
            r->Words[i + wordShift + 1] |= w >> (32 - bitShift);
        r->Words[i + wordShift] = w << bitShift;
    }
    for (int i = 0; i < wordShift; i++)
        r->Words[i] = 0;
    r->Length = an + wordShift + 1;
    r->Negative = negative;
    return BigInt_Normalise(r);
}

int BigInt_ShiftRight1(BigIntStruct *r, const BigIntStruct *a) {
    ZYL_CHECK_TAG(r, kBigIntTag);
    ZYL_CHECK_TAG(a, kBigIntTag);
    int an = a->Length, negative = a->Negative;
    BigInt_Expand(r, an);
    for (int i = 0; i < an; i++) {
        uint32_t high = i + 1 < an ? a->Words[i + 1] << 31 : 0;
        r->Words[i] = (a->Words[i] >> 1) | high;
    }
    r->Length = an;
    r->Negative = negative;
    return BigInt_Normalise(r);
}

// ---------------------------------------------------------------------------
// Multiplication and remainder
// ---------------------------------------------------------------------------

// r[0 .. an + bn) = a x b; r must not overlap a or b.
static void InternalMulWords(uint32_t *r, const uint32_t *a, int an, const uint32_t *b, int bn) {
    memset(r, 0, (size_t)(an + bn) * 4);
    for (int i = 0; i < an; i++) {
        uint64_t carry = 0, ai = a[i];
        for (int j = 0; j < bn; j++) {
            carry += ai * b[j] + r[i + j];
            r[i + j] = (uint32_t)carry;
            carry >>= 32;
        }
        r[i + bn] = (uint32_t)carry;
    }
}

int BigInt_Mul(BigIntStruct *r, BigIntStruct *t, const BigIntStruct *a, const BigIntStruct *b) {
    ZYL_CHECK_TAG(r, kBigIntTag);
    ZYL_CHECK_TAG(t, kBigIntTag);
    ZYL_CHECK_TAG(a, kBigIntTag);
    ZYL_CHECK_TAG(b, kBigIntTag);
    int an = a->Length, bn = b->Length;
    if (an == 0 || bn == 0)
        return BigInt_Zero(r);
    int negative = a->Negative ^ b->Negative;
    BigInt_Expand(t, an + bn);
    InternalMulWords(t->Words, a->Words, an, b->Words, bn);
    t->Length = an + bn;
    t->Negative = 0;
    BigInt_Normalise(t);
    BigInt_Copy(r, t);
    r->Negative = negative;
    return 1;
}

// Remainder of u (un words) by v (vn words, top word non-zero), Knuth's
// algorithm D. `work` holds un + vn + 2 words. The remainder (vn words) is
// written to rem.
static void InternalRemWords(uint32_t *rem, const uint32_t *u, int un, const uint32_t *v, int vn,
                             uint32_t *work) {
    if (un < vn) {
        memset(rem, 0, (size_t)vn * 4);
        memcpy(rem, u, (size_t)un * 4);
        return;
    }
    if (vn == 1) {
        uint64_t r = 0;
        for (int i = un - 1; i >= 0; i--)
            r = ((r << 32) | u[i]) % v[0];
        rem[0] = (uint32_t)r;
        return;
    }
    int shift = 32 - BigInt_WordBits(v[vn - 1]);
    uint32_t *un_ = work;          // un + 1 words
    uint32_t *vn_ = work + un + 1; // vn words
    for (int i = vn - 1; i > 0; i--)
        vn_[i] = shift ? (v[i] << shift) | (v[i - 1] >> (32 - shift)) : v[i];
    vn_[0] = v[0] << shift;
    un_[un] = shift ? u[un - 1] >> (32 - shift) : 0;
    for (int i = un - 1; i > 0; i--)
        un_[i] = shift ? (u[i] << shift) | (u[i - 1] >> (32 - shift)) : u[i];
    un_[0] = u[0] << shift;

    const uint64_t base = 1ull << 32;
    for (int j = un - vn; j >= 0; j--) {
        uint64_t top = ((uint64_t)un_[j + vn] << 32) | un_[j + vn - 1];
        uint64_t qhat = top / vn_[vn - 1];
        uint64_t rhat = top % vn_[vn - 1];
        while (qhat >= base || qhat * vn_[vn - 2] > ((rhat << 32) | un_[j + vn - 2])) {
            qhat--;
            rhat += vn_[vn - 1];
            if (rhat >= base)
                break;
        }
        int64_t borrow = 0;
        uint64_t carry = 0;
        for (int i = 0; i < vn; i++) {
            uint64_t p = qhat * vn_[i] + carry;
            carry = p >> 32;
            int64_t d = (int64_t)un_[i + j] - (int64_t)(uint32_t)p - borrow;
            un_[i + j] = (uint32_t)d;
            borrow = d < 0;
        }
        int64_t d = (int64_t)un_[j + vn] - (int64_t)carry - borrow;
        un_[j + vn] = (uint32_t)d;
        if (d < 0) {
            // qhat was one too large: add the divisor back.
            uint64_t c = 0;
            for (int i = 0; i < vn; i++) {
                c += (uint64_t)un_[i + j] + vn_[i];
                un_[i + j] = (uint32_t)c;
                c >>= 32;
            }
            un_[j + vn] += (uint32_t)c;
        }
    }
    for (int i = 0; i < vn; i++)
        rem[i] = shift ? (un_[i] >> shift) | (un_[i + 1] << (32 - shift)) : un_[i];
}

int BigInt_Mod(BigIntStruct *t, BigIntStruct *r, const BigIntStruct *a, const BigIntStruct *m) {
    ZYL_CHECK_TAG(t, kBigIntTag);
    ZYL_CHECK_TAG(r, kBigIntTag);
    ZYL_CHECK_TAG(a, kBigIntTag);
    ZYL_CHECK_TAG(m, kBigIntTag);
    if (m->Length == 0) {
        Zyl_Print("BigInt_Mod() modulus is zero\n");
        return 0;
    }
    int an = a->Length, mn = m->Length, negative = a->Negative;
    // Scratch: a copy of a (r may alias it), the divisor, the remainder and Knuth's work area.
    BigInt_Expand(t, 2 * an + 3 * mn + 4);
    uint32_t *u = t->Words, *v = u + an, *rem = v + mn, *work = rem + mn;
    memcpy(u, a->Words, (size_t)an * 4);
    memcpy(v, m->Words, (size_t)mn * 4);
    InternalRemWords(rem, u, an, v, mn, work);
    BigInt_Expand(r, mn);
    memcpy(r->Words, rem, (size_t)mn * 4);
    r->Length = mn;
    r->Negative = negative;
    t->Length = 0;
    return BigInt_Normalise(r);
}

// ---------------------------------------------------------------------------
// Modular exponentiation
// ---------------------------------------------------------------------------

// Montgomery arithmetic over 64-bit limbs (products in 128 bits) for an odd
// modulus of n limbs; R = 2^(64n).
typedef unsigned __int128 BigIntProduct;

struct MontgomeryContext {
    const uint64_t *Modulus;
    int Limbs;
    uint64_t Inverse;  // -modulus^-1 mod 2^64
    uint64_t *Scratch; // 2n + 2 limbs
};

// Each step takes the limb count as a template argument (kFixed) for the sizes
// the key exchange uses, so that the compiler unrolls the rows; 0 reads it from
// the context (or the count given).

// r[0 .. n) += a[0 .. n) x b; returns the carry out of r[n - 1].
template <int kFixed>
static inline uint64_t InternalAddMulRow(uint64_t *r, const uint64_t *a, int count, uint64_t b) {
    const int n = kFixed ? kFixed : count;
    uint64_t carry = 0;
    for (int j = 0; j < n; j++) {
        BigIntProduct t = (BigIntProduct)a[j] * b + r[j] + carry;
        r[j] = (uint64_t)t;
        carry = (uint64_t)(t >> 64);
    }
    return carry;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define BIGINT_ADX_ROWS 1
// Rows on processors with MULX, ADCX and ADOX: each limb's product goes into two
// carry chains at once, the product's halves through the carry flag and the
// row being added to through the overflow flag, so neither waits on the other
// and no 128-bit sum passes through memory. One step adds a[j] x b (b in rdx).
#define BIGINT_ADX_STEP(j)                                                                         \
    "mulxq " #j "*8(%[a]), %[lo], %[hi]\n\t"                                                       \
    "adcxq %[carry], %[lo]\n\t"                                                                    \
    "adoxq " #j "*8(%[r]), %[lo]\n\t"                                                              \
    "movq %[lo], " #j "*8(%[r])\n\t"                                                               \
    "movq %[hi], %[carry]\n\t"
#define BIGINT_ADX_STEPS1 BIGINT_ADX_STEP(0)
#define BIGINT_ADX_STEPS2 BIGINT_ADX_STEPS1 BIGINT_ADX_STEP(1)
#define BIGINT_ADX_STEPS3 BIGINT_ADX_STEPS2 BIGINT_ADX_STEP(2)
#define BIGINT_ADX_STEPS4 BIGINT_ADX_STEPS3 BIGINT_ADX_STEP(3)
#define BIGINT_ADX_STEPS5 BIGINT_ADX_STEPS4 BIGINT_ADX_STEP(4)
#define BIGINT_ADX_STEPS6 BIGINT_ADX_STEPS5 BIGINT_ADX_STEP(5)
#define BIGINT_ADX_STEPS7 BIGINT_ADX_STEPS6 BIGINT_ADX_STEP(6)
#define BIGINT_ADX_STEPS8 BIGINT_ADX_STEPS7 BIGINT_ADX_STEP(7)
#define BIGINT_ADX_STEPS9 BIGINT_ADX_STEPS8 BIGINT_ADX_STEP(8)
#define BIGINT_ADX_STEPS10 BIGINT_ADX_STEPS9 BIGINT_ADX_STEP(9)
#define BIGINT_ADX_STEPS11 BIGINT_ADX_STEPS10 BIGINT_ADX_STEP(10)
#define BIGINT_ADX_STEPS12 BIGINT_ADX_STEPS11 BIGINT_ADX_STEP(11)
#define BIGINT_ADX_STEPS13 BIGINT_ADX_STEPS12 BIGINT_ADX_STEP(12)
#define BIGINT_ADX_STEPS14 BIGINT_ADX_STEPS13 BIGINT_ADX_STEP(13)
#define BIGINT_ADX_STEPS15 BIGINT_ADX_STEPS14 BIGINT_ADX_STEP(14)
#define BIGINT_ADX_STEPS16 BIGINT_ADX_STEPS15 BIGINT_ADX_STEP(15)

// r[0 .. kCount) += a[0 .. kCount) x b; returns the carry out of r[kCount - 1]
// (below 2^64: r + a x b < 2^(64 kCount) x (b + 1)). The xor clears both flags;
// the final high half takes both chains' last carries.
template <int kCount>
static inline uint64_t InternalAdxRow(uint64_t *r, const uint64_t *a, uint64_t b);
#define BIGINT_ADX_ROW(count)                                                                      \
    template <>                                                                                    \
    inline uint64_t InternalAdxRow<count>(uint64_t * r, const uint64_t *a, uint64_t b) {           \
        uint64_t lo, hi, carry;                                                                    \
        __asm__ volatile("xorl %k[carry], %k[carry]\n\t" BIGINT_ADX_STEPS##count                   \
                         "movl $0, %k[lo]\n\t"                                                     \
                         "adcxq %[lo], %[carry]\n\t"                                               \
                         "adoxq %[lo], %[carry]\n\t"                                               \
                         : [lo] "=&r"(lo), [hi] "=&r"(hi), [carry] "=&r"(carry)                    \
                         : [r] "r"(r), [a] "r"(a), "d"(b)                                          \
                         : "cc", "memory");                                                        \
        return carry;                                                                              \
    }
BIGINT_ADX_ROW(1)
BIGINT_ADX_ROW(2)
BIGINT_ADX_ROW(3)
BIGINT_ADX_ROW(4)
BIGINT_ADX_ROW(5)
BIGINT_ADX_ROW(6)
BIGINT_ADX_ROW(7)
BIGINT_ADX_ROW(8)
BIGINT_ADX_ROW(9)
BIGINT_ADX_ROW(10)
BIGINT_ADX_ROW(11)
BIGINT_ADX_ROW(12)
BIGINT_ADX_ROW(13)
BIGINT_ADX_ROW(14)
BIGINT_ADX_ROW(15)
BIGINT_ADX_ROW(16)

// A row whose length (1 to 16) is known only at run time.
static inline uint64_t InternalAdxRowOf(int count, uint64_t *r, const uint64_t *a, uint64_t b) {
    switch (count) {
    case 1:
        return InternalAdxRow<1>(r, a, b);
    case 2:
        return InternalAdxRow<2>(r, a, b);
    case 3:
        return InternalAdxRow<3>(r, a, b);
    case 4:
        return InternalAdxRow<4>(r, a, b);
    case 5:
        return InternalAdxRow<5>(r, a, b);
    case 6:
        return InternalAdxRow<6>(r, a, b);
    case 7:
        return InternalAdxRow<7>(r, a, b);
    case 8:
        return InternalAdxRow<8>(r, a, b);
    case 9:
        return InternalAdxRow<9>(r, a, b);
    case 10:
        return InternalAdxRow<10>(r, a, b);
    case 11:
        return InternalAdxRow<11>(r, a, b);
    case 12:
        return InternalAdxRow<12>(r, a, b);
    case 13:
        return InternalAdxRow<13>(r, a, b);
    case 14:
        return InternalAdxRow<14>(r, a, b);
    case 15:
        return InternalAdxRow<15>(r, a, b);
    default:
        return InternalAdxRow<16>(r, a, b);
    }
}

// 1 when this processor runs MULX, ADCX and ADOX and the tests have not asked
// for the portable rows.
static int InternalHaveAdx(void) {
    // CPUID leaf 7: EBX bit 8 is BMI2 (MULX), bit 19 ADX.
    static const int have = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & (1u << 8)) != 0 &&
               (b & (1u << 19)) != 0;
    }();
    return have && !gPortableRows.load(std::memory_order_relaxed);
}
#endif

// The last step of a reduction: t (n limbs) with `over` on top is below 2m;
// out = t, less m when it is not below m.
static inline void InternalMontFinish(const uint64_t *m, int n, uint64_t *out, uint64_t *t,
                                      uint64_t over) {
    int subtract = over != 0;
    if (!subtract) {
        int i = n - 1;
        while (i > 0 && t[i] == m[i])
            i--;
        subtract = t[i] >= m[i];
    }
    if (subtract) {
        uint64_t borrow = 0;
        for (int i = 0; i < n; i++) {
            BigIntProduct d = (BigIntProduct)t[i] - m[i] - borrow;
            t[i] = (uint64_t)d;
            borrow = (uint64_t)(d >> 64) & 1;
        }
    }
    memcpy(out, t, (size_t)n * 8);
}

// Montgomery reduction of p (2n limbs, below m x R) into out (below m).
template <int kFixed>
static void InternalMontReduce(const MontgomeryContext *ctx, uint64_t *out, uint64_t *p) {
    const int n = kFixed ? kFixed : ctx->Limbs;
    const uint64_t *m = ctx->Modulus;
    // One low limb cleared per row; `over` carries past p[i + n] into the next
    // row. Rows go in pairs: the second row's factor is known once the first has
    // passed two limbs, and the two carry chains then run side by side.
    uint64_t over = 0;
    int i = 0;
    for (; i + 1 < n; i += 2) {
        uint64_t q0 = p[i] * ctx->Inverse;
        BigIntProduct t = (BigIntProduct)q0 * m[0] + p[i];
        uint64_t c0 = (uint64_t)(t >> 64);
        t = (BigIntProduct)q0 * m[1] + p[i + 1] + c0;
        p[i + 1] = (uint64_t)t;
        c0 = (uint64_t)(t >> 64);
        uint64_t q1 = p[i + 1] * ctx->Inverse;
        t = (BigIntProduct)q1 * m[0] + p[i + 1];
        uint64_t c1 = (uint64_t)(t >> 64);
        for (int j = 2; j < n; j++) {
            t = (BigIntProduct)q0 * m[j] + p[i + j] + c0;
            p[i + j] = (uint64_t)t;
            c0 = (uint64_t)(t >> 64);
            t = (BigIntProduct)q1 * m[j - 1] + p[i + j] + c1;
            p[i + j] = (uint64_t)t;
            c1 = (uint64_t)(t >> 64);
        }
        BigIntProduct sum = (BigIntProduct)p[i + n] + c0 + over;
        p[i + n] = (uint64_t)sum;
        over = (uint64_t)(sum >> 64);
        t = (BigIntProduct)q1 * m[n - 1] + p[i + n] + c1;
        p[i + n] = (uint64_t)t;
        c1 = (uint64_t)(t >> 64);
        sum = (BigIntProduct)p[i + n + 1] + c1 + over;
        p[i + n + 1] = (uint64_t)sum;
        over = (uint64_t)(sum >> 64);
    }
    for (; i < n; i++) {
        uint64_t carry = InternalAddMulRow<0>(p + i, m, n, p[i] * ctx->Inverse);
        BigIntProduct sum = (BigIntProduct)p[i + n] + carry + over;
        p[i + n] = (uint64_t)sum;
        over = (uint64_t)(sum >> 64);
    }
    InternalMontFinish(m, n, out, p + n, over);
}

#ifdef BIGINT_ADX_ROWS
// InternalMontReduce with every row through InternalAdxRow (n = kFixed).
template <int kFixed>
static void InternalAdxMontReduce(const MontgomeryContext *ctx, uint64_t *out, uint64_t *p) {
    const uint64_t *m = ctx->Modulus;
    uint64_t over = 0;
    for (int i = 0; i < kFixed; i++) {
        uint64_t carry = InternalAdxRow<kFixed>(p + i, m, p[i] * ctx->Inverse);
        BigIntProduct sum = (BigIntProduct)p[i + kFixed] + carry + over;
        p[i + kFixed] = (uint64_t)sum;
        over = (uint64_t)(sum >> 64);
    }
    InternalMontFinish(m, kFixed, out, p + kFixed, over);
}
#endif

// Montgomery reduction of p by the kernel chosen: kAdx 1 for InternalAdxRow
// (a fixed size only), else the portable rows.
template <int kFixed, int kAdx>
static inline void InternalMontReduceBy(const MontgomeryContext *ctx, uint64_t *out, uint64_t *p) {
#ifdef BIGINT_ADX_ROWS
    if constexpr (kAdx != 0) {
        InternalAdxMontReduce<kFixed>(ctx, out, p);
        return;
    }
#endif
    InternalMontReduce<kFixed>(ctx, out, p);
}

// out = a x a x R^-1 mod m, for a < m: each cross product once, doubled, plus
// the squares, then one reduction. out may alias a.
template <int kFixed, int kAdx>
static void InternalMontSqr(const MontgomeryContext *ctx, uint64_t *out, const uint64_t *a) {
    const int n = kFixed ? kFixed : ctx->Limbs;
    uint64_t *p = ctx->Scratch;
    memset(p, 0, (size_t)(2 * n) * 8);
    for (int i = 0; i + 1 < n; i++) {
#ifdef BIGINT_ADX_ROWS
        if constexpr (kAdx != 0) {
            p[i + n] = InternalAdxRowOf(n - i - 1, p + 2 * i + 1, a + i + 1, a[i]);
            continue;
        }
#endif
        p[i + n] = InternalAddMulRow<0>(p + 2 * i + 1, a + i + 1, n - i - 1, a[i]);
    }
    for (int k = 2 * n - 1; k > 0; k--)
        p[k] = (p[k] << 1) | (p[k - 1] >> 63);
    p[0] <<= 1;
    uint64_t carry = 0;
    for (int i = 0; i < n; i++) {
        BigIntProduct square = (BigIntProduct)a[i] * a[i];
        BigIntProduct sum = (BigIntProduct)p[2 * i] + (uint64_t)square + carry;
        p[2 * i] = (uint64_t)sum;
        sum = (BigIntProduct)p[2 * i + 1] + (uint64_t)(square >> 64) + (uint64_t)(sum >> 64);
        p[2 * i + 1] = (uint64_t)sum;
        carry = (uint64_t)(sum >> 64);
    }
    InternalMontReduceBy<kFixed, kAdx>(ctx, out, p);
}

// out = a x b x R^-1 mod m, for a, b < m: the product, then one reduction. out
// may alias a or b.
template <int kFixed, int kAdx>
static void InternalMontMul(const MontgomeryContext *ctx, uint64_t *out, const uint64_t *a,
                            const uint64_t *b) {
    const int n = kFixed ? kFixed : ctx->Limbs;
    uint64_t *p = ctx->Scratch;
    memset(p, 0, (size_t)(2 * n) * 8);
    for (int i = 0; i < n; i++) {
#ifdef BIGINT_ADX_ROWS
        if constexpr (kAdx != 0) {
            p[i + n] = InternalAdxRow<kFixed>(p + i, a, b[i]);
            continue;
        }
#endif
        p[i + n] = InternalAddMulRow<kFixed>(p + i, a, n, b[i]);
    }
    InternalMontReduceBy<kFixed, kAdx>(ctx, out, p);
}

// The windowed exponentiation proper: table[0] and table[1] hold one and the
// base in Montgomery form; the rest of the table is filled here. acc receives
// the result in plain form; one is scratch.
template <int kFixed, int kAdx>
static void InternalMontPowers(const MontgomeryContext *ctx, uint64_t *table, uint64_t *acc,
                               uint64_t *one, const BigIntStruct *exponent) {
    const int n = kFixed ? kFixed : ctx->Limbs;
    const int tableSize = 1 << kWindowBits;
    for (int i = 2; i < tableSize; i++)
        InternalMontMul<kFixed, kAdx>(ctx, table + (int64_t)i * n, table + (int64_t)(i - 1) * n,
                                      table + n);
    memcpy(acc, table, (size_t)n * 8);
    int bits = BigInt_NumBits(exponent);
    int top = (bits + kWindowBits - 1) / kWindowBits * kWindowBits;
    for (int pos = top - kWindowBits; pos >= 0; pos -= kWindowBits) {
        if (pos != top - kWindowBits) {
            for (int s = 0; s < kWindowBits; s++)
                InternalMontSqr<kFixed, kAdx>(ctx, acc, acc);
        }
        int window = 0;
        for (int b = kWindowBits - 1; b >= 0; b--)
            window = (window << 1) | BigInt_TestBit(exponent, pos + b);
        if (window != 0)
            InternalMontMul<kFixed, kAdx>(ctx, acc, acc, table + (int64_t)window * n);
    }
    // Leave Montgomery form: multiply by 1.
    memset(one, 0, (size_t)n * 8);
    one[0] = 1;
    InternalMontMul<kFixed, kAdx>(ctx, acc, acc, one);
}

// 32-bit words (count of them) into n 64-bit limbs, zero-padded.
static void InternalToLimbs(uint64_t *limbs, int n, const uint32_t *words, int count) {
    for (int i = 0; i < n; i++) {
        uint64_t low = 2 * i < count ? words[2 * i] : 0;
        uint64_t high = 2 * i + 1 < count ? words[2 * i + 1] : 0;
        limbs[i] = low | (high << 32);
    }
}

// Montgomery exponentiation with a fixed window of kWindowBits over 64-bit limbs;
// result into r.
static void InternalModExpOdd(BigIntStruct *r, const BigIntStruct *base,
                              const BigIntStruct *exponent, const BigIntStruct *modulus) {
    int words = modulus->Length, n = (words + 1) / 2;
    const int tableSize = 1 << kWindowBits;
    // 64-bit layout: modulus (n), table (tableSize x n), accumulator (n), Montgomery
    // scratch (2n + 2), one (n). 32-bit layout after it: a wide operand (base words
    // + 2n + 1), the remainder (words) and the division work area.
    int wideWords = base->Length + 2 * n + 1;
    int64_t limbs = (int64_t)n + (int64_t)tableSize * n + n + (2 * n + 2) + n;
    int64_t halves = (int64_t)wideWords + words + (wideWords + words + 2);
    int64_t bytes = limbs * 8 + halves * 4;
    uint64_t *area = static_cast<uint64_t *>(ZYL_ALLOC(bytes));
    uint64_t *m = area, *table = m + n, *acc = table + (int64_t)tableSize * n;
    uint64_t *scratch = acc + n, *one = scratch + 2 * n + 2;
    uint32_t *wide = reinterpret_cast<uint32_t *>(one + n), *rem = wide + wideWords;
    uint32_t *work = rem + words;

    InternalToLimbs(m, n, modulus->Words, words);
    MontgomeryContext ctx = {m, n, 0, scratch};
    uint64_t inv = 1; // Newton iteration for m0^-1 mod 2^64
    for (int i = 0; i < 6; i++)
        inv *= 2 - m[0] * inv;
    ctx.Inverse = 0 - inv;

    // table[0] = R mod m (one in Montgomery form), table[1] = base x R mod m.
    memset(wide, 0, (size_t)wideWords * 4);
    wide[2 * n] = 1;
    InternalRemWords(rem, wide, 2 * n + 1, modulus->Words, words, work);
    InternalToLimbs(table, n, rem, words);
    memset(wide, 0, (size_t)wideWords * 4);
    memcpy(wide + 2 * n, base->Words, (size_t)base->Length * 4);
    InternalRemWords(rem, wide, base->Length + 2 * n, modulus->Words, words, work);
    InternalToLimbs(table + n, n, rem, words);
#ifdef BIGINT_ADX_ROWS
    int adx = InternalHaveAdx();
#else
    int adx = 0;
#endif
    if (n == 12 && adx)
        InternalMontPowers<12, 1>(&ctx, table, acc, one, exponent); // 768-bit moduli
    else if (n == 12)
        InternalMontPowers<12, 0>(&ctx, table, acc, one, exponent);
    else if (n == 16 && adx)
        InternalMontPowers<16, 1>(&ctx, table, acc, one, exponent); // 1024-bit moduli
    else if (n == 16)
        InternalMontPowers<16, 0>(&ctx, table, acc, one, exponent);
    else
        InternalMontPowers<0, 0>(&ctx, table, acc, one, exponent);

    BigInt_Expand(r, 2 * n);
    for (int i = 0; i < n; i++) {
        r->Words[2 * i] = (uint32_t)acc[i];
        r->Words[2 * i + 1] = (uint32_t)(acc[i] >> 32);
    }
    r->Length = 2 * n;
    r->Negative = 0;
    BigInt_Normalise(r);
    ZYL_FREE(area, bytes);
}

int BigInt_SetPortableRows(int on) {
    return gPortableRows.exchange(on != 0 ? 1 : 0);
}

int BigInt_ModExp(BigIntStruct *r, const BigIntStruct *base, const BigIntStruct *exponent,
                  const BigIntStruct *modulus) {
    ZYL_CHECK_TAG(r, kBigIntTag);
    ZYL_CHECK_TAG(base, kBigIntTag);
    ZYL_CHECK_TAG(exponent, kBigIntTag);
    ZYL_CHECK_TAG(modulus, kBigIntTag);
    if (modulus->Length == 0) {
        Zyl_Print("BigInt_ModExp() modulus is zero\n");
        return 0;
    }
    BigIntStruct *result = nullptr, *power = nullptr, *scratch = nullptr;
    BigInt_Create(&result);
    if (modulus->Words[0] & 1) {
        InternalModExpOdd(result, base, exponent, modulus);
        if (modulus->Length == 1 && modulus->Words[0] == 1)
            BigInt_Zero(result);
    } else {
        // Even moduli never occur in the key exchange; plain square and multiply.
        BigInt_Create(&power);
        BigInt_Create(&scratch);
        BigInt_SetWord(result, 1);
        BigInt_Mod(scratch, result, result, modulus);
        BigInt_Mod(scratch, power, base, modulus);
        int bits = BigInt_NumBits(exponent);
        for (int i = 0; i < bits; i++) {
            if (BigInt_TestBit(exponent, i)) {
                BigInt_Mul(result, scratch, result, power);
                BigInt_Mod(scratch, result, result, modulus);
            }
            if (i + 1 < bits) {
                BigInt_Mul(power, scratch, power, power);
                BigInt_Mod(scratch, power, power, modulus);
            }
        }
        BigInt_Destroy(&power);
        BigInt_Destroy(&scratch);
    }
    BigInt_Copy(r, result);
    BigInt_Destroy(&result);
    return 1;
}

// ---------------------------------------------------------------------------
// Conversions
// ---------------------------------------------------------------------------

int BigInt_FromBytes(int length, BigIntStruct *value, const uint8_t *bytes) {
    ZYL_CHECK_TAG(value, kBigIntTag);
    if (length <= 0)
        return BigInt_Zero(value);
    ZYL_CHECK_PTR(bytes);
    int words = (length + 3) / 4;
    BigInt_Expand(value, (8 * length + 16) / 32 + 1);
    memset(value->Words, 0, (size_t)words * 4);
    for (int i = 0; i < length; i++) {
        int fromEnd = length - 1 - i;
        value->Words[fromEnd / 4] |= (uint32_t)bytes[i] << (8 * (fromEnd % 4));
    }
    value->Length = words;
    value->Negative = 0;
    return BigInt_Normalise(value);
}

int BigInt_ToBytes(uint8_t *buffer, const BigIntStruct *value, int size, int *count) {
    ZYL_CHECK_PTR(buffer);
    ZYL_CHECK_PTR(count);
    ZYL_CHECK_TAG(value, kBigIntTag);
    *count = 0;
    int bytes = BigInt_NumBytes(value);
    if (size < bytes)
        return 0;
    for (int i = 0; i < bytes; i++) {
        int fromEnd = bytes - 1 - i;
        buffer[i] = (uint8_t)(value->Words[fromEnd / 4] >> (8 * (fromEnd % 4)));
    }
    *count = bytes;
    return 1;
}

int BigInt_FromHex(BigIntStruct *value, const char *text) {
    ZYL_CHECK_TAG(value, kBigIntTag);
    ZYL_CHECK_PTR(text);
    int negative = 0;
    if (*text == '-') {
        negative = 1;
        text++;
    }
    int digits = 0;
    while (Zyl_HexDigitValue(text[digits]) >= 0)
        digits++;
    if (digits == 0)
        return 0;
    int words = (digits + 7) / 8;
    BigInt_Expand(value, words);
    memset(value->Words, 0, (size_t)words * 4);
    for (int i = 0; i < digits; i++) {
        int fromEnd = digits - 1 - i;
        value->Words[fromEnd / 8] |= (uint32_t)Zyl_HexDigitValue(text[i]) << (4 * (fromEnd % 8));
    }
    value->Length = words;
    value->Negative = negative;
    return BigInt_Normalise(value);
}
