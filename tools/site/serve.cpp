#include "serve.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <json/json.h>

#include "alarm_json.h"
#include "device_worker.h"
#include "history_store.h"
#include "http_api.h"
#include "line_tap.h"
#include "mqtt_publisher.h"
#include "options.h"
#include "plugin_library.h"
#include "scenario.h"
#include "site_config.h"

namespace krthost::site {
namespace {

Json::StreamWriterBuilder json_writer() {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  w["emitUTF8"] = true;
  return w;
}

// Standard output: one line per device state change and per alarm raise
// and clear; with debug, one line per poll.
class ConsoleSink : public SiteSink {
 public:
  ConsoleSink(SharedOutput& out, LogLevel level) : out_(out), level_(level) {}

  void OnStatus(const std::shared_ptr<const DeviceStatus>& s, bool changed) override {
    if (changed) {
      std::string what;
      if (s->outcome.empty()) {
        what = "started on " + s->line;
      } else {
        what = fmt::format("{} ({})", s->up ? "up" : "down", s->outcome);
      }
      if (s->comm_lost) what += ", communication lost";
      if (s->restored) what += ", restored snapshot of " + s->restored_at;
      out_.Write(fmt::format("{} {}: {}\n", Timestamp(), s->name, what));
    } else if (level_ >= LogLevel::kDebug && !s->recent.empty()) {
      const auto& p = s->recent.back();
      out_.Write(fmt::format("{} {}: poll {}: {} in {} ms{}\n", Timestamp(), s->name, s->polls, p.outcome,
                             p.duration_ms, p.error.empty() ? "" : " (" + p.error + ")"));
    }
  }
  void OnAlarm(const AlarmEvent& e) override { OnAlarms({e}); }
  // A poll's lines in one write: a change of the alarm list raises and
  // clears several at once.
  void OnAlarms(const std::vector<AlarmEvent>& events) override {
    if (events.empty()) return;
    const std::string now = Timestamp();
    std::string lines;
    for (const AlarmEvent& e : events)
      fmt::format_to(std::back_inserter(lines), "{} {}: alarm {}: {}: {} [{}]\n", now, e.device,
                     e.raised ? "raised" : "cleared", e.alarm().name, e.alarm().desc, e.alarm().key);
    out_.Write(lines);
  }
  void OnDeviceRemoved(const std::string& name) override {
    out_.Write(fmt::format("{} {}: stopped\n", Timestamp(), name));
  }

 private:
  SharedOutput& out_;
  LogLevel level_;
};

// --events: NDJSON, one object per line, flushed line by line, so that a
// line that is there is true even after the process is killed.
class EventsSink : public SiteSink {
 public:
  explicit EventsSink(std::ofstream& out) : out_(out), writer_(json_writer().newStreamWriter()) {}

  void OnStatus(const std::shared_ptr<const DeviceStatus>& s, bool changed) override {
    if (!changed) return;
    Json::Value e = head("state", s->name, s->id);
    e["outcome"] = s->outcome;
    e["state"] = s->state;
    e["up"] = s->up;
    e["comm_lost"] = s->comm_lost;
    e["restored"] = s->restored;
    if (s->restored) e["restored_at"] = s->restored_at;
    write(e);
  }
  void OnAlarm(const AlarmEvent& a) override {
    const AlarmInstance& alarm = a.alarm();
    Json::Value e = head(a.raised ? "raised" : "cleared", a.device, alarm.device_id);
    PutAlarmFields(e, alarm);
    e["cleared_at"] = TextOrNull(alarm.cleared_at);
    e["time"] = a.time;
    write(e);
  }
  void OnDeviceRemoved(const std::string& name) override { write(head("removed", name, 0)); }
  // A snapshot row is in the database (written after its commit).
  void Committed(std::uint32_t id, const std::string& name, const std::string& taken_at) {
    Json::Value e = head("committed", name, id);
    e["taken_at"] = taken_at;
    write(e);
  }

 private:
  static Json::Value head(const char* event, const std::string& device, std::uint32_t id) {
    Json::Value e(Json::objectValue);
    e["event"] = event;
    e["time"] = IsoLocal(SysClock::now());
    e["device"] = device;
    if (id != 0) e["id"] = id;
    return e;
  }
  void write(const Json::Value& e) {
    std::lock_guard lock(mutex_);
    writer_->write(e, &out_);
    out_ << '\n';
    out_.flush();
  }

