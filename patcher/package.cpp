// Package document reader: walks the "Package" element of a fetched ".package"
// text once, growing the release lists as releases parse (bounded), refusing
// unsafe release names, then sorts both lists by version.
#include "patcher/package.h"

#include "core/alert.h"
#include "core/xml.h"
#include "core/zyl.h"
#include "patcher/installer/installer.h"
#include "patcher/patcher_types.h"
#include "patcher/patcherlog.h"
#include "patcher/taskstatus.h"

#include <algorithm>

static const char kTag[] = "Package";

// A growable list of releases.
struct ReleaseList {
    PackageRelease *Items;
    int Count;
    int Capacity;
    int Refused; // releases dropped past the limit (logged once)
};

struct Package {
    const char *Tag;
    int32_t Type;
    int32_t PrependDirectory;
    int32_t DestructiveUpdate;
    int32_t UseDeployExtension;
    int32_t ProcessDeleteManifest;
    int32_t HasBaseLine;
    char MinimumRuntime[PACKAGE_RUNTIME_SIZE];
    ReleaseList Incremental;
    ReleaseList Progressive;
    InstallerCommandList *PreProcessCommands;
    InstallerCommandList *PostProcessCommands;
    InstallerCommandList *UninstallCommands;
    // Kept across loads when a later document omits them.
    PackageMaintenance Maintenance;
    int32_t PerformExpand;
    int32_t PerformPostExpandDelete;
    char AllowModifiedFiles[PACKAGE_TEXT_SIZE];
    int32_t DeployStamp;
};

static void Package_FreeReleases(ReleaseList *list) {
    if (list->Items != nullptr)
        ZYL_FREE(list->Items, (int64_t)list->Capacity * (int64_t)sizeof(PackageRelease));
    list->Count = 0;
    list->Capacity = 0;
    list->Refused = 0;
}

// Back to the state before any document, except the fields kept across loads.
static void Package_Reset(Package *package) {
    Package_FreeReleases(&package->Incremental);
    Package_FreeReleases(&package->Progressive);
    package->Type = 0;
    package->PrependDirectory = 1;
    package->DestructiveUpdate = 0;
    package->UseDeployExtension = 0;
    package->ProcessDeleteManifest = 0;
    package->HasBaseLine = 0;
    package->MinimumRuntime[0] = 0;
    Installer_ClearCommands(package->PreProcessCommands);
    Installer_ClearCommands(package->PostProcessCommands);
    Installer_ClearCommands(package->UninstallCommands);
}

int Package_Create(Package **package) {
    ZYL_CHECK_PTR(package);
    Package *created = ZYL_NEW(Package);
    created->Tag = kTag;
    Installer_Create(&created->PreProcessCommands);
    Installer_Create(&created->PostProcessCommands);
    Installer_Create(&created->UninstallCommands);
    Package_Reset(created);
    *package = created;
    return 1;
}

int Package_Destroy(Package **package) {
    ZYL_CHECK_PTR(package);
    Package *doomed = *package;
    if (doomed == nullptr)
        return 1;
    ZYL_CHECK_TAG(doomed, kTag);
    *package = nullptr;
    Package_FreeReleases(&doomed->Incremental);
    Package_FreeReleases(&doomed->Progressive);
    Installer_Destroy(&doomed->PreProcessCommands);
    Installer_Destroy(&doomed->PostProcessCommands);
    Installer_Destroy(&doomed->UninstallCommands);
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(Package));
    return 1;
}

