// Replay of a line capture: answers each request frame with what followed
// the same request in the capture: every received byte up to the next
// request, noise, echo and broken frames included, after the same delay as
// then.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "frame_codec.h"
#include "line_capture.h"
#include "simulator.h"

namespace sim {

// One request of a capture and all that came back before the next one.
struct Exchange {
  std::string request;  // the request frame's characters between SOI and EOI
  std::string reply;    // every byte received after it
  int delay_ms = 0;     // from the end of the request to the first byte back
};

// The requests of a capture in order; bytes received before the first
// request are dropped.
std::vector<Exchange> Exchanges(const std::vector<CaptureChunk>& chunks);

// Answers requests from a capture. A request is looked for from the one
// after the last answered on, then from the start again, so that a host
// polling longer than the capture ran goes round it; a request the capture
// does not hold gets no answer.
class Replay : public Responder {
 public:
  explicit Replay(std::vector<Exchange> exchanges, bool delays = true);

  Output Feed(const std::uint8_t* data, std::size_t size) override;
  void Reconnect() override;

  std::size_t Answered() const;
  std::size_t Unknown() const;  // requests not in the capture

 private:
  mutable std::mutex mutex_;
  std::vector<Exchange> exchanges_;
  bool delays_;
  frame::StreamDecoder decoder_;
  std::size_t next_ = 0;
  std::size_t answered_ = 0;
  std::size_t unknown_ = 0;
};

}  // namespace sim
