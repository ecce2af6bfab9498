// The associative list: a short singly linked list of key/value pairs drawn
// from a pool of 10 members per chunk; lookups walk it.
#include "engine/assoclist.h"

#include "core/pool.h"
#include "core/zyl.h"

static const char kListTag[] = "AssociativeListStruct";
static const char kMemberTag[] = "AssociativeListMemberStruct";

enum { kMembersPerChunk = 10 };

int AssociativeList_Create(AssociativeListStruct **list) {
    ZYL_CHECK_PTR(list);
    AssociativeListStruct *l = ZYL_NEW(AssociativeListStruct);
    l->Tag = kListTag;
    POOL_CREATE(l->Pool);
    Pool_SetMemberSize(l->Pool, sizeof(AssociativeListMemberStruct));
    Pool_SetMembersPerChunk(l->Pool, kMembersPerChunk);
    Pool_SetClear(l->Pool, 1);
    *list = l;
    return 1;
}

int AssociativeList_Destroy(AssociativeListStruct **list) {
    if (list == nullptr || *list == nullptr)
        return 0;
    AssociativeListStruct *l = *list;
    ZYL_CHECK_TAG(l, kListTag);
    *list = nullptr;
    Pool_Reset(l->Pool);
    Pool_Destroy(&l->Pool);
    l->Tag = Zyl_DeadTag;
    ZYL_FREE(l, sizeof(AssociativeListStruct));
    return 1;
}

int AssociativeList_Set(const char *value, const char *key, AssociativeListStruct *list) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(value);
    ZYL_CHECK_PTR(key);
    AssociativeListMemberStruct *m = static_cast<AssociativeListMemberStruct *>(
        POOL_ALLOC(list->Pool, sizeof(AssociativeListMemberStruct)));
    m->Tag = kMemberTag;
    Zyl_StrCopy(m->Key, key, sizeof m->Key);
    Zyl_StrCopy(m->Value, value, sizeof m->Value);
    AssociativeListMemberStruct **tail = &list->Head;
    for (; *tail; tail = &(*tail)->Next) {
        if (Zyl_StrEqualNoCase((*tail)->Key, m->Key)) {
            Zyl_StrCopy((*tail)->Value, m->Value, sizeof m->Value);
            m->Tag = Zyl_DeadTag;
            POOL_FREE(list->Pool, m, sizeof(AssociativeListMemberStruct));
            return 1;
        }
    }
    *tail = m;
    list->Count++;
    return 1;
}

int AssociativeList_Get(AssociativeListStruct *list, const char *key, char *value) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(key);
    ZYL_CHECK_PTR(value);
    value[0] = 0;
    for (AssociativeListMemberStruct *m = list->Head; m; m = m->Next) {
        if (Zyl_StrEqualNoCase(m->Key, key)) {
            Zyl_StrCopy(value, m->Value, ASSOCLIST_TEXT_SIZE);
            return 1;
        }
    }
    return 0;
}

int AssociativeList_GetCount(AssociativeListStruct *list) {
    ZYL_CHECK_TAG(list, kListTag);
    return list->Count;
}

int AssociativeList_GetFirst(AssociativeListStruct *list, AssociativeListMemberStruct **member) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(member);
    *member = list->Head;
    return *member ? 1 : 0;
}

int AssociativeListMember_GetNext(AssociativeListMemberStruct *member,
                                  AssociativeListMemberStruct **next) {
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(next);
    *next = member->Next;
    return *next ? 1 : 0;
}

int AssociativeListMember_Get(AssociativeListMemberStruct *member, char *key, char *value) {
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(key);
    ZYL_CHECK_PTR(value);
    Zyl_StrCopy(key, member->Key, ASSOCLIST_TEXT_SIZE);
    Zyl_StrCopy(value, member->Value, ASSOCLIST_TEXT_SIZE);
    return 1;
}
