// Durable file replacement: new content goes to a temporary file beside the
// target, created exclusively under a name unique to this process and call (a
// planted link is never followed), is synced, renamed over the target and the
// folder synced, so a crash at any moment leaves the old or the new file under
// the target's name. Errors come back as errno values and the failed call; the
// callers log them.
#pragma once

#include <cstdint>

enum { DURABLE_PATH_SIZE = 320 };

// Steps at which the fault hook is called.
enum {
    DURABLE_STEP_CREATE = 1,  // before the temporary file is created (path: its name)
    DURABLE_STEP_SYNC = 2,    // before a file is synced (replacements and Durable_Sync)
    DURABLE_STEP_RENAME = 3,  // synced and closed, before it takes the target's name
    DURABLE_STEP_FOLDER = 4,  // renamed, before the folder is synced
    DURABLE_STEP_WRITTEN = 5, // committed: the folder is synced
};

// Test hook, process wide: called at each step with a path (the temporary
// file's name at CREATE, the file synced at SYNC, else the target). Returning an errno value makes
// the step fail with it (DURABLE_STEP_WRITTEN ignores it); 0 goes on.
typedef int (*DurableFaultHook)(void *user, int step, const char *path);

// One replacement in progress, owned by its caller (plain record, no life calls).
struct DurableReplace {
    char Target[DURABLE_PATH_SIZE];
    char Temporary[DURABLE_PATH_SIZE]; // "" when this record holds no temporary file
    int Descriptor;                    // open for writing between Begin and Commit, else -1
    const char *Call;                  // the call that failed ("" when none)
    int Error;                         // its errno
};

// Creates the temporary file target + "." + pid-sequence + suffix with
// O_CREAT|O_EXCL|O_NOFOLLOW, with the permission bits mode (mode < 0: the
// target's, 0644 when it is missing). 1 with Descriptor open for writing; 0
// with Call and Error set (ENAMETOOLONG when a name does not fit) and nothing
// created. The target's folder must exist.
int Durable_Begin(DurableReplace *replace, const char *target, const char *suffix, int mode);
// Syncs and closes the temporary file, renames it over the target and syncs the
// folder. 1 on success. 0 with Call and Error set: before the rename the
// temporary file is deleted and the target untouched; when only the folder sync
// failed the target already holds the new content.
int Durable_Commit(DurableReplace *replace);
// Closes and deletes the temporary file this record created (never another).
// Accepts a record that holds none. Returns 1.
int Durable_Abort(DurableReplace *replace);
// Begin, write all bytes, Commit (Abort on failure). 1 on success; 0 as Commit.
int Durable_WriteFile(DurableReplace *replace, const char *target, const void *data, int64_t length,
                      int mode);

// Moves source over target in one rename, for a source that is not kept: the
// source (a regular file, never a link) gets the permission bits mode (mode < 0:
// its own), is synced, renamed over the target, and both folders are synced. 1
// on success. 0 with Call and Error set and the target untouched: EXDEV (before
// anything changed) when the two are on different file systems.
int Durable_MoveOver(DurableReplace *replace, const char *source, const char *target, int mode);

// fsync of an open file (the fault hook's SYNC step sees path). 1 on success;
// 0 with errno.
int Durable_Sync(int descriptor, const char *path);
// fsync of the folder holding path (its last '/' ends the folder; "." without
// one), so that a rename or creation there is durable. 1 on success; 0 with
// errno (file systems that cannot sync a folder count as success).
int Durable_SyncFolderOf(const char *path);

// Installs the fault hook (null removes it). For tests.
void Durable_SetFaultHook(DurableFaultHook hook, void *user);
