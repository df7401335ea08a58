#include "alarms/default_rules.h"

#include "alarms/workspace.h"
#include "device/hvr38qt.h"

namespace hvr38qt::alarms {

void run_default_rule_set(const HVR38QT&, Workspace&, KRTController&) {}

}  // namespace hvr38qt::alarms
