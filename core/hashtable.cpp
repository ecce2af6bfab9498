// Hash table from text keys to caller-owned pointers: chained buckets, newest
// node first, nodes from a member pool. The bucket array doubles when the keys
// outnumber the buckets, keeping chains about one node long; short keys (peer
// addresses, names) live inside the node, longer ones in a 320-byte member.
#include "core/hashtable.h"

#include "core/pool.h"
#include "core/zyl.h"

#include <cstring>

static const char kTableTag[] = "HashTableStruct";
static const char kNodeTag[] = "HashTableNodeStruct";

enum { kNodesPerChunk = 10, kInlineKeySize = 40 };

// The fields a lookup reads come first, so that a short key shares the node's
// first cache line with them.
struct HashTableNodeStruct {
    const char *Tag;
    int32_t Hash;
    int32_t Bucket;
    HashTableNodeStruct *Next;
    void *Value; // caller's, never freed here
    char *Key;   // Inline, or a HASHTABLE_KEY_SIZE member of the long-key pool
    char Inline[kInlineKeySize];
};

struct HashTableStruct {
    const char *Tag;
    PoolStruct *NodePool;
    PoolStruct *LongKeyPool; // keys of kInlineKeySize characters and more
    HashTableNodeStruct **Buckets;
    int BucketCount; // a power of two, at least 512
    int Count;
    HashTableHashFunction Hash;
    int CheckCountdown; // debug builds: changes left before the next full check
};

// The default hash (FNV-1a over the key's bytes).
static int32_t HashTable_StringHash(const char *key) {
    uint32_t hash = 2166136261u;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(key); *p; p++) {
        hash = (hash ^ *p) * 16777619u;
    }
    return (int32_t)hash;
}

int32_t HashTable_ByteSumHash(const char *key) {
    uint32_t sum = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(key); *p; p++) {
        sum += *p;
    }
    return (int32_t)sum;
}

// Debug builds run the full check once per about as many changes as it visits
// buckets and nodes, so that checking keeps the table's work linear.
static void HashTable_DebugCheck(HashTableStruct *table) {
#ifndef NDEBUG
    if (--table->CheckCountdown <= 0)
        HashTable_CheckInvariants(table);
#else
    (void)table;
#endif
}

// Bytes of one bucket head (an array of node pointers).
static const size_t kBucketSize =
    sizeof(HashTableNodeStruct *); // NOLINT(bugprone-sizeof-expression)

static int HashTable_BucketOf(int32_t hash, int bucketCount) {
    uint32_t magnitude = hash < 0 ? (uint32_t)(-(int64_t)hash) : (uint32_t)hash;
    return (int)(magnitude & (uint32_t)(bucketCount - 1));
}

static HashTableNodeStruct **HashTable_AllocBuckets(int count) {
    return static_cast<HashTableNodeStruct **>(ZYL_ALLOC(count * kBucketSize));
}

// Moves every node into a bucket array of newCount heads.
static void HashTable_Rebuild(HashTableStruct *table, int newCount) {
    HashTableNodeStruct **buckets = HashTable_AllocBuckets(newCount);
    for (int i = 0; i < table->BucketCount; i++) {
        HashTableNodeStruct *node = table->Buckets[i];
        while (node) {
            HashTableNodeStruct *next = node->Next;
            node->Bucket = HashTable_BucketOf(node->Hash, newCount);
            node->Next = buckets[node->Bucket];
            buckets[node->Bucket] = node;
            node = next;
        }
    }
    ZYL_FREE(table->Buckets, table->BucketCount * kBucketSize);
    table->Buckets = buckets;
    table->BucketCount = newCount;
}

int HashTable_Create(HashTableStruct **table) {
    ZYL_CHECK_PTR(table);
    *table = nullptr;
    HashTableStruct *created = ZYL_NEW(HashTableStruct);
    created->Tag = kTableTag;
    POOL_CREATE(created->NodePool);
    Pool_SetMemberSize(created->NodePool, sizeof(HashTableNodeStruct));
    Pool_SetMembersPerChunk(created->NodePool, kNodesPerChunk);
    POOL_CREATE(created->LongKeyPool);
    Pool_SetMemberSize(created->LongKeyPool, HASHTABLE_KEY_SIZE);
    Pool_SetMembersPerChunk(created->LongKeyPool, kNodesPerChunk);
    created->BucketCount = HASHTABLE_INITIAL_BUCKETS;
    created->Buckets = HashTable_AllocBuckets(created->BucketCount);
    created->Hash = HashTable_StringHash;
    *table = created;
    return 1;
}

