// Installer macros: "{Key}" placeholders in command properties, replaced by
// values from the built-in folders and from "installer.config.xml". One list per
// run of a command list; entries set last are applied first.
#pragma once

struct MacroListStruct;

// Size of a key, a value and an expanded text (319 characters and the NUL).
enum { MACRO_TEXT_SIZE = 320 };

// Creates an empty list. Returns 1 and sets *list.
int Macro_Create(MacroListStruct **list);
// Frees every entry and the list, clears *list. Accepts a null *list. Returns 1.
int Macro_Destroy(MacroListStruct **list);
// Replaces the value of the entry with this key (case-sensitive), or puts a new
// entry at the front. Returns 1; 0 when the key or value does not fit 319
// characters (nothing changes).
int Macro_Set(MacroListStruct *list, const char *key, const char *value);
// Number of entries. Returns 1.
int Macro_GetCount(MacroListStruct *list, int *count);
// Adds the "Config.Expanders.Expander" entries of "installer.config.xml" in the
// current folder. A missing file logs "%s not found." and gives 1; 0 when an
// expander lacked its Key or Value (the others are still added).
int Macro_LoadExpanders(MacroListStruct *list);
// The same from a named file (tests, tools).
int Macro_LoadExpandersFrom(MacroListStruct *list, const char *path);
// Copies source into out (MACRO_TEXT_SIZE bytes) and replaces every "{key}" of
// every entry, front entry first. Returns 1; 0 with the error reported (code 9)
// when the source or a replacement does not fit 319 characters.
int Macro_Expand(MacroListStruct *list, const char *source, char *out);
// Copies the value of the entry with this key (case-sensitive) into value
// (MACRO_TEXT_SIZE bytes). Returns 1; 0 with "" when there is none.
int Macro_Get(MacroListStruct *list, const char *key, char *value);
