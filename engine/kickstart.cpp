// Kick-start resume files. A file is checked whole before anything of it is
// applied: the piece map is decoded into scratch and taken only once every
// member, the map and the info hash matched. Saves replace the file atomically.
#include "engine/kickstart.h"

#include <cstring>

#include "core/alert.h"
#include "core/base64.h"
#include "core/bitfield.h"
#include "core/file.h"
#include "core/mutex.h"
#include "core/xml.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/filelist.h"
#include "engine/manager.h"
#include "engine/metafile.h"
#include "engine/storage.h"

static const char kKickTag[] = "KickStartStruct";

enum { kHashBytes = 20 };

#define KICK_INFO(...) Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, __VA_ARGS__)
#define KICK_WARN(...) Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, __VA_ARGS__)
#define KICK_ERROR(...) Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, __VA_ARGS__)

int KickStart_Create(KickStartStruct **kick) {
    ZYL_CHECK_PTR(kick);
    KickStartStruct *k = ZYL_NEW(KickStartStruct);
    k->Tag = kKickTag;
    k->AutoDelete = 1;
    k->Mode = KICKSTART_MODE_BASE | KICKSTART_MODE_MANAGER;
    k->NameType = 1;
    Mutex_Create(&k->BaseMutex);
    Mutex_Create(&k->ManagerMutex);
    File_New(&k->File);
    File_SetReportErrors(k->File, 0);
    Xml_Create(&k->BaseDocument);
    Xml_Create(&k->ManagerDocument);
    k->BufferSize = KICKSTART_INITIAL_BUFFER;
    k->Buffer = static_cast<uint8_t *>(ZYL_ALLOC(k->BufferSize));
    *kick = k;
    return 1;
}

int KickStart_Destroy(KickStartStruct **kick) {
    ZYL_CHECK_PTR(kick);
    KickStartStruct *k = *kick;
    if (k == nullptr)
        return 1;
    ZYL_CHECK_TAG(k, kKickTag);
    *kick = nullptr;
    if (MUTEX_LOCK(k->ManagerMutex))
        MUTEX_UNLOCK(k->ManagerMutex);
    else
        KICK_ERROR("Unable to lock Kickstart Manager mutex");
    if (MUTEX_LOCK(k->BaseMutex))
        MUTEX_UNLOCK(k->BaseMutex);
    else
        KICK_ERROR("Unable to lock Kickstart mutex");
    Mutex_Close(&k->ManagerMutex);
    Mutex_Close(&k->BaseMutex);
    ZYL_FREE(k->Buffer, k->BufferSize);
    Xml_Destroy(&k->BaseDocument);
    Xml_Destroy(&k->ManagerDocument);
    File_Delete(&k->File);
    k->Tag = Zyl_DeadTag;
    ZYL_FREE(k, sizeof(KickStartStruct));
    return 1;
}

int KickStart_SetEnabled(KickStartStruct *kick, int enabled) {
    ZYL_CHECK_TAG(kick, kKickTag);
    kick->Enabled = enabled ? 1 : 0;
    return 1;
}

int KickStart_GetEnabled(KickStartStruct *kick, int *enabled) {
    ZYL_CHECK_TAG(kick, kKickTag);
    ZYL_CHECK_PTR(enabled);
    *enabled = kick->Enabled;
    return 1;
}

int KickStart_SetAutoDelete(KickStartStruct *kick, int on) {
    ZYL_CHECK_TAG(kick, kKickTag);
    kick->AutoDelete = on ? 1 : 0;
    return 1;
}

int KickStart_SetBaseOnly(KickStartStruct *kick) {
    ZYL_CHECK_TAG(kick, kKickTag);
    kick->Mode = KICKSTART_MODE_BASE;
    return 1;
}

int KickStart_SetNameType(KickStartStruct *kick, int type) {
    ZYL_CHECK_TAG(kick, kKickTag);
    kick->NameType = type;
    return 1;
}

int KickStart_SetFolder(KickStartStruct *kick, const char *folder) {
    ZYL_CHECK_TAG(kick, kKickTag);
    ZYL_CHECK_PTR(folder);
    Zyl_StrCopy(kick->Folder, folder, sizeof kick->Folder - 1);
    for (char *c = kick->Folder; *c; c++)
        if (*c == '\\')
            *c = '/';
    if (kick->Folder[0] && !Zyl_StrEndsWith(kick->Folder, "/"))
        Zyl_StrAppend(kick->Folder, "/", sizeof kick->Folder);
    return 1;
}

