// Shared by the DHT node and its message code: log levels and small helpers.
#pragma once

#include "core/alert.h"
#include "engine/dht.h"

#include <cstdint>

// Information, warning and error lines; the verbose ones only when the node is.
#define DHT_INFO(...) Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_DETAIL, __VA_ARGS__)
#define DHT_WARN(...) Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, __VA_ARGS__)
#define DHT_ERROR(...) Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, __VA_ARGS__)
#define DHT_VERBOSE(dht, ...)                                                                      \
    do {                                                                                           \
        if ((dht)->Verbose)                                                                        \
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_VERBOSE, __VA_ARGS__);                       \
    } while (0)

extern const char DHT_Tag[];
extern const char DHTNode_Tag[];
extern const char DHTObject_Tag[];
extern const char DHTTransaction_Tag[];

// Writes the transaction's packet to the debug log in hex, at most
// DHT_DUMPS_PER_SECOND packets a second.
void DHT_InternalHexDump(DHTStruct *dht, const DHTTransactionStruct *t);
// The 20 bytes as 40 hex digits.
void DHT_IdText(const uint8_t id[DHT_ID_SIZE], char text[2 * DHT_ID_SIZE + 1]);
int DHT_IdEqual(const uint8_t *a, const uint8_t *b);
int DHT_TransactionsInUse(DHTStruct *dht);
// A fresh transaction from the pool (zeroed, tagged, created now), not linked.
DHTTransactionStruct *DHT_InternalNewTransaction(DHTStruct *dht);
// Links t at the head (received queries) or the end (our queries) of the list.
void DHT_InternalQueueFirst(DHTStruct *dht, DHTTransactionStruct *t);
void DHT_InternalQueueLast(DHTStruct *dht, DHTTransactionStruct *t);
// Queues get_peers for the object to the closest contacts of its hash (and the
// bootstrap contacts when seeds is 1), within the transaction limit.
void DHT_InternalAskClosest(DHTStruct *dht, DHTObjectStruct *object, int seeds);
