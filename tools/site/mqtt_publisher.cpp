#include "mqtt_publisher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>
#include <json/json.h>
#include <mosquitto.h>

#include "alarm_json.h"

namespace krthost::site {
namespace {

constexpr int kQos1 = 1;
constexpr std::size_t kInFlightWindow = 100;  // events handed to the library at once
constexpr auto kBackoffFirst = std::chrono::seconds(1);
constexpr auto kBackoffMax = std::chrono::seconds(30);
constexpr auto kConnackTimeout = std::chrono::seconds(10);
constexpr auto kLogEvery = std::chrono::minutes(1);
constexpr auto kStopDrain = std::chrono::seconds(2);
constexpr auto kStopOffline = std::chrono::seconds(1);

void LibInit() {
  static const int rc = mosquitto_lib_init();
  (void)rc;
}

// Compact UTF-8 JSON. Text that is not valid UTF-8 (a device's own strings
// are bytes off the line) is written again with every non-ASCII character
// escaped, which turns invalid sequences into U+FFFD: the payload always
// parses as UTF-8 JSON.
std::string Write(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  b["emitUTF8"] = true;
  b["precision"] = 15;
  std::string out = Json::writeString(b, v);
  if (mosquitto_validate_utf8(out.data(), static_cast<int>(out.size())) != MOSQ_ERR_SUCCESS) {
    b["emitUTF8"] = false;
    out = Json::writeString(b, v);
  }
  return out;
}


// A value the device answered as a float is written as that float's
// shortest text (230.4, not 230.399993896484); NaN and infinities as null.
Json::Value Number(double d) {
  if (!std::isfinite(d)) return Json::Value();
  const float f = static_cast<float>(d);
  if (static_cast<double>(f) == d) {
    char buf[64];
    const auto text = std::to_chars(buf, buf + sizeof buf, f);
    double shortest = d;
    if (text.ec == std::errc() && std::from_chars(buf, text.ptr, shortest).ec == std::errc()) return shortest;
  }
  return d;
}

bool SameAlarms(const AlarmList& a, const AlarmList& b) {
  if (a.SameAs(b)) return true;
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.key == y.key && x.desc == y.desc && x.nm_id == y.nm_id && x.seq == y.seq &&
           x.kind == y.kind && x.name == y.name && x.raised_at == y.raised_at;
  });
}

std::string StatePayload(const DeviceStatus& s) {
  const auto at = s.published == SysClock::time_point{} ? SysClock::now() : s.published;
  Json::Value o(Json::objectValue);
  o["outcome"] = s.outcome;
  o["state"] = s.state;
  o["up"] = s.up;
  o["restored"] = s.restored;
  o["last_complete"] = TextOrNull(s.last_complete);
  const double age = DataAgeSeconds(s, at);
  o["data_age_s"] = age < 0 ? Json::Value() : Json::Value(std::round(age * 1000) / 1000);
  o["time"] = IsoLocal(at);
  return Write(o);
}

std::string ValuesPayload(const DeviceStatus& s) {
  Json::Value o(Json::objectValue);
  o["time"] = s.last_complete.empty() ? IsoLocal(s.published) : s.last_complete;
  for (const auto& [name, value] : s.values)
    if (name != "time") o[name] = Number(value);
  return Write(o);
}

std::string AlarmsPayload(const DeviceStatus& s) {
  Json::Value a(Json::arrayValue);
  for (const auto& alarm : s.active_alarms) {
    Json::Value o(Json::objectValue);
    PutAlarmFields(o, alarm);
    a.append(std::move(o));
  }
  return Write(a);
}

std::string EventPayload(const AlarmEvent& e) {
  Json::Value o(Json::objectValue);
  o["event"] = e.raised ? "raised" : "cleared";
  PutAlarmFields(o, e.alarm());
  o["cleared_at"] = TextOrNull(e.alarm().cleared_at);
  o["time"] = e.time;
  return Write(o);
}

bool ValidTopic(const std::string& t) {
  return mosquitto_pub_topic_check2(t.c_str(), t.size()) == MOSQ_ERR_SUCCESS &&
         mosquitto_validate_utf8(t.data(), static_cast<int>(t.size())) == MOSQ_ERR_SUCCESS &&
         t.find('\0') == std::string::npos;
}

}  // namespace

