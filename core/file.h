// The file object through which all disk access goes: open by mode bits with
// retries and folder creation, read/write/print, 64-bit positions, listings with
// the system's wildcard rules, recursive walks, and durable replacement of files.
#pragma once

#include "core/zyl_formatcheck.h"
#include <cstdint>

struct FileStruct;

// Paths are at most 319 characters ('/' inside; '\' is accepted everywhere and
// turned into '/'); a longer path is refused with a log line and 0, never cut.
// Listing entry names are at most 259 characters.
enum { FILE_PATH_SIZE = 320, FILE_NAME_SIZE = 260, FILE_PRINT_SIZE = 4096 };

// Open mode bits.
enum {
    FILE_MODE_READ = 0x1,
    FILE_MODE_WRITE = 0x2,        // created if missing; without READ emptied unless APPEND
    FILE_MODE_TEXT = 0x10,        // accepted; files are binary (readers accept CR LF)
    FILE_MODE_APPEND = 0x20,      // position at the end after opening
    FILE_MODE_SHARE_READ = 0x40,  // others may read (deny write)
    FILE_MODE_SHARE_WRITE = 0x80, // others may write; neither share bit = exclusive
    FILE_MODE_NO_LINK = 0x100     // a symbolic link as the last part of the path is refused
};

// Attribute flags of the path or of the current listing entry.
enum {
    FILE_ATTR_DIRECTORY = 0x1,
    FILE_ATTR_SYSTEM = 0x2, // never set here
    FILE_ATTR_READONLY = 0x4,
    FILE_ATTR_HIDDEN = 0x8, // name starts with '.'
    FILE_ATTR_ARCHIVE = 0x10
};

// Object life. File_New: 1 and *file (closed, 20 open attempts, create path on).
// File_Delete closes a still-open file ("File not properly closed on delete"),
// ends any listing, frees and clears *file; accepts a null *file; returns 1.
int File_New(FileStruct **file);
int File_Delete(FileStruct **file);
// Settings; each returns 1.
int File_SetOpenRetries(FileStruct *file, int count);
int File_SetCreatePath(FileStruct *file, int on);
int File_SetReportErrors(FileStruct *file, int on);

// Stores path (closed object only) and reads its information (directory flag
// only). 1 when the path exists; 0 when it does not, when a file is open or the
// path is too long.
int File_SetPath(FileStruct *file, const char *path);
// Reads the information of path into the object. 1 when it exists (file or
// folder); 0 otherwise (size 0, no flags).
int File_Stat(FileStruct *file, const char *path);
// 1 when a file is open.
int File_IsOpen(FileStruct *file);
// Copies the path of the open file (for a replacement, its temporary name) or
// of the last path set. 0 (buffer empty) when it does not fit size.
int File_GetPath(FileStruct *file, char *buffer, int size);
// 1 when the directory flag of the path or current listing entry is set.
int File_IsDirectory(FileStruct *file);
// Attribute flags (FILE_ATTR_*) of the path or current listing entry. Returns 1.
int File_GetAttributes(FileStruct *file, int *flags);
// Size from the information record (filled by stat, set-path or open). Returns 1.
int File_GetSize(FileStruct *file, int64_t *size);
// Modification time in minutes since 1 January 1970 UTC. Returns 1.
int File_GetModifiedTime(FileStruct *file, int32_t *minutes);

// Opens path in mode (FILE_MODE_* bits), trying up to the open-attempts count
// (100 ms apart while the file exists but cannot be opened or locked); writing
// creates missing folders when create path is on. 1 when open; 0 when a file is
// already open, the mode has neither read nor write, or every attempt failed.
int File_Open(FileStruct *file, const char *path, int mode);
// 1 when nothing was open or the close succeeded; 0 (logged) otherwise.
int File_Close(FileStruct *file);

// Reads up to length bytes (loops until length or end of file). 1 when at least
// one byte was read; 0 with *count 0 at the end of the file (silent) or on error.
int File_Read(FileStruct *file, void *buffer, int length, int *count);
// Writes all bytes (loops over short writes and interruptions). 1 only when all
// were written; on failure 0 with *count = the bytes really written.
int File_Write(FileStruct *file, const void *data, int length, int *count);
// Formats (system formatter, at most 4,095 characters, longer text is cut) and
// writes. 1 when written; 0 when closed or the write failed.
int File_Print(FileStruct *file, const char *format, ...);
#define File_Print(file, ...) (ZYL_FORMAT_CHECK(__VA_ARGS__), (File_Print)(file, __VA_ARGS__))
// origin 0 start, 1 current, 2 end. 1 on success.
int File_Seek(FileStruct *file, int64_t offset, int origin);
int File_SetPosition(FileStruct *file, int64_t offset);
int File_SeekEnd(FileStruct *file, int64_t offset);
// Current position; 0 and *position 0 on failure.
int File_Tell(FileStruct *file, int64_t *position);
// Ends the file at the current position. 1 on success.
int File_Truncate(FileStruct *file);
// Commits the file's data to disk (fsync). 1 on success; 0 (logged) when the
// sync reports an error (a write-back failure such as EIO or a late ENOSPC).
int File_Flush(FileStruct *file);
// errno of the last failed read, write, seek, cut or sync of this object (0 after
// a success or a read that met the end of the file). Those failures are logged
// by the file object itself: callers use this to log only what it did not.
int File_GetLastError(FileStruct *file);
// Sparse marking: nothing to do here; 1 when a file is open.
int File_SetSparse(FileStruct *file);
// How the open file will be read, for the system's read-ahead: sequentially
// (a larger read-ahead window) or as the system sees fit. A hint only: 1 when
// given, 0 (silent) when no file is open or the system refused it.
enum { FILE_ACCESS_NORMAL = 0, FILE_ACCESS_SEQUENTIAL = 1 };
int File_SetAccessPattern(FileStruct *file, int pattern);

