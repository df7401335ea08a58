// In-process line to a simulator: what the device writes goes straight to
// the simulator, and its answer is served to the device's reads, paced at
// the scenario's line rate.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "line_pacer.h"
#include "simulator.h"
#include "transport.h"

namespace sim {

class SimTransport : public ByteTransport {
 public:
  // A rate of 0 takes the scenario's line_rate.
  explicit SimTransport(std::shared_ptr<Simulator> simulator, unsigned bytes_per_second = 0);
  // Any other responder (a replayed capture), at the given rate.
  SimTransport(std::shared_ptr<Responder> responder, unsigned bytes_per_second);

  bool Open() override;
  void Close() override;
  bool IsOpen() const override { return open_; }
  bool Write(const std::uint8_t* data, std::size_t size) override;
  long Read(std::uint8_t* buffer, std::size_t size, int timeout_ms) override;

  // The simulator behind the line; only for a line made with one.
  Simulator& Sim() { return *simulator_; }

 private:
  std::shared_ptr<Simulator> simulator_;
  std::shared_ptr<Responder> responder_;
  LinePacer pacer_;
  // Answers on their way to the host. Byte i of an answer has arrived at
  // first + i * step (the pacer hands the bytes of one answer over one byte
  // time apart; without a rate all at once).
  struct Chunk {
    std::string bytes;
    std::size_t taken = 0;  // bytes already read
    LinePacer::Clock::time_point first;
    LinePacer::Clock::duration step{};
    LinePacer::Clock::time_point arrival(std::size_t i) const {
      return first + step * static_cast<long>(i);
    }
  };
  std::deque<Chunk> pending_;
  bool open_ = false;
  bool drop_ = false;  // the simulator drops the line once pending_ is delivered
};

}  // namespace sim
