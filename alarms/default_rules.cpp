#include "alarms/default_rules.h"

#include "alarms/rule_families.h"
#include "alarms/workspace.h"
#include "device/hvr38qt.h"

namespace hvr38qt::alarms {

void run_default_rule_set(const HVR38QT& device, Workspace& workspace, KRTController& host) {
  // The counters start afresh at every evaluation.
  workspace.counters.clear();
  Reporter reporter(host, device.DataId(), workspace.counters);
  report_rectifier_modules(device, workspace, reporter);
  report_battery_groups_and_modules(device, workspace, reporter);
  report_ac_units(device, workspace, reporter);
  report_dc_units(device, workspace, reporter);
  report_system_alarms(device, workspace, reporter);
}

}  // namespace hvr38qt::alarms
