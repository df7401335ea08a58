#include "alarms/evaluate.h"

#include "alarms/workspace.h"
#include "device/hvr38qt.h"

namespace hvr38qt::alarms {

void WorkspaceDeleter::operator()(Workspace* w) const { delete w; }

std::unique_ptr<Workspace, WorkspaceDeleter> make_workspace() {
  return std::unique_ptr<Workspace, WorkspaceDeleter>(new Workspace{});
}

void evaluate(HVR38QT& device, Workspace& workspace) {
  (void)workspace;
  switch (device.Mode()) {
    case 1:
    case 3: return;
    case 2: return;  // mobile rule set
    default: return;  // default rule set
  }
}

}  // namespace hvr38qt::alarms
