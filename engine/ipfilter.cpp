// The IP filter: deny ranges in a sorted list mirrored by an array with
// running maximum ends. A check binary-searches the last rule starting at or
// below the address and walks back only while some earlier rule still reaches it.
#include "engine/ipfilter.h"

#include <cstring>

#include "core/alert.h"
#include "core/mutex.h"
#include "core/pool.h"
#include "core/zyl.h"
#include "net/socket.h"

static const char kFilterTag[] = "IPFilterStruct";
static const char kRuleTag[] = "RuleStruct";

enum { kRulesPerChunk = 100 };

#define IPFILTER_BYTES(a) (a)[0], (a)[1], (a)[2], (a)[3]

static const char *InternalVerdictName(int verdict) {
    return verdict == 1 ? "Allow" : "Deny";
}

int IPFilter_Create(IPFilterStruct **filter) {
    ZYL_CHECK_PTR(filter);
    IPFilterStruct *f = ZYL_NEW(IPFilterStruct);
    f->Tag = kFilterTag;
    IPFilter_Init(f);
    *filter = f;
    return 1;
}

int IPFilter_Init(IPFilterStruct *filter) {
    ZYL_CHECK_TAG(filter, kFilterTag);
    Mutex_Create(&filter->Mutex);
    filter->DefaultVerdict = 1;
    POOL_CREATE(filter->Pool);
    Pool_SetMemberSize(filter->Pool, sizeof(RuleStruct));
    Pool_SetMembersPerChunk(filter->Pool, kRulesPerChunk);
    Pool_SetClear(filter->Pool, 1);
    return 1;
}

static void InternalClear(IPFilterStruct *filter) {
    filter->Rules = nullptr;
    filter->RuleCount = 0;
    Pool_Reset(filter->Pool);
}

int IPFilter_Deinit(IPFilterStruct *filter) {
    ZYL_CHECK_TAG(filter, kFilterTag);
    if (!Mutex_Lock(filter->Mutex, -1, __FILE__, __LINE__))
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to lock IP filter mutex");
    InternalClear(filter);
    if (filter->Sorted != nullptr) {
        ZYL_FREE(filter->Sorted, (int64_t)filter->Capacity * sizeof(RuleStruct *));
        ZYL_FREE(filter->MaxEnd, (int64_t)filter->Capacity * sizeof(uint32_t));
        filter->Capacity = 0;
    }
    Mutex_Unlock(filter->Mutex, __FILE__, __LINE__);
    Mutex_Close(&filter->Mutex);
    Pool_Destroy(&filter->Pool);
    return 1;
}

int IPFilter_Destroy(IPFilterStruct **filter) {
    if (filter == nullptr || *filter == nullptr)
        return 1;
    IPFilter_Deinit(*filter);
    (*filter)->Tag = Zyl_DeadTag;
    ZYL_FREE(*filter, sizeof(IPFilterStruct));
    return 1;
}

