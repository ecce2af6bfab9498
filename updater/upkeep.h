// The self-updater's update object (UpkeepStruct) and its thread: waits until the
// launcher has exited, loads its ".version" document, expands the prepared files,
// records the task as PROCESS and starts the launcher again. Also the parsing of
// the self-updater's command line and log option words.
#pragma once

#include <cstdint>

struct UpkeepStruct;
struct PackageVersion;
struct StopFlag;

enum {
    UPKEEP_PATH_SIZE = 320,          // App and VersionFile paths
    UPKEEP_COMMAND_LINE_SIZE = 1024, // the whole command line
    UPKEEP_WORD_SIZE = 70,           // longest switch word compared
    UPKEEP_SHUTDOWN_WAIT = 120000,   // ms Upkeep_Destroy waits for the thread
    UPKEEP_RUNNING_PAUSE = 250,      // ms between two looks for the launcher
};

// States of the update thread, in the order they follow one another.
enum {
    UPDATE_STATE_CHECKRUNNING = 1,
    UPDATE_STATE_LOAD = 2,
    UPDATE_STATE_EXPANSION = 3,
    UPDATE_STATE_SAVE = 4,
    UPDATE_STATE_RESTART = 5,
};

// Completion receiver: code 0 success, 1 failure. Called once, on the update
// thread, as its last action.
typedef void (*UpkeepCompleteCallback)(int code, void *context);

// Creates the object, installs its receivers of the patch engine's log and error
// lines (process-wide), creates its event and starts its thread, which does
// nothing until Upkeep_Start. Returns 1 and sets *upkeep; 0 ("Unable to create
// Upkeep thread") with *upkeep null and nothing left behind.
int Upkeep_Create(UpkeepStruct **upkeep, UpkeepCompleteCallback complete, void *context);
// Stops the thread (at its next step; a wait for the launcher ends at once) and
// waits up to UPKEEP_SHUTDOWN_WAIT ms for it, removes the log receivers, frees
// the object and clears *upkeep.
// Accepts a null *upkeep. Returns 1; 0 when the thread did not end in time (the
// object is then left to the running thread, never freed under it).
int Upkeep_Destroy(UpkeepStruct **upkeep);
// Copy a path (at most UPKEEP_PATH_SIZE - 1 characters). 1, or 0 when it does
// not fit (the path is then left empty). Only before Upkeep_Start.
int Upkeep_SetApp(UpkeepStruct *upkeep, const char *path);
int Upkeep_SetVersionFile(UpkeepStruct *upkeep, const char *path);
// 1 when a live process runs the program at app: its executable is that file
// (replaced on disk or not); for a process whose executable cannot be read
// (another user's), its program name equals app's file name. Else 0.
int Upkeep_IsAppRunning(const char *app);
// Lets the thread run. Returns 1; 0 (logged) when App or VersionFile is empty.
int Upkeep_Start(UpkeepStruct *upkeep);

// Receivers of the patch engine's log and error lines (context: the object).
// Information goes to the Alert log as a message, warnings as notices; an error
// goes to it as an error and records a failure, which the thread reports once,
// in its one completion at its end. Return 1.
int Upkeep_LogInfo(void *context, int level, const char *text);
int Upkeep_LogError(void *context, int code, const char *text);
// Progress receiver of the expansion (context: the object); nothing to do.
void Upkeep_ExpansionProgress(const char *name, void *context, uint32_t low, uint32_t high);
// Expands the prepared files of the task the version document holds (nothing to
// do when its PerformCopy is 0). 1 on success; 0 (reported) otherwise.
int Upkeep_PerformExpansion(UpkeepStruct *upkeep, StopFlag *stop, PackageVersion *version);
// Sets the task's state to PROCESS and saves the document atomically to path.
// 1 on success; 0 (logged) with any previous document left as it was.
int Upkeep_SaveVersion(PackageVersion *version, const char *path);

// Reads the paths after the words "App" and "VersionFile" (any switch
// character; the first character of a word is skipped, the rest compared
// ignoring case) from the words 1 to count - 1 of the command line into app and
// versionFile (UPKEEP_PATH_SIZE each, emptied first). A value that does not fit
// is left empty (logged), never cut. Returns 1 when both paths were found.
int Upkeep_ParseCommandLine(char *app, const char *commandLine, int count, char *versionFile);
// Joins argv into one command line by the core's quoting rules, so Zyl_ArgGet
// gives the words back: a word that is empty or holds a blank, a tab or a '"'
// goes in double quotes (a '"' inside doubled), any other word stands bare, so
// switch words ("-debug") are seen as such. 1, or 0 (logged, "" left) when it
// would not fit in size.
int Upkeep_JoinArguments(char *commandLine, int size, int argc, const char *const *argv);
