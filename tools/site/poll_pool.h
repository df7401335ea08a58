// The threads that run the site's devices. A device is a job whose steps
// (its start, then one poll each) run at the times it asks for, on any of
// the pool's threads, never two of its steps at once. A few threads carry
// a site whose lines answer at once; a step that blocks (a line that does
// not answer until its timeout, a connect that hangs) holds its thread,
// and another thread takes over the queue: at once when the job's last
// step blocked too, else when the supervisor finds a step overdue, which
// also starts a thread when none is idle. So one silent line never delays
// the others for more than a moment. Threads idle for a while end, down to
// the minimum.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace krthost::site {

class PollJob {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~PollJob() = default;
  // Runs one step: returns when the next one is due, or nothing when the
  // job is done. An exception also ends the job.
  virtual std::optional<Clock::time_point> Step() = 0;

 protected:
  // When the running step was due.
  Clock::time_point Due() const { return due_; }
  // How late a step may start: a thread woken for one step takes the
  // others due by then, one wake-up for several steps.
  void SetSlack(Clock::duration slack) { slack_ = slack; }

 private:
  friend class PollPool;
  using Queue = std::multimap<Clock::time_point, PollJob*>;
  Queue::iterator slot_;
  // The queue's entry of this job while a step runs, put back for the next:
  // a step costs the queue no allocation.
  Queue::node_type node_;
  Clock::time_point due_{};
  Clock::duration slack_{};
  bool queued_ = false, running_ = false, done_ = false, woken_ = false;
  bool slow_ = false;  // its last step held its thread (a line's wait)
};

struct PollPoolLimits {
  std::size_t min_threads = 2;
  std::size_t max_threads = 4096;
  // A step overdue this long (past its slack) wakes an idle thread, or
  // starts one when none is idle; the supervisor looks every half of it.
  std::chrono::milliseconds late{20};
  // A step taking longer holds its thread: the job's next step hands the
  // queue to another thread when it starts.
  std::chrono::milliseconds slow{2};
  std::chrono::seconds idle_exit{60};
};

struct PollPoolStats {
  std::size_t threads = 0, peak_threads = 0, jobs = 0;
  std::uint64_t threads_started = 0;
};

class PollPool {
 public:
  using Clock = PollJob::Clock;
  explicit PollPool(PollPoolLimits limits = {});
  // Ends the threads; every job added must be done (see Wait).
  ~PollPool();
  PollPool(const PollPool&) = delete;
  PollPool& operator=(const PollPool&) = delete;

  // The job's first step is due at once. The job must stay alive until
  // Wait has returned for it.
  void Add(PollJob& job);
  // Brings the job's next step forward to now (or, while a step runs, the
  // one after it).
  void Wake(PollJob& job);
  // Until the job is done.
  void Wait(PollJob& job);
  PollPoolStats Stats() const;

 private:
  void work();
  void supervise();
  void queue_locked(PollJob& job, Clock::time_point due, bool wake_follower = true);
  void start_thread_locked();
  void wake_follower_locked();
  // Threads started and not ended yet.
  std::size_t live_locked() const { return threads_.size() - ended_.size(); }

  const PollPoolLimits limits_;
  mutable std::mutex mutex_;
  // One idle thread (the leader) waits for the earliest due step; the
  // others (followers) wait without a deadline until the leader hands
  // over, so that a pool grown for blocked lines does not wake all at
  // every due step. The follower idle the shortest time is woken first:
  // the threads a site does not need stay idle long enough to end.
  struct Follower {
    std::condition_variable cv;
    bool woken = false;
  };
  std::condition_variable leader_cv_, done_cv_, supervisor_cv_;
  std::vector<Follower*> followers_;  // the most recent last
  PollJob::Queue queue_;
  bool leader_ = false;
  Clock::time_point leader_until_{};
  std::size_t jobs_ = 0;
  bool stopping_ = false;
  std::map<std::uint64_t, std::thread> threads_;
  std::vector<std::uint64_t> ended_;  // threads that left and are to be joined
  std::uint64_t next_thread_ = 0;
  std::size_t peak_threads_ = 0;
  std::thread supervisor_;
};

}  // namespace krthost::site
