// Drives a device through complete poll cycles whose replies carry chosen
// module states and alarm-list entries, so that the rule sets run on data
// decoded by the real cycle.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "device_fixture.h"

namespace alarm_cycle {

// One rectifier module: its state byte from 0x44 (record byte 7) and the
// nine status bytes from 0x8F (record bytes 9 to 17).
struct Module {
  std::uint8_t alarm_state = 0;
  std::array<std::uint8_t, 9> status{};
};

// One alarm-list entry; the code is sent big-endian, as on the wire.
struct Entry {
  std::uint8_t unit;
  std::uint8_t category;
  std::uint16_t code;
};

inline std::string config(const std::string& mode, int ac_units, int dc_units) {
  return R"({"appSetting":{"b_mode":")" + mode + R"(","ac_number":")" +
         std::to_string(ac_units) + R"(","dc_number":")" + std::to_string(dc_units) + R"("}})";
}

// One cycle with changed data: 0x42, 0x43 (first cycle only), 0x44, 0x8F per
// module, 0x95, 0xA2 per AC unit, 0xA4 per DC unit, 0xA3, 0x93 and the alarm
// list in parts of 50. Needs at least one module.
inline void run_cycle(testing_support::DeviceFixture& f, const std::vector<Module>& modules,
                      const std::vector<Entry>& alarms) {
  const auto count = static_cast<std::uint8_t>(modules.size());
  f.device->RefreshStatus();
  std::vector<std::uint8_t> analog{1, 0x02, 0x17, count};
  for (std::size_t i = 0; i < modules.size(); ++i) analog.insert(analog.end(), {0x00, 0x64, 0});
  f.reply(analog);
  if (f.device->DataReady() != 1) {
    std::vector<std::uint8_t> switches{count};
    for (std::size_t i = 0; i < modules.size(); ++i) switches.insert(switches.end(), {0, 0, 0, 0});
    f.reply(switches);
  }
  std::vector<std::uint8_t> states{count};
  for (const Module& m : modules) states.insert(states.end(), {m.alarm_state, 0});
  f.reply(states);
  for (std::size_t k = 1; k <= modules.size(); ++k) {
    std::vector<std::uint8_t> detail(61, 0);
    detail[0] = k == modules.size() ? 1 : 0;
    detail[1] = static_cast<std::uint8_t>(k);
    std::copy(modules[k - 1].status.begin(), modules[k - 1].status.end(), detail.begin() + 2);
    f.reply(detail);
  }
  f.reply({0, 0, 0x03, 0xE8});
  for (int n = 0; n < f.device->AcNumber(); ++n) f.reply(std::vector<std::uint8_t>(27, 0));
  for (int n = 0; n < f.device->DcNumber(); ++n) f.reply(std::vector<std::uint8_t>(219, 0));
  f.reply(std::vector<std::uint8_t>(144, 0));
  f.reply({0, 0});
  std::vector<std::uint8_t> part{static_cast<std::uint8_t>(alarms.size())};
  for (std::size_t i = 0; i < alarms.size(); ++i) {
    if (i > 0 && i % 50 == 0 && i <= 150) {
      f.reply(part);
      part.clear();
    }
    const Entry& e = alarms[i];
    part.insert(part.end(), {e.unit, e.category, static_cast<std::uint8_t>(e.code >> 8),
                             static_cast<std::uint8_t>(e.code & 0xFF)});
  }
  f.reply(part);
}

// A first cycle whose 0x42 reply reports no change: 0x42, 0x43 and the cycle
// end, with no module details and no alarm list. Works with no modules.
inline void run_unchanged_first_cycle(testing_support::DeviceFixture& f) {
  f.device->RefreshStatus();
  f.reply({0, 0x02, 0x17, 0});
  f.reply({0});
}

inline std::set<std::string> active_keys(const std::vector<testing_support::Report>& reports) {
  std::set<std::string> keys;
  for (const auto& r : reports)
    if (r.active) keys.insert(r.key);
  return keys;
}

inline const testing_support::Report* find(const std::vector<testing_support::Report>& reports,
                                           const std::string& key) {
  for (const auto& r : reports)
    if (r.key == key) return &r;
  return nullptr;
}

}  // namespace alarm_cycle
