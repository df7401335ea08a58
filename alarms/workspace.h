// Working memory of the rule sets, owned by one device and reused by every
// evaluation so that steady-state evaluations allocate nothing.
#pragma once

#include "alarms/evaluate.h"

namespace hvr38qt::alarms {

struct Workspace {};

}  // namespace hvr38qt::alarms
