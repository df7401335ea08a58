// Configurations of every shape a host may hand over: each reads to a
// defined setting (or is ignored and logged), and none throws or crashes.
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "settings.h"

namespace {

using namespace testing_support;

// The keys a value is logged for, from the device's log lines.
std::vector<std::string> logged_keys(const std::vector<std::string>& logs) {
  static const char* kKeys[] = {"ac_number", "dc_number", "b_mode", "address", "reply_timeout_ms"};
  std::vector<std::string> out;
  for (const char* k : kKeys)
    for (const auto& line : logs)
      if (line.find(k) != std::string::npos) {
        out.emplace_back(k);
        break;
      }
  return out;
}

using Keys = std::vector<std::string>;
const Keys kNone;
const Keys kAll = {"ac_number", "dc_number", "b_mode", "address", "reply_timeout_ms"};

// One JSON value given to all five numeric keys of appSetting at once.
struct ValueCase {
  const char* name;
  const char* value;  // JSON text
  int ac, dc, mode, address, timeout_ms;
  Keys logged;
};

class BadAppSetting : public testing::TestWithParam<ValueCase> {};

TEST_P(BadAppSetting, ReadsToADefinedSetting) {
  const auto& c = GetParam();
  const std::string v = c.value;
  DeviceFixture f(R"({"appSetting":{"ac_number":)" + v + R"(,"dc_number":)" + v +
                  R"(,"b_mode":)" + v + R"(,"address":)" + v + R"(,"reply_timeout_ms":)" + v +
                  "}}");
  EXPECT_EQ(f.device->AcNumber(), c.ac);
  EXPECT_EQ(f.device->DcNumber(), c.dc);
  EXPECT_EQ(f.device->AcUnits().size(), static_cast<std::size_t>(c.ac));
  EXPECT_EQ(f.device->DcUnits().size(), static_cast<std::size_t>(c.dc));
  EXPECT_EQ(f.device->Mode(), c.mode);
  EXPECT_EQ(f.device->Address(), c.address);
  EXPECT_EQ(f.device->ReplyTimeoutMs(), c.timeout_ms);
  EXPECT_EQ(logged_keys(f.controller->logs), c.logged);

  // The device polls with what it read: the first request goes to the
  // configured address.
  f.device->RefreshStatus();
  ASSERT_EQ(f.line->Sent().size(), 1u);
  EXPECT_EQ(f.line->Sent()[0].substr(3, 2), fmt::format("{:02X}", c.address));
}

constexpr int kMax = INT_MAX;
constexpr int kMin = INT_MIN;

// Defaults: ac 1, dc 1, mode 1, address 1, timeout 2000. ac below 1 reads
// 1, dc below 0 reads 0, both above 255 read 255 (logged); an address
// outside 0-255 and a timeout below 1 are logged and keep the default.
INSTANTIATE_TEST_SUITE_P(
    Device, BadAppSetting,
    testing::Values(
        ValueCase{"null", "null", 1, 1, 1, 1, 2000, kNone},
        ValueCase{"true", "true", 1, 0, 0, 0, 2000, {"reply_timeout_ms"}},
        ValueCase{"false", "false", 1, 0, 0, 0, 2000, {"reply_timeout_ms"}},
        ValueCase{"int", "3", 3, 3, 3, 3, 3, kNone},
        ValueCase{"zero", "0", 1, 0, 0, 0, 2000, {"reply_timeout_ms"}},
        ValueCase{"negative", "-2", 1, 0, -2, 1, 2000, {"address", "reply_timeout_ms"}},
        ValueCase{"fraction_cut", "2.7", 2, 2, 2, 2, 2, kNone},
        ValueCase{"negative_fraction", "-0.5", 1, 0, 0, 0, 2000, {"reply_timeout_ms"}},
        ValueCase{"above_a_byte", "300", 255, 255, 300, 1, 300, {"ac_number", "dc_number", "address"}},
        ValueCase{"beyond_int", "99999999999", 255, 255, kMax, 1, kMax,
                  {"ac_number", "dc_number", "address"}},
        ValueCase{"beyond_int_negative", "-99999999999", 1, 0, kMin, 1, 2000,
                  {"address", "reply_timeout_ms"}},
        ValueCase{"largest_unsigned", "18446744073709551615", 255, 255, kMax, 1, kMax,
                  {"ac_number", "dc_number", "address"}},
        // A JSON number in exponent form reads as its text does: the
        // digits before the "e".
        ValueCase{"huge_double", "1e300", 1, 1, 1, 1, 1, kNone},
        ValueCase{"exponent", "1e20", 1, 1, 1, 1, 1, kNone},
        ValueCase{"whole_double", "2500.0", 255, 255, 2500, 1, 2500,
                  {"ac_number", "dc_number", "address"}},
        ValueCase{"text", "\"4\"", 4, 4, 4, 4, 4, kNone},
        ValueCase{"text_with_blanks_and_tail", "\" \\t+12abc\"", 12, 12, 12, 12, 12, kNone},
        ValueCase{"text_non_numeric", "\"abc\"", 1, 0, 0, 0, 2000, {"reply_timeout_ms"}},
        ValueCase{"text_empty", "\"\"", 1, 0, 0, 0, 2000, {"reply_timeout_ms"}},
        ValueCase{"text_sign_only", "\"-\"", 1, 0, 0, 0, 2000, {"reply_timeout_ms"}},
        ValueCase{"text_beyond_int", "\"99999999999999999999999\"", 255, 255, kMax, 1, kMax,
                  {"ac_number", "dc_number", "address"}},
        ValueCase{"text_beyond_int_negative", "\"-2147483649\"", 1, 0, kMin, 1, 2000,
                  {"address", "reply_timeout_ms"}},
        ValueCase{"text_int_min", "\"-2147483648\"", 1, 0, kMin, 1, 2000,
                  {"address", "reply_timeout_ms"}},
        ValueCase{"array", "[3]", 1, 1, 1, 1, 2000, kAll},
        ValueCase{"empty_array", "[]", 1, 1, 1, 1, 2000, kAll},
        ValueCase{"object", R"({"n":3})", 1, 1, 1, 1, 2000, kAll},
        ValueCase{"empty_object", "{}", 1, 1, 1, 1, 2000, kAll}),
    [](const auto& info) { return std::string(info.param.name); });

// The configuration itself, or its appSetting, of another type than an
// object: nothing is read, nothing is logged, defaults hold.
TEST(BadConfig, NonObjectConfigurationKeepsEveryDefault) {
  const char* configs[] = {
      "null", "true", "7", "-1", "1.5", "1e300", "\"appSetting\"", "[]", "[{\"appSetting\":{}}]",
      R"({"appSetting":null})", R"({"appSetting":true})", R"({"appSetting":3})",
      R"({"appSetting":"b_mode"})", R"({"appSetting":[{"b_mode":0}]})",
      R"({"appsetting":{"b_mode":0}})"};
  for (const char* config : configs) {
    SCOPED_TRACE(config);
    DeviceFixture f(config);
    EXPECT_EQ(f.device->AcNumber(), 1);
    EXPECT_EQ(f.device->DcNumber(), 1);
    EXPECT_EQ(f.device->Mode(), 1);
    EXPECT_EQ(f.device->Address(), 1);
    EXPECT_EQ(f.device->ReplyTimeoutMs(), 2000);
    EXPECT_TRUE(f.controller->logs.empty());
  }
}

// A bad value in a later settings step keeps what the earlier one set.
TEST(BadConfig, IgnoredValueKeepsThePreviousSetting) {
  DeviceFixture f(R"({"appSetting":{"ac_number":3,"dc_number":2,"b_mode":0,"address":9}})");
  f.device->InitSetting(parse_json(
      R"({"appSetting":{"ac_number":[1],"dc_number":{},"b_mode":null,"address":"300"}})"));
  EXPECT_EQ(f.device->AcNumber(), 3);
  EXPECT_EQ(f.device->DcNumber(), 2);
  EXPECT_EQ(f.device->Mode(), 0);
  EXPECT_EQ(f.device->Address(), 9);
}

// Mode 3 reads the id members of every thresholdSetting entry as text; a
// member that has no text (null, array, object) counts as missing, and an
// array or object is also logged.
struct ThresholdCase {
  const char* name;
  const char* value;                 // JSON text of all four members
  std::optional<std::string> text;   // the members' text; nullopt: missing
  std::size_t logs;
};

class BadThresholdMember : public testing::TestWithParam<ThresholdCase> {};

TEST_P(BadThresholdMember, ReadsAsTextOrMissing) {
  const auto& c = GetParam();
  const std::string v = c.value;
  DeviceFixture f("{}", 7);
  testing::internal::CaptureStdout();
  f.device->InitSetting(parse_json(R"({"appSetting":{"b_mode":3},"thresholdSetting":{"K":{)"
                                   R"("SignalName":)" + v + R"(,"NMAlarmID":)" + v +
                                   R"(,"ID":)" + v + R"(,"SignalNumber":)" + v + "}}}"));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(f.controller->logs.size(), c.logs);
  if (c.text) {
    EXPECT_EQ(f.device->SignalNameMap().at("K"), *c.text);
    EXPECT_EQ(f.device->AlarmIdMap().at("K"), *c.text + ";" + *c.text + ";" + *c.text + ";");
    EXPECT_EQ(out.find("is missing"), std::string::npos) << out;
  } else {
    EXPECT_EQ(f.device->SignalNameMap().count("K"), 0u);
    EXPECT_EQ(f.device->AlarmIdMap().at("K"), ";;;");
    EXPECT_NE(out.find("7 NMAlarmID is missing\n7 ID is missing\n7 SignalNumber is missing\n"),
              std::string::npos)
        << out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Device, BadThresholdMember,
    testing::Values(ThresholdCase{"null", "null", std::nullopt, 0},
                    ThresholdCase{"true", "true", "true", 0},
                    ThresholdCase{"int", "12", "12", 0},
                    ThresholdCase{"negative", "-12", "-12", 0},
                    ThresholdCase{"double", "2.5", "2.5", 0},
                    ThresholdCase{"huge", "99999999999999999999", "1e+20", 0},
                    ThresholdCase{"text", "\"0601\"", "0601", 0},
                    ThresholdCase{"empty_text", "\"\"", "", 0},
                    ThresholdCase{"array", "[1]", std::nullopt, 4},
                    ThresholdCase{"object", R"({"a":1})", std::nullopt, 4}),
    [](const auto& info) { return std::string(info.param.name); });

// thresholdSetting, or one of its entries, of another type than an object.
TEST(BadConfig, ThresholdSettingOfAnyTypeInModeThree) {
  const struct {
    const char* thresholds;
    const char* out;
  } cases[] = {
      {"null", "here 1\n"},
      {"true", "here 1\nhere 2\n"},
      {"5", "here 1\nhere 2\n"},
      {"\"K\"", "here 1\nhere 2\n"},
      {"[{\"ID\":1}]", "here 1\nhere 2\n"},
      {R"({"A":null,"B":7,"C":"x","D":[1]})", "here 1\nhere 2\nhere A\nhere B\nhere C\nhere D\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.thresholds);
    DeviceFixture f("{}", 7);
    testing::internal::CaptureStdout();
    f.device->InitSetting(parse_json(std::string(R"({"appSetting":{"b_mode":"3"},"thresholdSetting":)") +
                                     c.thresholds + "}"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_TRUE(f.device->AlarmIdMap().empty());
    EXPECT_TRUE(f.controller->logs.empty());
  }
}

// The conversion on its own: atoi's results for every input atoi defines,
// saturation for the rest.
TEST(SettingsToInt, ReadsLikeAtoiAndSaturates) {
  const struct {
    const char* text;
    int value;
  } cases[] = {
      {"0", 0},
      {"42", 42},
      {"-42", -42},
      {"+42", 42},
      {"  \t\n\v\f\r7", 7},
      {"007", 7},
      {"12abc", 12},
      {"1.9", 1},
      {"1e+20", 1},
      {"", 0},
      {"abc", 0},
      {"-", 0},
      {"+-3", 0},
      {" - 3", 0},
      {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN},
      {"2147483648", INT_MAX},
      {"-2147483649", INT_MIN},
      {"99999999999", INT_MAX},
      {"-99999999999999999999999999999", INT_MIN},
      {"00000000000000000000000000001", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(settings::to_int(c.text), c.value);
  }
  // Text stops at an embedded NUL, as it does for a C string.
  EXPECT_EQ(settings::to_int(std::string("12\0" "3", 4)), 12);
}

}  // namespace
