// The manager's member list: one member per download, reference counts that
// keep a member alive while another thread or a nested call holds it, the
// per-cycle step over every download and the engine statistics. The member
// lock guards the list, the counts and the close tags; it is released around
// every call into a download.
#include "core/alert.h"
#include "core/mutex.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/holepunch.h"
#include "engine/iplist.h"
#include "engine/manager_internal.h"
#include "engine/swarm.h"
#include "engine/tracker.h"

const char ManagerMember_Tag[] = "ManagerMemberStruct";

int Manager_AddMember(ManagerStruct *manager, ManagerMemberStruct **member) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(member);
    *member = nullptr;
    ManagerMemberStruct *m = ZYL_NEW(ManagerMemberStruct);
    m->Tag = ManagerMember_Tag;
    m->InUse = 1;
    Base_Create(&m->Base);
    Base_SetVerbose(m->Base);
    Base_SetParent(m->Base, manager);
    IPListStruct *list = nullptr;
    Base_GetIPList(m->Base, &list);
    IPList_SetComparePorts(list, manager->IPListComparePorts);
    if (!MUTEX_LOCK(manager->MemberLock)) {
        Base_Destroy(&m->Base);
        m->Tag = Zyl_DeadTag;
        ZYL_FREE(m, sizeof(ManagerMemberStruct));
        return 0;
    }
    ManagerMemberStruct **tail = &manager->Members;
    while (*tail)
        tail = &(*tail)->Next;
    *tail = m;
    manager->MemberCount++;
    MUTEX_UNLOCK(manager->MemberLock);
    *member = m;
    return 1;
}

int Manager_CloseMember(ManagerStruct *manager, ManagerMemberStruct *member) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_TAG(member, ManagerMember_Tag);
    if (!MUTEX_LOCK(manager->MemberLock))
        return 0;
    member->CloseTag = 1;
    Base_SetActive(member->Base, 0); // member lock, then base lock
    MUTEX_UNLOCK(manager->MemberLock);
    return 1;
}

static int InternalTrackerActive(BaseStruct *base) {
    TrackerStruct *tracker = nullptr;
    int active = 0;
    Base_GetTracker(base, &tracker);
    Tracker_IsActive(tracker, &active);
    return active;
}

int Manager_CloseTaggedMembers(ManagerStruct *manager, int force) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    if (!MUTEX_LOCK(manager->MemberLock))
        return 0;
    ManagerMemberStruct **link = &manager->Members;
    while (*link) {
        ManagerMemberStruct *m = *link;
        if (!m->CloseTag) {
            link = &m->Next;
            continue;
        }
        const int tracking = InternalTrackerActive(m->Base);
        if (m->InUse != 0 || (tracking && force != 1)) {
            if (!tracking && m->InUse < 0) {
                ZYL_FATAL("Instance corruption (%d)\n", m->InUse);
            }
            link = &m->Next;
            continue;
        }
        *link = m->Next;
        manager->MemberCount--;
        if (tracking)
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Forced close on [%.8X]",
                      Manager_HandleId(m->Base));
        Base_Destroy(&m->Base);
        m->Tag = Zyl_DeadTag;
        ZYL_FREE(m, sizeof(ManagerMemberStruct));
    }
    MUTEX_UNLOCK(manager->MemberLock);
    return 1;
}

int Manager_InternalNextMember(ManagerStruct *manager, ManagerMemberStruct *member,
                               ManagerMemberStruct **next) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(next);
    ManagerMemberStruct *m = member ? member->Next : manager->Members;
    while (m && m->CloseTag)
        m = m->Next;
    *next = m;
    return m ? 1 : 0;
}

int Manager_GetFirstMember(ManagerStruct *manager, ManagerMemberStruct **member) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(member);
    *member = nullptr;
    if (!MUTEX_LOCK(manager->MemberLock))
        return 0;
    ManagerMemberStruct *m = nullptr;
    if (Manager_InternalNextMember(manager, nullptr, &m))
        m->InUse++;
    MUTEX_UNLOCK(manager->MemberLock);
    *member = m;
    return m ? 1 : 0;
}

int Manager_GetNextMember(ManagerStruct *manager, ManagerMemberStruct *member,
                          ManagerMemberStruct **next) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_TAG(member, ManagerMember_Tag);
    ZYL_CHECK_PTR(next);
    *next = nullptr;
    if (!MUTEX_LOCK(manager->MemberLock))
        return 0;
    member->InUse--;
    ManagerMemberStruct *m = nullptr;
    if (Manager_InternalNextMember(manager, member, &m))
        m->InUse++;
    MUTEX_UNLOCK(manager->MemberLock);
    *next = m;
    return m ? 1 : 0;
}

int Manager_ReleaseMember(ManagerStruct *manager, ManagerMemberStruct **member) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(member);
    ZYL_CHECK_TAG(*member, ManagerMember_Tag);
    if (!MUTEX_LOCK(manager->MemberLock))
        return 0;
    (*member)->InUse--;
    MUTEX_UNLOCK(manager->MemberLock);
    *member = nullptr;
    return 1;
}

