// Path safety for the expansion and delete helpers: names are checked part by
// part before any join, and every folder between a root and the joined path is
// looked at without following links.
#include "patcher/pathsafety.h"

#include "core/oshelper.h"
#include "core/zyl.h"
#include "patcher/patcherlog.h"

#include <cstring>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

int PathSafety_IsSafeRelativePath(const char *relative) {
    ZYL_CHECK_PTR(relative);
    if (relative[0] == 0 || relative[0] == '/' || relative[0] == '\\') {
        return 0;
    }
    int realParts = 0;
    const char *p = relative;
    while (*p) {
        const char *start = p;
        while (*p && *p != '/' && *p != '\\') {
            if ((unsigned char)*p < 32 || *p == ':' || *p == 127) {
                return 0;
            }
            p++;
        }
        int length = (int)(p - start);
        if (length == 2 && start[0] == '.' && start[1] == '.') {
            return 0;
        }
        if (length > 0 && !(length == 1 && start[0] == '.')) {
            realParts++;
        }
        if (*p) {
            p++;
        }
    }
    return realParts > 0;
}

int PathSafety_IsLink(const char *path) {
    ZYL_CHECK_PTR(path);
    struct stat info;
    return lstat(path, &info) == 0 && S_ISLNK(info.st_mode);
}

int PathSafety_Exists(const char *path) {
    ZYL_CHECK_PTR(path);
    struct stat info;
    return lstat(path, &info) == 0;
}

int PathSafety_Join(char *path, const char *folder, const char *name) {
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(folder);
    ZYL_CHECK_PTR(name);
    int length = Zyl_StrLen(folder);
    const char *separator =
        length > 0 && (folder[length - 1] == '/' || folder[length - 1] == '\\') ? "" : "/";
    int total = Zyl_FormatString(path, PATHSAFETY_PATH_SIZE, "%s%s%s", folder, separator, name);
    return total < PATHSAFETY_PATH_SIZE - 1 &&
           total == length + Zyl_StrLen(separator) + Zyl_StrLen(name);
}

int PathSafety_JoinInside(char *path, const char *root, const char *relative) {
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(root);
    ZYL_CHECK_PTR(relative);
    path[0] = 0;
    if (!PathSafety_IsSafeRelativePath(relative)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Refusing path outside the installation [%s]", relative);
        return 0;
    }
    char joined[PATHSAFETY_PATH_SIZE];
    if (!PathSafety_Join(joined, root, relative)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Refusing path too long [%s] [%s]", root, relative);
        return 0;
    }
    Zyl_ToForwardSlashes(joined);
    // Every folder on the way below root must be a real folder: a link would
    // lead the write or the delete somewhere else.
    int rootLength = Zyl_StrLen(root);
    for (int i = rootLength + 1; joined[i]; i++) {
        if (joined[i] != '/') {
            continue;
        }
        joined[i] = 0;
        int link = PathSafety_IsLink(joined);
        joined[i] = '/';
        if (link) {
            Patcher_Log(PATCHER_LOG_WARNING, "Refusing path through a symbolic link [%s]", joined);
            return 0;
        }
    }
    Zyl_StrCopy(path, joined, PATHSAFETY_PATH_SIZE);
    return 1;
}

int PathSafety_IsSafeFolder(const char *folder) {
    ZYL_CHECK_PTR(folder);
    int length = Zyl_StrLen(folder);
    if (length < 2 || folder[0] != '/' || folder[length - 1] != '/') {
        return 0;
    }
    return PathSafety_IsSafeRelativePath(folder + 1);
}

int PathSafety_NormalFolder(char *out, const char *path) {
    ZYL_CHECK_PTR(out);
    ZYL_CHECK_PTR(path);
    if (path[0] != '/' || !Zyl_StrCopy(out, path, PATHSAFETY_PATH_SIZE) ||
        (path[1] != 0 && !PathSafety_IsSafeRelativePath(path + 1))) {
        return 0;
    }
    return Zyl_NormalizePath(out, 1, PATHSAFETY_PATH_SIZE);
}

int PathSafety_IsWithin(const char *inner, const char *outer) {
    ZYL_CHECK_PTR(inner);
    ZYL_CHECK_PTR(outer);
    char a[PATHSAFETY_PATH_SIZE], b[PATHSAFETY_PATH_SIZE];
    if (!Zyl_StrCopy(a, inner, PATHSAFETY_PATH_SIZE) ||
        !Zyl_StrCopy(b, outer, PATHSAFETY_PATH_SIZE) ||
        !Zyl_NormalizePath(a, 1, PATHSAFETY_PATH_SIZE) ||
        !Zyl_NormalizePath(b, 1, PATHSAFETY_PATH_SIZE)) {
        return 1; // cannot tell: treat as overlapping
    }
    return Zyl_StrStartsWith(a, b);
}

int PathSafety_FindNoCase(char *path, const char *root, const char *relative) {
    char folder[PATHSAFETY_PATH_SIZE], rest[PATHSAFETY_PATH_SIZE], found[PATHSAFETY_PATH_SIZE] = "";
    Zyl_StrCopy(folder, root, PATHSAFETY_PATH_SIZE);
    Zyl_StrCopy(rest, relative, PATHSAFETY_PATH_SIZE);
    char *save = nullptr;
    for (char *part = strtok_r(rest, "/\\", &save); part != nullptr;
         part = strtok_r(nullptr, "/\\", &save)) {
        char candidate[PATHSAFETY_PATH_SIZE], name[PATHSAFETY_PATH_SIZE];
        Zyl_StrCopy(name, part, PATHSAFETY_PATH_SIZE);
        if (!PathSafety_Join(candidate, folder, name))
            return 0;
        if (!PathSafety_Exists(candidate)) {
            DIR *dir = opendir(folder);
            if (dir == nullptr)
                return 0;
            int matches = 0;
            for (struct dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
                if (strcasecmp(entry->d_name, part) == 0) {
                    Zyl_StrCopy(name, entry->d_name, PATHSAFETY_PATH_SIZE);
                    matches++;
                }
            }
            closedir(dir);
            if (matches != 1)
                return 0;
            PathSafety_Join(candidate, folder, name);
        }
        if (found[0] != 0)
            Zyl_StrAppend(found, "/", PATHSAFETY_PATH_SIZE);
        Zyl_StrAppend(found, name, PATHSAFETY_PATH_SIZE);
        Zyl_StrCopy(folder, candidate, PATHSAFETY_PATH_SIZE);
    }
    // Joined again, so that a link met on the way is refused as for exact names.
    return found[0] != 0 && PathSafety_JoinInside(path, root, found) && PathSafety_Exists(path);
}
