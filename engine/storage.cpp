// Storage: byte ranges of member files through a fixed number of reusable
// open-file slots, partial names for incomplete files and the rename when done.
// Tuned for sequential block writes: a slot keeps its handle and its position.
#include "engine/storage.h"

#include "core/alert.h"
#include "core/file.h"
#include "core/mutex.h"
#include "core/thread.h"
#include "core/zyl.h"
#include "platform/durable.h"

#include <cerrno>

const char StorageTag[] = "StorageStruct";
const char StorageMemberTag[] = "StorageMemberStruct";

// Open mode values of the file API: write = read and write, exclusive, created
// when missing, never emptied; read = read only, others may read.
static const int kOpenWrite = FILE_MODE_READ | FILE_MODE_WRITE;
static const int kOpenRead = FILE_MODE_READ | FILE_MODE_SHARE_READ;

static double Storage_Now(StorageStruct *storage) {
    return storage->Clock != nullptr ? storage->Clock() : Zyl_GetTickSeconds();
}

static int Storage_Lock(StorageStruct *storage) {
    return MUTEX_LOCK(storage->Mutex);
}

static void Storage_Unlock(StorageStruct *storage) {
    MUTEX_UNLOCK(storage->Mutex);
}

static uint32_t Storage_PathId(const char *path) {
    uint32_t id = 0;
    Zyl_StrCrc32(path, 0, &id);
    return id;
}

// ---------------------------------------------------------------------------
// Slots
// ---------------------------------------------------------------------------

static StorageMemberStruct *Storage_InternalCreateMember(void) {
    StorageMemberStruct *slot = ZYL_NEW(StorageMemberStruct);
    slot->Tag = StorageMemberTag;
    slot->Position = -1;
    File_New(&slot->File);
    File_SetReportErrors(slot->File, 1);
    File_SetOpenRetries(slot->File, 2);
    return slot;
}

// Closes the slot's file. 1 when it was closed or not open; 0 (logged, slot
// left open) when the close failed.
static int Storage_CloseMember(StorageStruct *storage, StorageMemberStruct *slot) {
    if (!slot->Open)
        return 1;
    if (!File_Close(slot->File)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to close member (%s) (%d)",
                  slot->Path, storage->OpenCount);
        return 0;
    }
    slot->Path[0] = 0;
    slot->Id = 0;
    slot->Open = 0;
    slot->Position = -1;
    storage->OpenCount--;
    return 1;
}

static void Storage_InternalDestroyMember(StorageStruct *storage, StorageMemberStruct **slot) {
    StorageMemberStruct *s = *slot;
    if (storage->Recent == s)
        storage->Recent = nullptr;
    if (s->Open && !Storage_CloseMember(storage, s)) {
        storage->OpenCount--; // File_Delete below releases the descriptor in any case
        s->Open = 0;
    }
    File_Delete(&s->File);
    s->Tag = Zyl_DeadTag;
    ZYL_FREE(s, sizeof(StorageMemberStruct));
    *slot = nullptr;
}

// The naming rule: path + extension while partial names are on and nothing
// exists under path. 0 when the name does not fit size (text empty).
static int Storage_InternalMakeDiskName(StorageStruct *storage, const char *path, char *text,
                                        int size) {
    text[0] = 0;
    int fits = Zyl_StrCopy(text, path, size);
    if (fits && storage->Extension[0] != 0) {
        FileStruct *probe = nullptr;
        File_New(&probe);
        int exists = File_Stat(probe, path);
        File_Delete(&probe);
        if (!exists)
            fits = Zyl_StrAppend(text, storage->Extension, size);
    }
    if (!fits)
        text[0] = 0;
    return fits;
}

