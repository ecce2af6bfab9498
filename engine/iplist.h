// The peer addresses known to one download, sorted by address, with their
// connect attempts, states and expiry. Tuned for floods from trackers and the
// DHT: a seek index keeps adds from walking the list, and a cap bounds it.
#pragma once

#include <cstdint>

struct IPListStruct;
struct IPListMemberStruct;
struct ListAStruct;
struct MutexStruct;
struct PoolStruct;

enum {
    IPLIST_STATE_CONTACT = 1,
    IPLIST_STATE_CONNECTED = 2,
    IPLIST_STATE_CLOSED = 3,
    IPLIST_STATE_FILTERED = 4,
    IPLIST_STATE_BLOCKED = 5,
    IPLIST_STATE_PENDING = 100,
    IPLIST_STATE_FAILED = 101,
};

enum { IPLIST_ORIGIN_TRACKER = 2, IPLIST_ORIGIN_ACCEPTED = 3, IPLIST_ORIGIN_DHT = 4 };

// Most members a list keeps unless told otherwise (IPList_SetMaxMembers).
enum { IPLIST_DEFAULT_MAX_MEMBERS = 10000 };

typedef double (*IPListClock)(void *context);

struct IPListMemberStruct {
    const char *Tag;
    uint8_t Address[4]; // network order
    uint32_t Key;       // the address read big-endian; sort key
    uint8_t PeerId[20];
    int Origin;
    int Valid;
    int State;
    int Port; // 0: none given
    int Hits;
    int Connections;
    int Attempts;
    int64_t Totals[2];
    double LastAttempt; // 0: never
    double ConnectedSince;
    double ConnectedTime;
    double Added;
    double LastSeen; // last time the address was added again
    IPListMemberStruct *Next;
};

struct IPListStruct {
    const char *Tag;
    MutexStruct *Mutex;
    int Verbose;
    int MaxAttempts;   // picked while attempts <= this
    int RetryInterval; // seconds between two attempts
    int ComparePorts;
    int ExpiryAge; // seconds
    int MaxMembers;
    PoolStruct *Pool;
    ListAStruct *Seek; // members by key, so adds start near their place
    int Count;
    IPListMemberStruct *Members; // ascending by key, equal keys in insertion order
    int CheckCountdown;          // debug builds: changes left before the next full check
    IPListClock Clock;
    void *ClockContext;
};

// Life. Create: an initialised, empty list into *list; Destroy accepts null,
// frees it and clears *list. Init and Deinit make and free the parts. All return 1.
int IPList_Create(IPListStruct **list);
int IPList_Destroy(IPListStruct **list);
int IPList_Init(IPListStruct *list);
int IPList_Deinit(IPListStruct *list);
// Replaces the clock (tick seconds); null restores the system's. For tests.
int IPList_SetClock(IPListStruct *list, IPListClock clock, void *context);

// Adds an address or counts a duplicate (a non-zero port replaces the stored
// one, attempts restart). *member = the new or existing member. 0 when the list
// is full of members that may not be dropped.
int IPList_AddMember(IPListMemberStruct **member, IPListStruct *list, const uint8_t address[4],
                     int port);
int IPList_Find(const uint8_t address[4], IPListStruct *list, IPListMemberStruct **member,
                int valid, int port);
int IPList_FindByPeerId(const uint8_t peerId[20], IPListStruct *list, IPListMemberStruct **member);
// The next address to connect to: never tried first, then fewest attempts,
// at least the retry interval after the last attempt. 0 when none is due.
int IPList_GetNextPending(IPListStruct *list, IPListMemberStruct **member);
int IPList_SetState(IPListStruct *list, int state, IPListMemberStruct *member);
int IPList_SetConnected(IPListMemberStruct *member, IPListStruct *list);
int IPList_GetState(IPListMemberStruct *member, int *state);
int IPList_SetOrigin(IPListMemberStruct *member, int origin);
int IPList_SetPeerId(IPListMemberStruct *member, const uint8_t peerId[20]);
int IPList_SetTotals(IPListMemberStruct *member, int64_t first, int64_t second);
int IPList_GetTotals(IPListMemberStruct *member, int64_t *first, int64_t *second);
int IPList_GetAddress(uint8_t address[4], IPListMemberStruct *member, int *port);
int IPList_ResetStates(IPListStruct *list);
// Drops members not connected whose last activity is older than the expiry age.
int IPList_Expire(IPListStruct *list);
int IPList_Clear(IPListStruct *list);
int IPList_SetComparePorts(IPListStruct *list, int value);
int IPList_SetRetryInterval(IPListStruct *list, int seconds);
int IPList_SetMaxAttempts(IPListStruct *list, int attempts);
int IPList_SetMaxMembers(IPListStruct *list, int count);
int IPList_GetCount(IPListStruct *list, int *count);
// Walks the members and stops the program when they are out of key order, a
// key disagrees with its address, or Count is wrong. Returns 1 (0 when the lock
// fails). Debug builds run it after as many additions and expiries as there are
// members, so it stays amortised O(1).
int IPList_CheckInvariants(IPListStruct *list);
