#include "hvr38qt.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "cycle_errors.h"

using namespace hvr38qt;
using wire::Cid2;

HVR38QT::HVR38QT(const DeviceParts& parts) : parts_(parts) {
  if (!parts_.complete()) throw std::invalid_argument("HVR38QT needs its snapshot and rule-set parts");
  rules_ = parts_.make_rule_set();
  device_type_ = "hvr38qt";
  baud_rate_ = 9600;
  protocol_option_ = 1;
  protocol_version_ = 0x21;
}

HVR38QT::~HVR38QT() = default;

// ---------------------------------------------------------------------------
// Settings

int HVR38QT::InitSetting(const Json::Value& config) {
  header_.device_id = DataId();
  if (const Json::Value* app = settings::object_member(config, "appSetting")) {
    std::string text;
    if (settings::read_text(*this, *app, "ac_number", text)) ac_number = settings::to_int(text);
    if (settings::read_text(*this, *app, "dc_number", text)) dc_number = settings::to_int(text);
  }
  if (ac_number < 1) ac_number = 1;
  if (dc_number < 0) dc_number = 0;
  // The poll cycle addresses a unit by one byte: larger counts are clamped.
  if (ac_number > kMaxUnits) {
    InfoLog("HVR38QT {} ac_number {} above {}, clamped", DataId(), ac_number, kMaxUnits);
    ac_number = kMaxUnits;
  }
  if (dc_number > kMaxUnits) {
    InfoLog("HVR38QT {} dc_number {} above {}, clamped", DataId(), dc_number, kMaxUnits);
    dc_number = kMaxUnits;
  }
  ac_units_.resize(static_cast<std::size_t>(ac_number), hvr38qt_41_a2{});
  dc_units_.resize(static_cast<std::size_t>(dc_number), hvr38qt_41_a4{});
  return Base::InitSetting(config);
}

// ---------------------------------------------------------------------------
// Decoders of the per-module replies

std::size_t HVR38QT::parse41_42(const unsigned char* info, std::size_t size) {
  if (size < wire::kAnalogHeadBytes) return size + 1;
  wire::read_fields(wire::kHeaderFields, info, &header_);
  // Sized by the first reply; a later, larger count (a rectifier added while
  // running) grows the list so that every announced module has a record.
  if (modules_.size() < header_.module_count)
    modules_.resize(header_.module_count, tele_c_hvr38qt_rc_channel{});
  constexpr std::size_t group = wire::kModuleAnalogGroup + 1;
  std::size_t p = wire::kAnalogHeadBytes;
  for (std::size_t i = 0; i < header_.module_count; ++i) {
    if (p + group > size) return p + group;
    wire::read_fields(wire::kModuleAnalogFields, info + p, &modules_[i]);
    const unsigned extra = info[p + group - 1];
    p += group;
    if (extra != 0) {
      log_error(CycleError::kAnalogExtraBytes, static_cast<int>(extra));
      p += extra;
    }
  }
  return p;
}

std::size_t HVR38QT::parse_module_states(const unsigned char* info, std::size_t size,
                                         std::span<const wire::Field> fields, CycleError mismatch,
                                         CycleError extra_error) {
  if (size < 1) return size + 1;
  const std::uint8_t c = info[0];
  if (c != header_.module_count) {
    log_error(mismatch, static_cast<int>(c), header_.module_count);
    return 0;
  }
  const std::size_t w = wire::wire_extent(fields);
  std::size_t p = 1;
  for (std::size_t i = 0; i < c; ++i) {
    if (p + w + 1 > size) return p + w + 1;
    wire::read_fields(fields, info + p, &modules_[i]);
    const unsigned extra = info[p + w];
    p += w + 1;
    if (extra != 0) {
      log_error(extra_error, static_cast<int>(extra));
      p += extra;
    }
  }
  return p;
}

std::size_t HVR38QT::parse41_43(const unsigned char* info, std::size_t size) {
  return parse_module_states(info, size, wire::kModuleSwitchFields, CycleError::kSwitchCount,
                             CycleError::kSwitchExtraBytes);
}

std::size_t HVR38QT::parse41_44(const unsigned char* info, std::size_t size) {
  return parse_module_states(info, size, wire::kModuleAlarmFields, CycleError::kAlarmStateCount,
                             CycleError::kAlarmStateExtraBytes);
}

std::size_t HVR38QT::parse41_95(const unsigned char* info, std::size_t size) {
  if (size < wire::kExtrasBytes) return size + 1;
  wire::read_fields(wire::kBlock95Fields, info, &block95_);
  return wire::kExtrasBytes;
}

// ---------------------------------------------------------------------------
// Poll cycle

int HVR38QT::RefreshStatus() {
  KRTSPDevice::RefreshStatus();
  discard_partial_frame();
  begin_cycle();
  state_ = kAnalog;
  module_replies_ = 0;
  send_request(kAnalog);
  return 1;
}

