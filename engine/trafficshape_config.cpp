// Loads the traffic shaper's switches and rule sets from the element
// `Application.TrafficShape` of a configuration document. The document may be
// hostile: values are clamped, unknown elements skipped, depth is the reader's.
#include <climits>

#include "core/alert.h"
#include "core/xml.h"
#include "core/zyl.h"
#include "engine/trafficshape.h"

enum { kValueSize = 320 };

// Rates above this (bytes per second, about 8 TiB/s) are clamped; percentages to 0..10000.
static const int64_t kMaxBandwidthKb = INT64_C(8) * 1024 * 1024 * 1024;
static const int64_t kMaxPercent = 10000;

static int64_t InternalClamp(const char *what, const char *id, int64_t value, int64_t high) {
    if (value < 0 || value > high) {
        int64_t clamped = value < 0 ? 0 : high;
        Zyl_Print("TrafficShape_LoadRule() %s %I64d of rule '%s' clamped to %I64d\n", what, value,
                  id, clamped);
        return clamped;
    }
    return value;
}

static int InternalBool(const char *text, int fallback) {
    int value = fallback;
    Zyl_ParseBool(text, &value, fallback);
    return value;
}

static const char *InternalText(XmlStruct *document, XmlNodeStruct *node) {
    const char *text = "";
    Xml_GetData(document, node, &text);
    return text;
}

// First child element of `parent` with exactly this name, or null.
static XmlNodeStruct *InternalChild(XmlStruct *document, XmlNodeStruct *parent, const char *name) {
    XmlNodeStruct *child = nullptr;
    Xml_GetFirstChild(document, parent, &child);
    for (; child != nullptr; Xml_GetNextSibling(document, child, &child)) {
        int kind = 0;
        const char *childName = "";
        Xml_GetKind(document, child, &kind);
        Xml_GetName(document, child, &childName);
        if (kind == XML_KIND_ELEMENT && Zyl_StrEqual(childName, name))
            return child;
    }
    return nullptr;
}

static void TrafficShape_LoadRule(XmlStruct *document, XmlNodeStruct *element,
                                  TrafficShapeStruct *shaper, RuleSetStruct *set, int parent) {
    char id[kValueSize], value[kValueSize];
    if (!Xml_GetAttribute(document, element, "ID", id, sizeof id))
        return; // a rule without ID is dropped with everything below it
    int handle;
    if (parent == 0) {
        TrafficShape_RuleSetCreateRoot(set, id);
        handle = 1;
        Xml_GetAttribute(document, element, "Bandwidth", value, sizeof value);
        int64_t kb = InternalClamp("Bandwidth", id, Zyl_AtoI64(value), kMaxBandwidthKb);
        TrafficShape_RuleSetBandwidth(set, handle, kb * 1024);
    } else {
        handle = TrafficShape_RuleCreate(set, parent, id);
        if (handle == 0)
            return;
        Xml_GetAttribute(document, element, "CeilingRate", value, sizeof value);
        TrafficShape_RuleSetCeilingRate(
            set, handle, InternalClamp("CeilingRate", id, Zyl_AtoI64(value), kMaxPercent));
        Xml_GetAttribute(document, element, "AssuredRate", value, sizeof value);
        TrafficShape_RuleSetAssuredRate(
            set, handle, InternalClamp("AssuredRate", id, Zyl_AtoI64(value), kMaxPercent));
    }
    if (Xml_GetAttribute(document, element, "AllowBorrow", value, sizeof value))
        TrafficShape_RuleSetAllowBorrow(set, handle, InternalBool(value, 1));
    if (Xml_GetAttribute(document, element, "Regulated", value, sizeof value))
        TrafficShape_RuleSetRegulated(set, handle, InternalBool(value, 1));

    // The first child named Rule and every element after it, in order.
    XmlNodeStruct *child = InternalChild(document, element, "Rule");
    for (; child != nullptr; Xml_GetNextSibling(document, child, &child)) {
        int kind = 0;
        Xml_GetKind(document, child, &kind);
        if (kind == XML_KIND_ELEMENT)
            TrafficShape_LoadRule(document, child, shaper, set, handle);
    }
}

