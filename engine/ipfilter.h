// The engine-wide IPv4 filter: inclusive address ranges that deny, checked for
// every accepted connection and every learned address. Rules are kept sorted
// with running maximum ends, so a check finds every covering rule, also wide
// ones that start far before the address, in logarithmic time plus the overlaps.
#pragma once

#include <cstdint>

struct MutexStruct;
struct PoolStruct;

struct RuleStruct {
    const char *Tag;
    uint8_t Verdict; // 1 allow, anything else deny (0 as added)
    uint32_t StartKey;
    uint32_t EndKey;
    uint8_t Start[4];
    uint8_t End[4];
    RuleStruct *Next; // ascending by start key, then end key
};

struct IPFilterStruct {
    const char *Tag;
    MutexStruct *Mutex;
    int Verbose;
    int DefaultVerdict; // for addresses no rule covers (1 allow)
    PoolStruct *Pool;
    int RuleCount;
    RuleStruct *Rules;
    RuleStruct **Sorted; // the same rules by place, for binary search
    uint32_t *MaxEnd;    // MaxEnd[i]: the largest end key of Sorted[0..i]
    int Capacity;
};

// Life. Create: an initialised filter into *filter; Destroy accepts null, frees
// it and clears *filter. Init and Deinit make and free the parts. All return 1.
int IPFilter_Create(IPFilterStruct **filter);
int IPFilter_Destroy(IPFilterStruct **filter);
int IPFilter_Init(IPFilterStruct *filter);
int IPFilter_Deinit(IPFilterStruct *filter);
// 1 when the address may be used, 0 when denied; the narrowest covering rule decides.
int IPFilter_Check(IPFilterStruct *filter, const uint8_t address[4], int port);
// Adds a deny rule for start..end (inclusive); a duplicate keeps one rule. Returns 1.
int IPFilter_AddRule(IPFilterStruct *filter, const uint8_t start[4], const uint8_t end[4],
                     const char *name);
// Denies each local IPv4 address of this host, so the engine never dials itself.
int IPFilter_AddLocalIP(IPFilterStruct *filter);
int IPFilter_SetDefaultAllow(IPFilterStruct *filter);
int IPFilter_Dump(IPFilterStruct *filter);
int IPFilter_Clear(IPFilterStruct *filter);
