// An engine seeding one complete download with no peers, for the idle CPU
// benchmark (bench/cases/engine_idle): starts the manager on a free port, adds
// the download from a metafile over its files, writes the ready file and runs
// until SIGTERM.
#include <climits>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "core/zyl.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/manager.h"
#include "engine/transport.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: bench_engine_idle METAFILE FOLDER READYFILE\n");
        return 2;
    }
    Zyl_Init("bench_engine_idle.log", ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_MemoryInit(INT_MAX);
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    Transport_Startup();
    ManagerStruct *manager = nullptr;
    Manager_Create(&manager);
    Manager_DisableWebServer(manager);
    ManagerMemberStruct *member = nullptr;
    Manager_AddMember(manager, &member);
    BaseStruct *base = nullptr;
    ManagerMember_GetBase(member, &base);
    ContentStruct *content = nullptr;
    Base_GetContent(base, &content);
    Content_SetSource(content, argv[1], CONTENT_SOURCE_METAFILE);
    if (!Content_Open(content) || !Content_SetPath(content, argv[2]) ||
        !Content_ScanExisting(content)) {
        fprintf(stderr, "bench_engine_idle: cannot open the download\n");
        return 1;
    }
    Base_SetActive(base, 1);
    Manager_SetActive(manager, 1);
    FILE *ready = fopen(argv[3], "w");
    fprintf(ready, "ready\n");
    fclose(ready);
    while (!g_stop)
        pause();
    Manager_ReleaseMember(manager, &member);
    Manager_SetActive(manager, 0);
    Manager_Destroy(&manager);
    Transport_Shutdown();
    return 0;
}
