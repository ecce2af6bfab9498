// libFuzzer target for the VCDIFF decoder: the first byte picks the piece size
// the delta is fed in, the next two give the length of an in-memory source that
// follows; the rest is the delta. Output is counted, not kept, and decoding stops
// after 64 MiB so a tiny delta cannot exhaust memory through long runs.
#include "core/zyl.h"
#include "patcher/delta/vcdiff.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

const uint32_t kBlockSize = 0x400; // small blocks: many block requests
const uint64_t kMaxOutput = 64ull << 20;

void LoadBlock(VCDiffSourceStruct *src, const uint8_t *source, size_t size) {
    uint64_t off = (uint64_t)src->RequestedBlock * kBlockSize;
    src->CurrentBlock = src->RequestedBlock;
    src->Block = source + std::min<uint64_t>(off, size);
    src->OnBlock = off >= size ? 0 : (uint32_t)std::min<uint64_t>(kBlockSize, size - off);
}

// Runs the decoder over the input given last; 0 on a failure or enough output.
int Drive(VCDiffStruct *d, VCDiffSourceStruct *src, const uint8_t *source, size_t size) {
    for (;;) {
        int r = VCDiff_Decode(d);
        if (r == VCDIFF_INPUT) {
            return 1;
        }
        if (r == VCDIFF_OUTPUT) {
            const uint8_t *bytes = nullptr;
            uint32_t n = 0;
            VCDiff_GetOutput(d, &bytes, &n);
            if (n > 0 && (bytes[0] ^ bytes[n - 1]) == 0x5A) {
                Zyl_MemEqual(bytes, bytes, 1); // touch both ends
            }
            VCDiff_ConsumeOutput(d);
            if (VCDiff_GetTotalOut(d) > kMaxOutput) {
                return 0;
            }
        } else if (r == VCDIFF_GETSRCBLK) {
            LoadBlock(src, source, size);
        } else if (r != VCDIFF_GOTHEADER && r != VCDIFF_WINSTART && r != VCDIFF_WINFINISH) {
            return 0;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int initialised = (Zyl_Init("fuzz.log", 0), Zyl_MemoryInit(0x7FFFFFFF), 1);
    (void)initialised;
    if (size < 3) {
        return 0;
    }
    size_t piece = data[0] == 0 ? size : data[0];
    size_t sourceSize = std::min<size_t>((size_t)(data[1] | data[2] << 8), size - 3);
    const uint8_t *source = data + 3;
    const uint8_t *delta = source + sourceSize;
    size_t deltaSize = size - 3 - sourceSize;

    VCDiffStruct *d = nullptr;
    VCDiff_Create(&d);
    VCDiffSettingsStruct settings;
    VCDiff_InitSettings(&settings);
    settings.Flags = VCDIFF_ADLER32;
    VCDiff_Config(d, &settings);
    VCDiffSourceStruct src;
    memset(&src, 0, sizeof(src));
    src.Size = (int64_t)sourceSize;
    src.BlockSize = kBlockSize;
    src.RequestedBlock = 0;
    LoadBlock(&src, source, sourceSize);
    VCDiff_SetSource(d, &src);
    int ok = 1;
    for (size_t at = 0; ok && at < deltaSize; at += piece) {
        size_t n = std::min(piece, deltaSize - at);
        VCDiff_AvailInput(d, delta + at, (uint32_t)n);
        ok = Drive(d, &src, source, sourceSize);
    }
    if (ok) {
        VCDiff_Close(d);
    }
    VCDiff_Destroy(&d);
    return 0;
}
