// Registry command: one value written into, or deleted from, the core's
// file-backed registry store; key paths are kept verbatim, names are case-blind.
#include "patcher/installer/registrycommand.h"

#include "core/registry.h"
#include "core/zyl.h"
#include "patcher/installer/installer.h"
#include "patcher/installer/macro.h"
#include "patcher/patcherlog.h"

#include <cstddef>

static const char kTag[] = "RegistryCommandStruct";
static const char kTypeName[] = "RegistryCommand";

struct RegistryCommandStruct {
    const char *Tag;
    char DeleteKey[INSTALLER_TEXT_SIZE];
    char Class[INSTALLER_TEXT_SIZE];
    char Type[INSTALLER_TEXT_SIZE];
    char Path[INSTALLER_TEXT_SIZE];
    char Name[INSTALLER_TEXT_SIZE];
    char Value[INSTALLER_TEXT_SIZE];
};

#define PROPERTY(name, def)                                                                        \
    { #name, def, offsetof(RegistryCommandStruct, name) }
// Parse and serialize order.
static const InstallerProperty kProperties[] = {
    PROPERTY(Class, "User"), PROPERTY(Type, "Char"), PROPERTY(Path, ""),
    PROPERTY(Name, ""),      PROPERTY(Value, ""),    PROPERTY(DeleteKey, "false"),
};
// Log order: the delete switch first.
static const InstallerProperty kLogOrder[] = {
    PROPERTY(DeleteKey, "false"), PROPERTY(Class, "User"), PROPERTY(Type, "Char"),
    PROPERTY(Path, ""),           PROPERTY(Name, ""),      PROPERTY(Value, ""),
};
#undef PROPERTY
enum { kPropertyCount = sizeof(kProperties) / sizeof(kProperties[0]) };

// Value kinds of the Type words.
enum { kKindBinary, kKindString, kKindExpandString, kKindMultiString, kKindDword };

static const char *const kClassWords[] = {"User",    "Dynamic", "Performance",
                                          "Machine", "Root",    "Config"};

static RegistryCommandStruct *RegistryCommand_Cast(void *record) {
    RegistryCommandStruct *command = static_cast<RegistryCommandStruct *>(record);
    ZYL_CHECK_TAG(command, kTag);
    return command;
}

int RegistryCommand_SetDefaults(void **record, const char *typeName) {
    ZYL_CHECK_PTR(record);
    (void)typeName;
    *record = Installer_NewRecord(sizeof(RegistryCommandStruct), kTag, kProperties, kPropertyCount);
    return 1;
}

int RegistryCommand_Parse(void *record, XmlStruct *xml, XmlNodeStruct *node) {
    return Installer_ParseProperties(RegistryCommand_Cast(record), kProperties, kPropertyCount, xml,
                                     node);
}

int RegistryCommand_Serialize(void *record, XmlStruct *xml, XmlNodeStruct *node) {
    return Installer_SerializeProperties(RegistryCommand_Cast(record), kTypeName, kProperties,
                                         kPropertyCount, xml, node);
}

int RegistryCommand_Log(void *record) {
    return Installer_LogProperties(RegistryCommand_Cast(record),
                                   "Running [Registry] installer command.", kLogOrder,
                                   kPropertyCount);
}

int RegistryCommand_Destroy(void **record) {
    return Installer_DestroyRecord(record, kTag, sizeof(RegistryCommandStruct));
}

int RegistryCommand_SetProperty(void *record, const char *name, const char *value) {
    return Installer_SetNamedProperty(RegistryCommand_Cast(record), kProperties, kPropertyCount,
                                      name, value);
}

int RegistryCommand_GetProperty(void *record, const char *name, char *value) {
    return Installer_GetNamedProperty(RegistryCommand_Cast(record), kProperties, kPropertyCount,
                                      name, value);
}

// ---------------------------------------------------------------------------
// Execute
// ---------------------------------------------------------------------------

static int RegistryCommand_MapClass(const char *word, int *root) {
    for (int i = 0; i < 6; i++) {
        if (Zyl_StrEqual(word, kClassWords[i])) {
            *root = i + 1;
            return 1;
        }
    }
    return 0;
}

static int RegistryCommand_MapType(const char *word, int *kind) {
    static const char *const kWords[] = {"REGISTRY_TYPEBINARY", "Char", "ExpandChar",
                                         "REGISTRY_TYPEINTMSB", "Dword"};
    for (int i = 0; i < 5; i++) {
        if (Zyl_StrEqual(word, kWords[i])) {
            *kind = i;
            return 1;
        }
    }
    return 0;
}

// Reports the unsupported kinds; 1 for the kinds this command handles.
static int RegistryCommand_CheckKind(int kind) {
    if (kind == kKindBinary) {
        Patcher_ReportError(PATCHER_ERROR_WORD,
                            "Binary registry keys are not currently supported.");
        return 0;
    }
    if (kind == kKindMultiString) {
        Patcher_ReportError(PATCHER_ERROR_WORD,
                            "Multi String registry keys are not currently supported.");
        return 0;
    }
    return 1;
}

// 1 when the key holds a value of this name whose type fits the kind.
static int RegistryCommand_HasValue(RegistryStruct *key, const char *name, int kind) {
    static const int kTypes[] = {0, REGISTRY_TYPE_STRING, REGISTRY_TYPE_EXPAND_STRING, 0,
                                 REGISTRY_TYPE_DWORD};
    char found[REGISTRY_NAME_SIZE];
    char data[8];
    int length = 0;
    int type = 0;
    for (int i = 0;
         Registry_EnumValue(key, i, found, sizeof(found), data, sizeof(data), &length, &type);
         i++) {
        if (Zyl_StrEqualNoCase(found, name))
            return type == kTypes[kind];
    }
    return 0;
}

// Removes the emptied keys from path upwards; never a top-level key.
static void RegistryCommand_CleanUp(int root, const char *path) {
    char current[INSTALLER_TEXT_SIZE];
    const char *start = path;
    while (*start == '\\' || *start == '/')
        start++;
    Zyl_StrCopy(current, start, sizeof(current));
    for (;;) {
        int cut = -1;
        for (int i = 0; current[i]; i++) {
            if (current[i] == '\\' || current[i] == '/')
                cut = i;
        }
        if (cut <= 0)
            return; // a top-level key (or the root) stays
        RegistryStruct *key = nullptr;
        if (!Registry_OpenExistingKey(&key, root, current))
            return;
        int subkeys = 0;
        int values = 0;
        int known = Registry_GetKeyInfo(key, &subkeys, &values);
        Registry_CloseKey(&key);
        if (!known || subkeys != 0 || values != 0)
            return;
        Patcher_Log(PATCHER_LOG_INFO, "Delete parent [Directory: %s]", current);
        if (!Registry_DeleteKeyTree(root, current))
            return;
        current[cut] = 0;
    }
}

static int RegistryCommand_DeleteValue(int root, const RegistryCommandStruct *command, int kind) {
    RegistryStruct *key = nullptr;
    if (!Registry_KeyExists(root, command->Path)) {
        Patcher_Log(PATCHER_LOG_INFO,
                    "Registry entry not deleted because it wasn't found. [key: %i - %s]", root,
                    command->Path);
        return 1;
    }
    if (!Registry_OpenExistingKey(&key, root, command->Path)) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER, "Failed to open registry key. [key: %i - %s]",
                            root, command->Path);
        return 0;
    }
    if (!RegistryCommand_CheckKind(kind) || !RegistryCommand_HasValue(key, command->Name, kind)) {
        Patcher_Log(PATCHER_LOG_INFO,
                    "Registry entry not deleted because it wasn't found. [key: %i - %s\\%s]", root,
                    command->Path, command->Name);
        Registry_CloseKey(&key);
        return 1;
    }
    int deleted = Registry_DeleteValue(key, command->Name);
    Registry_CloseKey(&key);
    if (!deleted) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER,
                            "Failed to delete registry key. [key: %i - %s]", root, command->Path);
        return 0;
    }
    Patcher_Log(PATCHER_LOG_INFO, "Successfully delete [Path: %s, Name: %s]", command->Path,
                command->Name);
    RegistryCommand_CleanUp(root, command->Path);
    return 1;
}

