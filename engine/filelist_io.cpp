// The file list's disk work: reads and writes split at file boundaries (one
// file kept open between calls), preparing files at start without touching
// bytes already there, completing files, and erasing them with their folders.
#include <cstring>

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/file.h"
#include "core/mutex.h"
#include "core/zyl.h"
#include "engine/filelist.h"

extern const char FileList_Tag[];
extern const char FileListMember_Tag[];

// Largest chunk moved by one file call.
enum { kMaxChunk = 1 << 30 };

#define FILELIST_INFO(...) Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, __VA_ARGS__)
#define FILELIST_ERROR(...) Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, __VA_ARGS__)

// ---------------------------------------------------------------------------
// Reads and writes
// ---------------------------------------------------------------------------

int FileList_CloseFile(FileListStruct *list, FileListMemberStruct *member) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    if (list->IoMember == member) {
        File_Close(list->IoFile);
        list->IoMember = nullptr;
        list->IoWritable = 0;
    }
    return 1;
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

// Brings one file to its length. The size is set with one truncate call: a
// shorter file grows from its end (sparse), a longer one is cut, bytes
// already there stay as they are.
static int InternalPrepareOne(FileListStruct *list, FileListMemberStruct *m, BitfieldStruct *pieces,
                              int *existing) {
    char path[FILELIST_TEXT_SIZE];
    if (!FileList_GetMemberDiskPath(list, m, path))
        return 0;
    int64_t size = 0;
    if (File_Stat(list->File, path)) {
        if (File_IsDirectory(list->File)) {
            FILELIST_ERROR("Failure writing to [%s/%s]", path, "directory");
            return 0;
        }
        File_GetSize(list->File, &size);
    }
    if (size > 0)
        (*existing)++;
    if (size == m->Length && size > 0)
        return 1;
    FileList_CloseFile(list, m);
    int ok = File_Open(list->File, path, FILE_MODE_READ | FILE_MODE_WRITE) &&
             File_SetSparse(list->File) && File_SetPosition(list->File, m->Length) &&
             File_Truncate(list->File);
    if (File_IsOpen(list->File))
        ok = File_Close(list->File) && ok;
    if (!ok) {
        FILELIST_ERROR("Failure writing to [%s/%s]", path, m->Path);
        return 0;
    }
    if (size < m->Length)
        InternalMarkFresh(list, pieces, m->Offset + size, m->Offset + m->Length);
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
        FILELIST_INFO("File [%s] now marked as completed", m->Path);
        FileList_CloseFile(list, m);
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
    char path[FILELIST_TEXT_SIZE];
    for (FileListMemberStruct *m = list->First; m; m = m->Next) {
        FileList_CloseFile(list, m);
        if (FileList_GetMemberDiskPath(list, m, path)) {
            FILELIST_INFO("Erase file [%s]", path);
            File_Erase(list->File, path);
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
    if (list->IoMember)
        FileList_CloseFile(list, list->IoMember);
    list->Locked = 0;
    FILELIST_INFO("All files %s", "Unlocked");
    return 1;
}

// ---------------------------------------------------------------------------
// Disk-cache passes (direct I/O until the disk cache is bound)
// ---------------------------------------------------------------------------

// Direct writes are already with the operating system: nothing is held back.
int FileList_FlushAll(FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    return 1;
}

int FileList_ReleaseCacheFiles(FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    if (list->IoMember)
        FileList_CloseFile(list, list->IoMember);
    return 1;
}

int FileList_PrintCacheStatistics(FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    return 1;
}

int FileList_GetCacheTotals(FileListStruct *list, double *efficiency, int64_t *usage) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(efficiency);
    ZYL_CHECK_PTR(usage);
    *efficiency = 0;
    *usage = 0;
    return 1;
}

int FileList_GetWriteFailures(FileListStruct *list, int *count) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(count);
    *count = 0;
    return 1;
}

int FileList_FlushPiece(int index, FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    (void)index;
    return 1;
}
