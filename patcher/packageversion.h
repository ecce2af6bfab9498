// The ".version" document of an installed package (PackageVersion): installed
// release number and name and, while an update is under way, the whole task
// status, saved atomically so a crash leaves the old or the new document.
#pragma once

#include <cstdint>

struct PackageVersion;
struct PatcherTaskStatus;

enum { PACKAGEVERSION_NAME_SIZE = 80 };
// The writer's version text; documents below 1.008 are not read.
#define PACKAGEVERSION_PATCHER_VERSION "2.0.8.5"

// Creates the object: Version -1 (nothing installed), Name "1.0", not in
// progress, with an empty task status. Returns 1 and sets *version.
int PackageVersion_Create(PackageVersion **version);
// Frees it with its task status, clears *version. Accepts a null *version.
int PackageVersion_Destroy(PackageVersion **version);

// Getters; each returns 1.
int PackageVersion_GetVersion(PackageVersion *version, int32_t *number);
// Pointer to the object's own name text (valid while it lives).
int PackageVersion_GetName(PackageVersion *version, const char **name);
int PackageVersion_GetInProgress(PackageVersion *version, int32_t *inProgress);
// The object's own task status.
int PackageVersion_GetTaskStatus(PackageVersion *version, PatcherTaskStatus **status);
// Version := 0. Returns 1.
int PackageVersion_ResetVersion(PackageVersion *version);
// Version and Name := the status's CurrentVersion and CurrentName, InProgress :=
// inProgress, and the status copied into the object's own. Returns 1; 0 when a
// command list could not be copied.
int PackageVersion_SetFromTask(PatcherTaskStatus *status, PackageVersion *version,
                               int32_t inProgress);
// Reads the document at path. Returns 1; 0 (logged to the Alert log) when the
// file is missing or unreadable, has no "PackageVersion" element or
// "PatcherVersion" attribute, is older than 1.008, or its task status is
// refused; the object then keeps what was read so far.
int PackageVersion_LoadVersion(PackageVersion *version, const char *path);
// Writes the document to path atomically. Returns 1; 0 (logged) when it could
// not be written completely, leaving any previous document untouched.
int PackageVersion_Save(PackageVersion *version, const char *path);