int KickStart_GetFolder(KickStartStruct *kick, char *folder, int size) {
    ZYL_CHECK_TAG(kick, kKickTag);
    ZYL_CHECK_PTR(folder);
    Zyl_StrCopy(folder, kick->Folder, size);
    return 1;
}

// The name as one harmless path component.
static void InternalSafeComponent(char *name) {
    for (char *c = name; *c; c++)
        if (*c == '/' || *c == '\\' || (unsigned char)*c < 32 || *c == 127)
            *c = '_';
    if (Zyl_StrEqual(name, ".") || Zyl_StrEqual(name, ".."))
        Zyl_StrCopy(name, "_", 2);
}

static ContentStruct *InternalContent(BaseStruct *base) {
    ContentStruct *content = nullptr;
    Base_GetContent(base, &content);
    return content;
}

int KickStart_GetFileName(KickStartStruct *kick, BaseStruct *base, char *name) {
    ZYL_CHECK_TAG(kick, kKickTag);
    ZYL_CHECK_PTR(base);
    ZYL_CHECK_PTR(name);
    name[0] = 0;
    char text[KICKSTART_PATH_SIZE] = "";
    ContentStruct *content = InternalContent(base);
    if (kick->NameType == 1) {
        // A content of several files has no name of its own here: its info
        // hash names it instead.
        Content_GetName(content, text);
        if (text[0] == 0)
            Content_GetInfoHashText(content, text, sizeof text);
    } else if (kick->NameType == 0) {
        MetaFileStruct *meta = nullptr;
        char source[KICKSTART_PATH_SIZE] = "";
        if (!Content_GetMetaFile(content, &meta) || meta == nullptr ||
            !MetaFile_GetFileName(meta, source, sizeof source) || source[0] == 0) {
            KICK_ERROR("Unable to get source filename");
            return 0;
        }
        const char *slash = source;
        for (const char *c = source; *c; c++)
            if (*c == '/' || *c == '\\')
                slash = c + 1;
        Zyl_StrCopy(text, slash, sizeof text);
    } else {
        KICK_ERROR("Unknown kickstart nametype");
        return 0;
    }
    if (text[0] == 0) {
        KICK_ERROR("Unable to get source filename");
        return 0;
    }
    InternalSafeComponent(text);
    char path[KICKSTART_PATH_SIZE + 8];
    Zyl_FormatString(path, sizeof path, "%s%s.kick", kick->Folder, text);
    if ((int)Zyl_StrLen(path) >= KICKSTART_PATH_SIZE) {
        KICK_ERROR("Kick file name too long [%s]", path);
        return 0;
    }
    Zyl_StrCopy(name, path, KICKSTART_PATH_SIZE);
    return 1;
}

static int InternalEnsureBuffer(KickStartStruct *k, int size) {
    if (size <= k->BufferSize)
        return 1;
    ZYL_FREE(k->Buffer, k->BufferSize);
    k->BufferSize = size;
    k->Buffer = static_cast<uint8_t *>(ZYL_ALLOC(size));
    return 1;
}

static int InternalAddText(XmlStruct *xml, XmlNodeStruct *parent, const char *name,
                           const char *text, XmlNodeStruct **out = nullptr) {
    XmlNodeStruct *node = nullptr;
    if (!Xml_AddElement(xml, parent, nullptr, &node, name) || !Xml_SetData(xml, node, text))
        return 0;
    if (out)
        *out = node;
    return 1;
}

static void InternalDeclaration(XmlStruct *xml) {
    XmlNodeStruct *declaration = nullptr;
    Xml_AddElement(xml, nullptr, nullptr, &declaration, "xml");
    Xml_SetKind(xml, declaration, XML_KIND_DECLARATION);
    Xml_AddAttribute(xml, declaration, "version", "1.0");
}

