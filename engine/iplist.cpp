// The per-download list of peer addresses: sorted singly linked members from a
// pool, a seek index so that adds do not walk from the head, retry and expiry
// rules, and a cap that drops the least useful members when trackers flood it.
#include "engine/iplist.h"

#include <cstring>

#include "core/alert.h"
#include "core/mutex.h"
#include "core/pool.h"
#include "core/rangelist.h"
#include "core/zyl.h"
#include "net/socket.h"

static const char kListTag[] = "IPListStruct";
static const char kMemberTag[] = "IPListMemberStruct";

enum { kMembersPerChunk = 50, kSeekBuckets = 4096 };

#define IPLIST_ADDRESS(m) (m)->Address[0], (m)->Address[1], (m)->Address[2], (m)->Address[3]

static double InternalNow(IPListStruct *list) {
    return list->Clock != nullptr ? list->Clock(list->ClockContext) : Zyl_GetTickSeconds();
}

static int InternalLock(IPListStruct *list) {
    ZYL_CHECK_TAG(list, kListTag);
    return Mutex_Lock(list->Mutex, -1, __FILE__, __LINE__);
}

static void InternalUnlock(IPListStruct *list) {
    Mutex_Unlock(list->Mutex, __FILE__, __LINE__);
}

// Lock held.
static void InternalCheck(IPListStruct *list) {
    int count = 0;
    int ordered = 1;
    uint32_t last = 0;
    for (const IPListMemberStruct *m = list->Members; m != nullptr; m = m->Next) {
        ordered &= m->Tag == kMemberTag && m->Key == Socket_ReadBigEndian32(m->Address) &&
                   (count == 0 || m->Key >= last);
        last = m->Key;
        count++;
    }
    if (count != list->Count || !ordered) {
        ZYL_FATAL("IP list totals mismatch (count %d != %d, ordered %d)\n", count, list->Count,
                  ordered);
    }
    list->CheckCountdown = count + 1;
}

// Lock held. Debug builds check the whole list once per as many changes as it has members.
static void InternalDebugCheck(IPListStruct *list) {
#ifndef NDEBUG
    if (--list->CheckCountdown <= 0)
        InternalCheck(list);
#else
    (void)list;
#endif
}

int IPList_Create(IPListStruct **list) {
    ZYL_CHECK_PTR(list);
    IPListStruct *l = ZYL_NEW(IPListStruct);
    l->Tag = kListTag;
    IPList_Init(l);
    *list = l;
    return 1;
}

int IPList_Init(IPListStruct *list) {
    ZYL_CHECK_TAG(list, kListTag);
    Mutex_Create(&list->Mutex);
    list->MaxAttempts = 3;
    list->RetryInterval = 30;
    list->ExpiryAge = 3600;
    list->MaxMembers = IPLIST_DEFAULT_MAX_MEMBERS;
    POOL_CREATE(list->Pool);
    Pool_SetMemberSize(list->Pool, sizeof(IPListMemberStruct));
    Pool_SetMembersPerChunk(list->Pool, kMembersPerChunk);
    Pool_SetClear(list->Pool, 1);
    ListA_Create(&list->Seek);
    ListA_SetBuckets(list->Seek, kSeekBuckets);
    return 1;
}

static void InternalClear(IPListStruct *list) {
    list->Members = nullptr;
    list->Count = 0;
    Pool_Reset(list->Pool);
    ListA_Reset(list->Seek);
}

int IPList_Deinit(IPListStruct *list) {
    ZYL_CHECK_TAG(list, kListTag);
    if (!InternalLock(list))
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to lock IP list mutex");
    InternalClear(list);
    Mutex_Unlock(list->Mutex, __FILE__, __LINE__);
    Mutex_Close(&list->Mutex);
    ListA_Destroy(&list->Seek);
    Pool_Destroy(&list->Pool);
    return 1;
}

int IPList_Destroy(IPListStruct **list) {
    if (list == nullptr || *list == nullptr)
        return 1;
    IPList_Deinit(*list);
    (*list)->Tag = Zyl_DeadTag;
    ZYL_FREE(*list, sizeof(IPListStruct));
    return 1;
}

int IPList_SetClock(IPListStruct *list, IPListClock clock, void *context) {
    ZYL_CHECK_TAG(list, kListTag);
    list->Clock = clock;
    list->ClockContext = context;
    return 1;
}

// The port rule: ports are compared only when asked and both are given.
static int InternalPortMatches(const IPListStruct *list, int stored, int port) {
    return !list->ComparePorts || port == 0 || stored == 0 || stored == port;
}