// Opens the member in a free slot. 0 (logged, slot left free) on failure.
static int Storage_OpenMember(StorageStruct *storage, StorageMemberStruct *slot, const char *path,
                              int mode) {
    char diskName[STORAGE_PATH_SIZE];
    int openMode = mode == STORAGE_MODE_WRITE ? kOpenWrite : kOpenRead;
    int named = Storage_InternalMakeDiskName(storage, path, diskName, sizeof diskName);
    if (named && !Zyl_StrEqual(diskName, path))
        openMode |= FILE_MODE_NO_LINK; // a partial file is ours: a link planted there is refused
    if (!named || Zyl_StrLen(path) >= STORAGE_PATH_SIZE ||
        !File_Open(slot->File, diskName, openMode)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "Unable to open (%d) member (%s [%s]) (%.8X)", storage->OpenCount, path, diskName,
                  openMode);
        return 0;
    }
    Zyl_StrCopy(slot->Path, path, sizeof slot->Path);
    slot->Id = Storage_PathId(path);
    File_GetSize(slot->File, &slot->Length);
    File_GetModifiedTime(slot->File, &slot->ModifiedTime);
    slot->Mode = mode;
    slot->Open = 1;
    slot->Position = -1;
    slot->ReadRun = ReadRunStruct{};
    slot->Sequential = 0;
    storage->OpenCount++;
    return 1;
}

// The open slot holding exactly this path (the id only pre-checks), or null.
static StorageMemberStruct *Storage_FindOpen(StorageStruct *storage, const char *path,
                                             uint32_t id) {
    for (StorageMemberStruct *s = storage->Slots; s != nullptr; s = s->Next) {
        if (s->Open && s->Id == id && Zyl_StrEqual(s->Path, path))
            return s;
    }
    return nullptr;
}

// The slot to reuse: a never-used closed slot first (in list order), else the
// one used longest ago.
static StorageMemberStruct *Storage_PickVictim(StorageStruct *storage) {
    StorageMemberStruct *candidate = storage->Slots;
    for (StorageMemberStruct *s = storage->Slots; s != nullptr; s = s->Next) {
        if (s->LastUse < candidate->LastUse)
            candidate = s;
        if (!s->Open && candidate->LastUse > 0)
            candidate = s;
    }
    return candidate;
}

// Finds or opens the slot for path in at least the given mode (lock held).
// Null when it could not be opened (the open logged why).
static StorageMemberStruct *Storage_InternalAcquireMember(StorageStruct *storage, const char *path,
                                                          int mode) {
    StorageMemberStruct *slot = storage->Recent;
    if (slot == nullptr || !slot->Open || !Zyl_StrEqual(slot->Path, path))
        slot = Storage_FindOpen(storage, path, Storage_PathId(path));
    if (slot == nullptr) {
        slot = Storage_PickVictim(storage);
        if (!Storage_CloseMember(storage, slot))
            return nullptr; // its file stays open: never open a second one in it
        if (!Storage_OpenMember(storage, slot, path, mode))
            return nullptr;
    } else if (slot->Mode < mode) {
        if (!Storage_CloseMember(storage, slot) || !Storage_OpenMember(storage, slot, path, mode))
            return nullptr;
    }
    slot->LastUse = Storage_Now(storage);
    storage->Recent = slot;
    return slot;
}

// ---------------------------------------------------------------------------
// Life and settings
// ---------------------------------------------------------------------------

// Fills a zeroed record: tag, lock, lookup file, defaults and the open slots.
static void Storage_Init(StorageStruct *s) {
    s->Tag = StorageTag;
    Mutex_Create(&s->Mutex);
    File_New(&s->Lookup);
    File_SetReportErrors(s->Lookup, 1);
    s->RenameDelayMs = 1000;
    Storage_SetMaxOpenFiles(s, STORAGE_DEFAULT_SLOTS);
}

// Closes every slot (logging files that would not close) and frees what
// Storage_Init made; the record itself is left for the caller to free.
static void Storage_Deinit(StorageStruct *s) {
    Storage_Lock(s);
    while (s->Slots != nullptr) {
        StorageMemberStruct *slot = s->Slots;
        s->Slots = slot->Next;
        Storage_InternalDestroyMember(s, &slot);
        s->MemberCount--;
    }
    File_Delete(&s->Lookup);
    Storage_Unlock(s);
    Mutex_Close(&s->Mutex);
}

