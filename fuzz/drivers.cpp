#include "fuzz/drivers.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <fmt/format.h>

#include "alarms/mobile_rules.h"
#include "frame_codec.h"

namespace fuzz {

// ---------------------------------------------------------------------------
// Configuration

// A count setting: the edge values, text and numbers, null, an array (not
// readable as text) or no member at all (nullopt). The largest counts cost a
// cycle of some 170000 rule reports, so only two byte values that mutations
// seldom produce give them.
std::optional<Json::Value> count_value(std::uint8_t sel) {
  if (sel == kCount255) return Json::Value("255");
  if (sel == kCount256) return Json::Value("256");
  switch (sel % 10) {
    case 0: return Json::Value("0");
    case 1: return Json::Value("1");
    case 2: return Json::Value("2");
    case 3: return Json::Value("3");
    case 4: return Json::Value("-1");
    case 5: return Json::Value("x");
    case 6: return Json::Value(4);
    case 7: return Json::Value(Json::nullValue);
    case 8: return Json::Value(Json::arrayValue);
    default: return std::nullopt;
  }
}

std::optional<Json::Value> mode_value(std::uint8_t sel) {
  static constexpr const char* kModes[] = {"-1", "0", "1", "2", "3", "7", "abc"};
  if (sel % 8 == 7) return std::nullopt;
  return Json::Value(kModes[sel % 8]);
}

// Three choice bytes: ac_number, dc_number, b_mode. Mode 3 also gets a few
// threshold settings.
Json::Value config_from(Reader& in) {
  Json::Value cfg(Json::objectValue);
  Json::Value& app = cfg["appSetting"];
  app = Json::Value(Json::objectValue);
  if (auto v = count_value(in.u8())) app["ac_number"] = *v;
  if (auto v = count_value(in.u8())) app["dc_number"] = *v;
  if (auto v = mode_value(in.u8())) {
    app["b_mode"] = *v;
    if (v->asString() == "3") {
      Json::Value& ts = cfg["thresholdSetting"];
      ts["220600120010"]["SignalName"] = "ac high";
      ts["220600120010"]["NMAlarmID"] = "220600120010";
      ts["220600120010"]["ID"] = 1;
      ts["220600130010"]["SignalNumber"] = "2";
      ts["text"] = "not an object";
    }
  }
  return cfg;
}

namespace {

namespace rules = hvr38qt::alarms;

// Module numbers whose rules get a level.
constexpr unsigned kLevelledModules = 32;

// A level byte: 0, 4, 8, ... turn the rule off, anything else gives 1 to 3.
int level_of(std::uint8_t v) { return v % 4 == 3 ? 0 : v % 4 + 1; }

}  // namespace

// The rule set's own ids: a level per id of the AC input and output voltage
// rules, a threshold per rule that reads one, and a level per module rule
// for the first modules.
void set_levels(HVR38QT& d, Reader& in) {
  for (const auto& ids : {std::span<const rules::MobileRuleId>(rules::kMobileAcRuleIds),
                          std::span<const rules::MobileRuleId>(rules::kMobileOutputRuleIds)})
    for (const rules::MobileRuleId& id : ids) d.LevelMap()[std::string(id.nm_id)] = level_of(in.u8());
  for (const auto& ids : {std::span<const rules::MobileRuleId>(rules::kMobileAcRuleIds),
                          std::span<const rules::MobileRuleId>(rules::kMobileOutputRuleIds)})
    for (const rules::MobileRuleId& id : ids)
      if (id.threshold) d.ValueMap()[std::string(id.nm_id)] = static_cast<float>(in.u16()) / 10.0f;
  for (std::string_view prefix : rules::kMobileModulePrefixes) {
    const int level = level_of(in.u8());
    for (unsigned n = 1; n <= kLevelledModules; ++n)
      d.LevelMap()[fmt::format("{}{:03}0", prefix, n)] = level;
  }
}

// ---------------------------------------------------------------------------
// Restoring a cached snapshot

// Case (0-3): 0 the whole payload, 1 a length up to the payload's size,
// 2 a negative length, 3 no data.
void restore(Rig& r, const std::vector<std::uint8_t>& payload, unsigned which,
                    std::uint16_t arg, bool as_text) {
  HVR38QT& d = *r.device;
  const unsigned char* data = payload.empty() ? nullptr : payload.data();
  int len = static_cast<int>(payload.size());
  switch (which % 4) {
    case 1: len = static_cast<int>(arg % (payload.size() + 1)); break;
    case 2: len = arg == 0xFFFF ? INT_MIN : -1 - static_cast<int>(arg); break;
    case 3:
      data = nullptr;
      len = arg == 0xFFFF ? INT_MAX : static_cast<int>(arg);
      break;
    default: break;
  }
  int result = 0;
  if (as_text && data != nullptr && len >= 0) {
    // The host's entry for a cache entry held as text.
    VDeviceInterface& as_host_sees_it = d;
    result = as_host_sees_it.LoadFromCache(std::string(payload.begin(), payload.begin() + len));
  } else {
    result = d.LoadFromCache(data, len);
  }
  if (result == 1 && data != nullptr && len >= 0) {
    expect(d.Snapshot() && d.SnapshotSize() == len &&
               d.Snapshot()->size() == static_cast<std::size_t>(len),
           "restored buffer has the cached length");
    expect(len == 0 || std::memcmp(d.Snapshot()->data(), data, static_cast<std::size_t>(len)) == 0,
           "restored buffer holds the cached bytes");
    expect(d.DataReady() == 1 && d.LastUpdate() == now(), "restore marks the data ready now");
  }
  check_device(r);
}

// ---------------------------------------------------------------------------
// One poll cycle

// Starts a poll and answers every request until the cycle is over. Each step
// takes an operation byte:
//   00-9F reply as a controller would, A0-AF the same with a return code
//   from the input, B0-B7 a reply of raw info bytes (u8 return code, u16
//   length mod 1024, bytes), B8-BF the same with an odd length word, C0-C7 a
//   reply in chunks with line noise before it, C8-CF a reply with one
//   character changed, D0-D7 the request echoed by the line, D8-DF value
//   queries, E0-E7 a new poll, E8-EF the host ends the cycle (RoundDone),
//   F0-F7 a cache restore, F8-FF the host gives up on the cycle.
void run_cycle(Rig& r, Reader& in) {
  HVR38QT& d = *r.device;
  d.RefreshStatus();
  unsigned next_module = 1;
  for (unsigned step = 0; step < kMaxSteps && d.IsProcessing(); ++step) {
    const std::uint8_t op = in.u8();
    if (op < 0xB0) {
      const std::uint8_t rtn = op < 0xA0 ? 0 : in.u8();
      const Reply reply = template_reply(r, next_module, in);
      r.deliver(reply_frame(rtn, reply.info, reply.odd, 0));
    } else if (op < 0xC0) {
      const std::uint8_t rtn = in.u8();
      const std::vector<std::uint8_t> info = in.bytes(in.u16() % 1024);
      r.deliver(reply_frame(rtn, info, op >= 0xB8, in.u8()));
    } else if (op < 0xC8) {
      std::string noise;
      for (unsigned i = in.u8() % 4; i > 0; --i) {
        const std::uint8_t b = in.u8();
        noise.push_back(static_cast<char>(b == frame::kSoi ? 0 : b));
      }
      r.deliver(noise);
      const Reply reply = template_reply(r, next_module, in);
      const std::string f = reply_frame(0, reply.info, reply.odd, 0);
      for (std::size_t pos = 0; pos < f.size();) {
        const std::size_t n = std::min<std::size_t>(in.u8() % 16 + 1, f.size() - pos);
        r.deliver(f.substr(pos, n));
        pos += n;
      }
    } else if (op < 0xD0) {
      const Reply reply = template_reply(r, next_module, in);
      std::string f = reply_frame(0, reply.info, reply.odd, 0);
      const std::size_t at = in.u16() % f.size();
      f[at] = static_cast<char>(in.u8());
      r.deliver(f);
    } else if (op < 0xD8) {
      r.deliver(r.line->last);
    } else if (op < 0xE0) {
      query_values(r);
    } else if (op < 0xE8) {
      d.RefreshStatus();
    } else if (op < 0xF0) {
      d.RoundDone();
    } else if (op < 0xF8) {
      const std::uint8_t which = in.u8();
      const std::vector<std::uint8_t> payload = in.bytes(in.u16() % 2048);
      restore(r, payload, which, in.u16(), (which & 4) != 0);
    } else {
      break;
    }
    check_device(r);
  }
}

// ---------------------------------------------------------------------------
// Drivers

// Feeds bytes in chunks; the frames and errors found must not depend on the
// chunking, and every frame must be what the codec would encode.
void drive_frame_stream(const std::uint8_t* data, std::size_t size) {
  struct Event {
    bool frame;
    frame::Error error;
    std::vector<std::uint8_t> bytes;
    std::string text;
  };
  if (data == nullptr) size = 0;
  // The chunks' bytes, read in place: repeated u8 chunk length - 1, bytes.
  std::vector<std::uint8_t> all;
  all.reserve(size);
  for (std::size_t pos = 0; pos < size;) {
    const std::size_t n = std::min<std::size_t>(data[pos] % 64 + 1u, size - pos - 1);
    all.insert(all.end(), data + pos + 1, data + pos + 1 + n);
    pos += 1 + n;
  }
  // The whole stream at once; then the chunks, each event compared with the
  // whole stream's as it comes, so that only one list is kept.
  std::vector<Event> whole;
  frame::StreamDecoder one;
  one.feed(
      all.data(), all.size(),
      [&whole](const frame::Frame& f) { whole.push_back({true, {}, f.bytes, f.text}); },
      [&whole](frame::Error e, std::string_view chars) { whole.push_back({false, e, {}, std::string(chars)}); });
  std::size_t seen = 0;
  auto next = [&]() -> const Event& {
    expect(seen < whole.size(), "chunking does not change what is decoded");
    return whole[seen++];
  };
  frame::StreamDecoder split;
  const frame::StreamDecoder::FrameFn on_frame = [&](const frame::Frame& f) {
    const Event& e = next();
    expect(e.frame && e.bytes == f.bytes && e.text == f.text, "chunking does not change what is decoded");
  };
  const frame::StreamDecoder::ErrorFn on_error = [&](frame::Error err, std::string_view chars) {
    const Event& e = next();
    expect(!e.frame && e.error == err && e.text == chars, "chunking does not change what is decoded");
  };
  for (std::size_t pos = 0; pos < size;) {
    const std::size_t n = std::min<std::size_t>(data[pos] % 64 + 1u, size - pos - 1);
    split.feed(data + pos + 1, n, on_frame, on_error);
    pos += 1 + n;
  }
  expect(seen == whole.size(), "chunking does not change what is decoded");
  expect(split.in_frame() == one.in_frame(), "chunking does not change the decoder state");

  for (const Event& e : whole) {
    if (!e.frame) {
      expect(frame::describe(e.error)[0] != '\0', "every error is described");
      continue;
    }
    expect(e.bytes.size() >= 6, "a frame has its header");
    const unsigned lenid = e.bytes[4] | (e.bytes[5] << 8);
    expect(e.bytes.size() == 6 + lenid / 2, "info bytes are the whole bytes of the length");
    // The checksum covers the characters as sent, so a frame written in
    // lower-case hex carries another checksum than the same frame in upper
    // case (which is what the encoder writes): only upper-case frames must
    // encode back to their own text.
    const bool lower = std::any_of(e.text.begin(), e.text.end(),
                                   [](char c) { return c >= 'a' && c <= 'f'; });
    if (lenid % 2 == 0 && !lower) {
      std::string upper = e.text;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      const std::string again = frame::encode(e.bytes[0], e.bytes[1], e.bytes[2], e.bytes[3],
                                              {e.bytes.data() + 6, e.bytes.size() - 6});
      expect(again == static_cast<char>(frame::kSoi) + upper + static_cast<char>(frame::kEoi),
             "a decoded frame encodes back to its text");
    }
  }

  // Any bytes encode into a frame that decodes to them.
  if (all.size() >= 4) {
    const std::span<const std::uint8_t> info(all.data() + 4, std::min<std::size_t>(all.size() - 4, frame::kMaxInfoChars / 2));
    const std::string f = frame::encode(all[0], all[1], all[2], all[3], info);
    frame::Frame out;
    frame::Error err{};
    expect(frame::decode(std::string_view(f).substr(1, f.size() - 2), out, err), "an encoded frame decodes");
    expect(out.bytes.size() == 6 + info.size() &&
               std::equal(info.begin(), info.end(), out.bytes.begin() + 6) && out.bytes[3] == all[3],
           "an encoded frame decodes to its bytes");
  }
}

Stats drive_device_cycle(const std::uint8_t* data, std::size_t size) {
  QuietStdout quiet;
  Reader in(data, size);
  Rig r;
  const unsigned id = in.u16();
  const Json::Value cfg = config_from(in);
  r.host->batch_result = (in.u8() & 1) != 0;
  r.device->Init(r.host, id, cfg);
  r.configured = true;
  check_settings(r);
  if (r.device->Mode() == 2) set_levels(*r.device, in);
  // One cycle of the largest configuration is all that is affordable.
  const bool large = r.device->AcNumber() > 64 || r.device->DcNumber() > 64;
  const std::uint8_t cycles_byte = in.u8();
  const unsigned cycles = large ? 1 : 1 + cycles_byte % 4;
  for (unsigned c = 0; c < cycles; ++c) {
    now() += boost::posix_time::seconds(in.u8());
    run_cycle(r, in);
    check_device(r);
    now() += boost::posix_time::seconds(in.u8() % 128);
    query_values(r);
  }
  return stats_of(r);
}

Json::Value parse_json(std::string_view text) {
  Json::Value v;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    reader->parse(text.data(), text.data() + text.size(), &v, &errors);
  } catch (const std::exception&) {
    // Too deeply nested: the host would not get as far as the device.
    v = Json::Value();
  }
  return v;
}

