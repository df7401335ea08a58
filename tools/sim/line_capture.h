// Line capture and replay.
//
// A capture is text, one chunk of bytes per line, as a host sent or
// received it:
//
//   # krthost line capture 1
//   2024-05-01 12:00:00.104211 TX 7E323130313431343230303030464442310D
//   2024-05-01 12:00:00.162730 RX 7E3231303134313030...0D
//
// Fields: local date, local time with microseconds, direction (TX host to
// controller, RX controller to host), the bytes in hex (blanks inside are
// allowed). Lines starting with '#' are remarks (the host notes opening and
// closing the line there); blank lines are skipped.
//
// A replay answers each request frame with what followed the same request
// in the capture: every received byte up to the next request, noise, echo
// and broken frames included, after the same delay as then.
#pragma once

#include <cstdint>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "frame_codec.h"
#include "simulator.h"

namespace sim {

enum class Direction { kTx, kRx };

class CaptureWriter {
 public:
  // Writes the capture's first line.
  explicit CaptureWriter(std::ostream& out);

  void Bytes(Direction direction, const std::uint8_t* data, std::size_t size);
  // A remark line; line breaks in the text become blanks.
  void Note(std::string_view text);

 private:
  std::ostream& out_;
};

// A capture that cannot be read; the text names the line.
class CaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CaptureChunk {
  Direction direction = Direction::kTx;
  double seconds = 0;  // local time of day as a count from an epoch
  std::string bytes;
};

// Reads a capture. Throws CaptureError.
std::vector<CaptureChunk> ParseCapture(const std::string& text);

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
