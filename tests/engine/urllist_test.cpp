// Tests of the URL list (duplicates, order, selection by retry count) and the
// associative list (case-blind keys, replacement, walking).
#include <gtest/gtest.h>

#include <string>

#include "engine/assoclist.h"
#include "engine/urllist.h"

namespace {

std::string Urls(URLListStruct *list) {
    std::string out;
    URLListMemberStruct *m = nullptr;
    for (int ok = URLList_GetFirst(list, &m); ok; ok = URLListMember_GetNext(m, &m)) {
        const char *url = nullptr;
        URLListMember_GetURLPointer(m, &url);
        out += std::string(url) + ";";
    }
    return out;
}

TEST(URLListTest, KeepsOrderAndRefusesCaseDuplicates) {
    URLListStruct *list = nullptr;
    URLList_Create(&list);
    EXPECT_EQ(1, URLList_Add("http://a/announce", list));
    EXPECT_EQ(1, URLList_Add("http://b/announce", list));
    EXPECT_EQ(1, URLList_Add("HTTP://A/ANNOUNCE", list));
    int count = 0;
    URLList_GetCount(list, &count);
    EXPECT_EQ(2, count);
    EXPECT_EQ("http://a/announce;http://b/announce;", Urls(list));
    URLListMemberStruct *last = nullptr;
    ASSERT_EQ(1, URLList_GetLast(list, &last));
    char url[URLLIST_TEXT_SIZE];
    URLListMember_GetURL(last, url);
    EXPECT_STREQ("http://b/announce", url);
    URLListMember_SetId(last, "seed-7");
    const char *id = nullptr;
    URLListMember_GetIdPointer(last, &id);
    EXPECT_STREQ("seed-7", id);
    // A text longer than the field is cut to fit.
    URLList_Add(std::string(400, 'x').c_str(), list);
    URLList_GetLast(list, &last);
    EXPECT_EQ(319u, std::string(last->URL).size());
    URLList_Clear(list);
    URLList_GetCount(list, &count);
    EXPECT_EQ(0, count);
    EXPECT_EQ(0, URLList_GetFirst(list, &last));
    EXPECT_EQ(nullptr, last);
    EXPECT_EQ(1, URLList_Destroy(&list));
    EXPECT_EQ(nullptr, list);
    EXPECT_EQ(0, URLList_Destroy(&list));
}

TEST(URLListTest, SelectPrefersEnabledEntriesWithFewerRetries) {
    URLListStruct *list = nullptr;
    URLList_Create(&list);
    URLListMemberStruct *m = nullptr;
    EXPECT_EQ(0, URLList_Select(list, &m));
    EXPECT_EQ(nullptr, m);
    for (const char *u : {"u1", "u2", "u3", "u4"})
        URLList_Add(u, list);
    URLListMemberStruct *members[4];
    URLList_GetFirst(list, &members[0]);
    for (int i = 1; i < 4; i++)
        URLListMember_GetNext(members[i - 1], &members[i]);
    // All counts 0: the first member, enabled or not.
    URLListMember_SetEnabled(members[0], 0);
    ASSERT_EQ(1, URLList_Select(list, &m));
    EXPECT_EQ(members[0], m);
    // First (disabled) has 5, the rest 2: the first enabled member with 2.
    URLListMember_SetRetryCount(members[0], 5);
    for (int i = 1; i < 4; i++)
        URLListMember_SetRetryCount(members[i], 2);
    URLList_Select(list, &m);
    EXPECT_EQ(members[1], m);
    // A disabled member with fewer retries is passed over.
    URLListMember_SetRetryCount(members[2], 1);
    URLListMember_SetEnabled(members[2], 0);
    URLListMember_SetRetryCount(members[3], 1);
    URLList_Select(list, &m);
    EXPECT_EQ(members[3], m);
    int retries = 0;
    URLListMember_GetRetryCount(m, &retries);
    EXPECT_EQ(1, retries);
    URLList_Dump(list);
    URLList_Destroy(&list);
}

TEST(AssociativeListTest, KeysIgnoreCaseForSetAndGet) {
    AssociativeListStruct *list = nullptr;
    AssociativeList_Create(&list);
    char value[ASSOCLIST_TEXT_SIZE] = "junk";
    EXPECT_EQ(0, AssociativeList_Get(list, "web", value));
    EXPECT_STREQ("", value);
    AssociativeList_Set("classA", "Web", list);
    AssociativeList_Set("classB", "peer", list);
    AssociativeList_Set("classC", "other", list);
    EXPECT_EQ(3, AssociativeList_GetCount(list));
    // Same key in other letters: the stored key keeps its text, the value changes.
    AssociativeList_Set("classZ", "WEB", list);
    EXPECT_EQ(3, AssociativeList_GetCount(list));
    EXPECT_EQ(1, AssociativeList_Get(list, "Web", value));
    EXPECT_STREQ("classZ", value);
    EXPECT_EQ(1, AssociativeList_Get(list, "wEb", value));
    EXPECT_STREQ("classZ", value);
    std::string walked;
    AssociativeListMemberStruct *m = nullptr;
    for (int ok = AssociativeList_GetFirst(list, &m); ok;
         ok = AssociativeListMember_GetNext(m, &m)) {
        char key[ASSOCLIST_TEXT_SIZE];
        AssociativeListMember_Get(m, key, value);
        walked += std::string(key) + "=" + value + ";";
    }
    EXPECT_EQ("Web=classZ;peer=classB;other=classC;", walked);
    EXPECT_EQ(1, AssociativeList_Destroy(&list));
    EXPECT_EQ(nullptr, list);
}

} // namespace