int Storage_Create(StorageStruct **storage) {
    ZYL_CHECK_PTR(storage);
    *storage = nullptr;
    StorageStruct *s = ZYL_NEW(StorageStruct);
    Storage_Init(s);
    *storage = s;
    return 1;
}

int Storage_Destroy(StorageStruct **storage) {
    ZYL_CHECK_PTR(storage);
    StorageStruct *s = *storage;
    if (s == nullptr)
        return 1;
    ZYL_CHECK_TAG(s, StorageTag);
    Storage_Deinit(s);
    s->Tag = Zyl_DeadTag;
    ZYL_FREE(s, sizeof(StorageStruct));
    *storage = nullptr;
    return 1;
}

int Storage_SetMaxOpenFiles(StorageStruct *storage, int count) {
    ZYL_CHECK_TAG(storage, StorageTag);
    if (count < 1)
        count = 1; // every access needs a slot
    if (!Storage_Lock(storage))
        return 0;
    int result = 1;
    while (storage->MemberCount < count) {
        StorageMemberStruct *slot = Storage_InternalCreateMember();
        slot->Next = storage->Slots;
        storage->Slots = slot;
        storage->MemberCount++;
    }
    while (storage->MemberCount > count) {
        StorageMemberStruct *slot = storage->Slots;
        if (!Storage_CloseMember(storage, slot)) {
            result = 0;
            break;
        }
        storage->Slots = slot->Next;
        Storage_InternalDestroyMember(storage, &slot);
        storage->MemberCount--;
    }
    storage->SlotCount = storage->MemberCount;
    Storage_Unlock(storage);
    return result;
}

int Storage_SetPartialExtension(StorageStruct *storage, const char *extension) {
    ZYL_CHECK_TAG(storage, StorageTag);
    ZYL_CHECK_PTR(extension);
    char text[STORAGE_EXTENSION_SIZE];
    text[0] = 0;
    if (extension[0] != 0 && extension[0] != '.')
        Zyl_StrCopy(text, ".", sizeof text);
    if (!Zyl_StrAppend(text, extension, sizeof text)) {
        Zyl_Print("Storage_SetPartialExtension() extension too long [%s]\n", extension);
        return 0;
    }
    Zyl_StrCopy(storage->Extension, text, sizeof storage->Extension);
    return 1;
}

int Storage_GetPartialExtension(StorageStruct *storage, char *text, int size) {
    ZYL_CHECK_TAG(storage, StorageTag);
    ZYL_CHECK_PTR(text);
    return Zyl_StrCopy(text, storage->Extension, size);
}

int Storage_GetDiskName(StorageStruct *storage, const char *path, char *text, int size) {
    ZYL_CHECK_TAG(storage, StorageTag);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(text);
    return Storage_InternalMakeDiskName(storage, path, text, size);
}

int Storage_SetClock(StorageStruct *storage, StorageClock clock) {
    ZYL_CHECK_TAG(storage, StorageTag);
    storage->Clock = clock;
    return 1;
}

int Storage_SetRenameDelay(StorageStruct *storage, int milliseconds) {
    ZYL_CHECK_TAG(storage, StorageTag);
    storage->RenameDelayMs = milliseconds;
    return 1;
}

int Storage_SetFaultHook(StorageStruct *storage, StorageFaultHook hook, void *user) {
    ZYL_CHECK_TAG(storage, StorageTag);
    storage->Fault = hook;
    storage->FaultUser = user;
    return 1;
}

// ---------------------------------------------------------------------------
// Data
// ---------------------------------------------------------------------------

// Moves the slot's file pointer to offset unless it stands there. A failed
// seek is logged by the file object.
static int Storage_SeekTo(StorageMemberStruct *slot, int64_t offset) {
    if (slot->Position == offset)
        return 1;
    if (!File_SetPosition(slot->File, offset)) {
        slot->Position = -1;
        return 0;
    }
    slot->Position = offset;
    return 1;
}

