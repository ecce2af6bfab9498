// The traffic shaper: rule sets of token-bucket rules per direction, rate set-up
// from percentages of the root, per-transfer decisions with borrowing from
// relatives, and the tick that refills leaves and rolls per-second rates.
#include "engine/trafficshape.h"

#include <cmath>
#include <cstdarg>
#include <cstring>

#include "core/alert.h"
#include "core/file.h"
#include "core/mutex.h"
#include "core/oshelper.h"
#include "core/zyl.h"

static const char kShaperTag[] = "TrafficShapeStruct";
static const char kRuleSetTag[] = "RuleSetStruct";
static const char kRuleTag[] = "TSRuleStruct";

enum { kLogLineSize = 1024 };

// ---------------------------------------------------------------------------
// Status log file
// ---------------------------------------------------------------------------

// The first line written in the life of the process erases an older file.
static int gStatusLogStarted = 0;

static void InternalWriteStatusLog(const char *text) {
    char path[320];
    if (!Zyl_GetModuleDirectory(path, sizeof path) ||
        !Zyl_StrAppend(path, "trafficshape.log", sizeof path))
        return;
    FileStruct *file = nullptr;
    File_New(&file);
    File_SetOpenRetries(file, 1);
    if (!gStatusLogStarted) {
        gStatusLogStarted = 1;
        File_Erase(file, path);
        if (File_Open(file, path, 0x32)) {
            File_Print(file, "%s", "TrafficShape_PrintInternal::First\n");
            File_Close(file);
        }
    }
    if (File_Open(file, path, 0x32)) {
        File_Print(file, "%s", text);
        File_Close(file);
    }
    File_Delete(&file);
}

// Plain lines need Logging; verbose lines need Logging and Verbose.
static void InternalLog(TrafficShapeStruct *shaper, int verbose, const char *format, ...) {
    if (!shaper->Logging || (verbose && !shaper->Verbose))
        return;
    char line[kLogLineSize];
    va_list args;
    va_start(args, format);
    Zyl_FormatStringV(line, sizeof line, format, args);
    va_end(args);
    InternalWriteStatusLog(line);
}
#define InternalLog(shaper, verbose, ...)                                                          \
    (ZYL_FORMAT_CHECK(__VA_ARGS__), (InternalLog)(shaper, verbose, __VA_ARGS__))

// ---------------------------------------------------------------------------
// Clocks
// ---------------------------------------------------------------------------

static double InternalNow(TrafficShapeStruct *shaper) {
    if (shaper->TickClock != nullptr)
        return shaper->TickClock(shaper->ClockContext);
    return Zyl_GetTickSeconds();
}

static int InternalMinuteOfDay(TrafficShapeStruct *shaper) {
    if (shaper->DayClock != nullptr)
        return shaper->DayClock(shaper->ClockContext);
    int32_t minutes = 0;
    Zyl_GetLocalMinutes(&minutes);
    return (int)(minutes % TRAFFICSHAPE_END_OF_DAY);
}

// ---------------------------------------------------------------------------
// Rules
// ---------------------------------------------------------------------------

static void InternalCopyId(char *dst, uint32_t *crc, const char *id) {
    Zyl_StrCopy(dst, id ? id : "", TRAFFICSHAPE_ID_SIZE);
    Zyl_StrCrc32(dst, 1, crc);
}

static TSRuleStruct *InternalRuleCreate(RuleSetStruct *set, TSRuleStruct *parent, const char *id) {
    TSRuleStruct *rule = ZYL_NEW(TSRuleStruct);
    rule->Tag = kRuleTag;
    rule->Owner = set->Owner;
    rule->Parent = parent;
    rule->AllowBorrow = 1;
    rule->Regulated = 1;
    InternalCopyId(rule->ID, &rule->IDCrc, id);
    if (parent != nullptr) {
        TSRuleStruct **link = &parent->FirstChild;
        while (*link != nullptr)
            link = &(*link)->NextSibling;
        *link = rule;
        parent->ChildCount++;
    }
    if (set->RuleCount == set->RuleCapacity) {
        int capacity = set->RuleCapacity ? set->RuleCapacity * 2 : 8;
        TSRuleStruct **grown =
            static_cast<TSRuleStruct **>(ZYL_ALLOC((int64_t)capacity * sizeof(TSRuleStruct *)));
        if (set->Rules != nullptr) {
            memcpy(grown, set->Rules, (size_t)set->RuleCount * sizeof(TSRuleStruct *));
            ZYL_FREE(set->Rules, (int64_t)set->RuleCapacity * sizeof(TSRuleStruct *));
        }
        set->Rules = grown;
        set->RuleCapacity = capacity;
    }
    set->Rules[set->RuleCount++] = rule;
    return rule;
}

TSRuleStruct *TrafficShape_RuleSetGetRule(RuleSetStruct *set, int handle) {
    ZYL_CHECK_TAG(set, kRuleSetTag);
    if (handle < 1 || handle > set->RuleCount)
        return nullptr;
    return set->Rules[handle - 1];
}

