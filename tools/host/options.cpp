#include "options.h"

#include <charconv>
#include <limits>

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

const char* Usage() {
  return "usage: krthost [--plugin PATH] [--config FILE] [--device-id N]\n"
         "               [--tcp HOST:PORT | --serial DEVICE [--baud N] | --simulate [SCENARIO.json]]\n"
         "               [--cycles N] [--interval-ms MS] [--reply-timeout-ms MS]\n"
         "               [--byte-timeout-ms MS] [--sim-rate BYTES_PER_S]\n"
         "               [--query NAME[,NAME...]] [--events FILE] [--trace]\n"
         "               [--capture FILE] [--log-level error|warn|info|debug]\n"
         "       krthost decode [--config FILE] [--ac N] [--dc N] [--input auto|raw|hex|events]\n"
         "               [--pick N] SNAPSHOT\n"
         "       krthost serve SITE.json [--log-level error|warn|info|debug] [--events FILE]\n";
}

Options ParseOptions(const std::vector<std::string>& args) {
  Options o;
  int lines = 0;
  bool baud_given = false, sim_rate_given = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
      return args[++i];
    };
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--plugin") {
      o.plugin = value();
    } else if (a == "--config") {
      o.config_path = value();
    } else if (a == "--device-id") {
      o.device_id = number<std::uint32_t>(a, value(), 0, std::numeric_limits<std::uint32_t>::max());
    } else if (a == "--tcp") {
      ++lines;
      o.line = LineKind::kTcp;
      std::string error;
      if (!sim::ParseEndpoint(value(), o.tcp_host, o.tcp_port, error)) throw UsageError("--tcp: " + error);
      if (o.tcp_port == 0) throw UsageError("--tcp: port 0 cannot be connected to");
    } else if (a == "--serial") {
      ++lines;
      o.line = LineKind::kSerial;
      o.serial_device = value();
      if (o.serial_device.empty()) throw UsageError("--serial needs a device path");
    } else if (a == "--simulate") {
      ++lines;
      o.line = LineKind::kSimulate;
      // The scenario is optional: the next argument, unless it is an option.
      if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) o.scenario_path = args[++i];
    } else if (a == "--baud") {
      baud_given = true;
      o.baud = number<std::uint32_t>(a, value(), 1, 4'000'000);
      if (!SerialTransport::SupportedBaud(o.baud))
        throw UsageError("--baud " + std::to_string(o.baud) +
                         " is not a supported rate (1200 to 230400, standard rates)");
    } else if (a == "--sim-rate") {
      sim_rate_given = true;
      o.sim_rate = number<unsigned>(a, value(), 1, 10'000'000);
    } else if (a == "--cycles") {
      o.cycles = number<long>(a, value(), 1, std::numeric_limits<long>::max());
    } else if (a == "--interval-ms") {
      o.interval_ms = number<int>(a, value(), 0, 86'400'000);
    } else if (a == "--reply-timeout-ms") {
      o.reply_timeout_ms = number<int>(a, value(), 1, 600'000);
    } else if (a == "--byte-timeout-ms") {
      o.byte_timeout_ms = number<int>(a, value(), 1, 600'000);
    } else if (a == "--query") {
      const std::string& list = value();
      std::size_t start = 0;
      for (;;) {
        const std::size_t comma = list.find(',', start);
        const std::string name = list.substr(start, comma == std::string::npos ? comma : comma - start);
        if (name.empty()) throw UsageError("--query: empty name in \"" + list + "\"");
        o.queries.push_back(name);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else if (a == "--events") {
      o.events_path = value();
      if (o.events_path.empty()) throw UsageError("--events needs a file name");
    } else if (a == "--trace") {
      o.trace = true;
    } else if (a == "--capture") {
      o.capture_path = value();
      if (o.capture_path.empty()) throw UsageError("--capture needs a file name");
    } else if (a == "--log-level") {
      const std::string& level = value();
      if (!ParseLogLevel(level, o.log_level))
        throw UsageError("--log-level is one of error, warn, info, debug, not \"" + level + "\"");
    } else {
      throw UsageError("unknown argument \"" + a + "\"");
    }
  }
  if (lines > 1) throw UsageError("--tcp, --serial and --simulate exclude each other");
  if (baud_given && o.line != LineKind::kSerial) throw UsageError("--baud applies to --serial only");
  if (sim_rate_given && o.line != LineKind::kSimulate)
    throw UsageError("--sim-rate applies to the simulator only");
  return o;
}

}  // namespace krthost
