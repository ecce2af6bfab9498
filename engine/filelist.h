// A download's files in metafile order: lengths, content offsets and piece
// ranges; reads and writes that cross file boundaries; preparing, completing
// and erasing the files below the download folder.
#pragma once

#include <cstdint>

struct BaseStruct;
struct BitfieldStruct;
struct CacheStruct;
struct EventStruct;
struct FileListStruct;
struct FileStruct;
struct MetaFileStruct;
struct PoolStruct;
struct StorageStruct;

enum {
    FILELIST_TEXT_SIZE = 320,
    FILELIST_ZERO_FILL_LIMIT = 5242880,
    FILELIST_DEFAULT_PIECE_LENGTH = 65536,
};

struct FileListMemberStruct {
    const char *Tag;
    FileListStruct *Owner;
    // Texts of the owner's text pool (below FILELIST_TEXT_SIZE characters; ""
    // at creation), valid until the list is reset; one text when both are equal.
    const char *MetaName; // the path as the metafile gives it
    const char *Path;     // below the directory, used on disk
    int64_t Length;
    int Active;     // 1 at creation; only active files are completed
    int Completed;  // 0 at creation
    int64_t Offset; // content offset of the first byte
    int FirstPiece;
    int LastPiece; // the first piece for an empty file
    FileListMemberStruct *Next;
};

struct FileListStruct {
    const char *Tag;
    BaseStruct *Base;
    CacheStruct *Cache;     // null until the disk cache is bound: direct file I/O
    StorageStruct *Storage; // null until storage is bound
    FileStruct *File;       // existence, size and erase
    int ZeroFillLimit;
    int PieceLength;
    int DirectoryOwned; // 1: the directory came from a multi-file metafile
    int Locked;
    double LastReadTime; // seconds of the last FileList_ReadMember
    FileListMemberStruct *Last;
    FileListMemberStruct *First;
    int Count;
    char Directory[FILELIST_TEXT_SIZE]; // ends in a separator when not empty
    char Md5[33];
    int64_t TotalLength;
    PoolStruct *Pool;
    PoolStruct *TextPool; // members' names and paths, freed all at once by a reset
    // Direct I/O: one open file at a time, kept open between calls.
    FileStruct *IoFile;
    FileListMemberStruct *IoMember;
    int IoWritable;
    EventStruct *StopEvent; // set when a start-up preparation must stop; may be null
};

// Life. Create: 1 and *list (reset). Destroy: closes, frees, clears *list;
// accepts a null *list.
int FileList_Create(FileListStruct **list);
int FileList_Destroy(FileListStruct **list);
int FileList_Init(FileListStruct *list);
int FileList_Deinit(FileListStruct *list);
// Closes and frees every file; no files, total 0, locked, piece length 65536,
// directory empty and not owned. Returns 1.
int FileList_Reset(FileListStruct *list);
// Binds the download; a second call is fatal ("Base handle already set").
int FileList_SetParent(BaseStruct *base, FileListStruct *list);
// Binds the engine's disk cache and storage (either may be null: without them
// the list reads and writes the files itself). Returns 1.
int FileList_SetStorage(FileListStruct *list, CacheStruct *cache, StorageStruct *storage);
// The event polled between preparation steps (the download's stop event).
int FileList_SetStopEvent(FileListStruct *list, EventStruct *event);

// Settings and queries; each returns 1.
int FileList_SetDirectory(const char *path, FileListStruct *list);
int FileList_GetDirectory(FileListStruct *list, char *path, int size);
int FileList_SetPieceLength(FileListStruct *list, int length);
int FileList_GetCount(FileListStruct *list, int *count);
int FileList_GetTotalLength(FileListStruct *list, int64_t *length);
int FileList_AllCompleted(FileListStruct *list, int *flag);
int FileList_AllActive(FileListStruct *list, int *flag);

// Walking and lookup; 0 and null when there is no such file.
int FileList_FirstMember(FileListStruct *list, FileListMemberStruct **member);
int FileList_NextMember(FileListMemberStruct *member, FileListMemberStruct **next);
int FileList_NextMemberWithData(FileListMemberStruct *member, FileListMemberStruct **next);
int FileList_FindMemberByPiece(FileListStruct *list, FileListMemberStruct **member, int index);
int FileList_FindMemberByPath(FileListStruct *list, const char *path,
                              FileListMemberStruct **member);
