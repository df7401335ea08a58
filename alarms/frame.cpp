#include "alarms/frame.h"

#include <stdexcept>

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

const TextBlock& SharedTexts::build(unsigned unit) {
  if (unit >= kUnits) throw std::out_of_range("report texts asked for unit " + std::to_string(unit));
  const std::lock_guard lock(mutex_);
  // Another thread may have built it while this one waited.
  if (const TextBlock* block = blocks_[unit].load(std::memory_order_acquire)) return *block;
  auto block = std::make_unique<TextBlock>();
  build_(unit, *block);
  const TextBlock* built = block.get();
  owned_[unit] = std::move(block);
  blocks_[unit].store(built, std::memory_order_release);
  return *built;
}

}  // namespace hvr38qt::alarms
