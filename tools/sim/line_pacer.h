// Paces bytes towards the host at a given rate, as a slow line would carry
// them: each byte leaves one byte time after the one before it.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>

namespace sim {

class LinePacer {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LinePacer(unsigned bytes_per_second = 0) : rate_(bytes_per_second) {}

  // The time the next byte has fully left the line, when it is handed over
  // no earlier than `earliest`. Without a rate, `earliest` itself.
  Clock::time_point Next(Clock::time_point earliest) {
    Clock::time_point t = std::max(earliest, free_);
    if (rate_ > 0) t += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate_));
    free_ = t;
    return t;
  }
  // The line carries `bytes` from the other side, from `earliest` on (a
  // half-duplex line cannot answer before the request is through). Returns
  // the time the line is free again.
  Clock::time_point Occupy(std::size_t bytes, Clock::time_point earliest) {
    Clock::time_point t = std::max(earliest, free_);
    if (rate_ > 0) t += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(bytes) / rate_));
    free_ = t;
    return t;
  }
  void Reset() { free_ = {}; }
  unsigned Rate() const { return rate_; }

 private:
  unsigned rate_;
  Clock::time_point free_{};
};

}  // namespace sim
