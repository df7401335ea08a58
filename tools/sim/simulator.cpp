#include "simulator.h"

#include <algorithm>
#include <utility>

namespace sim {
namespace {

namespace wire = hvr38qt::wire;
using wire::Cid2;
using wire::kCid1;

// Return codes of the controller protocol.
constexpr std::uint8_t kRtnChecksum = 2;
constexpr std::uint8_t kRtnLength = 3;
constexpr std::uint8_t kRtnInvalid = 4;
constexpr std::size_t kAlarmsPerPart = wire::kAlarmsPerPart;

// Appends room for one wire record of `size` bytes and returns it.
std::uint8_t* grow(std::vector<std::uint8_t>& out, std::size_t size) {
  out.resize(out.size() + size, 0);
  return out.data() + out.size() - size;
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

void put_alarms(std::vector<std::uint8_t>& out, const std::vector<AlarmEntry>& list,
                std::size_t first, std::size_t n) {
  const auto& t = wire::kAlarmItemFields;
  for (std::size_t i = first; i < first + n && i < list.size(); ++i) {
    std::uint8_t* item = grow(out, wire::kAlarmEntryBytes);
    wire::put_field(t[0], item, list[i].unit);
    wire::put_field(t[1], item, list[i].category);
    wire::put_field(t[2], item, list[i].code);
  }
}

// One module group of the 0x42, 0x43 or 0x44 reply, its fields set by
// `fill` and no extra bytes after it.
template <class Fill>
void put_group(std::vector<std::uint8_t>& out, std::size_t group, Fill fill) {
  std::uint8_t* g = grow(out, group + 1);
  fill(g);
  g[group] = 0;
}

}  // namespace

Simulator::Simulator(Scenario scenario)
    : scenario_(std::move(scenario)), fault_hits_(scenario_.faults.size(), 0) {}

void Simulator::Reconnect() {
  std::lock_guard lock(mutex_);
  decoder_.reset();
}

void Simulator::SetAlarms(std::vector<AlarmEntry> alarms) {
  std::lock_guard lock(mutex_);
  if (alarms.size() > kMaxAlarms) alarms.resize(kMaxAlarms);
  scenario_.alarm_sets = {std::move(alarms)};
}

void Simulator::SetChanged(bool changed) {
  std::lock_guard lock(mutex_);
  scenario_.changed = changed;
}

void Simulator::SetOutputVoltage(double volts) {
  std::lock_guard lock(mutex_);
  scenario_.output_voltage = volts;
}

void Simulator::SetRequestLog(std::size_t keep) {
  std::lock_guard lock(mutex_);
  request_log_ = keep;
  while (requests_.size() > keep) requests_.pop_front();
}

std::vector<Request> Simulator::Requests() const {
  std::lock_guard lock(mutex_);
  return {requests_.begin(), requests_.end()};
}

std::size_t Simulator::RequestCount() const {
  std::lock_guard lock(mutex_);
  return request_count_;
}

std::size_t Simulator::Polls() const {
  std::lock_guard lock(mutex_);
  return polls_;
}

Scenario Simulator::Current() const {
  std::lock_guard lock(mutex_);
  return scenario_;
}

std::string Simulator::encode(std::uint8_t rtn, const std::vector<std::uint8_t>& info) const {
  return frame::encode(scenario_.version, scenario_.address, kCid1, rtn, info);
}

Output Simulator::Feed(const std::uint8_t* data, std::size_t size) {
  std::lock_guard lock(mutex_);
  Output out;
  decoder_.feed(
      data, size,
      [&](const frame::Frame& f) {
        if (!out.disconnect) answer(f, out);
      },
      [&](frame::Error e, std::string_view) {
        if (out.disconnect) return;
        // A request that fails its checks is answered with the matching
        // return code, as the controller does.
        const std::uint8_t rtn = (e == frame::Error::kLengthChecksum ||
                                  e == frame::Error::kLengthMismatch)
                                     ? kRtnLength
                                     : kRtnChecksum;
        out.bytes += encode(rtn, {});
      });
  return out;
}

void Simulator::answer(const frame::Frame& f, Output& out) {
  const auto& b = f.bytes;  // [VER, ADR, CID1, CID2, len lo, len hi, data...]
  if (b.size() < 6) return;
  if (b[1] != scenario_.address) return;  // another controller on the bus
  Request r{b[2], b[3], {b.begin() + 6, b.end()}};
  if (request_log_ > 0) {
    requests_.push_back(r);
    if (requests_.size() > request_log_) requests_.pop_front();
  }
  ++request_count_;

  std::uint8_t rtn = 0;
  std::vector<std::uint8_t> info = info_for(r, rtn);

  const Fault* fault = nullptr;
  for (std::size_t i = 0; i < scenario_.faults.size(); ++i) {
    const Fault& candidate = scenario_.faults[i];
    if (candidate.cid2 != r.cid2 || (candidate.data && *candidate.data != r.data)) continue;
    const unsigned hit = fault_hits_[i]++;
    if (hit < candidate.skip) continue;
    if (candidate.count && hit - candidate.skip >= *candidate.count) continue;
    fault = &candidate;
    break;
  }

  if (fault != nullptr) {
    if (fault->rtn) rtn = *fault->rtn;
    if (fault->info) info = *fault->info;
    out.delay_ms = std::max(out.delay_ms, fault->delay_ms);
  }
  if (scenario_.echo) out.bytes += "~" + f.text + "\r";
  if (fault != nullptr) {
    out.bytes.append(fault->garbage.begin(), fault->garbage.end());
    if (fault->disconnect) {
      out.disconnect = true;
      return;
    }
    if (fault->no_reply) return;
  }
  std::string reply = encode(rtn, info);
  if (fault != nullptr && fault->bad_checksum) {
    // Change the last checksum digit: the frame stays well formed.
    char& c = reply[reply.size() - 2];
    c = c == '0' ? '1' : '0';
  }
  if (fault != nullptr && fault->truncate && *fault->truncate < reply.size())
    reply.resize(*fault->truncate);
  out.bytes += reply;
}

std::vector<std::uint8_t> Simulator::info_for(const Request& r, std::uint8_t& rtn) {
  const Scenario& s = scenario_;
  std::vector<std::uint8_t> info;
  if (r.cid1 != kCid1) {
    rtn = kRtnInvalid;
    return info;
  }
  const std::size_t modules = s.modules.size();
  const std::uint8_t unit = r.data.empty() ? 0 : r.data[0];
  switch (static_cast<Cid2>(r.cid2)) {
    case Cid2::kAnalog: {
      ++polls_;
      const auto& head = wire::kHeaderFields;
      std::uint8_t* h = grow(info, wire::kAnalogHeadBytes);
      h[0] = s.changed ? 1 : 0;
      wire::put_field(wire::field(head, "output_voltage"), h, ToTenths(s.output_voltage));
      wire::put_field(wire::field(head, "module_count"), h, static_cast<std::uint8_t>(modules));
      for (const auto& m : s.modules)
        put_group(info, wire::kModuleAnalogGroup, [&](std::uint8_t* g) {
          wire::put_field(wire::kModuleAnalogFields[0], g, ToTenths(m.current));
        });
      break;
    }
    case Cid2::kSwitch:
      info.push_back(static_cast<std::uint8_t>(modules));
      for (const auto& m : s.modules)
        put_group(info, wire::kModuleSwitchGroup, [&](std::uint8_t* g) {
          for (std::size_t i = 0; i < wire::kModuleSwitchFields.size(); ++i)
            wire::put_field(wire::kModuleSwitchFields[i], g, m.switches[i]);
        });
      break;
    case Cid2::kAlarmState:
      info.push_back(static_cast<std::uint8_t>(modules));
      for (const auto& m : s.modules)
        put_group(info, wire::kModuleAlarmGroup, [&](std::uint8_t* g) {
          wire::put_field(wire::kModuleAlarmFields[0], g, m.alarm_state);
        });
      break;
    case Cid2::kModuleDetail: {
      // Byte 0 starts again at the first module, byte 1 asks for the next.
      module_cursor_ = unit == 0 ? 0 : module_cursor_ + 1;
      if (module_cursor_ >= modules) {
        info.push_back(wire::kModuleDetailRefused);
        break;
      }
      const Module& m = s.modules[module_cursor_];
      info.assign(wire::kModuleDetailBytes, 0);
      info[0] = module_cursor_ + 1 == modules ? 1 : 0;  // 1: the last module
      if (m.detail.size() == kModuleDetailBytes) {
        std::copy(m.detail.begin(), m.detail.end(), info.begin() + 1);
      } else {
        wire::put_field(wire::field(wire::kModuleDetailFields, "module_no"), info.data(),
                        static_cast<std::uint32_t>(module_cursor_ + 1));
      }
      break;
    }
    case Cid2::kExtras: info = s.extras; break;
    case Cid2::kAcUnit: {
      if (unit == 0 || unit > s.ac_units.size()) {
        rtn = kRtnInvalid;
        break;
      }
      const AcUnit& u = s.ac_units[unit - 1];
      const auto& t = wire::kAcUnitFields;
      info.assign(wire::kAcUnitBytes, 0);
      for (std::size_t i = 0; i < wire::kAcUnitValues; ++i)
        wire::put_field(t[i], info.data(), ToTenths(u.values[i]));
      for (std::size_t i = 0; i < u.status.size(); ++i)
        wire::put_field(t[wire::kAcUnitValues + i], info.data(), u.status[i]);
      break;
    }
    case Cid2::kDcUnit:
      if (unit == 0 || unit > s.dc_units.size()) {
        rtn = kRtnInvalid;  // no such DC unit
        break;
      }
      info = s.dc_units[unit - 1];
      break;
    case Cid2::kBlockA3: info = s.block_a3; break;
    case Cid2::kWord93: put16(info, static_cast<std::uint16_t>(s.word_93)); break;
    case Cid2::kAlarmList1: {
      // The list of this cycle is fixed when its first part is asked for.
      const auto& sets = s.alarm_sets;
      cycle_alarms_ = sets.empty() ? std::vector<AlarmEntry>{}
                                   : sets[(polls_ == 0 ? 0 : polls_ - 1) % sets.size()];
      info.push_back(static_cast<std::uint8_t>(cycle_alarms_.size()));
      put_alarms(info, cycle_alarms_, 0, kAlarmsPerPart);
      break;
    }
    case Cid2::kAlarmList2:
    case Cid2::kAlarmList3:
    case Cid2::kAlarmList4: {
      const std::size_t part = r.cid2 - wire::code(Cid2::kAlarmList1);
      const std::size_t first = part * kAlarmsPerPart;
      // The last part carries everything that is left.
      const std::size_t n = r.cid2 == wire::code(Cid2::kAlarmList4) ? kMaxAlarms : kAlarmsPerPart;
      put_alarms(info, cycle_alarms_, first, n);
      break;
    }
    default: rtn = kRtnInvalid; break;
  }
  return info;
}

}  // namespace sim
