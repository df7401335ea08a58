// The settings step of the device and of its buffered base.
#include <gtest/gtest.h>

#include <cstring>

#include "cycle_driver.h"
#include "device_fixture.h"

namespace {

using namespace testing_support;

struct SettingsCase {
  const char* name;
  const char* config;
  int ac, dc, mode;
  std::size_t logs;  // lines that report an ignored or clamped value
};

class Settings : public testing::TestWithParam<SettingsCase> {};

TEST_P(Settings, SizesListsAndMode) {
  const auto& c = GetParam();
  DeviceFixture f(c.config);
  EXPECT_EQ(f.device->AcNumber(), c.ac);
  EXPECT_EQ(f.device->DcNumber(), c.dc);
  EXPECT_EQ(f.device->AcUnits().size(), static_cast<std::size_t>(c.ac));
  EXPECT_EQ(f.device->DcUnits().size(), static_cast<std::size_t>(c.dc));
  EXPECT_EQ(f.device->Mode(), c.mode);
  EXPECT_EQ(f.controller->logs.size(), c.logs);
}

INSTANTIATE_TEST_SUITE_P(
    Device, Settings,
    testing::Values(
        SettingsCase{"empty", "{}", 1, 1, 1, 0},
        SettingsCase{"no_members", R"({"appSetting":{}})", 1, 1, 1, 0},
        SettingsCase{"three_ac_no_dc", R"({"appSetting":{"ac_number":"3","dc_number":"0"}})", 3, 0,
                     1, 0},
        SettingsCase{"negative", R"({"appSetting":{"ac_number":"-5","dc_number":"-1"}})", 1, 0, 1,
                     0},
        SettingsCase{"non_numeric", R"({"appSetting":{"ac_number":"x","dc_number":"y"}})", 1, 0, 1,
                     0},
        SettingsCase{"json_numbers", R"({"appSetting":{"ac_number":2,"dc_number":4,"b_mode":2}})",
                     2, 4, 2, 0},
        SettingsCase{"nulls_keep",
                     R"({"appSetting":{"ac_number":null,"dc_number":null,"b_mode":null}})", 1, 1, 1,
                     0},
        SettingsCase{"above_a_byte", R"({"appSetting":{"ac_number":"256","dc_number":1000}})", 255,
                     255, 1, 2},
        SettingsCase{"object_and_array_values",
                     R"({"appSetting":{"ac_number":{"n":3},"dc_number":[2],"b_mode":{}}})", 1, 1, 1,
                     3},
        SettingsCase{"app_setting_not_object", R"({"appSetting":"ac_number"})", 1, 1, 1, 0},
        SettingsCase{"config_array", R"([1,2])", 1, 1, 1, 0},
        SettingsCase{"config_number", "7", 1, 1, 1, 0},
        SettingsCase{"mode_text", R"({"appSetting":{"b_mode":"x"}})", 1, 1, 0, 0},
        SettingsCase{"mode_negative", R"({"appSetting":{"b_mode":"-4"}})", 1, 1, -4, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceSettings, RerunKeepsAbsentKeysAndRecordContents) {
  DeviceFixture f(R"({"appSetting":{"ac_number":"1","dc_number":"2","b_mode":"0"}})");
  CycleData d;
  d.ac = {ac_unit({2200, 2210, 2220})};
  full_cycle(f, d);
  ASSERT_EQ(f.controller->snapshots.size(), 1u);

  f.device->InitSetting(parse_json(R"({"appSetting":{"ac_number":"2"}})"));
  EXPECT_EQ(f.device->DcNumber(), 2);
  EXPECT_EQ(f.device->Mode(), 0);
  ASSERT_EQ(f.device->AcUnits().size(), 2u);
  EXPECT_FLOAT_EQ(f.device->AcUnits()[0].u_c, 222.0f);
  EXPECT_EQ(+f.device->AcUnits()[1].u_a, 0.0f);
  EXPECT_EQ(+f.device->AcUnits()[1].status_3, 0);
}

TEST(DeviceSettings, DeviceIdGoesIntoTheHeaderLowByteFirst) {
  DeviceFixture f("{}", 513);
  std::uint8_t bytes[4];
  std::memcpy(bytes, &f.device->Header(), 4);
  EXPECT_EQ(bytes[0], 0x01);
  EXPECT_EQ(bytes[1], 0x02);
  EXPECT_EQ(bytes[2], 0x00);
  EXPECT_EQ(bytes[3], 0x00);
}

std::string settings_output(const std::string& config, unsigned id = 7) {
  DeviceFixture f("{}", id);
  testing::internal::CaptureStdout();
  f.device->InitSetting(parse_json(config));
  return testing::internal::GetCapturedStdout();
}

TEST(DeviceSettings, ModeThreeWithoutThresholdsWritesOnlyTheFirstLine) {
  EXPECT_EQ(settings_output(R"({"appSetting":{"b_mode":"3"}})"), "here 1\n");
  EXPECT_EQ(settings_output(R"({"appSetting":{"b_mode":"3"},"thresholdSetting":null})"),
            "here 1\n");
  // Other modes never look at the thresholds.
  EXPECT_EQ(settings_output(R"({"appSetting":{"b_mode":"2"},"thresholdSetting":{"A":{}}})"), "");
}

TEST(DeviceSettings, ModeThreeReportsEveryThresholdEntry) {
  const std::string config = R"({"appSetting":{"b_mode":3},"thresholdSetting":{
      "FULL":{"SignalName":"sig","NMAlarmID":"0601","ID":7,"SignalNumber":"2"},
      "EMPTY":{},
      "PART":{"NMAlarmID":null,"ID":{"x":1},"SignalNumber":"9"},
      "SCALAR":5}})";
  DeviceFixture f("{}", 7);
  f.device->LevelMap()["FULL"] = 3;
  f.device->ValueMap()["FULL"] = 1.5f;
  testing::internal::CaptureStdout();
  f.device->InitSetting(parse_json(config));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "here 1\n"
            "here 2\n"
            "here EMPTY\n"
            "7 NMAlarmID is missing\n"
            "7 ID is missing\n"
            "7 SignalNumber is missing\n"
            "mobile:EMPTY:;;; level:0 value:0\n"
            "here FULL\n"
            "mobile:FULL:0601;7;2; level:3 value:1.5\n"
            "here PART\n"
            "7 NMAlarmID is missing\n"
            "7 ID is missing\n"
            "mobile:PART:;;9; level:0 value:0\n"
            "here SCALAR\n");
  EXPECT_EQ(f.device->AlarmIdMap().at("EMPTY"), ";;;");
  EXPECT_EQ(f.device->AlarmIdMap().at("FULL"), "0601;7;2;");
  EXPECT_EQ(f.device->AlarmIdMap().count("SCALAR"), 0u);
  EXPECT_EQ(f.device->SignalNameMap(), (std::map<std::string, std::string>{{"FULL", "sig"}}));
  // Reading the host maps created the entries they lacked.
  EXPECT_EQ(f.device->LevelMap().count("EMPTY"), 1u);
}

}  // namespace
