// VCDIFF decoder (RFC 3284). A state machine over the pushed input: header fields
// and window headers are read byte by byte (any split of the input works), the
// three sections of a window are gathered into one buffer, then the window's
// instructions run, pausing whenever a source block must be loaded.
#include "patcher/delta/vcdiff.h"

#include "core/zyl.h"

#include <cstring>
#include <zlib.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

const char kVCDiffTag[] = "VCDiffStruct";

enum { kNoop = 0, kAdd = 1, kRun = 2, kCopy = 3 };
enum { kVcdSource = 0x01, kVcdTarget = 0x02, kVcdAdler32 = 0x04 };
enum { kVcdDecompress = 0x01, kVcdCodeTable = 0x02, kVcdAppHeader = 0x04 };

// Bounds on the parts of a delta that are read whole into memory.
enum {
    kMaxAppData = 0x10000,       // application data of the header
    kMaxCodeTableDelta = 0x4000, // encoded code table
    kMaxSectionFactor = 16,      // sections may hold this many bytes per target byte
    kSerializedTableSize = 1536,
};

struct CodeEntry {
    uint8_t Type1, Size1, Mode1, Type2, Size2, Mode2;
};

enum State {
    ST_MAGIC,
    ST_HDR_IND,
    ST_SEC_ID,
    ST_CT_LEN,
    ST_CT_NEAR,
    ST_CT_SAME,
    ST_CT_DATA,
    ST_APP_LEN,
    ST_APP_DATA,
    ST_WIN_IND,
    ST_CPY_LEN,
    ST_CPY_OFF,
    ST_ENC_LEN,
    ST_TGT_LEN,
    ST_DEL_IND,
    ST_DATA_LEN,
    ST_INST_LEN,
    ST_ADDR_LEN,
    ST_CKSUM,
    ST_WIN_READY,
    ST_SECTIONS,
    ST_DECODE,
    ST_OUTPUT,
    ST_FINISH,
    ST_FAILED,
};

} // namespace

struct VCDiffStruct {
    const char *Tag;
    VCDiffSettingsStruct Settings;
    int Configured;
    int Nested; // decoding a code table: no code table or secondary compression allowed

    const uint8_t *Input; // caller's bytes not yet used
    uint32_t InputLeft;
    uint64_t TotalIn;
    uint64_t TotalOut; // target bytes of every finished window

    State St;
    int FieldIndex;    // bytes of a multi-byte field read so far
    uint64_t IntValue; // integer being read across input pieces
    int IntBytes;
    int HeaderReported;
    int WindowsSeen;

    uint8_t HdrIndicator;
    int Near, Same;
    CodeEntry Table[256];
    uint8_t *CodeTableData; // encoded code table, CodeTableLen - 2 bytes
    uint32_t CodeTableLen;
    uint8_t *AppData; // AppLen + 1 bytes, zero-terminated
    uint32_t AppLen;

    uint8_t WinIndicator, DelIndicator;
    uint64_t CpyOff;
    uint32_t CpyLen, TgtLen, EncLen, DataLen, InstLen, AddrLen;
    uint32_t Adler;
    uint64_t EncMark; // TotalIn right after the encoding length

    uint8_t *Sections; // data, instructions, addresses
    uint32_t SectionsCap, SectionsHave;
    uint32_t DataPos, InstPos, AddrPos; // cursors relative to each section

    uint8_t *Out; // the window being built
    uint32_t OutCap, OutLen;
    uint8_t *Prev; // the previous window, for VCD_TARGET copies
    uint32_t PrevCap, PrevLen;
    uint64_t PrevStart;
    int HavePrev;

    int PendType, PendSize, PendMode, HavePending; // second half of an opcode
    uint32_t CopyLeft;                             // COPY in progress
    uint64_t CopyAddr;

    uint32_t NearCache[256];
    int NextSlot;
    uint32_t *SameCache;
    uint32_t SameCount;

    VCDiffSourceStruct *Source;
    int FailCode; // returned again by every call after a failure
    char Message[160];
};

// ---------------------------------------------------------------------------
// Memory and errors
// ---------------------------------------------------------------------------

static void *VCDiff_InternalAlloc(VCDiffStruct *d, uint32_t size) {
    if (d->Settings.Alloc != nullptr) {
        void *p = d->Settings.Alloc(d->Settings.Opaque, size);
        if (p != nullptr) {
            memset(p, 0, size);
        }
        return p;
    }
    return ZYL_ALLOC(size);
}

static void VCDiff_InternalFree(VCDiffStruct *d, void *p, uint32_t size) {
    if (p == nullptr) {
        return;
    }
    if (d->Settings.Free != nullptr) {
        d->Settings.Free(d->Settings.Opaque, p, size);
        return;
    }
    ZYL_FREE(p, size);
}

static int VCDiff_InternalFail(VCDiffStruct *d, int code, const char *message) {
    Zyl_StrCopy(d->Message, message, (int)sizeof(d->Message));
    d->St = ST_FAILED;
    d->FailCode = code;
    return code;
}

// Makes *buffer hold at least `need` bytes, keeping `keep` bytes of content.
static int VCDiff_InternalReserve(VCDiffStruct *d, uint8_t **buffer, uint32_t *cap, uint32_t need,
                                  uint32_t keep) {
    if (*cap >= need) {
        return 1;
    }
    uint8_t *bigger = static_cast<uint8_t *>(VCDiff_InternalAlloc(d, need));
    if (bigger == nullptr) {
        return 0;
    }
    if (keep > 0) {
        memcpy(bigger, *buffer, keep);
    }
    VCDiff_InternalFree(d, *buffer, *cap);
    *buffer = bigger;
    *cap = need;
    return 1;
}

// ---------------------------------------------------------------------------
// Adler-32 of target windows (RFC 1950). zlib's version is byte-serial; on x86-64
// with SSSE3 32-byte blocks are summed in vector registers, which keeps the
// checksum well below the cost of writing the window out.
// ---------------------------------------------------------------------------

