// Builders of controller replies and a driver that walks a device through a
// whole poll cycle with them, reply by reply through the real codec.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "device_fixture.h"

namespace testing_support {

using Info = std::vector<std::uint8_t>;

inline void put_be16(Info& v, std::uint16_t x) {
  v.push_back(static_cast<std::uint8_t>(x >> 8));
  v.push_back(static_cast<std::uint8_t>(x & 0xFF));
}

// 0x42: change indicator, output voltage and per-module currents (tenths),
// no extra bytes.
inline Info analog(std::uint8_t changed, std::uint16_t volts_tenths,
                   const std::vector<std::uint16_t>& currents_tenths) {
  Info v{changed};
  put_be16(v, volts_tenths);
  v.push_back(static_cast<std::uint8_t>(currents_tenths.size()));
  for (auto c : currents_tenths) {
    put_be16(v, c);
    v.push_back(0);
  }
  return v;
}

// 0x43 / 0x44 for n modules: module i gets state bytes seed+i.
inline Info switch_states(std::uint8_t n, std::uint8_t seed = 0) {
  Info v{n};
  for (std::uint8_t i = 0; i < n; ++i) {
    const auto b = static_cast<std::uint8_t>(seed + i);
    v.insert(v.end(), {b, b, b, 0});
  }
  return v;
}
inline Info alarm_states(std::uint8_t n, std::uint8_t seed = 0) {
  Info v{n};
  for (std::uint8_t i = 0; i < n; ++i) v.insert(v.end(), {static_cast<std::uint8_t>(seed + i), 0});
  return v;
}

// 0x8F for module k: info bytes 2..60 are k*16 + (position), so every module
// record carries its own recognisable pattern.
inline Info module_detail(std::uint8_t last, std::uint8_t k) {
  Info v(61);
  v[0] = last;
  v[1] = k;
  for (std::size_t i = 2; i < v.size(); ++i) v[i] = static_cast<std::uint8_t>(k * 16 + i);
  return v;
}

// 0xA2: the twelve tenths values then three status bytes.
inline Info ac_unit(const std::vector<std::uint16_t>& tenths12, std::uint8_t status = 0) {
  Info v;
  for (std::size_t i = 0; i < 12; ++i) put_be16(v, i < tenths12.size() ? tenths12[i] : 0);
  v.insert(v.end(),
           {status, static_cast<std::uint8_t>(status + 1), static_cast<std::uint8_t>(status + 2)});
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
  return {static_cast<std::uint8_t>(i), 12, 0x01, static_cast<std::uint8_t>(i)};
}

// The 0x9C..0x9F replies announcing `count` alarms, 50 entries per part and
// all that is left in the fourth.
inline std::vector<Info> alarm_parts(std::size_t count) {
  std::vector<Info> parts;
  Info first{static_cast<std::uint8_t>(count)};
  std::size_t next = 0;
  for (int part = 0; part < 4; ++part) {
    Info v = part == 0 ? first : Info{};
    const std::size_t end = part == 3 ? count : std::min(count, next + 50);
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
  Info a3 = Info(144, 0);
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
    f.reply(static_cast<std::size_t>(u) < d.ac.size() ? d.ac[u] : Info(27, 0));
  for (int u = 0; u < f.device->DcNumber(); ++u)
    f.reply(static_cast<std::size_t>(u) < d.dc.size() ? d.dc[u] : Info(219, 0));
  f.reply(d.a3);
  f.reply(d.w93);
  for (const auto& part : alarm_parts(d.alarms)) f.reply(part);
}

}  // namespace testing_support
