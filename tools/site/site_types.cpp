#include "site_types.h"

#include <ctime>

#include <fmt/format.h>

namespace krthost::site {

std::string IsoLocal(SysClock::time_point t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  long frac = static_cast<long>(ms % 1000);
  if (frac < 0) {
    frac += 1000;
    --secs;
  }
  std::tm tm{};
  localtime_r(&secs, &tm);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}", tm.tm_year + 1900, tm.tm_mon + 1,
                     tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, frac);
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
  std::lock_guard lock(mutex_);
  devices_[status->id] = std::move(status);
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
