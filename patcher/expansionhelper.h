// Expansion helper: puts a new package version into the installation, either by
// expanding a patch store (whole files and VCDIFF deltas) or by copying a plain
// output tree. Every installed file is replaced only by a complete, checked file
// written beside it and renamed over it, so a failed or stopped run leaves each
// file old or new and can simply be run again.
#pragma once

#include "core/zyl_formatcheck.h"
#include <cstdint>

struct ExpansionHelperStruct;
struct PatcherTaskStatus;
struct StopFlag;
struct PatcherTaskData;

enum {
    EXPANSION_PATH_SIZE = 320,     // every path and name handled here
    EXPANSION_COPY_BLOCK = 0x8000, // bytes per read when copying a file
    EXPANSION_RETRY_COUNT = 50,    // retries after the first attempt (51 calls)
    EXPANSION_RETRY_PAUSE = 100,   // milliseconds between attempts
};

// Progress receiver: (file name or path, context, byte count as low and high
// 32-bit halves of a 64-bit value).
typedef void (*ExpansionProgressCallback)(const char *name, void *context, uint32_t low,
                                          uint32_t high);
// A step run by ExpansionHelper_Retry: 1 done, 0 try again, anything else gives up.
typedef int (*ExpansionRetryOperation)(ExpansionHelperStruct *helper, void *argument,
                                       StopFlag *stop);

// Creates a helper with the skip list {"remove.manifest"} and an empty error
// list; progress may be null. Returns 1 and sets *helper.
int ExpansionHelper_Create(ExpansionHelperStruct **helper, ExpansionProgressCallback progress,
                           void *context);
// Frees both lists and the helper, clears *helper; accepts a null *helper. Returns 1.
int ExpansionHelper_Destroy(ExpansionHelperStruct **helper);
// Pause between retried file operations in milliseconds (default 100; tests use
// 0). Returns 1.
int ExpansionHelper_SetRetryPause(ExpansionHelperStruct *helper, int milliseconds);

// The PROCESS step: sets both counters to 0, keeps the status's record for the
// steps below, then expands the patch store (package types 3 and 4) or copies
// the output tree (other types). 1 on success; 0 (reported) on any failure,
// including unsafe status paths and an output path equal to the copy path for
// a VCDIFF type. Installed files are left old or new, never cut.
int ExpansionHelper_Expand(ExpansionHelperStruct *helper, StopFlag *stop, int64_t *first,
                           PatcherTaskStatus *status, int64_t *second);

// "<base><package>_p/" for types 1 and 4, "<base><package>_<version>/" for 2
// and 3, into path (EXPANSION_PATH_SIZE). 1 on success; 0 with "" for another
// type (Alert line), an unsafe package name or a path too long.
int PatcherTask_GenerateOutputPath(char *path, const char *basePath, const char *packageName,
                                   int packageType, int version);
// "<package>_<target>_<from>to<target>" into name (EXPANSION_PATH_SIZE); for
// type 4 with releases limited to `availableReleases`, a `from` older than the
// oldest available becomes 0 (baseline) or -1. Returns 1 (0 when it does not fit).
int ExpansionHelper_GenerateDiffName(char *name, const char *packageName, int packageType,
                                     int fromVersion, int targetVersion, int hasBaseLine,
                                     int availableReleases);

// The two ways of ExpansionHelper_Expand, on the record it kept. 1 on success; 0
// (reported) otherwise.
int ExpansionHelper_PerformExpansion(ExpansionHelperStruct *helper, int deleteFlag, int64_t *first,
                                     int64_t *second, StopFlag *stop);
int ExpansionHelper_PerformCopy(ExpansionHelperStruct *helper, int deleteFlag, int64_t *first,
                                int64_t *second, StopFlag *stop);

// Expands every member of the store (sourceDir + storeName) into destDir: deltas
// against the installed file of the same name, whole files as they are, each
// checked against its result SHA-1 before it replaces the installed file. Sets
// both counters to the store's total size. 1 when every member is in place; 0
// (reported, or logged for a member that cannot be opened) at the first failure
// or when stopped.
int ExpansionHelper_ExpandStore(ExpansionHelperStruct *helper, const char *storeName,
                                const char *sourceDir, const char *destDir, StopFlag *stop,
                                int64_t *first, int64_t *second);

