// Mode 2 rules driven through real poll cycles: levels and thresholds from
// the host's maps, values from the controller's replies.
#include "alarms/mobile_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "device_fixture.h"

namespace wire = hvr38qt::wire;
using testing_support::DeviceFixture;
using testing_support::RecordingController;
using testing_support::Report;

namespace {

constexpr const char* kConfig = R"({"appSetting":{"b_mode":"2","ac_number":"1","dc_number":"1"}})";
constexpr const char* kConfigNoDc =
    R"({"appSetting":{"b_mode":"2","ac_number":"1","dc_number":"0"}})";

const std::string kOver = "220600120010";
const std::string kUnder = "220600130010";
const std::string kLoss = "220600140010";
const std::string kFreqHigh = "220600160010";
const std::string kFreqLow = "220600170010";
const std::string kOutLow = "210600320010";
const std::string kOutVeryLow = "210600330010";
const std::string kOutHigh = "210600340010";

struct Module {
  std::uint8_t state_1 = 0;
  std::uint8_t status_0 = 0;  // status_bits[0]
  std::uint8_t status_8 = 0;  // status_bits[8]
};

// What the controller reports in one cycle. Values are in volts and hertz
// and travel as tenths.
struct Plant {
  float output_voltage = 53.5f;
  std::array<float, 6> voltages{230, 230, 230, 230, 230, 230};
  float f1 = 50.0f;
  float f2 = 50.0f;
  std::vector<Module> modules{Module{}};
};

void put_tenths(std::vector<std::uint8_t>& out, float v) {
  const auto t = static_cast<std::uint16_t>(v * 10.0f + 0.5f);
  out.push_back(static_cast<std::uint8_t>(t >> 8));
  out.push_back(static_cast<std::uint8_t>(t & 0xFF));
}

// One cycle with the change byte set, ending in the rule evaluation. Module
// states (0x43) are asked in the first cycle only.
void run_cycle(DeviceFixture& f, const Plant& p) {
  const auto n = static_cast<std::uint8_t>(p.modules.size());
  const bool first = f.device->DataReady() != 1;
  f.device->RefreshStatus();

  std::vector<std::uint8_t> analog{1};
  put_tenths(analog, p.output_voltage);
  analog.push_back(n);
  for (std::size_t i = 0; i < n; ++i) analog.insert(analog.end(), {0, 100, 0});
  f.reply(analog);

  if (first) {
    std::vector<std::uint8_t> states{n};
    for (const Module& m : p.modules) states.insert(states.end(), {m.state_1, 0, 0, 0});
    f.reply(states);
  }

  std::vector<std::uint8_t> alarm_states{n};
  for (std::size_t i = 0; i < n; ++i) alarm_states.insert(alarm_states.end(), {0, 0});
  f.reply(alarm_states);

  for (std::size_t i = 0; i < n; ++i) {
    constexpr const auto& bits = wire::field(wire::kModuleDetailFields, "status_bits");
    std::vector<std::uint8_t> detail(wire::kModuleDetailBytes, 0);
    detail[0] = i + 1 == n ? 1 : 0;
    wire::put_field(wire::field(wire::kModuleDetailFields, "module_no"), detail.data(),
                    static_cast<std::uint32_t>(i + 1));
    wire::put_field(bits, detail.data(), p.modules[i].status_0, 0);
    wire::put_field(bits, detail.data(), p.modules[i].status_8, 8);
    f.reply(detail);
  }
  f.reply({0, 0, 0, 0});  // 0x95

  std::vector<std::uint8_t> ac;
  for (float v : p.voltages) put_tenths(ac, v);
  for (int i = 0; i < 4; ++i) put_tenths(ac, 0);
  put_tenths(ac, p.f1);
  put_tenths(ac, p.f2);
  ac.insert(ac.end(), {0, 0, 0});
  f.reply(ac);  // 0xA2 unit 1

  for (std::size_t i = 0; i < f.device->DcUnits().size(); ++i)
    f.reply(std::vector<std::uint8_t>(wire::kDcUnitBytes, 0));  // 0xA4
  f.reply(std::vector<std::uint8_t>(wire::kBlockA3Bytes, 0));  // 0xA3
  f.reply({0, 0});                               // 0x93
  f.reply({0});                                  // 0x9C: no alarms
}

// Runs one cycle and returns what it wrote to standard output.
std::string run_cycle_capturing(DeviceFixture& f, const Plant& p) {
  testing::internal::CaptureStdout();
  run_cycle(f, p);
  return testing::internal::GetCapturedStdout();
}

std::vector<std::string> reported_ids(const RecordingController& c) {
  std::vector<std::string> ids;
  for (const Report& r : c.reports) ids.push_back(r.nm_id);
  return ids;
}

TEST(MobileRules, EmptyLevelMapReportsNothingButTracesAndInsertsEveryId) {
  DeviceFixture f(kConfig);
  Plant p;
  p.modules.assign(2, Module{});  // not resize(2): GCC 12 at -O3 misreads that as an overflow
  const std::string out = run_cycle_capturing(f, p);

  EXPECT_TRUE(f.controller->reports.empty());
  EXPECT_EQ(out,
            "fenwa data_id:1 before check 120600020010 level:0 value:0\n"
            "fenwa data_id:1 before check 120600020020 level:0 value:0\n");
  const std::map<std::string, int> expected{
      {kOver, 0},           {kUnder, 0},          {kLoss, 0},           {kFreqHigh, 0},
      {kFreqLow, 0},        {"120600690010", 0},  {"120600020010", 0},  {"120600030010", 0},
      {"120600040010", 0},  {"120600690020", 0},  {"120600020020", 0},  {"120600030020", 0},
      {"120600040020", 0},  {kOutLow, 0},         {kOutVeryLow, 0},     {kOutHigh, 0}};
  EXPECT_EQ(f.device->LevelMap(), expected);
  // No rule reached a comparison, so no threshold was looked up.
  EXPECT_TRUE(f.device->ValueMap().empty());
}

TEST(MobileRules, TraceLineCarriesDeviceIdModuleLevelAndState) {
  DeviceFixture f(kConfig, 7);
  Plant p;
  p.modules.resize(3);
  p.modules[1].state_1 = 1;
  f.device->LevelMap()["120600020020"] = 4;
  const std::string out = run_cycle_capturing(f, p);

  EXPECT_EQ(out,
            "fenwa data_id:7 before check 120600020010 level:0 value:0\n"
            "fenwa data_id:7 before check 120600020020 level:4 value:1\n"
            "fenwa data_id:7 before check 120600020030 level:0 value:0\n");
  ASSERT_EQ(f.controller->reports.size(), 1u);
  EXPECT_EQ(f.controller->reports[0].kind, 4);
}

void set_ac_levels(DeviceFixture& f) {
  f.device->LevelMap()[kOver] = 1;
  f.device->LevelMap()[kUnder] = 2;
  f.device->LevelMap()[kLoss] = 3;
}

TEST(MobileRules, AcVoltageRules) {
  struct Case {
    const char* label;
    std::array<float, 6> voltages;
    bool over, under, loss;
  };
  const Case cases[] = {
      {.label = "normal", .voltages = {230, 230, 230, 230, 230, 230},
       .over = false, .under = false, .loss = false},
      {.label = "exactly 280", .voltages = {230, 280, 230, 230, 230, 230},
       .over = false, .under = false, .loss = false},
      {.label = "280.1 on input 2 phase C", .voltages = {230, 230, 230, 230, 230, 280.1f},
       .over = true, .under = false, .loss = false},
      {.label = "exactly 150 on one phase", .voltages = {230, 230, 150, 230, 230, 230},
       .over = false, .under = false, .loss = false},
      {.label = "exactly 150 everywhere", .voltages = {150, 150, 150, 150, 150, 150},
       .over = false, .under = false, .loss = false},
      {.label = "mains lost", .voltages = {0, 0, 0, 0, 0, 0},
       .over = false, .under = false, .loss = true},
      {.label = "input 2 off", .voltages = {230, 230, 230, 0, 0, 0},
       .over = false, .under = false, .loss = false},
      {.label = "one phase at 120", .voltages = {230, 120, 230, 230, 230, 230},
       .over = false, .under = true, .loss = false},
      {.label = "a trace of 0.1 V", .voltages = {0, 0, 0, 0, 0.1f, 0},
       .over = false, .under = true, .loss = true},
      {.label = "over on one phase, under on another", .voltages = {120, 290, 230, 0, 0, 0},
       .over = true, .under = true, .loss = false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    DeviceFixture f(kConfig);
    set_ac_levels(f);
    Plant p;
    p.voltages = c.voltages;
    run_cycle_capturing(f, p);

    ASSERT_EQ(reported_ids(*f.controller), (std::vector<std::string>{kOver, kUnder, kLoss}));
    const auto& r = f.controller->reports;
    EXPECT_EQ(r[0].active, c.over);
    EXPECT_EQ(r[1].active, c.under);
    EXPECT_EQ(r[2].active, c.loss);
  }
}

TEST(MobileRules, AcReportsCarryLevelKeyTextsAndSeqOne) {
  DeviceFixture f(kConfig);
  set_ac_levels(f);
  f.device->LevelMap()[kFreqHigh] = 4;
  f.device->LevelMap()[kFreqLow] = 5;
  f.device->ValueMap()[kFreqHigh] = 55.0f;
  f.device->ValueMap()[kFreqLow] = 45.0f;
  Plant p;
  p.voltages = {220.5f, 219, 221.3f, 0, 0, 0};
  p.f1 = 50;
  p.f2 = 49.9f;
  run_cycle_capturing(f, p);

  const std::string v = "ua1:220.5 ub1:219 uc1:221.3 ua2:0 ub2:0 uc2:0";
  const std::string fr = "f1:50 f2:49.9";
  const std::vector<Report> expected{
      {1, kOver, kOver, v, "001#48V直流系统交流输入电压过高告警", false, 1},
      {2, kUnder, kUnder, v, "001#48V直流系统交流输入电压过低告警", false, 1},
      {3, kLoss, kLoss, v, "001#48V直流系统交流输入停电告警", false, 1},
      {4, kFreqHigh, kFreqHigh, fr, "001#48V直流系统交流输入频率过高告警", false, 1},
      {5, kFreqLow, kFreqLow, fr, "001#48V直流系统交流输入频率过低告警", false, 1},
  };
  const auto& got = f.controller->reports;
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].nm_id);
    EXPECT_EQ(got[i].kind, expected[i].kind);
    EXPECT_EQ(got[i].key, expected[i].key);
    EXPECT_EQ(got[i].nm_id, expected[i].nm_id);
    EXPECT_EQ(got[i].name, expected[i].name);
    EXPECT_EQ(got[i].desc, expected[i].desc);
    EXPECT_EQ(got[i].active, expected[i].active);
    EXPECT_EQ(got[i].seq, expected[i].seq);
  }
}

