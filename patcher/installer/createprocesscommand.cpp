// Create-process command: starts a program (posix_spawn through the core's
// process helper, no shell), waits for it while watching the stop flag and
// compares its exit code with the expected one.
#include "patcher/installer/createprocesscommand.h"

#include "core/oshelper.h"
#include "core/process.h"
#include "core/zyl.h"
#include "patcher/installer/installer.h"
#include "patcher/installer/macro.h"
#include "patcher/patcherlog.h"

#include <cstddef>

static const char kTag[] = "CreateProcessCommandStruct";
static const char kDefaultTypeName[] = "CreateProcessCommand";

struct CreateProcessCommandStruct {
    const char *Tag;
    char TypeName[INSTALLER_TEXT_SIZE]; // written back as the "xsi:type"
    char App[INSTALLER_TEXT_SIZE];
    char Args[INSTALLER_TEXT_SIZE];
    char CurrentDirectory[INSTALLER_TEXT_SIZE];
    char ExpectedReturnCode[INSTALLER_TEXT_SIZE];
    char ShowWindow[INSTALLER_TEXT_SIZE];
};

#define PROPERTY(name, def)                                                                        \
    { #name, def, offsetof(CreateProcessCommandStruct, name) }
static const InstallerProperty kProperties[] = {
    PROPERTY(App, ""),
    PROPERTY(Args, ""),
    PROPERTY(CurrentDirectory, ""),
    PROPERTY(ShowWindow, "true"),
    PROPERTY(ExpectedReturnCode, "0"),
};
static const InstallerProperty kLogOrder[] = {
    PROPERTY(App, ""),
    PROPERTY(Args, ""),
    PROPERTY(CurrentDirectory, ""),
    PROPERTY(ExpectedReturnCode, "0"),
    PROPERTY(ShowWindow, "true"),
};
#undef PROPERTY
enum { kPropertyCount = sizeof(kProperties) / sizeof(kProperties[0]) };

static CreateProcessCommandStruct *CreateProcessCommand_Cast(void *record) {
    CreateProcessCommandStruct *command = static_cast<CreateProcessCommandStruct *>(record);
    ZYL_CHECK_TAG(command, kTag);
    return command;
}

int CreateProcessCommand_SetDefaults(void **record, const char *typeName) {
    ZYL_CHECK_PTR(record);
    ZYL_CHECK_PTR(typeName);
    CreateProcessCommandStruct *command = static_cast<CreateProcessCommandStruct *>(
        Installer_NewRecord(sizeof(CreateProcessCommandStruct), kTag, kProperties, kPropertyCount));
    Zyl_StrCopy(command->TypeName, typeName[0] ? typeName : kDefaultTypeName, INSTALLER_TEXT_SIZE);
    *record = command;
    return 1;
}

int CreateProcessCommand_Parse(void *record, XmlStruct *xml, XmlNodeStruct *node) {
    return Installer_ParseProperties(CreateProcessCommand_Cast(record), kProperties, kPropertyCount,
                                     xml, node);
}

int CreateProcessCommand_Serialize(void *record, XmlStruct *xml, XmlNodeStruct *node) {
    CreateProcessCommandStruct *command = CreateProcessCommand_Cast(record);
    return Installer_SerializeProperties(command, command->TypeName, kProperties, kPropertyCount,
                                         xml, node);
}

int CreateProcessCommand_Log(void *record) {
    return Installer_LogProperties(CreateProcessCommand_Cast(record),
                                   "Running [Create Process] installer command.", kLogOrder,
                                   kPropertyCount);
}

int CreateProcessCommand_Destroy(void **record) {
    return Installer_DestroyRecord(record, kTag, sizeof(CreateProcessCommandStruct));
}

int CreateProcessCommand_SetProperty(void *record, const char *name, const char *value) {
    return Installer_SetNamedProperty(CreateProcessCommand_Cast(record), kProperties,
                                      kPropertyCount, name, value);
}

int CreateProcessCommand_GetProperty(void *record, const char *name, char *value) {
    CreateProcessCommandStruct *command = CreateProcessCommand_Cast(record);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(value);
    value[0] = 0;
    if (Zyl_StrEqual(name, "TypeName"))
        return Zyl_StrCopy(value, command->TypeName, INSTALLER_TEXT_SIZE);
    return Installer_GetNamedProperty(command, kProperties, kPropertyCount, name, value);
}

int CreateProcessCommand_Execute(void *record, MacroListStruct *macros, const StopFlag *stop) {
    CreateProcessCommandStruct *command = CreateProcessCommand_Cast(record);
    CreateProcessCommandStruct expanded = {};
    if (!Installer_ExpandProperties(command, &expanded, kProperties, kPropertyCount, macros))
        return 0;
    Zyl_ToForwardSlashes(expanded.App);
    Zyl_ToForwardSlashes(expanded.CurrentDirectory);
    int show = 0;
    if (!Installer_ParseFlag(expanded.ShowWindow, &show)) {
        Patcher_ReportError(PATCHER_ERROR_WORD,
                            "Unknown create process command ShowWindow type. [%s]",
                            expanded.ShowWindow);
        return 0;
    }
    int exitCode = -1;
    // A program that did not start, or whose wait was given up, never counts as
    // having returned the expected code (even an expected -1).
    int ran = WinProcessHelper_LaunchWait(&exitCode, expanded.CurrentDirectory, stop, expanded.App,
                                          expanded.Args, show);
    if (!ran || exitCode != Installer_ParseDecimal(expanded.ExpectedReturnCode)) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER,
                            "Process returned wrong response code. [Expected: %s] [Actual: %i] "
                            "[App: %s] [Args: %s] [CurrentDirectory %s]",
                            expanded.ExpectedReturnCode, ran ? exitCode : -1, expanded.App,
                            expanded.Args, expanded.CurrentDirectory);
        return 0;
    }
    return 1;
}
