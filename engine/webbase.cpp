// The web sources' least record: an on/off switch and empty figures.
#include "engine/webbase.h"

#include "core/zyl.h"
#include "engine/base.h"

static const char kWebTag[] = "WebBaseStruct";

int WebBase_Create(WebBaseStruct **web) {
    ZYL_CHECK_PTR(web);
    WebBaseStruct *w = ZYL_NEW(WebBaseStruct);
    w->Tag = kWebTag;
    *web = w;
    return 1;
}

int WebBase_Destroy(WebBaseStruct **web) {
    ZYL_CHECK_PTR(web);
    WebBaseStruct *w = *web;
    if (w == nullptr)
        return 1;
    ZYL_CHECK_TAG(w, kWebTag);
    *web = nullptr;
    w->Tag = Zyl_DeadTag;
    ZYL_FREE(w, sizeof(WebBaseStruct));
    return 1;
}

int WebBase_SetParent(BaseStruct *base, WebBaseStruct *web) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(base);
    if (web->Base != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    web->Base = base;
    return 1;
}

int WebBase_SetActive(int active, WebBaseStruct *web) {
    ZYL_CHECK_TAG(web, kWebTag);
    web->Active = active == 1 ? 1 : 0;
    return 1;
}

int WebBase_GetActive(WebBaseStruct *web, int *active) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(active);
    *active = web->Active;
    return 1;
}

int WebBase_ApplyOrder(WebBaseStruct *web) {
    ZYL_CHECK_TAG(web, kWebTag);
    if (web->Base)
        web->Order = Base_GetChunkSelection(web->Base);
    return 1;
}

int WebBase_Process(WebBaseStruct *web) {
    ZYL_CHECK_TAG(web, kWebTag);
    return 1;
}

int WebBase_GetConnectionCounts(WebBaseStruct *web, int64_t *incoming, int64_t *outgoing) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(incoming);
    ZYL_CHECK_PTR(outgoing);
    *incoming = 0;
    *outgoing = 0;
    return 1;
}

int WebBase_GetTransferTotals(WebBaseStruct *web, TransferTotalsStruct *totals) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(totals);
    *totals = web->Totals;
    return 1;
}

static int InternalZeroRates(double *current, double *average, double *maximum) {
    ZYL_CHECK_PTR(current);
    ZYL_CHECK_PTR(average);
    ZYL_CHECK_PTR(maximum);
    *current = *average = *maximum = 0;
    return 1;
}

int WebBase_GetIncomingRates(WebBaseStruct *web, double *current, double *average,
                             double *maximum) {
    ZYL_CHECK_TAG(web, kWebTag);
    return InternalZeroRates(current, average, maximum);
}

int WebBase_GetOutgoingRates(WebBaseStruct *web, double *current, double *average,
                             double *maximum) {
    ZYL_CHECK_TAG(web, kWebTag);
    return InternalZeroRates(current, average, maximum);
}

int WebBase_AddPieceFrequency(WebBaseStruct *web, int count, uint8_t *table) {
    ZYL_CHECK_TAG(web, kWebTag);
    if (count > 0)
        ZYL_CHECK_PTR(table);
    return 1;
}

int WebBase_PrintStatus(WebBaseStruct *web) {
    ZYL_CHECK_TAG(web, kWebTag);
    return 1;
}
