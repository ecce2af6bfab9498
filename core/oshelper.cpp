// OS helpers of the core runtime: folders with a trailing '/', path normalisation,
// recursive folder creation, error texts, the single-instance lock and the hooks
// through which the front end supplies windows, dialogs and its message pump.
#include "core/oshelper.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <sched.h>
#include <unistd.h>

#include "core/zyl.h"
#include "platform/instancelock.h"
#include "platform/shfolder.h"

enum { kPathMax = 4096, kDialogSize = 320, kMaxFilterPairs = 32 };

const char ZYL_INSTANCE_BRING_FORWARD[] = "BRING-FORWARD\n";

static ZylWindowHooks g_hooks;            // members set by the front end; null = default
static char g_installRoot[kPathMax] = ""; // "Program Files"; empty = ~/.local/opt

// ---------------------------------------------------------------------------
// Start-up and errors
// ---------------------------------------------------------------------------

int Zyl_ComInit(void) {
    return 1;
}

int Zyl_ComUninit(void) {
    return 1;
}

int Zyl_GetErrorTextFor(int error, char *buffer, int size) {
    ZYL_CHECK_PTR(buffer);
    if (size <= 0)
        return 0;
    char scratch[256];
    const char *text = strerror_r(error, scratch, sizeof(scratch)); // GNU form
    if (text == nullptr || text[0] == 0 || Zyl_StrStartsWith(text, "Unknown error")) {
        Zyl_StrCopy(buffer, "Unknown", size);
        return 0;
    }
    Zyl_StrCopy(buffer, text, size);
    int length = Zyl_StrLen(buffer);
    while (length > 0 && (unsigned char)buffer[length - 1] <= 32)
        buffer[--length] = 0;
    return 1;
}

int Zyl_GetErrorText(char *buffer, int size) {
    int error = errno;
    int result = Zyl_GetErrorTextFor(error, buffer, size);
    errno = error;
    return result;
}

int Zyl_PumpMessages(void) {
    if (g_hooks.PumpMessages != nullptr)
        return g_hooks.PumpMessages();
    sched_yield();
    return 1;
}

// ---------------------------------------------------------------------------
// Folders and paths
// ---------------------------------------------------------------------------

// Copies folder to buffer with one final '/'. 1, or 0 with "" when it does not fit.
static int Zyl_StoreFolder(const char *folder, char *buffer, int size) {
    int length = Zyl_StrLen(folder);
    int slash = (length > 0 && folder[length - 1] == '/') ? 0 : 1;
    if (length + slash + 1 > size) {
        Zyl_Print("Zyl_StoreFolder() folder does not fit %d [%s]\n", size, folder);
        buffer[0] = 0;
        return 0;
    }
    Zyl_StrCopy(buffer, folder, size);
    if (slash)
        Zyl_StrAppend(buffer, "/", size);
    return 1;
}

// Cuts a file path after its last '/' and stores the folder.
static int Zyl_StoreParentFolder(char *file, char *buffer, int size) {
    int position = 0;
    if (!Zyl_StrFindLastChar(file, '/', &position)) {
        buffer[0] = 0;
        return 0;
    }
    file[position + 1] = 0;
    return Zyl_StoreFolder(file, buffer, size);
}

int Zyl_GetModuleDirectory(char *buffer, int size) {
    return Zyl_GetModulePath(nullptr, buffer, size);
}

int Zyl_GetModulePath(const void *address, char *buffer, int size) {
    ZYL_CHECK_PTR(buffer);
    if (size <= 0)
        return 0;
    buffer[0] = 0;
    char file[kPathMax];
    if (!ShFolder_GetModuleFile(address, file, sizeof(file))) {
        Zyl_Print("Zyl_GetModulePath() unable to read the module path\n");
        return 0;
    }
    return Zyl_StoreParentFolder(file, buffer, size);
}

static int Zyl_GetShFolder(int kind, char *buffer, int size) {
    ZYL_CHECK_PTR(buffer);
    if (size <= 0)
        return 0;
    buffer[0] = 0;
    char folder[kPathMax];
    if (!ShFolder_Get(kind, folder, sizeof(folder))) {
        Zyl_Print("Zyl_GetShFolder() unable to find folder %d\n", kind);
        return 0;
    }
    return Zyl_StoreFolder(folder, buffer, size);
}

int Zyl_GetTempDirectory(char *buffer, int size) {
    return Zyl_GetShFolder(SHFOLDER_TEMP, buffer, size);
}

