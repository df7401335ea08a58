// The controller side of the reference host: receives what the device
// publishes, writes it to the event stream and keeps what the poll summary
// shows.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "event_writer.h"
#include "krt_device.h"

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
  void Log(unsigned device_id, std::string_view text) override;

  // A line of the host's own, logged like the device's.
  void HostLog(const std::string& text);

  // What the summary of one poll shows; cleared at the start of each poll.
  void BeginPoll();
  int SnapshotsThisPoll() const { return snapshots_this_poll_; }
  const std::vector<ActiveReport>& ActiveReports() const { return active_; }
  // The latest snapshot published, kept across polls.
  const std::vector<unsigned char>& LastSnapshot() const { return last_snapshot_; }

 private:
  EventWriter& events_;
  std::ostream& log_;
  int snapshots_this_poll_ = 0;
  std::vector<ActiveReport> active_;
  std::vector<unsigned char> last_snapshot_;
};

}  // namespace krthost
