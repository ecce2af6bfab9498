// The file list's disk work: reads and writes split at file boundaries (through
// the disk cache and storage when bound, else one file kept open between calls),
// preparing files without touching bytes already there, completing and erasing.
#include <cstring>

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/file.h"
#include "core/mutex.h"
#include "core/zyl.h"
#include "engine/cache.h"
#include "engine/filelist.h"
#include "engine/storage.h"

extern const char FileList_Tag[];
extern const char FileListMember_Tag[];

// Largest chunk moved by one file call.
enum { kMaxChunk = 1 << 30 };

#define FILELIST_INFO(...) Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, __VA_ARGS__)
#define FILELIST_ERROR(...) Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, __VA_ARGS__)

// ---------------------------------------------------------------------------
// Reads and writes
// ---------------------------------------------------------------------------

// Writes the file's cached data and closes it without renaming. 0 when cached
// data could not be written or the file could not be closed.
int FileList_CloseFile(FileListStruct *list, FileListMemberStruct *member) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    int ok = 1;
    if (list->IoMember == member) {
        ok = File_Close(list->IoFile);
        list->IoMember = nullptr;
        list->IoWritable = 0;
    }
    char path[FILELIST_TEXT_SIZE];
    if ((list->Cache || list->Storage) && FileList_GetMemberDiskPath(list, member, path)) {
        if (list->Cache)
            ok = Cache_FlushFile(list->Cache, path) && ok;
        if (list->Storage)
            ok = Storage_Finalize(list->Storage, path, 0) && ok;
    }
    return ok;
}

// Opens the member's file for reading, or for reading and writing (created
// when missing, never emptied), reusing the open file when it will do.
static int InternalOpen(FileListStruct *list, FileListMemberStruct *m, int writable) {
    if (list->IoMember == m && (list->IoWritable || !writable))
        return 1;
    if (list->IoMember)
        FileList_CloseFile(list, list->IoMember);
    char path[FILELIST_TEXT_SIZE];
    if (!FileList_GetMemberDiskPath(list, m, path))
        return 0;
    int mode = writable ? (FILE_MODE_READ | FILE_MODE_WRITE) : FILE_MODE_READ;
    if (!File_Open(list->IoFile, path, mode | FILE_MODE_SHARE_READ | FILE_MODE_SHARE_WRITE))
        return 0;
    list->IoMember = m;
    list->IoWritable = writable;
    return 1;
}

static int InternalMove(FileListStruct *list, FileListMemberStruct *m, int64_t at, uint8_t *bytes,
                        int length, int write) {
    if (list->Cache || list->Storage) {
        char path[FILELIST_TEXT_SIZE];
        int ok = FileList_GetMemberDiskPath(list, m, path);
        if (ok && list->Cache)
            ok = write ? Cache_Write(list->Cache, path, at, bytes, length)
                       : Cache_Read(list->Cache, path, at, bytes, length);
        else if (ok)
            ok = write ? Storage_Write(list->Storage, path, at, bytes, length)
                       : Storage_Read(list->Storage, path, at, bytes, length);
        if (!ok)
            FILELIST_ERROR("I/O failed (%s) (%d)", m->Path, length);
        return ok;
    }
    int count = 0;
    int ok = InternalOpen(list, m, write) && File_SetPosition(list->IoFile, at);
    if (ok && write)
        ok = File_Write(list->IoFile, bytes, length, &count);
    else if (ok)
        ok = File_Read(list->IoFile, bytes, length, &count) && count == length;
    if (!ok) {
        FILELIST_ERROR("I/O failed (%s) (%d)", m->Path, length);
        FileList_CloseFile(list, m);
    }
    return ok;
}

int FileList_Locate(FileListStruct *list, int64_t offset, int64_t length,
                    FileListMemberStruct **member, int64_t *memberOffset) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(member);
    ZYL_CHECK_PTR(memberOffset);
    *member = nullptr;
    *memberOffset = 0;
    if (offset < 0 || length < 0 || offset > list->TotalLength ||
        length > list->TotalLength - offset) {
        FILELIST_ERROR("Location exceeds total size (%I64d > %I64d)", offset + length,
                       list->TotalLength);
        return 0;
    }
    // Sequential access mostly continues in the open file: start there when it
    // does not lie beyond the offset.
    FileListMemberStruct *m = list->First;
    if (list->IoMember && list->IoMember->Offset <= offset)
        m = list->IoMember;
    for (; m; m = m->Next) {
        if (m->Length > 0 && m->Offset + m->Length > offset) {
            *member = m;
            *memberOffset = offset - m->Offset;
            return 1;
        }
    }
    FILELIST_ERROR("Unable to find member for IO (%I64d:%I64d)", offset, length);
    return 0;
}

