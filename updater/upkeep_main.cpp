// The self-updater program: started by the launcher as
// `upkeep /App "<launcher>" /VersionFile "<.version document>"`, it runs one
// update on its update thread and exits with 0 (success) or 1 (failure).
#include "core/alert.h"
#include "core/mutex.h"
#include "core/oshelper.h"
#include "core/thread.h"
#include "core/zyl.h"
#include "net/socket.h"
#include "updater/upkeep.h"

#include <unistd.h>

enum {
    UPKEEP_LOG_FLAGS = 0x406, // banners, log file, messages formatted for the sink
    UPKEEP_WAIT_SLICE = 100,  // ms between pumps of the main loop
};

// Program-wide state. The completion event stands for the hidden window: the
// main loop runs until the update thread sets it, also when that happens
// before the loop starts.
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

// Completion of the update object: keeps the code and ends the main loop.
static void Upkeep_OnComplete(int code, void *context) {
    UpkeepProgram *program = static_cast<UpkeepProgram *>(context);
    program->ExitCode = code;
    Event_Set(program->Done, 1);
}

// Runs until the completion event is set, pumping between slices.
static void Upkeep_MainLoop(UpkeepProgram *program) {
    int signalled = 0;
    while (Event_Wait(program->Done, &signalled, UPKEEP_WAIT_SLICE, __FILE__, __LINE__) &&
           !signalled)
        Zyl_PumpMessages();
}

// Reads the command line and runs the update. Leaves the exit code at 1 when
// the command line is refused.
static void Upkeep_Run(UpkeepProgram *program, const char *commandLine, const char *arguments) {
    int count = 0;
    Zyl_ArgCount(commandLine, &count);
    if (count < 3) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Incorrect parameters [%s] exiting...",
                  arguments);
        return;
    }
    if (!Upkeep_ParseCommandLine(program->App, commandLine, count, program->VersionFile)) {
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
    // Crash dumps are not written on this system; the default signal handling
    // (core files where the user enabled them) stays.
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
    Socket_Init();
    Thread_Init();
    UpkeepProgram *program = &g_program;
    program->ExitCode = 1;
    Event_Create(&program->Done);
    if (!Upkeep_Create(&program->Upkeep, Upkeep_OnComplete, program)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to start the update");
    } else if (!joined) {
        // Refused whole: a path cut to fit would name another file.
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "Incorrect parameters [longer than %d characters] exiting...",
                  UPKEEP_COMMAND_LINE_SIZE - 1);
    } else {
        Upkeep_Run(program, commandLine, arguments);
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