TEST(MobileRules, AcFrequencyRules) {
  struct Case {
    const char* label;
    std::optional<float> high_limit, low_limit;
    float f1, f2;
    bool high, low;
    bool low_limit_looked_up;
  };
  const Case cases[] = {
      {.label = "no thresholds, input 1 running", .high_limit = {}, .low_limit = {},
       .f1 = 50, .f2 = 0, .high = true, .low = false, .low_limit_looked_up = true},
      {.label = "no thresholds, no frequency", .high_limit = {}, .low_limit = {},
       .f1 = 0, .f2 = 0, .high = false, .low = false, .low_limit_looked_up = false},
      {.label = "within limits", .high_limit = 55, .low_limit = 45, .f1 = 50, .f2 = 50,
       .high = false, .low = false, .low_limit_looked_up = true},
      {.label = "input 1 above", .high_limit = 55, .low_limit = 45, .f1 = 55.1f, .f2 = 50,
       .high = true, .low = false, .low_limit_looked_up = true},
      {.label = "input 2 below", .high_limit = 55, .low_limit = 45, .f1 = 50, .f2 = 44.9f,
       .high = false, .low = true, .low_limit_looked_up = true},
      {.label = "exactly at the limits", .high_limit = 55, .low_limit = 45, .f1 = 55, .f2 = 45,
       .high = false, .low = false, .low_limit_looked_up = true},
      {.label = "input 2 absent is not low", .high_limit = 55, .low_limit = 45, .f1 = 50,
       .f2 = 0, .high = false, .low = false, .low_limit_looked_up = true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    DeviceFixture f(kConfig);
    f.device->LevelMap()[kFreqHigh] = 1;
    f.device->LevelMap()[kFreqLow] = 1;
    if (c.high_limit) f.device->ValueMap()[kFreqHigh] = *c.high_limit;
    if (c.low_limit) f.device->ValueMap()[kFreqLow] = *c.low_limit;
    Plant p;
    p.f1 = c.f1;
    p.f2 = c.f2;
    run_cycle_capturing(f, p);

    ASSERT_EQ(reported_ids(*f.controller), (std::vector<std::string>{kFreqHigh, kFreqLow}));
    EXPECT_EQ(f.controller->reports[0].active, c.high);
    EXPECT_EQ(f.controller->reports[1].active, c.low);
    EXPECT_TRUE(f.device->ValueMap().contains(kFreqHigh));
    EXPECT_EQ(f.device->ValueMap().contains(kFreqLow), c.low_limit_looked_up);
  }
}

TEST(MobileRules, ModuleRulesFollowStateAndStatusBits) {
  DeviceFixture f(kConfig);
  Plant p;
  p.modules = {
      {.state_1 = 0},                       // 1: normal
      {.state_1 = 0xF0},                    // 2: normal as well
      {.state_1 = 1},                       // 3: running alarm
      {.status_0 = 0x10},                   // 4: module fault
      {.status_8 = 0x01},                   // 5: communication alarm
      {.status_0 = 0xEF, .status_8 = 0xFE}, // 6: every other bit set
  };
  for (const char* prefix : {"12060069", "12060002", "12060003", "12060004"})
    for (int m = 1; m <= 6; ++m) f.device->LevelMap()[fmt::format("{}00{}0", prefix, m)] = 3;
  const std::string out = run_cycle_capturing(f, p);

  struct Expected {
    bool running, fault, comm;
  };
  const Expected expected[] = {{false, false, false}, {false, false, false},
                               {true, false, false},  {false, true, false},
                               {false, false, true},  {false, false, false}};
  const auto& r = f.controller->reports;
  ASSERT_EQ(r.size(), 24u);
  for (int m = 0; m < 6; ++m) {
    SCOPED_TRACE(m + 1);
    const std::string nnn = fmt::format("00{}", m + 1);
    const Report* q = &r[static_cast<std::size_t>(m) * 4];
    EXPECT_EQ(q[0].nm_id, "12060069" + nnn + "0");
    EXPECT_EQ(q[1].nm_id, "12060002" + nnn + "0");
    EXPECT_EQ(q[2].nm_id, "12060003" + nnn + "0");
    EXPECT_EQ(q[3].nm_id, "12060004" + nnn + "0");
    EXPECT_EQ(q[0].desc, nnn + "#48V整流模块运行告警");
    EXPECT_EQ(q[1].desc, nnn + "#48V整流模块运行告警");
    EXPECT_EQ(q[2].desc, nnn + "#48V整流设备整流模块故障告警");
    EXPECT_EQ(q[3].desc, nnn + "#48V整流模块通信状态告警");
    EXPECT_EQ(q[0].active, expected[m].running);
    EXPECT_EQ(q[1].active, expected[m].running);
    EXPECT_EQ(q[2].active, expected[m].fault);
    EXPECT_EQ(q[3].active, expected[m].comm);
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(q[k].key, q[k].nm_id);
      EXPECT_EQ(q[k].name, "1");
      EXPECT_EQ(q[k].kind, 3);
      EXPECT_EQ(q[k].seq, 1);
    }
  }
  EXPECT_NE(out.find("before check 120600020030 level:3 value:1\n"), std::string::npos);
}

