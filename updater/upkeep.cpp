// The self-updater's update thread: launcher gone, document loaded, files
// expanded, task recorded as PROCESS, launcher started again. A failure never
// records more than was done, and the launcher is started again whenever it has
// exited and its program is still there. Also the command-line parsing.
#include "updater/upkeep.h"

#include "core/alert.h"
#include "core/file.h"
#include "core/mutex.h"
#include "core/process.h"
#include "core/stopflag.h"
#include "core/thread.h"
#include "core/zyl.h"
#include "patcher/expansionhelper.h"
#include "patcher/packageversion.h"
#include "patcher/patcher_types.h"
#include "patcher/patcherlog.h"
#include "patcher/taskstatus.h"
#include "patcher/updaterhold.h"
#include "platform/psapi.h"

#include <atomic>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

static const char kTag[] = "UpkeepStruct";
static const char kProductName[] = "Vexil Upkeep";

struct UpkeepStruct {
    const char *Tag;
    EventStruct *Event;   // manual reset; set once by Upkeep_Start, never reset
    EventStruct *Stopped; // manual reset; set with the stop flag, ends the waits
    StopFlag Stop;        // 1 asks the thread to end at its next step
    ThreadStruct *Thread;
    char App[UPKEEP_PATH_SIZE];
    char VersionFile[UPKEEP_PATH_SIZE];
    UpkeepCompleteCallback Complete;
    void *Context;
    std::atomic<int> ErrorReported; // a failure was recorded (by the shared code's errors)
    int Loaded;                     // the document was read (its arguments are known)
};

// ---------------------------------------------------------------------------
// Log receivers
// ---------------------------------------------------------------------------

int Upkeep_LogInfo(void *context, int level, const char *text) {
    (void)context;
    ZYL_CHECK_PTR(text);
    Alert_Log(level == PATCHER_LOG_INFO ? ALERT_KIND_MESSAGE : ALERT_KIND_NOTICE,
              ALERT_LEVEL_NORMAL, "%s", text);
    return 1;
}

int Upkeep_LogError(void *context, int code, const char *text) {
    ZYL_CHECK_PTR(text);
    Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "%s", text);
    // The thread decides the outcome once its step returns: completing here,
    // while the step still runs, would end the program under it.
    UpkeepStruct *upkeep = static_cast<UpkeepStruct *>(context);
    if (upkeep != nullptr && upkeep->Tag == kTag)
        upkeep->ErrorReported.store(1);
    (void)code;
    return 1;
}

void Upkeep_ExpansionProgress(const char *name, void *context, uint32_t low, uint32_t high) {
    (void)name;
    (void)context;
    (void)low;
    (void)high;
}

// ---------------------------------------------------------------------------
// Steps
// ---------------------------------------------------------------------------

static PatcherTaskData *Upkeep_TaskData(PackageVersion *version) {
    PatcherTaskStatus *status = nullptr;
    PatcherTaskData *data = nullptr;
    PackageVersion_GetTaskStatus(version, &status);
    PatcherTaskStatus_GetData(status, &data);
    return data;
}

int Upkeep_PerformExpansion(UpkeepStruct *upkeep, StopFlag *stop, PackageVersion *version) {
    ZYL_CHECK_TAG(upkeep, kTag);
    ZYL_CHECK_PTR(stop);
    ZYL_CHECK_PTR(version);
    if (Upkeep_TaskData(version)->PerformCopy == 0)
        return 1;
    ExpansionHelperStruct *helper = nullptr;
    ExpansionHelper_Create(&helper, Upkeep_ExpansionProgress, upkeep);
    PatcherTaskStatus *status = nullptr;
    PackageVersion_GetTaskStatus(version, &status);
    int64_t first = 0;
    int64_t second = 0;
    int result = ExpansionHelper_Expand(helper, stop, &first, status, &second);
    ExpansionHelper_Destroy(&helper);
    return result;
}

int Upkeep_SaveVersion(PackageVersion *version, const char *path) {
    ZYL_CHECK_PTR(version);
    ZYL_CHECK_PTR(path);
    Upkeep_TaskData(version)->PatcherState = PATCHER_STATE_PROCESS;
    return PackageVersion_Save(version, path);
}

// Whether the launcher's program is there to be started: a regular file we may
// run. Expansion replaces files only by complete ones, so one that is there is
// whole.
static int Upkeep_IsAppIntact(const char *app) {
    struct stat info;
    return stat(app, &info) == 0 && S_ISREG(info.st_mode) && access(app, X_OK) == 0;
}

// As Upkeep_IsAppRunning; *pid is a process found at the last look (0: none),
// looked at alone first, so a long wait reads one process a look, not all.
static int Upkeep_FindApp(const char *app, int *pid) {
    if (*pid > 0 && Psapi_RunsProgram(*pid, app))
        return 1;
    return Psapi_FindByProgram(app, pid);
}

