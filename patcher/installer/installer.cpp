// Installer command list: a singly linked list of typed command records, its XML
// form, deep copies through XML, and the run of a list with its macro list.
// Lists are short (a handful of commands); appends walk to the tail.
#include "patcher/installer/installer.h"

#include "core/oshelper.h"
#include "core/stopflag.h"
#include "core/xml.h"
#include "core/xmlhelper.h"
#include "core/zyl.h"
#include "patcher/installer/adduninstallercommand.h"
#include "patcher/installer/comregistercommand.h"
#include "patcher/installer/createprocesscommand.h"
#include "patcher/installer/macro.h"
#include "patcher/installer/registrycommand.h"
#include "patcher/installer/shellcommand.h"
#include "patcher/installer/shortcutcommand.h"
#include "patcher/patcherlog.h"

#include <climits>
#include <cstring>

static const char kListTag[] = "InstallerCommandList";
static const char kNodeTag[] = "InstallerCommandNode";

struct InstallerCommandNode {
    const char *Tag;
    void *Record; // owned; freed by Type->Destroy
    const InstallerCommandType *Type;
    InstallerCommandNode *Next;
};

struct InstallerCommandList {
    const char *Tag;
    InstallerCommandNode *First;
    InstallerCommandNode *Last; // appends without a walk
    int Count;                  // at most INSTALLER_MAX_COMMANDS
};

#define INSTALLER_TYPE(name, prefix)                                                               \
    {                                                                                              \
        name, prefix##_SetDefaults, prefix##_Parse, prefix##_Execute, prefix##_Log,                \
            prefix##_Serialize, prefix##_Destroy                                                   \
    }

static const InstallerCommandType kTypes[] = {
    INSTALLER_TYPE("RegistryCommand", RegistryCommand),
    INSTALLER_TYPE("CreateProcessCommand", CreateProcessCommand),
    INSTALLER_TYPE("DXCreateProcessCommand", CreateProcessCommand),
    INSTALLER_TYPE("ShellCommand", ShellCommand),
    INSTALLER_TYPE("ComRegisterCommand", ComRegisterCommand),
    INSTALLER_TYPE("ShortcutCommand", ShortcutCommand),
    INSTALLER_TYPE("AddUninstallerCommand", AddUninstallerCommand),
};
enum { kTypeCount = sizeof(kTypes) / sizeof(kTypes[0]), kCreateProcessType = 1, kDxType = 2 };

int Installer_Create(InstallerCommandList **list) {
    ZYL_CHECK_PTR(list);
    InstallerCommandList *created = ZYL_NEW(InstallerCommandList);
    created->Tag = kListTag;
    *list = created;
    return 1;
}

int Installer_Destroy(InstallerCommandList **list) {
    ZYL_CHECK_PTR(list);
    InstallerCommandList *doomed = *list;
    if (doomed == nullptr)
        return 1;
    ZYL_CHECK_TAG(doomed, kListTag);
    *list = nullptr;
    Installer_ClearCommands(doomed);
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(InstallerCommandList));
    return 1;
}

int Installer_ClearCommands(InstallerCommandList *list) {
    ZYL_CHECK_TAG(list, kListTag);
    InstallerCommandNode *node = list->First;
    list->First = nullptr;
    list->Last = nullptr;
    list->Count = 0;
    while (node != nullptr) {
        ZYL_CHECK_TAG(node, kNodeTag);
        InstallerCommandNode *next = node->Next;
        node->Type->Destroy(&node->Record);
        node->Tag = Zyl_DeadTag;
        ZYL_FREE(node, sizeof(InstallerCommandNode));
        node = next;
    }
    return 1;
}

int Installer_GetCount(InstallerCommandList *list, int *count) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(count);
    *count = list->Count;
    return 1;
}

int Installer_GetCommandType(InstallerCommandList *list, int index, const char **typeName) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(typeName);
    *typeName = nullptr;
    InstallerCommandNode *node = list->First;
    for (int i = 0; node != nullptr && i < index; i++)
        node = node->Next;
    if (node == nullptr || index < 0)
        return 0;
    *typeName = node->Type->Name;
    return 1;
}

