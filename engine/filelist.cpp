// The file list's records, settings and lookups, and the reading of a
// metafile's "info" keys into files with offsets and piece ranges. Every name
// from the metafile is checked so that no file can lie outside the folder.
#include "engine/filelist.h"

#include <cstring>

#include "core/alert.h"
#include "core/file.h"
#include "core/hashtable.h"
#include "core/oshelper.h"
#include "core/pool.h"
#include "core/zyl.h"
#include "engine/metafile.h"

extern const char FileList_Tag[] = "FileListStruct";
extern const char FileListMember_Tag[] = "FileListMemberStruct";

// Member chunks (about 60 KiB) and text blocks stay below the C library's
// mapping threshold, so a new list reuses heap pages instead of new ones.
enum { kMembersPerChunk = 640, kTextBlock = 65536 - 64 };

#define FILELIST_LOG(kind, ...) Alert_Log((kind), ALERT_LEVEL_NORMAL, __VA_ARGS__)

int FileList_Create(FileListStruct **list) {
    ZYL_CHECK_PTR(list);
    FileListStruct *l = ZYL_NEW(FileListStruct);
    l->Tag = FileList_Tag;
    FileList_Init(l);
    *list = l;
    return 1;
}

int FileList_Init(FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    list->ZeroFillLimit = FILELIST_ZERO_FILL_LIMIT;
    File_New(&list->File);
    File_SetOpenRetries(list->File, 1);
    File_New(&list->IoFile);
    File_SetOpenRetries(list->IoFile, 1);
    POOL_CREATE(list->Pool);
    Pool_SetMemberSize(list->Pool, sizeof(FileListMemberStruct));
    Pool_SetMembersPerChunk(list->Pool, kMembersPerChunk);
    Pool_SetClear(list->Pool, 1);
    POOL_CREATE(list->TextPool);
    Pool_SetMemberSize(list->TextPool, kTextBlock);
    Pool_SetMembersPerChunk(list->TextPool, 1);
    Pool_SetStringMode(list->TextPool, 1);
    return FileList_Reset(list);
}

int FileList_Deinit(FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    FileList_Reset(list);
    Pool_Destroy(&list->Pool);
    Pool_Destroy(&list->TextPool);
    File_Delete(&list->IoFile);
    File_Delete(&list->File);
    return 1;
}

int FileList_Destroy(FileListStruct **list) {
    ZYL_CHECK_PTR(list);
    FileListStruct *l = *list;
    if (l == nullptr)
        return 1;
    *list = nullptr;
    FileList_Deinit(l);
    l->Tag = Zyl_DeadTag;
    ZYL_FREE(l, sizeof(FileListStruct));
    return 1;
}

int FileList_Reset(FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    while (list->First) {
        FileListMemberStruct *m = list->First;
        FileList_CloseFile(list, m);
        list->First = m->Next;
        m->Tag = Zyl_DeadTag;
        POOL_FREE(list->Pool, m, sizeof(FileListMemberStruct));
    }
    Pool_Reset(list->TextPool);
    list->Last = nullptr;
    list->Count = 0;
    list->TotalLength = 0;
    list->DirectoryOwned = 0;
    list->Locked = 1;
    list->PieceLength = FILELIST_DEFAULT_PIECE_LENGTH;
    list->Directory[0] = 0;
    list->Md5[0] = 0;
    File_SetCreatePath(list->IoFile, 1);
    return 1;
}

int FileList_SetParent(BaseStruct *base, FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(base);
    if (list->Base != nullptr) {
        ZYL_FATAL("Base handle already set\n");
    }
    list->Base = base;
    return 1;
}

int FileList_SetStorage(FileListStruct *list, CacheStruct *cache, StorageStruct *storage) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    if (list->IoMember)
        FileList_CloseFile(list, list->IoMember);
    list->Cache = cache;
    list->Storage = storage;
    return 1;
}

int FileList_SetStopEvent(FileListStruct *list, EventStruct *event) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    list->StopEvent = event;
    return 1;
}

int FileList_SetDirectory(const char *path, FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(path);
    Zyl_StrCopy(list->Directory, path, sizeof list->Directory);
    if (list->Directory[0])
        Zyl_NormalizePath(list->Directory, 1, sizeof list->Directory);
    list->DirectoryOwned = 0;
    return 1;
}

