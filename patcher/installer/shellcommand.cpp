// Shell command: "open" (or no verb) on an executable starts it without waiting;
// any other file or address, and "explore" on a folder, go to xdg-open. The
// command never waits for what it started.
#include "patcher/installer/shellcommand.h"

#include "core/oshelper.h"
#include "core/process.h"
#include "core/zyl.h"
#include "patcher/installer/installer.h"
#include "patcher/installer/macro.h"
#include "patcher/patcherlog.h"

#include <cstddef>
#include <sys/stat.h>

static const char kTag[] = "ShellCommandStruct";
static const char kTypeName[] = "ShellCommand";
static const char kOpener[] = "xdg-open";

// What ShellExecute reports for a file it could not start or open.
enum { kFileNotFound = 2 };

struct ShellCommandStruct {
    const char *Tag;
    char Operation[INSTALLER_TEXT_SIZE];
    char File[INSTALLER_TEXT_SIZE];
    char Parameters[INSTALLER_TEXT_SIZE];
    char Directory[INSTALLER_TEXT_SIZE];
    char Show[INSTALLER_TEXT_SIZE];
};

#define PROPERTY(name, def)                                                                        \
    { #name, def, offsetof(ShellCommandStruct, name) }
static const InstallerProperty kProperties[] = {
    PROPERTY(Operation, ""), PROPERTY(File, ""),       PROPERTY(Parameters, ""),
    PROPERTY(Directory, ""), PROPERTY(Show, "Normal"),
};
#undef PROPERTY
// The log names the show word "ShowCommand".
static const InstallerProperty kLogOrder[] = {
    kProperties[0],
    kProperties[1],
    kProperties[2],
    kProperties[3],
    {"ShowCommand", "Normal", offsetof(ShellCommandStruct, Show)},
};
enum { kPropertyCount = sizeof(kProperties) / sizeof(kProperties[0]) };

static ShellCommandStruct *ShellCommand_Cast(void *record) {
    ShellCommandStruct *command = static_cast<ShellCommandStruct *>(record);
    ZYL_CHECK_TAG(command, kTag);
    return command;
}

int ShellCommand_SetDefaults(void **record, const char *typeName) {
    ZYL_CHECK_PTR(record);
    (void)typeName;
    *record = Installer_NewRecord(sizeof(ShellCommandStruct), kTag, kProperties, kPropertyCount);
    return 1;
}

int ShellCommand_Parse(void *record, XmlStruct *xml, XmlNodeStruct *node) {
    return Installer_ParseProperties(ShellCommand_Cast(record), kProperties, kPropertyCount, xml,
                                     node);
}

int ShellCommand_Serialize(void *record, XmlStruct *xml, XmlNodeStruct *node) {
    return Installer_SerializeProperties(ShellCommand_Cast(record), kTypeName, kProperties,
                                         kPropertyCount, xml, node);
}

int ShellCommand_Log(void *record) {
    return Installer_LogProperties(ShellCommand_Cast(record), "Running [Shell] installer command.",
                                   kLogOrder, kPropertyCount);
}

int ShellCommand_Destroy(void **record) {
    return Installer_DestroyRecord(record, kTag, sizeof(ShellCommandStruct));
}

int ShellCommand_SetProperty(void *record, const char *name, const char *value) {
    return Installer_SetNamedProperty(ShellCommand_Cast(record), kProperties, kPropertyCount, name,
                                      value);
}

int ShellCommand_GetProperty(void *record, const char *name, char *value) {
    return Installer_GetNamedProperty(ShellCommand_Cast(record), kProperties, kPropertyCount, name,
                                      value);
}

// 1 when path is a regular file someone may execute.
static int ShellCommand_IsExecutable(const char *path) {
    struct stat info;
    return Zyl_StatPath(path, &info) && S_ISREG(info.st_mode) && (info.st_mode & 0111) != 0;
}

// Hands one file, folder or address to xdg-open as a single quoted argument
// (inner quotes doubled for the core's argument splitter).
static int ShellCommand_Open(const char *file, const char *directory, int show) {
    char argument[2 * INSTALLER_TEXT_SIZE + 4];
    int n = 0;
    argument[n++] = '"';
    for (const char *p = file; *p; p++) {
        if (*p == '"')
            argument[n++] = '"';
        argument[n++] = *p;
    }
    argument[n++] = '"';
    argument[n] = 0;
    return WinProcessHelper_Launch(show, kOpener, argument, directory, 0, nullptr, nullptr);
}

int ShellCommand_Execute(void *record, MacroListStruct *macros, const StopFlag *stop) {
    ShellCommandStruct *command = ShellCommand_Cast(record);
    (void)stop;
    ShellCommandStruct expanded = {};
    if (!Installer_ExpandProperties(command, &expanded, kProperties, kPropertyCount, macros))
        return 0;
    Zyl_ToForwardSlashes(expanded.File);
    Zyl_ToForwardSlashes(expanded.Directory);
    int show = 0;
    if (!Installer_ParseShow(expanded.Show, &show)) {
        Patcher_ReportError(PATCHER_ERROR_WORD, "Unknown shell command ShowCommand type. [%s]",
                            expanded.Show);
        return 0;
    }
    int isOpen = expanded.Operation[0] == 0 || Zyl_StrEqualNoCase(expanded.Operation, "open");
    if (!isOpen && !Zyl_StrEqualNoCase(expanded.Operation, "explore")) {
        Patcher_ReportError(PATCHER_ERROR_WORD,
                            "Shell operation not supported on this platform. [%s]",
                            expanded.Operation);
        return 0;
    }
    int started = 0;
    if (expanded.File[0] == 0)
        started = 0;
    else if (isOpen && ShellCommand_IsExecutable(expanded.File))
        started = WinProcessHelper_Launch(show > 0, expanded.File, expanded.Parameters,
                                          expanded.Directory, 0, nullptr, nullptr);
    else
        started = ShellCommand_Open(expanded.File, expanded.Directory, show > 0);
    if (!started) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER, "ShellExecute failed. [Return Code: %i]",
                            kFileNotFound);
        return 0;
    }
    return 1;
}
