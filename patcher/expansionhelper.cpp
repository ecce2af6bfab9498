// Expansion helper: patch-store expansion and output-tree copies into the
// installation. Each file is produced beside its target (a new file named
// "<target>.<unique>.expanding"), checked, synced, then renamed over it; one
// section buffer and one VCDIFF stream serve a store.
#include "patcher/expansionhelper.h"

#include "core/alert.h"
#include "core/file.h"
#include "core/oshelper.h"
#include "core/stopflag.h"
#include "core/strlist.h"
#include "core/zyl.h"
#include "patcher/delta/fileverify.h"
#include "patcher/delta/patcherstore.h"
#include "patcher/delta/vcdiffstream.h"
#include "patcher/patcher_types.h"
#include "patcher/patcherlog.h"
#include "patcher/pathsafety.h"
#include "patcher/taskstatus.h"
#include "platform/durable.h"
#include "platform/fileio.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static const char kTag[] = "ExpansionHelper";
static const char kTempSuffix[] = ".expanding"; // produced files before they replace the target

static void ExpansionHelper_InternalRemoveLeftovers(const char *target, const char *suffix);

struct ExpansionHelperStruct {
    const char *Tag;
    ExpansionProgressCallback Progress; // may be null
    void *Context;                      // the owning task
    PatcherTaskData *Status;            // the task's record, kept by ExpansionHelper_Expand
    StringListStruct *SkipList;         // substrings of paths never copied or counted
    StringListStruct *ErrorList;        // texts already reported
    int RetryPauseMs;
};

int ExpansionHelper_Create(ExpansionHelperStruct **helper, ExpansionProgressCallback progress,
                           void *context) {
    ZYL_CHECK_PTR(helper);
    *helper = nullptr;
    ExpansionHelperStruct *h = ZYL_NEW(ExpansionHelperStruct);
    h->Tag = kTag;
    h->Progress = progress;
    h->Context = context;
    h->Status = nullptr;
    h->RetryPauseMs = EXPANSION_RETRY_PAUSE;
    StringList_Create(&h->SkipList);
    StringList_Create(&h->ErrorList);
    StringList_Add(h->SkipList, "remove.manifest");
    *helper = h;
    return 1;
}

int ExpansionHelper_Destroy(ExpansionHelperStruct **helper) {
    ZYL_CHECK_PTR(helper);
    ExpansionHelperStruct *h = *helper;
    if (h == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(h, kTag);
    StringList_Destroy(&h->SkipList);
    StringList_Destroy(&h->ErrorList);
    h->Tag = Zyl_DeadTag;
    ZYL_FREE(h, sizeof(ExpansionHelperStruct));
    *helper = nullptr;
    return 1;
}

int ExpansionHelper_SetRetryPause(ExpansionHelperStruct *helper, int milliseconds) {
    ZYL_CHECK_TAG(helper, kTag);
    helper->RetryPauseMs = milliseconds < 0 ? 0 : milliseconds;
    return 1;
}

// ---------------------------------------------------------------------------
// Reporting
// ---------------------------------------------------------------------------

int(ExpansionHelper_Log)(ExpansionHelperStruct *helper, int level, const char *format, ...) {
    ZYL_CHECK_TAG(helper, kTag);
    ZYL_CHECK_PTR(format);
    va_list args;
    va_start(args, format);
    Patcher_LogV(level, format, args);
    va_end(args);
    return 1;
}

int(ExpansionHelper_ReportError)(ExpansionHelperStruct *helper, int code, const char *format, ...) {
    ZYL_CHECK_TAG(helper, kTag);
    ZYL_CHECK_PTR(format);
    char text[PATCHER_LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(text, (int)sizeof(text), format, args);
    va_end(args);
    if (StringList_Contains(helper->ErrorList, text)) {
        return 1;
    }
    // A text too long for the list is still reported, only not remembered.
    if (Zyl_StrLen(text) < STRINGLIST_TEXT_SIZE) {
        StringList_Add(helper->ErrorList, text);
    }
    Patcher_ReportError(code, "%s", text);
    return 1;
}

int ExpansionHelper_NotifyProgress(ExpansionHelperStruct *helper, const char *name, int64_t bytes) {
    ZYL_CHECK_TAG(helper, kTag);
    ZYL_CHECK_PTR(name);
    if (helper->Progress != nullptr) {
        uint64_t value = (uint64_t)bytes;
        helper->Progress(name, helper->Context, (uint32_t)(value & 0xFFFFFFFFu),
                         (uint32_t)(value >> 32));
    }
    return 1;
}

static void ExpansionHelper_StoreErrorCallback(PatcherStoreStruct *, void *data, const char *text) {
    ExpansionHelper_ReportError(static_cast<ExpansionHelperStruct *>(data), PATCHER_ERROR_EXPAND,
                                "%s", text);
}

static void ExpansionHelper_StoreLogCallback(PatcherStoreStruct *, void *data, const char *text) {
    ExpansionHelper_Log(static_cast<ExpansionHelperStruct *>(data), PATCHER_LOG_WARNING, "%s",
                        text);
}

// ---------------------------------------------------------------------------
// Names and paths
// ---------------------------------------------------------------------------

int PatcherTask_GenerateOutputPath(char *path, const char *basePath, const char *packageName,
                                   int packageType, int version) {
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(basePath);
    ZYL_CHECK_PTR(packageName);
    path[0] = 0;
    int length = 0;
    if (packageType == PACKAGE_TYPE_PROGRESSIVE || packageType == PACKAGE_TYPE_PROGRESSIVE_VCDIFF) {
        length = Zyl_FormatString(path, EXPANSION_PATH_SIZE, "%s%s_p/", basePath, packageName);
    } else if (packageType == PACKAGE_TYPE_INCREMENTAL ||
               packageType == PACKAGE_TYPE_INCREMENTAL_VCDIFF) {
        length =
            Zyl_FormatString(path, EXPANSION_PATH_SIZE, "%s%s_%d/", basePath, packageName, version);
    } else {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                  "invalid type for PatcherTask_GenerateOutputPath()");
        return 0;
    }
    if (!PatcherTaskStatus_IsSafeName(packageName) || length >= EXPANSION_PATH_SIZE - 1) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "PatcherTask_GenerateOutputPath() refused [%s] [%s]", basePath, packageName);
        path[0] = 0;
        return 0;
    }
    return 1;
}

