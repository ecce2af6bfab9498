// Linux file-system calls of the core's file object that have no plain POSIX
// form: renames that refuse or replace an existing target, and folder syncs.
#pragma once

// Renames oldPath to newPath, failing with EEXIST when newPath exists (also on
// file systems without RENAME_NOREPLACE, where a link-and-unlink or a checked
// rename stands in). 1 on success; 0 with *error = errno.
int FileIo_RenameNoReplace(const char *oldPath, const char *newPath, int *error);
// Renames oldPath over newPath (atomic replace within one file system).
// 1 on success; 0 with *error = errno.
int FileIo_RenameReplace(const char *oldPath, const char *newPath, int *error);
// fsyncs a folder so that renames and creations in it are durable.
// 1 on success; 0 with *error = errno.
int FileIo_SyncFolder(const char *folder, int *error);