// Forgets the seek index and records every member again (after removals).
static void InternalRebuildSeek(IPListStruct *list) {
    ListA_Reset(list->Seek);
    uint32_t last = 0;
    for (IPListMemberStruct *m = list->Members; m != nullptr; m = m->Next) {
        if (m == list->Members || m->Key != last)
            ListA_Set(list->Seek, m->Key, m);
        last = m->Key;
    }
}

// The member after which a new key belongs (null: at the head), walking from
// the seek index's hint. Fills *duplicate when a matching member is passed.
static IPListMemberStruct *InternalPlace(IPListStruct *list, uint32_t key, const uint8_t address[4],
                                         int port, IPListMemberStruct **duplicate) {
    void *hint = nullptr;
    IPListMemberStruct *previous = nullptr;
    IPListMemberStruct *m = list->Members;
    if (ListA_Seek(list->Seek, key, &hint) && hint != nullptr) {
        previous = static_cast<IPListMemberStruct *>(hint);
        m = previous->Next;
    }
    *duplicate = nullptr;
    for (; m != nullptr && key >= m->Key; previous = m, m = m->Next) {
        if (list->Verbose)
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                      "Compare member [%d.%d.%d.%d:%d] %d (%d:%d:%d)", IPLIST_ADDRESS(m), m->Port,
                      list->ComparePorts, m->Key == key, InternalPortMatches(list, m->Port, port),
                      memcmp(m->Address, address, 4) == 0);
        if (m->Key == key && m->Valid == 1 && InternalPortMatches(list, m->Port, port) &&
            memcmp(m->Address, address, 4) == 0) {
            *duplicate = m;
            return previous;
        }
    }
    return previous;
}

static void InternalUnlink(IPListStruct *list, IPListMemberStruct *previous,
                           IPListMemberStruct *member) {
    if (previous == nullptr)
        list->Members = member->Next;
    else
        previous->Next = member->Next;
    member->Tag = Zyl_DeadTag;
    POOL_FREE(list->Pool, member, sizeof(IPListMemberStruct));
    list->Count--;
}

// Members that may be dropped to make room: never connected, not in use now.
static int InternalExpendable(const IPListMemberStruct *m, int pass) {
    if (m->State == IPLIST_STATE_CONNECTED || m->State == IPLIST_STATE_CONTACT ||
        m->Connections > 0)
        return 0;
    if (pass == 0) // first those that failed, were closed, filtered or blocked, or were tried
        return m->State != IPLIST_STATE_PENDING || m->Attempts > 0;
    return 1;
}

// Brings a full list down to nine tenths of its cap; 0 when nothing could go.
static int InternalMakeRoom(IPListStruct *list) {
    int target = list->MaxMembers - list->MaxMembers / 10 - 1;
    int before = list->Count;
    for (int pass = 0; pass < 2 && list->Count > target; pass++) {
        IPListMemberStruct *previous = nullptr, *m = list->Members;
        while (m != nullptr && list->Count > target) {
            IPListMemberStruct *next = m->Next;
            if (InternalExpendable(m, pass))
                InternalUnlink(list, previous, m);
            else
                previous = m;
            m = next;
        }
    }
    if (list->Count == before)
        return 0;
    Zyl_Print("IPList_AddMember() list full, dropped %d unused addresses\n", before - list->Count);
    InternalRebuildSeek(list);
    return 1;
}

int IPList_AddMember(IPListMemberStruct **member, IPListStruct *list, const uint8_t address[4],
                     int port) {
    ZYL_CHECK_PTR(member);
    ZYL_CHECK_PTR(address);
    *member = nullptr;
    if (!InternalLock(list))
        return 0;
    double now = InternalNow(list);
    uint32_t key = Socket_ReadBigEndian32(address);
    IPListMemberStruct *duplicate = nullptr;
    IPListMemberStruct *previous = InternalPlace(list, key, address, port, &duplicate);
    if (duplicate != nullptr) {
        if (list->Verbose)
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                      "Duplicate member [%d.%d.%d.%d:%d (%d)] (H:%d U:%d)",
                      IPLIST_ADDRESS(duplicate), port, duplicate->Port, duplicate->Hits,
                      duplicate->Attempts);
        if (port != 0)
            duplicate->Port = port;
        duplicate->Hits++;
        duplicate->Attempts = 0;
        duplicate->LastSeen = now;
        *member = duplicate;
        InternalUnlock(list);
        return 1;
    }
    if (list->Count >= list->MaxMembers) {
        if (!InternalMakeRoom(list)) {
            InternalUnlock(list);
            return 0;
        }
        previous = InternalPlace(list, key, address, port, &duplicate);
    }
    if (list->Verbose)
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Add member (%d) [%d.%d.%d.%d:%d]", 1,
                  address[0], address[1], address[2], address[3], port);
    IPListMemberStruct *m =
        static_cast<IPListMemberStruct *>(POOL_ALLOC(list->Pool, sizeof(IPListMemberStruct)));
    m->Tag = kMemberTag;
    memcpy(m->Address, address, 4);
    m->Key = key;
    m->Port = port;
    m->State = IPLIST_STATE_PENDING;
    m->Valid = 1;
    m->Hits = 1;
    m->Added = m->LastSeen = now;
    if (previous == nullptr) {
        m->Next = list->Members;
        list->Members = m;
    } else {
        m->Next = previous->Next;
        previous->Next = m;
    }
    list->Count++;
    if (previous == nullptr || previous->Key != key)
        ListA_Set(list->Seek, key, m);
    *member = m;
    InternalDebugCheck(list);
    InternalUnlock(list);
    return 1;
}

