// The web sources of one download: one member per reliable source URL of the
// content, each with its web peer, started and stopped with the download and
// stepped on the manager thread; their totals, rates and piece availability
// join the download's, and a redirect's base URL is remembered per file.
#pragma once

#include <cstdint>

#include "engine/transfertotals.h"

struct BaseStruct;
struct ContentStruct;
struct ManagerStruct;
struct MutexStruct;
struct WebPeerStruct;

enum {
    WEBBASE_TEXT_SIZE = 320,
    WEBBASE_STATUS_LETTERS = 300, // letters of PrintStatus before "..."
};

struct WebBaseMemberStruct {
    const char *Tag;
    uint8_t InUse;       // iterations holding the member
    uint8_t Retired;     // freed by the next purge once not in use
    WebPeerStruct *Peer; // owned
    WebBaseMemberStruct *Next;
    WebBaseMemberStruct *Previous;
};

struct WebBaseRedirectStruct {
    uint32_t Crc;                 // CRC-32 of the key with letters upper-cased
    char Key[WEBBASE_TEXT_SIZE];  // the key as stored (compared case-folded)
    char Base[WEBBASE_TEXT_SIZE]; // the redirect's base URL
    WebBaseRedirectStruct *Next;
    WebBaseRedirectStruct *Previous;
};

struct WebBaseRedirectListStruct {
    const char *Tag; // "WebBaseRedirectStructLinked"
    WebBaseRedirectStruct *First;
    WebBaseRedirectStruct *Last;
    int Count;
};

struct WebBaseStruct {
    const char *Tag;
    int Active;
    MutexStruct *Mutex;   // guards members, counts and settings
    int Order;            // PIECE_ORDER_* for members created later; 2 at creation
    int PeerLogging;      // 1: web peers' lines also go to the Alert log
    int Staggered;        // 1: twins of a source take turns
    int ReserveMaxPieces; // whole pieces a web peer takes at once; at least 1
    // Totals of retired members.
    int64_t Sent;
    int64_t Received;
    int64_t Verified;
    int64_t Failed;
    int64_t Discarded;
    int64_t AddedCount; // members ever added
    double InCurrent, InAverage, InMaximum;
    double OutCurrent, OutAverage, OutMaximum;
    WebBaseMemberStruct *First; // newest first
    WebBaseRedirectListStruct Redirects;
    int LiveCount;
    char Status[WEBBASE_TEXT_SIZE];
    ManagerStruct *Manager; // borrowed
    BaseStruct *Base;       // borrowed: the owning download
    ContentStruct *Content; // borrowed
};

// Create: 1 and *web (inactive, mode 2, one reserved piece). Destroy deactivates,
// reports members still in use, frees the rest and clears *web; accepts null.
int WebBase_Create(WebBaseStruct **web);
int WebBase_Destroy(WebBaseStruct **web);
// Binds the download; a second call is fatal ("Parent handle already set").
int WebBase_SetParent(WebBaseStruct *web, BaseStruct *base);
// 1 scans the content's reliable sources and starts their web peers; other
// values stop them. No change when equal. 0 when the lock fails.
int WebBase_SetActive(WebBaseStruct *web, int active);
int WebBase_GetActive(WebBaseStruct *web, int *active);
// The piece order mode for members created later (logged). Returns 1.
int WebBase_SetChunkSelection(WebBaseStruct *web, int mode);
// Off makes every member after the newest fail ("Staggered requests disabled").
int WebBase_SetStaggeredRequests(WebBaseStruct *web, int on);
// The setting, 0 while the order mode is sequential.
int WebBase_GetStaggeredRequests(WebBaseStruct *web);
// Below 1 is stored as 1 (logged). Returns 1 (0 when the lock fails).
int WebBase_SetReserveMaxPieces(WebBaseStruct *web, int count);
int WebBase_GetReserveMaxPieces(WebBaseStruct *web);
int WebBase_SetPeerLogging(WebBaseStruct *web, int on);
int WebBase_GetPeerLogging(WebBaseStruct *web);

// Members. AddMember: a started web peer for url and id, inserted at the front;
// 1 and *peer (owned by the manager). RemovePeer retires the member holding the
// peer; 0 when none does.
int WebBase_AddMember(WebBaseStruct *web, const char *url, const char *id, WebPeerStruct **peer);
int WebBase_RemovePeer(WebBaseStruct *web, WebPeerStruct *peer);
// Iteration over live members: First raises the returned member's in-use count,
// Next lowers the given one's and raises the returned one's; a caller stopping
// early releases the member it holds. 0 and null at the end.
int WebBase_First(WebBaseStruct *web, WebBaseMemberStruct **member);
int WebBase_Next(WebBaseStruct *web, WebBaseMemberStruct *member, WebBaseMemberStruct **next);
int WebBase_Release(WebBaseStruct *web, WebBaseMemberStruct *member);
int WebBase_GetPeer(WebBaseMemberStruct *member, WebPeerStruct **peer);

// Adds the live member count to every per-piece count below 250 (capped at 250;
// when a cap was hit every count above 1 is halved). Returns 1.
int WebBase_AddFrequency(WebBaseStruct *web, uint8_t *counts, int count);
// 1 when some live web peer holds blocks of the piece in its queue.
int WebBase_IsFetching(WebBaseStruct *web, int index);
// The tick: runs the live members' web peers, updates rates, purges. Returns 1.
int WebBase_Process(WebBaseStruct *web);
// Retired totals plus each live member's. Returns 1.
int WebBase_GetTotals(WebBaseStruct *web, int64_t *received, int64_t *sent, int64_t *verified,
                      int64_t *failed, int64_t *discarded);
// The same five totals as one record.
int WebBase_GetTransferTotals(WebBaseStruct *web, TransferTotalsStruct *totals);
int WebBase_GetIncomingRates(WebBaseStruct *web, double *current, double *average, double *maximum);
int WebBase_GetOutgoingRates(WebBaseStruct *web, double *current, double *average, double *maximum);
// *live = live members, *other = 0. Returns 1.
int WebBase_GetMemberCount(WebBaseStruct *web, int64_t *live, int64_t *other);
// One letter per live member's state, printed to the process log when any.
int WebBase_PrintStatus(WebBaseStruct *web);
// The letters PrintStatus prints, into text (WEBBASE_TEXT_SIZE bytes). Returns 1.
int WebBase_GetStatusLetters(WebBaseStruct *web, char *text);

// Redirect bases per file key (compared case-folded). Add replaces the text of
// an equal key; Find gives 1 only for a non-empty text.
int WebBase_RedirectAdd(WebBaseStruct *web, const char *redirect, const char *key);
int WebBase_RedirectFind(WebBaseStruct *web, const char *key, char *redirect);
