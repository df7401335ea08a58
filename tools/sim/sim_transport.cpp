#include "sim_transport.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace sim {

SimTransport::SimTransport(std::shared_ptr<Simulator> simulator, unsigned bytes_per_second)
    : simulator_(std::move(simulator)),
      responder_(simulator_),
      pacer_(bytes_per_second != 0 ? bytes_per_second : simulator_->Current().line_rate) {}

SimTransport::SimTransport(std::shared_ptr<Responder> responder, unsigned bytes_per_second)
    : responder_(std::move(responder)), pacer_(bytes_per_second) {}

bool SimTransport::Open() {
  pending_.clear();
  pacer_.Reset();
  drop_ = false;
  responder_->Reconnect();
  open_ = true;
  return true;
}

void SimTransport::Close() {
  open_ = false;
  pending_.clear();
  drop_ = false;
}

bool SimTransport::Write(const std::uint8_t* data, std::size_t size) {
  if (!open_) {
    last_error_ = "simulator: not open";
    return false;
  }
  Output out = responder_->Feed(data, size);
  const auto received = pacer_.Occupy(size, LinePacer::Clock::now());
  const auto earliest = received + std::chrono::milliseconds(out.delay_ms);
  if (!out.bytes.empty()) {
    // As many Next calls as bytes: each a byte time after the one before.
    Chunk chunk;
    chunk.first = pacer_.Next(earliest);
    if (out.bytes.size() > 1) chunk.step = pacer_.Next(earliest) - chunk.first;
    // Without a rate every byte arrives at once and the pacer stays put.
    if (pacer_.Rate() > 0)
      for (std::size_t i = 2; i < out.bytes.size(); ++i) pacer_.Next(earliest);
    chunk.bytes = std::move(out.bytes);
    pending_.push_back(std::move(chunk));
  }
  if (out.disconnect) drop_ = true;
  return true;
}

long SimTransport::Read(std::uint8_t* buffer, std::size_t size, int timeout_ms) {
  if (!open_) {
    last_error_ = "simulator: not open";
    return -1;
  }
  const auto start = LinePacer::Clock::now();
  const auto deadline = start + std::chrono::milliseconds(std::max(timeout_ms, 0));
  if (pending_.empty()) {
    if (drop_) {
      Close();
      last_error_ = "simulator: connection closed by the simulator";
      return -1;
    }
    std::this_thread::sleep_until(deadline);
    return 0;
  }
  const auto next = pending_.front().arrival(pending_.front().taken);
  if (next > deadline) {
    std::this_thread::sleep_until(deadline);
    return 0;
  }
  auto now = start;
  if (next > start) {
    std::this_thread::sleep_until(next);
    now = LinePacer::Clock::now();
  }
  std::size_t n = 0;
  while (n < size && !pending_.empty()) {
    Chunk& c = pending_.front();
    if (c.step == LinePacer::Clock::duration::zero() && c.first <= now) {
      // All of the chunk has arrived: its bytes came at once.
      const std::size_t k = std::min(size - n, c.bytes.size() - c.taken);
      std::memcpy(buffer + n, c.bytes.data() + c.taken, k);
      n += k;
      c.taken += k;
    }
    while (n < size && c.taken < c.bytes.size() && c.arrival(c.taken) <= now)
      buffer[n++] = static_cast<std::uint8_t>(c.bytes[c.taken++]);
    if (c.taken < c.bytes.size()) break;  // the rest has not arrived yet
    pending_.pop_front();
  }
  return static_cast<long>(n);
}

}  // namespace sim
