// libFuzzer target for the DHT node's packet handler: every input is one
// datagram from a stranger (queries are queued and answered by a send pass
// without a socket, replies matched against the queries the node has pending),
// then the tree and the transaction bound are checked.
#include "core/zyl.h"
#include "engine/dht.h"

#include <climits>
#include <cstdint>
#include <cstdlib>

namespace {

DHTStruct *g_dht = nullptr;
DHTObjectStruct *g_object = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Zyl_Init("fuzz.log", 0);
    Zyl_MemoryInit(INT_MAX);
    DHT_Create(&g_dht);
    DHT_SetVerbose(g_dht, 0);
    DHT_AddObject(g_dht, &g_object);
    static const uint8_t hash[20] = {'H', 'H', 'H', 'H', 'H', 'H', 'H', 'H', 'H', 'H',
                                     'H', 'H', 'H', 'H', 'H', 'H', 'H', 'H', 'H', 'H'};
    static const uint8_t peer[4] = {10, 1, 2, 3};
    DHT_SetObjectInfoHash(g_object, hash);
    DHT_InternalAddPeer(g_dht, g_object, peer, 6881);
    // A known contact, so find_node and get_peers have something to answer.
    static const uint8_t address[4] = {127, 0, 0, 1};
    DHTNodeStruct *node = nullptr;
    DHT_InternalAddNode(g_dht, hash, address, 7000, &node);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16)
        return 0;
    static const uint8_t from[4] = {127, 0, 0, 2};
    DHT_HandleDatagram(g_dht, from, 6000 + (int)(size % 7), data, (int)size);
    DHT_InternalSend(g_dht);
    int transactions = 0, nodes = 0;
    DHT_GetTransactionCount(g_dht, &transactions);
    DHT_GetNodeCount(g_dht, &nodes);
    if (transactions > 200 || nodes > DHT_MAX_CONTACTS)
        abort();
    DHT_CheckInvariants(g_dht);
    return 0;
}
