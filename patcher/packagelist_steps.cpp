// The package list's periodic step (fetch the list document, add its first
// package) and its package-state step (follow the current package, move on to
// the next, report the list's state). Both run with the Patcher's API mutex
// held; only the transfer of the document runs without it.
#include "core/alert.h"
#include "core/oshelper.h"
#include "core/xml.h"
#include "core/zyl.h"
#include "patcher/documentfetch.h"
#include "patcher/packagelist.h"
#include "patcher/packagelist_private.h"
#include "patcher/patcher.h"
#include "patcher/patcher_types.h"
#include "patcher/patcherlog.h"
#include "patcher/pathsafety.h"
#include "patcher/taskstatus.h"

#include <cstring>

static const char *const kTag = PackageList_Tag;

// List states reported in PACKAGELISTSTATUS events.
enum {
    PACKAGE_LIST_STATE_STARTING = 1,
    PACKAGE_LIST_STATE_WAITFORLIVE = 2,
    PACKAGE_LIST_STATE_UNDERWAY = 3,
    PACKAGE_LIST_STATE_FINISHED = 4,
    PACKAGE_LIST_STATE_FAILED = 5,
};
// Entries one document may list.
enum { PACKAGE_LIST_MAX_ENTRIES = 4096 };

int PackageList_GetState(PackageList *list, int32_t *state, int32_t *count) {
    ZYL_CHECK_TAG(list, kTag);
    ZYL_CHECK_PTR(state);
    ZYL_CHECK_PTR(count);
    *state = list->State;
    *count = list->EntryCount;
    return 1;
}

static void PackageList_InternalReport(PackageList *list, int state) {
    list->State = state;
    PatcherPackageListStatusRecord record;
    memset(&record, 0, sizeof(record));
    Zyl_StrCopy(record.ListName, list->Name, sizeof(record.ListName));
    const PackageListEntry *current = PackageList_InternalCurrent(list);
    if (current != nullptr)
        Zyl_StrCopy(record.PackageName, current->Name, sizeof(record.PackageName));
    record.ListState = state;
    if (state == 0 || state == PACKAGE_LIST_STATE_STARTING)
        PatcherPackageStatus_Init(&list->Status);
    record.Status = list->Status;
    if (state == PACKAGE_LIST_STATE_FAILED)
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "PACKAGELIST_STATE_FAILED");
    Patcher_QueuePackageListStatus(list->Owner, &record);
}

// ---------------------------------------------------------------------------
// Document
// ---------------------------------------------------------------------------

static XmlNodeStruct *PackageList_InternalElement(XmlStruct *xml, XmlNodeStruct *node, int first) {
    XmlNodeStruct *next = nullptr;
    if (first)
        Xml_GetFirstChild(xml, node, &next);
    else
        Xml_GetNextSibling(xml, node, &next);
    while (next != nullptr) {
        int kind = 0;
        Xml_GetKind(xml, next, &kind);
        if (kind == XML_KIND_ELEMENT)
            return next;
        if (!Xml_GetNextSibling(xml, next, &next))
            return nullptr;
    }
    return nullptr;
}

static int PackageList_InternalHasControl(const char *text) {
    for (const char *p = text; *p != 0; p++) {
        if ((unsigned char)*p < 32 || *p == 127)
            return 1;
    }
    return 0;
}

// An entry installs below the current folder: its name is a plain name, its
// expansion path empty or a relative path that stays below.
static int PackageList_InternalIsSafeEntry(PackageListEntry *entry) {
    for (char *p = entry->ExpansionPath; *p != 0; p++) {
        if (*p == '\\')
            *p = '/';
    }
    if (!PatcherTaskStatus_IsSafeName(entry->Name) || PackageList_InternalHasControl(entry->Url))
        return 0;
    return entry->ExpansionPath[0] == 0 || PathSafety_IsSafeRelativePath(entry->ExpansionPath);
}

// Reads one "Package" element into entry. 1 when it is to be listed.
static int PackageList_InternalReadEntry(XmlStruct *xml, XmlNodeStruct *package,
                                         PackageListEntry *entry) {
    memset(entry, 0, sizeof(*entry));
    XmlNodeStruct *child = PackageList_InternalElement(xml, package, 1);
    if (child == nullptr) {
        Patcher_Log(PATCHER_LOG_WARNING, "PackageList.Package member has no children");
        return 0;
    }
    for (; child != nullptr; child = PackageList_InternalElement(xml, child, 0)) {
        const char *name = nullptr;
        const char *text = nullptr;
        Xml_GetName(xml, child, &name);
        Xml_GetData(xml, child, &text);
        if (text == nullptr)
            text = "";
        if (Zyl_StrEqualNoCase(name, "Name"))
            Zyl_StrCopy(entry->Name, text, sizeof(entry->Name));
        else if (Zyl_StrEqualNoCase(name, "Url"))
            Zyl_StrCopy(entry->Url, text, sizeof(entry->Url));
        else if (Zyl_StrEqualNoCase(name, "ExpansionPath"))
            Zyl_StrCopy(entry->ExpansionPath, text, sizeof(entry->ExpansionPath));
        else
            Patcher_Log(PATCHER_LOG_WARNING, "Unknown PackageList member [%s]", name);
    }
    if (!PackageList_InternalIsSafeEntry(entry)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Refusing PackageList entry [%s] [%s]", entry->Name,
                    entry->ExpansionPath);
        return 0;
    }
    return 1;
}

