// The tracker client's least record: keeps the download's state and reports
// itself idle unless a test holds it busy.
#include "engine/tracker.h"

#include <atomic>

#include "core/zyl.h"

static const char kTrackerTag[] = "TrackerStruct";

int Tracker_Create(TrackerStruct **tracker) {
    ZYL_CHECK_PTR(tracker);
    TrackerStruct *t = ZYL_NEW(TrackerStruct);
    t->Tag = kTrackerTag;
    *tracker = t;
    return 1;
}

int Tracker_Init(TrackerStruct *tracker) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    tracker->Active = 0;
    tracker->State = 0;
    return 1;
}

int Tracker_Destroy(TrackerStruct **tracker) {
    ZYL_CHECK_PTR(tracker);
    TrackerStruct *t = *tracker;
    if (t == nullptr)
        return 1;
    ZYL_CHECK_TAG(t, kTrackerTag);
    *tracker = nullptr;
    t->Tag = Zyl_DeadTag;
    ZYL_FREE(t, sizeof(TrackerStruct));
    return 1;
}

int Tracker_SetParent(TrackerStruct *tracker, BaseStruct *base) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(base);
    if (tracker->Base != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    tracker->Base = base;
    return 1;
}

int Tracker_SetActive(TrackerStruct *tracker, int active) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    tracker->Active = active == 1 ? 1 : 0;
    return 1;
}

// The hold is set by a test's thread while the manager thread reads it.
int Tracker_IsActive(TrackerStruct *tracker, int *active) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(active);
    *active = std::atomic_ref<int>(tracker->HoldActive).load() ? 1 : 0;
    return 1;
}

int Tracker_GetState(TrackerStruct *tracker, int *state) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    ZYL_CHECK_PTR(state);
    *state = tracker->State;
    return 1;
}

int Tracker_ResetOnComplete(TrackerStruct *tracker) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    tracker->CompleteSent = 0;
    return 1;
}

int Tracker_Process(TrackerStruct *tracker) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    return 1;
}

int Tracker_SetHoldActive(TrackerStruct *tracker, int hold) {
    ZYL_CHECK_TAG(tracker, kTrackerTag);
    std::atomic_ref<int>(tracker->HoldActive).store(hold ? 1 : 0);
    return 1;
}
