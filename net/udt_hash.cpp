// Integer-keyed hash with an insertion-order list; sized once by the owner
// (1024 buckets for a port's sockets, the backlog for a listener's queue).
#include "net/udt_hash.h"

#include "core/zyl.h"

const char UDTHashTag[] = "hash";

int Hash_Create(UDTHashStruct **hash) {
    ZYL_CHECK_PTR(hash);
    *hash = nullptr;
    UDTHashStruct *h = ZYL_NEW(UDTHashStruct);
    h->Tag = UDTHashTag;
    *hash = h;
    return 1;
}

int Hash_Destroy(UDTHashStruct **hash) {
    ZYL_CHECK_PTR(hash);
    UDTHashStruct *h = *hash;
    if (h == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(h, UDTHashTag);
    while (h->First != nullptr) {
        UDTHashEntry *next = h->First->Next;
        ZYL_FREE(h->First, sizeof(UDTHashEntry));
        h->First = next;
    }
    if (h->Buckets != nullptr) {
        ZYL_FREE(h->Buckets, sizeof(UDTHashEntry *) * (size_t)h->Prime);
    }
    h->Tag = Zyl_DeadTag;
    ZYL_FREE(h, sizeof(UDTHashStruct));
    *hash = nullptr;
    return 1;
}

int Hash_SetPrime(UDTHashStruct *hash, int prime) {
    ZYL_CHECK_TAG(hash, UDTHashTag);
    if (prime <= 0) {
        ZYL_FATAL("Assertion failed (Prime > 0)\nHashSize value (%d) is not positive\n", prime);
    }
    if (hash->Prime != 0) {
        ZYL_FATAL("Assertion failed (Hash->Prime == 0)\nDo not call Hash_SetPrime() more then "
                  "once\n");
    }
    hash->Prime = prime;
    hash->Buckets = static_cast<UDTHashEntry **>(ZYL_ALLOC(sizeof(UDTHashEntry *) * (size_t)prime));
    return 1;
}

int Hash_Add(UDTHashStruct *hash, uint32_t key, void *value) {
    ZYL_CHECK_TAG(hash, UDTHashTag);
    ZYL_CHECK_PTR(hash->Buckets);
    UDTHashEntry *e = ZYL_NEW(UDTHashEntry);
    e->Key = key;
    e->Value = value;
    UDTHashEntry **bucket = &hash->Buckets[key % (uint32_t)hash->Prime];
    e->Chain = *bucket;
    *bucket = e;
    e->Prev = hash->Last;
    (hash->Last ? hash->Last->Next : hash->First) = e;
    hash->Last = e;
    hash->Count++;
    return 1;
}

int Hash_Remove(UDTHashStruct *hash, uint32_t key) {
    ZYL_CHECK_TAG(hash, UDTHashTag);
    if (hash->Buckets == nullptr) {
        return 0;
    }
    for (UDTHashEntry **link = &hash->Buckets[key % (uint32_t)hash->Prime]; *link != nullptr;
         link = &(*link)->Chain) {
        UDTHashEntry *e = *link;
        if (e->Key != key) {
            continue;
        }
        *link = e->Chain;
        (e->Prev ? e->Prev->Next : hash->First) = e->Next;
        (e->Next ? e->Next->Prev : hash->Last) = e->Prev;
        ZYL_FREE(e, sizeof(UDTHashEntry));
        hash->Count--;
        return 1;
    }
    return 0;
}

void *Hash_Find(const UDTHashStruct *hash, uint32_t key) {
    ZYL_CHECK_TAG(hash, UDTHashTag);
    if (hash->Buckets == nullptr) {
        return nullptr;
    }
    for (UDTHashEntry *e = hash->Buckets[key % (uint32_t)hash->Prime]; e != nullptr; e = e->Chain) {
        if (e->Key == key) {
            return e->Value;
        }
    }
    return nullptr;
}

int Hash_GetCount(const UDTHashStruct *hash) {
    ZYL_CHECK_TAG(hash, UDTHashTag);
    return hash->Count;
}

UDTHashEntry *Hash_First(const UDTHashStruct *hash) {
    ZYL_CHECK_TAG(hash, UDTHashTag);
    return hash->First;
}