int Zyl_GetCurrentDirectory(char *buffer, int size) {
    ZYL_CHECK_PTR(buffer);
    if (size <= 0)
        return 0;
    buffer[0] = 0;
    char folder[kPathMax];
    if (!ShFolder_GetCurrent(folder, sizeof(folder))) {
        Zyl_Print("Zyl_GetCurrentDirectory() getcwd failed %d\n", errno);
        return 0;
    }
    return Zyl_StoreFolder(folder, buffer, size);
}

int Zyl_SetInstallRoot(const char *root) {
    if (root == nullptr || root[0] == 0) {
        g_installRoot[0] = 0;
        return 1;
    }
    if (Zyl_StrLen(root) >= kPathMax - 1) {
        Zyl_Print("Zyl_SetInstallRoot() root too long [%s]\n", root);
        return 0;
    }
    Zyl_StrCopy(g_installRoot, root, sizeof(g_installRoot));
    return Zyl_ToForwardSlashes(g_installRoot);
}

// "Program Files": the configured install root, else ~/.local/opt.
static int Zyl_GetProgramFiles(char *buffer, int size) {
    if (g_installRoot[0] != 0)
        return Zyl_StoreFolder(g_installRoot, buffer, size);
    char home[kPathMax];
    if (!ShFolder_Get(SHFOLDER_HOME, home, sizeof(home)) ||
        !Zyl_StrAppend(home, "/.local/opt", sizeof(home))) {
        buffer[0] = 0;
        return 0;
    }
    return Zyl_StoreFolder(home, buffer, size);
}

// A folder below an XDG base folder, e.g. $XDG_DATA_HOME/applications.
static int Zyl_GetSubFolder(int kind, const char *child, char *buffer, int size) {
    char folder[kPathMax];
    if (!ShFolder_Get(kind, folder, sizeof(folder)) ||
        !Zyl_StrAppend(folder, child, sizeof(folder))) {
        buffer[0] = 0;
        return 0;
    }
    return Zyl_StoreFolder(folder, buffer, size);
}

int Zyl_GetSpecialFolder(int folder, char *buffer, int size) {
    ZYL_CHECK_PTR(buffer);
    if (size <= 0)
        return 0;
    buffer[0] = 0;
    switch (folder) {
    case ZYL_FOLDER_DESKTOP:
    case ZYL_FOLDER_DESKTOPDIRECTORY:
    case ZYL_FOLDER_COMMON_DESKTOP:
        return Zyl_GetShFolder(SHFOLDER_DESKTOP, buffer, size);
    case ZYL_FOLDER_PERSONAL:
        return Zyl_GetShFolder(SHFOLDER_DOCUMENTS, buffer, size);
    case ZYL_FOLDER_PROGRAMS:
    case ZYL_FOLDER_STARTMENU:
    case ZYL_FOLDER_COMMON_STARTMENU:
    case ZYL_FOLDER_COMMON_PROGRAMS:
        return Zyl_GetSubFolder(SHFOLDER_DATA, "/applications", buffer, size);
    case ZYL_FOLDER_STARTUP:
        return Zyl_GetSubFolder(SHFOLDER_CONFIG, "/autostart", buffer, size);
    case ZYL_FOLDER_APPDATA:
        return Zyl_GetShFolder(SHFOLDER_CONFIG, buffer, size);
    case ZYL_FOLDER_LOCAL_APPDATA:
    case ZYL_FOLDER_COMMON_APPDATA:
        return Zyl_GetShFolder(SHFOLDER_DATA, buffer, size);
    case ZYL_FOLDER_INTERNET_CACHE:
        return Zyl_GetShFolder(SHFOLDER_CACHE, buffer, size);
    case ZYL_FOLDER_PROGRAM_FILES:
    case ZYL_FOLDER_PROGRAM_FILES_X86:
        return Zyl_GetProgramFiles(buffer, size);
    default:
        Zyl_Print("Unable to get special folder (%d : %.8X)\n", folder, EINVAL);
        return 0;
    }
}

// Appends the part [start, end) of a path to out; "./" parts are dropped and a
// "../" removes the folder before it when there is one.
static void Zyl_AppendPathPart(char *out, int *length, const char *start, int partLength,
                               int withSlash) {
    if (withSlash && partLength == 1 && start[0] == '.')
        return;
    if (withSlash && partLength == 2 && start[0] == '.' && start[1] == '.') {
        // The folder before it: out ends with '/', its name starts after the '/' before.
        int end = *length - 1;
        int begin = end;
        while (begin > 0 && out[begin - 1] != '/')
            begin--;
        int nameLength = end - begin;
        int isParent = nameLength == 2 && out[begin] == '.' && out[begin + 1] == '.';
        if (*length > 0 && nameLength > 0 && !isParent) {
            *length = begin;
            out[*length] = 0;
            return;
        }
        if (*length > 0 && nameLength == 0 && begin == 0)
            return; // "/../" is the root itself
    }
    memcpy(out + *length, start, (size_t)partLength);
    *length += partLength;
    if (withSlash)
        out[(*length)++] = '/';
    out[*length] = 0;
}

