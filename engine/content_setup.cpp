// Building a content: loading its metafile (file, URL or memory), reading the
// root and "info" keys, laying out files and pieces, and a plain download URL.
#include <cstring>

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/oshelper.h"
#include "core/sha1.h"
#include "core/zyl.h"
#include "engine/content.h"
#include "engine/filelist.h"
#include "engine/metafile.h"
#include "engine/storage.h"
#include "engine/urllist.h"

// Pieces above 64 MiB occur in no real metafile; a piece is requested and checked
// whole, so its size bounds the memory and work one piece may cost.
static const int64_t kMaxPieceLength = INT64_C(64) * 1024 * 1024;

extern const char Content_Tag[];

#define CONTENT_INFO(...) Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, __VA_ARGS__)
#define CONTENT_WARN(...) Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, __VA_ARGS__)
#define CONTENT_ERROR(...) Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, __VA_ARGS__)

static int InternalKeyIs(MetaFileMemberStruct *key, const char *name) {
    return key->Type == METAFILE_TYPE_STRING && key->Length == Zyl_StrLen(name) &&
           Zyl_StrEqualNoCase(key->Data, name);
}

static const char *InternalText(MetaFileMemberStruct *m) {
    return m->Data ? m->Data : "";
}

static int64_t InternalNow(void) {
    int32_t minutes = 0;
    Zyl_GetLocalMinutes(&minutes);
    return (int64_t)minutes * 60;
}

int Content_Reset(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    content->CheckProgress = 0;
    content->BytesLeft = 0;
    content->BytesExcluded = 0;
    content->CreationDate = InternalNow();
    FileList_Reset(content->FileList);
    FileList_SetPieceLength(content->FileList, content->PieceLength);
    return 1;
}

int Content_Recount(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    // Bytes left is read for display from other threads: counted aside and
    // stored whole, never seen half-counted.
    int64_t left = 0, excluded = 0;
    for (int i = 0; i < content->PieceCount; i++) {
        int size = 0;
        Content_GetPieceSize(content, i, &size);
        if (!Bitfield_Test(content->Wanted, i))
            excluded += size;
        else if (!Bitfield_Test(content->Held, i))
            left += size;
    }
    content->BytesExcluded = excluded;
    __atomic_store_n(&content->BytesLeft, left, __ATOMIC_RELAXED);
    return 1;
}

// ---------------------------------------------------------------------------
// Metainfo keys
// ---------------------------------------------------------------------------

// "announce-list" and "reliable-list": a list of non-empty lists of URLs.
static int InternalReadUrlLists(MetaFileMemberStruct *value, URLListStruct *list,
                                ZylFormat<int, const char *> line, const char *failure) {
    if (value->Type != METAFILE_TYPE_LIST)
        return 1;
    if (value->Children.First == nullptr) {
        CONTENT_ERROR("%s", failure);
        return 0;
    }
    for (MetaFileMemberStruct *inner = value->Children.First; inner; inner = inner->Next) {
        if (inner->Type != METAFILE_TYPE_LIST || inner->Children.First == nullptr) {
            CONTENT_ERROR("%s", failure);
            return 0;
        }
        for (MetaFileMemberStruct *url = inner->Children.First; url; url = url->Next) {
            if (url->Type != METAFILE_TYPE_STRING)
                continue;
            (Alert_Log)(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, line.Text, url->Length,
                        InternalText(url));
            URLList_Add(InternalText(url), list);
        }
    }
    return 1;
}

