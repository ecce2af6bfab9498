// The URL list: pooled members (10 per chunk) in insertion order, duplicates
// refused ignoring case, and the retry-count selection the tracker client uses.
#include "engine/urllist.h"

#include "core/pool.h"
#include "core/zyl.h"

static const char kListTag[] = "URLListStruct";
static const char kMemberTag[] = "URLListMemberStruct";

enum { kMembersPerChunk = 10 };

int URLList_Create(URLListStruct **list) {
    ZYL_CHECK_PTR(list);
    URLListStruct *l = ZYL_NEW(URLListStruct);
    l->Tag = kListTag;
    POOL_CREATE(l->Pool);
    Pool_SetMemberSize(l->Pool, sizeof(URLListMemberStruct));
    Pool_SetMembersPerChunk(l->Pool, kMembersPerChunk);
    Pool_SetClear(l->Pool, 1);
    *list = l;
    return 1;
}

int URLList_Destroy(URLListStruct **list) {
    if (list == nullptr || *list == nullptr)
        return 0;
    URLListStruct *l = *list;
    ZYL_CHECK_TAG(l, kListTag);
    *list = nullptr;
    Pool_Reset(l->Pool);
    Pool_Destroy(&l->Pool);
    l->Tag = Zyl_DeadTag;
    ZYL_FREE(l, sizeof(URLListStruct));
    return 1;
}

int URLList_Add(const char *url, URLListStruct *list) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(url);
    URLListMemberStruct *m =
        static_cast<URLListMemberStruct *>(POOL_ALLOC(list->Pool, sizeof(URLListMemberStruct)));
    m->Tag = kMemberTag;
    Zyl_StrCopy(m->URL, url, sizeof m->URL);
    URLListMemberStruct **tail = &list->Head;
    for (; *tail; tail = &(*tail)->Next) {
        if (Zyl_StrEqualNoCase((*tail)->URL, m->URL)) {
            Zyl_Print("Duplicate string - skipped [%s]\n", m->URL);
            m->Tag = Zyl_DeadTag;
            POOL_FREE(list->Pool, m, sizeof(URLListMemberStruct));
            return 1;
        }
    }
    Zyl_Print("New URL [%s]\n", m->URL);
    m->Enabled = 1;
    *tail = m;
    list->Count++;
    return 1;
}

int URLList_Clear(URLListStruct *list) {
    ZYL_CHECK_TAG(list, kListTag);
    while (list->Head) {
        URLListMemberStruct *m = list->Head;
        list->Head = m->Next;
        m->Tag = Zyl_DeadTag;
        POOL_FREE(list->Pool, m, sizeof(URLListMemberStruct));
    }
    list->Count = 0;
    return 1;
}

int URLList_GetFirst(URLListStruct *list, URLListMemberStruct **member) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(member);
    *member = list->Head;
    return *member ? 1 : 0;
}

int URLList_GetLast(URLListStruct *list, URLListMemberStruct **member) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(member);
    URLListMemberStruct *m = list->Head;
    while (m && m->Next)
        m = m->Next;
    *member = m;
    return m ? 1 : 0;
}

int URLListMember_GetNext(URLListMemberStruct *member, URLListMemberStruct **next) {
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(next);
    *next = member->Next;
    return *next ? 1 : 0;
}

int URLList_GetCount(URLListStruct *list, int *count) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(count);
    *count = list->Count;
    return 1;
}

int URLList_Select(URLListStruct *list, URLListMemberStruct **member) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(member);
    URLListMemberStruct *best = list->Head;
    *member = best;
    if (best == nullptr)
        return 0;
    for (URLListMemberStruct *m = list->Head; m && best->RetryCount > 0; m = m->Next) {
        if (m->Enabled == 1 && m->RetryCount < best->RetryCount)
            best = m;
    }
    *member = best;
    return 1;
}

int URLList_Dump(URLListStruct *list) {
    ZYL_CHECK_TAG(list, kListTag);
    int position = 1;
    for (URLListMemberStruct *m = list->Head; m; m = m->Next, position++)
        Zyl_Print("String %d: (%d) %s\n", position, m->RetryCount, m->URL);
    return 1;
}

int URLListMember_GetURL(URLListMemberStruct *member, char *url) {
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(url);
    Zyl_StrCopy(url, member->URL, URLLIST_TEXT_SIZE);
    return 1;
}

int URLListMember_GetURLPointer(URLListMemberStruct *member, const char **url) {
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(url);
    *url = member->URL;
    return 1;
}

int URLListMember_SetId(URLListMemberStruct *member, const char *id) {
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(id);
    Zyl_StrCopy(member->Id, id, sizeof member->Id);
    return 1;
}

int URLListMember_GetIdPointer(URLListMemberStruct *member, const char **id) {
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(id);
    *id = member->Id;
    return 1;
}

int URLListMember_SetRetryCount(URLListMemberStruct *member, int count) {
    ZYL_CHECK_TAG(member, kMemberTag);
    member->RetryCount = count;
    return 1;
}

int URLListMember_GetRetryCount(URLListMemberStruct *member, int *count) {
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(count);
    *count = member->RetryCount;
    return 1;
}

int URLListMember_SetEnabled(URLListMemberStruct *member, int enabled) {
    ZYL_CHECK_TAG(member, kMemberTag);
    member->Enabled = enabled;
    return 1;
}
