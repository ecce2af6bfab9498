// Reads a metafile's root and "info" keys into the file list. Untrusted input:
// lengths are checked for sign and overflow, names and path components must be
// plain names, and two files may not share a path (ignoring case).
#include <cstring>

#include "core/alert.h"
#include "core/zyl.h"
#include "engine/filelist.h"
#include "engine/metafile.h"

extern const char FileList_Tag[];

#define FILELIST_INFO(...) Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, __VA_ARGS__)
#define FILELIST_WARN(...) Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, __VA_ARGS__)
#define FILELIST_ERROR(...) Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, __VA_ARGS__)

// A path already listed: the hash of its folded text and the metafile's path
// list it was joined from (the tree does not change during the walk).
struct ListedPath {
    uint32_t Hash;
    MetaFileMemberStruct *List; // null: free slot
};

struct ParseState {
    FileListStruct *List;
    MetaFileStruct *Doc;
    char Name[FILELIST_TEXT_SIZE];
    int HaveName;
    int64_t OneLength;
    int HaveLength;
    int HaveFiles;
    int HaveInfo;
    // Paths already listed, by the hash of their text folded to lower case with
    // '/' for '\\': open addressing, at most three quarters full, probed linearly
    // (a probe compares hashes only, four slots to a cache line).
    ListedPath *Listed;
    int ListedCapacity; // a power of two
    int ListedCount;
};

static int InternalKeyIs(MetaFileMemberStruct *key, const char *name) {
    return key->Type == METAFILE_TYPE_STRING && key->Length == Zyl_StrLen(name) &&
           Zyl_StrEqualNoCase(key->Data, name);
}

// A plain name: not empty, not "." or "..", no separator, drive colon or zero byte.
static int InternalValidName(const char *text, int length) {
    if (length <= 0 || Zyl_StrLen(text) != length)
        return 0;
    if (Zyl_StrEqual(text, ".") || Zyl_StrEqual(text, ".."))
        return 0;
    for (int i = 0; i < length; i++) {
        if (text[i] == '/' || text[i] == '\\' || text[i] == ':')
            return 0;
    }
    return 1;
}

// A non-negative decimal length from an integer member.
static int InternalReadLength(MetaFileMemberStruct *value, int64_t *length) {
    *length = 0;
    if (value->Type != METAFILE_TYPE_INTEGER || !Zyl_ParseInt64(value->Data, length) ||
        *length < 0) {
        FILELIST_ERROR("File length invalid [%s]", value->Data ? value->Data : "");
        return 0;
    }
    return 1;
}

static void InternalUnknown(const char *what, MetaFileMemberStruct *key) {
    FILELIST_WARN("Unknown %s field [T:%d] %d:[%s]", what, key->Type, key->Length,
                  key->Data ? key->Data : "");
}

// A joined path folded for comparison: ASCII lower case, '/' for '\\'.
static void InternalFold(const char *path, char *folded) {
    for (; *path; path++, folded++) {
        char c = *path;
        *folded = (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c == '\\' ? '/' : c;
    }
    *folded = 0;
}

static uint32_t InternalHash(const char *text) {
    uint32_t hash = 2166136261u;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++)
        hash = (hash ^ *p) * 16777619u;
    // The multiplications only carry upwards; mix the high bits into the low ones
    // that pick the slot.
    hash ^= hash >> 15;
    hash *= 0x2c1b3c6du;
    hash ^= hash >> 12;
    return hash;
}

// Makes room for `more` paths besides those listed, keeping the table at most
// three quarters full.
static void InternalReserve(ParseState *s, int more) {
    int64_t wanted = ((int64_t)s->ListedCount + more) * 4 / 3 + 1;
    if (wanted <= s->ListedCapacity)
        return;
    int capacity = 16;
    while (capacity < wanted)
        capacity *= 2;
    ListedPath *table =
        static_cast<ListedPath *>(ZYL_ALLOC((int64_t)capacity * sizeof(ListedPath)));
    for (int i = 0; i < s->ListedCapacity; i++) {
        if (s->Listed[i].List == nullptr)
            continue;
        uint32_t at = s->Listed[i].Hash & (uint32_t)(capacity - 1);
        while (table[at].List)
            at = (at + 1) & (uint32_t)(capacity - 1);
        table[at] = s->Listed[i];
    }
    if (s->Listed)
        ZYL_FREE(s->Listed, (int64_t)s->ListedCapacity * sizeof(ListedPath));
    s->Listed = table;
    s->ListedCapacity = capacity;
}

