// The swarm of one download: its peer-wire connections (one member record
// each), admission of accepted connections, outgoing connects from the IP
// list with the connection-type and transport fall-backs, the per-tick step
// of every connection, choking, time-outs, the have queue, seed mode, piece
// availability, totals, rates and the status line. Runs on the manager thread;
// the swarm mutex guards the member list for readers on other threads.
#pragma once

#include <cstdint>

#include "core/zyl_formatcheck.h"
#include "engine/transfertotals.h"

struct BaseStruct;
struct BitPeerStruct;
struct BitfieldStruct;
struct ContentStruct;
struct IPListStruct;
struct ManagerStruct;
struct MutexStruct;
struct PieceSourceHooks;
struct SliceProgressStruct;
struct SliceStruct;
struct TrackerStruct;
struct TransportSelectStruct;
struct TransportStruct;
struct BitBaseStruct;

enum {
    BITBASE_TEXT_SIZE = 320,
    BITBASE_SLOTS = 11, // ten ranked unchoke slots and the optimistic one
    BITBASE_HAVE_QUEUE = 16,
    BITBASE_STATUS_CODES = 300,
};

typedef void (*BitBaseLogCallback)(BitBaseStruct *swarm, void *context, int count,
                                   const char *line);
typedef void (*BitBaseMemberCallback)(BitBaseStruct *swarm, BitPeerStruct *peer, void *context,
                                      int added);

struct BitBaseMemberStruct {
    const char *Tag;
    uint8_t InUse;
    uint8_t Removed;
    uint8_t Address[4]; // outgoing members only, network order
    int Port;
    BitPeerStruct *Connection; // owned
    double NextReadTime;
    double NextWriteTime;
    BitBaseMemberStruct *Next;
    BitBaseMemberStruct *Previous;
};

struct BitBaseHaveStruct {
    int32_t Piece;
    double Queued;
};

struct BitBaseStruct {
    const char *Tag;
    int Active;
    int Verbose;
    MutexStruct *Mutex;
    int SeedModeOn;
    int PureSource;
    int OutboundEnabled;
    int SeedingMode;
    int PeerParameter;
    int PieceOrder;
    int HaveSuppression;
    int SliceTimeout;
    int ValueTimeout;
    int ChokeHandoff;
    int FreeSlotUnchoke;
    int CloseSeeds;
    int PeerLogging;
    int RequestParameter;
    int SoftPeerLimit;
    int HardPeerLimit;
    TransportSelectStruct *Sets[4]; // read/write of plain sockets, read/write of reliable UDP
    int ConnectTimeout;
    int ConnectInterval;
    double LastConnectPass;
    int KeepAliveInterval;
    double LastKeepAliveCheck;
    BitBaseMemberStruct **Slots;
    int SlotCount;
    int UnchokeInterval;
    int UploadWeight;
    double LastUnchokeEvaluation;
    TransferTotalsStruct Departed;
    int64_t AddedIncoming;
    int64_t AddedOutgoing;
    int RateSplit;
    int DownloadLimit;
    double IncomingRates[3]; // current, average, maximum
    int UploadLimit;
    double OutgoingRates[3];
    BitBaseHaveStruct *HaveQueue;
    int HaveQueueSize;
    int HaveQueueCount;
    BitBaseMemberStruct *Members;
    int MemberCount;
    BitfieldStruct *Availability;
    char LastLine[BITBASE_TEXT_SIZE];
    int LogCount;
    void *LogContext;
    BitBaseLogCallback LogCallback;
    void *MemberContext;
    BitBaseMemberCallback MemberCallback;
    ManagerStruct *Manager;
    BaseStruct *Base;
    ContentStruct *Content;
    TrackerStruct *Tracker;
    IPListStruct *IPList;
    SliceProgressStruct *Progress; // owned: the connections' in-progress set
    int Wanted;                    // atomic: the download's active flag and peer switch
    int Order;
};

// Life. Create: 1 and *swarm (inactive, defaults set). Destroy turns it off,
// frees every member and clears *swarm; accepts null.
int BitBase_Create(BitBaseStruct **swarm);
int BitBase_Destroy(BitBaseStruct **swarm);
int BitBase_Init(BitBaseStruct *swarm);
int BitBase_Deinit(BitBaseStruct *swarm);
// Binds the download; a second call is fatal ("Parent handle already set").
int BitBase_SetParent(BitBaseStruct *swarm, BaseStruct *base);
// The in-progress set the connections' request queues share (made on first use).
int BitBase_GetProgress(BitBaseStruct *swarm, SliceProgressStruct **progress);

