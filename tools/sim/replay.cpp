#include "replay.h"

#include <algorithm>
#include <cmath>

namespace sim {

std::vector<Exchange> Exchanges(const std::vector<CaptureChunk>& chunks) {
  std::vector<Exchange> out;
  frame::StreamDecoder requests;
  double request_end = 0;
  bool waiting_first_byte = false;
  for (const auto& c : chunks) {
    if (c.direction == Direction::kTx) {
      requests.feed(
          reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size(),
          [&](const frame::Frame& f) {
            Exchange e;
            e.request = f.text;
            out.push_back(std::move(e));
            request_end = c.seconds;
            waiting_first_byte = true;
          },
          {});
      continue;
    }
    if (out.empty()) continue;
    if (waiting_first_byte) {
      // A clock set back in the middle of a capture gives no negative wait.
      const double ms = std::round((c.seconds - request_end) * 1000.0);
      out.back().delay_ms = static_cast<int>(std::clamp(ms, 0.0, 600000.0));
      waiting_first_byte = false;
    }
    out.back().reply += c.bytes;
  }
  return out;
}

Replay::Replay(std::vector<Exchange> exchanges, bool delays)
    : exchanges_(std::move(exchanges)), delays_(delays) {}

Output Replay::Feed(const std::uint8_t* data, std::size_t size) {
  std::lock_guard lock(mutex_);
  Output out;
  decoder_.feed(
      data, size,
      [&](const frame::Frame& f) {
        const std::size_t n = exchanges_.size();
        for (std::size_t k = 0; k < n; ++k) {
          const std::size_t i = (next_ + k) % n;
          if (exchanges_[i].request != f.text) continue;
          if (out.bytes.empty() && delays_) out.delay_ms = exchanges_[i].delay_ms;
          out.bytes += exchanges_[i].reply;
          next_ = i + 1;
          ++answered_;
          return;
        }
        ++unknown_;
      },
      {});
  return out;
}

void Replay::Reconnect() {
  std::lock_guard lock(mutex_);
  decoder_.reset();
}

std::size_t Replay::Answered() const {
  std::lock_guard lock(mutex_);
  return answered_;
}

std::size_t Replay::Unknown() const {
  std::lock_guard lock(mutex_);
  return unknown_;
}

}  // namespace sim