int IPList_Find(const uint8_t address[4], IPListStruct *list, IPListMemberStruct **member,
                int valid, int port) {
    ZYL_CHECK_PTR(address);
    ZYL_CHECK_PTR(member);
    *member = nullptr;
    if (!InternalLock(list))
        return 0;
    uint32_t key = Socket_ReadBigEndian32(address);
    void *hint = nullptr;
    IPListMemberStruct *m = list->Members;
    if (ListA_Seek(list->Seek, key, &hint) && hint != nullptr)
        m = static_cast<IPListMemberStruct *>(hint);
    for (; m != nullptr && m->Key <= key; m = m->Next) {
        if (m->Key == key && m->Valid == valid && InternalPortMatches(list, m->Port, port) &&
            memcmp(m->Address, address, 4) == 0) {
            *member = m;
            break;
        }
    }
    InternalUnlock(list);
    return *member != nullptr;
}

int IPList_FindByPeerId(const uint8_t peerId[20], IPListStruct *list, IPListMemberStruct **member) {
    ZYL_CHECK_PTR(peerId);
    ZYL_CHECK_PTR(member);
    *member = nullptr;
    if (!InternalLock(list))
        return 0;
    for (IPListMemberStruct *m = list->Members; m != nullptr && *member == nullptr; m = m->Next) {
        if (memcmp(m->PeerId, peerId, 20) == 0)
            *member = m;
    }
    InternalUnlock(list);
    return *member != nullptr;
}

int IPList_GetNextPending(IPListStruct *list, IPListMemberStruct **member) {
    ZYL_CHECK_PTR(member);
    *member = nullptr;
    if (!InternalLock(list))
        return 0;
    double now = InternalNow(list);
    IPListMemberStruct *winner = nullptr;
    int total = 0, waiting = 0;
    for (IPListMemberStruct *m = list->Members; m != nullptr; m = m->Next) {
        total++;
        if (m->Valid != 1 || m->Attempts > list->MaxAttempts || m->State < IPLIST_STATE_PENDING)
            continue;
        if (m->LastAttempt != 0 && now - m->LastAttempt <= list->RetryInterval) {
            waiting++;
            continue;
        }
        if (winner == nullptr || m->Attempts < winner->Attempts)
            winner = m;
        if (winner->Attempts == 0)
            break;
    }
    if (winner == nullptr) {
        if (list->Verbose)
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                      "Nothing pending [%d total, %d pending for retry]", total, waiting);
        InternalUnlock(list);
        return 0;
    }
    if (list->Verbose)
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "Pending member [%d.%d.%d.%d:%d] (H:%d U:%d)", IPLIST_ADDRESS(winner),
                  winner->Port, winner->Hits, winner->Attempts);
    winner->State = IPLIST_STATE_CONTACT;
    winner->Attempts++;
    winner->LastAttempt = now;
    *member = winner;
    InternalUnlock(list);
    return 1;
}

static void InternalSetState(IPListStruct *list, int state, IPListMemberStruct *m, double now) {
    if (list->Verbose)
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "Member State (was %.2X now %.2X) [%d.%d.%d.%d:%d] (H:%d U:%d)", m->State, state,
                  IPLIST_ADDRESS(m), m->Port, m->Hits, m->Attempts);
    if (m->State == state)
        return;
    if (m->State == IPLIST_STATE_CONNECTED)
        m->ConnectedTime += now - m->ConnectedSince;
    m->State = state;
}

int IPList_SetState(IPListStruct *list, int state, IPListMemberStruct *member) {
    ZYL_CHECK_TAG(member, kMemberTag);
    if (!InternalLock(list))
        return 0;
    InternalSetState(list, state, member, InternalNow(list));
    InternalUnlock(list);
    return 1;
}

int IPList_SetConnected(IPListMemberStruct *member, IPListStruct *list) {
    ZYL_CHECK_TAG(member, kMemberTag);
    if (!InternalLock(list))
        return 0;
    double now = InternalNow(list);
    InternalSetState(list, IPLIST_STATE_CONNECTED, member, now);
    member->ConnectedSince = now;
    member->Connections++;
    InternalUnlock(list);
    return 1;
}

