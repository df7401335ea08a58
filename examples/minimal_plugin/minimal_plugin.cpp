// The smallest useful device plug-in: one request per poll (the analogue
// values, command 0x42) and a 9-byte snapshot of what it says: the device
// id (u32), the output voltage (f32, volts) and the module count (u8), the
// same first bytes as the full device's snapshot header.
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "pmbus_protocol.h"

namespace {

constexpr unsigned char kCid1 = 0x41;
constexpr unsigned char kAnalog = 0x42;
constexpr int kSnapshotType = 1;

class MinimalDevice : public PMBusProtocol {
 public:
  MinimalDevice() {
    device_type_ = "minimal";
    protocol_version_ = 0x21;
  }

  int LoadFromCache(const unsigned char* data, int len) override {
    if (data == nullptr || len != static_cast<int>(snapshot_.size())) return 0;
    std::memcpy(snapshot_.data(), data, snapshot_.size());
    data_ready_ = 1;
    return 1;
  }

  int RefreshStatus() override {
    KRTSPDevice::RefreshStatus();
    return write_pmbus_cmd(kCid1, kAnalog);
  }

  void RoundDone() override {
    data_ready_ = 1;
    status_ = 1;
    last_update_ = Now();
    SendSP(kSnapshotType, snapshot_.data(), static_cast<unsigned>(snapshot_.size()), false);
    Reset();
  }

  int process_payload() override {
    // [VER, ADR, CID1, RTN, length low, length high, info...]: info byte 0
    // the change flag, 1-2 the voltage in tenths, 3 the module count.
    const auto& r = reply();
    if (r.size() < 10 || r[3] != 0) {
      InfoLog("minimal {} unusable reply to 0x42", DataId());
      Reset();
      return 0;
    }
    const std::uint32_t id = DataId();
    const float volts = static_cast<float>((r[7] << 8) | r[8]) / 10.0f;
    std::memcpy(snapshot_.data(), &id, sizeof id);
    std::memcpy(snapshot_.data() + 4, &volts, sizeof volts);
    snapshot_[8] = r[9];
    RoundDone();
    return 0;
  }

 private:
  std::array<unsigned char, 9> snapshot_{};
};

class MinimalProvider : public KRTSPDeviceProvider {
 public:
  KRTSPDevice* create() const override { return new MinimalDevice(); }
};

}  // namespace

// The host finds the entry point by its plain name.
extern "C" __attribute__((visibility("default"))) ProviderList get_providers() {
  return ProviderList{std::make_shared<MinimalProvider>()};
}
