// The mobile-mode rule set: AC input, rectifier module and output voltage
// rules against the host's level and value maps.
#pragma once

#include "device/view.h"
#include "krt_device.h"

namespace hvr38qt::alarms {

struct Workspace;

// With the device's working memory, reused by every evaluation. Without a
// host (null) every lookup and trace line still happens; nothing is
// reported.
void run_mobile_rule_set(const DeviceView& view, KRTController* host, Workspace& workspace);
// With working memory of its own.
void run_mobile_rule_set(const DeviceView& view, KRTController* host);

}  // namespace hvr38qt::alarms
