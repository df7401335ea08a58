#include "poll_runner.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include <fmt/format.h>

#include "frame_codec.h"
#include "pmbus_protocol.h"

namespace krthost {
namespace {

using Clock = std::chrono::steady_clock;

int ms_until(Clock::time_point t, Clock::time_point now) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(t - now).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

int ReplyLimitMs(int first_byte_ms, int inter_byte_ms, unsigned baud) {
  // Ten bit times per byte (start, eight data, stop).
  const long frame_ms = baud > 0 ? static_cast<long>(frame::kMaxFrameChars + 2) * 10000L / baud : 0;
  return static_cast<int>(std::min<long>(first_byte_ms + inter_byte_ms + frame_ms, 3'600'000L));
}

std::string DataAgeText(const KRTVDevice& device, const ptime& now) {
  if (device.DataReady() != 1 || device.LastUpdate().is_special()) return "no data yet";
  const long age = static_cast<long>((now - device.LastUpdate()).total_seconds());
  if (age > kStaleAfterSeconds) return fmt::format("data age {} s STALE", age);
  return fmt::format("data age {} s", age < 0 ? 0 : age);
}

const char* OutcomeName(PollOutcome outcome) {
  switch (outcome) {
    case PollOutcome::kComplete: return "complete";
    case PollOutcome::kUnchanged: return "unchanged";
    case PollOutcome::kFailed: return "failed";
    case PollOutcome::kTimeout: return "timeout";
    case PollOutcome::kLineLost: return "line lost";
    case PollOutcome::kLineDown: return "line down";
    case PollOutcome::kInterrupted: return "interrupted";
    case PollOutcome::kEnded: return "ended";
  }
  return "ended";
}

PollRunner::PollRunner(KRTSPDevice& device, LineTap& line, HostController& controller,
                       EventWriter& events, PollTimeouts timeouts)
    : device_(device), line_(line), controller_(controller), events_(events), timeouts_(timeouts) {
  controller_.WatchErrors(dynamic_cast<const PMBusProtocol*>(&device_));
}

PollResult PollRunner::Poll(long index, const std::atomic<bool>* stop) {
  PollResult result;
  controller_.BeginPoll();
  const auto* protocol = dynamic_cast<const PMBusProtocol*>(&device_);
  const std::uint64_t errors_before = protocol != nullptr ? protocol->ProtocolErrorTotal() : 0;
  const auto start = Clock::now();
  try {
    result.outcome = run(index, result, stop);
  } catch (const std::exception& e) {
    // A device that throws must not take the host down: the poll fails.
    controller_.HostLog(fmt::format("poll {}: the device threw: {}", index, e.what()), LogLevel::kError);
    device_.Reset();
    result.outcome = PollOutcome::kFailed;
  }
  result.duration_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  result.data_ready = device_.DataReady();
  result.timeouts = controller_.TimeoutsThisPoll();
  if (protocol != nullptr) {
    result.state = protocol->State();
    result.protocol_errors = static_cast<int>(protocol->ProtocolErrorTotal() - errors_before);
    if (result.protocol_errors > 0) result.last_error = protocol->LastProtocolError().name;
  }
  if (result.outcome == PollOutcome::kEnded) {
    const CycleEnd end = protocol != nullptr ? protocol->LastCycleEnd() : CycleEnd::kRunning;
    if (controller_.SnapshotsThisPoll() > 0 || end == CycleEnd::kPublished) {
      result.outcome = PollOutcome::kComplete;
    } else if (end == CycleEnd::kFailed) {
      result.outcome = PollOutcome::kFailed;
      // The device ends some cycles without a message of its own: the
      // host names the reply the cycle failed on.
      const auto& reply = protocol->CurrentReply().bytes;
      controller_.HostLog(fmt::format("cycle failed on the reply to request 0x{:02X} (return code {})",
                                      line_.LastCid2() & 0xFF, reply.size() > 3 ? reply[3] : 0),
                          LogLevel::kWarn);
    } else if (end == CycleEnd::kUnchanged) {
      result.outcome = PollOutcome::kUnchanged;
    }
  }
  events_.Poll(index, result.state, result.data_ready, OutcomeName(result.outcome), result.duration_ms);
  return result;
}

PollOutcome PollRunner::run(long index, PollResult& result, const std::atomic<bool>* stop) {
  if (line_.Capturing()) line_.Remark(fmt::format("poll {}", index + 1));
  const std::uint64_t writes = line_.Writes();
  device_.RefreshStatus();
  if (!line_.IsOpen()) {
    // The device logged why; the next poll opens the line again. A line
    // that took the first request's bytes and then failed was lost; one
    // that got none could not be opened.
    result.error = line_.LastError();
    device_.Reset();
    return line_.Writes() != writes ? PollOutcome::kLineLost : PollOutcome::kLineDown;
  }
  std::uint8_t buffer[512];
  std::uint64_t request = 0;
  Clock::time_point first_byte_by{}, reply_by{}, next_byte_by{};
  while (device_.IsProcessing()) {
    if (stop != nullptr && stop->load()) {
      device_.Reset();
      line_.DropPartial();
      return PollOutcome::kInterrupted;
    }
    const auto now = Clock::now();
    if (line_.Writes() != request) {
      // A new request went out: its reply gets the full first-byte wait.
      request = line_.Writes();
      first_byte_by = now + std::chrono::milliseconds(timeouts_.first_byte_ms);
      reply_by = now + std::chrono::milliseconds(timeouts_.reply_limit_ms);
    }
    // Inside a frame the next byte must follow closely; before a frame
    // (nothing yet, an echo, noise) the first-byte wait holds.
    const auto wait_until = std::min(line_.InReplyFrame() ? next_byte_by : first_byte_by, reply_by);
    const long n = line_.Read(buffer, sizeof buffer, ms_until(wait_until, now));
    if (n > 0) {
      next_byte_by = Clock::now() + std::chrono::milliseconds(timeouts_.inter_byte_ms);
      device_.process(buffer, static_cast<unsigned>(n));
      continue;
    }
    if (n < 0) {
      result.error = line_.LastError();
      controller_.HostLog("line lost: " + result.error, LogLevel::kError);
      line_.Remark("line lost: " + result.error);
      device_.ClosePort();
      device_.Reset();
      line_.DropPartial();
      return PollOutcome::kLineLost;
    }
    if (Clock::now() < wait_until) continue;  // woken early (a signal)
    result.timeout_cid2 = line_.LastCid2();
    const bool partial = line_.InReplyFrame();
    line_.DropPartial();
    device_.Reset();
    events_.Timeout(result.timeout_cid2);
    controller_.CountTimeout();
    const std::string what = fmt::format("{} to request 0x{:02X}", partial ? "reply cut off" : "no reply",
                                         result.timeout_cid2 & 0xFF);
    controller_.HostLog(what, LogLevel::kWarn);
    line_.Remark(what);
    return PollOutcome::kTimeout;
  }
  return PollOutcome::kEnded;
}

std::vector<QueryResult> PollRunner::Query(const std::vector<std::string>& names) {
  std::vector<QueryResult> out;
  out.reserve(names.size());
  for (const auto& name : names) {
    QueryResult q;
    q.name = name;
    try {
      q.value = device_.Get_Value(device_.DataId(), name);
      q.ok = true;
      events_.Value(name, q.value);
    } catch (const std::exception& e) {
      q.error = e.what();
      events_.ValueError(name, q.error);
    }
    out.push_back(std::move(q));
  }
  return out;
}

}  // namespace krthost