int HVR38QT::send_request(int state) {
  switch (state) {
    case kAnalog: return request(Cid2::kAnalog);
    case kSwitch: return request(Cid2::kSwitch);
    case kAlarmState: return request(Cid2::kAlarmState);
    case kModule: {
      const unsigned char first = 0;
      module_replies_ = 1;
      return request(Cid2::kModuleDetail, &first, 1);
    }
    case kExtras: return request(Cid2::kExtras);
    case kAcUnit: return request(Cid2::kAcUnit, &current_unit_, 1);
    case kDcUnit: return request(Cid2::kDcUnit, &current_unit_, 1);
    case kBlockA3: return request(Cid2::kBlockA3);
    case kWord93: return request(Cid2::kWord93);
    case kAlarmList1: return request(Cid2::kAlarmList1);
    case kAlarmList2: return request(Cid2::kAlarmList2);
    case kAlarmList3: return request(Cid2::kAlarmList3);
    case kAlarmList4: return request(Cid2::kAlarmList4);
    default: return 0;
  }
}

int HVR38QT::request(wire::Cid2 command, const unsigned char* data, int len) {
  return write_pmbus_cmd(wire::kCid1, wire::code(command), data, len);
}

int HVR38QT::enter(int state) {
  state_ = state;
  send_request(state);
  return 1;
}

int HVR38QT::fail(CycleError error) {
  log_error(error);
  state_ = kFailed;
  end_cycle(CycleEnd::kFailed);
  return 0;
}

int HVR38QT::fail_reset(CycleError error) {
  fail(error);
  Reset();
  return 0;
}

int HVR38QT::fail_quiet_reset() {
  state_ = kFailed;
  end_cycle(CycleEnd::kFailed);
  Reset();
  return 0;
}

int HVR38QT::finish() {
  RoundDone();
  end_cycle(CycleEnd::kPublished);
  return 0;
}

int HVR38QT::process_payload() {
  const auto& r = reply();
  if (r.size() < 6) return 1;  // the codec never hands on less than a header
  const std::uint8_t rtn = r[3];
  const unsigned length_word = r[4] | (static_cast<unsigned>(r[5]) << 8);
  const std::size_t count = length_word / 2;
  const unsigned char* info = r.data() + 6;
  // Never read beyond what was received, whatever the length word says.
  const std::size_t avail = std::min(count, r.size() - 6);

  switch (state_) {
    case kAnalog: {
      data_changed = (avail > 0 && info[0] != 0) ? 1 : 0;
      if (parse41_42(info, avail) != count)
        return fail(CycleError::kAnalogOverflow);
      if (data_ready_ != 1) return enter(kSwitch);
      if (data_changed == 1) return enter(kAlarmState);
      end_cycle(CycleEnd::kUnchanged);
      return 1;  // nothing changed: the cycle stops here
    }
    case kSwitch: {
      if (parse41_43(info, avail) != count)
        return fail(CycleError::kSwitchOverflow);
      if (data_changed == 1) return enter(kAlarmState);
      return finish();
    }
    case kAlarmState: {
      if (parse41_44(info, avail) != count)
        return fail_reset(CycleError::kAlarmStateOverflow);
      return enter(kModule);
    }
    case kModule: return on_module_detail(info, avail);
    case kExtras: {
      if (length_word >= 8 && parse41_95(info, avail) != count)
        return fail_reset(CycleError::kExtrasOverflow);
      current_unit_ = 1;
      return enter(kAcUnit);
    }
    case kAcUnit: return on_ac_unit(info, avail);
    case kDcUnit: {
      if (rtn == wire::kRtnNoDcUnits) return enter(kBlockA3);  // the controller has no DC units
      return on_dc_unit(info, avail);
    }
    case kBlockA3: {
      if (count == wire::kBlockA3Bytes && avail == wire::kBlockA3Bytes) {
        for (std::size_t e = 0; e < wire::kA3Entries; ++e)
          wire::read_fields(wire::kA3EntryFields, info + e * sizeof(a3_entry), &block_a3_.entry[e]);
      } else if (count == wire::kBlockA3ShortBytes && avail == wire::kBlockA3ShortBytes) {
        for (std::size_t e = 0; e < wire::kA3Entries; ++e)
          wire::read_fields(wire::kA3ShortEntryFields, info + e * wire::kA3ShortEntryBytes,
                            &block_a3_.entry[e]);
      } else {
        return fail_quiet_reset();
      }
      return enter(kWord93);
    }
    case kWord93: {
      if ((length_word != wire::kWord93Length && length_word != wire::kWord93Length + 1) ||
          avail < wire::kWord93Bytes)
        return fail_quiet_reset();
      word93_ = static_cast<std::int16_t>(be16(info));
      alarm_count_ = 0;
      alarms_.clear();
      alarm_codes_host_order_ = true;
      return enter(kAlarmList1);
    }
    case kAlarmList1:
    case kAlarmList2:
    case kAlarmList3:
    case kAlarmList4: return on_alarm_part(state_ - kAlarmList1, info, avail);
    default: return 1;  // no reply expected in this state: ignored
  }
}