  std::mutex mutex_;
  std::ofstream& out_;
  std::unique_ptr<Json::StreamWriter> writer_;
};

using Plugins = std::map<std::string, std::shared_ptr<PluginLibrary>>;

// Loads every plug-in the site names that is not loaded yet, and checks
// every scenario file. Throws SiteError naming the member.
void prepare(const SiteConfig& site, Plugins& plugins) {
  for (std::size_t i = 0; i < site.devices.size(); ++i) {
    const auto& d = site.devices[i];
    if (!plugins.count(d.plugin)) {
      try {
        auto lib = std::make_shared<PluginLibrary>(d.plugin);
        lib->SerialProvider();
        plugins[d.plugin] = std::move(lib);
      } catch (const PluginError& e) {
        throw SiteError(fmt::format("{}: devices[{}].plugin: {}", site.path, i, e.what()));
      }
    }
    if (!d.scenario_path.empty()) {
      try {
        sim::LoadScenarioFile(d.scenario_path);
      } catch (const sim::ScenarioError& e) {
        throw SiteError(fmt::format("{}: devices[{}].scenario: {}", site.path, i, e.what()));
      }
    }
  }
}

class Site {
 public:
  Site(SiteContext& context, Plugins& plugins) : context_(context), plugins_(plugins) {}
  ~Site() { StopAll(); }

  void Start(const DeviceEntry& conf) {
    auto w = std::make_unique<DeviceWorker>(conf, plugins_.at(conf.plugin), context_);
    w->Start();
    workers_[conf.id] = std::move(w);
  }
  void Stop(std::vector<std::uint32_t> ids) {
    // All are asked first, so that they stop together.
    for (auto id : ids) workers_.at(id)->RequestStop();
    for (auto id : ids) {
      const std::string name = workers_.at(id)->Entry().name;
      workers_.at(id)->Join();
      workers_.erase(id);
      context_.board->Remove(id);
      for (auto* s : context_.sinks) s->OnDeviceRemoved(name);
    }
  }
  void StopAll() {
    std::vector<std::uint32_t> ids;
    for (const auto& [id, w] : workers_) ids.push_back(id);
    for (auto id : ids) workers_.at(id)->RequestStop();
    for (auto id : ids) workers_.at(id)->Join();
    workers_.clear();
  }
  // Devices added are started, removed ones stopped, changed ones restarted.
  void Apply(const SiteConfig& next) {
    std::map<std::uint32_t, const DeviceEntry*> wanted;
    for (const auto& d : next.devices) wanted[d.id] = &d;
    std::vector<std::uint32_t> gone;
    for (const auto& [id, w] : workers_) {
      const auto it = wanted.find(id);
      if (it == wanted.end() || it->second->fingerprint != w->Entry().fingerprint) gone.push_back(id);
    }
    Stop(gone);
    for (const auto& d : next.devices)
      if (!workers_.count(d.id)) Start(d);
  }

 private:
  SiteContext& context_;
  Plugins& plugins_;
  std::map<std::uint32_t, std::unique_ptr<DeviceWorker>> workers_;
};

}  // namespace

std::unique_ptr<SiteSink> MakeConsoleSink(SharedOutput& out, LogLevel level) {
  return std::make_unique<ConsoleSink>(out, level);
}

int RunServe(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
             ServeSignals& signals) {
  CLI::App app("Runs every device of a site file until SIGINT or SIGTERM; SIGHUP re-reads the file.",
               "krthost serve");
  std::string site_path, level_text = "info", events_path;
  app.add_option("SITE", site_path, "the site file (JSON)")->required();
  app.add_option("--log-level", level_text, "error, warn, info or debug (standard error)")
      ->check(CLI::IsMember({"error", "warn", "info", "debug"}));
  app.add_option("--events", events_path, "write site events as NDJSON to this file");
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return 0;
  } catch (const CLI::ParseError& e) {
    err << "krthost serve: " << e.what() << " (see krthost serve --help)" << std::endl;
    return 2;
  }
  LogLevel level = LogLevel::kInfo;
  ParseLogLevel(level_text, level);

