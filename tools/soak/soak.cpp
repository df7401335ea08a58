// hvr38qt-soak: polls the device through the reference host's poll loop
// against the in-process simulator, many times in one process, with an
// alarm list that changes at every poll and the default rule set, and
// watches the resident memory.
//
// Every poll is checked: its outcome, the snapshot's size, the alarm list
// the device took and the values it reports. The program fails (exit 1)
// when a poll is wrong or when the resident memory grows by more than the
// tolerance after the warm-up.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <streambuf>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "device/hvr38qt.h"
#include "event_writer.h"
#include "host_controller.h"
#include "line_tap.h"
#include "plugin/providers.h"
#include "poll_runner.h"
#include "scenario.h"
#include "sim_transport.h"
#include "simulator.h"

namespace {

constexpr const char* kUsage =
    "usage: hvr38qt-soak [--polls N] [--warmup N] [--report-every N]\n"
    "                    [--rss-tolerance-kb KB] [--seed N]\n";

// Six modules, one AC unit and one DC unit, as the default scenario.
constexpr int kSnapshotSize = 1646;

struct Settings {
  long polls = 100'000;
  long warmup = -1;        // -1: a tenth of the polls, 500 to 10,000
  long report_every = -1;  // -1: a tenth of the polls
  long tolerance_kb = 512;
  unsigned seed = 1;
};

std::optional<long> number(const char* text, long min) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min) return std::nullopt;
  return v;
}

bool parse(int argc, char** argv, Settings& s) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      std::exit(0);
    }
    if (i + 1 >= argc) return false;
    const auto v = number(argv[++i], a == "--seed" || a == "--warmup" ? 0 : 1);
    if (!v) return false;
    if (a == "--polls") s.polls = *v;
    else if (a == "--warmup") s.warmup = *v;
    else if (a == "--report-every") s.report_every = *v;
    else if (a == "--rss-tolerance-kb") s.tolerance_kb = *v;
    else if (a == "--seed") s.seed = static_cast<unsigned>(*v);
    else return false;
  }
  // The simulator's request log fills in the first 300 polls or so.
  if (s.warmup < 0) s.warmup = std::min<long>(std::max<long>(s.polls / 10, 500), 10'000);
  if (s.warmup >= s.polls) s.warmup = s.polls / 2;
  if (s.report_every < 0) s.report_every = std::max<long>(s.polls / 10, 1);
  return s.warmup < s.polls;
}

long resident_kb() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// Counts the log lines written to it and keeps the first few.
class LogCounter : public std::streambuf {
 public:
  long lines = 0;
  std::vector<std::string> first;

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    if (c == '\n') {
      if (first.size() < 5) first.push_back(current_);
      current_.clear();
      ++lines;
    } else if (first.size() < 5) {
      current_.push_back(static_cast<char>(c));
    }
    return c;
  }

 private:
  std::string current_;
};

// The alarm list of poll i. The first polls take every size that changes
// how many parts the list needs (0, 1, 50, 51, 100, 101, 150, 151, 255);
// later ones a random size and random entries.
std::vector<sim::AlarmEntry> alarms_for(long i, std::mt19937& rng) {
  static const std::size_t kEdges[] = {0, 1, 50, 51, 100, 101, 150, 151, 255};
  constexpr std::size_t kEdgeCount = sizeof kEdges / sizeof kEdges[0];
  static const std::uint8_t kCategories[] = {1, 6, 8, 11, 12, 13, 14, 15};
  const std::size_t n = static_cast<std::size_t>(i) < kEdgeCount ? kEdges[i] : rng() % 256;
  std::vector<sim::AlarmEntry> out(n);
  for (auto& e : out) {
    e.unit = static_cast<std::uint8_t>(rng() % 3);
    e.category = kCategories[rng() % sizeof kCategories];
    e.code = static_cast<std::uint16_t>(rng() % 64);
  }
  return out;
}