int HVR38QT::on_module_detail(const unsigned char* info, std::size_t count) {
  if (count >= 1 && info[0] == wire::kModuleDetailRefused)
    return fail_reset(CycleError::kModuleRetcode2);
  if (count < 2) return fail_reset(CycleError::kModuleOverflow);
  const unsigned k = info[1];
  if (k == 0 || k > header_.module_count || k > modules_.size())
    return fail_reset(CycleError::kModuleIndex);
  if (count < wire::kModuleDetailBytes)
    return fail_reset(CycleError::kModuleOverflow);
  auto& rec = modules_[k - 1];
  wire::read_fields(wire::kModuleDetailFields, info, &rec);
  if (info[0] != 0) return enter(kExtras);
  // A controller that never marks its last module is stopped after one
  // request per module.
  if (module_replies_ >= header_.module_count)
    return fail_reset(CycleError::kModuleTooMany);
  ++module_replies_;
  const unsigned char next = 1;
  request(Cid2::kModuleDetail, &next, 1);
  return 1;
}

int HVR38QT::on_ac_unit(const unsigned char* info, std::size_t count) {
  if (count < wire::kAcUnitBytes)
    return fail_reset(CycleError::kAcOverflow);
  if (current_unit_ == 0 || current_unit_ > ac_units_.size())
    return fail_reset(CycleError::kAcUnitRange);
  wire::read_fields(wire::kAcUnitFields, info, &ac_units_[current_unit_ - 1]);
  const int n = current_unit_;
  current_unit_ = static_cast<std::uint8_t>(n + 1);
  if (n < ac_number) {
    request(Cid2::kAcUnit, &current_unit_, 1);
    return 1;
  }
  if (dc_number > 0) {
    current_unit_ = 1;
    return enter(kDcUnit);
  }
  return enter(kBlockA3);
}

int HVR38QT::on_dc_unit(const unsigned char* info, std::size_t count) {
  if (count < wire::kDcUnitBytes)
    return fail_reset(CycleError::kDcOverflow);
  if (current_unit_ == 0 || current_unit_ > dc_units_.size())
    return fail_reset(CycleError::kDcUnitRange);
  auto& rec = dc_units_[current_unit_ - 1];
  wire::read_fields(wire::kDcUnitHeadFields, info, &rec);
  for (std::size_t k = 0; k < wire::kDcBranches; ++k)
    wire::read_fields(wire::kDcBranchFields, info + offsetof(hvr38qt_41_a4, branch) + sizeof(dc_branch) * k,
                      &rec.branch[k]);
  const int n = current_unit_;
  current_unit_ = static_cast<std::uint8_t>(n + 1);
  if (n < dc_number) {
    request(Cid2::kDcUnit, &current_unit_, 1);
    return 1;
  }
  return enter(kBlockA3);
}

int HVR38QT::on_alarm_part(int part, const unsigned char* info, std::size_t count) {
  static constexpr CycleError kShort[] = {
      CycleError::kAlarmList1Overflow,
      CycleError::kAlarmList2Overflow,
      CycleError::kAlarmList3Overflow,
      CycleError::kAlarmList4Overflow,
  };
  std::size_t offset = 0;
  if (part == 0) {
    if (count < 1) return fail_reset(kShort[0]);
    alarm_count_ = info[0];
    if (alarm_count_ == 0) return finish();
    alarms_.assign(alarm_count_, alarm_item{});
    alarm_codes_host_order_ = false;
    offset = 1;
  }
  using wire::kAlarmEntryBytes;
  using wire::kAlarmsPerPart;
  constexpr int kLastRequest = static_cast<int>(wire::kAlarmListRequests) - 1;
  const std::size_t first = static_cast<std::size_t>(part) * kAlarmsPerPart;
  const std::size_t left = alarm_count_ > first ? alarm_count_ - first : 0;
  // The last part carries all that is left (up to 105 entries for 255).
  const std::size_t entries = part == kLastRequest ? left : std::min<std::size_t>(left, kAlarmsPerPart);
  if (first + entries > alarms_.size() || offset + entries * kAlarmEntryBytes > count)
    return fail_reset(kShort[part]);
  std::memcpy(alarms_.data() + first, info + offset, entries * kAlarmEntryBytes);
  if (part == kLastRequest || alarm_count_ <= first + kAlarmsPerPart) return finish();
  return enter(kAlarmList1 + part + 1);
}
