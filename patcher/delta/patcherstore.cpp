// Patch store reader. The table of contents is read whole into a dictionary of
// member records; member data is read strictly sequentially, one section at a
// time into a fixed buffer, crossing from one data file to the next. Every size,
// index and name that comes from the store is checked before it is used.
#include "patcher/delta/patcherstore.h"

#include "core/alert.h"
#include "core/file.h"
#include "core/hashtable.h"
#include "core/oshelper.h"
#include "core/stopflag.h"
#include "core/thread.h"
#include "core/xml.h"
#include "core/zyl.h"
#include "patcher/delta/zlibcompress.h"

#include <cstring>

static const char kPatcherStoreTag[] = "patcherstore";

enum {
    kPathSize = 320,
    kTextSize = 4096,
    kStoreFileLimit = 2000000000,
    kDefaultOpenRetries = 50,
    kRetryDelayMs = 250,
};

// One member of the table of contents (72 bytes in the stored form).
struct PatcherStoreMemberStruct {
    int32_t FileIndex;
    int32_t DifferenceFile;
    uint8_t SourceHash[20];
    uint8_t ResultHash[20];
    int64_t Offset;
    int64_t FileSize;
    int32_t SectionCount;
};

struct PatcherStoreStruct {
    const char *Tag;
    char Folder[kPathSize];
    char Name[kPathSize];
    int Writable;             // never set when opened for reading
    HashTableStruct *Members; // FileName -> PatcherStoreMemberStruct
    int StoreCount;           // data files listed in StoreList
    int64_t ListedSections;   // sections listed in StoreList (kept for reports)
    uint8_t *SectionBuffer;   // SectionSize bytes
    int SectionBufferSize;
    uint8_t *CompressedBuffer; // 2 x SectionSize bytes
    int CompressedBufferSize;
    int SectionSize;
    int64_t StoreFileLimit;
    FileStruct *DataFile; // current data file, null when none
    int DataFileNumber;
    int64_t DataFileSize;
    int64_t DataFilePosition;
    int SectionsRead; // of the current member
    int OpenRetries;
    PatcherStoreCallback ErrorCallback;
    void *ErrorData;
    PatcherStoreCallback LogCallback;
    void *LogData;
    int Deploy;
};

// ---------------------------------------------------------------------------
// Reporting
// ---------------------------------------------------------------------------

static void PatcherStore_InternalError(PatcherStoreStruct *s, const char *format, ...) {
    char text[kTextSize];
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(text, (int)sizeof(text), format, args);
    va_end(args);
    if (s->ErrorCallback != nullptr) {
        s->ErrorCallback(s, s->ErrorData, text);
    } else {
        Zyl_Print("%s\n", text);
    }
}
#define PatcherStore_InternalError(s, ...)                                                         \
    (ZYL_FORMAT_CHECK(__VA_ARGS__), (PatcherStore_InternalError)(s, __VA_ARGS__))

static void PatcherStore_InternalLog(PatcherStoreStruct *s, const char *format, ...) {
    if (s->LogCallback == nullptr) {
        return;
    }
    char text[kTextSize];
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(text, (int)sizeof(text), format, args);
    va_end(args);
    s->LogCallback(s, s->LogData, text);
}
#define PatcherStore_InternalLog(s, ...)                                                           \
    (ZYL_FORMAT_CHECK(__VA_ARGS__), (PatcherStore_InternalLog)(s, __VA_ARGS__))

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

int PatcherStore_Create(PatcherStoreStruct **store) {
    ZYL_CHECK_PTR(store);
    PatcherStoreStruct *s = ZYL_NEW(PatcherStoreStruct);
    s->Tag = kPatcherStoreTag;
    HashTable_Create(&s->Members);
    s->SectionSize = PATCHERSTORE_DEFAULT_SECTION_SIZE;
    s->StoreFileLimit = kStoreFileLimit;
    s->OpenRetries = kDefaultOpenRetries;
    *store = s;
    return 1;
}

// The member record a node of the member table holds.
static PatcherStoreMemberStruct *PatcherStore_InternalNodeRecord(HashTableNodeStruct *node) {
    const char *key = nullptr;
    void *value = nullptr;
    HashTable_GetNodeData(&key, node, &value);
    return static_cast<PatcherStoreMemberStruct *>(value);
}

