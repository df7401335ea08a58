// In-memory transport: records what a device sends and serves bytes queued
// by the caller. Used in tests and by hosts that run a peer in process.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "transport.h"

class MemoryTransport : public ByteTransport {
 public:
  bool Open() override {
    if (fail_open_) {
      last_error_ = "open refused";
      return false;
    }
    open_ = true;
    ++opens_;
    return true;
  }
  void Close() override { open_ = false; }
  bool IsOpen() const override { return open_; }
  bool Write(const std::uint8_t* data, std::size_t size) override {
    if (!open_) {
      last_error_ = "not open";
      return false;
    }
    sent_.emplace_back(reinterpret_cast<const char*>(data), size);
    return true;
  }
  long Read(std::uint8_t* buffer, std::size_t size, int) override {
    if (!open_) {
      last_error_ = "not open";
      return -1;
    }
    std::size_t n = 0;
    while (n < size && !incoming_.empty()) {
      buffer[n++] = incoming_.front();
      incoming_.pop_front();
    }
    return static_cast<long>(n);
  }

  void Queue(const std::string& bytes) { incoming_.insert(incoming_.end(), bytes.begin(), bytes.end()); }
  // Every write, one entry per write.
  const std::vector<std::string>& Sent() const { return sent_; }
  void ClearSent() { sent_.clear(); }
  void FailOpen(bool fail) { fail_open_ = fail; }
  int Opens() const { return opens_; }

 private:
  std::deque<std::uint8_t> incoming_;
  std::vector<std::string> sent_;
  bool open_ = false;
  bool fail_open_ = false;
  int opens_ = 0;
};
