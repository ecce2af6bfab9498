// Installer command lists: ordered commands of several types (registry, process,
// shell, COM registration, shortcut, uninstaller entry) read from and written to
// XML "Command" elements, copied between documents and run in order with macros.
#pragma once

#include <cstddef>

struct InstallerCommandList;
struct MacroListStruct;
struct StopFlag;
struct XmlStruct;
struct XmlNodeStruct;

// Size of every command property (319 characters and the NUL), and the most
// commands one list holds (a document's further commands are skipped).
enum { INSTALLER_TEXT_SIZE = 320, INSTALLER_MAX_COMMANDS = 1024 };

// The six operations of a command type. Records are the type's own struct; each
// operation checks the record's tag.
typedef int (*InstallerSetDefaultsFn)(void **record, const char *typeName);
typedef int (*InstallerParseFn)(void *record, XmlStruct *xml, XmlNodeStruct *node);
typedef int (*InstallerExecuteFn)(void *record, MacroListStruct *macros, const StopFlag *stop);
typedef int (*InstallerLogFn)(void *record);
typedef int (*InstallerSerializeFn)(void *record, XmlStruct *xml, XmlNodeStruct *node);
typedef int (*InstallerDestroyFn)(void **record);

struct InstallerCommandType {
    const char *Name; // the "xsi:type" text
    InstallerSetDefaultsFn SetDefaults;
    InstallerParseFn Parse;
    InstallerExecuteFn Execute;
    InstallerLogFn Log;
    InstallerSerializeFn Serialize;
    InstallerDestroyFn Destroy;
};

// ---------------------------------------------------------------------------
// Lists
// ---------------------------------------------------------------------------

// Creates an empty list. Returns 1 and sets *list.
int Installer_Create(InstallerCommandList **list);
// Destroys every command and the list, clears *list. Accepts a null *list.
// Returns 1.
int Installer_Destroy(InstallerCommandList **list);
// Destroys every command; the list stays, empty. Returns 1.
int Installer_ClearCommands(InstallerCommandList *list);
// Number of commands. Returns 1.
int Installer_GetCount(InstallerCommandList *list, int *count);
// The type name of the command at index (0-based). Returns 1; 0 and null when
// there is none.
int Installer_GetCommandType(InstallerCommandList *list, int index, const char **typeName);
// Replaces the list's commands by those under listElement: "Command" elements
// with an "xsi:type", and legacy "PreProcessCommand" / "PostProcessCommand"
// elements holding a program path. Unknown elements and types, and commands
// past INSTALLER_MAX_COMMANDS, are logged and skipped. Returns 1; 0 when a command of a known type
// could not be built
// ("Command failed to execute. Aborting install. ..."), keeping those built.
int Installer_ParseCommands(InstallerCommandList *list, XmlStruct *xml, XmlNodeStruct *listElement);
// Appends one "Command" element per command to listElement. Returns 1 when
// every command was written.
int Installer_SerializeCommands(InstallerCommandList *list, XmlNodeStruct *listElement,
                                XmlStruct *xml);
// Makes target a deep copy of source (through XML). Returns the parse result.
int Installer_CopyCommands(InstallerCommandList *target, InstallerCommandList *source);
// Runs every command in order with the built-in macros (Desktop, ProgramFiles,
// StartMenu, UserAppData, DownloadPath and OutputPath = outputPath, ProcessPath,
// RootPath and CopyPath = rootPath, ApplicationPath) and those of
// "installer.config.xml". Returns 1 when every command ran and succeeded; 0 when
// one failed ("Installer failed.", code 9) or *stop became non-zero before the
// last command ran (the caller runs the whole list again later).
int Installer_Execute(const char *rootPath, const char *applicationPath, InstallerCommandList *list,
                      const char *outputPath, const char *processPath, const StopFlag *stop);

// ---------------------------------------------------------------------------
// Building blocks of the command types
// ---------------------------------------------------------------------------

// Sets defaults, parses node into a new record and appends it. Returns 1; 0 when
// parsing failed (nothing appended).
int Installer_CreateCommand(const InstallerCommandType *type, const char *typeNameArgument,
                            InstallerCommandList *list, XmlStruct *xml, XmlNodeStruct *node);
// A "CreateProcessCommand" whose App is the element's text. Returns 1 or 0.
int Installer_CreateLegacyCommand(XmlStruct *xml, XmlNodeStruct *element,
                                  InstallerCommandList *list);
// Appends a built record of the given type. Returns 1.
int Installer_AppendCommand(InstallerCommandList *list, const InstallerCommandType *type,
                            void *record);

// A property of a record: its element name, its default and the offset of its
// INSTALLER_TEXT_SIZE text inside the record.
struct InstallerProperty {
    const char *Name;
    const char *Default;
    size_t Offset;
};

// Allocates a zeroed record of `size` bytes, sets its tag and the defaults.
void *Installer_NewRecord(size_t size, const char *tag, const InstallerProperty *properties,
                          int count);
// Reads the child element named by the property into the record; a missing child
// keeps the default. Returns 1; 0 ("Failed to set property for command. [%s]",
// code 9) when the text does not fit.
int Installer_SetProperty(XmlNodeStruct *node, const InstallerProperty *property, XmlStruct *xml,
                          void *record);
// Adds a child element with the value as text. Returns 1 (0 reported, code 9).
int Installer_WriteProperty(XmlStruct *xml, XmlNodeStruct *node, const char *name,
                            const char *value);
// Parse, serialize and log by a property table (every property is attempted).
int Installer_ParseProperties(void *record, const InstallerProperty *properties, int count,
                              XmlStruct *xml, XmlNodeStruct *node);
int Installer_SerializeProperties(const void *record, const char *typeName,
                                  const InstallerProperty *properties, int count, XmlStruct *xml,
                                  XmlNodeStruct *node);
int Installer_LogProperties(const void *record, const char *header,
                            const InstallerProperty *properties, int count);
// Frees a record made by Installer_NewRecord after checking its tag; overwrites
// the tag with Zyl_DeadTag and clears the caller's pointer. Accepts null. Returns 1.
int Installer_DestroyRecord(void **record, const char *tag, size_t size);
// Copies the named property into value (INSTALLER_TEXT_SIZE bytes). Returns 1;
// 0 with "" when the name is unknown.
int Installer_GetNamedProperty(const void *record, const InstallerProperty *properties, int count,
                               const char *name, char *value);
// Sets the named property (bounded copy). Returns 1; 0 when the name is unknown
// or the value does not fit.
int Installer_SetNamedProperty(void *record, const InstallerProperty *properties, int count,
                               const char *name, const char *value);
// Copies every property of source into target with macros expanded. Returns 1;
// 0 when an expansion failed (already reported).
int Installer_ExpandProperties(const void *source, void *target,
                               const InstallerProperty *properties, int count,
                               MacroListStruct *macros);

// Word helpers shared by the types (all comparisons case-sensitive).
// "true" -> 1, "false" -> 0; returns 0 for any other word.
int Installer_ParseFlag(const char *text, int *flag);
// "Hide" 0, "Normal" 1, "Minimized" 2, "Maximized" 3; returns 0 otherwise.
int Installer_ParseShow(const char *text, int *show);
// Optional blanks and sign, then decimal digits up to the first other character;
// saturates at the int32 limits instead of overflowing. No digits give 0.
int Installer_ParseDecimal(const char *text);