int Zyl_ToForwardSlashes(char *path) {
    ZYL_CHECK_PTR(path);
    for (char *c = path; *c; c++)
        if (*c == '\\')
            *c = '/';
    return 1;
}

int Zyl_NormalizePath(char *path, int trailing, int size) {
    ZYL_CHECK_PTR(path);
    int length = Zyl_StrLen(path);
    if (length == 0)
        return 1;
    if (length + 2 > kPathMax || length + 1 > size) {
        Zyl_Print("Zyl_NormalizePath() path too long [%s]\n", path);
        return 0;
    }
    char work[kPathMax] = {};
    for (int i = 0; i <= length; i++)
        work[i] = path[i] == '\\' ? '/' : path[i];
    if (trailing == 1 && work[length - 1] != '/') {
        work[length++] = '/';
        work[length] = 0;
    } else if (trailing == 0 && length > 1 && work[length - 1] == '/') {
        work[--length] = 0;
    }
    char out[kPathMax];
    int outLength = 0;
    out[0] = 0;
    const char *part = work;
    for (const char *c = work;; c++) {
        if (*c == '/' || *c == 0) {
            Zyl_AppendPathPart(out, &outLength, part, (int)(c - part), *c == '/');
            if (*c == 0)
                break;
            part = c + 1;
        }
    }
    if (outLength + 1 > size) {
        Zyl_Print("Zyl_NormalizePath() path does not fit %d [%s]\n", size, path);
        return 0;
    }
    memcpy(path, out, (size_t)outLength + 1);
    return 1;
}

int Zyl_StatPath(const char *path, struct stat *info) {
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(info);
    memset(info, 0, sizeof(*info));
    char work[kPathMax];
    if (!Zyl_StrCopy(work, path, sizeof(work)))
        return 0;
    Zyl_ToForwardSlashes(work);
    int length = Zyl_StrLen(work);
    if (length > 1 && work[length - 1] == '/')
        work[length - 1] = 0;
    if (stat(work, info) != 0) {
        memset(info, 0, sizeof(*info));
        return 0;
    }
    return 1;
}

