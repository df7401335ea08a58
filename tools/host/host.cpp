#include "host.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <fmt/format.h>
#include <fmt/ostream.h>

#include "config.h"
#include "host_controller.h"
#include "line_capture.h"
#include "line_tap.h"
#include "plugin_library.h"
#include "pmbus_protocol.h"
#include "poll_runner.h"
#include "scenario.h"
#include "serial_transport.h"
#include "snapshot_decoder.h"
#include "sim_transport.h"
#include "simulator.h"
#include "tcp_transport.h"

namespace krthost {
namespace {

struct DeviceDeleter {
  void operator()(KRTSPDevice* d) const { delete d; }
};

std::string line_name(const Options& o) {
  switch (o.line) {
    case LineKind::kTcp: return fmt::format("tcp {}:{}", o.tcp_host, o.tcp_port);
    case LineKind::kSerial: return "serial " + o.serial_device;
    case LineKind::kSimulate:
      return "built-in simulator, " +
             (o.scenario_path.empty() ? std::string("default scenario") : o.scenario_path);
  }
  return "";
}

void print_poll(std::ostream& out, long index, const PollResult& r, const PollTimeouts& t,
                const HostController& controller, const KRTSPDevice& device,
                const std::vector<QueryResult>& values) {
  std::string how = OutcomeName(r.outcome);
  if (r.outcome == PollOutcome::kTimeout)
    how += fmt::format(" (no reply to 0x{:02X} within {} ms)", r.timeout_cid2 & 0xFF, t.first_byte_ms);
  else if (r.outcome == PollOutcome::kLineLost || r.outcome == PollOutcome::kLineDown)
    how += " (" + r.error + ")";
  if (r.outcome == PollOutcome::kFailed) how += fmt::format(" in state {}", r.state);
  std::string line = fmt::format("{} poll {}: {} in {} ms", Timestamp(), index + 1, how, r.duration_ms);
  // The published data, from the latest snapshot's header as the snapshot
  // decoder reads it.
  const auto& snap = controller.LastSnapshot();
  float volts = 0;
  unsigned modules = 0;
  if (decode::HeaderSummary(snap.data(), snap.size(), volts, modules))
    line += fmt::format(", output {:.1f} V, {} modules, snapshot {} B", volts, modules, snap.size());
  line += ", " + DataAgeText(device, boost::posix_time::second_clock::local_time());
  if (r.protocol_errors > 0)
    line += fmt::format(", {} protocol error{}", r.protocol_errors, r.protocol_errors == 1 ? "" : "s");
  if (r.timeouts > 0) line += fmt::format(", {} timeout{}", r.timeouts, r.timeouts == 1 ? "" : "s");
  out << line << "\n";
  for (const auto& a : controller.ActiveReports())
    out << "  alarm " << a.name << ": " << a.desc << "  [" << a.key << "]\n";
  if (!values.empty()) {
    std::string v = " ";
    for (const auto& q : values)
      v += q.ok ? fmt::format(" {}={}", q.name, q.value) : fmt::format(" {}: {}", q.name, q.error);
    out << v << "\n";
  }
  out.flush();
}

// Counts over the whole run, for the closing line.
struct Totals {
  long polls = 0;
  std::map<std::string, long> outcomes;  // by outcome name
  long protocol_errors = 0;
  long timeouts = 0;

  void Add(const PollResult& r) {
    ++polls;
    ++outcomes[OutcomeName(r.outcome)];
    protocol_errors += r.protocol_errors;
    timeouts += r.timeouts;
  }
  std::string Text() const {
    std::string how;
    for (PollOutcome o : {PollOutcome::kComplete, PollOutcome::kUnchanged, PollOutcome::kFailed,
                          PollOutcome::kTimeout, PollOutcome::kLineLost, PollOutcome::kLineDown,
                          PollOutcome::kInterrupted, PollOutcome::kEnded}) {
      const auto it = outcomes.find(OutcomeName(o));
      if (it != outcomes.end()) how += fmt::format("{}{} {}", how.empty() ? "" : ", ", it->second, it->first);
    }
    return fmt::format("{} poll{}{}{}; {} protocol error{}, {} timeout{}", polls, polls == 1 ? "" : "s",
                       how.empty() ? "" : ": ", how, protocol_errors, protocol_errors == 1 ? "" : "s",
                       timeouts, timeouts == 1 ? "" : "s");
  }
};

// Sleeps until `t` or until stop is set.
void sleep_until(std::chrono::steady_clock::time_point t, const std::atomic<bool>& stop) {
  while (!stop.load() && std::chrono::steady_clock::now() < t)
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        std::chrono::milliseconds(50), t - std::chrono::steady_clock::now()));
}

}  // namespace

