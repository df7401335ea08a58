// Host device framework: the classes a device plug-in derives from and the
// controller through which every observable effect of a device reaches the
// host (snapshots, history, rule reports, log lines).
//
// Virtual operations are declared in a fixed slot order; plug-ins built
// against this header rely on it, so new operations go to the end only.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <fmt/format.h>
#include <json/json.h>

#include "transport.h"

using boost::posix_time::ptime;

// One entry of a device's batched rule list. The host fills and reads it;
// the plug-in only passes the list on.
struct rule_value {
  std::string key;
  int kind = 0;
  double value = 0.0;
  bool active = false;
};

// The 7-byte host time: year (u16, little-endian), month 1-12, day 1-31,
// hour 0-23, minute 0-59, second 0-59. A not-a-date-time gives all zero.
using ttime = std::array<std::uint8_t, 7>;
ttime get_ttime(const ptime& t);

namespace krt_detail {
// u8 arguments are logged as numbers, not as characters.
template <class T>
decltype(auto) log_arg(const T& v) {
  if constexpr (std::is_same_v<T, unsigned char> || std::is_same_v<T, signed char> ||
                std::is_same_v<T, char>) {
    return static_cast<int>(v);
  } else {
    return (v);
  }
}
}  // namespace krt_detail

// The host side of every device: receives what devices publish.
// Each hook is virtual so that a host program (or a test) can record it;
// the defaults discard everything.
class KRTController {
 public:
  virtual ~KRTController();

  virtual void SendSP(unsigned device_id, int type, const unsigned char* data, unsigned size,
                      bool delayed);
  virtual void SaveDeviceHistory(unsigned device_id, const unsigned char* data, unsigned size);
  virtual void CheckThresholdBool(unsigned device_id, int kind, const std::string& key,
                                  const std::string& nm_id, const std::string& name,
                                  const std::string& desc, bool active, unsigned short seq);
  // Returns true when a batched rule changed state. Default: no change.
  virtual bool DoBatchCheckThreshold(unsigned device_id, const std::vector<rule_value>& rules);
  // A formatted log line of a device. Default: discarded.
  virtual void Log(unsigned device_id, std::string_view text);

  // Formats "{}" placeholders with {fmt} and hands the text to Log. A message
  // whose placeholders do not fit its arguments is logged as it stands.
  template <class... Args>
  void InfoLog(unsigned device_id, const char* message, const Args&... args) {
    std::string text;
    try {
      text = fmt::format(fmt::runtime(message), krt_detail::log_arg(args)...);
    } catch (const fmt::format_error&) {
      text = message;
    }
    Log(device_id, text);
  }
};

class VDeviceInterface;
using VDevicePtr = std::shared_ptr<VDeviceInterface>;

// Root of all devices. The order of the virtual operations below is the
// device's slot layout.
class VDeviceInterface {
 public:
  VDeviceInterface();

  // Slot 0: a named value. The default refuses: no data.
  virtual float Get_Value(unsigned id, const std::string& name) const;
  virtual int LoadFromCache(const std::string& data);
  virtual int LoadFromCache(const unsigned char* data, int len) = 0;
  virtual unsigned DataId() const;
  virtual const std::string& DeviceType() const;
  virtual int DeviceIoControl(int code, void* in, void* out) = 0;
  virtual void RoundDone() = 0;
  virtual bool UseControllerDb() const;
  virtual ~VDeviceInterface();
  virtual void Reset() = 0;
  virtual int InitV(unsigned id, const Json::Value& config) = 0;
  virtual int Init(std::weak_ptr<KRTController> controller, unsigned id,
                   const Json::Value& config) = 0;
  virtual int InitSetting(const Json::Value& config) = 0;
  virtual bool IsSupportDevice(const std::string& type) const = 0;
  virtual VDevicePtr GetChildVDevice(unsigned id) const;
  virtual std::vector<VDevicePtr> GetAllChildVDevices() const;
  virtual void SendSP(int type, const unsigned char* data, unsigned size, bool delayed) = 0;
  virtual int SendDelayData() = 0;
  virtual int SendDoData(unsigned channel, int value) = 0;
  virtual int ReadDi(unsigned channel) = 0;
  virtual float ReadAi(unsigned channel) = 0;
  virtual int Get_SP_Value(int type, std::vector<unsigned char>& out) const = 0;

  void SetUseControllerDb(bool use) { use_controller_db_ = use; }

 protected:
  unsigned data_id_ = 0;
  std::string device_type_;

