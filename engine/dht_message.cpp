// The DHT node's messages: bencoded queries we build, the decoding of every
// datagram received (each may come from anyone, so every item is type- and
// length-checked before use), the replies we give and what replies to our
// queries teach us. Packets we send stay within 512 bytes.
#include "core/random.h"
#include "core/sha1.h"
#include "core/zyl.h"
#include "engine/dht.h"
#include "engine/dht_internal.h"
#include "engine/metafile.h"

#include <cstring>

enum {
    kSearchDepth = 4, // keys are looked for this deep
    kMaxValues = 48,  // stored peers a get_peers reply starts from
};

static const char *const kTypeNames[] = {"Unknown", "Query", "Response", "Error"};
static const char *const kMethodNames[] = {"Unknown", "Ping", "Find Node", "Get Peers",
                                           "Announce Peer"};

const char *DHT_TypeName(int type) {
    return type >= 0 && type <= 3 ? kTypeNames[type] : "Unknown beyond";
}

const char *DHT_MethodName(int method) {
    return method >= 0 && method <= 4 ? kMethodNames[method] : "Unknown beyond";
}

int DHT_InternalLogTransaction(DHTStruct *dht, DHTTransactionStruct *t) {
    if (!dht->Verbose)
        return 1;
    const uint8_t *a = t->Address;
    const char *direction = t->Direction == DHT_DIRECTION_RECEIVED ? "In " : "Out";
    if (t->Node == nullptr) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_VERBOSE,
                  "Literal %s %d [%d.%d.%d.%d:%d] %d (%s:%s)", direction, t->IdLength, a[0], a[1],
                  a[2], a[3], t->Port, t->Length, DHT_TypeName(t->Type), DHT_MethodName(t->Method));
    } else {
        const DHTNodeStruct *n = t->Node;
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_VERBOSE,
                  "Pointer %s %d (%d.%d.%d.%d:%d) %d (%s:%s) [%d]/%.2f", direction, t->IdLength,
                  a[0], a[1], a[2], a[3], t->Port, t->Length, DHT_TypeName(t->Type),
                  DHT_MethodName(t->Method), n->Responses,
                  n->Responses ? n->ReplyTimeSum / n->Responses : 0.0);
    }
    DHT_InternalHexDump(dht, t);
    return 1;
}

void DHT_InternalHexDump(DHTStruct *dht, const DHTTransactionStruct *t) {
    // A flood of bad datagrams must not flood the log: a few dumps a second,
    // the next one counting those left out.
    const double second = (double)(int64_t)dht->Now;
    if (second != dht->DumpSecond) {
        dht->DumpSecond = second;
        dht->DumpsThisSecond = 0;
    }
    if (dht->DumpsThisSecond >= DHT_DUMPS_PER_SECOND) {
        dht->DumpsSkipped++;
        return;
    }
    dht->DumpsThisSecond++;
    const uint8_t *a = t->Address;
    const int length = t->Length < 0                 ? 0
                       : t->Length > DHT_BUFFER_SIZE ? DHT_BUFFER_SIZE
                                                     : t->Length;
    Zyl_Print("Packet %s %d.%d.%d.%d:%d [%d] (%d not dumped before it)\n",
              t->Direction == DHT_DIRECTION_SENT ? "to" : "from", a[0], a[1], a[2], a[3], t->Port,
              length, dht->DumpsSkipped);
    dht->DumpsSkipped = 0;
    static const char digits[] = "0123456789ABCDEF";
    for (int at = 0; at < length; at += DHT_DUMP_LINE) {
        char hex[3 * DHT_DUMP_LINE + 1];
        char text[DHT_DUMP_LINE + 1];
        const int n = length - at < DHT_DUMP_LINE ? length - at : DHT_DUMP_LINE;
        for (int i = 0; i < DHT_DUMP_LINE; i++) {
            const uint8_t b = t->Packet[at + i];
            hex[3 * i] = i < n ? digits[b >> 4] : ' ';
            hex[3 * i + 1] = i < n ? digits[b & 15] : ' ';
            hex[3 * i + 2] = ' ';
            if (i < n)
                text[i] = b >= 0x20 && b < 0x7F ? (char)b : '.';
        }
        hex[3 * DHT_DUMP_LINE] = 0;
        text[n] = 0;
        Zyl_Print("%.4X  %s %s\n", at, hex, text);
    }
}

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

