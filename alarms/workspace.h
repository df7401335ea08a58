// Working memory of the rule sets, owned by one device and reused by every
// evaluation so that steady-state evaluations allocate nothing.
#pragma once

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
  // The mobile rule set's name texts of the AC input rules.
  std::string mobile_voltages, mobile_frequencies;
};

}  // namespace hvr38qt::alarms
