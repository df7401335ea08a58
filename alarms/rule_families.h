// The families of the default rule set, in the order the rule set runs
// them. The order fixes the counter values, since every family numbers its
// reports on from the counters the earlier ones left.
#pragma once

#include <array>

#include "alarms/frame.h"
#include "device/view.h"

namespace hvr38qt::alarms {

struct Workspace;
struct Section;

// 29 rows per rectifier module, from the module records.
void report_rectifier_modules(const DeviceView& view, Workspace& workspace, Reporter& reporter);
// 5 battery group families of 16 and 6 module families of 64 indices.
void report_battery_groups_and_modules(const DeviceView& view, Workspace& workspace,
                                       Reporter& reporter);
// 115 rows per AC unit.
void report_ac_units(const DeviceView& view, Workspace& workspace, Reporter& reporter);
// One communication row per DC unit, then per DC unit 495 rows followed by
// that unit's battery, cabinet and environment rows.
void report_dc_units(const DeviceView& view, Workspace& workspace, Reporter& reporter);
// The battery, cabinet and environment rows of one DC unit (51 rows), the
// last sections of the DC unit's list.
extern const std::array<Section, 3> kDcUnitExtraSections;
// 18 rows for the whole system.
void report_system_alarms(const DeviceView& view, Workspace& workspace, Reporter& reporter);

}  // namespace hvr38qt::alarms
