// The content record: life, settings, piece geometry, piece data through the
// file list, and piece verification against the metafile's SHA-1 table.
#include "engine/content.h"

#include <cstdarg>
#include <cstring>

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/file.h"
#include "core/oshelper.h"
#include "core/sha1.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/filelist.h"
#include "engine/kickstart.h"
#include "engine/manager.h"
#include "engine/metafile.h"
#include "engine/urllist.h"

extern const char Content_Tag[] = "ContentStruct";

int Content_Create(ContentStruct **content) {
    ZYL_CHECK_PTR(content);
    ContentStruct *c = ZYL_NEW(ContentStruct);
    c->Tag = Content_Tag;
    Content_Init(c);
    *content = c;
    return 1;
}

int Content_Init(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    content->PieceLength = CONTENT_DEFAULT_PIECE_LENGTH;
    content->SliceSize = CONTENT_DEFAULT_SLICE_SIZE;
    content->Verify = 1;
    MetaFile_Create(&content->MetaFile);
    FileList_Create(&content->FileList);
    FileList_SetPieceLength(content->FileList, content->PieceLength);
    Sha1_Create(&content->Sha1);
    Bitfield_Create(&content->Held);
    Bitfield_Create(&content->Wanted);
    Bitfield_Create(&content->Checked);
    Bitfield_Create(&content->Aux);
    URLList_Create(&content->TrackerList);
    URLList_Create(&content->ReliableList);
    return 1;
}

// Frees the piece table; an empty table still holds one allocated byte.
static void InternalFreeTable(ContentStruct *content) {
    if (content->PieceTable)
        ZYL_FREE(content->PieceTable, content->PieceTableSize > 0 ? content->PieceTableSize : 1);
    content->PieceTableSize = 0;
}

uint8_t *Content_NewPieceTable(ContentStruct *content, int size) {
    ZYL_CHECK_TAG(content, Content_Tag);
    InternalFreeTable(content);
    content->PieceTableSize = size;
    content->PieceTable = static_cast<uint8_t *>(ZYL_ALLOC(size > 0 ? size : 1));
    return content->PieceTable;
}

int Content_Deinit(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    FileList_ReleaseCacheFiles(content->FileList);
    Content_SaveAccelerator(content);
    InternalFreeTable(content);
    if (content->HashBuffer)
        ZYL_FREE(content->HashBuffer, content->HashBufferSize);
    content->HashBufferSize = 0;
    URLList_Destroy(&content->TrackerList);
    URLList_Destroy(&content->ReliableList);
    Bitfield_Destroy(&content->Held);
    Bitfield_Destroy(&content->Wanted);
    Bitfield_Destroy(&content->Checked);
    Bitfield_Destroy(&content->Aux);
    Sha1_Destroy(&content->Sha1);
    FileList_Destroy(&content->FileList);
    MetaFile_Destroy(&content->MetaFile);
    return 1;
}

int Content_Destroy(ContentStruct **content) {
    ZYL_CHECK_PTR(content);
    ContentStruct *c = *content;
    if (c == nullptr)
        return 1;
    *content = nullptr;
    Content_Deinit(c);
    c->Tag = Zyl_DeadTag;
    ZYL_FREE(c, sizeof(ContentStruct));
    return 1;
}

int Content_IsContent(void *pointer) {
    return pointer && static_cast<ContentStruct *>(pointer)->Tag == Content_Tag ? 1 : 0;
}

int Content_SetParent(ContentStruct *content, BaseStruct *base) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(base);
    if (content->Base != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    content->Base = base;
    return FileList_SetParent(base, content->FileList);
}

int Content_SetStopEvent(ContentStruct *content, EventStruct *event) {
    ZYL_CHECK_TAG(content, Content_Tag);
    content->StopEvent = event;
    return FileList_SetStopEvent(content->FileList, event);
}

int Content_SetLogCallback(ContentStruct *content, ContentLogCallback callback, void *user) {
    ZYL_CHECK_TAG(content, Content_Tag);
    content->LogCallback = callback;
    content->LogUser = user;
    return 1;
}

int(Content_Log)(ContentStruct *content, const char *format, ...) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(format);
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(content->LastLine, sizeof content->LastLine, format, args);
    va_end(args);
    content->LineCounter++;
    if (content->Verbose) {
        char shortName[20];
        Zyl_StrCopy(shortName, content->SourceFileName, sizeof shortName);
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "%10s: %s", shortName, content->LastLine);
    }
    if (content->LogCallback)
        content->LogCallback(content, content->LogUser, content->LineCounter, content->LastLine);
    return 1;
}

// ---------------------------------------------------------------------------
// Settings and queries
// ---------------------------------------------------------------------------

