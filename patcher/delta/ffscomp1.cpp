// "Comp1" chunk decoder for FFS archives. Every operand read is checked against
// the chunk's end and every write against the expected size; settings files are
// small, so the decoder favours checks over speed.
#include "patcher/delta/ffscomp1.h"

#include "core/zyl.h"

#include <cstring>

static const char kComp1Tag[] = "ffs-cmp1";

enum { kChunkHeader = 8, kMaxChannels = 8 };

struct FfsComp1Struct {
    const char *Tag;
    int Channels;               // K of the running channel operation
    int8_t Delta[kMaxChannels]; // per-channel step
    uint8_t Last[kMaxChannels]; // per-channel previous value
    uint8_t Reserved[104 - 8 - 4 - 2 * kMaxChannels - 4];
};

namespace {

struct Cursor {
    const uint8_t *in;
    int inLen;
    int inPos;
    uint8_t *out;
    int outLen; // expected size
    int outPos;
};

int Comp1Byte(Cursor *c, int *value) {
    if (c->inPos >= c->inLen) {
        return 0;
    }
    *value = c->in[c->inPos++];
    return 1;
}

// Long count: high nibble, else next byte + 15, else the 16-bit value after it.
int Comp1LongCount(Cursor *c, int high, int *count) {
    if (high != 0) {
        *count = high;
        return 1;
    }
    int b = 0, lo = 0, hi = 0;
    if (!Comp1Byte(c, &b)) {
        return 0;
    }
    if (b != 0) {
        *count = b + 15;
        return 1;
    }
    if (!Comp1Byte(c, &lo) || !Comp1Byte(c, &hi)) {
        return 0;
    }
    *count = lo | (hi << 8);
    return 1;
}

int Comp1Room(Cursor *c, int n) {
    return n >= 0 && n <= c->outLen - c->outPos;
}

// Copies n bytes from distance back, byte by byte so a short distance repeats.
int Comp1BackCopy(Cursor *c, int distance, int n) {
    if (distance <= 0 || distance > c->outPos || !Comp1Room(c, n)) {
        return 0;
    }
    for (int i = 0; i < n; i++) {
        c->out[c->outPos] = c->out[c->outPos - distance];
        c->outPos++;
    }
    return 1;
}

// Operation 5: K interleaved channels each adding its own signed step.
int Comp1Channels(FfsComp1Struct *ctx, Cursor *c, int n) {
    int k = 0;
    if (!Comp1Byte(c, &k) || k == 0 || k > kMaxChannels || k > c->outPos || !Comp1Room(c, n)) {
        return 0;
    }
    ctx->Channels = k;
    for (int i = 0; i < k; i++) {
        int d = 0;
        if (!Comp1Byte(c, &d)) {
            return 0;
        }
        ctx->Delta[i] = (int8_t)d;
        ctx->Last[i] = c->out[c->outPos - (k - i)];
    }
    for (int j = 0; j < n; j++) {
        int i = j % k;
        ctx->Last[i] = (uint8_t)(ctx->Last[i] + ctx->Delta[i]);
        c->out[c->outPos++] = ctx->Last[i];
    }
    return 1;
}

// Operations 6-9: the previous two bytes as a 16-bit value, plus or minus n.
int Comp1Word(Cursor *c, int op, int n) {
    if (c->outPos < 2 || !Comp1Room(c, 2)) {
        return 0;
    }
    uint8_t a = c->out[c->outPos - 2], b = c->out[c->outPos - 1];
    int bigEndian = op == 7 || op == 9;
    unsigned v = bigEndian ? (unsigned)(a << 8 | b) : (unsigned)(b << 8 | a);
    v = (op <= 7 ? v + (unsigned)n : v - (unsigned)n) & 0xFFFF;
    c->out[c->outPos++] = (uint8_t)(bigEndian ? v >> 8 : v);
    c->out[c->outPos++] = (uint8_t)(bigEndian ? v : v >> 8);
    return 1;
}

// Runs one operation; 1 done, 0 failure, 2 end of chunk.
int Comp1Operation(FfsComp1Struct *ctx, Cursor *c, int op, int high) {
    int n = 0, v = 0, lo = 0, hi = 0;
    if (op <= 5 && !Comp1LongCount(c, high, &n)) {
        return 0;
    }
    switch (op) {
    case 0:
        if (!Comp1Room(c, n) || n > c->inLen - c->inPos) {
            return 0;
        }
        memcpy(c->out + c->outPos, c->in + c->inPos, (size_t)n);
        c->outPos += n;
        c->inPos += n;
        return 1;
    case 1:
        if (n == 0) {
            return 2;
        }
        if (!Comp1Byte(c, &v) || !Comp1Room(c, n)) {
            return 0;
        }
        memset(c->out + c->outPos, v, (size_t)n);
        c->outPos += n;
        return 1;
    case 2:
        return Comp1Byte(c, &v) && Comp1BackCopy(c, v, n);
    case 3:
        return Comp1Byte(c, &lo) && Comp1Byte(c, &hi) && Comp1BackCopy(c, lo | hi << 8, n);
    case 4:
        if (!Comp1Byte(c, &v) || c->outPos == 0 || !Comp1Room(c, n)) {
            return 0;
        }
        for (int i = 0; i < n; i++, c->outPos++) {
            c->out[c->outPos] = (uint8_t)(c->out[c->outPos - 1] + v);
        }
        return 1;
    case 5:
        return Comp1Channels(ctx, c, n);
    case 6:
    case 7:
    case 8:
    case 9:
        return Comp1Word(c, op, high);
    case 10:
        return Comp1BackCopy(c, high + 1, 1);
    default:
        Zyl_Print("Unknown Opcode (%d)\n", op);
        return 0;
    }
}

} // namespace

