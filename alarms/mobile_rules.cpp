#include "alarms/mobile_rules.h"

#include "device/hvr38qt.h"

namespace hvr38qt::alarms {

void run_mobile_rule_set(HVR38QT&, KRTController&) {}

}  // namespace hvr38qt::alarms