// Member list.
int BitBase_AddMember(BitBaseStruct *swarm, BitBaseMemberStruct *member);
int BitBase_RemoveMember(BitBaseStruct *swarm, BitBaseMemberStruct *member);
int BitBase_Purge(BitBaseStruct *swarm, int force);
int BitBase_GetFirstMember(BitBaseStruct *swarm, BitBaseMemberStruct **member);
int BitBase_GetNextMember(BitBaseMemberStruct *member, BitBaseStruct *swarm,
                          BitBaseMemberStruct **next);
int BitBase_UseMember(BitBaseStruct *swarm, BitBaseMemberStruct *member);
int BitBase_ReleaseMember(BitBaseStruct *swarm, BitBaseMemberStruct *member);
int BitBaseMember_GetPeer(BitBaseMemberStruct *member, BitPeerStruct **peer);
int BitBase_FindMemberByAddress(BitBaseStruct *swarm, const uint8_t address[4], int port,
                                BitBaseMemberStruct **member);

// Admission and connecting.
// Admits an identified accepted connection: 1 when the swarm owns it from now
// on (its transport too); 0 leaves it with the caller.
int BitBase_Contact(BitBaseStruct *swarm, BitPeerStruct *peer);
int BitBase_ApplyPeerSettings(BitPeerStruct *peer, BitBaseStruct *swarm);
int BitBase_ContactPeer(BitBaseStruct *swarm, BitBaseMemberStruct *member, const uint8_t address[4],
                        int port, TransportStruct *transport);
int BitBase_Connect(TransportStruct *transport, const uint8_t address[4], BitBaseStruct *swarm,
                    int port);
int BitBase_NextConnectionType(int current, BitBaseStruct *swarm, int *next);
int BitBase_NextTransportType(int *next, BitBaseStruct *swarm, int current);
int BitBase_RetryNextType(BitBaseStruct *swarm, BitBaseMemberStruct *member);
int BitBase_ConnectPass(BitBaseStruct *swarm);

// The tick and its parts.
int BitBase_Process(BitBaseStruct *swarm);
int BitBase_StepMember(BitBaseStruct *swarm, BitBaseMemberStruct *member, int writable, double now);
int BitBase_ApplyMemberShaping(BitBaseMemberStruct *member, BitBaseStruct *swarm, double now);
int BitBase_SetActive(BitBaseStruct *swarm, int on);
int BitBase_GetActive(BitBaseStruct *swarm);
// Re-reads the download's active flag and peer-wire switch; the tick applies
// it (connections are closed on the manager thread only). Returns 1.
int BitBase_ApplyState(BitBaseStruct *swarm);
// Re-reads the download's piece order mode. Returns 1.
int BitBase_ApplyOrder(BitBaseStruct *swarm);

// Counters and totals (under the mutex).
int BitBase_CountRequesting(BitBaseStruct *swarm, int *count);
int BitBase_CountUnchoked(BitBaseStruct *swarm, int *count);
int BitBase_GetActiveConnects(BitBaseStruct *swarm, int *count);
int BitBase_CountMembersByDirection(BitBaseStruct *swarm, int64_t *accepted, int64_t *opened);
int BitBase_GetMembersAdded(BitBaseStruct *swarm, int64_t *accepted, int64_t *opened);
// Members ever added, as the download reads them.
int BitBase_GetConnectionCounts(BitBaseStruct *swarm, int64_t *incoming, int64_t *outgoing);
int BitBase_GetMemberCount(BitBaseStruct *swarm, int *count);
int BitBase_GetTransferTotals(BitBaseStruct *swarm, TransferTotalsStruct *totals);
int BitBase_GetIncomingRates(BitBaseStruct *swarm, double *current, double *average,
                             double *maximum);
int BitBase_GetOutgoingRates(BitBaseStruct *swarm, double *current, double *average,
                             double *maximum);
