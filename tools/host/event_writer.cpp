#include "event_writer.h"

#include <cstdlib>
#include <iterator>

#include <boost/algorithm/hex.hpp>
#include <fmt/format.h>

namespace krthost {

std::string Hex(const unsigned char* data, std::size_t size) {
  std::string out;
  if (data == nullptr || size == 0) return out;
  out.reserve(size * 2);
  boost::algorithm::hex(data, data + size, std::back_inserter(out));
  return out;
}

EventWriter::EventWriter(std::ostream* out) : out_(out) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  // Values are single-precision: fifteen digits print them as they were
  // written in decimal (see Value).
  builder["precision"] = 15;
  writer_.reset(builder.newStreamWriter());
}

void EventWriter::write(const Json::Value& event) {
  if (out_ == nullptr) return;
  writer_->write(event, out_);
  *out_ << '\n';
  out_->flush();
}

void EventWriter::Request(int cid1, int cid2, const unsigned char* data, std::size_t size) {
  if (!Enabled()) return;
  Json::Value e;
  e["event"] = "request";
  e["cid1"] = cid1;
  e["cid2"] = cid2;
  e["data"] = Hex(data, size);
  write(e);
}

void EventWriter::Report(int kind, const std::string& key, const std::string& nm_id,
                         const std::string& name, const std::string& desc, bool active,
                         unsigned seq) {
  if (!Enabled()) return;
  Json::Value e;
  e["event"] = "report";
  e["kind"] = kind;
  e["key"] = key;
  e["nm_id"] = nm_id;
  e["name"] = name;
  e["desc"] = desc;
  e["active"] = active;
  e["seq"] = seq;
  write(e);
}

void EventWriter::Snapshot(int type, const unsigned char* data, std::size_t size) {
  if (!Enabled()) return;
  Json::Value e;
  e["event"] = "snapshot";
  e["type"] = type;
  e["size"] = static_cast<Json::UInt64>(size);
  e["data"] = Hex(data, size);
  write(e);
}

void EventWriter::History(const unsigned char* data, std::size_t size) {
  if (!Enabled()) return;
  Json::Value e;
  e["event"] = "history";
  e["size"] = static_cast<Json::UInt64>(size);
  e["data"] = Hex(data, size);
  write(e);
}

void EventWriter::Log(std::string_view text) {
  if (!Enabled()) return;
  Json::Value e;
  e["event"] = "log";
  e["text"] = std::string(text);
  write(e);
}

void EventWriter::Timeout(int cid2) {
  if (!Enabled()) return;
  Json::Value e;
  e["event"] = "timeout";
  e["cid2"] = cid2;
  write(e);
}

void EventWriter::Poll(long index, int state, int data_ready, std::string_view outcome,
                       long duration_ms) {
  if (!Enabled()) return;
  Json::Value e;
  e["event"] = "poll";
  e["index"] = static_cast<Json::Int64>(index);
  e["state"] = state;
  e["data_ready"] = data_ready;
  e["outcome"] = std::string(outcome);
  e["duration_ms"] = static_cast<Json::Int64>(duration_ms);
  write(e);
}

void EventWriter::Value(const std::string& name, float value) {
  if (!Enabled()) return;
  Json::Value e;
  e["event"] = "value";
  e["name"] = name;
  // The shortest text that reads back as the same float, as a double:
  // 230.1f is written 230.1, not 230.100006103516.
  e["value"] = std::strtod(fmt::format("{}", value).c_str(), nullptr);
  write(e);
}

void EventWriter::ValueError(const std::string& name, std::string_view error) {
  if (!Enabled()) return;
  Json::Value e;
  e["event"] = "value";
  e["name"] = name;
  e["error"] = std::string(error);
  write(e);
}

}  // namespace krthost