int ExpansionHelper_GenerateDiffName(char *name, const char *packageName, int packageType,
                                     int fromVersion, int targetVersion, int hasBaseLine,
                                     int availableReleases) {
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(packageName);
    int from = fromVersion;
    // Older releases than the window of available ones start from the baseline
    // (0) or from nothing (-1). 64-bit so extreme versions cannot overflow.
    if (packageType == PACKAGE_TYPE_PROGRESSIVE_VCDIFF && availableReleases != 0 &&
        (int64_t)fromVersion < (int64_t)targetVersion - availableReleases + 1) {
        from = hasBaseLine == 1 ? 0 : -1;
    }
    int length = Zyl_FormatString(name, EXPANSION_PATH_SIZE, "%s_%d_%dto%d", packageName,
                                  targetVersion, from, targetVersion);
    return length < EXPANSION_PATH_SIZE - 1;
}

// ---------------------------------------------------------------------------
// Skip list, deploy extension, verification, retries
// ---------------------------------------------------------------------------

int ExpansionHelper_IsSkipped(ExpansionHelperStruct *helper, const char *text) {
    ZYL_CHECK_TAG(helper, kTag);
    ZYL_CHECK_PTR(text);
    StringListMemberStruct *member = nullptr;
    for (int more = StringList_GetFirstMember(helper->SkipList, &member); more;
         more = StringList_GetNextMember(member, &member)) {
        const char *entry = nullptr;
        StringList_GetMemberString(member, &entry);
        if (Zyl_StrHasSubstring(text, entry)) {
            return 1;
        }
    }
    return 0;
}

int ExpansionHelper_IsNotSkipped(ExpansionHelperStruct *helper, const char *text) {
    return !ExpansionHelper_IsSkipped(helper, text);
}

int ExpansionHelper_StripDeployExtension(ExpansionHelperStruct *helper, char *path,
                                         int deployFlag) {
    ZYL_CHECK_TAG(helper, kTag);
    ZYL_CHECK_PTR(path);
    int length = Zyl_StrLen(path);
    if (deployFlag == 1 && length > 7 && Zyl_StrEndsWith(path, ".deploy")) {
        path[length - 7] = 0;
    }
    return 1;
}

int ExpansionHelper_VerifyFile(const uint8_t *expected, ExpansionHelperStruct *helper,
                               const char *path) {
    ZYL_CHECK_PTR(expected);
    ZYL_CHECK_TAG(helper, kTag);
    ZYL_CHECK_PTR(path);
    FileVerifyStruct *verify = nullptr;
    FileVerify_Create(&verify);
    int ok = FileVerify_ComputeFile(path, verify) && FileVerify_Compare(verify, expected);
    FileVerify_Destroy(&verify);
    return ok;
}

int ExpansionHelper_Retry(StopFlag *stop, ExpansionHelperStruct *helper,
                          ExpansionRetryOperation operation, void *argument) {
    ZYL_CHECK_PTR(stop);
    ZYL_CHECK_TAG(helper, kTag);
    ZYL_CHECK_PTR(operation);
    for (int attempt = 0;; attempt++) {
        int result = operation(helper, argument, stop);
        if (result == 1) {
            return 1;
        }
        if (result != 0 || StopFlag_Test(stop) != 0 || attempt >= EXPANSION_RETRY_COUNT) {
            return 0;
        }
        Zyl_SleepMilliseconds(helper->RetryPauseMs);
        if (StopFlag_Test(stop) != 0) {
            return 0;
        }
    }
}

// ---------------------------------------------------------------------------
// File steps (each may run again after a failure)
// ---------------------------------------------------------------------------

// Deletes path when it exists (a link itself, never its target). A missing
// path counts as done.
static int ExpansionHelper_InternalDeleteFile(ExpansionHelperStruct *helper, const char *path) {
    if (!PathSafety_Exists(path)) {
        return 1;
    }
    FileStruct *file = nullptr;
    File_New(&file);
    int ok = File_Erase(file, path);
    File_Delete(&file);
    if (!ok) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Unable to delete file [%s]",
                                    path);
    }
    return ok;
}

static int ExpansionHelper_DeleteFileCallback(ExpansionHelperStruct *helper, void *argument,
                                              StopFlag *) {
    return ExpansionHelper_InternalDeleteFile(helper, static_cast<const char *>(argument));
}

struct ExpansionOpenArgs {
    const char *Target;
    FileStruct *File;
    int Mode; // permission bits of the new file; -1 keeps the target's
};

// Opens a new file beside the target (never one an earlier run left behind).
static int ExpansionHelper_OpenFileCallback(ExpansionHelperStruct *, void *argument, StopFlag *) {
    ExpansionOpenArgs *args = static_cast<ExpansionOpenArgs *>(argument);
    return File_OpenReplacement(args->File, args->Target, kTempSuffix, args->Mode);
}