int FfsComp1_Detect(void *context, const uint8_t *data, int length) {
    (void)context;
    ZYL_CHECK_PTR(data);
    return length >= 4 && memcmp(data, "FFC!", 4) == 0;
}

int FfsComp1_GetSize(void *context, const uint8_t *data, int length, int *size) {
    (void)context;
    ZYL_CHECK_PTR(data);
    ZYL_CHECK_PTR(size);
    *size = 0;
    if (length < kChunkHeader || memcmp(data, "FFC!", 4) != 0) {
        return 0;
    }
    int32_t u = (int32_t)((uint32_t)data[4] | (uint32_t)data[5] << 8 | (uint32_t)data[6] << 16 |
                          (uint32_t)data[7] << 24);
    if (u <= 0) {
        return 0;
    }
    *size = u;
    return 1;
}

int FfsComp1_Decompress(void *context, const uint8_t *data, int length, uint8_t *buffer, int size) {
    FfsComp1Struct *ctx = static_cast<FfsComp1Struct *>(context);
    ZYL_CHECK_TAG(ctx, kComp1Tag);
    ZYL_CHECK_PTR(data);
    ZYL_CHECK_PTR(buffer);
    int expected = 0;
    if (!FfsComp1_GetSize(context, data, length, &expected) || expected != size) {
        return 0;
    }
    Cursor c = {data, length, kChunkHeader, buffer, size, 0};
    for (;;) {
        int b = 0;
        if (!Comp1Byte(&c, &b)) {
            return 0; // input ended before the end operation
        }
        int r = Comp1Operation(ctx, &c, b & 0x0F, b >> 4);
        if (r == 0) {
            return 0;
        }
        if (r == 2) {
            return c.outPos == size;
        }
    }
}

int FfsComp1_CreateContext(void **context) {
    ZYL_CHECK_PTR(context);
    FfsComp1Struct *ctx = ZYL_NEW(FfsComp1Struct);
    ctx->Tag = kComp1Tag;
    *context = ctx;
    return 1;
}

int FfsComp1_DestroyContext(void **context) {
    ZYL_CHECK_PTR(context);
    FfsComp1Struct *ctx = static_cast<FfsComp1Struct *>(*context);
    if (ctx == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(ctx, kComp1Tag);
    ctx->Tag = Zyl_DeadTag;
    ZYL_FREE(ctx, sizeof(FfsComp1Struct));
    *context = nullptr;
    return 1;
}
