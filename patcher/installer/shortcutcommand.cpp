// Shortcut command: a freedesktop ".desktop" launcher written atomically (mode
// 0755), never overwriting an existing one; deletion removes the folders left
// empty, stopping at the well-known base folders of the macro list.
#include "patcher/installer/shortcutcommand.h"

#include "core/file.h"
#include "core/oshelper.h"
#include "core/zyl.h"
#include "patcher/installer/installer.h"
#include "patcher/installer/macro.h"
#include "patcher/patcherlog.h"

#include <cstddef>
#include <cstdlib>
#include <sys/stat.h>

static const char kTag[] = "ShortcutCommandStruct";
static const char kTypeName[] = "ShortcutCommand";

// Size of the launcher file's text: every field escaped at most doubles.
enum { kEntrySize = 16 * INSTALLER_TEXT_SIZE };

struct ShortcutCommandStruct {
    const char *Tag;
    char DeleteShortcut[INSTALLER_TEXT_SIZE];
    char TargetFile[INSTALLER_TEXT_SIZE];
    char Args[INSTALLER_TEXT_SIZE];
    char LinkFile[INSTALLER_TEXT_SIZE];
    char Description[INSTALLER_TEXT_SIZE];
    char CurrentDirectory[INSTALLER_TEXT_SIZE];
    char IconFile[INSTALLER_TEXT_SIZE];
    char ShowWindowCommand[INSTALLER_TEXT_SIZE];
    char IconIndex[INSTALLER_TEXT_SIZE];
};

