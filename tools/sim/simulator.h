// The controller simulator's core: takes the bytes a host sends, finds the
// request frames in them and answers each as the scenario says. No I/O of
// its own; the in-process transport and the servers carry the bytes.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "frame_codec.h"
#include "scenario.h"

namespace sim {

// What to send back for the bytes just taken.
struct Output {
  std::string bytes;
  int delay_ms = 0;         // wait this long before sending
  bool disconnect = false;  // drop the connection (after sending bytes)
};

// One request as the simulator received it.
struct Request {
  std::uint8_t cid1 = 0;
  std::uint8_t cid2 = 0;
  std::vector<std::uint8_t> data;
};

// Whatever answers the host's bytes on a line: the simulator, or a replay
// of a captured line.
class Responder {
 public:
  virtual ~Responder() = default;
  // Takes bytes in any chunking and returns the answer to every request
  // they complete.
  virtual Output Feed(const std::uint8_t* data, std::size_t size) = 0;
  // A new connection: a half-received request is dropped.
  virtual void Reconnect() = 0;
};

class Simulator : public Responder {
 public:
  explicit Simulator(Scenario scenario);

  Output Feed(const std::uint8_t* data, std::size_t size) override;
  void Reconnect() override;

  // Changes between polls, for long runs against a changing site.
  void SetAlarms(std::vector<AlarmEntry> alarms);
  void SetChanged(bool changed);
  void SetOutputVoltage(double volts);

  // The latest requests received, oldest first: at most kRequestLog of
  // them (or what SetRequestLog says), so that a long run does not grow
  // without bound. A host that never reads them keeps none: some 300 KiB
  // per simulated line once full.
  static constexpr std::size_t kRequestLog = 4096;
  void SetRequestLog(std::size_t keep);
  std::vector<Request> Requests() const;
  std::size_t RequestCount() const;  // requests received so far
  std::size_t Polls() const;  // 0x42 requests answered so far
  Scenario Current() const;

 private:
  void answer(const frame::Frame& request, Output& out);
  std::vector<std::uint8_t> info_for(const Request& r, std::uint8_t& rtn);
  std::string encode(std::uint8_t rtn, const std::vector<std::uint8_t>& info) const;

  mutable std::mutex mutex_;
  Scenario scenario_;
  frame::StreamDecoder decoder_;
  std::deque<Request> requests_;
  std::size_t request_log_ = kRequestLog;
  std::size_t request_count_ = 0;
  std::vector<unsigned> fault_hits_;  // matching requests seen, per fault
  std::size_t polls_ = 0;
  std::size_t module_cursor_ = 0;
  std::vector<AlarmEntry> cycle_alarms_;  // the list of the running cycle
};

}  // namespace sim