// Moves the tokens of a rule and of every ancestor by the same difference, so an
// inner rule's tokens stay the sum of its leaves'.
static void TrafficShape_RuleSetTokens(TSRuleStruct *rule, int64_t tokens) {
    int64_t difference = tokens - rule->Tokens;
    for (TSRuleStruct *r = rule; r != nullptr; r = r->Parent)
        r->Tokens += difference;
}

int64_t TrafficShape_RuleGetAvailableTokens(const TSRuleStruct *rule) {
    ZYL_CHECK_TAG(rule, kRuleTag);
    if (!rule->AllowBorrow)
        return 0;
    int assuredBorrow = rule->Owner->AllowAssuredBorrow;
    int64_t available;
    if (rule->FirstChild == nullptr) {
        if (assuredBorrow && rule->RequestedRate < rule->AssuredRateBytes)
            available = rule->Tokens - rule->RequestedRate;
        else
            available = rule->Tokens - rule->AssuredRateBytes;
        return available > 0 ? available : 0;
    }
    int64_t sum = 0;
    for (const TSRuleStruct *c = rule->FirstChild; c != nullptr; c = c->NextSibling)
        sum += TrafficShape_RuleGetAvailableTokens(c);
    if (assuredBorrow && (rule->Parent == nullptr || rule->RequestedRate < rule->AssuredRateBytes))
        return sum;
    available = sum - rule->AssuredRateBytes;
    return available > 0 ? available : 0;
}

const char *TrafficShape_RuleGetStatus(const TSRuleStruct *rule) {
    ZYL_CHECK_TAG(rule, kRuleTag);
    if (rule->Rate > rule->CeilingRate)
        return "Red";
    if (rule->Rate > rule->AssuredRateBytes)
        return "Yellow";
    return "Green";
}

// ---------------------------------------------------------------------------
// Rate set-up
// ---------------------------------------------------------------------------

// Percentages are of the root's rate; 0.01 is taken in single precision.
static int64_t InternalPercentOf(int64_t rootRate, int64_t percent) {
    long double value = (long double)rootRate * (long double)percent * (long double)0.01f;
    return (int64_t)ceill(value);
}

static void TrafficShape_RuleNormalize(TSRuleStruct *rule) {
    float sum = 0;
    for (TSRuleStruct *c = rule->FirstChild; c != nullptr; c = c->NextSibling)
        sum += (float)c->CeilingRate;
    if (sum > 0) {
        for (TSRuleStruct *c = rule->FirstChild; c != nullptr; c = c->NextSibling) {
            c->CeilingRate = (int64_t)((double)c->CeilingRate / sum * (double)rule->CeilingRate);
            c->AssuredRateBytes =
                (int64_t)((double)c->AssuredRateBytes / sum * (double)rule->CeilingRate);
        }
    }
    for (TSRuleStruct *c = rule->FirstChild; c != nullptr; c = c->NextSibling)
        TrafficShape_RuleNormalize(c);
}

static void TrafficShape_RuleSumAssured(TSRuleStruct *rule) {
    if (rule->FirstChild == nullptr)
        return;
    int64_t sum = 0;
    for (TSRuleStruct *c = rule->FirstChild; c != nullptr; c = c->NextSibling) {
        TrafficShape_RuleSumAssured(c);
        sum += c->AssuredRateBytes;
    }
    if (sum > rule->AssuredRateBytes)
        rule->AssuredRateBytes = sum;
    if (rule->AssuredRateBytes > rule->CeilingRate)
        rule->AssuredRateBytes = rule->CeilingRate;
}

int TrafficShape_RuleSetRecalculate(RuleSetStruct *set) {
    ZYL_CHECK_TAG(set, kRuleSetTag);
    TSRuleStruct *root = set->Root;
    if (root == nullptr)
        return 1;
    int64_t rate = root->ConfiguredRate;
    for (int i = 0; i < set->RuleCount; i++) {
        TSRuleStruct *rule = set->Rules[i];
        rule->Tokens = 0;
        rule->RefillCarry = 0;
        if (rule == root) {
            rule->CeilingRate = rate;
            rule->AssuredRateBytes = rule->ConfiguredAssured;
        } else {
            rule->CeilingRate = InternalPercentOf(rate, rule->ConfiguredRate);
            rule->AssuredRateBytes = InternalPercentOf(rate, rule->ConfiguredAssured);
        }
    }
    TrafficShape_RuleNormalize(root);
    TrafficShape_RuleSumAssured(root);
    return 1;
}

// ---------------------------------------------------------------------------
// Rule sets
// ---------------------------------------------------------------------------

RuleSetStruct *TrafficShape_RuleSetCreate(TrafficShapeStruct *shaper, const char *id) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    RuleSetStruct *set = ZYL_NEW(RuleSetStruct);
    set->Tag = kRuleSetTag;
    set->Owner = shaper;
    set->Active = 1;
    InternalCopyId(set->ID, &set->IDCrc, id);
    // A set without a time span holds all day.
    set->StartMinute = 0;
    set->EndMinute = TRAFFICSHAPE_END_OF_DAY;
    RuleSetStruct **link = &shaper->Sets;
    while (*link != nullptr)
        link = &(*link)->Next;
    *link = set;
    return set;
}

