// Path safety for the helpers that write and delete inside an installation:
// relative names that cannot climb out of their folder, joins that refuse a
// symbolic link on the way, and the folder checks of the update task's record.
#pragma once

enum { PATHSAFETY_PATH_SIZE = 320 }; // every path handled here, with its NUL

// 1 when relative is a safe path below a folder: not empty, not absolute, no
// ':' or control character, no ".." part, and at least one part other than ".".
int PathSafety_IsSafeRelativePath(const char *relative);
// Joins root (a folder) and relative into path (PATHSAFETY_PATH_SIZE) with '/'
// separators, refusing (0, logged) an unsafe relative path, a path too long, or
// a folder on the way below root that is a symbolic link. 1 on success.
int PathSafety_JoinInside(char *path, const char *root, const char *relative);
// Joins folder and name with one '/' into path (PATHSAFETY_PATH_SIZE). 1 when
// it fit; 0 (silent) otherwise.
int PathSafety_Join(char *path, const char *folder, const char *name);
// A folder of the task's record: absolute, ends with '/', not the file system
// root and without ".." parts. 1 when safe.
int PathSafety_IsSafeFolder(const char *folder);
// The normal absolute form of path with a final '/' into out
// (PATHSAFETY_PATH_SIZE). 0 when path is not absolute, has a ".." part or does
// not fit.
int PathSafety_NormalFolder(char *out, const char *path);
// 1 when inner is outer or lies below it (both made absolute and normal first;
// paths that cannot be compared count as overlapping).
int PathSafety_IsWithin(const char *inner, const char *outer);
// 1 when path names a symbolic link (not followed).
int PathSafety_IsLink(const char *path);
// 1 when something exists under path (a link counts, whatever it points to).
int PathSafety_Exists(const char *path);
// The path (PATHSAFETY_PATH_SIZE) below root of relative ('/' or '\\' parts)
// whose parts differ from the files on disk only in ASCII case: each missing
// part is taken when exactly one name of its folder matches it ignoring case,
// and the result is joined again as PathSafety_JoinInside does. 1 when found.
int PathSafety_FindNoCase(char *path, const char *root, const char *relative);