int Manager_IsMember(ManagerStruct *manager, ManagerMemberStruct *member) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    if (!MUTEX_LOCK(manager->MemberLock))
        return 0;
    int found = 0;
    for (ManagerMemberStruct *m = manager->Members; m && !found; m = m->Next)
        found = m == member;
    MUTEX_UNLOCK(manager->MemberLock);
    return found;
}

int Manager_GetMemberCount(ManagerStruct *manager, int *count) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(count);
    if (!MUTEX_LOCK(manager->MemberLock))
        return 0;
    *count = manager->MemberCount;
    MUTEX_UNLOCK(manager->MemberLock);
    return 1;
}

int ManagerMember_GetBase(ManagerMemberStruct *member, BaseStruct **base) {
    ZYL_CHECK_TAG(member, ManagerMember_Tag);
    ZYL_CHECK_PTR(base);
    *base = member->Base;
    return member->Base ? 1 : 0;
}

int ManagerMember_SetEvent(ManagerMemberStruct *member, void *event) {
    ZYL_CHECK_TAG(member, ManagerMember_Tag);
    member->Event = event;
    return 1;
}

int ManagerMember_GetEvent(ManagerMemberStruct *member, void **event) {
    ZYL_CHECK_TAG(member, ManagerMember_Tag);
    ZYL_CHECK_PTR(event);
    *event = member->Event;
    return 1;
}

int Manager_ProcessMembers(ManagerStruct *manager, int *activeTrackers, int printStatistics) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(activeTrackers);
    *activeTrackers = 0;
    if (printStatistics == 1)
        Manager_PrintStatistics(manager);
    if (!MUTEX_LOCK(manager->MemberLock))
        return 0;
    int sawTagged = 0;
    for (ManagerMemberStruct *m = manager->Members; m; m = m->Next) {
        m->InUse++;
        sawTagged |= m->CloseTag;
        MUTEX_UNLOCK(manager->MemberLock);
        TrackerStruct *tracker = nullptr;
        Base_GetTracker(m->Base, &tracker);
        int active = 0;
        Tracker_IsActive(tracker, &active);
        *activeTrackers += active;
        Base_Process(m->Base);
        Tracker_Process(tracker);
        HolePunch_SendPing(m->Base, manager->HolePunch);
        if (!MUTEX_LOCK(manager->MemberLock))
            return 0; // the reference stays: the member is never freed
        m->InUse--;
    }
    MUTEX_UNLOCK(manager->MemberLock);
    if (sawTagged)
        Manager_CloseTaggedMembers(manager, 0);
    return 1;
}

int Manager_PrintStatistics(ManagerStruct *manager) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    int64_t in = 0, out = 0;
    double inRates[3] = {0, 0, 0}, outRates[3] = {0, 0, 0};
    int any = 0;
    ManagerMemberStruct *m = nullptr;
    for (int more = Manager_GetFirstMember(manager, &m); more;
         more = Manager_GetNextMember(manager, m, &m)) {
        BaseStruct *base = m->Base;
        int active = 0;
        if (!Base_GetActive(base, &active) || !active)
            continue;
        any = 1;
        int64_t i = 0, o = 0;
        Base_GetConnectionCounts(base, &i, &o);
        in += i;
        out += o;
        double c = 0, a = 0, x = 0;
        Base_GetIncomingRates(base, &c, &a, &x);
        inRates[0] += c, inRates[1] += a, inRates[2] += x;
        Base_GetOutgoingRates(base, &c, &a, &x);
        outRates[0] += c, outRates[1] += a, outRates[2] += x;
        Base_PrintPeerStatus(base);
    }
    if (!any)
        return 1;
    Zyl_Print("Active connections [In: %I64d] [Out: %I64d]\n", in, out);
    Zyl_Print("Bandwidth Incoming [Cur: %d] [Avg: %d] [Max: %d]\n", (int)inRates[0] / 1024,
              (int)inRates[1] / 1024, (int)inRates[2] / 1024);
    Zyl_Print("Bandwidth Outgoing [Cur: %d] [Avg: %d] [Max: %d]\n", (int)outRates[0] / 1024,
              (int)outRates[1] / 1024, (int)outRates[2] / 1024);
    return 1;
}

int Manager_CountActiveConnects(ManagerStruct *manager, int *count) {
    ZYL_CHECK_TAG(manager, Manager_Tag);
    ZYL_CHECK_PTR(count);
    *count = 0;
    ManagerMemberStruct *m = nullptr;
    for (int more = Manager_GetFirstMember(manager, &m); more;
         more = Manager_GetNextMember(manager, m, &m)) {
        BitBaseStruct *swarm = nullptr;
        Base_GetBitBase(m->Base, &swarm);
        int connects = 0;
        BitBase_GetActiveConnects(swarm, &connects);
        *count += connects;
    }
    return 1;
}