// Lists the folded path joined from list; 0 when an equal one is listed already.
static int InternalListPath(ParseState *s, MetaFileMemberStruct *list, const char *folded) {
    InternalReserve(s, 1);
    uint32_t hash = InternalHash(folded);
    uint32_t mask = (uint32_t)(s->ListedCapacity - 1);
    uint32_t at = hash & mask;
    for (; s->Listed[at].List; at = (at + 1) & mask) {
        if (s->Listed[at].Hash != hash)
            continue;
        char other[FILELIST_TEXT_SIZE], otherFolded[FILELIST_TEXT_SIZE];
        MetaFile_GetPath(s->Doc, s->Listed[at].List, other); // joined once before: fits
        InternalFold(other, otherFolded);
        if (Zyl_StrEqual(otherFolded, folded))
            return 0;
    }
    s->Listed[at].Hash = hash;
    s->Listed[at].List = list;
    s->ListedCount++;
    return 1;
}

// The path list of one "files" entry: every component a plain name, the joined
// text within its buffer and not listed before.
static int InternalReadPath(ParseState *s, MetaFileMemberStruct *value, char *path) {
    if (value->Type != METAFILE_TYPE_LIST || value->Children.First == nullptr) {
        FILELIST_ERROR("File path invalid [T:%d]", value->Type);
        return 0;
    }
    for (MetaFileMemberStruct *c = value->Children.First; c; c = c->Next) {
        if (c->Type == METAFILE_TYPE_STRING && !InternalValidName(c->Data, c->Length)) {
            FILELIST_ERROR("File path component invalid [%s]", c->Data);
            return 0;
        }
    }
    if (!MetaFile_GetPath(s->Doc, value, path))
        return 0;
    FILELIST_INFO("Path name [%s]", path);
    char folded[FILELIST_TEXT_SIZE];
    InternalFold(path, folded);
    if (!InternalListPath(s, value, folded)) {
        FILELIST_ERROR("Duplicate file path [%s]", path);
        return 0;
    }
    return 1;
}

static int InternalReadFileEntry(ParseState *s, MetaFileMemberStruct *entry) {
    FileListStruct *list = s->List;
    if (entry->Type != METAFILE_TYPE_DICTIONARY || entry->Children.First == nullptr) {
        FILELIST_ERROR("Unable to get child for file list");
        return 0;
    }
    FileListMemberStruct *m = nullptr;
    FileList_AddMember(&m, list);
    int haveLength = 0, havePath = 0;
    MetaFileMemberStruct *key = entry->Children.First;
    for (MetaFileMemberStruct *value = key->Next; key && value;
         key = value->Next, value = key ? key->Next : nullptr) {
        if (InternalKeyIs(key, "length")) {
            FILELIST_INFO("File Length %d:[%s]", value->Length, value->Data ? value->Data : "");
            if (!InternalReadLength(value, &m->Length))
                return 0;
            if (m->Length > INT64_MAX - list->TotalLength) {
                FILELIST_ERROR("Total length overflows [%s]", value->Data);
                return 0;
            }
            m->Offset = list->TotalLength;
            list->TotalLength += m->Length;
            haveLength = 1;
        } else if (InternalKeyIs(key, "md5sum")) {
            FILELIST_INFO("MD5 Sum %d:[%s]", value->Length, value->Data ? value->Data : "");
        } else if (InternalKeyIs(key, "path")) {
            char path[FILELIST_TEXT_SIZE];
            if (!InternalReadPath(s, value, path))
                return 0;
            FileList_SetMemberName(m, path);
            FileList_SetMemberPath(m, path);
            havePath = 1;
        } else {
            InternalUnknown("files", key);
        }
    }
    if (!haveLength || !havePath) {
        FILELIST_ERROR("File entry without %s", haveLength ? "path" : "length");
        return 0;
    }
    return 1;
}

static int InternalReadFiles(ParseState *s, MetaFileMemberStruct *value) {
    if (value->Type != METAFILE_TYPE_LIST)
        return 1;
    if (value->Children.First == nullptr) {
        FILELIST_ERROR("Unable to get child for file list");
        return 0;
    }
    s->HaveFiles = 1;
    int entries = 0;
    for (MetaFileMemberStruct *entry = value->Children.First; entry; entry = entry->Next)
        entries++;
    InternalReserve(s, entries);
    for (MetaFileMemberStruct *entry = value->Children.First; entry; entry = entry->Next) {
        if (!InternalReadFileEntry(s, entry))
            return 0;
    }
    // Piece ranges once the offsets are known.
    return FileList_UpdateOffsets(s->List);
}