// The member's file as it lies on disk (a partial name while it is one).
static int InternalDiskName(FileListStruct *list, FileListMemberStruct *member, char *path) {
    char plain[FILELIST_TEXT_SIZE];
    if (!FileList_GetMemberDiskPath(list, member, plain))
        return 0;
    if (list->Storage == nullptr) {
        Zyl_StrCopy(path, plain, FILELIST_TEXT_SIZE);
        return 1;
    }
    return Storage_GetDiskName(list->Storage, plain, path, FILELIST_TEXT_SIZE);
}

// Base64 of n bytes as a text owned by the document.
static int InternalEncode(XmlStruct *xml, const uint8_t *bytes, int n, char **text) {
    int size = 0, length = 0;
    Base64_GetEncodedSize(n, &size);
    size += 10;
    if (!Xml_AllocText(xml, text, size))
        return 0;
    return Base64_Encode(bytes, n, *text, size, &length);
}

// ---------------------------------------------------------------------------
// Per-download files
// ---------------------------------------------------------------------------

static int InternalWriteBaseXml(KickStartStruct *k, BaseStruct *base) {
    XmlStruct *xml = k->BaseDocument;
    ContentStruct *content = InternalContent(base);
    BitfieldStruct *held = nullptr;
    Content_GetBitfield(content, &held);
    int bytes = 0;
    Bitfield_GetByteLength(held, &bytes);
    InternalEnsureBuffer(k, bytes);
    InternalDeclaration(xml);
    XmlNodeStruct *root = nullptr;
    Xml_AddElement(xml, nullptr, nullptr, &root, "Base");
    char folder[CONTENT_TEXT_SIZE];
    Content_GetPath(content, folder);
    InternalAddText(xml, root, "OutputPath", folder);
    FileListStruct *list = nullptr;
    Content_GetFileList(content, &list);
    FileListMemberStruct *member = nullptr;
    if (list == nullptr || !FileList_FirstMember(list, &member) || member == nullptr) {
        KICK_ERROR("Unable to find any files");
        return 0;
    }
    for (; member; FileList_NextMember(member, &member)) {
        XmlNodeStruct *file = nullptr;
        Xml_AddElement(xml, root, nullptr, &file, "File");
        char name[FILELIST_TEXT_SIZE], disk[FILELIST_TEXT_SIZE], text[32];
        FileList_GetMemberPath(member, name);
        InternalAddText(xml, file, "Name", name);
        KICK_INFO("Add '%s' to '%s'", name, folder);
        int64_t length = 0, size = 0;
        FileList_GetMemberLength(member, &length);
        if (InternalDiskName(list, member, disk) && File_Stat(k->File, disk)) {
            int32_t minutes = 0;
            File_GetModifiedTime(k->File, &minutes);
            File_GetSize(k->File, &size);
            Zyl_FormatString(text, sizeof text, "0x%.8X", (uint32_t)minutes);
            InternalAddText(xml, file, "Modified", text);
            if (size != length)
                KICK_WARN("Filesizes do NOT match (%I64d != %I64d)", size, length);
        } else {
            KICK_WARN("Unable to stat [%s]", disk);
        }
        Zyl_FormatString(text, sizeof text, "%I64d", length);
        InternalAddText(xml, file, "Size", text);
        int active = 0;
        FileList_GetMemberActive(member, &active);
        InternalAddText(xml, file, "Include", active ? "TRUE" : "FALSE");
    }
    Bitfield_GetBytes(held, k->Buffer, bytes);
    char *encoded = nullptr;
    if (!InternalEncode(xml, k->Buffer, bytes, &encoded)) {
        KICK_ERROR("Unable to encode bitfield (%d / %d / %d)", bytes, k->BufferSize, 0);
        return 0;
    }
    XmlNodeStruct *field = nullptr;
    InternalAddText(xml, root, "BitField", encoded, &field);
    char count[16];
    Zyl_FormatString(count, sizeof count, "%d", bytes);
    Xml_AddAttribute(xml, field, "Size", count);
    uint8_t hash[kHashBytes];
    Content_GetInfoHash(content, hash);
    if (InternalEncode(xml, hash, kHashBytes, &encoded))
        InternalAddText(xml, root, "InfoHash", encoded);
    else
        KICK_WARN("Unable to encode InfoHash");
    return 1;
}