static void InternalRuleSetDestroy(RuleSetStruct *set) {
    for (int i = 0; i < set->RuleCount; i++) {
        set->Rules[i]->Tag = Zyl_DeadTag;
        ZYL_FREE(set->Rules[i], sizeof(TSRuleStruct));
    }
    if (set->Rules != nullptr)
        ZYL_FREE(set->Rules, (int64_t)set->RuleCapacity * sizeof(TSRuleStruct *));
    set->Tag = Zyl_DeadTag;
    ZYL_FREE(set, sizeof(RuleSetStruct));
}

int TrafficShape_GetRuleSetCount(TrafficShapeStruct *shaper) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    int count = 0;
    for (RuleSetStruct *s = shaper->Sets; s != nullptr; s = s->Next)
        count++;
    return count;
}

RuleSetStruct *TrafficShape_FindRuleSet(TrafficShapeStruct *shaper, const char *id) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    ZYL_CHECK_PTR(id);
    uint32_t crc = 0;
    Zyl_StrCrc32(id, 1, &crc);
    for (RuleSetStruct *s = shaper->Sets; s != nullptr; s = s->Next) {
        if (s->IDCrc == crc && Zyl_StrEqual(s->ID, id))
            return s;
    }
    return nullptr;
}

static int InternalSpanHolds(const RuleSetStruct *set, int minute) {
    if (set->StartMinute == set->EndMinute)
        return 0;
    if (set->StartMinute < set->EndMinute)
        return minute >= set->StartMinute && minute < set->EndMinute;
    return minute >= set->StartMinute || minute < set->EndMinute;
}

// Chooses the first active set of each direction whose span holds now; a change
// makes every handle look its rule up again.
static void TrafficShape_SelectActiveRuleSets(TrafficShapeStruct *shaper) {
    int minute = InternalMinuteOfDay(shaper);
    for (int direction = 0; direction < 2; direction++) {
        RuleSetStruct *chosen = nullptr;
        for (RuleSetStruct *s = shaper->Sets; s != nullptr && chosen == nullptr; s = s->Next) {
            if (s->Active && s->Direction == direction && InternalSpanHolds(s, minute))
                chosen = s;
        }
        if (chosen != shaper->ActiveSet[direction]) {
            shaper->ActiveSet[direction] = chosen;
            for (int i = 0; i < shaper->LookupCount; i++)
                shaper->Lookups[i]->Cached[direction] = nullptr;
        }
    }
}

int TrafficShape_RuleSetSetActive(TrafficShapeStruct *shaper, RuleSetStruct *set, int value) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    ZYL_CHECK_TAG(set, kRuleSetTag);
    set->Active = value;
    TrafficShape_SelectActiveRuleSets(shaper);
    return 1;
}

int TrafficShape_RuleSetSetDirection(RuleSetStruct *set, TrafficShapeDirection direction) {
    ZYL_CHECK_TAG(set, kRuleSetTag);
    set->Direction = direction;
    return 1;
}

// Minute of the day of an "hh:mm" text; an end of 24:00 is the end of the day.
static int InternalParseMinuteOfDay(const char *text, int isEnd, int *minute) {
    int32_t minutes = 0;
    int ok = TrafficShape_ParseTime(text, &minutes);
    int hour = 0, min = 0, month = 0, day = 0, year = 0;
    Zyl_MinutesToDate(minutes, &hour, &min, &month, &day, &year);
    *minute = hour * 60 + min;
    if (ok && isEnd && *minute == 0) {
        int colon = 0;
        if (Zyl_StrFindChar(text, ':', &colon) && (Zyl_AtoI(text) & 0xFF) == 24)
            *minute = TRAFFICSHAPE_END_OF_DAY;
    }
    return ok;
}

int TrafficShape_RuleSetSetTimeSpan(RuleSetStruct *set, const char *start, const char *end) {
    ZYL_CHECK_TAG(set, kRuleSetTag);
    int ok = InternalParseMinuteOfDay(start ? start : "", 0, &set->StartMinute);
    ok &= InternalParseMinuteOfDay(end ? end : "", 1, &set->EndMinute);
    return ok;
}

int TrafficShape_RuleSetCreateRoot(RuleSetStruct *set, const char *id) {
    ZYL_CHECK_TAG(set, kRuleSetTag);
    if (set->Root == nullptr)
        set->Root = InternalRuleCreate(set, nullptr, id);
    return 1;
}

int TrafficShape_RuleSetGetRootHandle(RuleSetStruct *set) {
    ZYL_CHECK_TAG(set, kRuleSetTag);
    return set->Root != nullptr ? 1 : 0;
}

int TrafficShape_RuleCreate(RuleSetStruct *set, int parentHandle, const char *id) {
    ZYL_CHECK_TAG(set, kRuleSetTag);
    TSRuleStruct *parent = TrafficShape_RuleSetGetRule(set, parentHandle);
    if (parent == nullptr) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to find parent rule");
        return 0;
    }
    InternalRuleCreate(set, parent, id);
    return set->RuleCount;
}