int Installer_AppendCommand(InstallerCommandList *list, const InstallerCommandType *type,
                            void *record) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(type);
    ZYL_CHECK_PTR(record);
    InstallerCommandNode *node = ZYL_NEW(InstallerCommandNode);
    node->Tag = kNodeTag;
    node->Record = record;
    node->Type = type;
    if (list->Last != nullptr)
        list->Last->Next = node;
    else
        list->First = node;
    list->Last = node;
    list->Count++;
    return 1;
}

int Installer_CreateCommand(const InstallerCommandType *type, const char *typeNameArgument,
                            InstallerCommandList *list, XmlStruct *xml, XmlNodeStruct *node) {
    ZYL_CHECK_PTR(type);
    ZYL_CHECK_PTR(typeNameArgument);
    ZYL_CHECK_TAG(list, kListTag);
    void *record = nullptr;
    if (!type->SetDefaults(&record, typeNameArgument))
        return 0;
    if (!type->Parse(record, xml, node)) {
        type->Destroy(&record);
        return 0;
    }
    return Installer_AppendCommand(list, type, record);
}

int Installer_CreateLegacyCommand(XmlStruct *xml, XmlNodeStruct *element,
                                  InstallerCommandList *list) {
    ZYL_CHECK_PTR(xml);
    ZYL_CHECK_PTR(element);
    ZYL_CHECK_TAG(list, kListTag);
    const InstallerCommandType *type = &kTypes[kCreateProcessType];
    const char *app = nullptr;
    Xml_GetData(xml, element, &app);
    void *record = nullptr;
    if (!type->SetDefaults(&record, ""))
        return 0;
    if (!CreateProcessCommand_SetProperty(record, "App", app)) {
        type->Destroy(&record);
        return 0;
    }
    return Installer_AppendCommand(list, type, record);
}

static const InstallerCommandType *Installer_FindType(const char *name) {
    for (int i = 0; i < kTypeCount; i++) {
        if (Zyl_StrEqual(kTypes[i].Name, name))
            return &kTypes[i];
    }
    return nullptr;
}

// One "Command" element. Returns 0 only when a known type failed to build.
static int Installer_ParseCommandElement(InstallerCommandList *list, XmlStruct *xml,
                                         XmlNodeStruct *child, int index) {
    char typeName[XMLHELPER_TEXT_SIZE];
    if (!XmlHelper_GetXsiType(typeName, xml, child)) {
        Patcher_Log(PATCHER_LOG_WARNING,
                    "Command node found with no command \"type\" node. [Command Index: %i]. "
                    "Skipping...",
                    index);
        return 1;
    }
    const InstallerCommandType *type = Installer_FindType(typeName);
    if (type == nullptr) {
        Patcher_Log(PATCHER_LOG_WARNING,
                    "Unknown command type. [Command Index: %i] [Type: %s]. Skipping...", index,
                    typeName);
        return 1;
    }
    const char *argument = type == &kTypes[kDxType] ? type->Name : "";
    if (!Installer_CreateCommand(type, argument, list, xml, child)) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER,
                            "Command failed to execute. Aborting install. [Command Index: %i]",
                            index);
        return 0;
    }
    return 1;
}