int KickStart_SaveBase(KickStartStruct *kick, BaseStruct *base, const char *path) {
    ZYL_CHECK_TAG(kick, kKickTag);
    ZYL_CHECK_PTR(base);
    ZYL_CHECK_PTR(path);
    if (!MUTEX_LOCK(kick->BaseMutex)) {
        KICK_ERROR("Unable to lock Kickstart mutex");
        return 0;
    }
    Xml_Clear(kick->BaseDocument);
    int ok = InternalWriteBaseXml(kick, base);
    if (ok) {
        KICK_INFO("Save '%s'", path);
        ok = Xml_SaveFile(kick->BaseDocument, path);
        if (ok)
            KICK_INFO("Base accelerator saved");
        else
            KICK_ERROR("Unable to save base file %s", path);
    }
    Xml_Clear(kick->BaseDocument);
    MUTEX_UNLOCK(kick->BaseMutex);
    return ok;
}

int KickStart_SaveBaseAccelerator(KickStartStruct *kick, BaseStruct *base) {
    ZYL_CHECK_TAG(kick, kKickTag);
    ZYL_CHECK_PTR(base);
    if ((kick->Mode & KICKSTART_MODE_BASE) == 0)
        return 1;
    char path[KICKSTART_PATH_SIZE];
    if (!KickStart_GetFileName(kick, base, path))
        return 0;
    return KickStart_SaveBase(kick, base, path);
}

// What the check found; nothing reaches the download before the end.
struct KickCheck {
    int SawMap;
    int SawHash;
    int MapBytes;
    int Members; // included members matched
};

static int InternalCheckFile(KickStartStruct *k, XmlStruct *xml, XmlNodeStruct *node,
                             FileListStruct *list, KickCheck *check) {
    XmlNodeStruct *child = nullptr;
    if (!Xml_GetFirstChild(xml, node, &child)) {
        KICK_ERROR("Unable to child for file");
        return 1;
    }
    char name[FILELIST_TEXT_SIZE] = "";
    int64_t modified = -1, size = -1;
    int include = 1;
    for (; child; Xml_GetNextSibling(xml, child, &child)) {
        const char *tag = nullptr, *data = nullptr;
        Xml_GetNodeInfo(xml, child, nullptr, &tag, &data);
        if (Zyl_StrEqualNoCase(tag, "Name"))
            Xml_DecodeText(data ? data : "", name, sizeof name);
        else if (Zyl_StrEqualNoCase(tag, "Modified"))
            Zyl_ParseInt64(data, &modified);
        else if (Zyl_StrEqualNoCase(tag, "Size"))
            Zyl_ParseInt64(data, &size);
        else if (Zyl_StrEqualNoCase(tag, "Include"))
            Zyl_ParseBool(data, &include, 1);
        else
            KICK_WARN("Unknown base accelerator member [%s]", tag);
    }
    FileListMemberStruct *member = nullptr;
    if (!FileList_FindMemberByPath(list, name, &member) || member == nullptr) {
        KICK_ERROR("Unable to find list member for [%s]", name);
        return 0;
    }
    int active = 0;
    FileList_GetMemberActive(member, &active);
    if ((active ? 1 : 0) != (include ? 1 : 0)) {
        KICK_ERROR("Include does not match on [%s] [%d != %d]", name, active, include);
        return 0;
    }
    if (!active)
        return 1;
    int64_t length = 0, disk = 0;
    FileList_GetMemberLength(member, &length);
    if (length != size) {
        KICK_ERROR("Filesizes do not match [%s] (%I64d != %I64d)", name, length, size);
        return 0;
    }
    char path[FILELIST_TEXT_SIZE];
    if (!InternalDiskName(list, member, path) || !File_Stat(k->File, path)) {
        KICK_ERROR("Unable to stat [%s]", name);
        return 0;
    }
    int32_t minutes = 0;
    File_GetModifiedTime(k->File, &minutes);
    const int64_t gap = (int64_t)(uint32_t)minutes - modified;
    if (modified < 0 || gap > KICKSTART_MODIFIED_SLACK || gap < -KICKSTART_MODIFIED_SLACK) {
        KICK_ERROR("Last modified does not match on [%s] [%.8X != %.8X]", name, (uint32_t)minutes,
                   (uint32_t)modified);
        return 0;
    }
    File_GetSize(k->File, &disk);
    if (disk != size) {
        KICK_ERROR("Actual filesizes don't match [%s] (%I64d != %I64d)", name, disk, size);
        return 0;
    }
    check->Members++;
    return 1;
}

