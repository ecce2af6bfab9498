// Version document: reads and writes ".version" with the core's XML reader and
// its atomic file writer; the nested task status carries an interrupted update
// across restarts and between the launcher and the self-updater.
#include "patcher/packageversion.h"

#include "core/alert.h"
#include "core/file.h"
#include "core/xml.h"
#include "core/zyl.h"
#include "patcher/installer/installer.h"
#include "patcher/taskstatus.h"

// Largest version document read (bytes); real ones are a few kilobytes.
static const int64_t kMaxDocumentSize = 16 * 1024 * 1024;

static const char kTag[] = "PackageVersion";
// Oldest document version this reader understands.
static const double kOldestReadable = 1.008;
// The "xsi" prefix of the command lists' "xsi:type" attributes.
static const char kXsiNamespace[] = "http://www.w3.org/2001/XMLSchema-instance";

struct PackageVersion {
    const char *Tag;
    int32_t Version;
    char Name[PACKAGEVERSION_NAME_SIZE];
    int32_t InProgress;
    PatcherTaskStatus *TaskStatus; // owned
};

int PackageVersion_Create(PackageVersion **version) {
    ZYL_CHECK_PTR(version);
    PackageVersion *created = ZYL_NEW(PackageVersion);
    created->Tag = kTag;
    created->Version = -1;
    Zyl_StrCopy(created->Name, "1.0", sizeof(created->Name));
    PatcherTaskStatus_Create(&created->TaskStatus);
    *version = created;
    return 1;
}

int PackageVersion_Destroy(PackageVersion **version) {
    ZYL_CHECK_PTR(version);
    PackageVersion *doomed = *version;
    if (doomed == nullptr)
        return 1;
    ZYL_CHECK_TAG(doomed, kTag);
    *version = nullptr;
    PatcherTaskStatus_Destroy(&doomed->TaskStatus);
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(PackageVersion));
    return 1;
}

int PackageVersion_GetVersion(PackageVersion *version, int32_t *number) {
    ZYL_CHECK_TAG(version, kTag);
    ZYL_CHECK_PTR(number);
    *number = version->Version;
    return 1;
}

int PackageVersion_GetName(PackageVersion *version, const char **name) {
    ZYL_CHECK_TAG(version, kTag);
    ZYL_CHECK_PTR(name);
    *name = version->Name;
    return 1;
}

int PackageVersion_GetInProgress(PackageVersion *version, int32_t *inProgress) {
    ZYL_CHECK_TAG(version, kTag);
    ZYL_CHECK_PTR(inProgress);
    *inProgress = version->InProgress;
    return 1;
}

int PackageVersion_GetTaskStatus(PackageVersion *version, PatcherTaskStatus **status) {
    ZYL_CHECK_TAG(version, kTag);
    ZYL_CHECK_PTR(status);
    *status = version->TaskStatus;
    return 1;
}

int PackageVersion_ResetVersion(PackageVersion *version) {
    ZYL_CHECK_TAG(version, kTag);
    version->Version = 0;
    return 1;
}

int PackageVersion_SetFromTask(PatcherTaskStatus *status, PackageVersion *version,
                               int32_t inProgress) {
    ZYL_CHECK_TAG(version, kTag);
    PatcherTaskData *data = nullptr;
    PatcherTaskStatus_GetData(status, &data);
    version->Version = data->CurrentVersion;
    Zyl_StrCopy(version->Name, data->CurrentName, sizeof(version->Name));
    version->InProgress = inProgress;
    return PatcherTaskStatus_Copy(version->TaskStatus, status);
}

// ---------------------------------------------------------------------------
// Load
// ---------------------------------------------------------------------------

// The children of "PackageVersion". Returns 0 when the task status is refused.
static int PackageVersion_ReadMembers(PackageVersion *version, XmlStruct *xml,
                                      XmlNodeStruct *element, const char *basePath) {
    XmlNodeStruct *child = nullptr;
    for (Xml_GetFirstChild(xml, element, &child); child != nullptr;) {
        int kind = 0;
        const char *name = nullptr;
        const char *text = nullptr;
        Xml_GetKind(xml, child, &kind);
        Xml_GetName(xml, child, &name);
        Xml_GetData(xml, child, &text);
        if (kind != XML_KIND_ELEMENT) {
            // attributes and comments are no members
        } else if (Zyl_StrEqualNoCase(name, "Version")) {
            version->Version = Installer_ParseDecimal(text);
        } else if (Zyl_StrEqualNoCase(name, "Name")) {
            Zyl_StrCopy(version->Name, text, sizeof(version->Name));
        } else if (Zyl_StrEqualNoCase(name, "InProgress")) {
            Zyl_ParseBool(text, &version->InProgress, 0);
        } else if (Zyl_StrEqualNoCase(name, "PatcherTaskStatus")) {
            if (!PatcherTaskStatus_Read(xml, basePath, version->TaskStatus))
                return 0;
        } else {
            Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unknown package version member [%s]",
                      name);
        }
        if (!Xml_GetNextSibling(xml, child, &child))
            break;
    }
    return 1;
}

