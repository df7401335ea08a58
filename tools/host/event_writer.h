// The event stream of the host: one JSON object per line, UTF-8, in the
// order things happen. Binary data is upper-case hex.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include <json/json.h>

namespace krthost {

// Upper-case hex of the bytes, "" when there are none.
std::string Hex(const unsigned char* data, std::size_t size);

class EventWriter {
 public:
  // Without a stream every call does nothing.
  explicit EventWriter(std::ostream* out = nullptr);

  bool Enabled() const { return out_ != nullptr; }

  void Request(int cid1, int cid2, const unsigned char* data, std::size_t size);
  void Report(int kind, const std::string& key, const std::string& nm_id, const std::string& name,
              const std::string& desc, bool active, unsigned seq);
  void Snapshot(int type, const unsigned char* data, std::size_t size);
  void History(const unsigned char* data, std::size_t size);
  void Log(std::string_view text);
  void Timeout(int cid2);
  // Closes a poll: the poll state after it and the data-ready flag, with
  // how it ended and how long it took.
  void Poll(long index, int state, int data_ready, std::string_view outcome, long duration_ms);
  void Value(const std::string& name, float value);
  void ValueError(const std::string& name, std::string_view error);

 private:
  void write(const Json::Value& event);

  std::ostream* out_;
  std::unique_ptr<Json::StreamWriter> writer_;
};

}  // namespace krthost
