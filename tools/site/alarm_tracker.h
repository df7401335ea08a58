// Alarm state of one device: turns each evaluation's rule reports into the
// raises and clears of alarm instances. The store's active rows are the
// truth at start, so a restart raises nothing twice.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "site_types.h"

namespace krthost::site {

// One rule report of an evaluation, as the device made it.
struct RuleReport {
  int kind = 0;
  std::string key, nm_id, name, desc;
  bool active = false;
  unsigned short seq = 0;
};

class AlarmTracker {
 public:
  AlarmTracker(std::uint32_t device_id, std::string device_name,
               std::vector<AlarmInstance> active_from_store);

  // One evaluation of the rule set: an instance reported active that is not
  // active is raised; an active one reported inactive, or not reported at
  // all, is cleared (the host's own comm-lost alarm excepted). The raises
  // come in report order, then the clears. `kind`, `nm_id`, `seq` and `name`
  // are kept as reported at the raise.
  std::vector<AlarmEvent> Evaluate(const std::vector<RuleReport>& reports, const std::string& now);

  // The comm-lost alarm raised (lost) or cleared (!lost); nothing when it
  // already is so.
  std::optional<AlarmEvent> SetCommLost(bool lost, const std::string& now);

  // Active instances in the order they were raised (shared with the
  // tracker: a list costs a pointer per instance).
  AlarmList Active() const;
  bool CommLost() const;

 private:
  using IdView = std::pair<std::string_view, std::string_view>;  // key, desc
  struct Entry {
    std::shared_ptr<const AlarmInstance> alarm;
    std::uint64_t order = 0;  // raise order
  };
  // Keyed by views of the entry's own instance texts.
  using ActiveMap = std::map<IdView, Entry>;
  void add(std::shared_ptr<const AlarmInstance> a);
  void erase(ActiveMap::iterator it);
  // A copy of an active instance, cleared at `now`.
  static std::shared_ptr<const AlarmInstance> cleared(const AlarmInstance& a, const std::string& now);
  bool same_as_last(const std::vector<RuleReport>& reports) const;

  std::uint32_t device_id_;
  std::string device_name_;
  ActiveMap active_;
  std::uint64_t next_order_ = 0;
  std::vector<IdView> reported_;  // Evaluate's own: the active reports, sorted
  // The active reports of the last evaluation in report order, and the
  // revision of active_ it left: the same reports again, with nothing else
  // changed since, raise and clear nothing, which most polls are.
  std::vector<std::pair<std::string, std::string>> last_reported_;
  std::uint64_t revision_ = 0;  // counts the changes of active_
  std::uint64_t evaluated_revision_ = ~std::uint64_t{0};
  // Active entries under the comm-lost key (one unless a report used the
  // key): asked at every poll, which a search of active_ would cost.
  std::size_t comm_lost_entries_ = 0;
};

}  // namespace krthost::site