static int InternalReadInfo(ParseState *s, MetaFileMemberStruct *info) {
    if (info->Children.First == nullptr) {
        FILELIST_ERROR("Unable to get child for peer list");
        return 0;
    }
    MetaFileMemberStruct *key = info->Children.First;
    for (MetaFileMemberStruct *value = key->Next; key && value;
         key = value->Next, value = key ? key->Next : nullptr) {
        const char *text = value->Data ? value->Data : "";
        if (InternalKeyIs(key, "piece length") || InternalKeyIs(key, "pieces") ||
            InternalKeyIs(key, "private")) {
            continue;
        } else if (InternalKeyIs(key, "length")) {
            FILELIST_INFO("File Length %d:[%s]", value->Length, text);
            if (!InternalReadLength(value, &s->OneLength))
                return 0;
            s->HaveLength = 1;
        } else if (InternalKeyIs(key, "md5sum")) {
            FILELIST_INFO("MD5 Sum %d:[%s]", value->Length, text);
            Zyl_StrCopy(s->List->Md5, text, sizeof s->List->Md5);
        } else if (InternalKeyIs(key, "name")) {
            FILELIST_INFO("File name %d:[%s]", value->Length, text);
            if (value->Type != METAFILE_TYPE_STRING || !InternalValidName(text, value->Length) ||
                !Zyl_StrCopy(s->Name, text, sizeof s->Name)) {
                FILELIST_ERROR("File name invalid [%s]", text);
                return 0;
            }
            s->HaveName = 1;
        } else if (InternalKeyIs(key, "files")) {
            if (!InternalReadFiles(s, value))
                return 0;
        } else {
            InternalUnknown("info", key);
        }
    }
    return 1;
}

static int InternalReadRoot(ParseState *s, MetaFileMemberStruct *root) {
    static const char *const skipped[] = {"announce",    "creation date", "comment",
                                          "created by",  "announce-list", "reliable",
                                          "reliable-id", "reliable-list", "reliable-list-id"};
    MetaFileMemberStruct *key = root->Children.First;
    for (MetaFileMemberStruct *value = key->Next; key && value;
         key = value->Next, value = key ? key->Next : nullptr) {
        int skip = 0;
        for (const char *name : skipped)
            skip |= InternalKeyIs(key, name);
        if (skip)
            continue;
        if (!InternalKeyIs(key, "info")) {
            InternalUnknown("root", key);
            continue;
        }
        if (value->Type != METAFILE_TYPE_DICTIONARY || s->HaveInfo) {
            FILELIST_ERROR("%s",
                           s->HaveInfo ? "Duplicate info field" : "Info field is not a dictionary");
            return 0;
        }
        s->HaveInfo = 1;
        if (!InternalReadInfo(s, value))
            return 0;
    }
    return 1;
}

// After the walk: the directory of a multi-file content, or its one file.
static int InternalFinish(ParseState *s) {
    FileListStruct *list = s->List;
    if (!s->HaveInfo || !s->HaveName) {
        FILELIST_ERROR("Metafile has no %s", s->HaveInfo ? "name" : "info dictionary");
        return 0;
    }
    if (s->HaveFiles) {
        Zyl_StrCopy(list->Directory, s->Name, sizeof list->Directory);
        if (!Zyl_StrAppend(list->Directory, "\\", sizeof list->Directory)) {
            FILELIST_ERROR("File name invalid [%s]", s->Name);
            return 0;
        }
        list->DirectoryOwned = 1;
        return 1;
    }
    if (!s->HaveLength) {
        FILELIST_ERROR("File entry without length");
        return 0;
    }
    FileListMemberStruct *m = nullptr;
    FileList_AddMember(&m, list);
    FileList_SetMemberName(m, s->Name);
    FileList_SetMemberPath(m, s->Name);
    m->Length = s->OneLength;
    return FileList_UpdateOffsets(list);
}

int FileList_ParseMetaFile(FileListStruct *list, MetaFileStruct *doc) {
    ZYL_CHECK_TAG(list, FileList_Tag);
    ZYL_CHECK_PTR(doc);
    list->TotalLength = 0;
    MetaFileMemberStruct *root = nullptr, *child = nullptr;
    if (!MetaFile_GetFirstMember(doc, &root)) {
        FILELIST_ERROR("Unable to get first member from buffer");
        return 0;
    }
    if (root->Type != METAFILE_TYPE_DICTIONARY) {
        FILELIST_ERROR("Unexpected first member type [%d]", root->Type);
        return 0;
    }
    if (!MetaFile_GetFirstChild(root, &child)) {
        FILELIST_ERROR("Unable to get child");
        return 0;
    }
    ParseState *s = ZYL_NEW(ParseState);
    s->List = list;
    s->Doc = doc;
    int result = InternalReadRoot(s, root) && InternalFinish(s);
    if (s->Listed)
        ZYL_FREE(s->Listed, (int64_t)s->ListedCapacity * sizeof(ListedPath));
    ZYL_FREE(s, sizeof(ParseState));
    return result;
}