// Opens the replacement of target into file, retried. 1 when open; 0 (reported).
static int ExpansionHelper_InternalOpenReplacement(ExpansionHelperStruct *helper, StopFlag *stop,
                                                   const char *target, int mode, FileStruct *file) {
    File_SetOpenRetries(file, 1);
    ExpansionOpenArgs open = {target, file, mode};
    if (!ExpansionHelper_Retry(stop, helper, ExpansionHelper_OpenFileCallback, &open)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Unable to open file [%s]",
                                    target);
        return 0;
    }
    return 1;
}

// Puts the finished replacement in place: synced, renamed over target, folder
// synced. On failure the temporary file is gone and target is untouched.
static int ExpansionHelper_InternalCommit(ExpansionHelperStruct *helper, FileStruct *file,
                                          const char *target) {
    if (!File_CommitReplacement(file)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Unable to replace file [%s]",
                                    target);
        return 0;
    }
    return 1;
}

static int ExpansionHelper_InternalIsProgram(const char *path);
static int ExpansionHelper_InternalMarkProgram(const char *produced);

// The permission bits a file put at destination gets: a replaced file keeps
// its own; a new one takes the source's with copy mode 0, else 0644 (the
// caller then marks programs). -1 when the destination's cannot be read.
static int ExpansionHelper_InternalTargetMode(int copyMode, const char *destination,
                                              const struct stat *source, int *isNew) {
    struct stat info;
    *isNew = !PathSafety_Exists(destination);
    if (!*isNew) {
        return stat(destination, &info) == 0 ? (int)(info.st_mode & 07777) : -1;
    }
    return copyMode == 0 ? (int)(source->st_mode & 07777) : 0644;
}

// Copies source beside destination (in the kernel where the file systems
// allow), then renames it over. A new file that is a program gets its execute
// bits. 1 on success; 0 with destination untouched (read error, short source,
// short write, failed sync or rename).
static int ExpansionHelper_InternalCopyData(int copyMode, const char *destination,
                                            const char *source) {
    struct stat info;
    int isNew = 0;
    if (PathSafety_IsLink(source) || stat(source, &info) != 0 || !S_ISREG(info.st_mode)) {
        return 0;
    }
    int mode = ExpansionHelper_InternalTargetMode(copyMode, destination, &info, &isNew);
    int in = open(source, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0 || mode < 0) {
        if (in >= 0) {
            close(in);
        }
        return 0;
    }
    ExpansionHelper_InternalRemoveLeftovers(destination, kTempSuffix);
    if (strchr(destination, '/') != nullptr) {
        Zyl_CreateDirectory(destination, 1, 0);
    }
    DurableReplace replace;
    int ok = Durable_Begin(&replace, destination, kTempSuffix, mode);
    int error = ok ? FileIo_CopyAll(in, replace.Descriptor, (int64_t)info.st_size, nullptr) : 0;
    close(in);
    ok = ok && error == 0 && (!isNew || ExpansionHelper_InternalMarkProgram(replace.Temporary)) &&
         Durable_Commit(&replace);
    if (!ok) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Copy of [%s] to [%s] failed: %s (%d)",
                  source, destination, error != 0 ? "copy" : replace.Call,
                  error != 0 ? error : replace.Error);
        Durable_Abort(&replace);
    }
    return ok;
}

// Puts source, which is not kept, at destination in one rename when both are on
// one file system. 1 when moved; 0 when it must be copied instead (nothing
// changed at destination).
static int ExpansionHelper_InternalMoveFile(int copyMode, const char *destination,
                                            const char *source) {
    struct stat info;
    int isNew = 0;
    if (PathSafety_IsLink(source) || stat(source, &info) != 0 || !S_ISREG(info.st_mode) ||
        PathSafety_IsLink(destination)) {
        return 0;
    }
    int mode = ExpansionHelper_InternalTargetMode(copyMode, destination, &info, &isNew);
    if (mode < 0) {
        return 0;
    }
    if (isNew && ExpansionHelper_InternalIsProgram(source)) {
        mode |= (mode & 0444) >> 2;
    }
    ExpansionHelper_InternalRemoveLeftovers(destination, kTempSuffix);
    if (strchr(destination, '/') != nullptr) {
        Zyl_CreateDirectory(destination, 1, 0);
    }
    DurableReplace replace;
    if (!Durable_MoveOver(&replace, source, destination, mode)) {
        if (replace.Error != EXDEV) {
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Move of [%s] to [%s]: %s (%d)",
                      source, destination, replace.Call, replace.Error);
        }
        return PathSafety_Exists(source) ? 0 : 1;
    }
    return 1;
}

struct ExpansionCopyArgs {
    const char *Source;
    const char *Destination;
    int CopyMode;
};

static int ExpansionHelper_CopyFileCallback(ExpansionHelperStruct *helper, void *argument,
                                            StopFlag *) {
    ExpansionCopyArgs *args = static_cast<ExpansionCopyArgs *>(argument);
    if (!ExpansionHelper_InternalCopyData(args->CopyMode, args->Destination, args->Source)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Unable to copy file [%s] [%s]",
                                    args->Source, args->Destination);
        return 0;
    }
    return 1;
}

