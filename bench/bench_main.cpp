// Cost per poll cycle of one device, for a small and a large site:
//
//   Decode/<site>        a whole steady-state cycle's replies through
//                        process (mode 1: the cycle end lays out the
//                        snapshot and runs no rules)
//   Snapshot/<site>      the snapshot step of the cycle end alone
//   DefaultRules/<site>  one evaluation of the default rule set
//   MobileRules/<site>   one evaluation of the mobile rule set, every rule
//                        supervised (its trace lines go to a null stream)
//   GetValue/<site>      the seven value queries
//   Floor/<set>/<site>   the same number of CheckThresholdBool calls as one
//                        evaluation of the rule set, with texts built
//                        beforehand: the least any evaluation can cost
//
// Every host hook does nothing (an out-of-line virtual call). After the
// runs a table gives the time per report of each rule set, its ratio to the
// floor and the targets.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <set>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "alarms/evaluate.h"
#include "alarms/workspace.h"
#include "alloc_count.h"
#include "site.h"

namespace bench {
namespace {

// Drops what is written to it.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

class QuietStdout {
 public:
  QuietStdout() : saved_(std::cout.rdbuf(&null_)) {}
  ~QuietStdout() { std::cout.rdbuf(saved_); }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  NullBuffer null_;
  std::streambuf* saved_;
};

enum class RuleSet { kDefault, kMobile };

const char* rule_set_name(RuleSet set) {
  return set == RuleSet::kDefault ? "DefaultRules" : "MobileRules";
}

int mode_of(RuleSet set) { return set == RuleSet::kDefault ? 0 : 2; }

void set_allocations(benchmark::State& state, std::size_t before) {
  state.counters["allocs"] = benchmark::Counter(static_cast<double>(Allocations() - before),
                                                benchmark::Counter::kAvgIterations);
}

void set_reports(benchmark::State& state, std::size_t reports) {
  state.counters["reports"] = static_cast<double>(reports);
  // Seconds per report.
  state.counters["per_report"] = benchmark::Counter(
      static_cast<double>(reports),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Decode(benchmark::State& state, Site site) {
  SiteDevice d(site, 1, std::make_shared<NullHost>());
  d.RunCycle();
  const std::size_t before = Allocations();
  for (auto _ : state) d.RunCycle();
  set_allocations(state, before);
  state.counters["frames"] = static_cast<double>(d.steady_cycle.frames.size());
  state.counters["line_bytes"] =
      static_cast<double>(d.steady_cycle.request_bytes + d.steady_cycle.reply_bytes);
}

void BM_Snapshot(benchmark::State& state, Site site) {
  SiteDevice d(site, 1, std::make_shared<NullHost>());
  d.device->RunCheckThreshold();
  const std::size_t before = Allocations();
  for (auto _ : state) d.device->RunCheckThreshold();
  set_allocations(state, before);
  state.counters["snapshot_bytes"] = d.device->SnapshotSize();
}

void BM_Rules(benchmark::State& state, Site site, RuleSet set, std::size_t reports) {
  auto d = RuleDevice(site, mode_of(set), std::make_shared<NullHost>());
  auto workspace = hvr38qt::alarms::make_workspace();
  const hvr38qt::DeviceView view = d->device->View();
  KRTController* host = d->host.get();
  hvr38qt::alarms::evaluate(view, host, *workspace);  // warm-up: sizes the buffers
  const std::size_t before = Allocations();
  for (auto _ : state) hvr38qt::alarms::evaluate(view, host, *workspace);
  set_allocations(state, before);
  set_reports(state, reports);
}

void BM_Floor(benchmark::State& state, std::vector<Report> reports) {
  NullHost null_host;
  KRTController* host = &null_host;
  benchmark::DoNotOptimize(host);  // the call stays virtual
  const std::size_t before = Allocations();
  for (auto _ : state) {
    ReplayReports(*host, reports);
    benchmark::ClobberMemory();
  }
  set_allocations(state, before);
  set_reports(state, reports.size());
}

void BM_GetValue(benchmark::State& state, Site site) {
  SiteDevice d(site, 1, std::make_shared<NullHost>());
  const std::vector<std::string> names = {"va1", "vb1", "vc1", "out_v", "ac", "ac1", "ac2"};
  const std::size_t before = Allocations();
  for (auto _ : state) {
    for (const std::string& name : names) benchmark::DoNotOptimize(d.device->Get_Value(1, name));
  }
  set_allocations(state, before);
  state.counters["queries"] = static_cast<double>(names.size());
}

// ---------------------------------------------------------------------------
// The table after the runs.

struct Figures {
  double ns_per_iteration = 0.0;
  double reports = 0.0;
  double allocs = 0.0;
};

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // With repetitions the median stands for the benchmark; without, the
      // one run does.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      const std::string name = run.run_name.function_name;
      if (run.run_type == Run::RT_Iteration && medians_.count(name) != 0) continue;
      if (median) medians_.insert(name);
      Figures f;
      f.ns_per_iteration =
          run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
      if (auto it = run.counters.find("reports"); it != run.counters.end()) f.reports = it->second;
      if (auto it = run.counters.find("allocs"); it != run.counters.end()) f.allocs = it->second;
      figures_[name] = f;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::ostream& out = GetOutputStream();
    bool header = false;
    for (const RuleSet set : {RuleSet::kDefault, RuleSet::kMobile}) {
      for (const Site& site : kSites) {
        const std::string name = fmt::format("{}/{}", rule_set_name(set), site.name);
        const auto it = figures_.find(name);
        if (it == figures_.end() || it->second.reports <= 0) continue;
        if (!header) {
          out << "\nPer report (CPU time; the median when repeated):\n"
              << fmt::format("{:<20} {:>8} {:>12} {:>11} {:>11} {:>7} {:>10}  {}\n", "rule set/site",
                             "reports", "us/eval", "ns/report", "floor ns", "ratio", "allocs/eval",
                             "target");
          header = true;
        }
        const Figures& f = it->second;
        const double per_report = f.ns_per_iteration / f.reports;
        std::string floor_text = "-", ratio_text = "-", target = "";
        if (const auto fl = figures_.find("Floor/" + name);
            fl != figures_.end() && fl->second.reports > 0) {
          const double floor = fl->second.ns_per_iteration / fl->second.reports;
          const double ratio = per_report / floor;
          floor_text = fmt::format("{:.2f}", floor);
          ratio_text = fmt::format("{:.2f}", ratio);
          if (set == RuleSet::kDefault) {
            const bool large = std::string(site.name) == kLargeSite.name;
            const bool met = ratio <= 3.0 && (!large || per_report <= 30.0);
            target = fmt::format("{} ({})", large ? "<= 3.0x floor, <= 30 ns" : "<= 3.0x floor",
                                 met ? "met" : "MISSED");
          }
        }
        out << fmt::format("{:<20} {:>8.0f} {:>12.2f} {:>11.2f} {:>11} {:>7} {:>10.1f}  {}\n", name,
                           f.reports, f.ns_per_iteration / 1e3, per_report, floor_text, ratio_text,
                           f.allocs, target);
      }
    }
    out.flush();
  }

 private:
  std::map<std::string, Figures> figures_;
  std::set<std::string> medians_;
};

void register_benchmarks() {
  for (const Site& site : kSites) {
    const std::string s = site.name;
    benchmark::RegisterBenchmark(("Decode/" + s).c_str(), BM_Decode, site)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("Snapshot/" + s).c_str(), BM_Snapshot, site)
        ->Unit(benchmark::kNanosecond);
    for (const RuleSet set : {RuleSet::kDefault, RuleSet::kMobile}) {
      const std::vector<Report> reports = RecordReports(site, mode_of(set));
      const std::string name = fmt::format("{}/{}", rule_set_name(set), s);
      benchmark::RegisterBenchmark(name.c_str(), BM_Rules, site, set, reports.size())
          ->Unit(benchmark::kMicrosecond);
      benchmark::RegisterBenchmark(("Floor/" + name).c_str(), BM_Floor, reports)
          ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark(("GetValue/" + s).c_str(), BM_GetValue, site)
        ->Unit(benchmark::kNanosecond);
  }
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The figures go to standard output; the mobile rule set's trace lines,
  // which the device writes there too, are dropped.
  std::ostream figures(std::cout.rdbuf());
  const bench::QuietStdout quiet;
  bench::register_benchmarks();
  bench::SummaryReporter reporter;
  reporter.SetOutputStream(&figures);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
