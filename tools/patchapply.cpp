// patchapply: applies a VCDIFF delta to an installed file the way an update
// does (decode beside the target, check, sync, then replace in one rename) and
// prints the outcome. The result is called verified only when a SHA-1 digest or
// an expected size was given and checked.
// Usage: patchapply [--size BYTES] OLD DELTA NEW [SHA1-HEX]
#include <climits>

#include "core/alert.h"
#include "core/zyl.h"
#include "patcher/delta/vcdiffstream.h"

static int Usage(void) {
    Zyl_Print("usage: patchapply [--size BYTES] OLD DELTA NEW [SHA1-HEX]\n");
    return 2;
}

int main(int argc, char **argv) {
    Zyl_Init("patchapply.log", ZYL_LOG_CONSOLE | ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_MemoryInit(INT_MAX);
    Alert_Create();
    int64_t size = -1;
    int first = 1;
    if (argc > 2 && Zyl_StrEqual(argv[1], "--size")) {
        if (!Zyl_ParseInt64(argv[2], &size) || size < 0) {
            Zyl_Print("patchapply: [%s] is not a size in bytes\n", argv[2]);
            return Usage();
        }
        first = 3;
    }
    int count = argc - first;
    if (count != 3 && count != 4)
        return Usage();
    uint8_t digest[20];
    const char *hex = count == 4 ? argv[first + 3] : nullptr;
    int got = 0;
    if (hex != nullptr &&
        (!Zyl_HexToBytes(hex, Zyl_StrLen(hex), digest, sizeof digest, &got) || got != 20)) {
        Zyl_Print("patchapply: [%s] is not a SHA-1 digest\n", hex);
        return Usage();
    }
    const char *target = argv[first + 2];
    int ok = VCDiffStream_ApplyFile(argv[first], argv[first + 1], target,
                                    hex != nullptr ? digest : nullptr, size);
    if (!ok)
        Zyl_Print("patchapply: [%s] not written\n", target);
    else if (hex != nullptr || size >= 0)
        Zyl_Print("patchapply: [%s] written and verified (%s)\n", target,
                  hex != nullptr ? "SHA-1" : "size");
    else
        Zyl_Print("patchapply: [%s] written, unverified: no digest or size given\n", target);
    Alert_Destroy();
    Zyl_MemoryRemove();
    return ok ? 0 : 1;
}