#define PROPERTY(name, def)                                                                        \
    { #name, def, offsetof(ShortcutCommandStruct, name) }
static const InstallerProperty kProperties[] = {
    PROPERTY(TargetFile, ""),
    PROPERTY(Args, ""),
    PROPERTY(LinkFile, ""),
    PROPERTY(Description, ""),
    PROPERTY(ShowWindowCommand, "Normal"),
    PROPERTY(CurrentDirectory, ""),
    PROPERTY(IconFile, ""),
    PROPERTY(IconIndex, "1"),
    PROPERTY(DeleteShortcut, "false"),
};
static const InstallerProperty kLogOrder[] = {
    PROPERTY(DeleteShortcut, "false"),
    PROPERTY(TargetFile, ""),
    PROPERTY(Args, ""),
    PROPERTY(LinkFile, ""),
    PROPERTY(Description, ""),
    PROPERTY(CurrentDirectory, ""),
    PROPERTY(IconFile, ""),
    PROPERTY(ShowWindowCommand, "Normal"),
    PROPERTY(IconIndex, "1"),
};
#undef PROPERTY
enum { kPropertyCount = sizeof(kProperties) / sizeof(kProperties[0]) };

static ShortcutCommandStruct *ShortcutCommand_Cast(void *record) {
    ShortcutCommandStruct *command = static_cast<ShortcutCommandStruct *>(record);
    ZYL_CHECK_TAG(command, kTag);
    return command;
}

int ShortcutCommand_SetDefaults(void **record, const char *typeName) {
    ZYL_CHECK_PTR(record);
    (void)typeName;
    *record = Installer_NewRecord(sizeof(ShortcutCommandStruct), kTag, kProperties, kPropertyCount);
    return 1;
}

int ShortcutCommand_Parse(void *record, XmlStruct *xml, XmlNodeStruct *node) {
    return Installer_ParseProperties(ShortcutCommand_Cast(record), kProperties, kPropertyCount, xml,
                                     node);
}

int ShortcutCommand_Serialize(void *record, XmlStruct *xml, XmlNodeStruct *node) {
    return Installer_SerializeProperties(ShortcutCommand_Cast(record), kTypeName, kProperties,
                                         kPropertyCount, xml, node);
}

int ShortcutCommand_Log(void *record) {
    return Installer_LogProperties(ShortcutCommand_Cast(record),
                                   "Executing [Shortcut] installer command.", kLogOrder,
                                   kPropertyCount);
}

int ShortcutCommand_Destroy(void **record) {
    return Installer_DestroyRecord(record, kTag, sizeof(ShortcutCommandStruct));
}

int ShortcutCommand_SetProperty(void *record, const char *name, const char *value) {
    return Installer_SetNamedProperty(ShortcutCommand_Cast(record), kProperties, kPropertyCount,
                                      name, value);
}

int ShortcutCommand_GetProperty(void *record, const char *name, char *value) {
    return Installer_GetNamedProperty(ShortcutCommand_Cast(record), kProperties, kPropertyCount,
                                      name, value);
}

// ---------------------------------------------------------------------------
// The launcher file
// ---------------------------------------------------------------------------

// Appends text with the Desktop Entry escapes of string values (\\ \n \t \r)
// and "%%" for a literal '%' when percent is 1. 0 when it does not fit.
static int ShortcutCommand_AppendEscaped(char *out, int size, const char *text, int percent) {
    int n = Zyl_StrLen(out);
    for (const char *p = text; *p; p++) {
        char pair[3] = {*p, 0, 0};
        if (*p == '\\' || *p == '\n' || *p == '\t' || *p == '\r') {
            pair[0] = '\\';
            pair[1] = *p == '\n' ? 'n' : *p == '\t' ? 't' : *p == '\r' ? 'r' : '\\';
        } else if (*p == '%' && percent) {
            pair[1] = '%';
        }
        int length = pair[1] ? 2 : 1;
        if (n + length >= size)
            return 0;
        out[n++] = pair[0];
        if (pair[1])
            out[n++] = pair[1];
    }
    out[n] = 0;
    return 1;
}

// One Exec argument, quoted when it holds a reserved character: inside the
// quotes '"', '`', '$' and '\' get a backslash (before the string escapes).
static int ShortcutCommand_AppendArgument(char *out, int size, const char *argument) {
    static const char kReserved[] = " \t\n\"'\\><~|&;$*?#()`";
    int quote = argument[0] == 0;
    for (const char *p = argument; *p && !quote; p++)
        quote = Zyl_StrHasChar(kReserved, *p);
    char quoted[2 * INSTALLER_TEXT_SIZE + 4];
    int n = 0;
    if (quote)
        quoted[n++] = '"';
    for (const char *p = argument; *p; p++) {
        if (quote && (*p == '"' || *p == '`' || *p == '$' || *p == '\\'))
            quoted[n++] = '\\';
        quoted[n++] = *p;
    }
    if (quote)
        quoted[n++] = '"';
    quoted[n] = 0;
    return ShortcutCommand_AppendEscaped(out, size, quoted, 1);
}

// "Exec=" with the target and each argument of Args (split by the core's
// quote-aware splitter) quoted for the launcher.
static int ShortcutCommand_AppendExec(char *out, int size, const ShortcutCommandStruct *command) {
    int ok = Zyl_StrAppend(out, "Exec=", size) &&
             ShortcutCommand_AppendArgument(out, size, command->TargetFile);
    int count = 0;
    Zyl_ArgCount(command->Args, &count);
    char argument[INSTALLER_TEXT_SIZE];
    for (int i = 0; ok && command->Args[0] != 0 && i < count; i++) {
        if (!Zyl_ArgGet(command->Args, i, argument, sizeof(argument)))
            break;
        ok = Zyl_StrAppend(out, " ", size) && ShortcutCommand_AppendArgument(out, size, argument);
    }
    return ok && Zyl_StrAppend(out, "\n", size);
}

// "Key=value\n" with the value escaped.
static int ShortcutCommand_AppendLine(char *out, int size, const char *key, const char *value) {
    return Zyl_StrAppend(out, key, size) && Zyl_StrAppend(out, "=", size) &&
           ShortcutCommand_AppendEscaped(out, size, value, 0) && Zyl_StrAppend(out, "\n", size);
}

// Builds the launcher text. 0 when it does not fit.
static int ShortcutCommand_Format(char *out, int size, const ShortcutCommandStruct *command,
                                  int iconIndex) {
    char name[INSTALLER_TEXT_SIZE];
    Zyl_GetFileName(command->LinkFile, name, sizeof(name), 1);
    out[0] = 0;
    int ok = Zyl_StrAppend(out, "[Desktop Entry]\nType=Application\n", size) &&
             ShortcutCommand_AppendLine(out, size, "Name", name[0] ? name : command->TargetFile) &&
             ShortcutCommand_AppendExec(out, size, command);
    if (ok && command->CurrentDirectory[0])
        ok = ShortcutCommand_AppendLine(out, size, "Path", command->CurrentDirectory);
    if (ok && command->IconFile[0] && iconIndex >= 0)
        ok = ShortcutCommand_AppendLine(out, size, "Icon", command->IconFile);
    if (ok && command->Description[0])
        ok = ShortcutCommand_AppendLine(out, size, "Comment", command->Description);
    return ok && Zyl_StrAppend(out, "Terminal=false\n", size);
}

// A link name ending in ".lnk" (any case) becomes ".desktop". 0 when too long.
static int ShortcutCommand_MapLinkName(char *link) {
    int length = Zyl_StrLen(link);
    if (length >= 4 && Zyl_StrEqualNoCase(link + length - 4, ".lnk")) {
        link[length - 4] = 0;
        return Zyl_StrAppend(link, ".desktop", INSTALLER_TEXT_SIZE);
    }
    return 1;
}

static int ShortcutCommand_Exists(const char *path) {
    struct stat info;
    return Zyl_StatPath(path, &info);
}

static int ShortcutCommand_Create(const ShortcutCommandStruct *command, int iconIndex) {
    const char *link = command->LinkFile;
    if (ShortcutCommand_Exists(link)) {
        Patcher_Log(PATCHER_LOG_INFO, "Shortcut not created because it already exists. [File: %s]",
                    link);
        return 1;
    }
    char folder[INSTALLER_TEXT_SIZE];
    Zyl_StrCopy(folder, link, sizeof(folder));
    int cut = 0;
    if (Zyl_StrFindLastChar(folder, '/', &cut))
        folder[cut + 1] = 0;
    else
        folder[0] = 0;
    if (folder[0] && !Zyl_CreateDirectory(folder, 0, 0)) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER, "Failed to create path [Shortcut: %s]",
                            folder);
        return 0;
    }
    char *text = static_cast<char *>(ZYL_ALLOC(kEntrySize));
    int ok = ShortcutCommand_Format(text, kEntrySize, command, iconIndex) &&
             File_ReplaceAtomic(link, text, Zyl_StrLen(text)) && chmod(link, 0755) == 0;
    ZYL_FREE(text, kEntrySize);
    if (!ok) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER,
                            "Failed to create the requested shortcut. [Shortcut: %s]", link);
        return 0;
    }
    return 1;
}

