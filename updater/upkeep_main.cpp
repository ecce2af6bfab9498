// The self-updater program: started by the launcher as
// `upkeep /App "<launcher>" /VersionFile "<.version document>"`, it runs one
// update on its update thread and exits with 0 (success) or 1 (failure).
#include "core/alert.h"
#include "core/mutex.h"
#include "core/thread.h"
#include "core/zyl.h"
#include "net/socket.h"
#include "platform/crashdump.h"
#include "updater/upkeep.h"

#include <unistd.h>

enum {
    UPKEEP_LOG_FLAGS = 0x406, // banners, log file, messages formatted for the sink
};

// Program-wide state. The completion event stands for the hidden window: it
// exists before the update starts, so a completion is never missed.
struct UpkeepProgram {
    char App[UPKEEP_PATH_SIZE];
    char VersionFile[UPKEEP_PATH_SIZE];
    UpkeepStruct *Upkeep;
    EventStruct *Done;
    int ExitCode;
};

static UpkeepProgram g_program;

// The log's print sink: the debugger output of this system is standard error.
static int Upkeep_DebugOutput(const char *text) {
    int length = Zyl_StrLen(text);
    while (length > 0) {
        ssize_t written = write(STDERR_FILENO, text, (size_t)length);
        if (written <= 0)
            break;
        text += written;
        length -= (int)written;
    }
    return 1;
}

// The Alert log's printer of this program: its lines go through the core log,
// so to the log file and the debugger output, marked by kind.
static void Upkeep_AlertPrinter(int kind, int level, const char *text) {
    (void)level;
    if (kind == ALERT_KIND_NOTICE)
        Zyl_Print("++++ %s\n", text);
    else if (kind == ALERT_KIND_ERROR)
        Zyl_Print("**** %s\n", text);
    else
        Zyl_Print("%s\n", text);
}

// Completion of the update object: keeps the code and ends the main loop.
static void Upkeep_OnComplete(int code, void *context) {
    UpkeepProgram *program = static_cast<UpkeepProgram *>(context);
    program->ExitCode = code;
    Event_Set(program->Done, 1);
}

// Runs until the completion event is set (also when that happened before).
// Nothing else comes to this thread: it sleeps in the one wait.
static void Upkeep_MainLoop(UpkeepProgram *program) {
    int signalled = 0;
    while (Event_Wait(program->Done, &signalled, -1, __FILE__, __LINE__) && !signalled) {
    }
}

// Reads the command line and runs the update. Leaves the exit code at 1 when
// the command line is refused. A command line that did not fit (joined 0) is
// refused like one without its paths: a path cut to fit would name another file.
static void Upkeep_Run(UpkeepProgram *program, int joined, const char *commandLine,
                       const char *arguments) {
    int count = 0;
    Zyl_ArgCount(commandLine, &count);
    if (joined && count < 3) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Incorrect parameters [%s] exiting...",
                  arguments);
        return;
    }
    if (!joined)
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Command line longer than %d characters",
                  UPKEEP_COMMAND_LINE_SIZE - 1);
    if (!joined ||
        !Upkeep_ParseCommandLine(program->App, commandLine, count, program->VersionFile)) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Incorrect Parameters");
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "App [%s]", program->App);
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "VersionFile [%s]", program->VersionFile);
        return;
    }
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Parameters");
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "App [%s]", program->App);
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "VersionFile [%s]", program->VersionFile);
    if (!Upkeep_SetApp(program->Upkeep, program->App) ||
        !Upkeep_SetVersionFile(program->Upkeep, program->VersionFile) ||
        !Upkeep_Start(program->Upkeep))
        return;
    Upkeep_MainLoop(program);
}

int main(int argc, char **argv) {
    // First of all: a crash from here on leaves "<program>.dmp" (a normal dump).
    CrashDump_Install();
    // Joined before the log starts: a line too long is reported once it runs.
    char commandLine[UPKEEP_COMMAND_LINE_SIZE];
    int joined = Upkeep_JoinArguments(commandLine, sizeof(commandLine), argc, argv);
    char arguments[UPKEEP_COMMAND_LINE_SIZE];
    Upkeep_JoinArguments(arguments, sizeof(arguments), argc - 1, argv + 1);
    int flags = 0;
    Zyl_ParseLogOptions(&flags, arguments);
    Zyl_Init("upkeep.log", flags | UPKEEP_LOG_FLAGS);
    Zyl_SetConsoleCallback(Upkeep_DebugOutput);
    Zyl_MemoryInit(0x7FFFFFFF);

    Alert_Create();
    Alert_SetPrinter(Upkeep_AlertPrinter);
    Socket_Init();
    Thread_Init();
    UpkeepProgram *program = &g_program;
    program->ExitCode = 1;
    Event_Create(&program->Done);
    if (!Upkeep_Create(&program->Upkeep, Upkeep_OnComplete, program)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to start the update");
    } else {
        Upkeep_Run(program, joined, commandLine, arguments);
    }

    Upkeep_Destroy(&program->Upkeep);
    Event_Close(&program->Done);
    Thread_Remove();
    Socket_Remove();
    Alert_Destroy();
    Zyl_MemoryRemove();
    Zyl_Print("Successful Exit [%d]...\n", program->ExitCode);
    Zyl_CloseLog();
    return program->ExitCode;
}
