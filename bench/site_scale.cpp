// Devices per core for the site host: the site code of `krthost serve`
// (device workers, history store, status board, HTTP listener, console
// sink) with N devices of the small site, each polled every second against
// an in-process simulator whose line carries bytes without delay. The
// alarm list changes every few polls, the history and alarm store writes to
// a temporary directory and /metrics is scraped every 5 s.
//
// Each N runs in a process of its own (the program runs itself with
// --child N), so that CPU time and resident memory are the run's alone;
// N = 0 is the baseline of the memory figure. Per N:
//
//   CPU time of the process per poll (user + sys), against the plug-in's
//     own cost per poll measured in the same process at the same time (a
//     device of the same site driven by the in-memory line: RefreshStatus
//     through the cycle end), whose CPU time is taken off the process's;
//     and the simulator's own cost per poll measured the same way (the
//     requests of that cycle answered by a simulator of the scenario): the
//     devices' simulators are part of the process's time, but not of what
//     the host costs on a real line; nor is the CPU time of this harness's
//     own /metrics client (a Prometheus server's, in a site), also taken off;
//   resident memory per device beyond the baseline;
//   each device's achieved interval between published polls (median over
//     the devices of their medians, and the worst of all);
//   database writes per second (snapshot rows, alarm raises and clears)
//     and the writer's largest queue depth.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <httplib.h>
#include <json/json.h>

#include "device_worker.h"
#include "history_store.h"
#include "http_api.h"
#include "plugin_library.h"
#include "scenario.h"
#include "serve.h"
#include "simulator.h"
#include "site.h"
#include "site_config.h"
#include "site_types.h"

namespace {

namespace fs = std::filesystem;
using namespace krthost::site;
using Steady = std::chrono::steady_clock;

constexpr int kIntervalMs = 1000;
constexpr int kPollsPerAlarmList = 3;  // the alarm list changes every 3 polls

double thread_cpu_s() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double process_cpu_s() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

// CPU time (seconds, from the scheduler's own account) of this process's
// threads by kind: the poll pool's threads (the devices), the history
// writer, the HTTP threads and the rest (this harness's own thread among
// them).
struct ThreadCpu {
  double devices = 0, history = 0, http = 0, other = 0;
};

ThreadCpu thread_cpu_by_kind() {
  ThreadCpu out;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(task.path() / "comm"), sched(task.path() / "schedstat");
    std::string name;
    std::getline(comm, name);
    double ns = 0;
    if (!(sched >> ns)) continue;  // the thread ended meanwhile
    const double s = ns * 1e-9;
    if (name.rfind("poll", 0) == 0) out.devices += s;
    else if (name == "history") out.history += s;
    else if (name.rfind("http", 0) == 0) out.http += s;
    else out.other += s;
  }
  return out;
}

