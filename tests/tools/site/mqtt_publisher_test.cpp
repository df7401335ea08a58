// The MQTT publisher against a real broker started here on a free loopback
// port: what a subscriber sees, across a broker restart, and how broker
// errors are logged.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>
#include <mosquitto.h>

#include "mqtt_publisher.h"

extern char** environ;

namespace {

using namespace krthost::site;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kBroker = "/usr/sbin/mosquitto";

std::uint16_t FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

bool Accepts(std::uint16_t port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// A broker of our own: persistent sessions and retained messages kept in a
// temporary directory, so that they survive a restart on the same port.
class Broker {
 public:
  Broker(std::uint16_t port, bool anonymous) : port_(port) {
    dir_ = fs::temp_directory_path() / ("mqtt_test_" + std::to_string(getpid()) + "_" + std::to_string(port));
    fs::create_directories(dir_);
    // The broker may drop root for its own user: let it write here.
    chmod(dir_.c_str(), 0777);
    std::ofstream(dir_ / "broker.conf") << "listener " << port << " 127.0.0.1\n"
                                        << "allow_anonymous " << (anonymous ? "true" : "false") << "\n"
                                        << "persistence true\n"
                                        << "persistence_location " << dir_.string() << "/\n"
                                        << "log_dest file " << (dir_ / "broker.log").string() << "\n";
  }
  ~Broker() {
    Stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void Start() {
    const std::string conf = (dir_ / "broker.conf").string();
    char* argv[] = {const_cast<char*>(kBroker), const_cast<char*>("-c"), const_cast<char*>(conf.c_str()), nullptr};
    ASSERT_EQ(posix_spawn(&pid_, kBroker, nullptr, nullptr, argv, environ), 0);
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (!Accepts(port_) && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(Accepts(port_)) << "broker did not start on port " << port_;
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + 5s;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > until) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(20ms);
    }
    pid_ = -1;
  }

 private:
  std::uint16_t port_;
  fs::path dir_;
  pid_t pid_ = -1;
};

struct Message {
  std::string topic, payload;
  bool retain = false;
};

// A QoS 1 subscriber to PREFIX/#, on the library's own thread; it
// reconnects by itself. With `persistent` its session (and what was queued
// for it while away) outlives its connection.
class Subscriber {
 public:
  Subscriber(std::uint16_t port, std::string id, bool persistent, std::string filter) : filter_(std::move(filter)) {
    mosquitto_lib_init();
    m_ = mosquitto_new(id.c_str(), !persistent, this);
    mosquitto_connect_callback_set(m_, [](mosquitto* m, void* self, int rc) {
      if (rc == 0) mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(self)->filter_.c_str(), 1);
    });
    mosquitto_subscribe_callback_set(m_, [](mosquitto*, void* self, int, int, const int*) {
      auto* s = static_cast<Subscriber*>(self);
      std::lock_guard lock(s->mutex_);
      s->subscribed_ = true;
      s->cv_.notify_all();
    });
    mosquitto_message_callback_set(m_, [](mosquitto*, void* self, const mosquitto_message* msg) {
      auto* s = static_cast<Subscriber*>(self);
      std::lock_guard lock(s->mutex_);
      s->messages_.push_back({msg->topic, std::string(static_cast<const char*>(msg->payload),
                                                      static_cast<std::size_t>(msg->payloadlen)),
                              msg->retain});
      s->cv_.notify_all();
    });
    mosquitto_reconnect_delay_set(m_, 1, 1, false);
    mosquitto_connect(m_, "127.0.0.1", port, 10);
    mosquitto_loop_start(m_);
  }
  ~Subscriber() {
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, false);
    mosquitto_destroy(m_);
  }
  bool WaitSubscribed() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, 5s, [&] { return subscribed_; });
  }
  // Waits until `pred` holds for the messages received so far.
  bool WaitFor(const std::function<bool(const std::vector<Message>&)>& pred, std::chrono::milliseconds t = 8s) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, t, [&] { return pred(messages_); });
  }
  std::vector<Message> Messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  std::string filter_;
  mosquitto* m_ = nullptr;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool subscribed_ = false;
  std::vector<Message> messages_;
};

Json::Value Parse(const std::string& s) {
  Json::Value v;
  std::string errs;
  std::istringstream in(s);
  Json::CharReaderBuilder b;
  EXPECT_TRUE(Json::parseFromStream(b, in, &v, &errs)) << s;
  return v;
}

// The payloads on `topic`, in arrival order.
std::vector<std::string> On(const std::vector<Message>& ms, const std::string& topic) {
  std::vector<std::string> out;
  for (const auto& m : ms)
    if (m.topic == topic) out.push_back(m.payload);
  return out;
}

std::function<bool(const std::vector<Message>&)> Has(const std::string& topic,
                                                     std::function<bool(const std::string&)> p) {
  return [topic, p](const std::vector<Message>& ms) {
    for (const auto& m : ms)
      if (m.topic == topic && p(m.payload)) return true;
    return false;
  };
}

