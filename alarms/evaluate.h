// Alarm evaluation at the end of a poll cycle: the rule set of the device's
// mode reports every rule's state to the host.
#pragma once

#include <memory>

class HVR38QT;

namespace hvr38qt::alarms {

struct Workspace;
struct WorkspaceDeleter;

// Working memory reused by every evaluation of one device.
std::unique_ptr<Workspace, WorkspaceDeleter> make_workspace();

// Runs the rule set of the device's mode: 1 and 3 none, 2 the mobile rule
// set, any other value the default rule set.
void evaluate(HVR38QT& device, Workspace& workspace);

}  // namespace hvr38qt::alarms
