#include "hvr38qt.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "cycle_errors.h"

using namespace hvr38qt;

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
  if (size < 4) return size + 1;
  header_.output_voltage = tenths(info + 1);
  header_.module_count = info[3];
  // Sized by the first reply; a later, larger count (a rectifier added while
  // running) grows the list so that every announced module has a record.
  if (modules_.size() < header_.module_count)
    modules_.resize(header_.module_count, tele_c_hvr38qt_rc_channel{});
  std::size_t p = 4;
  for (std::size_t i = 0; i < header_.module_count; ++i) {
    if (p + 3 > size) return p + 3;
    modules_[i].current = tenths(info + p);
    const unsigned extra = info[p + 2];
    p += 3;
    if (extra != 0) {
      log_error(CycleError::kAnalogExtraBytes, static_cast<int>(extra));
      p += extra;
    }
  }
  return p;
}

std::size_t HVR38QT::parse_module_states(const unsigned char* info, std::size_t size, int width,
                                         CycleError mismatch, CycleError extra_error) {
  if (size < 1) return size + 1;
  const std::uint8_t c = info[0];
  if (c != header_.module_count) {
    log_error(mismatch, static_cast<int>(c), header_.module_count);
    return 0;
  }
  const auto w = static_cast<std::size_t>(width);
  std::size_t p = 1;
  for (std::size_t i = 0; i < c; ++i) {
    if (p + w + 1 > size) return p + w + 1;
    auto& rec = modules_[i];
    if (width == 3) {
      rec.state_1 = info[p];
      rec.state_2 = info[p + 1];
      rec.state_3 = info[p + 2];
    } else {
      rec.alarm_state = info[p];
    }
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
  return parse_module_states(info, size, 3, CycleError::kSwitchCount, CycleError::kSwitchExtraBytes);
}

std::size_t HVR38QT::parse41_44(const unsigned char* info, std::size_t size) {
  return parse_module_states(info, size, 1, CycleError::kAlarmStateCount,
                             CycleError::kAlarmStateExtraBytes);
}

std::size_t HVR38QT::parse41_95(const unsigned char* info, std::size_t size) {
  if (size < 4) return size + 1;
  block95_.ext_state_1 = info[0];
  block95_.ext_state_2 = info[1];
  block95_.ext_value = tenths(info + 2);
  return 4;
}

// ---------------------------------------------------------------------------
// Poll cycle

namespace {

constexpr unsigned char kCid1 = 0x41;

// Info bytes each reply needs; the controller's length word is not trusted.
constexpr std::size_t kModuleDetailBytes = 61;
constexpr std::size_t kAcUnitBytes = 27;
constexpr std::size_t kDcUnitBytes = 219;
constexpr std::size_t kAlarmEntryBytes = 4;
constexpr unsigned kAlarmsPerPart = 50;

}  // namespace

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
    case kAnalog: return write_pmbus_cmd(kCid1, 0x42);
    case kSwitch: return write_pmbus_cmd(kCid1, 0x43);
    case kAlarmState: return write_pmbus_cmd(kCid1, 0x44);
    case kModule: {
      const unsigned char first = 0;
      module_replies_ = 1;
      return write_pmbus_cmd(kCid1, 0x8F, &first, 1);
    }
    case kExtras: return write_pmbus_cmd(kCid1, 0x95);
    case kAcUnit: return write_pmbus_cmd(kCid1, 0xA2, &current_unit_, 1);
    case kDcUnit: return write_pmbus_cmd(kCid1, 0xA4, &current_unit_, 1);
    case kBlockA3: return write_pmbus_cmd(kCid1, 0xA3);
    case kWord93: return write_pmbus_cmd(kCid1, 0x93);
    case kAlarmList1: return write_pmbus_cmd(kCid1, 0x9C);
    case kAlarmList2: return write_pmbus_cmd(kCid1, 0x9D);
    case kAlarmList3: return write_pmbus_cmd(kCid1, 0x9E);
    case kAlarmList4: return write_pmbus_cmd(kCid1, 0x9F);
    default: return 0;
  }
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
      if (rtn == 4) return enter(kBlockA3);  // the controller has no DC units
      return on_dc_unit(info, avail);
    }
    case kBlockA3: {
      if (count == 144 && avail == 144) {
        std::memcpy(&block_a3_, info, sizeof block_a3_);
        for (std::size_t e = 0; e < 8; ++e)
          for (std::size_t j = 0; j < 7; ++j) swap16_at(&block_a3_, e * sizeof(a3_entry) + 4 + 2 * j);
      } else if (count == 128 && avail == 128) {
        for (std::size_t e = 0; e < 8; ++e) {
          for (std::size_t j = 0; j < 4; ++j) block_a3_.entry[e].entry_value[j] = be16(info + 16 * e + 4 + 2 * j);
        }
      } else {
        return fail_quiet_reset();
      }
      return enter(kWord93);
    }
    case kWord93: {
      if ((length_word != 4 && length_word != 5) || avail < 2) return fail_quiet_reset();
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
  if (count >= 1 && info[0] == 2)
    return fail_reset(CycleError::kModuleRetcode2);
  if (count < 2) return fail_reset(CycleError::kModuleOverflow);
  const unsigned k = info[1];
  if (k == 0 || k > header_.module_count || k > modules_.size())
    return fail_reset(CycleError::kModuleIndex);
  if (count < kModuleDetailBytes)
    return fail_reset(CycleError::kModuleOverflow);
  auto& rec = modules_[k - 1];
  std::memcpy(reinterpret_cast<unsigned char*>(&rec) + 8, info + 1, 60);
  for (std::size_t off : {18u, 20u, 22u}) swap16_at(&rec, off);
  for (std::size_t off : {24u, 28u, 32u}) swap32_at(&rec, off);
  if (info[0] != 0) return enter(kExtras);
  // A controller that never marks its last module is stopped after one
  // request per module.
  if (module_replies_ >= header_.module_count)
    return fail_reset(CycleError::kModuleTooMany);
  ++module_replies_;
  const unsigned char next = 1;
  write_pmbus_cmd(kCid1, 0x8F, &next, 1);
  return 1;
}

