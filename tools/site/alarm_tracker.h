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
  using Id = std::pair<std::string, std::string>;  // key, desc
  using IdView = std::pair<std::string_view, std::string_view>;
  // Orders ids and views of ids alike, so that a report is looked up
  // without copying its texts.
  struct IdLess {
    using is_transparent = void;
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
      return IdView(a.first, a.second) < IdView(b.first, b.second);
    }
  };
  std::uint32_t device_id_;
  std::string device_name_;
  std::map<Id, std::shared_ptr<const AlarmInstance>, IdLess> active_;
  std::map<Id, std::uint64_t, IdLess> order_;  // raise order
  std::uint64_t next_order_ = 0;
  std::vector<IdView> reported_;  // Evaluate's own: the active reports, sorted
};

}  // namespace krthost::site
