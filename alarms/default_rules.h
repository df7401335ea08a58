// The default rule set: rectifier modules, battery groups and modules, AC
// units, DC units with their battery, cabinet and environment rows, and the
// system rows, in that order.
#pragma once

#include "krt_device.h"

class HVR38QT;

namespace hvr38qt::alarms {

struct Workspace;

void run_default_rule_set(const HVR38QT& device, Workspace& workspace, KRTController& host);

}  // namespace hvr38qt::alarms