MqttPublisher::MqttPublisher(const MqttSettings& settings, LogFn log, std::size_t event_limit)
    : settings_(settings), log_(std::move(log)), event_limit_(std::max<std::size_t>(event_limit, 1)) {
  prefix_ = settings_.topic_prefix.empty() ? "krthost/" + settings_.client_id : settings_.topic_prefix;
  status_topic_ = prefix_ + "/status";
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) throw std::runtime_error(fmt::format("mqtt: eventfd: {}", std::strerror(errno)));
}

MqttPublisher::~MqttPublisher() {
  Stop();
  close(wake_fd_);
}

void MqttPublisher::Start() {
  if (started_) return;
  if (settings_.client_id.empty()) throw std::runtime_error("mqtt: client_id is empty");
  if (settings_.host.empty()) throw std::runtime_error("mqtt: broker host is empty");
  if (!ValidTopic(status_topic_))
    throw std::runtime_error(fmt::format("mqtt: topic prefix \"{}\" makes no valid topic", prefix_));
  // The library takes 5 to 65535 seconds.
  settings_.keepalive_s = std::clamp(settings_.keepalive_s, 5, 65535);
  LibInit();
  stopping_ = false;
  started_ = true;
  thread_ = std::thread([this] {
    NameThisThread("mqtt");
    Run();
  });
}

void MqttPublisher::Stop() {
  if (!started_) return;
  stopping_ = true;
  Wake();
  if (thread_.joinable()) thread_.join();
  started_ = false;
}

void MqttPublisher::Wake() {
  const std::uint64_t one = 1;
  // A full counter already wakes the thread; nothing to do on failure.
  [[maybe_unused]] const auto n = write(wake_fd_, &one, sizeof one);
}

bool MqttPublisher::TopicUsable(const std::string& device, bool& newly_bad) {
  // Called with mutex_ held. A name with a wildcard, a NUL or bytes that
  // are not UTF-8 would make the broker drop the connection.
  newly_bad = false;
  auto it = bad_topics_.find(device);
  if (it != bad_topics_.end()) return !it->second;
  const bool bad = device.empty() || !ValidTopic(prefix_ + "/" + device + "/values");
  bad_topics_[device] = bad;
  newly_bad = bad;
  return !bad;
}

void MqttPublisher::LogBadName(const std::string& device) {
  if (log_) log_(fmt::format("mqtt: device name \"{}\" makes no valid topic; it is not published", device));
}

void MqttPublisher::OnStatus(const std::shared_ptr<const DeviceStatus>& status, bool changed) {
  if (!status) return;
  bool newly_bad = false;
  {
    std::lock_guard lock(mutex_);
    if (TopicUsable(status->name, newly_bad)) {
      Device& d = devices_[status->name];
      const bool first = !d.latest;
      if (first || changed) d.state_dirty = true;
      if (first || !SameAlarms(d.latest->active_alarms, status->active_alarms)) d.alarms_dirty = true;
      if (status->outcome == "complete" && !status->values.empty()) {
        d.with_values = status;
        d.values_dirty = true;
      }
      d.latest = status;
    }
  }
  if (newly_bad) LogBadName(status->name);
  Wake();
}

void MqttPublisher::OnAlarm(const AlarmEvent& event) {
  std::string payload = EventPayload(event);
  bool newly_bad = false;
  {
    std::lock_guard lock(mutex_);
    if (TopicUsable(event.device, newly_bad)) {
      events_.push_back(Event{next_seq_++, prefix_ + "/" + event.device + "/alarm", std::move(payload)});
      while (events_.size() > event_limit_) {
        events_.pop_front();
        ++dropped_;
        ++dropped_unlogged_;
      }
    }
  }
  if (newly_bad) LogBadName(event.device);
  Wake();
}

void MqttPublisher::OnDeviceRemoved(const std::string& name) {
  std::lock_guard lock(mutex_);
  devices_.erase(name);
}

MqttStats MqttPublisher::Stats() const {
  std::lock_guard lock(mutex_);
  MqttStats s;
  s.connected = connected_;
  s.queued_events = events_.size();
  s.delivered_events = delivered_;
  s.dropped_events = dropped_;
  s.connects = connects_;
  return s;
}