int HVR38QT::on_ac_unit(const unsigned char* info, std::size_t count) {
  if (count < kAcUnitBytes)
    return fail_reset(CycleError::kAcOverflow);
  if (current_unit_ == 0 || current_unit_ > ac_units_.size())
    return fail_reset(CycleError::kAcUnitRange);
  auto& rec = ac_units_[current_unit_ - 1];
  auto* bytes = reinterpret_cast<unsigned char*>(&rec);
  for (std::size_t i = 0; i < 12; ++i) {
    const float v = tenths(info + 2 * i);
    std::memcpy(bytes + 4 * i, &v, 4);
  }
  rec.status_1 = info[24];
  rec.status_2 = info[25];
  rec.status_3 = info[26];
  const int n = current_unit_;
  current_unit_ = static_cast<std::uint8_t>(n + 1);
  if (n < ac_number) {
    write_pmbus_cmd(kCid1, 0xA2, &current_unit_, 1);
    return 1;
  }
  if (dc_number > 0) {
    current_unit_ = 1;
    return enter(kDcUnit);
  }
  return enter(kBlockA3);
}

int HVR38QT::on_dc_unit(const unsigned char* info, std::size_t count) {
  if (count < kDcUnitBytes)
    return fail_reset(CycleError::kDcOverflow);
  if (current_unit_ == 0 || current_unit_ > dc_units_.size())
    return fail_reset(CycleError::kDcUnitRange);
  auto& rec = dc_units_[current_unit_ - 1];
  std::memcpy(&rec, info, sizeof rec);
  swap16_at(&rec, 0);
  swap32_at(&rec, 2);
  swap32_at(&rec, 6);
  for (std::size_t k = 0; k < 16; ++k) {
    const std::size_t b = 11 + 13 * k;
    swap16_at(&rec, b);
    swap32_at(&rec, b + 2);
    swap32_at(&rec, b + 6);
    swap16_at(&rec, b + 10);
  }
  const int n = current_unit_;
  current_unit_ = static_cast<std::uint8_t>(n + 1);
  if (n < dc_number) {
    write_pmbus_cmd(kCid1, 0xA4, &current_unit_, 1);
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
  const std::size_t first = static_cast<std::size_t>(part) * kAlarmsPerPart;
  const std::size_t left = alarm_count_ > first ? alarm_count_ - first : 0;
  // The last part carries all that is left (up to 105 entries for 255).
  const std::size_t entries = part == 3 ? left : std::min<std::size_t>(left, kAlarmsPerPart);
  if (first + entries > alarms_.size() || offset + entries * kAlarmEntryBytes > count)
    return fail_reset(kShort[part]);
  std::memcpy(alarms_.data() + first, info + offset, entries * kAlarmEntryBytes);
  if (part == 3 || alarm_count_ <= first + kAlarmsPerPart) return finish();
  return enter(kAlarmList1 + part + 1);
}
