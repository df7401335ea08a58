// A configured device on an in-memory line with a recording controller, and
// helpers that build controller replies with the real frame codec.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "plugin/providers.h"
#include "frame_codec.h"
#include "memory_transport.h"
#include "protocol/protocol.h"
#include "recording_controller.h"

namespace testing_support {

namespace wire = hvr38qt::wire;
using wire::Cid2;

// A command byte as the request lists below hold it.
constexpr int cmd(Cid2 c) { return wire::code(c); }

// A reply frame from the controller at address 1: return code and info.
inline std::string reply_frame(const std::vector<std::uint8_t>& info, std::uint8_t rtn = 0) {
  return frame::encode(0x21, 1, wire::kCid1, rtn, info);
}

// The command byte (CID2) of a request frame as sent on the line.
inline int request_cid2(const std::string& frame_text) {
  if (frame_text.size() < 9) return -1;
  return std::stoi(frame_text.substr(7, 2), nullptr, 16);
}

// The data bytes of a request frame, as hex text.
inline std::string request_data(const std::string& frame_text) {
  if (frame_text.size() < 18) return "";
  return frame_text.substr(13, frame_text.size() - 18);
}

inline Json::Value parse_json(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errors;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  r->parse(text.data(), text.data() + text.size(), &v, &errors);
  return v;
}

struct DeviceFixture {
  std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
  std::shared_ptr<MemoryTransport> line = std::make_shared<MemoryTransport>();
  std::unique_ptr<HVR38QT> device = hvr38qt::make_device();

  explicit DeviceFixture(const std::string& config_json = "{}", unsigned id = 1) {
    device->SetTransport(line);
    device->Init(controller, id, parse_json(config_json));
  }

  // The same set-up around a device of a derived class (for instance one
  // that counts calls of its virtual operations).
  DeviceFixture(const std::string& config_json, unsigned id, std::unique_ptr<HVR38QT> custom)
      : device(std::move(custom)) {
    device->SetTransport(line);
    device->Init(controller, id, parse_json(config_json));
  }

  // Feeds one reply through the codec as the line would deliver it.
  void reply(const std::vector<std::uint8_t>& info, std::uint8_t rtn = 0) {
    std::string f = reply_frame(info, rtn);
    device->process(reinterpret_cast<unsigned char*>(f.data()), static_cast<unsigned>(f.size()));
  }

  // The command bytes of every request sent so far.
  std::vector<int> requests() const {
    std::vector<int> out;
    for (const auto& s : line->Sent()) out.push_back(request_cid2(s));
    return out;
  }
};

}  // namespace testing_support
