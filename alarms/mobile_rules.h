// The mobile-mode rule set: AC input, rectifier module and output voltage
// rules against the host's level and value maps.
#pragma once

#include "krt_device.h"

class HVR38QT;

namespace hvr38qt::alarms {

struct Workspace;

// With the device's working memory, reused by every evaluation.
void run_mobile_rule_set(HVR38QT& device, KRTController& host, Workspace& workspace);
// With working memory of its own.
void run_mobile_rule_set(HVR38QT& device, KRTController& host);

}  // namespace hvr38qt::alarms
