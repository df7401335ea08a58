// Value queries by signal name: names, AC-failure indications, freshness.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <stdexcept>

#include "cycle_driver.h"
#include "device_fixture.h"

namespace {

using namespace testing_support;
using boost::posix_time::seconds;

const ptime kNow(boost::gregorian::date(2024, 5, 6), boost::posix_time::hours(12));
ptime fixed_now() { return kNow; }

// The message of the refusal, or "" when a value came back (stored in out).
std::string query(const HVR38QT& d, const std::string& name, float* out = nullptr) {
  try {
    const float v = d.Get_Value(0, name);
    if (out) *out = v;
    return "";
  } catch (const std::out_of_range& e) {
    return e.what();
  }
}

struct QueryCase {
  const char* label;
  std::vector<std::vector<std::uint16_t>> ac;  // phase voltages per AC unit, tenths
  const char* name;
  float value;        // expected when accepted
  const char* error;  // expected refusal, or nullptr
};

class ValueQuery : public testing::TestWithParam<QueryCase> {};

TEST_P(ValueQuery, AfterACycle) {
  const auto& c = GetParam();
  const std::string config =
      R"({"appSetting":{"dc_number":"0","ac_number":")" + std::to_string(c.ac.size()) + "\"}}";
  DeviceFixture f(config);
  f.device->SetClock(&fixed_now);
  CycleData d;
  for (const auto& u : c.ac) d.ac.push_back(ac_unit(u));
  full_cycle(f, d);
  ASSERT_EQ(f.controller->snapshots.size(), 1u);
  float v = -99.0f;
  EXPECT_EQ(query(*f.device, c.name, &v), c.error ? c.error : "");
  if (!c.error) {
    EXPECT_EQ(v, c.value);
  }
}

const std::vector<std::uint16_t> kZero = {0, 0, 0};
const char* const kUnsupported = "不支持变量";

INSTANTIATE_TEST_SUITE_P(
    Snapshot, ValueQuery,
    testing::Values(
        QueryCase{"va1", {{2201, 2202, 2203}}, "va1", 220.1f, nullptr},
        QueryCase{"vb1", {{2201, 2202, 2203}}, "vb1", 220.2f, nullptr},
        QueryCase{"vc1", {{2201, 2202, 2203}}, "vc1", 220.3f, nullptr},
        QueryCase{"out_v", {kZero}, "out_v", 53.5f, nullptr},
        QueryCase{"one_unit_ac", {kZero}, "ac", 1.0f, nullptr},
        QueryCase{"one_unit_ac1", {kZero}, "ac1", 1.0f, nullptr},
        QueryCase{"one_unit_ac2", {kZero}, "ac2", 0.0f, nullptr},
        QueryCase{"two_units_ac", {kZero, {0, 2200, 0}}, "ac", 0.0f, nullptr},
        QueryCase{"two_units_ac1", {kZero, {0, 2200, 0}}, "ac1", 1.0f, nullptr},
        QueryCase{"two_units_ac2", {kZero, {0, 2200, 0}}, "ac2", 0.0f, nullptr},
        QueryCase{"two_units_both_low", {kZero, {1499, 1499, 1499}}, "ac", 1.0f, nullptr},
        QueryCase{"two_units_both_low_ac2", {kZero, {1499, 1499, 1499}}, "ac2", 1.0f, nullptr},
        QueryCase{"exactly_150_is_present", {{0, 0, 1500}}, "ac1", 0.0f, nullptr},
        QueryCase{"exactly_150_ac", {{1500, 0, 0}}, "ac", 0.0f, nullptr},
        QueryCase{"just_below_150", {{1499, 1499, 1499}}, "ac1", 1.0f, nullptr},
        QueryCase{
            "third_unit_not_looked_at", {kZero, kZero, {2200, 2200, 2200}}, "ac", 1.0f, nullptr},
        QueryCase{"capitals", {kZero}, "VA1", 0, kUnsupported},
        QueryCase{"trailing_blank", {kZero}, "va1 ", 0, kUnsupported},
        QueryCase{"empty", {kZero}, "", 0, kUnsupported},
        QueryCase{"unknown", {kZero}, "ac3", 0, kUnsupported}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ValueQueryFreshness, NotReadyThenFreshThenTimedOut) {
  DeviceFixture f;
  f.device->SetClock(&fixed_now);
  for (const char* name : {"va1", "out_v", "zzz", ""})
    EXPECT_EQ(query(*f.device, name), "数据未就绪") << name;

  full_cycle(f, CycleData{});
  EXPECT_EQ(f.device->LastUpdate(), kNow);
  const std::vector<std::pair<int, const char*>> ages = {
      {0, ""}, {60, ""}, {-3600, ""}, {61, "数据已超时"}, {3600, "数据已超时"}};
  for (const auto& [age, error] : ages) {
    f.device->SetLastUpdate(kNow - seconds(age));
    EXPECT_EQ(query(*f.device, "out_v"), error) << age;
    EXPECT_EQ(query(*f.device, "zzz"), *error ? error : kUnsupported) << age;
  }
}

TEST(ValueQueryFreshness, CacheRestoreWithoutSettings) {
  HVR38QT d{hvr38qt::device_parts()};  // never configured: no AC record
  d.SetClock(&fixed_now);
  const std::vector<unsigned char> cached(64, 0x41);
  ASSERT_EQ(d.LoadFromCache(cached.data(), 64), 1);
  const std::vector<std::pair<const char*, float>> expected = {
      {"va1", -1.0f}, {"vb1", -1.0f}, {"vc1", -1.0f}, {"out_v", 0.0f},
      {"ac", 0.0f},   {"ac1", 0.0f},  {"ac2", 0.0f}};
  for (const auto& [name, value] : expected) {
    float v = -99.0f;
    EXPECT_EQ(query(d, name, &v), "") << name;
    EXPECT_EQ(v, value) << name;
  }
}

}  // namespace