#if defined(__x86_64__)
__attribute__((target("ssse3"))) static uint32_t
VCDiff_InternalAdler32Ssse3(uint32_t adler, const uint8_t *p, uint32_t length) {
    const uint32_t kBase = 65521;
    const uint32_t kBlocksPerRound = 5552 / 32; // sums stay below 2^32 between reductions
    uint32_t s1 = adler & 0xFFFF, s2 = adler >> 16;
    uint32_t blocks = length / 32;
    const __m128i tap1 =
        _mm_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17);
    const __m128i tap2 = _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones = _mm_set1_epi16(1);
    while (blocks > 0) {
        uint32_t n = blocks < kBlocksPerRound ? blocks : kBlocksPerRound;
        blocks -= n;
        __m128i vPrefix = _mm_set_epi32(0, 0, 0, (int)(s1 * n)); // s1 before each block
        __m128i vS2 = _mm_set_epi32(0, 0, 0, (int)s2);
        __m128i vS1 = _mm_setzero_si128();
        for (uint32_t i = 0; i < n; i++, p += 32) {
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
            vPrefix = _mm_add_epi32(vPrefix, vS1);
            vS1 = _mm_add_epi32(vS1, _mm_sad_epu8(a, zero));
            vS1 = _mm_add_epi32(vS1, _mm_sad_epu8(b, zero));
            vS2 = _mm_add_epi32(vS2, _mm_madd_epi16(_mm_maddubs_epi16(a, tap1), ones));
            vS2 = _mm_add_epi32(vS2, _mm_madd_epi16(_mm_maddubs_epi16(b, tap2), ones));
        }
        vS2 = _mm_add_epi32(vS2, _mm_slli_epi32(vPrefix, 5));
        vS1 = _mm_add_epi32(vS1, _mm_shuffle_epi32(vS1, _MM_SHUFFLE(2, 3, 0, 1)));
        vS1 = _mm_add_epi32(vS1, _mm_shuffle_epi32(vS1, _MM_SHUFFLE(1, 0, 3, 2)));
        s1 += (uint32_t)_mm_cvtsi128_si32(vS1);
        vS2 = _mm_add_epi32(vS2, _mm_shuffle_epi32(vS2, _MM_SHUFFLE(2, 3, 0, 1)));
        vS2 = _mm_add_epi32(vS2, _mm_shuffle_epi32(vS2, _MM_SHUFFLE(1, 0, 3, 2)));
        s2 = (uint32_t)_mm_cvtsi128_si32(vS2);
        s1 %= kBase;
        s2 %= kBase;
    }
    uint32_t rest = length % 32;
    return (uint32_t)adler32((s2 << 16) | s1, p, rest);
}
#endif

uint32_t VCDiff_Adler32(uint32_t adler, const uint8_t *bytes, uint32_t length) {
    if (length == 0) {
        return adler;
    }
    ZYL_CHECK_PTR(bytes);
#if defined(__x86_64__)
    static const int haveSsse3 = __builtin_cpu_supports("ssse3");
    if (haveSsse3) {
        return VCDiff_InternalAdler32Ssse3(adler, bytes, length);
    }
#endif
    return (uint32_t)adler32(adler, bytes, length);
}

// ---------------------------------------------------------------------------
// Code table
// ---------------------------------------------------------------------------

static void VCDiff_InternalDefaultTable(CodeEntry *t) {
    memset(t, 0, sizeof(CodeEntry) * 256);
    int i = 0;
    t[i++] = CodeEntry{kRun, 0, 0, kNoop, 0, 0};
    for (int size = 0; size <= 17; size++) {
        t[i++] = CodeEntry{kAdd, (uint8_t)size, 0, kNoop, 0, 0};
    }
    for (int mode = 0; mode < 9; mode++) {
        t[i++] = CodeEntry{kCopy, 0, (uint8_t)mode, kNoop, 0, 0};
        for (int size = 4; size <= 18; size++) {
            t[i++] = CodeEntry{kCopy, (uint8_t)size, (uint8_t)mode, kNoop, 0, 0};
        }
    }
    for (int mode = 0; mode < 6; mode++) {
        for (int add = 1; add <= 4; add++) {
            for (int copy = 4; copy <= 6; copy++) {
                t[i++] = CodeEntry{kAdd, (uint8_t)add, 0, kCopy, (uint8_t)copy, (uint8_t)mode};
            }
        }
    }
    for (int mode = 6; mode < 9; mode++) {
        for (int add = 1; add <= 4; add++) {
            t[i++] = CodeEntry{kAdd, (uint8_t)add, 0, kCopy, 4, (uint8_t)mode};
        }
    }
    for (int mode = 0; mode < 9; mode++) {
        t[i++] = CodeEntry{kCopy, 4, (uint8_t)mode, kAdd, 1, 0};
    }
}

void VCDiff_SerializeDefaultTable(uint8_t *out) {
    ZYL_CHECK_PTR(out);
    CodeEntry t[256];
    VCDiff_InternalDefaultTable(t);
    for (int i = 0; i < 256; i++) {
        out[i] = t[i].Type1;
        out[256 + i] = t[i].Type2;
        out[512 + i] = t[i].Size1;
        out[768 + i] = t[i].Size2;
        out[1024 + i] = t[i].Mode1;
        out[1280 + i] = t[i].Mode2;
    }
}

static int VCDiff_InternalCheckTable(VCDiffStruct *d, const uint8_t *s) {
    int modes = d->Near + d->Same + 2;
    for (int i = 0; i < 256; i++) {
        for (int half = 0; half < 2; half++) {
            int type = s[half * 256 + i];
            int size = s[512 + half * 256 + i];
            int mode = s[1024 + half * 256 + i];
            if (type > kCopy) {
                return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "invalid code-table opcode");
            }
            if (type == kNoop && size != 0) {
                return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "invalid code-table size");
            }
            if (mode >= modes || (type != kCopy && mode != 0)) {
                return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "invalid code-table mode");
            }
        }
        d->Table[i] = CodeEntry{s[i], s[512 + i], s[1024 + i], s[256 + i], s[768 + i], s[1280 + i]};
    }
    return 0;
}

