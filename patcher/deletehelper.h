// File removal for the update task: a recursive folder delete that never
// follows symbolic links nor leaves the folder it is given, and the delete
// manifest ("remove.manifest"), whose lines name installed files to remove.
#pragma once

struct FileStruct;
struct PatcherTaskStatus;
struct StopFlag;

// Handles one manifest line instead of deleting it: (file object, patcher,
// task, status, line); 1 counts the entry as done.
typedef int (*DeleteManifestCallback)(FileStruct *file, void *patcher, void *task,
                                      PatcherTaskStatus *status, const char *line);

// Deletes the folder path and everything below it. path must lie strictly below
// root (both absolute, root not "/"; root itself and anything above it are
// refused, as is a ".." part); a path that is a symbolic link loses only the link, and links
// inside are deleted, never followed. 1 when the folder is gone (a missing one
// counts); 0 (logged) when refused or something could not be deleted.
int DeleteHelper_DeleteDirectory(const char *root, const char *path);
// Walk callback of the delete: erases folder + name through file (a file, an
// emptied folder or a link). Always returns 1.
int DeleteHelper_EraseFileCallback(FileStruct *file, void *user, int depth, const char *folder,
                                   const char *name);

// Removes CopyPath + line (trailing blanks dropped, '\\' read as '/'). A name
// missing as written is looked up ignoring ASCII case, part by part, and taken
// when exactly one file matches. 1 when deleted or already missing, and when
// the line is refused (a path outside CopyPath or through a symbolic link:
// logged and skipped); 0 with "Unable to delete file [%s]." when it could not
// be deleted.
int DeleteHelper_DeleteManifestEntry(FileStruct *file, PatcherTaskStatus *status, const char *line);
// Processes OutputPath + "remove.manifest": every line except empty and '#'
// ones goes to callback (or DeleteHelper_DeleteManifestEntry when null). A
// missing manifest is nothing to delete (one log line); one that cannot be
// read is tried again; when the last handled entry failed the whole manifest is
// processed again; *stop != 0 ends every loop. At most one failure line is
// logged per call. Always returns 1.
int DeleteHelper_ProcessDeleteManifest(DeleteManifestCallback callback, void *patcher, void *task,
                                       PatcherTaskStatus *status, StopFlag *stop);
// Pause between passes over a missing or failed manifest, in milliseconds
// (default 250; tests use 0). Returns 1.
int DeleteHelper_SetRetryPause(int milliseconds);