static TSRuleStruct *InternalRuleByHandle(RuleSetStruct *set, int handle) {
    TSRuleStruct *rule = TrafficShape_RuleSetGetRule(set, handle);
    if (rule == nullptr)
        Zyl_Print("TrafficShape rule handle %d not in set '%s'\n", handle, set->ID);
    return rule;
}

int TrafficShape_RuleSetBandwidth(RuleSetStruct *set, int handle, int64_t bytesPerSecond) {
    TSRuleStruct *rule = InternalRuleByHandle(set, handle);
    if (rule == nullptr)
        return 0;
    rule->ConfiguredRate = bytesPerSecond;
    rule->CeilingRate = 0;
    return 1;
}

int TrafficShape_RuleSetCeilingRate(RuleSetStruct *set, int handle, int64_t percent) {
    return TrafficShape_RuleSetBandwidth(set, handle, percent);
}

int TrafficShape_RuleSetAssuredRate(RuleSetStruct *set, int handle, int64_t percentOrBytes) {
    TSRuleStruct *rule = InternalRuleByHandle(set, handle);
    if (rule == nullptr)
        return 0;
    rule->ConfiguredAssured = percentOrBytes;
    return 1;
}

int TrafficShape_RuleSetAllowBorrow(RuleSetStruct *set, int handle, int value) {
    TSRuleStruct *rule = InternalRuleByHandle(set, handle);
    if (rule == nullptr)
        return 0;
    rule->AllowBorrow = value;
    return 1;
}

int TrafficShape_RuleSetRegulated(RuleSetStruct *set, int handle, int value) {
    TSRuleStruct *rule = InternalRuleByHandle(set, handle);
    if (rule == nullptr)
        return 0;
    rule->Regulated = value;
    return 1;
}

int TrafficShape_ClearRuleSets(TrafficShapeStruct *shaper) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    while (shaper->Sets != nullptr) {
        RuleSetStruct *next = shaper->Sets->Next;
        InternalRuleSetDestroy(shaper->Sets);
        shaper->Sets = next;
    }
    shaper->ActiveSet[0] = shaper->ActiveSet[1] = nullptr;
    for (int i = 0; i < shaper->LookupCount; i++)
        shaper->Lookups[i]->Cached[0] = shaper->Lookups[i]->Cached[1] = nullptr;
    return 1;
}

static const char *TrafficShape_DirectionName(TrafficShapeDirection direction) {
    if (direction == TRAFFICSHAPE_OUTGOING)
        return "Outgoing";
    if (direction == TRAFFICSHAPE_INCOMING)
        return "Incoming";
    return "Unknown";
}

int TrafficShape_ParseDirection(const char *text, TrafficShapeDirection *direction) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(direction);
    if (Zyl_StrEqualNoCase(text, "Outgoing")) {
        *direction = TRAFFICSHAPE_OUTGOING;
        return 1;
    }
    if (Zyl_StrEqualNoCase(text, "Incoming")) {
        *direction = TRAFFICSHAPE_INCOMING;
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Shaper life and switches
// ---------------------------------------------------------------------------

int TrafficShape_Create(TrafficShapeStruct **shaper) {
    ZYL_CHECK_PTR(shaper);
    TrafficShapeStruct *s = ZYL_NEW(TrafficShapeStruct);
    s->Tag = kShaperTag;
    s->Verbose = 1;
    s->StatusInterval = 5.0;
    Mutex_Create(&s->Mutex);
    *shaper = s;
    return 1;
}

int TrafficShape_Destroy(TrafficShapeStruct **shaper) {
    if (shaper == nullptr || *shaper == nullptr)
        return 1;
    TrafficShapeStruct *s = *shaper;
    ZYL_CHECK_TAG(s, kShaperTag);
    if (!Mutex_Lock(s->Mutex, -1, __FILE__, __LINE__))
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Unable to lock TrafficShape mutex");
    TrafficShape_ClearRuleSets(s);
    for (int i = 0; i < s->LookupCount; i++)
        ZYL_FREE(s->Lookups[i], sizeof(TSLookupStruct));
    if (s->Lookups != nullptr)
        ZYL_FREE(s->Lookups, (int64_t)s->LookupCapacity * sizeof(TSLookupStruct *));
    Mutex_Unlock(s->Mutex, __FILE__, __LINE__);
    Mutex_Close(&s->Mutex);
    s->Tag = Zyl_DeadTag;
    ZYL_FREE(s, sizeof(TrafficShapeStruct));
    *shaper = nullptr;
    return 1;
}

// Starts a new second in a tree: each leaf's last-second rates become its
// current counts, which move into the totals.
static void TrafficShape_RuleRollRates(TSRuleStruct *rule) {
    if (rule->FirstChild == nullptr) {
        rule->Rate = rule->BytesAllowed;
        rule->RequestedRate = rule->BytesRequested;
        rule->TotalAllowed += rule->BytesAllowed;
        rule->TotalRequested += rule->BytesRequested;
        rule->BytesAllowed = rule->BytesRequested = 0;
        return;
    }
    for (TSRuleStruct *c = rule->FirstChild; c != nullptr; c = c->NextSibling)
        TrafficShape_RuleRollRates(c);
}

static void InternalRollActiveTrees(TrafficShapeStruct *shaper) {
    for (int d = 0; d < 2; d++) {
        if (shaper->ActiveSet[d] != nullptr && shaper->ActiveSet[d]->Root != nullptr)
            TrafficShape_RuleRollRates(shaper->ActiveSet[d]->Root);
    }
}

int TrafficShape_SetEnabled(TrafficShapeStruct *shaper, int value) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    shaper->Enabled = value;
    if (value)
        InternalRollActiveTrees(shaper);
    return 1;
}

