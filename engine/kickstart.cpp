// Kick start's least record: the folder, the switches and a save counter.
#include "engine/kickstart.h"

#include "core/zyl.h"

static const char kKickTag[] = "KickStartStruct";

int KickStart_Create(KickStartStruct **kick) {
    ZYL_CHECK_PTR(kick);
    KickStartStruct *k = ZYL_NEW(KickStartStruct);
    k->Tag = kKickTag;
    *kick = k;
    return 1;
}

int KickStart_Destroy(KickStartStruct **kick) {
    ZYL_CHECK_PTR(kick);
    KickStartStruct *k = *kick;
    if (k == nullptr)
        return 1;
    ZYL_CHECK_TAG(k, kKickTag);
    *kick = nullptr;
    k->Tag = Zyl_DeadTag;
    ZYL_FREE(k, sizeof(KickStartStruct));
    return 1;
}

int KickStart_SetEnabled(KickStartStruct *kick, int enabled) {
    ZYL_CHECK_TAG(kick, kKickTag);
    kick->Enabled = enabled ? 1 : 0;
    return 1;
}

int KickStart_GetEnabled(KickStartStruct *kick, int *enabled) {
    ZYL_CHECK_TAG(kick, kKickTag);
    ZYL_CHECK_PTR(enabled);
    *enabled = kick->Enabled;
    return 1;
}

int KickStart_SetLoadOnly(KickStartStruct *kick) {
    ZYL_CHECK_TAG(kick, kKickTag);
    kick->LoadOnly = 1;
    return 1;
}

int KickStart_SetFolder(KickStartStruct *kick, const char *folder) {
    ZYL_CHECK_TAG(kick, kKickTag);
    ZYL_CHECK_PTR(folder);
    Zyl_StrCopy(kick->Folder, folder, sizeof kick->Folder - 1);
    if (kick->Folder[0] && !Zyl_StrEndsWith(kick->Folder, "/"))
        Zyl_StrAppend(kick->Folder, "/", sizeof kick->Folder);
    return 1;
}

int KickStart_GetFolder(KickStartStruct *kick, char *folder, int size) {
    ZYL_CHECK_TAG(kick, kKickTag);
    ZYL_CHECK_PTR(folder);
    Zyl_StrCopy(folder, kick->Folder, size);
    return 1;
}

int KickStart_SaveManager(KickStartStruct *kick, ManagerStruct *manager) {
    ZYL_CHECK_TAG(kick, kKickTag);
    ZYL_CHECK_PTR(manager);
    if (!kick->LoadOnly)
        kick->Saves++;
    return 1;
}