static void PatcherStore_InternalFreeMembers(PatcherStoreStruct *s) {
    HashTableNodeStruct *node = nullptr;
    for (int more = HashTable_GetFirstNode(s->Members, &node); more;
         more = HashTable_GetNextNode(s->Members, &node, node)) {
        PatcherStoreMemberStruct *m = PatcherStore_InternalNodeRecord(node);
        ZYL_FREE(m, sizeof(PatcherStoreMemberStruct));
    }
    HashTable_Clear(s->Members);
    s->StoreCount = 0;
    s->ListedSections = 0;
}

static void PatcherStore_InternalFreeBuffers(PatcherStoreStruct *s) {
    if (s->SectionBuffer != nullptr) {
        ZYL_FREE(s->SectionBuffer, s->SectionBufferSize);
    }
    if (s->CompressedBuffer != nullptr) {
        ZYL_FREE(s->CompressedBuffer, s->CompressedBufferSize);
    }
    s->SectionBufferSize = 0;
    s->CompressedBufferSize = 0;
}

int PatcherStore_Destroy(PatcherStoreStruct **store) {
    ZYL_CHECK_PTR(store);
    PatcherStoreStruct *s = *store;
    if (s == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(s, kPatcherStoreTag);
    PatcherStore_MemberClose(s);
    PatcherStore_InternalFreeMembers(s);
    HashTable_Destroy(&s->Members);
    PatcherStore_InternalFreeBuffers(s);
    s->Tag = Zyl_DeadTag;
    ZYL_FREE(s, sizeof(PatcherStoreStruct));
    *store = nullptr;
    return 1;
}

int PatcherStore_SetErrorCallback(PatcherStoreStruct *s, PatcherStoreCallback callback,
                                  void *data) {
    ZYL_CHECK_TAG(s, kPatcherStoreTag);
    s->ErrorCallback = callback;
    s->ErrorData = data;
    return 1;
}

int PatcherStore_SetLogCallback(PatcherStoreStruct *s, PatcherStoreCallback callback, void *data) {
    ZYL_CHECK_TAG(s, kPatcherStoreTag);
    s->LogCallback = callback;
    s->LogData = data;
    return 1;
}

int PatcherStore_SetOpenRetries(PatcherStoreStruct *s, int retries) {
    ZYL_CHECK_TAG(s, kPatcherStoreTag);
    s->OpenRetries = retries < 0 ? 0 : retries;
    return 1;
}

// ---------------------------------------------------------------------------
// Table of contents
// ---------------------------------------------------------------------------

// The element's text without surrounding blanks, in buffer.
static int PatcherStore_InternalText(XmlStruct *xml, XmlNodeStruct *node, char *buffer, int size) {
    const char *data = nullptr;
    buffer[0] = 0;
    Xml_GetData(xml, node, &data);
    while (*data == ' ' || *data == '\t' || *data == '\r' || *data == '\n') {
        data++;
    }
    if (!Zyl_StrCopy(buffer, data, size)) {
        return 0;
    }
    int n = Zyl_StrLen(buffer);
    while (n > 0 && (buffer[n - 1] == ' ' || buffer[n - 1] == '\t' || buffer[n - 1] == '\r' ||
                     buffer[n - 1] == '\n')) {
        buffer[--n] = 0;
    }
    return 1;
}

static int PatcherStore_InternalNumber(XmlStruct *xml, XmlNodeStruct *node, int64_t *value) {
    char text[64];
    return PatcherStore_InternalText(xml, node, text, (int)sizeof(text)) &&
           Zyl_ParseInt64(text, value);
}

static int PatcherStore_InternalIsElement(XmlStruct *xml, XmlNodeStruct *node, const char **name) {
    int kind = 0;
    Xml_GetKind(xml, node, &kind);
    Xml_GetName(xml, node, name);
    return kind == XML_KIND_ELEMENT;
}

// 1 when the member name stays inside the store's base folder: not empty, not
// absolute, no drive letter or other ':', no control characters, and ".." never
// climbs above the top.
static int PatcherStore_InternalSafeName(const char *name) {
    if (name[0] == 0 || name[0] == '/' || name[0] == '\\' || Zyl_StrHasChar(name, ':')) {
        return 0;
    }
    int depth = 0;
    for (const char *p = name; *p != 0;) {
        const char *end = p;
        while (*end != 0 && *end != '/' && *end != '\\') {
            if ((unsigned char)*end < 0x20) {
                return 0;
            }
            end++;
        }
        int n = (int)(end - p);
        if (n == 2 && p[0] == '.' && p[1] == '.') {
            if (--depth < 0) {
                return 0;
            }
        } else if (n > 0 && !(n == 1 && p[0] == '.')) {
            depth++;
        }
        p = *end != 0 ? end + 1 : end;
    }
    return depth > 0;
}

static int PatcherStore_InternalHash(const char *text, uint8_t *hash) {
    int count = 0;
    if (text[0] == 0) {
        return 1; // missing: 20 zero bytes
    }
    return Zyl_StrLen(text) == 40 && Zyl_HexToBytes(text, 40, hash, 20, &count) && count == 20;
}

// Fills one member field from a child element of "File".
static int PatcherStore_InternalMemberField(XmlStruct *xml, XmlNodeStruct *child, const char *field,
                                            PatcherStoreMemberStruct *m, char *fileName) {
    char text[kPathSize];
    int64_t v = 0;
    if (Zyl_StrEqualNoCase(field, "FileName")) {
        return PatcherStore_InternalText(xml, child, fileName, PATCHERSTORE_NAME_SIZE);
    }
    if (Zyl_StrEqualNoCase(field, "DifferenceFile")) {
        PatcherStore_InternalText(xml, child, text, (int)sizeof(text));
        int flag = 0;
        Zyl_ParseBool(text, &flag, 0);
        m->DifferenceFile = flag;
        return 1;
    }
    if (Zyl_StrEqualNoCase(field, "SourceHash") || Zyl_StrEqualNoCase(field, "ResultHash")) {
        uint8_t *hash = Zyl_StrEqualNoCase(field, "SourceHash") ? m->SourceHash : m->ResultHash;
        return PatcherStore_InternalText(xml, child, text, (int)sizeof(text)) &&
               PatcherStore_InternalHash(text, hash);
    }
    int isNumber = Zyl_StrEqualNoCase(field, "FileIndex") || Zyl_StrEqualNoCase(field, "Offset") ||
                   Zyl_StrEqualNoCase(field, "FileSize") ||
                   Zyl_StrEqualNoCase(field, "SectionCount");
    if (!isNumber) {
        return 1; // other fields of a File are not used
    }
    if (!PatcherStore_InternalNumber(xml, child, &v)) {
        return 0;
    }
    if (Zyl_StrEqualNoCase(field, "Offset")) {
        m->Offset = v;
    } else if (Zyl_StrEqualNoCase(field, "FileSize")) {
        m->FileSize = v;
    } else if (v < INT32_MIN || v > INT32_MAX) {
        return 0;
    } else if (Zyl_StrEqualNoCase(field, "FileIndex")) {
        m->FileIndex = (int32_t)v;
    } else {
        m->SectionCount = (int32_t)v;
    }
    return 1;
}

static int PatcherStore_InternalReadTOCFile(PatcherStoreStruct *s, XmlStruct *xml,
                                            XmlNodeStruct *file) {
    PatcherStoreMemberStruct *m = ZYL_NEW(PatcherStoreMemberStruct);
    m->FileIndex = -1;
    m->Offset = -1;
    m->FileSize = -1;
    m->SectionCount = -1;
    char fileName[PATCHERSTORE_NAME_SIZE] = "";
    XmlNodeStruct *child = nullptr;
    int ok = 1;
    for (int more = Xml_GetFirstChild(xml, file, &child); more && ok;
         more = Xml_GetNextSibling(xml, child, &child)) {
        const char *field = nullptr;
        if (PatcherStore_InternalIsElement(xml, child, &field)) {
            ok = PatcherStore_InternalMemberField(xml, child, field, m, fileName);
        }
    }
    // The member's data starts in one of the listed data files: an index past
    // them (or one that would overflow when the member continues) is refused.
    if (ok && m->FileIndex >= s->StoreCount) {
        PatcherStore_InternalError(
            s, "PatcherStore_InternalReadTOCFile() FileIndex %d outside %d data files [%s]",
            m->FileIndex, s->StoreCount, fileName);
        ok = 0;
    }
    void *old = nullptr;
    if (!ok || !PatcherStore_InternalSafeName(fileName) ||
        HashTable_Get(&old, fileName, s->Members) || !HashTable_Set(s->Members, fileName, m)) {
        PatcherStore_InternalError(s, "PatcherStore_InternalReadTOCFileList() refused member [%s]",
                                   fileName);
        ZYL_FREE(m, sizeof(PatcherStoreMemberStruct));
        return 0;
    }
    return 1;
}

static int PatcherStore_InternalReadTOCFileList(PatcherStoreStruct *s, XmlStruct *xml) {
    XmlNodeStruct *list = nullptr, *child = nullptr;
    if (!Xml_FindPath(xml, "PatcherStore.FileList", &list)) {
        return 1; // no members
    }
    for (int more = Xml_GetFirstChild(xml, list, &child); more;
         more = Xml_GetNextSibling(xml, child, &child)) {
        const char *name = nullptr;
        if (!PatcherStore_InternalIsElement(xml, child, &name)) {
            continue;
        }
        if (!Zyl_StrEqualNoCase(name, "File")) {
            Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unknown member [%s]", name);
        } else if (!PatcherStore_InternalReadTOCFile(s, xml, child)) {
            return 0;
        }
    }
    return 1;
}

static int PatcherStore_InternalReadTOCSectionList(PatcherStoreStruct *s, XmlStruct *xml,
                                                   XmlNodeStruct *store) {
    XmlNodeStruct *list = nullptr, *child = nullptr;
    if (!Xml_FindChild(xml, store, "SectionList", 0, &list)) {
        PatcherStore_InternalError(
            s, "PatcherStore_InternalReadTOCSectionList() Unable to locate SectionList member");
        return 0;
    }
    if (!Xml_GetFirstChild(xml, list, &child)) {
        PatcherStore_InternalError(
            s, "PatcherStore_InternalReadTOCSectionList() Unable to locate children");
        return 0;
    }
    for (int more = 1; more; more = Xml_GetNextSibling(xml, child, &child)) {
        const char *name = nullptr;
        if (!PatcherStore_InternalIsElement(xml, child, &name)) {
            continue;
        }
        if (Zyl_StrEqualNoCase(name, "Section")) {
            s->ListedSections++;
        } else if (!Zyl_StrEqualNoCase(name, "SectionCount")) {
            Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unknown member [%s]", name);
        }
    }
    return 1;
}

static int PatcherStore_InternalReadTOCStoreList(PatcherStoreStruct *s, XmlStruct *xml) {
    XmlNodeStruct *list = nullptr, *child = nullptr;
    if (!Xml_FindPath(xml, "PatcherStore.StoreList", &list)) {
        PatcherStore_InternalError(s, "Unable to locate PatcherStore.StoreList member");
        return 0;
    }
    for (int more = Xml_GetFirstChild(xml, list, &child); more;
         more = Xml_GetNextSibling(xml, child, &child)) {
        const char *name = nullptr;
        if (!PatcherStore_InternalIsElement(xml, child, &name)) {
            continue;
        }
        if (Zyl_StrEqualNoCase(name, "Store")) {
            if (!PatcherStore_InternalReadTOCSectionList(s, xml, child)) {
                return 0;
            }
            s->StoreCount++;
        } else if (!Zyl_StrEqualNoCase(name, "StoreCount")) {
            Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unknown member [%s]", name);
        }
    }
    return 1;
}

static int PatcherStore_InternalReadTOCDetails(PatcherStoreStruct *s, XmlStruct *xml) {
    XmlNodeStruct *root = nullptr;
    if (!Xml_FindPath(xml, "PatcherStore", &root)) {
        PatcherStore_InternalError(
            s, "PatcherStore_InternalReadTOCDetails() Unable to locate PatcherStore member");
        return 0;
    }
    char text[64];
    int64_t size = PATCHERSTORE_DEFAULT_SECTION_SIZE;
    if (Xml_GetAttribute(xml, root, "SectionSize", text, (int)sizeof(text)) &&
        (!Zyl_ParseInt64(text, &size) || size < PATCHERSTORE_MIN_SECTION_SIZE ||
         size > PATCHERSTORE_MAX_SECTION_SIZE)) {
        PatcherStore_InternalError(
            s, "PatcherStore_InternalReadTOCDetails() SectionSize [%s] refused", text);
        return 0;
    }
    s->SectionSize = (int)size;
    return PatcherStore_InternalReadTOCStoreList(s, xml) &&
           PatcherStore_InternalReadTOCFileList(s, xml);
}

static int PatcherStore_InternalTocPath(PatcherStoreStruct *s, char *path) {
    int n = Zyl_FormatString(path, kPathSize, "%s%s.tocstore%s", s->Folder, s->Name,
                             s->Deploy ? ".deploy" : "");
    return n == Zyl_StrLen(s->Folder) + Zyl_StrLen(s->Name) + 9 + (s->Deploy ? 7 : 0);
}

int PatcherStore_Open(PatcherStoreStruct *s, const char *folder, const char *name, int deploy) {
    ZYL_CHECK_TAG(s, kPatcherStoreTag);
    ZYL_CHECK_PTR(folder);
    ZYL_CHECK_PTR(name);
    PatcherStore_MemberClose(s);
    PatcherStore_InternalFreeMembers(s);
    s->Deploy = deploy ? 1 : 0;
    s->SectionSize = PATCHERSTORE_DEFAULT_SECTION_SIZE;
    char toc[kPathSize];
    if (!Zyl_StrCopy(s->Folder, folder, kPathSize) || !Zyl_NormalizePath(s->Folder, 1, kPathSize) ||
        !Zyl_StrCopy(s->Name, name, kPathSize) || !PatcherStore_InternalTocPath(s, toc)) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unable to open[%s] writable[%d]", name,
                  0);
        return 0;
    }
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    if (!Xml_LoadFile(xml, toc)) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unable to open[%s] writable[%d]", toc, 0);
        Xml_Destroy(&xml);
        return 0;
    }
    int ok = PatcherStore_InternalReadTOCDetails(s, xml);
    Xml_Destroy(&xml);
    if (!ok) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unable to open toc for [%s]", toc);
        PatcherStore_InternalFreeMembers(s);
        return 0;
    }
    s->Writable = 0;
    PatcherStore_InternalFreeBuffers(s);
    s->SectionBufferSize = s->SectionSize;
    s->SectionBuffer = static_cast<uint8_t *>(ZYL_ALLOC(s->SectionBufferSize));
    s->CompressedBufferSize = 2 * s->SectionSize;
    s->CompressedBuffer = static_cast<uint8_t *>(ZYL_ALLOC(s->CompressedBufferSize));
    return 1;
}