 private:
  bool use_controller_db_ = false;
};

// A device that belongs to a controller: flags, maps and the forwarding of
// its effects to the controller.
class KRTVDevice : public VDeviceInterface {
 public:
  using Clock = ptime (*)();

  KRTVDevice();
  ~KRTVDevice() override;

  int DeviceIoControl(int code, void* in, void* out) override;
  int InitV(unsigned id, const Json::Value& config) override;
  bool IsSupportDevice(const std::string& type) const override;
  void SendSP(int type, const unsigned char* data, unsigned size, bool delayed) override;
  int SendDelayData() override;
  int SendDoData(unsigned channel, int value) override;
  int ReadDi(unsigned channel) override;
  float ReadAi(unsigned channel) override;
  int Get_SP_Value(int type, std::vector<unsigned char>& out) const override;

  // Effects, forwarded to the controller while it is alive.
  void SaveDeviceHistory(const unsigned char* data, unsigned size);
  void CheckThresholdBool(int kind, const std::string& key, const std::string& nm_id,
                          const std::string& name, const std::string& desc, bool active,
                          unsigned short seq);
  bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);

  template <class... Args>
  void InfoLog(const char* message, const Args&... args) {
    if (auto c = controller_.lock()) c->InfoLog(data_id_, message, args...);
  }

  std::shared_ptr<KRTController> LockController() const { return controller_.lock(); }
  void SetController(std::weak_ptr<KRTController> c) { controller_ = std::move(c); }
  void SetDataId(unsigned id) { data_id_ = id; }

  // The host's per-device maps for threshold rules, keyed by alarm id.
  // Lookups with operator[] insert a zero entry for a missing key.
  std::map<std::string, int>& LevelMap() { return level_map_; }
  std::map<std::string, float>& ValueMap() { return value_map_; }
  std::vector<rule_value>& RuleList() { return rule_list_; }

  // Flags the host reads.
  std::uint8_t DataReady() const { return data_ready_; }
  std::uint8_t DataChanged() const { return data_change_; }
  std::uint16_t Status() const { return status_; }
  ptime LastUpdate() const { return last_update_; }
  void SetLastUpdate(ptime t) { last_update_ = t; }

  // Local time source, second resolution. Replaceable so that freshness can
  // be tested without waiting.
  void SetClock(Clock clock) { clock_ = clock; }
  ptime Now() const { return clock_(); }

 protected:
  std::uint8_t data_ready_ = 0;
  ptime last_update_;
  std::uint8_t data_change_ = 0;
  std::uint16_t status_ = 0;
  std::vector<rule_value> rule_list_;
  std::map<std::string, int> level_map_;
  std::map<std::string, float> value_map_;
  std::weak_ptr<KRTController> controller_;

 private:
  Clock clock_;
};

// A device on a serial line: owns the byte transport and the poll entry.
class KRTSPDevice : public KRTVDevice {
 public:
  KRTSPDevice();
  ~KRTSPDevice() override;

  void Reset() override;
  int Init(std::weak_ptr<KRTController> controller, unsigned id,
           const Json::Value& config) override;
  virtual int RefreshStatus();
  virtual void process(unsigned char* data, unsigned int len) = 0;
  virtual bool IsProcessing() const;
  virtual bool IsStalled() const;
  virtual int SendData(const unsigned char* data, unsigned size);
  virtual int SendParityData(const unsigned char* data, unsigned size);
  virtual int OpenPort();
  virtual void ClosePort();

  // The line to the controller. Without a transport nothing is sent.
  void SetTransport(std::shared_ptr<ByteTransport> transport);
  const std::shared_ptr<ByteTransport>& Transport() const { return transport_; }
  std::uint32_t BaudRate() const { return baud_rate_; }

 protected:
  std::uint32_t baud_rate_ = 9600;

 private:
  std::shared_ptr<ByteTransport> transport_;
  // The last open failed; cleared at the start of each poll (RefreshStatus).
  bool open_failed_ = false;
};

// Factories: the plug-in's entry point returns a list of these.
class Provider {
 public:
  Provider() = default;
  virtual ~Provider();
};

class KRTSPDeviceProvider : public Provider {
 public:
  ~KRTSPDeviceProvider() override;
  virtual KRTSPDevice* create() const = 0;
};

using ProviderList = std::vector<std::shared_ptr<Provider>>;
// The signature of a plug-in's exported `get_providers`.
using GetProvidersFn = ProviderList (*)();
