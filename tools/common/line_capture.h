// Line capture: the file format, its writer and its reader.
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
// The simulator replays a capture (replay.h); the hosts write one.
#pragma once

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>


// In the simulator's namespace: the capture is what it replays.
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

}  // namespace sim
