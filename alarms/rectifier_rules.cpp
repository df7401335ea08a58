// Rectifier module alarms: 29 rows per module, each a test on one byte of
// the module's record. Every module reports the same keys; the prefix
// 第n整流模块 in name and description tells the modules apart.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "alarms/rule_families.h"
#include "alarms/workspace.h"
#include "device/hvr38qt.h"

namespace hvr38qt::alarms {

namespace {

// A test on one byte of the module record: bit `bit`, or, on the rows
// without a bit, the whole byte equal to `equals`.
struct ModuleRow {
  static constexpr int kWholeByte = -1;

  std::string_view key;
  NmId nm_id;
  std::string_view name;  // after the module prefix
  std::string_view desc;  // after the module prefix
  std::uint8_t byte;
  int bit = kWholeByte;
  std::uint8_t equals = 0;
};

// Record byte 7 is the module's state from the alarm-state reply; bytes 9
// to 17 are its status bits from the module detail reply.
constexpr ModuleRow kModuleRows[] = {
    {.key = "hvr38qt_0", .nm_id = "06024", .name = "整流模块故障告警", .desc = "整流模块故障告警", .byte = 7, .equals = 0x01},
    {.key = "hvr38qt_2", .nm_id = "06028", .name = "整流模块通信状态告警", .desc = "整流模块通信状态告警", .byte = 7, .equals = 0xFE},
    {.key = "hvr38qt_0_5", .nm_id = "06029", .name = "其他告警", .desc = "模块限流", .byte = 9, .bit = 5},
    {.key = "hvr38qt_0_6", .nm_id = "06025", .name = "整流模块风扇告警", .desc = "整流模块风扇告警", .byte = 9, .bit = 6},
    {.key = "hvr38qt_1_0", .nm_id = "06014", .name = "交流输入电压过高告警", .desc = "交流输入电压过高告警", .byte = 10, .bit = 0},
    {.key = "hvr38qt_1_2", .nm_id = "06015", .name = "交流输入电压过低告警", .desc = "交流输入电压过低告警", .byte = 10, .bit = 2},
    {.key = "hvr38qt_1_3", .nm_id = "06017", .name = "交流输入缺相告警", .desc = "1相异常", .byte = 10, .bit = 3},
    {.key = "hvr38qt_1_4", .nm_id = "06017", .name = "交流输入缺相告警", .desc = "2相异常", .byte = 10, .bit = 4},
    {.key = "hvr38qt_1_6", .nm_id = "06029", .name = "其他告警", .desc = "单机工作", .byte = 10, .bit = 6},
    {.key = "hvr38qt_1_7", .nm_id = "06029", .name = "其他告警", .desc = "均流异常", .byte = 10, .bit = 7},
    {.key = "hvr38qt_2_1", .nm_id = "06042", .name = "系统输出电压过高", .desc = "直流高压", .byte = 11, .bit = 1},
    {.key = "hvr38qt_2_2", .nm_id = "06042", .name = "系统输出电压过高", .desc = "直流过高压", .byte = 11, .bit = 2},
    {.key = "hvr38qt_2_3", .nm_id = "06043", .name = "系统输出电压过低", .desc = "直流低压", .byte = 11, .bit = 3},
    {.key = "hvr38qt_2_6", .nm_id = "06029", .name = "其他告警", .desc = "过流保护", .byte = 11, .bit = 6},
    {.key = "hvr38qt_2_7", .nm_id = "06052", .name = "内部温度高", .desc = "内部环境过温", .byte = 11, .bit = 7},
    {.key = "hvr38qt_3_1", .nm_id = "06029", .name = "其他告警", .desc = "模块交流低压限功率", .byte = 12, .bit = 1},
    {.key = "hvr38qt_3_2", .nm_id = "06027", .name = "其他告警", .desc = "模块高温限功率", .byte = 12, .bit = 2},
    {.key = "hvr38qt_3_3", .nm_id = "06012", .name = "监控模块故障告警", .desc = "模块内部错误", .byte = 12, .bit = 3},
    {.key = "hvr38qt_3_4", .nm_id = "06042", .name = "系统输出电压过高", .desc = "PFC过压", .byte = 12, .bit = 4},
    {.key = "hvr38qt_3_5", .nm_id = "06043", .name = "系统输出电压过低", .desc = "PFC欠压", .byte = 12, .bit = 5},
    {.key = "hvr38qt_3_6", .nm_id = "06027", .name = "整流模块温度过高告警", .desc = "PFC过温", .byte = 12, .bit = 6},
    {.key = "hvr38qt_3_7", .nm_id = "06028", .name = "整流模块通信状态告警", .desc = "PFC故障", .byte = 12, .bit = 7},
    {.key = "hvr38qt_4_0", .nm_id = "06029", .name = "其他告警", .desc = "DCDC过温", .byte = 13, .bit = 0},
    {.key = "hvr38qt_4_1", .nm_id = "06029", .name = "其他告警", .desc = "均流不平衡", .byte = 13, .bit = 1},
    {.key = "hvr38qt_4_2", .nm_id = "06024", .name = "整流模块故障告警", .desc = "DCDC故障", .byte = 13, .bit = 2},
    {.key = "hvr38qt_4_3", .nm_id = "06024", .name = "整流模块故障告警", .desc = "EEPROM读写错误", .byte = 13, .bit = 3},
    {.key = "hvr38qt_4_4", .nm_id = "06028", .name = "整流模块通信状态告警", .desc = "内部SCI通讯中断", .byte = 13, .bit = 4},
    {.key = "hvr38qt_4_5", .nm_id = "06028", .name = "整流模块通信状态告警", .desc = "模块地址设置错误", .byte = 13, .bit = 5},
    {.key = "hvr38qt_8_0", .nm_id = "06028", .name = "整流模块通信状态告警", .desc = "通信故障", .byte = 17, .bit = 0},
};

constexpr bool rows_fit_record() {
  return std::ranges::all_of(kModuleRows, [](const ModuleRow& row) {
    return row.byte < sizeof(tele_c_hvr38qt_rc_channel) && row.bit >= ModuleRow::kWholeByte &&
           row.bit < 8;
  });
}
static_assert(rows_fit_record());
static_assert(offsetof(tele_c_hvr38qt_rc_channel, alarm_state) == 7);
static_assert(offsetof(tele_c_hvr38qt_rc_channel, status_bits) == 9);

bool row_active(const ModuleRow& row, const tele_c_hvr38qt_rc_channel& record) {
  const std::uint8_t value = reinterpret_cast<const std::uint8_t*>(&record)[row.byte];
  if (row.bit == ModuleRow::kWholeByte) return value == row.equals;
  return ((value >> row.bit) & 1U) != 0;
}

// The texts of module n: the same keys for every module, name and
// description behind the prefix 第n整流模块.
void build_module_texts(unsigned n, TextBlock& out) {
  std::string prefix;
  TextBuilder(prefix).add("第").add(n).add("整流模块");
  for (const ModuleRow& row : kModuleRows) {
    RuleTexts& texts = out.emplace_back();
    TextBuilder(texts.key).add(row.key);
    TextBuilder(texts.name).add(prefix).add(row.name);
    TextBuilder(texts.desc).add(prefix).add(row.desc);
  }
}

SharedTexts& module_texts() {
  static SharedTexts texts(build_module_texts);
  return texts;
}

}  // namespace

void report_rectifier_modules(const HVR38QT& device, Workspace&, Reporter& reporter) {
  const auto& modules = device.Modules();
  // The module count is one byte: module numbers stay within 1..255.
  const std::size_t count = std::min<std::size_t>(device.Header().module_count, modules.size());
  for (std::size_t i = 0; i < count; ++i) {
    reporter.use(module_texts().get(static_cast<unsigned>(i + 1)));
    for (const ModuleRow& row : kModuleRows)
      reporter.report({.nm_id = row.nm_id}, row_active(row, modules[i]));
  }
}

}  // namespace hvr38qt::alarms
