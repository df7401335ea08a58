#include "alarm_tracker.h"

#include <algorithm>

namespace krthost::site {

AlarmTracker::AlarmTracker(std::uint32_t device_id, std::string device_name,
                           std::vector<AlarmInstance> active_from_store)
    : device_id_(device_id), device_name_(std::move(device_name)) {
  // The store hands its active rows in raise order; a duplicate row of the
  // same identity (two processes, a hand-edited file) keeps the first.
  for (AlarmInstance& a : active_from_store) {
    Id id{a.key, a.desc};
    if (active_.count(id)) continue;
    a.device_id = device_id_;
    a.cleared_at.clear();
    order_[id] = next_order_++;
    active_.emplace(std::move(id), std::make_shared<const AlarmInstance>(std::move(a)));
  }
}

std::vector<AlarmEvent> AlarmTracker::Evaluate(const std::vector<RuleReport>& reports,
                                               const std::string& now) {
  std::vector<AlarmEvent> events;
  // Views of the reports' texts, sorted: kept from evaluation to evaluation
  // so that one costs no allocation when nothing changes.
  reported_.clear();
  for (const RuleReport& r : reports)
    if (r.active) reported_.emplace_back(r.key, r.desc);
  std::sort(reported_.begin(), reported_.end());
  for (const RuleReport& r : reports) {
    if (!r.active) continue;
    const IdView view{r.key, r.desc};
    if (active_.count(view)) continue;  // active, or raised by an earlier report of this evaluation
    Id id{r.key, r.desc};
    auto a = std::make_shared<const AlarmInstance>(AlarmInstance{
        device_id_, r.key, r.nm_id, static_cast<int>(r.seq), r.kind, r.name, r.desc, now, ""});
    order_[id] = next_order_++;
    active_.emplace(std::move(id), a);
    events.push_back({true, device_name_, *a, now});
  }
  // Clears in raise order: every active instance this evaluation did not
  // report active, except the comm-lost alarm that only SetCommLost moves.
  std::vector<std::pair<std::uint64_t, const AlarmInstance*>> gone;
  for (const auto& [id, a] : active_) {
    if (a->key == kCommLostKey) continue;
    if (std::binary_search(reported_.begin(), reported_.end(), IdView{a->key, a->desc})) continue;
    gone.emplace_back(order_.at(id), a.get());
  }
  std::sort(gone.begin(), gone.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  for (const auto& [order, p] : gone) {
    AlarmInstance cleared = *p;
    cleared.cleared_at = now;
    const IdView id{cleared.key, cleared.desc};
    order_.erase(order_.find(id));
    active_.erase(active_.find(id));  // `*p` goes with it
    events.push_back({false, device_name_, std::move(cleared), now});
  }
  return events;
}

std::optional<AlarmEvent> AlarmTracker::SetCommLost(bool lost, const std::string& now) {
  // Found by key alone: a row restored from the store may carry the desc of
  // an earlier device name.
  auto it = std::find_if(active_.begin(), active_.end(),
                         [](const auto& e) { return e.first.first == kCommLostKey; });
  if (lost == (it != active_.end())) return std::nullopt;
  if (!lost) {
    AlarmInstance cleared = *it->second;
    cleared.cleared_at = now;
    order_.erase(it->first);
    active_.erase(it);
    return AlarmEvent{false, device_name_, std::move(cleared), now};
  }
  AlarmInstance a;
  a.device_id = device_id_;
  a.key = std::string(kCommLostKey);
  a.nm_id = "";
  a.seq = 0;
  a.kind = kCommLostKind;
  a.name = std::string(kCommLostName);
  a.desc = device_name_ + " " + std::string(kCommLostName);
  a.raised_at = now;
  Id id{a.key, a.desc};
  order_[id] = next_order_++;
  active_.emplace(std::move(id), std::make_shared<const AlarmInstance>(a));
  return AlarmEvent{true, device_name_, std::move(a), now};
}

AlarmList AlarmTracker::Active() const {
  std::vector<std::pair<std::uint64_t, const std::shared_ptr<const AlarmInstance>*>> sorted;
  sorted.reserve(active_.size());
  for (const auto& [id, a] : active_) sorted.emplace_back(order_.at(id), &a);
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& x, const auto& y) { return x.first < y.first; });
  AlarmList::Slots out;
  out.reserve(sorted.size());
  for (const auto& [order, a] : sorted) out.push_back(*a);
  return out;
}

bool AlarmTracker::CommLost() const {
  return std::any_of(active_.begin(), active_.end(),
                     [](const auto& e) { return e.first.first == kCommLostKey; });
}

}  // namespace krthost::site
