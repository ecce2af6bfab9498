// COM-register command: there is no COM registration on this platform. The
// command checks its switch and the regsvr32 arguments it would build, logs
// that it has nothing to do and succeeds, so packages made for both platforms
// do not stall their updates.
#include "patcher/installer/comregistercommand.h"

#include "core/zyl.h"
#include "patcher/installer/installer.h"
#include "patcher/installer/macro.h"
#include "patcher/patcherlog.h"

#include <cstddef>

static const char kTag[] = "ComRegisterCommandStruct";
static const char kTypeName[] = "ComRegisterCommand";

struct ComRegisterCommandStruct {
    const char *Tag;
    char Path[INSTALLER_TEXT_SIZE];
    char Unregister[INSTALLER_TEXT_SIZE];
};

#define PROPERTY(name, def)                                                                        \
    { #name, def, offsetof(ComRegisterCommandStruct, name) }
static const InstallerProperty kProperties[] = {PROPERTY(Path, ""), PROPERTY(Unregister, "false")};
#undef PROPERTY
enum { kPropertyCount = sizeof(kProperties) / sizeof(kProperties[0]) };

static ComRegisterCommandStruct *ComRegisterCommand_Cast(void *record) {
    ComRegisterCommandStruct *command = static_cast<ComRegisterCommandStruct *>(record);
    ZYL_CHECK_TAG(command, kTag);
    return command;
}

int ComRegisterCommand_SetDefaults(void **record, const char *typeName) {
    ZYL_CHECK_PTR(record);
    (void)typeName;
    *record =
        Installer_NewRecord(sizeof(ComRegisterCommandStruct), kTag, kProperties, kPropertyCount);
    return 1;
}

int ComRegisterCommand_Parse(void *record, XmlStruct *xml, XmlNodeStruct *node) {
    return Installer_ParseProperties(ComRegisterCommand_Cast(record), kProperties, kPropertyCount,
                                     xml, node);
}

int ComRegisterCommand_Serialize(void *record, XmlStruct *xml, XmlNodeStruct *node) {
    return Installer_SerializeProperties(ComRegisterCommand_Cast(record), kTypeName, kProperties,
                                         kPropertyCount, xml, node);
}

int ComRegisterCommand_Log(void *record) {
    return Installer_LogProperties(ComRegisterCommand_Cast(record),
                                   "Running [ComRegister] installer command.", kProperties,
                                   kPropertyCount);
}

int ComRegisterCommand_Destroy(void **record) {
    return Installer_DestroyRecord(record, kTag, sizeof(ComRegisterCommandStruct));
}

int ComRegisterCommand_SetProperty(void *record, const char *name, const char *value) {
    return Installer_SetNamedProperty(ComRegisterCommand_Cast(record), kProperties, kPropertyCount,
                                      name, value);
}

int ComRegisterCommand_GetProperty(void *record, const char *name, char *value) {
    return Installer_GetNamedProperty(ComRegisterCommand_Cast(record), kProperties, kPropertyCount,
                                      name, value);
}

int ComRegisterCommand_Execute(void *record, MacroListStruct *macros, const StopFlag *stop) {
    ComRegisterCommandStruct *command = ComRegisterCommand_Cast(record);
    (void)stop;
    ComRegisterCommandStruct expanded = {};
    if (!Installer_ExpandProperties(command, &expanded, kProperties, kPropertyCount, macros))
        return 0;
    int unregister = 0;
    if (!Installer_ParseFlag(expanded.Unregister, &unregister)) {
        Patcher_ReportError(PATCHER_ERROR_WORD,
                            "Unknown add com register command Unregister type. [%s]",
                            expanded.Unregister);
        return 0;
    }
    char arguments[INSTALLER_TEXT_SIZE];
    // "/s /u " and the path must fit the argument text.
    int fit = Zyl_StrLen(expanded.Path) + 6 < (int)sizeof(arguments);
    if (!fit || Zyl_StrLen(expanded.Path) == 0) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER, "Regsvr32 Failed. [%s]", expanded.Path);
        return 0;
    }
    Zyl_FormatString(arguments, sizeof(arguments), "/s %s %s", unregister ? "/u" : "",
                     expanded.Path);
    Patcher_Log(PATCHER_LOG_INFO, "regsvr32 %s", arguments);
    Patcher_Log(PATCHER_LOG_INFO, "COM registration not supported on this platform");
    return 1;
}
