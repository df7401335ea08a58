// The site's northbound MQTT publisher. Device threads hand it statuses and
// alarm events and return at once; one thread of its own owns the broker
// connection, reconnects with back-off and publishes:
//
//   P/status     retained QoS 1  "online" on connect, "offline" on Stop and as last will
//   P/D/state    retained QoS 1  on every state change of device D
//   P/D/values   retained QoS 0  on every completed poll that answered values
//   P/D/alarms   retained QoS 1  the active alarm set, when it changes
//   P/D/alarm             QoS 1  every raise and clear, queued until the broker acknowledged it
//
// On every (re)connect it publishes "online" and the current retained topics
// again. Raise and clear events survive a broker that is away or restarting:
// each leaves the queue only on the broker's PUBACK, so one may arrive twice
// (with the same content) but none is lost while the queue has room.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "site_config.h"
#include "site_types.h"

struct mosquitto;

namespace krthost::site {

struct MqttStats {
  bool connected = false;
  std::size_t queued_events = 0;     // raise/clear events not yet acknowledged
  std::uint64_t delivered_events = 0;  // acknowledged by the broker
  std::uint64_t dropped_events = 0;    // pushed out of a full queue
  std::uint64_t connects = 0;          // successful connections
};

class MqttPublisher : public SiteSink {
 public:
  using LogFn = std::function<void(const std::string&)>;

  // `event_limit`: raise/clear events kept while the broker is away; when
  // full the oldest go (counted and logged).
  MqttPublisher(const MqttSettings& settings, LogFn log, std::size_t event_limit = 10000);
  ~MqttPublisher() override;
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  // Starts the connection thread. Throws std::runtime_error when the
  // settings cannot make valid topics or the client cannot be created; a
  // broker that is not there is no error (it is retried).
  void Start();
  // Delivers what is queued for at most about two seconds, publishes
  // "offline" (retained), disconnects and stops the thread. Returns within
  // a few seconds whatever the broker does. Idempotent.
  void Stop();

  void OnStatus(const std::shared_ptr<const DeviceStatus>& status, bool changed) override;
  void OnAlarm(const AlarmEvent& event) override;
  // Forgets the device: it is no longer republished on reconnect. Its
  // retained topics stay on the broker as its last known state (this is
  // also called for every device when the host stops, and the state next to
  // P/status "offline" is what a late subscriber should still see).
  void OnDeviceRemoved(const std::string& name) override;

  MqttStats Stats() const;
  const std::string& TopicPrefix() const { return prefix_; }

 private:
  using Clock = std::chrono::steady_clock;

  struct Device {
    std::shared_ptr<const DeviceStatus> latest;
    std::shared_ptr<const DeviceStatus> with_values;  // latest completed poll with values
    bool state_dirty = false, values_dirty = false, alarms_dirty = false;
  };
  struct Event {
    std::uint64_t seq = 0;
    std::string topic, payload;
    int mid = -1;  // in flight on the current connection; -1: not sent
    bool acked = false;
  };
  struct Outgoing {
    std::string topic, payload;
    int qos = 0;
    bool retain = false;
    std::uint64_t event_seq = 0;  // 0: not a queued event
  };
  struct Throttle {
    Clock::time_point last{};
    bool logged = false;
    int suppressed = 0;
  };

  void Run();
  bool Connect();
  void Drop(bool log_loss);
  bool Service(int timeout_ms);
  bool Pump();
  void Wake();
  void LogLimited(const std::string& kind, const std::string& text);
  bool TopicUsable(const std::string& device, bool& newly_bad);
  void LogBadName(const std::string& device);

  static void OnConnectCb(mosquitto* m, void* self, int rc);
  static void OnPublishCb(mosquitto* m, void* self, int mid);

  MqttSettings settings_;
  LogFn log_;
  std::size_t event_limit_;
  std::string prefix_;
  std::string status_topic_;

  mutable std::mutex mutex_;
  std::map<std::string, Device> devices_;
  std::deque<Event> events_;
  std::uint64_t next_seq_ = 1;
  std::uint64_t dropped_ = 0, dropped_unlogged_ = 0, delivered_ = 0, connects_ = 0;
  bool online_pending_ = false;
  int offline_mid_ = -1;
  bool offline_acked_ = false;
  std::map<std::string, bool> bad_topics_;  // device name: makes no valid topic

  // Owned by the connection thread.
  mosquitto* mosq_ = nullptr;
  std::atomic<bool> connected_{false};  // CONNACK accepted on the current connection
  int connack_rc_ = 0;                  // a refusal seen on the current connection
  Clock::time_point attempt_started_{};
  std::map<std::string, Throttle> throttles_;

  int wake_fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  bool started_ = false;
};

}  // namespace krthost::site