// A changed cycle of a controller with two modules at 53.5 V, all else zero.
std::vector<std::uint8_t> healthy_cycle_script() {
  Writer w;
  w.u8(1);          // clock step
  w.u8(0x00);       // reply to 0x42
  w.u8(1);          // changed
  w.u16(535);       // 53.5 V
  w.u8(2);          // two modules
  w.u16(100);       // 10.0 A
  w.u8(0);
  w.u16(200);       // 20.0 A
  w.u8(0);
  return w.out;     // the rest reads as zeros: every further reply all zero
}

Stats drive_settings(const std::uint8_t* data, std::size_t size) {
  QuietStdout quiet;
  const std::string_view text(reinterpret_cast<const char*>(data), data ? size : 0);
  const std::size_t split = text.find('\0');
  Rig r;
  r.device->Init(r.host, 513, parse_json(text.substr(0, split)));
  r.configured = true;
  check_settings(r);
  if (split != std::string_view::npos) {
    r.device->InitSetting(parse_json(text.substr(split + 1)));
    check_settings(r);
  }
  // A cycle with the settings, except for the largest DC counts, whose cycles
  // the device cycle target covers (each costs a second here).
  if (r.device->DcNumber() > 64) return stats_of(r);
  const std::vector<std::uint8_t> script = healthy_cycle_script();
  Reader in(script.data(), script.size());
  now() += boost::posix_time::seconds(in.u8());
  run_cycle(r, in);
  check_device(r);
  query_values(r);
  return stats_of(r);
}

Stats drive_cache_restore(const std::uint8_t* data, std::size_t size) {
  QuietStdout quiet;
  Reader in(data, size);
  Rig r;
  const std::uint8_t flags = in.u8();
  const unsigned id = in.u16();
  const Json::Value cfg = config_from(in);
  const std::vector<std::uint8_t> payload = in.bytes(in.u16() % (in.left() + 1));
  const std::uint16_t arg = in.u16();
  auto init = [&] {
    r.device->Init(r.host, id, cfg);
    r.configured = true;
    check_settings(r);
    if (r.device->Mode() == 2) set_levels(*r.device, in);
  };
  if ((flags & 1) == 0) init();
  restore(r, payload, flags >> 1, arg, (flags & 8) != 0);
  query_values(r);
  if ((flags & 1) != 0) init();
  query_values(r);
  run_cycle(r, in);
  query_values(r);
  // A second restore, of another length: the buffer is replaced or reused.
  const std::uint16_t len2 = in.u16();
  restore(r, payload, 1, len2, (flags & 16) != 0);
  query_values(r);
  run_cycle(r, in);
  check_device(r);
  query_values(r);
  return stats_of(r);
}

}  // namespace fuzz