static int InternalTransfer(FileListStruct *list, uint8_t *bytes, int64_t offset, int64_t length,
                            int write) {
    if (length == 0)
        return 1;
    FileListMemberStruct *m = nullptr;
    int64_t at = 0;
    if (!FileList_Locate(list, offset, length, &m, &at))
        return 0;
    while (length > 0) {
        int64_t chunk = m->Length - at;
        if (chunk > length)
            chunk = length;
        if (chunk > kMaxChunk)
            chunk = kMaxChunk;
        if (!InternalMove(list, m, at, bytes, (int)chunk, write))
            return 0;
        bytes += chunk;
        length -= chunk;
        at += chunk;
        if (length > 0 && at >= m->Length) {
            if (!FileList_NextMemberWithData(m, &m)) {
                FILELIST_ERROR("Unable to move to next member (%I64d)", length);
                return 0;
            }
            at = 0;
        }
    }
    return 1;
}

int FileList_Read(FileListStruct *list, void *buffer, int64_t offset, int64_t length) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(buffer);
    return InternalTransfer(list, static_cast<uint8_t *>(buffer), offset, length, 0);
}

int FileList_Write(FileListStruct *list, const void *buffer, int64_t offset, int64_t length) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(buffer);
    // The bytes are only read on this path.
    return InternalTransfer(list, static_cast<uint8_t *>(const_cast<void *>(buffer)), offset,
                            length, 1);
}

int FileList_ReadMember(FileListStruct *list, FileListMemberStruct *member, void *buffer,
                        int64_t offset, int64_t length) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    if (offset < 0 || length < 0 || length > member->Length - offset) {
        FILELIST_ERROR("Length beyond file size (%I64d > (%I64d - %I64d)", length, member->Length,
                       offset);
        return 0;
    }
    list->LastReadTime = Zyl_GetTickSeconds();
    return FileList_Read(list, buffer, member->Offset + offset, length);
}

// ---------------------------------------------------------------------------
// Start, completion and end
// ---------------------------------------------------------------------------

// Sets pieces that lie wholly inside content bytes [from, to).
static void InternalMarkFresh(FileListStruct *list, BitfieldStruct *pieces, int64_t from,
                              int64_t to) {
    int64_t pieceLength = list->PieceLength;
    if (pieces == nullptr || pieceLength <= 0 || to <= from)
        return;
    int bits = 0;
    Bitfield_GetSize(pieces, &bits);
    for (int64_t i = (from + pieceLength - 1) / pieceLength; i < bits; i++) {
        int64_t end = (i + 1) * pieceLength;
        if (end > list->TotalLength)
            end = list->TotalLength;
        if (end > to)
            break;
        Bitfield_Set(pieces, (int)i);
    }
}

static int InternalStopped(FileListStruct *list) {
    int set = 0;
    if (list->StopEvent && (!Event_Poll(list->StopEvent, &set) || set)) {
        FILELIST_ERROR("FileList creation aborted");
        return 1;
    }
    return 0;
}

// Creates the file when missing and gives it exactly its length in one step.
static int InternalSetLength(FileListStruct *list, FileListMemberStruct *m, const char *path) {
    if (list->Storage) {
        return Storage_SetSparse(list->Storage, path) &&
               Storage_SetLength(list->Storage, path, m->Length);
    }
    FileList_CloseFile(list, m);
    int ok = File_Open(list->File, path, FILE_MODE_READ | FILE_MODE_WRITE) &&
             File_SetSparse(list->File) && File_SetPosition(list->File, m->Length) &&
             File_Truncate(list->File);
    if (File_IsOpen(list->File))
        ok = File_Close(list->File) && ok;
    return ok;
}

