// Entry point of `portico`: crash dumps first, the download engine as the patch
// engine's download client, then the application.
#include "frontend/launcherapp.h"
#include "patcher/engineclient.h"
#include "patcher/patcherclient.h"
#include "platform/crashdump.h"

int main(int argc, char **argv) {
    CrashDump_Install();
    PatcherClient_SetOperations(&EngineClient_Operations);
    CLauncherApp app;
    return app.Run(argc, argv);
}