// Copies the tree under source to destination (refused when destination is
// source or lies inside it). With the filter on, files whose path holds a skip
// entry stay where they are; deleteFlag removes each source file once copied;
// deployFlag drops a final ".deploy"; logFlag logs each copy. Symbolic links in
// the source are refused. 1 when all was copied; 0 (reported) otherwise.
int ExpansionHelper_CopyTree(ExpansionHelperStruct *helper, const char *destination,
                             const char *source, int filter, int deleteFlag, int deployFlag,
                             int logFlag, StopFlag *stop);
// Copies source over destination (deploy extension handled), retried; then with
// deleteFlag removes the source. copyMode 0 also copies the permission bits,
// 1 the data only. 1 on success; 0 (reported) otherwise; the destination is old
// or new, never cut.
int ExpansionHelper_CopyFile(const char *destination, StopFlag *stop, ExpansionHelperStruct *helper,
                             const char *source, int copyMode, int deleteFlag, int deployFlag);
// The baseline step: copies sourceDir + name to destDir + name for every delta
// member of the store storeDir + storeName. 1 when all were copied; 0 (reported)
// at the first failure, an unopenable store or when stopped.
int ExpansionHelper_CopyStoreSources(const char *destDir, StopFlag *stop,
                                     ExpansionHelperStruct *helper, PatcherTaskStatus *status,
                                     const char *sourceDir, const char *storeDir,
                                     const char *storeName);

// Removes the replacements of target (target + "." + pid + "-" + sequence +
// suffix, as the durable-replace primitive names them) that processes no longer
// running left beside it, so that a killed run leaves no temporary file once
// the target is written again. Returns 1.
int ExpansionHelper_RemoveLeftovers(const char *target, const char *suffix);

// Sum of the sizes of the files below path whose name holds no skip entry
// (symbolic links not followed; a missing path gives 0). Returns 1.
int ExpansionHelper_GetDirectorySize(int64_t *size, ExpansionHelperStruct *helper, const char *path,
                                     StopFlag *stop);
// 1 when text contains a skip-list entry; IsNotSkipped is the negation.
int ExpansionHelper_IsSkipped(ExpansionHelperStruct *helper, const char *text);
int ExpansionHelper_IsNotSkipped(ExpansionHelperStruct *helper, const char *text);
// With deployFlag 1 cuts a final ".deploy" off path in place. Returns 1.
int ExpansionHelper_StripDeployExtension(ExpansionHelperStruct *helper, char *path, int deployFlag);

// Calls operation until it returns 1 (success), at most 51 times with the retry
// pause between; gives up (0) when it returns another value than 0 or 1 or
// when *stop is not 0.
int ExpansionHelper_Retry(StopFlag *stop, ExpansionHelperStruct *helper,
                          ExpansionRetryOperation operation, void *argument);
// 1 when the SHA-1 of the whole file equals the 20 expected bytes; 0 when it
// differs or the file cannot be read.
int ExpansionHelper_VerifyFile(const uint8_t *expected, ExpansionHelperStruct *helper,
                               const char *path);
// Calls the progress callback when one is set. Returns 1.
int ExpansionHelper_NotifyProgress(ExpansionHelperStruct *helper, const char *name, int64_t bytes);
// Formats and passes the text to Patcher_Log at level (0 warning, 1 info). Returns 1.
int ExpansionHelper_Log(ExpansionHelperStruct *helper, int level, const char *format, ...);
#define ExpansionHelper_Log(helper, level, ...)                                                    \
    (ZYL_FORMAT_CHECK(__VA_ARGS__), (ExpansionHelper_Log)(helper, level, __VA_ARGS__))
// Formats and passes (code, text) to Patcher_ReportError unless this helper
// already reported the same text. Returns 1.
int ExpansionHelper_ReportError(ExpansionHelperStruct *helper, int code, const char *format, ...);
#define ExpansionHelper_ReportError(helper, code, ...)                                             \
    (ZYL_FORMAT_CHECK(__VA_ARGS__), (ExpansionHelper_ReportError)(helper, code, __VA_ARGS__))
