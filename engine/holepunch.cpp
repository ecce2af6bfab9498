// Hole punching's least record: the handed-over socket and the switch.
#include "engine/holepunch.h"

#include <atomic>

#include "core/zyl.h"

static const char kPunchTag[] = "HolePunchStruct";

int HolePunch_Create(HolePunchStruct **punch) {
    ZYL_CHECK_PTR(punch);
    HolePunchStruct *p = ZYL_NEW(HolePunchStruct);
    p->Tag = kPunchTag;
    *punch = p;
    return 1;
}

int HolePunch_Destroy(HolePunchStruct **punch) {
    ZYL_CHECK_PTR(punch);
    HolePunchStruct *p = *punch;
    if (p == nullptr)
        return 1;
    ZYL_CHECK_TAG(p, kPunchTag);
    *punch = nullptr;
    p->Tag = Zyl_DeadTag;
    ZYL_FREE(p, sizeof(HolePunchStruct));
    return 1;
}

int HolePunch_SetParent(HolePunchStruct *punch, ManagerStruct *manager) {
    ZYL_CHECK_TAG(punch, kPunchTag);
    ZYL_CHECK_PTR(manager);
    if (punch->Manager != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    punch->Manager = manager;
    return 1;
}

int HolePunch_SetActive(HolePunchStruct *punch, int active) {
    ZYL_CHECK_TAG(punch, kPunchTag);
    std::atomic_ref<int>(punch->Active).store(active == 1 ? 1 : 0);
    return 1;
}

int HolePunch_GetActive(HolePunchStruct *punch, int *active) {
    ZYL_CHECK_TAG(punch, kPunchTag);
    ZYL_CHECK_PTR(active);
    *active = std::atomic_ref<int>(punch->Active).load();
    return 1;
}

int HolePunch_SetUDTSocket(HolePunchStruct *punch, SocketStruct *socket) {
    ZYL_CHECK_TAG(punch, kPunchTag);
    punch->Socket = socket;
    return 1;
}

int HolePunch_GetUDTSocket(HolePunchStruct *punch, SocketStruct **socket) {
    ZYL_CHECK_TAG(punch, kPunchTag);
    ZYL_CHECK_PTR(socket);
    *socket = punch->Socket;
    return 1;
}

int HolePunch_SendPing(BaseStruct *base, HolePunchStruct *punch) {
    ZYL_CHECK_PTR(base);
    ZYL_CHECK_TAG(punch, kPunchTag);
    return 1;
}