// Appends a file (active 1, everything else 0); 1 and *member.
int FileList_AddMember(FileListMemberStruct **member, FileListStruct *list);
int FileList_SetMemberName(FileListMemberStruct *member, const char *name);
int FileList_GetMemberName(FileListMemberStruct *member, char *name, int size);
int FileList_SetMemberPath(FileListMemberStruct *member, const char *path);
int FileList_GetMemberPath(FileListMemberStruct *member, char *path);
int FileList_SetMemberLength(FileListMemberStruct *member, int64_t length);
int FileList_GetMemberLength(FileListMemberStruct *member, int64_t *length);
int FileList_SetMemberOffset(FileListMemberStruct *member, int64_t offset);
int FileList_GetMemberOffset(FileListMemberStruct *member, int64_t *offset);
int FileList_SetMemberPieces(FileListMemberStruct *member, int first, int last);
int FileList_GetMemberPieces(FileListMemberStruct *member, int *first, int *last);
int FileList_GetMemberActive(FileListMemberStruct *member, int *active);
// 1 when the file's length is above 0.
int FileList_MemberHasData(FileListMemberStruct *member);
// directory + path with '/' separators into path (320 characters); 0 when it does not fit.
int FileList_GetMemberDiskPath(FileListStruct *list, FileListMemberStruct *member, char *path);

// Builds the files from the metafile's "info" keys. Refuses (0, one log line)
// malformed entries, negative lengths, totals that overflow, paths that do not
// fit, duplicate paths (ignoring case), and any name or path component that is
// empty, "." or "..", absolute or holds a separator.
int FileList_ParseMetaFile(FileListStruct *list, MetaFileStruct *doc);
// Recomputes offsets, piece ranges and the total from the lengths. 0 on overflow.
int FileList_UpdateOffsets(FileListStruct *list);
int FileList_Dump(FileListStruct *list);

// Data over the files laid end to end. 0 after one log line when the range
// passes the total length or a file cannot be read or written.
int FileList_Locate(FileListStruct *list, int64_t offset, int64_t length,
                    FileListMemberStruct **member, int64_t *memberOffset);
int FileList_Read(FileListStruct *list, void *buffer, int64_t offset, int64_t length);
int FileList_Write(FileListStruct *list, const void *buffer, int64_t offset, int64_t length);
int FileList_ReadMember(FileListStruct *list, FileListMemberStruct *member, void *buffer,
                        int64_t offset, int64_t length);

// Start-up: creates missing files and brings every file to its length without
// touching bytes already there (a shorter file is extended from its end, a
// longer one cut). Pieces that lie wholly in bytes just created are set in
// pieces (they hold nothing to check). *existing counts files that already
// held data. Before each file *progress becomes the piece holding the file's
// first byte, stored whole: a status reader on another thread may read it while
// this runs (with an atomic load). 0 when stopped or a file cannot be prepared;
// the other files are still prepared.
int FileList_PrepareFiles(FileListStruct *list, BitfieldStruct *pieces, int *progress,
                          int *existing);
// Marks active files whose pieces are all held as completed (with one = 1 only
// files holding piece index). Returns 1.
int FileList_CheckCompleted(FileListStruct *list, BitfieldStruct *held, int one, int index);
// Deletes the files, then their emptied folders below the directory, then the
// directory when it is owned. Returns 1.
int FileList_Erase(FileListStruct *list);
// Closes every file when locked and clears locked ("All files Unlocked").
int FileList_UnlockAll(FileListStruct *list);
// Closes one file (written data stays on disk). Returns 1.
int FileList_CloseFile(FileListStruct *list, FileListMemberStruct *member);

// Disk-cache passes over every file; without a cache there is nothing held back.
int FileList_FlushAll(FileListStruct *list);
int FileList_ReleaseCacheFiles(FileListStruct *list);
int FileList_PrintCacheStatistics(FileListStruct *list);
int FileList_GetCacheTotals(FileListStruct *list, double *efficiency, int64_t *usage);
int FileList_GetWriteFailures(FileListStruct *list, int *count);
int FileList_FlushPiece(int index, FileListStruct *list);