int TrafficShape_SetLogging(TrafficShapeStruct *shaper, int value) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    shaper->Logging = value;
    return 1;
}

int TrafficShape_SetVerbose(TrafficShapeStruct *shaper, int value) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    shaper->Verbose = value;
    return 1;
}

int TrafficShape_SetAllowAssuredBorrow(TrafficShapeStruct *shaper, int value) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    shaper->AllowAssuredBorrow = value;
    return 1;
}

int TrafficShape_SetStatusInterval(TrafficShapeStruct *shaper, double seconds) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    shaper->StatusInterval = seconds;
    return 1;
}

int TrafficShape_SetClock(TrafficShapeStruct *shaper, TrafficShapeTickClock tick,
                          TrafficShapeDayClock day, void *context) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    shaper->TickClock = tick;
    shaper->DayClock = day;
    shaper->ClockContext = context;
    return 1;
}

int TrafficShape_Lock(TrafficShapeStruct *shaper) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    return Mutex_Lock(shaper->Mutex, -1, __FILE__, __LINE__);
}

int TrafficShape_Unlock(TrafficShapeStruct *shaper) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    return Mutex_Unlock(shaper->Mutex, __FILE__, __LINE__);
}

int TrafficShape_Restart(TrafficShapeStruct *shaper) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    if (!shaper->Enabled)
        return 1;
    if (!TrafficShape_Lock(shaper))
        return 0;
    TrafficShape_SelectActiveRuleSets(shaper);
    InternalRollActiveTrees(shaper);
    TrafficShape_Unlock(shaper);
    return 1;
}

// ---------------------------------------------------------------------------
// The tick
// ---------------------------------------------------------------------------

static void TrafficShape_PrintDirection(TrafficShapeStruct *shaper,
                                        TrafficShapeDirection direction);

// Inner rules' rates are the sums of their children's.
static void InternalRuleSumRates(TSRuleStruct *rule) {
    if (rule->FirstChild == nullptr)
        return;
    int64_t rate = 0;
    float requested = 0;
    for (TSRuleStruct *c = rule->FirstChild; c != nullptr; c = c->NextSibling) {
        InternalRuleSumRates(c);
        rate += c->Rate;
        requested += (float)c->RequestedRate;
    }
    rule->Rate = rate;
    rule->RequestedRate = (int64_t)ceilf(requested);
}

// Leaves earn ceiling x elapsed bytes, the fraction carried to the next tick,
// and never hold more than one second's worth.
static void TrafficShape_RuleRefill(TSRuleStruct *rule, double elapsed) {
    if (rule->FirstChild != nullptr) {
        for (TSRuleStruct *c = rule->FirstChild; c != nullptr; c = c->NextSibling)
            TrafficShape_RuleRefill(c, elapsed);
        return;
    }
    double earned = (double)rule->CeilingRate * elapsed + rule->RefillCarry;
    double whole = floor(earned);
    rule->RefillCarry = earned - whole;
    int64_t tokens = rule->Tokens + (int64_t)whole;
    if (tokens >= rule->CeilingRate) {
        tokens = rule->CeilingRate;
        rule->RefillCarry = 0;
    }
    TrafficShape_RuleSetTokens(rule, tokens);
}

// Lock held. Fatal at the first rule whose links or sums are wrong.
static void InternalCheckRule(const TSRuleStruct *rule) {
    int children = 0;
    int linked = 1;
    int64_t tokens = 0;
    for (const TSRuleStruct *c = rule->FirstChild; c != nullptr; c = c->NextSibling) {
        children++;
        linked &= c->Parent == rule;
        tokens += c->Tokens;
        InternalCheckRule(c);
    }
    if (children != rule->ChildCount || !linked || (children > 0 && tokens != rule->Tokens)) {
        ZYL_FATAL(
            "Shaper totals mismatch [%s] (children %d != %d, linked %d, tokens %lld != %lld)\n",
            rule->ID, children, rule->ChildCount, linked, (long long)tokens,
            (long long)rule->Tokens);
    }
}

static void InternalCheck(TrafficShapeStruct *shaper) {
    for (RuleSetStruct *set = shaper->Sets; set != nullptr; set = set->Next)
        if (set->Root != nullptr)
            InternalCheckRule(set->Root);
}

int TrafficShape_CheckInvariants(TrafficShapeStruct *shaper) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    if (!TrafficShape_Lock(shaper))
        return 0;
    InternalCheck(shaper);
    TrafficShape_Unlock(shaper);
    return 1;
}

