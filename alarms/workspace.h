// Working memory of the rule sets, owned by one device and reused by every
// evaluation so that steady-state evaluations allocate nothing.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "alarms/evaluate.h"
#include "alarms/frame.h"

namespace hvr38qt::alarms {

struct Workspace {
  // Reset at the start of every evaluation of the default rule set.
  Counters counters;
  // The filtered list in use: a battery or module family, one AC unit, the
  // DC communication entries or one DC unit.
  CodeSet codes;
  // The categories of the whole list, for the system rows.
  CategorySet categories;
  // The mobile rule set's name texts of the AC input rules and of the
  // output voltage rules, with the values each was built from (unset: not
  // built yet).
  std::string mobile_voltages, mobile_frequencies, mobile_output;
  std::optional<std::array<float, 6>> mobile_voltage_values;
  std::optional<std::array<float, 2>> mobile_frequency_values;
  std::optional<std::array<float, 1>> mobile_output_value;
};

}  // namespace hvr38qt::alarms
