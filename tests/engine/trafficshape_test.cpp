// Traffic shaper: rate set-up, borrowing and denial, allowances, spans across
// midnight, the per-leaf refill remainder, and the configuration loader. Time
// comes from an injected clock; nothing sleeps.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "core/xml.h"
#include "engine/trafficshape.h"

namespace {

// The direction is a type of its own: AllowSend takes (direction, handle) and
// the allowance calls (handle, direction), so a swapped pair must not compile.
static_assert(std::is_invocable_v<decltype(TrafficShape_AllowSend), TrafficShapeStruct *,
                                  TrafficShapeDirection, int, int64_t>);
static_assert(!std::is_invocable_v<decltype(TrafficShape_AllowSend), TrafficShapeStruct *, int,
                                   TrafficShapeDirection, int64_t>);
static_assert(!std::is_invocable_v<decltype(TrafficShape_AllowSend), TrafficShapeStruct *, int, int,
                                   int64_t>);
static_assert(std::is_invocable_v<decltype(TrafficShape_SetAllowance), TrafficShapeStruct *, int,
                                  TrafficShapeDirection, int64_t>);
static_assert(!std::is_invocable_v<decltype(TrafficShape_SetAllowance), TrafficShapeStruct *,
                                   TrafficShapeDirection, int, int64_t>);
static_assert(!std::is_invocable_v<decltype(TrafficShape_GetAllowance), TrafficShapeStruct *,
                                   TrafficShapeDirection, int, int64_t *>);

struct FakeClock {
    double seconds = 1000.0;
    int minuteOfDay = 12 * 60;
};

double Tick(void *context) {
    return static_cast<FakeClock *>(context)->seconds;
}
int Day(void *context) {
    return static_cast<FakeClock *>(context)->minuteOfDay;
}

class Shaper : public ::testing::Test {
  protected:
    void SetUp() override {
        TrafficShape_Create(&shaper);
        TrafficShape_SetClock(shaper, Tick, Day, &clock);
    }
    void TearDown() override { TrafficShape_Destroy(&shaper); }

    // A root of `rootBytes` per second with two leaves "a" and "b".
    RuleSetStruct *TwoLeaves(int64_t rootBytes, int64_t ceilingA, int64_t ceilingB) {
        RuleSetStruct *set = TrafficShape_RuleSetCreate(shaper, "outgoing");
        TrafficShape_RuleSetCreateRoot(set, "root");
        TrafficShape_RuleSetBandwidth(set, 1, rootBytes);
        int a = TrafficShape_RuleCreate(set, 1, "a");
        int b = TrafficShape_RuleCreate(set, 1, "b");
        TrafficShape_RuleSetCeilingRate(set, a, ceilingA);
        TrafficShape_RuleSetCeilingRate(set, b, ceilingB);
        TrafficShape_RuleSetRecalculate(set);
        TrafficShape_RuleSetSetActive(shaper, set, 1);
        TrafficShape_SetEnabled(shaper, 1);
        return set;
    }

    int Handle(const char *id) {
        int handle = 0;
        EXPECT_EQ(1,
                  TrafficShape_GetLookupHandleFromID(shaper, TRAFFICSHAPE_OUTGOING, id, &handle));
        return handle;
    }

    void SetTokens(RuleSetStruct *set, const char *id, int64_t tokens) {
        // Refill through the tick so that the inner sums stay consistent.
        for (int h = 1; h <= set->RuleCount; h++) {
            TSRuleStruct *rule = TrafficShape_RuleSetGetRule(set, h);
            if (std::string(rule->ID) == id) {
                int64_t difference = tokens - rule->Tokens;
                for (TSRuleStruct *r = rule; r; r = r->Parent)
                    r->Tokens += difference;
            }
        }
    }

