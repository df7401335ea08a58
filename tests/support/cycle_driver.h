// Builders of controller replies and a driver that walks a device through a
// whole poll cycle with them, reply by reply through the real codec.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "device_fixture.h"

namespace testing_support {

using Info = std::vector<std::uint8_t>;

// One module group of the 0x42, 0x43 or 0x44 reply: its fields from the
// table, each set to `value(field index)`, and no extra bytes after it.
template <std::size_t N, class Value>
void put_group(Info& v, const std::array<wire::Field, N>& fields, Value value) {
  const std::size_t group = wire::wire_extent(fields);
  v.resize(v.size() + group + 1, 0);
  std::uint8_t* g = v.data() + v.size() - group - 1;
  for (std::size_t i = 0; i < N; ++i) wire::put_field(fields[i], g, value(i));
}

// 0x42: change indicator, output voltage and per-module currents (tenths),
// no extra bytes.
inline Info analog(std::uint8_t changed, std::uint16_t volts_tenths,
                   const std::vector<std::uint16_t>& currents_tenths) {
  Info v(wire::kAnalogHeadBytes, 0);
  v[0] = changed;
  wire::put_field(wire::field(wire::kHeaderFields, "output_voltage"), v.data(), volts_tenths);
  wire::put_field(wire::field(wire::kHeaderFields, "module_count"), v.data(),
                  static_cast<std::uint8_t>(currents_tenths.size()));
  for (auto c : currents_tenths) put_group(v, wire::kModuleAnalogFields, [&](std::size_t) { return c; });
  return v;
}

// 0x43 / 0x44 for n modules: module i gets state bytes seed+i.
inline Info switch_states(std::uint8_t n, std::uint8_t seed = 0) {
  Info v{n};
  for (std::uint8_t i = 0; i < n; ++i) {
    const auto b = static_cast<std::uint8_t>(seed + i);
    put_group(v, wire::kModuleSwitchFields, [&](std::size_t) { return b; });
  }
  return v;
}
inline Info alarm_states(std::uint8_t n, std::uint8_t seed = 0) {
  Info v{n};
  for (std::uint8_t i = 0; i < n; ++i) {
    const auto b = static_cast<std::uint8_t>(seed + i);
    put_group(v, wire::kModuleAlarmFields, [&](std::size_t) { return b; });
  }
  return v;
}

// 0x8F for module k: info bytes 2..60 are k*16 + (position), so every module
// record carries its own recognisable pattern.
inline Info module_detail(std::uint8_t last, std::uint8_t k) {
  constexpr std::size_t first = wire::field(wire::kModuleDetailFields, "status_bits").wire;
  Info v(wire::kModuleDetailBytes);
  v[0] = last;
  wire::put_field(wire::field(wire::kModuleDetailFields, "module_no"), v.data(), k);
  for (std::size_t i = first; i < v.size(); ++i) v[i] = static_cast<std::uint8_t>(k * 16 + i);
  return v;
}

// 0xA2: the twelve tenths values then three status bytes.
inline Info ac_unit(const std::vector<std::uint16_t>& tenths12, std::uint8_t status = 0) {
  const auto& t = wire::kAcUnitFields;
  Info v(wire::kAcUnitBytes, 0);
  for (std::size_t i = 0; i < wire::kAcUnitValues; ++i)
    wire::put_field(t[i], v.data(), i < tenths12.size() ? tenths12[i] : 0);
  for (std::size_t i = wire::kAcUnitValues; i < t.size(); ++i)
    wire::put_field(t[i], v.data(), static_cast<std::uint8_t>(status + (i - wire::kAcUnitValues)));
  return v;
}

inline Info patterned(std::size_t n, std::uint8_t seed) {
  Info v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i);
  return v;
}

// Alarm item i as it stands on the wire: unit i, category 12, code 0x01ii
// big-endian.
inline std::vector<std::uint8_t> wire_alarm(std::size_t i) {
  const auto& t = wire::kAlarmItemFields;
  std::vector<std::uint8_t> v(wire::kAlarmEntryBytes, 0);
  wire::put_field(t[0], v.data(), static_cast<std::uint8_t>(i));
  wire::put_field(t[1], v.data(), 12);
  wire::put_field(t[2], v.data(), 0x0100u | static_cast<std::uint8_t>(i));
  return v;
}

// The 0x9C..0x9F replies announcing `count` alarms, 50 entries per part and
// all that is left in the fourth.
inline std::vector<Info> alarm_parts(std::size_t count) {
  std::vector<Info> parts;
  Info first{static_cast<std::uint8_t>(count)};
  std::size_t next = 0;
  for (unsigned part = 0; part < wire::kAlarmListRequests; ++part) {
    Info v = part == 0 ? first : Info{};
    const bool last = part + 1 == wire::kAlarmListRequests;
    const std::size_t end = last ? count : std::min<std::size_t>(count, next + wire::kAlarmsPerPart);
    for (; next < end; ++next) {
      const auto a = wire_alarm(next);
      v.insert(v.end(), a.begin(), a.end());
    }
    parts.push_back(v);
    if (next >= count) break;
  }
  return parts;
}

// What one full cycle's controller answers. AC and DC replies missing from
// the lists are sent as zeros.
struct CycleData {
  std::uint16_t volts_tenths = 535;
  std::vector<std::uint16_t> currents = {100, 200};
  std::vector<Info> ac;
  std::vector<Info> dc;
  Info extras = {1, 2, 0x03, 0xE8};  // ext_value 100.0
  Info a3 = Info(wire::kBlockA3Bytes, 0);
  Info w93 = {0xFF, 0xFE};
  std::size_t alarms = 0;
};

// Walks the device through one cycle with the change indicator set: 0x42,
// [0x43 while no data is ready], 0x44, 0x8F per module, 0x95, 0xA2 per AC
// record, 0xA4 per DC record, 0xA3, 0x93 and the alarm parts.
inline void full_cycle(DeviceFixture& f, const CycleData& d) {
  const auto n = static_cast<std::uint8_t>(d.currents.size());
  f.device->RefreshStatus();
  f.reply(analog(1, d.volts_tenths, d.currents));
  if (f.device->DataReady() != 1) f.reply(switch_states(n, 0x30));
  f.reply(alarm_states(n, 0x40));
  for (std::uint8_t k = 1; k <= n; ++k) f.reply(module_detail(k == n ? 1 : 0, k));
  f.reply(d.extras);
  for (int u = 0; u < f.device->AcNumber(); ++u)
    f.reply(static_cast<std::size_t>(u) < d.ac.size() ? d.ac[u] : Info(wire::kAcUnitBytes, 0));
  for (int u = 0; u < f.device->DcNumber(); ++u)
    f.reply(static_cast<std::size_t>(u) < d.dc.size() ? d.dc[u] : Info(wire::kDcUnitBytes, 0));
  f.reply(d.a3);
  f.reply(d.w93);
  for (const auto& part : alarm_parts(d.alarms)) f.reply(part);
}

}  // namespace testing_support
