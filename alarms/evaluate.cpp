#include "alarms/evaluate.h"

#include "alarms/default_rules.h"
#include "alarms/mobile_rules.h"
#include "alarms/workspace.h"
#include "device/hvr38qt.h"

namespace hvr38qt::alarms {

void WorkspaceDeleter::operator()(Workspace* w) const { delete w; }

std::unique_ptr<Workspace, WorkspaceDeleter> make_workspace() {
  return std::unique_ptr<Workspace, WorkspaceDeleter>(new Workspace{});
}

void evaluate(HVR38QT& device, Workspace& workspace) {
  const int mode = device.Mode();
  if (mode == 1 || mode == 3) return;
  // The host is locked once per evaluation, not once per report.
  const auto host = device.LockController();
  if (!host) return;
  if (mode == 2) {
    run_mobile_rule_set(device, *host, workspace);
  } else {
    run_default_rule_set(device, workspace, *host);
  }
}

}  // namespace hvr38qt::alarms
