// A failed self-update remembered beside the package's version document, so the
// launcher that the self-updater starts again does not hand the same release
// straight back to it: the self-updater records its failure, the launcher holds
// the restart for that release until a pause has passed or another release is
// under way.
#pragma once

#include <cstdint>

enum {
    UPDATERHOLD_PAUSE = 3600,      // seconds a failed release is held before it is tried again
    UPDATERHOLD_RECORD_SIZE = 128, // bytes of a record, at most
};

// The record's path: the version document's path followed by ".failed".
// 1, or 0 (logged) when it does not fit in size.
int UpdaterHold_RecordPath(const char *versionFile, char *path, int size);
// Records that the self-update to (targetVersion, deployStamp) failed at now
// (seconds since the epoch). targetVersion -1 stands for a release that could
// not be read: it holds whatever release is under way. Written atomically.
// 1 on success; 0 (logged) otherwise.
int UpdaterHold_Record(const char *versionFile, int32_t targetVersion, int32_t deployStamp,
                       int64_t now);
// Removes the record (a self-update of the package succeeded). 1 when there is
// none left; 0 (logged) when it could not be removed.
int UpdaterHold_Clear(const char *versionFile);
// Whether the self-update of the task that the version document holds in
// progress is held at now: a record of the same release (or of an unread one),
// made less than pause seconds before now. A record from the future (the clock
// went back) holds nothing. 1 and *left (seconds until it may be tried again)
// when held; 0 with *left 0 when not held, when there is no record, no
// readable document or no update in progress (an unreadable record is logged).
// *recordedAt is the failure's time when a record was read (else 0).
int UpdaterHold_IsHeld(const char *versionFile, int64_t now, int64_t pause, int64_t *left,
                       int64_t *recordedAt);
