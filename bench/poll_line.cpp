// Poll cycles of a device over a slow line, timed against the line itself.
//
// The reference host's poll loop (PollRunner with its line tap and host
// controller) drives the device over the simulator's in-process line,
// paced at the given rate in both directions. Each cycle's wall time is
// compared with the time its bytes need on the line, requests and replies
// together: (request bytes + reply bytes) / rate. Any wait or gap between a
// reply and the next request shows as a ratio above 1.
//
//   hvr_poll_line [--site small|large|all] [--rate BYTES_PER_S] [--cycles N]
//                 [--mode M] [--limit RATIO]
//
// Defaults: all sites, 960 bytes/s (9600 baud, 8N1), 3 cycles, mode 0 (the
// default rule set runs at every cycle end). With --limit the exit status
// is 1 when a cycle's ratio exceeds it; every cycle must complete.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <json/json.h>

#include "plugin/providers.h"
#include "event_writer.h"
#include "host_controller.h"
#include "line_tap.h"
#include "poll_runner.h"
#include "sim_transport.h"
#include "simulator.h"
#include "site.h"

namespace {

using Clock = std::chrono::steady_clock;

// Counts the bytes that pass in each direction.
class CountingLine : public ByteTransport {
 public:
  explicit CountingLine(std::shared_ptr<ByteTransport> inner) : inner_(std::move(inner)) {}
  bool Open() override { return inner_->Open(); }
  void Close() override { inner_->Close(); }
  bool IsOpen() const override { return inner_->IsOpen(); }
  bool Write(const std::uint8_t* data, std::size_t size) override {
    sent += size;
    const bool ok = inner_->Write(data, size);
    last_error_ = inner_->LastError();
    return ok;
  }
  long Read(std::uint8_t* buffer, std::size_t size, int timeout_ms) override {
    const long n = inner_->Read(buffer, size, timeout_ms);
    if (n > 0) received += static_cast<std::size_t>(n);
    last_error_ = inner_->LastError();
    return n;
  }

  std::size_t sent = 0;
  std::size_t received = 0;

 private:
  std::shared_ptr<ByteTransport> inner_;
};

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

struct Args {
  std::vector<bench::Site> sites{std::begin(bench::kSites), std::end(bench::kSites)};
  unsigned rate = 960;
  long cycles = 3;
  int mode = 0;
  double limit = 0.0;  // 0: no limit
};

[[noreturn]] void usage(const std::string& problem) {
  std::cerr << "hvr_poll_line: " << problem
            << "\nusage: hvr_poll_line [--site small|large|all] [--rate BYTES_PER_S] "
               "[--cycles N] [--mode M] [--limit RATIO]\n";
  std::exit(2);
}

Args parse_args(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (i + 1 >= argc) usage(opt + " needs a value");
    const std::string value = argv[++i];
    if (opt == "--site") {
      if (value == "all") continue;
      a.sites.clear();
      for (const auto& s : bench::kSites)
        if (value == s.name) a.sites.push_back(s);
      if (a.sites.empty()) usage("unknown site " + value);
    } else if (opt == "--rate") {
      a.rate = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
      if (a.rate == 0) usage("--rate must be positive");
    } else if (opt == "--cycles") {
      a.cycles = std::strtol(value.c_str(), nullptr, 10);
      if (a.cycles <= 0) usage("--cycles must be positive");
    } else if (opt == "--mode") {
      a.mode = std::atoi(value.c_str());
    } else if (opt == "--limit") {
      a.limit = std::strtod(value.c_str(), nullptr);
    } else {
      usage("unknown option " + opt);
    }
  }
  return a;
}

Json::Value parse_config(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errors;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  r->parse(text.data(), text.data() + text.size(), &v, &errors);
  return v;
}

// Runs the cycles of one site; false when a cycle failed or missed the limit.
bool run_site(const bench::Site& site, const Args& a) {
  auto simulator = std::make_shared<sim::Simulator>(bench::SiteScenario(site, a.rate));
  auto line = std::make_shared<CountingLine>(std::make_shared<sim::SimTransport>(simulator, a.rate));
  krthost::LineTap tap(line, nullptr);
  // The tap is owned by the runner's caller; the device holds it shared.
  std::shared_ptr<krthost::LineTap> tap_ref(&tap, [](krthost::LineTap*) {});
  NullBuffer null_buffer;
  std::ostream null_log(&null_buffer);
  krthost::EventWriter events(nullptr);
  auto controller = std::make_shared<krthost::HostController>(events, null_log);

  HVR38QT device{hvr38qt::device_parts()};
  device.SetTransport(tap_ref);
  device.Init(controller, 1, parse_config(bench::SiteConfig(site, a.mode)));

  krthost::PollTimeouts timeouts;
  timeouts.reply_limit_ms = krthost::ReplyLimitMs(timeouts.first_byte_ms, timeouts.inter_byte_ms,
                                                  a.rate * 10);
  krthost::PollRunner runner(device, tap, *controller, events, timeouts);

  bool ok = true;
  for (long i = 0; i < a.cycles; ++i) {
    line->sent = 0;
    line->received = 0;
    const auto start = Clock::now();
    const krthost::PollResult r = runner.Poll(i);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const std::size_t bytes = line->sent + line->received;
    const double needed = static_cast<double>(bytes) / a.rate;
    const double ratio = wall / needed;
    const bool complete = r.outcome == krthost::PollOutcome::kComplete;
    const bool within = a.limit <= 0.0 || ratio <= a.limit;
    std::cout << fmt::format(
        "{:<6} cycle {}: {:>5} request + {:>6} reply bytes, line {:8.3f} s, wall {:8.3f} s, "
        "ratio {:.4f}, gaps {:7.2f} ms{}{}\n",
        site.name, i + 1, line->sent, line->received, needed, wall, ratio,
        (wall - needed) * 1e3, complete ? "" : fmt::format(" ({})", krthost::OutcomeName(r.outcome)),
        within ? "" : " ABOVE LIMIT");
    ok = ok && complete && within;
  }
  device.SetTransport(nullptr);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const Args a = parse_args(argc, argv);
  std::cout << fmt::format("line {} bytes/s, mode {}, {} cycle(s) per site\n", a.rate, a.mode,
                           a.cycles);
  bool ok = true;
  for (const auto& site : a.sites) ok = run_site(site, a) && ok;
  return ok ? 0 : 1;
}