// 1 when folder (no trailing '/') is the value of one of the base macros, the
// file system root or the home folder: cleanup never removes those.
static int ShortcutCommand_IsBaseFolder(MacroListStruct *macros, const char *folder) {
    static const char *const kBaseKeys[] = {"Desktop",     "StartMenu",   "ProgramFiles",
                                            "UserAppData", "RootPath",    "CopyPath",
                                            "OutputPath",  "ProcessPath", "ApplicationPath"};
    if (folder[0] == 0)
        return 1;
    char value[MACRO_TEXT_SIZE];
    for (const char *key : kBaseKeys) {
        if (!Macro_Get(macros, key, value) || value[0] == 0)
            continue;
        Zyl_ToForwardSlashes(value);
        int length = Zyl_StrLen(value);
        while (length > 1 && value[length - 1] == '/')
            value[--length] = 0;
        if (Zyl_StrEqual(value, folder))
            return 1;
    }
    const char *home = getenv("HOME");
    if (home == nullptr)
        return 0;
    int length = Zyl_StrLen(home);
    while (length > 1 && home[length - 1] == '/')
        length--;
    return Zyl_StrLen(folder) == length && Zyl_StrEqualN(home, folder, length);
}

// 1 when path is a folder holding nothing but "." and "..".
static int ShortcutCommand_IsEmptyFolder(FileStruct *file, const char *path) {
    struct stat info;
    if (!Zyl_StatPath(path, &info) || !S_ISDIR(info.st_mode))
        return 0;
    int empty = 1;
    char name[FILE_NAME_SIZE];
    for (int more = File_FindFirst(file, 0, path); more && empty; more = File_FindNext(file)) {
        if (!File_GetFoundName(file, name, sizeof(name)) ||
            (!Zyl_StrEqual(name, ".") && !Zyl_StrEqual(name, "..")))
            empty = 0;
    }
    File_FindClose(file);
    return empty;
}

