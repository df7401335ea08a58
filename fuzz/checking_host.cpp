#include "fuzz/checking_host.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <fmt/format.h>

#include "frame_codec.h"
#include "protocol/protocol.h"

namespace fuzz {

namespace wire = hvr38qt::wire;

void violated(std::string_view what) {
  std::fprintf(stderr, "invariant broken: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

QuietStdout::QuietStdout() {
  if (std::getenv("HVR_FUZZ_STDOUT") == nullptr) {
    saved_ = std::cout.rdbuf(nullptr);
    quiet_ = true;
  }
}

QuietStdout::~QuietStdout() {
  if (quiet_) std::cout.rdbuf(saved_);  // also clears the stream's state
}

ptime& now() {
  static ptime t;
  return t;
}
ptime fixed_clock() { return now(); }
ptime start_time() {
  return ptime(boost::gregorian::date(2024, 3, 1), boost::posix_time::hours(12));
}

namespace {

// Reads every byte, so that the sanitizer sees a buffer shorter than its
// announced size.
volatile unsigned sink = 0;
void touch(const unsigned char* data, unsigned size) {
  unsigned sum = 0;
  for (unsigned i = 0; i < size; ++i) sum += data[i];
  sink = sum;
}

}  // namespace

// ---------------------------------------------------------------------------
// Controller

void CheckingController::SendSP(unsigned, int type, const unsigned char* data, unsigned size,
                                bool delayed) {
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

void CheckingController::SaveDeviceHistory(unsigned, const unsigned char* data, unsigned size) {
  expect(data == last_data_ && size == last_size_, "history holds the snapshot just sent");
  touch(data, size);
}

void CheckingController::CheckThresholdBool(unsigned, int kind, const std::string& key,
                                            const std::string& nm_id, const std::string& name,
                                            const std::string& desc, bool, unsigned short seq) {
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

void CheckingController::Log(unsigned, std::string_view text) {
  expect(text.find("{}") == std::string_view::npos, "log line has every placeholder filled");
  ++logs;
}

// ---------------------------------------------------------------------------
// Line

bool CheckingLine::Write(const std::uint8_t* data, std::size_t size) {
  expect(size >= 2 && data[0] == frame::kSoi && data[size - 1] == frame::kEoi,
         "request is one whole frame");
  frame::Frame f;
  frame::Error e{};
  expect(frame::decode({reinterpret_cast<const char*>(data + 1), size - 2}, f, e),
         "request decodes");
  expect(f.bytes[0] == 0x21 && f.bytes[2] == wire::kCid1, "request has version 0x21 and CID1 0x41");
  const auto cid2 = static_cast<wire::Cid2>(f.bytes[3]);
  const std::size_t info = f.bytes.size() - 6;
  expect(info <= 1, "request carries at most one data byte");
  if (cid2 == wire::Cid2::kAcUnit || cid2 == wire::Cid2::kDcUnit) {
    const std::size_t units =
        cid2 == wire::Cid2::kAcUnit ? device->AcUnits().size() : device->DcUnits().size();
    expect(info == 1 && f.bytes[6] >= 1 && f.bytes[6] <= units,
           "unit request addresses an existing record");
  }
  last.assign(reinterpret_cast<const char*>(data), size);
  return true;
}

// ---------------------------------------------------------------------------
// Rig and checks

Rig::Rig() {
  now() = start_time();
  device->SetClock(&fixed_clock);
  device->SetTransport(line);
  host->device = device.get();
  line->device = device.get();
}

void Rig::deliver(const std::string& bytes) {
  std::vector<unsigned char> copy(bytes.begin(), bytes.end());
  device->process(copy.data(), static_cast<unsigned>(copy.size()));
}

void check_settings(const Rig& r) {
  const HVR38QT& d = *r.device;
  expect(d.AcNumber() >= 1 && d.AcNumber() <= hvr38qt::kMaxUnits, "ac_number in 1..255");
  expect(d.DcNumber() >= 0 && d.DcNumber() <= hvr38qt::kMaxUnits, "dc_number in 0..255");
  expect(d.AcUnits().size() == static_cast<std::size_t>(d.AcNumber()), "one AC record per unit");
  expect(d.DcUnits().size() == static_cast<std::size_t>(d.DcNumber()), "one DC record per unit");
  expect(d.Header().device_id == d.DataId(), "header carries the device id");
}

void check_device(const Rig& r) {
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

void query_values(const Rig& r) {
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

}  // namespace fuzz
