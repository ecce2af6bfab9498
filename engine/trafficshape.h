// The traffic shaper: a hierarchical token bucket per direction. Each direction
// has at most one active rule set, chosen by time of day; leaves are the
// classes that traffic is charged to, refilled by the tick, and a leaf out of
// tokens may borrow from its relatives. Tuned for one AllowSend per transfer on
// the manager thread: handles are bound once and their rules cached.
#pragma once

#include <cstdint>

struct MutexStruct;
struct TrafficShapeStruct;
struct XmlStruct;

// The direction of traffic. A type of its own, not an int, because
// TrafficShape_AllowSend takes (direction, handle) and the allowance calls take
// (handle, direction): a swapped pair does not compile.
enum TrafficShapeDirection : int { TRAFFICSHAPE_OUTGOING = 0, TRAFFICSHAPE_INCOMING = 1 };
enum { TRAFFICSHAPE_ID_SIZE = 64 };
// A time span's end of "24:00": the end of the day, in minutes.
enum { TRAFFICSHAPE_END_OF_DAY = 24 * 60 };

struct TSRuleStruct {
    const char *Tag;
    int64_t BytesAllowed;   // in the current second
    int64_t BytesRequested; // in the current second
    TrafficShapeStruct *Owner;
    TSRuleStruct *Parent; // null for the root
    TSRuleStruct *FirstChild;
    int ChildCount;
    TSRuleStruct *NextSibling; // children in order of creation
    char ID[TRAFFICSHAPE_ID_SIZE];
    uint32_t IDCrc;
    int64_t CeilingRate;      // effective rate, bytes per second
    int64_t ConfiguredRate;   // root: bandwidth in bytes per second; others: percentage of the root
    int64_t AssuredRateBytes; // effective assured rate, bytes per second
    int64_t ConfiguredAssured;
    int64_t Rate;          // bytes allowed in the last whole second (inner rules: sum of leaves)
    int64_t RequestedRate; // bytes requested in the last whole second
    int64_t TotalRequested;
    int64_t TotalAllowed;
    int64_t Allowance; // bytes by which the tokens may be overdrawn
    int AllowBorrow;
    int Regulated;
    int64_t Tokens;     // inner rules: the sum of their leaves' tokens
    double RefillCarry; // fraction of a byte earned but not yet credited (leaves)
};

struct RuleSetStruct {
    const char *Tag;
    TrafficShapeStruct *Owner;
    int Active;
    char ID[TRAFFICSHAPE_ID_SIZE];
    uint32_t IDCrc;
    int StartMinute;                 // minute of the day, 0..1439
    int EndMinute;                   // minute of the day, 0..1440 (1440: end of the day)
    TrafficShapeDirection Direction; // outgoing until set
    TSRuleStruct *Root;
    TSRuleStruct **Rules; // in order of creation; handle = place + 1
    int RuleCount;
    int RuleCapacity;
    RuleSetStruct *Next;
};

struct TSLookupStruct {
    char ClassID[TRAFFICSHAPE_ID_SIZE];
    uint32_t ClassCrc;
    int64_t BytesRequested; // through this handle, never reset
    int64_t BytesAllowed;
    TSRuleStruct *Cached[2]; // rule per direction in the active set, or null
};

// Clock sources, replaceable for tests: tick seconds and the local minute of the day.
typedef double (*TrafficShapeTickClock)(void *context);
typedef int (*TrafficShapeDayClock)(void *context);

struct TrafficShapeStruct {
    const char *Tag;
    int Enabled;
    int Logging;
    int Verbose;
    int AllowAssuredBorrow;
    MutexStruct *Mutex;
    double SecondAccumulator;
    double StatusAccumulator;
    double StatusInterval; // seconds between status prints
    double LastTick;       // tick seconds, 0 before the first tick
    RuleSetStruct *Sets;   // in order of creation
    RuleSetStruct *ActiveSet[2];
    TSLookupStruct **Lookups; // handle = place + 1
    int LookupCount;
    int LookupCapacity;
    int64_t BytesSent; // since the last status print
    int64_t BytesDropped;
    TrafficShapeTickClock TickClock;
    TrafficShapeDayClock DayClock;
    void *ClockContext;
};

// Shaper life. Create: disabled, Logging 0, Verbose 1, status every 5 s.
int TrafficShape_Create(TrafficShapeStruct **shaper);
int TrafficShape_Destroy(TrafficShapeStruct **shaper);
int TrafficShape_SetEnabled(TrafficShapeStruct *shaper, int value);
int TrafficShape_SetLogging(TrafficShapeStruct *shaper, int value);
int TrafficShape_SetVerbose(TrafficShapeStruct *shaper, int value);
int TrafficShape_SetAllowAssuredBorrow(TrafficShapeStruct *shaper, int value);
int TrafficShape_SetStatusInterval(TrafficShapeStruct *shaper, double seconds);
// Replaces the clocks (null restores the system's); for tests.
int TrafficShape_SetClock(TrafficShapeStruct *shaper, TrafficShapeTickClock tick,
                          TrafficShapeDayClock day, void *context);