// Deletes a file, or removes an empty folder (a symbolic link is deleted, never
// followed). 1 on success; 0 (logged) when missing or refused.
int File_Erase(FileStruct *file, const char *path);
// Moves or renames; fails when newPath exists. 1 on success; 0 (logged).
int File_Rename(FileStruct *file, const char *oldPath, const char *newPath);

// Starts a listing. Unless isPattern is 1, "/*" is appended to path (path is a
// folder); otherwise the last component of path is the wildcard pattern. Entries
// come sorted by name (ASCII case-blind), "." and ".." included; the entry's
// attributes become the object's. 1 and the first entry; 0 when nothing matches.
int File_FindFirst(FileStruct *file, int isPattern, const char *path);
// Next entry; 0 at the end.
int File_FindNext(FileStruct *file);
// Current entry's name (0 when it does not fit size or no entry is current).
int File_GetFoundName(FileStruct *file, char *buffer, int size);
// Current entry's size. Returns 1 (0 without a current entry).
int File_GetFoundSize(FileStruct *file, int64_t *size);
// Ends the listing. Returns 1.
int File_FindClose(FileStruct *file);

// Walk callbacks. folder always ends in '/'.
// Folder callback: 0 = do not enter this folder.
typedef int (*FileWalkFolderCallback)(FileStruct *file, void *user, int depth, const char *folder);
// Entry callback: 0 = stop this pattern's listing and make the walk return 0.
typedef int (*FileWalkEntryCallback)(FileStruct *file, void *user, int depth, const char *folder,
                                     const char *name);
// Walks root depth first: every subfolder first (folder callback before each;
// symbolic links are never entered), then the folder's own entries matching
// one of patterns (separated by ',', ';' or blanks; "*." means "*.*"; "." and ".."
// skipped; matching subfolders included). Either callback may be null. Returns 1
// unless a callback stopped the walk. Quiet: only a folder that cannot be read
// is logged.
int File_Walk(FileStruct *file, const char *root, const char *patterns, void *user,
              FileWalkFolderCallback folderCallback, FileWalkEntryCallback entryCallback);

// Wildcard match with the system's rules: ASCII case-blind, '*' any run, '?' one
// character, a final ".*" also matches a name without a dot ("*.*" matches all).
// 1 on a match.
int File_MatchWildcard(const char *pattern, const char *name);

// Replaces path with exactly these bytes so that a crash at any moment leaves the
// old or the new content: writes a temporary file in the same folder (creating
// missing folders), fsyncs it, renames it over path and fsyncs the folder.
// 1 on success; 0 (logged, old content untouched, no temporary left) otherwise.
int File_ReplaceAtomic(const char *path, const void *data, int64_t length);

// Replacements: a new version of target written through this object and put in
// place only when complete. File_OpenReplacement opens a new, empty file beside
// target for writing, named target + "." + a tag unique to this process and call
// + suffix, created exclusively and never through a link (missing folders are
// made when create path is on); its permission bits are mode, or with mode -1
// the target's (0644 when missing). The object's path is then that temporary
// name (readable by path while open). 1 when open; 0 (logged) otherwise.
int File_OpenReplacement(FileStruct *file, const char *target, const char *suffix, int mode);
// Syncs and closes the replacement, renames it over its target and syncs the
// folder. 1 on success; 0 (logged, naming the failed call): the temporary file
// is deleted and the target untouched, except when only the folder sync failed
// (the target then holds the new content). The object is closed either way.
int File_CommitReplacement(FileStruct *file);
// Closes and deletes the replacement (only the file this object created); the
// target is untouched. File_Close and File_Delete do the same for a replacement
// still open. Returns 1.
int File_DiscardReplacement(FileStruct *file);
// Reads a whole file into a new tracked block of *length + 1 bytes (NUL
// appended); free it with ZYL_FREE(*data, *length + 1). 0 (logged, *data null)
// when it cannot be read or is larger than maxLength bytes.
int File_ReadAll(const char *path, int64_t maxLength, char **data, int64_t *length);
