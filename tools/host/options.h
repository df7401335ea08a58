// Command line of the reference host. The names and meanings of the options
// are a contract that other tools rely on.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace krthost {

// Bad command-line input; the text is one line naming the problem.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class LineKind { kSimulate, kTcp, kSerial };

// How much goes to standard error: each level shows itself and those above.
enum class LogLevel { kError, kWarn, kInfo, kDebug };
// "error", "warn", "info" or "debug"; false for anything else.
bool ParseLogLevel(const std::string& text, LogLevel& level);
const char* LogLevelName(LogLevel level);

struct Options {
  std::string plugin;          // empty: the plug-in built beside krthost
  std::string config_path;     // empty: the configuration {}
  std::uint32_t device_id = 1;
  LineKind line = LineKind::kSimulate;
  std::string scenario_path;   // empty: the simulator's default scenario
  unsigned sim_rate = 0;       // simulator line rate, bytes/s; 0: the scenario's
  std::string tcp_host;
  std::uint16_t tcp_port = 0;
  std::string serial_device;
  std::uint32_t baud = 0;      // 0: the device's own rate
  std::optional<long> cycles;  // absent: until SIGINT or SIGTERM
  int interval_ms = 1000;      // from the start of one poll to the next
  int reply_timeout_ms = 0;    // first byte of a reply; 0: the device's setting
  int byte_timeout_ms = 200;   // between bytes of a reply
  std::vector<std::string> queries;
  std::string events_path;
  bool trace = false;          // every frame on standard error
  std::string capture_path;    // every byte sent and received, to replay
  LogLevel log_level = LogLevel::kInfo;
  bool help = false;
};

// Parses the arguments after the program name. Throws UsageError.
Options ParseOptions(const std::vector<std::string>& args);

// The generated help text.
std::string Usage();

}  // namespace krthost