// Removes the folders left empty above the deleted link.
static void ShortcutCommand_CleanUp(FileStruct *file, MacroListStruct *macros, const char *link) {
    char folder[INSTALLER_TEXT_SIZE];
    Zyl_StrCopy(folder, link, sizeof(folder));
    for (;;) {
        int cut = 0;
        if (!Zyl_StrFindLastChar(folder, '/', &cut))
            return;
        folder[cut] = 0;
        if (ShortcutCommand_IsBaseFolder(macros, folder) ||
            !ShortcutCommand_IsEmptyFolder(file, folder))
            return;
        Patcher_Log(PATCHER_LOG_INFO, "Delete parent [Directory: %s]", folder);
        if (!File_Erase(file, folder))
            return;
    }
}

static int ShortcutCommand_Delete(const ShortcutCommandStruct *command, MacroListStruct *macros) {
    const char *link = command->LinkFile;
    if (!ShortcutCommand_Exists(link)) {
        Patcher_Log(PATCHER_LOG_INFO, "File does not exist[File: %s]", link);
        return 1;
    }
    FileStruct *file = nullptr;
    File_New(&file);
    int erased = File_Erase(file, link);
    if (!erased) {
        Patcher_Log(PATCHER_LOG_INFO, "Unable to delete [File: %s]", link);
    } else {
        Patcher_Log(PATCHER_LOG_INFO, "Successfully delete [File: %s]", link);
        ShortcutCommand_CleanUp(file, macros, link);
    }
    File_Delete(&file);
    return erased;
}

int ShortcutCommand_Execute(void *record, MacroListStruct *macros, const StopFlag *stop) {
    ShortcutCommandStruct *command = ShortcutCommand_Cast(record);
    (void)stop;
    ShortcutCommandStruct expanded = {};
    if (!Installer_ExpandProperties(command, &expanded, kProperties, kPropertyCount, macros))
        return 0;
    Zyl_ToForwardSlashes(expanded.TargetFile);
    Zyl_ToForwardSlashes(expanded.LinkFile);
    Zyl_ToForwardSlashes(expanded.CurrentDirectory);
    Zyl_ToForwardSlashes(expanded.IconFile);
    int remove = 0;
    int show = 0;
    if (!Installer_ParseFlag(expanded.DeleteShortcut, &remove)) {
        Patcher_ReportError(PATCHER_ERROR_WORD,
                            "Unknown shortcut command DeleteShortcut type. [%s]",
                            expanded.DeleteShortcut);
        return 0;
    }
    if (!Installer_ParseShow(expanded.ShowWindowCommand, &show)) {
        Patcher_ReportError(PATCHER_ERROR_WORD,
                            "Unknown create shortcut command ShowWindow type. [%s]",
                            expanded.ShowWindowCommand);
        return 0;
    }
    if (expanded.LinkFile[0] == 0 || !ShortcutCommand_MapLinkName(expanded.LinkFile)) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER,
                            "Failed to create the requested shortcut. [Shortcut: %s]",
                            expanded.LinkFile);
        return 0;
    }
    if (remove)
        return ShortcutCommand_Delete(&expanded, macros);
    return ShortcutCommand_Create(&expanded, Installer_ParseDecimal(expanded.IconIndex));
}
