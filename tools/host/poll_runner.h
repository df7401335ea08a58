// One poll of a serial device: RefreshStatus, then the received bytes are
// fed to the device until no request is outstanding. A reply that does not
// come, a half reply followed by silence and a lost line each end the poll;
// none of them ends the program.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "event_writer.h"
#include "host_controller.h"
#include "krt_device.h"
#include "line_tap.h"

namespace krthost {

struct PollTimeouts {
  int first_byte_ms = 2000;  // from a request to the first byte of its reply
  int inter_byte_ms = 200;   // between bytes of a reply
  int reply_limit_ms = 8000; // a whole reply, however it trickles in
};

// The longest a reply may take at `baud`: the first-byte wait, the longest
// frame on the line and one inter-byte gap.
int ReplyLimitMs(int first_byte_ms, int inter_byte_ms, unsigned baud);

enum class PollOutcome {
  kComplete,     // the cycle ended and published a snapshot
  kUnchanged,    // the controller reported no change: nothing to publish
  kFailed,       // the device failed the cycle (protocol error)
  kTimeout,      // a reply did not come in time
  kLineLost,     // the line broke during the poll
  kLineDown,     // the line could not be opened
  kInterrupted,  // the host was asked to stop
  kEnded,        // ended in another way (a device of another kind)
};
const char* OutcomeName(PollOutcome outcome);

struct PollResult {
  PollOutcome outcome = PollOutcome::kEnded;
  long duration_ms = 0;
  int state = -1;        // the device's poll state afterwards (-1: unknown)
  int data_ready = 0;
  int timeout_cid2 = -1; // the request that got no reply
  std::string error;     // the line's error for kLineLost and kLineDown
  int protocol_errors = 0;  // protocol errors the device counted in the poll
  std::string_view last_error;  // the kind of the last of them
  int timeouts = 0;         // replies that did not come in time
};

struct QueryResult {
  std::string name;
  bool ok = false;
  float value = 0.0f;
  std::string error;
};

// Data older than this is refused by the value query: the summary marks it.
inline constexpr long kStaleAfterSeconds = 60;

// The age of the device's data at `now`: "no data yet", "data age N s", or
// "data age N s STALE" once the last completed cycle is more than 60 s old.
std::string DataAgeText(const KRTVDevice& device, const ptime& now);

class PollRunner {
 public:
  PollRunner(KRTSPDevice& device, LineTap& line, HostController& controller,
             EventWriter& events, PollTimeouts timeouts);

  // Runs one poll and writes its closing poll event. `stop` ends it early.
  PollResult Poll(long index, const std::atomic<bool>* stop = nullptr);
  // One Get_Value per name, in order, each written as a value event.
  std::vector<QueryResult> Query(const std::vector<std::string>& names);

  const PollTimeouts& Timeouts() const { return timeouts_; }

 private:
  PollOutcome run(long index, PollResult& result, const std::atomic<bool>* stop);

  KRTSPDevice& device_;
  LineTap& line_;
  HostController& controller_;
  EventWriter& events_;
  PollTimeouts timeouts_;
};

}  // namespace krthost