// Resident set size in KiB.
long rss_kib() {
  std::ifstream in("/proc/self/statm");
  long size = 0, resident = 0;
  in >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The small site's controller with alarm lists that change every few polls:
// all of the site's alarms, the first six, the last six.
Json::Value scenario_json() {
  Json::Value root;
  Json::CharReaderBuilder b;
  std::string errors;
  std::istringstream text(sim::DefaultScenarioText());
  if (!Json::parseFromStream(b, text, &root, &errors)) throw std::runtime_error("default scenario: " + errors);
  root.removeMember("alarms");
  root["line_rate"] = 0;  // no pacing: the line carries bytes without delay
  const auto all = bench::SiteAlarms(bench::kSmallSite);
  const std::vector<std::vector<sim::AlarmEntry>> lists = {
      all, {all.begin(), all.begin() + 6}, {all.end() - 6, all.end()}};
  Json::Value sets(Json::arrayValue);
  for (const auto& list : lists) {
    Json::Value entries(Json::arrayValue);
    for (const auto& e : list) {
      Json::Value x(Json::arrayValue);
      x.append(e.unit);
      x.append(e.category);
      x.append(e.code);
      entries.append(x);
    }
    for (int i = 0; i < kPollsPerAlarmList; ++i) sets.append(entries);
  }
  root["alarm_sets"] = sets;
  return root;
}

void write_file(const fs::path& path, const Json::Value& v) {
  std::ofstream out(path);
  out << Json::StyledWriter().write(v);
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Records what the devices publish during the measurement.
class MeasureSink : public SiteSink {
 public:
  explicit MeasureSink(std::size_t devices, std::size_t polls_each) : published_(devices) {
    for (auto& p : published_) p.reserve(polls_each);
  }
  void OnStatus(const std::shared_ptr<const DeviceStatus>& s, bool) override {
    // A device's steps never overlap and the pool orders one before the
    // next: its slot needs no lock.
    if (!recording_.load(std::memory_order_relaxed) || s->id == 0 || s->id > published_.size()) return;
    auto& p = published_[s->id - 1];
    if (p.size() < p.capacity()) p.push_back(s->published);
  }
  void OnAlarm(const AlarmEvent&) override {
    if (recording_.load(std::memory_order_relaxed)) alarm_writes_.fetch_add(1, std::memory_order_relaxed);
  }
  void OnDeviceRemoved(const std::string&) override {}

  void Record(bool on) { recording_ = on; }
  std::uint64_t AlarmWrites() const { return alarm_writes_.load(); }
  // Intervals of every device in milliseconds.
  std::vector<std::vector<double>> Intervals() const {
    std::vector<std::vector<double>> out;
    for (const auto& p : published_) {
      std::vector<double> d;
      for (std::size_t i = 1; i < p.size(); ++i)
        d.push_back(std::chrono::duration<double, std::milli>(p[i] - p[i - 1]).count());
      out.push_back(std::move(d));
    }
    return out;
  }

 private:
  std::atomic<bool> recording_{false};
  std::atomic<std::uint64_t> alarm_writes_{0};
  std::vector<std::vector<SysClock::time_point>> published_;
};

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Result {
  int devices = 0;
  double seconds = 0;
  double cpu_s = 0;          // the process, less the in-process plug-in measurement
  std::uint64_t polls = 0;
  double plugin_us = 0;      // per poll, in-process device on the in-memory line
  double sim_us = 0;         // per poll, in-process simulator answering that device's requests
  long rss_kib = 0;
  double interval_median_ms = 0, interval_worst_ms = 0, interval_best_ms = 0;
  double within_10pct = 0;   // share of devices whose every interval is within 10 %
  double snapshot_rows_s = 0, alarm_writes_s = 0;
  std::size_t queue_max = 0;
  double scrape_ms_max = 0;
  std::size_t scrape_bytes = 0;
  std::uint64_t dropped = 0;
  double devices_s = 0, history_s = 0, http_s = 0;  // CPU time by thread kind
  std::size_t pool_threads = 0;                       // the poll pool's most threads
  double scraper_s = 0;                               // the harness's /metrics client, taken off cpu_s
};

Result run_child(int n, double seconds, double warmup, const std::string& plugin_path, bool history,
                 int history_rows) {
  char pattern[] = "/tmp/hvr_site_scale.XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  const fs::path dir = pattern;
  write_file(dir / "scenario.json", scenario_json());
  Json::Value site_json;
  site_json["data_dir"] = (dir / "data").string();
  site_json["defaults"]["plugin"] = plugin_path;
  site_json["defaults"]["interval_ms"] = kIntervalMs;
  site_json["http"]["listen"] = "127.0.0.1:0";
  Json::Value config;
  config["appSetting"]["b_mode"] = "0";
  config["appSetting"]["ac_number"] = "1";
  config["appSetting"]["dc_number"] = "1";
  for (int i = 0; i < std::max(n, 1); ++i) {
    Json::Value d;
    d["id"] = i + 1;
    d["name"] = fmt::format("rs{:04}", i + 1);
    d["scenario"] = (dir / "scenario.json").string();
    d["config"] = config;
    site_json["devices"].append(d);
  }
  SiteConfig site = ParseSite(site_json, (dir / "site.json").string(), dir.string());
  if (n == 0) site.devices.clear();
  fs::create_directories(site.data_dir);

  std::ofstream null_out("/dev/null");
  SharedOutput log(std::cerr), console_out(null_out);
  HistoryStore store((fs::path(site.data_dir) / "krthost.db").string(), site.retention,
                     [&log](const std::string& text) { log.Write("store: " + text + "\n"); });
  StatusBoard board;
  auto console = MakeConsoleSink(console_out, krthost::LogLevel::kInfo);
  const auto window = static_cast<std::size_t>(seconds * 1000 / kIntervalMs) + 8;
  MeasureSink measure(static_cast<std::size_t>(n), window);
  PollPool pool;
  SiteContext context;
  context.pool = &pool;
  context.board = &board;
  // Without history the store stays open (HTTP reads it) but is handed nothing.
  context.store = history ? &store : nullptr;
  context.log = &log;
  context.level = krthost::LogLevel::kInfo;
  context.sinks = {console.get(), &measure};
  HttpServer http(site.http, board, &store);
  http.Start();
  httplib::Client client("127.0.0.1", http.Port());
  client.set_read_timeout(10, 0);
  auto plugin = std::make_shared<krthost::PluginLibrary>(plugin_path);
  plugin->SerialProvider();

  // The plug-in's own cost, in this process: the same scenario and
  // configuration on the in-memory line, one alarm list throughout.
  sim::Scenario steady = sim::LoadScenarioFile((dir / "scenario.json").string());
  steady.alarm_sets.resize(1);
  bench::SiteDevice own(steady, Json::FastWriter().write(config), std::make_shared<bench::NullHost>());
  sim::Simulator own_sim(steady);
  own_sim.SetRequestLog(0);

  // A long run's database: every device's `history_rows` earlier rows, one a
  // second up to now, written through the store before the devices start,
  // so that the writer works on the index of a table that has grown. The
  // rows hold the device's own image: the restore at start takes one.
  if (history_rows > 0) {
    own.RunCycle();
    const auto& buffer = own.device->Snapshot();
    const auto image = std::make_shared<const std::vector<unsigned char>>(
        buffer ? *buffer : std::vector<unsigned char>{});
    const auto start = SysClock::now() - std::chrono::seconds(history_rows);
    std::size_t queued = 0;
    for (int k = 0; k < history_rows; ++k) {
      const std::string at = krthost::site::IsoLocal(start + std::chrono::seconds(k));
      for (const auto& conf : site.devices) {
        while (!store.SaveSnapshot(conf.id, at, hvr38qt::kSnapshotType, image)) store.Flush(60000);
        if (++queued % 5000 == 0) store.Flush(60000);
      }
    }
    if (!store.Flush(600000)) throw std::runtime_error("the history could not be filled");
  }

  std::vector<std::unique_ptr<DeviceWorker>> workers;
  for (const auto& conf : site.devices) {
    workers.push_back(std::make_unique<DeviceWorker>(conf, plugin, context));
    workers.back()->Start();
  }
  auto polls = [&board] {
    std::uint64_t sum = 0;
    for (const auto& s : board.All()) sum += s->polls;
    return sum;
  };
  std::this_thread::sleep_for(std::chrono::duration<double>(warmup));

  Result r;
  r.devices = n;
  r.rss_kib = rss_kib();
  const std::uint64_t polls0 = polls();
  const StoreStats stats0 = store.Stats();
  measure.Record(true);
  const double cpu0 = process_cpu_s();
  const ThreadCpu threads0 = thread_cpu_by_kind();
  const auto t0 = Steady::now();
  double own_cpu = 0, sim_cpu = 0, scrape_cpu = 0;
  std::uint64_t own_cycles = 0;
  auto next_scrape = t0;
  while (Steady::now() - t0 < std::chrono::duration<double>(seconds)) {
    const auto tick = Steady::now();
    if (tick >= next_scrape) {
      const auto s0 = Steady::now();
      const double c0 = thread_cpu_s();
      auto res = client.Get("/metrics");
      scrape_cpu += thread_cpu_s() - c0;
      const double ms = std::chrono::duration<double, std::milli>(Steady::now() - s0).count();
      if (!res || res->status != 200) throw std::runtime_error("GET /metrics failed");
      r.scrape_ms_max = std::max(r.scrape_ms_max, ms);
      r.scrape_bytes = res->body.size();
      next_scrape += std::chrono::seconds(5);
    }
    {
      const double c0 = thread_cpu_s();
      for (int i = 0; i < 10; ++i) own.RunCycle();
      own_cpu += thread_cpu_s() - c0;
      own_cycles += 10;
      const double c1 = thread_cpu_s();
      for (int i = 0; i < 10; ++i)
        for (const std::string& q : own.steady_cycle.requests)
          own_sim.Feed(reinterpret_cast<const std::uint8_t*>(q.data()), q.size());
      sim_cpu += thread_cpu_s() - c1;
    }
    r.queue_max = std::max(r.queue_max, store.QueueDepth());
    std::this_thread::sleep_until(tick + std::chrono::milliseconds(100));
  }
  r.seconds = std::chrono::duration<double>(Steady::now() - t0).count();
  // The scraper's side of /metrics (receiving and parsing the text) is a
  // client's cost, a Prometheus server's in a site: not the host's.
  r.cpu_s = process_cpu_s() - cpu0 - own_cpu - sim_cpu - scrape_cpu;
  r.scraper_s = scrape_cpu;
  const ThreadCpu threads1 = thread_cpu_by_kind();
  r.devices_s = threads1.devices - threads0.devices;
  r.history_s = threads1.history - threads0.history;
  r.http_s = threads1.http - threads0.http;
  measure.Record(false);
  r.polls = polls() - polls0;
  const StoreStats stats1 = store.Stats();
  r.snapshot_rows_s = static_cast<double>(stats1.rows_written - stats0.rows_written) / r.seconds;
  r.alarm_writes_s = static_cast<double>(measure.AlarmWrites()) / r.seconds;
  r.dropped = stats1.dropped - stats0.dropped;
  r.pool_threads = pool.Stats().peak_threads;
  r.plugin_us = own_cycles > 0 ? own_cpu / static_cast<double>(own_cycles) * 1e6 : 0;
  r.sim_us = own_cycles > 0 ? sim_cpu / static_cast<double>(own_cycles) * 1e6 : 0;

  for (auto& w : workers) w->RequestStop();
  for (auto& w : workers) w->Join();
  workers.clear();
  http.Stop();

  std::vector<double> medians;
  double worst = 0, best = 1e18;
  std::size_t good = 0;
  for (const auto& d : measure.Intervals()) {
    if (d.empty()) continue;
    medians.push_back(median(d));
    const auto [lo, hi] = std::minmax_element(d.begin(), d.end());
    worst = std::max(worst, *hi);
    best = std::min(best, *lo);
    if (*hi <= kIntervalMs * 1.1 && *lo >= kIntervalMs * 0.9) ++good;
  }
  r.interval_median_ms = median(medians);
  r.interval_worst_ms = worst;
  r.interval_best_ms = medians.empty() ? 0 : best;
  r.within_10pct = n > 0 ? static_cast<double>(good) / n : 0;
  std::error_code ec;
  fs::remove_all(dir, ec);
  return r;
}

std::string to_line(const Result& r) {
  return fmt::format("{} {} {} {} {} {} {} {} {} {} {} {} {} {} {} {} {} {} {} {} {} {}", r.devices, r.seconds, r.cpu_s, r.polls,
                     r.plugin_us, r.rss_kib, r.interval_median_ms, r.interval_worst_ms, r.interval_best_ms,
                     r.within_10pct, r.snapshot_rows_s, r.alarm_writes_s, r.queue_max, r.scrape_ms_max,
                     r.scrape_bytes, r.dropped, r.devices_s, r.history_s, r.http_s, r.pool_threads, r.sim_us, r.scraper_s);
}

Result from_line(const std::string& line) {
  std::istringstream in(line);
  Result r;
  in >> r.devices >> r.seconds >> r.cpu_s >> r.polls >> r.plugin_us >> r.rss_kib >> r.interval_median_ms >>
      r.interval_worst_ms >> r.interval_best_ms >> r.within_10pct >> r.snapshot_rows_s >> r.alarm_writes_s >>
      r.queue_max >> r.scrape_ms_max >> r.scrape_bytes >> r.dropped >> r.devices_s >> r.history_s >> r.http_s >>
      r.pool_threads >> r.sim_us >> r.scraper_s;
  if (!in) throw std::runtime_error("unreadable child result: " + line);
  return r;
}

// Runs this program again for one N and reads its result line.
Result spawn(int n, double seconds, double warmup, const std::string& plugin, bool history, int history_rows) {
  const std::string cmd =
      fmt::format("'/proc/{}/exe' --child {} --seconds {} --warmup {} --plugin '{}' --history-rows {}{}", getpid(), n,
                  seconds, warmup, plugin, history_rows, history ? "" : " --no-history");
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) throw std::runtime_error("cannot run " + cmd);
  std::string out;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
  const int status = pclose(p);
  if (status != 0) throw std::runtime_error(fmt::format("the run with {} devices failed ({})", n, status));
  return from_line(out);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Site host cost per device: N simulated devices polled every second (see bench/README.md).");
  double seconds = 60, warmup = 10;
  std::vector<int> devices = {10, 100, 1000};
  std::string plugin = HVR_PLUGIN_PATH;
  int child = -1;
  bool no_history = false;
  int history_rows = 0;
  app.add_option("--seconds", seconds, "measured seconds per N")->check(CLI::Range(1.0, 3600.0));
  app.add_option("--warmup", warmup, "seconds before the measurement")->check(CLI::Range(0.5, 600.0));
  app.add_option("--devices", devices, "the device counts")->delimiter(',')->check(CLI::Range(1, 5000));
  app.add_option("--plugin", plugin, "the plug-in");
  app.add_flag("--no-history", no_history, "the devices write nothing to the history and alarm store");
  // At most the site's default max_rows_per_device: retention trims nothing.
  app.add_option("--history-rows", history_rows, "snapshot rows per device in the history before the start")
      ->check(CLI::Range(0, 100000));
  app.add_option("--child", child, "run one N and print its result line")->group("");
  CLI11_PARSE(app, argc, argv);
  try {
    if (child >= 0) {
      std::cout << to_line(run_child(child, seconds, warmup, plugin, !no_history, history_rows)) << std::endl;
      return 0;
    }
    const Result base = spawn(0, std::min(seconds, 3.0), warmup, plugin, !no_history, 0);
    std::vector<Result> results;
    for (int n : devices) {
      std::cerr << fmt::format("{} devices: {:.0f} s warm-up, {:.0f} s measured{}{}\n", n, warmup, seconds,
                               no_history ? ", no history" : "",
                               history_rows > 0 ? fmt::format(", {} rows per device before", history_rows) : "");
      results.push_back(spawn(n, seconds, warmup, plugin, !no_history, history_rows));
    }
    std::cout << fmt::format("baseline (0 devices): {} KiB resident\n\n", base.rss_kib);
    std::cout << "| devices | polls/s | CPU µs per poll | plug-in µs per poll | simulator µs per poll | "
                 "host µs per poll | total / plug-in | (total − simulator) / plug-in | KiB per device | "
                 "interval median ms | interval worst ms | within 10 % | snapshot rows/s | alarm writes/s | "
                 "queue max | /metrics ms (max) |\n"
                 "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
    for (const Result& r : results) {
      const double per_poll = r.polls > 0 ? r.cpu_s / static_cast<double>(r.polls) * 1e6 : 0;
      std::cout << fmt::format(
          "| {} | {:.0f} | {:.1f} | {:.1f} | {:.1f} | {:.1f} | {:.2f} | {:.2f} | {:.1f} | {:.0f} | {:.0f} | {:.0f} % | "
          "{:.0f} | {:.0f} | {} | {:.1f} |\n",
          r.devices, static_cast<double>(r.polls) / r.seconds, per_poll, r.plugin_us, r.sim_us,
          per_poll - r.plugin_us - r.sim_us, r.plugin_us > 0 ? per_poll / r.plugin_us : 0,
          r.plugin_us > 0 ? (per_poll - r.sim_us) / r.plugin_us : 0,
          static_cast<double>(r.rss_kib - base.rss_kib) / r.devices, r.interval_median_ms, r.interval_worst_ms,
          r.within_10pct * 100, r.snapshot_rows_s, r.alarm_writes_s, r.queue_max, r.scrape_ms_max);
      if (r.dropped > 0) std::cout << fmt::format("  {} devices: {} history writes dropped\n", r.devices, r.dropped);
    }
    // Where the process's time goes, by thread kind (the poll threads run
    // the plug-in, the line and the simulator besides the host's own part
    // of a poll).
    std::cout << "\n| devices | poll threads (most) | poll threads µs per poll | history writer µs per poll | "
                 "HTTP µs per poll | rest µs per poll | scraper µs per poll (not counted) |\n"
                 "|---|---|---|---|---|---|---|\n";
    for (const Result& r : results) {
      const double polls = r.polls > 0 ? static_cast<double>(r.polls) : 1.0;
      const double rest = r.cpu_s - r.devices_s - r.history_s - r.http_s;
      std::cout << fmt::format("| {} | {} | {:.1f} | {:.1f} | {:.1f} | {:.1f} | {:.1f} |\n", r.devices,
                               r.pool_threads, r.devices_s / polls * 1e6, r.history_s / polls * 1e6,
                               r.http_s / polls * 1e6, rest / polls * 1e6, r.scraper_s / polls * 1e6);
    }
  } catch (const std::exception& e) {
    std::cerr << "hvr_site_scale: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
