// RC4 stream cipher contexts for message stream encryption. The state is kept
// in locals across a call so the byte loop runs in registers.
#include "core/rc4.h"

#include "core/zyl.h"

#include <cstring>

#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "Rc4_Crypt gathers key-stream bytes into little-endian words"
#endif

static const char kRc4Tag[] = "rc4";

int Rc4_Create(Rc4Struct **rc4) {
    ZYL_CHECK_PTR(rc4);
    *rc4 = nullptr;
    Rc4Struct *context = ZYL_NEW(Rc4Struct);
    context->Tag = kRc4Tag;
    Rc4_Init(context);
    *rc4 = context;
    return 1;
}

int Rc4_Init(Rc4Struct *rc4) {
    ZYL_CHECK_TAG(rc4, kRc4Tag);
    for (int k = 0; k < 256; k++) {
        rc4->S[k] = (uint8_t)k;
    }
    rc4->I = 0;
    rc4->J = 0;
    return 1;
}

int Rc4_SetKey(Rc4Struct *rc4, const void *key, int length) {
    ZYL_CHECK_TAG(rc4, kRc4Tag);
    ZYL_CHECK_PTR(key);
    if (length > 255) {
        ZYL_FATAL("Key length too long (%d > %d)\n", length, 256);
    }
    if (length < 1) {
        ZYL_FATAL("Key length too short (%d < %d)\n", length, 1);
    }
    rc4->KeyLength = length;
    memcpy(rc4->Key, key, (size_t)length);
    // The schedule runs over the current S, so a second key without Rc4_Init
    // permutes further; j starts at 0 and the stream's i and j are untouched.
    uint8_t j = 0;
    int at = 0;
    for (int k = 0; k < 256; k++) {
        const uint8_t value = rc4->S[k];
        j = (uint8_t)(j + value + rc4->Key[at]);
        rc4->S[k] = rc4->S[j];
        rc4->S[j] = value;
        if (++at == length) {
            at = 0;
        }
    }
    return 1;
}

// One output step: advance i and j, swap S[i] and S[j], put the key-stream byte
// into byte `slot` of the little-endian word `stream`.
#define RC4_STEP(stream, slot)                                                                     \
    do {                                                                                           \
        i = (uint8_t)(i + 1);                                                                      \
        const uint8_t si = s[i];                                                                   \
        j = (uint8_t)(j + si);                                                                     \
        const uint8_t sj = s[j];                                                                   \
        s[i] = sj;                                                                                 \
        s[j] = si;                                                                                 \
        (stream) |= (uint64_t)s[(uint8_t)(si + sj)] << (8 * (slot));                               \
    } while (0)

int Rc4_Crypt(Rc4Struct *rc4, void *buffer, int64_t length) {
    ZYL_CHECK_TAG(rc4, kRc4Tag);
    if (length == 0) {
        return 1;
    }
    ZYL_CHECK_PTR(buffer);
    if (length < 0) {
        ZYL_FATAL("Rc4_Crypt() negative length %lld\n", (long long)length);
    }
    uint8_t *bytes = static_cast<uint8_t *>(buffer);
    uint8_t *s = rc4->S;
    uint8_t i = rc4->I;
    uint8_t j = rc4->J;
    int64_t k = 0;
    // Eight key-stream bytes are gathered into one word and XORed at once; the
    // unrolled steps let the loads of one step overlap the swap of the last.
    for (; k + 8 <= length; k += 8) {
        uint64_t stream = 0;
        RC4_STEP(stream, 0);
        RC4_STEP(stream, 1);
        RC4_STEP(stream, 2);
        RC4_STEP(stream, 3);
        RC4_STEP(stream, 4);
        RC4_STEP(stream, 5);
        RC4_STEP(stream, 6);
        RC4_STEP(stream, 7);
        uint64_t word;
        memcpy(&word, bytes + k, 8);
        word ^= stream;
        memcpy(bytes + k, &word, 8);
    }
    for (; k < length; k++) {
        uint64_t stream = 0;
        RC4_STEP(stream, 0);
        bytes[k] ^= (uint8_t)stream;
    }
    rc4->I = i;
    rc4->J = j;
    return 1;
}

int Rc4_Destroy(Rc4Struct **rc4) {
    ZYL_CHECK_PTR(rc4);
    Rc4Struct *context = *rc4;
    if (context == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(context, kRc4Tag);
    // The key and state are secrets of the connection.
    memset(context->S, 0, sizeof(context->S));
    memset(context->Key, 0, sizeof(context->Key));
    context->Tag = Zyl_DeadTag;
    ZYL_FREE(context, sizeof(Rc4Struct));
    *rc4 = nullptr;
    return 1;
}
