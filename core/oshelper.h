// Thin operating-system services shared by the launcher and the engine: well-known
// folders, path normalisation and recursive folder creation, the single-instance
// lock, the last system error's text, and window, dialog, message-box and
// message-pump hooks whose plain defaults the front end replaces.
#pragma once

#include <sys/stat.h>

// Every folder these functions return ends with '/'. Paths use '/' inside; every
// entry point also accepts '\' and turns it into '/'.

// Shell folder ids (the CSIDL numbers) understood by Zyl_GetSpecialFolder, with
// the folder each one stands for here.
enum {
    ZYL_FOLDER_DESKTOP = 0x0000,           // XDG desktop folder
    ZYL_FOLDER_PROGRAMS = 0x0002,          // $XDG_DATA_HOME/applications
    ZYL_FOLDER_PERSONAL = 0x0005,          // XDG documents folder
    ZYL_FOLDER_STARTUP = 0x0007,           // $XDG_CONFIG_HOME/autostart
    ZYL_FOLDER_STARTMENU = 0x000B,         // $XDG_DATA_HOME/applications
    ZYL_FOLDER_DESKTOPDIRECTORY = 0x0010,  // XDG desktop folder
    ZYL_FOLDER_COMMON_STARTMENU = 0x0016,  // $XDG_DATA_HOME/applications
    ZYL_FOLDER_COMMON_PROGRAMS = 0x0017,   // $XDG_DATA_HOME/applications
    ZYL_FOLDER_COMMON_DESKTOP = 0x0019,    // XDG desktop folder
    ZYL_FOLDER_APPDATA = 0x001A,           // $XDG_CONFIG_HOME (~/.config)
    ZYL_FOLDER_LOCAL_APPDATA = 0x001C,     // $XDG_DATA_HOME (~/.local/share)
    ZYL_FOLDER_INTERNET_CACHE = 0x0020,    // $XDG_CACHE_HOME (~/.cache)
    ZYL_FOLDER_COMMON_APPDATA = 0x0023,    // $XDG_DATA_HOME (per user here)
    ZYL_FOLDER_PROGRAM_FILES = 0x0026,     // install root, else ~/.local/opt
    ZYL_FOLDER_PROGRAM_FILES_X86 = 0x002A, // the same
};

// ---------------------------------------------------------------------------
// Start-up and errors
// ---------------------------------------------------------------------------

// COM and OLE do not exist here; kept so callers read the same. Return 1.
int Zyl_ComInit(void);
int Zyl_ComUninit(void);

// The system's text for the calling thread's last error (errno), trailing blanks
// and control characters removed. Returns 1, or 0 with "Unknown" when the system
// has no text for it. Zyl_GetErrorTextFor does the same for a given error number.
int Zyl_GetErrorText(char *buffer, int size);
int Zyl_GetErrorTextFor(int error, char *buffer, int size);

// Runs the installed message pump once (the front end's GTK pump), or gives up
// the time slice when none is installed. Returns 1. Called between the slices of
// long waits (Thread_Wait, Thread_Sleep).
int Zyl_PumpMessages(void);

// ---------------------------------------------------------------------------
// Folders and paths
// ---------------------------------------------------------------------------

// The running program's folder (from /proc/self/exe). Returns 1, or 0 with ""
// when it does not fit.
int Zyl_GetModuleDirectory(char *buffer, int size);
// The folder of the module holding `address` (null: the program). Returns 1 or 0.
int Zyl_GetModulePath(const void *address, char *buffer, int size);
// $TMPDIR, else /tmp. Returns 1 or 0 (does not fit).
int Zyl_GetTempDirectory(char *buffer, int size);
// The current folder. Returns 1 or 0.
int Zyl_GetCurrentDirectory(char *buffer, int size);
// The folder of a ZYL_FOLDER_* id. Returns 1, or 0 with "" for an unknown id
// ("Unable to get special folder (%d : %.8X)\n") or a folder that does not fit.
int Zyl_GetSpecialFolder(int folder, char *buffer, int size);
// The folder standing for "Program Files": the given root (copied), or
// ~/.local/opt when root is null or empty. Returns 1, or 0 when it does not fit.
int Zyl_SetInstallRoot(const char *root);

// In place: every '\' becomes '/' (paths from documents and command lines).
// Returns 1.
int Zyl_ToForwardSlashes(char *path);
// In place: '\' becomes '/'; with trailing 1 a missing final '/' is added, with 0
// one final '/' is removed; then "./" parts are dropped and each "../" removes
// the folder before it. size is the buffer's size: a path that would not fit is
// left unchanged and gives 0 (with a log line). An empty path stays empty.
int Zyl_NormalizePath(char *path, int trailing, int size);
// Asks the file system about path (one trailing separator ignored). 1 when it
// exists; *info is zeroed first.
int Zyl_StatPath(const char *path, struct stat *info);
// Creates the folder and every missing parent. With stripName 1 the text after
// the last separator is a file name and is not created. With verbose 1 prints
// "Check dir [%s]\n" and "Create Dir = %s\n". An existing folder counts as
// success. Returns 1, or 0 ("Unable to create [%d:%.8X] Dir = %s\n").
int Zyl_CreateDirectory(const char *path, int stripName, int verbose);
// The text after the last '/', '\' or ':' of path; with stripExtension 1 without
// the part from its last '.'. Returns 1, or 0 with "" when it does not fit.
int Zyl_GetFileName(const char *path, char *buffer, int size, int stripExtension);

