// Enumerations shared by the patch engine's documents, tasks and events: update
// task states, download states, event types and package update types, each with
// a function that names a value.
#pragma once

// Task states of an update (int32 in documents and events).
enum {
    PATCHER_STATE_IDLE = 1,
    PATCHER_STATE_PREPARE = 2,
    PATCHER_STATE_DOWNLOAD = 3,
    PATCHER_STATE_WAITFORLIVE = 4,
    PATCHER_STATE_PREPROCESS = 5,
    PATCHER_STATE_ALLOWRESTART = 6,
    PATCHER_STATE_PERFORMRESTART = 7,
    PATCHER_STATE_PROCESS = 8,
    PATCHER_STATE_POSTPROCESS = 9,
    PATCHER_STATE_SAVE = 10,
    PATCHER_STATE_TASKCOMPLETE = 11,
    PATCHER_STATE_ALLTASKSCOMPLETE = 12,
    PATCHER_STATE_FAILED = 13,
};

// Update types of a package.
enum {
    PACKAGE_TYPE_PROGRESSIVE = 1,
    PACKAGE_TYPE_INCREMENTAL = 2,
    PACKAGE_TYPE_INCREMENTAL_VCDIFF = 3,
    PACKAGE_TYPE_PROGRESSIVE_VCDIFF = 4,
    PACKAGE_TYPE_MAINTENANCE = 5,
};

// States of a download (int32 in the download status record).
enum {
    PATCHER_DOWNLOAD_STATE_INITIALIZE = 1,
    PATCHER_DOWNLOAD_STATE_SCAN = 2,
    PATCHER_DOWNLOAD_STATE_DOWNLOAD = 3,
    PATCHER_DOWNLOAD_STATE_COMPLETE = 4,
    PATCHER_DOWNLOAD_STATE_FAILED = 5,
};

// Event types of the front end's event queue (8 is not used).
enum {
    PATCHER_EVENT_PERFORMRESTART = 0,
    PATCHER_EVENT_STATECHANGE = 1,
    PATCHER_EVENT_STATUS = 2,
    PATCHER_EVENT_LOG = 3,
    PATCHER_EVENT_ERROR = 4,
    PATCHER_EVENT_PACKAGELISTSTATUS = 5,
    PATCHER_EVENT_MAINTENANCE = 6,
    PATCHER_EVENT_DOWNLOADSTATUS = 7,
    PATCHER_EVENT_ITEM = 9,
};

// Buffer sizes of the name functions.
enum {
    PATCHER_STATE_NAME_SIZE = 64,
    PACKAGE_TYPE_NAME_SIZE = 320,
    PATCHER_EVENT_NAME_SIZE = 320,
};

// Copies the state's name ("PATCHER_STATE_IDLE" ...) into name (64 bytes).
// Returns 1 for a listed value; 0 with "PATCHER_STATE_INVALID" otherwise.
int Patcher_GetStateName(char *name, int state);
// Copies the type's name ("PACKAGE_TYPE_PROGRESSIVE" ...) into name (320 bytes).
// Returns 1 for a listed value; 0 with "PACKAGE_TYPE_INVALID" otherwise.
int Patcher_GetPackageTypeName(char *name, int type);
// Copies the download state's name ("PATCHER_DOWNLOAD_STATE_INITIALIZE" ...)
// into name (size bytes). Returns 1 for a listed value; 0 with
// "PATCHER_DOWNLOAD_STATE_INVALID" otherwise.
int Patcher_GetDownloadStateName(char *name, int size, int state);
// Copies the event type's name ("PATCHER_EVENT_PERFORMRESTART" ...) into name
// (320 bytes), "PATCHER_EVENT_INVALID" for 8 and values outside 0-9. Returns 1.
int Patcher_GetEventName(char *name, int type);
