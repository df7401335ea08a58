#include "alarm_tracker.h"

#include <algorithm>

namespace krthost::site {

AlarmTracker::AlarmTracker(std::uint32_t device_id, std::string device_name,
                           std::vector<AlarmInstance> active_from_store)
    : device_id_(device_id), device_name_(std::move(device_name)) {
  // The store hands its active rows in raise order; a duplicate row of the
  // same identity (two processes, a hand-edited file) keeps the first.
  for (AlarmInstance& a : active_from_store) {
    if (active_.count(IdView{a.key, a.desc})) continue;
    a.device_id = device_id_;
    a.cleared_at.clear();
    add(std::make_shared<const AlarmInstance>(std::move(a)));
  }
}

void AlarmTracker::add(std::shared_ptr<const AlarmInstance> a) {
  // The key views the instance's own texts: it lives as long as the entry.
  const IdView id{a->key, a->desc};
  if (active_.emplace(id, Entry{std::move(a), next_order_++}).second && id.first == kCommLostKey)
    ++comm_lost_entries_;
  ++revision_;
}

std::shared_ptr<const AlarmInstance> AlarmTracker::cleared(const AlarmInstance& a, const std::string& now) {
  auto out = std::make_shared<AlarmInstance>(a);
  out->cleared_at = now;
  return out;
}

void AlarmTracker::erase(ActiveMap::iterator it) {
  if (it->first.first == kCommLostKey) --comm_lost_entries_;
  active_.erase(it);
  ++revision_;
}

bool AlarmTracker::same_as_last(const std::vector<RuleReport>& reports) const {
  if (revision_ != evaluated_revision_) return false;
  std::size_t i = 0;
  for (const RuleReport& r : reports) {
    if (!r.active) continue;
    if (i == last_reported_.size() || last_reported_[i].first != r.key || last_reported_[i].second != r.desc)
      return false;
    ++i;
  }
  return i == last_reported_.size();
}

std::vector<AlarmEvent> AlarmTracker::Evaluate(const std::vector<RuleReport>& reports,
                                               const std::string& now) {
  std::vector<AlarmEvent> events;
  if (same_as_last(reports)) return events;
  events.reserve(active_.size() + 4);
  // Views of the reports' texts, sorted: kept from evaluation to evaluation
  // so that one costs no allocation when nothing changes.
  reported_.clear();
  for (const RuleReport& r : reports)
    if (r.active) reported_.emplace_back(r.key, r.desc);
  std::sort(reported_.begin(), reported_.end());
  for (const RuleReport& r : reports) {
    if (!r.active) continue;
    // Active, or raised by an earlier report of this evaluation.
    if (active_.count(IdView{r.key, r.desc})) continue;
    auto a = std::make_shared<const AlarmInstance>(AlarmInstance{
        device_id_, r.key, r.nm_id, static_cast<int>(r.seq), r.kind, r.name, r.desc, now, ""});
    events.push_back({true, device_name_, a, now});
    add(std::move(a));
  }
  // Clears in raise order: every active instance this evaluation did not
  // report active, except the comm-lost alarm that only SetCommLost moves.
  std::vector<std::pair<std::uint64_t, ActiveMap::iterator>> gone;
  for (auto it = active_.begin(); it != active_.end(); ++it) {
    if (it->first.first == kCommLostKey) continue;
    if (std::binary_search(reported_.begin(), reported_.end(), it->first)) continue;
    gone.emplace_back(it->second.order, it);
  }
  std::sort(gone.begin(), gone.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  for (const auto& [order, it] : gone) {
    events.push_back({false, device_name_, cleared(*it->second.alarm, now), now});
    erase(it);
  }
  std::size_t n = 0;
  for (const RuleReport& r : reports) {
    if (!r.active) continue;
    if (n == last_reported_.size()) last_reported_.emplace_back();
    last_reported_[n].first.assign(r.key);
    last_reported_[n].second.assign(r.desc);
    ++n;
  }
  last_reported_.resize(n);
  evaluated_revision_ = revision_;
  return events;
}

std::optional<AlarmEvent> AlarmTracker::SetCommLost(bool lost, const std::string& now) {
  if (lost == CommLost()) return std::nullopt;
  if (!lost) {
    // Found by key alone: a row restored from the store may carry the desc
    // of an earlier device name.
    auto it = std::find_if(active_.begin(), active_.end(),
                           [](const auto& e) { return e.first.first == kCommLostKey; });
    AlarmEvent e{false, device_name_, cleared(*it->second.alarm, now), now};
    erase(it);
    return e;
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
  auto shared = std::make_shared<const AlarmInstance>(std::move(a));
  add(shared);
  return AlarmEvent{true, device_name_, std::move(shared), now};
}

AlarmList AlarmTracker::Active() const {
  std::vector<const Entry*> sorted;
  sorted.reserve(active_.size());
  for (const auto& [id, e] : active_) sorted.push_back(&e);
  std::sort(sorted.begin(), sorted.end(), [](const Entry* x, const Entry* y) { return x->order < y->order; });
  AlarmList::Slots out;
  out.reserve(sorted.size());
  for (const Entry* e : sorted) out.push_back(e->alarm);
  return out;
}

bool AlarmTracker::CommLost() const { return comm_lost_entries_ > 0; }

}  // namespace krthost::site
