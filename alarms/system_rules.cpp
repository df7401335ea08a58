// System alarms: one row per category of whole-system alarm, active when
// any entry of the alarm list has that category, whatever its unit and code.
// Categories 15, 16 and 33 have no row.
#include <cstdint>
#include <string_view>

#include "alarms/rule_families.h"
#include "alarms/workspace.h"

namespace hvr38qt::alarms {

namespace {

struct SystemRow {
  std::string_view key;
  NmId nm_id;
  std::string_view name;
  std::string_view desc;
  std::uint8_t category;
};

// The digits in a key are not always the NM id: the rows of categories 20
// and 21 report and count under "06005".
constexpr SystemRow kSystemRows[] = {
    {.key = "hvr38qt_06016_acdown_17", .nm_id = "06016", .name = "交流输入停电告警", .desc = "整流屏交流中断", .category = 17},
    {.key = "hvr38qt_06029_18", .nm_id = "06029", .name = "直流高压", .desc = "直流高压", .category = 18},
    {.key = "hvr38qt_06029_19", .nm_id = "06029", .name = "直流低压", .desc = "直流低压", .category = 19},
    {.key = "hvr38qt_06004_20", .nm_id = "06005", .name = "电池供电告警", .desc = "开关电源处于电池供电中", .category = 20},
    {.key = "hvr38qt_06029_21", .nm_id = "06005", .name = "电池低压放电", .desc = "电池低压放电", .category = 21},
    {.key = "hvr38qt_06002_22", .nm_id = "06002", .name = "电池充电过流告警", .desc = "电池充电过流告警", .category = 22},
    {.key = "hvr38qt_06004_23", .nm_id = "06004", .name = "电池放电不平衡告警", .desc = "电池放电不平衡告警", .category = 23},
    {.key = "hvr38qt_06029_24", .nm_id = "06029", .name = "手动限流", .desc = "手动限流", .category = 24},
    {.key = "hvr38qt_06029_25", .nm_id = "06029", .name = "环境高温", .desc = "环境高温", .category = 25},
    {.key = "hvr38qt_06029_26", .nm_id = "06029", .name = "环境低温", .desc = "环境低温", .category = 26},
    {.key = "hvr38qt_06006_27", .nm_id = "06006", .name = "总负载过流告警", .desc = "总负载过流告警", .category = 27},
    {.key = "hvr38qt_06029_28", .nm_id = "06029", .name = "环境温度传感器故障", .desc = "环境温度传感器故障", .category = 28},
    {.key = "hvr38qt_06029_29", .nm_id = "06029", .name = "直流电压传感器故障", .desc = "直流电压传感器故障", .category = 29},
    {.key = "hvr38qt_06029_30", .nm_id = "06029", .name = "电流传感器侦测异常", .desc = "电流传感器侦测异常", .category = 30},
    {.key = "hvr38qt_06029_31", .nm_id = "06029", .name = "电池组标签重复", .desc = "电池组标签重复", .category = 31},
    {.key = "hvr38qt_06023_32", .nm_id = "06023", .name = "交流屏通讯中断告警", .desc = "交流屏通讯中断告警", .category = 32},
    {.key = "hvr38qt_06029_34", .nm_id = "06029", .name = "Flash存储故障", .desc = "Flash存储故障", .category = 34},
    {.key = "hvr38qt_06029_35", .nm_id = "06029", .name = "模块地址配置错误", .desc = "模块地址配置错误", .category = 35},
};

const TextBlock& system_texts() {
  static const TextBlock texts = [] {
    TextBlock out;
    for (const SystemRow& row : kSystemRows) {
      RuleTexts& t = out.emplace_back();
      TextBuilder(t.key).add(row.key);
      TextBuilder(t.name).add(row.name);
      TextBuilder(t.desc).add(row.desc);
    }
    return out;
  }();
  return texts;
}

}  // namespace

void report_system_alarms(const DeviceView& view, Workspace& workspace, Reporter& reporter) {
  workspace.categories.fill(view.alarms);
  reporter.use(system_texts());
  for (const SystemRow& row : kSystemRows)
    reporter.report({.nm_id = row.nm_id}, workspace.categories.contains(row.category));
}

}  // namespace hvr38qt::alarms
