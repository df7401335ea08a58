#include "site_types.h"

#include <pthread.h>

#include <atomic>
#include <ctime>

#include <fmt/format.h>

namespace krthost::site {

void NameThisThread(std::string_view name) {
  char buf[16] = {};
  name.copy(buf, sizeof buf - 1);
  pthread_setname_np(pthread_self(), buf);
}

PollRecord& RecentPolls::Next() {
  if (!block_ || used_ == kRecentPolls) {
    // The newest block is full: it becomes the one before, and the one
    // before that is filled again when no copy holds it any more. A count
    // of one means that no record holds the block, so no other thread can
    // reach it to copy it; the fence orders the last reader's reads (before
    // its release of the block) before the writes to come.
    std::shared_ptr<Block> spare = std::move(older_block_);
    older_block_ = std::move(block_);
    if (spare && spare.use_count() == 1) {
      std::atomic_thread_fence(std::memory_order_acquire);
      block_ = std::move(spare);
    } else {
      block_ = std::make_shared<Block>();
    }
    used_ = 0;
  }
  return block_->slots[used_++];
}

std::string IsoLocal(SysClock::time_point t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  long frac = static_cast<long>(ms % 1000);
  if (frac < 0) {
    frac += 1000;
    --secs;
  }
  // localtime_r takes a process-wide lock and a poll thread formats
  // several times a poll: each thread keeps the text of its last second.
  thread_local bool cached = false;
  thread_local std::time_t cached_secs = 0;
  thread_local std::string cached_text;
  if (!cached || secs != cached_secs) {
    std::tm tm{};
    localtime_r(&secs, &tm);
    cached_text = fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                              tm.tm_hour, tm.tm_min, tm.tm_sec);
    cached_secs = secs;
    cached = true;
  }
  std::string out;
  out.reserve(cached_text.size() + 4);
  out += cached_text;
  out += '.';
  out += static_cast<char>('0' + frac / 100);
  out += static_cast<char>('0' + frac / 10 % 10);
  out += static_cast<char>('0' + frac % 10);
  return out;
}

double DataAgeSeconds(const DeviceStatus& status, SysClock::time_point now) {
  if (status.last_complete_unix <= 0) return -1;
  const double now_s =
      std::chrono::duration<double>(now.time_since_epoch()).count();
  const double age = now_s - status.last_complete_unix;
  return age < 0 ? 0 : age;
}

void StatusBoard::Publish(std::shared_ptr<const DeviceStatus> status) {
  if (!status) return;
  const auto id = status->id;
  {
    std::lock_guard lock(mutex_);
    devices_[id].swap(status);
  }
  // `status` holds the previous record now: when it was the last holder,
  // the record is freed here, not while every other device waits for the lock.
}

void StatusBoard::Remove(std::uint32_t id) {
  std::lock_guard lock(mutex_);
  devices_.erase(id);
}

std::vector<std::shared_ptr<const DeviceStatus>> StatusBoard::All() const {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<const DeviceStatus>> out;
  out.reserve(devices_.size());
  for (const auto& [id, s] : devices_) out.push_back(s);
  return out;
}

std::shared_ptr<const DeviceStatus> StatusBoard::Find(std::string_view name) const {
  std::lock_guard lock(mutex_);
  for (const auto& [id, s] : devices_)
    if (s->name == name) return s;
  return nullptr;
}

}  // namespace krthost::site
