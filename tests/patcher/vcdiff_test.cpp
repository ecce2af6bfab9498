// VCDIFF decoder: deltas made by xdelta3 decode to exactly the target in any
// split of the input; hand-made deltas cover a custom code table, the window
// limits, checksums and each refused input with its message.
#include "core/zyl.h"
#include "patcher/delta/vcdiff.h"
#include "tests/patcher/vcdiff_fixture.h"
#include "tests/support/support.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <zlib.h>

using testsupport::TempDir;
using vcdfixture::Bytes;
using vcdfixture::DecodeResult;

namespace {

struct XdeltaCase {
    const char *name;
    size_t oldSize, newSize;
    const char *flags;
};

// Old and new files related by scattered edits, an insertion and a cut.
void MakePair(size_t oldSize, size_t newSize, uint32_t seed, std::string *oldData,
              std::string *newData) {
    std::mt19937 rng(seed);
    oldData->resize(oldSize);
    for (auto &c : *oldData) {
        c = (char)(rng() % 7 == 0 ? rng() : 'a' + rng() % 4);
    }
    *newData = oldData->substr(0, std::min(oldSize, newSize));
    newData->resize(newSize, 'z');
    for (size_t i = 0; i < newData->size(); i += 1 + rng() % 3000) {
        (*newData)[i] = (char)rng();
    }
    if (newData->size() > 1000) {
        newData->insert(newData->size() / 2, std::string(300, 'Q'));
        newData->resize(newSize);
    }
}

TEST(VCDiffXdelta, DecodesEveryDeltaInAnySplit) {
    if (!testsupport::HaveProgram("xdelta3")) {
        GTEST_SKIP() << "xdelta3 not installed";
    }
    const XdeltaCase cases[] = {
        {"empty-to-empty", 0, 0, ""},
        {"empty-to-tiny", 0, 5, ""},
        {"tiny-to-empty", 5, 0, ""},
        {"tiny", 17, 23, ""},
        {"no-checksum", 50000, 52000, "-n"},
        {"no-app-header", 50000, 49000, "-A"},
        {"small-windows", 300000, 310000, "-W 16384"},
        {"small-windows-no-checksum", 300000, 290000, "-n -A -W 16384"},
        {"larger-than-window", 3000000, 3100000, "-A -W 524288"},
    };
    TempDir dir;
    uint32_t seed = (uint32_t)std::random_device{}();
    printf("seed %u\n", seed);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string oldData, newData;
        MakePair(c.oldSize, c.newSize, seed, &oldData, &newData);
        testsupport::WriteFile(dir / "old", oldData);
        testsupport::WriteFile(dir / "new", newData);
        std::string cmd = std::string("xdelta3 -f -e -S none -D ") + c.flags + " -s " +
                          (dir / "old") + " " + (dir / "new") + " " + (dir / "delta");
        ASSERT_EQ(0, testsupport::RunCommand(cmd));
        std::string delta = testsupport::ReadFile(dir / "delta");
        std::mt19937 rng(seed);
        for (uint32_t piece : {0u, 1u, 7u, 0x4000u, (uint32_t)(1 + rng() % 5000)}) {
            DecodeResult r = vcdfixture::Decode(delta, oldData, piece, 0x4000);
            ASSERT_EQ(0, r.code) << r.message << " piece " << piece;
            ASSERT_TRUE(r.output == newData) << "piece " << piece;
        }
    }
}

// ---------------------------------------------------------------------------
// Hand-made deltas
// ---------------------------------------------------------------------------

using vcdfixture::Window;

TEST(VCDiffDecode, HeaderOnlyDecodesToNothing) {
    DecodeResult r = vcdfixture::Decode(vcdfixture::Header(0), "", 0, 0x4000);
    EXPECT_EQ(0, r.code) << r.message;
    EXPECT_EQ("", r.output);
}

