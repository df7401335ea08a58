// Writes the seed corpora of the fuzz targets: whole poll cycles of a
// plausible controller in the input layouts of drivers.h, the reply frames of
// such a cycle, configurations and cached snapshots. Each seed is run through
// its driver once and what it reached is printed.
//
//   fuzz_seed_generator <source tree>
//
// writes <source tree>/fuzz/corpus/<target>/<name>, and the regression inputs
// that are too slow to be seeds to tests/fuzz_regressions/inputs/<target>/.
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>

#include "frame_codec.h"
#include "fuzz/drivers.h"
#include "protocol/protocol.h"

namespace {

namespace fs = std::filesystem;
namespace wire = hvr38qt::wire;
using fuzz::Writer;
using Bytes = std::vector<std::uint8_t>;

// Choice bytes of count_value and mode_value.
enum Count : unsigned { kZero = 0, kOne = 1, kTwo = 2, kThree = 3, kMinus1 = 4, k255 = fuzz::kCount255 };
enum Mode : unsigned { kModeMinus1 = 0, kMode0 = 1, kMode1 = 2, kMode2 = 3, kMode3 = 4, kMode7 = 5 };

struct Cycle {
  bool first = true;  // no data yet: the device asks 0x43
  bool changed = true;
  unsigned volts = 535;
  std::vector<unsigned> currents = {100, 200};
  unsigned ac = 1, dc = 1;
  bool no_dc = false;     // return code 4 to the first 0xA4
  bool short_a3 = false;  // the 128-byte 0xA3 reply
  bool odd_93 = false;    // length word 5 for 0x93
  std::vector<std::array<std::uint8_t, 4>> alarms;
  unsigned clock_step = 1, query_delay = 0;
};

void u16s(Writer& w, std::initializer_list<unsigned> values) {
  for (unsigned v : values) w.u16(v);
}

// The steps of one cycle, in the order run_cycle reads them.
void write_cycle(Writer& w, const Cycle& c) {
  const auto modules = static_cast<unsigned>(c.currents.size());
  w.u8(c.clock_step);
  w.u8(0x00);  // 0x42
  w.u8(c.changed ? 1 : 0);
  w.u16(c.volts);
  w.u8(modules);
  for (unsigned a : c.currents) {
    w.u16(a);
    w.u8(0);
  }
  if (c.first) {
    w.u8(0x00);  // 0x43
    w.u8(0);
    for (unsigned i = 0; i < modules; ++i) {
      w.u8(i == 1 ? 0xF0 : 0);
      w.u8(0);
      w.u8(0);
      w.u8(0);
    }
  }
  if (!c.changed) {
    w.u8(c.query_delay);
    return;
  }
  w.u8(0x00);  // 0x44
  w.u8(0);
  for (unsigned i = 0; i < modules; ++i) {
    w.u8(i == 0 ? 0x01 : 0);
    w.u8(0);
  }
  for (unsigned k = 1; k <= modules; ++k) {  // 0x8F
    w.u8(0x00);
    w.u8(0);
    Bytes detail(wire::kModuleDetailBytes - 2, 0);  // after the flag and number
    detail[0] = k == 2 ? 0x10 : 0;  // status bits: module fault on module 2
    detail[8] = k == 1 ? 0x01 : 0;  // communication alarm on module 1
    detail[10] = 0x01;
    detail[11] = 0xF4;
    w.bytes(detail);
  }
  w.u8(0x00);  // 0x95
  w.u8(0);
  w.u8(1);
  w.u8(0);
  w.u16(1000);
  for (unsigned u = 0; u < c.ac; ++u) {  // 0xA2
    w.u8(0x00);
    u16s(w, {2200, 2210, u == 0 ? 1200u : 2190u, 0, 0, 0, 0, 0, 0, 0, 500, 500});
    w.u8(0);
    w.u8(1);
    w.u8(0);
  }
  if (c.no_dc && c.dc > 0) {
    w.u8(0xA0);
    w.u8(4);
    w.zeros(wire::kDcUnitBytes);
  } else {
    for (unsigned u = 0; u < c.dc; ++u) {  // 0xA4
      w.u8(0x00);
      Bytes dc(wire::kDcUnitBytes, 0);
      dc[0] = 0x02;
      dc[1] = 0x17;
      dc[10] = 0x03;
      dc[11] = 0x00;
      dc[12] = 0x64;
      w.bytes(dc);
    }
  }
  w.u8(0x00);  // 0xA3
  w.u8(c.short_a3 ? 1 : 0);
  Bytes a3(c.short_a3 ? wire::kBlockA3ShortBytes : wire::kBlockA3Bytes, 0);
  for (std::size_t i = 0; i < a3.size(); ++i) a3[i] = static_cast<std::uint8_t>(i);
  w.bytes(a3);
  w.u8(0x00);  // 0x93
  w.u8(c.odd_93 ? 1 : 0);
  w.u16(0xFFFE);
  const auto count = static_cast<unsigned>(c.alarms.size());
  for (unsigned part = 0; part < wire::kAlarmListRequests; ++part) {  // 0x9C to 0x9F
    const unsigned first = wire::kAlarmsPerPart * part;
    if (part > 0 && count <= first) break;
    w.u8(0x00);
    if (part == 0) w.u8(count);
    const unsigned n = part + 1 == wire::kAlarmListRequests
                           ? count - first
                           : std::min(count - std::min(count, first), wire::kAlarmsPerPart);
    for (unsigned i = 0; i < n; ++i)
      for (std::uint8_t b : c.alarms[first + i]) w.u8(b);
    if (count == 0) break;
  }
  w.u8(c.query_delay);
}

void write_device_header(Writer& w, unsigned id, unsigned ac, unsigned dc, unsigned mode,
                         unsigned flags) {
  w.u16(id);
  w.u8(ac);
  w.u8(dc);
  w.u8(mode);
  w.u8(flags);
}

void write_levels(Writer& w) {
  for (unsigned i = 0; i < 8; ++i) w.u8(i == 2 ? 3 : i % 3);  // one rule off
  u16s(w, {550, 450, 480, 470, 560});                          // thresholds in tenths
  for (unsigned i = 0; i < 4; ++i) w.u8(i);
}

std::vector<std::array<std::uint8_t, 4>> alarm_list(unsigned n) {
  std::vector<std::array<std::uint8_t, 4>> out;
  for (unsigned i = 0; i < n; ++i) {
    // Unit 1, categories cycling through the families, big-endian codes.
    const unsigned code = i % 3 == 0 ? 300 : 1 + i % 20;
    out.push_back({1, static_cast<std::uint8_t>(1 + i % 14), static_cast<std::uint8_t>(code >> 8),
                   static_cast<std::uint8_t>(code)});
  }
  return out;
}

Bytes device_cycle_default() {
  Writer w;
  write_device_header(w, 513, kOne, kOne, kModeMinus1, 0);
  w.u8(2 - 1);
  Cycle c;
  c.alarms = {{1, 12, 0x00, 0x01}, {1, 6, 0x01, 0x2C}};
  write_cycle(w, c);
  c.first = false;
  c.changed = false;  // stops after 0x42
  write_cycle(w, c);
  return w.out;
}

Bytes device_cycle_mobile() {
  Writer w;
  write_device_header(w, 7, kTwo, kZero, kMode2, 1);
  write_levels(w);
  w.u8(2 - 1);
  Cycle c;
  c.ac = 2;
  c.dc = 0;
  c.alarms = alarm_list(51);
  write_cycle(w, c);
  c.first = false;
  c.volts = 560;
  c.currents = {100, 200, 300};
  c.alarms.clear();
  write_cycle(w, c);
  return w.out;
}

Bytes device_cycle_many_alarms() {
  Writer w;
  write_device_header(w, 1, kThree, kTwo, kMode7, 0);
  w.u8(3 - 1);
  Cycle c;
  c.ac = 3;
  c.dc = 2;
  c.alarms = alarm_list(200);
  write_cycle(w, c);
  c.first = false;
  c.no_dc = true;
  c.short_a3 = true;
  c.odd_93 = true;
  c.alarms = alarm_list(255);
  write_cycle(w, c);
  c.alarms = alarm_list(151);
  c.query_delay = 70;  // stale at the query
  write_cycle(w, c);
  return w.out;
}

Bytes device_cycle_quiet_first() {
  Writer w;
  write_device_header(w, 2, kZero, kMinus1, kMode1, 0);
  w.u8(2 - 1);
  Cycle c;
  c.changed = false;  // 0x42, 0x43, cycle end
  c.dc = 0;
  write_cycle(w, c);
  c.first = false;
  c.clock_step = 61;
  write_cycle(w, c);
  return w.out;
}

Bytes device_cycle_largest() {
  // 255 AC and DC units; after the first reply every byte reads as zero.
  Writer w;
  write_device_header(w, 3, k255, k255, kMode0, 0);
  w.u8(0);
  w.u8(0);     // clock step
  w.u8(0x00);  // 0x42
  w.u8(1);
  w.u16(480);
  w.u8(1);
  return w.out;
}

Bytes device_cycle_mode3() {
  Writer w;
  write_device_header(w, 4, kOne, kOne, kMode3, 0);
  w.u8(0);
  write_cycle(w, Cycle{});
  return w.out;
}

Bytes device_cycle_line_faults() {
  // A cycle on a bad line: noise and chunked replies, a corrupted reply, the
  // echo of a request, a reply of raw bytes, queries, a restart, a direct
  // cycle end and a cache restore mid-cycle.
  Writer w;
  write_device_header(w, 5, kOne, kOne, kMode0, 0);
  w.u8(0);
  w.u8(0);     // clock step
  w.u8(0xD0);  // echo of 0x42
  w.u8(0xC8);  // corrupted 0x42 reply
  w.u8(1);
  w.u16(535);
  w.u8(0);
  w.u16(3);
  w.u8('#');
  w.u8(0xC0);  // 0x42 reply in chunks after noise
  w.u8(2);
  w.u8('\r');
  w.u8('x');
  w.u8(1);
  w.u16(535);
  w.u8(1);
  w.u16(100);
  w.u8(0);
  for (int i = 0; i < 8; ++i) w.u8(i * 3);
  w.u8(0xD8);  // queries
  w.u8(0xB0);  // raw reply to 0x43: length mismatch
  w.u8(0);
  w.u16(3);
  w.bytes({1, 0, 0});
  w.u8(0);
  w.u8(0xE0);  // new poll
  w.u8(0xE8);  // host ends the cycle
  w.u8(0xF0);  // cache restore of 16 bytes
  w.u8(0);
  w.u16(16);
  w.zeros(16);
  w.u16(0);
  w.u8(0xF8);  // give up
  return w.out;
}

Bytes frame_stream_cycle() {
  // The replies of one cycle, each followed by a chunk of line bytes.
  const std::vector<std::pair<std::uint8_t, Bytes>> replies = {
      {0, {1, 0x02, 0x17, 2, 0x00, 0x64, 0, 0x00, 0xC8, 0}},
      {0, {2, 0, 0, 0, 0, 1, 2, 3, 0}},
      {0, {2, 0, 0, 1, 0}},
      {0, Bytes(wire::kModuleDetailBytes, 0)},
      {0, {0, 0, 0x03, 0xE8}},
      {0, Bytes(wire::kAcUnitBytes, 0x11)},
      {wire::kRtnNoDcUnits, {}},
      {0, Bytes(wire::kBlockA3Bytes, 0)},
      {0, {0xFF, 0xFE}},
      {0, {1, 1, 12, 0x01, 0x2C}},
  };
  Writer w;
  unsigned n = 1;
  for (const auto& [rtn, info] : replies) {
    const std::string f = frame::encode(0x21, 1, wire::kCid1, rtn, info);
    for (std::size_t pos = 0; pos < f.size();) {
      const std::size_t take = std::min<std::size_t>(n % 64 + 1, f.size() - pos);
      w.u8(static_cast<unsigned>(take - 1));
      for (std::size_t i = 0; i < take; ++i) w.u8(static_cast<std::uint8_t>(f[pos + i]));
      pos += take;
      n = n * 7 + 3;
    }
  }
  return w.out;
}

Bytes frame_stream_faults() {
  std::string line = "noise\r";
  std::string f = frame::encode(0x21, 1, wire::kCid1, 0, Bytes{1, 2, 3});
  line += f.substr(0, 9);  // interrupted by a new start
  std::string bad = f;
  bad[bad.size() - 2] = bad[bad.size() - 2] == '0' ? '1' : '0';  // checksum
  line += bad;
  std::string lower = f;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  line += lower;
  line += fuzz::reply_frame(0, {0x12, 0x34}, true, 0xA);  // odd length
  line += "\x7E" "2101" "\r";                             // too short
  line += "\x7E" "21014100" "G000" "FDB3" "\r";           // not hex
  std::string longest(frame::kMaxFrameChars + 3, '0');
  line += "\x7E" + longest + "\r";  // too long
  Writer w;
  for (std::size_t pos = 0; pos < line.size();) {
    const std::size_t take = std::min<std::size_t>(64, line.size() - pos);
    w.u8(static_cast<unsigned>(take - 1));
    for (std::size_t i = 0; i < take; ++i) w.u8(static_cast<std::uint8_t>(line[pos + i]));
    pos += take;
  }
  return w.out;
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// A snapshot as a healthy cycle leaves it.
Bytes real_snapshot() {
  const Bytes script = fuzz::healthy_cycle_script();
  fuzz::Rig r;
  r.device->Init(r.host, 513, fuzz::parse_json(R"({"appSetting":{"ac_number":"1","dc_number":"1"}})"));
  fuzz::Reader in(script.data(), script.size());
  in.u8();
  fuzz::run_cycle(r, in);
  return *r.device->Snapshot();
}

Bytes cache_restore(unsigned flags, unsigned mode, const Bytes& payload, unsigned arg,
                    unsigned second) {
  Writer w;
  w.u8(flags);
  w.u16(513);
  w.u8(kOne);
  w.u8(kOne);
  w.u8(mode);
  w.u16(static_cast<unsigned>(payload.size()));
  w.bytes(payload);
  w.u16(arg);
  if (mode == kMode2) write_levels(w);
  Cycle c;
  c.first = false;  // restored data counts as ready
  Writer cycle;
  write_cycle(cycle, c);
  // run_cycle reads no clock step and no query delay here.
  w.bytes(Bytes(cycle.out.begin() + 1, cycle.out.end() - 1));
  w.u16(second);
  return w.out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzz_seed_generator <source tree>\n";
    return 2;
  }
  const fs::path root = fs::path(argv[1]) / "fuzz" / "corpus";
  const fs::path regressions = fs::path(argv[1]) / "tests" / "fuzz_regressions" / "inputs";
  using Driver = std::function<fuzz::Stats(const std::uint8_t*, std::size_t)>;
  auto frame_driver = [](const std::uint8_t* d, std::size_t n) {
    fuzz::drive_frame_stream(d, n);
    return fuzz::Stats{};
  };
  const Bytes snapshot = real_snapshot();
  struct Seed {
    const char* target;
    const char* name;
    Bytes bytes;
    Driver driver;
  };
  const std::vector<Seed> seeds = {
      {"fuzz_frame_stream", "cycle_replies", frame_stream_cycle(), frame_driver},
      {"fuzz_frame_stream", "line_faults", frame_stream_faults(), frame_driver},
      {"fuzz_device_cycle", "default_mode", device_cycle_default(), fuzz::drive_device_cycle},
      {"fuzz_device_cycle", "mobile_mode", device_cycle_mobile(), fuzz::drive_device_cycle},
      {"fuzz_device_cycle", "many_alarms", device_cycle_many_alarms(), fuzz::drive_device_cycle},
      {"fuzz_device_cycle", "quiet_first", device_cycle_quiet_first(), fuzz::drive_device_cycle},
      {"fuzz_device_cycle", "mode3", device_cycle_mode3(), fuzz::drive_device_cycle},
      {"fuzz_device_cycle", "line_faults", device_cycle_line_faults(), fuzz::drive_device_cycle},
      {"fuzz_settings", "units_and_mode",
       text(R"({"appSetting":{"ac_number":"2","dc_number":"1","b_mode":"2","address":"1"}})"),
       fuzz::drive_settings},
      {"fuzz_settings", "mode3_thresholds",
       text(R"({"appSetting":{"b_mode":"3"},"thresholdSetting":{"220600120010":{"SignalName":"a","NMAlarmID":"220600120010","ID":"1","SignalNumber":"1"},"x":{},"y":[1],"z":{"ID":null,"SignalName":{"a":1}}}})"),
       fuzz::drive_settings},
      {"fuzz_settings", "resettle",
       text(std::string(R"({"appSetting":{"ac_number":300,"dc_number":"-1","b_mode":"x"}})") +
            '\0' + R"({"appSetting":{"ac_number":"3","dc_number":2.5,"reply_timeout_ms":0}})"),
       fuzz::drive_settings},
      {"fuzz_settings", "not_an_object", text(R"([{"appSetting":{"ac_number":"2"}}, null, true])"),
       fuzz::drive_settings},
      {"fuzz_cache_restore", "real_snapshot", cache_restore(0, kModeMinus1, snapshot, 0, 100),
       fuzz::drive_cache_restore},
      {"fuzz_cache_restore", "before_settings_text",
       cache_restore(1 | (1 << 1) | 8, kMode2, snapshot, 600, static_cast<unsigned>(snapshot.size())),
       fuzz::drive_cache_restore},
      {"fuzz_cache_restore", "negative_length", cache_restore(2 << 1, kMode0, Bytes(40, 0xAB), 5, 0),
       fuzz::drive_cache_restore},
      {"fuzz_cache_restore", "no_data", cache_restore(3 << 1, kMode7, Bytes(8, 1), 0xFFFF, 3),
       fuzz::drive_cache_restore},
  };
  // The largest configuration costs about a second per run: it is a
  // regression input of the test suite rather than a seed that the fuzzer
  // would keep mutating.
  {
    const Bytes b = device_cycle_largest();
    const fs::path dir = regressions / "fuzz_device_cycle";
    fs::create_directories(dir);
    std::ofstream(dir / "largest_units", std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
  for (const Seed& s : seeds) {
    const fs::path dir = root / s.target;
    fs::create_directories(dir);
    std::ofstream(dir / s.name, std::ios::binary)
        .write(reinterpret_cast<const char*>(s.bytes.data()), static_cast<std::streamsize>(s.bytes.size()));
    const fuzz::Stats st = s.driver(s.bytes.data(), s.bytes.size());
    std::cout << s.target << "/" << s.name << ": " << s.bytes.size() << " bytes, "
              << st.cycle_ends << " cycle ends, " << st.reports << " reports" << std::endl;
  }
  return 0;
}