void MqttPublisher::LogLimited(const std::string& kind, const std::string& text) {
  Throttle& t = throttles_[kind];
  const auto now = Clock::now();
  if (t.logged && now - t.last < kLogEvery) {
    ++t.suppressed;
    return;
  }
  std::string line = "mqtt: " + text;
  if (t.suppressed > 0) line += fmt::format(" ({} more in the last minute)", t.suppressed);
  t.logged = true;
  t.last = now;
  t.suppressed = 0;
  if (log_) log_(line);
}

void MqttPublisher::OnConnectCb(mosquitto*, void* self, int rc) {
  auto* p = static_cast<MqttPublisher*>(self);
  if (rc != 0) {
    p->connack_rc_ = rc;
    return;
  }
  p->connected_ = true;
  std::lock_guard lock(p->mutex_);
  ++p->connects_;
  p->online_pending_ = true;
  for (auto& [name, d] : p->devices_) {
    d.state_dirty = d.alarms_dirty = static_cast<bool>(d.latest);
    d.values_dirty = static_cast<bool>(d.with_values);
  }
  for (auto& e : p->events_) e.mid = -1;
}

void MqttPublisher::OnPublishCb(mosquitto*, void* self, int mid) {
  auto* p = static_cast<MqttPublisher*>(self);
  std::lock_guard lock(p->mutex_);
  if (mid == p->offline_mid_) p->offline_acked_ = true;
  for (std::size_t i = 0; i < p->events_.size() && i < kInFlightWindow; ++i) {
    if (p->events_[i].mid == mid && !p->events_[i].acked) {
      p->events_[i].acked = true;
      break;
    }
  }
  while (!p->events_.empty() && p->events_.front().acked) {
    p->events_.pop_front();
    ++p->delivered_;
  }
}

bool MqttPublisher::Connect() {
  connected_ = false;
  connack_rc_ = 0;
  // A new client for every connection: nothing the library kept from the
  // last one is sent again behind our back, so the event queue alone
  // decides what goes out and in which order.
  mosq_ = mosquitto_new(settings_.client_id.c_str(), true, this);
  if (!mosq_) {
    LogLimited("client", fmt::format("cannot create a client: {}", std::strerror(errno)));
    return false;
  }
  mosquitto_connect_callback_set(mosq_, &MqttPublisher::OnConnectCb);
  mosquitto_publish_callback_set(mosq_, &MqttPublisher::OnPublishCb);
  static const char kOffline[] = "offline";
  mosquitto_will_set(mosq_, status_topic_.c_str(), static_cast<int>(sizeof kOffline - 1), kOffline,
                     kQos1, true);
  if (!settings_.username.empty())
    mosquitto_username_pw_set(mosq_, settings_.username.c_str(),
                              settings_.password.empty() ? nullptr : settings_.password.c_str());
  attempt_started_ = Clock::now();
  const int rc = mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port, settings_.keepalive_s);
  if (rc != MOSQ_ERR_SUCCESS) {
    const std::string why = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    LogLimited("unreachable", fmt::format("cannot reach broker {}:{}: {}", settings_.host, settings_.port, why));
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    return false;
  }
  return true;
}

void MqttPublisher::Drop(bool log_loss) {
  if (!mosq_) return;
  const bool was_connected = connected_;
  if (connack_rc_ != 0) {
    LogLimited("refused", fmt::format("broker {}:{} refused the connection: {}", settings_.host, settings_.port,
                                      mosquitto_connack_string(connack_rc_)));
  } else if (log_loss) {
    if (was_connected)
      LogLimited("lost", fmt::format("connection to broker {}:{} lost", settings_.host, settings_.port));
    else
      LogLimited("unreachable", fmt::format("cannot reach broker {}:{}: {}", settings_.host, settings_.port,
                                            errno != 0 ? std::strerror(errno) : "no answer"));
  }
  mosquitto_destroy(mosq_);
  mosq_ = nullptr;
  connected_ = false;
  connack_rc_ = 0;
  std::lock_guard lock(mutex_);
  for (auto& e : events_) e.mid = -1;
}