int HashTable_Destroy(HashTableStruct **table) {
    ZYL_CHECK_PTR(table);
    HashTableStruct *doomed = *table;
    if (doomed == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(doomed, kTableTag);
    Pool_Reset(doomed->NodePool); // all nodes at once
    Pool_Destroy(&doomed->NodePool);
    Pool_Reset(doomed->LongKeyPool);
    Pool_Destroy(&doomed->LongKeyPool);
    ZYL_FREE(doomed->Buckets, doomed->BucketCount * kBucketSize);
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(HashTableStruct));
    *table = nullptr;
    return 1;
}

int HashTable_SetHashFunction(HashTableStruct *table, HashTableHashFunction hash) {
    ZYL_CHECK_TAG(table, kTableTag);
    ZYL_CHECK_PTR(hash);
    table->Hash = hash;
    for (int i = 0; i < table->BucketCount; i++) {
        for (HashTableNodeStruct *node = table->Buckets[i]; node; node = node->Next) {
            node->Hash = hash(node->Key);
        }
    }
    HashTable_Rebuild(table, table->BucketCount);
    HashTable_DebugCheck(table);
    return 1;
}

// The node of key, or null; *hash receives the key's hash.
static HashTableNodeStruct *HashTable_Find(HashTableStruct *table, const char *key, int32_t *hash) {
    *hash = table->Hash(key);
    HashTableNodeStruct *node = table->Buckets[HashTable_BucketOf(*hash, table->BucketCount)];
    for (; node; node = node->Next) {
        if (node->Hash == *hash && Zyl_StrEqual(node->Key, key)) {
            return node;
        }
    }
    return nullptr;
}

int HashTable_Set(HashTableStruct *table, const char *key, void *value) {
    ZYL_CHECK_TAG(table, kTableTag);
    ZYL_CHECK_PTR(key);
    ZYL_CHECK_PTR(value);
    int length = Zyl_StrLen(key);
    if (length >= HASHTABLE_KEY_SIZE) {
        Zyl_Print("HashTable_Set() key too long [%d] [%s]\n", length, key);
        return 0;
    }
    int32_t hash;
    HashTableNodeStruct *node = HashTable_Find(table, key, &hash);
    if (node) {
        node->Value = value;
        return 1;
    }
    if (table->Count >= table->BucketCount && table->BucketCount < (1 << 24)) {
        HashTable_Rebuild(table, table->BucketCount * 2);
    }
    node = static_cast<HashTableNodeStruct *>(
        POOL_ALLOC(table->NodePool, sizeof(HashTableNodeStruct)));
    node->Tag = kNodeTag;
    node->Key = length < kInlineKeySize
                    ? node->Inline
                    : static_cast<char *>(POOL_ALLOC(table->LongKeyPool, HASHTABLE_KEY_SIZE));
    memcpy(node->Key, key, (size_t)length + 1);
    node->Hash = hash;
    node->Value = value;
    node->Bucket = HashTable_BucketOf(hash, table->BucketCount);
    node->Next = table->Buckets[node->Bucket];
    table->Buckets[node->Bucket] = node;
    table->Count++;
    HashTable_DebugCheck(table);
    return 1;
}

int HashTable_Get(void **value, const char *key, HashTableStruct *table) {
    ZYL_CHECK_PTR(value);
    *value = nullptr;
    ZYL_CHECK_TAG(table, kTableTag);
    ZYL_CHECK_PTR(key);
    int32_t hash;
    HashTableNodeStruct *node = HashTable_Find(table, key, &hash);
    if (node == nullptr) {
        return 0;
    }
    *value = node->Value;
    return 1;
}

int HashTable_Contains(HashTableStruct *table, const char *key) {
    ZYL_CHECK_TAG(table, kTableTag);
    ZYL_CHECK_PTR(key);
    int32_t hash;
    return HashTable_Find(table, key, &hash) ? 1 : 0;
}

