// The web sources of one download (HTTP byte ranges beside the peers). This is
// the least record the download object steps: it has no source yet and adds
// nothing to the download's figures.
#pragma once

#include <cstdint>

#include "engine/transfertotals.h"

struct BaseStruct;

struct WebBaseStruct {
    const char *Tag;
    BaseStruct *Base; // the owning download (borrowed)
    int Active;       // 1 while the web sources may be used
    int Order;        // the download's piece order mode as last read
    TransferTotalsStruct Totals;
};

int WebBase_Create(WebBaseStruct **web);
int WebBase_Destroy(WebBaseStruct **web);
// Binds the download; a second call is fatal ("Parent handle already set").
int WebBase_SetParent(BaseStruct *base, WebBaseStruct *web);
// 1 starts using the web sources; other values stop them. Returns 1.
int WebBase_SetActive(int active, WebBaseStruct *web);
int WebBase_GetActive(WebBaseStruct *web, int *active);
int WebBase_ApplyOrder(WebBaseStruct *web);
int WebBase_Process(WebBaseStruct *web);
int WebBase_GetConnectionCounts(WebBaseStruct *web, int64_t *incoming, int64_t *outgoing);
int WebBase_GetTransferTotals(WebBaseStruct *web, TransferTotalsStruct *totals);
int WebBase_GetIncomingRates(WebBaseStruct *web, double *current, double *average, double *maximum);
int WebBase_GetOutgoingRates(WebBaseStruct *web, double *current, double *average, double *maximum);
// Adds the web sources' piece availability to table[0..count-1]. Returns 1.
int WebBase_AddPieceFrequency(WebBaseStruct *web, int count, uint8_t *table);
int WebBase_PrintStatus(WebBaseStruct *web);