int PatcherStore_Close(PatcherStoreStruct *s) {
    ZYL_CHECK_TAG(s, kPatcherStoreTag);
    return 1;
}

// ---------------------------------------------------------------------------
// Members
// ---------------------------------------------------------------------------

int PatcherStore_MemberFirst(PatcherStoreMember **member, PatcherStoreStruct *s) {
    ZYL_CHECK_PTR(member);
    ZYL_CHECK_TAG(s, kPatcherStoreTag);
    return HashTable_GetFirstNode(s->Members, member);
}

int PatcherStore_MemberNext(PatcherStoreMember **next, PatcherStoreMember *current,
                            PatcherStoreStruct *s) {
    ZYL_CHECK_PTR(next);
    ZYL_CHECK_PTR(current);
    ZYL_CHECK_TAG(s, kPatcherStoreTag);
    return HashTable_GetNextNode(s->Members, next, current);
}

// The member's record and name, looked up again by the node's key.
static PatcherStoreMemberStruct *
PatcherStore_InternalRecord(PatcherStoreStruct *s, PatcherStoreMember *member, const char **name) {
    ZYL_CHECK_PTR(member);
    const char *key = nullptr;
    void *value = nullptr;
    HashTable_GetNodeData(&key, member, &value);
    void *found = nullptr;
    if (!HashTable_Get(&found, key, s->Members) || found != value) {
        return nullptr;
    }
    *name = key;
    return static_cast<PatcherStoreMemberStruct *>(found);
}

