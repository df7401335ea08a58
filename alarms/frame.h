// Building blocks shared by the families of the default rule set: the NM
// alarm ids and their counters, the code and category sets that stand for a
// filtered alarm list, the report texts shared by all devices, and the one
// reporting step through which every rule reaches the host.
#pragma once

#include <array>
#include <atomic>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "device/records.h"
#include "krt_device.h"

namespace hvr38qt::alarms {

// Every NM alarm id and counter id of the default rule set. A rule's counter
// is found by its position in this list, fixed at compile time.
inline constexpr std::array<std::string_view, 31> kNmIds = {
    "06002", "06003", "06004", "06005", "06006", "06007", "06010", "06011",
    "06012", "06013", "06014", "06015", "06016", "06017", "06018", "06022",
    "06023", "06024", "06025", "06027", "06028", "06029", "06032", "06035",
    "06038", "06042", "06043", "06052", "06070", "06082", "环境温度过高",
};

consteval std::uint8_t nm_id_slot(std::string_view text) {
  for (std::size_t i = 0; i < kNmIds.size(); ++i) {
    if (kNmIds[i] == text) return static_cast<std::uint8_t>(i);
  }
  throw "NM id missing from kNmIds";  // a compile error: every id is listed
}

// An NM id as it stands in a rule table. Converting a literal looks up its
// counter slot at compile time; an unlisted id does not compile.
struct NmId {
  static constexpr std::uint8_t kNone = 0xFF;

  std::uint8_t slot = kNone;

  constexpr NmId() = default;
  // Implicit, so that tables name their ids as literals.
  consteval NmId(const char* text) : slot(nm_id_slot(text)) {}

  constexpr bool empty() const { return slot == kNone; }
};

// The identity of a rule's report: its NM id and the counter that numbers
// it, which is the NM id's own counter unless a table names another one.
struct RuleIds {
  NmId nm_id;
  NmId counter{};

  constexpr std::uint8_t counter_slot() const {
    return counter.empty() ? nm_id.slot : counter.slot;
  }
};

// The counter table of one evaluation: one running number per id.
class Counters {
 public:
  Counters();

  void clear() { counts_.fill(0); }
  // Advances the counter and returns the new value truncated to 16 bits,
  // so that the numbers of a large installation wrap instead of failing.
  unsigned short next(std::uint8_t slot) {
    return static_cast<unsigned short>(++counts_[slot]);
  }
  const std::string& text(std::uint8_t slot) const { return texts_[slot]; }

 private:
  std::array<std::uint32_t, kNmIds.size()> counts_{};
  // The ids as host strings, built once per workspace.
  std::array<std::string, kNmIds.size()> texts_;
};

// The codes of a filtered alarm list: which codes some item that passed the
// filter carries. A rule asks one bit instead of searching the list; only
// the bits that were set are cleared again.
class CodeSet {
 public:
  CodeSet();

  template <class Filter>
  void fill(std::span<const alarm_item> items, Filter&& keep) {
    clear();
    for (const alarm_item& item : items) {
      if (!keep(item) || bits_.test(item.code)) continue;
      bits_.set(item.code);
      set_.push_back(item.code);
    }
  }
  void clear();
  // Target codes are computed in 32 bits; a code outside 0..65535 is never
  // listed.
  bool contains(std::int32_t code) const {
    return code >= 0 && code <= 0xFFFF && bits_.test(static_cast<std::size_t>(code));
  }

 private:
  std::bitset<0x10000> bits_;
  std::vector<std::uint16_t> set_;  // the codes set, at most one per item
};

// The categories present anywhere in the alarm list.
class CategorySet {
 public:
  void fill(std::span<const alarm_item> items) {
    bits_.reset();
    for (const alarm_item& item : items) bits_.set(item.category);
  }
  bool contains(std::uint8_t category) const { return bits_.test(category); }

 private:
  std::bitset<0x100> bits_;
};

// Appends to a text: literals as they stand, integers in plain decimal.
class TextBuilder {
 public:
  explicit TextBuilder(std::string& out) : out_(out) { out_.clear(); }
  TextBuilder& add(std::string_view text) {
    out_.append(text);
    return *this;
  }
  TextBuilder& add(unsigned number) {
    const fmt::format_int digits(number);
    out_.append(digits.data(), digits.size());
    return *this;
  }
  TextBuilder& add(int number) = delete;  // numbers in texts are never signed

 private:
  std::string& out_;
};

// The texts of one report: key, name and description.
struct RuleTexts {
  std::string key, name, desc;
};

// The texts of a run of reports, in report order.
using TextBlock = std::vector<RuleTexts>;

// The text blocks of a family, one per unit number 0..255: what the texts
// of a unit's reports are depends on its number alone, never on the data.
// Each block is built on first use and never changed afterwards, so all
// devices share it, whichever thread they run on; a block that exists is
// found without a lock.
class SharedTexts {
 public:
  using Build = void (*)(unsigned unit, TextBlock& out);

  explicit SharedTexts(Build build) : build_(build) {}
  SharedTexts(const SharedTexts&) = delete;
  SharedTexts& operator=(const SharedTexts&) = delete;

  // Unit numbers are one byte on the line: 0..255. Larger numbers are a
  // fault of the caller and throw std::out_of_range.
  const TextBlock& get(unsigned unit) {
    if (unit < kUnits) {
      if (const TextBlock* block = blocks_[unit].load(std::memory_order_acquire)) return *block;
    }
    return build(unit);
  }

 private:
  static constexpr std::size_t kUnits = 256;

  const TextBlock& build(unsigned unit);

  Build build_;
  std::mutex mutex_;  // taken only to build a block
  std::array<std::atomic<const TextBlock*>, kUnits> blocks_{};
  std::array<std::unique_ptr<const TextBlock>, kUnits> owned_;
};

// The reporting step: every rule of the default rule set ends here.
//
// Each family hands the texts of a run of reports (use) and then reports
// them one by one, both passes walking the family's one list of rows. That
// they stay in step is still checked at every report, in every build: a
// report without a text is dropped (a wrong text would name another rule),
// texts left without a report are counted, and finish() logs the evaluation
// once if either happened.
class Reporter {
 public:
  Reporter(KRTController& host, unsigned device_id, Counters& counters)
      : host_(host), device_id_(device_id), counters_(counters) {}

  // The texts of the reports that follow, one per report, in order.
  void use(std::span<const RuleTexts> texts) {
    unreported_ += texts_.size();
    texts_ = texts;
  }

  // Takes the next texts and the next number of the rule's counter and
  // reports them with kind 2.
  void report(RuleIds ids, bool active) {
    if (texts_.empty()) {
      ++without_text_;
      return;
    }
    const RuleTexts& t = texts_.front();
    texts_ = texts_.subspan(1);
    host_.CheckThresholdBool(device_id_, 2, t.key, counters_.text(ids.nm_id.slot), t.name, t.desc,
                             active, counters_.next(ids.counter_slot()));
  }

  // Ends the evaluation. Returns false, after logging it, when reports and
  // texts were out of step.
  bool finish() {
    use({});
    if (without_text_ == 0 && unreported_ == 0) return true;
    host_.InfoLog(device_id_,
                  "HVR38QT {} rule set out of step: {} reports without text dropped, {} texts "
                  "without report",
                  device_id_, without_text_, unreported_);
    without_text_ = 0;
    unreported_ = 0;
    return false;
  }

 private:
  KRTController& host_;
  unsigned device_id_;
  Counters& counters_;
  std::span<const RuleTexts> texts_;
  std::size_t without_text_ = 0;
  std::size_t unreported_ = 0;
};

}  // namespace hvr38qt::alarms
