// The two sites the measurements run against, the simulated controller
// behind them, and what the measurements drive a device with: a host whose
// hooks do nothing, a line that swallows requests, and the replies of a
// whole poll cycle recorded once from the simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/hvr38qt.h"
#include "krt_device.h"
#include "scenario.h"
#include "transport.h"

namespace bench {

struct Site {
  const char* name;
  int modules;
  int ac_units;
  int dc_units;
  int alarms;  // entries of the controller's alarm list, at most 255
};

inline constexpr Site kSmallSite{"small", 6, 1, 1, 10};
inline constexpr Site kLargeSite{"large", 60, 4, 8, 255};
inline constexpr Site kSites[] = {kSmallSite, kLargeSite};

// The alarm list of a site: entries spread over every family (battery
// groups, modules, AC units, DC communication, DC units, system), with the
// AC and DC unit entries spread over all units, so that long per-unit lists
// are searched.
std::vector<sim::AlarmEntry> SiteAlarms(const Site& site);

// The simulated controller of a site. A line rate of 0 carries bytes
// without delay.
sim::Scenario SiteScenario(const Site& site, unsigned line_rate = 0);

// The configuration of a device for the site in the given mode.
std::string SiteConfig(const Site& site, int mode);

// A host whose hooks all do nothing. Its CheckThresholdBool is defined in
// a unit of its own, so every report costs one real, out-of-line virtual
// call.
class NullHost : public KRTController {
 public:
  void CheckThresholdBool(unsigned device_id, int kind, const std::string& key,
                          const std::string& nm_id, const std::string& name,
                          const std::string& desc, bool active, unsigned short seq) override;
};

// A line that is always open and drops what it is given.
class DiscardLine : public ByteTransport {
 public:
  bool Open() override { return true; }
  void Close() override {}
  bool IsOpen() const override { return true; }
  bool Write(const std::uint8_t*, std::size_t) override { return true; }
  long Read(std::uint8_t*, std::size_t, int) override { return 0; }
};

// One report as the host received it.
struct Report {
  int kind;
  std::string key, nm_id, name, desc;
  bool active;
  unsigned short seq;
};

// Calls the host once per report, with the texts as given: the least that
// an evaluation making these reports can cost.
void ReplayReports(KRTController& host, const std::vector<Report>& reports);

// The reply frames of one poll cycle, as the line delivers them.
struct CycleReplies {
  std::vector<std::string> frames;
  std::vector<std::string> requests;  // what the device wrote, write by write
  std::size_t request_bytes = 0;
  std::size_t reply_bytes = 0;
};

// A device of the site on a discarding line, reporting to `host`. Its first
// cycle (the one that also asks for the switch states) has run, so what
// follows are steady-state cycles.
struct SiteDevice {
  std::shared_ptr<KRTController> host;
  std::unique_ptr<HVR38QT> device;
  CycleReplies steady_cycle;  // the replies of every later cycle

  SiteDevice(const Site& site, int mode, std::shared_ptr<KRTController> host);
  // The same for any simulated controller and device configuration (JSON);
  // the steady cycle is the one after the first.
  SiteDevice(sim::Scenario scenario, const std::string& config, std::shared_ptr<KRTController> host);

  // One steady-state cycle: RefreshStatus, then every reply through process.
  void RunCycle();
};

// Every mobile rule of the device supervised at level 1, with thresholds
// that the site's values do not all reach.
void SuperviseAllMobileRules(HVR38QT& device);

// A site device in mode 0 (the default rule set) or 2 (the mobile rule set,
// every rule supervised).
std::unique_ptr<SiteDevice> RuleDevice(const Site& site, int mode,
                                       std::shared_ptr<KRTController> host);

// The reports of one evaluation of the rule set of `mode`.
std::vector<Report> RecordReports(const Site& site, int mode);

}  // namespace bench
