// Drivers shared by the fuzz targets and the regression tests. Each takes one
// arbitrary input, runs a part of the device or the codec with it and checks
// invariants on the way; a broken invariant is printed and aborts, so the
// fuzzer reports it like a crash and a regression test fails.
//
// Input layouts (every read past the end of the input gives zero bytes, so a
// short input still drives a whole cycle of a healthy, all-zero controller):
//
// frame stream   repeated: u8 chunk length - 1 (mod 64), chunk bytes
// device cycle   u16 device id, u8 ac choice, u8 dc choice, u8 mode choice,
//                u8 flags (bit 0: batched check reports a change),
//                [mode 2: 8 x u8 level, 5 x u16 threshold, 4 x u8 module
//                level], u8 cycles - 1 (mod 4; 1 cycle with more than 64
//                units), then per cycle: u8 clock step (s), the cycle's
//                steps (see run_cycle), u8 query delay (s)
// settings       JSON text; a 0 byte separates a second JSON text that is
//                applied by a second settings step
// cache restore  u8 flags (bit 0: restore before the settings step, bits 1-2:
//                length case, bit 3: text overload), u16 device id, u8 ac,
//                u8 dc, u8 mode choice, u16 payload size, payload, u16 length
//                argument, [mode 2 levels], one cycle, u16 second length,
//                one cycle
#pragma once

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <fmt/format.h>
#include <json/json.h>

#include "plugin/providers.h"
#include "frame_codec.h"
#include "transport.h"