// Brings one file to its length. The size is set with one truncate call: a
// shorter file grows from its end (sparse), a longer one is cut, bytes
// already there stay as they are.
static int InternalPrepareOne(FileListStruct *list, FileListMemberStruct *m, BitfieldStruct *pieces,
                              int *existing) {
    char path[FILELIST_TEXT_SIZE], real[FILELIST_TEXT_SIZE];
    if (!FileList_GetMemberDiskPath(list, m, path))
        return 0;
    if (!list->Storage || !Storage_GetDiskName(list->Storage, path, real, sizeof real))
        Zyl_StrCopy(real, path, sizeof real);
    int64_t size = 0;
    if (File_Stat(list->File, real)) {
        if (File_IsDirectory(list->File)) {
            FILELIST_ERROR("Failure writing to [%s/%s]", path, real);
            return 0;
        }
        File_GetSize(list->File, &size);
    }
    if (size > 0)
        (*existing)++;
    if (size != m->Length || size == 0) {
        if (!InternalSetLength(list, m, path)) {
            FILELIST_ERROR("Failure writing to [%s/%s]", path, real);
            return 0;
        }
        if (size < m->Length)
            InternalMarkFresh(list, pieces, m->Offset + size, m->Offset + m->Length);
    }
    if (list->Cache)
        Cache_SetFileInfo(list->Cache, path, m->Length, list->PieceLength);
    return 1;
}

int FileList_PrepareFiles(FileListStruct *list, BitfieldStruct *pieces, int *progress,
                          int *existing) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(progress);
    ZYL_CHECK_PTR(existing);
    *existing = 0;
    int result = 1;
    for (FileListMemberStruct *m = list->First; m; m = m->Next) {
        // Read for display while the preparation runs: written whole.
        __atomic_store_n(progress, m->FirstPiece, __ATOMIC_RELAXED);
        if (InternalStopped(list) || !InternalPrepareOne(list, m, pieces, existing))
            result = 0;
    }
    return result;
}

int FileList_CheckCompleted(FileListStruct *list, BitfieldStruct *held, int one, int index) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(held);
    int bits = 0;
    Bitfield_GetSize(held, &bits);
    for (FileListMemberStruct *m = list->First; m; m = m->Next) {
        if (m->Active != 1 || m->Completed)
            continue;
        if (one == 1 && (index < m->FirstPiece || index > m->LastPiece))
            continue;
        int all = 1;
        for (int i = m->FirstPiece; i <= m->LastPiece && all; i++)
            all = i < bits && Bitfield_Test(held, i);
        if (!all)
            continue;
        // A file counts as completed only once its data is on disk under its
        // final name; otherwise a later check tries again.
        char path[FILELIST_TEXT_SIZE];
        int ok = FileList_GetMemberDiskPath(list, m, path);
        if (ok && list->Cache)
            ok = Cache_FlushFile(list->Cache, path);
        if (ok && list->Storage)
            ok = Storage_Finalize(list->Storage, path, 1);
        if (ok && list->IoMember == m)
            ok = FileList_CloseFile(list, m);
        if (!ok)
            continue;
        FILELIST_INFO("File [%s] now marked as completed", m->Path);
        m->Completed = 1;
    }
    return 1;
}

// Removes the emptied folders of one file below the directory, deepest first.
static void InternalErasePath(FileListStruct *list, char *folder, char *previous) {
    int base = Zyl_StrLen(list->Directory);
    int cut = -1;
    for (int i = 0; folder[i]; i++)
        if (folder[i] == '/' || folder[i] == '\\')
            cut = i;
    if (cut < 0)
        return;
    folder[cut] = 0;
    if (cut <= base || Zyl_StrEqualNoCase(folder, previous))
        return;
    Zyl_StrCopy(previous, folder, FILELIST_TEXT_SIZE);
    while (Zyl_StrLen(folder) > base) {
        FILELIST_INFO("Erase path [%s]", folder);
        File_Erase(list->File, folder);
        cut = -1;
        for (int i = 0; folder[i]; i++)
            if (folder[i] == '/' || folder[i] == '\\')
                cut = i;
        if (cut < 0)
            break;
        folder[cut] = 0;
    }
}

