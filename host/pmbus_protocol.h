// Frame protocol layer of the controller line: encodes requests, takes the
// received byte stream, checks every frame and hands each good reply to the
// device's process_payload.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "frame_codec.h"
#include "krt_device.h"

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

 protected:
  int state_ = 0;
  std::uint8_t protocol_version_ = 0x20;
  std::uint8_t protocol_option_ = 0;
  // The reply being handled: [VER, ADR, CID1, RTN, len lo, len hi, info...].
  const std::vector<std::uint8_t>& reply() const { return reply_.bytes; }
  // Drops a half-received frame, so that a new poll starts on a clean line.
  void discard_partial_frame() { decoder_.reset(); }

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
};
