// Add-uninstaller command: the uninstall entry of the installed application
// (DisplayName, UninstallString, Publisher) written or removed through the
// registry command under the store's machine root.
#include "patcher/installer/adduninstallercommand.h"

#include "core/zyl.h"
#include "patcher/installer/installer.h"
#include "patcher/installer/macro.h"
#include "patcher/installer/registrycommand.h"
#include "patcher/patcherlog.h"

#include <cstddef>

static const char kTag[] = "AddUninstallerCommandStruct";
static const char kTypeName[] = "AddUninstallerCommand";
static const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

struct AddUninstallerCommandStruct {
    const char *Tag;
    char ApplicationName[INSTALLER_TEXT_SIZE];
    char UninstallerKey[INSTALLER_TEXT_SIZE];
    char UninstallerPath[INSTALLER_TEXT_SIZE];
    char Publisher[INSTALLER_TEXT_SIZE];
    char DeleteUninstallKey[INSTALLER_TEXT_SIZE];
};

#define PROPERTY(name, def)                                                                        \
    { #name, def, offsetof(AddUninstallerCommandStruct, name) }
static const InstallerProperty kProperties[] = {
    PROPERTY(ApplicationName, ""),         PROPERTY(UninstallerKey, ""),
    PROPERTY(UninstallerPath, ""),         PROPERTY(Publisher, ""),
    PROPERTY(DeleteUninstallKey, "false"),
};
#undef PROPERTY
enum { kPropertyCount = sizeof(kProperties) / sizeof(kProperties[0]) };

static AddUninstallerCommandStruct *AddUninstallerCommand_Cast(void *record) {
    AddUninstallerCommandStruct *command = static_cast<AddUninstallerCommandStruct *>(record);
    ZYL_CHECK_TAG(command, kTag);
    return command;
}

int AddUninstallerCommand_SetDefaults(void **record, const char *typeName) {
    ZYL_CHECK_PTR(record);
    (void)typeName;
    *record =
        Installer_NewRecord(sizeof(AddUninstallerCommandStruct), kTag, kProperties, kPropertyCount);
    return 1;
}

int AddUninstallerCommand_Parse(void *record, XmlStruct *xml, XmlNodeStruct *node) {
    return Installer_ParseProperties(AddUninstallerCommand_Cast(record), kProperties,
                                     kPropertyCount, xml, node);
}

int AddUninstallerCommand_Serialize(void *record, XmlStruct *xml, XmlNodeStruct *node) {
    return Installer_SerializeProperties(AddUninstallerCommand_Cast(record), kTypeName, kProperties,
                                         kPropertyCount, xml, node);
}

int AddUninstallerCommand_Log(void *record) {
    return Installer_LogProperties(AddUninstallerCommand_Cast(record),
                                   "Running [AddUninstaller] installer command.", kProperties,
                                   kPropertyCount);
}

int AddUninstallerCommand_Destroy(void **record) {
    return Installer_DestroyRecord(record, kTag, sizeof(AddUninstallerCommandStruct));
}

int AddUninstallerCommand_SetProperty(void *record, const char *name, const char *value) {
    return Installer_SetNamedProperty(AddUninstallerCommand_Cast(record), kProperties,
                                      kPropertyCount, name, value);
}

int AddUninstallerCommand_GetProperty(void *record, const char *name, char *value) {
    return Installer_GetNamedProperty(AddUninstallerCommand_Cast(record), kProperties,
                                      kPropertyCount, name, value);
}

// Runs the registry command once for one value name (and value).
static int AddUninstallerCommand_Run(void *registry, const char *name, const char *value,
                                     MacroListStruct *macros, const StopFlag *stop) {
    if (!RegistryCommand_SetProperty(registry, "Name", name) ||
        !RegistryCommand_SetProperty(registry, "Value", value))
        return 0;
    return RegistryCommand_Execute(registry, macros, stop);
}

// The entry's key must be one plain key name: a separator or an empty name
// would point the writes (and the cleanup) at other programs' keys.
static int AddUninstallerCommand_CheckKey(const char *key) {
    if (key[0] == 0 || Zyl_StrHasChar(key, '\\') || Zyl_StrHasChar(key, '/') ||
        Zyl_StrEqual(key, ".") || Zyl_StrEqual(key, "..")) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER, "Invalid uninstaller key. [%s]", key);
        return 0;
    }
    return 1;
}

int AddUninstallerCommand_Execute(void *record, MacroListStruct *macros, const StopFlag *stop) {
    AddUninstallerCommandStruct *command = AddUninstallerCommand_Cast(record);
    AddUninstallerCommandStruct expanded = {};
    if (!Installer_ExpandProperties(command, &expanded, kProperties, kPropertyCount, macros))
        return 0;
    int remove = 0;
    if (!Installer_ParseFlag(expanded.DeleteUninstallKey, &remove)) {
        Patcher_ReportError(PATCHER_ERROR_WORD,
                            "Unknown add uninstaller command DeleteUninstallKey type. [%s]",
                            expanded.DeleteUninstallKey);
        return 0;
    }
    char path[INSTALLER_TEXT_SIZE];
    Zyl_StrCopy(path, kUninstallKey, sizeof(path));
    if (!AddUninstallerCommand_CheckKey(expanded.UninstallerKey))
        return 0;
    if (!Zyl_StrAppend(path, expanded.UninstallerKey, sizeof(path))) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER, "Invalid uninstaller key. [%s]",
                            expanded.UninstallerKey);
        return 0;
    }
    void *registry = nullptr;
    RegistryCommand_SetDefaults(&registry, "");
    RegistryCommand_SetProperty(registry, "Class", "Machine");
    RegistryCommand_SetProperty(registry, "Path", path);
    RegistryCommand_SetProperty(registry, "DeleteKey", remove ? "true" : "false");
    // The values already set are stored in the record verbatim: the macros were
    // expanded above, and the registry command expands again (a no-op without
    // braces).
    int result = 1;
    if (!AddUninstallerCommand_Run(registry, "DisplayName", expanded.ApplicationName, macros, stop))
        result = 0;
    if (result || remove) {
        if (!AddUninstallerCommand_Run(registry, "UninstallString", expanded.UninstallerPath,
                                       macros, stop))
            result = 0;
        if (!AddUninstallerCommand_Run(registry, "Publisher", expanded.Publisher, macros, stop))
            result = 0;
    }
    RegistryCommand_Destroy(&registry);
    return result;
}