int ExpansionHelper_CopyFile(const char *destination, StopFlag *stop, ExpansionHelperStruct *helper,
                             const char *source, int copyMode, int deleteFlag, int deployFlag) {
    ZYL_CHECK_PTR(destination);
    ZYL_CHECK_PTR(stop);
    ZYL_CHECK_TAG(helper, kTag);
    ZYL_CHECK_PTR(source);
    char target[EXPANSION_PATH_SIZE];
    if (!Zyl_StrCopy(target, destination, EXPANSION_PATH_SIZE)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Unable to copy file [%s] [%s]",
                                    source, destination);
        return 0;
    }
    ExpansionHelper_StripDeployExtension(helper, target, deployFlag);
    // A source that is not kept needs no copy on the same file system.
    if (deleteFlag == 1 && ExpansionHelper_InternalMoveFile(copyMode, target, source)) {
        return 1;
    }
    ExpansionCopyArgs args = {source, target, copyMode};
    if (!ExpansionHelper_Retry(stop, helper, ExpansionHelper_CopyFileCallback, &args)) {
        return 0;
    }
    if (deleteFlag == 1) {
        return ExpansionHelper_Retry(stop, helper, ExpansionHelper_DeleteFileCallback,
                                     const_cast<char *>(source));
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Patch store expansion
// ---------------------------------------------------------------------------

// What one store's expansion shares across its members.
struct ExpansionStoreRun {
    PatcherStoreStruct *Store;
    VCDiffStreamStruct *Stream;
    uint8_t *Buffer;
    int BufferSize; // the store's section size
    const char *StoreName;
    StopFlag *Stop;
};

// Checks the installed file of a delta: 1 with *complete 1 when it already holds
// the result, 1 with *complete 0 when it is the expected old file, 0 otherwise
// (also when it is missing).
static int ExpansionHelper_InternalVerifySource(const char *destination, PatcherStoreStruct *store,
                                                PatcherStoreMember *member, int *complete) {
    *complete = 0;
    const uint8_t *result = nullptr, *source = nullptr;
    PatcherStore_MemberGetResultHash(store, member, &result);
    PatcherStore_MemberGetSourceHash(store, member, &source);
    FileVerifyStruct *verify = nullptr;
    FileVerify_Create(&verify);
    int ok = 0;
    if (!PathSafety_IsLink(destination) && FileVerify_ComputeFile(destination, verify)) {
        if (FileVerify_Compare(verify, result)) {
            *complete = 1;
            ok = 1;
        } else {
            ok = FileVerify_Compare(verify, source);
        }
    }
    FileVerify_Destroy(&verify);
    return ok;
}

// Applies the member's delta to the installed file, writing the result to out
// (the result may not pass the member's size).
static int ExpansionHelper_InternalApplyDelta(ExpansionHelperStruct *helper, ExpansionStoreRun *run,
                                              PatcherStoreMember *member, const char *destination,
                                              FileStruct *out) {
    int64_t size = 0;
    PatcherStore_MemberGetFileSize(run->Store, member, &size);
    if (!VCDiffStream_InflateBegin(run->Stream, destination, out, size)) {
        VCDiffStream_InflateEnd(run->Stream); // closes the source when it did open
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Unable to inflate buffer");
        return 0;
    }
    int ok = 1, length = 0;
    while (ok) {
        ok = PatcherStore_MemberInflateBuffer(run->Store, member, run->Buffer, run->BufferSize,
                                              &length, run->Stop);
        if (!ok || length == 0) {
            break;
        }
        ok = VCDiffStream_InflateBuffer(run->Stream, run->Buffer, length);
    }
    ok = VCDiffStream_InflateEnd(run->Stream) && ok;
    if (!ok) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Unable to inflate buffer");
    }
    return ok;
}

// Writes the member's whole data to out.
static int ExpansionHelper_InternalWriteWhole(ExpansionHelperStruct *helper, ExpansionStoreRun *run,
                                              PatcherStoreMember *member, FileStruct *out) {
    int ok = 1, length = 0, written = 0;
    while (ok) {
        ok = PatcherStore_MemberInflateBuffer(run->Store, member, run->Buffer, run->BufferSize,
                                              &length, run->Stop);
        if (!ok || length == 0) {
            break;
        }
        if (!File_Write(out, run->Buffer, length, &written) || written != length) {
            ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND,
                                        "File write error BytesRead, %d BytesWritten %d", length,
                                        written);
            ok = 0;
        }
    }
    return ok;
}

// Produces the member into out and checks it against the result digest.
static int ExpansionHelper_InternalProduce(ExpansionHelperStruct *helper, ExpansionStoreRun *run,
                                           PatcherStoreMember *member, const char *name,
                                           int difference, const char *destination,
                                           FileStruct *out) {
    if (difference == 1) {
        if (!ExpansionHelper_InternalApplyDelta(helper, run, member, destination, out)) {
            return 0;
        }
    } else if (!ExpansionHelper_InternalWriteWhole(helper, run, member, out)) {
        return 0;
    }
    char produced[EXPANSION_PATH_SIZE];
    const uint8_t *result = nullptr;
    PatcherStore_MemberGetResultHash(run->Store, member, &result);
    if (!File_GetPath(out, produced, (int)sizeof(produced)) ||
        !ExpansionHelper_VerifyFile(result, helper, produced)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Expansion verify error [%s]",
                                    name);
        return 0;
    }
    if (difference == 1) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Move file [%s] [%s]", destination,
                  produced);
    }
    return 1;
}

// 1 when entry is "<base>.<digits>-<digits>.expanding": a replacement of base
// left by an earlier run that was stopped before its rename.
// 1 when entry is base + "." + pid + "-" + sequence + suffix, the name of a
// replacement of base, written by a process other than this one that no longer
// runs (a live one may be writing it still).
static int ExpansionHelper_InternalIsLeftover(const char *entry, const char *base,
                                              const char *suffixText) {
    size_t baseLength = strlen(base), length = strlen(entry), suffix = strlen(suffixText);
    if (length <= baseLength + 1 + suffix || strncmp(entry, base, baseLength) != 0 ||
        entry[baseLength] != '.' || strcmp(entry + length - suffix, suffixText) != 0) {
        return 0;
    }
    int dashes = 0, digits = 0;
    long pid = 0;
    for (size_t i = baseLength + 1; i < length - suffix; i++) {
        if (entry[i] == '-' && digits > 0 && dashes == 0) {
            dashes = 1;
            digits = 0;
        } else if (entry[i] >= '0' && entry[i] <= '9') {
            digits++;
            if (dashes == 0 && pid < 100000000) {
                pid = pid * 10 + (entry[i] - '0');
            }
        } else {
            return 0;
        }
    }
    if (dashes != 1 || digits == 0) {
        return 0;
    }
    return pid != (long)getpid() && (kill((pid_t)pid, 0) != 0 && errno == ESRCH);
}