int TrafficShape_Process(TrafficShapeStruct *shaper) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    if (!shaper->Enabled)
        return 1;
    if (!TrafficShape_Lock(shaper))
        return 0;
    TrafficShape_SelectActiveRuleSets(shaper);
    double now = InternalNow(shaper);
    double elapsed = shaper->LastTick > 0 ? now - shaper->LastTick : 0;
    if (elapsed < 0)
        elapsed = 0;
    shaper->LastTick = now;
    for (int d = 0; d < 2; d++) {
        RuleSetStruct *set = shaper->ActiveSet[d];
        if (set != nullptr && set->Root != nullptr) {
            InternalRuleSumRates(set->Root);
            TrafficShape_RuleRefill(set->Root, elapsed);
        }
    }
    shaper->StatusAccumulator += elapsed;
    if (shaper->StatusAccumulator > shaper->StatusInterval) {
        TrafficShape_PrintDirection(shaper, TRAFFICSHAPE_OUTGOING);
        TrafficShape_PrintDirection(shaper, TRAFFICSHAPE_INCOMING);
        shaper->BytesSent = shaper->BytesDropped = 0;
        shaper->StatusAccumulator -= shaper->StatusInterval;
    }
    shaper->SecondAccumulator += elapsed;
    if (shaper->SecondAccumulator > 1.0) {
        InternalRollActiveTrees(shaper);
        shaper->SecondAccumulator -= 1.0;
    }
#ifndef NDEBUG
    InternalCheck(shaper);
#endif
    TrafficShape_Unlock(shaper);
    return 1;
}

// ---------------------------------------------------------------------------
// Transfers
// ---------------------------------------------------------------------------

static TSLookupStruct *InternalLookup(TrafficShapeStruct *shaper, int handle) {
    if (handle < 1 || handle > shaper->LookupCount)
        return nullptr;
    return shaper->Lookups[handle - 1];
}

static TSRuleStruct *InternalFindClass(RuleSetStruct *set, uint32_t crc, const char *id) {
    for (int i = 0; i < set->RuleCount; i++) {
        if (set->Rules[i]->IDCrc == crc && Zyl_StrEqual(set->Rules[i]->ID, id))
            return set->Rules[i];
    }
    return nullptr;
}

// The rule a handle stands for in the active set of a direction (cached).
static TSRuleStruct *InternalRuleOfHandle(TrafficShapeStruct *shaper, int direction, int handle) {
    TSLookupStruct *entry = InternalLookup(shaper, handle);
    if (entry == nullptr || direction < 0 || direction > 1)
        return nullptr;
    if (entry->Cached[direction] == nullptr && shaper->ActiveSet[direction] != nullptr)
        entry->Cached[direction] =
            InternalFindClass(shaper->ActiveSet[direction], entry->ClassCrc, entry->ClassID);
    return entry->Cached[direction];
}

int TrafficShape_GetLookupHandleFromID(TrafficShapeStruct *shaper, TrafficShapeDirection direction,
                                       const char *classId, int *handle) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    ZYL_CHECK_PTR(classId);
    ZYL_CHECK_PTR(handle);
    *handle = 0;
    if (direction < 0 || direction > 1)
        return 0;
    if (!TrafficShape_Lock(shaper))
        return 0;
    int result = 0;
    TrafficShape_SelectActiveRuleSets(shaper);
    RuleSetStruct *set = shaper->ActiveSet[direction];
    char id[TRAFFICSHAPE_ID_SIZE];
    uint32_t crc = 0;
    InternalCopyId(id, &crc, classId);
    TSRuleStruct *rule = set ? InternalFindClass(set, crc, id) : nullptr;
    if (set == nullptr) {
        // No active set for the direction: nothing to bind to.
    } else if (rule == nullptr) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "TrafficShape unable to find class '%s' for RuleSet '%s'", classId, set->ID);
    } else if (rule->FirstChild != nullptr) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "TrafficShape cannot bind class '%s' - is not a leaf", classId);
    } else {
        for (int i = 0; i < shaper->LookupCount && *handle == 0; i++) {
            if (shaper->Lookups[i]->ClassCrc == crc &&
                Zyl_StrEqual(shaper->Lookups[i]->ClassID, id))
                *handle = i + 1;
        }
        if (*handle == 0) {
            if (shaper->LookupCount == shaper->LookupCapacity) {
                int capacity = shaper->LookupCapacity ? shaper->LookupCapacity * 2 : 8;
                TSLookupStruct **grown = static_cast<TSLookupStruct **>(
                    ZYL_ALLOC((int64_t)capacity * sizeof(TSLookupStruct *)));
                if (shaper->Lookups != nullptr) {
                    memcpy(grown, shaper->Lookups,
                           (size_t)shaper->LookupCount * sizeof(TSLookupStruct *));
                    ZYL_FREE(shaper->Lookups,
                             (int64_t)shaper->LookupCapacity * sizeof(TSLookupStruct *));
                }
                shaper->Lookups = grown;
                shaper->LookupCapacity = capacity;
            }
            TSLookupStruct *entry = ZYL_NEW(TSLookupStruct);
            Zyl_StrCopy(entry->ClassID, id, sizeof entry->ClassID);
            entry->ClassCrc = crc;
            shaper->Lookups[shaper->LookupCount++] = entry;
            *handle = shaper->LookupCount;
        }
        result = 1;
    }
    TrafficShape_Unlock(shaper);
    return result;
}

