#include "device_worker.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <fmt/format.h>

#include "alarm_tracker.h"
#include "config.h"
#include "event_writer.h"
#include "host_controller.h"
#include "line_tap.h"
#include "pmbus_protocol.h"
#include "scenario.h"
#include "serial_transport.h"
#include "sim_transport.h"
#include "simulator.h"
#include "snapshot_decoder.h"
#include "tcp_transport.h"

namespace krthost::site {

void SharedOutput::Write(const std::string& text) {
  std::lock_guard lock(mutex_);
  out_ << text;
  out_.flush();
}

LineBuffer::int_type LineBuffer::overflow(int_type c) {
  if (c == traits_type::eof()) return traits_type::not_eof(c);
  line_.push_back(static_cast<char>(c));
  if (c == '\n' || line_.size() >= 64 * 1024) {
    out_.Write(line_);
    line_.clear();
  }
  return c;
}

int LineBuffer::sync() {
  if (!line_.empty() && line_.back() == '\n') {
    out_.Write(line_);
    line_.clear();
  }
  return 0;
}

const char* SiteOutcomeName(PollOutcome outcome) {
  switch (outcome) {
    case PollOutcome::kComplete: return "complete";
    case PollOutcome::kUnchanged: return "unchanged";
    case PollOutcome::kFailed: return "failed";
    case PollOutcome::kTimeout: return "timeout";
    case PollOutcome::kLineLost: return "line_lost";
    case PollOutcome::kLineDown: return "line_down";
    case PollOutcome::kInterrupted: return "interrupted";
    case PollOutcome::kEnded: return "failed";
  }
  return "failed";
}

namespace {

using Steady = std::chrono::steady_clock;

struct DeviceDeleter {
  void operator()(KRTSPDevice* d) const { delete d; }
};

// The host side of one device: besides what the one-device host keeps, it
// collects the evaluation's rule reports and the history image.
class SiteController : public HostController {
 public:
  using HostController::HostController;

  void CheckThresholdBool(unsigned, int kind, const std::string& key, const std::string& nm_id,
                          const std::string& name, const std::string& desc, bool active,
                          unsigned short seq) override {
    // Not passed on to HostController: its event writer is off here and
    // its list of active reports is the one-device host's; the tracker
    // gets them from this list.
    // The tracker takes an inactive report as no report: only the active
    // ones (a few of the thousand or more per evaluation) are kept, in
    // entries reused from poll to poll. The copy is out of line, so that an
    // inactive report costs a test and a return, not the copy's prologue.
    if (active) keep(kind, key, nm_id, name, desc, seq);
  }
  [[gnu::noinline]] void keep(int kind, const std::string& key, const std::string& nm_id,
                              const std::string& name, const std::string& desc, unsigned short seq) {
    if (used == reports.size()) reports.emplace_back();
    RuleReport& r = reports[used++];
    r.kind = kind;
    r.key = key;
    r.nm_id = nm_id;
    r.name = name;
    r.desc = desc;
    r.active = true;
    r.seq = seq;
  }
  void BeginReports() { used = 0; }
  // The active reports of the running poll.
  const std::vector<RuleReport>& Reports() {
    reports.resize(used);
    return reports;
  }
  void SendSP(unsigned device_id, int type, const unsigned char* data, unsigned size, bool delayed) override {
    HostController::SendSP(device_id, type, data, size, delayed);
    snapshot_type = type;
  }
  void SaveDeviceHistory(unsigned device_id, const unsigned char* data, unsigned size) override {
    HostController::SaveDeviceHistory(device_id, data, size);
    const unsigned char* end = data + (data != nullptr ? size : 0);
    // An image a poll ago is still the published record's; the one before
    // is nobody's once its row is written: its buffer is filled again
    // instead of allocating an image (1.6 KiB for the small site) every
    // poll. Only this thread holds the pool's pointers, so a count of one
    // cannot grow behind its back. The count is read relaxed: the fence
    // orders the writer's last reads of the buffer (before its release of
    // the pointer) before our writes.
    for (auto& buffer : pool) {
      if (buffer && buffer.use_count() == 1) {
        std::atomic_thread_fence(std::memory_order_acquire);
        buffer->assign(data, end);
        history = buffer;
        return;
      }
    }
    history = std::make_shared<std::vector<unsigned char>>(data, end);
    for (auto& buffer : pool) {
      if (!buffer) {
        buffer = history;
        break;
      }
    }
  }

