// The host side of the fuzz drivers: a controller and a line that check
// every effect and every request of the device, the rig that joins them to
// one device, and the checks of the device's state. A broken invariant is
// printed and aborts, so the fuzzer reports it like a crash and a regression
// test fails.
#pragma once

#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "device/hvr38qt.h"
#include "plugin/providers.h"
#include "transport.h"

namespace fuzz {

[[noreturn]] void violated(std::string_view what);

inline void expect(bool ok, std::string_view what) {
  if (!ok) violated(what);
}

// Quiets the debug lines that the settings step (mode 3) and the mobile
// rules write to standard output; HVR_FUZZ_STDOUT=1 keeps them.
class QuietStdout {
 public:
  QuietStdout();
  ~QuietStdout();
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  std::streambuf* saved_ = nullptr;
  bool quiet_ = false;
};

// A fixed clock that the drivers move, so that runs repeat exactly.
ptime& now();
ptime fixed_clock();
ptime start_time();

class CheckingController : public KRTController {
 public:
  HVR38QT* device = nullptr;
  bool batch_result = false;
  unsigned snapshots = 0;
  unsigned reports = 0;
  unsigned logs = 0;

  void SendSP(unsigned, int type, const unsigned char* data, unsigned size, bool delayed) override;
  void SaveDeviceHistory(unsigned, const unsigned char* data, unsigned size) override;
  void CheckThresholdBool(unsigned, int kind, const std::string& key, const std::string& nm_id,
                          const std::string& name, const std::string& desc, bool,
                          unsigned short seq) override;
  bool DoBatchCheckThreshold(unsigned, const std::vector<rule_value>&) override {
    return batch_result;
  }
  void Log(unsigned, std::string_view text) override;

 private:
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
  bool Write(const std::uint8_t* data, std::size_t size) override;

 private:
  bool open_ = false;
};

struct Rig {
  std::shared_ptr<CheckingController> host = std::make_shared<CheckingController>();
  std::shared_ptr<CheckingLine> line = std::make_shared<CheckingLine>();
  std::unique_ptr<HVR38QT> device = hvr38qt::make_device();
  bool configured = false;

  Rig();
  void deliver(const std::string& bytes);
};

struct Stats {
  unsigned cycle_ends = 0;  // snapshots sent
  unsigned reports = 0;
};

inline Stats stats_of(const Rig& r) { return {r.host->snapshots, r.host->reports}; }

void check_settings(const Rig& r);
void check_device(const Rig& r);
// Asks every value name, known and unknown, and checks each answer against
// the device's data and its age.
void query_values(const Rig& r);

}  // namespace fuzz
