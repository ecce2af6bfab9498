// Well-known folders from the XDG base-directory variables and user-dirs.dirs,
// with the usual fallbacks under the home folder. Environment variables are read
// at every call, so a program (or a test) may point them elsewhere at any time.
#include "platform/shfolder.h"

#include <dlfcn.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kPathSize = 4096 };

static int ShFolder_Copy(char *buffer, int size, const char *a, const char *b) {
    int written = snprintf(buffer, (size_t)size, "%s%s", a, b ? b : "");
    if (written < 0 || written >= size) {
        buffer[0] = 0;
        return 0;
    }
    return 1;
}

static int ShFolder_Home(char *buffer, int size) {
    const char *home = getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return ShFolder_Copy(buffer, size, home, nullptr);
    struct passwd entry;
    struct passwd *found = nullptr;
    char scratch[4096];
    if (getpwuid_r(getuid(), &entry, scratch, sizeof(scratch), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr)
        return 0;
    return ShFolder_Copy(buffer, size, found->pw_dir, nullptr);
}

// An XDG variable counts only when it holds an absolute path.
static int ShFolder_FromEnv(const char *name, const char *fallback, char *buffer, int size) {
    const char *value = getenv(name);
    if (value != nullptr && value[0] == '/')
        return ShFolder_Copy(buffer, size, value, nullptr);
    char home[kPathSize];
    if (!ShFolder_Home(home, sizeof(home)))
        return 0;
    return ShFolder_Copy(buffer, size, home, fallback);
}

// Looks up a line `NAME="$HOME/Folder"` or `NAME="/abs/path"` in user-dirs.dirs.
static int ShFolder_UserDir(const char *name, const char *fallback, char *buffer, int size) {
    char config[kPathSize];
    char home[kPathSize];
    if (!ShFolder_FromEnv("XDG_CONFIG_HOME", "/.config", config, sizeof(config)) ||
        !ShFolder_Home(home, sizeof(home)))
        return 0;
    char file[4200];
    snprintf(file, sizeof(file), "%s/user-dirs.dirs", config);
    FILE *stream = fopen(file, "r");
    if (stream != nullptr) {
        char line[1024];
        size_t nameLength = strlen(name);
        while (fgets(line, sizeof(line), stream) != nullptr) {
            if (strncmp(line, name, nameLength) != 0 || line[nameLength] != '=')
                continue;
            char *value = line + nameLength + 1;
            if (*value == '"')
                value++;
            char *end = strchr(value, '"');
            if (end == nullptr)
                end = value + strcspn(value, "\r\n");
            *end = 0;
            int ok = 0;
            if (strncmp(value, "$HOME", 5) == 0 && (value[5] == '/' || value[5] == 0))
                ok = ShFolder_Copy(buffer, size, home, value + 5);
            else if (value[0] == '/')
                ok = ShFolder_Copy(buffer, size, value, nullptr);
            if (ok) {
                fclose(stream);
                return 1;
            }
        }
        fclose(stream);
    }
    return ShFolder_Copy(buffer, size, home, fallback);
}

int ShFolder_Get(int kind, char *buffer, int size) {
    if (buffer == nullptr || size <= 0)
        return 0;
    buffer[0] = 0;
    switch (kind) {
    case SHFOLDER_HOME:
        return ShFolder_Home(buffer, size);
    case SHFOLDER_CONFIG:
        return ShFolder_FromEnv("XDG_CONFIG_HOME", "/.config", buffer, size);
    case SHFOLDER_DATA:
        return ShFolder_FromEnv("XDG_DATA_HOME", "/.local/share", buffer, size);
    case SHFOLDER_CACHE:
        return ShFolder_FromEnv("XDG_CACHE_HOME", "/.cache", buffer, size);
    case SHFOLDER_STATE:
        return ShFolder_FromEnv("XDG_STATE_HOME", "/.local/state", buffer, size);
    case SHFOLDER_DESKTOP:
        return ShFolder_UserDir("XDG_DESKTOP_DIR", "/Desktop", buffer, size);
    case SHFOLDER_DOCUMENTS:
        return ShFolder_UserDir("XDG_DOCUMENTS_DIR", "/Documents", buffer, size);
    case SHFOLDER_RUNTIME: {
        const char *runtime = getenv("XDG_RUNTIME_DIR");
        if (runtime != nullptr && runtime[0] == '/')
            return ShFolder_Copy(buffer, size, runtime, nullptr);
        // A folder of our own in the shared temporary folder, so users do not
        // collide; made here (mode 0700) and refused unless it is ours alone.
        char temp[kPathSize];
        char suffix[64];
        snprintf(suffix, sizeof(suffix), "/portico-%u", (unsigned)getuid());
        if (!ShFolder_Get(SHFOLDER_TEMP, temp, sizeof(temp)) ||
            !ShFolder_Copy(buffer, size, temp, suffix))
            return 0;
        mkdir(buffer, 0700);
        struct stat info;
        if (lstat(buffer, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid() ||
            (info.st_mode & 077) != 0) {
            buffer[0] = 0;
            return 0;
        }
        return 1;
    }
    case SHFOLDER_TEMP: {
        const char *temp = getenv("TMPDIR");
        if (temp == nullptr || temp[0] != '/')
            temp = "/tmp";
        int ok = ShFolder_Copy(buffer, size, temp, nullptr);
        // "/tmp/" and "/" keep their meaning without the final separator.
        int length = (int)strlen(buffer);
        while (ok && length > 1 && buffer[length - 1] == '/')
            buffer[--length] = 0;
        return ok;
    }
    default:
        return 0;
    }
}

int ShFolder_GetProgramPath(char *buffer, int size) {
    if (buffer == nullptr || size <= 0)
        return 0;
    buffer[0] = 0;
    ssize_t length = readlink("/proc/self/exe", buffer, (size_t)size);
    if (length <= 0 || length >= size) {
        buffer[0] = 0;
        return 0;
    }
    buffer[length] = 0;
    return 1;
}

int ShFolder_GetModuleFile(const void *address, char *buffer, int size) {
    if (buffer == nullptr || size <= 0)
        return 0;
    buffer[0] = 0;
    if (address == nullptr)
        return ShFolder_GetProgramPath(buffer, size);
    Dl_info info;
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr)
        return 0;
    // The program itself is named by its argv[0], which may be relative.
    if (info.dli_fname[0] != '/')
        return ShFolder_GetProgramPath(buffer, size);
    char *resolved = realpath(info.dli_fname, nullptr);
    if (resolved == nullptr)
        return 0;
    int ok = ShFolder_Copy(buffer, size, resolved, nullptr);
    free(resolved);
    return ok;
}

int ShFolder_GetCurrent(char *buffer, int size) {
    if (buffer == nullptr || size <= 0)
        return 0;
    if (getcwd(buffer, (size_t)size) == nullptr) {
        buffer[0] = 0;
        return 0;
    }
    return 1;
}