  std::vector<RuleReport> reports;  // the first `used` are the running poll's
  std::size_t used = 0;
  std::shared_ptr<std::vector<unsigned char>> history;  // of the running poll
  std::array<std::shared_ptr<std::vector<unsigned char>>, 2> pool;  // history buffers to fill again
  int snapshot_type = 0;
};

double unix_seconds(SysClock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

}  // namespace

// What a device's steps keep from one to the next, in the order of a
// poll's locals: the runner goes first, the device before the controller.
struct DeviceWorker::State {
  explicit State(SharedOutput& out) : log_buffer(out), log(&log_buffer) {}
  LineBuffer log_buffer;
  std::ostream log;
  EventWriter no_events{nullptr};
  std::shared_ptr<SiteController> controller;
  std::string who;
  std::shared_ptr<DeviceStatus> status;
  // Device and provider hold code of the plug-in: they go before it.
  std::unique_ptr<KRTSPDevice, DeviceDeleter> device;
  std::shared_ptr<ByteTransport> inner;
  std::shared_ptr<LineTap> tap;
  std::unique_ptr<AlarmTracker> tracker;
  std::unique_ptr<PollRunner> runner;
  long index = 0;
  long consecutive_bad = 0;
  std::uint64_t errors_seen = 0;  // the device's protocol error total last copied
};

DeviceWorker::DeviceWorker(DeviceEntry conf, std::shared_ptr<PluginLibrary> plugin, SiteContext& context)
    : conf_(std::move(conf)), plugin_(std::move(plugin)), context_(context) {
  // A poll may start up to 1 % of its interval late (5 ms at most), which
  // lets one wake-up of the pool serve the polls due close together.
  SetSlack(std::min<Steady::duration>(std::chrono::milliseconds(conf_.interval_ms) / 100,
                                      std::chrono::milliseconds(5)));
}

DeviceWorker::~DeviceWorker() {
  RequestStop();
  Join();
}

void DeviceWorker::Start() {
  if (started_) return;
  started_ = true;
  context_.pool->Add(*this);
}

void DeviceWorker::RequestStop() {
  stop_ = true;
  if (started_) context_.pool->Wake(*this);
}

void DeviceWorker::Join() {
  if (started_) context_.pool->Wait(*this);
}

std::optional<PollJob::Clock::time_point> DeviceWorker::Step() {
  if (!state_) {
    state_ = std::make_unique<State>(*context_.log);
    if (stop_.load() || !set_up()) {
      state_.reset();
      return std::nullopt;
    }
    return Steady::now();
  }
  std::optional<Steady::time_point> next;
  if (!stop_.load()) {
    try {
      next = poll();
    } catch (const std::exception& e) {
      // Not expected of a poll; the device stays and is polled again.
      state_->controller->HostLog(fmt::format("{}: poll failed: {}", state_->who, e.what()), LogLevel::kError);
      next = Steady::now() + std::chrono::milliseconds(conf_.interval_ms);
    }
  }
  if (!next) {
    state_->device->ClosePort();
    state_.reset();
  }
  return next;
}

void DeviceWorker::publish(bool changed) {
  DeviceStatus& status = *state_->status;
  status.published = SysClock::now();
  std::shared_ptr<const DeviceStatus> record = std::make_shared<const DeviceStatus>(status);
  context_.board->Publish(record);
  for (auto* s : context_.sinks) s->OnStatus(record, changed);
}

void DeviceWorker::alarm_events(const std::vector<AlarmEvent>& events) {
  if (events.empty()) return;
  if (context_.store != nullptr) {
    for (const AlarmEvent& e : events) {
      if (e.raised) context_.store->RaiseAlarm(e.instance);
      else context_.store->ClearAlarm(e.instance);
    }
  }
  for (auto* s : context_.sinks) s->OnAlarms(events);
}

bool DeviceWorker::set_up() {
  State& st = *state_;
  st.controller = std::make_shared<SiteController>(st.no_events, st.log);
  auto& controller = st.controller;
  controller->SetLogLevel(context_.level);
  controller->SetRepeatWindow(std::chrono::seconds(60));
  controller->KeepLastSnapshot(false);  // the status record holds the image
  st.who = "device " + conf_.name;
  const std::string& who = st.who;

  st.status = std::make_shared<DeviceStatus>();
  DeviceStatus& status = *st.status;
  status.id = conf_.id;
  status.name = conf_.name;
  status.line = conf_.LineText();
  decode::UnitCounts(conf_.config, status.ac_units, status.dc_units);

  auto& device = st.device;
  try {
    auto provider = plugin_->SerialProvider();
    device.reset(provider->create());
    if (!device) throw std::runtime_error("create gave no device");
    switch (conf_.line) {
      case SiteLine::kTcp:
        // A connect that hangs holds up a stop: at most 2 s.
        st.inner = std::make_shared<TcpTransport>(conf_.tcp_host, conf_.tcp_port,
                                                  std::min(conf_.reply_timeout_ms, 2000));
        break;
      case SiteLine::kSerial:
        st.inner = std::make_shared<SerialTransport>(conf_.serial_device,
                                                     conf_.baud != 0 ? conf_.baud : device->BaudRate());
        break;
      case SiteLine::kSimulate: {
        auto simulator = std::make_shared<sim::Simulator>(
            conf_.scenario_path.empty() ? sim::DefaultScenario() : sim::LoadScenarioFile(conf_.scenario_path));
        simulator->SetRequestLog(0);  // nobody here reads it
        st.inner = std::make_shared<sim::SimTransport>(std::move(simulator));
        break;
      }
    }
  } catch (const std::exception& e) {
    controller->HostLog(fmt::format("{}: cannot be started: {}", who, e.what()), LogLevel::kError);
    status.outcome = "line_down";
    publish(true);
    return false;
  }
  const bool trace = context_.level >= LogLevel::kDebug;
  st.tap = std::make_shared<LineTap>(st.inner, LineTap::RequestFn{}, trace ? &st.log : nullptr);
  device->SetTransport(st.tap);
  {
    std::map<std::string, int> levels;
    std::map<std::string, float> values;
    try {
      FillThresholdMaps(conf_.config, levels, values);
    } catch (const std::exception&) {
      // Checked when the site file was read.
    }
    for (const auto& [k, v] : levels) device->LevelMap()[k] = v;
    for (const auto& [k, v] : values) device->ValueMap()[k] = v;
  }
  try {
    device->Init(controller, conf_.id, conf_.config);
  } catch (const std::exception& e) {
    controller->HostLog(fmt::format("{}: the device refused its configuration: {}", who, e.what()),
                        LogLevel::kError);
    status.outcome = "failed";
    publish(true);
    return false;
  }

  // The newest stored snapshot is the device's data until its first poll
  // completes; its values are not shown before then (the device restores
  // only the image, not the records that its value queries read).
  std::vector<AlarmInstance> stored_active;
  if (context_.store != nullptr) {
    try {
      if (auto row = context_.store->NewestSnapshot(conf_.id)) {
        device->LoadFromCache(row->data.data(), static_cast<int>(row->data.size()));
        status.restored = true;
        status.restored_at = row->taken_at;
        status.snapshot = std::make_shared<const std::vector<unsigned char>>(std::move(row->data));
        status.snapshot_at = row->taken_at;
        status.data_ready = device->DataReady();
      }
      stored_active = context_.store->ActiveAlarms(conf_.id);
    } catch (const std::exception& e) {
      controller->HostLog(fmt::format("{}: history not read: {}", who, e.what()), LogLevel::kError);
    }
  }
  st.tracker = std::make_unique<AlarmTracker>(conf_.id, conf_.name, std::move(stored_active));
  status.active_alarms = st.tracker->Active();
  status.comm_lost = st.tracker->CommLost();
  publish(true);

  PollTimeouts t;
  t.first_byte_ms = conf_.reply_timeout_ms;
  t.inter_byte_ms = conf_.byte_timeout_ms;
  t.reply_limit_ms = ReplyLimitMs(t.first_byte_ms, t.inter_byte_ms,
                                  conf_.baud != 0 ? conf_.baud : device->BaudRate());
  st.runner = std::make_unique<PollRunner>(*device, *st.tap, *controller, st.no_events, t);
  return true;
}

std::optional<PollJob::Clock::time_point> DeviceWorker::poll() {
  State& st = *state_;
  SiteController& controller = *st.controller;
  DeviceStatus& status = *st.status;
  AlarmTracker& tracker = *st.tracker;
  const auto started = Steady::now();
  const auto started_wall = SysClock::now();
  controller.BeginReports();
  std::vector<AlarmEvent> events;  // the evaluation's raises and clears
  controller.history.reset();
  const PollResult r = st.runner->Poll(st.index++, &stop_);
  if (r.outcome == PollOutcome::kInterrupted) return std::nullopt;
  const std::string now = IsoLocal(SysClock::now());
  const std::string outcome = SiteOutcomeName(r.outcome);
  const bool good = r.outcome == PollOutcome::kComplete || r.outcome == PollOutcome::kUnchanged;

  const std::string before = status.outcome;
  const bool up_before = status.up, lost_before = status.comm_lost, restored_before = status.restored;
  status.outcome = outcome;
  status.up = good;
  status.state = r.state;
  status.data_ready = r.data_ready;
  status.last_poll = IsoLocal(started_wall);
  status.last_duration_ms = r.duration_ms;
  ++status.polls;
  ++status.outcomes[outcome];
  status.timeouts += static_cast<std::uint64_t>(r.timeouts);
  if (const auto* p = dynamic_cast<const PMBusProtocol*>(st.device.get());
      p != nullptr && p->ProtocolErrorTotal() != st.errors_seen) {
    st.errors_seen = p->ProtocolErrorTotal();
    for (const auto& [kind, n] : p->ProtocolErrorCounts()) status.protocol_errors[std::string(kind.name)] = n;
  }
  const double secs = static_cast<double>(r.duration_ms) / 1000.0;
  std::size_t bucket = 0;
  while (bucket < kDurationBuckets.size() && secs > kDurationBuckets[bucket]) ++bucket;
  ++status.duration_buckets[bucket];
  status.duration_sum_s += secs;
  PollRecord& rec = status.recent.Next();
  rec.time = status.last_poll;
  rec.outcome = outcome;
  rec.duration_ms = r.duration_ms;
  rec.state = r.state;
  rec.protocol_errors = r.protocol_errors;
  rec.timeouts = r.timeouts;
  rec.error = !r.error.empty() ? std::string_view(r.error) : r.last_error;

  if (r.outcome == PollOutcome::kComplete) {
    status.restored = false;
    status.last_complete = now;
    status.last_complete_unix = unix_seconds(SysClock::now());
    status.values.clear();
    for (const auto& q : st.runner->Query(conf_.queries))
      if (q.ok) status.values.emplace_back(q.name, static_cast<double>(q.value));
    // Every completed poll is an evaluation of the device's rule set.
    events = tracker.Evaluate(controller.Reports(), now);
    alarm_events(events);
    if (controller.history) {
      status.snapshot = controller.history;
      status.snapshot_at = now;
      if (context_.store != nullptr) {
        // The row may commit after this worker is gone: the callback
        // holds copies only, and there is none when nobody listens.
        HistoryStore::Committed on_commit;
        if (context_.committed)
          on_commit = [committed = context_.committed, id = conf_.id, name = conf_.name, now] {
            committed(id, name, now);
          };
        context_.store->SaveSnapshot(conf_.id, now, controller.snapshot_type, controller.history,
                                     std::move(on_commit));
      }
    }
  }
  bool alarms_changed = !events.empty();
  std::optional<AlarmEvent> comm;
  if (good) {
    st.consecutive_bad = 0;
    comm = tracker.SetCommLost(false, now);
  } else if (++st.consecutive_bad >= conf_.comm_lost_after) {
    comm = tracker.SetCommLost(true, now);
  }
  if (comm) {
    alarm_events({std::move(*comm)});
    alarms_changed = true;
  }
  // Copied again only when a raise or clear changed them.
  if (alarms_changed) status.active_alarms = tracker.Active();
  status.comm_lost = tracker.CommLost();
  const bool changed = before != outcome || up_before != status.up || lost_before != status.comm_lost ||
                       restored_before != status.restored;
  publish(changed);
  // The schedule keeps to the times the polls were due, so that a start a
  // little late (the pool's slack) does not stretch the interval; a poll
  // that started later than a tenth of the interval starts it anew.
  const auto interval = std::chrono::milliseconds(conf_.interval_ms);
  return (started - Due() <= interval / 10 ? Due() : started) + interval;
}

}  // namespace krthost::site