// Decodes the header's code-table delta against the serialised default table.
static int VCDiff_InternalLoadCodeTable(VCDiffStruct *d) {
    uint8_t source[kSerializedTableSize];
    uint8_t table[kSerializedTableSize];
    VCDiff_SerializeDefaultTable(source);
    VCDiffSourceStruct src;
    memset(&src, 0, sizeof(src));
    src.Size = kSerializedTableSize;
    src.BlockSize = 2048; // one block holds the whole table
    src.Name = "rfc3284 code table";
    src.Block = source;
    src.OnBlock = kSerializedTableSize;

    VCDiffStruct *inner = nullptr;
    VCDiff_Create(&inner);
    inner->Nested = 1;
    uint32_t produced = 0;
    int ok = VCDiff_Config(inner, &d->Settings) == 0 && VCDiff_SetSource(inner, &src) == 0;
    VCDiff_AvailInput(inner, d->CodeTableData, d->CodeTableLen - 2);
    while (ok) {
        int r = VCDiff_Decode(inner);
        if (r == VCDIFF_INPUT) {
            break;
        }
        if (r == VCDIFF_OUTPUT) {
            const uint8_t *bytes = nullptr;
            uint32_t n = 0;
            VCDiff_GetOutput(inner, &bytes, &n);
            if (n > kSerializedTableSize - produced) {
                ok = 0;
                break;
            }
            if (n > 0) {
                memcpy(table + produced, bytes, n);
                produced += n;
            }
            VCDiff_ConsumeOutput(inner);
        } else if (r != VCDIFF_GOTHEADER && r != VCDIFF_WINSTART && r != VCDIFF_WINFINISH) {
            ok = 0;
        }
    }
    if (ok && VCDiff_Close(inner) != 0) {
        ok = 0;
    }
    VCDiff_Destroy(&inner);
    if (!ok || produced != kSerializedTableSize) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "corrupt code-table encoding");
    }
    return VCDiff_InternalCheckTable(d, table);
}

// ---------------------------------------------------------------------------
// Settings and life
// ---------------------------------------------------------------------------

int VCDiff_InitSettings(VCDiffSettingsStruct *settings) {
    ZYL_CHECK_PTR(settings);
    memset(settings, 0, sizeof(*settings));
    settings->WindowSize = 0x800000;
    settings->SmallHistorySize = 0x40000;
    settings->MaxSourceWindow = 0x4000000;
    settings->InstructionBufferSize = 512;
    settings->MaxTargetSize = -1;
    return 1;
}

int VCDiff_Create(VCDiffStruct **decoder) {
    ZYL_CHECK_PTR(decoder);
    VCDiffStruct *d = ZYL_NEW(VCDiffStruct);
    d->Tag = kVCDiffTag;
    VCDiff_InitSettings(&d->Settings);
    d->St = ST_FAILED; // until configured
    Zyl_StrCopy(d->Message, "decoder not configured", (int)sizeof(d->Message));
    *decoder = d;
    return 1;
}

static int VCDiff_InternalCheckSettings(VCDiffStruct *d, const VCDiffSettingsStruct *s) {
    if (sizeof(uint32_t) != 4 || sizeof(uint64_t) != 8) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID, "incorrect compilation: wrong integer sizes");
    }
    int sec = s->Flags & (VCDIFF_SEC_DJW | VCDIFF_SEC_FGK);
    if (sec == (VCDIFF_SEC_DJW | VCDIFF_SEC_FGK)) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID, "too many secondary compressor types set");
    }
    if (sec == VCDIFF_SEC_DJW) {
        return VCDiff_InternalFail(d, VCDIFF_INTERNAL,
                                   "unavailable secondary compressor: DJW Static Huffman");
    }
    if (sec == VCDIFF_SEC_FGK) {
        return VCDiff_InternalFail(d, VCDIFF_INTERNAL,
                                   "unavailable secondary compressor: FGK Adaptive Huffman");
    }
    if (s->Flags & (VCDIFF_SEC_NODATA | VCDIFF_SEC_NOINST | VCDIFF_SEC_NOADDR)) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID,
                                   "XD3_SEC flags require a secondary compressor type");
    }
    if (s->Flags & VCDIFF_ALT_CODE_TABLE) {
        return VCDiff_InternalFail(d, VCDIFF_INTERNAL,
                                   "alternate code table support was not compiled");
    }
    if (s->SmallHistorySize == 0 || (s->SmallHistorySize & (s->SmallHistorySize - 1)) != 0) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID, "sprevsz is required to be a power of two");
    }
    if (s->MatchConfig == 5) {
        if (s->SoftLargeLook < 2 || s->SoftSmallLook < 2) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID, "invalid soft string-match config");
        }
    } else if (s->MatchConfig < 0 || s->MatchConfig > 4) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID, "invalid string match config type");
    }
    return 0;
}

// Frees everything the decoder allocated except the record itself.
static void VCDiff_InternalRelease(VCDiffStruct *d) {
    VCDiff_InternalFree(d, d->CodeTableData, d->CodeTableLen);
    d->CodeTableData = nullptr;
    if (d->AppData != nullptr) {
        VCDiff_InternalFree(d, d->AppData, d->AppLen + 1);
        d->AppData = nullptr;
    }
    VCDiff_InternalFree(d, d->Sections, d->SectionsCap);
    d->Sections = nullptr;
    d->SectionsCap = 0;
    VCDiff_InternalFree(d, d->Out, d->OutCap);
    d->Out = nullptr;
    d->OutCap = 0;
    VCDiff_InternalFree(d, d->Prev, d->PrevCap);
    d->Prev = nullptr;
    d->PrevCap = 0;
    VCDiff_InternalFree(d, d->SameCache, d->SameCount * 4);
    d->SameCache = nullptr;
    d->SameCount = 0;
}

