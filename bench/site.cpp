#include "site.h"

#include <deque>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>
#include <json/json.h>

#include "alarms/evaluate.h"
#include "alarms/workspace.h"
#include "plugin/providers.h"
#include "simulator.h"

namespace bench {

std::vector<sim::AlarmEntry> SiteAlarms(const Site& site) {
  std::vector<sim::AlarmEntry> out;
  const auto ac = static_cast<unsigned>(site.ac_units);
  const auto dc = static_cast<unsigned>(site.dc_units > 0 ? site.dc_units : 1);
  for (unsigned i = 0; i < static_cast<unsigned>(site.alarms); ++i) {
    const unsigned round = i / 8;
    sim::AlarmEntry e;
    switch (i % 8) {
      case 0:  // battery group families: categories 1-5, codes 1-16
        e = {0, static_cast<std::uint8_t>(1 + round % 5), static_cast<std::uint16_t>(1 + i % 16)};
        break;
      case 1:  // module families: categories 6-11, codes 1-64
        e = {0, static_cast<std::uint8_t>(6 + round % 6), static_cast<std::uint16_t>(1 + i % 64)};
        break;
      case 2:
      case 3:  // AC units: category 12, codes of the rows and the 72 branches
        e = {static_cast<std::uint8_t>(1 + round % ac), 12,
             static_cast<std::uint16_t>(1 + (i * 7) % 160)};
        break;
      case 4:  // DC unit communication: category 13, code = unit
        e = {0, 13, static_cast<std::uint16_t>(1 + round % dc)};
        break;
      case 5:
      case 6: {  // DC units: category 14, the unit's block of 560 codes
        const unsigned unit = 1 + round % dc;
        e = {static_cast<std::uint8_t>(unit), 14,
             static_cast<std::uint16_t>(560 * (unit - 1) + 1 + (i * 13) % 555)};
        break;
      }
      default:  // system: categories 17-35
        e = {0, static_cast<std::uint8_t>(17 + round % 19), 0};
        break;
    }
    out.push_back(e);
  }
  return out;
}

sim::Scenario SiteScenario(const Site& site, unsigned line_rate) {
  sim::Scenario s;
  s.output_voltage = 53.5;
  s.changed = true;
  s.line_rate = line_rate;
  for (int k = 1; k <= site.modules; ++k) {
    sim::Module m;
    m.current = 10.0 + k % 7;
    m.switches = {1, 0, 0};
    m.alarm_state = k % 10 == 4 ? 0x01 : (k % 17 == 9 ? 0xFE : 0x00);
    m.detail.assign(sim::kModuleDetailBytes, 0);
    m.detail[0] = static_cast<std::uint8_t>(k);  // the module number
    // Status bytes: a few bits set here and there.
    m.detail[1] = k % 5 == 0 ? 0x20 : 0x00;
    m.detail[2] = k % 7 == 0 ? 0x81 : 0x00;
    m.detail[4] = k % 11 == 0 ? 0x80 : 0x00;
    m.detail[9] = k % 13 == 0 ? 0x01 : 0x00;
    s.modules.push_back(std::move(m));
  }
  for (int u = 0; u < site.ac_units; ++u) {
    sim::AcUnit a;
    a.values = {230.4, 229.8, 231.1, 0, 0, 0, 12.0, 11.0, 10.5, 0, 50.0, 0};
    s.ac_units.push_back(a);
  }
  for (int u = 0; u < site.dc_units; ++u) {
    std::vector<std::uint8_t> dc(sim::kDcUnitBytes);
    for (std::size_t i = 0; i < dc.size(); ++i) dc[i] = static_cast<std::uint8_t>(u * 31 + i);
    s.dc_units.push_back(std::move(dc));
  }
  s.extras = {0, 0, 0x03, 0xE8};
  s.block_a3.assign(144, 0);
  s.block_a3[0] = 1;
  s.word_93 = 25;
  s.alarm_sets = {SiteAlarms(site)};
  return s;
}

std::string SiteConfig(const Site& site, int mode) {
  Json::Value app(Json::objectValue);
  app["b_mode"] = std::to_string(mode);
  app["ac_number"] = std::to_string(site.ac_units);
  app["dc_number"] = std::to_string(site.dc_units);
  Json::Value root(Json::objectValue);
  root["appSetting"] = app;
  return Json::FastWriter().write(root);
}

namespace {

Json::Value parse(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errors;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  if (!r->parse(text.data(), text.data() + text.size(), &v, &errors))
    throw std::runtime_error("bad configuration: " + errors);
  return v;
}

// A line to the simulator without delay: every request is answered at once
// and the answer waits in a queue until the device's host takes it.
class SimulatorLine : public ByteTransport {
 public:
  explicit SimulatorLine(sim::Scenario scenario) : sim_(std::move(scenario)) {}
  bool Open() override { return true; }
  void Close() override {}
  bool IsOpen() const override { return true; }
  bool Write(const std::uint8_t* data, std::size_t size) override {
    request_bytes += size;
    requests.emplace_back(reinterpret_cast<const char*>(data), size);
    sim::Output out = sim_.Feed(data, size);
    if (!out.bytes.empty()) answers.push_back(std::move(out.bytes));
    return true;
  }
  long Read(std::uint8_t*, std::size_t, int) override { return 0; }