int ExpansionHelper_RemoveLeftovers(const char *target, const char *suffix) {
    ZYL_CHECK_PTR(target);
    ZYL_CHECK_PTR(suffix);
    ExpansionHelper_InternalRemoveLeftovers(target, suffix);
    return 1;
}

// Removes the replacements of target that earlier runs left behind (a run
// killed between writing and renaming), so that a rerun leaves none.
static void ExpansionHelper_InternalRemoveLeftovers(const char *target, const char *suffix) {
    char folder[EXPANSION_PATH_SIZE];
    if (!Zyl_StrCopy(folder, target, EXPANSION_PATH_SIZE)) {
        return;
    }
    char *slash = strrchr(folder, '/');
    const char *base = target;
    if (slash != nullptr) {
        base = target + (slash - folder) + 1;
        slash[slash == folder ? 1 : 0] = 0;
    } else {
        Zyl_StrCopy(folder, ".", EXPANSION_PATH_SIZE);
    }
    DIR *listing = opendir(folder);
    if (listing == nullptr) {
        return;
    }
    int descriptor = dirfd(listing);
    while (struct dirent *entry = readdir(listing)) {
        struct stat info;
        if (!ExpansionHelper_InternalIsLeftover(entry->d_name, base, suffix) ||
            fstatat(descriptor, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode)) {
            continue;
        }
        if (unlinkat(descriptor, entry->d_name, 0) == 0) {
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Removed leftover [%s] of [%s]",
                      entry->d_name, target);
        }
    }
    closedir(listing);
}

// 1 when the file starts as a program does (an ELF image or a script).
static int ExpansionHelper_InternalIsProgram(const char *path) {
    unsigned char head[4] = {0, 0, 0, 0};
    FILE *file = fopen(path, "rb");
    if (file == nullptr) {
        return 0;
    }
    size_t count = fread(head, 1, sizeof(head), file);
    fclose(file);
    return (count == 4 && memcmp(head,
                                 "\x7f"
                                 "ELF",
                                 4) == 0) ||
           (count >= 2 && head[0] == '#' && head[1] == '!');
}

// A new file that is a program may be run: adds the execute bits wherever the
// created file can be read, so the umask that shaped its read bits shapes them
// too. 1, or 0 when the mode could not be changed.
static int ExpansionHelper_InternalMarkProgram(const char *produced) {
    struct stat info;
    if (!ExpansionHelper_InternalIsProgram(produced)) {
        return 1;
    }
    if (stat(produced, &info) != 0) {
        return 0;
    }
    return chmod(produced, (info.st_mode & 07777) | ((info.st_mode & 0444) >> 2)) == 0;
}

// Before a produced file replaces its target: a file new to the installation
// is marked as a program when it is one. 1, or 0 (reported).
static int ExpansionHelper_InternalPrepareMode(ExpansionHelperStruct *helper, int isNew,
                                               const char *destination, FileStruct *out) {
    char produced[EXPANSION_PATH_SIZE];
    if (!isNew) {
        return 1;
    }
    if (!File_GetPath(out, produced, (int)sizeof(produced)) ||
        !ExpansionHelper_InternalMarkProgram(produced)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Unable to replace file [%s]",
                                    destination);
        return 0;
    }
    return 1;
}

// Produces one member beside its installed file, checks it against the result
// digest and only then renames it into place.
static int ExpansionHelper_InternalExpandFile(ExpansionHelperStruct *helper, ExpansionStoreRun *run,
                                              PatcherStoreMember *member, const char *name,
                                              int difference, const char *destDir) {
    char destination[EXPANSION_PATH_SIZE];
    if (!PathSafety_JoinInside(destination, destDir, name)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Unable to open file [%s%s]",
                                    destDir, name);
        return 0;
    }
    char installed[EXPANSION_PATH_SIZE];
    if (!PathSafety_Exists(destination) && PathSafety_FindNoCase(installed, destDir, name)) {
        Zyl_StrCopy(destination, installed, EXPANSION_PATH_SIZE); // written in another case
    }
    if (difference == 1) {
        int complete = 0;
        if (!ExpansionHelper_InternalVerifySource(destination, run->Store, member, &complete)) {
            ExpansionHelper_ReportError(helper, PATCHER_ERROR_MISMATCH,
                                        "Unable to verify source for expansion [%s]", destination);
            return 0;
        }
        if (complete) {
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                      "ExpansionHelper_InternalVerifySource() file already complete - skipping "
                      "expansion");
            return 1;
        }
    }
    ExpansionHelper_InternalRemoveLeftovers(destination, kTempSuffix);
    struct stat info;
    int isNew = lstat(destination, &info) != 0;
    FileStruct *out = nullptr;
    File_New(&out);
    int ok =
        ExpansionHelper_InternalOpenReplacement(helper, run->Stop, destination, -1, out) &&
        ExpansionHelper_InternalProduce(helper, run, member, name, difference, destination, out) &&
        ExpansionHelper_InternalPrepareMode(helper, isNew, destination, out) &&
        ExpansionHelper_InternalCommit(helper, out, destination);
    File_Close(out); // a replacement not committed is deleted here
    File_Delete(&out);
    return ok;
}

