// Well-known folders of this OS: the XDG base and user folders, the home folder,
// the runtime folder, the program's own path and the module holding an address.
// Results carry no trailing '/'; only the fallback runtime folder is created.
#pragma once

enum {
    SHFOLDER_HOME = 1,
    SHFOLDER_CONFIG,    // $XDG_CONFIG_HOME or ~/.config
    SHFOLDER_DATA,      // $XDG_DATA_HOME or ~/.local/share
    SHFOLDER_CACHE,     // $XDG_CACHE_HOME or ~/.cache
    SHFOLDER_DESKTOP,   // XDG_DESKTOP_DIR of user-dirs.dirs, or ~/Desktop
    SHFOLDER_DOCUMENTS, // XDG_DOCUMENTS_DIR of user-dirs.dirs, or ~/Documents
    SHFOLDER_RUNTIME,   // $XDG_RUNTIME_DIR, or <temp>/portico-<uid> (made, mode 0700)
    SHFOLDER_TEMP,      // $TMPDIR or /tmp
    SHFOLDER_STATE,     // $XDG_STATE_HOME or ~/.local/state
};

// Copies the folder into buffer. Returns 1, or 0 ("" in buffer) when it cannot be
// found or does not fit.
int ShFolder_Get(int kind, char *buffer, int size);
// Full path of the running program (/proc/self/exe). 1 or 0.
int ShFolder_GetProgramPath(char *buffer, int size);
// Full path of the shared object or program holding address. 1 or 0.
int ShFolder_GetModuleFile(const void *address, char *buffer, int size);
// The current folder. 1 or 0.
int ShFolder_GetCurrent(char *buffer, int size);