int VCDiff_Config(VCDiffStruct *d, const VCDiffSettingsStruct *settings) {
    ZYL_CHECK_TAG(d, kVCDiffTag);
    ZYL_CHECK_PTR(settings);
    VCDiff_InternalRelease(d);
    VCDiffSettingsStruct copy = *settings;
    int nested = d->Nested;
    memset(reinterpret_cast<char *>(d) + sizeof(d->Tag), 0, sizeof(*d) - sizeof(d->Tag));
    d->Nested = nested;
    d->Settings = copy;
    int r = VCDiff_InternalCheckSettings(d, &copy);
    if (r != 0) {
        return r;
    }
    d->St = ST_MAGIC;
    d->Near = 4;
    d->Same = 3;
    VCDiff_InternalDefaultTable(d->Table);
    d->Configured = 1;
    return 0;
}

int VCDiff_SetSource(VCDiffStruct *d, VCDiffSourceStruct *source) {
    ZYL_CHECK_TAG(d, kVCDiffTag);
    ZYL_CHECK_PTR(source);
    uint32_t b = source->BlockSize;
    if (b == 0 || (b & (b - 1)) != 0 || source->Size < 0) {
        VCDiff_InternalFail(d, VCDIFF_INVALID, "source block size must be a power of two");
        return VCDIFF_INVALID;
    }
    int shift = 0;
    while ((1u << shift) != b) {
        shift++;
    }
    source->BlockShift = shift;
    source->BlockCount = (source->Size + b - 1) >> shift;
    source->LastBlockSize = 0;
    if (source->BlockCount > 0) {
        source->LastBlockSize = (uint32_t)(source->Size - ((source->BlockCount - 1) << shift));
    }
    d->Source = source;
    return 0;
}

void VCDiff_AvailInput(VCDiffStruct *d, const uint8_t *bytes, uint32_t length) {
    ZYL_CHECK_TAG(d, kVCDiffTag);
    if (length > 0) {
        ZYL_CHECK_PTR(bytes);
    }
    d->Input = bytes;
    d->InputLeft = length;
}

void VCDiff_SetFlags(VCDiffStruct *d, int flags) {
    ZYL_CHECK_TAG(d, kVCDiffTag);
    d->Settings.Flags = flags;
}

void VCDiff_GetOutput(VCDiffStruct *d, const uint8_t **bytes, uint32_t *length) {
    ZYL_CHECK_TAG(d, kVCDiffTag);
    ZYL_CHECK_PTR(bytes);
    ZYL_CHECK_PTR(length);
    *bytes = nullptr;
    *length = 0;
    if (d->St == ST_OUTPUT) {
        *bytes = d->Out;
        *length = d->OutLen;
    }
}

void VCDiff_ConsumeOutput(VCDiffStruct *d) {
    ZYL_CHECK_TAG(d, kVCDiffTag);
    if (d->St == ST_OUTPUT) {
        d->St = ST_FINISH;
    }
}

int VCDiff_Close(VCDiffStruct *d) {
    ZYL_CHECK_TAG(d, kVCDiffTag);
    int atStart = d->St == ST_MAGIC && d->FieldIndex == 0;
    int betweenWindows = d->St == ST_WIN_IND || d->St == ST_FINISH;
    if (atStart || betweenWindows) {
        return 0;
    }
    if (d->St == ST_FAILED) {
        return d->FailCode != 0 ? d->FailCode : VCDIFF_INVALID;
    }
    return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "EOF in decode");
}

const char *VCDiff_GetMessage(VCDiffStruct *d) {
    ZYL_CHECK_TAG(d, kVCDiffTag);
    return d->Message;
}

uint64_t VCDiff_GetTotalOut(VCDiffStruct *d) {
    ZYL_CHECK_TAG(d, kVCDiffTag);
    return d->TotalOut;
}

uint64_t VCDiff_GetTotalIn(VCDiffStruct *d) {
    ZYL_CHECK_TAG(d, kVCDiffTag);
    return d->TotalIn;
}

int VCDiff_GetWindowCount(VCDiffStruct *d) {
    ZYL_CHECK_TAG(d, kVCDiffTag);
    return d->WindowsSeen;
}

int VCDiff_Destroy(VCDiffStruct **decoder) {
    ZYL_CHECK_PTR(decoder);
    VCDiffStruct *d = *decoder;
    if (d == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(d, kVCDiffTag);
    VCDiff_InternalRelease(d);
    d->Tag = Zyl_DeadTag;
    ZYL_FREE(d, sizeof(VCDiffStruct));
    *decoder = nullptr;
    return 1;
}

// ---------------------------------------------------------------------------
// Header fields (resumable)
// ---------------------------------------------------------------------------

static int VCDiff_InternalByte(VCDiffStruct *d, uint8_t *b) {
    if (d->InputLeft == 0) {
        return 0;
    }
    *b = *d->Input++;
    d->InputLeft--;
    d->TotalIn++;
    return 1;
}

// Reads a base-128 integer of at most `maxValue`. Returns 1 when complete, 0
// when more input is needed (the partial value is kept), -1 on overflow.
static int VCDiff_InternalInt(VCDiffStruct *d, uint64_t maxValue, uint64_t *value) {
    uint8_t b;
    while (VCDiff_InternalByte(d, &b)) {
        if (d->IntValue > (maxValue >> 7)) {
            return -1;
        }
        d->IntValue = (d->IntValue << 7) | (b & 0x7F);
        d->IntBytes++;
        if ((b & 0x80) == 0) {
            if (d->IntValue > maxValue) {
                return -1;
            }
            *value = d->IntValue;
            d->IntValue = 0;
            d->IntBytes = 0;
            return 1;
        }
    }
    return 0;
}

// Reads a 32-bit header integer into *out; 1 done, 0 more input, or a failure code.
static int VCDiff_InternalInt32Field(VCDiffStruct *d, uint32_t *out, int *code) {
    uint64_t v = 0;
    int r = VCDiff_InternalInt(d, 0xFFFFFFFFull, &v);
    if (r < 0) {
        *code = VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "overflow in decode_integer");
        return -1;
    }
    if (r == 1) {
        *out = (uint32_t)v;
    }
    return r;
}