int Installer_ParseCommands(InstallerCommandList *list, XmlStruct *xml,
                            XmlNodeStruct *listElement) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(xml);
    ZYL_CHECK_PTR(listElement);
    Installer_ClearCommands(list);
    XmlNodeStruct *child = nullptr;
    Xml_GetFirstChild(xml, listElement, &child);
    for (int index = 0; child != nullptr; index++) {
        int kind = 0;
        const char *name = nullptr;
        Xml_GetKind(xml, child, &kind);
        Xml_GetName(xml, child, &name);
        if (kind != XML_KIND_ELEMENT) {
            index--; // comments and declarations are no commands
        } else if (list->Count >= INSTALLER_MAX_COMMANDS) {
            Patcher_Log(PATCHER_LOG_WARNING, "Too many commands. [Command Index: %i]. Skipping...",
                        index);
        } else if (Zyl_StrEqual(name, "PreProcessCommand") ||
                   Zyl_StrEqual(name, "PostProcessCommand")) {
            if (!Installer_CreateLegacyCommand(xml, child, list))
                Patcher_Log(PATCHER_LOG_WARNING,
                            "Unable to create backwards compatible command. [Command Index: %i]. "
                            "Skipping...",
                            index);
        } else if (Zyl_StrEqual(name, "Command")) {
            if (!Installer_ParseCommandElement(list, xml, child, index))
                return 0;
        } else {
            Patcher_Log(PATCHER_LOG_WARNING,
                        "Unknown command name. [Command Index: %i] [Name: %s]. Skipping...", index,
                        name);
        }
        if (!Xml_GetNextSibling(xml, child, &child))
            break;
    }
    return 1;
}

int Installer_SerializeCommands(InstallerCommandList *list, XmlNodeStruct *listElement,
                                XmlStruct *xml) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(listElement);
    ZYL_CHECK_PTR(xml);
    int result = 1;
    for (InstallerCommandNode *node = list->First; node != nullptr; node = node->Next) {
        XmlNodeStruct *element = nullptr;
        Xml_AddElement(xml, listElement, nullptr, &element, "Command");
        if (!node->Type->Serialize(node->Record, xml, element))
            result = 0;
    }
    return result;
}

int Installer_CopyCommands(InstallerCommandList *target, InstallerCommandList *source) {
    ZYL_CHECK_TAG(target, kListTag);
    ZYL_CHECK_TAG(source, kListTag);
    if (target == source)
        return 1;
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    XmlNodeStruct *temp = nullptr;
    Xml_AddElement(xml, nullptr, nullptr, &temp, "Temp");
    Installer_SerializeCommands(source, temp, xml);
    Installer_ClearCommands(target);
    int result = Installer_ParseCommands(target, xml, temp);
    Xml_Destroy(&xml);
    return result;
}

// ---------------------------------------------------------------------------
// Run
// ---------------------------------------------------------------------------

// Adds a special folder's path as a macro (empty when the folder is unknown).
static void Installer_SetFolderMacro(MacroListStruct *macros, const char *key, int folder) {
    char path[MACRO_TEXT_SIZE];
    if (!Zyl_GetSpecialFolder(folder, path, sizeof(path)))
        path[0] = 0;
    Macro_Set(macros, key, path);
}

// The built-in macros in their documented order, then the expanders.
static void Installer_BuildMacros(MacroListStruct *macros, const char *rootPath,
                                  const char *applicationPath, const char *outputPath,
                                  const char *processPath) {
    Installer_SetFolderMacro(macros, "Desktop", ZYL_FOLDER_DESKTOPDIRECTORY);
    Installer_SetFolderMacro(macros, "ProgramFiles", ZYL_FOLDER_PROGRAM_FILES);
    Installer_SetFolderMacro(macros, "StartMenu", ZYL_FOLDER_STARTMENU);
    Installer_SetFolderMacro(macros, "UserAppData", ZYL_FOLDER_APPDATA);
    Macro_Set(macros, "DownloadPath", outputPath);
    Macro_Set(macros, "OutputPath", outputPath);
    Macro_Set(macros, "ProcessPath", processPath);
    Macro_Set(macros, "RootPath", rootPath);
    Macro_Set(macros, "CopyPath", rootPath);
    Macro_Set(macros, "ApplicationPath", applicationPath);
    Macro_LoadExpanders(macros);
}