// "reliable-list-id": each inner list gives ids to the reliable entries in order.
static int InternalReadIdLists(ContentStruct *content, MetaFileMemberStruct *value) {
    if (value->Type != METAFILE_TYPE_LIST)
        return 1;
    if (value->Children.First == nullptr) {
        CONTENT_ERROR("Unable to get child for id list");
        return 0;
    }
    for (MetaFileMemberStruct *inner = value->Children.First; inner; inner = inner->Next) {
        if (inner->Type != METAFILE_TYPE_LIST || inner->Children.First == nullptr) {
            CONTENT_ERROR("Unable to get child for id list");
            return 0;
        }
        URLListMemberStruct *entry = nullptr;
        URLList_GetFirst(content->ReliableList, &entry);
        for (MetaFileMemberStruct *id = inner->Children.First; id && entry; id = id->Next) {
            URLListMember_SetId(entry, InternalText(id));
            URLListMember_GetNext(entry, &entry);
        }
    }
    return 1;
}

static int InternalReadFlag(MetaFileMemberStruct *value, ZylFormat<int, const char *, int> line,
                            int *flag) {
    Zyl_ParseBool(InternalText(value), flag, 0);
    (Alert_Log)(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, line.Text, value->Length,
                InternalText(value), *flag);
    return 1;
}

static int InternalReadPieces(ContentStruct *content, MetaFileMemberStruct *value) {
    CONTENT_INFO("Hash (%d pieces)", value->Length);
    if (value->Type != METAFILE_TYPE_STRING || value->Length % 20 != 0) {
        CONTENT_ERROR("Hash lookup size invalid (%d mod %d)", value->Length, 20);
        return 0;
    }
    memcpy(Content_NewPieceTable(content, value->Length), value->Data, (size_t)value->Length);
    return 1;
}

static int InternalReadInfo(ContentStruct *content, MetaFileMemberStruct *info) {
    if (info->Children.First == nullptr) {
        CONTENT_ERROR("Unable to get child for peer list");
        return 0;
    }
    MetaFileMemberStruct *key = info->Children.First;
    for (MetaFileMemberStruct *value = key->Next; key && value;
         key = value->Next, value = key ? key->Next : nullptr) {
        if (InternalKeyIs(key, "length") || InternalKeyIs(key, "md5sum") ||
            InternalKeyIs(key, "name") || InternalKeyIs(key, "files")) {
            continue;
        } else if (InternalKeyIs(key, "piece length")) {
            CONTENT_INFO("Piece Length %d:[%s]", value->Length, InternalText(value));
            int64_t length = 0;
            if (value->Type != METAFILE_TYPE_INTEGER || !Zyl_ParseInt64(value->Data, &length) ||
                length <= 0 || length > kMaxPieceLength) {
                CONTENT_ERROR("Piece length invalid [%s]", InternalText(value));
                return 0;
            }
            Content_SetPieceLength(content, (int)length);
        } else if (InternalKeyIs(key, "pieces")) {
            if (!InternalReadPieces(content, value))
                return 0;
        } else if (InternalKeyIs(key, "private")) {
            InternalReadFlag(value, "Private %d:[%s (%d)]", &content->Private);
        } else if (InternalKeyIs(key, "closed")) {
            InternalReadFlag(value, "Closed %d:[%s (%d)]", &content->Closed);
        } else {
            CONTENT_WARN("Unknown info field [T:%d] %d:[%s]", key->Type, key->Length,
                         InternalText(key));
        }
    }
    return 1;
}

static void InternalReadDate(ContentStruct *content, MetaFileMemberStruct *value) {
    content->CreationDate = Zyl_AtoI64(InternalText(value));
    int hour = 0, minute = 0, month = 0, day = 0, year = 0;
    char when[64] = "";
    int64_t minutes = content->CreationDate / 60;
    if (minutes >= 0 && minutes <= INT32_MAX &&
        Zyl_MinutesToDate((int32_t)minutes, &hour, &minute, &month, &day, &year)) {
        Zyl_FormatString(when, sizeof when, "%d-%d-%d %d:%d", year + 1900, month + 1, day, hour,
                         minute);
    }
    CONTENT_INFO("Creation date set to %I64d (%s)", content->CreationDate, when);
}

