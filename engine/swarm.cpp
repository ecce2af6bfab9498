// The swarm's least record: bound to its download, stepped every cycle, with
// empty totals; it takes over no inherited connection.
#include "engine/swarm.h"

#include "core/zyl.h"
#include "engine/base.h"

static const char kSwarmTag[] = "BitBaseStruct";

int BitBase_Create(BitBaseStruct **swarm) {
    ZYL_CHECK_PTR(swarm);
    BitBaseStruct *s = ZYL_NEW(BitBaseStruct);
    s->Tag = kSwarmTag;
    s->PeerEnabled = 1;
    *swarm = s;
    return 1;
}

int BitBase_Destroy(BitBaseStruct **swarm) {
    ZYL_CHECK_PTR(swarm);
    BitBaseStruct *s = *swarm;
    if (s == nullptr)
        return 1;
    ZYL_CHECK_TAG(s, kSwarmTag);
    *swarm = nullptr;
    s->Tag = Zyl_DeadTag;
    ZYL_FREE(s, sizeof(BitBaseStruct));
    return 1;
}

int BitBase_SetParent(BitBaseStruct *swarm, BaseStruct *base) {
    ZYL_CHECK_TAG(swarm, kSwarmTag);
    ZYL_CHECK_PTR(base);
    if (swarm->Base != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    swarm->Base = base;
    Base_GetParent(base, &swarm->Manager);
    return 1;
}

int BitBase_Process(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, kSwarmTag);
    return 1;
}

int BitBase_ApplyState(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, kSwarmTag);
    if (swarm->Base) {
        swarm->Active = Base_PeekActive(swarm->Base);
        swarm->PeerEnabled = Base_GetPeerEnabled(swarm->Base);
    }
    return 1;
}

int BitBase_ApplyOrder(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, kSwarmTag);
    if (swarm->Base)
        swarm->Order = Base_GetChunkSelection(swarm->Base);
    return 1;
}

int BitBase_SetRateLimits(BitBaseStruct *swarm, double download, double upload) {
    ZYL_CHECK_TAG(swarm, kSwarmTag);
    swarm->DownloadLimit = download;
    swarm->UploadLimit = upload;
    return 1;
}

int BitBase_Contact(BitBaseStruct *swarm, BitPeerStruct *peer, TransportStruct *transport,
                    int *taken) {
    ZYL_CHECK_TAG(swarm, kSwarmTag);
    ZYL_CHECK_PTR(peer);
    ZYL_CHECK_PTR(transport);
    ZYL_CHECK_PTR(taken);
    *taken = 0;
    return 1;
}

int BitBase_GetActiveConnects(BitBaseStruct *swarm, int *count) {
    ZYL_CHECK_TAG(swarm, kSwarmTag);
    ZYL_CHECK_PTR(count);
    *count = 0;
    return 1;
}

int BitBase_GetTransferTotals(BitBaseStruct *swarm, TransferTotalsStruct *totals) {
    ZYL_CHECK_TAG(swarm, kSwarmTag);
    ZYL_CHECK_PTR(totals);
    *totals = swarm->Totals;
    return 1;
}

int BitBase_GetConnectionCounts(BitBaseStruct *swarm, int64_t *incoming, int64_t *outgoing) {
    ZYL_CHECK_TAG(swarm, kSwarmTag);
    ZYL_CHECK_PTR(incoming);
    ZYL_CHECK_PTR(outgoing);
    *incoming = swarm->Incoming;
    *outgoing = swarm->Outgoing;
    return 1;
}

static int InternalZeroRates(double *current, double *average, double *maximum) {
    ZYL_CHECK_PTR(current);
    ZYL_CHECK_PTR(average);
    ZYL_CHECK_PTR(maximum);
    *current = *average = *maximum = 0;
    return 1;
}

int BitBase_GetIncomingRates(BitBaseStruct *swarm, double *current, double *average,
                             double *maximum) {
    ZYL_CHECK_TAG(swarm, kSwarmTag);
    return InternalZeroRates(current, average, maximum);
}

int BitBase_GetOutgoingRates(BitBaseStruct *swarm, double *current, double *average,
                             double *maximum) {
    ZYL_CHECK_TAG(swarm, kSwarmTag);
    return InternalZeroRates(current, average, maximum);
}

int BitBase_AddPieceFrequency(BitBaseStruct *swarm, uint8_t *counts, int count) {
    ZYL_CHECK_TAG(swarm, kSwarmTag);
    if (count > 0)
        ZYL_CHECK_PTR(counts);
    return 1;
}

int BitBase_PrintStatus(BitBaseStruct *swarm) {
    ZYL_CHECK_TAG(swarm, kSwarmTag);
    return 1;
}