// One member: open, expand, close, with its log lines and progress.
static int ExpansionHelper_InternalExpandMember(ExpansionHelperStruct *helper,
                                                ExpansionStoreRun *run, PatcherStoreMember *member,
                                                const char *destDir) {
    char name[EXPANSION_PATH_SIZE];
    int difference = 0;
    PatcherStore_MemberGetName(run->Store, member, name, (int)sizeof(name));
    PatcherStore_MemberGetDifferenceFile(run->Store, member, &difference);
    ExpansionHelper_Log(helper, PATCHER_LOG_INFO, "Expand [%s] diff[%d] from [%s]", name,
                        difference, run->StoreName);
    ExpansionHelper_NotifyProgress(helper, name, 0);
    if (!PatcherStore_MemberOpen(run->Stop, run->Store, member)) {
        ExpansionHelper_Log(helper, PATCHER_LOG_WARNING, "Unable to open [%s] from [%s]", name,
                            run->StoreName);
        return 0;
    }
    int ok = ExpansionHelper_InternalExpandFile(helper, run, member, name, difference, destDir);
    PatcherStore_MemberClose(run->Store);
    if (!ok) {
        return 0;
    }
    int64_t size = 0;
    PatcherStore_MemberGetFileSize(run->Store, member, &size);
    ExpansionHelper_NotifyProgress(helper, name, size);
    ExpansionHelper_Log(helper, PATCHER_LOG_INFO, "Successfully expanded [%s] %I64d", name, size);
    return 1;
}

// Creates and opens a store with the helper's callbacks; null (reported) on failure.
static PatcherStoreStruct *ExpansionHelper_InternalOpenStore(ExpansionHelperStruct *helper,
                                                             const char *folder, const char *name,
                                                             int deploy, const char *shown) {
    PatcherStoreStruct *store = nullptr;
    PatcherStore_Create(&store);
    PatcherStore_SetErrorCallback(store, ExpansionHelper_StoreErrorCallback, helper);
    PatcherStore_SetLogCallback(store, ExpansionHelper_StoreLogCallback, helper);
    if (!PatcherStore_Open(store, folder, name, deploy)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Unable to open [%s]", shown);
        PatcherStore_Destroy(&store);
        return nullptr;
    }
    return store;
}

int ExpansionHelper_ExpandStore(ExpansionHelperStruct *helper, const char *storeName,
                                const char *sourceDir, const char *destDir, StopFlag *stop,
                                int64_t *first, int64_t *second) {
    ZYL_CHECK_TAG(helper, kTag);
    ZYL_CHECK_PTR(storeName);
    ZYL_CHECK_PTR(sourceDir);
    ZYL_CHECK_PTR(destDir);
    ZYL_CHECK_PTR(stop);
    ZYL_CHECK_PTR(first);
    ZYL_CHECK_PTR(second);
    char shown[EXPANSION_PATH_SIZE * 2];
    Zyl_FormatString(shown, (int)sizeof(shown), "%s%s", sourceDir, storeName);
    int deploy = helper->Status != nullptr ? helper->Status->UseDeployExtension : 0;
    ExpansionStoreRun run = {};
    run.Store = ExpansionHelper_InternalOpenStore(helper, sourceDir, storeName, deploy, shown);
    if (run.Store == nullptr) {
        return 0;
    }
    run.StoreName = storeName;
    run.Stop = stop;
    PatcherStore_GetSectionSize(run.Store, &run.BufferSize);
    PatcherStore_GetTotalFileSize(run.Store, first);
    *second = *first;
    run.Buffer = static_cast<uint8_t *>(ZYL_ALLOC(run.BufferSize));
    VCDiffStream_Create(&run.Stream);
    int ok = 1;
    PatcherStoreMember *member = nullptr;
    for (int more = PatcherStore_MemberFirst(&member, run.Store); more && ok;
         more = PatcherStore_MemberNext(&member, member, run.Store)) {
        if (StopFlag_Test(stop) == 1) {
            ok = 0;
            break;
        }
        ok = ExpansionHelper_InternalExpandMember(helper, &run, member, destDir);
    }
    ZYL_FREE(run.Buffer, run.BufferSize);
    VCDiffStream_Destroy(&run.Stream);
    PatcherStore_Close(run.Store);
    PatcherStore_Destroy(&run.Store);
    return ok;
}

int ExpansionHelper_CopyStoreSources(const char *destDir, StopFlag *stop,
                                     ExpansionHelperStruct *helper, PatcherTaskStatus *status,
                                     const char *sourceDir, const char *storeDir,
                                     const char *storeName) {
    ZYL_CHECK_PTR(destDir);
    ZYL_CHECK_PTR(stop);
    ZYL_CHECK_TAG(helper, kTag);
    ZYL_CHECK_PTR(status);
    ZYL_CHECK_PTR(sourceDir);
    ZYL_CHECK_PTR(storeDir);
    ZYL_CHECK_PTR(storeName);
    PatcherTaskStatus_GetData(status, &helper->Status);
    PatcherStoreStruct *store = ExpansionHelper_InternalOpenStore(
        helper, storeDir, storeName, helper->Status->UseDeployExtension, storeName);
    if (store == nullptr) {
        return 0;
    }
    int ok = 1;
    PatcherStoreMember *member = nullptr;
    for (int more = PatcherStore_MemberFirst(&member, store); more && ok;
         more = PatcherStore_MemberNext(&member, member, store)) {
        char name[EXPANSION_PATH_SIZE], from[EXPANSION_PATH_SIZE], to[EXPANSION_PATH_SIZE];
        int difference = 0;
        PatcherStore_MemberGetName(store, member, name, (int)sizeof(name));
        PatcherStore_MemberGetDifferenceFile(store, member, &difference);
        if (StopFlag_Test(stop) == 1) {
            ok = 0;
        } else if (difference != 1) {
            continue; // whole files need no old version
        } else if (!PathSafety_JoinInside(from, sourceDir, name) ||
                   !PathSafety_JoinInside(to, destDir, name)) {
            ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND,
                                        "Unable to copy file [%s] [%s]", name, destDir);
            ok = 0;
        } else {
            ExpansionHelper_Log(helper, PATCHER_LOG_INFO, "Copy file [%s] to [%s]", from, to);
            ok = ExpansionHelper_CopyFile(to, stop, helper, from, 1, 0, 0);
        }
    }
    PatcherStore_Close(store);
    PatcherStore_Destroy(&store);
    return ok;
}