// Charges `amount` to the lendable tokens of a rule's children other than the
// borrowing leaf, in proportion to what each can lend.
static void TrafficShape_RuleChargeTokens(TSRuleStruct *rule, int64_t amount, TSRuleStruct *leaf) {
    if (amount <= 0)
        return;
    float childAmount = 0;
    for (TSRuleStruct *c = rule->FirstChild; c != nullptr; c = c->NextSibling) {
        if (c != leaf)
            childAmount += (float)TrafficShape_RuleGetAvailableTokens(c);
    }
    if (childAmount <= 0)
        return;
    for (TSRuleStruct *c = rule->FirstChild; c != nullptr; c = c->NextSibling) {
        if (c == leaf)
            continue;
        float part = (float)TrafficShape_RuleGetAvailableTokens(c) / childAmount;
        int64_t share = (int64_t)floor((double)part * (double)amount);
        if (c->FirstChild != nullptr) {
            TrafficShape_RuleChargeTokens(c, share, leaf);
        } else if (share > 0) {
            TrafficShape_RuleSetTokens(c, c->Tokens - share);
            InternalLog(rule->Owner, 1, "TrafficShape '%s'\tBorrow\t'%s'\t%d\n", leaf->ID, c->ID,
                        (int)share);
        }
    }
}

static void TrafficShape_RuleBorrowTokens(TSRuleStruct *leaf, int64_t deficit,
                                          TSRuleStruct *lender) {
    for (TSRuleStruct *r = leaf->Parent; r != nullptr && deficit > 0; r = r->Parent) {
        int64_t available = TrafficShape_RuleGetAvailableTokens(r);
        if (available >= deficit || r == lender) {
            TrafficShape_RuleChargeTokens(r, deficit, leaf);
            return;
        }
        TrafficShape_RuleChargeTokens(r, available, leaf);
        deficit -= available;
    }
}

// The nearest ancestor of a leaf that can lend more than `deficit` bytes, or null.
static TSRuleStruct *TrafficShape_RuleFindLender(TSRuleStruct *leaf, int64_t deficit) {
    TSRuleStruct *lender = leaf->Parent;
    while (lender != nullptr && TrafficShape_RuleGetAvailableTokens(lender) <= deficit)
        lender = lender->Parent;
    return lender;
}

static int TrafficShape_InternalAllowSend(TrafficShapeStruct *shaper, TSRuleStruct *leaf,
                                          int64_t length) {
    leaf->BytesRequested += length;
    if (leaf->Tokens + leaf->Allowance >= length) {
        TrafficShape_RuleSetTokens(leaf, leaf->Tokens - length);
        leaf->BytesAllowed += length;
        shaper->BytesSent += length;
        InternalLog(shaper, 0, "TrafficShape_InternalAllowSend leaf success '%s' Length %d\n",
                    leaf->ID, (int)length);
        return 1;
    }
    int64_t tokens = leaf->Tokens;
    int64_t own = tokens < length ? tokens : length;
    int64_t deficit = length - own;
    // The leaf's own tokens count as spent while lenders are looked for.
    TrafficShape_RuleSetTokens(leaf, tokens - own);
    TSRuleStruct *lender = TrafficShape_RuleFindLender(leaf, deficit);
    if (lender == nullptr) {
        TrafficShape_RuleSetTokens(leaf, tokens);
        shaper->BytesDropped += length;
        InternalLog(shaper, 0, "TrafficShape_InternalAllowSend leaf fail '%s' Length %d\n",
                    leaf->ID, (int)length);
        return 0;
    }
    TrafficShape_RuleBorrowTokens(leaf, deficit, lender);
    leaf->BytesAllowed += length;
    shaper->BytesSent += length;
    InternalLog(shaper, 0, "TrafficShape_InternalAllowSend borrow success '%s' '%s' Length %d\n",
                leaf->ID, lender->ID, (int)length);
    return 1;
}

int TrafficShape_AllowSend(TrafficShapeStruct *shaper, TrafficShapeDirection direction, int handle,
                           int64_t length) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    if (length <= 0)
        return 1;
    if (!TrafficShape_Lock(shaper))
        return 0;
    int allowed = 1;
    TSRuleStruct *rule = nullptr;
    if (shaper->Enabled && direction >= 0 && direction < 2 && shaper->ActiveSet[direction]) {
        rule = InternalRuleOfHandle(shaper, direction, handle);
        if (rule == nullptr)
            InternalLog(shaper, 0, "TrafficShape_AllowSend() Unable to find rule size [%d]\n",
                        (int)length);
    }
    if (rule != nullptr && rule->Regulated && rule->FirstChild == nullptr) {
        if (shaper->Logging && shaper->Verbose) {
            char when[64];
            Zyl_FormatDuration(InternalNow(shaper), 0xBFC, when, sizeof when);
            InternalLog(shaper, 1, "TR,%s,%d,%s\n", rule->ID, (int)length, when);
        }
        TSLookupStruct *entry = InternalLookup(shaper, handle);
        entry->BytesRequested += length;
        allowed = TrafficShape_InternalAllowSend(shaper, rule, length);
        if (allowed)
            entry->BytesAllowed += length;
    }
    TrafficShape_Unlock(shaper);
    return allowed;
}

