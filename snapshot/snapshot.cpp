// The snapshot step of the cycle end (change test, buffer, byte image) and
// the value query by signal name.
//
// Snapshot image (little-endian numbers; A, D AC and DC units, M modules,
// N alarm items):
//
//   0        16        16+51A     16+51A+219D   22+51A+219D   +68M   +144  +2
//   |header  |AC units |DC units  |0x95 block   |modules      |0xA3  |0x93 |alarm items..|
//
// The buffer is sized once: 51A + 219D + 68C + 22 + 146 + 800 bytes, C the
// module count at allocation (room for 200 alarm items). The image is always
// this layout cut at the end of the buffer: when more units, modules or
// alarm items exist than the buffer was sized for, what lies past its end is
// dropped and the buffer keeps the size the history already holds.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "alarms/evaluate.h"
#include "device/hvr38qt.h"

using namespace hvr38qt;

namespace {

// Appends byte ranges to a fixed buffer, never past its end.
class BoundedWriter {
 public:
  BoundedWriter(unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  void put(const void* src, std::size_t n) {
    const std::size_t room = size_ - pos_;
    const std::size_t take = std::min(n, room);
    if (take > 0) std::memcpy(data_ + pos_, src, take);
    pos_ += take;
  }
  std::size_t room() const { return size_ - pos_; }

 private:
  unsigned char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

constexpr std::size_t kAlarmRoom = 800;  // 200 items of 4 bytes
constexpr float kAcFailVolts = 150.0f;

bool all_phases_low(const hvr38qt_41_a2& r) {
  return r.u_a < kAcFailVolts && r.u_b < kAcFailVolts && r.u_c < kAcFailVolts;
}

}  // namespace

void HVR38QT::alarm_codes_to_host_order() {
  if (alarm_codes_host_order_) return;  // each filled list is turned once
  for (auto& item : alarms_) {
    unsigned char b[2];
    std::memcpy(b, &item.code, 2);
    item.code = be16(b);
  }
  alarm_codes_host_order_ = true;
}

void HVR38QT::serialise() {
  BoundedWriter w(snapshot_->data(), snapshot_->size());
  w.put(&header_, sizeof header_);
  w.put(ac_units_.data(), ac_units_.size() * sizeof(hvr38qt_41_a2));
  w.put(dc_units_.data(), dc_units_.size() * sizeof(hvr38qt_41_a4));
  w.put(&block95_, sizeof block95_);
  w.put(modules_.data(), modules_.size() * sizeof(tele_c_hvr38qt_rc_channel));
  w.put(&block_a3_, sizeof block_a3_);
  w.put(&word93_, sizeof word93_);
  if (!alarms_.empty()) {
    alarm_codes_to_host_order();
    // Whole items only: an item cut in half would read as a wrong alarm.
    const std::size_t fit = std::min(alarms_.size(), w.room() / sizeof(alarm_item));
    w.put(alarms_.data(), fit * sizeof(alarm_item));
  }
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
    snapshot_size_ = static_cast<int>(ac_units_.size() * sizeof(hvr38qt_41_a2) +
                                      dc_units_.size() * sizeof(hvr38qt_41_a4) +
                                      header_.module_count * sizeof(tele_c_hvr38qt_rc_channel) +
                                      sizeof(header_block) + sizeof(block_95) + sizeof(block_a3) +
                                      sizeof(word93_) + kAlarmRoom);
    snapshot_ = std::make_shared<Buffer>(static_cast<std::size_t>(snapshot_size_), 0);
  }

  // 3. Time stamp, 4. image, 5. last update time.
  const ttime stamp = get_ttime(Now());
  std::memcpy(header_.time_stamp, stamp.data(), stamp.size());
  serialise();
  last_update_ = Now();

  // 6. Rules of the mode.
  alarms::evaluate(*this, *workspace_);
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