// Record of a member given by the walk; a programming error when it is not one.
static PatcherStoreMemberStruct *
PatcherStore_InternalMember(PatcherStoreStruct *s, PatcherStoreMember *member, const char **name) {
    ZYL_CHECK_TAG(s, kPatcherStoreTag);
    PatcherStoreMemberStruct *m = PatcherStore_InternalRecord(s, member, name);
    ZYL_CHECK_PTR(m);
    return m;
}

int PatcherStore_MemberGetName(PatcherStoreStruct *s, PatcherStoreMember *member, char *buffer,
                               int size) {
    ZYL_CHECK_PTR(buffer);
    const char *name = nullptr;
    PatcherStore_InternalMember(s, member, &name);
    return Zyl_StrCopy(buffer, name, size);
}

int PatcherStore_MemberGetDifferenceFile(PatcherStoreStruct *s, PatcherStoreMember *member,
                                         int *difference) {
    ZYL_CHECK_PTR(difference);
    const char *name = nullptr;
    *difference = PatcherStore_InternalMember(s, member, &name)->DifferenceFile;
    return 1;
}

int PatcherStore_MemberGetSourceHash(PatcherStoreStruct *s, PatcherStoreMember *member,
                                     const uint8_t **hash) {
    ZYL_CHECK_PTR(hash);
    const char *name = nullptr;
    *hash = PatcherStore_InternalMember(s, member, &name)->SourceHash;
    return 1;
}