int TrafficShape_SetAllowance(TrafficShapeStruct *shaper, int handle,
                              TrafficShapeDirection direction, int64_t value) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    if (!TrafficShape_Lock(shaper))
        return 0;
    TSRuleStruct *rule = InternalRuleOfHandle(shaper, direction, handle);
    if (rule != nullptr)
        rule->Allowance = value;
    TrafficShape_Unlock(shaper);
    return rule != nullptr;
}

int TrafficShape_GetAllowance(TrafficShapeStruct *shaper, int handle,
                              TrafficShapeDirection direction, int64_t *value) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    ZYL_CHECK_PTR(value);
    *value = 0;
    TSRuleStruct *rule = InternalRuleOfHandle(shaper, direction, handle);
    if (rule == nullptr)
        return 0;
    *value = rule->Allowance;
    return 1;
}

int TrafficShape_GetLookupCounters(TrafficShapeStruct *shaper, int handle, int64_t *allowed,
                                   int64_t *requested) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    ZYL_CHECK_PTR(allowed);
    ZYL_CHECK_PTR(requested);
    *allowed = *requested = 0;
    if (!TrafficShape_Lock(shaper))
        return 0;
    TSLookupStruct *entry = InternalLookup(shaper, handle);
    if (entry != nullptr) {
        *allowed = entry->BytesAllowed;
        *requested = entry->BytesRequested;
    }
    TrafficShape_Unlock(shaper);
    return entry != nullptr;
}

// ---------------------------------------------------------------------------
// Status
// ---------------------------------------------------------------------------

static void InternalStatusLine(const char *text) {
    InternalWriteStatusLog(text);
    Zyl_Print("%s", text);
}

static void InternalPrintRule(TrafficShapeStruct *shaper, const TSRuleStruct *rule, int depth) {
    char line[kLogLineSize];
    int at = 0;
    for (int i = 0; i < depth && at < 64; i++)
        line[at++] = '\t';
    line[at] = '\0';
    int64_t lendable = TrafficShape_RuleGetAvailableTokens(rule);
    if (rule->RequestedRate > 0) {
        double percent = (double)rule->Rate / (double)rule->RequestedRate * 100.0;
        Zyl_AppendFormat(line, sizeof line,
                         "ID '%s' CR/AR(%I64d/%I64d) CT/AT(%I64d/%I64d) Rate-%I64d/%I64d-%.2f%% "
                         "%I64d/%I64d M-%s",
                         rule->ID, rule->CeilingRate, rule->AssuredRateBytes, rule->Tokens,
                         lendable, rule->Rate, rule->RequestedRate, percent, rule->TotalAllowed,
                         rule->TotalRequested, TrafficShape_RuleGetStatus(rule));
    } else {
        Zyl_AppendFormat(line, sizeof line,
                         "ID '%s' CR/AR(%I64d/%I64d) CT/AT(%I64d/%I64d) Rate-%I64d/%I64d "
                         "%I64d/%I64d M-%s",
                         rule->ID, rule->CeilingRate, rule->AssuredRateBytes, rule->Tokens,
                         lendable, rule->Rate, rule->RequestedRate, rule->TotalAllowed,
                         rule->TotalRequested, TrafficShape_RuleGetStatus(rule));
    }
    Zyl_StrAppend(line, rule->Regulated ? "\n" : " Unregulated\n", sizeof line);
    InternalStatusLine(line);
    for (const TSRuleStruct *c = rule->FirstChild; c != nullptr; c = c->NextSibling)
        InternalPrintRule(shaper, c, depth + 1);
}

static void TrafficShape_PrintDirection(TrafficShapeStruct *shaper,
                                        TrafficShapeDirection direction) {
    RuleSetStruct *set = shaper->ActiveSet[direction];
    if (!shaper->Logging || !shaper->Verbose || set == nullptr || set->Root == nullptr)
        return;
    char line[kLogLineSize];
    Zyl_FormatString(line, sizeof line,
                     "'%s' Direction %s Rate %I64d/%I64d Bytes sent %I64d Bytes dropped %I64d\n",
                     set->ID, TrafficShape_DirectionName(direction), set->Root->Rate,
                     set->Root->RequestedRate, shaper->BytesSent, shaper->BytesDropped);
    InternalStatusLine(line);
    if (shaper->Enabled)
        InternalPrintRule(shaper, set->Root, 0);
}

int TrafficShape_Print(TrafficShapeStruct *shaper) {
    ZYL_CHECK_TAG(shaper, kShaperTag);
    if (!TrafficShape_Lock(shaper))
        return 0;
    TrafficShape_PrintDirection(shaper, TRAFFICSHAPE_OUTGOING);
    TrafficShape_PrintDirection(shaper, TRAFFICSHAPE_INCOMING);
    TrafficShape_Unlock(shaper);
    return 1;
}