static int Zyl_IsDirectory(const char *path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates path (a '/' path without trailing separator) after its parents.
static int Zyl_CreateDirectoryTree(char *path, int verbose) {
    int length = Zyl_StrLen(path);
    if (length == 0 || (length == 2 && path[1] == ':') || Zyl_IsDirectory(path))
        return 1;
    int position = 0;
    if (Zyl_StrFindLastChar(path, '/', &position) && position > 0) {
        path[position] = 0;
        int parent = Zyl_CreateDirectoryTree(path, verbose);
        path[position] = '/';
        if (!parent)
            return 0;
    }
    if (mkdir(path, 0755) == 0) {
        if (verbose == 1)
            Zyl_Print("Create Dir = %s\n", path);
        return 1;
    }
    int error = errno;
    if (error == EEXIST && Zyl_IsDirectory(path))
        return 1; // made by another process meanwhile
    Zyl_Print("Unable to create [%d:%.8X] Dir = %s\n", error, error, path);
    return 0;
}

int Zyl_CreateDirectory(const char *path, int stripName, int verbose) {
    ZYL_CHECK_PTR(path);
    char work[kPathMax];
    if (!Zyl_StrCopy(work, path, sizeof(work))) {
        Zyl_Print("Zyl_CreateDirectory() path too long [%s]\n", path);
        return 0;
    }
    Zyl_ToForwardSlashes(work);
    int length = Zyl_StrLen(work);
    if (stripName == 1) {
        int position = 0;
        if (!Zyl_StrFindLastChar(work, '/', &position))
            return 1; // a bare file name lives in the current folder
        work[position] = 0;
        length = position;
    }
    if (verbose == 1)
        Zyl_Print("Check dir [%s]\n", work);
    while (length > 1 && work[length - 1] == '/')
        work[--length] = 0;
    return Zyl_CreateDirectoryTree(work, verbose);
}

int Zyl_GetFileName(const char *path, char *buffer, int size, int stripExtension) {
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(buffer);
    if (size <= 0)
        return 0;
    buffer[0] = 0;
    const char *name = path;
    for (const char *c = path; *c; c++)
        if (*c == '/' || *c == '\\' || *c == ':')
            name = c + 1;
    int length = Zyl_StrLen(name);
    if (stripExtension == 1) {
        int position = 0;
        if (Zyl_StrFindLastChar(name, '.', &position))
            length = position;
    }
    if (length + 1 > size) {
        Zyl_Print("Zyl_GetFileName() name does not fit %d [%s]\n", size, path);
        return 0;
    }
    memcpy(buffer, name, (size_t)length);
    buffer[length] = 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Hooks: dialogs and windows
// ---------------------------------------------------------------------------

int Zyl_SetWindowHooks(const ZylWindowHooks *hooks) {
    if (hooks == nullptr)
        memset(&g_hooks, 0, sizeof(g_hooks));
    else
        g_hooks = *hooks;
    return 1;
}

int Zyl_MessageBox(void *owner, const char *text, const char *caption) {
    ZYL_CHECK_PTR(text);
    if (g_hooks.MessageBox != nullptr)
        return g_hooks.MessageBox(owner, text, caption ? caption : "");
    Zyl_Print("%s: %s\n", caption ? caption : "", text);
    char line[1024];
    int length = Zyl_FormatString(line, sizeof(line), "%s: %s\n", caption ? caption : "", text);
    ssize_t ignored = write(2, line, (size_t)length);
    (void)ignored;
    return 1;
}

int Zyl_SaveFileDialog(void *owner, const char *title, char *directory, char *fileName, int flags,
                       int pairCount, ...) {
    ZYL_CHECK_PTR(directory);
    ZYL_CHECK_PTR(fileName);
    if (pairCount < 0 || pairCount > kMaxFilterPairs) {
        Zyl_Print("Zyl_SaveFileDialog() too many filters %d\n", pairCount);
        return 0;
    }
    const char *pairs[2 * (kMaxFilterPairs + 1)] = {};
    va_list args;
    va_start(args, pairCount);
    for (int i = 0; i < 2 * pairCount; i++)
        pairs[i] = va_arg(args, const char *);
    va_end(args);
    int count = pairCount;
    if (flags & ZYL_SAVE_ALL_FILES) {
        pairs[2 * count] = "All Files (*.*)";
        pairs[2 * count + 1] = "*.*";
        count++;
    }
    char extension[64] = "";
    int position = 0;
    if (pairCount > 0 && pairs[1] != nullptr && Zyl_StrFindLastChar(pairs[1], '.', &position))
        Zyl_StrCopy(extension, pairs[1] + position + 1, sizeof(extension));
    char preselected[80];
    Zyl_StrCopy(preselected, fileName, sizeof(preselected)); // its first 79 characters
    if (g_hooks.SaveFileDialog == nullptr)
        return 0;
    char chosen[kDialogSize];
    chosen[0] = 0;
    if (!g_hooks.SaveFileDialog(owner, title, directory, preselected, flags, count, pairs,
                                extension, chosen, sizeof(chosen)) ||
        chosen[0] == 0)
        return 0;
    char name[kDialogSize];
    char folder[kDialogSize];
    if (!Zyl_GetFileName(chosen, name, sizeof(name), 0) ||
        !Zyl_StrCopy(folder, chosen, sizeof(folder)))
        return 0;
    folder[Zyl_StrLen(chosen) - Zyl_StrLen(name)] = 0;
    if (!Zyl_NormalizePath(folder, 1, sizeof(folder)))
        return 0;
    Zyl_StrCopy(fileName, name, kDialogSize);
    Zyl_StrCopy(directory, folder, kDialogSize);
    return 1;
}

int Zyl_BrowseForFolder(void *owner, const char *title, char *path, const char *startFolder) {
    ZYL_CHECK_PTR(path);
    if (g_hooks.BrowseForFolder == nullptr)
        return 0;
    char start[kDialogSize] = "";
    if (startFolder != nullptr && Zyl_StrCopy(start, startFolder, sizeof(start))) {
        int length = Zyl_StrLen(start);
        if (length > 1 && (start[length - 1] == '/' || start[length - 1] == '\\'))
            start[length - 1] = 0;
    }
    char chosen[kDialogSize];
    chosen[0] = 0;
    if (!g_hooks.BrowseForFolder(owner, title, path[0] ? path : nullptr, start, chosen,
                                 sizeof(chosen)) ||
        chosen[0] == 0)
        return 0;
    if (!Zyl_NormalizePath(chosen, 1, sizeof(chosen)))
        return 0;
    Zyl_StrCopy(path, chosen, kDialogSize);
    return 1;
}

int Zyl_FindWindow(const char *className, const char *title, void **window) {
    ZYL_CHECK_PTR(window);
    *window = nullptr;
    if (g_hooks.FindWindow == nullptr)
        return 0;
    return g_hooks.FindWindow(className, title, window);
}

int Zyl_KeepWindowOnScreen(void *window, int x, int y, int width, int height) {
    int left = 0, top = 0, screenWidth = 0, screenHeight = 0;
    if (g_hooks.GetScreenRect != nullptr &&
        g_hooks.GetScreenRect(&left, &top, &screenWidth, &screenHeight)) {
        int windowWidth = width, windowHeight = height;
        int wx = 0, wy = 0;
        if ((windowWidth <= 0 || windowHeight <= 0) && g_hooks.GetWindowRect != nullptr)
            g_hooks.GetWindowRect(window, &wx, &wy, &windowWidth, &windowHeight);
        if (x < left)
            x = left;
        if (x > screenWidth - left)
            x = screenWidth - left - windowWidth;
        if (y < top)
            y = top;
        if (y > screenHeight - top)
            y = screenHeight - top - windowHeight;
    }
    if (g_hooks.MoveWindow == nullptr)
        return 1;
    return g_hooks.MoveWindow(window, x, y, width, height, width > 0 && height > 0);
}

int Zyl_CenterWindow(void *window, void *parent) {
    if (g_hooks.GetWindowRect == nullptr)
        return 1;
    int x = 0, y = 0, width = 0, height = 0;
    int px = 0, py = 0, pw = 0, ph = 0;
    if (!g_hooks.GetWindowRect(window, &x, &y, &width, &height))
        return 0;
    int haveParent = parent != nullptr ? g_hooks.GetWindowRect(parent, &px, &py, &pw, &ph)
                                       : (g_hooks.GetScreenRect != nullptr &&
                                          g_hooks.GetScreenRect(&px, &py, &pw, &ph));
    if (!haveParent)
        return 0;
    return Zyl_KeepWindowOnScreen(window, px + (pw - width) / 2, py + (ph - height) / 2, 0, 0);
}

// ---------------------------------------------------------------------------
// Single instance
// ---------------------------------------------------------------------------

int Zyl_LockSingleInstance(const char *caption, const char *title, const char *className,
                           int milliseconds, int bringForward, int showMessage) {
    ZYL_CHECK_PTR(caption);
    char folder[kPathMax];
    int state = INSTANCELOCK_ERROR;
    if (!ShFolder_Get(SHFOLDER_RUNTIME, folder, sizeof(folder)))
        Zyl_Print("Zyl_LockSingleInstance() no runtime folder [%s]\n", caption);
    else
        state = InstanceLock_Acquire(folder, caption, milliseconds);
    int error = errno;
    if (state == INSTANCELOCK_ERROR) {
        if (folder[0] != 0)
            Zyl_Print("Zyl_LockSingleInstance() lock failed [%s/%s] %d\n", folder, caption, error);
        Zyl_MessageBox(nullptr, "Unable to lock instance count", caption);
        return 0;
    }
    if (state == INSTANCELOCK_HELD) {
        if (InstanceLock_GetSocket() < 0)
            Zyl_Print("Zyl_LockSingleInstance() no message socket [%s/%s] %d\n", folder, caption,
                      error);
        return 0;
    }
    void *window = nullptr;
    Zyl_FindWindow(className, title, &window);
    if (bringForward == 1) {
        if (!InstanceLock_Send(folder, caption, ZYL_INSTANCE_BRING_FORWARD))
            Zyl_Print("Zyl_LockSingleInstance() message to the holder failed [%s/%s] %d\n", folder,
                      caption, errno);
        if (window != nullptr && g_hooks.BringToFront != nullptr)
            g_hooks.BringToFront(window);
    }
    if (showMessage == 1)
        Zyl_MessageBox(window, "Only a single instance of this application can run", caption);
    return 1;
}

int Zyl_GetSingleInstanceSocket(void) {
    return InstanceLock_GetSocket();
}

int Zyl_PollSingleInstanceMessage(char *buffer, int size) {
    ZYL_CHECK_PTR(buffer);
    return InstanceLock_Poll(buffer, size);
}

int Zyl_UnlockSingleInstance(void) {
    return InstanceLock_Release();
}