int PatcherStore_MemberGetResultHash(PatcherStoreStruct *s, PatcherStoreMember *member,
                                     const uint8_t **hash) {
    ZYL_CHECK_PTR(hash);
    const char *name = nullptr;
    *hash = PatcherStore_InternalMember(s, member, &name)->ResultHash;
    return 1;
}

int PatcherStore_MemberGetFileSize(PatcherStoreStruct *s, PatcherStoreMember *member,
                                   int64_t *size) {
    ZYL_CHECK_PTR(size);
    const char *name = nullptr;
    *size = PatcherStore_InternalMember(s, member, &name)->FileSize;
    return 1;
}

int PatcherStore_GetSectionSize(PatcherStoreStruct *s, int *size) {
    ZYL_CHECK_TAG(s, kPatcherStoreTag);
    ZYL_CHECK_PTR(size);
    *size = s->SectionSize;
    return 1;
}

int PatcherStore_GetTotalFileSize(PatcherStoreStruct *s, int64_t *size) {
    ZYL_CHECK_TAG(s, kPatcherStoreTag);
    ZYL_CHECK_PTR(size);
    *size = 0;
    HashTableNodeStruct *node = nullptr;
    for (int more = HashTable_GetFirstNode(s->Members, &node); more;
         more = HashTable_GetNextNode(s->Members, &node, node)) {
        int64_t fileSize = PatcherStore_InternalNodeRecord(node)->FileSize;
        *size += fileSize > 0 ? fileSize : 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Data files
// ---------------------------------------------------------------------------

static int PatcherStore_InternalOpenWithRetries(PatcherStoreStruct *s, FileStruct *file,
                                                const char *path, StopFlag *stop) {
    for (int attempt = 0;; attempt++) {
        if (File_Open(file, path, FILE_MODE_READ | FILE_MODE_SHARE_READ)) {
            return 1;
        }
        if (attempt >= s->OpenRetries || (stop != nullptr && StopFlag_Test(stop) == 1)) {
            return 0;
        }
        Thread_Sleep(kRetryDelayMs);
    }
}

static int PatcherStore_InternalCheckHeader(PatcherStoreStruct *s, FileStruct *file,
                                            const char *path) {
    uint8_t h[PATCHERSTORE_HEADER_SIZE];
    int count = 0;
    if (!File_Read(file, h, PATCHERSTORE_HEADER_SIZE, &count) ||
        count != PATCHERSTORE_HEADER_SIZE) {
        PatcherStore_InternalError(s, "PatcherStore_InternalReadHeader() header read failure [%s]",
                                   path);
        return 0;
    }
    static const uint8_t kMagic[16] = {'.', 's', 't', 'o', 'r', 'e'};
    int32_t version = (int32_t)((uint32_t)h[16] | (uint32_t)h[17] << 8 | (uint32_t)h[18] << 16 |
                                (uint32_t)h[19] << 24);
    int64_t headerSize = 0;
    for (int i = 7; i >= 0; i--) {
        headerSize = (int64_t)((uint64_t)headerSize << 8 | h[24 + i]);
    }
    if (memcmp(h, kMagic, sizeof(kMagic)) != 0 || version != 1 ||
        headerSize != PATCHERSTORE_HEADER_SIZE) {
        PatcherStore_InternalError(
            s, "PatcherStore_InternalReadHeader() version failure [%d,%I64d] expected [%d,%d] ",
            version, headerSize, 1, PATCHERSTORE_HEADER_SIZE);
        return 0;
    }
    return 1;
}

// Opens data file n and checks its header; the file is then at its first section.
static int PatcherStore_InternalReadHeader(PatcherStoreStruct *s, int n, StopFlag *stop) {
    char path[kPathSize];
    int want = Zyl_StrLen(s->Folder) + Zyl_StrLen(s->Name);
    char number[16];
    Zyl_FormatString(number, (int)sizeof(number), "%d", n);
    want += 1 + Zyl_StrLen(number) + 6 + (s->Deploy ? 7 : 0);
    if (n < 0 || Zyl_FormatString(path, kPathSize, "%s%s.%s%s%s", s->Folder, s->Name, number,
                                  ".store", s->Deploy ? ".deploy" : "") != want) {
        PatcherStore_InternalError(s, "PatcherStore_InternalReadHeader() open file failure [%s]",
                                   s->Name);
        return 0;
    }
    FileStruct *file = nullptr;
    File_New(&file);
    File_SetOpenRetries(file, 1);
    if (!PatcherStore_InternalOpenWithRetries(s, file, path, stop)) {
        PatcherStore_InternalError(s, "PatcherStore_InternalReadHeader() open file failure [%s]",
                                   path);
        File_Delete(&file);
        return 0;
    }
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
              "PatcherStore_InternalReadHeader() StoreFile[%d]", n);
    if (!PatcherStore_InternalCheckHeader(s, file, path)) {
        File_Close(file);
        File_Delete(&file);
        return 0;
    }
    s->DataFile = file;
    s->DataFileNumber = n;
    File_GetSize(file, &s->DataFileSize);
    s->DataFilePosition = PATCHERSTORE_HEADER_SIZE;
    return 1;
}

int PatcherStore_MemberClose(PatcherStoreStruct *s) {
    ZYL_CHECK_TAG(s, kPatcherStoreTag);
    if (s->DataFile != nullptr) {
        File_Close(s->DataFile);
        File_Delete(&s->DataFile);
    }
    return 1;
}

int PatcherStore_MemberOpen(StopFlag *stop, PatcherStoreStruct *s, PatcherStoreMember *member) {
    ZYL_CHECK_TAG(s, kPatcherStoreTag);
    if (s->DataFile != nullptr) {
        ZYL_FATAL("PatcherStore_MemberOpen() previous member still open\n");
    }
    const char *name = nullptr;
    PatcherStoreMemberStruct *m = member ? PatcherStore_InternalRecord(s, member, &name) : nullptr;
    if (m == nullptr) {
        PatcherStore_InternalLog(s, "PatcherStore_MemberOpen() Unable to retrieve from dictionary");
        return 0;
    }
    s->SectionsRead = 0;
    if (m->SectionCount == 0) {
        return 1; // nothing to read
    }
    if (m->FileIndex < 0 || m->SectionCount < 0 || m->Offset < PATCHERSTORE_HEADER_SIZE) {
        PatcherStore_InternalError(s, "PatcherStore_MemberOpen() bad location [%s] %d %I64d %d",
                                   name, m->FileIndex, m->Offset, m->SectionCount);
        return 0;
    }
    if (!PatcherStore_InternalReadHeader(s, m->FileIndex, stop)) {
        return 0;
    }
    if (m->Offset > s->DataFileSize || !File_SetPosition(s->DataFile, m->Offset)) {
        PatcherStore_InternalError(s, "PatcherStore_MemberOpen() offset beyond [%s] %I64d", name,
                                   m->Offset);
        PatcherStore_MemberClose(s);
        return 0;
    }
    s->DataFilePosition = m->Offset;
    return 1;
}

// Reads exactly length bytes from the current data file.
static int PatcherStore_InternalRead(PatcherStoreStruct *s, void *buffer, int length, int *count) {
    *count = 0;
    if (length == 0) {
        return 1;
    }
    File_Read(s->DataFile, buffer, length, count);
    s->DataFilePosition += *count;
    return *count == length;
}

static int32_t PatcherStore_InternalLe32(const uint8_t *p) {
    return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 |
                     (uint32_t)p[3] << 24);
}