// Decodes a Base64 element text into out (size bytes); *count bytes.
static int InternalDecode(const char *data, uint8_t *out, int size, int *count) {
    *count = 0;
    return Base64_Decode(data ? data : "", out, size, count);
}

static int InternalCheckMap(KickStartStruct *k, XmlStruct *xml, XmlNodeStruct *node,
                            BitfieldStruct *held, KickCheck *check) {
    char attribute[32];
    if (!Xml_GetAttribute(xml, node, "Size", attribute, sizeof attribute)) {
        KICK_ERROR("Unable to locate BitField size");
        return 0;
    }
    int bytes = 0;
    Bitfield_GetByteLength(held, &bytes);
    int64_t declared = 0;
    if (!Zyl_ParseInt64(attribute, &declared) || declared != bytes) {
        KICK_ERROR("Bit sizes do not match (%d != %d)", bytes, (int)declared);
        return 0;
    }
    const char *data = nullptr;
    Xml_GetData(xml, node, &data);
    int decoded = 0;
    Base64_GetDecodedSize((int)Zyl_StrLen(data ? data : ""), &decoded);
    decoded += 10;
    InternalEnsureBuffer(k, decoded);
    int count = 0;
    if (!InternalDecode(data, k->Buffer, k->BufferSize, &count)) {
        KICK_ERROR("Unable to decode bitfield (%d / %d)", k->BufferSize, count);
        return 0;
    }
    if (count != bytes) {
        KICK_ERROR("Unable to read bitfield");
        return 0;
    }
    check->SawMap = 1;
    check->MapBytes = bytes;
    return 1;
}

static int InternalCheckHash(XmlStruct *xml, XmlNodeStruct *node, ContentStruct *content,
                             KickCheck *check) {
    const char *data = nullptr;
    Xml_GetData(xml, node, &data);
    uint8_t decoded[64];
    int count = 0;
    if (!InternalDecode(data, decoded, sizeof decoded, &count) || count < kHashBytes) {
        KICK_ERROR("Unable to decode hash - skipping accelerator");
        return 0;
    }
    uint8_t hash[kHashBytes];
    Content_GetInfoHash(content, hash);
    if (memcmp(hash, decoded, kHashBytes) != 0) {
        KICK_WARN("Info hash mismatch - skipping accelerator");
        return 0;
    }
    KICK_INFO("Hash check passed on accelerator");
    check->SawHash = 1;
    return 1;
}

// Checks the loaded document against the download and the disk; on success the
// decoded piece map is left in the buffer. Applies nothing.
static int InternalVerifyBase(KickStartStruct *k, BaseStruct *base, KickCheck *check) {
    XmlStruct *xml = k->BaseDocument;
    XmlNodeStruct *node = nullptr;
    if (!Xml_FindPathChildren(xml, "Base", &node) || node == nullptr) {
        KICK_ERROR("Unable to locate base member");
        return 0;
    }
    ContentStruct *content = InternalContent(base);
    FileListStruct *list = nullptr;
    BitfieldStruct *held = nullptr;
    Content_GetFileList(content, &list);
    Content_GetBitfield(content, &held);
    char folder[CONTENT_TEXT_SIZE];
    Content_GetPath(content, folder);
    for (; node; Xml_GetNextSibling(xml, node, &node)) {
        const char *tag = nullptr, *data = nullptr;
        Xml_GetNodeInfo(xml, node, nullptr, &tag, &data);
        int ok = 1;
        if (Zyl_StrEqualNoCase(tag, "OutputPath")) {
            char saved[KICKSTART_PATH_SIZE];
            Xml_DecodeText(data ? data : "", saved, sizeof saved);
            KICK_INFO("Accelerator Save Path [%s]", saved);
            if (!Zyl_StrEqualNoCase(saved, folder)) {
                KICK_ERROR("Save path mismatch [%s != %s] - skipping accelerator", saved, folder);
                ok = 0;
            }
        } else if (Zyl_StrEqualNoCase(tag, "File")) {
            ok = InternalCheckFile(k, xml, node, list, check);
        } else if (Zyl_StrEqualNoCase(tag, "BitField")) {
            ok = InternalCheckMap(k, xml, node, held, check);
        } else if (Zyl_StrEqualNoCase(tag, "InfoHash")) {
            ok = InternalCheckHash(xml, node, content, check);
        } else {
            KICK_WARN("Unknown base accelerator member [%s]", tag);
        }
        if (!ok)
            return 0;
    }
    // Every fact is required: a file that leaves one out proves nothing.
    int included = 0;
    FileListMemberStruct *member = nullptr;
    for (FileList_FirstMember(list, &member); member; FileList_NextMember(member, &member)) {
        int active = 0;
        FileList_GetMemberActive(member, &active);
        included += active ? 1 : 0;
    }
    if (!check->SawMap || !check->SawHash || check->Members < included) {
        KICK_ERROR("Accelerator incomplete (bitfield %d, hash %d, files %d of %d) - skipping "
                   "accelerator",
                   check->SawMap, check->SawHash, check->Members, included);
        return 0;
    }
    return 1;
}