// One round of socket work: waits for the socket or a wake-up at most
// `timeout_ms`. False when the connection broke (it is dropped).
bool MqttPublisher::Service(int timeout_ms) {
  pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {-1, 0, 0}};
  nfds_t n = 1;
  if (mosq_) {
    const int sock = mosquitto_socket(mosq_);
    if (sock >= 0) {
      fds[1] = {sock, static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0};
      n = 2;
    }
  }
  const int ready = poll(fds, n, timeout_ms);
  if (ready > 0 && (fds[0].revents & POLLIN)) {
    std::uint64_t v = 0;
    [[maybe_unused]] const auto r = read(wake_fd_, &v, sizeof v);
  }
  if (!mosq_) return true;
  errno = 0;
  int rc = MOSQ_ERR_SUCCESS;
  if (n == 2 && ready > 0) {
    if (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) rc = mosquitto_loop_read(mosq_, 1);
    if (rc == MOSQ_ERR_SUCCESS && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)))
      rc = mosquitto_loop_write(mosq_, 1);
  }
  if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq_)) rc = mosquitto_loop_write(mosq_, 1);
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(mosq_);
  if (rc == MOSQ_ERR_SUCCESS && connack_rc_ != 0) rc = MOSQ_ERR_CONN_REFUSED;
  if (rc == MOSQ_ERR_SUCCESS && !connected_ && Clock::now() - attempt_started_ > kConnackTimeout) {
    errno = ETIMEDOUT;
    rc = MOSQ_ERR_ERRNO;
  }
  if (rc == MOSQ_ERR_SUCCESS) return true;
  Drop(true);
  return false;
}

// Hands what is due to the library: "online" after a connect, the retained
// topics that changed, then the queued events in order. False when the
// connection broke.
bool MqttPublisher::Pump() {
  if (!mosq_ || !connected_) return true;
  std::vector<Outgoing> out;
  std::vector<std::pair<std::string, std::shared_ptr<const DeviceStatus>>> state, values, alarms;
  {
    std::lock_guard lock(mutex_);
    if (online_pending_) {
      out.push_back({status_topic_, "online", kQos1, true, 0});
      online_pending_ = false;
    }
    for (auto& [name, d] : devices_) {
      if (d.state_dirty && d.latest) state.emplace_back(name, d.latest);
      if (d.values_dirty && d.with_values) values.emplace_back(name, d.with_values);
      if (d.alarms_dirty && d.latest) alarms.emplace_back(name, d.latest);
      d.state_dirty = d.values_dirty = d.alarms_dirty = false;
    }
    for (std::size_t i = 0; i < events_.size() && i < kInFlightWindow; ++i) {
      Event& e = events_[i];
      if (e.acked || e.mid >= 0) continue;
      out.push_back({e.topic, e.payload, kQos1, false, e.seq});
      e.mid = 0;  // being sent; the real id follows below
    }
  }
  std::vector<Outgoing> retained;
  for (const auto& [name, s] : state)
    retained.push_back({prefix_ + "/" + name + "/state", StatePayload(*s), kQos1, true, 0});
  for (const auto& [name, s] : values)
    retained.push_back({prefix_ + "/" + name + "/values", ValuesPayload(*s), 0, true, 0});
  for (const auto& [name, s] : alarms)
    retained.push_back({prefix_ + "/" + name + "/alarms", AlarmsPayload(*s), kQos1, true, 0});
  // "online" first, retained state next, events last.
  out.insert(out.begin() + (out.empty() || out.front().topic != status_topic_ ? 0 : 1),
             std::make_move_iterator(retained.begin()), std::make_move_iterator(retained.end()));

  constexpr int kUnsendable = -2;
  bool broken = false;
  std::vector<std::pair<std::uint64_t, int>> sent;  // event seq, mid (-1: not sent, kUnsendable)
  for (const auto& o : out) {
    int mid = 0;
    const int rc = broken ? MOSQ_ERR_NO_CONN
                          : mosquitto_publish(mosq_, &mid, o.topic.c_str(), static_cast<int>(o.payload.size()),
                                              o.payload.data(), o.qos, o.retain);
    // A message the library refuses as such would be refused again: it is
    // given up (logged); anything else is the connection's fault.
    const bool refused = rc == MOSQ_ERR_INVAL || rc == MOSQ_ERR_PAYLOAD_SIZE || rc == MOSQ_ERR_MALFORMED_UTF8;
    if (rc != MOSQ_ERR_SUCCESS && !broken) {
      LogLimited("publish", fmt::format("publishing {} failed: {}", o.topic, mosquitto_strerror(rc)));
      if (!refused) broken = true;
    }
    if (o.event_seq != 0)
      sent.emplace_back(o.event_seq, rc == MOSQ_ERR_SUCCESS ? mid : refused ? kUnsendable : -1);
  }
  if (!sent.empty()) {
    std::lock_guard lock(mutex_);
    for (const auto& [seq, mid] : sent) {
      if (events_.empty() || seq < events_.front().seq) continue;  // pushed out meanwhile
      const std::size_t i = static_cast<std::size_t>(seq - events_.front().seq);
      if (i >= events_.size() || events_[i].seq != seq) continue;
      events_[i].mid = mid;
      if (mid == kUnsendable) events_[i].acked = true;
    }
    while (!events_.empty() && events_.front().acked) {
      if (events_.front().mid != kUnsendable) ++delivered_;
      events_.pop_front();
    }
  }
  if (broken) {
    // Whatever was not acknowledged is sent again on the next connection,
    // with the retained topics.
    Drop(true);
    return false;
  }
  return true;
}