// Reads and inflates one section of the member into the section buffer.
static int PatcherStore_InternalReadSection(PatcherStoreStruct *s, const char *name, int *length) {
    PatcherStore_InternalLog(s,
                             "PatcherStore_InternalReadSection() [%s] StoreFile[%d] "
                             "Section(Total)[%d]",
                             name, s->DataFileNumber, s->SectionsRead);
    uint8_t record[PATCHERSTORE_RECORD_SIZE];
    int count = 0;
    int ok = PatcherStore_InternalRead(s, record, PATCHERSTORE_RECORD_SIZE, &count);
    char recordName[PATCHERSTORE_NAME_SIZE + 1];
    memcpy(recordName, record + 8, PATCHERSTORE_NAME_SIZE);
    recordName[PATCHERSTORE_NAME_SIZE] = 0;
    if (!ok || !Zyl_StrEqual(recordName, name)) {
        PatcherStore_InternalError(
            s, "PatcherStore_InternalReadSection() read failure [%d,%s] [%d,%s]", count, name,
            PATCHERSTORE_RECORD_SIZE, recordName);
        return 0;
    }
    int32_t compressed = PatcherStore_InternalLe32(record);
    int32_t uncompressed = PatcherStore_InternalLe32(record + 4);
    if (compressed < 0 || compressed > s->CompressedBufferSize || uncompressed <= 0 ||
        uncompressed > s->SectionSize) {
        PatcherStore_InternalError(
            s, "PatcherStore_InternalReadSection() section sizes refused [%s] [%d/%d]", name,
            compressed, uncompressed);
        return 0;
    }
    if (!PatcherStore_InternalRead(s, s->CompressedBuffer, compressed, &count)) {
        PatcherStore_InternalError(
            s, "PatcherStore_InternalReadSection() CompressedSize read failure");
        return 0;
    }
    if (!ZlibCompress_Inflate(s->SectionBuffer, s->CompressedBuffer, compressed, uncompressed)) {
        PatcherStore_InternalError(s, "PatcherStore_InternalReadSection() decompress failure");
        return 0;
    }
    s->SectionsRead++;
    *length = uncompressed;
    PatcherStore_InternalLog(s, "PatcherStore_InternalReadSection() successful [%s] Size[%d/%d]",
                             name, compressed, uncompressed);
    return 1;
}

