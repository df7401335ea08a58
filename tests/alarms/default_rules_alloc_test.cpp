// Steady-state evaluations of the default rule set allocate nothing: texts
// are built in reused buffers and counters live in a fixed table.
#include <gtest/gtest.h>

#include "alarm_cycle.h"
#include "alarms/default_rules.h"
#include "alarms/evaluate.h"
#include "alloc_counter.h"

namespace {

// Takes reports without keeping them.
class CountingController : public KRTController {
 public:
  std::size_t reports = 0;
  void CheckThresholdBool(unsigned, int, const std::string&, const std::string&,
                          const std::string&, const std::string&, bool,
                          unsigned short) override {
    ++reports;
  }
};

TEST(DefaultRuleSetAllocation, SecondEvaluationAllocatesNothing) {
  if (!alloc_counter::Enabled()) GTEST_SKIP() << "allocations are not counted under the sanitizer";
  // Mode 1: the cycle runs no rules, the test runs them directly.
  testing_support::DeviceFixture f(alarm_cycle::config("1", 3, 3));
  alarm_cycle::run_cycle(f, {{}, {.alarm_state = 0x01}},
                         {{0, 1, 9}, {2, 12, 52}, {3, 14, 1120 + 256}, {0, 13, 2}, {0, 20, 0}});
  auto workspace = hvr38qt::alarms::make_workspace();
  CountingController host;
  const auto counted_run = [&] {
    const alloc_counter::Window window;
    hvr38qt::alarms::run_default_rule_set(f.device->View(), *workspace, host);
    return window.Allocations();
  };
  // The first evaluation sizes the text buffers.
  EXPECT_GT(counted_run(), 0u);
  const std::size_t first = host.reports;
  ASSERT_GT(first, 0u);
  EXPECT_EQ(counted_run(), 0u);
  EXPECT_EQ(host.reports, 2 * first);
}

}  // namespace