TEST(VCDiffDecode, AddRunAndSelfCopy) {
    Window w;
    w.Add("abc");
    w.Run(4, 'x');
    w.Copy(6, 0, 0); // overlapping copy from the target: repeats the pattern
    std::string delta = vcdfixture::Header(0) + w.Encode(0, 0, 0, true);
    DecodeResult r = vcdfixture::Decode(delta, "", 1, 0x4000);
    EXPECT_EQ(0, r.code) << r.message;
    EXPECT_EQ("abcxxxxabcxxx", r.output);
}

TEST(VCDiffDecode, SourceCopyFromLastPartialBlock) {
    std::string source(0x4000 * 2 + 100, 0);
    for (size_t i = 0; i < source.size(); i++) {
        source[i] = (char)(i * 7);
    }
    Window w;
    w.Copy(100, 0x8000, 0); // exactly the remainder block
    w.Copy(20, 0x3FF0, 0);  // spans blocks 0 and 1
    std::string delta =
        vcdfixture::Header(0) + w.Encode(0x01, source.size(), 0, true, 0, -1, source);
    DecodeResult r = vcdfixture::Decode(delta, source, 3, 0x4000);
    ASSERT_EQ(0, r.code) << r.message;
    EXPECT_EQ(source.substr(0x8000, 100) + source.substr(0x3FF0, 20), r.output);
    EXPECT_GE(r.blockLoads, 2);
}

TEST(VCDiffDecode, TargetCopyWindowFromPreviousWindow) {
    Window w1;
    w1.Add("hello world");
    Window w2;
    w2.Copy(5, 6, 0); // "world" from the previous window (copy window 0..10)
    std::string delta = vcdfixture::Header(0) + w1.Encode(0, 0, 0, false) +
                        w2.Encode(0x02, 11, 0, true, 0, -1, "hello world");
    DecodeResult r = vcdfixture::Decode(delta, "", 0, 0x4000);
    ASSERT_EQ(0, r.code) << r.message;
    EXPECT_EQ("hello worldworld", r.output);
}

TEST(VCDiffDecode, HardWindowLimit) {
    for (uint32_t size :
         {(uint32_t)VCDIFF_HARD_MAX_WINSIZE, (uint32_t)VCDIFF_HARD_MAX_WINSIZE + 1}) {
        Window w;
        w.Run(size, 'r');
        std::string delta = vcdfixture::Header(0) + w.Encode(0, 0, 0, true);
        DecodeResult r = vcdfixture::Decode(delta, "", 0, 0x4000);
        if (size == VCDIFF_HARD_MAX_WINSIZE) {
            EXPECT_EQ(0, r.code) << r.message;
            EXPECT_EQ(size, r.output.size());
        } else {
            EXPECT_EQ("hard window size exceeded", r.message);
        }
    }
}

TEST(VCDiffDecode, CustomCodeTable) {
    // Opcode 0 becomes "COPY 7 bytes, mode 0"; opcode 2 (ADD 1) stays.
    std::string delta = vcdfixture::CustomTableHeader(3, 7) + [] {
        Window w;
        w.Add("abcdefg");
        w.Raw(0, 0); // opcode 0 with address 0
        return w.Encode(0, 0, 0, true);
    }();
    DecodeResult r = vcdfixture::Decode(delta, "", 1, 0x4000);
    ASSERT_EQ(0, r.code) << r.message;
    EXPECT_EQ("abcdefgabcdefg", r.output);
}