int FileList_GetDirectory(FileListStruct *list, char *path, int size) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(path);
    Zyl_StrCopy(path, list->Directory, size);
    return 1;
}

int FileList_SetPieceLength(FileListStruct *list, int length) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    list->PieceLength = length;
    return 1;
}

int FileList_GetCount(FileListStruct *list, int *count) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(count);
    *count = list->Count;
    return 1;
}

int FileList_GetTotalLength(FileListStruct *list, int64_t *length) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(length);
    *length = list->TotalLength;
    return 1;
}

int FileList_AllCompleted(FileListStruct *list, int *flag) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(flag);
    *flag = 1;
    for (FileListMemberStruct *m = list->First; m; m = m->Next)
        if (!m->Completed)
            *flag = 0;
    return 1;
}

int FileList_AllActive(FileListStruct *list, int *flag) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(flag);
    *flag = 1;
    for (FileListMemberStruct *m = list->First; m; m = m->Next)
        if (m->Active != 1)
            *flag = 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Members
// ---------------------------------------------------------------------------

int FileList_FirstMember(FileListStruct *list, FileListMemberStruct **member) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(member);
    *member = list->First;
    return *member ? 1 : 0;
}

int FileList_NextMember(FileListMemberStruct *member, FileListMemberStruct **next) {
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    ZYL_CHECK_PTR(next);
    *next = member->Next;
    return *next ? 1 : 0;
}

int FileList_NextMemberWithData(FileListMemberStruct *member, FileListMemberStruct **next) {
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    ZYL_CHECK_PTR(next);
    FileListMemberStruct *m = member->Next;
    while (m && m->Length <= 0)
        m = m->Next;
    *next = m;
    return m ? 1 : 0;
}

int FileList_FindMemberByPiece(FileListStruct *list, FileListMemberStruct **member, int index) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(member);
    for (FileListMemberStruct *m = list->First; m; m = m->Next) {
        if (m->Length > 0 && index >= m->FirstPiece && index <= m->LastPiece) {
            *member = m;
            return 1;
        }
    }
    *member = nullptr;
    return 0;
}

int FileList_FindMemberByPath(FileListStruct *list, const char *path,
                              FileListMemberStruct **member) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(member);
    for (FileListMemberStruct *m = list->First; m; m = m->Next) {
        if (Zyl_StrEqualNoCase(m->Path, path)) {
            *member = m;
            return 1;
        }
    }
    *member = nullptr;
    return 0;
}

int FileList_AddMember(FileListMemberStruct **member, FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(member);
    FileListMemberStruct *m =
        static_cast<FileListMemberStruct *>(POOL_ALLOC(list->Pool, sizeof(FileListMemberStruct)));
    m->Tag = FileListMember_Tag;
    m->Owner = list;
    m->MetaName = m->Path = "";
    m->Active = 1;
    if (list->Last)
        list->Last->Next = m;
    else
        list->First = m;
    list->Last = m;
    list->Count++;
    *member = m;
    return 1;
}

// A copy of text (cut below FILELIST_TEXT_SIZE characters) from the owner's
// text pool; the member's other text when it is the same.
static const char *InternalKeepText(FileListMemberStruct *member, const char *text,
                                    const char *other) {
    int length = Zyl_StrLen(text);
    if (length >= FILELIST_TEXT_SIZE)
        length = FILELIST_TEXT_SIZE - 1;
    if (length == 0)
        return "";
    if (Zyl_StrLen(other) == length && memcmp(other, text, (size_t)length) == 0)
        return other;
    char *copy = static_cast<char *>(POOL_ALLOC(member->Owner->TextPool, length + 1));
    memcpy(copy, text, (size_t)length);
    copy[length] = 0;
    return copy;
}

int FileList_SetMemberName(FileListMemberStruct *member, const char *name) {
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    ZYL_CHECK_PTR(name);
    member->MetaName = InternalKeepText(member, name, member->Path);
    return 1;
}

int FileList_GetMemberName(FileListMemberStruct *member, char *name, int size) {
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    ZYL_CHECK_PTR(name);
    Zyl_StrCopy(name, member->MetaName, size);
    return 1;
}

