// The device object of one power-system controller on one serial line: its
// settings, the poll cycle, the reply decoders and the records they fill.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cycle_errors.h"
#include "device/parts.h"
#include "device/view.h"
#include "pmbus_protocol.h"
#include "protocol/protocol.h"
#include "records.h"
#include "unibuffer_device.h"

namespace hvr38qt {

inline constexpr int kSnapshotType = 5029;

// Poll states: the request whose reply is awaited.
enum PollState : int {
  kFailed = 2,
  kAnalog = 4,       // 0x42
  kSwitch = 5,       // 0x43
  kAlarmState = 6,   // 0x44
  kAcUnit = 7,       // 0xA2
  kExtras = 8,       // 0x95
  kModule = 10,      // 0x8F
  kBlockA3 = 11,     // 0xA3
  kWord93 = 12,      // 0x93
  kDcUnit = 13,      // 0xA4
  kAlarmList1 = 14,  // 0x9C
  kAlarmList2 = 15,  // 0x9D
  kAlarmList3 = 16,  // 0x9E
  kAlarmList4 = 17,  // 0x9F
};

}  // namespace hvr38qt

class HVR38QT : public UniBufferDevice<PMBusProtocol, hvr38qt::kSnapshotType> {
 public:
  using Base = UniBufferDevice<PMBusProtocol, hvr38qt::kSnapshotType>;

  // The snapshot layout and the rule sets come from the assembly point
  // (plugin/providers.h: hvr38qt::make_device); every hook must be set.
  explicit HVR38QT(const hvr38qt::DeviceParts& parts);
  ~HVR38QT() override;

  float Get_Value(unsigned id, const std::string& name) const override;
  int InitSetting(const Json::Value& config) override;
  int RefreshStatus() override;
  int process_payload() override;
  void RunCheckThreshold() override;

  // Decoders of the per-module replies. Each reads at most `size` info bytes
  // and returns the number of info bytes the reply's layout consumed; a
  // reply too short for its layout returns more than `size`.
  std::size_t parse41_42(const unsigned char* info, std::size_t size);
  std::size_t parse41_43(const unsigned char* info, std::size_t size);
  std::size_t parse41_44(const unsigned char* info, std::size_t size);
  std::size_t parse41_95(const unsigned char* info, std::size_t size);

  // Read access for the rule sets, tools and tests.
  const hvr38qt::header_block& Header() const { return header_; }
  const hvr38qt::block_95& Block95() const { return block95_; }
  const hvr38qt::block_a3& BlockA3() const { return block_a3_; }
  std::int16_t Word93() const { return word93_; }
  std::uint8_t DataChangedIndicator() const { return data_changed; }
  const std::vector<hvr38qt::tele_c_hvr38qt_rc_channel>& Modules() const { return modules_; }
  const std::vector<hvr38qt::hvr38qt_41_a2>& AcUnits() const { return ac_units_; }
  const std::vector<hvr38qt::hvr38qt_41_a4>& DcUnits() const { return dc_units_; }
  const std::vector<hvr38qt::alarm_item>& AlarmList() const { return alarms_; }
  std::uint32_t AlarmCount() const { return alarm_count_; }
  int AcNumber() const { return ac_number; }
  int DcNumber() const { return dc_number; }
  float PreviousVoltage() const { return prev_voltage_; }
  float PreviousExtValue() const { return prev_ext_value_; }
  // The records and the host's rule maps as the snapshot layout and the
  // rule sets read them.
  hvr38qt::DeviceView View();

 private:
  // Cycle helpers.
  int enter(int state);                      // set state, send its request, return 1
  int fail(hvr38qt::CycleError error);       // log, state 2, return 0
  int fail_reset(hvr38qt::CycleError error); // as fail, then Reset()
  int fail_quiet_reset();                    // state 2, Reset(), return 0
  int finish();                              // RoundDone, return 0
  int send_request(int state);
  int request(hvr38qt::wire::Cid2 command, const unsigned char* data = nullptr, int len = 0);
  int on_module_detail(const unsigned char* info, std::size_t count);
  int on_ac_unit(const unsigned char* info, std::size_t count);
  int on_dc_unit(const unsigned char* info, std::size_t count);
  int on_alarm_part(int part, const unsigned char* info, std::size_t count);
  std::size_t parse_module_states(const unsigned char* info, std::size_t size,
                                  std::span<const hvr38qt::wire::Field> fields, hvr38qt::CycleError mismatch,
                                  hvr38qt::CycleError extra);
  // Logs a protocol error with its table text and counts it by code.
  template <class... Args>
  void log_error(hvr38qt::CycleError error, const Args&... args) {
    note_protocol_error(hvr38qt::cycle_error_kind(error));
    InfoLog(hvr38qt::cycle_error_text(error).text, DataId(), args...);
  }
  void alarm_codes_to_host_order();

  std::uint8_t data_changed = 0;
  hvr38qt::block_95 block95_{};
  hvr38qt::header_block header_{};
  std::vector<hvr38qt::tele_c_hvr38qt_rc_channel> modules_;
  std::vector<hvr38qt::hvr38qt_41_a2> ac_units_;
  std::vector<hvr38qt::hvr38qt_41_a4> dc_units_;
  std::uint32_t alarm_count_ = 0;
  std::vector<hvr38qt::alarm_item> alarms_;
  hvr38qt::block_a3 block_a3_{};
  std::int16_t word93_ = 0;
  std::uint8_t current_unit_ = 0;
  int ac_number = 1;
  int dc_number = 1;
  float prev_voltage_ = 0.0f;
  float prev_ext_value_ = 0.0f;
  float voltage_threshold_ = 0.2f;
  float ext_value_threshold_ = 20.0f;

  // 0x8F replies taken in the running cycle (bounded by the module count).
  unsigned module_replies_ = 0;
  // The alarm list's codes were turned into host order since its last fill.
  bool alarm_codes_host_order_ = true;
  // The snapshot layout and the rule sets, with their reused working memory.
  hvr38qt::DeviceParts parts_;
  std::unique_ptr<hvr38qt::RuleSet> rules_;
};
