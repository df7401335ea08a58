#include "alarms/default_rules.h"

#include "alarms/rule_families.h"
#include "alarms/workspace.h"

namespace hvr38qt::alarms {

bool run_default_rule_set(const DeviceView& view, Workspace& workspace, KRTController& host) {
  // The counters start afresh at every evaluation.
  workspace.counters.clear();
  Reporter reporter(host, view.device_id, workspace.counters);
  report_rectifier_modules(view, workspace, reporter);
  report_battery_groups_and_modules(view, workspace, reporter);
  report_ac_units(view, workspace, reporter);
  report_dc_units(view, workspace, reporter);
  report_system_alarms(view, workspace, reporter);
  return reporter.finish();
}

}  // namespace hvr38qt::alarms