static int Storage_CheckRequest(const char *function, const char *path, int64_t offset,
                                int64_t length) {
    if (offset < 0 || length < 0 || length > 0x7fffffff) {
        Zyl_Print("%s() bad range [%s] %I64d %I64d\n", function, path, offset, length);
        return 0;
    }
    return 1;
}

static int Storage_Faulted(StorageStruct *storage, const char *path, int64_t offset, int64_t length,
                           int write) {
    return storage->Fault != nullptr &&
           storage->Fault(storage->FaultUser, path, offset, length, write) == 0;
}

// Writes all bytes at offset (lock held). 0 (logged) otherwise.
static int Storage_WriteLocked(StorageStruct *storage, const char *path, int64_t offset,
                               const void *buffer, int64_t length) {
    StorageMemberStruct *slot = Storage_InternalAcquireMember(storage, path, STORAGE_MODE_WRITE);
    if (slot == nullptr)
        return 0;
    if (!Storage_SeekTo(slot, offset))
        return 0;
    if (Storage_Faulted(storage, path, offset, length, 1)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Write failed (%s) (%I64d / %d)", path,
                  length, 0);
        slot->Position = -1;
        return 0;
    }
    int written = 0;
    if (length > 0 && !File_Write(slot->File, buffer, (int)length, &written)) {
        slot->Position = -1; // the file object logged the failed write
        return 0;
    }
    slot->Position += length;
    Zyl_GetLocalMinutes(&slot->ModifiedTime);
    return 1;
}

int Storage_Write(StorageStruct *storage, const char *path, int64_t offset, const void *buffer,
                  int64_t length) {
    ZYL_CHECK_TAG(storage, StorageTag);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(buffer);
    if (!Storage_CheckRequest("Storage_Write", path, offset, length) || !Storage_Lock(storage))
        return 0;
    int result = Storage_WriteLocked(storage, path, offset, buffer, length);
    Storage_Unlock(storage);
    return result;
}

// Follows the slot's run of back-to-back reads: a run past
// STORAGE_SEQUENTIAL_BYTES turns the system's sequential read-ahead on, a read
// elsewhere turns it off again.
static void Storage_FollowReads(StorageMemberStruct *slot, int64_t offset, int64_t length) {
    const int sequential =
        ReadRun_Follow(&slot->ReadRun, offset, length) > STORAGE_SEQUENTIAL_BYTES;
    if (sequential != slot->Sequential) {
        File_SetAccessPattern(slot->File, sequential ? FILE_ACCESS_SEQUENTIAL : FILE_ACCESS_NORMAL);
        slot->Sequential = sequential;
    }
}

// Reads exactly length bytes at offset (lock held). 0 (logged) otherwise.
static int Storage_ReadLocked(StorageStruct *storage, const char *path, int64_t offset,
                              void *buffer, int64_t length) {
    StorageMemberStruct *slot = Storage_InternalAcquireMember(storage, path, STORAGE_MODE_READ);
    if (slot == nullptr)
        return 0;
    if (!Storage_SeekTo(slot, offset))
        return 0;
    if (length == 0)
        return 1;
    Storage_FollowReads(slot, offset, length);
    int count = 0;
    int faulted = Storage_Faulted(storage, path, offset, length, 0);
    if (faulted || !File_Read(slot->File, buffer, (int)length, &count) || count != (int)length) {
        // A failed read call was logged by the file object; a fault or a file
        // that ends too early starts here.
        if (faulted || File_GetLastError(slot->File) == 0)
            Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Read failed (%s) (%I64d / %d)", path,
                      length, count);
        slot->Position = -1;
        return 0;
    }
    slot->Position += length;
    return 1;
}

int Storage_Read(StorageStruct *storage, const char *path, int64_t offset, void *buffer,
                 int64_t length) {
    ZYL_CHECK_TAG(storage, StorageTag);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(buffer);
    if (!Storage_CheckRequest("Storage_Read", path, offset, length))
        return 0;
    if (length == 0)
        return 1; // nothing to move: the file is not touched
    if (!Storage_Lock(storage))
        return 0;
    int result = Storage_ReadLocked(storage, path, offset, buffer, length);
    Storage_Unlock(storage);
    return result;
}

