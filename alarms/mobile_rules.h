// The mobile-mode rule set: AC input, rectifier module and output voltage
// rules against the host's level and value maps.
#pragma once

#include "krt_device.h"

class HVR38QT;

namespace hvr38qt::alarms {

void run_mobile_rule_set(HVR38QT& device, KRTController& host);

}  // namespace hvr38qt::alarms
