// The battery, column-head cabinet and environment rows of one DC unit,
// reported at the end of the unit's pass with its code base, its entries
// and its prefix 直流配电屏m: offsets 505 to 555 of the unit's code block.
#include "alarms/list_rules.h"
#include "alarms/rule_families.h"

namespace hvr38qt::alarms {

namespace {

constexpr unsigned kCabinets = 32;

// Battery groups 1, 2, 3, 4, A1, A2, B1, B2 discharging (505-512) and their
// switches open (513-520).
constexpr UnitRow kBatteryRows[] = {
    {.key = "hvr38qt_06005_discharge_505_", .nm_id = "06005", .name = "电池供电告警", .desc = "电池组1放电告警", .code = 505},
    {.key = "hvr38qt_06005_discharge_506_", .nm_id = "06005", .name = "电池供电告警", .desc = "电池组2放电告警", .code = 506},
    {.key = "hvr38qt_06005_discharge_507_", .nm_id = "06005", .name = "电池供电告警", .desc = "电池组3放电告警", .code = 507},
    {.key = "hvr38qt_06005_discharge_508_", .nm_id = "06005", .name = "电池供电告警", .desc = "电池组4放电告警", .code = 508},
    {.key = "hvr38qt_06005_discharge_509_", .nm_id = "06005", .name = "电池供电告警", .desc = "电池组A1放电告警", .code = 509},
    {.key = "hvr38qt_06005_discharge_510_", .nm_id = "06005", .name = "电池供电告警", .desc = "电池组A2放电告警", .code = 510},
    {.key = "hvr38qt_06005_discharge_511_", .nm_id = "06005", .name = "电池供电告警", .desc = "电池组B1放电告警", .code = 511},
    {.key = "hvr38qt_06005_discharge_512_", .nm_id = "06005", .name = "电池供电告警", .desc = "电池组B2放电告警", .code = 512},
    {.key = "hvr38qt_06038_switch_513_", .nm_id = "06038", .name = "电池开关断开", .desc = "电池组1开关异常", .code = 513},
    {.key = "hvr38qt_06038_switch_514_", .nm_id = "06038", .name = "电池开关断开", .desc = "电池组2开关异常", .code = 514},
    {.key = "hvr38qt_06038_switch_515_", .nm_id = "06038", .name = "电池开关断开", .desc = "电池组3开关异常", .code = 515},
    {.key = "hvr38qt_06038_switch_516_", .nm_id = "06038", .name = "电池开关断开", .desc = "电池组4开关异常", .code = 516},
    {.key = "hvr38qt_06038_switch_517_", .nm_id = "06038", .name = "电池开关断开", .desc = "电池组A1开关异常", .code = 517},
    {.key = "hvr38qt_06038_switch_518_", .nm_id = "06038", .name = "电池开关断开", .desc = "电池组A2开关异常", .code = 518},
    {.key = "hvr38qt_06038_switch_519_", .nm_id = "06038", .name = "电池开关断开", .desc = "电池组B1开关异常", .code = 519},
    {.key = "hvr38qt_06038_switch_520_", .nm_id = "06038", .name = "电池开关断开", .desc = "电池组B2开关异常", .code = 520},
};

// Cabinet k (521-552): name and description k号列头柜通讯故障, without the
// unit prefix; only the key tells the units apart.
constexpr BranchRow kCabinetRows[] = {
    {.key = "hvr38qt_06038_lietou_520_", .nm_id = "06035", .desc = "", .desc_tail = "号列头柜通讯故障", .code = 520, .names = Names::kBareText},
};

// Environment temperature (553-555). The NM id is the Chinese text itself.
constexpr UnitRow kEnvironmentRows[] = {
    {.key = "hvr38qt_06039_553_", .nm_id = "环境温度过高", .desc = "环境高温告警", .code = 553, .names = Names::kPrefixedText},
    {.key = "hvr38qt_06039_554_", .nm_id = "环境温度过高", .desc = "环境低温告警", .code = 554, .names = Names::kPrefixedText},
    {.key = "hvr38qt_06039_555_", .nm_id = "环境温度过高", .desc = "环境温度传感器故障", .code = 555, .names = Names::kPrefixedText},
};

}  // namespace

constexpr std::array<Section, 3> kDcUnitExtraSections = {
    Section::rows(kBatteryRows),
    Section::per_branch(kCabinetRows, kCabinets),
    Section::rows(kEnvironmentRows),
};

}  // namespace hvr38qt::alarms