// ---------------------------------------------------------------------------
// Sizes
// ---------------------------------------------------------------------------

int Storage_SetSparse(StorageStruct *storage, const char *path) {
    ZYL_CHECK_TAG(storage, StorageTag);
    ZYL_CHECK_PTR(path);
    if (!Storage_Lock(storage))
        return 0;
    StorageMemberStruct *slot = Storage_InternalAcquireMember(storage, path, STORAGE_MODE_WRITE);
    int result = slot != nullptr && File_SetSparse(slot->File);
    Storage_Unlock(storage);
    return result;
}

static int Storage_SetLengthLocked(StorageStruct *storage, const char *path, int64_t length) {
    StorageMemberStruct *slot = Storage_InternalAcquireMember(storage, path, STORAGE_MODE_WRITE);
    if (slot == nullptr)
        return 0;
    if (slot->Length != length) {
        // The file object logs a failed seek, cut or sync.
        if (!Storage_SeekTo(slot, length) || !File_Truncate(slot->File) ||
            !File_Flush(slot->File)) {
            slot->Position = -1;
            return 0;
        }
        slot->Length = length;
    }
    Zyl_GetLocalMinutes(&slot->ModifiedTime);
    return 1;
}

int Storage_SetLength(StorageStruct *storage, const char *path, int64_t length) {
    ZYL_CHECK_TAG(storage, StorageTag);
    ZYL_CHECK_PTR(path);
    if (!Storage_CheckRequest("Storage_SetLength", path, length, 0) || !Storage_Lock(storage))
        return 0;
    int result = Storage_SetLengthLocked(storage, path, length);
    Storage_Unlock(storage);
    return result;
}

int Storage_Truncate(StorageStruct *storage, const char *path, int64_t length) {
    ZYL_CHECK_TAG(storage, StorageTag);
    ZYL_CHECK_PTR(path);
    if (!Storage_CheckRequest("Storage_Truncate", path, length, 0) || !Storage_Lock(storage))
        return 0;
    int result = 0;
    StorageMemberStruct *slot = Storage_InternalAcquireMember(storage, path, STORAGE_MODE_WRITE);
    if (slot == nullptr) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to open member (%s) (%I64d)", path,
                  length);
    } else if (Storage_SeekTo(slot, length)) {
        // The file object logs a failed seek or cut; the caller hears of it by the result.
        result = File_Truncate(slot->File);
        if (result)
            Zyl_GetLocalMinutes(&slot->ModifiedTime);
        else
            slot->Position = -1;
    }
    Storage_Unlock(storage);
    return result;
}

// ---------------------------------------------------------------------------
// Completion and queries
// ---------------------------------------------------------------------------

// Syncs the data of a member's file that is not open in a slot. 1 on success;
// 0 (logged by the file object) otherwise.
static int Storage_SyncClosed(const char *diskName) {
    FileStruct *file = nullptr;
    File_New(&file);
    File_SetOpenRetries(file, 1);
    int ok = File_Open(file, diskName, kOpenRead) && File_Flush(file);
    File_Close(file);
    File_Delete(&file);
    return ok;
}

// Gives the partial file its final name, retrying (lock held): its data is
// synced first, and the folder after the rename, so a finished file is never
// empty or missing after a power cut. 1 when nothing had to move or all worked.
static int Storage_RenamePartial(StorageStruct *storage, const char *path, int synced) {
    char diskName[STORAGE_PATH_SIZE];
    if (!Storage_InternalMakeDiskName(storage, path, diskName, sizeof diskName))
        return 0;
    if (Zyl_StrEqual(diskName, path))
        return 1; // already final (or a final file exists and wins)
    if (!synced && !Storage_SyncClosed(diskName))
        return 0;
    for (int attempt = 0;; attempt++) {
        if (File_Rename(storage->Lookup, diskName, path))
            break;
        if (attempt == STORAGE_RENAME_RETRIES)
            return 0;
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Rename %s to %s failed, retrying [%d:%d]",
                  diskName, path, attempt, STORAGE_RENAME_RETRIES);
        if (storage->RenameDelayMs > 0)
            Thread_Sleep(storage->RenameDelayMs);
    }
    if (!Durable_SyncFolderOf(path)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to sync the folder of (%s) (%d)",
                  path, errno);
        return 0;
    }
    return 1;
}

