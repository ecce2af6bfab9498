// The swarm of one download: its peer-wire connections, their choking and their
// share of the download's figures. This is the least record the manager and the
// download object step: it holds no connection yet and refuses inherited ones.
#pragma once

#include <cstdint>

#include "engine/transfertotals.h"

struct BaseStruct;
struct BitPeerStruct;
struct ManagerStruct;
struct TransportStruct;

struct BitBaseStruct {
    const char *Tag;
    BaseStruct *Base;       // the owning download (borrowed)
    ManagerStruct *Manager; // the download's manager (borrowed)
    int Active;             // mirrors the download's state after BitBase_ApplyState
    int PeerEnabled;        // the download's peer-wire switch as last read
    int Order;              // the download's piece order mode as last read
    double DownloadLimit;   // bytes per second, 0 = none
    double UploadLimit;
    TransferTotalsStruct Totals; // closed connections plus open ones
    int64_t Incoming;            // connections accepted
    int64_t Outgoing;            // connections made
};

// Life. Create: 1 and *swarm. Destroy: frees, clears *swarm, accepts null.
int BitBase_Create(BitBaseStruct **swarm);
int BitBase_Destroy(BitBaseStruct **swarm);
// Binds the download; a second call is fatal ("Parent handle already set").
int BitBase_SetParent(BitBaseStruct *swarm, BaseStruct *base);
// One step of the swarm on the manager thread. Returns 1.
int BitBase_Process(BitBaseStruct *swarm);
// Re-reads the download's active flag and peer-wire switch. Returns 1.
int BitBase_ApplyState(BitBaseStruct *swarm);
// Re-reads the download's piece order mode. Returns 1.
int BitBase_ApplyOrder(BitBaseStruct *swarm);
int BitBase_SetRateLimits(BitBaseStruct *swarm, double download, double upload);
// Offers an identified incoming connection. *taken = 1 when the swarm owns the
// connection and its transport from now on; 0 leaves both with the caller.
// Returns 1.
int BitBase_Contact(BitBaseStruct *swarm, BitPeerStruct *peer, TransportStruct *transport,
                    int *taken);
// Outgoing connects in progress. Returns 1.
int BitBase_GetActiveConnects(BitBaseStruct *swarm, int *count);
int BitBase_GetTransferTotals(BitBaseStruct *swarm, TransferTotalsStruct *totals);
int BitBase_GetConnectionCounts(BitBaseStruct *swarm, int64_t *incoming, int64_t *outgoing);
// Bytes per second: current, average and maximum of the open connections.
int BitBase_GetIncomingRates(BitBaseStruct *swarm, double *current, double *average,
                             double *maximum);
int BitBase_GetOutgoingRates(BitBaseStruct *swarm, double *current, double *average,
                             double *maximum);
// Adds the connections' piece availability to counts[0..count-1]. Returns 1.
int BitBase_AddPieceFrequency(BitBaseStruct *swarm, uint8_t *counts, int count);
// One status letter per connection. Returns 1.
int BitBase_PrintStatus(BitBaseStruct *swarm);