  SiteConfig site;
  Plugins plugins;
  try {
    site = LoadSite(site_path);
    prepare(site, plugins);
  } catch (const SiteError& e) {
    err << "krthost: " << e.what() << std::endl;
    return 2;
  }
  std::ofstream events_file;
  if (!events_path.empty()) {
    events_file.open(events_path, std::ios::binary | std::ios::app);
    if (!events_file) {
      err << "krthost: events file " << events_path << ": cannot be written: " << std::strerror(errno)
          << std::endl;
      return 2;
    }
  }
  SharedOutput log_out(err);
  SharedOutput console_out(out);
  auto host_log = [&log_out](const std::string& text) {
    log_out.Write(fmt::format("{} ERROR krthost: {}\n", Timestamp(), text));
  };
  std::unique_ptr<HistoryStore> store;
  try {
    std::error_code ec;
    std::filesystem::create_directories(site.data_dir, ec);
    store = std::make_unique<HistoryStore>((std::filesystem::path(site.data_dir) / "krthost.db").string(),
                                           site.retention, host_log);
  } catch (const StoreError& e) {
    err << "krthost: " << site.path << ": data_dir: " << e.what() << std::endl;
    return 2;
  }

  StatusBoard board;
  ConsoleSink console(console_out, level);
  std::unique_ptr<EventsSink> events;
  SiteContext context;
  context.board = &board;
  context.store = store.get();
  context.log = &log_out;
  context.level = level;
  context.sinks.push_back(&console);
  if (events_file.is_open()) {
    events = std::make_unique<EventsSink>(events_file);
    context.sinks.push_back(events.get());
    context.committed = [sink = events.get()](std::uint32_t id, const std::string& name,
                                              const std::string& taken_at) { sink->Committed(id, name, taken_at); };
  }

  std::unique_ptr<MqttPublisher> mqtt;
  if (site.mqtt.enabled) {
    auto mqtt_log = [&log_out, level](const std::string& text) {
      const bool info = text.find("connected to broker") != std::string::npos;
      if (level >= (info ? LogLevel::kInfo : LogLevel::kWarn))
        log_out.Write(fmt::format("{} {} krthost: {}\n", Timestamp(), info ? "INFO " : "WARN ", text));
    };
    try {
      mqtt = std::make_unique<MqttPublisher>(site.mqtt, mqtt_log);
      mqtt->Start();
    } catch (const std::runtime_error& e) {
      err << "krthost: " << site.path << ": " << e.what() << std::endl;
      return 2;
    }
    context.sinks.push_back(mqtt.get());
  }

  console_out.Write(fmt::format("{} krthost: serving {} ({} device{}), history in {}\n", Timestamp(), site.path,
                                site.devices.size(), site.devices.size() == 1 ? "" : "s", store->Path()));
  std::unique_ptr<HttpServer> http;
  if (site.http.enabled) {
    http = std::make_unique<HttpServer>(site.http, board, store.get());
    try {
      http->Start();
    } catch (const std::runtime_error& e) {
      err << "krthost: " << site.path << ": " << e.what() << std::endl;
      return 2;
    }
    const bool v6 = site.http.host.find(':') != std::string::npos;
    console_out.Write(fmt::format("{} krthost: http on {}:{}, status page http://{}{}{}:{}/\n", Timestamp(),
                                  site.http.host, http->Port(), v6 ? "[" : "", site.http.host, v6 ? "]" : "",
                                  http->Port()));
  }
  {
    // The pool outlives the site's workers: they wait for their last step.
    PollPool pool;
    context.pool = &pool;
    Site running(context, plugins);
    for (const auto& d : site.devices) running.Start(d);
    while (!signals.stop.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (!signals.reload.exchange(false)) continue;
      try {
        SiteConfig next = LoadSite(site_path);
        prepare(next, plugins);
        if (next.data_dir != site.data_dir || next.http.enabled != site.http.enabled ||
            next.http.host != site.http.host || next.http.port != site.http.port ||
            next.http.token != site.http.token || next.mqtt.enabled != site.mqtt.enabled)
          log_out.Write(fmt::format("{} WARN  krthost: {}: data_dir, http and mqtt take effect at the next start\n",
                                    Timestamp(), site_path));
        running.Apply(next);
        console_out.Write(fmt::format("{} krthost: site file re-read, {} device{}\n", Timestamp(),
                                      next.devices.size(), next.devices.size() == 1 ? "" : "s"));
      } catch (const SiteError& e) {
        log_out.Write(fmt::format("{} ERROR krthost: site file not re-read, the site runs on as it was: {}\n",
                                  Timestamp(), e.what()));
      }
    }
    running.StopAll();
  }
  if (http) http->Stop();
  // After the devices: the last statuses and alarm events go out first.
  if (mqtt) mqtt->Stop();
  // What is queued is written before the store goes.
  store.reset();
  console_out.Write(fmt::format("{} krthost: stopped\n", Timestamp()));
  return 0;
}

}  // namespace krthost::site
