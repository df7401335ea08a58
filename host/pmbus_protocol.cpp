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

void PMBusProtocol::on_bad_frame(frame::Error e, std::string_view chars) {
  last_error_ = e;
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
