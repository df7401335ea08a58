// A whole poll cycle through the real codec: requests in order, one
// snapshot of the allocated size, equal to the history entry.
#include <gtest/gtest.h>

#include "device_fixture.h"

using testing_support::DeviceFixture;

namespace {

std::vector<std::uint8_t> module_detail(std::uint8_t last, std::uint8_t k) {
  std::vector<std::uint8_t> info(61, 0);
  info[0] = last;
  info[1] = k;
  return info;
}

TEST(FullCycle, FirstChangedCycleWalksEveryCommandAndPublishes) {
  DeviceFixture f(R"({"appSetting":{"ac_number":"1","dc_number":"1"}})");
  f.device->RefreshStatus();
  // 0x42: changed, 53.5 V, two modules at 10.0 and 20.0 A.
  f.reply({1, 0x02, 0x17, 2, 0x00, 0x64, 0, 0x00, 0xC8, 0});
  f.reply({2, 0, 0, 0, 0, 1, 2, 3, 0});  // 0x43
  f.reply({2, 0, 0, 1, 0});              // 0x44
  f.reply(module_detail(0, 1));          // 0x8F module 1
  f.reply(module_detail(1, 2));          // 0x8F module 2, last
  f.reply({0, 0, 0x03, 0xE8});           // 0x95
  f.reply(std::vector<std::uint8_t>(27, 0));   // 0xA2 unit 1
  f.reply(std::vector<std::uint8_t>(219, 0));  // 0xA4 unit 1
  f.reply(std::vector<std::uint8_t>(144, 0));  // 0xA3
  f.reply({0xFF, 0xFE});                       // 0x93
  f.reply({1, 1, 12, 0x01, 0x2C});             // 0x9C: one alarm, code 300

  EXPECT_EQ(f.requests(), (std::vector<int>{0x42, 0x43, 0x44, 0x8F, 0x8F, 0x95, 0xA2, 0xA4,
                                             0xA3, 0x93, 0x9C}));
  // Protocol version 0x21, address 1; the AC unit number as the data byte.
  EXPECT_EQ(f.line->Sent().at(0), "~210141420000FDB1\r");
  EXPECT_EQ(f.line->Sent().at(6), "~210141A2E00201FD2C\r");
  ASSERT_EQ(f.controller->snapshots.size(), 1u);
  const auto& snap = f.controller->snapshots[0];
  EXPECT_EQ(snap.size(), static_cast<std::size_t>(51 + 219 + 68 * 2 + 22 + 146 + 800));
  EXPECT_EQ(snap.size(), static_cast<std::size_t>(f.device->SnapshotSize()));
  EXPECT_EQ(f.controller->histories.at(0), snap);
  EXPECT_EQ(f.controller->snapshot_types.at(0), 5029);
  EXPECT_EQ(f.device->Header().module_count, 2);
  EXPECT_FLOAT_EQ(f.device->Header().output_voltage, 53.5f);
  EXPECT_EQ(f.device->Word93(), -2);
  ASSERT_EQ(f.device->AlarmList().size(), 1u);
  EXPECT_EQ(f.device->AlarmList()[0].code, 300);
  // Alarm item in the image: code little-endian.
  const std::size_t alarms_at = 168 + 51 + 219 + 68 * 2;
  EXPECT_EQ(snap[alarms_at + 2], 0x2C);
  EXPECT_EQ(snap[alarms_at + 3], 0x01);
  EXPECT_EQ(f.device->DataReady(), 1);
  EXPECT_FALSE(f.device->IsProcessing());
}

}  // namespace