int Installer_Execute(const char *rootPath, const char *applicationPath, InstallerCommandList *list,
                      const char *outputPath, const char *processPath, const StopFlag *stop) {
    ZYL_CHECK_PTR(rootPath);
    ZYL_CHECK_PTR(applicationPath);
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(outputPath);
    ZYL_CHECK_PTR(processPath);
    Patcher_Log(PATCHER_LOG_INFO, "Installer execute starting.");
    MacroListStruct *macros = nullptr;
    Macro_Create(&macros);
    Installer_BuildMacros(macros, rootPath, applicationPath, outputPath, processPath);
    int result = 1;
    int stopped = 0;
    for (InstallerCommandNode *node = list->First; node != nullptr; node = node->Next) {
        if (stop != nullptr && StopFlag_Test(stop) != 0) {
            stopped = 1;
            break;
        }
        node->Type->Log(node->Record);
        if (!node->Type->Execute(node->Record, macros, stop)) {
            result = 0;
            break;
        }
    }
    Macro_Destroy(&macros);
    if (stopped) {
        // The list did not run to its end: the task runs all of it again later.
        Patcher_Log(PATCHER_LOG_INFO, "Installer execute stopped.");
        return 0;
    }
    if (!result) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER, "Installer failed.");
        return 0;
    }
    Patcher_Log(PATCHER_LOG_INFO, "Installer execute complete.");
    return 1;
}

// ---------------------------------------------------------------------------
// Property tables
// ---------------------------------------------------------------------------

static char *Installer_Field(void *record, const InstallerProperty *property) {
    return static_cast<char *>(record) + property->Offset;
}

static const char *Installer_ConstField(const void *record, const InstallerProperty *property) {
    return static_cast<const char *>(record) + property->Offset;
}

void *Installer_NewRecord(size_t size, const char *tag, const InstallerProperty *properties,
                          int count) {
    ZYL_CHECK_PTR(tag);
    ZYL_CHECK_PTR(properties);
    void *record = ZYL_ALLOC(size);
    *static_cast<const char **>(record) = tag;
    for (int i = 0; i < count; i++)
        Zyl_StrCopy(Installer_Field(record, &properties[i]), properties[i].Default,
                    INSTALLER_TEXT_SIZE);
    return record;
}

int Installer_SetProperty(XmlNodeStruct *node, const InstallerProperty *property, XmlStruct *xml,
                          void *record) {
    ZYL_CHECK_PTR(node);
    ZYL_CHECK_PTR(property);
    ZYL_CHECK_PTR(xml);
    ZYL_CHECK_PTR(record);
    XmlNodeStruct *child = nullptr;
    if (!XmlHelper_FindChild(node, property->Name, &child, xml))
        return 1;
    const char *text = nullptr;
    Xml_GetData(xml, child, &text);
    if (!Zyl_StrCopy(Installer_Field(record, property), text, INSTALLER_TEXT_SIZE)) {
        Installer_Field(record, property)[0] = 0;
        Patcher_ReportError(PATCHER_ERROR_INSTALLER, "Failed to set property for command. [%s]",
                            property->Name);
        return 0;
    }
    return 1;
}

int Installer_WriteProperty(XmlStruct *xml, XmlNodeStruct *node, const char *name,
                            const char *value) {
    ZYL_CHECK_PTR(xml);
    ZYL_CHECK_PTR(node);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(value);
    XmlNodeStruct *child = nullptr;
    if (!Xml_AddElement(xml, node, nullptr, &child, name) || !Xml_SetData(xml, child, value)) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER,
                            "Failed to write node for command. [Node: %s] [Value: %s]", name,
                            value);
        return 0;
    }
    return 1;
}

int Installer_ParseProperties(void *record, const InstallerProperty *properties, int count,
                              XmlStruct *xml, XmlNodeStruct *node) {
    int result = 1;
    for (int i = 0; i < count; i++) {
        if (!Installer_SetProperty(node, &properties[i], xml, record))
            result = 0;
    }
    return result;
}