// One root key and its value; 0 refuses the metafile.
static int InternalReadRootKey(ContentStruct *content, MetaFileMemberStruct *key,
                               MetaFileMemberStruct *value, int *haveInfo) {
    const char *text = InternalText(value);
    if (InternalKeyIs(key, "announce")) {
        if (value->Type == METAFILE_TYPE_STRING && value->Length > 0)
            URLList_Add(text, content->TrackerList);
        CONTENT_INFO("Announce URL %d:[%s]", value->Length, text);
    } else if (InternalKeyIs(key, "reliable")) {
        URLList_Add(text, content->ReliableList);
        CONTENT_INFO("Reliable URL %d:[%s]", value->Length, text);
        if (content->FirstReliable[0] == 0)
            Zyl_StrCopy(content->FirstReliable, text, sizeof content->FirstReliable);
    } else if (InternalKeyIs(key, "reliable-id")) {
        URLListMemberStruct *last = nullptr;
        if (value->Length > 0 && URLList_GetLast(content->ReliableList, &last)) {
            URLListMember_SetId(last, text);
            CONTENT_INFO("Reliable URL %d:[%s] id[%s]", value->Length, last->URL, text);
        }
    } else if (InternalKeyIs(key, "creation date")) {
        InternalReadDate(content, value);
    } else if (InternalKeyIs(key, "comment")) {
        CONTENT_INFO("Comment %d:[%s]", value->Length, text);
    } else if (InternalKeyIs(key, "created by")) {
        CONTENT_INFO("Created By %d:[%s]", value->Length, text);
    } else if (InternalKeyIs(key, "announce-list")) {
        return InternalReadUrlLists(value, content->TrackerList, "Announcement List URL %d:[%s]",
                                    "Unable to get child for announce-list");
    } else if (InternalKeyIs(key, "reliable-list")) {
        return InternalReadUrlLists(value, content->ReliableList, "Reliable List URL %d:[%s]",
                                    "Unable to get child for reliable list");
    } else if (InternalKeyIs(key, "reliable-list-id")) {
        return InternalReadIdLists(content, value);
    } else if (InternalKeyIs(key, "info")) {
        // The info hash must name exactly the files that are read: one info
        // dictionary, taken from its encoded bytes.
        if (value->Type != METAFILE_TYPE_DICTIONARY || *haveInfo) {
            CONTENT_ERROR("%s",
                          *haveInfo ? "Duplicate info field" : "Info field is not a dictionary");
            return 0;
        }
        *haveInfo = 1;
        MetaFile_GetMemberSHA1(value, content->InfoHash);
        Content_HashToText(content->InfoHash, content->InfoHashText, sizeof content->InfoHashText);
        return InternalReadInfo(content, value);
    } else {
        CONTENT_WARN("Unknown root field [T:%d] %d:[%s]", key->Type, key->Length,
                     InternalText(key));
    }
    return 1;
}