int FileList_SetMemberPath(FileListMemberStruct *member, const char *path) {
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    ZYL_CHECK_PTR(path);
    member->Path = InternalKeepText(member, path, member->MetaName);
    return 1;
}

int FileList_GetMemberPath(FileListMemberStruct *member, char *path) {
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    ZYL_CHECK_PTR(path);
    Zyl_StrCopy(path, member->Path, FILELIST_TEXT_SIZE);
    return 1;
}

int FileList_SetMemberLength(FileListMemberStruct *member, int64_t length) {
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    member->Length = length;
    return 1;
}

int FileList_GetMemberLength(FileListMemberStruct *member, int64_t *length) {
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    ZYL_CHECK_PTR(length);
    *length = member->Length;
    return 1;
}

int FileList_SetMemberOffset(FileListMemberStruct *member, int64_t offset) {
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    member->Offset = offset;
    return 1;
}

int FileList_GetMemberOffset(FileListMemberStruct *member, int64_t *offset) {
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    ZYL_CHECK_PTR(offset);
    *offset = member->Offset;
    return 1;
}

int FileList_SetMemberPieces(FileListMemberStruct *member, int first, int last) {
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    member->FirstPiece = first;
    member->LastPiece = last;
    return 1;
}

int FileList_GetMemberPieces(FileListMemberStruct *member, int *first, int *last) {
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    ZYL_CHECK_PTR(first);
    ZYL_CHECK_PTR(last);
    *first = member->FirstPiece;
    *last = member->LastPiece;
    return 1;
}

int FileList_GetMemberActive(FileListMemberStruct *member, int *active) {
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    ZYL_CHECK_PTR(active);
    *active = member->Active;
    return 1;
}

int FileList_MemberHasData(FileListMemberStruct *member) {
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    return member->Length > 0 ? 1 : 0;
}

int FileList_GetMemberDiskPath(FileListStruct *list, FileListMemberStruct *member, char *path) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_TAG(member, FileListMember_Tag);
    ZYL_CHECK_PTR(path);
    if (!Zyl_StrCopy(path, list->Directory, FILELIST_TEXT_SIZE) ||
        !Zyl_StrAppend(path, member->Path, FILELIST_TEXT_SIZE)) {
        FILELIST_LOG(ALERT_KIND_ERROR, "Path too long [%s%s]", list->Directory, member->Path);
        path[0] = 0;
        return 0;
    }
    for (char *p = path; *p; p++)
        if (*p == '\\')
            *p = '/';
    return 1;
}

// Piece range of a file at offset with length (the first piece for an empty file).
static void InternalSetPieces(FileListStruct *list, FileListMemberStruct *m) {
    int64_t pieceLength = list->PieceLength > 0 ? list->PieceLength : 1;
    m->FirstPiece = (int)(m->Offset / pieceLength);
    m->LastPiece = m->Length > 0 ? (int)((m->Offset + m->Length - 1) / pieceLength) : m->FirstPiece;
}

int FileList_UpdateOffsets(FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    int64_t offset = 0;
    for (FileListMemberStruct *m = list->First; m; m = m->Next) {
        if (m->Length < 0 || m->Length > INT64_MAX - offset) {
            FILELIST_LOG(ALERT_KIND_ERROR, "File length invalid [%s] [%I64d]", m->Path, m->Length);
            return 0;
        }
        m->Offset = offset;
        InternalSetPieces(list, m);
        offset += m->Length;
    }
    list->TotalLength = offset;
    return 1;
}

int FileList_Dump(FileListStruct *list) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    Zyl_Print("Active path: %s\n", list->Directory);
    Zyl_Print("Files:\n");
    int number = 1;
    for (FileListMemberStruct *m = list->First; m; m = m->Next, number++) {
        Zyl_Print("%3d %d:[%6d - %6d] [%6d] [%I64d] %s\n", number, m->Active, m->FirstPiece,
                  m->LastPiece, m->LastPiece - m->FirstPiece + 1, m->Length, m->Path);
    }
    Zyl_Print("Total: %I64dM (%d files)\n\n", list->TotalLength / 1048576, list->Count);
    return 1;
}