static int VCDiff_InternalMagic(VCDiffStruct *d) {
    static const uint8_t kMagic[3] = {0xD6, 0xC3, 0xC4};
    uint8_t b;
    while (d->FieldIndex < 4 && VCDiff_InternalByte(d, &b)) {
        if (d->FieldIndex < 3 && b != kMagic[d->FieldIndex]) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "not a VCDIFF input");
        }
        if (d->FieldIndex == 3 && b != 0) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT,
                                       "VCDIFF input version > 0 is not supported");
        }
        d->FieldIndex++;
    }
    if (d->FieldIndex < 4) {
        return VCDIFF_INPUT;
    }
    d->FieldIndex = 0;
    d->St = ST_HDR_IND;
    return 0;
}

static int VCDiff_InternalSecondaryId(VCDiffStruct *d) {
    uint8_t id;
    if (!VCDiff_InternalByte(d, &id)) {
        return VCDIFF_INPUT;
    }
    if (id == 1) {
        return VCDiff_InternalFail(d, VCDIFF_INTERNAL,
                                   "unavailable secondary compressor: DJW Static Huffman");
    }
    if (id == 16) {
        return VCDiff_InternalFail(d, VCDIFF_INTERNAL,
                                   "unavailable secondary compressor: FGK Adaptive Huffman");
    }
    return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "unknown secondary compressor ID");
}

// Copies bytes of a header blob (code table, application data) as they arrive.
static int VCDiff_InternalBlob(VCDiffStruct *d, uint8_t *dest, uint32_t length) {
    uint32_t want = length - (uint32_t)d->FieldIndex;
    uint32_t n = want < d->InputLeft ? want : d->InputLeft;
    if (n == 0) {
        return want == 0;
    }
    memcpy(dest + d->FieldIndex, d->Input, n);
    d->Input += n;
    d->InputLeft -= n;
    d->TotalIn += n;
    d->FieldIndex += (int)n;
    return (uint32_t)d->FieldIndex == length;
}

static State VCDiff_InternalAfterCodeTable(VCDiffStruct *d) {
    return (d->HdrIndicator & kVcdAppHeader) ? ST_APP_LEN : ST_WIN_IND;
}

// File header: everything before the first window.
static int VCDiff_InternalFileHeader(VCDiffStruct *d) {
    int code = 0;
    uint8_t b;
    uint32_t v = 0;
    switch (d->St) {
    case ST_MAGIC:
        return VCDiff_InternalMagic(d);
    case ST_HDR_IND:
        if (!VCDiff_InternalByte(d, &b)) {
            return VCDIFF_INPUT;
        }
        if (b & ~0x07) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT,
                                       "unrecognized header indicator bits set");
        }
        if (d->Nested && (b & (kVcdDecompress | kVcdCodeTable))) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "corrupt code-table encoding");
        }
        d->HdrIndicator = b;
        d->St = (b & kVcdDecompress)  ? ST_SEC_ID
                : (b & kVcdCodeTable) ? ST_CT_LEN
                                      : VCDiff_InternalAfterCodeTable(d);
        return 0;
    case ST_SEC_ID:
        return VCDiff_InternalSecondaryId(d);
    case ST_CT_LEN: {
        int r = VCDiff_InternalInt32Field(d, &v, &code);
        if (r <= 0) {
            return r < 0 ? code : VCDIFF_INPUT;
        }
        if (v <= 2) {
            return VCDiff_InternalFail(d, VCDIFF_NOMEM, "invalid code table size");
        }
        if (v > kMaxCodeTableDelta) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "code table delta too large");
        }
        d->CodeTableLen = v;
        d->St = ST_CT_NEAR;
        return 0;
    }
    case ST_CT_NEAR:
    case ST_CT_SAME:
        if (!VCDiff_InternalByte(d, &b)) {
            return VCDIFF_INPUT;
        }
        if (d->St == ST_CT_NEAR) {
            d->Near = b;
            d->St = ST_CT_SAME;
            return 0;
        }
        d->Same = b;
        if (d->Near + d->Same + 2 > 256) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "invalid code-table mode");
        }
        d->CodeTableData = static_cast<uint8_t *>(VCDiff_InternalAlloc(d, d->CodeTableLen));
        if (d->CodeTableData == nullptr) {
            return VCDiff_InternalFail(d, VCDIFF_NOMEM, "out of memory");
        }
        d->FieldIndex = 0;
        d->St = ST_CT_DATA;
        return 0;
    case ST_CT_DATA:
        if (!VCDiff_InternalBlob(d, d->CodeTableData, d->CodeTableLen - 2)) {
            return VCDIFF_INPUT;
        }
        d->FieldIndex = 0;
        code = VCDiff_InternalLoadCodeTable(d);
        if (code != 0) {
            return code;
        }
        d->St = VCDiff_InternalAfterCodeTable(d);
        return 0;
    case ST_APP_LEN: {
        int r = VCDiff_InternalInt32Field(d, &v, &code);
        if (r <= 0) {
            return r < 0 ? code : VCDIFF_INPUT;
        }
        if (v > kMaxAppData) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "application header too large");
        }
        d->AppLen = v;
        d->AppData = static_cast<uint8_t *>(VCDiff_InternalAlloc(d, v + 1));
        if (d->AppData == nullptr) {
            return VCDiff_InternalFail(d, VCDIFF_NOMEM, "out of memory");
        }
        d->FieldIndex = 0;
        d->St = ST_APP_DATA;
        return 0;
    }
    case ST_APP_DATA:
        if (!VCDiff_InternalBlob(d, d->AppData, d->AppLen)) {
            return VCDIFF_INPUT;
        }
        d->FieldIndex = 0;
        d->St = ST_WIN_IND;
        return 0;
    default:
        return VCDiff_InternalFail(d, VCDIFF_INTERNAL, "bad decoder state");
    }
}

// ---------------------------------------------------------------------------
// Window header
// ---------------------------------------------------------------------------

