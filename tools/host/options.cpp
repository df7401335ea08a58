#include "options.h"

#include <charconv>
#include <memory>
#include <limits>

#include <CLI/CLI.hpp>

#include "serial_transport.h"
#include "server.h"

namespace krthost {
namespace {

template <class T>
T number(const std::string& option, const std::string& text, T min, T max) {
  T v{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || v < min || v > max)
    throw UsageError(option + " needs a whole number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ", not \"" + text + "\"");
  return v;
}

}  // namespace

bool ParseLogLevel(const std::string& text, LogLevel& level) {
  for (LogLevel l : {LogLevel::kError, LogLevel::kWarn, LogLevel::kInfo, LogLevel::kDebug})
    if (text == LogLevelName(l)) {
      level = l;
      return true;
    }
  return false;
}

const char* LogLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::kError: return "error";
    case LogLevel::kWarn: return "warn";
    case LogLevel::kInfo: return "info";
    case LogLevel::kDebug: return "debug";
  }
  return "info";
}

namespace {

// What the command line gave, as text: checked and converted after the
// parse, so that every problem is one line naming the option.
struct Given {
  std::string plugin, config, device_id, tcp, serial, baud, sim_rate, cycles, interval, reply_timeout,
      byte_timeout, events, capture, log_level;
  std::vector<std::string> simulate, queries;
  bool trace = false;
};

// The command line's options. Repeated options take the last value (the
// lines count every use, so two lines are refused).
std::unique_ptr<CLI::App> make_app(Given& g) {
  auto app = std::make_unique<CLI::App>(
      "The reference host: loads the device plug-in, drives polls of one device and shows what it "
      "publishes.\n  krthost decode ...   reads a stored snapshot (krthost decode --help)\n"
      "  krthost serve SITE.json [--log-level L] [--events FILE]   runs a whole site (krthost serve --help)",
      "krthost");
  app->set_help_flag("-h,--help", "show this help and exit");
  auto last = [](CLI::Option* o) { return o->multi_option_policy(CLI::MultiOptionPolicy::TakeLast); };
  last(app->add_option("--plugin", g.plugin, "the device plug-in (default: the one beside krthost)")->type_name("PATH"));
  last(app->add_option("--config", g.config, "the device's JSON configuration file (default: {})")->type_name("FILE"));
  last(app->add_option("--device-id", g.device_id, "the host device id handed to Init (default 1)")->type_name("N"));
  app->add_option("--tcp", g.tcp, "the controller's line through a TCP serial server: HOST:PORT")->type_name("HOST:PORT");
  app->add_option("--serial", g.serial, "the controller's serial line: a device path")->type_name("DEVICE");
  last(app->add_option("--baud", g.baud, "the serial line's rate (default: the device's)")->type_name("N"));
  app->add_option("--simulate", g.simulate, "the built-in simulator, with an optional scenario file (default)")
      ->expected(0, 1)->type_name("[SCENARIO.json]");
  last(app->add_option("--sim-rate", g.sim_rate, "the simulator's line rate in bytes per second")->type_name("BYTES_PER_S"));
  last(app->add_option("--cycles", g.cycles, "polls to run (default: until SIGINT or SIGTERM)")->type_name("N"));
  last(app->add_option("--interval-ms", g.interval, "from the start of one poll to the next (default 1000)")->type_name("MS"));
  last(app->add_option("--reply-timeout-ms", g.reply_timeout, "first byte of a reply (default: the device's)")->type_name("MS"));
  last(app->add_option("--byte-timeout-ms", g.byte_timeout, "between the bytes of a reply (default 200)")->type_name("MS"));
  app->add_option("--query", g.queries, "value queries after each poll: NAME[,NAME...], repeatable")->type_name("NAME[,NAME...]");
  last(app->add_option("--events", g.events, "write the event stream (NDJSON) to this file")->type_name("FILE"));
  app->add_flag("--trace", g.trace, "every frame on standard error");
  last(app->add_option("--capture", g.capture, "every byte sent and received, to replay")->type_name("FILE"));
  last(app->add_option("--log-level", g.log_level, "error, warn, info (default) or debug")->type_name("LEVEL"));
  return app;
}

}  // namespace

std::string Usage() {
  Given g;
  return make_app(g)->help();
}

