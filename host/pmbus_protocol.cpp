#include "pmbus_protocol.h"

#include <cstdlib>

#include "settings.h"

PMBusProtocol::PMBusProtocol() = default;
PMBusProtocol::~PMBusProtocol() = default;

int PMBusProtocol::InitSetting(const Json::Value& config) {
  const Json::Value* app = settings::object_member(config, "appSetting");
  if (app == nullptr) return 1;
  std::string text;
  if (settings::read_text(*this, *app, "address", text)) {
    const int v = settings::to_int(text);
    if (v >= 0 && v <= 255) {
      address_ = static_cast<unsigned char>(v);
    } else {
      InfoLog("PMBusProtocol {} address {} out of range 0-255, kept {}", data_id_, v,
              address_);
    }
  }
  if (settings::read_text(*this, *app, "reply_timeout_ms", text)) {
    const int v = settings::to_int(text);
    if (v > 0) {
      reply_timeout_ms_ = v;
    } else {
      InfoLog("PMBusProtocol {} reply_timeout_ms {} not positive, kept {}", data_id_, v,
              reply_timeout_ms_);
    }
  }
  return 1;
}

void PMBusProtocol::Reset() {
  KRTSPDevice::Reset();
  outstanding_ = false;
  decoder_.reset();
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2) {
  return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2,
                                   const unsigned char* data, int len) {
  const std::size_t n = (data != nullptr && len > 0) ? static_cast<std::size_t>(len) : 0;
  last_request_ = frame::encode(protocol_version_, address_, cid1, cid2, {data, n});
  pending_cid2_ = cid2;
  outstanding_ = true;
  sent_at_ = std::chrono::steady_clock::now();
  return SendData(reinterpret_cast<const unsigned char*>(last_request_.data()),
                  static_cast<unsigned>(last_request_.size()));
}

void PMBusProtocol::process(unsigned char* data, unsigned int len) {
  decoder_.feed(
      data, len, [this](const frame::Frame& f) { on_frame(f); },
      [this](frame::Error e, std::string_view chars) { on_bad_frame(e, chars); });
}

void PMBusProtocol::on_frame(const frame::Frame& f) {
  // A half-duplex line echoes the request: the same characters are not a
  // reply and are skipped.
  if (last_request_.size() == f.text.size() + 2 &&
      std::string_view(last_request_).substr(1, f.text.size()) == f.text) {
    return;
  }
  if (!outstanding_) return;  // nothing asked: a stray or late frame
  reply_ = f;
  outstanding_ = false;
  process_payload();
}

const char* CycleEndName(CycleEnd end) {
  switch (end) {
    case CycleEnd::kRunning: return "running";
    case CycleEnd::kPublished: return "published";
    case CycleEnd::kUnchanged: return "unchanged";
    case CycleEnd::kFailed: return "failed";
  }
  return "running";
}

namespace {

// Codes and counting names of the frame layer's rejected frames.
ProtocolErrorKind frame_error_kind(frame::Error e) {
  switch (e) {
    case frame::Error::kNonHex: return {1, "frame_non_hex"};
    case frame::Error::kTooShort: return {2, "frame_too_short"};
    case frame::Error::kTooLong: return {3, "frame_too_long"};
    case frame::Error::kLengthChecksum: return {4, "frame_length_checksum"};
    case frame::Error::kLengthMismatch: return {5, "frame_length_mismatch"};
    case frame::Error::kChecksum: return {6, "frame_checksum"};
    case frame::Error::kInterrupted: return {7, "frame_interrupted"};
  }
  return {kFrameErrorCodes, "frame_interrupted"};
}

}  // namespace

void PMBusProtocol::note_protocol_error(ProtocolErrorKind kind) {
  last_protocol_error_ = kind;
  ++protocol_error_total_;
  for (auto& [k, n] : protocol_error_counts_) {
    if (k.code == kind.code) {
      ++n;
      return;
    }
  }
  protocol_error_counts_.emplace_back(kind, 1);
}

void PMBusProtocol::on_bad_frame(frame::Error e, std::string_view chars) {
  last_error_ = e;
  note_protocol_error(frame_error_kind(e));
  InfoLog("PMBusProtocol {} bad frame: {} ({} characters)", data_id_, frame::describe(e),
          chars.size());
  process_error();
}

void PMBusProtocol::process_error() {}

bool PMBusProtocol::IsProcessing() const { return outstanding_; }

bool PMBusProtocol::IsStalled() const {
  if (!outstanding_) return false;
  return std::chrono::steady_clock::now() - sent_at_ >
         std::chrono::milliseconds(reply_timeout_ms_);
}