// 1 when the counted text equals word exactly (ASCII case ignored when asked).
static int InternalIs(const char *text, int length, const char *word, int ignoreCase) {
    if (text == nullptr || length != Zyl_StrLen(word))
        return 0;
    return ignoreCase ? Zyl_StrEqualNNoCase(text, word, length) : Zyl_StrEqualN(text, word, length);
}

static int InternalIsString(MetaFileMemberStruct *m) {
    int type = 0;
    return m && MetaFile_GetMemberType(m, &type) && type == METAFILE_TYPE_STRING;
}

// An integer text to a number, saturating; 0 for a text that is not one.
static int InternalParseInteger(const char *data, int length, int64_t *value) {
    *value = 0;
    int i = 0, negative = 0;
    if (length > 0 && data[0] == '-') {
        negative = 1;
        i = 1;
    }
    if (i >= length)
        return 0;
    int64_t v = 0;
    for (; i < length; i++) {
        if (data[i] < '0' || data[i] > '9')
            return 0;
        if (v < (INT64_MAX - 9) / 10)
            v = v * 10 + (data[i] - '0');
    }
    *value = negative ? -v : v;
    return 1;
}

int DHT_InternalDecode(MetaFileStruct *doc, DHTTransactionStruct *t) {
    t->Type = DHT_TYPE_UNKNOWN;
    t->Method = DHT_METHOD_UNKNOWN;
    if (!MetaFile_LoadBuffer(doc, t->Packet, t->Length)) {
        DHT_ERROR("Unable to load transaction buffer (%d)", t->Length);
        return 0;
    }
    MetaFile_SetFileName(doc, "TransactionDecode");
    MetaFileMemberStruct *first = nullptr, *key = nullptr;
    int type = 0;
    if (!MetaFile_GetFirstMember(doc, &first) || first == nullptr) {
        DHT_ERROR("Unable to get first member from buffer");
        return 0;
    }
    MetaFile_GetMemberType(first, &type);
    if (type != METAFILE_TYPE_DICTIONARY) {
        DHT_ERROR("Unexpected first member type [%d]", type);
        return 0;
    }
    if (!MetaFile_GetFirstChild(first, &key) || key == nullptr) {
        DHT_ERROR("Unable to get child");
        return 0;
    }
    int arguments = 0, reply = 0;
    for (; key; key = key->Next ? key->Next->Next : nullptr) {
        MetaFileMemberStruct *value = key->Next;
        const char *name = nullptr, *data = nullptr;
        int nameLength = 0, length = 0;
        if (!InternalIsString(key)) {
            DHT_WARN("Dictionary key of type %d ignored", key->Type);
            continue;
        }
        MetaFile_GetMemberData(key, &name, &nameLength);
        if (value == nullptr) {
            DHT_WARN("No content member for [%s]", name);
            break;
        }
        MetaFile_GetMemberType(value, &type);
        const int text = type == METAFILE_TYPE_STRING;
        if (type == METAFILE_TYPE_STRING || type == METAFILE_TYPE_INTEGER)
            MetaFile_GetMemberData(value, &data, &length);
        if (InternalIs(name, nameLength, "y", 1)) {
            if (text && length == 1 && data[0] == 'q')
                t->Type = DHT_TYPE_QUERY;
            else if (text && length == 1 && data[0] == 'r')
                t->Type = DHT_TYPE_RESPONSE;
            else if (text && length == 1 && data[0] == 'e')
                t->Type = DHT_TYPE_ERROR;
        } else if (InternalIs(name, nameLength, "t", 1)) {
            if (type == METAFILE_TYPE_INTEGER) {
                InternalParseInteger(data, length, &t->NumericId);
                t->IdLength = 0;
            } else if (text) {
                t->IdLength = length < DHT_ID_SIZE ? length : DHT_ID_SIZE;
                memcpy(t->Id, data, (size_t)t->IdLength);
            }
        } else if (InternalIs(name, nameLength, "q", 1)) {
            t->Method = DHT_METHOD_UNKNOWN;
            if (text && InternalIs(data, length, "ping", 0))
                t->Method = DHT_METHOD_PING;
            else if (text && InternalIs(data, length, "find_node", 0))
                t->Method = DHT_METHOD_FIND_NODE;
            else if (text && InternalIs(data, length, "get_peers", 0))
                t->Method = DHT_METHOD_GET_PEERS;
            else if (text && InternalIs(data, length, "announce_peer", 0))
                t->Method = DHT_METHOD_ANNOUNCE_PEER;
        } else if (InternalIs(name, nameLength, "a", 1)) {
            arguments = type == METAFILE_TYPE_DICTIONARY;
        } else if (InternalIs(name, nameLength, "r", 1)) {
            reply = type == METAFILE_TYPE_DICTIONARY;
        } else if (InternalIs(name, nameLength, "v", 1)) {
            if (text) {
                t->VersionLength = length < 4 ? length : 4;
                memcpy(t->Version, data, (size_t)t->VersionLength);
            }
        } else {
            DHT_WARN("Unknown dht base field [T:%d] %d:[%.40s]", type, nameLength, name);
        }
    }
    if (t->Type == DHT_TYPE_RESPONSE && !reply) {
        DHT_ERROR("Response doesn't contain response field");
        return 0;
    }
    if (t->Type == DHT_TYPE_QUERY && !arguments) {
        DHT_ERROR("Query doesn't contain arguments field");
        return 0;
    }
    return 1;
}

