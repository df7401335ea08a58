// What one device holds on the heap beyond its records and its snapshot
// buffer, on a large site (60 modules, 4 AC units, 8 DC units, 255 alarms);
// that steady-state cycles neither grow it nor allocate at the cycle end;
// and that the report texts all devices share come out whole when devices
// on many threads need them at once.
#include <cstdint>
#include <iostream>
#include <latch>
#include <stdexcept>
#include <memory>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "alarms/frame.h"
#include "alloc_counter.h"
#include "cycle_driver.h"
#include "recording_controller.h"

namespace {

using testing_support::Info;

constexpr long long kBudgetBytes = 64 * 1024;

struct Site {
  int modules, ac_units, dc_units, alarms;
};
constexpr Site kLargeSite{60, 4, 8, 255};

// Alarm-list entries on the wire, spread over every family and unit.
std::vector<std::uint8_t> wire_entry(const Site& s, unsigned i) {
  const unsigned round = i / 6;
  std::uint8_t unit = 0, category = 0;
  unsigned code = 0;
  switch (i % 6) {
    case 0: category = static_cast<std::uint8_t>(1 + round % 11), code = 1 + i % 64; break;
    case 1: unit = static_cast<std::uint8_t>(1 + round % s.ac_units), category = 12, code = 1 + (i * 7) % 160; break;
    case 2: category = 13, code = 1 + round % s.dc_units; break;
    case 3:
    case 4: {
      const unsigned dc = 1 + round % static_cast<unsigned>(s.dc_units);
      unit = static_cast<std::uint8_t>(dc), category = 14, code = 560 * (dc - 1) + 1 + (i * 13) % 555;
      break;
    }
    default: category = static_cast<std::uint8_t>(17 + round % 19); break;
  }
  return {unit, category, static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code & 0xFF)};
}

// The reply frames of one cycle with changed data; the first cycle also
// answers the switch-state request.
std::vector<std::string> cycle_frames(const Site& s, bool first) {
  std::vector<Info> infos;
  const auto n = static_cast<std::uint8_t>(s.modules);
  infos.push_back(testing_support::analog(1, 535, std::vector<std::uint16_t>(n, 120)));
  if (first) infos.push_back(testing_support::switch_states(n));
  infos.push_back(testing_support::alarm_states(n, 0xFC));
  for (std::uint8_t k = 1; k <= n; ++k) infos.push_back(testing_support::module_detail(k == n ? 1 : 0, k));
  infos.push_back({0, 0, 0x03, 0xE8});
  for (int u = 0; u < s.ac_units; ++u) infos.push_back(testing_support::ac_unit({2304, 2298, 2311}));
  for (int u = 0; u < s.dc_units; ++u) infos.push_back(testing_support::patterned(219, static_cast<std::uint8_t>(u)));
  infos.push_back(Info(144, 0));
  infos.push_back({0, 25});
  Info part{static_cast<std::uint8_t>(s.alarms)};
  for (unsigned i = 0; i < static_cast<unsigned>(s.alarms); ++i) {
    if (i > 0 && i % 50 == 0 && i <= 150) {
      infos.push_back(part);
      part.clear();
    }
    const auto e = wire_entry(s, i);
    part.insert(part.end(), e.begin(), e.end());
  }
  infos.push_back(part);
  std::vector<std::string> frames;
  for (const Info& info : infos) frames.push_back(testing_support::reply_frame(info));
  return frames;
}

void run_cycle(HVR38QT& device, std::vector<std::string>& frames) {
  device.RefreshStatus();
  for (std::string& f : frames)
    device.process(reinterpret_cast<unsigned char*>(f.data()), static_cast<unsigned>(f.size()));
}

// The heap the device needs for its data: records, alarm list, snapshot.
long long records_and_snapshot(const HVR38QT& d) {
  std::size_t bytes = d.Modules().capacity() * sizeof(hvr38qt::tele_c_hvr38qt_rc_channel) +
                      d.AcUnits().capacity() * sizeof(hvr38qt::hvr38qt_41_a2) +
                      d.DcUnits().capacity() * sizeof(hvr38qt::hvr38qt_41_a4) +
                      d.AlarmList().capacity() * sizeof(hvr38qt::alarm_item);
  if (d.Snapshot()) bytes += d.Snapshot()->capacity();
  return static_cast<long long>(bytes);
}

