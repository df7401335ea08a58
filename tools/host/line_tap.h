// A transport in front of the real line that watches what passes: every
// request frame written is reported, with a trace stream every frame sent
// and received is printed as text with direction and time, and with a
// capture every byte goes to it as sent and as received.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "frame_codec.h"
#include "line_capture.h"
#include "transport.h"

namespace krthost {

class LineTap : public ByteTransport {
 public:
  using RequestFn = std::function<void(const frame::Frame&)>;

  LineTap(std::shared_ptr<ByteTransport> inner, RequestFn on_request, std::ostream* trace = nullptr);

  bool Open() override;
  void Close() override;
  bool IsOpen() const override { return inner_->IsOpen(); }
  bool Write(const std::uint8_t* data, std::size_t size) override;
  long Read(std::uint8_t* buffer, std::size_t size, int timeout_ms) override;

  // Writes so far: a new write is a new request.
  std::uint64_t Writes() const { return writes_; }
  // The command byte of the last request frame written, -1 before any.
  int LastCid2() const { return last_cid2_; }
  // True while received bytes have started a frame that has not ended.
  bool InReplyFrame() const { return rx_in_frame_; }
  // Forgets a half-received frame (the trace shows it as incomplete).
  void DropPartial();
  ByteTransport& Inner() { return *inner_; }

  // Every byte from now on goes to `capture` (null: none).
  void SetCapture(sim::CaptureWriter* capture) { capture_ = capture; }
  // A remark in the capture, when there is one.
  void Remark(std::string_view text);
  bool Capturing() const { return capture_ != nullptr; }

 private:
  void trace(const char* direction, const std::string& bytes, const char* note = "");
  void take_rx(const std::uint8_t* data, std::size_t size);

  std::shared_ptr<ByteTransport> inner_;
  RequestFn on_request_;
  std::ostream* trace_;
  sim::CaptureWriter* capture_ = nullptr;
  frame::StreamDecoder tx_decoder_;
  std::string rx_pending_;  // received bytes not yet traced
  bool rx_in_frame_ = false;
  std::uint64_t writes_ = 0;
  int last_cid2_ = -1;
};

// Local wall-clock time with milliseconds, as log and trace lines show it.
std::string Timestamp();

// The bytes as readable text: printable characters as they are, CR as
// <CR>, anything else as <XX>.
std::string LineText(const std::string& bytes);

}  // namespace krthost