int PatcherStore_MemberInflateBuffer(PatcherStoreStruct *s, PatcherStoreMember *member,
                                     uint8_t *buffer, int bufferSize, int *length, StopFlag *stop) {
    ZYL_CHECK_TAG(s, kPatcherStoreTag);
    ZYL_CHECK_PTR(buffer);
    ZYL_CHECK_PTR(length);
    *length = 0;
    if (bufferSize != s->SectionSize) {
        ZYL_FATAL("Assertion failed (BufferSize == PatcherStore->SectionSize)\nSection/buffer size "
                  "must match");
    }
    const char *name = nullptr;
    PatcherStoreMemberStruct *m = member ? PatcherStore_InternalRecord(s, member, &name) : nullptr;
    if (m == nullptr) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "PatcherStore_MemberInflateBuffer() unable to retrieve [%s]", "");
        return 0;
    }
    if (s->SectionsRead >= m->SectionCount) {
        return 1; // complete
    }
    if (s->DataFile == nullptr) {
        PatcherStore_InternalError(s, "PatcherStore_MemberInflateBuffer() member not open [%s]",
                                   name);
        return 0;
    }
    if (s->DataFilePosition >= s->DataFileSize) {
        if (s->DataFileNumber + 1 >= s->StoreCount) {
            PatcherStore_InternalError(
                s, "PatcherStore_MemberInflateBuffer() member [%s] runs past the last data file",
                name);
            return 0;
        }
        int next = s->DataFileNumber + 1;
        PatcherStore_MemberClose(s);
        if (!PatcherStore_InternalReadHeader(s, next, stop)) {
            return 0;
        }
    }
    int produced = 0;
    if (!PatcherStore_InternalReadSection(s, name, &produced)) {
        return 0;
    }
    memcpy(buffer, s->SectionBuffer, (size_t)produced);
    *length = produced;
    return 1;
}
