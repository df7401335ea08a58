#include "alarms/frame.h"

namespace hvr38qt::alarms {

namespace {
// Room for every item of a full alarm list (the count is one byte).
constexpr std::size_t kMaxListedCodes = 256;
}  // namespace

Counters::Counters() {
  for (std::size_t i = 0; i < kNmIds.size(); ++i) texts_[i].assign(kNmIds[i]);
}

CodeSet::CodeSet() { set_.reserve(kMaxListedCodes); }

void CodeSet::clear() {
  for (const std::uint16_t code : set_) bits_.reset(code);
  set_.clear();
}

void Reporter::report(RuleIds ids, bool active) {
  const unsigned short seq = counters_.next(ids.counter_slot());
  host_.CheckThresholdBool(device_id_, 2, texts_.key, counters_.text(ids.nm_id.slot),
                           texts_.name, texts_.desc, active, seq);
}

}  // namespace hvr38qt::alarms