int KickStart_LoadBase(KickStartStruct *kick, BaseStruct *base, const char *path) {
    ZYL_CHECK_TAG(kick, kKickTag);
    ZYL_CHECK_PTR(base);
    ZYL_CHECK_PTR(path);
    if (!MUTEX_LOCK(kick->BaseMutex)) {
        KICK_ERROR("Unable to lock Kickstart mutex");
        return 0;
    }
    int result = 0;
    Xml_Clear(kick->BaseDocument);
    KickCheck check = {0, 0, 0, 0};
    if (!File_Stat(kick->File, path) || !Xml_LoadFile(kick->BaseDocument, path)) {
        KICK_WARN("Unable to load base file %s - skipping accelerator", path);
    } else if (InternalVerifyBase(kick, base, &check)) {
        BitfieldStruct *held = nullptr;
        Content_GetBitfield(InternalContent(base), &held);
        Bitfield_SetBytes(held, kick->Buffer, check.MapBytes);
        KICK_INFO("Base accelerator used");
        int missing = 0;
        Bitfield_GetUnsetCount(held, &missing);
        if (kick->AutoDelete && missing > 0) {
            if (File_Erase(kick->File, path))
                KICK_INFO("Base accelerator cleared (%d pieces remaining)", missing);
        } else if (kick->AutoDelete) {
            KICK_INFO("Autodeletion skipped due to completed content");
        }
        result = 1;
    }
    Xml_Clear(kick->BaseDocument);
    MUTEX_UNLOCK(kick->BaseMutex);
    return result;
}

int KickStart_LoadBaseAccelerator(KickStartStruct *kick, BaseStruct *base) {
    ZYL_CHECK_TAG(kick, kKickTag);
    ZYL_CHECK_PTR(base);
    if ((kick->Mode & KICKSTART_MODE_BASE) == 0)
        return 0;
    char path[KICKSTART_PATH_SIZE];
    if (!KickStart_GetFileName(kick, base, path))
        return 0;
    KICK_INFO("Load accelerator '%s'", path);
    return KickStart_LoadBase(kick, base, path);
}

int KickStart_LoadOutputPath(char *path, KickStartStruct *kick, BaseStruct *base) {
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_TAG(kick, kKickTag);
    ZYL_CHECK_PTR(base);
    path[0] = 0;
    if ((kick->Mode & KICKSTART_MODE_BASE) == 0)
        return 0;
    char name[KICKSTART_PATH_SIZE];
    if (!KickStart_GetFileName(kick, base, name))
        return 0;
    KICK_INFO("Load accelerator output path'%s'", name);
    if (!MUTEX_LOCK(kick->BaseMutex))
        return 0;
    int ok = 0;
    XmlNodeStruct *node = nullptr;
    if (!File_Stat(kick->File, name) || !Xml_LoadFile(kick->BaseDocument, name)) {
        KICK_ERROR("Unable to load base file %s - skipping accelerator", name);
    } else if (!Xml_FindPath(kick->BaseDocument, "Base.OutputPath", &node) || node == nullptr) {
        KICK_ERROR("Unable to locate base member");
    } else {
        const char *data = nullptr;
        Xml_GetData(kick->BaseDocument, node, &data);
        Xml_DecodeText(data ? data : "", path, KICKSTART_PATH_SIZE);
        ok = 1;
    }
    Xml_Clear(kick->BaseDocument);
    MUTEX_UNLOCK(kick->BaseMutex);
    return ok;
}

