// String list: insertion order, duplicates skipped ignoring case, exact
// Contains, and refusal of strings that do not fit a member.
#include "core/strlist.h"
#include "core/zyl.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::string g_listLog;
int CaptureListLog(const char *text) {
    g_listLog += text;
    return 1;
}

std::vector<std::string> Members(StringListStruct *list) {
    std::vector<std::string> out;
    StringListMemberStruct *member = nullptr;
    for (int more = StringList_GetFirstMember(list, &member); more;
         more = StringList_GetNextMember(member, &member)) {
        const char *text = nullptr;
        StringList_GetMemberString(member, &text);
        out.push_back(text);
    }
    EXPECT_EQ(nullptr, member);
    return out;
}

TEST(StringList, KeepsOrderAndSkipsDuplicatesIgnoringCase) {
    StringListStruct *list = nullptr;
    ASSERT_EQ(1, StringList_Create(&list));
    EXPECT_TRUE(Members(list).empty());
    g_listLog.clear();
    Zyl_SetConsoleCallback(CaptureListLog);
    for (const char *text : {"abc", "data/file.bin", "ABC", "zzz", "Data/File.bin"}) {
        EXPECT_EQ(1, StringList_Add(list, text));
    }
    Zyl_SetConsoleCallback(nullptr);
    EXPECT_EQ((std::vector<std::string>{"abc", "data/file.bin", "zzz"}), Members(list));
    EXPECT_NE(std::string::npos, g_listLog.find("Duplicate string - skipped [ABC]")) << g_listLog;
    EXPECT_EQ(1, StringList_Contains(list, "abc"));
    EXPECT_EQ(0, StringList_Contains(list, "ABC"));
    int count = 0;
    StringList_GetCount(list, &count);
    EXPECT_EQ(3, count);
    StringList_Destroy(&list);
    EXPECT_EQ(nullptr, list);
    EXPECT_EQ(1, StringList_Destroy(&list));
}

TEST(StringList, LongStringsAreRefusedAndManyMembersSpanChunks) {
    StringListStruct *list = nullptr;
    StringList_Create(&list);
    EXPECT_EQ(1, StringList_Add(list, std::string(319, 'a').c_str()));
    EXPECT_EQ(0, StringList_Add(list, (std::string(319, 'a') + "b").c_str()));
    std::vector<std::string> expected{std::string(319, 'a')};
    for (int i = 0; i < 35; i++) {
        expected.push_back("name" + std::to_string(i));
        StringList_Add(list, expected.back().c_str());
    }
    EXPECT_EQ(expected, Members(list));
    StringList_Destroy(&list);
}

} // namespace
