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

namespace hvr38qt::alarms {

namespace {

// A bit of the module's status bytes (the module detail reply): status
// byte `byte` (0..8), bit `bit` (0..7). `byte` is negative on the rows that
// test the module's alarm state instead.
struct StatusBit {
  int byte = -1;
  int bit = 0;
};

// A test on the module record: one status bit, or, on the rows without one,
// the alarm state (from the alarm-state reply) equal to `alarm_state`.
struct ModuleRow {
  std::string_view key;
  NmId nm_id;
  std::string_view name;  // after the module prefix
  std::string_view desc;  // after the module prefix
  StatusBit status{};
  std::uint8_t alarm_state = 0;
};

// A status-bit row's key names its position, hvr38qt_<byte>_<bit>; an
// alarm-state row's key has one number only.
constexpr ModuleRow kModuleRows[] = {
    {.key = "hvr38qt_0", .nm_id = "06024", .name = "整流模块故障告警", .desc = "整流模块故障告警", .alarm_state = 0x01},
    {.key = "hvr38qt_2", .nm_id = "06028", .name = "整流模块通信状态告警", .desc = "整流模块通信状态告警", .alarm_state = 0xFE},
    {.key = "hvr38qt_0_5", .nm_id = "06029", .name = "其他告警", .desc = "模块限流", .status = {.byte = 0, .bit = 5}},
    {.key = "hvr38qt_0_6", .nm_id = "06025", .name = "整流模块风扇告警", .desc = "整流模块风扇告警", .status = {.byte = 0, .bit = 6}},
    {.key = "hvr38qt_1_0", .nm_id = "06014", .name = "交流输入电压过高告警", .desc = "交流输入电压过高告警", .status = {.byte = 1, .bit = 0}},
    {.key = "hvr38qt_1_2", .nm_id = "06015", .name = "交流输入电压过低告警", .desc = "交流输入电压过低告警", .status = {.byte = 1, .bit = 2}},
    {.key = "hvr38qt_1_3", .nm_id = "06017", .name = "交流输入缺相告警", .desc = "1相异常", .status = {.byte = 1, .bit = 3}},
    {.key = "hvr38qt_1_4", .nm_id = "06017", .name = "交流输入缺相告警", .desc = "2相异常", .status = {.byte = 1, .bit = 4}},
    {.key = "hvr38qt_1_6", .nm_id = "06029", .name = "其他告警", .desc = "单机工作", .status = {.byte = 1, .bit = 6}},
    {.key = "hvr38qt_1_7", .nm_id = "06029", .name = "其他告警", .desc = "均流异常", .status = {.byte = 1, .bit = 7}},
    {.key = "hvr38qt_2_1", .nm_id = "06042", .name = "系统输出电压过高", .desc = "直流高压", .status = {.byte = 2, .bit = 1}},
    {.key = "hvr38qt_2_2", .nm_id = "06042", .name = "系统输出电压过高", .desc = "直流过高压", .status = {.byte = 2, .bit = 2}},
    {.key = "hvr38qt_2_3", .nm_id = "06043", .name = "系统输出电压过低", .desc = "直流低压", .status = {.byte = 2, .bit = 3}},
    {.key = "hvr38qt_2_6", .nm_id = "06029", .name = "其他告警", .desc = "过流保护", .status = {.byte = 2, .bit = 6}},
    {.key = "hvr38qt_2_7", .nm_id = "06052", .name = "内部温度高", .desc = "内部环境过温", .status = {.byte = 2, .bit = 7}},
    {.key = "hvr38qt_3_1", .nm_id = "06029", .name = "其他告警", .desc = "模块交流低压限功率", .status = {.byte = 3, .bit = 1}},
    {.key = "hvr38qt_3_2", .nm_id = "06027", .name = "其他告警", .desc = "模块高温限功率", .status = {.byte = 3, .bit = 2}},
    {.key = "hvr38qt_3_3", .nm_id = "06012", .name = "监控模块故障告警", .desc = "模块内部错误", .status = {.byte = 3, .bit = 3}},
    {.key = "hvr38qt_3_4", .nm_id = "06042", .name = "系统输出电压过高", .desc = "PFC过压", .status = {.byte = 3, .bit = 4}},
    {.key = "hvr38qt_3_5", .nm_id = "06043", .name = "系统输出电压过低", .desc = "PFC欠压", .status = {.byte = 3, .bit = 5}},
    {.key = "hvr38qt_3_6", .nm_id = "06027", .name = "整流模块温度过高告警", .desc = "PFC过温", .status = {.byte = 3, .bit = 6}},
    {.key = "hvr38qt_3_7", .nm_id = "06028", .name = "整流模块通信状态告警", .desc = "PFC故障", .status = {.byte = 3, .bit = 7}},
    {.key = "hvr38qt_4_0", .nm_id = "06029", .name = "其他告警", .desc = "DCDC过温", .status = {.byte = 4, .bit = 0}},
    {.key = "hvr38qt_4_1", .nm_id = "06029", .name = "其他告警", .desc = "均流不平衡", .status = {.byte = 4, .bit = 1}},
    {.key = "hvr38qt_4_2", .nm_id = "06024", .name = "整流模块故障告警", .desc = "DCDC故障", .status = {.byte = 4, .bit = 2}},
    {.key = "hvr38qt_4_3", .nm_id = "06024", .name = "整流模块故障告警", .desc = "EEPROM读写错误", .status = {.byte = 4, .bit = 3}},
    {.key = "hvr38qt_4_4", .nm_id = "06028", .name = "整流模块通信状态告警", .desc = "内部SCI通讯中断", .status = {.byte = 4, .bit = 4}},
    {.key = "hvr38qt_4_5", .nm_id = "06028", .name = "整流模块通信状态告警", .desc = "模块地址设置错误", .status = {.byte = 4, .bit = 5}},
    {.key = "hvr38qt_8_0", .nm_id = "06028", .name = "整流模块通信状态告警", .desc = "通信故障", .status = {.byte = 8, .bit = 0}},
};

constexpr std::size_t kStatusBytes = sizeof(tele_c_hvr38qt_rc_channel{}.status_bits);

// The number in `text` at `pos` (one or more digits), or -1; `pos` is moved
// past it.
constexpr int read_number(std::string_view text, std::size_t& pos) {
  int value = -1;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    value = (value < 0 ? 0 : value * 10) + (text[pos] - '0');
    ++pos;
  }
  return value;
}

// The key and the tested position agree, and the position lies in the
// record.
constexpr bool key_names_position(const ModuleRow& row) {
  constexpr std::string_view kPrefix = "hvr38qt_";
  if (!row.key.starts_with(kPrefix)) return false;
  std::size_t pos = kPrefix.size();
  const int first = read_number(row.key, pos);
  if (first < 0) return false;
  if (pos == row.key.size()) return row.status.byte < 0 && row.alarm_state != 0;
  if (row.key[pos] != '_') return false;
  ++pos;
  const int second = read_number(row.key, pos);
  return pos == row.key.size() && row.status.byte == first && row.status.bit == second &&
         first < static_cast<int>(kStatusBytes) && second >= 0 && second < 8;
}

constexpr bool keys_name_positions() {
  return std::ranges::all_of(kModuleRows,
                             [](const ModuleRow& row) { return key_names_position(row); });
}
static_assert(keys_name_positions(), "a rectifier row's key and its status byte and bit differ");

bool row_active(const ModuleRow& row, const tele_c_hvr38qt_rc_channel& record) {
  if (row.status.byte < 0) return record.alarm_state == row.alarm_state;
  const std::uint8_t value = record.status_bits[static_cast<std::size_t>(row.status.byte)];
  return ((value >> row.status.bit) & 1U) != 0;
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

void report_rectifier_modules(const DeviceView& view, Workspace&, Reporter& reporter) {
  const auto& modules = view.modules;
  // The module count is one byte: module numbers stay within 1..255.
  const std::size_t count = std::min<std::size_t>(view.header.module_count, modules.size());
  for (std::size_t i = 0; i < count; ++i) {
    reporter.use(module_texts().get(static_cast<unsigned>(i + 1)));
    for (const ModuleRow& row : kModuleRows)
      reporter.report({.nm_id = row.nm_id}, row_active(row, modules[i]));
  }
}

}  // namespace hvr38qt::alarms
