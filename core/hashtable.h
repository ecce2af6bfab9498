// Hash table from a text key (up to 319 characters, compared exactly) to a
// caller-owned pointer. Nodes come from a member pool; the bucket array doubles
// as the table fills, so lookups stay short for tens of thousands of keys.
#pragma once

#include <cstdint>

struct HashTableStruct;
struct HashTableNodeStruct;

enum { HASHTABLE_KEY_SIZE = 320, HASHTABLE_INITIAL_BUCKETS = 512 };

// Hash callback: any 32-bit value; the bucket is |hash| modulo the bucket count.
typedef int32_t (*HashTableHashFunction)(const char *key);
// The plain sum of the key's bytes (unsigned) as a signed 32-bit value; puts
// anagrams in one bucket. Kept for callers and tests that want that grouping.
int32_t HashTable_ByteSumHash(const char *key);

// Creates an empty table (512 buckets). Returns 1 and sets *table.
int HashTable_Create(HashTableStruct **table);
// Frees every node, the buckets and the table (never the values), clears
// *table. Accepts a null *table. Returns 1.
int HashTable_Destroy(HashTableStruct **table);
// Replaces the hash callback; every stored node is placed again. Returns 1.
int HashTable_SetHashFunction(HashTableStruct *table, HashTableHashFunction hash);

// Replaces the value of an existing key, else inserts a node at the head of its
// bucket. value must not be null. Returns 1; 0 (with a log line, table unchanged)
// when the key does not fit 319 characters.
int HashTable_Set(HashTableStruct *table, const char *key, void *value);
// 1 and *value when the key exists; else 0 and *value null.
int HashTable_Get(void **value, const char *key, HashTableStruct *table);
// 1 when the key exists.
int HashTable_Contains(HashTableStruct *table, const char *key);
// Removes the key's node; 1, or 0 when absent.
int HashTable_Remove(HashTableStruct *table, const char *key);
// Removes every node. Returns 1.
int HashTable_Clear(HashTableStruct *table);
// Number of keys. Returns 1.
int HashTable_GetCount(HashTableStruct *table, int *count);

// Walk in bucket order, newest first within a bucket; stable while the table is
// not changed. 1 and *node, or 0 and null at the end.
int HashTable_GetFirstNode(HashTableStruct *table, HashTableNodeStruct **node);
int HashTable_GetNextNode(HashTableStruct *table, HashTableNodeStruct **next,
                          HashTableNodeStruct *node);
// The node's key (owned by the node, valid while it lives) and value. Returns 1.
int HashTable_GetNodeData(const char **key, HashTableNodeStruct *node, void **value);

// Checks the cached count against the buckets and the node pool, and that every
// node sits in the bucket of its key's hash; a mismatch stops the program ("Hash
// table count mismatch ..."). Returns 1. Debug builds also run it by themselves.
int HashTable_CheckInvariants(HashTableStruct *table);
