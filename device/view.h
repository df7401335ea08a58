// A plain view of what one device holds at the end of a poll cycle: its
// records, its alarm list and the host's rule maps. The snapshot layout and
// the rule sets read the device through it, so that they depend on the
// records and not on the device class.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>

#include "device/records.h"

namespace hvr38qt {

// Units are addressed by one byte in the poll cycle.
inline constexpr int kMaxUnits = 255;

struct DeviceView {
  unsigned device_id;
  // The rule-set mode (appSetting.b_mode).
  int mode;
  const header_block& header;
  const block_95& block95;
  const block_a3& blocka3;
  std::int16_t word93;
  std::span<const tele_c_hvr38qt_rc_channel> modules;
  std::span<const hvr38qt_41_a2> ac_units;
  std::span<const hvr38qt_41_a4> dc_units;
  std::span<const alarm_item> alarms;
  std::uint32_t alarm_count;
  // The configured unit counts: AC 1..255, DC 0..255.
  int ac_number;
  int dc_number;
  // The host's per-device level and value maps of the mobile rule set. They
  // are the host's own maps, not copies: a lookup with operator[] inserts a
  // zero entry for a missing id, and the host sees that entry.
  std::map<std::string, int>& levels;
  std::map<std::string, float>& values;
};

}  // namespace hvr38qt