int Content_ParseMetaInfo(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    URLList_Clear(content->TrackerList);
    URLList_Clear(content->ReliableList);
    content->FirstReliable[0] = 0;
    MetaFileMemberStruct *root = nullptr, *key = nullptr;
    if (!MetaFile_GetFirstMember(content->MetaFile, &root)) {
        CONTENT_ERROR("Unable to get first member from buffer");
        return 0;
    }
    if (root->Type != METAFILE_TYPE_DICTIONARY) {
        CONTENT_ERROR("Unexpected first member type [%d]", root->Type);
        return 0;
    }
    if (!MetaFile_GetFirstChild(root, &key)) {
        CONTENT_ERROR("Unable to get child");
        return 0;
    }
    int haveInfo = 0;
    for (MetaFileMemberStruct *value = key->Next; key && value;
         key = value->Next, value = key ? key->Next : nullptr) {
        if (!InternalReadRootKey(content, key, value, &haveInfo))
            return 0;
    }
    if (!haveInfo) {
        CONTENT_ERROR("Metafile has no info dictionary");
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Files and pieces
// ---------------------------------------------------------------------------

int Content_ResetPieceStates(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    Bitfield_SetSize(content->Held, content->PieceCount);
    Bitfield_SetSize(content->Wanted, content->PieceCount);
    Bitfield_SetSize(content->Checked, content->PieceCount);
    Bitfield_SetSize(content->Aux, content->PieceCount);
    Bitfield_ClearAll(content->Held);
    Bitfield_ClearAll(content->Checked);
    Bitfield_ClearAll(content->Aux);
    Bitfield_SetAll(content->Wanted);
    return 1;
}

int Content_SetupFiles(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    content->PieceCount = content->PieceTableSize / 20;
    if (content->PieceLength < content->SliceSize) {
        content->SliceSize = content->PieceLength;
        CONTENT_INFO("Slice size set to %d", content->SliceSize);
    }
    if (!FileList_ParseMetaFile(content->FileList, content->MetaFile))
        return 0;
    FileList_Dump(content->FileList);
    Content_ResetPieceStates(content);
    int64_t total = 0;
    FileList_GetTotalLength(content->FileList, &total);
    int64_t needed = total / content->PieceLength + (total % content->PieceLength != 0);
    if (needed != content->PieceCount) {
        CONTENT_ERROR("Mismatch on partial left [%I64d != %d]", needed, content->PieceCount);
        return 0;
    }
    int count = 0;
    FileList_GetCount(content->FileList, &count);
    FileListMemberStruct *first = nullptr;
    if (count == 1 && FileList_FirstMember(content->FileList, &first)) {
        Zyl_StrCopy(content->Name, first->Path, sizeof content->Name);
        content->Path[0] = 0;
    } else {
        // The directory the metafile names (checked to be one plain name).
        char directory[CONTENT_TEXT_SIZE];
        FileList_GetDirectory(content->FileList, directory, sizeof directory);
        Content_SetPath(content, directory);
        content->Name[0] = 0;
    }
    return Content_Recount(content);
}

int Content_Setup(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    Content_Reset(content);
    int ok = 0;
    switch (content->SourceType) {
    case CONTENT_SOURCE_METAFILE:
        Zyl_GetFileName(content->SourceText, content->SourceFileName,
                        sizeof content->SourceFileName, 0);
        ok = MetaFile_Load(content->MetaFile, content->SourceText);
        if (!ok)
            CONTENT_ERROR("Unable to load meta file [%s]", content->SourceText);
        break;
    case CONTENT_SOURCE_DIRECTORY:
        CONTENT_ERROR("You cannot initialize from a directory");
        break;
    case CONTENT_SOURCE_URL:
        ok = Content_LoadFromURL(content);
        break;
    case CONTENT_SOURCE_BUFFER:
        ok = content->SourceBuffer &&
             MetaFile_LoadBuffer(content->MetaFile, content->SourceBuffer, content->SourceLength);
        if (!ok)
            CONTENT_ERROR("Unable to load meta file buffer[%p]",
                          (const void *)content->SourceBuffer);
        break;
    default:
        CONTENT_ERROR("Unknown source type (%d)", content->SourceType);
        break;
    }
    if (!ok)
        return 0;
    CONTENT_INFO("Source filename set to %d:[%s]", content->SourceType, content->SourceFileName);
    char extension[STORAGE_EXTENSION_SIZE] = "";
    if (content->FileList->Storage &&
        Storage_GetPartialExtension(content->FileList->Storage, extension, sizeof extension) &&
        extension[0]) {
        CONTENT_INFO("Partial files will have extension [%s]", extension);
    }
    if (!Content_ParseMetaInfo(content)) {
        CONTENT_ERROR("Unable to process meta info");
        return 0;
    }
    if (!Content_SetupFiles(content)) {
        CONTENT_ERROR("Unable to setup filesystem");
        return 0;
    }
    return Content_HashBuffer(content->InfoHash, content, content->InfoHashDigest, 20);
}

int Content_Open(ContentStruct *content) {
    return Content_Setup(content);
}
