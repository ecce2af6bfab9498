// Linux file-system calls of the core's file object, its log and the registry
// store: renames that refuse an existing target, and whole-buffer reads and
// writes that ride over interrupted calls (replacing a file: platform/durable.h).
#pragma once

#include <cstdint>

// Renames oldPath to newPath, failing with EEXIST when newPath exists (also on
// file systems without RENAME_NOREPLACE, where a link-and-unlink or a checked
// rename stands in). 1 on success; 0 with *error = errno.
int FileIo_RenameNoReplace(const char *oldPath, const char *newPath, int *error);
// Writes all length bytes to descriptor (retrying interrupted calls, at most
// 1 GiB per call). Returns 0; else the errno of the failed write (ENOSPC for a
// write that took nothing). *written (when not null) gets the bytes written.
int FileIo_WriteAll(int descriptor, const void *data, int64_t length, int64_t *written);
// Reads until length bytes, the end of the file or a failed read (retrying
// interrupted calls). Returns the bytes read; *error is the errno of a failed
// read, else 0.
int64_t FileIo_ReadUpTo(int descriptor, void *buffer, int64_t length, int *error);
// Copies length bytes from in to out at both descriptors' offsets: in the kernel
// (copy_file_range) where the file systems allow it, else by reads and writes.
// Returns 0; else the errno of the failed call (ENODATA when in ends first).
// *copied (when not null) gets the bytes copied.
int FileIo_CopyAll(int in, int out, int64_t length, int64_t *copied);
