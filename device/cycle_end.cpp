// The cycle end of the device (change test, snapshot buffer and image, rule
// sets) and the value query by signal name. The snapshot layout and the rule
// sets are the device's parts (device/parts.h), called through its view.
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "device/hvr38qt.h"

using namespace hvr38qt;

namespace {

constexpr float kAcFailVolts = 150.0f;

bool all_phases_low(const hvr38qt_41_a2& r) {
  return r.u_a < kAcFailVolts && r.u_b < kAcFailVolts && r.u_c < kAcFailVolts;
}

}  // namespace

DeviceView HVR38QT::View() {
  return DeviceView{
      .device_id = DataId(),
      .mode = Mode(),
      .header = header_,
      .block95 = block95_,
      .blocka3 = block_a3_,
      .word93 = word93_,
      .modules = modules_,
      .ac_units = ac_units_,
      .dc_units = dc_units_,
      .alarms = alarms_,
      .alarm_count = alarm_count_,
      .ac_number = ac_number,
      .dc_number = dc_number,
      .levels = LevelMap(),
      .values = ValueMap(),
  };
}

void HVR38QT::alarm_codes_to_host_order() {
  if (alarm_codes_host_order_) return;  // each filled list is turned once
  for (auto& item : alarms_) {
    unsigned char b[2];
    std::memcpy(b, &item.code, 2);
    item.code = be16(b);
  }
  alarm_codes_host_order_ = true;
}

void HVR38QT::RunCheckThreshold() {
  // 1. Change test, in single precision.
  const float voltage = header_.output_voltage;
  const float ext_value = block95_.ext_value;
  if (data_ready_ != 1) {
    data_ready_ = 1;
  } else if (std::fabs(prev_voltage_ - voltage) >= voltage_threshold_) {
    data_change_ = 1;
  } else if (std::fabs(prev_ext_value_ - ext_value) >= ext_value_threshold_) {
    data_change_ = 1;
  }
  prev_voltage_ = voltage;
  prev_ext_value_ = ext_value;

  // 2. Allocation, once.
  if (!snapshot_) {
    snapshot_size_ = static_cast<int>(parts_.snapshot_size(View()));
    snapshot_ = std::make_shared<Buffer>(static_cast<std::size_t>(snapshot_size_), 0);
  }

  // 3. Time stamp, 4. image (the alarm codes in host order first), 5. last
  // update time.
  const ttime stamp = get_ttime(Now());
  std::memcpy(header_.time_stamp, stamp.data(), stamp.size());
  if (!alarms_.empty()) alarm_codes_to_host_order();
  const DeviceView view = View();
  parts_.serialise(view, std::span<unsigned char>(snapshot_->data(), snapshot_->size()));
  last_update_ = Now();

  // 6. Rules of the mode. The host is locked once per evaluation, not once
  // per report.
  const auto host = LockController();
  rules_->evaluate(view, host.get());
}

float HVR38QT::Get_Value(unsigned /*id*/, const std::string& name) const {
  if (data_ready_ != 1) throw std::out_of_range("数据未就绪");
  if (last_update_.is_special() || (Now() - last_update_).total_seconds() >= 61)
    throw std::out_of_range("数据已超时");

  // Before the settings step a restored snapshot can mark the data ready
  // while no AC record exists: phase values then read as "no unit" (-1) and
  // the failure indications as "no failure seen" (0).
  const hvr38qt_41_a2* ac1 = ac_units_.empty() ? nullptr : &ac_units_[0];
  const hvr38qt_41_a2* ac2 = ac_units_.size() >= 2 ? &ac_units_[1] : nullptr;
  if (name == "va1") return (ac_number > 0 && ac1) ? ac1->u_a : -1.0f;
  if (name == "vb1") return (ac_number > 0 && ac1) ? ac1->u_b : -1.0f;
  if (name == "vc1") return (ac_number > 0 && ac1) ? ac1->u_c : -1.0f;
  if (name == "out_v") return header_.output_voltage;
  if (name == "ac") {
    if (!ac1) return 0.0f;
    return (all_phases_low(*ac1) && (!ac2 || all_phases_low(*ac2))) ? 1.0f : 0.0f;
  }
  if (name == "ac1") return (ac1 && all_phases_low(*ac1)) ? 1.0f : 0.0f;
  if (name == "ac2") return (ac2 && all_phases_low(*ac2)) ? 1.0f : 0.0f;
  throw std::out_of_range("不支持变量");
}