  std::deque<std::string> answers;
  std::vector<std::string> requests;
  std::size_t request_bytes = 0;

 private:
  sim::Simulator sim_;
};

// Runs one cycle against the simulator and keeps the replies in order.
CycleReplies record_cycle(HVR38QT& device, SimulatorLine& line) {
  CycleReplies cycle;
  line.request_bytes = 0;
  line.requests.clear();
  device.RefreshStatus();
  while (!line.answers.empty()) {
    std::string reply = std::move(line.answers.front());
    line.answers.pop_front();
    cycle.reply_bytes += reply.size();
    device.process(reinterpret_cast<unsigned char*>(reply.data()),
                   static_cast<unsigned>(reply.size()));
    cycle.frames.push_back(std::move(reply));
  }
  cycle.request_bytes = line.request_bytes;
  cycle.requests = std::move(line.requests);
  return cycle;
}

}  // namespace

SiteDevice::SiteDevice(sim::Scenario scenario, const std::string& config, std::shared_ptr<KRTController> h)
    : host(std::move(h)), device(hvr38qt::make_device()) {
  auto line = std::make_shared<SimulatorLine>(std::move(scenario));
  device->SetTransport(line);
  device->Init(host, 1, parse(config));
  record_cycle(*device, *line);  // the first cycle, with the switch states
  steady_cycle = record_cycle(*device, *line);
  if (device->DataReady() != 1) throw std::runtime_error("the simulated controller's cycle did not complete");
  device->SetTransport(std::make_shared<DiscardLine>());
}

SiteDevice::SiteDevice(const Site& site, int mode, std::shared_ptr<KRTController> h)
    : SiteDevice(SiteScenario(site), SiteConfig(site, mode), std::move(h)) {
  if (device->AlarmList().size() != static_cast<std::size_t>(site.alarms) ||
      device->Modules().size() != static_cast<std::size_t>(site.modules))
    throw std::runtime_error(std::string("the ") + site.name + " site's cycle did not complete");
}

void SiteDevice::RunCycle() {
  device->RefreshStatus();
  for (std::string& reply : steady_cycle.frames)
    device->process(reinterpret_cast<unsigned char*>(reply.data()),
                    static_cast<unsigned>(reply.size()));
}

void ReplayReports(KRTController& host, const std::vector<Report>& reports) {
  for (const Report& r : reports)
    host.CheckThresholdBool(1, r.kind, r.key, r.nm_id, r.name, r.desc, r.active, r.seq);
}

void SuperviseAllMobileRules(HVR38QT& device) {
  auto& levels = device.LevelMap();
  auto& values = device.ValueMap();
  for (const char* id : {"220600120010", "220600130010", "220600140010", "220600160010",
                         "220600170010", "210600320010", "210600330010", "210600340010"})
    levels[id] = 1;
  for (std::size_t m = 1; m <= device.Modules().size(); ++m)
    for (const char* prefix : {"12060069", "12060002", "12060003", "12060004"})
      levels[fmt::format("{}{:03}0", prefix, m)] = 1;
  values["220600160010"] = 55.0f;
  values["220600170010"] = 45.0f;
  values["210600320010"] = 47.0f;
  values["210600330010"] = 45.0f;
  values["210600340010"] = 58.0f;
}

std::unique_ptr<SiteDevice> RuleDevice(const Site& site, int mode,
                                       std::shared_ptr<KRTController> host) {
  auto d = std::make_unique<SiteDevice>(site, mode, std::move(host));
  if (mode == 2) SuperviseAllMobileRules(*d->device);
  return d;
}

namespace {

class RecordingHost : public KRTController {
 public:
  std::vector<Report> reports;
  void CheckThresholdBool(unsigned, int kind, const std::string& key, const std::string& nm_id,
                          const std::string& name, const std::string& desc, bool active,
                          unsigned short seq) override {
    reports.push_back({kind, key, nm_id, name, desc, active, seq});
  }
};

}  // namespace

std::vector<Report> RecordReports(const Site& site, int mode) {
  auto host = std::make_shared<RecordingHost>();
  auto d = RuleDevice(site, mode, host);
  auto workspace = hvr38qt::alarms::make_workspace();
  host->reports.clear();
  hvr38qt::alarms::evaluate(d->device->View(), host.get(), *workspace);
  return std::move(host->reports);
}

}  // namespace bench
