// DC distribution alarms. First one communication row per DC unit, from the
// entries of category 13 whose code names the unit. Then one pass per unit
// m over the entries of category 14 listed for unit m: each unit owns the
// codes 560 × (m − 1) + 0..559 and each row looks for one offset in that
// block. The pass ends every unit with its battery, cabinet and
// environment rows.
#include <cstdint>
#include <span>
#include <string>

#include "alarms/list_rules.h"
#include "alarms/rule_families.h"
#include "alarms/workspace.h"

namespace hvr38qt::alarms {

namespace {

constexpr std::uint8_t kUnitCategory = 14;
constexpr unsigned kDcBranches = 80;
constexpr std::int32_t kUnitCodeBlock = 560;

// Index m: active when an entry of category 13, of any unit, carries code m.
constexpr IndexedFamily kCommunication = {
    .key = "hvr38qt_06011_dccomm_", .nm_id = "06011", .name = "直流屏通讯中断告警", .desc = "通讯故障", .category = 13, .prefix = IndexPrefix::kDcUnit};

// The unit as a whole: offsets 1 to 5.
constexpr UnitRow kUnitRows[] = {
    {.key = "hvr38qt_06042_1_", .nm_id = "06042", .name = "系统输出电压过高", .desc = "直流高压", .code = 1},
    {.key = "hvr38qt_06043_2_", .nm_id = "06043", .name = "系统输出电压过低", .desc = "直流低压", .code = 2},
    {.key = "hvr38qt_06007_dc_3_", .nm_id = "06007", .name = "负载熔丝故障告警", .desc = "输入开关异常", .code = 3},
    {.key = "hvr38qt_06006_dc_4_", .nm_id = "06006", .name = "负载电流过高告警", .desc = "总负载过流", .code = 4},
    {.key = "hvr38qt_06022_dc_5_", .nm_id = "06022", .name = "防雷器故障告警", .desc = "避雷器异常", .code = 5},
};

// Six rows per branch b; the code is the offset + b. The A-path over-current
// offset is 255, so offset 256 is both the switch of A-path branch 80 and
// the over-current of A-path branch 1.
constexpr BranchRow kBranchRows[] = {
    {.key = "hvr38qt_06007_dcouput_", .nm_id = "06007", .name = "负载熔丝故障告警", .desc = "分路", .desc_tail = "开关异常", .code = 8},
    {.key = "hvr38qt_06006_dcovercurrent_", .nm_id = "06006", .name = "负载电流过高告警", .desc = "分路", .desc_tail = "电流过流", .code = 88},
    {.key = "hvr38qt_06007_dcoutput_a_", .nm_id = "06007", .name = "负载熔丝故障告警", .desc = "分路A-", .desc_tail = "开关异常", .code = 176},
    {.key = "hvr38qt_06006_dcovercurrent_a_", .nm_id = "06006", .name = "负载电流过高告警", .desc = "分路A-", .desc_tail = "电流过流", .code = 255},
    {.key = "hvr38qt_06007_dcoutput_b_", .nm_id = "06007", .name = "负载熔丝故障告警", .desc = "分路B-", .desc_tail = "开关异常", .code = 344},
    {.key = "hvr38qt_06006_dcovercurrent_b_", .nm_id = "06006", .name = "负载电流过高告警", .desc = "分路B-", .desc_tail = "电流过流", .code = 424},
};

// The A path (offsets 169 to 173) and the B path (337 to 341).
constexpr UnitRow kPathRows[] = {
    {.key = "hvr38qt_06042_dc_169_", .nm_id = "06042", .name = "系统输出电压过高", .desc = "A路直流高压", .code = 169},
    {.key = "hvr38qt_06043_dc_170_", .nm_id = "06043", .name = "系统输出电压过低", .desc = "A路直流低压", .code = 170},
    {.key = "hvr38qt_06007_dc_171_", .nm_id = "06007", .name = "负载熔丝故障告警", .desc = "A路输入开关异常", .code = 171},
    {.key = "hvr38qt_06006_dc_172_", .nm_id = "06006", .name = "负载电流过高告警", .desc = "A路总负载过流", .code = 172},
    {.key = "hvr38qt_06022_dc_173_", .nm_id = "06022", .name = "防雷器故障告警", .desc = "A路避雷器异常", .code = 173},
    {.key = "hvr38qt_06042_dc_337_", .nm_id = "06042", .name = "系统输出电压过高", .desc = "B路直流高压", .code = 337},
    {.key = "hvr38qt_06043_dc_338_", .nm_id = "06043", .name = "系统输出电压过低", .desc = "B路直流低压", .code = 338},
    {.key = "hvr38qt_06007_dc_339_", .nm_id = "06010", .counter = "06007", .name = "负载熔丝故障告警", .desc = "B路输入开关异常", .code = 339},
    {.key = "hvr38qt_06006_dc_340_", .nm_id = "06006", .name = "负载电流过高告警", .desc = "B路总负载过流", .code = 340},
    {.key = "hvr38qt_06022_dc_341_", .nm_id = "06022", .name = "防雷器故障告警", .desc = "B路避雷器异常", .code = 341},
};

// The communication texts of every DC unit number, 1..255.
const TextBlock& communication_texts() {
  static const TextBlock texts = [] {
    TextBlock out;
    add_indexed_texts(kCommunication, static_cast<unsigned>(hvr38qt::kMaxUnits), out);
    return out;
  }();
  return texts;
}

// Every report of unit m's pass, in order: the texts and the reports both
// walk this list.
constexpr Section kDcSections[] = {
    Section::rows(kUnitRows),
    Section::per_branch(kBranchRows, kDcBranches),
    Section::rows(kPathRows),
    Section::inner(kDcUnitExtraSections),
};

void build_dc_texts(unsigned m, TextBlock& out) {
  std::string prefix;
  TextBuilder(prefix).add("直流配电屏").add(m);
  add_section_texts(kDcSections, {.number = m, .prefix = prefix}, out);
}

SharedTexts& dc_texts() {
  static SharedTexts texts(build_dc_texts);
  return texts;
}

}  // namespace

void report_dc_units(const DeviceView& view, Workspace& workspace, Reporter& reporter) {
  const int units = view.dc_number;  // 0..255
  if (units <= 0) return;
  const auto last = static_cast<unsigned>(units);

  workspace.codes.fill(view.alarms, [](const alarm_item& item) {
    return item.category == kCommunication.category;
  });
  reporter.use(std::span(communication_texts()).first(last));
  report_indexed_family(kCommunication, last, workspace.codes, reporter);

  for (unsigned m = 1; m <= last; ++m) {
    workspace.codes.fill(view.alarms, [m](const alarm_item& item) {
      return item.category == kUnitCategory && item.unit == m;
    });
    reporter.use(dc_texts().get(m));
    const UnitScope unit{.base = kUnitCodeBlock * static_cast<std::int32_t>(m - 1),
                         .codes = workspace.codes};
    report_sections(kDcSections, unit, reporter);
  }
  workspace.codes.clear();
}

}  // namespace hvr38qt::alarms
