// Installer command "CreateProcessCommand" (alias "DXCreateProcessCommand"): starts a
// program with its arguments, waits for it and checks its exit code.
#pragma once

struct MacroListStruct;
struct StopFlag;
struct XmlStruct;
struct XmlNodeStruct;

// The operations of the command type (see installer.h). SetDefaults allocates
// the record with its defaults; Execute expands macros and does the work,
// returning 1 on success and 0 after reporting the failure.
int CreateProcessCommand_SetDefaults(void **record, const char *typeName);
int CreateProcessCommand_Parse(void *record, XmlStruct *xml, XmlNodeStruct *node);
int CreateProcessCommand_Execute(void *record, MacroListStruct *macros, const StopFlag *stop);
int CreateProcessCommand_Log(void *record);
int CreateProcessCommand_Serialize(void *record, XmlStruct *xml, XmlNodeStruct *node);
int CreateProcessCommand_Destroy(void **record);
// Sets a property by its element name (bounded copy). Returns 1; 0 when the name
// is unknown or the value does not fit 319 characters.
int CreateProcessCommand_SetProperty(void *record, const char *name, const char *value);
// Copies the property's text into value (320 bytes). Returns 1; 0 when unknown.
int CreateProcessCommand_GetProperty(void *record, const char *name, char *value);