static int VCDiff_InternalCheckCopyWindow(VCDiffStruct *d) {
    if (d->CpyOff > UINT64_MAX - d->CpyLen) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT,
                                   "decoder copy window overflows a file offset");
    }
    if (d->WinIndicator & kVcdTarget) {
        if (d->CpyOff + d->CpyLen > d->TotalOut) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "VCD_TARGET window out of bounds");
        }
        if (!d->HavePrev || d->CpyOff < d->PrevStart) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "unsupported VCD_TARGET offset");
        }
    }
    if ((d->WinIndicator & kVcdSource) && d->Source == nullptr) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "source input required");
    }
    return 0;
}

static int VCDiff_InternalCheckLengths(VCDiffStruct *d) {
    if ((uint64_t)d->CpyLen + d->TgtLen > 0xFFFFFFFFull) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT,
                                   "decoder target window overflows a usize_t");
    }
    if (d->TgtLen > VCDIFF_HARD_MAX_WINSIZE) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "hard window size exceeded");
    }
    if (d->TotalOut > UINT64_MAX - d->TgtLen) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "decoder file offset overflow");
    }
    // Refused before the window is read or decoded: a few bytes of delta must not
    // make the decoder produce more than the result can hold.
    if (d->Settings.MaxTargetSize >= 0 &&
        d->TotalOut + d->TgtLen > (uint64_t)d->Settings.MaxTargetSize) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT,
                                   "target window passes the expected size");
    }
    return 0;
}

// Called once the section lengths (and checksum) are read.
static int VCDiff_InternalCheckEncoding(VCDiffStruct *d) {
    uint64_t fields = d->TotalIn - d->EncMark;
    uint64_t sections = (uint64_t)d->DataLen + d->InstLen + d->AddrLen;
    if (fields + sections != d->EncLen) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT,
                                   "incorrect encoding length (redundent)");
    }
    if (sections > (uint64_t)d->TgtLen * kMaxSectionFactor + 4096) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "window sections too large");
    }
    return 0;
}

// Reads one 32-bit window field and moves to `next`.
static int VCDiff_InternalWinInt(VCDiffStruct *d, uint32_t *field, State next) {
    int code = 0;
    int r = VCDiff_InternalInt32Field(d, field, &code);
    if (r <= 0) {
        return r < 0 ? code : VCDIFF_INPUT;
    }
    d->St = next;
    return 0;
}

static int VCDiff_InternalWindowHeader(VCDiffStruct *d) {
    uint8_t b;
    uint64_t v = 0;
    int r;
    switch (d->St) {
    case ST_WIN_IND:
        if (!VCDiff_InternalByte(d, &b)) {
            return VCDIFF_INPUT;
        }
        if (b & ~0x07) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT,
                                       "unrecognized window indicator bits set");
        }
        if ((b & kVcdSource) && (b & kVcdTarget)) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT,
                                       "VCD_SOURCE and VCD_TARGET cannot both be set");
        }
        d->WinIndicator = b;
        d->CpyLen = 0;
        d->CpyOff = 0;
        d->St = (b & (kVcdSource | kVcdTarget)) ? ST_CPY_LEN : ST_ENC_LEN;
        return 0;
    case ST_CPY_LEN:
        return VCDiff_InternalWinInt(d, &d->CpyLen, ST_CPY_OFF);
    case ST_CPY_OFF:
        r = VCDiff_InternalInt(d, UINT64_MAX, &v);
        if (r < 0) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "overflow in decode_integer");
        }
        if (r == 0) {
            return VCDIFF_INPUT;
        }
        d->CpyOff = v;
        r = VCDiff_InternalCheckCopyWindow(d);
        if (r != 0) {
            return r;
        }
        d->St = ST_ENC_LEN;
        return 0;
    case ST_ENC_LEN:
        r = VCDiff_InternalWinInt(d, &d->EncLen, ST_TGT_LEN);
        d->EncMark = d->TotalIn;
        return r;
    case ST_TGT_LEN:
        r = VCDiff_InternalWinInt(d, &d->TgtLen, ST_DEL_IND);
        return r != 0 ? r : VCDiff_InternalCheckLengths(d);
    case ST_DEL_IND:
        if (!VCDiff_InternalByte(d, &b)) {
            return VCDIFF_INPUT;
        }
        if (b & ~0x07) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT,
                                       "unrecognized delta indicator bits set");
        }
        if (b != 0) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "invalid delta indicator bits set");
        }
        d->DelIndicator = b;
        d->St = ST_DATA_LEN;
        return 0;
    case ST_DATA_LEN:
        return VCDiff_InternalWinInt(d, &d->DataLen, ST_INST_LEN);
    case ST_INST_LEN:
        return VCDiff_InternalWinInt(d, &d->InstLen, ST_ADDR_LEN);
    case ST_ADDR_LEN:
        r = VCDiff_InternalWinInt(d, &d->AddrLen, ST_CKSUM);
        if (r == 0 && !(d->WinIndicator & kVcdAdler32)) {
            d->St = ST_WIN_READY;
            return VCDiff_InternalCheckEncoding(d);
        }
        d->FieldIndex = 0;
        d->Adler = 0;
        return r;
    case ST_CKSUM:
        while (d->FieldIndex < 4 && VCDiff_InternalByte(d, &b)) {
            d->Adler = (d->Adler << 8) | b;
            d->FieldIndex++;
        }
        if (d->FieldIndex < 4) {
            return VCDIFF_INPUT;
        }
        d->FieldIndex = 0;
        d->St = ST_WIN_READY;
        return VCDiff_InternalCheckEncoding(d);
    default:
        return VCDiff_InternalFail(d, VCDIFF_INTERNAL, "bad decoder state");
    }
}

