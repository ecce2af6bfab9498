// Entry point of `portico`: crash dumps first, then the application.
#include "frontend/launcherapp.h"
#include "platform/crashdump.h"

int main(int argc, char **argv) {
    CrashDump_Install();
    CLauncherApp app;
    return app.Run(argc, argv);
}