void MqttPublisher::Run() {
  auto backoff = std::chrono::duration_cast<Clock::duration>(kBackoffFirst);
  auto next_attempt = Clock::now();
  std::uint64_t seen_connects = 0;
  while (!stopping_) {
    const auto now = Clock::now();
    if (!mosq_ && now >= next_attempt) {
      if (!Connect()) {
        next_attempt = now + backoff;
        backoff = std::min<Clock::duration>(backoff * 2, kBackoffMax);
      }
    }
    {
      std::uint64_t dropped = 0, connects = 0;
      {
        std::lock_guard lock(mutex_);
        dropped = std::exchange(dropped_unlogged_, 0);
        connects = connects_;
      }
      if (dropped > 0)
        LogLimited("dropped", fmt::format("alarm event queue full ({} events): dropped the {} oldest",
                                          event_limit_, dropped));
      if (connects != seen_connects) {
        seen_connects = connects;
        backoff = std::chrono::duration_cast<Clock::duration>(kBackoffFirst);
        LogLimited("connected", fmt::format("connected to broker {}:{} as {}, topics under {}", settings_.host,
                                            settings_.port, settings_.client_id, prefix_));
      }
    }
    if (!Pump()) {
      next_attempt = Clock::now() + backoff;
      backoff = std::min<Clock::duration>(backoff * 2, kBackoffMax);
      continue;
    }
    int wait_ms = 200;
    if (!mosq_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_attempt - Clock::now());
      wait_ms = static_cast<int>(std::clamp<long>(left.count(), 0, 200));
    }
    if (!Service(wait_ms)) {
      next_attempt = Clock::now() + backoff;
      backoff = std::min<Clock::duration>(backoff * 2, kBackoffMax);
    }
  }

  // Stopping: deliver what is queued while the broker takes it, then say
  // "offline" ourselves (a clean disconnect sends no last will).
  if (!mosq_ || !connected_) {
    if (mosq_) Drop(false);
    return;
  }
  const auto drain_until = Clock::now() + kStopDrain;
  while (Clock::now() < drain_until) {
    if (!Pump() || !Service(20)) return;
    std::lock_guard lock(mutex_);
    const bool retained_due = std::any_of(devices_.begin(), devices_.end(), [](const auto& kv) {
      return kv.second.state_dirty || kv.second.values_dirty || kv.second.alarms_dirty;
    });
    if (events_.empty() && !retained_due && !online_pending_) break;
  }
  static const char kOffline[] = "offline";
  int mid = 0;
  {
    std::lock_guard lock(mutex_);
    offline_acked_ = false;
    offline_mid_ = -2;
  }
  if (mosquitto_publish(mosq_, &mid, status_topic_.c_str(), static_cast<int>(sizeof kOffline - 1), kOffline,
                        kQos1, true) == MOSQ_ERR_SUCCESS) {
    {
      std::lock_guard lock(mutex_);
      offline_mid_ = mid;
    }
    const auto offline_until = Clock::now() + kStopOffline;
    while (Clock::now() < offline_until) {
      if (!Service(20)) return;
      std::lock_guard lock(mutex_);
      if (offline_acked_) break;
    }
  }
  mosquitto_disconnect(mosq_);
  const auto flush_until = Clock::now() + std::chrono::milliseconds(500);
  while (mosquitto_want_write(mosq_) && Clock::now() < flush_until)
    if (mosquitto_loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS) break;
  mosquitto_destroy(mosq_);
  mosq_ = nullptr;
  connected_ = false;
}

}  // namespace krthost::site