namespace fuzz {

// ---------------------------------------------------------------------------
// Checks and input reading

[[noreturn]] inline void violated(std::string_view what) {
  std::fprintf(stderr, "invariant broken: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

inline void expect(bool ok, std::string_view what) {
  if (!ok) violated(what);
}

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(data ? size : 0) {}

  std::size_t left() const { return size_ - pos_; }
  std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t u16() {
    const unsigned hi = u8();
    return static_cast<std::uint16_t>((hi << 8) | u8());
  }
  // Appends n bytes, zeros past the end of the input.
  void append(std::vector<std::uint8_t>& out, std::size_t n) {
    const std::size_t take = std::min(n, left());
    out.insert(out.end(), data_ + pos_, data_ + pos_ + take);
    out.resize(out.size() + (n - take), 0);
    pos_ += take;
  }
  std::vector<std::uint8_t> bytes(std::size_t n) {
    std::vector<std::uint8_t> out;
    out.reserve(n);
    append(out, n);
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// The writing side of Reader, for the seed generator.
struct Writer {
  std::vector<std::uint8_t> out;
  void u8(unsigned v) { out.push_back(static_cast<std::uint8_t>(v)); }
  void u16(unsigned v) {
    u8(v >> 8);
    u8(v & 0xFF);
  }
  void bytes(const std::vector<std::uint8_t>& b) { out.insert(out.end(), b.begin(), b.end()); }
  void zeros(std::size_t n) { out.resize(out.size() + n, 0); }
};

// Quiets the debug lines that the settings step (mode 3) and the mobile
// rules write to standard output; HVR_FUZZ_STDOUT=1 keeps them.
class QuietStdout {
 public:
  QuietStdout() {
    if (std::getenv("HVR_FUZZ_STDOUT") == nullptr) {
      saved_ = std::cout.rdbuf(nullptr);
      quiet_ = true;
    }
  }
  ~QuietStdout() {
    if (quiet_) std::cout.rdbuf(saved_);  // also clears the stream's state
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  std::streambuf* saved_ = nullptr;
  bool quiet_ = false;
};

// A fixed clock that the drivers move, so that runs repeat exactly.
inline ptime& now() {
  static ptime t;
  return t;
}
inline ptime fixed_clock() { return now(); }
inline ptime start_time() {
  return ptime(boost::gregorian::date(2024, 3, 1), boost::posix_time::hours(12));
}

// ---------------------------------------------------------------------------
// Host side: a controller and a line that check what the device does

class CheckingController : public KRTController {
 public:
  HVR38QT* device = nullptr;
  bool batch_result = false;
  unsigned snapshots = 0;
  unsigned reports = 0;
  unsigned logs = 0;

  void SendSP(unsigned, int type, const unsigned char* data, unsigned size,
              bool delayed) override {
    expect(type == hvr38qt::kSnapshotType, "snapshot sent as type 5029");
    expect(!delayed, "snapshot sent undelayed");
    const auto& buffer = device->Snapshot();
    expect(size == (buffer ? static_cast<unsigned>(device->SnapshotSize()) : 0u),
           "SendSP carries the whole buffer");
    expect(size == 0 || (buffer && data == buffer->data() && buffer->size() == size),
           "SendSP carries the device's buffer");
    touch(data, size);
    last_data_ = data;
    last_size_ = size;
    ++snapshots;
  }

  void SaveDeviceHistory(unsigned, const unsigned char* data, unsigned size) override {
    expect(data == last_data_ && size == last_size_, "history holds the snapshot just sent");
    touch(data, size);
  }

  void CheckThresholdBool(unsigned, int kind, const std::string& key, const std::string& nm_id,
                          const std::string& name, const std::string& desc, bool,
                          unsigned short seq) override {
    const int mode = device->Mode();
    auto check = [&](bool ok, std::string_view what) {
      if (!ok)
        violated(fmt::format("{} (mode {}, kind {}, key {}, NM id {}, seq {})", what, mode, kind,
                             key, nm_id, seq));
    };
    check(mode != 1 && mode != 3, "no rule reports in modes 1 and 3");
    if (mode == 2) {
      const auto& levels = device->LevelMap();
      const auto it = levels.find(nm_id);
      check(it != levels.end() && it->second != 0 && it->second == kind,
            "mobile report kind is the id's nonzero level");
      check(seq == 1, "mobile report seq is 1");
      check(key == nm_id, "mobile report key is its NM id");
    } else {
      check(kind == 2, "default report kind is 2");
      // seq is the NM id's counter cut to 16 bits: with 255 DC units it wraps.
      check(key.rfind("hvr38qt_", 0) == 0, "default report key starts with hvr38qt_");
    }
    check(!nm_id.empty(), "report has an NM id");
    check(!desc.empty() || !name.empty(), "report has a text");
    ++reports;
  }

  bool DoBatchCheckThreshold(unsigned, const std::vector<rule_value>&) override {
    return batch_result;
  }

  void Log(unsigned, std::string_view text) override {
    expect(text.find("{}") == std::string_view::npos, "log line has every placeholder filled");
    ++logs;
  }

 private:
  // Reads every byte, so that the sanitizer sees a buffer shorter than its
  // announced size.
  static void touch(const unsigned char* data, unsigned size) {
    unsigned sum = 0;
    for (unsigned i = 0; i < size; ++i) sum += data[i];
    sink_ = sum;
  }

  static inline volatile unsigned sink_ = 0;
  const unsigned char* last_data_ = nullptr;
  unsigned last_size_ = 0;
};

// The line to the controller: checks every request the device sends.
class CheckingLine : public ByteTransport {
 public:
  HVR38QT* device = nullptr;
  std::string last;

  bool Open() override {
    open_ = true;
    return true;
  }
  void Close() override { open_ = false; }
  bool IsOpen() const override { return open_; }
  long Read(std::uint8_t*, std::size_t, int) override { return 0; }

  bool Write(const std::uint8_t* data, std::size_t size) override {
    expect(size >= 2 && data[0] == frame::kSoi && data[size - 1] == frame::kEoi,
           "request is one whole frame");
    frame::Frame f;
    frame::Error e{};
    expect(frame::decode({reinterpret_cast<const char*>(data + 1), size - 2}, f, e),
           "request decodes");
    expect(f.bytes[0] == 0x21 && f.bytes[2] == 0x41, "request has version 0x21 and CID1 0x41");
    const std::uint8_t cid2 = f.bytes[3];
    const std::size_t info = f.bytes.size() - 6;
    expect(info <= 1, "request carries at most one data byte");
    if (cid2 == 0xA2 || cid2 == 0xA4) {
      const std::size_t units = cid2 == 0xA2 ? device->AcUnits().size() : device->DcUnits().size();
      expect(info == 1 && f.bytes[6] >= 1 && f.bytes[6] <= units,
             "unit request addresses an existing record");
    }
    last.assign(reinterpret_cast<const char*>(data), size);
    return true;
  }

 private:
  bool open_ = false;
};

struct Rig {
  std::shared_ptr<CheckingController> host = std::make_shared<CheckingController>();
  std::shared_ptr<CheckingLine> line = std::make_shared<CheckingLine>();
  std::unique_ptr<HVR38QT> device = hvr38qt::make_device();
  bool configured = false;

  Rig() {
    now() = start_time();
    device->SetClock(&fixed_clock);
    device->SetTransport(line);
    host->device = device.get();
    line->device = device.get();
  }

  void deliver(const std::string& bytes) {
    std::vector<unsigned char> copy(bytes.begin(), bytes.end());
    device->process(copy.data(), static_cast<unsigned>(copy.size()));
  }
};

struct Stats {
  unsigned cycle_ends = 0;  // snapshots sent
  unsigned reports = 0;
};

inline Stats stats_of(const Rig& r) { return {r.host->snapshots, r.host->reports}; }

// ---------------------------------------------------------------------------
// Configuration

// A count setting: the edge values, text and numbers, null, an array (not
// readable as text) or no member at all (nullopt). The largest counts cost a
// cycle of some 170000 rule reports, so only two byte values that mutations
// seldom produce give them.
inline constexpr std::uint8_t kCount255 = 0x8E;
inline constexpr std::uint8_t kCount256 = 0x8F;
inline std::optional<Json::Value> count_value(std::uint8_t sel) {
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

inline std::optional<Json::Value> mode_value(std::uint8_t sel) {
  static constexpr const char* kModes[] = {"-1", "0", "1", "2", "3", "7", "abc"};
  if (sel % 8 == 7) return std::nullopt;
  return Json::Value(kModes[sel % 8]);
}

// Three choice bytes: ac_number, dc_number, b_mode. Mode 3 also gets a few
// threshold settings.
inline Json::Value config_from(Reader& in) {
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

inline constexpr const char* kMobileIds[] = {"220600120010", "220600130010", "220600140010",
                                             "220600160010", "220600170010", "210600320010",
                                             "210600330010", "210600340010"};
inline constexpr const char* kMobileThresholdIds[] = {"220600160010", "220600170010",
                                                      "210600320010", "210600330010",
                                                      "210600340010"};
inline constexpr const char* kMobileModulePrefixes[] = {"12060069", "12060002", "12060003",
                                                        "12060004"};
inline constexpr unsigned kLevelledModules = 32;

// A level byte: 0, 4, 8, ... turn the rule off, anything else gives 1 to 3.
inline int level_of(std::uint8_t v) { return v % 4 == 3 ? 0 : v % 4 + 1; }

inline void set_levels(HVR38QT& d, Reader& in) {
  for (const char* id : kMobileIds) d.LevelMap()[id] = level_of(in.u8());
  for (const char* id : kMobileThresholdIds) d.ValueMap()[id] = static_cast<float>(in.u16()) / 10.0f;
  for (const char* prefix : kMobileModulePrefixes) {
    const int level = level_of(in.u8());
    for (unsigned n = 1; n <= kLevelledModules; ++n)
      d.LevelMap()[fmt::format("{}{:03}0", prefix, n)] = level;
  }
}

inline void check_settings(const Rig& r) {
  const HVR38QT& d = *r.device;
  expect(d.AcNumber() >= 1 && d.AcNumber() <= hvr38qt::kMaxUnits, "ac_number in 1..255");
  expect(d.DcNumber() >= 0 && d.DcNumber() <= hvr38qt::kMaxUnits, "dc_number in 0..255");
  expect(d.AcUnits().size() == static_cast<std::size_t>(d.AcNumber()), "one AC record per unit");
  expect(d.DcUnits().size() == static_cast<std::size_t>(d.DcNumber()), "one DC record per unit");
  expect(d.Header().device_id == d.DataId(), "header carries the device id");
}

inline void check_device(const Rig& r) {
  const HVR38QT& d = *r.device;
  if (r.configured) check_settings(r);
  if (d.Snapshot())
    expect(d.Snapshot()->size() == static_cast<std::size_t>(d.SnapshotSize()),
           "snapshot size matches the buffer");
  expect(d.Modules().size() >= d.Header().module_count, "a record for every announced module");
  expect(d.AlarmList().size() <= 255, "at most 255 alarm items");
  if (d.DataReady() == 1) expect(!d.LastUpdate().is_special(), "ready data has a time");
}

// ---------------------------------------------------------------------------
// Value queries

inline void query_values(const Rig& r) {
  static constexpr const char* kNames[] = {"va1", "vb1", "vc1", "out_v", "ac",
                                           "ac1", "ac2", "VA1", "va1 ", ""};
  const HVR38QT& d = *r.device;
  const bool ready = d.DataReady() == 1;
  const bool stale = ready && (now() - d.LastUpdate()).total_seconds() >= 61;
  for (const char* name : kNames) {
    const std::string_view n(name);
    const bool known = n == "va1" || n == "vb1" || n == "vc1" || n == "out_v" || n == "ac" ||
                       n == "ac1" || n == "ac2";
    try {
      const float v = d.Get_Value(0, name);
      expect(ready && !stale && known, "a value only for a known name on fresh data");
      if (n == "ac" || n == "ac1" || n == "ac2") expect(v == 0.0f || v == 1.0f, "AC failure is 0 or 1");
      if (n == "out_v") expect(v == d.Header().output_voltage, "out_v is the output voltage");
    } catch (const std::out_of_range& e) {
      const std::string_view m = e.what();
      if (!ready) {
        expect(m == "数据未就绪", "not ready refused as such");
      } else if (stale) {
        expect(m == "数据已超时", "stale data refused as such");
      } else {
        expect(!known && m == "不支持变量", "unknown name refused as such");
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Replies

inline std::string reply_frame(std::uint8_t rtn, const std::vector<std::uint8_t>& info,
                               bool odd = false, std::uint8_t nibble = 0) {
  if (!odd) return frame::encode(0x21, 1, 0x41, rtn, info);
  // One more hex digit after the info bytes: an odd length word.
  const std::size_t n = std::min(info.size(), (frame::kMaxInfoChars - 1) / 2);
  const auto lenid = static_cast<std::uint16_t>(2 * n + 1);
  const unsigned length = (static_cast<unsigned>(frame::lchksum(lenid)) << 12) | lenid;
  std::string body = fmt::format("{:02X}{:02X}{:02X}{:02X}{:04X}", 0x21, 1, 0x41, rtn, length);
  for (std::size_t i = 0; i < n; ++i) fmt::format_to(std::back_inserter(body), "{:02X}", info[i]);
  body.push_back("0123456789ABCDEF"[nibble & 0xF]);
  fmt::format_to(std::back_inserter(body), "{:04X}", frame::chksum(body));
  return static_cast<char>(frame::kSoi) + body + static_cast<char>(frame::kEoi);
}

// The data byte of the last request, or -1.
inline int request_byte(const std::string& request) {
  frame::Frame f;
  frame::Error e{};
  if (request.size() < 2 || !frame::decode(std::string_view(request).substr(1, request.size() - 2), f, e))
    return -1;
  return f.bytes.size() > 6 ? f.bytes[6] : -1;
}

// Extra bytes after a module group: most groups have none.
inline void module_group_tail(std::vector<std::uint8_t>& info, Reader& in) {
  const std::uint8_t sel = in.u8();
  const std::size_t extra = sel >= 0xF8 ? sel - 0xF7u : 0u;
  info.push_back(static_cast<std::uint8_t>(extra));
  in.append(info, extra);
}

struct Reply {
  std::vector<std::uint8_t> info;
  bool odd = false;
};

// The reply a controller could give to the outstanding request, its fields
// taken from the input.
inline Reply template_reply(const Rig& rig, unsigned& next_module, Reader& in) {
  const HVR38QT& d = *rig.device;
  Reply r;
  auto& info = r.info;
  const unsigned cid2 = d.PendingCommand();
  switch (cid2) {
    case 0x42: {
      info.push_back(in.u8());  // change indicator
      const std::uint16_t volts = in.u16();
      info.push_back(static_cast<std::uint8_t>(volts >> 8));
      info.push_back(static_cast<std::uint8_t>(volts));
      const std::uint8_t modules = in.u8();
      info.push_back(modules);
      for (unsigned i = 0; i < modules; ++i) {
        in.append(info, 2);  // current
        module_group_tail(info, in);
      }
      break;
    }
    case 0x43:
    case 0x44: {
      const std::uint8_t sel = in.u8();
      const std::uint8_t count = sel == 0xFF ? in.u8() : d.Header().module_count;
      info.push_back(count);
      for (unsigned i = 0; i < count; ++i) {
        in.append(info, cid2 == 0x43 ? 3 : 1);
        module_group_tail(info, in);
      }
      break;
    }
    case 0x8F: {
      if (request_byte(rig.line->last) == 0) next_module = 1;
      const std::uint8_t sel = in.u8();
      std::uint8_t k = static_cast<std::uint8_t>(next_module);
      std::uint8_t last = next_module >= d.Header().module_count ? 1 : 0;
      if (sel >= 0xC0 && sel < 0xE0) last = 1;
      if (sel >= 0xE0 && sel < 0xF0) {
        k = in.u8();
        last = in.u8() % 3;
      }
      if (sel >= 0xF0) last = 2;
      next_module = k + 1u;
      info = {last, k};
      in.append(info, 59);
      break;
    }
    case 0x95: {
      const std::uint8_t sel = in.u8();
      in.append(info, sel < 0xF0 ? 4 : sel & 7);
      r.odd = sel >= 0xF8;
      break;
    }
    case 0xA2: in.append(info, 27); break;
    case 0xA4: in.append(info, 219); break;
    case 0xA3: in.append(info, (in.u8() & 1) ? 128 : 144); break;
    case 0x93: {
      r.odd = (in.u8() & 1) != 0;
      in.append(info, 2);
      break;
    }
    case 0x9C: {
      const std::uint8_t count = in.u8();
      info.push_back(count);
      in.append(info, 4u * std::min<unsigned>(count, 50));
      break;
    }
    case 0x9D:
    case 0x9E:
    case 0x9F: {
      const unsigned part = cid2 - 0x9C;
      const unsigned first = 50 * part;
      const unsigned left = d.AlarmCount() > first ? d.AlarmCount() - first : 0;
      in.append(info, 4u * (part == 3 ? left : std::min(left, 50u)));
      break;
    }
    default: in.append(info, in.u8() % 8); break;
  }
  return r;
}

// ---------------------------------------------------------------------------
// Restoring a cached snapshot

// Case (0-3): 0 the whole payload, 1 a length up to the payload's size,
// 2 a negative length, 3 no data.
inline void restore(Rig& r, const std::vector<std::uint8_t>& payload, unsigned which,
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

inline constexpr unsigned kMaxSteps = 4096;

// Starts a poll and answers every request until the cycle is over. Each step
// takes an operation byte:
//   00-9F reply as a controller would, A0-AF the same with a return code
//   from the input, B0-B7 a reply of raw info bytes (u8 return code, u16
//   length mod 1024, bytes), B8-BF the same with an odd length word, C0-C7 a
//   reply in chunks with line noise before it, C8-CF a reply with one
//   character changed, D0-D7 the request echoed by the line, D8-DF value
//   queries, E0-E7 a new poll, E8-EF the host ends the cycle (RoundDone),
//   F0-F7 a cache restore, F8-FF the host gives up on the cycle.
inline void run_cycle(Rig& r, Reader& in) {
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
inline void drive_frame_stream(const std::uint8_t* data, std::size_t size) {
  struct Event {
    bool frame;
    frame::Error error;
    std::vector<std::uint8_t> bytes;
    std::string text;
    bool operator==(const Event&) const = default;
  };
  Reader in(data, size);
  std::vector<Event> chunked, whole;
  std::vector<std::uint8_t> all;
  auto on_frame_to = [](std::vector<Event>& to) {
    return [&to](const frame::Frame& f) { to.push_back({true, {}, f.bytes, f.text}); };
  };
  auto on_error_to = [](std::vector<Event>& to) {
    return [&to](frame::Error e, std::string_view chars) {
      to.push_back({false, e, {}, std::string(chars)});
    };
  };
  frame::StreamDecoder split;
  while (in.left() > 0) {
    const std::size_t n = in.u8() % 64 + 1u;
    const std::vector<std::uint8_t> chunk = in.bytes(std::min(n, in.left()));
    split.feed(chunk.data(), chunk.size(), on_frame_to(chunked), on_error_to(chunked));
    all.insert(all.end(), chunk.begin(), chunk.end());
  }
  frame::StreamDecoder one;
  one.feed(all.data(), all.size(), on_frame_to(whole), on_error_to(whole));
  expect(chunked == whole, "chunking does not change what is decoded");
  expect(split.in_frame() == one.in_frame(), "chunking does not change the decoder state");

  for (const Event& e : whole) {
    if (!e.frame) {
      expect(frame::describe(e.error)[0] != '\0', "every error is described");
      continue;
    }
    expect(e.bytes.size() >= 6, "a frame has its header");
    const unsigned lenid = e.bytes[4] | (e.bytes[5] << 8);
    expect(e.bytes.size() == 6 + lenid / 2, "info bytes are the whole bytes of the length");
    if (lenid % 2 == 0) {
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

inline Stats drive_device_cycle(const std::uint8_t* data, std::size_t size) {
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

inline Json::Value parse_json(std::string_view text) {
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
inline std::vector<std::uint8_t> healthy_cycle_script() {
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

inline Stats drive_settings(const std::uint8_t* data, std::size_t size) {
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

inline Stats drive_cache_restore(const std::uint8_t* data, std::size_t size) {
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
