#include "line_tap.h"

#include <chrono>
#include <ctime>
#include <utility>

#include <fmt/chrono.h>
#include <fmt/format.h>

namespace krthost {

std::string LineText(const std::string& bytes) {
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == frame::kEoi) out += "<CR>";
    else if (c >= 0x20 && c < 0x7F && c != '<') out.push_back(ch);
    else out += fmt::format("<{:02X}>", c);
  }
  return out;
}

std::string Timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  // Log lines come many a second on a busy site: each thread formats the
  // local time of a second once (localtime_r takes a process-wide lock).
  thread_local std::time_t cached_t = 0;
  thread_local std::string cached_text;
  if (cached_text.empty() || t != cached_t) {
    std::tm local{};
    ::localtime_r(&t, &local);
    cached_text = fmt::format("{:%Y-%m-%d %H:%M:%S}", local);
    cached_t = t;
  }
  return fmt::format("{}.{:03}", cached_text, ms);
}

LineTap::LineTap(std::shared_ptr<ByteTransport> inner, RequestFn on_request, std::ostream* trace)
    : inner_(std::move(inner)), on_request_(std::move(on_request)), trace_(trace) {}

bool LineTap::Open() {
  tx_decoder_.reset();
  rx_pending_.clear();
  rx_in_frame_ = false;
  const bool ok = inner_->Open();
  last_error_ = inner_->LastError();
  Remark(ok ? "line opened" : "line not opened: " + last_error_);
  return ok;
}

void LineTap::Close() {
  DropPartial();
  inner_->Close();
  Remark("line closed");
}

void LineTap::Remark(std::string_view text) {
  if (capture_ != nullptr) capture_->Note(text);
}

void LineTap::trace(const char* direction, const std::string& bytes, const char* note) {
  if (trace_ == nullptr || bytes.empty()) return;
  *trace_ << Timestamp() << ' ' << direction << ' ' << LineText(bytes) << note << '\n';
  trace_->flush();
}

bool LineTap::Write(const std::uint8_t* data, std::size_t size) {
  ++writes_;
  tx_decoder_.feed(
      data, size,
      [this](const frame::Frame& f) {
        last_cid2_ = f.bytes.size() > 3 ? f.bytes[3] : -1;
        if (on_request_) on_request_(f);
      },
      {});
  if (trace_ != nullptr) trace("TX", std::string(reinterpret_cast<const char*>(data), size));
  if (capture_ != nullptr) capture_->Bytes(sim::Direction::kTx, data, size);
  const bool ok = inner_->Write(data, size);
  if (!ok) {
    last_error_ = inner_->LastError();
    Remark("write failed: " + last_error_);
  }
  return ok;
}

void LineTap::take_rx(const std::uint8_t* data, std::size_t size) {
  if (trace_ == nullptr) {
    // Nothing to print: only whether a frame is open counts, and the last
    // start or end byte decides it (an end outside a frame leaves none open).
    for (std::size_t i = size; i-- > 0;) {
      if (data[i] == frame::kSoi || data[i] == frame::kEoi) {
        rx_in_frame_ = data[i] == frame::kSoi;
        break;
      }
    }
    return;
  }
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t b = data[i];
    if (b == frame::kSoi) {
      // Whatever came before a start is noise or an interrupted frame.
      trace("RX", rx_pending_, rx_in_frame_ ? " (interrupted)" : " (noise)");
      rx_pending_.clear();
      rx_in_frame_ = true;
    }
    rx_pending_.push_back(static_cast<char>(b));
    if (b == frame::kEoi && rx_in_frame_) {
      trace("RX", rx_pending_);
      rx_pending_.clear();
      rx_in_frame_ = false;
    }
  }
}

long LineTap::Read(std::uint8_t* buffer, std::size_t size, int timeout_ms) {
  const long n = inner_->Read(buffer, size, timeout_ms);
  if (n > 0 && capture_ != nullptr) capture_->Bytes(sim::Direction::kRx, buffer, static_cast<std::size_t>(n));
  if (n > 0) take_rx(buffer, static_cast<std::size_t>(n));
  if (n < 0) last_error_ = inner_->LastError();
  return n;
}

void LineTap::DropPartial() {
  trace("RX", rx_pending_, rx_in_frame_ ? " (incomplete)" : " (noise)");
  rx_pending_.clear();
  rx_in_frame_ = false;
}

}  // namespace krthost