int Upkeep_IsAppRunning(const char *app) {
    ZYL_CHECK_PTR(app);
    int pid = 0;
    return Upkeep_FindApp(app, &pid);
}

// CHECKRUNNING: 1 once no process runs the launcher's program; 0 when the
// thread was stopped first. Looks every UPKEEP_RUNNING_PAUSE ms, sleeping in
// between on the stop event, so a stop ends the wait at once.
static int Upkeep_WaitForApp(UpkeepStruct *upkeep) {
    int announced = 0;
    int pid = 0;
    while (Upkeep_FindApp(upkeep->App, &pid)) {
        if (!announced) {
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Waiting for [%s] to exit",
                      upkeep->App);
            announced = 1;
        }
        int stopped = 0;
        if (!Event_Wait(upkeep->Stopped, &stopped, UPKEEP_RUNNING_PAUSE, __FILE__, __LINE__) ||
            stopped || StopFlag_Test(&upkeep->Stop))
            return 0;
    }
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "UPDATE_STATE_CHECKRUNNING complete");
    return 1;
}

// LOAD: the document must be whole and hold an update under way, with the
// paths it is applied to, of a type this program can finish. 1 when it does;
// 0 (logged) otherwise.
static int Upkeep_Load(UpkeepStruct *upkeep, PackageVersion *version) {
    if (!PackageVersion_LoadVersion(version, upkeep->VersionFile)) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "Error encountered - PackageVersion_LoadVersion()");
        return 0;
    }
    upkeep->Loaded = 1;
    int32_t inProgress = 0;
    PackageVersion_GetInProgress(version, &inProgress);
    if (!inProgress) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "No update in progress in [%s]",
                  upkeep->VersionFile);
        return 0;
    }
    PatcherTaskData *data = Upkeep_TaskData(version);
    if (data->PackageName[0] == 0 || data->OutputPath[0] == 0 || data->CopyPath[0] == 0) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Task without package or paths in [%s]",
                  upkeep->VersionFile);
        return 0;
    }
    if (data->PackageType == PACKAGE_TYPE_PROGRESSIVE_VCDIFF) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "PACKAGE_TYPE_PROGRESSIVE_VCDIFF not supported in restartable packages");
        return 0;
    }
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "UPDATE_STATE_LOAD complete");
    return 1;
}

// One step of the state machine. Returns the next state, 0 for success (after
// RESTART) or -1 for failure.
static int Upkeep_Step(UpkeepStruct *upkeep, int state, PackageVersion *version) {
    switch (state) {
    case UPDATE_STATE_CHECKRUNNING:
        return Upkeep_WaitForApp(upkeep) ? UPDATE_STATE_LOAD : -1;
    case UPDATE_STATE_LOAD:
        return Upkeep_Load(upkeep, version) ? UPDATE_STATE_EXPANSION : -1;
    case UPDATE_STATE_EXPANSION:
        // An error reported along the way fails the step even when the helper
        // went on, so the document never claims a partly applied update.
        if (!Upkeep_PerformExpansion(upkeep, &upkeep->Stop, version) ||
            upkeep->ErrorReported.load()) {
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                      "Error encountered - Upkeep_PerformExpansion()");
            return -1;
        }
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "UPDATE_STATE_EXPANSION complete");
        return UPDATE_STATE_SAVE;
    case UPDATE_STATE_SAVE:
        if (!Upkeep_SaveVersion(version, upkeep->VersionFile)) {
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                      "Error encountered - Upkeep_SaveVersion()");
            return -1;
        }
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "UPDATE_STATE_SAVE complete");
        return UPDATE_STATE_RESTART;
    case UPDATE_STATE_RESTART: {
        const char *arguments = Upkeep_TaskData(version)->RestartCommandLine;
        if (!WinProcessHelper_LaunchShown(upkeep->App, arguments)) {
            Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to launch [%s %s]", upkeep->App,
                      arguments);
            return -1;
        }
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "UPDATE_STATE_RESTART complete");
        return 0;
    }
    default:
        ZYL_FATAL("Upkeep_Step() unknown state %d\n", state);
        return -1;
    }
}

