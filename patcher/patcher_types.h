// Enumerations shared by the patch engine's documents and tasks: update task
// states and package update types, each with a function that names a value.
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

// Buffer sizes of the name functions.
enum { PATCHER_STATE_NAME_SIZE = 64, PACKAGE_TYPE_NAME_SIZE = 320 };

// Copies the state's name ("PATCHER_STATE_IDLE" ...) into name (64 bytes).
// Returns 1 for a listed value; 0 with "PATCHER_STATE_INVALID" otherwise.
int Patcher_GetStateName(char *name, int state);
// Copies the type's name ("PACKAGE_TYPE_PROGRESSIVE" ...) into name (320 bytes).
// Returns 1 for a listed value; 0 with "PACKAGE_TYPE_INVALID" otherwise.
int Patcher_GetPackageTypeName(char *name, int type);
