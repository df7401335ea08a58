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

// Name and description of a per-unit row; `add_text` adds the row's text,
// with the branch number and tail on branch rows.
template <class AddText>
void add_unit_names(RuleTexts& texts, const UnitNames& unit, Names names, std::string_view name,
                    AddText add_text) {
  TextBuilder desc(texts.desc);
  if (names != Names::kBareText) desc.add(unit.prefix);
  add_text(desc);
  if (names == Names::kFixedName) {
    TextBuilder(texts.name).add(name);
  } else {
    texts.name = texts.desc;
  }
}

}  // namespace

void add_indexed_texts(const IndexedFamily& family, unsigned last, TextBlock& out) {
  for (unsigned i = 1; i <= last; ++i) {
    RuleTexts& texts = out.emplace_back();
    TextBuilder(texts.key).add(family.key).add(i);
    TextBuilder(texts.name).add(family.name);
    TextBuilder desc(texts.desc);
    add_index_prefix(desc, family.prefix, i);
    desc.add(family.desc);
  }
}

void report_indexed_family(const IndexedFamily& family, unsigned last, const CodeSet& codes,
                           Reporter& reporter) {
  for (unsigned i = 1; i <= last; ++i)
    reporter.report({.nm_id = family.nm_id}, codes.contains(static_cast<std::int32_t>(i)));
}

void add_unit_row_texts(std::span<const UnitRow> rows, const UnitNames& unit, TextBlock& out) {
  for (const UnitRow& row : rows) {
    RuleTexts& texts = out.emplace_back();
    TextBuilder(texts.key).add(row.key).add(unit.number);
    add_unit_names(texts, unit, row.names, row.name,
                   [&](TextBuilder& desc) { desc.add(row.desc); });
  }
}

void add_branch_row_texts(std::span<const BranchRow> rows, unsigned branches,
                          const UnitNames& unit, TextBlock& out) {
  for (unsigned b = 1; b <= branches; ++b) {
    for (const BranchRow& row : rows) {
      RuleTexts& texts = out.emplace_back();
      TextBuilder(texts.key).add(row.key).add(unit.number).add("_").add(b);
      add_unit_names(texts, unit, row.names, row.name,
                     [&](TextBuilder& desc) { desc.add(row.desc).add(b).add(row.desc_tail); });
    }
  }
}

void report_unit_rows(std::span<const UnitRow> rows, const UnitScope& unit, Reporter& reporter) {
  for (const UnitRow& row : rows)
    reporter.report({.nm_id = row.nm_id, .counter = row.counter},
                    unit.codes.contains(unit.base + row.code));
}

void report_branch_rows(std::span<const BranchRow> rows, unsigned branches,
                        const UnitScope& unit, Reporter& reporter) {
  for (unsigned b = 1; b <= branches; ++b) {
    for (const BranchRow& row : rows) {
      reporter.report({.nm_id = row.nm_id},
                      unit.codes.contains(unit.base + row.code + static_cast<std::int32_t>(b)));
    }
  }
}

void add_section_texts(std::span<const Section> sections, const UnitNames& unit, TextBlock& out) {
  for (const Section& section : sections) {
    switch (section.kind) {
      case Section::Kind::kUnitRows:
        add_unit_row_texts(section.unit_rows, unit, out);
        break;
      case Section::Kind::kBranchRows:
        add_branch_row_texts(section.branch_rows, section.branches, unit, out);
        break;
      case Section::Kind::kNested:
        add_section_texts(std::span(section.nested, section.nested_count), unit, out);
        break;
    }
  }
}

void report_sections(std::span<const Section> sections, const UnitScope& unit,
                     Reporter& reporter) {
  for (const Section& section : sections) {
    switch (section.kind) {
      case Section::Kind::kUnitRows:
        report_unit_rows(section.unit_rows, unit, reporter);
        break;
      case Section::Kind::kBranchRows:
        report_branch_rows(section.branch_rows, section.branches, unit, reporter);
        break;
      case Section::Kind::kNested:
        report_sections(std::span(section.nested, section.nested_count), unit, reporter);
        break;
    }
  }
}

}  // namespace hvr38qt::alarms