TEST(MobileRules, TwelfthModuleIdsEndIn0120) {
  DeviceFixture f(kConfig);
  Plant p;
  p.modules.resize(12);
  p.modules[11].state_1 = 2;
  for (const char* prefix : {"12060069", "12060002", "12060003", "12060004"})
    f.device->LevelMap()[std::string(prefix) + "0120"] = 1;
  const std::string out = run_cycle_capturing(f, p);

  EXPECT_EQ(reported_ids(*f.controller),
            (std::vector<std::string>{"120600690120", "120600020120", "120600030120",
                                      "120600040120"}));
  EXPECT_EQ(f.controller->reports[0].desc, "012#48V整流模块运行告警");
  EXPECT_TRUE(f.controller->reports[0].active);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 12);
}

TEST(MobileRules, OutputVoltageRules) {
  struct Case {
    const char* label;
    bool thresholds;
    float u;
    bool low, very_low, high;
    const char* name;
  };
  const Case cases[] = {
      {.label = "no thresholds", .thresholds = false, .u = 53.7f,
       .low = false, .very_low = false, .high = true, .name = "53.7000008"},
      {.label = "normal", .thresholds = true, .u = 53.5f,
       .low = false, .very_low = false, .high = false, .name = "53.5"},
      {.label = "low", .thresholds = true, .u = 46.0f,
       .low = true, .very_low = false, .high = false, .name = "46"},
      {.label = "very low", .thresholds = true, .u = 44.0f,
       .low = true, .very_low = true, .high = false, .name = "44"},
      {.label = "exactly at the low limit", .thresholds = true, .u = 47.0f,
       .low = false, .very_low = false, .high = false, .name = "47"},
      {.label = "exactly at the high limit", .thresholds = true, .u = 58.0f,
       .low = false, .very_low = false, .high = false, .name = "58"},
      {.label = "high", .thresholds = true, .u = 58.1f,
       .low = false, .very_low = false, .high = true, .name = "58.0999985"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    DeviceFixture f(kConfig);
    f.device->LevelMap()[kOutLow] = 1;
    f.device->LevelMap()[kOutVeryLow] = 2;
    f.device->LevelMap()[kOutHigh] = 3;
    if (c.thresholds) {
      f.device->ValueMap()[kOutLow] = 47.0f;
      f.device->ValueMap()[kOutVeryLow] = 45.0f;
      f.device->ValueMap()[kOutHigh] = 58.0f;
    }
    Plant p;
    p.output_voltage = c.u;
    run_cycle_capturing(f, p);

    ASSERT_EQ(reported_ids(*f.controller),
              (std::vector<std::string>{kOutLow, kOutVeryLow, kOutHigh}));
    const auto& r = f.controller->reports;
    EXPECT_EQ(r[0].active, c.low);
    EXPECT_EQ(r[1].active, c.very_low);
    EXPECT_EQ(r[2].active, c.high);
    EXPECT_EQ(r[0].desc, "48V直流系统直流总电压过低告警");
    EXPECT_EQ(r[1].desc, "48V直流系统直流总电压超低告警");
    EXPECT_EQ(r[2].desc, "直流总电压过高告警");
    for (const Report& x : r) EXPECT_EQ(x.name, c.name);
    EXPECT_EQ(r[2].kind, 3);
  }
}

TEST(MobileRules, WithoutDcUnitsOutputVoltageRulesAreSkippedWithoutLookups) {
  DeviceFixture f(kConfigNoDc);
  f.device->LevelMap()[kOutHigh] = 1;
  f.device->LevelMap()[kOver] = 1;
  f.device->LevelMap()["120600690010"] = 1;
  run_cycle_capturing(f, Plant{});

  EXPECT_EQ(reported_ids(*f.controller),
            (std::vector<std::string>{kOver, "120600690010"}));
  EXPECT_FALSE(f.device->LevelMap().contains(kOutLow));
  EXPECT_FALSE(f.device->LevelMap().contains(kOutVeryLow));
  EXPECT_TRUE(f.device->ValueMap().empty());
}

TEST(MobileRules, EveryEvaluationReportsAgainWithSeqOne) {
  DeviceFixture f(kConfig);
  f.device->LevelMap()[kLoss] = 2;
  Plant p;
  p.voltages = {0, 0, 0, 0, 0, 0};
  run_cycle_capturing(f, p);
  run_cycle_capturing(f, p);

  ASSERT_EQ(f.controller->reports.size(), 2u);
  for (const Report& r : f.controller->reports) {
    EXPECT_EQ(r.nm_id, kLoss);
    EXPECT_TRUE(r.active);
    EXPECT_EQ(r.seq, 1);
  }
}

// The controller can be gone at the cycle end (the host is shutting down):
// the rule set still writes its trace lines and makes its level and value
// lookups, exactly as with a controller; only the reports are missing.
TEST(MobileRules, WithoutControllerTracesAndLookupsStillHappen) {
  const auto prepare = [](DeviceFixture& f) {
    f.device->LevelMap()[kOver] = 1;
    f.device->LevelMap()[kFreqHigh] = 2;
    f.device->LevelMap()["120600020010"] = 1;
    f.device->LevelMap()[kOutLow] = 3;
  };
  Plant p;
  p.modules.assign(2, Module{});
  p.modules[0].state_1 = 0x01;

  DeviceFixture with(kConfig);
  prepare(with);
  const std::string traced_with = run_cycle_capturing(with, p);
  ASSERT_FALSE(with.controller->reports.empty());

  DeviceFixture without(kConfig);
  prepare(without);
  std::weak_ptr<RecordingController> gone = without.controller;
  without.controller.reset();
  ASSERT_TRUE(gone.expired());
  const std::string traced_without = run_cycle_capturing(without, p);

  EXPECT_EQ(traced_without, traced_with);
  EXPECT_EQ(traced_without,
            "fenwa data_id:1 before check 120600020010 level:1 value:1\n"
            "fenwa data_id:1 before check 120600020020 level:0 value:0\n");
  EXPECT_EQ(without.device->LevelMap(), with.device->LevelMap());
  EXPECT_EQ(without.device->ValueMap(), with.device->ValueMap());
  // The thresholds the reported rules compared against were looked up.
  EXPECT_TRUE(without.device->ValueMap().contains(kFreqHigh));
  EXPECT_TRUE(without.device->ValueMap().contains(kOutLow));
}

// The lookups start from where the previous one of their kind ended and
// search only when that is not their id: ids of other rules before, between
// and after the set's (shorter, longer, sharing a prefix) must change
// neither the reports, the trace lines nor the zero entries, in the first
// evaluation (which inserts) or the next (which finds everything).
TEST(MobileRules, OtherIdsInTheMapsChangeNothing) {
  const auto prepare = [](DeviceFixture& f) {
    f.device->LevelMap()[kOver] = 1;
    f.device->LevelMap()[kFreqLow] = 2;
    f.device->LevelMap()["120600020020"] = 3;
    f.device->LevelMap()["120600040030"] = 1;
    f.device->LevelMap()[kOutHigh] = 4;
    f.device->ValueMap()[kFreqLow] = 49.0f;
    f.device->ValueMap()[kOutHigh] = 53.0f;
  };
  const std::map<std::string, int> other_levels{
      {"0", 5},        {"120600020010x", 6}, {"12060002002", 7}, {"120600020025", 8},
      {"12060003", 9}, {"120600690035", 1},  {"2106", 2},        {"220600150010", 3},
      {"zz", 4}};
  const std::map<std::string, float> other_values{{"1", 1.0f}, {"220600165", 2.0f}, {"~", 3.0f}};
  Plant p;
  p.modules.assign(3, Module{});
  p.modules[1].state_1 = 0x01;
  p.modules[2].status_0 = 0x10;
  p.f2 = 48.0f;
  p.output_voltage = 54.0f;

  DeviceFixture plain(kConfig);
  prepare(plain);
  DeviceFixture mixed(kConfig);
  prepare(mixed);
  for (const auto& [id, level] : other_levels) mixed.device->LevelMap()[id] = level;
  for (const auto& [id, value] : other_values) mixed.device->ValueMap()[id] = value;
  for (int cycle = 0; cycle < 2; ++cycle) {
    EXPECT_EQ(run_cycle_capturing(mixed, p), run_cycle_capturing(plain, p)) << cycle;
  }

  ASSERT_EQ(mixed.controller->reports.size(), plain.controller->reports.size());
  ASSERT_FALSE(plain.controller->reports.empty());
  for (std::size_t i = 0; i < plain.controller->reports.size(); ++i) {
    const Report& a = mixed.controller->reports[i];
    const Report& b = plain.controller->reports[i];
    EXPECT_EQ(std::tie(a.kind, a.key, a.nm_id, a.name, a.desc, a.active, a.seq),
              std::tie(b.kind, b.key, b.nm_id, b.name, b.desc, b.active, b.seq))
        << i;
  }
  std::map<std::string, int> levels = plain.device->LevelMap();
  levels.insert(other_levels.begin(), other_levels.end());
  EXPECT_EQ(mixed.device->LevelMap(), levels);
  std::map<std::string, float> values = plain.device->ValueMap();
  values.insert(other_values.begin(), other_values.end());
  EXPECT_EQ(mixed.device->ValueMap(), values);
}

TEST(MobileRules, UnconfiguredDeviceLooksNothingUp) {
  HVR38QT device{hvr38qt::device_parts()};
  RecordingController host;
  testing::internal::CaptureStdout();
  hvr38qt::alarms::run_mobile_rule_set(device.View(), &host);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(host.reports.empty());
  EXPECT_TRUE(device.LevelMap().empty());
  EXPECT_TRUE(device.ValueMap().empty());
}

}  // namespace