// Finds "PackageVersion", checks its "PatcherVersion" and reads the members.
static int PackageVersion_Parse(PackageVersion *version, XmlStruct *xml, const char *basePath) {
    XmlNodeStruct *element = nullptr;
    if (!Xml_Find(xml, "PackageVersion", XML_NO_DEPTH_LIMIT, 0, nullptr, &element)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to locate PackageVersion member");
        return 0;
    }
    char patcherVersion[320];
    if (!Xml_HasAttribute(xml, element, "PatcherVersion")) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to locate PatcherVersion");
        return 0;
    }
    Xml_GetAttribute(xml, element, "PatcherVersion", patcherVersion, sizeof(patcherVersion));
    if (Zyl_AtoF(patcherVersion) < kOldestReadable)
        return 0;
    if (!PackageVersion_ReadMembers(version, xml, element, basePath))
        return 0;
    if (!version->InProgress) {
        PatcherTaskData *data = nullptr;
        PatcherTaskStatus_GetData(version->TaskStatus, &data);
        data->CurrentVersion = version->Version;
        data->TargetVersion = version->Version;
        Zyl_StrCopy(data->CurrentName, version->Name, sizeof(data->CurrentName));
        Zyl_StrCopy(data->TargetName, version->Name, sizeof(data->TargetName));
    }
    return 1;
}

// 1 when the document ends (blanks aside) with the end tag of its root element.
static int PackageVersion_IsWhole(const char *text, int64_t length) {
    static const char kEnd[] = "</PackageVersion>";
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t' ||
                          text[length - 1] == '\r' || text[length - 1] == '\n'))
        length--;
    int64_t tag = (int64_t)sizeof(kEnd) - 1;
    return length >= tag && Zyl_MemEqual(text + length - tag, kEnd, tag);
}

int PackageVersion_LoadVersion(PackageVersion *version, const char *path) {
    ZYL_CHECK_TAG(version, kTag);
    ZYL_CHECK_PTR(path);
    // The base path is the document's folder; only '/' separates folders here.
    char basePath[320];
    if (!Zyl_StrCopy(basePath, path, sizeof(basePath))) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Version path too long [%s]", path);
        return 0;
    }
    int cut = 0;
    basePath[Zyl_StrFindLastChar(basePath, '/', &cut) ? cut + 1 : 0] = 0;
    char *text = nullptr;
    int64_t length = 0;
    if (!File_ReadAll(path, kMaxDocumentSize, &text, &length)) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unable to load version [%s]", path);
        return 0;
    }
    int result = 0;
    if (!PackageVersion_IsWhole(text, length)) {
        // The XML reader takes a cut document as if it ended there, and a cut task
        // status would read as one with nothing left to do.
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Version document cut short [%s]", path);
    } else {
        XmlStruct *xml = nullptr;
        Xml_Create(&xml);
        if (Xml_ParseBuffer(xml, text))
            result = PackageVersion_Parse(version, xml, basePath);
        else
            Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unable to load version [%s]", path);
        Xml_Destroy(&xml);
    }
    ZYL_FREE(text, length + 1);
    return result;
}

// ---------------------------------------------------------------------------
// Save
// ---------------------------------------------------------------------------

static int PackageVersion_AddText(XmlStruct *xml, XmlNodeStruct *parent, const char *name,
                                  const char *text) {
    XmlNodeStruct *node = nullptr;
    return Xml_AddElement(xml, parent, nullptr, &node, name) && Xml_SetData(xml, node, text);
}

// Builds the whole document. 0 when the task status could not be written.
static int PackageVersion_Build(PackageVersion *version, XmlStruct *xml) {
    XmlNodeStruct *declaration = nullptr;
    XmlNodeStruct *root = nullptr;
    Xml_AddElement(xml, nullptr, nullptr, &declaration, "xml");
    Xml_SetKind(xml, declaration, XML_KIND_DECLARATION);
    Xml_AddAttribute(xml, declaration, "version", "1.0");
    Xml_AddElement(xml, nullptr, nullptr, &root, "PackageVersion");
    Xml_AddAttribute(xml, root, "PatcherVersion", PACKAGEVERSION_PATCHER_VERSION);
    Xml_AddAttribute(xml, root, "xmlns:xsi", kXsiNamespace);
    char number[16];
    Zyl_FormatString(number, sizeof(number), "%d", (int)version->Version);
    int ok =
        PackageVersion_AddText(xml, root, "Version", number) &&
        PackageVersion_AddText(xml, root, "Name", version->Name) &&
        PackageVersion_AddText(xml, root, "InProgress", version->InProgress ? "TRUE" : "FALSE");
    if (!ok)
        return 0;
    if (version->InProgress)
        return PatcherTaskStatus_Write(xml, version->TaskStatus, root);
    return PatcherTaskStatus_WriteUninstall(xml, version->TaskStatus, root);
}

int PackageVersion_Save(PackageVersion *version, const char *path) {
    ZYL_CHECK_TAG(version, kTag);
    ZYL_CHECK_PTR(path);
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    int result = PackageVersion_Build(version, xml);
    if (result && !Xml_SaveFile(xml, path)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to save xml buffer");
        result = 0;
    }
    Xml_Destroy(&xml);
    if (result)
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "SaveVersion [%d, %s] successful",
                  (int)version->Version, version->InProgress ? "TRUE" : "FALSE");
    return result;
}
