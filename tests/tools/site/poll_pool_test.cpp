// The poll pool: steps at their times and never two of a job at once, a
// blocked job not holding up the others, a stop brought forward, a job that
// throws ending alone.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "poll_pool.h"

namespace {

using namespace krthost::site;
using namespace std::chrono_literals;
using Clock = PollJob::Clock;

// A job of `steps` steps `every` apart; each step sleeps `hold` (a line
// that does not answer) and records when it ran.
class TestJob : public PollJob {
 public:
  TestJob(int steps, Clock::duration every, Clock::duration hold = 0ms) : steps_(steps), every_(every), hold_(hold) {}
  std::optional<Clock::time_point> Step() override {
    if (running_.exchange(true)) overlapped_ = true;
    const auto now = Clock::now();
    ran_.push_back(now);
    ++count_;
    if (throws_ && ran_.size() == 2) {
      running_ = false;
      throw std::runtime_error("step failed");
    }
    std::this_thread::sleep_for(hold_);
    running_ = false;
    if (stop_ || static_cast<int>(ran_.size()) >= steps_) return std::nullopt;
    return now + every_;
  }
  std::vector<Clock::time_point> ran_;
  std::atomic<int> count_{0};
  std::atomic<bool> stop_{false}, running_{false}, overlapped_{false};
  bool throws_ = false;

 private:
  int steps_;
  Clock::duration every_, hold_;
};

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

TEST(PollPool, StepsAtTheirTimesWhileOthersBlock) {
  PollPool pool({.min_threads = 2, .max_threads = 64, .late = 20ms, .idle_exit = 60s});
  // Eight lines that hold their thread 300 ms every step, and eight that
  // answer at once: the quick ones keep their 50 ms.
  std::vector<std::unique_ptr<TestJob>> slow, quick;
  for (int i = 0; i < 8; ++i) slow.push_back(std::make_unique<TestJob>(3, 10ms, 300ms));
  for (int i = 0; i < 8; ++i) quick.push_back(std::make_unique<TestJob>(20, 50ms));
  for (auto& j : slow) pool.Add(*j);
  for (auto& j : quick) pool.Add(*j);
  for (auto& j : slow) pool.Wait(*j);
  for (auto& j : quick) pool.Wait(*j);
  for (auto& j : quick) {
    ASSERT_EQ(j->ran_.size(), 20u);
    EXPECT_FALSE(j->overlapped_);
    for (std::size_t i = 1; i < j->ran_.size(); ++i) {
      const double gap = ms(j->ran_[i] - j->ran_[i - 1]);
      EXPECT_GE(gap, 49.9) << "step " << i;
      EXPECT_LE(gap, 50.0 + 60.0) << "step " << i;  // late + the supervisor's tick + scheduling
    }
  }
  for (auto& j : slow) EXPECT_EQ(j->ran_.size(), 3u);
  const PollPoolStats stats = pool.Stats();
  EXPECT_GE(stats.peak_threads, 9u);  // one per blocked line, one at least for the rest
  EXPECT_EQ(stats.jobs, 0u);
}

TEST(PollPool, WakeBringsTheNextStepForwardAndAThrowEndsOnlyItsJob) {
  PollPool pool;
  TestJob waiting(100, 1h), failing(5, 1ms), other(5, 1ms);
  failing.throws_ = true;
  pool.Add(waiting);
  pool.Add(failing);
  pool.Add(other);
  pool.Wait(failing);
  pool.Wait(other);
  EXPECT_EQ(failing.ran_.size(), 2u);
  EXPECT_EQ(other.ran_.size(), 5u);
  while (waiting.count_ == 0) std::this_thread::sleep_for(1ms);
  const auto asked = Clock::now();
  waiting.stop_ = true;
  pool.Wake(waiting);
  pool.Wait(waiting);
  EXPECT_EQ(waiting.ran_.size(), 2u);
  EXPECT_LT(ms(Clock::now() - asked), 1000.0);
  pool.Wake(waiting);  // a done job: nothing
}

}  // namespace
