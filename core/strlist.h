// Ordered list of unique strings (duplicates ignoring ASCII case are skipped),
// members taken from a member pool. Tuned for short lists of names and paths.
#pragma once

struct StringListStruct;
struct StringListMemberStruct;

enum { STRINGLIST_TEXT_SIZE = 320 };

// Creates an empty list. Returns 1 and sets *list.
int StringList_Create(StringListStruct **list);
// Frees the list and all its members at once, clears *list. Accepts a null
// *list. Returns 1.
int StringList_Destroy(StringListStruct **list);

// Appends a copy of text at the tail. A member equal ignoring ASCII case already
// present: logs "Duplicate string - skipped [%s]" and adds nothing, still 1.
// 0 (with a log line, list unchanged) when text does not fit 319 characters.
int StringList_Add(StringListStruct *list, const char *text);
// 1 when a member has exactly this text (case-sensitive).
int StringList_Contains(StringListStruct *list, const char *text);
// Number of members. Returns 1.
int StringList_GetCount(StringListStruct *list, int *count);

// Walk in insertion order: 1 and the member, or 0 and null at the end.
int StringList_GetFirstMember(StringListStruct *list, StringListMemberStruct **member);
int StringList_GetNextMember(StringListMemberStruct *member, StringListMemberStruct **next);
// The member's own text (not a copy; valid while the list lives). Returns 1.
int StringList_GetMemberString(StringListMemberStruct *member, const char **text);