AlarmInstance Alarm(const std::string& key, const std::string& desc) {
  AlarmInstance a;
  a.device_id = 1;
  a.key = key;
  a.nm_id = "nm-" + key;
  a.seq = 3;
  a.kind = 1;
  a.name = "整流模块故障";
  a.desc = desc;
  a.raised_at = "2026-12-09T10:00:00.000";
  return a;
}

AlarmEvent Event(bool raised, AlarmInstance a) {
  AlarmEvent e;
  e.raised = raised;
  e.device = "dev1";
  if (!raised) a.cleared_at = "2026-12-09T10:05:00.000";
  e.time = raised ? a.raised_at : a.cleared_at;
  e.instance = std::make_shared<const AlarmInstance>(std::move(a));
  return e;
}

std::shared_ptr<const DeviceStatus> Status(const std::string& outcome, std::vector<AlarmInstance> active) {
  auto s = std::make_shared<DeviceStatus>();
  s->id = 1;
  s->name = "dev1";
  s->outcome = outcome;
  s->up = outcome == "complete";
  s->state = 7;
  s->published = SysClock::now();
  if (s->up) {
    s->last_complete = IsoLocal(s->published);
    s->last_complete_unix = std::chrono::duration<double>(s->published.time_since_epoch()).count();
    s->values = {{"va1", static_cast<double>(230.4f)}, {"out_v", 53.5}};  // as the device answers
  }
  s->active_alarms = std::move(active);
  return s;
}

