// The controller side of the reference host: receives what the device
// publishes, writes it to the event stream and keeps what the poll summary
// shows.
#pragma once

#include <chrono>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "event_writer.h"
#include "krt_device.h"
#include "options.h"
#include "pmbus_protocol.h"

namespace krthost {

struct ActiveReport {
  std::string key, name, desc;
};

class HostController : public KRTController {
 public:
  // Log lines go to `log` (standard error in krthost).
  HostController(EventWriter& events, std::ostream& log);

  void SendSP(unsigned device_id, int type, const unsigned char* data, unsigned size,
              bool delayed) override;
  void SaveDeviceHistory(unsigned device_id, const unsigned char* data, unsigned size) override;
  void CheckThresholdBool(unsigned device_id, int kind, const std::string& key,
                          const std::string& nm_id, const std::string& name,
                          const std::string& desc, bool active, unsigned short seq) override;
  // A line of the device: one that comes with a newly counted protocol
  // error of the watched device (a reply or a frame that failed its checks)
  // is logged as a warning, anything else as information.
  void Log(unsigned device_id, std::string_view text) override;
  // The device whose protocol-error count tells which lines are errors.
  void WatchErrors(const PMBusProtocol* device);

  // A line of the host's own, logged like the device's.
  void HostLog(const std::string& text, LogLevel level = LogLevel::kInfo);
  void CountTimeout() { ++timeouts_this_poll_; }

  // The same line again within `window` is not shown; the count of lines
  // held back is shown with the next one shown. Zero (the default): every
  // line is shown. For long-running hosts whose line fails every poll.
  void SetRepeatWindow(std::chrono::seconds window) { repeat_window_ = window; }

  // Lines below this level are not shown (the event stream has them all).
  void SetLogLevel(LogLevel level) { level_ = level; }
  LogLevel Level() const { return level_; }

  // What the summary of one poll shows; cleared at the start of each poll.
  void BeginPoll();
  int SnapshotsThisPoll() const { return snapshots_this_poll_; }
  int TimeoutsThisPoll() const { return timeouts_this_poll_; }
  const std::vector<ActiveReport>& ActiveReports() const { return active_; }
  // The latest snapshot published, kept across polls unless a host that
  // keeps its own copy turned it off.
  const std::vector<unsigned char>& LastSnapshot() const { return last_snapshot_; }
  void KeepLastSnapshot(bool on) { keep_last_snapshot_ = on; }

 private:
  EventWriter& events_;
  std::ostream& log_;
  void write(LogLevel level, const std::string& who, std::string_view text);

  LogLevel level_ = LogLevel::kInfo;
  struct Shown {
    std::chrono::steady_clock::time_point at;
    long held_back = 0;
  };
  std::chrono::seconds repeat_window_{0};
  std::map<std::string, Shown, std::less<>> shown_;
  int snapshots_this_poll_ = 0;
  const PMBusProtocol* watched_ = nullptr;
  std::uint64_t errors_seen_ = 0;
  int timeouts_this_poll_ = 0;
  std::vector<ActiveReport> active_;
  std::vector<unsigned char> last_snapshot_;
  bool keep_last_snapshot_ = true;
};

}  // namespace krthost
