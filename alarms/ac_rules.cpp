// AC distribution alarms: for every AC unit n, the entries of category 12
// listed for unit n; a row is active when one of them carries the row's
// code. The AC2 input's codes are those of AC1 plus 16; the 72 output
// branch breakers have codes 89 to 160.
#include <cstdint>
#include <string>

#include "alarms/list_rules.h"
#include "alarms/rule_families.h"
#include "alarms/workspace.h"

namespace hvr38qt::alarms {

namespace {

constexpr std::uint8_t kAcCategory = 12;
constexpr unsigned kAcBranches = 72;

// Descriptions follow the unit prefix 交流屏n. The neutral current row and the
// ATS manual state row have keys of their own ("_in_" and "_atsmanual_").
constexpr UnitRow kAcRows[] = {
    {.key = "hvr38qt_06014_ac1high_", .nm_id = "06014", .name = "交流输入电压过高告警", .desc = "AC1过压", .code = 1},
    {.key = "hvr38qt_06015_ac1low_", .nm_id = "06015", .name = "交流输入电压过低告警", .desc = "AC1低压", .code = 4},
    {.key = "hvr38qt_06018_ac1freq_", .nm_id = "06018", .name = "交流输入频率过高告警", .desc = "AC1频率异常", .code = 7},
    {.key = "hvr38qt_06014_ac1suddenhigh_", .nm_id = "06014", .name = "交流输入电压过高告警", .desc = "AC1瞬间高压", .code = 8},
    {.key = "hvr38qt_06017_ac1miss_", .nm_id = "06017", .name = "交流输入缺相告警", .desc = "AC1缺相", .code = 9},
    {.key = "hvr38qt_06017_ac1unbalance_", .nm_id = "06018", .name = "交流输入频率过高告警", .desc = "AC1相间不平衡", .code = 12},
    {.key = "hvr38qt_06017_ac1off_", .nm_id = "06017", .counter = "06016", .name = "交流输入停电告警", .desc = "AC1停电", .code = 13},
    {.key = "hvr38qt_06017_ac1jump_", .nm_id = "06013", .name = "交流输入空开跳告警", .desc = "AC1输入空开跳脱", .code = 14},
    {.key = "hvr38qt_06014_ac2high_", .nm_id = "06014", .name = "交流输入电压过高告警", .desc = "AC2过压", .code = 17},
    {.key = "hvr38qt_06015_ac2low_", .nm_id = "06015", .name = "交流输入电压过低告警", .desc = "AC2欠压", .code = 20},
    {.key = "hvr38qt_06018_ac2freq_", .nm_id = "06018", .name = "交流输入频率过高告警", .desc = "AC2频率异常", .code = 23},
    {.key = "hvr38qt_06014_ac2suddenhigh_", .nm_id = "06014", .name = "交流输入电压过高告警", .desc = "AC2瞬间高压", .code = 24},
    {.key = "hvr38qt_06017_ac2miss_", .nm_id = "06017", .name = "交流输入缺相告警", .desc = "AC2缺相", .code = 25},
    {.key = "hvr38qt_06017_ac2unbalance_", .nm_id = "06018", .name = "交流输入频率过高告警", .desc = "AC2相间不平衡", .code = 28},
    {.key = "hvr38qt_06017_ac2off_", .nm_id = "06017", .counter = "06016", .name = "交流输入停电告警", .desc = "AC2停电", .code = 29},
    {.key = "hvr38qt_06017_ac2jump_", .nm_id = "06013", .name = "交流输入空开跳告警", .desc = "AC2输入空开跳脱", .code = 30},
    {.key = "hvr38qt_06014_ia_", .nm_id = "06006", .name = "负载电流过高告警", .desc = "交流总电流A过大", .code = 49},
    {.key = "hvr38qt_06014_ib_", .nm_id = "06006", .name = "负载电流过高告警", .desc = "交流总电流B过大", .code = 50},
    {.key = "hvr38qt_06014_ic_", .nm_id = "06006", .name = "负载电流过高告警", .desc = "交流总电流C过大", .code = 51},
    {.key = "hvr38qt_06014_in_", .nm_id = "06006", .name = "负载电流过高告警", .desc = "零线电流过高", .code = 52},
    {.key = "hvr38qt_06029_ats_ac1_", .nm_id = "06029", .name = "其他告警", .desc = "ATS_AC1位置故障", .code = 53},
    {.key = "hvr38qt_06029_ats_ac2_", .nm_id = "06029", .name = "其他告警", .desc = "ATS_AC2位置故障", .code = 54},
    {.key = "hvr38qt_06029_ats_cut_", .nm_id = "06029", .name = "其他告警", .desc = "ATS断开位置故障", .code = 55},
    {.key = "hvr38qt_06029_atsmanual_", .nm_id = "06029", .name = "其他告警", .desc = "ATS手动状态故障", .code = 56},
    {.key = "hvr38qt_06029_noinput_", .nm_id = "06029", .name = "其他告警", .desc = "无投入告警", .code = 57},
    {.key = "hvr38qt_06029_testdevice_", .nm_id = "06029", .name = "其他告警", .desc = "测试状态告警", .code = 58},
    {.key = "hvr38qt_06006_bi_", .nm_id = "06006", .desc = "分路电流告警", .code = 59, .names = Names::kPrefixedText},
    {.key = "hvr38qt_06007_atsoutputjump_", .nm_id = "06007", .desc = "ATS输出总空开跳脱", .code = 60, .names = Names::kPrefixedText},
    {.key = "hvr38qt_06029_astinputabnormal_", .nm_id = "06029", .name = "其他告警", .desc = "ATS控制器供电异常", .code = 61},
    {.key = "hvr38qt_06029_atslockfail_", .nm_id = "06029", .name = "其他告警", .desc = "ATS互锁故障", .code = 62},
    {.key = "hvr38qt_06029_atsmanuallockfail_", .nm_id = "06029", .name = "其他告警", .desc = "ATS手动互锁故障", .code = 63},
    {.key = "hvr38qt_06029_maintain_", .nm_id = "06029", .name = "其他告警", .desc = "定期维护告警", .code = 64},
    {.key = "hvr38qt_06029_commboard1_", .nm_id = "06029", .name = "其他告警", .desc = "扩展板1通讯故障", .code = 65},
    {.key = "hvr38qt_06029_commboard2_", .nm_id = "06029", .name = "其他告警", .desc = "扩展板2通讯故障", .code = 66},
    {.key = "hvr38qt_06029_commboard3_", .nm_id = "06029", .name = "其他告警", .desc = "扩展板3通讯故障", .code = 67},
    {.key = "hvr38qt_06029_commboard4_", .nm_id = "06029", .name = "其他告警", .desc = "扩展板4通讯故障", .code = 68},
    {.key = "hvr38qt_06029_powermeterfail_", .nm_id = "06029", .name = "其他告警", .desc = "电表通讯故障", .code = 69},
    {.key = "hvr38qt_06029_apower1fail_", .nm_id = "06029", .name = "其他告警", .desc = "辅助电源1告警", .code = 73},
    {.key = "hvr38qt_06029_apower2fail_", .nm_id = "06029", .name = "其他告警", .desc = "辅助电源2告警", .code = 74},
    {.key = "hvr38qt_06022_lignthningrod1_", .nm_id = "06022", .name = "防雷器故障告警", .desc = "避雷器1告警", .code = 78},
    {.key = "hvr38qt_06022_lignthningrod2_", .nm_id = "06022", .name = "防雷器故障告警", .desc = "避雷器2告警", .code = 79},
    {.key = "hvr38qt_06007_output1_", .nm_id = "06007", .name = "负载熔丝故障告警", .desc = "输入空开1告警", .code = 81},
    {.key = "hvr38qt_06007_output2_", .nm_id = "06007", .name = "负载熔丝故障告警", .desc = "输入空开2告警", .code = 82},
};

// Branch breaker b: code 88 + b.
constexpr BranchRow kAcBranchRows[] = {
    {.key = "hvr38qt_06007_branchoutput_", .nm_id = "06007", .name = "负载熔丝故障告警", .desc = "分路空开", .desc_tail = "告警", .code = 88},
};

// Every report of one unit, in order: the texts and the reports both walk
// this list.
constexpr Section kAcSections[] = {
    Section::rows(kAcRows),
    Section::per_branch(kAcBranchRows, kAcBranches),
};

void build_ac_texts(unsigned n, TextBlock& out) {
  std::string prefix;
  TextBuilder(prefix).add("交流屏").add(n);
  add_section_texts(kAcSections, {.number = n, .prefix = prefix}, out);
}

SharedTexts& ac_texts() {
  static SharedTexts texts(build_ac_texts);
  return texts;
}

}  // namespace

void report_ac_units(const DeviceView& view, Workspace& workspace, Reporter& reporter) {
  const int units = view.ac_number;  // 1..255
  for (int n = 1; n <= units; ++n) {
    // The unit byte is compared with n as it stands: no byte names a unit
    // above 255.
    workspace.codes.fill(view.alarms, [n](const alarm_item& item) {
      return item.category == kAcCategory && item.unit == n;
    });
    reporter.use(ac_texts().get(static_cast<unsigned>(n)));
    report_sections(kAcSections, {.base = 0, .codes = workspace.codes}, reporter);
  }
  workspace.codes.clear();
}

}  // namespace hvr38qt::alarms