// Prepares the window's buffers and caches once its header is complete.
static int VCDiff_InternalStartWindow(VCDiffStruct *d) {
    uint32_t total = d->DataLen + d->InstLen + d->AddrLen; // bounded by CheckEncoding
    uint32_t first = total < 0x100000 ? total : 0x100000;  // grows as bytes arrive
    if (!VCDiff_InternalReserve(d, &d->Sections, &d->SectionsCap, first, 0) ||
        !VCDiff_InternalReserve(d, &d->Out, &d->OutCap, d->TgtLen, 0)) {
        return VCDiff_InternalFail(d, VCDIFF_NOMEM, "out of memory");
    }
    uint32_t sameCount = (uint32_t)d->Same * 256;
    if (d->SameCache == nullptr && sameCount > 0) {
        d->SameCache = static_cast<uint32_t *>(VCDiff_InternalAlloc(d, sameCount * 4));
        if (d->SameCache == nullptr) {
            return VCDiff_InternalFail(d, VCDIFF_NOMEM, "out of memory");
        }
        d->SameCount = sameCount;
    }
    memset(d->NearCache, 0, sizeof(d->NearCache));
    if (d->SameCache != nullptr) {
        memset(d->SameCache, 0, d->SameCount * 4);
    }
    d->NextSlot = 0;
    d->SectionsHave = 0;
    d->DataPos = d->InstPos = d->AddrPos = 0;
    d->OutLen = 0;
    d->HavePending = 0;
    d->CopyLeft = 0;
    d->St = ST_SECTIONS;
    int first_window = d->WindowsSeen++ == 0;
    if (first_window && !d->HeaderReported) {
        d->HeaderReported = 1;
        return VCDIFF_GOTHEADER;
    }
    return VCDIFF_WINSTART;
}

static int VCDiff_InternalGatherSections(VCDiffStruct *d) {
    uint32_t total = d->DataLen + d->InstLen + d->AddrLen;
    while (d->SectionsHave < total) {
        if (d->InputLeft == 0) {
            return VCDIFF_INPUT;
        }
        uint32_t want = total - d->SectionsHave;
        uint32_t n = want < d->InputLeft ? want : d->InputLeft;
        if (d->SectionsHave + n > d->SectionsCap) {
            uint64_t grow = (uint64_t)d->SectionsCap * 2;
            uint32_t need = grow > total ? total : (uint32_t)grow;
            if (need < d->SectionsHave + n) {
                need = d->SectionsHave + n;
            }
            if (!VCDiff_InternalReserve(d, &d->Sections, &d->SectionsCap, need, d->SectionsHave)) {
                return VCDiff_InternalFail(d, VCDIFF_NOMEM, "out of memory");
            }
        }
        memcpy(d->Sections + d->SectionsHave, d->Input, n);
        d->SectionsHave += n;
        d->Input += n;
        d->InputLeft -= n;
        d->TotalIn += n;
    }
    d->St = ST_DECODE;
    return 0;
}

// ---------------------------------------------------------------------------
// Instructions
// ---------------------------------------------------------------------------

// Reads a 32-bit integer from a section. 1, or 0 with the message set.
static int VCDiff_InternalSectionInt(VCDiffStruct *d, const uint8_t *base, uint32_t length,
                                     uint32_t *pos, uint32_t *out) {
    uint64_t v = 0;
    while (*pos < length) {
        uint8_t b = base[(*pos)++];
        if (v > (0xFFFFFFFFull >> 7)) {
            VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "overflow in read_intger");
            return 0;
        }
        v = (v << 7) | (b & 0x7F);
        if ((b & 0x80) == 0) {
            if (v > 0xFFFFFFFFull) {
                VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "overflow in read_intger");
                return 0;
            }
            *out = (uint32_t)v;
            return 1;
        }
    }
    VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "end-of-input in read_integer");
    return 0;
}

static int VCDiff_InternalDecodeAddress(VCDiffStruct *d, int mode, uint32_t *address) {
    const uint8_t *addr = d->Sections + d->DataLen + d->InstLen;
    uint32_t here = d->CpyLen + d->OutLen;
    uint32_t v = 0;
    uint64_t a;
    if (d->AddrPos >= d->AddrLen) {
        VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "address underflow");
        return 0;
    }
    if (mode >= 2 + d->Near) { // same cache: one byte
        uint32_t slot = (uint32_t)(mode - 2 - d->Near) * 256 + addr[d->AddrPos++];
        a = d->SameCache[slot];
    } else {
        if (!VCDiff_InternalSectionInt(d, addr, d->AddrLen, &d->AddrPos, &v)) {
            return 0;
        }
        if (mode == 0) {
            a = v;
        } else if (mode == 1) {
            a = v <= here ? here - v : UINT64_MAX;
        } else {
            a = (uint64_t)d->NearCache[mode - 2] + v;
        }
    }
    if (a >= here) {
        VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "address too large");
        return 0;
    }
    if (d->Near > 0) {
        d->NearCache[d->NextSlot] = (uint32_t)a;
        d->NextSlot = (d->NextSlot + 1) % d->Near;
    }
    if (d->SameCount > 0) {
        d->SameCache[a % d->SameCount] = (uint32_t)a;
    }
    *address = (uint32_t)a;
    return 1;
}

// Starts one instruction: ADD and RUN complete at once, COPY sets CopyLeft.
// Returns 0 or a failure code.
static int VCDiff_InternalStart(VCDiffStruct *d, int type, uint32_t size, int mode) {
    const uint8_t *inst = d->Sections + d->DataLen;
    if (size == 0 && !VCDiff_InternalSectionInt(d, inst, d->InstLen, &d->InstPos, &size)) {
        return VCDIFF_INVALID_INPUT;
    }
    if (size > d->TgtLen - d->OutLen) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "size too large");
    }
    const uint8_t *data = d->Sections;
    if (type == kAdd) {
        if (size > d->DataLen - d->DataPos) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "data underflow");
        }
        if (size > 0) {
            memcpy(d->Out + d->OutLen, data + d->DataPos, size);
        }
        d->DataPos += size;
        d->OutLen += size;
        return 0;
    }
    if (type == kRun) {
        if (d->DataPos >= d->DataLen) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "data underflow");
        }
        uint8_t value = data[d->DataPos++];
        if (size > 0) {
            memset(d->Out + d->OutLen, value, size);
        }
        d->OutLen += size;
        return 0;
    }
    uint32_t address = 0;
    if (!VCDiff_InternalDecodeAddress(d, mode, &address)) {
        return VCDIFF_INVALID_INPUT;
    }
    d->CopyAddr = address;
    d->CopyLeft = size;
    return 0;
}