// ---------------------------------------------------------------------------
// Output tree copies
// ---------------------------------------------------------------------------

struct ExpansionSizeWalk {
    ExpansionHelperStruct *Helper;
    StopFlag *Stop;
    int64_t Total;
};

static int ExpansionHelper_InternalSizeEntry(FileStruct *file, void *user, int, const char *folder,
                                             const char *name) {
    ExpansionSizeWalk *walk = static_cast<ExpansionSizeWalk *>(user);
    if (StopFlag_Test(walk->Stop) != 0) {
        return 0;
    }
    char path[EXPANSION_PATH_SIZE];
    if (File_IsDirectory(file) || ExpansionHelper_IsSkipped(walk->Helper, name) ||
        !PathSafety_Join(path, folder, name) || PathSafety_IsLink(path)) {
        return 1;
    }
    int64_t size = 0;
    File_GetFoundSize(file, &size);
    walk->Total += size;
    return 1;
}

int ExpansionHelper_GetDirectorySize(int64_t *size, ExpansionHelperStruct *helper, const char *path,
                                     StopFlag *stop) {
    ZYL_CHECK_PTR(size);
    ZYL_CHECK_TAG(helper, kTag);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(stop);
    *size = 0;
    if (!PathSafety_Exists(path) || PathSafety_IsLink(path)) {
        return 1;
    }
    ExpansionSizeWalk walk = {helper, stop, 0};
    FileStruct *file = nullptr;
    File_New(&file);
    File_Walk(file, path, "*.*", &walk, nullptr, ExpansionHelper_InternalSizeEntry);
    File_Delete(&file);
    *size = walk.Total;
    return 1;
}

static int ExpansionHelper_InternalCopyEntry(ExpansionHelperStruct *helper, FileStruct *listing,
                                             const char *destination, const char *source,
                                             const char *name, int filter, int deleteFlag,
                                             int deployFlag, int logFlag, StopFlag *stop,
                                             int *failed);

int ExpansionHelper_CopyTree(ExpansionHelperStruct *helper, const char *destination,
                             const char *source, int filter, int deleteFlag, int deployFlag,
                             int logFlag, StopFlag *stop) {
    ZYL_CHECK_TAG(helper, kTag);
    ZYL_CHECK_PTR(destination);
    ZYL_CHECK_PTR(source);
    ZYL_CHECK_PTR(stop);
    if (PathSafety_IsWithin(destination, source)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND,
                                    "The dest path [%s] cannot contain the source path [%s]",
                                    destination, source);
        return 0;
    }
    if (!PathSafety_Exists(source) || PathSafety_IsLink(source)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Source path [%s] does not exist",
                                    source);
        return 0;
    }
    FileStruct *listing = nullptr;
    File_New(&listing);
    int failed = 0, ok = 1;
    char name[FILE_NAME_SIZE];
    for (int found = File_FindFirst(listing, 0, source); found && ok;
         found = File_FindNext(listing)) {
        if (StopFlag_Test(stop) == 1) {
            ok = 0;
        } else if (File_GetFoundName(listing, name, (int)sizeof(name)) &&
                   !Zyl_StrEqual(name, ".") && !Zyl_StrEqual(name, "..")) {
            ok = ExpansionHelper_InternalCopyEntry(helper, listing, destination, source, name,
                                                   filter, deleteFlag, deployFlag, logFlag, stop,
                                                   &failed);
        }
    }
    File_FindClose(listing);
    File_Delete(&listing);
    return ok && !failed;
}

// One entry of a tree copy: a folder recursed into (a failure is remembered in
// *failed and the walk goes on), a file copied (a failure stops the walk).
static int ExpansionHelper_InternalCopyEntry(ExpansionHelperStruct *helper, FileStruct *listing,
                                             const char *destination, const char *source,
                                             const char *name, int filter, int deleteFlag,
                                             int deployFlag, int logFlag, StopFlag *stop,
                                             int *failed) {
    char from[EXPANSION_PATH_SIZE], to[EXPANSION_PATH_SIZE];
    if (!PathSafety_Join(from, source, name) || !PathSafety_Join(to, destination, name)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Unable to copy file [%s] [%s]",
                                    source, name);
        return 0;
    }
    if (PathSafety_IsLink(from) || PathSafety_IsLink(to)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND,
                                    "Refusing symbolic link [%s] [%s]", from, to);
        *failed = 1;
        return 1;
    }
    if (File_IsDirectory(listing)) {
        if (!Zyl_CreateDirectory(to, 0, 0) ||
            !ExpansionHelper_CopyTree(helper, to, from, filter, deleteFlag, deployFlag, logFlag,
                                      stop)) {
            *failed = 1;
        }
        return 1;
    }
    if (filter && ExpansionHelper_IsSkipped(helper, from)) {
        return 1; // stays in the output folder
    }
    int64_t size = 0;
    File_GetFoundSize(listing, &size);
    ExpansionHelper_NotifyProgress(helper, name, 0);
    if (logFlag) {
        ExpansionHelper_Log(helper, PATCHER_LOG_INFO, "Copy file [%s] to [%s]", from, to);
    }
    if (!ExpansionHelper_CopyFile(to, stop, helper, from, 0, deleteFlag, deployFlag)) {
        return 0;
    }
    ExpansionHelper_NotifyProgress(helper, name, size);
    return 1;
}

