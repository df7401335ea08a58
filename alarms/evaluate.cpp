#include "alarms/evaluate.h"

#include "alarms/default_rules.h"
#include "alarms/mobile_rules.h"
#include "alarms/workspace.h"

namespace hvr38qt::alarms {

void WorkspaceDeleter::operator()(Workspace* w) const { delete w; }

std::unique_ptr<Workspace, WorkspaceDeleter> make_workspace() {
  return std::unique_ptr<Workspace, WorkspaceDeleter>(new Workspace{});
}

void evaluate(const DeviceView& view, KRTController* host, Workspace& workspace) {
  const int mode = view.mode;
  if (mode == 1 || mode == 3) return;
  if (mode == 2) {
    // The lookups and trace lines do not depend on the host; the reports do.
    run_mobile_rule_set(view, host, workspace);
  } else if (host != nullptr) {
    run_default_rule_set(view, workspace, *host);
  }
}

namespace {

class DeviceRuleSet final : public RuleSet {
 public:
  void evaluate(const DeviceView& view, KRTController* host) override {
    alarms::evaluate(view, host, workspace_);
  }

 private:
  Workspace workspace_;
};

}  // namespace

std::unique_ptr<RuleSet> make_rule_set() { return std::make_unique<DeviceRuleSet>(); }

}  // namespace hvr38qt::alarms
