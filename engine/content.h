// One download's description: where its metafile comes from, the info hash,
// piece length and digests, trackers and reliable sources, the files, and the
// state of every piece (held, wanted, checked, in progress).
#pragma once

#include "core/zyl_formatcheck.h"
#include <cstdint>

struct BaseStruct;
struct BitfieldStruct;
struct EventStruct;
struct FileListStruct;
struct ManagerStruct;
struct KickStartStruct;
struct MetaFileStruct;
struct Sha1Struct;
struct URLListStruct;
struct ContentStruct;

enum {
    CONTENT_TEXT_SIZE = 320,
    CONTENT_SOURCE_SIZE = 1024,
    CONTENT_DEFAULT_PIECE_LENGTH = 262144,
    CONTENT_DEFAULT_SLICE_SIZE = 16384,
    CONTENT_MIN_SLICE_SIZE = 4096,
    CONTENT_MAX_SLICE_SIZE = 131072,
};

enum {
    CONTENT_SOURCE_METAFILE = 1,
    CONTENT_SOURCE_DIRECTORY = 2,
    CONTENT_SOURCE_URL = 3,
    CONTENT_SOURCE_BUFFER = 4,
    CONTENT_SOURCE_DOWNLOAD_URL = 5,
};

// Called for every line of Content_Log with the line counter.
typedef void (*ContentLogCallback)(ContentStruct *content, void *user, int counter,
                                   const char *line);

struct ContentStruct {
    const char *Tag;
    char LastLine[CONTENT_TEXT_SIZE];
    int LineCounter;
    ContentLogCallback LogCallback;
    void *LogUser;
    URLListStruct *TrackerList;
    URLListStruct *ReliableList;
    int Verbose;
    int Private;
    int Closed;
    char FirstReliable[CONTENT_TEXT_SIZE];
    uint8_t InfoHash[20];
    uint8_t InfoHashDigest[20]; // SHA-1 of the 20 info-hash bytes
    char InfoHashText[80];      // 40 upper-case hex digits
    char Name[CONTENT_TEXT_SIZE];
    char Path[CONTENT_TEXT_SIZE];
    char SourceText[CONTENT_SOURCE_SIZE];
    char SourceFileName[CONTENT_TEXT_SIZE];
    const uint8_t *SourceBuffer; // the caller's, for source type 4
    int64_t SourceLength;
    int SourceType;
    int CheckProgress; // next piece of the start-up check; the piece count when done
    int Checking;
    Sha1Struct *Sha1;
    uint8_t *PieceTable; // 20 bytes per piece
    int PieceTableSize;  // bytes
    int FailedCount;
    int Verify;
    int SliceSize;
    int PieceLength;
    int PieceCount;
    int64_t CreationDate; // seconds since 1970
    int64_t BytesLeft;
    int64_t BytesExcluded;
    FileListStruct *FileList;
    BitfieldStruct *Held;
    BitfieldStruct *Wanted;
    BitfieldStruct *Checked;
    BitfieldStruct *Aux;
    MetaFileStruct *MetaFile;
    ManagerStruct *Manager;
    BaseStruct *Base;
    // Piece hashing buffer (grown to the piece length) until the manager's
    // shared buffer is bound, and the download's stop event.
    uint8_t *HashBuffer;
    int HashBufferSize;
    EventStruct *StopEvent;
};

// Life. Create: 1 and *content (piece length 262144, slice 16384, verify on).
// Destroy: frees everything and clears *content; accepts a null *content.
int Content_Create(ContentStruct **content);
int Content_Destroy(ContentStruct **content);
int Content_Init(ContentStruct *content);
int Content_Deinit(ContentStruct *content);
// 1 when the pointer carries the content's tag.
int Content_IsContent(void *pointer);
// Binds the download; a second call is fatal ("Parent handle already set").
int Content_SetParent(ContentStruct *content, BaseStruct *base);
// The event that stops the start-up scan (the download's stop event).
int Content_SetStopEvent(ContentStruct *content, EventStruct *event);
int Content_SetLogCallback(ContentStruct *content, ContentLogCallback callback, void *user);

