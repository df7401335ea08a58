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

#include <CLI/CLI.hpp>
#include <fmt/chrono.h>
#include <fmt/format.h>

#include "line_capture.h"
#include "replay.h"
#include "scenario.h"
#include "server.h"
#include "simulator.h"

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop = true; }

int usage_error(const std::string& what) {
  std::cerr << "hvr38qt-sim: " << what << " (see hvr38qt-sim --help)" << std::endl;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> scenario_path, replay_path, tcp;
  bool pty = false, echo = false, verbose = false, print_default = false;
  unsigned rate = 0;
  std::string scenario_text, replay_text, tcp_text, rate_text;
  CLI::App app("The controller simulator: answers the controller protocol from a scenario, or replays a "
               "line capture, on a TCP port or a pseudo-terminal, until SIGINT or SIGTERM.",
               "hvr38qt-sim");
  app.set_help_flag("-h,--help", "show this help and exit");
  auto* o_scenario = app.add_option("--scenario", scenario_text, "the scenario file (default: a small site)")
                         ->type_name("FILE");
  auto* o_replay = app.add_option("--replay", replay_text, "answer from a line capture")->type_name("CAPTURE");
  auto* o_tcp = app.add_option("--tcp", tcp_text, "listen on HOST:PORT (port 0: any free one)")
                    ->type_name("HOST:PORT");
  app.add_flag("--pty", pty, "serve a pseudo-terminal");
  auto* o_rate = app.add_option("--rate", rate_text, "line rate towards the host (default: the scenario's)")
                     ->type_name("BYTES_PER_S");
  app.add_flag("--echo", echo, "send every request back ahead of its reply (RS-485)");
  app.add_flag("--verbose", verbose, "log connections and requests on standard error");
  app.add_flag("--print-default-scenario", print_default, "print the default scenario and exit");
  for (auto* o : {o_scenario, o_replay, o_tcp, o_rate}) o->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::ExtrasError&) {
    const auto rest = app.remaining();
    return usage_error("unknown argument \"" + (rest.empty() ? std::string() : rest.front()) + "\"");
  } catch (const CLI::ArgumentMismatch& e) {
    const std::string what = e.what();
    const std::string name = what.substr(0, what.find(':'));
    if (name == "--scenario") return usage_error("--scenario needs a file");
    if (name == "--replay") return usage_error("--replay needs a capture file");
    if (name == "--tcp") return usage_error("--tcp needs HOST:PORT");
    return usage_error("--rate needs a number of bytes per second from 1 to 10000000");
  } catch (const CLI::ParseError& e) {
    return usage_error(e.what());
  }
  if (print_default) {
    std::cout << sim::DefaultScenarioText();
    return 0;
  }
  if (o_scenario->count() > 0) scenario_path = scenario_text;
  if (o_replay->count() > 0) replay_path = replay_text;
  if (o_tcp->count() > 0) tcp = tcp_text;
  if (o_rate->count() > 0) {
    try {
      std::size_t used = 0;
      const unsigned long r = std::stoul(rate_text, &used);
      if (used != rate_text.size() || r == 0 || r > 10'000'000 || rate_text[0] == '-')
        throw std::invalid_argument("");
      rate = static_cast<unsigned>(r);
    } catch (const std::exception&) {
      return usage_error("--rate needs a number of bytes per second from 1 to 10000000");
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