// Each hostile delta fails with its message.
TEST(VCDiffDecode, RefusedInputs) {
    Window good;
    good.Add("abc");
    std::string ok = vcdfixture::Header(0) + good.Encode(0, 0, 0, true);
    std::string badSum = ok;
    badSum[badSum.size() - 5] ^= 1; // last checksum byte precedes 4 section bytes
    Window far;
    far.Copy(4, 100, 0);
    Window tooFar;
    tooFar.Add("ab");
    tooFar.Copy(1, 5, 0);
    Window src;
    src.Copy(4, 0, 0);
    std::string sec = vcdfixture::Header(0x01) + std::string(1, '\x01');
    struct Case {
        const char *name;
        std::string delta;
        std::string source;
        const char *message;
    } cases[] = {
        {"magic", "XYZ\x00", "", "not a VCDIFF input"},
        {"version", std::string("\xD6\xC3\xC4\x01", 4), "",
         "VCDIFF input version > 0 is not supported"},
        {"header bits", vcdfixture::Header(0x08), "", "unrecognized header indicator bits set"},
        {"secondary djw", sec, "", "unavailable secondary compressor: DJW Static Huffman"},
        {"secondary fgk", vcdfixture::Header(0x01) + "\x10", "",
         "unavailable secondary compressor: FGK Adaptive Huffman"},
        {"secondary other", vcdfixture::Header(0x01) + "\x05", "",
         "unknown secondary compressor ID"},
        {"table size", vcdfixture::Header(0x02) + "\x02", "", "invalid code table size"},
        {"bad opcode in table", vcdfixture::CustomTableHeader(4, 7), "",
         "invalid code-table opcode"},
        {"window bits", vcdfixture::Header(0) + "\x08", "",
         "unrecognized window indicator bits set"},
        {"checksum", badSum, "", "target window checksum mismatch"},
        {"source beyond end", vcdfixture::Header(0) + far.Encode(0x01, 200, 0, true), "short",
         "source file too short"},
        {"address too large", vcdfixture::Header(0) + tooFar.Encode(0, 0, 0, true), "",
         "address too large"},
        {"source required", vcdfixture::Header(0) + src.Encode(0x01, 4, 0, true), "",
         "source input required"},
        {"target out of bounds", vcdfixture::Header(0) + src.Encode(0x02, 4, 0, true), "",
         "VCD_TARGET window out of bounds"},
        {"truncated", ok.substr(0, ok.size() - 2), "", "EOF in decode"},
        {"table delta carrying a table",
         vcdfixture::Header(0x02) + vcdfixture::Varint(7) + "\x04\x03" + vcdfixture::Header(0x02),
         "", "corrupt code-table encoding"},
        {"table delta too large", vcdfixture::Header(0x02) + vcdfixture::Varint(0x4001), "",
         "code table delta too large"},
        {"application data too large", vcdfixture::Header(0x04) + vcdfixture::Varint(0x10001), "",
         "application header too large"},
        {"delta indicator", vcdfixture::Header(0) + std::string("\x00\x05\x01\x01", 4), "",
         "invalid delta indicator bits set"},
        {"window too large",
         vcdfixture::Header(0) + std::string("\x00\x05", 2) + vcdfixture::Varint(0x1000001), "",
         "hard window size exceeded"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int64_t blocksBefore = 0, blocksAfter = 0, bytes = 0;
        Zyl_MemoryGetUsage(&blocksBefore, &bytes);
        bool noSource = std::string(c.name) == "source required";
        DecodeResult r = vcdfixture::Decode(c.delta, c.source, 0, 0x4000, !noSource);
        EXPECT_NE(0, r.code);
        EXPECT_EQ(c.message, r.message);
        Zyl_MemoryGetUsage(&blocksAfter, &bytes);
        EXPECT_EQ(blocksBefore, blocksAfter); // a failed decode frees everything
    }
}

TEST(VCDiffDecode, WindowLengthChecks) {
    // Each window field altered: its encoding length no longer adds up.
    Window w;
    w.Add("abcd");
    std::string delta = vcdfixture::Header(0) + w.Encode(0, 0, 0, true, +1);
    DecodeResult r = vcdfixture::Decode(delta, "", 0, 0x4000);
    EXPECT_EQ("incorrect encoding length (redundent)", r.message);
    // Leftover data bytes.
    Window extra;
    extra.Add("abcd");
    extra.ExtraData("zz");
    r = vcdfixture::Decode(vcdfixture::Header(0) + extra.Encode(0, 0, 0, true), "", 0, 0x4000);
    EXPECT_EQ("extra data section", r.message);
    // More instructions than the target length.
    Window longer;
    longer.Add("abcd");
    longer.Add("e");
    r = vcdfixture::Decode(vcdfixture::Header(0) + longer.Encode(0, 0, 0, true, 0, 4), "", 0,
                           0x4000);
    EXPECT_EQ("wrong window length", r.message);
    // An instruction running past the target window.
    Window past;
    past.Add("abcde");
    r = vcdfixture::Decode(vcdfixture::Header(0) + past.Encode(0, 0, 0, true, 0, 4), "", 0, 0x4000);
    EXPECT_EQ("size too large", r.message);
    // Fewer instructions than the target length.
    Window shorter;
    shorter.Add("ab");
    r = vcdfixture::Decode(vcdfixture::Header(0) + shorter.Encode(0, 0, 0, true, 0, 3), "", 0,
                           0x4000);
    EXPECT_EQ("instruction underflow", r.message);
}

TEST(VCDiffSettings, RefusedSettings) {
    struct Case {
        int flags;
        uint32_t history;
        int match;
        const char *message;
    } cases[] = {
        {VCDIFF_SEC_DJW, 0x40000, 0, "unavailable secondary compressor: DJW Static Huffman"},
        {VCDIFF_SEC_FGK, 0x40000, 0, "unavailable secondary compressor: FGK Adaptive Huffman"},
        {VCDIFF_SEC_DJW | VCDIFF_SEC_FGK, 0x40000, 0, "too many secondary compressor types set"},
        {VCDIFF_SEC_NOINST, 0x40000, 0, "XD3_SEC flags require a secondary compressor type"},
        {VCDIFF_ALT_CODE_TABLE, 0x40000, 0, "alternate code table support was not compiled"},
        {0, 3000, 0, "sprevsz is required to be a power of two"},
        {0, 0x40000, 5, "invalid soft string-match config"},
        {0, 0x40000, 9, "invalid string match config type"},
    };
    for (const auto &c : cases) {
        VCDiffStruct *d = nullptr;
        VCDiff_Create(&d);
        VCDiffSettingsStruct s;
        VCDiff_InitSettings(&s);
        s.Flags = c.flags;
        s.SmallHistorySize = c.history;
        s.MatchConfig = c.match;
        EXPECT_NE(0, VCDiff_Config(d, &s));
        EXPECT_STREQ(c.message, VCDiff_GetMessage(d));
        VCDiff_Destroy(&d);
        EXPECT_EQ(nullptr, d);
    }
    VCDiffStruct *d = nullptr;
    VCDiff_Create(&d);
    VCDiffSettingsStruct s;
    VCDiff_InitSettings(&s);
    s.WindowSize = 0x4000;
    s.Flags = VCDIFF_ADLER32;
    EXPECT_EQ(0, VCDiff_Config(d, &s));
    VCDiff_Destroy(&d);
}

} // namespace

namespace {

// The vectorised checksum equals zlib's for every length and alignment,
// including all-0xFF data (the largest sums between reductions).
TEST(VCDiffAdler32, MatchesZlib) {
    std::mt19937 rng(3);
    std::string random(3 << 20, '\0');
    for (auto &c : random) {
        c = (char)rng();
    }
    std::string ones(3 << 20, '\xff');
    for (const std::string *data : {&random, &ones}) {
        for (uint32_t length : {0u, 1u, 31u, 32u, 33u, 5535u, 5552u, 5553u, 11104u, 100001u,
                                (uint32_t)(3 << 20) - 3}) {
            for (uint32_t offset : {0u, 1u, 3u}) {
                const uint8_t *p = (const uint8_t *)data->data() + offset;
                uint32_t expect = (uint32_t)adler32(1L, p, length);
                ASSERT_EQ(expect, VCDiff_Adler32(1, p, length)) << length << "+" << offset;
                uint32_t mid = (uint32_t)adler32(0x12345678 % 65521, p, length);
                ASSERT_EQ(mid, VCDiff_Adler32(0x12345678 % 65521, p, length));
            }
        }
    }
}

} // namespace
