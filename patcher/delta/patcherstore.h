// Patch store reader: an XML table of contents (".tocstore") and numbered data
// files (".store"), each a run of zlib-compressed sections. Members (whole files
// or VCDIFF deltas) are listed from the table of contents and read back one
// section at a time.
#pragma once

#include <cstdint>

struct PatcherStoreStruct;
struct StopFlag;
// A member as the walk yields it (valid while the store is open).
struct HashTableNodeStruct;
typedef HashTableNodeStruct PatcherStoreMember;

enum {
    PATCHERSTORE_DEFAULT_SECTION_SIZE = 0x40000,
    PATCHERSTORE_MIN_SECTION_SIZE = 0x1000,    // smaller SectionSize attributes are refused
    PATCHERSTORE_MAX_SECTION_SIZE = 0x4000000, // larger ones too
    PATCHERSTORE_NAME_SIZE = 320,
    PATCHERSTORE_RECORD_SIZE = 328, // section record: two int32 and the member name
    PATCHERSTORE_HEADER_SIZE = 40,  // data file header
};

// Called with each failure text (error callback) or progress text (log callback).
typedef void (*PatcherStoreCallback)(PatcherStoreStruct *store, void *data, const char *text);

// Allocates a closed store with the defaults into *store. Returns 1.
int PatcherStore_Create(PatcherStoreStruct **store);
// Frees members, buffers, the open data file and the store; clears *store;
// accepts null. Returns 1.
int PatcherStore_Destroy(PatcherStoreStruct **store);
// Installs the callbacks; without an error callback failure texts go to the
// core log. Each returns 1.
int PatcherStore_SetErrorCallback(PatcherStoreStruct *store, PatcherStoreCallback callback,
                                  void *data);
int PatcherStore_SetLogCallback(PatcherStoreStruct *store, PatcherStoreCallback callback,
                                void *data);
// How many more times a data file that cannot be opened is tried, 250 ms apart
// (default 50). Returns 1.
int PatcherStore_SetOpenRetries(PatcherStoreStruct *store, int retries);

// Reads folder + name + ".tocstore" (+ ".deploy" with the deploy flag). 1 on
// success; 0 (logged) when it cannot be read or any part of it is refused
// (missing PatcherStore or StoreList, a SectionSize outside 4 KiB..64 MiB, a
// member name that is absolute, has a drive letter or leads outside the folder).
// On failure the store holds no members.
int PatcherStore_Open(PatcherStoreStruct *store, const char *folder, const char *name, int deploy);
// Nothing to write for a store opened for reading. Returns 1.
int PatcherStore_Close(PatcherStoreStruct *store);

// Member walk in table order. 1 and *member while one is yielded; 0 at the end.
int PatcherStore_MemberFirst(PatcherStoreMember **member, PatcherStoreStruct *store);
int PatcherStore_MemberNext(PatcherStoreMember **next, PatcherStoreMember *current,
                            PatcherStoreStruct *store);
// Member fields. GetName copies the FileName (1 when it fit); the hash getters
// give pointers to the 20 bytes (valid while the store is open). Each returns 1.
int PatcherStore_MemberGetName(PatcherStoreStruct *store, PatcherStoreMember *member, char *buffer,
                               int size);
int PatcherStore_MemberGetDifferenceFile(PatcherStoreStruct *store, PatcherStoreMember *member,
                                         int *difference);
int PatcherStore_MemberGetSourceHash(PatcherStoreStruct *store, PatcherStoreMember *member,
                                     const uint8_t **hash);
int PatcherStore_MemberGetResultHash(PatcherStoreStruct *store, PatcherStoreMember *member,
                                     const uint8_t **hash);
int PatcherStore_MemberGetFileSize(PatcherStoreStruct *store, PatcherStoreMember *member,
                                   int64_t *size);

// The store's SectionSize in bytes. Returns 1.
int PatcherStore_GetSectionSize(PatcherStoreStruct *store, int *size);
// Sum of every member's FileSize. Returns 1.
int PatcherStore_GetTotalFileSize(PatcherStoreStruct *store, int64_t *size);

// Opens the member's first data file at its offset. 1 on success; 0 (logged)
// otherwise. A data file must not be open (close the previous member first).
int PatcherStore_MemberOpen(StopFlag *stop, PatcherStoreStruct *store, PatcherStoreMember *member);
// Inflates the member's next section into buffer (bufferSize must equal the
// section size). 1 and *length bytes; 1 with *length 0 when the member is
// complete; 0 (logged) on any failure.
int PatcherStore_MemberInflateBuffer(PatcherStoreStruct *store, PatcherStoreMember *member,
                                     uint8_t *buffer, int bufferSize, int *length, StopFlag *stop);
// Closes the current data file. Returns 1.
int PatcherStore_MemberClose(PatcherStoreStruct *store);