static void TrafficShape_LoadRuleSet(XmlStruct *document, XmlNodeStruct *element,
                                     TrafficShapeStruct *shaper) {
    char id[kValueSize] = "";
    Xml_GetAttribute(document, element, "ID", id, sizeof id);
    RuleSetStruct *set = TrafficShape_RuleSetCreate(shaper, id);
    XmlNodeStruct *root = InternalChild(document, element, "RuleRoot");
    if (root != nullptr)
        TrafficShape_LoadRule(document, root, shaper, set, 0);
    TrafficShape_RuleSetRecalculate(set);

    XmlNodeStruct *span = InternalChild(document, element, "TimeSpan");
    if (span != nullptr) {
        XmlNodeStruct *start = InternalChild(document, span, "StartTime");
        XmlNodeStruct *end = InternalChild(document, span, "EndTime");
        TrafficShape_RuleSetSetTimeSpan(set, start ? InternalText(document, start) : "",
                                        end ? InternalText(document, end) : "");
    }
    XmlNodeStruct *direction = InternalChild(document, element, "Direction");
    TrafficShapeDirection value = TRAFFICSHAPE_OUTGOING;
    if (direction != nullptr &&
        TrafficShape_ParseDirection(InternalText(document, direction), &value))
        TrafficShape_RuleSetSetDirection(set, value);
    XmlNodeStruct *active = InternalChild(document, element, "Active");
    if (active != nullptr)
        TrafficShape_RuleSetSetActive(shaper, set, InternalBool(InternalText(document, active), 0));
    else
        TrafficShape_RuleSetSetActive(shaper, set, 1);
}

static void InternalLoadRules(XmlStruct *document, XmlNodeStruct *rules,
                              TrafficShapeStruct *shaper) {
    XmlNodeStruct *child = nullptr;
    Xml_GetFirstChild(document, rules, &child);
    if (child == nullptr)
        return; // an empty Rules element keeps the sets as they are
    TrafficShape_ClearRuleSets(shaper);
    for (; child != nullptr; Xml_GetNextSibling(document, child, &child)) {
        int kind = 0;
        const char *name = "";
        Xml_GetKind(document, child, &kind);
        Xml_GetName(document, child, &name);
        if (kind == XML_KIND_ELEMENT && Zyl_StrEqual(name, "RuleSet"))
            TrafficShape_LoadRuleSet(document, child, shaper);
    }
}

static void InternalApplySetting(XmlStruct *document, XmlNodeStruct *setting,
                                 TrafficShapeStruct *shaper) {
    const char *name = "";
    Xml_GetName(document, setting, &name);
    const char *text = InternalText(document, setting);
    if (Zyl_StrEqualNoCase(name, "Enabled")) {
        TrafficShape_SetEnabled(shaper, InternalBool(text, 0));
    } else if (Zyl_StrEqualNoCase(name, "Logging")) {
        TrafficShape_SetLogging(shaper, InternalBool(text, 0));
    } else if (Zyl_StrEqualNoCase(name, "Verbose")) {
        TrafficShape_SetVerbose(shaper, InternalBool(text, 0));
    } else if (Zyl_StrEqualNoCase(name, "AllowAssuredBorrow")) {
        TrafficShape_SetAllowAssuredBorrow(shaper, InternalBool(text, 1));
    } else if (Zyl_StrEqualNoCase(name, "StatusInterval")) {
        double seconds = Zyl_AtoF(text);
        if (!(seconds >= 0.1 && seconds <= 86400.0)) {
            Zyl_Print("TrafficShape_LoadConfig() StatusInterval [%s] clamped\n", text);
            seconds = seconds > 86400.0 ? 86400.0 : 0.1;
        }
        TrafficShape_SetStatusInterval(shaper, seconds);
    } else if (Zyl_StrEqualNoCase(name, "Rules")) {
        InternalLoadRules(document, setting, shaper);
    } else {
        Zyl_Print("Unknown config traffic shape function [%s]\n", name);
    }
}

int TrafficShape_LoadConfig(TrafficShapeStruct *shaper, XmlStruct *document) {
    ZYL_CHECK_PTR(shaper);
    ZYL_CHECK_PTR(document);
    XmlNodeStruct *element = nullptr;
    if (!Xml_FindPath(document, "Application.TrafficShape", &element))
        return 0;
    if (!TrafficShape_Lock(shaper))
        return 0;
    XmlNodeStruct *setting = nullptr;
    Xml_GetFirstChild(document, element, &setting);
    for (; setting != nullptr; Xml_GetNextSibling(document, setting, &setting)) {
        int kind = 0;
        Xml_GetKind(document, setting, &kind);
        if (kind == XML_KIND_ELEMENT)
            InternalApplySetting(document, setting, shaper);
    }
    TrafficShape_Unlock(shaper);
    TrafficShape_Restart(shaper);
    TrafficShape_Print(shaper);
    return 1;
}

int TrafficShape_ParseTime(const char *text, int32_t *minutes) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(minutes);
    *minutes = 0;
    int hour = 0, minute = 0, colon = 0;
    if (Zyl_StrFindChar(text, ':', &colon)) {
        hour = Zyl_AtoI(text) & 0xFF;
        minute = Zyl_AtoI(text + colon + 1) & 0xFF;
    }
    if (hour >= 25 || minute >= 61) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Error parsing time '%s'", text);
        return 0;
    }
    int32_t now = 0;
    int h = 0, m = 0, month = 0, day = 0, year = 0;
    Zyl_GetLocalMinutes(&now);
    Zyl_MinutesToDate(now, &h, &m, &month, &day, &year);
    Zyl_DateToMinutes(minutes, hour, minute, month, day, year);
    return 1;
}
