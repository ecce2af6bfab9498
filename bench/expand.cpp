// The expansion of one release. `bench_expand --expand FOLDER STORE INSTALL`
// expands the patch store FOLDER/STORE into the installation INSTALL once, as
// an update task's PROCESS step does (deltas against the installed files, whole
// files, every result checked by SHA-1, synced and renamed into place); timed
// by bench/cases/expand against xdelta3, cp, sha1sum and sync doing that work.
#include "core/stopflag.h"
#include "core/zyl.h"
#include "patcher/expansionhelper.h"

#include <cstring>

int main(int argc, char **argv) {
    if (argc != 5 || strcmp(argv[1], "--expand") != 0) {
        Zyl_Print("usage: bench_expand --expand FOLDER STORE INSTALL\n");
        return 2;
    }
    Zyl_Init("bench_expand.log", 0);
    Zyl_MemoryInit(0x7FFFFFFF);
    ExpansionHelperStruct *helper = nullptr;
    ExpansionHelper_Create(&helper, nullptr, nullptr);
    StopFlag stop;
    int64_t done = 0, total = 0;
    int ok = ExpansionHelper_ExpandStore(helper, argv[3], argv[2], argv[4], &stop, &done, &total);
    ExpansionHelper_Destroy(&helper);
    return ok ? 0 : 1;
}