static void PackageList_InternalFreeEntries(PackageList *list) {
    if (list->Entries != nullptr)
        ZYL_FREE(list->Entries, (int64_t)list->EntryCapacity * sizeof(PackageListEntry));
    list->Entries = nullptr;
    list->EntryCount = 0;
    list->EntryCapacity = 0;
}

// Appends the entries of one "Packages" element. 0 when it holds no "Package".
static int PackageList_InternalReadPackages(PackageList *list, XmlStruct *xml,
                                            XmlNodeStruct *packages) {
    int count = 0;
    for (XmlNodeStruct *child = PackageList_InternalElement(xml, packages, 1); child != nullptr;
         child = PackageList_InternalElement(xml, child, 0)) {
        const char *name = nullptr;
        Xml_GetName(xml, child, &name);
        count += Zyl_StrEqualNoCase(name, "Package");
    }
    if (count == 0)
        return 0;
    int wanted = list->EntryCount + count;
    if (wanted > PACKAGE_LIST_MAX_ENTRIES) {
        Patcher_Log(PATCHER_LOG_WARNING, "PackageList holds too many packages [%d]", wanted);
        return 0;
    }
    auto *entries = static_cast<PackageListEntry *>(
        ZYL_ALLOC((int64_t)wanted * (int64_t)sizeof(PackageListEntry)));
    if (list->EntryCount > 0)
        memcpy(entries, list->Entries, (size_t)list->EntryCount * sizeof(PackageListEntry));
    int filled = list->EntryCount;
    PackageList_InternalFreeEntries(list);
    list->Entries = entries;
    list->EntryCapacity = wanted;
    for (XmlNodeStruct *child = PackageList_InternalElement(xml, packages, 1); child != nullptr;
         child = PackageList_InternalElement(xml, child, 0)) {
        const char *name = nullptr;
        Xml_GetName(xml, child, &name);
        if (Zyl_StrEqualNoCase(name, "Package") &&
            PackageList_InternalReadEntry(xml, child, &entries[filled]))
            filled++;
    }
    list->EntryCount = filled;
    return 1;
}

int PackageList_Parse(PackageList *list, const char *text) {
    ZYL_CHECK_TAG(list, kTag);
    ZYL_CHECK_PTR(text);
    PackageList_InternalFreeEntries(list);
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    XmlNodeStruct *root = nullptr;
    int result = Xml_ParseBuffer(xml, text) && Xml_FindPath(xml, "PackageList", &root);
    if (!result) {
        Patcher_ReportError(PATCHER_ERROR_WORD, "Unable to locate PackageList member");
    } else {
        if (!Xml_HasAttribute(xml, root, "PatcherVersion"))
            Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to locate PatcherVersion");
        for (XmlNodeStruct *child = PackageList_InternalElement(xml, root, 1);
             child != nullptr && result; child = PackageList_InternalElement(xml, child, 0)) {
            const char *name = nullptr;
            Xml_GetName(xml, child, &name);
            if (Zyl_StrEqualNoCase(name, "Packages"))
                result = PackageList_InternalReadPackages(list, xml, child);
        }
    }
    Xml_Destroy(&xml);
    return result;
}

// ---------------------------------------------------------------------------
// Fetch and tick
// ---------------------------------------------------------------------------

int PackageList_BeginFetch(PackageList *list) {
    ZYL_CHECK_TAG(list, kTag);
    if (list->FetchState != PACKAGE_LIST_FETCH_PENDING)
        return 0;
    list->FetchState = PACKAGE_LIST_FETCH_RUNNING;
    return 1;
}

int PackageList_RunFetch(PackageList *list) {
    ZYL_CHECK_TAG(list, kTag);
    PatcherFetch_Free(&list->FetchContent, list->FetchSize);
    list->FetchResult =
        PatcherFetch_Get(list->Url, &list->FetchContent, &list->FetchSize, list->Owner);
    return list->FetchResult;
}

int PackageList_IsFetching(PackageList *list) {
    ZYL_CHECK_TAG(list, kTag);
    return list->FetchState == PACKAGE_LIST_FETCH_RUNNING;
}

