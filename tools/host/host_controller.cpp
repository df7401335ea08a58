#include "host_controller.h"

#include "line_tap.h"

namespace krthost {

HostController::HostController(EventWriter& events, std::ostream& log) : events_(events), log_(log) {}

void HostController::SendSP(unsigned, int type, const unsigned char* data, unsigned size, bool) {
  events_.Snapshot(type, data, data != nullptr ? size : 0);
  ++snapshots_this_poll_;
  last_snapshot_.assign(data, data + (data != nullptr ? size : 0));
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

void HostController::Log(unsigned device_id, std::string_view text) {
  events_.Log(text);
  log_ << Timestamp() << " device " << device_id << ": " << text << std::endl;
}

void HostController::HostLog(const std::string& text) {
  events_.Log(text);
  log_ << Timestamp() << " krthost: " << text << std::endl;
}

void HostController::BeginPoll() {
  snapshots_this_poll_ = 0;
  active_.clear();
}

}  // namespace krthost
