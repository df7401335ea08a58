#include "sim_transport.h"

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
  const Output out = responder_->Feed(data, size);
  const auto received = pacer_.Occupy(size, LinePacer::Clock::now());
  const auto earliest = received + std::chrono::milliseconds(out.delay_ms);
  for (char c : out.bytes) pending_.emplace_back(static_cast<std::uint8_t>(c), pacer_.Next(earliest));
  if (out.disconnect) drop_ = true;
  return true;
}

long SimTransport::Read(std::uint8_t* buffer, std::size_t size, int timeout_ms) {
  if (!open_) {
    last_error_ = "simulator: not open";
    return -1;
  }
  const auto deadline = LinePacer::Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  if (pending_.empty()) {
    if (drop_) {
      Close();
      last_error_ = "simulator: connection closed by the simulator";
      return -1;
    }
    std::this_thread::sleep_until(deadline);
    return 0;
  }
  if (pending_.front().second > deadline) {
    std::this_thread::sleep_until(deadline);
    return 0;
  }
  std::this_thread::sleep_until(pending_.front().second);
  const auto now = LinePacer::Clock::now();
  std::size_t n = 0;
  while (n < size && !pending_.empty() && pending_.front().second <= now) {
    buffer[n++] = pending_.front().first;
    pending_.pop_front();
  }
  return static_cast<long>(n);
}

}  // namespace sim
