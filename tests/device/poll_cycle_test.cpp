// The poll cycle, driven reply by reply through the codec: request order,
// the three ways a cycle ends, and the faults that fail it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "cycle_driver.h"
#include "device_fixture.h"

namespace {

using namespace testing_support;

// Counts the resets of the exchange, which failures after state 5 and every
// cycle end perform.
class CountingDevice : public HVR38QT {
 public:
  CountingDevice() : HVR38QT(hvr38qt::device_parts()) {}
  int resets = 0;
  void Reset() override {
    ++resets;
    HVR38QT::Reset();
  }
};

struct Step {
  Info info;
  std::uint8_t rtn = 0;
};
using Steps = std::vector<Step>;
using Requests = std::vector<std::string>;

// How the cycle ended: poll state (-1: not checked), snapshots published and
// Reset calls, those of the cycle end included.
struct End {
  int state;
  std::size_t publishes;
  int resets;
};
const End kPublished{-1, 1, 1};
End failed(int resets) { return {2, 0, resets}; }

struct PathCase {
  const char* name;
  const char* config;
  bool ready;  // a snapshot exists before the cycle (restored from cache)
  Steps replies;
  Requests requests;  // "CID2" or "CID2 DATA", in hex
  End end;
  std::vector<std::string> logs;
  std::function<void(const HVR38QT&)> check = nullptr;
};

const char* const kOneEach = R"({"appSetting":{"ac_number":"1","dc_number":"1"}})";
const Info kChanged = analog(1, 535, {100, 200});
const Info kUnchanged = analog(0, 535, {100, 200});

// A later cycle with a change, one AC and one DC unit, two modules and no
// alarms: reply i answers request i.
const Steps kFull = {{kChanged},   {alarm_states(2)}, {module_detail(0, 1)}, {module_detail(1, 2)},
                     {{0, 0, 0, 0}}, {Info(27)},      {Info(219)},           {Info(144)},
                     {{0, 1}},     {{0}}};
const Requests kFullRequests = {"42",    "44",    "8F 00", "8F 01", "95",
                                "A2 01", "A4 01", "A3",    "93",    "9C"};

// The first n replies of the full cycle, then others.
Steps after(std::size_t n, const Steps& more) {
  Steps v(kFull.begin(), kFull.begin() + static_cast<long>(n));
  v.insert(v.end(), more.begin(), more.end());
  return v;
}
Requests upto(std::size_t n, const Requests& more = {}) {
  Requests v(kFullRequests.begin(), kFullRequests.begin() + static_cast<long>(n));
  v.insert(v.end(), more.begin(), more.end());
  return v;
}
Steps full_with(std::size_t i, const Step& s) {
  Steps v = kFull;
  v[i] = s;
  return v;
}

std::string msg(const char* tail) { return std::string("HVR38QT:ProcotolError 1 ") + tail; }

class PollPath : public testing::TestWithParam<PathCase> {};

TEST_P(PollPath, RequestsEndAndMessages) {
  const auto& c = GetParam();
  auto owned = std::make_unique<CountingDevice>();
  auto* dev = owned.get();
  DeviceFixture f(c.config, 1, std::move(owned));
  if (c.ready) {
    const Info cached(10, 0);
    f.device->LoadFromCache(cached.data(), 10);
  }
  f.device->RefreshStatus();
  for (const auto& s : c.replies) f.reply(s.info, s.rtn);

  Requests sent;
  for (const auto& r : f.line->Sent()) {
    std::string t = r.substr(7, 2);
    if (!request_data(r).empty()) t += " " + request_data(r);
    sent.push_back(t);
  }
  EXPECT_EQ(sent, c.requests);
  if (c.end.state >= 0) {
    EXPECT_EQ(f.device->State(), c.end.state);
  }
  EXPECT_EQ(f.controller->snapshots.size(), c.end.publishes);
  EXPECT_EQ(dev->resets, c.end.resets);
  EXPECT_EQ(f.controller->logs, c.logs);
  if (c.check) c.check(*f.device);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Device, PollPath, testing::Values(
    PathCase{"first_unchanged", kOneEach, false, {{kUnchanged}, {switch_states(2)}}, {"42", "43"},
             kPublished, {}, [](const HVR38QT& d) {
               EXPECT_EQ(d.Modules()[1].state_1, 1);
               EXPECT_EQ(d.AlarmCount(), 0u);
             }},
    PathCase{"later_unchanged", kOneEach, true, {{kUnchanged}}, {"42"}, {4, 0, 0}, {}},
    PathCase{"later_changed", kOneEach, true, full_with(4, {{1, 2, 0, 5}}), upto(10), kPublished, {},
             [](const HVR38QT& d) {
               EXPECT_EQ(d.Modules()[1].module_no, 2);  // the last number fills the last record
               EXPECT_FLOAT_EQ(d.Block95().ext_value, 0.5f);
             }},
    PathCase{"two_ac_no_dc", R"({"appSetting":{"ac_number":"2","dc_number":"0"}})", true,
             after(5, {{Info(27)}, {Info(27)}, {Info(144)}, {{0, 0}}, {{0}}}),
             upto(5, {"A2 01", "A2 02", "A3", "93", "9C"}), kPublished, {}},
    PathCase{"return_code_4_to_first_dc", R"({"appSetting":{"dc_number":"2"}})", true,
             after(6, {{Info(219, 0x11), 4}, {Info(144)}, {{0, 0}}, {{0}}}),
             upto(7, {"A3", "93", "9C"}), kPublished, {},
             [](const HVR38QT& d) { EXPECT_EQ(+d.DcUnits()[0].dc_value16, 0); }},
    PathCase{"extras_length_6", kOneEach, true, full_with(4, {{9, 9, 9}}), upto(10), kPublished, {},
             [](const HVR38QT& d) { EXPECT_EQ(d.Block95().ext_state_1, 0); }},
    PathCase{"extras_length_10", kOneEach, true, after(4, {{{1, 2, 3, 4, 5}}}), upto(5), failed(1),
             {msg("parse p41_95 overflow memory boundary")}},
    PathCase{"a3_130_bytes", kOneEach, true, after(7, {{Info(130)}}), upto(8), failed(1), {}},
    PathCase{"w93_three_bytes", kOneEach, true, after(8, {{{0, 0, 0}}}), upto(9), failed(1), {}},
    PathCase{"module_number_0", kOneEach, true, after(2, {{module_detail(1, 0)}}), upto(3), failed(1),
             {msg("parse 41_8F error, index out of range")}},
    PathCase{"module_number_above_count", kOneEach, true, after(2, {{module_detail(1, 3)}}), upto(3),
             failed(1), {msg("parse 41_8F error, index out of range")}},
    PathCase{"module_retcode_2", kOneEach, true, after(2, {{{2, 1}}}), upto(3), failed(1),
             {msg("parse 41_8F error get retcode 2")}},
    PathCase{"module_detail_short", kOneEach, true, after(2, {{Info{1, 1, 5, 5}}}), upto(3), failed(1),
             {msg("parse p41_8F overflow memory boundary")}},
    PathCase{"module_never_last", kOneEach, true,
             after(2, {{module_detail(0, 1)}, {module_detail(0, 2)}, {module_detail(1, 2)}}), upto(4),
             failed(1), {msg("parse 41_8F error, more replies than modules")}},
    PathCase{"ac_unit_short", kOneEach, true, after(5, {{Info(26)}}), upto(6), failed(1),
             {msg("parse p41_A2 overflow memory boundary")}},
    PathCase{"dc_unit_short", kOneEach, true, after(6, {{Info(218)}}), upto(7), failed(1),
             {msg("parse p41_A4 overflow memory boundary")}},
    PathCase{"alarm_part_1_short", kOneEach, true, after(9, {{{2, 1, 12, 0, 1}}}), upto(10), failed(1),
             {msg("parse p41_9C overflow memory boundary")}},
    PathCase{"alarm_part_2_short", kOneEach, true, after(9, {{alarm_parts(51)[0]}, {Info{}}}),
             upto(10, {"9D"}), failed(1), {msg("parse p41_9D overflow memory boundary")}},
    PathCase{"analog_short", kOneEach, true, {{Info{1, 2, 0x17, 2, 0, 100, 0}}}, {"42"}, failed(0),
             {msg("parse p41_41 overflow memory boundary")}},
    PathCase{"analog_extra_bytes", kOneEach, true, {{Info{0, 0x02, 0x1C, 0x01, 0x00, 0x64, 0x02, 0xAA, 0xBB}}},
             {"42"}, {4, 0, 0}, {msg("read 41_42 p is 2 not 0")}, [](const HVR38QT& d) {
               EXPECT_FLOAT_EQ(d.Header().output_voltage, 54.0f);
               EXPECT_FLOAT_EQ(d.Modules()[0].current, 10.0f);
             }},
    PathCase{"switch_count_mismatch", kOneEach, false, {{kUnchanged}, {switch_states(3)}, {{0}}},
             {"42", "43"}, failed(0), {msg("parse p41_43 channel_count not equal 3 != 2 "),
                                       msg("parse p41_43 overflow memory boundary")}},
    PathCase{"switch_extra_bytes", kOneEach, false, {{analog(0, 535, {100})}, {Info{1, 7, 8, 9, 1, 0xEE}}},
             {"42", "43"}, kPublished, {msg("read 41_43 p is 1, not 0")},
             [](const HVR38QT& d) { EXPECT_EQ(d.Modules()[0].state_3, 9); }},
    PathCase{"alarm_state_count_mismatch", kOneEach, true, {{kChanged}, {alarm_states(1)}},
             {"42", "44"}, failed(1), {msg("parse p41_44 channel_count not equal 1 != 2 "),
                                       msg("parse p41_44 overflow memory boundary")}},
    PathCase{"alarm_state_extra_bytes", kOneEach, true, {{analog(1, 535, {100})}, {Info{1, 0xFE, 2, 0, 0}}},
             {"42", "44", "8F 00"}, {10, 0, 0}, {msg("read 41_44 p is 2, not 0")},
             [](const HVR38QT& d) { EXPECT_EQ(d.Modules()[0].alarm_state, 0xFE); }}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(Decoders, AnalogueWorkedExample) {
  HVR38QT d{hvr38qt::device_parts()};
  const Info info = {0x00, 0x02, 0x1C, 0x02, 0x00, 0x64, 0x00, 0x00, 0xC8, 0x00};
  EXPECT_EQ(d.parse41_42(info.data(), info.size()), 10u);
  EXPECT_FLOAT_EQ(d.Header().output_voltage, 54.0f);
  EXPECT_EQ(+d.Header().module_count, 2);
  ASSERT_EQ(d.Modules().size(), 2u);
  EXPECT_FLOAT_EQ(d.Modules()[0].current, 10.0f);
  EXPECT_FLOAT_EQ(d.Modules()[1].current, 20.0f);

  for (auto [hi, lo, volts] : {std::tuple{0xFF, 0xFF, 6553.5f}, std::tuple{0x00, 0x01, 0.1f}}) {
    const Info v = {0, static_cast<std::uint8_t>(hi), static_cast<std::uint8_t>(lo), 0};
    EXPECT_EQ(d.parse41_42(v.data(), v.size()), 4u);
    EXPECT_EQ(+d.Header().output_voltage, volts);  // exact in single precision
  }
  // A count of zero keeps the records of the first reply.
  EXPECT_EQ(d.Modules().size(), 2u);
}

TEST(Decoders, ModuleDetailFillsBytes8To67Only) {
  DeviceFixture f(kOneEach);
  f.device->RefreshStatus();
  f.reply(kChanged);
  f.reply(switch_states(2, 0x30));
  f.reply(alarm_states(2, 0x40));
  const Info detail = module_detail(0, 2);
  const auto before = f.device->Modules()[1];
  f.reply(detail);
  const auto& rec = f.device->Modules()[1];
  unsigned char bytes[68], old[68];
  std::memcpy(bytes, &rec, 68);
  std::memcpy(old, &before, 68);
  EXPECT_EQ(0, std::memcmp(bytes, old, 8));  // current, three states, alarm state
  EXPECT_FLOAT_EQ(rec.current, 20.0f);
  EXPECT_EQ(+rec.state_1, 0x31);
  EXPECT_EQ(+rec.alarm_state, 0x41);
  EXPECT_EQ(+rec.module_no, 2);
  EXPECT_EQ(0, std::memcmp(rec.status_bits, &detail[2], 9));
  EXPECT_EQ(+rec.value16_1, (detail[11] << 8) | detail[12]);
  EXPECT_EQ(+rec.value16_3, (detail[15] << 8) | detail[16]);
  EXPECT_EQ(+rec.value32_1, static_cast<std::uint32_t>(detail[17]) << 24 | detail[18] << 16 |
                                detail[19] << 8 | detail[20]);
  EXPECT_EQ(+rec.value32_3, static_cast<std::uint32_t>(detail[25]) << 24 | detail[26] << 16 |
                                detail[27] << 8 | detail[28]);
  EXPECT_EQ(0, std::memcmp(rec.extra, &detail[29], 32));
  // The other module is untouched by this reply.
  EXPECT_EQ(+f.device->Modules()[0].module_no, 0);
}

TEST(Decoders, UnitRecordsBlockA3AndWord93) {
  DeviceFixture f(kOneEach);
  CycleData d;
  d.ac = {ac_unit({2200, 2210, 2220, 0, 0, 0, 0, 0, 0, 0, 500, 499}, 7)};
  Info dc = patterned(219, 1);
  d.dc = {dc};
  d.a3 = patterned(144, 0x10);
  d.w93 = {0xFF, 0xFE};
  full_cycle(f, d);
  ASSERT_EQ(f.controller->snapshots.size(), 1u);

  const auto& ac = f.device->AcUnits()[0];
  EXPECT_FLOAT_EQ(ac.u_c, 222.0f);
  EXPECT_FLOAT_EQ(ac.frequency, 50.0f);
  EXPECT_FLOAT_EQ(ac.value_11, 49.9f);
  EXPECT_EQ(ac.status_1, 7);
  EXPECT_EQ(ac.status_3, 9);

  const auto& rec = f.device->DcUnits()[0];
  EXPECT_EQ(+rec.dc_value16, 0x0102);
  EXPECT_EQ(+rec.dc_value32_2, 0x0708090Au);
  EXPECT_EQ(+rec.dc_byte, 11);
  const auto& b = rec.branch[15];  // at 11 + 13*15 = 206
  EXPECT_EQ(+b.b_value16_1, (dc[206] << 8) | dc[207]);
  EXPECT_EQ(+b.b_value32_2,
            static_cast<std::uint32_t>(dc[212]) << 24 | dc[213] << 16 | dc[214] << 8 | dc[215]);
  EXPECT_EQ(+b.b_value16_2, (dc[216] << 8) | dc[217]);
  EXPECT_EQ(+b.b_byte, dc[218]);

  EXPECT_EQ(f.device->Word93(), -2);
  const auto& e = f.device->BlockA3().entry[7];  // reply bytes 126..143
  EXPECT_EQ(+e.entry_head[0], 0x10 + 126);
  EXPECT_EQ(+e.entry_value[6], ((0x10 + 142) << 8) | (0x10 + 143));

  // A 128-byte reply: bytes 4-11 of each entry from the reply's entry of 16
  // bytes, the rest kept from the 144-byte reply.
  const auto old = f.device->BlockA3();
  d.a3 = patterned(128, 0x80);
  full_cycle(f, d);
  ASSERT_EQ(f.controller->snapshots.size(), 2u);
  for (int k = 0; k < 8; ++k) {
    const auto& now = f.device->BlockA3().entry[k];
    const auto& was = old.entry[k];
    EXPECT_EQ(0, std::memcmp(now.entry_head, was.entry_head, 4)) << k;
    for (int j = 0; j < 4; ++j) {
      const int at = 16 * k + 4 + 2 * j;
      EXPECT_EQ(+now.entry_value[j], (d.a3[at] << 8) | d.a3[at + 1]) << k << " " << j;
    }
    for (int j = 4; j < 7; ++j)
      EXPECT_EQ(+now.entry_value[j], +was.entry_value[j]) << k << " " << j;
  }
}

struct AlarmCase {
  std::size_t count;
  std::size_t parts;
};

class AlarmList : public testing::TestWithParam<AlarmCase> {};

TEST_P(AlarmList, PartsAndPositions) {
  const auto [count, parts] = GetParam();
  DeviceFixture f(R"({"appSetting":{"dc_number":"0"}})");
  CycleData d;
  d.alarms = count;
  full_cycle(f, d);

  std::size_t alarm_requests = 0;
  for (int r : f.requests()) alarm_requests += (r >= cmd(Cid2::kAlarmList1) && r <= cmd(Cid2::kAlarmList4));
  EXPECT_EQ(alarm_requests, parts);
  ASSERT_EQ(f.controller->snapshots.size(), 1u);
  const auto& list = f.device->AlarmList();
  ASSERT_EQ(list.size(), count);
  for (std::size_t i = 0; i < count; ++i) {
    ASSERT_EQ(+list[i].unit, static_cast<std::uint8_t>(i)) << i;
    ASSERT_EQ(+list[i].code, 0x0100 + static_cast<int>(i)) << i;  // host order after the cycle end
  }
  // The image holds the first 200 items, codes little-endian, and no more.
  const auto& image = f.controller->snapshots[0];
  EXPECT_EQ(image.size(), static_cast<std::size_t>(51 + 68 * 2 + 22 + 146 + 800));
  const std::size_t at = 168 + 51 + 68 * 2;
  for (std::size_t i = 0; i < std::min<std::size_t>(count, 200); ++i) {
    const std::vector<unsigned char> item{static_cast<unsigned char>(i), 12,
                                          static_cast<unsigned char>(i), 1};
    ASSERT_EQ(
        std::vector<unsigned char>(image.begin() + at + 4 * i, image.begin() + at + 4 * i + 4),
        item)
        << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Device, AlarmList,
                         testing::Values(AlarmCase{0, 1}, AlarmCase{50, 1}, AlarmCase{51, 2},
                                         AlarmCase{100, 2}, AlarmCase{150, 3}, AlarmCase{151, 4},
                                         AlarmCase{200, 4}, AlarmCase{255, 4}));

TEST(PollCycle, LaterLargerModuleCountGrowsTheRecords) {
  DeviceFixture f(kOneEach);
  full_cycle(f, CycleData{});
  CycleData d;
  d.currents = {100, 200, 300};
  full_cycle(f, d);
  ASSERT_EQ(f.controller->snapshots.size(), 2u);
  ASSERT_EQ(f.device->Modules().size(), 3u);
  EXPECT_FLOAT_EQ(f.device->Modules()[2].current, 30.0f);
  EXPECT_EQ(+f.device->Modules()[2].module_no, 3);
}

TEST(PollCycle, RefreshStatusRestartsFromAnyState) {
  // Failed, stopped unchanged, waiting mid-cycle, and with half a frame on
  // the line: the next poll starts at 0x42 and completes.
  const std::vector<std::vector<Info>> leftovers = {
      {kChanged, alarm_states(1)},  // failed (state 2)
      {kUnchanged},                 // stopped in state 4
      {kChanged, alarm_states(2)},  // waiting for 0x8F
  };
  for (const auto& before : leftovers) {
    DeviceFixture f(kOneEach);
    full_cycle(f, CycleData{});
    f.device->RefreshStatus();
    for (const auto& r : before) f.reply(r);
    std::string half = reply_frame(kChanged).substr(0, 11);
    f.device->process(reinterpret_cast<unsigned char*>(half.data()),
                      static_cast<unsigned>(half.size()));
    f.line->ClearSent();
    f.controller->Clear();
    full_cycle(f, CycleData{});
    EXPECT_EQ(f.requests().front(), cmd(Cid2::kAnalog));
    EXPECT_EQ(f.controller->snapshots.size(), 1u);
    EXPECT_EQ(f.controller->logs, std::vector<std::string>{});  // the half frame was dropped
  }
}

TEST(PollCycle, NothingIsSentFromTheFailedState) {
  DeviceFixture f(kOneEach);
  full_cycle(f, CycleData{});
  f.device->RefreshStatus();
  f.reply(kChanged);
  f.reply(alarm_states(3));  // fails
  ASSERT_EQ(f.device->State(), 2);
  const auto sent = f.line->Sent().size();
  for (const auto& r : {kChanged, alarm_states(2), module_detail(1, 1), Info{0}}) f.reply(r);
  EXPECT_EQ(f.line->Sent().size(), sent);
  EXPECT_EQ(f.device->State(), 2);
  EXPECT_EQ(f.controller->snapshots.size(), 1u);
}

}  // namespace
