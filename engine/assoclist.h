// Key/value text pairs of a download (its web traffic classes): pooled
// members in insertion order, keys compared ignoring ASCII case.
#pragma once

struct PoolStruct;

enum { ASSOCLIST_TEXT_SIZE = 320 };

struct AssociativeListMemberStruct {
    const char *Tag;
    char Key[ASSOCLIST_TEXT_SIZE];
    char Value[ASSOCLIST_TEXT_SIZE];
    AssociativeListMemberStruct *Next;
};

struct AssociativeListStruct {
    const char *Tag;
    PoolStruct *Pool;
    int Count;
    AssociativeListMemberStruct *Head;
};

// Create: 1 and *list. Destroy: clears *list and frees every member; 0 when
// the pointer or the list is null.
int AssociativeList_Create(AssociativeListStruct **list);
int AssociativeList_Destroy(AssociativeListStruct **list);
// Replaces the value of the key (ignoring ASCII case; the stored key text is
// kept) or appends the pair. Texts are cut to 319 characters. Returns 1.
int AssociativeList_Set(const char *value, const char *key, AssociativeListStruct *list);
// Copies the value of the key (ignoring ASCII case) into value (320
// characters); 0 with an empty value when the key is absent.
int AssociativeList_Get(AssociativeListStruct *list, const char *key, char *value);
// The number of pairs (not 1/0).
int AssociativeList_GetCount(AssociativeListStruct *list);
// 1 when a member was given; 0 and null at the end.
int AssociativeList_GetFirst(AssociativeListStruct *list, AssociativeListMemberStruct **member);
int AssociativeListMember_GetNext(AssociativeListMemberStruct *member,
                                  AssociativeListMemberStruct **next);
int AssociativeListMember_Get(AssociativeListMemberStruct *member, char *key, char *value);
