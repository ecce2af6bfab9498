// Macro list of an installer run: a short singly linked list of key/value pairs
// (a dozen entries), expanded by in-place replace-all within 320 characters.
#include "patcher/installer/macro.h"

#include "core/strhlpr.h"
#include "core/xml.h"
#include "core/zyl.h"
#include "patcher/patcherlog.h"

static const char kListTag[] = "MacroListStruct";
static const char kEntryTag[] = "MacroEntryStruct";
static const char kConfigFile[] = "installer.config.xml";

struct MacroEntryStruct {
    const char *Tag;
    char Key[MACRO_TEXT_SIZE];
    char Value[MACRO_TEXT_SIZE];
    MacroEntryStruct *Next;
};

struct MacroListStruct {
    const char *Tag;
    int Count;
    MacroEntryStruct *First; // the entry set last
};

int Macro_Create(MacroListStruct **list) {
    ZYL_CHECK_PTR(list);
    MacroListStruct *created = ZYL_NEW(MacroListStruct);
    created->Tag = kListTag;
    *list = created;
    return 1;
}

int Macro_Destroy(MacroListStruct **list) {
    ZYL_CHECK_PTR(list);
    MacroListStruct *doomed = *list;
    if (doomed == nullptr)
        return 1;
    ZYL_CHECK_TAG(doomed, kListTag);
    *list = nullptr;
    MacroEntryStruct *entry = doomed->First;
    while (entry != nullptr) {
        MacroEntryStruct *next = entry->Next;
        entry->Tag = Zyl_DeadTag;
        ZYL_FREE(entry, sizeof(MacroEntryStruct));
        entry = next;
    }
    doomed->Tag = Zyl_DeadTag;
    ZYL_FREE(doomed, sizeof(MacroListStruct));
    return 1;
}

int Macro_Set(MacroListStruct *list, const char *key, const char *value) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(key);
    ZYL_CHECK_PTR(value);
    if (Zyl_StrLen(key) >= MACRO_TEXT_SIZE || Zyl_StrLen(value) >= MACRO_TEXT_SIZE) {
        Zyl_Print("Macro_Set() key or value longer than %d characters [%s]\n", MACRO_TEXT_SIZE - 1,
                  key);
        return 0;
    }
    for (MacroEntryStruct *entry = list->First; entry != nullptr; entry = entry->Next) {
        if (Zyl_StrEqual(entry->Key, key))
            return Zyl_StrCopy(entry->Value, value, MACRO_TEXT_SIZE);
    }
    MacroEntryStruct *entry = ZYL_NEW(MacroEntryStruct);
    entry->Tag = kEntryTag;
    Zyl_StrCopy(entry->Key, key, MACRO_TEXT_SIZE);
    Zyl_StrCopy(entry->Value, value, MACRO_TEXT_SIZE);
    entry->Next = list->First;
    list->First = entry;
    list->Count++;
    return 1;
}

int Macro_GetCount(MacroListStruct *list, int *count) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(count);
    *count = list->Count;
    return 1;
}

// Reads the text of the child element `name` of an expander; 0 when absent.
static int Macro_ReadChild(XmlStruct *xml, XmlNodeStruct *expander, const char *name,
                           const char **text) {
    *text = nullptr;
    XmlNodeStruct *child = nullptr;
    if (!Xml_FindChild(xml, expander, name, 0, &child))
        return 0;
    Xml_GetData(xml, child, text);
    return 1;
}

// Adds every expander from `first` on; 0 when one lacked its Key or Value.
static int Macro_AddExpanders(MacroListStruct *list, XmlStruct *xml, XmlNodeStruct *first) {
    int result = 1;
    for (XmlNodeStruct *node = first; node != nullptr;) {
        const char *name = nullptr;
        int kind = 0;
        Xml_GetName(xml, node, &name);
        Xml_GetKind(xml, node, &kind);
        if (kind == XML_KIND_ELEMENT && Zyl_StrEqualNoCase(name, "Expander")) {
            const char *key = nullptr;
            const char *value = nullptr;
            int haveKey = Macro_ReadChild(xml, node, "Key", &key);
            if (!haveKey)
                Patcher_Log(PATCHER_LOG_WARNING, "Failed to read \"Key\" node.");
            int haveValue = Macro_ReadChild(xml, node, "Value", &value);
            if (!haveValue)
                Patcher_Log(PATCHER_LOG_WARNING, "Failed to read \"Value\" node.");
            if (haveKey && haveValue)
                Macro_Set(list, key, value);
            else
                result = 0;
        }
        if (!Xml_GetNextSibling(xml, node, &node))
            break;
    }
    return result;
}

int Macro_LoadExpandersFrom(MacroListStruct *list, const char *path) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(path);
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    int result = 1;
    XmlNodeStruct *expander = nullptr;
    if (!Xml_LoadFile(xml, path)) {
        Patcher_Log(PATCHER_LOG_INFO, "%s not found.", path);
    } else if (Xml_FindPath(xml, "Config.Expanders.Expander", &expander)) {
        result = Macro_AddExpanders(list, xml, expander);
    }
    Xml_Destroy(&xml);
    return result;
}

int Macro_LoadExpanders(MacroListStruct *list) {
    return Macro_LoadExpandersFrom(list, kConfigFile);
}

int Macro_Expand(MacroListStruct *list, const char *source, char *out) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(source);
    ZYL_CHECK_PTR(out);
    if (!Zyl_StrCopy(out, source, MACRO_TEXT_SIZE)) {
        Patcher_ReportError(PATCHER_ERROR_INSTALLER,
                            "Unable to expand macro, string too long. [Key: %s] [Value: %s] "
                            "[String: %s]",
                            "", "", source);
        return 0;
    }
    char braced[MACRO_TEXT_SIZE + 2];
    for (MacroEntryStruct *entry = list->First; entry != nullptr; entry = entry->Next) {
        Zyl_FormatString(braced, sizeof(braced), "{%s}", entry->Key);
        if (!Zyl_StrHasSubstring(out, braced))
            continue;
        if (!StrHlpr_ReplaceAll(out, braced, entry->Value, MACRO_TEXT_SIZE)) {
            Patcher_ReportError(PATCHER_ERROR_INSTALLER,
                                "Unable to expand macro, string too long. [Key: %s] [Value: %s] "
                                "[String: %s]",
                                braced, entry->Value, source);
            return 0;
        }
    }
    return 1;
}

int Macro_Get(MacroListStruct *list, const char *key, char *value) {
    ZYL_CHECK_TAG(list, kListTag);
    ZYL_CHECK_PTR(key);
    ZYL_CHECK_PTR(value);
    value[0] = 0;
    for (MacroEntryStruct *entry = list->First; entry != nullptr; entry = entry->Next) {
        if (Zyl_StrEqual(entry->Key, key))
            return Zyl_StrCopy(value, entry->Value, MACRO_TEXT_SIZE);
    }
    return 0;
}