int Content_SetSource(ContentStruct *content, const char *text, int type) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(text);
    Zyl_StrCopy(content->SourceText, text, sizeof content->SourceText);
    content->SourceType = type;
    content->SourceFileName[0] = 0;
    content->SourceBuffer = nullptr;
    content->SourceLength = 0;
    if (type == CONTENT_SOURCE_DIRECTORY)
        Zyl_NormalizePath(content->SourceText, 1, sizeof content->SourceText);
    else if (type == CONTENT_SOURCE_METAFILE)
        Zyl_NormalizePath(content->SourceText, 0, sizeof content->SourceText);
    return 1;
}

int Content_SetSourceBuffer(ContentStruct *content, const void *bytes, int64_t length) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(bytes);
    Content_SetSource(content, "", CONTENT_SOURCE_BUFFER);
    content->SourceBuffer = static_cast<const uint8_t *>(bytes);
    content->SourceLength = length;
    return 1;
}

int Content_GetSource(ContentStruct *content, int *type, char *text) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(type);
    ZYL_CHECK_PTR(text);
    *type = content->SourceType;
    text[0] = 0;
    if (content->SourceType == CONTENT_SOURCE_BUFFER)
        return 0;
    Zyl_StrCopy(text, content->SourceText, CONTENT_TEXT_SIZE);
    return 1;
}

int Content_GetSourceFileName(ContentStruct *content, char *text, int size) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(text);
    Zyl_StrCopy(text, content->SourceFileName, size);
    return 1;
}

int Content_SetName(ContentStruct *content, const char *name) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(name);
    Zyl_StrCopy(content->Name, name, sizeof content->Name);
    return 1;
}

int Content_GetName(ContentStruct *content, char *name) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(name);
    Zyl_StrCopy(name, content->Name, CONTENT_TEXT_SIZE);
    return 1;
}

int Content_SetPath(ContentStruct *content, const char *path) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(path);
    Zyl_StrCopy(content->Path, path, sizeof content->Path);
    Zyl_NormalizePath(content->Path, 1, sizeof content->Path);
    return 1;
}

int Content_GetPath(ContentStruct *content, char *path) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(path);
    Zyl_StrCopy(path, content->Path, CONTENT_TEXT_SIZE);
    return 1;
}

#define CONTENT_GETTER(Name, Field)                                                                \
    int Content_Get##Name(ContentStruct *content, int *value) {                                    \
        ZYL_CHECK_TAG(content, Content_Tag);                                                       \
        ZYL_CHECK_PTR(value);                                                                      \
        *value = content->Field;                                                                   \
        return 1;                                                                                  \
    }

CONTENT_GETTER(SliceSize, SliceSize)
CONTENT_GETTER(PieceLength, PieceLength)
CONTENT_GETTER(PieceCount, PieceCount)
CONTENT_GETTER(FailedCount, FailedCount)
CONTENT_GETTER(Checking, Checking)
CONTENT_GETTER(Closed, Closed)

int Content_SetSliceSize(ContentStruct *content, int size) {
    ZYL_CHECK_TAG(content, Content_Tag);
    if (size < CONTENT_MIN_SLICE_SIZE || size > CONTENT_MAX_SLICE_SIZE) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Slice size is invalid (%d | %d | %d)",
                  CONTENT_MIN_SLICE_SIZE, size, CONTENT_MAX_SLICE_SIZE);
        return 0;
    }
    content->SliceSize = size;
    return 1;
}

int Content_SetPieceLength(ContentStruct *content, int length) {
    ZYL_CHECK_TAG(content, Content_Tag);
    content->PieceLength = length;
    return FileList_SetPieceLength(content->FileList, length);
}

int Content_SetPrivate(ContentStruct *content, int flag) {
    ZYL_CHECK_TAG(content, Content_Tag);
    content->Private = flag;
    return 1;
}

int Content_GetPrivate(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    return content->Private == 1 ? 1 : 0;
}

int Content_SetClosed(ContentStruct *content, int flag) {
    ZYL_CHECK_TAG(content, Content_Tag);
    content->Closed = flag;
    return 1;
}

int Content_SetVerbose(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    content->Verbose = 1;
    return 1;
}

int Content_DisableVerify(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    content->Verify = 0;
    return 1;
}

int Content_GetInfoHash(ContentStruct *content, uint8_t hash[20]) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(hash);
    memcpy(hash, content->InfoHash, 20);
    return 1;
}

int Content_GetInfoHashDigest(ContentStruct *content, uint8_t digest[20]) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(digest);
    memcpy(digest, content->InfoHashDigest, 20);
    return 1;
}

int Content_GetInfoHashText(ContentStruct *content, char *text, int size) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(text);
    Zyl_StrCopy(text, content->InfoHashText, size);
    return 1;
}

int Content_HashToText(const uint8_t digest[20], char *text, int size) {
    ZYL_CHECK_PTR(digest);
    ZYL_CHECK_PTR(text);
    return Zyl_BytesToHex(digest, 20, text, size);
}

