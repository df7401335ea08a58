// Alarm evaluation at the end of a poll cycle: the rule set of the device's
// mode reports every rule's state to the host.
#pragma once

#include <memory>

#include "device/parts.h"
#include "device/view.h"

class KRTController;

namespace hvr38qt::alarms {

struct Workspace;
struct WorkspaceDeleter {
  void operator()(Workspace* w) const;
};

// Working memory reused by every evaluation of one device.
std::unique_ptr<Workspace, WorkspaceDeleter> make_workspace();

// Runs the rule set of the view's mode: 1 and 3 none, 2 the mobile rule
// set, any other value the default rule set. `host` is the locked
// controller or null; without it the default rule set does nothing and the
// mobile rule set only its lookups and trace lines.
void evaluate(const DeviceView& view, KRTController* host, Workspace& workspace);

// The device's rule-set part: evaluate() with a workspace of its own.
std::unique_ptr<RuleSet> make_rule_set();

}  // namespace hvr38qt::alarms