int PackageList_EndFetch(PackageList *list, int filed) {
    ZYL_CHECK_TAG(list, kTag);
    list->FetchState = PACKAGE_LIST_FETCH_IDLE;
    int fetched = list->FetchResult == 1 && list->FetchContent != nullptr;
    if (filed && fetched) {
        // A document that cannot be read counts as fetched with no entries.
        if (!PackageList_Parse(list, list->FetchContent))
            PackageList_InternalFreeEntries(list);
        list->Fetched = 1;
        list->FailureCount = 0;
    }
    PatcherFetch_Free(&list->FetchContent, list->FetchSize);
    list->FetchResult = 0;
    if (!filed || fetched)
        return 1;
    list->FailureCount++;
    if (list->FailureCount >= list->FailureLimit) {
        Patcher_ReportError(1, "Unable to retrieve [%s]", list->Url);
        PackageList_InternalReport(list, PACKAGE_LIST_STATE_FAILED);
    }
    return 1;
}

// Adds entry index to the Patcher as the current package.
static void PackageList_InternalAdd(PackageList *list, int index) {
    list->Current = index;
    const PackageListEntry *entry = &list->Entries[index];
    char path[PATCHER_NAME_SIZE];
    int fits = Zyl_GetCurrentDirectory(path, sizeof(path)) &&
               Zyl_NormalizePath(path, 1, sizeof(path)) &&
               Zyl_StrAppend(path, entry->ExpansionPath, sizeof(path)) &&
               Zyl_NormalizePath(path, 1, sizeof(path));
    if (!fits ||
        !Patcher_AddPackage(list->Owner, 0, entry->Name, entry->Url, path, &list->Options)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to add listed package [%s]", entry->Name);
        PackageList_InternalReport(list, PACKAGE_LIST_STATE_FAILED);
    }
}

int PackageList_Tick(double elapsed, PackageList *list) {
    ZYL_CHECK_TAG(list, kTag);
    if (list->State == PACKAGE_LIST_STATE_FAILED || list->FetchState != PACKAGE_LIST_FETCH_IDLE)
        return 1;
    if (!list->Fetched) {
        // Reported once, not on every pass while a failed fetch waits.
        if (list->State != PACKAGE_LIST_STATE_STARTING)
            PackageList_InternalReport(list, PACKAGE_LIST_STATE_STARTING);
        list->Countdown -= elapsed;
        if (list->Countdown <= 0) {
            list->Countdown = list->RetrievalPeriod;
            list->FetchState = PACKAGE_LIST_FETCH_PENDING;
        }
        return 1;
    }
    if (list->Current != -1)
        return 1;
    if (list->EntryCount > 0)
        PackageList_InternalAdd(list, 0);
    else if (list->State != PACKAGE_LIST_STATE_FINISHED)
        PackageList_InternalReport(list, PACKAGE_LIST_STATE_FINISHED);
    return 1;
}

// ---------------------------------------------------------------------------
// Package state
// ---------------------------------------------------------------------------

static void PackageList_InternalMoveOn(PackageList *list) {
    const PackageListEntry *current = PackageList_InternalCurrent(list);
    if (current != nullptr)
        Patcher_RemovePackage(list->Owner, 0, current->Name);
    list->LastPackageState = 0;
    if (list->Current + 1 >= list->EntryCount) {
        list->Current = list->EntryCount; // past the last: no current package
        PackageList_InternalReport(list, PACKAGE_LIST_STATE_FINISHED);
        return;
    }
    list->Current++;
    PackageList_InternalReport(list, PACKAGE_LIST_STATE_STARTING);
    PackageList_InternalAdd(list, list->Current);
}

int PackageList_OnPackageState(PackageList *list, const char *name,
                               const PatcherPackageStatus *status) {
    ZYL_CHECK_TAG(list, kTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(status);
    const PackageListEntry *current = PackageList_InternalCurrent(list);
    if (current == nullptr || !Zyl_StrEqual(current->Name, name) ||
        list->State == PACKAGE_LIST_STATE_FAILED)
        return 1;
    list->Status = *status;
    int state = status->State;
    if (state == list->LastPackageState) {
        PackageList_InternalReport(list, list->State);
        return 1;
    }
    if (state == PATCHER_STATE_ALLTASKSCOMPLETE) {
        PackageList_InternalMoveOn(list);
        return 1;
    }
    if (state == PATCHER_STATE_WAITFORLIVE &&
        status->PackageDescriptorType == 2 /* "Available": waits to go live */) {
        if (list->Current == list->EntryCount - 1)
            PackageList_InternalReport(list, PACKAGE_LIST_STATE_WAITFORLIVE);
        else
            PackageList_InternalMoveOn(list);
        return 1;
    }
    if (state == PATCHER_STATE_IDLE)
        PackageList_InternalReport(list, PACKAGE_LIST_STATE_STARTING);
    else if (state == PATCHER_STATE_FAILED || state == 0)
        PackageList_InternalReport(list, PACKAGE_LIST_STATE_FAILED);
    else
        PackageList_InternalReport(list, PACKAGE_LIST_STATE_UNDERWAY);
    list->LastPackageState = state;
    return 1;
}
