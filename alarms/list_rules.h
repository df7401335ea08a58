// Rules that test the controller's alarm list, in the two shapes the
// families share: indexed families, whose index is the code they look for
// (battery groups, modules, DC unit communication), and per-unit rows, which
// look for an offset from the unit's code base in the unit's own entries
// (AC units, DC units and the DC units' battery, cabinet and environment
// rows). Each shape has two halves that walk the same reports in the same
// order: one builds their texts (once per process, see SharedTexts), the
// other reports them with their active state at every evaluation. A
// per-unit family lists its rows once, as sections, and both halves walk
// that one list, so that they cannot get out of step.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "alarms/frame.h"

namespace hvr38qt::alarms {

// The text in front of an indexed family's description.
enum class IndexPrefix : std::uint8_t {
  kBatteryGroup,  // 第1 .. 第8, 第A1-1 .. 第A1-4, 第B1-1 .. 第B1-4
  kModule,        // 第i模块
  kDcUnit,        // 直流配电屏i
};

// Index i reports key + i, the fixed name, prefix(i) + desc, and is active
// when the family's filtered list holds code i.
struct IndexedFamily {
  std::string_view key;
  NmId nm_id;
  std::string_view name;
  std::string_view desc;
  std::uint8_t category;
  IndexPrefix prefix;
};

// The texts of indices 1..last, appended to `out`.
void add_indexed_texts(const IndexedFamily& family, unsigned last, TextBlock& out);
// Reports indices 1..last of a family against the codes of its filtered
// list.
void report_indexed_family(const IndexedFamily& family, unsigned last, const CodeSet& codes,
                           Reporter& reporter);

// How a per-unit row builds its name and description from the unit prefix
// and the row's text.
enum class Names : std::uint8_t {
  kFixedName,     // name: the row's name; description: prefix + text
  kPrefixedText,  // name and description: prefix + text
  kBareText,      // name and description: the text alone
};

// A row reported once per unit: key + unit number, active when the unit's
// list holds base + code.
struct UnitRow {
  std::string_view key;
  NmId nm_id;
  NmId counter{};  // only where the counter id differs from the NM id
  std::string_view name{};
  std::string_view desc;
  std::int32_t code;
  Names names = Names::kFixedName;
};

// A row reported once per branch b of a unit: key + unit number + "_" + b,
// text desc + b + desc_tail, active when the unit's list holds
// base + code + b.
struct BranchRow {
  std::string_view key;
  NmId nm_id;
  std::string_view name{};
  std::string_view desc;
  std::string_view desc_tail;
  std::int32_t code;
  Names names = Names::kFixedName;
};

// The unit whose texts are built: its number and its prefix (交流屏n,
// 直流配电屏m).
struct UnitNames {
  unsigned number;
  std::string_view prefix;
};

void add_unit_row_texts(std::span<const UnitRow> rows, const UnitNames& unit, TextBlock& out);
// For b = 1..branches, every row in table order.
void add_branch_row_texts(std::span<const BranchRow> rows, unsigned branches,
                          const UnitNames& unit, TextBlock& out);

// The unit being evaluated: its code base and the codes of its filtered
// list.
struct UnitScope {
  std::int32_t base;
  const CodeSet& codes;
};

void report_unit_rows(std::span<const UnitRow> rows, const UnitScope& unit, Reporter& reporter);
// For b = 1..branches, every row in table order.
void report_branch_rows(std::span<const BranchRow> rows, unsigned branches,
                        const UnitScope& unit, Reporter& reporter);

// One run of a per-unit family's reports: its rows once per unit, its rows
// once per branch, or another family's list of sections reported inside
// this one.
struct Section {
  enum class Kind : std::uint8_t { kUnitRows, kBranchRows, kNested };

  Kind kind;
  std::span<const UnitRow> unit_rows{};
  std::span<const BranchRow> branch_rows{};
  unsigned branches = 0;
  const Section* nested = nullptr;
  std::size_t nested_count = 0;

  static constexpr Section rows(std::span<const UnitRow> rows) {
    return {.kind = Kind::kUnitRows, .unit_rows = rows};
  }
  static constexpr Section per_branch(std::span<const BranchRow> rows, unsigned branches) {
    return {.kind = Kind::kBranchRows, .branch_rows = rows, .branches = branches};
  }
  template <std::size_t N>
  static constexpr Section inner(const std::array<Section, N>& sections) {
    return {.kind = Kind::kNested, .nested = sections.data(), .nested_count = N};
  }
};

// The texts of a unit's sections, in report order, appended to `out`.
void add_section_texts(std::span<const Section> sections, const UnitNames& unit, TextBlock& out);
// Reports a unit's sections in the same order.
void report_sections(std::span<const Section> sections, const UnitScope& unit,
                     Reporter& reporter);

}  // namespace hvr38qt::alarms