static int RegistryCommand_WriteValue(int root, const RegistryCommandStruct *command, int kind) {
    RegistryStruct *key = nullptr;
    if (!RegistryCommand_CheckKind(kind)) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER,
                            "Failed to create registry entry.  [key: %i - %s]", root,
                            command->Path);
        return 0;
    }
    if (!Registry_OpenKey(&key, root, command->Path)) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER, "Failed to get registry key. [key: %i - %s]",
                            root, command->Path);
        return 0;
    }
    int written = 0;
    if (kind == kKindString)
        written = Registry_SetString(key, command->Name, command->Value);
    else if (kind == kKindExpandString)
        written = Registry_SetExpandString(key, command->Name, command->Value);
    else if (kind == kKindDword)
        written = Registry_SetInt32(key, command->Name, Installer_ParseDecimal(command->Value));
    Registry_CloseKey(&key);
    if (!written) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER,
                            "Failed to create registry entry.  [key: %i - %s]", root,
                            command->Path);
        return 0;
    }
    return 1;
}

int RegistryCommand_Execute(void *record, MacroListStruct *macros, const StopFlag *stop) {
    RegistryCommandStruct *command = RegistryCommand_Cast(record);
    (void)stop;
    RegistryCommandStruct expanded = {};
    if (!Installer_ExpandProperties(command, &expanded, kProperties, kPropertyCount, macros))
        return 0;
    int root = 0;
    int kind = 0;
    int deleteKey = 0;
    if (!RegistryCommand_MapClass(expanded.Class, &root)) {
        Patcher_ReportError(PATCHER_ERROR_WORD, "Unknown registry command Class type. [%s]",
                            expanded.Class);
        return 0;
    }
    if (!RegistryCommand_MapType(expanded.Type, &kind)) {
        Patcher_ReportError(PATCHER_ERROR_WORD, "Unknown registry command Type type. [%s]",
                            expanded.Type);
        return 0;
    }
    if (!Installer_ParseFlag(expanded.DeleteKey, &deleteKey)) {
        Patcher_ReportError(PATCHER_ERROR_WORD,
                            "Unknown registry process command DeleteKey type. [%s]",
                            expanded.DeleteKey);
        return 0;
    }
    if (deleteKey)
        return RegistryCommand_DeleteValue(root, &expanded, kind);
    return RegistryCommand_WriteValue(root, &expanded, kind);
}