    TrafficShapeStruct *shaper = nullptr;
    FakeClock clock;
};

TEST_F(Shaper, CeilingsSharePercentagesOfTheRoot) {
    RuleSetStruct *half = TwoLeaves(102400, 50, 50);
    EXPECT_EQ(51200, TrafficShape_RuleSetGetRule(half, 2)->CeilingRate);
    EXPECT_EQ(51200, TrafficShape_RuleSetGetRule(half, 3)->CeilingRate);
    TrafficShape_ClearRuleSets(shaper);
    RuleSetStruct *full = TwoLeaves(102400, 100, 100);
    EXPECT_EQ(51200, TrafficShape_RuleSetGetRule(full, 2)->CeilingRate);
    EXPECT_EQ(51200, TrafficShape_RuleSetGetRule(full, 3)->CeilingRate);
}

TEST_F(Shaper, RefillHoldsAtMostOneSecond) {
    RuleSetStruct *set = TwoLeaves(20000, 50, 50);
    TrafficShape_Process(shaper);
    clock.seconds += 3;
    TrafficShape_Process(shaper);
    EXPECT_EQ(10000, TrafficShape_RuleSetGetRule(set, 2)->Tokens);
    EXPECT_EQ(20000, TrafficShape_RuleSetGetRule(set, 1)->Tokens);
}

TEST_F(Shaper, BorrowFromIdleSiblingOrDeny) {
    RuleSetStruct *set = TwoLeaves(102400, 50, 50);
    int a = Handle("a");
    SetTokens(set, "a", 800);
    SetTokens(set, "b", 1000);
    EXPECT_EQ(1, TrafficShape_AllowSend(shaper, TRAFFICSHAPE_OUTGOING, a, 1000));
    EXPECT_EQ(0, TrafficShape_RuleSetGetRule(set, 2)->Tokens);
    EXPECT_EQ(800, TrafficShape_RuleSetGetRule(set, 3)->Tokens);

    SetTokens(set, "a", 800);
    SetTokens(set, "b", 0);
    EXPECT_EQ(0, TrafficShape_AllowSend(shaper, TRAFFICSHAPE_OUTGOING, a, 1000));
    EXPECT_EQ(800, TrafficShape_RuleSetGetRule(set, 2)->Tokens); // a deny changes nothing
    EXPECT_EQ(1000, shaper->BytesDropped);

    int64_t allowed = 0, requested = 0;
    TrafficShape_GetLookupCounters(shaper, a, &allowed, &requested);
    EXPECT_EQ(1000, allowed);
    EXPECT_EQ(2000, requested);
    EXPECT_EQ(1, TrafficShape_CheckInvariants(shaper)); // borrowing kept the sums
}

TEST_F(Shaper, InnerTokensThatAreNotTheLeavesSumStopTheProgram) {
    RuleSetStruct *set = TwoLeaves(102400, 50, 50);
    SetTokens(set, "a", 800);
    EXPECT_EQ(1, TrafficShape_CheckInvariants(shaper));
    TrafficShape_RuleSetGetRule(set, 1)->Tokens = 500;
    EXPECT_DEATH(
        TrafficShape_CheckInvariants(shaper),
        "Shaper totals mismatch \\[root\\] \\(children 2 != 2, linked 1, tokens 800 != 500\\)");
    TrafficShape_RuleSetGetRule(set, 1)->Tokens = 800;
}

TEST_F(Shaper, AllowanceLetsALeafGoIntoDebt) {
    RuleSetStruct *set = TwoLeaves(102400, 50, 50);
    int a = Handle("a");
    SetTokens(set, "a", 200);
    ASSERT_EQ(1, TrafficShape_SetAllowance(shaper, a, TRAFFICSHAPE_OUTGOING, 500));
    int64_t allowance = 0;
    TrafficShape_GetAllowance(shaper, a, TRAFFICSHAPE_OUTGOING, &allowance);
    EXPECT_EQ(500, allowance);
    EXPECT_EQ(1, TrafficShape_AllowSend(shaper, TRAFFICSHAPE_OUTGOING, a, 600));
    EXPECT_EQ(-400, TrafficShape_RuleSetGetRule(set, 2)->Tokens);
}

TEST_F(Shaper, DisabledOrUnboundTrafficPasses) {
    RuleSetStruct *set = TwoLeaves(1000, 50, 50);
    int a = Handle("a");
    TrafficShape_SetEnabled(shaper, 0);
    EXPECT_EQ(1, TrafficShape_AllowSend(shaper, TRAFFICSHAPE_OUTGOING, a, 1 << 20));
    EXPECT_EQ(0, TrafficShape_RuleSetGetRule(set, 2)->BytesRequested);
    TrafficShape_SetEnabled(shaper, 1);
    EXPECT_EQ(1,
              TrafficShape_AllowSend(shaper, TRAFFICSHAPE_OUTGOING, 99, 1 << 20)); // unknown handle
    EXPECT_EQ(1,
              TrafficShape_AllowSend(shaper, TRAFFICSHAPE_INCOMING, a, 1 << 20)); // no incoming set
    int handle = 0;
    EXPECT_EQ(0, TrafficShape_GetLookupHandleFromID(shaper, TRAFFICSHAPE_OUTGOING, "root",
                                                    &handle)); // not a leaf
    EXPECT_EQ(0,
              TrafficShape_GetLookupHandleFromID(shaper, TRAFFICSHAPE_OUTGOING, "nope", &handle));
    EXPECT_EQ(0, handle);
    EXPECT_EQ(0, TrafficShape_RuleCreate(set, 42, "orphan"));
}

TEST_F(Shaper, TimeSpans) {
    struct Case {
        const char *start, *end;
        int minute;
        bool active;
    } cases[] = {
        {"22:00", "06:00", 23 * 60 + 30, true},  {"22:00", "06:00", 5 * 60 + 59, true},
        {"22:00", "06:00", 6 * 60, false},       {"00:00", "24:00", 23 * 60 + 59, true},
        {"00:00", "23:59", 23 * 60 + 59, false}, {"10:00", "10:00", 10 * 60, false},
        {"22:00", "", 23 * 60 + 59, true},       {"22:00", "", 21 * 60, false},
    };
    for (const Case &c : cases) {
        TrafficShape_ClearRuleSets(shaper);
        RuleSetStruct *set = TwoLeaves(1000, 50, 50);
        TrafficShape_RuleSetSetTimeSpan(set, c.start, c.end);
        clock.minuteOfDay = c.minute;
        TrafficShape_Process(shaper);
        EXPECT_EQ(c.active, shaper->ActiveSet[0] == set)
            << c.start << "-" << c.end << " at minute " << c.minute;
    }
    // Without a span a set holds all day, also in its last minute.
    TrafficShape_ClearRuleSets(shaper);
    RuleSetStruct *allDay = TwoLeaves(1000, 50, 50);
    clock.minuteOfDay = 23 * 60 + 59;
    TrafficShape_Process(shaper);
    EXPECT_EQ(allDay, shaper->ActiveSet[0]);
}

TEST_F(Shaper, FirstQualifyingSetWins) {
    RuleSetStruct *first = TwoLeaves(1000, 50, 50);
    RuleSetStruct *second = TrafficShape_RuleSetCreate(shaper, "second");
    TrafficShape_RuleSetSetActive(shaper, second, 1);
    EXPECT_EQ(first, shaper->ActiveSet[0]);
    TrafficShape_RuleSetSetActive(shaper, first, 0);
    EXPECT_EQ(second, shaper->ActiveSet[0]);
}

TEST_F(Shaper, SlowLeafGetsItsRateOnMillisecondTicks) {
    RuleSetStruct *set = TrafficShape_RuleSetCreate(shaper, "outgoing");
    TrafficShape_RuleSetCreateRoot(set, "root");
    TrafficShape_RuleSetBandwidth(set, 1, 500);
    TrafficShape_RuleSetCeilingRate(set, TrafficShape_RuleCreate(set, 1, "slow"), 100);
    TrafficShape_RuleSetRecalculate(set);
    TrafficShape_SetEnabled(shaper, 1);
    int slow = Handle("slow");
    int64_t sent = 0;
    TrafficShape_Process(shaper);
    for (int tick = 0; tick < 10000; tick++) {
        clock.seconds += 0.001;
        TrafficShape_Process(shaper);
        while (TrafficShape_AllowSend(shaper, TRAFFICSHAPE_OUTGOING, slow, 1))
            sent++;
    }
    EXPECT_NEAR(5000, sent, 1);
}

TEST_F(Shaper, LoadsConfiguration) {
    const char *text = R"(<Application><TrafficShape>
        <enabled>yes</enabled>
        <Bogus>1</Bogus>
        <Rules><RuleSet ID="ignored"><RuleRoot ID="r" Bandwidth="1"/></RuleSet></Rules>
        <Rules>
          <ruleset ID="skipped"/>
          <RuleSet ID="outgoing">
            <RuleRoot ID="root" Bandwidth="100">
              <Rule ID="peers" CeilingRate="50" AssuredRate="10"/>
              <Rule ID="web" CeilingRate="50" AllowBorrow="no"><Rule CeilingRate="5"/></Rule>
            </RuleRoot>
            <TimeSpan><StartTime>25:00</StartTime><EndTime>10:60</EndTime></TimeSpan>
            <Direction>incoming</Direction>
          </RuleSet>
          <RuleSet ID="hostile"><RuleRoot ID="x" Bandwidth="-5"><Rule ID="y" CeilingRate="99999999999"/></RuleRoot></RuleSet>
        </Rules>
      </TrafficShape></Application>)";
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    ASSERT_EQ(1, Xml_ParseBuffer(xml, text));
    ASSERT_EQ(1, TrafficShape_LoadConfig(shaper, xml));
    EXPECT_EQ(1, shaper->Enabled);
    EXPECT_EQ(2, TrafficShape_GetRuleSetCount(shaper));
    RuleSetStruct *set = TrafficShape_FindRuleSet(shaper, "outgoing");
    ASSERT_NE(nullptr, set);
    EXPECT_EQ(nullptr, TrafficShape_FindRuleSet(shaper, "ignored"));
    EXPECT_EQ(102400, set->Root->CeilingRate);
    EXPECT_EQ(3, set->RuleCount); // the rule without ID is dropped
    EXPECT_EQ(0, TrafficShape_RuleSetGetRule(set, 3)->AllowBorrow);
    EXPECT_EQ(TRAFFICSHAPE_INCOMING, set->Direction);
    EXPECT_EQ(0, set->StartMinute);     // 25:00 is refused and read as 00:00
    EXPECT_EQ(11 * 60, set->EndMinute); // 10:60 carries into 11:00
    RuleSetStruct *hostile = TrafficShape_FindRuleSet(shaper, "hostile");
    ASSERT_NE(nullptr, hostile);
    EXPECT_EQ(0, hostile->Root->CeilingRate);

    XmlStruct *none = nullptr;
    Xml_Create(&none);
    Xml_ParseBuffer(none, "<Application/>");
    EXPECT_EQ(0, TrafficShape_LoadConfig(shaper, none));
    Xml_Destroy(&none);
    Xml_Destroy(&xml);
}

TEST_F(Shaper, SurvivesDeeplyNestedConfiguration) {
    std::string text = "<Application><TrafficShape><Rules><RuleSet ID=\"deep\"><RuleRoot ID=\"0\" "
                       "Bandwidth=\"10\">";
    for (int i = 1; i < 2000; i++)
        text += "<Rule ID=\"" + std::to_string(i) + "\" CeilingRate=\"100\">";
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    Xml_ParseBuffer(xml, text.c_str());
    EXPECT_EQ(1, TrafficShape_LoadConfig(shaper, xml));
    RuleSetStruct *set = TrafficShape_FindRuleSet(shaper, "deep");
    ASSERT_NE(nullptr, set);
    EXPECT_LE(set->RuleCount, 300); // bounded by the reader's depth limit
    Xml_Destroy(&xml);
}

} // namespace
