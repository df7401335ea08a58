// hvr38qt-sim: answers the controller protocol from a scenario, or replays
// a line capture, on a TCP port or a pseudo-terminal, until SIGINT or
// SIGTERM.
#include <csignal>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "line_capture.h"
#include "scenario.h"
#include "server.h"
#include "simulator.h"

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop = true; }

constexpr const char* kUsage =
    "usage: hvr38qt-sim [--scenario FILE | --replay CAPTURE] (--tcp HOST:PORT | --pty)\n"
    "                   [--rate BYTES_PER_S] [--echo] [--verbose]\n"
    "       hvr38qt-sim --print-default-scenario\n";

int usage_error(const std::string& what) {
  std::cerr << "hvr38qt-sim: " << what << " (see hvr38qt-sim --help)" << std::endl;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> scenario_path, replay_path, tcp;
  bool pty = false, echo = false, verbose = false;
  unsigned rate = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--print-default-scenario") {
      std::cout << sim::DefaultScenarioText();
      return 0;
    } else if (a == "--scenario") {
      if (!(scenario_path = value())) return usage_error("--scenario needs a file");
    } else if (a == "--replay") {
      if (!(replay_path = value())) return usage_error("--replay needs a capture file");
    } else if (a == "--tcp") {
      if (!(tcp = value())) return usage_error("--tcp needs HOST:PORT");
    } else if (a == "--pty") {
      pty = true;
    } else if (a == "--rate") {
      const auto v = value();
      try {
        std::size_t used = 0;
        const unsigned long r = v ? std::stoul(*v, &used) : 0;
        if (!v || used != v->size() || r == 0 || r > 10'000'000) throw std::invalid_argument("");
        rate = static_cast<unsigned>(r);
      } catch (const std::exception&) {
        return usage_error("--rate needs a number of bytes per second from 1 to 10000000");
      }
    } else if (a == "--echo") {
      echo = true;
    } else if (a == "--verbose") {
      verbose = true;
    } else {
      return usage_error("unknown argument \"" + a + "\"");
    }
  }
  if (tcp.has_value() == pty) return usage_error("give exactly one of --tcp and --pty");
  if (replay_path && scenario_path) return usage_error("--replay and --scenario exclude each other");
  if (replay_path && echo) return usage_error("--echo does not apply to --replay: a capture holds its echoes");

  std::unique_ptr<sim::Responder> responder;
  sim::Simulator* simulator = nullptr;
  sim::Replay* replay = nullptr;
  if (replay_path) {
    std::ifstream in(*replay_path, std::ios::binary);
    if (!in) {
      std::cerr << "hvr38qt-sim: capture " << *replay_path << ": cannot be read\n";
      return 2;
    }
    std::ostringstream text;
    text << in.rdbuf();
    try {
      auto exchanges = sim::Exchanges(sim::ParseCapture(text.str()));
      if (exchanges.empty()) {
        std::cerr << "hvr38qt-sim: capture " << *replay_path << ": holds no request\n";
        return 2;
      }
      auto r = std::make_unique<sim::Replay>(std::move(exchanges));
      replay = r.get();
      responder = std::move(r);
    } catch (const sim::CaptureError& e) {
      std::cerr << "hvr38qt-sim: " << *replay_path << ": " << e.what() << "\n";
      return 2;
    }
  } else {
    sim::Scenario scenario;
    try {
      scenario = scenario_path ? sim::LoadScenarioFile(*scenario_path) : sim::DefaultScenario();
    } catch (const sim::ScenarioError& e) {
      std::cerr << "hvr38qt-sim: scenario " << e.what() << "\n";
      return 2;
    }
    if (echo) scenario.echo = true;
    if (rate == 0) rate = scenario.line_rate;
    auto s = std::make_unique<sim::Simulator>(std::move(scenario));
    simulator = s.get();
    responder = std::move(s);
  }

  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  std::signal(SIGPIPE, SIG_IGN);
  sim::ServerLog log;
  if (verbose) log = [](const std::string& text) { std::cerr << "hvr38qt-sim: " << text << std::endl; };

  try {
    if (tcp) {
      std::string host;
      std::uint16_t port = 0;
      std::string error;
      if (!sim::ParseEndpoint(*tcp, host, port, error)) return usage_error("--tcp: " + error);
      sim::TcpServer server(*responder, host, port, rate, log);
      // The first line tells a driving program where to connect.
      std::cout << "tcp " << server.Address() << std::endl;
      server.Run(g_stop);
    } else {
      sim::PtyServer server(*responder, rate, log);
      std::cout << "pty " << server.SlavePath() << std::endl;
      server.Run(g_stop);
    }
  } catch (const std::exception& e) {
    std::cerr << "hvr38qt-sim: " << e.what() << "\n";
    return 1;
  }
  if (verbose && simulator != nullptr)
    std::cerr << "hvr38qt-sim: " << simulator->RequestCount() << " requests answered\n";
  if (verbose && replay != nullptr)
    std::cerr << "hvr38qt-sim: " << replay->Answered() << " requests answered from the capture, "
              << replay->Unknown() << " not in it\n";
  return 0;
}