int TrafficShape_Lock(TrafficShapeStruct *shaper);
int TrafficShape_Unlock(TrafficShapeStruct *shaper);
// The tick: selects the active sets, refills leaves, rolls seconds, prints status.
int TrafficShape_Process(TrafficShapeStruct *shaper);
int TrafficShape_Restart(TrafficShapeStruct *shaper);
int TrafficShape_Print(TrafficShapeStruct *shaper);
// Walks every rule set's tree and stops the program when a rule's child count,
// a child's parent link or an inner rule's tokens (the sum of its children's)
// is wrong. Returns 1 (0 when the lock fails). Debug builds run it every tick.
int TrafficShape_CheckInvariants(TrafficShapeStruct *shaper);

// Binds a class of the active set of a direction to a 1-based handle. 0 (and
// handle 0) when the direction has no active set, the class is unknown or not a leaf.
int TrafficShape_GetLookupHandleFromID(TrafficShapeStruct *shaper, TrafficShapeDirection direction,
                                       const char *classId, int *handle);
// 1 when `length` bytes may move now, 0 to deny. Unknown handles are allowed.
// Direction first, then handle.
int TrafficShape_AllowSend(TrafficShapeStruct *shaper, TrafficShapeDirection direction, int handle,
                           int64_t length);
// The bytes by which the handle's rule in the direction's active set may
// overdraw its tokens. Handle first, then direction (the opposite of
// AllowSend). 0 when the handle has no rule in that direction.
int TrafficShape_SetAllowance(TrafficShapeStruct *shaper, int handle,
                              TrafficShapeDirection direction, int64_t value);
int TrafficShape_GetAllowance(TrafficShapeStruct *shaper, int handle,
                              TrafficShapeDirection direction, int64_t *value);
int TrafficShape_GetLookupCounters(TrafficShapeStruct *shaper, int handle, int64_t *allowed,
                                   int64_t *requested);

// Rule sets and rules.
RuleSetStruct *TrafficShape_RuleSetCreate(TrafficShapeStruct *shaper, const char *id);
int TrafficShape_GetRuleSetCount(TrafficShapeStruct *shaper);
RuleSetStruct *TrafficShape_FindRuleSet(TrafficShapeStruct *shaper, const char *id);
int TrafficShape_RuleSetSetActive(TrafficShapeStruct *shaper, RuleSetStruct *set, int value);
int TrafficShape_RuleSetSetDirection(RuleSetStruct *set, TrafficShapeDirection direction);
// Start and end as "hh:mm"; an end of "24:00" is the end of the day. Returns 0
// (and reads the bad text as 00:00) when a text is not a time.
int TrafficShape_RuleSetSetTimeSpan(RuleSetStruct *set, const char *start, const char *end);
int TrafficShape_RuleSetCreateRoot(RuleSetStruct *set, const char *id);
int TrafficShape_RuleSetGetRootHandle(RuleSetStruct *set);
// The new rule's handle, or 0 (with an alert line) when the parent handle is bad.
int TrafficShape_RuleCreate(RuleSetStruct *set, int parentHandle, const char *id);
int TrafficShape_RuleSetBandwidth(RuleSetStruct *set, int handle, int64_t bytesPerSecond);
int TrafficShape_RuleSetCeilingRate(RuleSetStruct *set, int handle, int64_t percent);
int TrafficShape_RuleSetAssuredRate(RuleSetStruct *set, int handle, int64_t percentOrBytes);
int TrafficShape_RuleSetAllowBorrow(RuleSetStruct *set, int handle, int value);
int TrafficShape_RuleSetRegulated(RuleSetStruct *set, int handle, int value);
int TrafficShape_RuleSetRecalculate(RuleSetStruct *set);
int TrafficShape_ClearRuleSets(TrafficShapeStruct *shaper);
TSRuleStruct *TrafficShape_RuleSetGetRule(RuleSetStruct *set, int handle);
// "Outgoing" / "Incoming" in any case; 0 for other text.
int TrafficShape_ParseDirection(const char *text, TrafficShapeDirection *direction);
const char *TrafficShape_RuleGetStatus(const TSRuleStruct *rule);
int64_t TrafficShape_RuleGetAvailableTokens(const TSRuleStruct *rule);

// Configuration: loads `Application.TrafficShape` of a document. 0 when the
// document has none (nothing changes), else 1.
int TrafficShape_LoadConfig(TrafficShapeStruct *shaper, XmlStruct *document);
// "hh:mm" to minutes since 1970 of today at that time; 0 (value 0) on bad text.
int TrafficShape_ParseTime(const char *text, int32_t *minutes);
