// The alarm lifecycle of one device: raises and clears from evaluations, a
// restart from the store's active rows, the comm-lost alarm, and instance
// identity over the reports of a large configuration made by the real device.
#include <gtest/gtest.h>

#include <set>

#include "alarm_tracker.h"
#include "alarms/alarm_cycle.h"

namespace {

using namespace krthost::site;

RuleReport R(const std::string& key, const std::string& desc, bool active, int seq = 1) {
  return {2, key, "06029", "name " + key, desc, active, static_cast<unsigned short>(seq)};
}

// Events as "+key/desc" and "-key/desc".
std::vector<std::string> Text(const std::vector<AlarmEvent>& events) {
  std::vector<std::string> out;
  for (const AlarmEvent& e : events)
    out.push_back((e.raised ? "+" : "-") + e.alarm().key + "/" + e.alarm().desc);
  return out;
}

TEST(AlarmTracker, EvaluationsRaiseAndClear) {
  const struct Step {
    const char* what;
    std::vector<RuleReport> reports;
    std::vector<std::string> events;
  } steps[] = {
      {"raise in report order", {R("b", "1", true), R("a", "1", true), R("a", "2", false)},
       {"+b/1", "+a/1"}},
      {"still active: nothing", {R("a", "1", true), R("b", "1", true)}, {}},
      {"same key, other desc is another instance", {R("a", "1", true), R("b", "1", true),
        R("a", "2", true)}, {"+a/2"}},
      {"cleared by an inactive report", {R("a", "1", true), R("b", "1", false), R("a", "2", true)},
       {"-b/1"}},
      {"cleared by absence", {R("a", "2", true)}, {"-a/1"}},
      {"duplicates: active wins, raised once",
       {R("c", "1", false), R("c", "1", true, 7), R("c", "1", true, 8), R("a", "2", false),
        R("a", "2", true)},
       {"+c/1"}},
      {"all absent", {}, {"-a/2", "-c/1"}},
  };
  AlarmTracker t(9, "room", {});
  for (const Step& s : steps) {
    const auto events = t.Evaluate(s.reports, s.what);
    EXPECT_EQ(Text(events), s.events) << s.what;
    for (const AlarmEvent& e : events) {
      EXPECT_EQ(e.time, s.what);
      EXPECT_EQ(e.device, "room");
      EXPECT_EQ(e.alarm().device_id, 9u);
      EXPECT_EQ(e.raised ? e.alarm().raised_at : e.alarm().cleared_at, s.what);
      if (e.alarm().key == "c") {
        EXPECT_EQ(e.alarm().seq, 7) << "kept as reported at the raise";
      }
    }
  }
  EXPECT_TRUE(t.Active().empty());
}

TEST(AlarmTracker, RestartFromStoreRaisesNothingTwice) {
  AlarmInstance a{9, "a", "06029", 1, 2, "name a", "1", "earlier", ""};
  AlarmInstance lost{9, std::string(kCommLostKey), "", 0, kCommLostKind,
                     std::string(kCommLostName), "old name 通信中断", "earlier", ""};
  AlarmTracker t(9, "room", {a, lost});
  EXPECT_TRUE(t.CommLost());
  EXPECT_TRUE(t.Evaluate({R("a", "1", true)}, "t1").empty());
  EXPECT_EQ(Text(t.Evaluate({R("b", "1", true)}, "t2")), (std::vector<std::string>{"+b/1", "-a/1"}));
  EXPECT_EQ(t.Active().size(), 2u);  // comm lost and b
  const auto cleared = t.SetCommLost(false, "t3");
  ASSERT_TRUE(cleared);
  EXPECT_EQ(cleared->alarm().desc, "old name 通信中断");
  EXPECT_EQ(cleared->alarm().raised_at, "earlier");
  EXPECT_FALSE(t.CommLost());
}

TEST(AlarmTracker, CommLostOnlyMovesBySetCommLost) {
  AlarmTracker t(4, "dc-a", {});
  EXPECT_FALSE(t.SetCommLost(false, "t0"));
  const auto raised = t.SetCommLost(true, "t1");
  ASSERT_TRUE(raised);
  EXPECT_TRUE(raised->raised);
  const AlarmInstance& a = raised->alarm();
  EXPECT_EQ(a.key, kCommLostKey);
  EXPECT_EQ(a.nm_id, "");
  EXPECT_EQ(a.seq, 0);
  EXPECT_EQ(a.kind, 2);
  EXPECT_EQ(a.name, "通信中断");
  EXPECT_EQ(a.desc, "dc-a 通信中断");
  EXPECT_EQ(a.raised_at, "t1");
  EXPECT_FALSE(t.SetCommLost(true, "t2"));
  EXPECT_TRUE(t.Evaluate({}, "t3").empty());
  EXPECT_TRUE(t.Evaluate({R(std::string(kCommLostKey), a.desc, false)}, "t4").empty());
  EXPECT_TRUE(t.CommLost());
  const auto cleared = t.SetCommLost(false, "t5");
  ASSERT_TRUE(cleared);
  EXPECT_FALSE(cleared->raised);
  EXPECT_EQ(cleared->alarm().cleared_at, "t5");
  EXPECT_FALSE(t.CommLost());
}

// The same reports twice raise nothing the second time, unless the active
// set changed in between: a report under the comm-lost key is an instance
// like any other, which SetCommLost clears, and the next evaluation raises
// it again.
TEST(AlarmTracker, RepeatedReportsAfterAnotherChangeAreEvaluatedAgain) {
  AlarmTracker t(4, "dc-a", {});
  const std::vector<RuleReport> reports{R("a", "1", true), R(std::string(kCommLostKey), "x", true)};
  const std::vector<std::string> raised{"+a/1", "+" + std::string(kCommLostKey) + "/x"};
  EXPECT_EQ(Text(t.Evaluate(reports, "t1")), raised);
  EXPECT_TRUE(t.Evaluate(reports, "t2").empty());
  ASSERT_TRUE(t.SetCommLost(false, "t3"));
  EXPECT_EQ(Text(t.Evaluate(reports, "t4")), std::vector<std::string>{raised[1]});
  EXPECT_EQ(Text(t.Evaluate({reports[1]}, "t5")), std::vector<std::string>{"-a/1"});
  EXPECT_TRUE(t.Evaluate({reports[1]}, "t6").empty());
}

// 60 modules, 255 AC and 255 DC units through one real cycle of the default
// rule set: every report is an instance of its own, so with all of them
// active the tracker raises each once and none merge.
TEST(AlarmTracker, IdentityIsUniqueOverALargeConfiguration) {
  testing_support::DeviceFixture f(alarm_cycle::config("0", 255, 255));
  alarm_cycle::run_cycle(f, std::vector<alarm_cycle::Module>(60), {});
  const auto& reports = f.controller->reports;
  ASSERT_EQ(reports.size(), 29u * 60 + 464 + 115u * 255 + 547u * 255 + 18);
  std::vector<RuleReport> all_active;
  std::set<std::pair<std::string, std::string>> ids;
  for (const auto& r : reports) {
    all_active.push_back({r.kind, r.key, r.nm_id, r.name, r.desc, true, r.seq});
    ids.emplace(r.key, r.desc);
  }
  EXPECT_EQ(ids.size(), reports.size()) << "two rules share a (key, desc)";
  AlarmTracker t(1, "big", {});
  EXPECT_EQ(t.Evaluate(all_active, "t1").size(), reports.size());
  EXPECT_TRUE(t.Evaluate(all_active, "t2").empty());
  EXPECT_EQ(t.Evaluate({}, "t3").size(), reports.size());
}

}  // namespace