int Content_HashBuffer(const void *buffer, ContentStruct *content, uint8_t digest[20],
                       int64_t length) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(buffer);
    ZYL_CHECK_PTR(digest);
    Sha1_Init(content->Sha1);
    Sha1_Update(content->Sha1, buffer, length);
    Sha1_Final(content->Sha1);
    return Sha1_GetDigest(content->Sha1, digest, 20);
}

// The two figures that move while a download runs are read for display from
// other threads, so they are written and read whole.
int Content_GetBytesLeft(ContentStruct *content, int64_t *left) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(left);
    *left = __atomic_load_n(&content->BytesLeft, __ATOMIC_RELAXED);
    return 1;
}

int Content_GetCheckProgress(ContentStruct *content, int *progress) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(progress);
    *progress = __atomic_load_n(&content->CheckProgress, __ATOMIC_RELAXED);
    return 1;
}

int Content_GetFileListSize(ContentStruct *content, int64_t *size) {
    ZYL_CHECK_TAG(content, Content_Tag);
    return FileList_GetTotalLength(content->FileList, size);
}

int Content_GetFileCount(ContentStruct *content, int *count) {
    ZYL_CHECK_TAG(content, Content_Tag);
    return FileList_GetCount(content->FileList, count);
}

#define CONTENT_OBJECT(Name, Type, Field)                                                          \
    int Content_Get##Name(ContentStruct *content, Type **object) {                                 \
        ZYL_CHECK_TAG(content, Content_Tag);                                                       \
        ZYL_CHECK_PTR(object);                                                                     \
        *object = content->Field;                                                                  \
        return 1;                                                                                  \
    }

CONTENT_OBJECT(MetaFile, MetaFileStruct, MetaFile)
CONTENT_OBJECT(FileList, FileListStruct, FileList)
CONTENT_OBJECT(TrackerList, URLListStruct, TrackerList)
CONTENT_OBJECT(ReliableList, URLListStruct, ReliableList)
CONTENT_OBJECT(Bitfield, BitfieldStruct, Held)
CONTENT_OBJECT(WantedBitfield, BitfieldStruct, Wanted)
CONTENT_OBJECT(CheckedBitfield, BitfieldStruct, Checked)
CONTENT_OBJECT(AuxBitfield, BitfieldStruct, Aux)

int Content_GetPieceSize(ContentStruct *content, int index, int *size) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(size);
    *size = 0;
    int64_t total = 0;
    FileList_GetTotalLength(content->FileList, &total);
    int64_t start = (int64_t)index * content->PieceLength;
    if (index < 0 || content->PieceLength <= 0 || start >= total)
        return 0;
    int64_t rest = total - start;
    *size = rest < content->PieceLength ? (int)rest : content->PieceLength;
    return 1;
}

// ---------------------------------------------------------------------------
// Piece data and verification
// ---------------------------------------------------------------------------

static int InternalRange(ContentStruct *content, int index, int begin, int length,
                         int64_t *offset) {
    *offset = (int64_t)index * content->PieceLength + begin;
    if (index < 0 || begin < 0 || length < 0) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Block outside content (%d:%d:%d)", index,
                  begin, length);
        return 0;
    }
    return 1;
}

int Content_Read(void *buffer, ContentStruct *content, int index, int begin, int length) {
    ZYL_CHECK_TAG(content, Content_Tag);
    int64_t offset = 0;
    return InternalRange(content, index, begin, length, &offset) &&
           FileList_Read(content->FileList, buffer, offset, length);
}

int Content_Write(const void *buffer, ContentStruct *content, int index, int begin, int length) {
    ZYL_CHECK_TAG(content, Content_Tag);
    int64_t offset = 0;
    return InternalRange(content, index, begin, length, &offset) &&
           FileList_Write(content->FileList, buffer, offset, length);
}

int Content_ReadPiece(void *buffer, ContentStruct *content, int index) {
    ZYL_CHECK_TAG(content, Content_Tag);
    int size = 0;
    if (!Content_GetPieceSize(content, index, &size)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Piece outside content [%d]", index);
        return 0;
    }
    return Content_Read(buffer, content, index, 0, size);
}

int Content_HashPiece(int index, ContentStruct *content, uint8_t digest[20]) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(digest);
    int size = 0;
    if (!Content_GetPieceSize(content, index, &size)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Piece outside content [%d]", index);
        return 0;
    }
    if (content->HashBufferSize < size) {
        if (content->HashBuffer)
            ZYL_FREE(content->HashBuffer, content->HashBufferSize);
        content->HashBuffer = static_cast<uint8_t *>(ZYL_ALLOC(size));
        content->HashBufferSize = size;
    }
    if (!Content_Read(content->HashBuffer, content, index, 0, size))
        return 0;
    return Content_HashBuffer(content->HashBuffer, content, digest, size);
}