// Every mobile rule id of the site supervised, as the host sets its maps up
// before it configures the device.
void fill_mobile_maps(HVR38QT& d, const Site& s) {
  for (const char* id : {"220600120010", "220600130010", "220600140010", "220600160010",
                         "220600170010", "210600320010", "210600330010", "210600340010"}) {
    d.LevelMap()[id] = 1;
    d.ValueMap()[id] = 50.0f;
  }
  for (int m = 1; m <= s.modules; ++m)
    for (const char* prefix : {"12060069", "12060002", "12060003", "12060004"})
      d.LevelMap()[fmt::format("{}{:03}0", prefix, m)] = 1;
}

struct Measured {
  long long live = 0;       // heap held by the device after the cycles
  long long records = 0;    // of which records, alarm list and snapshot
  long long host_maps = 0;  // of which the host's level and value maps
  long long shared = 0;     // held for all devices, built by the first one
};

// Takes the mobile rule set's trace lines and drops them, without holding
// memory of its own.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Constructs, configures and runs a device through a first and three
// steady cycles; the maps are filled as the host would fill them.
std::unique_ptr<HVR38QT> run_device(const Site& s, const std::string& mode, Measured& m) {
  const Json::Value config = testing_support::parse_json(
      fmt::format(R"({{"appSetting":{{"b_mode":"{}","ac_number":"{}","dc_number":"{}"}}}})", mode,
                  s.ac_units, s.dc_units));
  auto first = cycle_frames(s, true);
  auto steady = cycle_frames(s, false);
  auto host = std::make_shared<KRTController>();
  const alloc_counter::Window window;
  auto device = hvr38qt::make_device();
  if (mode == "2") {
    const alloc_counter::Window maps;
    fill_mobile_maps(*device, s);
    m.host_maps = maps.LiveBytes();
  }
  device->Init(host, 7, config);
  run_cycle(*device, first);
  for (int i = 0; i < 3; ++i) run_cycle(*device, steady);
  m.live = window.LiveBytes();
  m.records = records_and_snapshot(*device);
  EXPECT_EQ(device->AlarmList().size(), static_cast<std::size_t>(s.alarms));
  EXPECT_EQ(device->Modules().size(), static_cast<std::size_t>(s.modules));
  return device;
}

// The heap one more device of the site holds. What a first device builds
// for all (the report texts of each unit number) is counted apart.
Measured measure_device(const Site& s, const std::string& mode) {
  NullBuffer null_buffer;
  std::streambuf* saved = std::cout.rdbuf(&null_buffer);
  Measured m;
  {
    const alloc_counter::Window first_device;
    run_device(s, mode, m);
    m.shared = first_device.LiveBytes();  // what stays when the device is gone
  }
  run_device(s, mode, m);
  std::cout.rdbuf(saved);
  return m;
}

TEST(DeviceMemory, LargeSiteDefaultRulesStayWithinBudget) {
  if (!alloc_counter::Enabled()) GTEST_SKIP() << "allocations are not counted under the sanitizer";
  const Measured m = measure_device(kLargeSite, "0");
  // The records alone are tens of kilobytes; a count that misses them is
  // not counting at all.
  ASSERT_GE(m.live, m.records);
  const long long beyond = m.live - m.records;
  RecordProperty("bytes_beyond_records", std::to_string(beyond));
  std::cout << "large site, default rules: " << m.live << " B held per device, " << m.records
            << " B records and snapshot, " << beyond << " B beyond; " << m.shared
            << " B shared by all devices\n";
  EXPECT_LE(beyond, kBudgetBytes);
}

TEST(DeviceMemory, LargeSiteMobileRulesStayWithinBudget) {
  if (!alloc_counter::Enabled()) GTEST_SKIP() << "allocations are not counted under the sanitizer";
  const Measured m = measure_device(kLargeSite, "2");
  ASSERT_GE(m.live, m.records + m.host_maps);
  // The maps are the host's: it fills them, the rules only read them.
  const long long beyond = m.live - m.records - m.host_maps;
  RecordProperty("bytes_beyond_records", std::to_string(beyond));
  std::cout << "large site, mobile rules: " << m.live << " B held per device, " << m.records
            << " B records and snapshot, " << m.host_maps << " B host maps, " << beyond
            << " B beyond\n";
  EXPECT_LE(beyond, kBudgetBytes);
}

