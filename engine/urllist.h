// The ordered, de-duplicated URL lists of a download (trackers, reliable web
// sources) with a retry count, an enabled flag and an id per entry. Lists are
// short: appends walk to the end.
#pragma once

struct PoolStruct;

enum { URLLIST_TEXT_SIZE = 320 };

struct URLListMemberStruct {
    const char *Tag;
    int RetryCount; // 0 when added
    int Enabled;    // 1 when added
    char URL[URLLIST_TEXT_SIZE];
    char Id[URLLIST_TEXT_SIZE]; // empty when added
    URLListMemberStruct *Next;
};

struct URLListStruct {
    const char *Tag;
    PoolStruct *Pool;
    URLListMemberStruct *Head;
    int Count;
};

// Create: 1 and *list. Destroy: clears *list and frees every member; 0 when
// the pointer or the list is null.
int URLList_Create(URLListStruct **list);
int URLList_Destroy(URLListStruct **list);
// Appends a copy of url (cut to 319 characters) unless an entry equal to it
// ignoring ASCII case exists ("Duplicate string - skipped [%s]"). Returns 1.
int URLList_Add(const char *url, URLListStruct *list);
int URLList_Clear(URLListStruct *list);
// 1 when a member was given; 0 and null at the end.
int URLList_GetFirst(URLListStruct *list, URLListMemberStruct **member);
int URLList_GetLast(URLListStruct *list, URLListMemberStruct **member);
int URLListMember_GetNext(URLListMemberStruct *member, URLListMemberStruct **next);
int URLList_GetCount(URLListStruct *list, int *count);
// The entry to try next: starting from the first entry, an enabled entry with a
// smaller retry count replaces the candidate, until a candidate has count 0 or
// less. 0 only when the list is empty.
int URLList_Select(URLListStruct *list, URLListMemberStruct **member);
int URLList_Dump(URLListStruct *list);

int URLListMember_GetURL(URLListMemberStruct *member, char *url);
int URLListMember_GetURLPointer(URLListMemberStruct *member, const char **url);
int URLListMember_SetId(URLListMemberStruct *member, const char *id);
int URLListMember_GetIdPointer(URLListMemberStruct *member, const char **id);
int URLListMember_SetRetryCount(URLListMemberStruct *member, int count);
int URLListMember_GetRetryCount(URLListMemberStruct *member, int *count);
int URLListMember_SetEnabled(URLListMemberStruct *member, int enabled);
