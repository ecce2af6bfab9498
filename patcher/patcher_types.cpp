// Names of the patch engine's task states, download states, event types and
// package types, for logs and the front end's events.
#include "patcher/patcher_types.h"

#include "core/zyl.h"

static const char *const kStateNames[] = {
    "PATCHER_STATE_INVALID",          "PATCHER_STATE_IDLE",           "PATCHER_STATE_PREPARE",
    "PATCHER_STATE_DOWNLOAD",         "PATCHER_STATE_WAITFORLIVE",    "PATCHER_STATE_PREPROCESS",
    "PATCHER_STATE_ALLOWRESTART",     "PATCHER_STATE_PERFORMRESTART", "PATCHER_STATE_PROCESS",
    "PATCHER_STATE_POSTPROCESS",      "PATCHER_STATE_SAVE",           "PATCHER_STATE_TASKCOMPLETE",
    "PATCHER_STATE_ALLTASKSCOMPLETE", "PATCHER_STATE_FAILED",
};

static const char *const kTypeNames[] = {
    "PACKAGE_TYPE_INVALID",
    "PACKAGE_TYPE_PROGRESSIVE",
    "PACKAGE_TYPE_INCREMENTAL",
    "PACKAGE_TYPE_INCREMENTAL_VCDIFF",
    "PACKAGE_TYPE_PROGRESSIVE_VCDIFF",
    "PACKAGE_TYPE_MAINTENANCE",
};

static const char *const kDownloadStateNames[] = {
    "PATCHER_DOWNLOAD_STATE_INVALID",  "PATCHER_DOWNLOAD_STATE_INITIALIZE",
    "PATCHER_DOWNLOAD_STATE_SCAN",     "PATCHER_DOWNLOAD_STATE_DOWNLOAD",
    "PATCHER_DOWNLOAD_STATE_COMPLETE", "PATCHER_DOWNLOAD_STATE_FAILED",
};

// Indexed by type; 8 has no event and keeps the invalid name.
static const char *const kEventNames[] = {
    "PATCHER_EVENT_PERFORMRESTART", "PATCHER_EVENT_STATECHANGE",
    "PATCHER_EVENT_STATUS",         "PATCHER_EVENT_LOG",
    "PATCHER_EVENT_ERROR",          "PATCHER_EVENT_PACKAGELISTSTATUS",
    "PATCHER_EVENT_MAINTENANCE",    "PATCHER_EVENT_DOWNLOADSTATUS",
    "PATCHER_EVENT_INVALID",        "PATCHER_EVENT_ITEM",
};

int Patcher_GetStateName(char *name, int state) {
    ZYL_CHECK_PTR(name);
    int valid = state >= PATCHER_STATE_IDLE && state <= PATCHER_STATE_FAILED;
    Zyl_StrCopy(name, kStateNames[valid ? state : 0], PATCHER_STATE_NAME_SIZE);
    return valid;
}

int Patcher_GetPackageTypeName(char *name, int type) {
    ZYL_CHECK_PTR(name);
    int valid = type >= PACKAGE_TYPE_PROGRESSIVE && type <= PACKAGE_TYPE_MAINTENANCE;
    Zyl_StrCopy(name, kTypeNames[valid ? type : 0], PACKAGE_TYPE_NAME_SIZE);
    return valid;
}

int Patcher_GetDownloadStateName(char *name, int size, int state) {
    ZYL_CHECK_PTR(name);
    int valid =
        state >= PATCHER_DOWNLOAD_STATE_INITIALIZE && state <= PATCHER_DOWNLOAD_STATE_FAILED;
    Zyl_StrCopy(name, kDownloadStateNames[valid ? state : 0], size);
    return valid;
}

int Patcher_GetEventName(char *name, int type) {
    ZYL_CHECK_PTR(name);
    int known = type >= PATCHER_EVENT_PERFORMRESTART && type <= PATCHER_EVENT_ITEM;
    Zyl_StrCopy(name, known ? kEventNames[type] : "PATCHER_EVENT_INVALID", PATCHER_EVENT_NAME_SIZE);
    return 1;
}
