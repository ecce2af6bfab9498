// Installer command "ShellCommand": starts an executable without waiting, or hands a
// file, address or folder to the desktop's opener (xdg-open).
#pragma once

struct MacroListStruct;
struct StopFlag;
struct XmlStruct;
struct XmlNodeStruct;

// The operations of the command type (see installer.h). SetDefaults allocates
// the record with its defaults; Execute expands macros and does the work,
// returning 1 on success and 0 after reporting the failure.
int ShellCommand_SetDefaults(void **record, const char *typeName);
int ShellCommand_Parse(void *record, XmlStruct *xml, XmlNodeStruct *node);
int ShellCommand_Execute(void *record, MacroListStruct *macros, const StopFlag *stop);
int ShellCommand_Log(void *record);
int ShellCommand_Serialize(void *record, XmlStruct *xml, XmlNodeStruct *node);
int ShellCommand_Destroy(void **record);
// Sets a property by its element name (bounded copy). Returns 1; 0 when the name
// is unknown or the value does not fit 319 characters.
int ShellCommand_SetProperty(void *record, const char *name, const char *value);
// Copies the property's text into value (320 bytes). Returns 1; 0 when unknown.
int ShellCommand_GetProperty(void *record, const char *name, char *value);
