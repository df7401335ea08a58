#include "host_controller.h"

#include "line_tap.h"

namespace krthost {

HostController::HostController(EventWriter& events, std::ostream& log) : events_(events), log_(log) {}

void HostController::SendSP(unsigned, int type, const unsigned char* data, unsigned size, bool) {
  events_.Snapshot(type, data, data != nullptr ? size : 0);
  ++snapshots_this_poll_;
  if (keep_last_snapshot_) last_snapshot_.assign(data, data + (data != nullptr ? size : 0));
}

void HostController::SaveDeviceHistory(unsigned, const unsigned char* data, unsigned size) {
  events_.History(data, data != nullptr ? size : 0);
}

void HostController::CheckThresholdBool(unsigned, int kind, const std::string& key,
                                        const std::string& nm_id, const std::string& name,
                                        const std::string& desc, bool active, unsigned short seq) {
  events_.Report(kind, key, nm_id, name, desc, active, seq);
  if (active) active_.push_back({key, name, desc});
}

void HostController::write(LogLevel level, const std::string& who, std::string_view text) {
  if (level > level_) return;
  std::string repeats;
  if (repeat_window_.count() > 0) {
    const auto now = std::chrono::steady_clock::now();
    auto it = shown_.find(text);
    if (it != shown_.end() && now - it->second.at < repeat_window_) {
      ++it->second.held_back;
      return;
    }
    if (it != shown_.end() && it->second.held_back > 0)
      repeats = " (" + std::to_string(it->second.held_back) + " more times since)";
    // Bounded: many different lines only cost the hold-back of old ones.
    if (it == shown_.end() && shown_.size() >= 256) shown_.clear();
    shown_[std::string(text)] = Shown{now, 0};
  }
  static const char* const kWords[] = {"ERROR", "WARN ", "INFO ", "DEBUG"};
  log_ << Timestamp() << ' ' << kWords[static_cast<int>(level)] << ' ' << who << ": " << text
       << repeats << std::endl;
}

void HostController::Log(unsigned device_id, std::string_view text) {
  events_.Log(text);
  // Devices count an error before they log its line.
  bool protocol_error = false;
  if (watched_ != nullptr && watched_->ProtocolErrorTotal() != errors_seen_) {
    errors_seen_ = watched_->ProtocolErrorTotal();
    protocol_error = true;
  }
  write(protocol_error ? LogLevel::kWarn : LogLevel::kInfo, "device " + std::to_string(device_id), text);
}

void HostController::HostLog(const std::string& text, LogLevel level) {
  events_.Log(text);
  write(level, "krthost", text);
}

void HostController::WatchErrors(const PMBusProtocol* device) {
  watched_ = device;
  errors_seen_ = device != nullptr ? device->ProtocolErrorTotal() : 0;
}

void HostController::BeginPoll() {
  snapshots_this_poll_ = 0;
  timeouts_this_poll_ = 0;
  active_.clear();
}

}  // namespace krthost
