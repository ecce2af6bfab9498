// Seek accelerator: bucket limits, lowest key per bucket, the last-set hint and
// the disabled states.
#include <gtest/gtest.h>

#include "core/rangelist.h"

namespace {

struct List {
    ListAStruct *l = nullptr;
    List() { ListA_Create(&l); }
    ~List() { ListA_Destroy(&l); }
    void *Seek(uint32_t key, int *result) {
        void *handle = reinterpret_cast<void *>(1);
        *result = ListA_Seek(l, key, &handle);
        return handle;
    }
};

int elements[8];

TEST(ListA, BucketCountIsHeldInRange) {
    List list;
    ListA_SetBuckets(list.l, 3);
    EXPECT_EQ(list.l->BucketCount, 5);
    EXPECT_EQ(list.l->BucketWidth, 0xFFFFFFFFu / 5);
    ListA_SetBuckets(list.l, 100000);
    EXPECT_EQ(list.l->BucketCount, 65536);
    ListA_SetBuckets(list.l, 65535);
    EXPECT_EQ(list.l->BucketCount, 65535);
    EXPECT_EQ(list.l->Enabled, 1);
}

TEST(ListA, SeekFindsTheClosestLowerElement) {
    List list;
    ListA_SetBuckets(list.l, 256);
    int result = -1;
    EXPECT_EQ(list.Seek(1000, &result), nullptr);
    EXPECT_EQ(result, 0);
    ListA_Set(list.l, 100, &elements[0]);
    ListA_Set(list.l, 50, &elements[1]);
    EXPECT_EQ(list.l->Buckets[0].Key, 50u);
    EXPECT_EQ(list.l->Buckets[0].Handle, &elements[1]);
    EXPECT_EQ(list.l->Buckets[0].Hits, 2);
    EXPECT_EQ(list.Seek(40, &result), nullptr); // below every key
    EXPECT_EQ(result, 0);
    EXPECT_EQ(list.Seek(50, &result), nullptr); // equal is not below
    // Last set (50) is not above the bucket's key: the bucket answers.
    EXPECT_EQ(list.Seek(1000, &result), &elements[1]);
    EXPECT_EQ(result, 1);
    // The last hint answers when it lies between the bucket's key and the target.
    ListA_Set(list.l, 60, &elements[2]);
    EXPECT_EQ(list.Seek(1000, &result), &elements[2]);
    EXPECT_EQ(list.Seek(55, &result), &elements[1]);
    // A key in a higher bucket searches down to the lower buckets.
    ListA_Set(list.l, 0x80000000u, &elements[3]);
    EXPECT_EQ(list.Seek(0x90000000u, &result), &elements[3]);
    EXPECT_EQ(list.Seek(0x70000000u, &result), &elements[1]); // hint is above the target
    EXPECT_EQ(list.Seek(0xFFFFFFFFu, &result), &elements[3]);
    ListA_Reset(list.l);
    EXPECT_EQ(list.Seek(1000, &result), nullptr);
    EXPECT_EQ(result, 0);
}

TEST(ListA, NothingIsRecordedWithoutBuckets) {
    List list;
    int result = -1;
    EXPECT_EQ(ListA_Set(list.l, 5, &elements[0]), 0);
    ListA_Reset(list.l);
    EXPECT_EQ(ListA_Set(list.l, 5, &elements[0]), 0);
    EXPECT_EQ(list.Seek(10, &result), nullptr);
    EXPECT_EQ(result, 0);
}

TEST(ListADeathTest, NullHandleStops) {
    List list;
    ListA_SetBuckets(list.l, 16);
    EXPECT_DEATH(ListA_Set(list.l, 0xAB, nullptr),
                 "NULL handle passed to accelerator \\[000000AB\\]");
}

} // namespace