// ---------------------------------------------------------------------------
// Dialogs, windows and the message pump: hooks
// ---------------------------------------------------------------------------

// Windows are the front end's own handles, opaque here. Each member may be null,
// which keeps the plain default noted with it.
struct ZylWindowHooks {
    // Runs pending UI events once; 1. Default: sched_yield.
    int (*PumpMessages)(void);
    // Shows a message box; returns the button pressed. Default: text on stderr, 1.
    int (*MessageBox)(void *owner, const char *text, const char *caption);
    // Save dialog: pairs holds pairCount (description, pattern) pairs; the chosen
    // full path goes to chosen. 1 when chosen. Default: cancel (0).
    int (*SaveFileDialog)(void *owner, const char *title, const char *directory,
                          const char *fileName, int flags, int pairCount, const char *const *pairs,
                          const char *defaultExtension, char *chosen, int chosenSize);
    // Folder dialog rooted at root (null: the desktop) opened on start. 1 when
    // chosen. Default: cancel (0).
    int (*BrowseForFolder)(void *owner, const char *title, const char *root, const char *start,
                           char *chosen, int chosenSize);
    // First top-level window whose class name or title equals one given (either
    // may be null), ignoring ASCII case. Default: none (0).
    int (*FindWindow)(const char *className, const char *title, void **window);
    // Restores and raises the window. Default: 0.
    int (*BringToFront)(void *window);
    // The virtual screen. Default: 0.
    int (*GetScreenRect)(int *left, int *top, int *width, int *height);
    // A window's position and size (parent null: the desktop). Default: 0.
    int (*GetWindowRect)(void *window, int *x, int *y, int *width, int *height);
    // Moves (and with resize 1 sizes) a window, z-order unchanged. Default: 1.
    int (*MoveWindow)(void *window, int x, int y, int width, int height, int resize);
};

// Installs the hooks (copied; null restores every default). Returns 1.
int Zyl_SetWindowHooks(const struct ZylWindowHooks *hooks);

// Message box through the hook (default: "caption: text" on stderr).
int Zyl_MessageBox(void *owner, const char *text, const char *caption);

// Flags of Zyl_SaveFileDialog.
enum {
    ZYL_SAVE_ALL_FILES = 0x1, // add "All Files (*.*)" with "*.*"
    ZYL_SAVE_MULTIPLE = 0x2,  // allow several files
    ZYL_SAVE_NO_OVERWRITE_PROMPT = 0x4,
};
// directory and fileName are in/out buffers of 320 characters; followed by
// pairCount pairs of (description, pattern) texts. The default extension is the
// text after the last '.' of the first pattern. On 1 fileName holds the chosen
// name and directory its folder (normalised, with '/'); 0 when cancelled.
int Zyl_SaveFileDialog(void *owner, const char *title, char *directory, char *fileName, int flags,
                       int pairCount, ...);
// path: in/out buffer of 320 characters (its text is the root when not empty);
// the dialog opens on startFolder. On 1 path holds the chosen folder with '/'.
int Zyl_BrowseForFolder(void *owner, const char *title, char *path, const char *startFolder);
// 1 and *window when a window matches (see the hook).
int Zyl_FindWindow(const char *className, const char *title, void **window);
// Centres the window on parent (null: the screen) and keeps it on screen.
int Zyl_CenterWindow(void *window, void *parent);
// Clamps (x, y) into the virtual screen and moves the window there (and sizes it
// when width and height are above 0).
int Zyl_KeepWindowOnScreen(void *window, int x, int y, int width, int height);

// ---------------------------------------------------------------------------
// Single instance
// ---------------------------------------------------------------------------

// Takes the lock file "<caption>-EXCLUSIVE.lock" in the runtime folder
// ($XDG_RUNTIME_DIR, else <temp>/portico-<uid>) and keeps it for the life of the
// process, retrying for up to `milliseconds`. The holder also listens on the Unix
// socket "<caption>-EXCLUSIVE.sock" beside it. When another process holds the
// lock: with bringForward 1 the message ZYL_INSTANCE_BRING_FORWARD is sent on
// that socket (title and className name the window it should raise; a local
// window found through the hooks is raised too); with showMessage 1 the message
// box "Only a single instance of this application can run" is shown; returns 1.
// Returns 0 when this process holds the lock, or when the lock cannot be made
// (message box "Unable to lock instance count").
int Zyl_LockSingleInstance(const char *caption, const char *title, const char *className,
                           int milliseconds, int bringForward, int showMessage);

// The text a second instance sends: "BRING-FORWARD\n".
extern const char ZYL_INSTANCE_BRING_FORWARD[];

// For the holder: the listening socket's descriptor (-1 when none), to watch in
// the front end's event loop.
int Zyl_GetSingleInstanceSocket(void);
// For the holder: takes one pending message from the socket without blocking.
// Returns 1 with the text in buffer (e.g. ZYL_INSTANCE_BRING_FORWARD), 0 when no
// message is waiting.
int Zyl_PollSingleInstanceMessage(char *buffer, int size);
// Releases the lock and removes the socket (process end does the same). Returns 1.
int Zyl_UnlockSingleInstance(void);