// The value member of key (shallowest match), or null.
static MetaFileMemberStruct *InternalFind(MetaFileStruct *doc, const char *key) {
    MetaFileMemberStruct *found = nullptr;
    if (!MetaFile_Find(doc, nullptr, key, kSearchDepth, &found) || found == nullptr)
        return nullptr;
    return found->Next;
}

int DHT_InternalGetValue(MetaFileStruct *doc, const char *key, uint8_t *value, int *length) {
    *length = 0;
    MetaFileMemberStruct *found = nullptr;
    if (!MetaFile_Find(doc, nullptr, key, kSearchDepth, &found) || found == nullptr) {
        DHT_ERROR("Unable to find '%s'", key);
        return 0;
    }
    MetaFileMemberStruct *m = found->Next;
    if (!InternalIsString(m)) {
        DHT_ERROR("Unable to find pair for '%s'", key);
        return 0;
    }
    const char *data = nullptr;
    int n = 0;
    MetaFile_GetMemberData(m, &data, &n);
    if (n > DHT_ID_SIZE) {
        DHT_ERROR("Output buffer for '%s' too small (%d < %d)", key, DHT_ID_SIZE, n);
        return 0;
    }
    memcpy(value, data, (size_t)n);
    *length = n;
    return 1;
}

// A 20-byte value (ids, hashes, targets); 0 when missing or of another length.
static int InternalGetId(MetaFileStruct *doc, const char *key, uint8_t id[DHT_ID_SIZE]) {
    int length = 0;
    if (!DHT_InternalGetValue(doc, key, id, &length))
        return 0;
    if (length != DHT_ID_SIZE) {
        DHT_ERROR("Value of '%s' is %d bytes, not %d", key, length, DHT_ID_SIZE);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Building
// ---------------------------------------------------------------------------

static MetaFileMemberStruct *InternalAddKey(MetaFileStruct *doc, MetaFileMemberStruct *dict,
                                            const char *key) {
    MetaFileMemberStruct *k = nullptr;
    MetaFile_AddString(doc, dict, nullptr, &k, key);
    return k;
}

static void InternalAddBytes(MetaFileStruct *doc, MetaFileMemberStruct *dict, const char *key,
                             const void *bytes, int length) {
    MetaFileMemberStruct *v = nullptr;
    InternalAddKey(doc, dict, key);
    MetaFile_AddBytes(doc, dict, nullptr, &v, bytes, length);
}

static void InternalAddTransactionId(MetaFileStruct *doc, MetaFileMemberStruct *dict,
                                     DHTTransactionStruct *t) {
    if (t->IdLength == 0) {
        MetaFileMemberStruct *v = nullptr;
        InternalAddKey(doc, dict, "t");
        MetaFile_AddInteger(doc, dict, nullptr, &v, t->NumericId);
    } else {
        InternalAddBytes(doc, dict, "t", t->Id, t->IdLength);
    }
}

static int InternalQuery(DHTStruct *dht, int method, const uint8_t address[4], int port,
                         DHTNodeStruct *node, DHTObjectStruct *object,
                         const uint8_t target[DHT_ID_SIZE]) {
    DHTTransactionStruct *t = DHT_InternalNewTransaction(dht);
    t->Type = DHT_TYPE_QUERY;
    t->Method = (uint8_t)method;
    t->Direction = DHT_DIRECTION_SENT;
    const uint32_t id = Random_Next(dht->Random);
    for (int i = 0; i < 4; i++)
        t->Id[i] = (uint8_t)(id >> (8 * i));
    t->IdLength = 4;
    memcpy(t->Address, address, 4);
    t->Port = port;
    t->Node = node;
    t->Object = object;
    MetaFileStruct *doc = dht->Output;
    MetaFile_Clear(doc);
    MetaFileMemberStruct *top = nullptr, *args = nullptr;
    MetaFile_AddDictionary(doc, nullptr, nullptr, &top);
    InternalAddKey(doc, top, "a");
    MetaFile_AddDictionary(doc, top, nullptr, &args);
    InternalAddBytes(doc, args, "id", dht->NodeId, DHT_ID_SIZE);
    const char *name = "ping";
    if (method == DHT_METHOD_FIND_NODE) {
        InternalAddBytes(doc, args, "target", target, DHT_ID_SIZE);
        name = "find_node";
    } else if (method == DHT_METHOD_GET_PEERS) {
        InternalAddBytes(doc, args, "info_hash", object->Hash, DHT_ID_SIZE);
        name = "get_peers";
    }
    MetaFileMemberStruct *v = nullptr;
    InternalAddKey(doc, top, "q");
    MetaFile_AddString(doc, top, nullptr, &v, name);
    InternalAddTransactionId(doc, top, t);
    InternalAddKey(doc, top, "y");
    MetaFile_AddString(doc, top, nullptr, &v, "q");
    char buffer[METAFILE_SAVE_BUFFER_SIZE];
    int size = 0;
    if (!MetaFile_SaveBuffer(doc, buffer, &size)) {
        DHT_ERROR("Unable to build %s query", name);
        DHT_InternalFreeTransaction(dht, t);
        return 0;
    }
    memcpy(t->Packet, buffer, (size_t)size);
    t->Length = size;
    DHT_InternalQueueLast(dht, t);
    DHT_InternalLogTransaction(dht, t);
    return 1;
}

int DHT_SendPing(DHTStruct *dht, const uint8_t address[4], int port, DHTNodeStruct *node) {
    return InternalQuery(dht, DHT_METHOD_PING, address, port, node, nullptr, nullptr);
}

int DHT_SendFindNode(DHTStruct *dht, const uint8_t address[4], int port, DHTNodeStruct *node,
                     const uint8_t target[DHT_ID_SIZE]) {
    return InternalQuery(dht, DHT_METHOD_FIND_NODE, address, port, node, nullptr, target);
}

int DHT_SendGetPeers(DHTStruct *dht, const uint8_t address[4], int port, DHTNodeStruct *node,
                     DHTObjectStruct *object) {
    return InternalQuery(dht, DHT_METHOD_GET_PEERS, address, port, node, object, nullptr);
}

int DHT_InternalMakeToken(DHTStruct *dht, const uint8_t address[4], int port,
                          uint8_t token[DHT_ID_SIZE]) {
    char text[128];
    Zyl_FormatString(text, sizeof text, "%d.%d.%d.%d:%d %s", address[0], address[1], address[2],
                     address[3], port, dht->TokenSecret);
    Sha1_Init(dht->Sha1);
    Sha1_Update(dht->Sha1, text, Zyl_StrLen(text));
    Sha1_Final(dht->Sha1);
    Sha1_GetDigest(dht->Sha1, token, DHT_ID_SIZE);
    return 1;
}

// ---------------------------------------------------------------------------
// Replies we give
// ---------------------------------------------------------------------------

static void InternalCompactNode(const DHTNodeStruct *n, uint8_t *out) {
    memcpy(out, n->Id, DHT_ID_SIZE);
    memcpy(out + DHT_ID_SIZE, n->Address, 4);
    out[24] = (uint8_t)(n->Port >> 8);
    out[25] = (uint8_t)n->Port;
}

// Builds the reply with at most `values` peers of object (none when null).
static int InternalSaveReply(DHTStruct *dht, DHTTransactionStruct *t, const uint8_t *nodes,
                             int nodesLength, DHTObjectStruct *object, int values,
                             char buffer[METAFILE_SAVE_BUFFER_SIZE], int *size) {
    MetaFileStruct *doc = dht->Output;
    MetaFile_Clear(doc);
    MetaFileMemberStruct *top = nullptr, *r = nullptr, *v = nullptr;
    MetaFile_AddDictionary(doc, nullptr, nullptr, &top);
    InternalAddKey(doc, top, "r");
    MetaFile_AddDictionary(doc, top, nullptr, &r);
    InternalAddBytes(doc, r, "id", dht->NodeId, DHT_ID_SIZE);
    if (nodes)
        InternalAddBytes(doc, r, "nodes", nodes, nodesLength);
    if (t->Method == DHT_METHOD_GET_PEERS) {
        uint8_t token[DHT_ID_SIZE];
        DHT_InternalMakeToken(dht, t->Address, t->Port, token);
        InternalAddBytes(doc, r, "token", token, DHT_ID_SIZE);
    }
    if (object) {
        MetaFileMemberStruct *list = nullptr;
        InternalAddKey(doc, r, "values");
        MetaFile_AddList(doc, r, nullptr, &list);
        int n = 0;
        for (DHTPeerStruct *p = object->Peers; p && n < values; p = p->Next, n++) {
            uint8_t compact[DHT_COMPACT_PEER_SIZE];
            memcpy(compact, p->Address, 4);
            compact[4] = (uint8_t)(p->Port >> 8);
            compact[5] = (uint8_t)p->Port;
            MetaFile_AddBytes(doc, list, nullptr, &v, compact, DHT_COMPACT_PEER_SIZE);
        }
    }
    InternalAddTransactionId(doc, top, t);
    InternalAddKey(doc, top, "y");
    MetaFile_AddString(doc, top, nullptr, &v, "r");
    return MetaFile_SaveBuffer(doc, buffer, size);
}

static DHTObjectStruct *InternalObjectFor(DHTStruct *dht, const uint8_t hash[DHT_ID_SIZE]) {
    for (DHTObjectStruct *o = dht->Objects; o; o = o->Next) {
        if (!o->Removed && DHT_IdEqual(o->Hash, hash))
            return o;
    }
    return nullptr;
}

// The compact contacts for a find_node or get_peers reply; 0 when none.
static int InternalNodesFor(DHTStruct *dht, const uint8_t id[DHT_ID_SIZE], int exact,
                            uint8_t nodes[DHT_CLOSEST * DHT_COMPACT_NODE_SIZE], int *length) {
    *length = 0;
    DHTNodeStruct *found = nullptr;
    if (exact && DHT_InternalFindNode(dht, id, &found)) {
        InternalCompactNode(found, nodes);
        *length = DHT_COMPACT_NODE_SIZE;
        return 1;
    }
    DHTNodeStruct *closest[DHT_CLOSEST];
    int count = 0;
    if (dht->Root == nullptr || !DHT_InternalClosestNodes(dht, id, closest, &count))
        return 0;
    for (int i = 0; i < count; i++)
        InternalCompactNode(closest[i], nodes + i * DHT_COMPACT_NODE_SIZE);
    *length = count * DHT_COMPACT_NODE_SIZE;
    DHT_INFO("Found %d nodes", count);
    return 1;
}

int DHT_InternalBuildReply(DHTStruct *dht, DHTTransactionStruct *t) {
    MetaFileStruct *doc = dht->Input;
    DHTTransactionStruct check;
    if (t->Length > DHT_BUFFER_SIZE || !MetaFile_LoadBuffer(doc, t->Packet, t->Length)) {
        DHT_ERROR("Unable to load incoming response buffer (%d)", t->Length);
        DHT_InternalHexDump(dht, t);
        return 0;
    }
    MetaFile_SetFileName(doc, "IncomingQuery");
    uint8_t id[DHT_ID_SIZE];
    uint8_t nodes[DHT_CLOSEST * DHT_COMPACT_NODE_SIZE];
    int nodesLength = 0;
    DHTObjectStruct *object = nullptr;
    switch (t->Method) {
    case DHT_METHOD_PING:
        break;
    case DHT_METHOD_GET_PEERS:
        if (!InternalGetId(doc, "info_hash", id))
            return 0;
        object = InternalObjectFor(dht, id);
        if (object && object->PeerCount > 0) {
            DHT_VERBOSE(dht, "Returning top peers (%d)", object->PeerCount);
        } else {
            object = nullptr;
            if (!InternalNodesFor(dht, id, 0, nodes, &nodesLength)) {
                DHT_ERROR("Failed on node %d", 0);
                return 0;
            }
        }
        break;
    case DHT_METHOD_FIND_NODE:
        if (!InternalGetId(doc, "target", id))
            return 0;
        if (!InternalNodesFor(dht, id, 1, nodes, &nodesLength))
            return 0;
        break;
    default:
        DHT_ERROR("Unhandled incoming query type (%d:%s)", t->Method, DHT_MethodName(t->Method));
        return 0;
    }
    char buffer[METAFILE_SAVE_BUFFER_SIZE];
    int size = 0;
    int values = object ? (object->PeerCount < kMaxValues ? object->PeerCount : kMaxValues) : 0;
    int saved = InternalSaveReply(dht, t, nodesLength ? nodes : nullptr, nodesLength, object,
                                  values, buffer, &size);
    // Fewer peers until the reply fits the packet.
    while (!saved && object && values > 1) {
        values = values > 8 ? values - 8 : values - 1;
        saved = InternalSaveReply(dht, t, nullptr, 0, object, values, buffer, &size);
    }
    memset(&check, 0, sizeof check);
    if (saved) {
        memcpy(check.Packet, buffer, (size_t)size);
        check.Length = size;
    }
    if (!saved || !DHT_InternalDecode(dht->Input, &check) || check.Type != DHT_TYPE_RESPONSE) {
        DHT_ERROR("%s response generation failed", DHT_MethodName(t->Method));
        return 0;
    }
    memcpy(t->Packet, buffer, (size_t)size);
    t->Length = size;
    return 1;
}

// ---------------------------------------------------------------------------
// Replies to our queries
// ---------------------------------------------------------------------------

static void InternalReadNodes(DHTStruct *dht, MetaFileMemberStruct *value) {
    if (!InternalIsString(value)) {
        DHT_ERROR("Unable to find node members");
        return;
    }
    const char *data = nullptr;
    int length = 0;
    MetaFile_GetMemberData(value, &data, &length);
    // Copied: pinging a contact builds into the other document, not this one,
    // but the copy keeps the walk independent of both.
    uint8_t copy[DHT_BUFFER_SIZE];
    const int count = (length < DHT_BUFFER_SIZE ? length : DHT_BUFFER_SIZE) / DHT_COMPACT_NODE_SIZE;
    memcpy(copy, data, (size_t)count * DHT_COMPACT_NODE_SIZE);
    DHT_VERBOSE(dht, "Decoding nodes (%d)[%d]", length, count);
    for (int i = 0; i < count; i++) {
        const uint8_t *entry = copy + i * DHT_COMPACT_NODE_SIZE;
        const uint8_t *address = entry + DHT_ID_SIZE;
        const int port = (entry[24] << 8) | entry[25];
        DHTNodeStruct *known = nullptr;
        if (DHT_InternalFindNode(dht, entry, &known)) {
            DHT_VERBOSE(dht, "Existing DHT Node");
            known->LastResponse = dht->Now;
        } else if (!DHT_IdEqual(entry, dht->NodeId)) {
            DHT_InternalConsider(dht, address, port);
        }
    }
}

static void InternalReadValues(DHTStruct *dht, DHTObjectStruct *object,
                               MetaFileMemberStruct *value) {
    int type = 0;
    MetaFileMemberStruct *element = nullptr;
    if (value == nullptr || !MetaFile_GetMemberType(value, &type) || type != METAFILE_TYPE_LIST ||
        !MetaFile_GetFirstChild(value, &element) || element == nullptr) {
        DHT_ERROR("Unable to get child for value list");
        return;
    }
    for (int i = 0; element; element = element->Next, i++) {
        const char *data = nullptr;
        int length = 0;
        if (!InternalIsString(element) || !MetaFile_GetMemberData(element, &data, &length) ||
            length < DHT_COMPACT_PEER_SIZE)
            continue; // too short to hold a peer
        const uint8_t *p = reinterpret_cast<const uint8_t *>(data);
        const int port = (p[4] << 8) | p[5];
        DHT_VERBOSE(dht, "Member Value :[%d] : %d.%d.%d.%d:%d", i, p[0], p[1], p[2], p[3], port);
        if (port > 0 && object)
            DHT_InternalAddPeer(dht, object, p, port);
    }
}

static void InternalHandleReply(DHTStruct *dht, DHTTransactionStruct *t, DHTTransactionStruct *q) {
    MetaFileStruct *doc = dht->Input;
    DHTNodeStruct *node = q->Node;
    if (node) {
        node->Responses++;
        node->ReplyTimeSum += dht->Now - q->LastSent;
    }
    switch (q->Method) {
    case DHT_METHOD_PING: {
        if (node == nullptr) {
            uint8_t id[DHT_ID_SIZE];
            if (!InternalGetId(doc, "id", id))
                return;
            if (DHT_InternalFindNode(dht, id, &node)) {
                DHT_VERBOSE(dht, "Duplicate DHT Node");
            } else if (DHT_InternalAddNode(dht, id, t->Address, t->Port, &node)) {
                node->Responses = 1;
                if (t->VersionLength)
                    memcpy(node->Version, t->Version, 4);
                for (DHTObjectStruct *o = dht->Objects; o; o = o->Next) {
                    if (dht->TransactionLimit > 0 &&
                        DHT_TransactionsInUse(dht) >= dht->TransactionLimit)
                        break;
                    if (!o->Removed)
                        DHT_SendGetPeers(dht, t->Address, t->Port, node, o);
                }
            }
        }
        if (node) {
            node->LastResponse = dht->Now;
            DHT_VERBOSE(dht, "Ping RTT %.2f (%.2f avg)", dht->Now - q->LastSent,
                        node->Responses ? node->ReplyTimeSum / node->Responses : 0.0);
        }
        break;
    }
    case DHT_METHOD_GET_PEERS: {
        // Peers are kept also without a token: the node never announces.
        MetaFileMemberStruct *nodes = InternalFind(doc, "nodes");
        MetaFileMemberStruct *values = InternalFind(doc, "values");
        if (nodes == nullptr && values == nullptr) {
            DHT_ERROR("Unable to find nodes or values");
            return;
        }
        // Values first: reading nodes may reuse the document by sending.
        if (values)
            InternalReadValues(dht, q->Object, values);
        if (nodes)
            InternalReadNodes(dht, nodes);
        break;
    }
    case DHT_METHOD_FIND_NODE: {
        MetaFileMemberStruct *nodes = InternalFind(doc, "nodes");
        if (nodes == nullptr) {
            DHT_ERROR("Unable to find nodes");
            return;
        }
        InternalReadNodes(dht, nodes);
        break;
    }
    default:
        DHT_ERROR("Unhandled outgoing query type (%d:%s)", q->Method, DHT_MethodName(q->Method));
        break;
    }
}

static int InternalSameId(const DHTTransactionStruct *a, const DHTTransactionStruct *b) {
    if (a->IdLength != b->IdLength)
        return 0;
    if (a->IdLength == 0)
        return a->NumericId == b->NumericId;
    return memcmp(a->Id, b->Id, (size_t)a->IdLength) == 0;
}

static int InternalHandleQuery(DHTStruct *dht, DHTTransactionStruct *t) {
    uint8_t id[DHT_ID_SIZE];
    if (!InternalGetId(dht->Input, "id", id))
        return 0;
    if (dht->TransactionLimit > 0 && DHT_TransactionsInUse(dht) > dht->TransactionLimit) {
        DHT_VERBOSE(dht, "Too many transactions already in progress, query dropped");
        return 0;
    }
    DHTNodeStruct *node = nullptr;
    if (DHT_InternalFindNode(dht, id, &node)) {
        DHT_INFO("Inbound duplicate (%d/%d)", (int)(dht->Now - node->LastResponse),
                 (int)(dht->Now - node->LastQuery));
        if (node->Version[0] == 0 && t->VersionLength)
            memcpy(node->Version, t->Version, 4);
        node->LastResponse = node->LastQuery = dht->Now;
        t->Node = node;
    } else if (!DHT_IdEqual(id, dht->NodeId)) {
        DHT_InternalConsider(dht, t->Address, t->Port);
    }
    DHT_InternalQueueFirst(dht, t);
    DHT_INFO("Inbound message queued for response");
    return 1;
}

static int InternalHandleResponse(DHTStruct *dht, DHTTransactionStruct *t) {
    uint8_t id[DHT_ID_SIZE];
    if (!InternalGetId(dht->Input, "id", id))
        return 0;
    DHTTransactionStruct *q = dht->Transactions;
    while (q && !(q->Direction == DHT_DIRECTION_SENT && InternalSameId(q, t)))
        q = q->Next;
    if (q == nullptr) {
        DHT_ERROR("Unbound message (%d)", t->IdLength);
        return 0;
    }
    if (memcmp(q->Address, t->Address, 4) != 0 || q->Port != t->Port) {
        DHT_ERROR("Differing address for transaction (%d.%d.%d.%d:%d != %d.%d.%d.%d:%d)",
                  q->Address[0], q->Address[1], q->Address[2], q->Address[3], q->Port,
                  t->Address[0], t->Address[1], t->Address[2], t->Address[3], t->Port);
        return 0;
    }
    if (q->Node && !DHT_IdEqual(q->Node->Id, id)) {
        DHT_ERROR("Differing Node ID's for same transaction");
        return 0;
    }
    DHT_INFO("Mapped to previous request (%s)", DHT_MethodName(q->Method));
    t->Method = q->Method;
    t->Node = q->Node;
    t->Object = q->Object;
    if (q->Node) {
        if (q->Node->Version[0] == 0 && t->VersionLength)
            memcpy(q->Node->Version, t->Version, 4);
        q->Node->LastResponse = q->Node->LastQuery = dht->Now;
    }
    // Unlinked first: handling may queue queries and must not see this one.
    DHTTransactionStruct **link = &dht->Transactions;
    while (*link != q)
        link = &(*link)->Next;
    *link = q->Next;
    q->Next = nullptr;
    InternalHandleReply(dht, t, q);
    DHT_InternalFreeTransaction(dht, q);
    return 0;
}

int DHT_InternalHandlePacket(DHTStruct *dht, DHTTransactionStruct *t) {
    t->Created = dht->Now;
    t->Direction = DHT_DIRECTION_RECEIVED;
    if (!DHT_InternalDecode(dht->Input, t)) {
        dht->PacketsDropped++;
        DHT_InternalHexDump(dht, t);
        return 0;
    }
    DHT_InternalLogTransaction(dht, t);
    switch (t->Type) {
    case DHT_TYPE_QUERY:
        return InternalHandleQuery(dht, t);
    case DHT_TYPE_RESPONSE:
        return InternalHandleResponse(dht, t);
    case DHT_TYPE_ERROR:
        DHT_WARN("DHT error reported");
        return 0;
    default:
        DHT_ERROR("Unknown transaction type (%d)", t->Type);
        dht->PacketsDropped++;
        return 0;
    }
}
