// Runs one workload of the benchmarks a given number of times, so that an
// instruction counter can measure it apart from the set-up:
//
//   valgrind --tool=callgrind --toggle-collect='bench::Measured*'
//            hvr_ir_count WORKLOAD SITE ITERATIONS
//
// WORKLOAD is decode, snapshot, default, mobile, floor-default,
// floor-mobile or getvalue; SITE small or large. The first output line
// gives the reports (or queries) one iteration makes. Used by callgrind.sh.
#include <cstdlib>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "alarms/evaluate.h"
#include "alarms/workspace.h"
#include "site.h"

namespace bench {

// The measured loops, kept out of line so that the counter can be switched
// on for them alone.
[[gnu::noinline]] void MeasuredEvaluations(HVR38QT& device, hvr38qt::alarms::Workspace& w, long n) {
  const hvr38qt::DeviceView view = device.View();
  const auto host = device.LockController();
  for (long i = 0; i < n; ++i) hvr38qt::alarms::evaluate(view, host.get(), w);
}
[[gnu::noinline]] void MeasuredReplays(KRTController& host, const std::vector<Report>& r, long n) {
  for (long i = 0; i < n; ++i) ReplayReports(host, r);
}
[[gnu::noinline]] void MeasuredCycles(SiteDevice& d, long n) {
  for (long i = 0; i < n; ++i) d.RunCycle();
}
[[gnu::noinline]] void MeasuredSnapshots(HVR38QT& device, long n) {
  for (long i = 0; i < n; ++i) device.RunCheckThreshold();
}
[[gnu::noinline]] float MeasuredQueries(const HVR38QT& device, const std::vector<std::string>& names,
                                        long n) {
  float sum = 0.0f;
  for (long i = 0; i < n; ++i)
    for (const std::string& name : names) sum += device.Get_Value(1, name);
  return sum;
}

namespace {

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Drops standard output (the mobile rule set's trace lines) while it lives.
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

int usage() {
  std::cerr << "usage: hvr_ir_count decode|snapshot|default|mobile|floor-default|floor-mobile|"
               "getvalue small|large ITERATIONS\n";
  return 2;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  if (argc != 4) return usage();
  const std::string workload = argv[1];
  const std::string site_name = argv[2];
  const long n = std::atol(argv[3]);
  const Site* site = nullptr;
  for (const Site& s : kSites)
    if (site_name == s.name) site = &s;
  if (site == nullptr || n <= 0) return usage();

  std::ostream out(std::cout.rdbuf());
  const QuietStdout quiet;
  auto host = std::make_shared<NullHost>();
  if (workload == "default" || workload == "mobile") {
    const int mode = workload == "default" ? 0 : 2;
    out << RecordReports(*site, mode).size() << " reports\n";
    auto d = RuleDevice(*site, mode, host);
    auto w = hvr38qt::alarms::make_workspace();
    hvr38qt::alarms::evaluate(d->device->View(), host.get(), *w);  // warm-up
    MeasuredEvaluations(*d->device, *w, n);
  } else if (workload == "floor-default" || workload == "floor-mobile") {
    const auto reports = RecordReports(*site, workload == "floor-default" ? 0 : 2);
    out << reports.size() << " reports\n";
    MeasuredReplays(*host, reports, n);
  } else if (workload == "decode") {
    SiteDevice d(*site, 1, host);
    out << d.steady_cycle.frames.size() << " frames\n";
    MeasuredCycles(d, n);
  } else if (workload == "snapshot") {
    SiteDevice d(*site, 1, host);
    out << "1 snapshot\n";
    MeasuredSnapshots(*d.device, n);
  } else if (workload == "getvalue") {
    SiteDevice d(*site, 1, host);
    const std::vector<std::string> names = {"va1", "vb1", "vc1", "out_v", "ac", "ac1", "ac2"};
    out << names.size() << " queries\n";
    if (MeasuredQueries(*d.device, names, n) < -1e30f) out << "\n";
  } else {
    return usage();
  }
  return 0;
}