// Index of the first rule that sorts after (start, end); rules [0, result) sort at or before.
static int InternalUpperBound(const IPFilterStruct *filter, uint32_t start, uint32_t end) {
    int low = 0, high = filter->RuleCount;
    while (low < high) {
        int middle = (low + high) / 2;
        const RuleStruct *r = filter->Sorted[middle];
        if (r->StartKey < start || (r->StartKey == start && r->EndKey <= end))
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

static void InternalRecomputeMaxEnd(IPFilterStruct *filter, int from) {
    for (int i = from; i < filter->RuleCount; i++) {
        uint32_t end = filter->Sorted[i]->EndKey;
        filter->MaxEnd[i] = (i > 0 && filter->MaxEnd[i - 1] > end) ? filter->MaxEnd[i - 1] : end;
    }
}

int IPFilter_Check(IPFilterStruct *filter, const uint8_t address[4], int port) {
    ZYL_CHECK_TAG(filter, kFilterTag);
    ZYL_CHECK_PTR(address);
    if (!Mutex_Lock(filter->Mutex, -1, __FILE__, __LINE__))
        return 0;
    uint32_t key = Socket_ReadBigEndian32(address);
    int verdict = filter->DefaultVerdict;
    const RuleStruct *decider = nullptr;
    // Every rule at or before `last` starts at or below the key; walk back while
    // some rule up to i still reaches the key.
    int last = InternalUpperBound(filter, key, 0xFFFFFFFFu) - 1;
    for (int i = last; i >= 0 && filter->MaxEnd[i] >= key; i--) {
        const RuleStruct *r = filter->Sorted[i];
        if (r->EndKey < key)
            continue;
        if (decider == nullptr ||
            r->EndKey - r->StartKey <= decider->EndKey - decider->StartKey) // earlier wins a tie
            decider = r;
    }
    if (decider != nullptr) {
        if (filter->Verbose)
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                      "Filter hit (%d.%d.%d.%d:%d) [%d.%d.%d.%d to %d.%d.%d.%d] [%s]",
                      IPFILTER_BYTES(address), port, IPFILTER_BYTES(decider->Start),
                      IPFILTER_BYTES(decider->End), InternalVerdictName(decider->Verdict));
        verdict = decider->Verdict;
    }
    Mutex_Unlock(filter->Mutex, __FILE__, __LINE__);
    return verdict == 1;
}

static void InternalGrow(IPFilterStruct *filter) {
    int capacity = filter->Capacity ? filter->Capacity * 2 : 64;
    RuleStruct **sorted =
        static_cast<RuleStruct **>(ZYL_ALLOC((int64_t)capacity * sizeof(RuleStruct *)));
    uint32_t *maxEnd = static_cast<uint32_t *>(ZYL_ALLOC((int64_t)capacity * sizeof(uint32_t)));
    if (filter->Sorted != nullptr) {
        memcpy(sorted, filter->Sorted, (size_t)filter->RuleCount * sizeof(RuleStruct *));
        memcpy(maxEnd, filter->MaxEnd, (size_t)filter->RuleCount * sizeof(uint32_t));
        ZYL_FREE(filter->Sorted, (int64_t)filter->Capacity * sizeof(RuleStruct *));
        ZYL_FREE(filter->MaxEnd, (int64_t)filter->Capacity * sizeof(uint32_t));
    }
    filter->Sorted = sorted;
    filter->MaxEnd = maxEnd;
    filter->Capacity = capacity;
}

int IPFilter_AddRule(IPFilterStruct *filter, const uint8_t start[4], const uint8_t end[4],
                     const char *name) {
    ZYL_CHECK_TAG(filter, kFilterTag);
    ZYL_CHECK_PTR(start);
    ZYL_CHECK_PTR(end);
    if (name == nullptr)
        name = "";
    if (!Mutex_Lock(filter->Mutex, -1, __FILE__, __LINE__))
        return 0;
    uint32_t startKey = Socket_ReadBigEndian32(start), endKey = Socket_ReadBigEndian32(end);
    int place = InternalUpperBound(filter, startKey, endKey);
    RuleStruct *previous = place > 0 ? filter->Sorted[place - 1] : nullptr;
    if (previous != nullptr && previous->StartKey == startKey && previous->EndKey == endKey) {
        if (filter->Verbose)
            Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                      "Duplicate filter [%d.%d.%d.%d to %d.%d.%d.%d] [%s] [%s]",
                      IPFILTER_BYTES(start), IPFILTER_BYTES(end), "Deny", name);
        previous->Verdict = 0;
        Mutex_Unlock(filter->Mutex, __FILE__, __LINE__);
        return 1;
    }
    if (filter->Verbose)
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "Add filter %d:[%d.%d.%d.%d to %d.%d.%d.%d] [%s] [%s]", 0, IPFILTER_BYTES(start),
                  IPFILTER_BYTES(end), "Deny", name);
    RuleStruct *rule = static_cast<RuleStruct *>(POOL_ALLOC(filter->Pool, sizeof(RuleStruct)));
    rule->Tag = kRuleTag;
    rule->Verdict = 0;
    rule->StartKey = startKey;
    rule->EndKey = endKey;
    memcpy(rule->Start, start, 4);
    memcpy(rule->End, end, 4);
    if (previous == nullptr) {
        rule->Next = filter->Rules;
        filter->Rules = rule;
    } else {
        rule->Next = previous->Next;
        previous->Next = rule;
    }
    if (filter->RuleCount == filter->Capacity)
        InternalGrow(filter);
    memmove(filter->Sorted + place + 1, filter->Sorted + place,
            (size_t)(filter->RuleCount - place) * sizeof(RuleStruct *));
    filter->Sorted[place] = rule;
    filter->RuleCount++;
    InternalRecomputeMaxEnd(filter, place);
    Mutex_Unlock(filter->Mutex, __FILE__, __LINE__);
    return 1;
}

int IPFilter_AddLocalIP(IPFilterStruct *filter) {
    ZYL_CHECK_TAG(filter, kFilterTag);
    uint8_t address[4];
    for (int n = 0; Socket_GetHostAddress(n, address); n++)
        IPFilter_AddRule(filter, address, address, "Local IP");
    return 1;
}

int IPFilter_SetDefaultAllow(IPFilterStruct *filter) {
    ZYL_CHECK_TAG(filter, kFilterTag);
    filter->DefaultVerdict = 1;
    return 1;
}

int IPFilter_Dump(IPFilterStruct *filter) {
    ZYL_CHECK_TAG(filter, kFilterTag);
    if (!Mutex_Lock(filter->Mutex, -1, __FILE__, __LINE__))
        return 0;
    for (const RuleStruct *r = filter->Rules; r != nullptr; r = r->Next)
        Zyl_Print("Filter [%d.%d.%d.%d to %d.%d.%d.%d] [%s]\n", IPFILTER_BYTES(r->Start),
                  IPFILTER_BYTES(r->End), InternalVerdictName(r->Verdict));
    Mutex_Unlock(filter->Mutex, __FILE__, __LINE__);
    return 1;
}

int IPFilter_Clear(IPFilterStruct *filter) {
    ZYL_CHECK_TAG(filter, kFilterTag);
    if (!Mutex_Lock(filter->Mutex, -1, __FILE__, __LINE__))
        return 0;
    InternalClear(filter);
    Mutex_Unlock(filter->Mutex, __FILE__, __LINE__);
    return 1;
}
