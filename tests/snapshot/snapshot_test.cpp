// The snapshot image: change test, layout, bounds of the fixed buffer.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstring>

#include "cycle_driver.h"
#include "device_fixture.h"

namespace {

using namespace testing_support;
using Bytes = std::vector<unsigned char>;

const ptime kNow(boost::gregorian::date(2024, 5, 6), boost::posix_time::hours(7) +
                                                         boost::posix_time::minutes(8) +
                                                         boost::posix_time::seconds(9));
ptime fixed_now() { return kNow; }

template <class T>
Bytes bytes_of(const T& v) {
  Bytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

Bytes slice(const Bytes& b, std::size_t at, std::size_t n) {
  return Bytes(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
}

float float_at(const Bytes& b, std::size_t at) {
  float v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

// The whole layout of the device's records as they stand.
Bytes layout(const HVR38QT& d) {
  Bytes out = bytes_of(d.Header());
  auto add = [&out](const void* p, std::size_t n) {
    const auto* c = static_cast<const unsigned char*>(p);
    out.insert(out.end(), c, c + n);
  };
  add(d.AcUnits().data(), d.AcUnits().size() * 51);
  add(d.DcUnits().data(), d.DcUnits().size() * 219);
  add(&d.Block95(), 6);
  add(d.Modules().data(), d.Modules().size() * 68);
  add(&d.BlockA3(), 144);
  const std::int16_t w = d.Word93();
  add(&w, 2);
  add(d.AlarmList().data(), d.AlarmList().size() * 4);
  return out;
}

TEST(Snapshot, LayoutOfOneAcUnitFourModulesNoAlarms) {
  DeviceFixture f(R"({"appSetting":{"dc_number":"0"}})", 0x01020304);
  f.device->SetClock(&fixed_now);
  CycleData d;
  d.currents = {100, 200, 300, 400};
  d.ac = {ac_unit({2200, 2210, 2220}, 5)};
  d.extras = {0xA1, 0xA2, 0x03, 0xE8};
  d.a3 = patterned(144, 0x20);
  full_cycle(f, d);

  ASSERT_EQ(f.controller->snapshots.size(), 1u);
  const Bytes image = f.controller->snapshots[0];
  ASSERT_EQ(image.size(), 1291u);
  EXPECT_EQ(f.device->SnapshotSize(), 1291);
  EXPECT_EQ(f.controller->histories.at(0), image);

  EXPECT_EQ(slice(image, 0, 4), (Bytes{0x04, 0x03, 0x02, 0x01}));
  EXPECT_FLOAT_EQ(float_at(image, 4), 53.5f);
  EXPECT_EQ(image[8], 4);
  EXPECT_EQ(slice(image, 9, 7), (Bytes{0xE8, 0x07, 5, 6, 7, 8, 9}));
  // AC record at 16.
  EXPECT_FLOAT_EQ(float_at(image, 16), 220.0f);
  EXPECT_FLOAT_EQ(float_at(image, 24), 222.0f);
  EXPECT_EQ(slice(image, 64, 3), (Bytes{5, 6, 7}));
  // 0x95 block at 67.
  EXPECT_EQ(image[67], 0xA1);
  EXPECT_EQ(image[68], 0xA2);
  EXPECT_FLOAT_EQ(float_at(image, 69), 100.0f);
  // Module records at 73..344.
  for (std::size_t i = 0; i < 4; ++i) {
    const std::size_t at = 73 + 68 * i;
    EXPECT_EQ(slice(image, at, 68), bytes_of(f.device->Modules()[i])) << i;
    EXPECT_FLOAT_EQ(float_at(image, at), 10.0f * static_cast<float>(i + 1));
    EXPECT_EQ(image[at + 4], 0x30 + i);  // state_1
    EXPECT_EQ(image[at + 8], i + 1);     // module_no
  }
  // 0xA3 block at 345, raw head then values in host order.
  EXPECT_EQ(slice(image, 345, 6), (Bytes{0x20, 0x21, 0x22, 0x23, 0x25, 0x24}));
  EXPECT_EQ(slice(image, 345, 144), bytes_of(f.device->BlockA3()));
  // 0x93 word at 489, then nothing.
  EXPECT_EQ(slice(image, 489, 2), (Bytes{0xFE, 0xFF}));
  EXPECT_EQ(slice(image, 491, 800), Bytes(800, 0));

  // Bytes after the image keep what a cache restore put there.
  const Bytes cached(1291, 0xEE);
  f.device->LoadFromCache(cached.data(), 1291);
  full_cycle(f, d);
  ASSERT_EQ(f.controller->snapshots.size(), 2u);
  const Bytes& again = f.controller->snapshots[1];
  EXPECT_EQ(slice(again, 0, 491), slice(image, 0, 491));
  EXPECT_EQ(slice(again, 491, 800), Bytes(800, 0xEE));
}

TEST(Snapshot, AlarmCodesAreTurnedOnceIntoHostOrder) {
  DeviceFixture f(R"({"appSetting":{"dc_number":"0"}})");
  CycleData d;
  d.alarms = 1;
  full_cycle(f, d);
  f.device->RoundDone();  // a second cycle end without a new list
  ASSERT_EQ(f.controller->snapshots.size(), 2u);
  EXPECT_EQ(+f.device->AlarmList()[0].code, 0x0100);
  const std::size_t at = 168 + 51 + 68 * 2;
  for (const auto& image : f.controller->snapshots)
    EXPECT_EQ(slice(image, at, 4), (Bytes{0, 12, 0x00, 0x01}));
}

TEST(Snapshot, ImageIsTheLayoutCutAtTheBufferEnd) {
  // Sized for one module; then the controller announces fifteen and ten
  // alarms, more than the buffer holds.
  DeviceFixture f;
  CycleData d;
  d.currents = {100};
  full_cycle(f, d);
  const int size = f.device->SnapshotSize();
  ASSERT_EQ(size, 51 + 219 + 68 + 22 + 146 + 800);
  d.currents.assign(15, 50);
  d.alarms = 10;
  full_cycle(f, d);
  ASSERT_EQ(f.controller->snapshots.size(), 2u);
  EXPECT_EQ(f.device->SnapshotSize(), size);
  const Bytes full = layout(*f.device);
  ASSERT_GT(full.size(), static_cast<std::size_t>(size));
  EXPECT_EQ(f.controller->snapshots[1], slice(full, 0, static_cast<std::size_t>(size)));

  // A shorter buffer from the cache keeps its length too.
  const Bytes cached(20, 0xEE);
  f.device->LoadFromCache(cached.data(), 20);
  full_cycle(f, d);
  EXPECT_EQ(f.controller->snapshots.back(), slice(layout(*f.device), 0, 20));
}

struct ChangeCase {
  const char* name;
  std::uint16_t volts_before, volts_after;  // tenths
  std::uint16_t extra_before, extra_after;  // tenths
  std::uint8_t changed;
};

class ChangeTest : public testing::TestWithParam<ChangeCase> {};

void set_values(HVR38QT& d, std::uint16_t volts, std::uint16_t extra) {
  const Info a = {0, static_cast<std::uint8_t>(volts >> 8), static_cast<std::uint8_t>(volts), 0};
  const Info e = {0, 0, static_cast<std::uint8_t>(extra >> 8), static_cast<std::uint8_t>(extra)};
  ASSERT_EQ(d.parse41_42(a.data(), a.size()), 4u);
  ASSERT_EQ(d.parse41_95(e.data(), e.size()), 4u);
}

TEST_P(ChangeTest, SinglePrecisionThresholds) {
  const auto& c = GetParam();
  DeviceFixture f;
  set_values(*f.device, c.volts_before, c.extra_before);
  // The first evaluation, with no data ready yet, only takes the values.
  f.device->RunCheckThreshold();
  EXPECT_EQ(f.device->DataReady(), 1);
  EXPECT_EQ(f.device->DataChanged(), 0);
  EXPECT_FLOAT_EQ(f.device->PreviousVoltage(), c.volts_before / 10.0f);

  set_values(*f.device, c.volts_after, c.extra_after);
  f.device->RunCheckThreshold();
  EXPECT_EQ(f.device->DataChanged(), c.changed);
  // The test never clears the flag.
  f.device->RunCheckThreshold();
  EXPECT_EQ(f.device->DataChanged(), c.changed);
}

INSTANTIATE_TEST_SUITE_P(Snapshot, ChangeTest,
                         testing::Values(ChangeCase{"v_53_5_to_53_7", 535, 537, 1000, 1000, 1},
                                         ChangeCase{"v_53_7_to_53_5", 537, 535, 1000, 1000, 1},
                                         ChangeCase{"v_0_3_to_0_5", 3, 5, 1000, 1000, 0},
                                         ChangeCase{"v_exactly_threshold", 0, 2, 1000, 1000, 1},
                                         ChangeCase{"e_exactly_threshold", 535, 535, 0, 200, 1},
                                         ChangeCase{"v_53_5_to_53_6", 535, 536, 1000, 1000, 0},
                                         ChangeCase{"v_53_5_to_53_8", 535, 538, 1000, 1000, 1},
                                         ChangeCase{"e_100_to_120", 535, 535, 1000, 1200, 1},
                                         ChangeCase{"e_120_to_100", 535, 535, 1200, 1000, 1},
                                         ChangeCase{"e_100_to_119_9", 535, 535, 1000, 1199, 0},
                                         ChangeCase{"e_100_to_120_1", 535, 535, 1000, 1201, 1},
                                         ChangeCase{"both_below", 535, 536, 1000, 1199, 0},
                                         ChangeCase{"none", 535, 535, 1000, 1000, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