// After a failure past CHECKRUNNING: the launcher has exited, so it is started
// again (with the stored arguments when the document was read) as long as its
// program is there; the files are each old or new and the document tells it
// where the update stands.
static void Upkeep_RestartAfterFailure(UpkeepStruct *upkeep, PackageVersion *version, int state) {
    // Not while the launcher may still run, not when the owner stopped the
    // update, and not again after the restart itself failed.
    if (StopFlag_Test(&upkeep->Stop) || state <= UPDATE_STATE_CHECKRUNNING ||
        state == UPDATE_STATE_RESTART)
        return;
    if (!Upkeep_IsAppIntact(upkeep->App)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to restart [%s] - not a program",
                  upkeep->App);
        return;
    }
    const char *arguments = upkeep->Loaded ? Upkeep_TaskData(version)->RestartCommandLine : "";
    if (WinProcessHelper_LaunchShown(upkeep->App, arguments))
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Restarted [%s %s] after a failed update",
                  upkeep->App, arguments);
    else
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to launch [%s %s]", upkeep->App,
                  arguments);
}

// After a failure past CHECKRUNNING (not a stop): the release is recorded as
// failed beside its document, so the launcher started again holds its restart
// for a while instead of handing the same release straight back to us.
static void Upkeep_RecordFailure(UpkeepStruct *upkeep, PackageVersion *version, int state) {
    if (StopFlag_Test(&upkeep->Stop) || state <= UPDATE_STATE_CHECKRUNNING)
        return;
    int32_t target = -1;
    int32_t stamp = 0;
    if (upkeep->Loaded) {
        target = Upkeep_TaskData(version)->TargetVersion;
        stamp = Upkeep_TaskData(version)->DeployStamp;
    }
    if (UpdaterHold_Record(upkeep->VersionFile, target, stamp, (int64_t)time(nullptr)))
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                  "Recorded the failed update of [%s] to version %d", upkeep->VersionFile, target);
}

static uint32_t Upkeep_Thread(void *argument) {
    UpkeepStruct *upkeep = static_cast<UpkeepStruct *>(argument);
    PackageVersion *version = nullptr;
    PackageVersion_Create(&version);
    int state = UPDATE_STATE_CHECKRUNNING;
    int code = 1;
    while (!StopFlag_Test(&upkeep->Stop)) {
        int signalled = 0;
        if (!Event_Wait(upkeep->Event, &signalled, -1, __FILE__, __LINE__))
            break;
        if (!signalled || StopFlag_Test(&upkeep->Stop))
            continue;
        int next = Upkeep_Step(upkeep, state, version);
        if (next > 0 && upkeep->ErrorReported.load()) {
            // Every error the shared code reports ends the update, at the end of
            // the step that reported it.
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Error encountered - state %d",
                      state);
            next = -1;
        }
        if (next <= 0) {
            // One completion, at the end: 1 when any failure was recorded.
            code = next == 0 && !upkeep->ErrorReported.load() ? 0 : 1;
            break;
        }
        state = next;
    }
    if (code != 0) {
        Upkeep_RecordFailure(upkeep, version, state);
        Upkeep_RestartAfterFailure(upkeep, version, state);
    } else {
        UpdaterHold_Clear(upkeep->VersionFile);
    }
    PackageVersion_Destroy(&version);
    upkeep->Complete(code, upkeep->Context);
    return (uint32_t)code;
}

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

int Upkeep_Create(UpkeepStruct **upkeep, UpkeepCompleteCallback complete, void *context) {
    ZYL_CHECK_PTR(upkeep);
    ZYL_CHECK_PTR(complete);
    *upkeep = nullptr;
    UpkeepStruct *object = ZYL_NEW(UpkeepStruct);
    object->Tag = kTag;
    object->Complete = complete;
    object->Context = context;
    Patcher_SetLogCallbacks(object, Upkeep_LogInfo, Upkeep_LogError);
    Patcher_Log(PATCHER_LOG_INFO, "%s Version %s", kProductName, PACKAGEVERSION_PATCHER_VERSION);
    Event_Create(&object->Event);
    Event_Create(&object->Stopped);
    if (!Thread_Create(&object->Thread, object, Upkeep_Thread)) {
        Zyl_Print("Unable to create Upkeep thread\n");
        Patcher_SetLogCallbacks(nullptr, nullptr, nullptr);
        Event_Close(&object->Event);
        Event_Close(&object->Stopped);
        object->Tag = Zyl_DeadTag;
        ZYL_FREE(object, sizeof(UpkeepStruct));
        return 0;
    }
    *upkeep = object;
    return 1;
}

int Upkeep_Destroy(UpkeepStruct **upkeep) {
    ZYL_CHECK_PTR(upkeep);
    UpkeepStruct *object = *upkeep;
    if (object == nullptr)
        return 1;
    ZYL_CHECK_TAG(object, kTag);
    *upkeep = nullptr;
    if (object->Event != nullptr) {
        Zyl_Print("Exit signalled\n");
        StopFlag_Set(&object->Stop, 1);
        Event_Set(object->Stopped, 1);
        Event_Set(object->Event, 1);
        if (!Thread_Wait(object->Thread, UPKEEP_SHUTDOWN_WAIT)) {
            Zyl_Print("Timeout waiting on Upkeep thread shutdown\n");
            return 0;
        }
        Zyl_Print("Upkeep thread shut down successful\n");
        Event_Close(&object->Event);
        Event_Close(&object->Stopped);
    }
    Thread_Close(&object->Thread);
    Patcher_SetLogCallbacks(nullptr, nullptr, nullptr);
    object->Tag = Zyl_DeadTag;
    ZYL_FREE(object, sizeof(UpkeepStruct));
    return 1;
}

