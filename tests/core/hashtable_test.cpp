// Hash table: set/get/replace/remove, collisions within one bucket, the walk,
// growth past the initial buckets, and refusal of keys that do not fit.
#include "core/hashtable.h"
#include "core/zyl.h"

#include <gtest/gtest.h>
#include <map>
#include <random>
#include <set>
#include <string>

namespace {

struct HashTableFixture : ::testing::Test {
    HashTableStruct *table = nullptr;
    int values[8] = {};
    void SetUp() override { ASSERT_EQ(1, HashTable_Create(&table)); }
    void TearDown() override {
        HashTable_Destroy(&table);
        EXPECT_EQ(nullptr, table);
    }
    std::multiset<std::string> Walk() {
        std::multiset<std::string> keys;
        HashTableNodeStruct *node = nullptr;
        for (int more = HashTable_GetFirstNode(table, &node); more;
             more = HashTable_GetNextNode(table, &node, node)) {
            const char *key = nullptr;
            void *value = nullptr;
            HashTable_GetNodeData(&key, node, &value);
            keys.insert(key);
        }
        return keys;
    }
};

TEST_F(HashTableFixture, SetGetReplaceRemove) {
    void *value = &values[0];
    EXPECT_EQ(0, HashTable_Get(&value, "missing", table));
    EXPECT_EQ(nullptr, value);
    EXPECT_EQ(1, HashTable_Set(table, "10.0.0.1:6881", &values[1]));
    EXPECT_EQ(1, HashTable_Set(table, "10.0.0.1:6881", &values[2])); // replaces
    int count = 0;
    HashTable_GetCount(table, &count);
    EXPECT_EQ(1, count);
    EXPECT_EQ(1, HashTable_Get(&value, "10.0.0.1:6881", table));
    EXPECT_EQ(&values[2], value);
    EXPECT_EQ(0, HashTable_Contains(table, "10.0.0.1:688"));
    EXPECT_EQ(0, HashTable_Contains(table, "10.0.0.1:6881 "));
    EXPECT_EQ(1, HashTable_Remove(table, "10.0.0.1:6881"));
    EXPECT_EQ(0, HashTable_Remove(table, "10.0.0.1:6881"));
    HashTableNodeStruct *node = nullptr;
    EXPECT_EQ(0, HashTable_GetFirstNode(table, &node));
    EXPECT_EQ(nullptr, node);
}

TEST_F(HashTableFixture, AnagramsShareABucketUnderTheByteSumAndAreBothFound) {
    HashTable_SetHashFunction(table, HashTable_ByteSumHash);
    EXPECT_EQ(HashTable_ByteSumHash("ab"), HashTable_ByteSumHash("ba"));
    HashTable_Set(table, "ab", &values[1]);
    HashTable_Set(table, "ba", &values[2]);
    HashTable_Set(table, "ca", &values[3]); // same sum as "ab"+1: another bucket
    void *value = nullptr;
    ASSERT_EQ(1, HashTable_Get(&value, "ab", table));
    EXPECT_EQ(&values[1], value);
    ASSERT_EQ(1, HashTable_Get(&value, "ba", table));
    EXPECT_EQ(&values[2], value);
    // Newest first within the bucket.
    HashTableNodeStruct *node = nullptr;
    HashTable_GetFirstNode(table, &node);
    const char *key = nullptr;
    HashTable_GetNodeData(&key, node, &value);
    EXPECT_STREQ("ba", key);
    EXPECT_EQ(1, HashTable_Remove(table, "ba")); // unlink from the chain's head
    EXPECT_EQ(1, HashTable_Contains(table, "ab"));
    EXPECT_EQ((std::multiset<std::string>{"ab", "ca"}), Walk());
}

TEST_F(HashTableFixture, ManyKeysGrowTheTableAndWalkEachOnce) {
    unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::map<std::string, int *> reference;
    for (int i = 0; i < 5000; i++) {
        std::string key = std::to_string(random() % 256) + "." + std::to_string(random() % 256) +
                          ".1.2:" + std::to_string(random() % 65536);
        int *value = &values[i % 8];
        reference[key] = value;
        ASSERT_EQ(1, HashTable_Set(table, key.c_str(), value));
    }
    for (int i = 0; i < 2000; i++) { // remove some
        auto it = reference.begin();
        std::advance(it, random() % reference.size());
        ASSERT_EQ(1, HashTable_Remove(table, it->first.c_str()));
        reference.erase(it);
    }
    int count = 0;
    HashTable_GetCount(table, &count);
    EXPECT_EQ((int)reference.size(), count);
    std::multiset<std::string> expected;
    for (auto &[key, value] : reference) {
        void *found = nullptr;
        ASSERT_EQ(1, HashTable_Get(&found, key.c_str(), table)) << key;
        EXPECT_EQ(value, found);
        expected.insert(key);
    }
    EXPECT_EQ(expected, Walk());
    EXPECT_EQ(1, HashTable_CheckInvariants(table));
    HashTable_Clear(table);
    EXPECT_EQ(1, HashTable_CheckInvariants(table));
    EXPECT_TRUE(Walk().empty());
    EXPECT_EQ(1, HashTable_Set(table, "after clear", &values[0]));
}

TEST_F(HashTableFixture, KeysThatDoNotFitAreRefusedNotCut) {
    std::string fits(319, 'k');
    std::string tooLong(320, 'k');
    EXPECT_EQ(1, HashTable_Set(table, fits.c_str(), &values[0]));
    EXPECT_EQ(0, HashTable_Set(table, tooLong.c_str(), &values[1]));
    EXPECT_EQ(1, HashTable_Contains(table, fits.c_str()));
    EXPECT_EQ(0, HashTable_Contains(table, tooLong.c_str()));
    void *value = nullptr;
    HashTable_Get(&value, fits.c_str(), table);
    EXPECT_EQ(&values[0], value);
    // Long and short keys side by side, removed and set again.
    std::string medium(40, 'm');
    EXPECT_EQ(1, HashTable_Set(table, medium.c_str(), &values[2]));
    EXPECT_EQ(1, HashTable_Remove(table, fits.c_str()));
    EXPECT_EQ(0, HashTable_Contains(table, fits.c_str()));
    EXPECT_EQ(1, HashTable_Set(table, fits.c_str(), &values[3]));
    HashTable_Get(&value, medium.c_str(), table);
    EXPECT_EQ(&values[2], value);
    HashTable_Get(&value, fits.c_str(), table);
    EXPECT_EQ(&values[3], value);
}

TEST(HashTableDeath, NullValueAndWrongTagAreFatal) {
    HashTableStruct *table = nullptr;
    HashTable_Create(&table);
    EXPECT_DEATH(HashTable_Set(table, "k", nullptr), "Pointer is NULL");
    struct Fake {
        const char *Tag;
    } fake = {"HashTableStruct"}; // same text, other address
    EXPECT_DEATH(HashTable_Contains(reinterpret_cast<HashTableStruct *>(&fake), "k"),
                 "Struct mismatch pointer");
    HashTable_Destroy(&table);
}

} // namespace