Options ParseOptions(const std::vector<std::string>& args) {
  Options o;
  Given g;
  auto app = make_app(g);
  try {
    app->parse(std::vector<std::string>(args.rbegin(), args.rend()));
  } catch (const CLI::CallForHelp&) {
    o.help = true;
    return o;
  } catch (const CLI::ExtrasError&) {
    const auto rest = app->remaining();
    throw UsageError("unknown argument \"" + (rest.empty() ? std::string() : rest.front()) + "\"");
  } catch (const CLI::ArgumentMismatch& e) {
    // "--cycles: 1 required TEXT missing": the option is named first.
    const std::string what = e.what();
    throw UsageError(what.substr(0, what.find(':')) + " needs a value");
  } catch (const CLI::ParseError& e) {
    throw UsageError(e.what());
  }
  auto given = [&](const char* name) { return app->get_option(name)->count() > 0; };
  const auto count = [&](const char* name) { return app->get_option(name)->count(); };
  int lines = 0;
  if (given("--plugin")) o.plugin = g.plugin;
  if (given("--config")) o.config_path = g.config;
  if (given("--device-id"))
    o.device_id = number<std::uint32_t>("--device-id", g.device_id, 0, std::numeric_limits<std::uint32_t>::max());
  if (given("--tcp")) {
    lines += static_cast<int>(count("--tcp"));
    o.line = LineKind::kTcp;
    std::string error;
    if (!sim::ParseEndpoint(g.tcp, o.tcp_host, o.tcp_port, error)) throw UsageError("--tcp: " + error);
    if (o.tcp_port == 0) throw UsageError("--tcp: port 0 cannot be connected to");
  }
  if (given("--serial")) {
    lines += static_cast<int>(count("--serial"));
    o.line = LineKind::kSerial;
    o.serial_device = g.serial;
    if (o.serial_device.empty()) throw UsageError("--serial needs a device path");
  }
  if (given("--simulate")) {
    lines += static_cast<int>(count("--simulate"));
    o.line = LineKind::kSimulate;
    if (!g.simulate.empty()) o.scenario_path = g.simulate.back();
  }
  if (given("--baud")) {
    o.baud = number<std::uint32_t>("--baud", g.baud, 1, 4'000'000);
    if (!SerialTransport::SupportedBaud(o.baud))
      throw UsageError("--baud " + std::to_string(o.baud) +
                       " is not a supported rate (1200 to 230400, standard rates)");
  }
  if (given("--sim-rate")) o.sim_rate = number<unsigned>("--sim-rate", g.sim_rate, 1, 10'000'000);
  if (given("--cycles")) o.cycles = number<long>("--cycles", g.cycles, 1, std::numeric_limits<long>::max());
  if (given("--interval-ms")) o.interval_ms = number<int>("--interval-ms", g.interval, 0, 86'400'000);
  if (given("--reply-timeout-ms"))
    o.reply_timeout_ms = number<int>("--reply-timeout-ms", g.reply_timeout, 1, 600'000);
  if (given("--byte-timeout-ms"))
    o.byte_timeout_ms = number<int>("--byte-timeout-ms", g.byte_timeout, 1, 600'000);
  for (const std::string& list : g.queries) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t comma = list.find(',', start);
      const std::string name = list.substr(start, comma == std::string::npos ? comma : comma - start);
      if (name.empty()) throw UsageError("--query: empty name in \"" + list + "\"");
      o.queries.push_back(name);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  if (given("--events")) {
    o.events_path = g.events;
    if (o.events_path.empty()) throw UsageError("--events needs a file name");
  }
  o.trace = g.trace;
  if (given("--capture")) {
    o.capture_path = g.capture;
    if (o.capture_path.empty()) throw UsageError("--capture needs a file name");
  }
  if (given("--log-level") && !ParseLogLevel(g.log_level, o.log_level))
    throw UsageError("--log-level is one of error, warn, info, debug, not \"" + g.log_level + "\"");
  if (lines > 1) throw UsageError("--tcp, --serial and --simulate exclude each other");
  if (given("--baud") && o.line != LineKind::kSerial) throw UsageError("--baud applies to --serial only");
  if (given("--sim-rate") && o.line != LineKind::kSimulate)
    throw UsageError("--sim-rate applies to the simulator only");
  return o;
}

}  // namespace krthost