int Storage_Finalize(StorageStruct *storage, const char *path, int rename) {
    ZYL_CHECK_TAG(storage, StorageTag);
    ZYL_CHECK_PTR(path);
    if (!Storage_Lock(storage))
        return 0;
    StorageMemberStruct *slot = Storage_FindOpen(storage, path, Storage_PathId(path));
    // A finished member's data is synced before it counts as done: write-back
    // errors (EIO, a late ENOSPC) are only reported here.
    int synced = slot != nullptr && slot->Mode == STORAGE_MODE_WRITE;
    int result = !synced || File_Flush(slot->File);
    if (result && slot != nullptr)
        result = Storage_CloseMember(storage, slot);
    if (result && rename == 1 && storage->Extension[0] != 0)
        result = Storage_RenamePartial(storage, path, synced);
    Storage_Unlock(storage);
    return result;
}

// Looks the member's disk file up by name (lock held). 1 when it exists.
static int Storage_StatMember(StorageStruct *storage, const char *path) {
    char diskName[STORAGE_PATH_SIZE];
    return Storage_InternalMakeDiskName(storage, path, diskName, sizeof diskName) &&
           File_Stat(storage->Lookup, diskName) && !File_IsDirectory(storage->Lookup);
}

// Length and modification time of a member: from its open slot, else from the
// disk. 0 when it is neither open nor on disk.
static int Storage_InternalMemberInfo(StorageStruct *storage, const char *path, int64_t *length,
                                      int32_t *minutes) {
    if (!Storage_Lock(storage))
        return 0;
    int result = 1;
    StorageMemberStruct *slot = Storage_FindOpen(storage, path, Storage_PathId(path));
    if (slot != nullptr) {
        *length = slot->Length;
        *minutes = slot->ModifiedTime;
    } else if (Storage_StatMember(storage, path)) {
        File_GetSize(storage->Lookup, length);
        File_GetModifiedTime(storage->Lookup, minutes);
    } else {
        result = 0;
    }
    Storage_Unlock(storage);
    return result;
}

int Storage_GetMemberLength(StorageStruct *storage, const char *path, int64_t *length) {
    ZYL_CHECK_TAG(storage, StorageTag);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(length);
    *length = 0;
    int32_t minutes = 0;
    return Storage_InternalMemberInfo(storage, path, length, &minutes);
}

int Storage_GetMemberModifiedTime(StorageStruct *storage, const char *path, int32_t *minutes) {
    ZYL_CHECK_TAG(storage, StorageTag);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(minutes);
    *minutes = 0;
    int64_t length = 0;
    return Storage_InternalMemberInfo(storage, path, &length, minutes);
}

int Storage_Dump(StorageStruct *storage) {
    ZYL_CHECK_TAG(storage, StorageTag);
    if (!Storage_Lock(storage))
        return 0;
    double now = Storage_Now(storage);
    Zyl_Print("Storage active (%d/%d):\n", storage->OpenCount, storage->SlotCount);
    for (StorageMemberStruct *s = storage->Slots; s != nullptr; s = s->Next) {
        if (s->Id == 0)
            Zyl_Print(" -- Member Unused\n");
        else
            Zyl_Print(" -- Member [%c:%c] (%.8X:%s) %I64d (%.2f)\n", s->Open ? 'O' : 'C',
                      s->Mode == STORAGE_MODE_READ ? 'R' : 'W', s->Id, s->Path, s->Position,
                      now - s->LastUse);
    }
    Storage_Unlock(storage);
    return 1;
}