int BitBase_UpdateRates(BitBaseStruct *swarm);
int BitBase_ResetTransportStatistics(BitBaseStruct *swarm);

// Settings.
int BitBase_SetRateSplit(BitBaseStruct *swarm, int value);
int BitBase_SetRateLimits(BitBaseStruct *swarm, double download, double upload);
int BitBase_SetConnectTimeout(BitBaseStruct *swarm, int seconds);
int BitBase_SetConnectInterval(BitBaseStruct *swarm, int seconds);
int BitBase_SetKeepAliveInterval(BitBaseStruct *swarm, int seconds);
int BitBase_SetSliceTimeout(BitBaseStruct *swarm, int seconds);
int BitBase_SetValueTimeout(BitBaseStruct *swarm, int seconds);
int BitBase_SetPureSource(BitBaseStruct *swarm, int value);
int BitBase_SetSeedingMode(BitBaseStruct *swarm, int mode);
int BitBase_SetPeerParameter(BitBaseStruct *swarm, int value);
int BitBase_SetRequestParameter(BitBaseStruct *swarm, int value);
int BitBase_SetHaveSuppression(BitBaseStruct *swarm, int value);
int BitBase_SetChokeHandoff(BitBaseStruct *swarm, int value);
int BitBase_SetPeerLogging(BitBaseStruct *swarm, int value);
int BitBase_GetPeerLogging(BitBaseStruct *swarm);
int BitBase_SetMaxPeers(BitBaseStruct *swarm, int count);
int BitBase_SetSoftPeerLimit(BitBaseStruct *swarm, int count);
int BitBase_SetChunkSelection(BitBaseStruct *swarm, int mode);
int BitBase_EnableCloseSeeds(BitBaseStruct *swarm);
int BitBase_SetCloseSeeds(BitBaseStruct *swarm, int value);
int BitBase_GetCloseSeeds(BitBaseStruct *swarm);
int BitBase_GetFreeSlotUnchoke(BitBaseStruct *swarm);
int BitBase_GetRegularSlots(BitBaseStruct *swarm);
int BitBase_SetVerbose(BitBaseStruct *swarm, int value);
int BitBase_SetLogCallback(BitBaseStruct *swarm, BitBaseLogCallback callback, void *context);
int BitBase_SetMemberCallback(BitBaseStruct *swarm, BitBaseMemberCallback callback, void *context);

// Logs and the status line.
int BitBase_Log(BitBaseStruct *swarm, const char *format, ...);
#define BitBase_Log(swarm, ...) (ZYL_FORMAT_CHECK(__VA_ARGS__), (BitBase_Log)(swarm, __VA_ARGS__))
int BitBase_PrintStatus(BitBaseStruct *swarm);

// Choking, time-outs, have queue, seed mode, availability (swarm_choke.cpp).
int BitBase_EvaluateChoke(BitBaseStruct *swarm);
int BitBase_CheckKeepAlive(BitBaseStruct *swarm);
int BitBase_CheckMemberTimeouts(BitBaseStruct *swarm, BitBaseMemberStruct *member, double now);
int BitBase_QueueHave(BitBaseStruct *swarm, int piece);
int BitBase_FlushHaveQueue(BitBaseStruct *swarm);
int BitBase_SetHaveQueueSize(int count, BitBaseStruct *swarm);
int BitBase_CheckSeedMode(BitBaseStruct *swarm);
int BitBase_CloseAll(BitBaseStruct *swarm);
int BitBase_CloseSeeds(BitBaseStruct *swarm);
int BitBase_GetAvailability(BitBaseStruct *swarm, uint8_t *counts, int count);
// Adds the members' availability to counts (the picker's frequency hook).
int BitBase_AddPieceFrequency(BitBaseStruct *swarm, uint8_t *counts, int count);
int BitBase_HalveCounts(uint8_t *counts, int count);
int BitBase_GetSwarmPieceCount(BitBaseStruct *swarm, int *count);
int BitBase_FindHandoffPeer(BitBaseStruct *swarm, BitPeerStruct *peer, BitPeerStruct **out);
// Fills the piece picker's hooks that the connections answer (busy count,
// hand-off victim and its cancels, source log lines, piece cancels); the hooks'
// user value is the download. Returns 1.
int BitBase_FillSourceHooks(PieceSourceHooks *hooks);