// ---------------------------------------------------------------------------
// The PROCESS step
// ---------------------------------------------------------------------------

int ExpansionHelper_PerformCopy(ExpansionHelperStruct *helper, int deleteFlag, int64_t *first,
                                int64_t *second, StopFlag *stop) {
    ZYL_CHECK_TAG(helper, kTag);
    ZYL_CHECK_PTR(helper->Status);
    ZYL_CHECK_PTR(first);
    ZYL_CHECK_PTR(second);
    ZYL_CHECK_PTR(stop);
    PatcherTaskData *status = helper->Status;
    ExpansionHelper_Log(helper, PATCHER_LOG_INFO, "Perform copy [%s] to [%s] delete [%d]",
                        status->OutputPath, status->CopyPath, deleteFlag);
    ExpansionHelper_GetDirectorySize(first, helper, status->OutputPath, stop);
    *second = *first;
    return ExpansionHelper_CopyTree(helper, status->CopyPath, status->OutputPath, 1, deleteFlag,
                                    status->UseDeployExtension, 0, stop);
}

int ExpansionHelper_PerformExpansion(ExpansionHelperStruct *helper, int deleteFlag, int64_t *first,
                                     int64_t *second, StopFlag *stop) {
    ZYL_CHECK_TAG(helper, kTag);
    ZYL_CHECK_PTR(helper->Status);
    ZYL_CHECK_PTR(first);
    ZYL_CHECK_PTR(second);
    ZYL_CHECK_PTR(stop);
    PatcherTaskData *status = helper->Status;
    char storeName[EXPANSION_PATH_SIZE], source[EXPANSION_PATH_SIZE];
    ExpansionHelper_GenerateDiffName(storeName, status->PackageName, status->PackageType,
                                     status->CurrentVersion, status->TargetVersion,
                                     status->HasBaseLine, status->AvailableReleases);
    if (!PatcherTask_GenerateOutputPath(source, status->BasePath, status->PackageName,
                                        status->PackageType, status->TargetVersion)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Source path [%s] does not exist",
                                    status->PackageName);
        return 0;
    }
    const char *destination = status->BasePath;
    ExpansionHelper_Log(helper, PATCHER_LOG_INFO, "Perform expansion [%s] [%s] to [%s] delete [%d]",
                        storeName, source, destination, deleteFlag);
    if (!PathSafety_Exists(source)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Source path [%s] does not exist",
                                    source);
        return 0;
    }
    if (!PathSafety_Exists(destination)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Dest path [%s] does not exist",
                                    destination);
        return 0;
    }
    return ExpansionHelper_ExpandStore(helper, storeName, source, destination, stop, first, second);
}

// Refuses a record whose folders could lead the work outside the installation.
static int ExpansionHelper_InternalCheckStatus(ExpansionHelperStruct *helper,
                                               const PatcherTaskData *status) {
    const char *folders[3] = {status->BasePath, status->OutputPath, status->CopyPath};
    for (const char *folder : folders) {
        if (!PathSafety_IsSafeFolder(folder)) {
            ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "Refusing unsafe folder [%s]",
                                        folder);
            return 0;
        }
    }
    if (!PatcherTaskStatus_IsSafeName(status->PackageName)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND,
                                    "Refusing unsafe package name [%s]", status->PackageName);
        return 0;
    }
    return 1;
}

int ExpansionHelper_Expand(ExpansionHelperStruct *helper, StopFlag *stop, int64_t *first,
                           PatcherTaskStatus *status, int64_t *second) {
    ZYL_CHECK_TAG(helper, kTag);
    ZYL_CHECK_PTR(stop);
    ZYL_CHECK_PTR(first);
    ZYL_CHECK_PTR(status);
    ZYL_CHECK_PTR(second);
    *first = 0;
    *second = 0;
    PatcherTaskStatus_GetData(status, &helper->Status);
    PatcherTaskData *data = helper->Status;
    if (!ExpansionHelper_InternalCheckStatus(helper, data)) {
        return 0;
    }
    int vcdiff = data->PackageType == PACKAGE_TYPE_INCREMENTAL_VCDIFF ||
                 data->PackageType == PACKAGE_TYPE_PROGRESSIVE_VCDIFF;
    if (vcdiff && Zyl_StrEqual(data->OutputPath, data->CopyPath)) {
        ExpansionHelper_ReportError(helper, PATCHER_ERROR_EXPAND, "%s",
                                    data->PackageType == PACKAGE_TYPE_INCREMENTAL_VCDIFF
                                        ? "Source/destination directories cannot match when using "
                                          "PACKAGE_TYPE_INCREMENTAL_VCDIFF"
                                        : "Source/destination directories cannot match when using "
                                          "PACKAGE_TYPE_PROGRESSIVE_VCDIFF");
        return 0; // nothing was installed: never report this as done
    }
    int deleteFlag = data->DestructiveUpdate == 1 ? 0 : data->PerformDelete;
    if (vcdiff) {
        return ExpansionHelper_PerformExpansion(helper, deleteFlag, first, second, stop);
    }
    return ExpansionHelper_PerformCopy(helper, deleteFlag, first, second, stop);
}
