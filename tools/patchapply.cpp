// patchapply: applies a VCDIFF delta to an installed file the way an update
// does (decode beside the target, verify, then replace) and prints the outcome.
// Usage: patchapply OLD DELTA NEW [SHA1-HEX]
#include <climits>

#include "core/alert.h"
#include "core/zyl.h"
#include "patcher/delta/vcdiffstream.h"

static int Usage(void) {
    Zyl_Print("usage: patchapply OLD DELTA NEW [SHA1-HEX]\n");
    return 2;
}

int main(int argc, char **argv) {
    Zyl_Init("patchapply.log", ZYL_LOG_CONSOLE | ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_MemoryInit(INT_MAX);
    Alert_Create();
    if (argc != 4 && argc != 5)
        return Usage();
    uint8_t digest[20];
    int count = 0;
    if (argc == 5 &&
        (!Zyl_HexToBytes(argv[4], Zyl_StrLen(argv[4]), digest, sizeof digest, &count) ||
         count != 20)) {
        Zyl_Print("patchapply: [%s] is not a SHA-1 digest\n", argv[4]);
        return Usage();
    }
    int ok = VCDiffStream_ApplyFile(argv[1], argv[2], argv[3], argc == 5 ? digest : nullptr);
    Zyl_Print(ok ? "patchapply: [%s] written and verified\n" : "patchapply: [%s] not written\n",
              argv[3]);
    Alert_Destroy();
    Zyl_MemoryRemove();
    return ok ? 0 : 1;
}