TEST(DeviceMemory, SteadyCyclesNeitherGrowNorAllocateAtTheCycleEnd) {
  if (!alloc_counter::Enabled()) GTEST_SKIP() << "allocations are not counted under the sanitizer";
  auto first = cycle_frames(kLargeSite, true);
  auto steady = cycle_frames(kLargeSite, false);
  auto host = std::make_shared<KRTController>();
  HVR38QT device{hvr38qt::device_parts()};
  device.Init(host, 7,
              testing_support::parse_json(
                  R"({"appSetting":{"b_mode":"0","ac_number":"4","dc_number":"8"}})"));
  run_cycle(device, first);
  run_cycle(device, steady);  // the first steady cycle sizes what it reuses

  const alloc_counter::Window cycles;
  for (int i = 0; i < 3; ++i) run_cycle(device, steady);
  EXPECT_EQ(cycles.LiveBytes(), 0) << "a steady cycle keeps memory it did not keep before";

  // The cycle end (change test, snapshot image, 10 000 reports) allocates
  // nothing.
  const alloc_counter::Window cycle_end;
  device.RunCheckThreshold();
  EXPECT_EQ(cycle_end.Allocations(), 0u);
}

TEST(DeviceMemory, DevicesOnManyThreadsBuildAndShareTheSameTexts) {
  // Unit numbers beyond those of the other tests: in this process the
  // threads below are the first to need most of their texts.
  const Site site{70, 20, 20, 255};
  const Json::Value config = testing_support::parse_json(
      R"({"appSetting":{"b_mode":"0","ac_number":"20","dc_number":"20"}})");
  constexpr int kThreads = 4;
  std::vector<std::vector<std::string>> reports(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto frames = cycle_frames(site, true);
      auto host = std::make_shared<testing_support::RecordingController>();
      HVR38QT device{hvr38qt::device_parts()};
      device.Init(host, 7, config);
      start.arrive_and_wait();
      run_cycle(device, frames);
      for (const auto& r : host->reports)
        reports[t].push_back(fmt::format("{}|{}|{}|{}|{}|{}", r.key, r.nm_id, r.name, r.desc,
                                         r.active, r.seq));
    });
  }
  for (auto& thread : threads) thread.join();
  // 29 rows per module, 464 battery group and module rows, 115 per AC unit,
  // 547 per DC unit, 18 system rows.
  ASSERT_EQ(reports[0].size(), 70u * 29 + 464 + 20 * 115 + 20 * 547 + 18);
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(reports[t], reports[0]) << "thread " << t;
  // Texts of the last units are complete: the last DC unit's last row.
  EXPECT_EQ(reports[0][reports[0].size() - 19],
            "hvr38qt_06039_555_20|环境温度过高|直流配电屏20环境温度传感器故障|"
            "直流配电屏20环境温度传感器故障|false|60");
}

int g_builds = 0;

void build_numbered(unsigned unit, hvr38qt::alarms::TextBlock& out) {
  ++g_builds;
  out.push_back({.key = "k" + std::to_string(unit), .name = "n", .desc = "d"});
}

TEST(DeviceMemory, EachUnitsTextsAreBuiltOnceAndKept) {
  hvr38qt::alarms::SharedTexts texts(build_numbered);
  g_builds = 0;
  const auto& first = texts.get(3);
  const auto& again = texts.get(3);
  EXPECT_EQ(&first, &again);
  EXPECT_EQ(g_builds, 1);
  EXPECT_EQ(first.at(0).key, "k3");
  EXPECT_EQ(texts.get(255).at(0).key, "k255");
  EXPECT_EQ(texts.get(0).at(0).key, "k0");
  EXPECT_EQ(g_builds, 3);
  // Unit numbers are one byte: a larger one is refused, not read past the
  // table.
  EXPECT_THROW(texts.get(256), std::out_of_range);
  EXPECT_EQ(g_builds, 3);
}

}  // namespace
