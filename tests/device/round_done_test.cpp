// The cycle end of the buffered base and the cache restore.
#include <gtest/gtest.h>

#include <algorithm>

#include "cycle_driver.h"
#include "device_fixture.h"

namespace {

using namespace testing_support;

// The first cycle of a controller that reports no change: 0x42, 0x43 and
// the cycle end.
void quiet_first_cycle(DeviceFixture& f, std::uint16_t volts_tenths) {
  f.device->RefreshStatus();
  f.reply(analog(0, volts_tenths, {100}));
  f.reply(switch_states(1));
}

struct ChangeCase {
  std::uint16_t volts_tenths;
  bool batch_result;
  std::uint8_t expected;
};

class RoundDoneChangeFlag : public testing::TestWithParam<ChangeCase> {};

TEST_P(RoundDoneChangeFlag, MergesTheBatchResult) {
  const auto& c = GetParam();
  DeviceFixture f;
  f.controller->batch_result = c.batch_result;
  quiet_first_cycle(f, c.volts_tenths);
  ASSERT_EQ(f.controller->snapshots.size(), 1u);
  EXPECT_EQ(f.device->DataChanged(), c.expected);
  EXPECT_EQ(f.device->Status(), 1);
  EXPECT_EQ(f.device->DataReady(), 1);
  // The next cycle end starts from a cleared flag.
  f.controller->batch_result = false;
  f.device->RoundDone();
  EXPECT_EQ(f.device->DataChanged(), 0);
}

// The previous voltage starts at zero, so a first evaluation at 53.5 V is a
// change of its own.
INSTANTIATE_TEST_SUITE_P(Device, RoundDoneChangeFlag,
                         testing::Values(ChangeCase{0, false, 0}, ChangeCase{0, true, 1},
                                         ChangeCase{535, false, 1}, ChangeCase{535, true, 1}));

class RoundDoneOrder : public testing::TestWithParam<const char*> {};

TEST_P(RoundDoneOrder, PublishesThenChecksThenStores) {
  DeviceFixture f(std::string(R"({"appSetting":{"b_mode":")") + GetParam() + "\"}}");
  full_cycle(f, CycleData{});
  const auto& order = f.controller->order;
  const auto first_send = std::find(order.begin(), order.end(), "sendsp");
  std::vector<std::string> tail(first_send, order.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"sendsp", "batch", "history"}));
  const auto reports = std::count(order.begin(), first_send, "report");
  const std::string mode = GetParam();
  if (mode == "1" || mode == "3") {
    EXPECT_EQ(reports, 0);
  } else {
    EXPECT_GT(reports, 0);
  }
  EXPECT_EQ(reports, static_cast<long>(f.controller->reports.size()));
}

INSTANTIATE_TEST_SUITE_P(Device, RoundDoneOrder, testing::Values("1", "3", "0", "-1"));

TEST(CacheRestore, SameSizeReusesOtherSizeReplaces) {
  DeviceFixture f;
  std::vector<unsigned char> a(30, 0xAA);
  ASSERT_EQ(f.device->LoadFromCache(a.data(), 30), 1);
  const auto* first = f.device->Snapshot().get();
  EXPECT_EQ(f.device->DataReady(), 1);

  std::vector<unsigned char> b(30, 0xBB);
  ASSERT_EQ(f.device->LoadFromCache(b.data(), 30), 1);
  EXPECT_EQ(f.device->Snapshot().get(), first);
  EXPECT_EQ(*f.device->Snapshot(), b);

  const std::string c(12, 'c');
  ASSERT_EQ(static_cast<VDeviceInterface&>(*f.device).LoadFromCache(c), 1);
  EXPECT_EQ(f.device->SnapshotSize(), 12);
  EXPECT_EQ(*f.device->Snapshot(), std::vector<unsigned char>(c.begin(), c.end()));
}

TEST(CacheRestore, RefusesNegativeLengthAndNoData) {
  DeviceFixture f;
  // Before any buffer exists, and with one in place.
  EXPECT_EQ(f.device->LoadFromCache(nullptr, 4), 0);
  EXPECT_EQ(f.device->Snapshot(), nullptr);
  EXPECT_EQ(f.device->DataReady(), 0);

  std::vector<unsigned char> a(8, 0xAA);
  f.device->LoadFromCache(a.data(), 8);
  const auto* buffer = f.device->Snapshot().get();
  EXPECT_EQ(f.device->LoadFromCache(a.data(), -1), 0);
  EXPECT_EQ(f.device->LoadFromCache(nullptr, 8), 0);
  EXPECT_EQ(f.device->Snapshot().get(), buffer);
  EXPECT_EQ(f.device->SnapshotSize(), 8);
  EXPECT_EQ(*f.device->Snapshot(), a);
}

}  // namespace