// ---------------------------------------------------------------------------
// The manager file
// ---------------------------------------------------------------------------

static int InternalWriteManagerXml(XmlStruct *xml, ManagerStruct *manager) {
    InternalDeclaration(xml);
    XmlNodeStruct *root = nullptr, *objects = nullptr;
    Xml_AddElement(xml, nullptr, nullptr, &root, "Manager");
    Xml_AddElement(xml, root, nullptr, &objects, "Objects");
    ManagerMemberStruct *m = nullptr;
    int ok = 1;
    for (int more = Manager_GetFirstMember(manager, &m); more && m && ok;
         more = Manager_GetNextMember(manager, m, &m)) {
        BaseStruct *base = nullptr;
        ManagerMember_GetBase(m, &base);
        ContentStruct *content = InternalContent(base);
        XmlNodeStruct *node = nullptr;
        Xml_AddElement(xml, objects, nullptr, &node, "Base");
        char text[KICKSTART_PATH_SIZE] = "";
        MetaFileStruct *meta = nullptr;
        if (Content_GetMetaFile(content, &meta) && meta)
            MetaFile_GetFileName(meta, text, sizeof text);
        InternalAddText(xml, node, "MetaFile", text);
        Content_GetPath(content, text);
        InternalAddText(xml, node, "Path", text);
        FileListStruct *list = nullptr;
        FileListMemberStruct *member = nullptr;
        Content_GetFileList(content, &list);
        if (list == nullptr || !FileList_FirstMember(list, &member) || member == nullptr) {
            KICK_ERROR("Unable to find any files");
            ok = 0;
        }
        for (; ok && member; FileList_NextMember(member, &member)) {
            XmlNodeStruct *file = nullptr;
            Xml_AddElement(xml, node, nullptr, &file, "File");
            char original[FILELIST_TEXT_SIZE] = "", path[FILELIST_TEXT_SIZE] = "";
            FileList_GetMemberName(member, original, sizeof original);
            FileList_GetMemberPath(member, path);
            InternalAddText(xml, file, "OriginalName", original);
            if (!Zyl_StrEqualNoCase(original, path))
                InternalAddText(xml, file, "Name", path);
            int active = 0;
            FileList_GetMemberActive(member, &active);
            InternalAddText(xml, file, "Include", active ? "TRUE" : "FALSE");
        }
        int running = 0;
        Base_GetActive(base, &running);
        InternalAddText(xml, node, "Active", running ? "TRUE" : "FALSE");
    }
    if (m)
        Manager_ReleaseMember(manager, &m);
    return ok;
}

int KickStart_SaveManagerTo(KickStartStruct *kick, ManagerStruct *manager, const char *path) {
    ZYL_CHECK_TAG(kick, kKickTag);
    ZYL_CHECK_PTR(manager);
    ZYL_CHECK_PTR(path);
    if (!MUTEX_LOCK(kick->ManagerMutex))
        return 0;
    Xml_Clear(kick->ManagerDocument);
    int ok = InternalWriteManagerXml(kick->ManagerDocument, manager);
    if (ok) {
        ok = Xml_SaveFile(kick->ManagerDocument, path);
        if (ok)
            KICK_INFO("Manager accelerator saved");
        else
            KICK_ERROR("Unable to save manager file %s", path);
    }
    Xml_Clear(kick->ManagerDocument);
    MUTEX_UNLOCK(kick->ManagerMutex);
    return ok;
}

int KickStart_SaveManager(KickStartStruct *kick, ManagerStruct *manager) {
    ZYL_CHECK_TAG(kick, kKickTag);
    ZYL_CHECK_PTR(manager);
    if ((kick->Mode & KICKSTART_MODE_MANAGER) == 0)
        return 1;
    char path[KICKSTART_PATH_SIZE + 16];
    Zyl_FormatString(path, sizeof path, "%smanager.kick", kick->Folder);
    return KickStart_SaveManagerTo(kick, manager, path);
}