// Settings and queries. Setters return 1; getters copy and return 1.
int Content_SetSource(ContentStruct *content, const char *text, int type);
// A metafile held by the caller (type 4); the bytes must stay until the setup.
int Content_SetSourceBuffer(ContentStruct *content, const void *bytes, int64_t length);
// 0 for a source of type 4.
int Content_GetSource(ContentStruct *content, int *type, char *text);
int Content_GetSourceFileName(ContentStruct *content, char *text, int size);
int Content_SetName(ContentStruct *content, const char *name);
int Content_GetName(ContentStruct *content, char *name);
int Content_SetPath(ContentStruct *content, const char *path);
int Content_GetPath(ContentStruct *content, char *path);
int Content_GetSliceSize(ContentStruct *content, int *size);
// 4096 to 131072 inclusive; otherwise 0 ("Slice size is invalid (%d | %d | %d)").
int Content_SetSliceSize(ContentStruct *content, int size);
int Content_GetPieceLength(ContentStruct *content, int *length);
int Content_SetPieceLength(ContentStruct *content, int length);
int Content_GetPieceCount(ContentStruct *content, int *count);
int Content_GetFailedCount(ContentStruct *content, int *count);
int Content_GetCheckProgress(ContentStruct *content, int *progress);
int Content_GetChecking(ContentStruct *content, int *checking);
int Content_GetClosed(ContentStruct *content, int *closed);
int Content_SetPrivate(ContentStruct *content, int flag);
// 1 when the metafile marks the content private ("private" 1); 0 otherwise.
int Content_GetPrivate(ContentStruct *content);
int Content_SetClosed(ContentStruct *content, int flag);
int Content_SetVerbose(ContentStruct *content);
int Content_DisableVerify(ContentStruct *content);
int Content_GetInfoHash(ContentStruct *content, uint8_t hash[20]);
int Content_GetInfoHashDigest(ContentStruct *content, uint8_t digest[20]);
int Content_GetInfoHashText(ContentStruct *content, char *text, int size);
int Content_HashToText(const uint8_t digest[20], char *text, int size);
int Content_HashBuffer(const void *buffer, ContentStruct *content, uint8_t digest[20],
                       int64_t length);
int Content_GetBytesLeft(ContentStruct *content, int64_t *left);
int Content_GetFileListSize(ContentStruct *content, int64_t *size);
int Content_GetFileCount(ContentStruct *content, int *count);
int Content_GetMetaFile(ContentStruct *content, MetaFileStruct **doc);
int Content_GetFileList(ContentStruct *content, FileListStruct **list);
int Content_GetTrackerList(ContentStruct *content, URLListStruct **list);
int Content_GetReliableList(ContentStruct *content, URLListStruct **list);
int Content_GetBitfield(ContentStruct *content, BitfieldStruct **held);
int Content_GetWantedBitfield(ContentStruct *content, BitfieldStruct **wanted);
int Content_GetCheckedBitfield(ContentStruct *content, BitfieldStruct **checked);
int Content_GetAuxBitfield(ContentStruct *content, BitfieldStruct **aux);
// The size of piece index (the last piece may be shorter); 0 outside the content.
int Content_GetPieceSize(ContentStruct *content, int index, int *size);

// Data at content offset index x piece length + begin, through the file list.
int Content_Read(void *buffer, ContentStruct *content, int index, int begin, int length);
int Content_Write(const void *buffer, ContentStruct *content, int index, int begin, int length);
int Content_ReadPiece(void *buffer, ContentStruct *content, int index);
int Content_HashPiece(int index, ContentStruct *content, uint8_t digest[20]);
// Results of Content_VerifyPiece. Mind the sense: 1 means the piece FAILED.
enum {
    CONTENT_PIECE_OK = 0,     // the digest matches, or verification is off
    CONTENT_PIECE_FAILED = 1, // unreadable, outside the content, or a wrong digest (logged)
};
// Checks the piece's SHA-1 against the metafile's table. Returns
// CONTENT_PIECE_FAILED (1) when the piece FAILS, CONTENT_PIECE_OK (0) when it
// matches or verification is off: test the result against the names, never as
// a success flag.
int Content_VerifyPiece(ContentStruct *content, int index);
// A piece whose blocks have all arrived: 1 when held (or already held); 0 with
// *failed 1 when it fails verification.
int Content_AuthenticatePiece(ContentStruct *content, int index, int *failed);
int Content_Log(ContentStruct *content, const char *format, ...);
#define Content_Log(content, ...)                                                                  \
    (ZYL_FORMAT_CHECK(__VA_ARGS__), (Content_Log)(content, __VA_ARGS__))

// Setup from the source; 0 after one log line, the content then unusable.
int Content_Open(ContentStruct *content);
int Content_Setup(ContentStruct *content);
int Content_ParseMetaInfo(ContentStruct *content);
int Content_SetupFiles(ContentStruct *content);
// Fetches the metafile named by a source of type 3 into the metafile.
int Content_LoadFromURL(ContentStruct *content);
// A plain download URL: one file, length from the reply header, no digests.
int Content_SetupFromURL(const char *url, const char *text, ContentStruct *content);
// Start-up: prepares the files and checks the pieces already on disk.
int Content_ScanExisting(ContentStruct *content);
int Content_CheckExisting(ContentStruct *content);
int Content_Erase(ContentStruct *content);
int Content_Reset(ContentStruct *content);
int Content_Recount(ContentStruct *content);
// Sizes the held, wanted, checked and aux bit fields to the piece count: every
// piece wanted, none held, checked or marked. Returns 1.
int Content_ResetPieceStates(ContentStruct *content);
// Replaces the piece table with one of `size` zeroed bytes and
// returns it; the old table is freed. Allocation failure is fatal.
uint8_t *Content_NewPieceTable(ContentStruct *content, int size);
// The manager's kick start when it is enabled and the download accelerates;
// null otherwise.
KickStartStruct *Content_GetKickStart(ContentStruct *content);
// Syncs the files and saves the download's kick file when the kick start is on
// for it, a piece is held and no write failed. 1 also when nothing was to be
// saved; 0 when the sync or the save failed.
int Content_SaveAccelerator(ContentStruct *content);
