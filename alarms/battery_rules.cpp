// Battery group and module alarms, known only from the alarm list: each
// family takes the entries of its category, and index i is active when one
// of them carries code i.
#include "alarms/list_rules.h"
#include "alarms/rule_families.h"
#include "alarms/workspace.h"

namespace hvr38qt::alarms {

namespace {

constexpr unsigned kBatteryGroups = 16;
constexpr unsigned kModules = 64;

constexpr IndexedFamily kFamilies[] = {
    {.key = "hvr38qt_06003_temperature_", .nm_id = "06003", .name = "电池温度过高告警", .desc = "组电池温度高", .category = 1, .prefix = IndexPrefix::kBatteryGroup},
    {.key = "hvr38qt_06082_cut_", .nm_id = "06082", .name = "电池回路断", .desc = "组电池回路断", .category = 2, .prefix = IndexPrefix::kBatteryGroup},
    {.key = "hvr38qt_06070_temperature_", .nm_id = "06070", .name = "电池温度传感器故障", .desc = "组电池温度传感器故障", .category = 3, .prefix = IndexPrefix::kBatteryGroup},
    {.key = "hvr38qt_06029_voltage_", .nm_id = "06029", .name = "其他告警", .desc = "组电池电压传感器故障", .category = 4, .prefix = IndexPrefix::kBatteryGroup},
    {.key = "hvr38qt_06029_test_", .nm_id = "06029", .name = "其他告警", .desc = "组电池测试失败", .category = 5, .prefix = IndexPrefix::kBatteryGroup},
    // No underscore before the index in this key: hvr38qt_06028_comm1.
    {.key = "hvr38qt_06028_comm", .nm_id = "06028", .name = "整流模块通信状态告警", .desc = "通讯故障", .category = 6, .prefix = IndexPrefix::kModule},
    {.key = "hvr38qt_06029_voltagelimit_", .nm_id = "06029", .name = "其他告警", .desc = "电压钳位", .category = 7, .prefix = IndexPrefix::kModule},
    {.key = "hvr38qt_06032_shutdown_", .nm_id = "06032", .name = "整流模块故障（整流模块关机）", .desc = "关机", .category = 8, .prefix = IndexPrefix::kModule},
    {.key = "hvr38qt_06029_limit_", .nm_id = "06029", .name = "其他告警", .desc = "限流", .category = 9, .prefix = IndexPrefix::kModule},
    {.key = "hvr38qt_06025_fan_", .nm_id = "06025", .name = "整流模块风扇告警", .desc = "风扇故障", .category = 10, .prefix = IndexPrefix::kModule},
    {.key = "hvr38qt_06007_fuse_", .nm_id = "06007", .name = "负载熔丝故障告警", .desc = "熔丝断", .category = 11, .prefix = IndexPrefix::kModule},
};

unsigned last_index(const IndexedFamily& family) {
  return family.prefix == IndexPrefix::kBatteryGroup ? kBatteryGroups : kModules;
}

// The texts of all eleven families, which depend on nothing but the index.
const TextBlock& family_texts() {
  static const TextBlock texts = [] {
    TextBlock out;
    for (const IndexedFamily& family : kFamilies) add_indexed_texts(family, last_index(family), out);
    return out;
  }();
  return texts;
}

}  // namespace

void report_battery_groups_and_modules(const DeviceView& view, Workspace& workspace,
                                       Reporter& reporter) {
  reporter.use(family_texts());
  for (const IndexedFamily& family : kFamilies) {
    workspace.codes.fill(view.alarms, [&](const alarm_item& item) {
      return item.category == family.category;
    });
    report_indexed_family(family, last_index(family), workspace.codes, reporter);
  }
  workspace.codes.clear();
}

}  // namespace hvr38qt::alarms
