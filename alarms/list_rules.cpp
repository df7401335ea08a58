#include "alarms/list_rules.h"

namespace hvr38qt::alarms {

namespace {

void add_index_prefix(TextBuilder& prefix, IndexPrefix kind, unsigned i) {
  switch (kind) {
    case IndexPrefix::kBatteryGroup:
      if (i <= 8) {
        prefix.add("第").add(i);
      } else if (i <= 12) {
        prefix.add("第A1-").add(i - 8);
      } else {
        prefix.add("第B1-").add(i - 12);
      }
      return;
    case IndexPrefix::kModule:
      prefix.add("第").add(i).add("模块");
      return;
    case IndexPrefix::kDcUnit:
      prefix.add("直流配电屏").add(i);
      return;
  }
}

// Name and description of a per-unit row; `text` is the row's text, with
// the branch number and tail on branch rows.
template <class AddText>
void build_unit_names(Reporter& reporter, Names names, std::string_view name, AddText add_text) {
  TextBuilder desc = reporter.desc();
  if (names != Names::kBareText) desc.add(reporter.current_prefix());
  add_text(desc);
  if (names == Names::kFixedName) {
    reporter.name().add(name);
  } else {
    reporter.name_from_desc();
  }
}

}  // namespace

void report_indexed_family(const IndexedFamily& family, unsigned last, const CodeSet& codes,
                           Reporter& reporter) {
  for (unsigned i = 1; i <= last; ++i) {
    reporter.key().add(family.key).add(i);
    reporter.name().add(family.name);
    TextBuilder desc = reporter.desc();
    add_index_prefix(desc, family.prefix, i);
    desc.add(family.desc);
    reporter.report({.nm_id = family.nm_id}, codes.contains(static_cast<std::int32_t>(i)));
  }
}

void report_unit_rows(std::span<const UnitRow> rows, const UnitScope& unit, Reporter& reporter) {
  for (const UnitRow& row : rows) {
    reporter.key().add(row.key).add(unit.number);
    build_unit_names(reporter, row.names, row.name,
                     [&](TextBuilder& desc) { desc.add(row.desc); });
    reporter.report({.nm_id = row.nm_id, .counter = row.counter},
                    unit.codes.contains(unit.base + row.code));
  }
}

void report_branch_rows(std::span<const BranchRow> rows, unsigned branches,
                        const UnitScope& unit, Reporter& reporter) {
  for (unsigned b = 1; b <= branches; ++b) {
    for (const BranchRow& row : rows) {
      reporter.key().add(row.key).add(unit.number).add("_").add(b);
      build_unit_names(reporter, row.names, row.name,
                       [&](TextBuilder& desc) { desc.add(row.desc).add(b).add(row.desc_tail); });
      reporter.report({.nm_id = row.nm_id},
                      unit.codes.contains(unit.base + row.code + static_cast<std::int32_t>(b)));
    }
  }
}

}  // namespace hvr38qt::alarms