bool same_alarms(const std::vector<hvr38qt::alarm_item>& got, const std::vector<sim::AlarmEntry>& want) {
  if (got.size() != want.size()) return false;
  for (std::size_t k = 0; k < got.size(); ++k)
    if (got[k].unit != want[k].unit || got[k].category != want[k].category || got[k].code != want[k].code)
      return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  if (!parse(argc, argv, s)) {
    std::cerr << "hvr38qt-soak: bad arguments (the warm-up must be shorter than the run)\n" << kUsage;
    return 2;
  }

  auto simulator = std::make_shared<sim::Simulator>(sim::DefaultScenario());
  krthost::EventWriter events(nullptr);
  LogCounter log_buf;
  std::ostream log(&log_buf);
  auto controller = std::make_shared<krthost::HostController>(events, log);
  auto line = std::make_shared<krthost::LineTap>(std::make_shared<sim::SimTransport>(simulator),
                                                 krthost::LineTap::RequestFn{});

  const ProviderList providers = get_providers();
  auto provider = providers.empty() ? nullptr
                                    : std::dynamic_pointer_cast<KRTSPDeviceProvider>(providers.front());
  if (!provider) {
    std::cerr << "hvr38qt-soak: the plug-in gave no serial device provider\n";
    return 1;
  }
  std::unique_ptr<KRTSPDevice> owned(provider->create());
  auto* device = dynamic_cast<HVR38QT*>(owned.get());
  if (device == nullptr) {
    std::cerr << "hvr38qt-soak: the provider's device is not the controller device\n";
    return 1;
  }
  device->SetTransport(line);
  Json::Value config;
  config["appSetting"]["b_mode"] = "0";  // the default rule set
  device->Init(controller, 1, config);

  krthost::PollRunner runner(*device, *line, *controller, events, krthost::PollTimeouts{2000, 200, 8000});
  const std::vector<std::string> queries = {"va1", "out_v", "ac", "unknown"};
  std::mt19937 rng(s.seed);

  long complete = 0, unchanged = 0, wrong = 0, reports = 0, active = 0;
  long rss_after_warmup = -1, rss_peak = 0;
  std::cout << fmt::format("hvr38qt-soak: {} polls, warm-up {}, tolerance {} kB, rss at start {} kB\n",
                           s.polls, s.warmup, s.tolerance_kb, resident_kb());
  for (long i = 0; i < s.polls; ++i) {
    // Every eighth poll (after the first) the controller reports no change.
    const bool quiet = i > 0 && i % 8 == 7;
    const auto alarms = alarms_for(i, rng);
    simulator->SetChanged(!quiet);
    if (!quiet) simulator->SetAlarms(alarms);

    const krthost::PollResult r = runner.Poll(i);
    const auto values = runner.Query(queries);
    std::string fault;
    if (quiet) {
      if (r.outcome != krthost::PollOutcome::kUnchanged) fault = "outcome " + std::string(krthost::OutcomeName(r.outcome));
    } else if (r.outcome != krthost::PollOutcome::kComplete) {
      fault = fmt::format("outcome {} in state {}", krthost::OutcomeName(r.outcome), r.state);
    } else if (controller->LastSnapshot().size() != kSnapshotSize) {
      fault = fmt::format("snapshot of {} bytes", controller->LastSnapshot().size());
    } else if (!same_alarms(device->AlarmList(), alarms)) {
      fault = fmt::format("alarm list of {} entries, {} sent", device->AlarmList().size(), alarms.size());
    }
    if (fault.empty() && !(values.size() == 4 && values[0].ok && values[0].value == 230.4f &&
                           values[1].ok && values[1].value == 53.5f && values[2].ok && !values[3].ok))
      fault = "value queries";
    if (!fault.empty() && ++wrong <= 5) std::cerr << fmt::format("hvr38qt-soak: poll {}: {}\n", i + 1, fault);
    (quiet ? unchanged : complete) += fault.empty() ? 1 : 0;
    if (!quiet) {
      reports += static_cast<long>(controller->ActiveReports().size());
      active += controller->ActiveReports().empty() ? 0 : 1;
    }

    const long rss = resident_kb();
    rss_peak = std::max(rss_peak, rss);
    if (i + 1 == s.warmup) rss_after_warmup = rss;
    if ((i + 1) % s.report_every == 0 || i + 1 == s.polls)
      std::cout << fmt::format("poll {}: rss {} kB\n", i + 1, rss) << std::flush;
  }
  if (rss_after_warmup < 0) rss_after_warmup = resident_kb();  // warm-up 0

  const long rss_end = resident_kb();
  const long growth = rss_end - rss_after_warmup;
  std::cout << fmt::format(
      "polls {}: complete {}, unchanged {}, wrong {}; active alarm reports {} in {} polls; "
      "log lines {}\n",
      s.polls, complete, unchanged, wrong, reports, active, log_buf.lines);
  for (const auto& l : log_buf.first) std::cout << "  log: " << l << "\n";
  std::cout << fmt::format("rss after warm-up {} kB, at the end {} kB, peak {} kB, growth {} kB (tolerance {} kB)\n",
                           rss_after_warmup, rss_end, rss_peak, growth, s.tolerance_kb);
  if (wrong > 0) {
    std::cout << "FAIL: wrong polls\n";
    return 1;
  }
  if (log_buf.lines > 0) {
    std::cout << "FAIL: the device or the host logged during a clean run\n";
    return 1;
  }
  if (growth > s.tolerance_kb) {
    std::cout << "FAIL: resident memory grew after the warm-up\n";
    return 1;
  }
  std::cout << "ok\n";
  return 0;
}
