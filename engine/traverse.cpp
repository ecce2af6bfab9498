// NAT traversal's least record: an owner and a switch.
#include "engine/traverse.h"

#include <atomic>

#include "core/zyl.h"

static const char kTraverseTag[] = "TraverseStruct";

int Traverse_Create(TraverseStruct **traverse) {
    ZYL_CHECK_PTR(traverse);
    TraverseStruct *t = ZYL_NEW(TraverseStruct);
    t->Tag = kTraverseTag;
    *traverse = t;
    return 1;
}

int Traverse_Destroy(TraverseStruct **traverse) {
    ZYL_CHECK_PTR(traverse);
    TraverseStruct *t = *traverse;
    if (t == nullptr)
        return 1;
    ZYL_CHECK_TAG(t, kTraverseTag);
    *traverse = nullptr;
    t->Tag = Zyl_DeadTag;
    ZYL_FREE(t, sizeof(TraverseStruct));
    return 1;
}

int Traverse_SetParent(TraverseStruct *traverse, ManagerStruct *manager) {
    ZYL_CHECK_TAG(traverse, kTraverseTag);
    ZYL_CHECK_PTR(manager);
    if (traverse->Manager != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    traverse->Manager = manager;
    return 1;
}

int Traverse_SetActive(TraverseStruct *traverse, int active) {
    ZYL_CHECK_TAG(traverse, kTraverseTag);
    std::atomic_ref<int>(traverse->Active).store(active == 1 ? 1 : 0);
    return 1;
}

int Traverse_GetActive(TraverseStruct *traverse, int *active) {
    ZYL_CHECK_TAG(traverse, kTraverseTag);
    ZYL_CHECK_PTR(active);
    *active = std::atomic_ref<int>(traverse->Active).load();
    return 1;
}
