// Task status record and its "PatcherTaskStatus" XML element: a table of fields
// drives writing (in the document's order) and reading (by name, ignoring
// case); values read back are checked like values from a server.
#include "patcher/taskstatus.h"

#include "core/alert.h"
#include "core/xml.h"
#include "core/zyl.h"
#include "patcher/installer/installer.h"
#include "patcher/patcher_types.h"

#include <cstddef>

static const char kTag[] = "PatcherTaskStatus";

struct PatcherTaskStatus {
    const char *Tag;
    PatcherTaskData Data;
};

// How a field is written and read.
enum { kInt, kFlag, kText, kPath, kList };

struct TaskField {
    const char *Key;
    int Kind;
    size_t Offset;
    int Size; // texts: buffer size
};

#define FIELD(name, kind)                                                                          \
    { #name, kind, offsetof(PatcherTaskData, name), 0 }
#define TEXT(name, kind)                                                                           \
    { #name, kind, offsetof(PatcherTaskData, name), sizeof(PatcherTaskData::name) }
// The document's order.
static const TaskField kFields[] = {
    FIELD(PatcherState, kInt),        TEXT(CurrentName, kText),
    FIELD(CurrentVersion, kInt),      TEXT(TargetName, kText),
    FIELD(TargetVersion, kInt),       TEXT(PackageName, kText),
    TEXT(SkinSource, kText),          TEXT(MetaFile, kText),
    TEXT(RestartCommandLine, kText),  FIELD(PackageType, kInt),
    FIELD(PrependDirectory, kInt),    FIELD(DestructiveUpdate, kInt),
    FIELD(UseDeployExtension, kInt),  FIELD(ProcessDeleteManifest, kInt),
    FIELD(HasBaseLine, kInt),         FIELD(PackageDescriptorType, kInt),
    FIELD(RestartRequired, kFlag),    FIELD(AvailableReleases, kInt),
    FIELD(PerformCopy, kFlag),        FIELD(PerformDelete, kFlag),
    TEXT(OutputPath, kPath),          TEXT(CopyPath, kPath),
    TEXT(AllowModifiedFiles, kText),  FIELD(DeployStamp, kInt),
    FIELD(PreProcessCommands, kList), FIELD(PostProcessCommands, kList),
    FIELD(UninstallCommands, kList),
};
#undef FIELD
#undef TEXT
enum { kFieldCount = sizeof(kFields) / sizeof(kFields[0]) };

int PatcherTaskStatus_Create(PatcherTaskStatus **status) {
    ZYL_CHECK_PTR(status);
    PatcherTaskStatus *created = ZYL_NEW(PatcherTaskStatus);
    created->Tag = kTag;
    Installer_Create(&created->Data.PreProcessCommands);
    Installer_Create(&created->Data.PostProcessCommands);
    Installer_Create(&created->Data.UninstallCommands);
    *status = created;
    return 1;
}

int PatcherTaskStatus_Destroy(PatcherTaskStatus **status) {
    ZYL_CHECK_PTR(status);
    PatcherTaskStatus *doomed = *status;
    if (doomed == nullptr)
        return 1;
    ZYL_CHECK_TAG(doomed, kTag);
    *status = nullptr;
    Installer_Destroy(&doomed->Data.PreProcessCommands);
    Installer_Destroy(&doomed->Data.PostProcessCommands);
    Installer_Destroy(&doomed->Data.UninstallCommands);
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(PatcherTaskStatus));
    return 1;
}

int PatcherTaskStatus_GetData(PatcherTaskStatus *status, PatcherTaskData **data) {
    ZYL_CHECK_TAG(status, kTag);
    ZYL_CHECK_PTR(data);
    *data = &status->Data;
    return 1;
}

// Copies the record's values, keeping the destination's lists, and deep-copies
// the source lists into them (a null source list empties the list).
static int PatcherTaskStatus_CopyRecord(PatcherTaskData *to, const PatcherTaskData *from) {
    InstallerCommandList *lists[3] = {to->PreProcessCommands, to->PostProcessCommands,
                                      to->UninstallCommands};
    InstallerCommandList *sources[3] = {from->PreProcessCommands, from->PostProcessCommands,
                                        from->UninstallCommands};
    if (to != from)
        *to = *from;
    to->PreProcessCommands = lists[0];
    to->PostProcessCommands = lists[1];
    to->UninstallCommands = lists[2];
    // Texts may come from a caller's record: keep them terminated.
    for (const TaskField &field : kFields) {
        if (field.Kind == kText || field.Kind == kPath)
            (reinterpret_cast<char *>(to) + field.Offset)[field.Size - 1] = 0;
    }
    to->BasePath[sizeof(to->BasePath) - 1] = 0;
    int result = 1;
    for (int i = 0; i < 3; i++) {
        if (sources[i] == nullptr)
            Installer_ClearCommands(lists[i]);
        else if (!Installer_CopyCommands(lists[i], sources[i]))
            result = 0;
    }
    return result;
}

int PatcherTaskStatus_Set(PatcherTaskStatus *status, const PatcherTaskData *values) {
    ZYL_CHECK_TAG(status, kTag);
    ZYL_CHECK_PTR(values);
    int result = PatcherTaskStatus_CopyRecord(&status->Data, values);
    status->Data.PatcherState = PATCHER_STATE_IDLE;
    return result;
}

int PatcherTaskStatus_Copy(PatcherTaskStatus *destination, PatcherTaskStatus *source) {
    ZYL_CHECK_TAG(destination, kTag);
    ZYL_CHECK_TAG(source, kTag);
    if (destination == source)
        return 1;
    return PatcherTaskStatus_CopyRecord(&destination->Data, &source->Data);
}

// ---------------------------------------------------------------------------
// Write
// ---------------------------------------------------------------------------

// The path without a leading base path (only at its start).
static const char *PatcherTaskStatus_Relative(const char *path, const char *base) {
    int length = Zyl_StrLen(base);
    if (length > 0 && Zyl_StrEqualN(path, base, length))
        return path + length;
    return path;
}

static int PatcherTaskStatus_WriteText(XmlStruct *xml, XmlNodeStruct *parent, const char *key,
                                       const char *text) {
    XmlNodeStruct *node = nullptr;
    return Xml_AddElement(xml, parent, nullptr, &node, key) && Xml_SetData(xml, node, text);
}

static int PatcherTaskStatus_WriteField(XmlStruct *xml, XmlNodeStruct *element,
                                        const PatcherTaskData *data, const TaskField *field) {
    const char *at = reinterpret_cast<const char *>(data) + field->Offset;
    if (field->Kind == kList) {
        XmlNodeStruct *node = nullptr;
        InstallerCommandList *list = *reinterpret_cast<InstallerCommandList *const *>(at);
        return Xml_AddElement(xml, element, nullptr, &node, field->Key) &&
               Installer_SerializeCommands(list, node, xml);
    }
    if (field->Kind == kText)
        return PatcherTaskStatus_WriteText(xml, element, field->Key, at);
    if (field->Kind == kPath)
        return PatcherTaskStatus_WriteText(xml, element, field->Key,
                                           PatcherTaskStatus_Relative(at, data->BasePath));
    char number[16];
    int32_t value = *reinterpret_cast<const int32_t *>(at);
    if (field->Kind == kFlag)
        value = value != 0;
    Zyl_FormatString(number, sizeof(number), "%d", (int)value);
    return PatcherTaskStatus_WriteText(xml, element, field->Key, number);
}

int PatcherTaskStatus_Write(XmlStruct *xml, PatcherTaskStatus *status, XmlNodeStruct *parent) {
    ZYL_CHECK_PTR(xml);
    ZYL_CHECK_TAG(status, kTag);
    ZYL_CHECK_PTR(parent);
    XmlNodeStruct *element = nullptr;
    if (!Xml_AddElement(xml, parent, nullptr, &element, "PatcherTaskStatus"))
        return 0;
    int result = 1;
    for (const TaskField &field : kFields) {
        if (!PatcherTaskStatus_WriteField(xml, element, &status->Data, &field))
            result = 0;
    }
    return result;
}

int PatcherTaskStatus_WriteUninstall(XmlStruct *xml, PatcherTaskStatus *status,
                                     XmlNodeStruct *parent) {
    ZYL_CHECK_PTR(xml);
    ZYL_CHECK_TAG(status, kTag);
    ZYL_CHECK_PTR(parent);
    XmlNodeStruct *element = nullptr;
    XmlNodeStruct *list = nullptr;
    return Xml_AddElement(xml, parent, nullptr, &element, "PatcherTaskStatus") &&
           Xml_AddElement(xml, element, nullptr, &list, "UninstallCommands") &&
           Installer_SerializeCommands(status->Data.UninstallCommands, list, xml);
}

// ---------------------------------------------------------------------------
// Checks of values read back
// ---------------------------------------------------------------------------

static int PatcherTaskStatus_HasControl(const char *text) {
    for (const char *p = text; *p; p++) {
        if ((unsigned char)*p < 32 || *p == 127)
            return 1;
    }
    return 0;
}

// 1 when a '/' or '\' separated component of path is "..".
static int PatcherTaskStatus_HasParentStep(const char *path) {
    const char *part = path;
    for (const char *p = path;; p++) {
        if (*p == 0 || *p == '/' || *p == '\\') {
            if (p - part == 2 && part[0] == '.' && part[1] == '.')
                return 1;
            if (*p == 0)
                return 0;
            part = p + 1;
        }
    }
}

int PatcherTaskStatus_IsSafeName(const char *name) {
    ZYL_CHECK_PTR(name);
    return name[0] != 0 && !Zyl_StrHasChar(name, '/') && !Zyl_StrHasChar(name, '\\') &&
           !Zyl_StrHasChar(name, ':') && !PatcherTaskStatus_HasControl(name) &&
           !Zyl_StrEqual(name, ".") && !Zyl_StrEqual(name, "..");
}

// Length of path without its trailing separators.
static int PatcherTaskStatus_TrimmedLength(const char *path) {
    int length = Zyl_StrLen(path);
    while (length > 0 && (path[length - 1] == '/' || path[length - 1] == '\\'))
        length--;
    return length;
}

// 1 when folder is base itself or one of its ancestors (or a root).
static int PatcherTaskStatus_IsBaseOrAncestor(const char *folder, const char *base) {
    int length = PatcherTaskStatus_TrimmedLength(folder);
    int baseLength = PatcherTaskStatus_TrimmedLength(base);
    if (length == 0 || length > baseLength || !Zyl_StrEqualN(folder, base, length))
        return length == 0;
    return length == baseLength || base[length] == '/' || base[length] == '\\';
}

// Refuses what a later step could turn against files outside the installation.
static int PatcherTaskStatus_Check(const PatcherTaskData *data, int havePaths) {
    const char *refused = nullptr;
    if (data->PatcherState != 0 &&
        (data->PatcherState < PATCHER_STATE_IDLE || data->PatcherState > PATCHER_STATE_FAILED))
        refused = "PatcherState";
    else if (data->PackageType < 0 || data->PackageType > PACKAGE_TYPE_MAINTENANCE)
        refused = "PackageType";
    else if (data->PackageName[0] && !PatcherTaskStatus_IsSafeName(data->PackageName))
        refused = "PackageName";
    else if (data->CurrentName[0] && !PatcherTaskStatus_IsSafeName(data->CurrentName))
        refused = "CurrentName";
    else if (data->TargetName[0] && !PatcherTaskStatus_IsSafeName(data->TargetName))
        refused = "TargetName";
    if (refused == nullptr && (havePaths & 1)) {
        const char *out = data->OutputPath;
        int deleted = data->PerformDelete != 0 && data->DestructiveUpdate == 0;
        if (PatcherTaskStatus_TrimmedLength(out) == 0 || PatcherTaskStatus_HasParentStep(out) ||
            PatcherTaskStatus_HasControl(out) ||
            (deleted && PatcherTaskStatus_IsBaseOrAncestor(out, data->BasePath)))
            refused = "OutputPath";
    }
    if (refused == nullptr && (havePaths & 2)) {
        const char *copy = data->CopyPath;
        int length = PatcherTaskStatus_TrimmedLength(copy);
        if (length == 0 || PatcherTaskStatus_HasParentStep(copy) ||
            PatcherTaskStatus_HasControl(copy) ||
            (PatcherTaskStatus_IsBaseOrAncestor(copy, data->BasePath) &&
             length != PatcherTaskStatus_TrimmedLength(data->BasePath)))
            refused = "CopyPath";
    }
    if (refused != nullptr) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Refused task status member [%s]", refused);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Read
// ---------------------------------------------------------------------------

// A path read back: relative texts are taken below the base path.
static int PatcherTaskStatus_ReadPath(char *out, const char *base, const char *text) {
    if (text[0] == '/' || base[0] == 0)
        return Zyl_StrCopy(out, text, PATCHER_PATH_SIZE);
    return Zyl_FormatString(out, PATCHER_PATH_SIZE, "%s%s", base, text) ==
           Zyl_StrLen(base) + Zyl_StrLen(text);
}

// One child element. Returns 0 for a value that cannot be taken; *paths gets
// bit 1 for OutputPath and bit 2 for CopyPath.
static int PatcherTaskStatus_ReadField(XmlStruct *xml, XmlNodeStruct *node, const char *name,
                                       PatcherTaskData *data, int *paths) {
    for (int i = 0; i < kFieldCount; i++) {
        const TaskField *field = &kFields[i];
        if (!Zyl_StrEqualNoCase(field->Key, name))
            continue;
        char *at = reinterpret_cast<char *>(data) + field->Offset;
        const char *text = nullptr;
        Xml_GetData(xml, node, &text);
        switch (field->Kind) {
        case kList:
            return Installer_ParseCommands(*reinterpret_cast<InstallerCommandList **>(at), xml,
                                           node);
        case kInt:
            *reinterpret_cast<int32_t *>(at) = Installer_ParseDecimal(text);
            return 1;
        case kFlag:
            Zyl_ParseBool(text, reinterpret_cast<int32_t *>(at), 0);
            return 1;
        case kPath:
            *paths |= field->Offset == offsetof(PatcherTaskData, OutputPath) ? 1 : 2;
            return PatcherTaskStatus_ReadPath(at, data->BasePath, text);
        default:
            return Zyl_StrCopy(at, text, field->Size);
        }
    }
    Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unknown member [%s]", name);
    return 1;
}

int PatcherTaskStatus_Read(XmlStruct *xml, const char *basePath, PatcherTaskStatus *status) {
    ZYL_CHECK_PTR(xml);
    ZYL_CHECK_PTR(basePath);
    ZYL_CHECK_TAG(status, kTag);
    PatcherTaskData *data = &status->Data;
    if (!Zyl_StrCopy(data->BasePath, basePath, sizeof(data->BasePath))) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Base path too long [%s]", basePath);
        data->BasePath[0] = 0;
        return 0;
    }
    XmlNodeStruct *element = nullptr;
    if (!Xml_Find(xml, "PatcherTaskStatus", XML_NO_DEPTH_LIMIT, 0, nullptr, &element)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "Unable to locate PatcherTaskStatus member");
        return 0;
    }
    int paths = 0;
    XmlNodeStruct *child = nullptr;
    for (Xml_GetFirstChild(xml, element, &child); child != nullptr;) {
        int kind = 0;
        const char *name = nullptr;
        Xml_GetKind(xml, child, &kind);
        Xml_GetName(xml, child, &name);
        if (kind == XML_KIND_ELEMENT &&
            !PatcherTaskStatus_ReadField(xml, child, name, data, &paths)) {
            Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to read member [%s]", name);
            return 0;
        }
        if (!Xml_GetNextSibling(xml, child, &child))
            break;
    }
    return PatcherTaskStatus_Check(data, paths);
}
