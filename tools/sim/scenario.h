// What the controller simulator answers: the state of a simulated power
// system and the faults to inject, read from a JSON scenario file.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/json.h>

#include "protocol/protocol.h"

namespace sim {

// A scenario that cannot be used; the text names the member at fault.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Module {
  double current = 0.0;                      // amperes
  std::array<std::uint8_t, 3> switches{};    // the three 0x43 state bytes
  std::uint8_t alarm_state = 0;              // the 0x44 state byte
  // 0x8F info bytes 1-60 (byte 0 is the module number). Empty: built by
  // the simulator from the module's position and zeros.
  std::vector<std::uint8_t> detail;
};

struct AcUnit {
  std::array<double, 12> values{};          // u_a .. value_11, in record order
  std::array<std::uint8_t, 3> status{};
};

struct AlarmEntry {
  std::uint8_t unit = 0;
  std::uint8_t category = 0;
  std::uint16_t code = 0;
  bool operator==(const AlarmEntry&) const = default;
};

// A change to the reply of every request that matches.
struct Fault {
  int cid2 = -1;                          // command to match (a CID2 byte)
  std::optional<std::vector<std::uint8_t>> data;  // request data to match
  unsigned skip = 0;                      // matching requests let through first
  std::optional<unsigned> count;          // how many to change (absent: all)
  std::optional<std::uint8_t> rtn;        // return code instead of 0
  std::optional<std::vector<std::uint8_t>> info;  // info bytes instead of the real ones
  bool no_reply = false;
  bool bad_checksum = false;
  std::vector<std::uint8_t> garbage;      // sent ahead of the frame
  std::optional<std::size_t> truncate;    // send only this many bytes of the frame
  bool disconnect = false;                // drop the connection instead of replying
  int delay_ms = 0;                       // wait before replying
};

struct Scenario {
  std::uint8_t version = 0x21;
  std::uint8_t address = 1;
  double output_voltage = 0.0;
  bool changed = true;    // info byte 0 of the 0x42 reply
  bool echo = false;      // send every request back ahead of the reply (RS-485)
  unsigned line_rate = 0; // bytes per second towards the host, 0: no limit
  std::vector<Module> modules;
  std::vector<AcUnit> ac_units;
  std::vector<std::vector<std::uint8_t>> dc_units;  // 219 wire bytes each
  std::vector<std::uint8_t> extras;                 // 0x95 info bytes
  std::vector<std::uint8_t> block_a3;               // 0xA3 info bytes (144 or 128)
  std::int16_t word_93 = 0;
  // Alarm lists served in turn, one per poll cycle (a cycle starts with
  // 0x42). One list for a steady site.
  std::vector<std::vector<AlarmEntry>> alarm_sets{{}};
  std::vector<Fault> faults;
};

// The most alarms the controller can announce (the count is one byte).
inline constexpr std::size_t kMaxAlarms = hvr38qt::wire::kMaxAlarms;
// A module's detail: the 0x8F info bytes after the last-module flag.
inline constexpr std::size_t kModuleDetailBytes = hvr38qt::wire::kModuleDetailBytes - 1;
inline constexpr std::size_t kDcUnitBytes = hvr38qt::wire::kDcUnitBytes;

// Reads a scenario; throws ScenarioError.
Scenario ParseScenario(const Json::Value& root);
Scenario LoadScenarioText(const std::string& json_text);
Scenario LoadScenarioFile(const std::string& path);

// A small site: six rectifiers at 53.5 V, one AC unit at about 230 V with
// input 2 off, one DC unit and a few active alarms.
const std::string& DefaultScenarioText();
Scenario DefaultScenario();

// Tenths on the wire: round(value * 10), held to 0..65535.
std::uint16_t ToTenths(double value);

}  // namespace sim
