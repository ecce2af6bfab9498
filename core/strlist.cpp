// Ordered list of unique strings in fixed 320-character members from a member
// pool; destroying the list releases every member in one pool operation.
#include "core/strlist.h"

#include "core/pool.h"
#include "core/zyl.h"

#include <cstring>

static const char kListTag[] = "StringListStruct";
static const char kMemberTag[] = "StringListMemberStruct";

enum { kMembersPerChunk = 10 };

struct StringListMemberStruct {
    const char *Tag;
    char Text[STRINGLIST_TEXT_SIZE];
    StringListMemberStruct *Next;
};

struct StringListStruct {
    const char *Tag;
    PoolStruct *MemberPool;
    StringListMemberStruct *First;
    StringListMemberStruct *Last; // appends without a walk
    int Count;
};

int StringList_Create(StringListStruct **list) {
    ZYL_CHECK_PTR(list);
    *list = nullptr;
    StringListStruct *created = ZYL_NEW(StringListStruct);
    created->Tag = kListTag;
    POOL_CREATE(created->MemberPool);
    Pool_SetMemberSize(created->MemberPool, sizeof(StringListMemberStruct));
    Pool_SetMembersPerChunk(created->MemberPool, kMembersPerChunk);
    *list = created;
    return 1;
}

// Drops every member at once and destroys the pool.
static int StringList_FreePool(StringListStruct *list) {
    Pool_Reset(list->MemberPool);
    Pool_Destroy(&list->MemberPool);
    list->First = nullptr;
    list->Last = nullptr;
    list->Count = 0;
    return 1;
}

int StringList_Destroy(StringListStruct **list) {
    ZYL_CHECK_PTR(list);
    StringListStruct *doomed = *list;
    if (doomed == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(doomed, kListTag);
    *list = nullptr;
    StringList_FreePool(doomed);
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(StringListStruct));
    return 1;
}

int StringList_Add(StringListStruct *list, const char *text) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(text);
    int length = Zyl_StrLen(text);
    if (length >= STRINGLIST_TEXT_SIZE) {
        Zyl_Print("StringList_Add() string too long - refused [%d] [%s]\n", length, text);
        return 0;
    }
    for (StringListMemberStruct *member = list->First; member; member = member->Next) {
        if (Zyl_StrEqualNoCase(member->Text, text)) {
            Zyl_Print("Duplicate string - skipped [%s]\n", text);
            return 1;
        }
    }
    StringListMemberStruct *member = static_cast<StringListMemberStruct *>(
        POOL_ALLOC(list->MemberPool, sizeof(StringListMemberStruct)));
    member->Tag = kMemberTag;
    memcpy(member->Text, text, (size_t)length + 1);
    member->Next = nullptr;
    if (list->Last) {
        list->Last->Next = member;
    } else {
        list->First = member;
    }
    list->Last = member;
    list->Count++;
    return 1;
}

int StringList_Contains(StringListStruct *list, const char *text) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(text);
    for (StringListMemberStruct *member = list->First; member; member = member->Next) {
        if (Zyl_StrEqual(member->Text, text)) {
            return 1;
        }
    }
    return 0;
}

int StringList_GetCount(StringListStruct *list, int *count) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(count);
    *count = list->Count;
    return 1;
}

int StringList_GetFirstMember(StringListStruct *list, StringListMemberStruct **member) {
    ZYL_CHECK_PTR(member);
    *member = nullptr;
    ZYL_CHECK_TAG(list, kListTag);
    *member = list->First;
    return *member ? 1 : 0;
}

int StringList_GetNextMember(StringListMemberStruct *member, StringListMemberStruct **next) {
    ZYL_CHECK_PTR(next);
    *next = nullptr;
    ZYL_CHECK_TAG(member, kMemberTag);
    *next = member->Next;
    return *next ? 1 : 0;
}

int StringList_GetMemberString(StringListMemberStruct *member, const char **text) {
    ZYL_CHECK_PTR(text);
    *text = nullptr;
    ZYL_CHECK_TAG(member, kMemberTag);
    *text = member->Text;
    return 1;
}