struct Log {
  std::mutex mutex;
  std::vector<std::string> lines;
  void operator()(const std::string& s) {
    std::lock_guard lock(mutex);
    lines.push_back(s);
  }
  int Count(const std::string& part) {
    std::lock_guard lock(mutex);
    int n = 0;
    for (const auto& l : lines) n += l.find(part) != std::string::npos;
    return n;
  }
};

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds t = 8s) {
  const auto until = std::chrono::steady_clock::now() + t;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

TEST(MqttPublisher, PublishesSiteAndDeliversEventsAcrossBrokerRestart) {
  const std::uint16_t port = FreePort();
  Broker broker(port, true);
  broker.Start();
  Subscriber sub(port, "test-sub-" + std::to_string(getpid()), true, "krthost/site-t/#");
  ASSERT_TRUE(sub.WaitSubscribed());

  MqttSettings settings;
  settings.enabled = true;
  settings.port = port;
  settings.client_id = "site-t";
  Log log;
  // Room for three events, so that four queued while the broker is away
  // push the oldest out.
  MqttPublisher pub(settings, [&log](const std::string& s) { log(s); }, 3);
  pub.Start();
  const std::string p = "krthost/site-t";
  ASSERT_TRUE(sub.WaitFor(Has(p + "/status", [](const std::string& s) { return s == "online"; })));

  // A failed first poll: its state, but no values yet.
  pub.OnStatus(Status("failed", {}), true);
  ASSERT_TRUE(sub.WaitFor(Has(p + "/dev1/state", [](const std::string& s) { return Parse(s)["outcome"] == "failed"; })));
  EXPECT_TRUE(On(sub.Messages(), p + "/dev1/values").empty());

  const AlarmInstance a = Alarm("rect_fail", "模块 1");
  pub.OnStatus(Status("complete", {a}), true);
  pub.OnAlarm(Event(true, a));
  ASSERT_TRUE(sub.WaitFor(Has(p + "/dev1/alarm", [](const std::string&) { return true; })));
  ASSERT_TRUE(sub.WaitFor(Has(p + "/dev1/values", [](const std::string&) { return true; })));
  ASSERT_TRUE(sub.WaitFor(Has(p + "/dev1/alarms", [](const std::string& s) { return Parse(s).size() == 1; })));
  auto ms = sub.Messages();
  const Json::Value state = Parse(On(ms, p + "/dev1/state").back());
  EXPECT_EQ(state["outcome"], "complete");
  EXPECT_EQ(state["up"], true);
  EXPECT_EQ(state["state"], 7);
  EXPECT_EQ(state["restored"], false);
  EXPECT_TRUE(state["data_age_s"].isNumeric());
  const Json::Value values = Parse(On(ms, p + "/dev1/values").back());
  EXPECT_EQ(values.getMemberNames(), (std::vector<std::string>{"out_v", "time", "va1"}));
  EXPECT_DOUBLE_EQ(values["va1"].asDouble(), 230.4);
  const Json::Value raised = Parse(On(ms, p + "/dev1/alarm").back());
  EXPECT_EQ(raised["event"], "raised");
  EXPECT_EQ(raised["key"], "rect_fail");
  EXPECT_EQ(raised["desc"], "模块 1");
  EXPECT_TRUE(raised["cleared_at"].isNull());
  // Acknowledged events leave the queue.
  ASSERT_TRUE(WaitUntil([&] { return pub.Stats().queued_events == 0; }));

  broker.Stop();
  ASSERT_TRUE(WaitUntil([&] { return !pub.Stats().connected; }));
  const AlarmInstance b = Alarm("batt_low", "");
  pub.OnAlarm(Event(false, a));  // the oldest: pushed out
  pub.OnAlarm(Event(true, b));
  pub.OnAlarm(Event(false, b));
  const AlarmInstance a2 = Alarm("rect_fail", "模块 2");
  pub.OnAlarm(Event(true, a2));
  pub.OnStatus(Status("complete", {a, a2}), false);
  const std::size_t before = sub.Messages().size();
  const std::vector<std::string> seen_before = On(sub.Messages(), p + "/dev1/alarm");
  broker.Start();

  // In order, after the restart, to the persistent session. The broker may
  // hand the subscriber an event it had already delivered once more
  // (at-least-once); such a repeat is left out here.
  auto events_after = [&](const std::vector<Message>& all) {
    std::vector<std::string> out;
    for (std::size_t i = before; i < all.size(); ++i)
      if (all[i].topic == p + "/dev1/alarm" &&
          std::find(seen_before.begin(), seen_before.end(), all[i].payload) == seen_before.end()) {
        const Json::Value e = Parse(all[i].payload);
        out.push_back(e["event"].asString() + " " + e["key"].asString() + " " + e["desc"].asString());
      }
    return out;
  };
  const std::vector<std::string> expected = {"raised batt_low ", "cleared batt_low ", "raised rect_fail 模块 2"};
  EXPECT_TRUE(sub.WaitFor([&](const auto& all) { return events_after(all).size() >= expected.size(); }));
  EXPECT_EQ(events_after(sub.Messages()), expected);
  // The reconnect says "online" and republishes the state (the broker
  // may have published the last will "offline" before).
  EXPECT_TRUE(sub.WaitFor([&](const auto& all) {
    const std::vector<Message> after(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    const auto status = On(after, p + "/status");
    return !status.empty() && status.back() == "online" && !On(after, p + "/dev1/state").empty();
  }));
  EXPECT_EQ(log.Count("dropped the 1 oldest"), 1);
  EXPECT_EQ(pub.Stats().dropped_events, 1u);

  // A new subscriber gets the current state from the retained topics.
  Subscriber late(port, "test-late-" + std::to_string(getpid()), false, p + "/#");
  ASSERT_TRUE(late.WaitFor([&](const auto& all) {
    return !On(all, p + "/status").empty() && !On(all, p + "/dev1/state").empty() &&
           !On(all, p + "/dev1/values").empty() && !On(all, p + "/dev1/alarms").empty();
  }));
  ms = late.Messages();
  EXPECT_EQ(On(ms, p + "/status").back(), "online");
  EXPECT_EQ(Parse(On(ms, p + "/dev1/state").back())["outcome"], "complete");
  const Json::Value active = Parse(On(ms, p + "/dev1/alarms").back());
  ASSERT_EQ(active.size(), 2u);
  EXPECT_EQ(active[0]["key"], "rect_fail");
  EXPECT_EQ(active[0]["nm_id"], "nm-rect_fail");
  EXPECT_EQ(active[1]["desc"], "模块 2");
  EXPECT_TRUE(On(ms, p + "/dev1/alarm").empty());  // events are not retained

  const auto t0 = std::chrono::steady_clock::now();
  pub.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s);
  EXPECT_TRUE(late.WaitFor(Has(p + "/status", [](const std::string& s) { return s == "offline"; })));
}

// A broker that is not there and one that refuses the client: one log line
// per kind in the first minute, never the password, nothing lost, and Stop
// still returns promptly.
TEST(MqttPublisher, BrokerErrorsAreLoggedOnceAndNeverFatal) {
  struct Case {
    const char* name;
    bool broker_running;
    const char* expected_log;
  };
  for (const Case& c : {Case{"unreachable", false, "cannot reach broker"},
                        Case{"refused", true, "refused the connection"}}) {
    SCOPED_TRACE(c.name);
    const std::uint16_t port = FreePort();
    Broker broker(port, false);
    if (c.broker_running) broker.Start();
    MqttSettings settings;
    settings.port = port;
    settings.client_id = "site-err";
    settings.username = "site";
    settings.password = "pw-Secret-77";
    Log log;
    MqttPublisher pub(settings, [&log](const std::string& s) { log(s); });
    pub.Start();
    pub.OnAlarm(Event(true, Alarm("rect_fail", "")));
    std::this_thread::sleep_for(3500ms);  // attempts at 0, 1 and 3 s
    EXPECT_EQ(log.Count(c.expected_log), 1);
    EXPECT_EQ(log.Count("pw-Secret-77"), 0);
    EXPECT_FALSE(pub.Stats().connected);
    EXPECT_EQ(pub.Stats().queued_events, 1u);
    const auto t0 = std::chrono::steady_clock::now();
    pub.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  }
}

}  // namespace