// Appends a parsed release, growing the list. 0 (logged) past the limit.
static int Package_AddRelease(ReleaseList *list, const PackageRelease *release) {
    if (list->Count >= PACKAGE_MAX_RELEASES) {
        if (list->Refused++ == 0)
            Patcher_Log(PATCHER_LOG_WARNING, "Too many releases, release [%d] ignored",
                        (int)release->Version);
        return 0;
    }
    if (list->Count == list->Capacity) {
        int capacity = list->Capacity ? list->Capacity * 2 : 8;
        if (capacity > PACKAGE_MAX_RELEASES)
            capacity = PACKAGE_MAX_RELEASES;
        PackageRelease *items =
            static_cast<PackageRelease *>(ZYL_ALLOC((int64_t)capacity * sizeof(PackageRelease)));
        int count = list->Count;
        for (int i = 0; i < count; i++)
            items[i] = list->Items[i];
        Package_FreeReleases(list);
        list->Items = items;
        list->Capacity = capacity;
        list->Count = count;
    }
    list->Items[list->Count++] = *release;
    return 1;
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

static const char *Package_Text(XmlStruct *xml, XmlNodeStruct *node) {
    const char *text = nullptr;
    Xml_GetData(xml, node, &text);
    return text;
}

static int Package_HasControl(const char *text) {
    for (const char *p = text; *p; p++) {
        if ((unsigned char)*p < 32 || *p == 127)
            return 1;
    }
    return 0;
}

// A text member of a release: must fit and hold no control character.
static int Package_ReadReleaseText(char *out, const char *text, const char *name) {
    if (!Zyl_StrCopy(out, text, PACKAGE_TEXT_SIZE) || Package_HasControl(text)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Refused release member [%s]", name);
        return 0;
    }
    return 1;
}

// One child of a "Release". Returns 0 when the release cannot be offered.
static int Package_ReadReleaseMember(PackageRelease *release, XmlStruct *xml, XmlNodeStruct *node,
                                     const char *name) {
    const char *text = Package_Text(xml, node);
    if (Zyl_StrEqualNoCase(name, "Type")) {
        if (Zyl_StrEqualNoCase(text, "Min")) {
            release->DescriptorType = PACKAGE_DESCRIPTOR_MIN;
        } else if (Zyl_StrEqualNoCase(text, "Available")) {
            release->DescriptorType = PACKAGE_DESCRIPTOR_AVAILABLE;
        } else {
            Patcher_ReportError(PATCHER_ERROR_WORD, "Invalid package descriptor type [%s] [%s]",
                                name, text);
            return 0;
        }
    } else if (Zyl_StrEqualNoCase(name, "Version")) {
        release->Version = Installer_ParseDecimal(text);
    } else if (Zyl_StrEqualNoCase(name, "Name")) {
        if (!Package_ReadReleaseText(release->Name, text, name))
            return 0;
        if (text[0] && !PatcherTaskStatus_IsSafeName(text)) {
            Patcher_Log(PATCHER_LOG_WARNING, "Refused release name [%s]", text);
            return 0;
        }
    } else if (Zyl_StrEqualNoCase(name, "SkinSource")) {
        return Package_ReadReleaseText(release->SkinSource, text, name);
    } else if (Zyl_StrEqualNoCase(name, "MetaFile")) {
        return Package_ReadReleaseText(release->MetaFile, text, name);
    } else if (Zyl_StrEqualNoCase(name, "RestartRequired")) {
        Zyl_ParseBool(text, &release->RestartRequired, 0);
    } else if (Zyl_StrEqualNoCase(name, "AvailableReleases")) {
        release->AvailableReleases = Installer_ParseDecimal(text);
    } else {
        Patcher_Log(PATCHER_LOG_WARNING, "Unknown Package member [%s]", name);
    }
    return 1;
}

// Reads one "Release" element and appends it to list when it parsed.
static void Package_ReadRelease(ReleaseList *list, XmlStruct *xml, XmlNodeStruct *element) {
    PackageRelease release = {};
    release.DescriptorType = PACKAGE_DESCRIPTOR_MIN;
    XmlNodeStruct *child = nullptr;
    int members = 0;
    for (Xml_GetFirstChild(xml, element, &child); child != nullptr;) {
        int kind = 0;
        const char *name = nullptr;
        Xml_GetKind(xml, child, &kind);
        Xml_GetName(xml, child, &name);
        if (kind == XML_KIND_ELEMENT) {
            members++;
            if (!Package_ReadReleaseMember(&release, xml, child, name))
                return; // never offered
        }
        if (!Xml_GetNextSibling(xml, child, &child))
            break;
    }
    if (members == 0) {
        Patcher_ReportError(PATCHER_ERROR_WORD, "Package child does not contain base");
        return;
    }
    Package_AddRelease(list, &release);
}

// The element's first child element, or null.
static XmlNodeStruct *Package_FirstElement(XmlStruct *xml, XmlNodeStruct *node) {
    XmlNodeStruct *child = nullptr;
    for (Xml_GetFirstChild(xml, node, &child); child != nullptr;) {
        int kind = 0;
        Xml_GetKind(xml, child, &kind);
        if (kind == XML_KIND_ELEMENT)
            return child;
        if (!Xml_GetNextSibling(xml, child, &child))
            break;
    }
    return nullptr;
}

// The next sibling element of node, or null.
static XmlNodeStruct *Package_NextElement(XmlStruct *xml, XmlNodeStruct *node) {
    XmlNodeStruct *next = node;
    while (Xml_GetNextSibling(xml, next, &next) && next != nullptr) {
        int kind = 0;
        Xml_GetKind(xml, next, &kind);
        if (kind == XML_KIND_ELEMENT)
            return next;
    }
    return nullptr;
}

// "Incremental" or "Progressive" below "Releases": appends its releases.
static void Package_ReadReleaseGroup(ReleaseList *list, XmlStruct *xml, XmlNodeStruct *group) {
    for (XmlNodeStruct *child = Package_FirstElement(xml, group); child != nullptr;
         child = Package_NextElement(xml, child)) {
        const char *name = nullptr;
        Xml_GetName(xml, child, &name);
        if (Zyl_StrEqualNoCase(name, "Release"))
            Package_ReadRelease(list, xml, child);
        else
            Patcher_Log(PATCHER_LOG_WARNING, "Unknown PackageDescriptor member [%s]", name);
    }
}

static void Package_ReadReleases(Package *package, XmlStruct *xml, XmlNodeStruct *element) {
    XmlNodeStruct *child = Package_FirstElement(xml, element);
    if (child == nullptr)
        Patcher_Log(PATCHER_LOG_WARNING, "Releases member has no children");
    for (; child != nullptr; child = Package_NextElement(xml, child)) {
        const char *name = nullptr;
        Xml_GetName(xml, child, &name);
        if (Zyl_StrEqualNoCase(name, "Incremental"))
            Package_ReadReleaseGroup(&package->Incremental, xml, child);
        else if (Zyl_StrEqualNoCase(name, "Progressive"))
            Package_ReadReleaseGroup(&package->Progressive, xml, child);
        else
            Patcher_Log(PATCHER_LOG_WARNING, "Unknown PackageDescriptor member [%s]", name);
    }
}

static void Package_ReadMaintenance(Package *package, XmlStruct *xml, XmlNodeStruct *element) {
    XmlNodeStruct *child = Package_FirstElement(xml, element);
    if (child == nullptr)
        Patcher_Log(PATCHER_LOG_WARNING, "MaintenanceOptions member has no children");
    for (; child != nullptr; child = Package_NextElement(xml, child)) {
        const char *name = nullptr;
        Xml_GetName(xml, child, &name);
        if (Zyl_StrEqualNoCase(name, "MaintenanceUrl"))
            Zyl_StrCopy(package->Maintenance.MaintenanceUrl, Package_Text(xml, child),
                        PACKAGE_TEXT_SIZE);
        else if (Zyl_StrEqualNoCase(name, "AdditionalInfo"))
            Zyl_StrCopy(package->Maintenance.AdditionalInfo, Package_Text(xml, child),
                        PACKAGE_TEXT_SIZE);
    }
}

// The command lists' element names and their failure lines.
static int Package_ReadCommands(Package *package, XmlStruct *xml, XmlNodeStruct *node,
                                const char *name, int *handled) {
    static const char *const kNames[] = {"PreProcessCommands", "PostProcessCommands",
                                         "UninstallCommands"};
    static const char *const kFailures[] = {"Unable to deserialize preprocess commands",
                                            "Unable to deserialize postprocess commands",
                                            "Unable to deserialize uninstall commands"};
    InstallerCommandList *lists[] = {package->PreProcessCommands, package->PostProcessCommands,
                                     package->UninstallCommands};
    *handled = 0;
    for (int i = 0; i < 3; i++) {
        if (!Zyl_StrEqualNoCase(name, kNames[i]))
            continue;
        *handled = 1;
        if (!Installer_ParseCommands(lists[i], xml, node)) {
            Patcher_Log(PATCHER_LOG_WARNING, "%s", kFailures[i]);
            return 0;
        }
    }
    return 1;
}

// A switch: "1"/"0", "TRUE"/"FALSE", ... ; other texts give the default.
static int Package_ReadSwitch(Package *package, XmlStruct *xml, XmlNodeStruct *node,
                              const char *name) {
    struct Switch {
        const char *Name;
        int32_t *Field;
        int Default;
    } switches[] = {
        {"PrependDirectory", &package->PrependDirectory, 0},
        {"DestructiveUpdate", &package->DestructiveUpdate, 0},
        {"UseDeployExtension", &package->UseDeployExtension, 0},
        {"ProcessDeleteManifest", &package->ProcessDeleteManifest, 0},
        {"HasBaseLine", &package->HasBaseLine, 0},
        {"PerformExpand", &package->PerformExpand, 1},
        {"PerformPostExpandDelete", &package->PerformPostExpandDelete, 0},
    };
    for (const Switch &s : switches) {
        if (Zyl_StrEqualNoCase(name, s.Name)) {
            Zyl_ParseBool(Package_Text(xml, node), s.Field, s.Default);
            return 1;
        }
    }
    return 0;
}

// The type's own list for direct "Release" children; null for maintenance.
static ReleaseList *Package_TypeList(Package *package, int type) {
    if (type == PACKAGE_TYPE_PROGRESSIVE || type == PACKAGE_TYPE_PROGRESSIVE_VCDIFF)
        return &package->Progressive;
    if (type == PACKAGE_TYPE_INCREMENTAL || type == PACKAGE_TYPE_INCREMENTAL_VCDIFF)
        return &package->Incremental;
    return nullptr;
}

// One child of "Package". Returns 0 when the document must be refused.
static int Package_ReadMember(Package *package, XmlStruct *xml, XmlNodeStruct *node,
                              const char *name) {
    int handled = 0;
    if (!Package_ReadCommands(package, xml, node, name, &handled))
        return 0;
    if (handled || Package_ReadSwitch(package, xml, node, name))
        return 1;
    const char *text = Package_Text(xml, node);
    if (Zyl_StrEqualNoCase(name, "Type")) {
        // read before the walk
    } else if (Zyl_StrEqualNoCase(name, "MinimumRuntime")) {
        Zyl_StrCopy(package->MinimumRuntime, text, sizeof(package->MinimumRuntime));
    } else if (Zyl_StrEqualNoCase(name, "AllowModifiedFiles")) {
        Zyl_StrCopy(package->AllowModifiedFiles, text, sizeof(package->AllowModifiedFiles));
    } else if (Zyl_StrEqualNoCase(name, "DeployStamp")) {
        package->DeployStamp = Installer_ParseDecimal(text);
    } else if (Zyl_StrEqualNoCase(name, "Release")) {
        ReleaseList *list = Package_TypeList(package, package->Type);
        if (list != nullptr)
            Package_ReadRelease(list, xml, node);
        else
            Patcher_Log(PATCHER_LOG_WARNING, "Release ignored in a maintenance package");
    } else if (Zyl_StrEqualNoCase(name, "Releases")) {
        Package_ReadReleases(package, xml, node);
    } else if (Zyl_StrEqualNoCase(name, "MaintenanceOptions")) {
        Package_ReadMaintenance(package, xml, node);
    } else {
        Patcher_Log(PATCHER_LOG_WARNING, "Unknown Packages member [%s]", name);
    }
    return 1;
}

static int Package_MapType(const char *text, int32_t *type) {
    static const char *const kWords[] = {"Progressive", "Incremental", "IncrementalVcDiff",
                                         "ProgressiveVcDiff", "Maintenance"};
    for (int i = 0; i < 5; i++) {
        if (Zyl_StrEqualNoCase(text, kWords[i])) {
            *type = i + 1;
            return 1;
        }
    }
    return 0;
}

static void Package_Sort(ReleaseList *list) {
    if (list->Count > 1)
        std::stable_sort(
            list->Items, list->Items + list->Count,
            [](const PackageRelease &a, const PackageRelease &b) { return a.Version < b.Version; });
}

static int Package_Read(Package *package, XmlStruct *xml) {
    XmlNodeStruct *element = nullptr;
    XmlNodeStruct *typeNode = nullptr;
    if (!Xml_FindPath(xml, "Package", &element) || !Xml_FindPath(xml, "Package.Type", &typeNode)) {
        Patcher_ReportError(PATCHER_ERROR_WORD, "Unable to locate Package member");
        return 0;
    }
    if (!Xml_HasAttribute(xml, element, "PatcherVersion"))
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to locate PatcherVersion");
    const char *typeText = Package_Text(xml, typeNode);
    if (!Package_MapType(typeText, &package->Type)) {
        Patcher_ReportError(PATCHER_ERROR_WORD, "Invalid PackageType [%s]", typeText);
        return 0;
    }
    for (XmlNodeStruct *child = Package_FirstElement(xml, element); child != nullptr;
         child = Package_NextElement(xml, child)) {
        const char *name = nullptr;
        Xml_GetName(xml, child, &name);
        if (!Package_ReadMember(package, xml, child, name))
            return 0;
    }
    Package_Sort(&package->Incremental);
    Package_Sort(&package->Progressive);
    if (package->DestructiveUpdate && (package->Type == PACKAGE_TYPE_INCREMENTAL_VCDIFF ||
                                       package->Type == PACKAGE_TYPE_PROGRESSIVE_VCDIFF)) {
        Patcher_Log(PATCHER_LOG_WARNING,
                    "Destructive update cannot be used with Vcdiff update types");
        return 0;
    }
    return 1;
}

int Package_LoadBuffer(Package *package, const char *text) {
    ZYL_CHECK_TAG(package, kTag);
    ZYL_CHECK_PTR(text);
    Package_Reset(package);
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    int result = Xml_ParseBuffer(xml, text) && Package_Read(package, xml);
    Xml_Destroy(&xml);
    if (!result)
        Package_Reset(package);
    return result;
}

// ---------------------------------------------------------------------------
// Accessors and release lookup
// ---------------------------------------------------------------------------

#define PACKAGE_GETTER(function, type, expression)                                                 \
    int function(Package *package, type *out) {                                                    \
        ZYL_CHECK_TAG(package, kTag);                                                              \
        ZYL_CHECK_PTR(out);                                                                        \
        *out = expression;                                                                         \
        return 1;                                                                                  \
    }
PACKAGE_GETTER(Package_GetType, int32_t, package->Type)
PACKAGE_GETTER(Package_GetPrependDirectory, int32_t, package->PrependDirectory)
PACKAGE_GETTER(Package_GetDestructiveUpdate, int32_t, package->DestructiveUpdate)
PACKAGE_GETTER(Package_GetUseDeployExtension, int32_t, package->UseDeployExtension)
PACKAGE_GETTER(Package_GetProcessDeleteManifest, int32_t, package->ProcessDeleteManifest)
PACKAGE_GETTER(Package_GetHasBaseLine, int32_t, package->HasBaseLine)
PACKAGE_GETTER(Package_GetPerformExpand, int32_t, package->PerformExpand)
PACKAGE_GETTER(Package_GetPerformPostExpandDelete, int32_t, package->PerformPostExpandDelete)
PACKAGE_GETTER(Package_GetDeployStamp, int32_t, package->DeployStamp)
PACKAGE_GETTER(Package_GetMinimumRuntime, const char *, package->MinimumRuntime)
PACKAGE_GETTER(Package_GetAllowModifiedFiles, const char *, package->AllowModifiedFiles)
PACKAGE_GETTER(Package_GetMaintenance, const PackageMaintenance *, &package->Maintenance)
PACKAGE_GETTER(Package_GetPreProcessCommands, InstallerCommandList *, package->PreProcessCommands)
PACKAGE_GETTER(Package_GetPostProcessCommands, InstallerCommandList *, package->PostProcessCommands)
PACKAGE_GETTER(Package_GetUninstallCommands, InstallerCommandList *, package->UninstallCommands)
#undef PACKAGE_GETTER

int Package_InternalGetPackageDescriptorList(const PackageRelease **list, Package *package,
                                             int *count, int type) {
    ZYL_CHECK_PTR(list);
    ZYL_CHECK_TAG(package, kTag);
    ZYL_CHECK_PTR(count);
    ReleaseList *releases = Package_TypeList(package, type);
    *list = releases != nullptr && releases->Count > 0 ? releases->Items : nullptr;
    *count = releases != nullptr ? releases->Count : 0;
    return 1;
}

int Package_GetLatestRelease(Package *package, int32_t *version, char *name,
                             const PackageRelease **release) {
    ZYL_CHECK_TAG(package, kTag);
    ZYL_CHECK_PTR(version);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(release);
    const PackageRelease *list = nullptr;
    int count = 0;
    Package_InternalGetPackageDescriptorList(&list, package, &count, package->Type);
    if (count <= 0 || list == nullptr) {
        *version = -1;
        Zyl_StrCopy(name, "1.0", PATCHER_SHORT_NAME_SIZE);
        *release = nullptr;
        return 0;
    }
    *release = &list[count - 1];
    *version = list[count - 1].Version;
    Zyl_StrCopy(name, list[count - 1].Name, PATCHER_SHORT_NAME_SIZE);
    return 1;
}

int Package_FindNextRelease(Package *package, int32_t version, const PackageRelease **release) {
    ZYL_CHECK_TAG(package, kTag);
    ZYL_CHECK_PTR(release);
    *release = nullptr;
    const PackageRelease *list = nullptr;
    int count = 0;
    Package_InternalGetPackageDescriptorList(&list, package, &count, package->Type);
    for (int i = 0; i < count; i++) {
        if (list[i].Version > version) {
            *release = &list[i];
            return 1;
        }
    }
    return 0;
}

int Package_FindRelease(Package *package, int32_t version, const PackageRelease **release) {
    ZYL_CHECK_TAG(package, kTag);
    ZYL_CHECK_PTR(release);
    *release = nullptr;
    const PackageRelease *list = nullptr;
    int count = 0;
    Package_InternalGetPackageDescriptorList(&list, package, &count, package->Type);
    for (int i = 0; i < count; i++) {
        if (list[i].Version == version) {
            *release = &list[i];
            return 1;
        }
    }
    return 0;
}