static int Upkeep_SetPath(char *to, const char *path, const char *what) {
    if (!Zyl_StrCopy(to, path, UPKEEP_PATH_SIZE)) {
        Zyl_Print("Upkeep_SetPath() %s path too long [%s]\n", what, path);
        to[0] = 0;
        return 0;
    }
    return 1;
}

int Upkeep_SetApp(UpkeepStruct *upkeep, const char *path) {
    ZYL_CHECK_TAG(upkeep, kTag);
    ZYL_CHECK_PTR(path);
    return Upkeep_SetPath(upkeep->App, path, "App");
}

int Upkeep_SetVersionFile(UpkeepStruct *upkeep, const char *path) {
    ZYL_CHECK_TAG(upkeep, kTag);
    ZYL_CHECK_PTR(path);
    return Upkeep_SetPath(upkeep->VersionFile, path, "VersionFile");
}

int Upkeep_Start(UpkeepStruct *upkeep) {
    ZYL_CHECK_TAG(upkeep, kTag);
    if (upkeep->App[0] == 0 || upkeep->VersionFile[0] == 0) {
        Zyl_Print("Upkeep_Start() App [%s] and VersionFile [%s] are both required\n", upkeep->App,
                  upkeep->VersionFile);
        return 0;
    }
    return Event_Set(upkeep->Event, 1);
}

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

int Upkeep_ParseCommandLine(char *app, const char *commandLine, int count, char *versionFile) {
    ZYL_CHECK_PTR(app);
    ZYL_CHECK_PTR(commandLine);
    ZYL_CHECK_PTR(versionFile);
    app[0] = 0;
    versionFile[0] = 0;
    char word[UPKEEP_COMMAND_LINE_SIZE];
    for (int index = 1; index < count; index++) {
        Zyl_ArgGet(commandLine, index, word, sizeof(word));
        if (Zyl_StrLen(word) > UPKEEP_WORD_SIZE || word[0] == 0)
            continue;
        char *target = Zyl_StrEqualNoCase(word + 1, "App")           ? app
                       : Zyl_StrEqualNoCase(word + 1, "VersionFile") ? versionFile
                                                                     : nullptr;
        if (target == nullptr || index + 1 >= count)
            continue;
        index++;
        if (!Zyl_ArgGet(commandLine, index, target, UPKEEP_PATH_SIZE)) {
            Zyl_Print("Upkeep_ParseCommandLine() value of [%s] longer than %d characters\n", word,
                      UPKEEP_PATH_SIZE - 1);
            target[0] = 0;
        }
    }
    return app[0] != 0 && versionFile[0] != 0;
}

// Whether the core's splitter needs the word in quotes to give it back whole.
static int Upkeep_NeedsQuotes(const char *word) {
    if (word[0] == 0)
        return 1;
    for (const char *c = word; *c; c++)
        if (*c == ' ' || *c == '\t' || *c == '"')
            return 1;
    return 0;
}

int Upkeep_JoinArguments(char *commandLine, int size, int argc, const char *const *argv) {
    ZYL_CHECK_PTR(commandLine);
    ZYL_CHECK_PTR(argv);
    if (size < 1) {
        ZYL_FATAL("Upkeep_JoinArguments() size %d\n", size);
    }
    int n = 0;
    for (int i = 0; i < argc; i++) {
        const char *arg = argv[i] ? argv[i] : "";
        int quoted = Upkeep_NeedsQuotes(arg);
        // A blank, the quotes when needed, the text with '"' doubled.
        int need = (i > 0 ? 1 : 0) + (quoted ? 2 : 0);
        for (const char *c = arg; *c; c++)
            need += *c == '"' ? 2 : 1;
        if (n + need >= size) {
            Zyl_Print("Upkeep_JoinArguments() command line longer than %d characters\n", size - 1);
            commandLine[0] = 0;
            return 0;
        }
        if (i > 0)
            commandLine[n++] = ' ';
        if (quoted)
            commandLine[n++] = '"';
        for (const char *c = arg; *c; c++) {
            commandLine[n++] = *c;
            if (*c == '"')
                commandLine[n++] = '"';
        }
        if (quoted)
            commandLine[n++] = '"';
    }
    commandLine[n] = 0;
    return 1;
}
