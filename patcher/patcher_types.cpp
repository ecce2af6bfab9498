// Names of the patch engine's task states and package types, for logs and the
// front end's events.
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
