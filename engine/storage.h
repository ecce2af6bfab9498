// Storage: reads and writes byte ranges of a download's member files through a
// small, fixed number of open-file slots that are reused by least recent use;
// incomplete files carry a partial extension and take their final name when done.
// Tuned for sequential block writes: the open handle and its position are kept.
#pragma once

#include <cstdint>

#include "engine/readrun.h"

struct FileStruct;
struct MutexStruct;

enum {
    STORAGE_PATH_SIZE = 320,
    STORAGE_EXTENSION_SIZE = 80,
    STORAGE_DEFAULT_SLOTS = 10,
    STORAGE_MODE_READ = 1,
    STORAGE_MODE_WRITE = 2,
    STORAGE_RENAME_RETRIES = 5,
    STORAGE_SEQUENTIAL_BYTES = 1048576, // back-to-back reads past this are sequential
};

extern const char StorageTag[];       // "StorageStruct"
extern const char StorageMemberTag[]; // "StorageMemberStruct"

// One open-file slot. A slot is free (Id 0, closed) or holds exactly one member.
struct StorageMemberStruct {
    const char *Tag;
    uint8_t Open;                 // 1 while File holds an open file
    int32_t Mode;                 // STORAGE_MODE_*; a write slot also serves reads
    char Path[STORAGE_PATH_SIZE]; // member path as the caller gave it, never the disk name
    uint32_t Id;                  // CRC-32 of Path folded to upper case; a fast pre-check only
    int64_t Position;             // where the file pointer stands; -1 = next access seeks
    int64_t Length;               // size at open, or the length last set; writes leave it
    int32_t ModifiedTime;         // minutes since 1970 (local after our own changes)
    FileStruct *File;             // owned by the slot
    double LastUse;               // clock seconds of the last acquisition; 0 = never used
    ReadRunStruct ReadRun;        // reads since the slot opened
    int32_t Sequential;           // 1 while the system is told reads are sequential
    StorageMemberStruct *Next;
};

// Storage's clock (seconds) for slot ages; tests drive it.
typedef double (*StorageClock)(void);
// Fault hook for tests: called before each file transfer of Storage_Write and
// Storage_Read; returning 0 makes that transfer fail as a disk error would.
typedef int (*StorageFaultHook)(void *user, const char *path, int64_t offset, int64_t length,
                                int write);

// One per engine. The mutex guards every field below it and every file operation.
struct StorageStruct {
    const char *Tag;
    MutexStruct *Mutex;
    FileStruct *Lookup;                     // used to stat and rename by name; never opened
    char Extension[STORAGE_EXTENSION_SIZE]; // with its leading dot; empty = no partial files
    int SlotCount;                          // member files that may be open at once (at least 1)
    int OpenCount;                          // slots holding an open file
    StorageMemberStruct *Slots;             // newest first
    int MemberCount;                        // slots created; equals SlotCount
    StorageClock Clock;
    int RenameDelayMs; // wait between rename attempts (1000)
    StorageFaultHook Fault;
    void *FaultUser;
    StorageMemberStruct *Recent; // slot of the last acquisition (saves the CRC for runs)
};

// Creates storage with 10 free slots and no partial extension into *storage; returns 1.
int Storage_Create(StorageStruct **storage);
// Closes every slot's file, frees everything and clears *storage. Accepts null. Returns 1.
int Storage_Destroy(StorageStruct **storage);

// Adds free slots at the head or removes slots from the head (closing their
// files) until count slots exist. A count below 1 is taken as 1. Returns 1; 0
// when a slot's file could not be closed (that slot stays).
int Storage_SetMaxOpenFiles(StorageStruct *storage, int count);
// Stores the extension (a dot is put in front when missing; at most 79
// characters with it; empty switches partial names off). 0 when too long
// (nothing changes).
int Storage_SetPartialExtension(StorageStruct *storage, const char *extension);
// Copies the extension with its dot ("" when off); 0 when it does not fit size.
int Storage_GetPartialExtension(StorageStruct *storage, char *text, int size);
// The name under which the member lies on disk: path + extension while partial
// names are on and no file exists under path, else path. 0 (text empty) when
// the name does not fit size.
int Storage_GetDiskName(StorageStruct *storage, const char *path, char *text, int size);

// Moves length bytes (below 2^31) at offset of the member, opening it in a slot
// when needed (created when missing for writing). 1 only when every byte moved;
// 0 (logged) otherwise. A read of 0 bytes succeeds without touching the file; a
// read past the end of the file fails. Once reads of a member have run back to
// back for STORAGE_SEQUENTIAL_BYTES the system is told to read ahead further,
// until a read lands elsewhere.
int Storage_Write(StorageStruct *storage, const char *path, int64_t offset, const void *buffer,
                  int64_t length);
int Storage_Read(StorageStruct *storage, const char *path, int64_t offset, void *buffer,
                 int64_t length);
// Opens the member for writing and marks it sparse. 1 when both worked.
int Storage_SetSparse(StorageStruct *storage, const char *path);
// Gives the member exactly this length (nothing to do when the slot's length is
// already that). 1 on success; 0 (logged) when it could not be opened, seeked or cut.
int Storage_SetLength(StorageStruct *storage, const char *path, int64_t length);
// Cuts or extends the member's file at length (the slot's recorded length is
// kept). 1 on success; 0 (logged) when it could not be opened, seeked or cut.
int Storage_Truncate(StorageStruct *storage, const char *path, int64_t length);
// Syncs the member's data (fsync) and closes its slot and, with rename 1 and
// partial names on, gives a partial file its final name (5 retries,
// RenameDelayMs apart) and syncs the folder. 1 when the sync, the close (if the
// member was open) and the rename (if one was needed) worked; 0 (logged)
// otherwise: the caller must not treat the file as finished, and a partial
// file keeps its partial name.
int Storage_Finalize(StorageStruct *storage, const char *path, int rename);
// The member's length (the slot's when it is open, else the disk file's). 0 and
// *length 0 when it is neither open nor on disk.
int Storage_GetMemberLength(StorageStruct *storage, const char *path, int64_t *length);
// The member's modified time in minutes since 1970; 0 and *minutes 0 as above.
int Storage_GetMemberModifiedTime(StorageStruct *storage, const char *path, int32_t *minutes);
// Prints the slot table to the core log. Returns 1.
int Storage_Dump(StorageStruct *storage);

// Test hooks. A null clock restores Zyl_GetTickSeconds. Each returns 1.
int Storage_SetClock(StorageStruct *storage, StorageClock clock);
int Storage_SetRenameDelay(StorageStruct *storage, int milliseconds);
int Storage_SetFaultHook(StorageStruct *storage, StorageFaultHook hook, void *user);
