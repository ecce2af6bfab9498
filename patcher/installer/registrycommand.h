// Installer command "RegistryCommand": writes one value into the registry store,
// or deletes one and removes the keys left empty (never a root or top-level key).
#pragma once

struct MacroListStruct;
struct StopFlag;
struct XmlStruct;
struct XmlNodeStruct;

// The operations of the command type (see installer.h). SetDefaults allocates
// the record with its defaults; Execute expands macros and does the work,
// returning 1 on success and 0 after reporting the failure.
int RegistryCommand_SetDefaults(void **record, const char *typeName);
int RegistryCommand_Parse(void *record, XmlStruct *xml, XmlNodeStruct *node);
int RegistryCommand_Execute(void *record, MacroListStruct *macros, const StopFlag *stop);
int RegistryCommand_Log(void *record);
int RegistryCommand_Serialize(void *record, XmlStruct *xml, XmlNodeStruct *node);
int RegistryCommand_Destroy(void **record);
// Sets a property by its element name (bounded copy). Returns 1; 0 when the name
// is unknown or the value does not fit 319 characters.
int RegistryCommand_SetProperty(void *record, const char *name, const char *value);
// Copies the property's text into value (320 bytes). Returns 1; 0 when unknown.
int RegistryCommand_GetProperty(void *record, const char *name, char *value);
