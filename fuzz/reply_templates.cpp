#include "fuzz/reply_templates.h"

#include <algorithm>

#include "frame_codec.h"
#include "protocol/protocol.h"

namespace fuzz {

namespace wire = hvr38qt::wire;
using wire::Cid2;

std::string reply_frame(std::uint8_t rtn, const std::vector<std::uint8_t>& info, bool odd,
                        std::uint8_t nibble) {
  if (!odd) return frame::encode(0x21, 1, wire::kCid1, rtn, info);
  // One more hex digit after the info bytes: an odd length word.
  const std::size_t n = std::min(info.size(), (frame::kMaxInfoChars - 1) / 2);
  const auto lenid = static_cast<std::uint16_t>(2 * n + 1);
  const unsigned length = (static_cast<unsigned>(frame::lchksum(lenid)) << 12) | lenid;
  // Hex digits appended by hand: this runs for most replies of a fuzzed cycle.
  std::string body;
  body.reserve(frame::kHeaderChars + 2 * n + 1 + frame::kChecksumChars + 2);
  auto put = [&body](unsigned value, unsigned digits) {
    for (unsigned d = digits; d > 0; --d) body.push_back("0123456789ABCDEF"[(value >> (4 * (d - 1))) & 0xF]);
  };
  put(0x21, 2);
  put(1, 2);
  put(wire::kCid1, 2);
  put(rtn, 2);
  put(length, 4);
  for (std::size_t i = 0; i < n; ++i) put(info[i], 2);
  body.push_back("0123456789ABCDEF"[nibble & 0xF]);
  put(frame::chksum(body), 4);
  return static_cast<char>(frame::kSoi) + body + static_cast<char>(frame::kEoi);
}

int request_byte(const std::string& request) {
  frame::Frame f;
  frame::Error e{};
  if (request.size() < 2 || !frame::decode(std::string_view(request).substr(1, request.size() - 2), f, e))
    return -1;
  return f.bytes.size() > 6 ? f.bytes[6] : -1;
}

namespace {

// A module group's count of extra bytes and the bytes: most groups have none.
void module_group_tail(std::vector<std::uint8_t>& info, Reader& in) {
  const std::uint8_t sel = in.u8();
  const std::size_t extra = sel >= 0xF8 ? sel - 0xF7u : 0u;
  info.push_back(static_cast<std::uint8_t>(extra));
  in.append(info, extra);
}

}  // namespace

Reply template_reply(const Rig& rig, unsigned& next_module, Reader& in) {
  const HVR38QT& d = *rig.device;
  Reply r;
  auto& info = r.info;
  const auto cid2 = static_cast<Cid2>(d.PendingCommand());
  switch (cid2) {
    case Cid2::kAnalog: {
      info.push_back(in.u8());  // change indicator
      const std::uint16_t volts = in.u16();
      info.push_back(static_cast<std::uint8_t>(volts >> 8));
      info.push_back(static_cast<std::uint8_t>(volts));
      const std::uint8_t modules = in.u8();
      info.push_back(modules);
      for (unsigned i = 0; i < modules; ++i) {
        in.append(info, wire::kModuleAnalogGroup);  // current
        module_group_tail(info, in);
      }
      break;
    }
    case Cid2::kSwitch:
    case Cid2::kAlarmState: {
      const std::uint8_t sel = in.u8();
      const std::uint8_t count = sel == 0xFF ? in.u8() : d.Header().module_count;
      info.push_back(count);
      for (unsigned i = 0; i < count; ++i) {
        in.append(info, cid2 == Cid2::kSwitch ? wire::kModuleSwitchGroup : wire::kModuleAlarmGroup);
        module_group_tail(info, in);
      }
      break;
    }
    case Cid2::kModuleDetail: {
      if (request_byte(rig.line->last) == 0) next_module = 1;
      const std::uint8_t sel = in.u8();
      std::uint8_t k = static_cast<std::uint8_t>(next_module);
      std::uint8_t last = next_module >= d.Header().module_count ? 1 : 0;
      if (sel >= 0xC0 && sel < 0xE0) last = 1;
      if (sel >= 0xE0 && sel < 0xF0) {
        k = in.u8();
        last = in.u8() % 3;
      }
      if (sel >= 0xF0) last = wire::kModuleDetailRefused;
      next_module = k + 1u;
      info = {last, k};
      in.append(info, wire::kModuleDetailBytes - info.size());
      break;
    }
    case Cid2::kExtras: {
      const std::uint8_t sel = in.u8();
      in.append(info, sel < 0xF0 ? wire::kExtrasBytes : sel & 7);
      r.odd = sel >= 0xF8;
      break;
    }
    case Cid2::kAcUnit: in.append(info, wire::kAcUnitBytes); break;
    case Cid2::kDcUnit: in.append(info, wire::kDcUnitBytes); break;
    case Cid2::kBlockA3:
      in.append(info, (in.u8() & 1) ? wire::kBlockA3ShortBytes : wire::kBlockA3Bytes);
      break;
    case Cid2::kWord93: {
      r.odd = (in.u8() & 1) != 0;
      in.append(info, wire::kWord93Bytes);
      break;
    }
    case Cid2::kAlarmList1: {
      const std::uint8_t count = in.u8();
      info.push_back(count);
      in.append(info, wire::kAlarmEntryBytes * std::min<unsigned>(count, wire::kAlarmsPerPart));
      break;
    }
    case Cid2::kAlarmList2:
    case Cid2::kAlarmList3:
    case Cid2::kAlarmList4: {
      const unsigned part = wire::code(cid2) - wire::code(Cid2::kAlarmList1);
      const unsigned first = wire::kAlarmsPerPart * part;
      const unsigned left = d.AlarmCount() > first ? d.AlarmCount() - first : 0;
      const bool last_request = cid2 == Cid2::kAlarmList4;
      in.append(info, wire::kAlarmEntryBytes *
                          (last_request ? left : std::min(left, wire::kAlarmsPerPart)));
      break;
    }
    default: in.append(info, in.u8() % 8); break;
  }
  return r;
}

}  // namespace fuzz