int RunHost(const Options& o, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop) {
  // Everything the user gave is checked before the first poll.
  Json::Value config(Json::objectValue);
  std::map<std::string, int> levels;
  std::map<std::string, float> values;
  std::shared_ptr<sim::Simulator> simulator;
  std::ofstream events_file;
  std::ofstream capture_file;
  try {
    if (!o.config_path.empty()) config = LoadConfig(o.config_path);
    FillThresholdMaps(config, levels, values);
    if (o.line == LineKind::kSimulate)
      simulator = std::make_shared<sim::Simulator>(
          o.scenario_path.empty() ? sim::DefaultScenario() : sim::LoadScenarioFile(o.scenario_path));
  } catch (const ConfigError& e) {
    err << "krthost: " << e.what() << std::endl;
    return kExitBadInput;
  } catch (const sim::ScenarioError& e) {
    err << "krthost: scenario " << e.what() << std::endl;
    return kExitBadInput;
  }
  if (!o.events_path.empty()) {
    events_file.open(o.events_path, std::ios::binary | std::ios::trunc);
    if (!events_file) {
      err << "krthost: events file " << o.events_path << ": cannot be written: "
          << std::strerror(errno) << std::endl;
      return kExitBadInput;
    }
  }
  if (!o.capture_path.empty()) {
    capture_file.open(o.capture_path, std::ios::binary | std::ios::trunc);
    if (!capture_file) {
      err << "krthost: capture file " << o.capture_path << ": cannot be written: "
          << std::strerror(errno) << std::endl;
      return kExitBadInput;
    }
  }
  // Outlives the device: closing the line at the end is noted in it.
  std::unique_ptr<sim::CaptureWriter> capture;
  if (capture_file.is_open()) capture = std::make_unique<sim::CaptureWriter>(capture_file);

  std::unique_ptr<PluginLibrary> plugin;
  std::shared_ptr<KRTSPDeviceProvider> provider;
  const std::string plugin_path = o.plugin.empty() ? DefaultPluginPath() : o.plugin;
  try {
    plugin = std::make_unique<PluginLibrary>(plugin_path);
    provider = plugin->SerialProvider();
  } catch (const PluginError& e) {
    err << "krthost: " << e.what() << std::endl;
    return kExitBadInput;
  }

  {
    // Device and provider hold code of the plug-in: they go first.
    std::unique_ptr<KRTSPDevice, DeviceDeleter> device(provider->create());
    if (!device) {
      err << "krthost: plug-in " << plugin_path << ": create gave no device" << std::endl;
      return kExitBadInput;
    }
    EventWriter events(events_file.is_open() ? &events_file : nullptr);
    auto controller = std::make_shared<HostController>(events, err);
    controller->SetLogLevel(o.log_level);

    std::shared_ptr<ByteTransport> inner;
    unsigned baud = o.baud != 0 ? o.baud : device->BaudRate();
    switch (o.line) {
      case LineKind::kTcp: inner = std::make_shared<TcpTransport>(o.tcp_host, o.tcp_port); break;
      case LineKind::kSerial: inner = std::make_shared<SerialTransport>(o.serial_device, baud); break;
      case LineKind::kSimulate: inner = std::make_shared<sim::SimTransport>(simulator, o.sim_rate); break;
    }
    auto tap = std::make_shared<LineTap>(
        inner,
        [&events](const frame::Frame& f) {
          const auto& b = f.bytes;
          events.Request(b[2], b[3], b.data() + 6, b.size() - 6);
        },
        o.trace || o.log_level >= LogLevel::kDebug ? &err : nullptr);
    tap->SetCapture(capture.get());
    device->SetTransport(tap);

    // The maps are the host's: filled before the device reads its settings.
    for (const auto& [k, v] : levels) device->LevelMap()[k] = v;
    for (const auto& [k, v] : values) device->ValueMap()[k] = v;
    try {
      device->Init(controller, o.device_id, config);
    } catch (const std::exception& e) {
      err << "krthost: plug-in " << plugin_path << ": the device refused its configuration: "
          << e.what() << std::endl;
      return kExitBadInput;
    }

    PollTimeouts t;
    const auto* protocol = dynamic_cast<const PMBusProtocol*>(device.get());
    t.first_byte_ms = o.reply_timeout_ms > 0 ? o.reply_timeout_ms
                      : protocol != nullptr  ? protocol->ReplyTimeoutMs()
                                             : 2000;
    t.inter_byte_ms = o.byte_timeout_ms;
    t.reply_limit_ms = ReplyLimitMs(t.first_byte_ms, t.inter_byte_ms, baud);
    PollRunner runner(*device, *tap, *controller, events, t);

    out << fmt::format("{} krthost: {} device {} id {} on {}, reply timeout {} ms\n", Timestamp(),
                       plugin_path, device->DeviceType(), o.device_id, line_name(o), t.first_byte_ms);
    out.flush();

    using Clock = std::chrono::steady_clock;
    Totals totals;
    for (long i = 0; !o.cycles || i < *o.cycles; ++i) {
      if (stop.load()) break;
      const auto started = Clock::now();
      const PollResult r = runner.Poll(i, &stop);
      totals.Add(r);
      const auto q = runner.Query(o.queries);
      print_poll(out, i, r, t, *controller, *device, q);
      if (o.cycles && i + 1 >= *o.cycles) break;
      sleep_until(started + std::chrono::milliseconds(o.interval_ms), stop);
    }
    device->ClosePort();
    out << Timestamp() << " krthost: " << totals.Text() << "\n";
    out.flush();
  }
  return kExitOk;
}

}  // namespace krthost