int HashTable_Remove(HashTableStruct *table, const char *key) {
    ZYL_CHECK_TAG(table, kTableTag);
    ZYL_CHECK_PTR(key);
    int32_t hash = table->Hash(key);
    HashTableNodeStruct **link = &table->Buckets[HashTable_BucketOf(hash, table->BucketCount)];
    for (; *link; link = &(*link)->Next) {
        HashTableNodeStruct *node = *link;
        if (node->Hash == hash && Zyl_StrEqual(node->Key, key)) {
            *link = node->Next;
            node->Tag = Zyl_DeadTag;
            if (node->Key != node->Inline) {
                POOL_FREE(table->LongKeyPool, node->Key, HASHTABLE_KEY_SIZE);
            }
            POOL_FREE(table->NodePool, node, sizeof(HashTableNodeStruct));
            table->Count--;
            HashTable_DebugCheck(table);
            return 1;
        }
    }
    return 0;
}

int HashTable_Clear(HashTableStruct *table) {
    ZYL_CHECK_TAG(table, kTableTag);
    for (int i = 0; i < table->BucketCount; i++) {
        for (HashTableNodeStruct *node = table->Buckets[i]; node; node = node->Next) {
            node->Tag = Zyl_DeadTag;
        }
        table->Buckets[i] = nullptr;
    }
    Pool_Reset(table->NodePool);
    Pool_Reset(table->LongKeyPool);
    table->Count = 0;
    HashTable_DebugCheck(table);
    return 1;
}

int HashTable_GetCount(HashTableStruct *table, int *count) {
    ZYL_CHECK_TAG(table, kTableTag);
    ZYL_CHECK_PTR(count);
    *count = table->Count;
    return 1;
}

// First node in the buckets from index on, or null.
static HashTableNodeStruct *HashTable_ScanFrom(HashTableStruct *table, int index) {
    for (int i = index; i < table->BucketCount; i++) {
        if (table->Buckets[i]) {
            return table->Buckets[i];
        }
    }
    return nullptr;
}

int HashTable_GetFirstNode(HashTableStruct *table, HashTableNodeStruct **node) {
    ZYL_CHECK_PTR(node);
    *node = nullptr;
    ZYL_CHECK_TAG(table, kTableTag);
    *node = HashTable_ScanFrom(table, 0);
    return *node ? 1 : 0;
}

int HashTable_GetNextNode(HashTableStruct *table, HashTableNodeStruct **next,
                          HashTableNodeStruct *node) {
    ZYL_CHECK_PTR(next);
    *next = nullptr;
    ZYL_CHECK_TAG(table, kTableTag);
    ZYL_CHECK_TAG(node, kNodeTag);
    *next = node->Next ? node->Next : HashTable_ScanFrom(table, node->Bucket + 1);
    return *next ? 1 : 0;
}

int HashTable_GetNodeData(const char **key, HashTableNodeStruct *node, void **value) {
    ZYL_CHECK_PTR(key);
    ZYL_CHECK_PTR(value);
    *key = nullptr;
    *value = nullptr;
    ZYL_CHECK_TAG(node, kNodeTag);
    *key = node->Key;
    *value = node->Value;
    return 1;
}

int HashTable_CheckInvariants(HashTableStruct *table) {
    ZYL_CHECK_TAG(table, kTableTag);
    int nodes = 0, longKeys = 0, misplaced = 0;
    for (int i = 0; i < table->BucketCount; i++) {
        for (HashTableNodeStruct *node = table->Buckets[i]; node; node = node->Next) {
            ZYL_CHECK_TAG(node, kNodeTag);
            misplaced += node->Bucket != i || node->Hash != table->Hash(node->Key) ||
                         HashTable_BucketOf(node->Hash, table->BucketCount) != i;
            longKeys += node->Key != node->Inline;
            if (++nodes > table->Count)
                break; // a count too low (or a cycle) is reported below
        }
    }
    int pooledNodes = 0, pooledKeys = 0;
    Pool_GetInUse(table->NodePool, &pooledNodes);
    Pool_GetInUse(table->LongKeyPool, &pooledKeys);
    if (nodes != table->Count || pooledNodes != table->Count || pooledKeys != longKeys ||
        misplaced != 0) {
        ZYL_FATAL("Hash table count mismatch (%d != %d, pooled %d/%d, misplaced %d)\n",
                  table->Count, nodes, pooledNodes, pooledKeys, misplaced);
    }
    table->CheckCountdown = table->BucketCount + table->Count + 1;
    return 1;
}
