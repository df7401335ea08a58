// Steady-state evaluations of the default rule set allocate nothing: texts
// are built in reused buffers and counters live in a fixed table.
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "alarm_cycle.h"
#include "alarms/default_rules.h"
#include "alarms/evaluate.h"

namespace {
// Counts allocations of the whole test binary while a test asks for it.
bool g_counting = false;
std::size_t g_allocations = 0;
}  // namespace

// Under AddressSanitizer the sanitizer owns new and delete; the count is
// then not taken.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCountingAllocations = false;
#else
constexpr bool kCountingAllocations = true;

void* operator new(std::size_t size) {
  if (g_counting) ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The library's other forms of new and all forms of delete rest on this one
// and on free().
#endif

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
  if (!kCountingAllocations) GTEST_SKIP() << "allocations are not counted under the sanitizer";
  // Mode 1: the cycle runs no rules, the test runs them directly.
  testing_support::DeviceFixture f(alarm_cycle::config("1", 3, 3));
  alarm_cycle::run_cycle(f, {{}, {.alarm_state = 0x01}},
                         {{0, 1, 9}, {2, 12, 52}, {3, 14, 1120 + 256}, {0, 13, 2}, {0, 20, 0}});
  auto workspace = hvr38qt::alarms::make_workspace();
  CountingController host;
  const auto counted_run = [&] {
    g_allocations = 0;
    g_counting = true;
    hvr38qt::alarms::run_default_rule_set(*f.device, *workspace, host);
    g_counting = false;
    return g_allocations;
  };
  // The first evaluation sizes the text buffers.
  EXPECT_GT(counted_run(), 0u);
  const std::size_t first = host.reports;
  ASSERT_GT(first, 0u);
  EXPECT_EQ(counted_run(), 0u);
  EXPECT_EQ(host.reports, 2 * first);
}

}  // namespace
