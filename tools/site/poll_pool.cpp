#include "poll_pool.h"

#include <algorithm>
#include <string>
#include <system_error>

#include <time.h>

#include "site_types.h"

namespace krthost::site {

PollPool::PollPool(PollPoolLimits limits) : limits_(limits) {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < std::max<std::size_t>(limits_.min_threads, 1); ++i) start_thread_locked();
  supervisor_ = std::thread([this] { supervise(); });
}

PollPool::~PollPool() {
  std::map<std::uint64_t, std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    leader_cv_.notify_all();
    for (auto* f : followers_) f->cv.notify_one();
    supervisor_cv_.notify_all();
  }
  supervisor_.join();
  {
    std::lock_guard lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& [id, t] : threads) t.join();
}

void PollPool::Add(PollJob& job) {
  std::lock_guard lock(mutex_);
  job.queued_ = job.running_ = job.done_ = job.woken_ = false;
  ++jobs_;
  queue_locked(job, Clock::now());
  supervisor_cv_.notify_one();
}

void PollPool::Wake(PollJob& job) {
  std::lock_guard lock(mutex_);
  if (job.done_) return;
  if (job.running_) {
    job.woken_ = true;
  } else if (job.queued_) {
    job.node_ = queue_.extract(job.slot_);
    queue_locked(job, Clock::now());
  }
}

void PollPool::Wait(PollJob& job) {
  std::unique_lock lock(mutex_);
  done_cv_.wait(lock, [&job] { return job.done_; });
}

PollPoolStats PollPool::Stats() const {
  std::lock_guard lock(mutex_);
  return {live_locked(), peak_threads_, jobs_, next_thread_};
}

void PollPool::queue_locked(PollJob& job, Clock::time_point due, bool wake_follower) {
  job.due_ = due;
  if (job.node_) {
    job.node_.key() = due;
    job.slot_ = queue_.insert(std::move(job.node_));
  } else {
    job.slot_ = queue_.emplace(due, &job);
  }
  job.queued_ = true;
  if (leader_) {
    if (due + job.slack_ < leader_until_) leader_cv_.notify_one();
  } else if (wake_follower) {
    wake_follower_locked();
  }
}

void PollPool::wake_follower_locked() {
  if (followers_.empty()) return;
  Follower* f = followers_.back();
  followers_.pop_back();
  f->woken = true;
  f->cv.notify_one();
}

void PollPool::start_thread_locked() {
  const std::uint64_t id = next_thread_;
  try {
    threads_.emplace(id, std::thread([this, id] {
      NameThisThread("poll " + std::to_string(id));
      work();
      std::lock_guard lock(mutex_);
      ended_.push_back(id);
      supervisor_cv_.notify_one();
    }));
  } catch (const std::system_error&) {
    return;  // no thread to be had now: the supervisor tries again
  }
  ++next_thread_;
  peak_threads_ = std::max(peak_threads_, live_locked());
}

void PollPool::work() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (!queue_.empty() && queue_.begin()->first <= Clock::now()) {
      PollJob& job = *queue_.begin()->second;
      job.node_ = queue_.extract(queue_.begin());
      job.queued_ = false;
      job.running_ = true;
      // A job whose last step held its thread will likely hold it again:
      // another thread waits for the next due step meanwhile. A quick
      // step is back before anyone would be needed (and the supervisor
      // is there when it is not).
      if (job.slow_ && !leader_ && !queue_.empty()) wake_follower_locked();
      lock.unlock();
      const auto started = Clock::now();
      std::optional<Clock::time_point> next;
      try {
        next = job.Step();
      } catch (...) {
        next.reset();
      }
      const bool slow = Clock::now() - started > limits_.slow;
      lock.lock();
      job.running_ = false;
      job.slow_ = slow;
      if (next) {
        // This thread looks at the queue next: no follower to wake.
        queue_locked(job, job.woken_ ? Clock::now() : *next, false);
      } else {
        job.done_ = true;
        --jobs_;
        done_cv_.notify_all();
      }
      job.woken_ = false;
      continue;
    }
    if (!leader_) {
      leader_ = true;
      if (queue_.empty()) {
        leader_until_ = Clock::time_point::max();
        leader_cv_.wait(lock);
      } else {
        const auto& [due, job] = *queue_.begin();
        leader_until_ = due + job->slack_;
        leader_cv_.wait_until(lock, leader_until_);
      }
      leader_ = false;
      continue;
    }
    Follower me;
    followers_.push_back(&me);
    me.cv.wait_for(lock, limits_.idle_exit, [&] { return me.woken || stopping_; });
    if (!me.woken) {
      followers_.erase(std::find(followers_.begin(), followers_.end(), &me));
      if (!stopping_ && live_locked() > limits_.min_threads) return;
    }
  }
}

namespace {

double process_cpu_s() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

// Looks while there are jobs, every half of `late` at most often. A step
// overdue by more than `late` past its slack means the threads that would
// take it are held up: an idle one is woken; with none idle, a thread is
// started when the process used less than nine tenths of the machine
// meanwhile (the busy ones wait for lines), not otherwise (they work, and
// more threads would not make it faster). Also joins the threads that
// ended.
void PollPool::supervise() {
  NameThisThread("poll supervisor");
  const double cores = std::max(1U, std::thread::hardware_concurrency());
  std::unique_lock lock(mutex_);
  double cpu_before = process_cpu_s();
  auto before = Clock::now();
  while (!stopping_) {
    std::vector<std::thread> ended;
    for (auto id : ended_) {
      if (auto it = threads_.find(id); it != threads_.end()) {
        ended.push_back(std::move(it->second));
        threads_.erase(it);
      }
    }
    ended_.clear();
    if (!ended.empty()) {
      lock.unlock();
      for (auto& t : ended) t.join();
      lock.lock();
      continue;
    }
    if (jobs_ == 0) {
      supervisor_cv_.wait(lock);
      cpu_before = process_cpu_s();
      before = Clock::now();
      continue;
    }
    const auto now = Clock::now();
    const double cpu = process_cpu_s();
    const double spent = std::chrono::duration<double>(now - before).count();
    const bool saturated = cpu - cpu_before >= 0.9 * cores * spent;
    cpu_before = cpu;
    before = now;
    if (!queue_.empty() && !leader_) {
      const auto& [due, job] = *queue_.begin();
      if (due + job->slack_ + limits_.late <= now) {
        if (!followers_.empty()) {
          wake_follower_locked();
        } else if (!saturated && live_locked() < limits_.max_threads) {
          start_thread_locked();
        }
      }
    }
    // Next look: when the earliest step would be overdue, every half of
    // `late` at most often (and while every job runs, every half of it).
    auto next = now + limits_.late / 2;
    if (!queue_.empty()) {
      const auto& [due, job] = *queue_.begin();
      next = std::max(next, due + job->slack_ + limits_.late);
    }
    supervisor_cv_.wait_until(lock, next);
  }
}

}  // namespace krthost::site
