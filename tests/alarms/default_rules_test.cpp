// The default rule set on devices driven through real poll cycles: which
// modes run it, how many reports each family makes and in which order, the
// running numbers, and which alarm-list entries raise which rules.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alarm_cycle.h"
#include "alarms/frame.h"

using alarm_cycle::Entry;
using alarm_cycle::Module;
using testing_support::DeviceFixture;
using testing_support::Report;

namespace {

struct Setup {
  int modules = 1;
  int ac = 1;
  int dc = 1;
  std::vector<Entry> alarms{};
  std::vector<Module> module_states{};  // overrides `modules` when not empty
};

std::vector<Report> evaluate(const Setup& s, const std::string& mode = "0") {
  DeviceFixture f(alarm_cycle::config(mode, s.ac, s.dc));
  std::vector<Module> modules = s.module_states;
  if (modules.empty()) modules.resize(static_cast<std::size_t>(s.modules));
  alarm_cycle::run_cycle(f, modules, s.alarms);
  EXPECT_EQ(f.controller->snapshots.size(), 1u) << "the cycle did not end";
  return f.controller->reports;
}

std::size_t expected_reports(int modules, int ac, int dc) {
  return static_cast<std::size_t>(29 * modules + 464 + 115 * ac + (1 + 495 + 51) * dc + 18);
}

unsigned short seq_of(const std::vector<Report>& reports, const std::string& key) {
  const Report* r = alarm_cycle::find(reports, key);
  EXPECT_NE(r, nullptr) << key;
  return r ? r->seq : 0;
}

std::vector<unsigned short> seqs_with_nm_id(const std::vector<Report>& reports,
                                            const std::string& nm_id, std::size_t first,
                                            std::size_t end) {
  std::vector<unsigned short> out;
  for (std::size_t i = first; i < end && i < reports.size(); ++i)
    if (reports[i].nm_id == nm_id) out.push_back(reports[i].seq);
  return out;
}

// ---------------------------------------------------------------- modes

struct ModeCase {
  const char* config;
  bool runs_default_set;
};

TEST(DefaultRuleSet, RunsInEveryModeButOneTwoAndThree) {
  const ModeCase cases[] = {
      {R"({"appSetting":{"ac_number":"1","dc_number":"1"}})", false},  // absent: mode 1
      {R"({"appSetting":{"b_mode":"1","ac_number":"1","dc_number":"1"}})", false},
      {R"({"appSetting":{"b_mode":"3","ac_number":"1","dc_number":"1"}})", false},
      {R"({"appSetting":{"b_mode":"0","ac_number":"1","dc_number":"1"}})", true},
      {R"({"appSetting":{"b_mode":"-1","ac_number":"1","dc_number":"1"}})", true},
      {R"({"appSetting":{"b_mode":"7","ac_number":"1","dc_number":"1"}})", true},
  };
  for (const ModeCase& c : cases) {
    DeviceFixture f(c.config);
    alarm_cycle::run_cycle(f, {Module{}}, {{1, 12, 1}});
    ASSERT_EQ(f.controller->snapshots.size(), 1u) << c.config;
    EXPECT_EQ(f.controller->reports.size(), c.runs_default_set ? expected_reports(1, 1, 1) : 0u)
        << c.config;
    for (const Report& r : f.controller->reports) ASSERT_EQ(r.kind, 2);
  }
}

// --------------------------------------------------------- counts, order

TEST(DefaultRuleSet, ReportsEveryRuleOfEveryFamilyInFamilyOrder) {
  struct Case {
    int modules, ac, dc;
  };
  for (const Case c : {Case{1, 1, 0}, Case{2, 2, 2}, Case{3, 1, 1}}) {
    SCOPED_TRACE(testing::Message() << c.modules << " modules, " << c.ac << " AC, " << c.dc << " DC");
    const auto reports = evaluate({.modules = c.modules, .ac = c.ac, .dc = c.dc});
    ASSERT_EQ(reports.size(), expected_reports(c.modules, c.ac, c.dc));
    for (const Report& r : reports) EXPECT_FALSE(r.active) << r.key;

    // First report of each family, at the position the earlier families fix.
    const std::size_t battery = 29u * c.modules;
    const std::size_t ac = battery + 464;
    const std::size_t dc = ac + 115u * c.ac;
    const std::size_t system = dc + 547u * c.dc;
    EXPECT_EQ(reports[0].key, "hvr38qt_0");
    EXPECT_EQ(reports[battery - 1].key, "hvr38qt_8_0");
    EXPECT_EQ(reports[battery].key, "hvr38qt_06003_temperature_1");
    EXPECT_EQ(reports[ac - 1].key, "hvr38qt_06007_fuse_64");
    EXPECT_EQ(reports[ac].key, "hvr38qt_06014_ac1high_1");
    EXPECT_EQ(reports[dc - 1].key, "hvr38qt_06007_branchoutput_" + std::to_string(c.ac) + "_72");
    if (c.dc > 0) {
      EXPECT_EQ(reports[dc].key, "hvr38qt_06011_dccomm_1");
      EXPECT_EQ(reports[dc + c.dc].key, "hvr38qt_06042_1_1");
      // Each unit: 495 DC rows, then its 51 battery, cabinet and
      // environment rows.
      EXPECT_EQ(reports[dc + c.dc + 495].key, "hvr38qt_06005_discharge_505_1");
      EXPECT_EQ(reports[system - 1].key, "hvr38qt_06039_555_" + std::to_string(c.dc));
    }
    EXPECT_EQ(reports[system].key, "hvr38qt_06016_acdown_17");
    EXPECT_EQ(reports.back().key, "hvr38qt_06029_35");
  }
}

TEST(DefaultRuleSet, NoModulesMeansNoModuleRowsAndCountersFromOne) {
  DeviceFixture f(alarm_cycle::config("0", 1, 0));
  alarm_cycle::run_unchanged_first_cycle(f);
  const auto& reports = f.controller->reports;
  ASSERT_EQ(reports.size(), expected_reports(0, 1, 0));
  EXPECT_EQ(reports[0].key, "hvr38qt_06003_temperature_1");
  EXPECT_EQ(seq_of(reports, "hvr38qt_06029_voltage_1"), 1);
  EXPECT_EQ(seq_of(reports, "hvr38qt_06028_comm1"), 1);
}

TEST(DefaultRuleSet, KeysOfOneAcUnitAreDistinct) {
  const auto reports = evaluate({.ac = 1, .dc = 0});
  std::set<std::string> keys;
  for (std::size_t i = 29 + 464; i < 29 + 464 + 115; ++i) keys.insert(reports[i].key);
  EXPECT_EQ(keys.size(), 115u);
  EXPECT_TRUE(keys.count("hvr38qt_06014_in_1"));
  EXPECT_TRUE(keys.count("hvr38qt_06029_atsmanual_1"));
}

// ------------------------------------------------------------------ seq

TEST(DefaultRuleSetSeq, CountersRunAcrossFamilies) {
  const auto one = evaluate({.modules = 1, .ac = 1, .dc = 1});
  EXPECT_EQ(seqs_with_nm_id(one, "06029", 0, 29), (std::vector<unsigned short>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(seq_of(one, "hvr38qt_06029_voltage_1"), 8);
  EXPECT_EQ(seqs_with_nm_id(one, "06028", 0, 29), (std::vector<unsigned short>{1, 2, 3, 4, 5}));

  const auto two = evaluate({.modules = 2, .ac = 2, .dc = 1});
  EXPECT_EQ(seqs_with_nm_id(two, "06029", 29, 58),
            (std::vector<unsigned short>{8, 9, 10, 11, 12, 13, 14}));
  EXPECT_EQ(two[29].desc, "第2整流模块整流模块故障告警");
  EXPECT_EQ(two[29].key, "hvr38qt_0");
}

TEST(DefaultRuleSetSeq, BatteryAndModuleFamiliesFollowTheModuleRows) {
  // Seq of index 1 of each family with two modules: 06029 runs on after the
  // module rows (7 per module), 06028 (5 per module) and 06025 (1) too.
  const auto reports = evaluate({.modules = 2, .ac = 1, .dc = 0});
  const std::map<std::string, unsigned short> first = {
      {"hvr38qt_06003_temperature_1", 1}, {"hvr38qt_06082_cut_1", 1},
      {"hvr38qt_06070_temperature_1", 1}, {"hvr38qt_06029_voltage_1", 15},
      {"hvr38qt_06029_test_1", 31},       {"hvr38qt_06028_comm1", 11},
      {"hvr38qt_06029_voltagelimit_1", 47}, {"hvr38qt_06032_shutdown_1", 1},
      {"hvr38qt_06029_limit_1", 111},     {"hvr38qt_06025_fan_1", 3},
      {"hvr38qt_06007_fuse_1", 1},
  };
  for (const auto& [key, seq] : first) EXPECT_EQ(seq_of(reports, key), seq) << key;
  EXPECT_EQ(seq_of(reports, "hvr38qt_06029_limit_64"), 174);
}

TEST(DefaultRuleSetSeq, AcPowerFailureRowsCountUnder06016) {
  const auto reports = evaluate({.ac = 2, .dc = 0});
  const struct {
    const char* key;
    unsigned short seq;
  } rows[] = {{"hvr38qt_06017_ac1off_1", 1}, {"hvr38qt_06017_ac2off_1", 2},
              {"hvr38qt_06017_ac1off_2", 3}, {"hvr38qt_06017_ac2off_2", 4}};
  for (const auto& row : rows) {
    const Report* r = alarm_cycle::find(reports, row.key);
    ASSERT_NE(r, nullptr) << row.key;
    EXPECT_EQ(r->seq, row.seq) << row.key;
    EXPECT_EQ(r->nm_id, "06017") << row.key;
  }
  // The system's 06016 row counts on after the AC units.
  EXPECT_EQ(seq_of(reports, "hvr38qt_06016_acdown_17"), 5);
  // The 06017 counter itself only counts the rows that use it as counter.
  EXPECT_EQ(seq_of(reports, "hvr38qt_06017_ac2miss_2"), 2 + 4);
}

TEST(DefaultRuleSetSeq, SystemBatteryRowsFollowTheDischargeRows) {
  const struct {
    int dc;
    unsigned short seq20, seq21;
  } cases[] = {{0, 1, 2}, {1, 9, 10}, {2, 17, 18}};
  for (const auto& c : cases) {
    const auto reports = evaluate({.ac = 1, .dc = c.dc});
    EXPECT_EQ(seq_of(reports, "hvr38qt_06004_20"), c.seq20) << c.dc;
    EXPECT_EQ(seq_of(reports, "hvr38qt_06029_21"), c.seq21) << c.dc;
    EXPECT_EQ(alarm_cycle::find(reports, "hvr38qt_06004_20")->nm_id, "06005");
  }
}

TEST(DefaultRuleSetSeq, DcRow19CountsUnder06007) {
  const auto reports = evaluate({.ac = 1, .dc = 2});
  const Report* row19 = alarm_cycle::find(reports, "hvr38qt_06007_dc_339_1");
  ASSERT_NE(row19, nullptr);
  EXPECT_EQ(row19->nm_id, "06010");
  // 64 module fuse rows, 75 per AC unit, then unit 1: row 3, 240 branch
  // switch rows, row 14, row 19.
  EXPECT_EQ(seq_of(reports, "hvr38qt_06007_dc_3_1"), 64 + 75 + 1);
  EXPECT_EQ(seq_of(reports, "hvr38qt_06007_dc_171_1"), 64 + 75 + 1 + 240 + 1);
  EXPECT_EQ(row19->seq, 64 + 75 + 1 + 240 + 2);
  EXPECT_EQ(seq_of(reports, "hvr38qt_06007_dc_3_2"), row19->seq + 1);
}

TEST(DefaultRuleSetSeq, DcUnitExtrasCountPerUnit) {
  const auto reports = evaluate({.ac = 1, .dc = 2});
  for (unsigned m = 1; m <= 2; ++m) {
    const std::string u = std::to_string(m);
    EXPECT_EQ(seq_of(reports, "hvr38qt_06011_dccomm_" + u), m);
    EXPECT_EQ(seq_of(reports, "hvr38qt_06005_discharge_505_" + u), 8 * (m - 1) + 1);
    EXPECT_EQ(seq_of(reports, "hvr38qt_06038_switch_520_" + u), 8 * (m - 1) + 8);
    EXPECT_EQ(seq_of(reports, "hvr38qt_06038_lietou_520_" + u + "_32"), 32 * (m - 1) + 32);
    EXPECT_EQ(seq_of(reports, "hvr38qt_06039_554_" + u), 3 * (m - 1) + 2);
  }
}

TEST(DefaultRuleSetSeq, EveryEvaluationStartsAfresh) {
  DeviceFixture f(alarm_cycle::config("0", 2, 1));
  alarm_cycle::run_cycle(f, {Module{}, Module{}}, {{1, 12, 13}});
  const auto first = f.controller->reports;
  f.controller->Clear();
  alarm_cycle::run_cycle(f, {Module{}, Module{}}, {{1, 12, 13}});
  ASSERT_EQ(f.controller->reports.size(), first.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(f.controller->reports[i].seq, first[i].seq) << first[i].key;
    EXPECT_EQ(f.controller->reports[i].active, first[i].active) << first[i].key;
  }
}

// The largest installation: 255 AC and 255 DC units. The 06007 counter
// passes 65535 and wraps; unit codes stop at 65535.
TEST(DefaultRuleSetSeq, LargestInstallationWrapsAndLimitsUnitCodes) {
  const auto reports = evaluate({.ac = 255,
                                 .dc = 255,
                                 .alarms = {{118, 14, 65535},
                                            {117, 14, 65515},
                                            {119, 14, 65535},
                                            {119, 14, 0},
                                            {255, 12, 160}}});
  ASSERT_EQ(reports.size(), expected_reports(1, 255, 255));
  // Every report counted by 06007 (NM id 06007, and 06010 of DC row 19)
  // carries the next number modulo 65536.
  unsigned expected = 0;
  bool wrapped = false;
  for (const Report& r : reports) {
    if (r.nm_id != "06007" && r.nm_id != "06010") continue;
    expected = (expected + 1) & 0xFFFF;
    ASSERT_EQ(r.seq, expected) << r.key;
    wrapped = wrapped || r.seq == 0;
  }
  EXPECT_TRUE(wrapped);
  EXPECT_EQ(expected, (64u + 75u * 255u + 243u * 255u) & 0xFFFFu);
  // 65535 in unit 118 is offset 15: the switch of branch 7. Unit 117 reaches
  // offset 555; unit 119's block lies above 65535.
  EXPECT_EQ(alarm_cycle::active_keys(reports),
            (std::set<std::string>{"hvr38qt_06007_dcouput_118_7", "hvr38qt_06039_555_117",
                                   "hvr38qt_06007_branchoutput_255_72"}));
}

// ------------------------------------------------------------- matching

struct MatchCase {
  const char* what;
  Setup setup;
  std::set<std::string> active;
};

TEST(DefaultRuleSetMatching, EntriesRaiseExactlyTheirRules) {
  const MatchCase cases[] = {
      // Battery groups and modules: the code is the index.
      {"group A1-1", {.alarms = {{0, 1, 9}}}, {"hvr38qt_06003_temperature_9"}},
      {"module comm", {.alarms = {{5, 6, 3}}}, {"hvr38qt_06028_comm3"}},
      {"index above 16", {.alarms = {{0, 2, 17}}}, {}},
      {"module 64", {.alarms = {{0, 11, 64}, {0, 11, 65}, {0, 11, 0}}}, {"hvr38qt_06007_fuse_64"}},
      {"duplicates", {.alarms = {{0, 5, 5}, {0, 5, 5}}}, {"hvr38qt_06029_test_5"}},
      // AC units: category 12, the unit byte selects the unit.
      {"AC unit 2", {.ac = 2, .alarms = {{2, 12, 1}}}, {"hvr38qt_06014_ac1high_2"}},
      {"AC unit 0 and above ac_number", {.ac = 2, .alarms = {{0, 12, 1}, {3, 12, 1}}}, {}},
      {"AC code in other categories", {.dc = 0, .alarms = {{1, 13, 1}, {1, 14, 1}}}, {}},
      {"AC branches 1 and 72", {.alarms = {{1, 12, 89}, {1, 12, 160}}},
       {"hvr38qt_06007_branchoutput_1_1", "hvr38qt_06007_branchoutput_1_72"}},
      {"AC codes no row names",
       {.alarms = {{1, 12, 0}, {1, 12, 2}, {1, 12, 3}, {1, 12, 5}, {1, 12, 6}, {1, 12, 10},
                   {1, 12, 11}, {1, 12, 15}, {1, 12, 16}, {1, 12, 18}, {1, 12, 19}, {1, 12, 21},
                   {1, 12, 22}, {1, 12, 26}, {1, 12, 27}, {1, 12, 31}, {1, 12, 48}, {1, 12, 70},
                   {1, 12, 72}, {1, 12, 75}, {1, 12, 77}, {1, 12, 80}, {1, 12, 83}, {1, 12, 88},
                   {1, 12, 161}, {1, 12, 65535}}},
       {}},
      // DC communication: category 13, the code names the unit.
      {"DC comm", {.dc = 2, .alarms = {{7, 13, 2}, {1, 13, 0}}}, {"hvr38qt_06011_dccomm_2"}},
      // DC units: category 14, unit byte and code block 560 × (m − 1).
      {"DC unit 2 row 1", {.dc = 2, .alarms = {{2, 14, 561}}}, {"hvr38qt_06042_1_2"}},
      {"DC code of the other unit", {.dc = 2, .alarms = {{1, 14, 561}, {2, 14, 1}}}, {}},
      {"DC branch switch 1 and 80", {.alarms = {{1, 14, 9}, {1, 14, 88}}},
       {"hvr38qt_06007_dcouput_1_1", "hvr38qt_06007_dcouput_1_80"}},
      {"DC branch over-current 1", {.alarms = {{1, 14, 89}}}, {"hvr38qt_06006_dcovercurrent_1_1"}},
      {"DC offset 256 twice", {.dc = 2, .alarms = {{2, 14, 560 + 256}}},
       {"hvr38qt_06007_dcoutput_a_2_80", "hvr38qt_06006_dcovercurrent_a_2_1"}},
      {"DC offsets no row names",
       {.alarms = {{1, 14, 6}, {1, 14, 7}, {1, 14, 8}, {1, 14, 174}, {1, 14, 175}, {1, 14, 176},
                   {1, 14, 336}, {1, 14, 342}, {1, 14, 343}, {1, 14, 344}, {1, 14, 556}, {1, 14, 559}}},
       {}},
      {"DC row 19", {.alarms = {{1, 14, 339}}}, {"hvr38qt_06007_dc_339_1"}},
      // Battery, cabinet and environment rows of a DC unit.
      {"discharge unit 1", {.dc = 2, .alarms = {{1, 14, 505}}}, {"hvr38qt_06005_discharge_505_1"}},
      {"discharge code of unit 1 listed for unit 2", {.dc = 2, .alarms = {{2, 14, 505}, {1, 14, 1065}}}, {}},
      {"discharge unit 2", {.dc = 2, .alarms = {{2, 14, 1065}}}, {"hvr38qt_06005_discharge_505_2"}},
      {"cabinets 1 and 32, environment high",
       {.alarms = {{1, 14, 521}, {1, 14, 552}, {1, 14, 553}}},
       {"hvr38qt_06038_lietou_520_1_1", "hvr38qt_06038_lietou_520_1_32", "hvr38qt_06039_553_1"}},
      {"switch of group 4", {.alarms = {{1, 14, 516}}}, {"hvr38qt_06038_switch_516_1"}},
      {"right code, other category", {.alarms = {{1, 12, 505}, {1, 13, 553}}}, {}},
      // System rows: the category alone.
      {"category 18 thrice", {.alarms = {{0, 18, 1}, {9, 18, 700}, {3, 18, 0}}}, {"hvr38qt_06029_18"}},
      {"categories without rows", {.alarms = {{1, 15, 1}, {1, 16, 1}, {1, 33, 1}, {1, 0, 1}, {1, 255, 1}}}, {}},
      {"categories 17, 32, 34", {.alarms = {{0, 17, 0}, {0, 32, 5}, {0, 34, 9}}},
       {"hvr38qt_06016_acdown_17", "hvr38qt_06023_32", "hvr38qt_06029_34"}},
  };
  for (const MatchCase& c : cases) {
    const auto reports = evaluate(c.setup);
    EXPECT_EQ(alarm_cycle::active_keys(reports), c.active) << c.what;
    // Keys recur only on the module rows; elsewhere a rule is active once.
    std::size_t active_reports = 0;
    for (const Report& r : reports) active_reports += r.active ? 1 : 0;
    EXPECT_EQ(active_reports, c.active.size()) << c.what;
  }
}

TEST(DefaultRuleSetMatching, ModuleRecordBytes) {
  struct Case {
    const char* what;
    Module module;
    std::set<std::string> active;
  };
  const Case cases[] = {
      {"no communication", {.alarm_state = 0xFE}, {"hvr38qt_2"}},
      {"fault", {.alarm_state = 0x01}, {"hvr38qt_0"}},
      {"state 0", {.alarm_state = 0x00}, {}},
      {"state 2", {.alarm_state = 0x02}, {}},
      {"byte 9 bits 5 and 6", {.status = {0x60}}, {"hvr38qt_0_5", "hvr38qt_0_6"}},
      {"byte 10 bit 7", {.status = {0, 0x80}}, {"hvr38qt_1_7"}},
      {"byte 11 bit 7", {.status = {0, 0, 0x80}}, {"hvr38qt_2_7"}},
      {"byte 12 bit 7", {.status = {0, 0, 0, 0x80}}, {"hvr38qt_3_7"}},
      {"byte 13 bits 0 to 5", {.status = {0, 0, 0, 0, 0x3F}},
       {"hvr38qt_4_0", "hvr38qt_4_1", "hvr38qt_4_2", "hvr38qt_4_3", "hvr38qt_4_4", "hvr38qt_4_5"}},
      {"bits without rows", {.status = {0x9F, 0x22, 0x31, 0x01, 0xC0, 0xFF, 0xFF, 0xFF, 0xFE}}, {}},
      {"byte 17 bit 0", {.status = {0, 0, 0, 0, 0, 0, 0, 0, 0x01}}, {"hvr38qt_8_0"}},
  };
  for (const Case& c : cases) {
    const auto reports = evaluate({.dc = 0, .module_states = {c.module}});
    EXPECT_EQ(alarm_cycle::active_keys(reports), c.active) << c.what;
  }
}

// ---------------------------------------------------------------- texts

TEST(DefaultRuleSetTexts, UnitPrefixesAndSpecialTexts) {
  const auto reports = evaluate({.modules = 1, .ac = 2, .dc = 2});
  const struct {
    const char* key;
    const char* nm_id;
    const char* name;
    const char* desc;
  } expected[] = {
      {"hvr38qt_0", "06024", "第1整流模块整流模块故障告警", "第1整流模块整流模块故障告警"},
      {"hvr38qt_06003_temperature_9", "06003", "电池温度过高告警", "第A1-1组电池温度高"},
      {"hvr38qt_06082_cut_16", "06082", "电池回路断", "第B1-4组电池回路断"},
      {"hvr38qt_06032_shutdown_64", "06032", "整流模块故障（整流模块关机）", "第64模块关机"},
      {"hvr38qt_06014_ac1high_2", "06014", "交流输入电压过高告警", "交流屏2AC1过压"},
      {"hvr38qt_06006_bi_2", "06006", "交流屏2分路电流告警", "交流屏2分路电流告警"},
      {"hvr38qt_06007_atsoutputjump_1", "06007", "交流屏1ATS输出总空开跳脱", "交流屏1ATS输出总空开跳脱"},
      {"hvr38qt_06007_branchoutput_1_5", "06007", "负载熔丝故障告警", "交流屏1分路空开5告警"},
      {"hvr38qt_06011_dccomm_2", "06011", "直流屏通讯中断告警", "直流配电屏2通讯故障"},
      {"hvr38qt_06007_dcoutput_a_1_3", "06007", "负载熔丝故障告警", "直流配电屏1分路A-3开关异常"},
      {"hvr38qt_06038_lietou_520_2_7", "06035", "7号列头柜通讯故障", "7号列头柜通讯故障"},
      {"hvr38qt_06039_553_2", "环境温度过高", "直流配电屏2环境高温告警", "直流配电屏2环境高温告警"},
      {"hvr38qt_06004_20", "06005", "电池供电告警", "开关电源处于电池供电中"},
  };
  for (const auto& e : expected) {
    const Report* r = alarm_cycle::find(reports, e.key);
    ASSERT_NE(r, nullptr) << e.key;
    EXPECT_EQ(r->nm_id, e.nm_id) << e.key;
    EXPECT_EQ(r->name, e.name) << e.key;
    EXPECT_EQ(r->desc, e.desc) << e.key;
  }
}

}  // namespace

// Texts and reports that get out of step (a family whose two passes
// disagree) never crash the host: a report without a text is dropped, the
// evaluation is logged once, and the next run of texts starts in step.
TEST(DefaultRuleReporter, OutOfStepIsDroppedAndLoggedOnce) {
  struct Case {
    std::size_t texts, reports;
    std::size_t reported;
    const char* log;  // nullptr: in step, nothing logged
  };
  const Case cases[] = {
      {2, 2, 2, nullptr},
      {2, 3, 2, "HVR38QT 9 rule set out of step: 1 reports without text dropped, 0 texts without report"},
      {3, 1, 1, "HVR38QT 9 rule set out of step: 0 reports without text dropped, 2 texts without report"},
  };
  const hvr38qt::alarms::TextBlock texts(3, {.key = "k", .name = "n", .desc = "d"});
  for (const Case& c : cases) {
    testing_support::RecordingController host;
    hvr38qt::alarms::Counters counters;
    hvr38qt::alarms::Reporter reporter(host, 9, counters);
    reporter.use(std::span(texts).first(c.texts));
    for (std::size_t i = 0; i < c.reports; ++i) reporter.report({.nm_id = "06029"}, true);
    // A following family in step reports all of its rows.
    reporter.use(std::span(texts).first(1));
    reporter.report({.nm_id = "06029"}, false);
    EXPECT_EQ(reporter.finish(), c.log == nullptr) << c.texts << "/" << c.reports;
    EXPECT_EQ(host.reports.size(), c.reported + 1);
    if (c.log == nullptr) {
      EXPECT_TRUE(host.logs.empty());
    } else {
      EXPECT_EQ(host.logs, std::vector<std::string>{c.log});
    }
    // Every delivered report took the next number of its counter.
    EXPECT_EQ(host.reports.back().seq, c.reported + 1);
  }
}