int Content_VerifyPiece(ContentStruct *content, int index) {
    ZYL_CHECK_TAG(content, Content_Tag);
    if (content->Verify == 0)
        return CONTENT_PIECE_OK;
    uint8_t digest[20];
    if (index < 0 || index >= content->PieceCount || !Content_HashPiece(index, content, digest)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to get hash value for index [%d]",
                  index);
        return CONTENT_PIECE_FAILED;
    }
    const uint8_t *expected = content->PieceTable + (int64_t)index * 20;
    if (memcmp(digest, expected, 20) == 0)
        return CONTENT_PIECE_OK;
    char want[48], got[48];
    Content_HashToText(expected, want, sizeof want);
    Content_HashToText(digest, got, sizeof got);
    Content_Log(content, "Piece failed (%d) integrity check [%d] [%s != %s]", content->FailedCount,
                index, want, got);
    return CONTENT_PIECE_FAILED;
}

int Content_AuthenticatePiece(ContentStruct *content, int index, int *failed) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(failed);
    *failed = 0;
    if (index < 0 || index >= content->PieceCount) {
        Content_Log(content, "Piece outside content [%d]", index);
        *failed = 1;
        return 0;
    }
    if (Bitfield_Test(content->Held, index)) {
        Content_Log(content, "Piece authenticated already [%d]", index);
        return 1;
    }
    if (Content_VerifyPiece(content, index) == CONTENT_PIECE_FAILED) {
        content->FailedCount++;
        *failed = 1;
        return 0;
    }
    int size = 0;
    Content_GetPieceSize(content, index, &size);
    Bitfield_Set(content->Held, index);
    __atomic_fetch_sub(&content->BytesLeft, (int64_t)size, __ATOMIC_RELAXED);
    int missing = 0;
    Bitfield_GetUnsetCount(content->Held, &missing);
    Content_Log(content, "Piece passes authentication [%d] [%d left] [%I64dk]", index, missing,
                content->BytesLeft / 1024);
    FileList_FlushPiece(index, content->FileList);
    FileList_CheckCompleted(content->FileList, content->Held, 1, index);
    if (missing == 0)
        Content_SaveAccelerator(content);
    return 1;
}

KickStartStruct *Content_GetKickStart(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ManagerStruct *manager = nullptr;
    KickStartStruct *kick = nullptr;
    ContentStruct *own = nullptr;
    int accelerate = 0, enabled = 0;
    // A download being taken down no longer names its content: nothing to save.
    if (content->Base == nullptr || !Base_GetContent(content->Base, &own) || own != content ||
        !Base_GetAccelerate(content->Base, &accelerate) || !accelerate ||
        !Base_GetParent(content->Base, &manager) || manager == nullptr ||
        !Manager_GetKickStart(manager, &kick) || kick == nullptr ||
        !KickStart_GetEnabled(kick, &enabled) || !enabled)
        return nullptr;
    return kick;
}

// Writes the cached data of every file, then syncs it: a kick file must never
// record pieces that a crash could still lose.
static int InternalSyncFiles(ContentStruct *content) {
    FileListStruct *list = content->FileList;
    FileStruct *file = nullptr;
    File_New(&file);
    int ok = 1;
    FileListMemberStruct *member = nullptr;
    for (FileList_FirstMember(list, &member); member; FileList_NextMember(member, &member)) {
        if (!FileList_MemberHasData(member))
            continue;
        // With storage bound, closing the file syncs it; without, it is synced here.
        ok = FileList_CloseFile(list, member) && ok;
        char path[FILELIST_TEXT_SIZE];
        if (list->Storage == nullptr && FileList_GetMemberDiskPath(list, member, path) &&
            File_Stat(file, path)) {
            ok = File_Open(file, path,
                           FILE_MODE_READ | FILE_MODE_SHARE_READ | FILE_MODE_SHARE_WRITE) &&
                 File_Flush(file) && ok;
            File_Close(file);
        }
    }
    File_Delete(&file);
    return ok;
}

int Content_SaveAccelerator(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    KickStartStruct *kick = Content_GetKickStart(content);
    if (kick == nullptr || content->Held == nullptr)
        return 1;
    int held = 0, failures = 0;
    Bitfield_GetSetCount(content->Held, &held);
    if (held == 0)
        return 1; // nothing stored yet
    FileList_GetWriteFailures(content->FileList, &failures);
    if (failures > 0) {
        Content_Log(content, "Acceleration skipped due to write failures (%d)", failures);
        return 1;
    }
    if (!InternalSyncFiles(content)) {
        Content_Log(content, "Acceleration skipped: the files could not be synced");
        return 0;
    }
    return KickStart_SaveBaseAccelerator(kick, content->Base);
}
