// Frame protocol layer of the controller line: encodes requests, takes the
// received byte stream, checks every frame and hands each good reply to the
// device's process_payload.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "frame_codec.h"
#include "krt_device.h"

// How the last poll cycle ended, as the device's cycle set it. The poll
// state numbers stay the device's own; hosts read this instead.
enum class CycleEnd {
  kRunning,    // a cycle has started and has not ended yet (or none ran)
  kPublished,  // the cycle ended and published its snapshot
  kUnchanged,  // the controller reported no change: nothing to publish
  kFailed,     // the device failed the cycle on a reply
};
const char* CycleEndName(CycleEnd end);

// One kind of protocol error, as a code with a stable name for counting
// (metrics labels, logs). The frame layer's rejected frames have codes
// 1..kFrameErrorCodes; a device numbers its own kinds from kDeviceErrorBase.
struct ProtocolErrorKind {
  int code = 0;
  std::string_view name;
};
inline constexpr int kFrameErrorCodes = 7;
inline constexpr int kDeviceErrorBase = 100;

class PMBusProtocol : public KRTSPDevice {
 public:
  PMBusProtocol();
  ~PMBusProtocol() override;

  // Reads the protocol keys of appSetting: "address" (controller address,
  // 0-255, default 1) and "reply_timeout_ms" (default 2000).
  int InitSetting(const Json::Value& config) override;
  void Reset() override;

  int write_pmbus_cmd(unsigned char cid1, unsigned char cid2);
  int write_pmbus_cmd(unsigned char cid1, unsigned char cid2, const unsigned char* data, int len);

  // Takes received bytes in any chunking.
  void process(unsigned char* data, unsigned int len) override;
  bool IsProcessing() const override;
  bool IsStalled() const override;
  // Called once per decoded reply; returns 1 while the cycle goes on, 0 when
  // it has ended or failed.
  virtual int process_payload() = 0;
  // Called once per frame that failed its checks.
  virtual void process_error();

  int State() const { return state_; }
  unsigned char Address() const { return address_; }
  int ReplyTimeoutMs() const { return reply_timeout_ms_; }
  const frame::Frame& CurrentReply() const { return reply_; }
  // The last request sent, as its line characters (SOI to EOI).
  const std::string& LastRequest() const { return last_request_; }
  // The command of the outstanding request (0 when none was sent yet).
  unsigned char PendingCommand() const { return pending_cid2_; }
  // The reason of the last rejected frame.
  frame::Error LastFrameError() const { return last_error_; }

  // How the last cycle ended; kRunning from RefreshStatus to its end.
  CycleEnd LastCycleEnd() const { return cycle_end_; }
  // Protocol errors noted so far: the last kind, the total and a count per
  // kind (in the order the kinds first occurred). Never reset: a host takes
  // differences between polls.
  ProtocolErrorKind LastProtocolError() const { return last_protocol_error_; }
  std::uint64_t ProtocolErrorTotal() const { return protocol_error_total_; }
  const std::vector<std::pair<ProtocolErrorKind, std::uint64_t>>& ProtocolErrorCounts() const {
    return protocol_error_counts_;
  }

 protected:
  int state_ = 0;
  std::uint8_t protocol_version_ = 0x20;
  std::uint8_t protocol_option_ = 0;
  // The reply being handled: [VER, ADR, CID1, RTN, len lo, len hi, info...].
  const std::vector<std::uint8_t>& reply() const { return reply_.bytes; }
  // Drops a half-received frame, so that a new poll starts on a clean line.
  void discard_partial_frame() { decoder_.reset(); }
  // The cycle's endings set these; RefreshStatus of a device starts a cycle.
  void begin_cycle() { cycle_end_ = CycleEnd::kRunning; }
  void end_cycle(CycleEnd end) { cycle_end_ = end; }
  // Counts one protocol error of the given kind. `kind.name` must outlive
  // the device (a string literal or a static table).
  void note_protocol_error(ProtocolErrorKind kind);

 private:
  void on_frame(const frame::Frame& f);
  void on_bad_frame(frame::Error e, std::string_view chars);

  frame::StreamDecoder decoder_;
  frame::Frame reply_;
  std::string last_request_;
  frame::Error last_error_{};
  unsigned char address_ = 1;
  unsigned char pending_cid2_ = 0;
  int reply_timeout_ms_ = 2000;
  bool outstanding_ = false;
  std::chrono::steady_clock::time_point sent_at_{};
  CycleEnd cycle_end_ = CycleEnd::kRunning;
  ProtocolErrorKind last_protocol_error_{};
  std::uint64_t protocol_error_total_ = 0;
  std::vector<std::pair<ProtocolErrorKind, std::uint64_t>> protocol_error_counts_;
};