int Installer_SerializeProperties(const void *record, const char *typeName,
                                  const InstallerProperty *properties, int count, XmlStruct *xml,
                                  XmlNodeStruct *node) {
    ZYL_CHECK_PTR(record);
    ZYL_CHECK_PTR(typeName);
    XmlHelper_SetAttribute(xml, "xsi:type", node, typeName);
    int result = 1;
    for (int i = 0; i < count; i++) {
        if (!Installer_WriteProperty(xml, node, properties[i].Name,
                                     Installer_ConstField(record, &properties[i])))
            result = 0;
    }
    return result;
}

int Installer_LogProperties(const void *record, const char *header,
                            const InstallerProperty *properties, int count) {
    ZYL_CHECK_PTR(record);
    ZYL_CHECK_PTR(header);
    Patcher_Log(PATCHER_LOG_INFO, "%s", header);
    for (int i = 0; i < count; i++)
        Patcher_Log(PATCHER_LOG_INFO, "%s: [%s]", properties[i].Name,
                    Installer_ConstField(record, &properties[i]));
    return 1;
}

// The leading field every installer record shares.
struct InstallerRecordHead {
    const char *Tag;
};

int Installer_DestroyRecord(void **record, const char *tag, size_t size) {
    ZYL_CHECK_PTR(record);
    if (*record == nullptr)
        return 1;
    InstallerRecordHead *doomed = static_cast<InstallerRecordHead *>(*record);
    ZYL_CHECK_TAG(doomed, tag);
    *record = nullptr;
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, size);
    return 1;
}

int Installer_GetNamedProperty(const void *record, const InstallerProperty *properties, int count,
                               const char *name, char *value) {
    ZYL_CHECK_PTR(record);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(value);
    value[0] = 0;
    for (int i = 0; i < count; i++) {
        if (Zyl_StrEqual(properties[i].Name, name))
            return Zyl_StrCopy(value, Installer_ConstField(record, &properties[i]),
                               INSTALLER_TEXT_SIZE);
    }
    return 0;
}

int Installer_SetNamedProperty(void *record, const InstallerProperty *properties, int count,
                               const char *name, const char *value) {
    ZYL_CHECK_PTR(record);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(value);
    for (int i = 0; i < count; i++) {
        if (Zyl_StrEqual(properties[i].Name, name)) {
            if (Zyl_StrLen(value) >= INSTALLER_TEXT_SIZE)
                return 0;
            return Zyl_StrCopy(Installer_Field(record, &properties[i]), value, INSTALLER_TEXT_SIZE);
        }
    }
    return 0;
}

int Installer_ExpandProperties(const void *source, void *target,
                               const InstallerProperty *properties, int count,
                               MacroListStruct *macros) {
    ZYL_CHECK_PTR(source);
    ZYL_CHECK_PTR(target);
    for (int i = 0; i < count; i++) {
        if (!Macro_Expand(macros, Installer_ConstField(source, &properties[i]),
                          Installer_Field(target, &properties[i])))
            return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Words
// ---------------------------------------------------------------------------

int Installer_ParseFlag(const char *text, int *flag) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(flag);
    *flag = 0;
    if (Zyl_StrEqual(text, "true")) {
        *flag = 1;
        return 1;
    }
    return Zyl_StrEqual(text, "false");
}

int Installer_ParseShow(const char *text, int *show) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(show);
    static const char *const kWords[] = {"Hide", "Normal", "Minimized", "Maximized"};
    *show = 0;
    for (int i = 0; i < 4; i++) {
        if (Zyl_StrEqual(text, kWords[i])) {
            *show = i;
            return 1;
        }
    }
    return 0;
}

int Installer_ParseDecimal(const char *text) {
    ZYL_CHECK_PTR(text);
    const char *p = text;
    while (*p == ' ' || *p == '\t')
        p++;
    int negative = 0;
    if (*p == '-' || *p == '+')
        negative = *p++ == '-';
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + (*p - '0');
        if (value > (int64_t)INT_MAX + 1)
            value = (int64_t)INT_MAX + 1; // saturated; further digits change nothing
    }
    if (negative)
        return (int)(-value < INT_MIN ? INT_MIN : -value);
    return (int)(value > INT_MAX ? INT_MAX : value);
}
