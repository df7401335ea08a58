// The default rule set: rectifier modules, battery groups and modules, AC
// units, DC units with their battery, cabinet and environment rows, and the
// system rows, in that order.
#pragma once

#include "device/view.h"
#include "krt_device.h"

namespace hvr38qt::alarms {

struct Workspace;

// Returns false, after logging it, when texts and reports got out of step.
bool run_default_rule_set(const DeviceView& view, Workspace& workspace, KRTController& host);

}  // namespace hvr38qt::alarms