int FileList_Erase(FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    char path[FILELIST_TEXT_SIZE], real[FILELIST_TEXT_SIZE];
    for (FileListMemberStruct *m = list->First; m; m = m->Next) {
        FileList_CloseFile(list, m);
        if (FileList_GetMemberDiskPath(list, m, path)) {
            if (list->Cache)
                Cache_RemoveFile(list->Cache, path);
            if (!list->Storage || !Storage_GetDiskName(list->Storage, path, real, sizeof real))
                Zyl_StrCopy(real, path, sizeof real);
            FILELIST_INFO("Erase file [%s]", real);
            File_Erase(list->File, real);
        }
        m->Completed = 0;
    }
    char previous[FILELIST_TEXT_SIZE] = "";
    for (FileListMemberStruct *m = list->First; m; m = m->Next) {
        if (FileList_GetMemberDiskPath(list, m, path))
            InternalErasePath(list, path, previous);
    }
    if (list->DirectoryOwned == 1 && list->Directory[0]) {
        FILELIST_INFO("Erase directory [%s]", list->Directory);
        File_Erase(list->File, list->Directory);
    }
    return 1;
}

int FileList_UnlockAll(FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    if (!list->Locked)
        return 1;
    for (FileListMemberStruct *m = list->First; m; m = m->Next)
        FileList_CloseFile(list, m);
    list->Locked = 0;
    FILELIST_INFO("All files %s", "Unlocked");
    return 1;
}

// ---------------------------------------------------------------------------
// Disk-cache passes
// ---------------------------------------------------------------------------

typedef void (*CachePass)(CacheStruct *cache, const char *path, void *user);

// Runs one cache call for every file's disk path; nothing without a cache.
static void InternalEachFile(FileListStruct *list, CachePass pass, void *user) {
    char path[FILELIST_TEXT_SIZE];
    for (FileListMemberStruct *m = list->First; list->Cache && m; m = m->Next) {
        if (FileList_GetMemberDiskPath(list, m, path))
            pass(list->Cache, path, user);
    }
}

static void InternalFlush(CacheStruct *cache, const char *path, void *user) {
    if (!Cache_FlushFile(cache, path))
        *static_cast<int *>(user) = 0;
}

int FileList_FlushAll(FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    int ok = 1;
    InternalEachFile(list, InternalFlush, &ok);
    return ok;
}

static void InternalRelease(CacheStruct *cache, const char *path, void *) {
    Cache_RemoveFile(cache, path);
}

int FileList_ReleaseCacheFiles(FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    if (list->IoMember)
        FileList_CloseFile(list, list->IoMember);
    InternalEachFile(list, InternalRelease, nullptr);
    return 1;
}

static void InternalPrint(CacheStruct *cache, const char *path, void *) {
    Cache_PrintFileStatistics(cache, path);
}

int FileList_PrintCacheStatistics(FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    InternalEachFile(list, InternalPrint, nullptr);
    return 1;
}

struct CacheTotals {
    double Efficiency;
    int64_t Usage;
    int Failures;
};

static void InternalTotals(CacheStruct *cache, const char *path, void *user) {
    CacheTotals *totals = static_cast<CacheTotals *>(user);
    double efficiency = 0;
    int64_t usage = 0;
    int failures = 0;
    Cache_GetFileUtilization(cache, path, &efficiency, &usage);
    Cache_GetIOFailures(cache, path, &failures);
    totals->Efficiency += efficiency;
    totals->Usage += usage;
    totals->Failures += failures;
}

int FileList_GetCacheTotals(FileListStruct *list, double *efficiency, int64_t *usage) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(efficiency);
    ZYL_CHECK_PTR(usage);
    CacheTotals totals = {0, 0, 0};
    InternalEachFile(list, InternalTotals, &totals);
    *efficiency = totals.Efficiency;
    *usage = totals.Usage;
    return 1;
}

int FileList_GetWriteFailures(FileListStruct *list, int *count) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(count);
    CacheTotals totals = {0, 0, 0};
    InternalEachFile(list, InternalTotals, &totals);
    *count = totals.Failures;
    return 1;
}

// Writes the cached data of every file the piece touches, over the piece's
// bytes within each file.
int FileList_FlushPiece(int index, FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    if (list->Cache == nullptr || index < 0 || list->PieceLength <= 0)
        return 1;
    int64_t start = (int64_t)index * list->PieceLength;
    int64_t end = start + list->PieceLength;
    int ok = 1;
    char path[FILELIST_TEXT_SIZE];
    for (FileListMemberStruct *m = list->First; m; m = m->Next) {
        int64_t from = start > m->Offset ? start : m->Offset;
        int64_t to = end < m->Offset + m->Length ? end : m->Offset + m->Length;
        if (from < to && FileList_GetMemberDiskPath(list, m, path))
            ok = Cache_FlushRange(list->Cache, path, from - m->Offset, to - m->Offset - 1) && ok;
    }
    return ok;
}