int IPList_GetState(IPListMemberStruct *member, int *state) {
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(state);
    *state = member->State;
    return 1;
}

int IPList_SetOrigin(IPListMemberStruct *member, int origin) {
    ZYL_CHECK_TAG(member, kMemberTag);
    member->Origin = origin;
    return 1;
}

int IPList_SetPeerId(IPListMemberStruct *member, const uint8_t peerId[20]) {
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(peerId);
    memcpy(member->PeerId, peerId, 20);
    return 1;
}

int IPList_SetTotals(IPListMemberStruct *member, int64_t first, int64_t second) {
    ZYL_CHECK_TAG(member, kMemberTag);
    member->Totals[0] = first;
    member->Totals[1] = second;
    return 1;
}

int IPList_GetTotals(IPListMemberStruct *member, int64_t *first, int64_t *second) {
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(first);
    ZYL_CHECK_PTR(second);
    *first = member->Totals[0];
    *second = member->Totals[1];
    return 1;
}

int IPList_GetAddress(uint8_t address[4], IPListMemberStruct *member, int *port) {
    ZYL_CHECK_PTR(address);
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(port);
    memcpy(address, member->Address, 4);
    *port = member->Port;
    return 1;
}

int IPList_ResetStates(IPListStruct *list) {
    if (!InternalLock(list))
        return 0;
    if (list->Verbose)
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "IPList states reset");
    for (IPListMemberStruct *m = list->Members; m != nullptr; m = m->Next) {
        m->Attempts = m->Hits = m->Connections = 0;
        m->State = IPLIST_STATE_PENDING;
    }
    InternalUnlock(list);
    return 1;
}

// Printable peer id: bytes outside 32..126 become '.'.
static void InternalPrintablePeerId(const uint8_t id[20], char text[21]) {
    for (int i = 0; i < 20; i++)
        text[i] = id[i] >= 32 && id[i] <= 126 ? (char)id[i] : '.';
    text[20] = '\0';
}

int IPList_Expire(IPListStruct *list) {
    if (!InternalLock(list))
        return 0;
    double now = InternalNow(list);
    int removed = 0;
    IPListMemberStruct *previous = nullptr, *m = list->Members;
    while (m != nullptr) {
        IPListMemberStruct *next = m->Next;
        // A member is alive while it was added, tried or connected within the age.
        double last = m->LastSeen;
        if (m->LastAttempt > last)
            last = m->LastAttempt;
        if (m->ConnectedSince > last)
            last = m->ConnectedSince;
        if (m->State != IPLIST_STATE_CONNECTED && now - last > list->ExpiryAge) {
            if (list->Verbose) {
                char id[21];
                InternalPrintablePeerId(m->PeerId, id);
                Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                          "Expire (%d/%d) [%d.%d.%d.%d:%d (%d)] (H:%d U:%d S:%.2X) [%s]",
                          (int)(now - m->ConnectedSince), list->ExpiryAge, IPLIST_ADDRESS(m),
                          m->Port, m->Port, m->Hits, m->Attempts, m->State, id);
            }
            InternalUnlink(list, previous, m);
            removed++;
        } else {
            previous = m;
        }
        m = next;
    }
    if (removed > 0)
        InternalRebuildSeek(list);
    InternalDebugCheck(list);
    InternalUnlock(list);
    return 1;
}

int IPList_Clear(IPListStruct *list) {
    if (!InternalLock(list))
        return 0;
    InternalClear(list);
    InternalUnlock(list);
    return 1;
}

int IPList_SetComparePorts(IPListStruct *list, int value) {
    ZYL_CHECK_TAG(list, kListTag);
    list->ComparePorts = value;
    return 1;
}

int IPList_SetRetryInterval(IPListStruct *list, int seconds) {
    ZYL_CHECK_TAG(list, kListTag);
    list->RetryInterval = seconds;
    return 1;
}

int IPList_SetMaxAttempts(IPListStruct *list, int attempts) {
    ZYL_CHECK_TAG(list, kListTag);
    list->MaxAttempts = attempts;
    return 1;
}

int IPList_SetMaxMembers(IPListStruct *list, int count) {
    ZYL_CHECK_TAG(list, kListTag);
    list->MaxMembers = count > 10 ? count : 10;
    return 1;
}

int IPList_GetCount(IPListStruct *list, int *count) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(count);
    *count = list->Count;
    return 1;
}

int IPList_CheckInvariants(IPListStruct *list) {
    if (!InternalLock(list))
        return 0;
    InternalCheck(list);
    InternalUnlock(list);
    return 1;
}