// Copies from the source file through the caller's blocks; may ask for a block.
static int VCDiff_InternalCopySource(VCDiffStruct *d, uint32_t n, uint32_t *done) {
    VCDiffSourceStruct *s = d->Source;
    uint64_t offset = d->CpyOff + d->CopyAddr;
    int64_t block = (int64_t)(offset >> s->BlockShift);
    uint32_t within = (uint32_t)(offset & (s->BlockSize - 1));
    if (block >= s->BlockCount) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "source file too short");
    }
    if (s->CurrentBlock != block || s->Block == nullptr) {
        s->RequestedBlock = block;
        return VCDIFF_GETSRCBLK;
    }
    uint32_t expect = block == s->BlockCount - 1 ? s->LastBlockSize : s->BlockSize;
    if (s->OnBlock != expect) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "getblk returned short block");
    }
    if (within >= expect) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "source file too short");
    }
    uint32_t m = expect - within < n ? expect - within : n;
    memcpy(d->Out + d->OutLen, s->Block + within, m);
    *done = m;
    return 0;
}

// Advances the COPY in progress. Returns 0 when it finished, or a code.
static int VCDiff_InternalRunCopy(VCDiffStruct *d) {
    while (d->CopyLeft > 0) {
        uint32_t n = d->CopyLeft;
        uint32_t done = 0;
        if (d->CopyAddr < d->CpyLen) {
            uint64_t inCopyWindow = d->CpyLen - d->CopyAddr;
            n = inCopyWindow < n ? (uint32_t)inCopyWindow : n;
            if (d->WinIndicator & kVcdSource) {
                int r = VCDiff_InternalCopySource(d, n, &done);
                if (r != 0) {
                    return r;
                }
            } else { // VCD_TARGET: the copy window lies inside the previous window
                uint64_t at = d->CpyOff - d->PrevStart + d->CopyAddr;
                memcpy(d->Out + d->OutLen, d->Prev + at, n);
                done = n;
            }
        } else {
            uint32_t from = (uint32_t)(d->CopyAddr - d->CpyLen);
            uint32_t distance = d->OutLen - from; // above 0: addresses are below here
            done = n < distance ? n : distance;   // an overlap repeats the pattern
            memcpy(d->Out + d->OutLen, d->Out + from, done);
        }
        d->OutLen += done;
        d->CopyAddr += done;
        d->CopyLeft -= done;
    }
    return 0;
}

static int VCDiff_InternalNextInstruction(VCDiffStruct *d) {
    if (d->HavePending) {
        d->HavePending = 0;
        return VCDiff_InternalStart(d, d->PendType, (uint32_t)d->PendSize, d->PendMode);
    }
    if (d->InstPos >= d->InstLen) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "instruction underflow");
    }
    const CodeEntry &e = d->Table[d->Sections[d->DataLen + d->InstPos++]];
    if (e.Type2 != kNoop) {
        d->PendType = e.Type2;
        d->PendSize = e.Size2;
        d->PendMode = e.Mode2;
        d->HavePending = 1;
    }
    if (e.Type1 != kNoop) {
        return VCDiff_InternalStart(d, e.Type1, e.Size1, e.Mode1);
    }
    return 0;
}

static int VCDiff_InternalDecodeWindow(VCDiffStruct *d) {
    for (;;) {
        int r = VCDiff_InternalRunCopy(d);
        if (r != 0) {
            return r;
        }
        if (d->OutLen == d->TgtLen) {
            break;
        }
        r = VCDiff_InternalNextInstruction(d);
        if (r != 0) {
            return r;
        }
    }
    if (d->InstPos < d->InstLen || d->HavePending) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "wrong window length");
    }
    if (d->DataPos < d->DataLen) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "extra data section");
    }
    if (d->AddrPos < d->AddrLen) {
        return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "extra address section");
    }
    if (d->WinIndicator & kVcdAdler32) {
        uint32_t sum = VCDiff_Adler32(1, d->Out, d->TgtLen);
        if (sum != d->Adler) {
            return VCDiff_InternalFail(d, VCDIFF_INVALID_INPUT, "target window checksum mismatch");
        }
    }
    d->St = ST_OUTPUT;
    return VCDIFF_OUTPUT;
}

// The delivered window becomes the previous one.
static int VCDiff_InternalFinishWindow(VCDiffStruct *d) {
    uint8_t *buffer = d->Prev;
    uint32_t cap = d->PrevCap;
    d->Prev = d->Out;
    d->PrevCap = d->OutCap;
    d->PrevLen = d->TgtLen;
    d->PrevStart = d->TotalOut;
    d->HavePrev = 1;
    d->Out = buffer;
    d->OutCap = cap;
    d->OutLen = 0;
    d->TotalOut += d->TgtLen;
    d->St = ST_WIN_IND;
    return VCDIFF_WINFINISH;
}

int VCDiff_Decode(VCDiffStruct *d) {
    ZYL_CHECK_TAG(d, kVCDiffTag);
    for (;;) {
        int r = 0;
        switch (d->St) {
        case ST_FAILED:
            return d->FailCode != 0 ? d->FailCode : VCDIFF_INVALID;
        case ST_WIN_READY:
            return VCDiff_InternalStartWindow(d);
        case ST_SECTIONS:
            r = VCDiff_InternalGatherSections(d);
            break;
        case ST_DECODE:
            return VCDiff_InternalDecodeWindow(d);
        case ST_OUTPUT:
            return VCDIFF_OUTPUT;
        case ST_FINISH:
            return VCDiff_InternalFinishWindow(d);
        default:
            r = d->St < ST_WIN_IND ? VCDiff_InternalFileHeader(d) : VCDiff_InternalWindowHeader(d);
            break;
        }
        if (r != 0) {
            return r;
        }
    }
}
