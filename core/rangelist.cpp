// Seek accelerator: per key range (bucket) the handle of the lowest key
// recorded there, plus the last key set, so walks of a long sorted list (the IP
// list, 256 buckets) start near their target instead of at the head.
#include "core/rangelist.h"

#include "core/zyl.h"

#include <cstring>

static const char kListATag[] = "lista";

enum { LISTA_MIN_BUCKETS = 5, LISTA_MAX_BUCKETS = 65536 };

int ListA_Create(ListAStruct **list) {
    ZYL_CHECK_PTR(list);
    *list = nullptr;
    ListAStruct *created = ZYL_NEW(ListAStruct);
    created->Tag = kListATag;
    *list = created;
    return 1;
}

int ListA_Destroy(ListAStruct **list) {
    ZYL_CHECK_PTR(list);
    ListAStruct *victim = *list;
    if (victim == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(victim, kListATag);
    if (victim->Buckets != nullptr) {
        ZYL_FREE(victim->Buckets, sizeof(ListABucket) * (size_t)victim->BucketCount);
    }
    victim->Tag = Zyl_DeadTag;
    ZYL_FREE(victim, sizeof(ListAStruct));
    *list = nullptr;
    return 1;
}

int ListA_SetBuckets(ListAStruct *list, int count) {
    ZYL_CHECK_TAG(list, kListATag);
    if (count < LISTA_MIN_BUCKETS) {
        count = LISTA_MIN_BUCKETS;
    } else if (count > LISTA_MAX_BUCKETS - 1) {
        count = LISTA_MAX_BUCKETS;
    }
    if (count != list->BucketCount) {
        if (list->Buckets != nullptr) {
            ZYL_FREE(list->Buckets, sizeof(ListABucket) * (size_t)list->BucketCount);
        }
        list->Buckets = static_cast<ListABucket *>(ZYL_ALLOC(sizeof(ListABucket) * (size_t)count));
        list->BucketCount = count;
        list->BucketWidth = 0xFFFFFFFFu / (uint32_t)count;
    }
    return ListA_Reset(list);
}

int ListA_Reset(ListAStruct *list) {
    ZYL_CHECK_TAG(list, kListATag);
    list->Enabled = 1;
    if (list->Buckets != nullptr) {
        memset(list->Buckets, 0, sizeof(ListABucket) * (size_t)list->BucketCount);
    }
    list->LastKey = 0;
    list->LastHandle = nullptr;
    return 1;
}

static int ListA_BucketOf(const ListAStruct *list, uint32_t key) {
    const uint32_t bucket = key / list->BucketWidth;
    return bucket < (uint32_t)list->BucketCount ? (int)bucket : list->BucketCount - 1;
}

int ListA_Set(ListAStruct *list, uint32_t key, void *handle) {
    ZYL_CHECK_TAG(list, kListATag);
    if (!list->Enabled || list->BucketCount == 0) {
        return 0;
    }
    if (handle == nullptr) {
        ZYL_FATAL("NULL handle passed to accelerator [%.8X]\n", key);
    }
    list->LastKey = key;
    list->LastHandle = handle;
    ListABucket *bucket = &list->Buckets[ListA_BucketOf(list, key)];
    bucket->Hits++;
    if (bucket->Handle == nullptr || bucket->Key > key) {
        bucket->Key = key;
        bucket->Handle = handle;
    }
    return 1;
}

int ListA_Seek(ListAStruct *list, uint32_t key, void **handle) {
    ZYL_CHECK_TAG(list, kListATag);
    ZYL_CHECK_PTR(handle);
    *handle = nullptr;
    if (!list->Enabled || list->BucketCount == 0) {
        return 0;
    }
    for (int index = ListA_BucketOf(list, key); index >= 0; index--) {
        const ListABucket *bucket = &list->Buckets[index];
        if (bucket->Handle == nullptr || bucket->Key >= key) {
            continue;
        }
        // The last key set is a closer start when it lies between this
        // bucket's key and the one sought.
        const int useLast =
            list->LastHandle != nullptr && list->LastKey < key && list->LastKey > bucket->Key;
        *handle = useLast ? list->LastHandle : bucket->Handle;
        return 1;
    }
    return 0;
}
