// The protocol errors of the controller's poll cycle, as codes, and the one
// table of their log texts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pmbus_protocol.h"

namespace hvr38qt {

enum class CycleError : std::uint8_t {
  kAnalogOverflow,         // 0x42 reply longer or shorter than its layout
  kAnalogExtraBytes,       // 0x42 module entry with extra bytes
  kSwitchCount,            // 0x43 module count differs from 0x42's
  kSwitchExtraBytes,       // 0x43 module entry with extra bytes
  kSwitchOverflow,         // 0x43 reply does not fit its layout
  kAlarmStateCount,        // 0x44 module count differs from 0x42's
  kAlarmStateExtraBytes,   // 0x44 module entry with extra bytes
  kAlarmStateOverflow,     // 0x44 reply does not fit its layout
  kExtrasOverflow,         // 0x95 reply does not fit its layout
  kModuleRetcode2,         // 0x8F reply flagged 2
  kModuleOverflow,         // 0x8F reply shorter than its layout
  kModuleIndex,            // 0x8F module number out of range
  kModuleTooMany,          // more 0x8F replies than modules
  kAcOverflow,             // 0xA2 reply shorter than its layout
  kAcUnitRange,            // 0xA2 unit out of range
  kDcOverflow,             // 0xA4 reply shorter than its layout
  kDcUnitRange,            // 0xA4 unit out of range
  kAlarmList1Overflow,     // 0x9C..0x9F reply shorter than its entries
  kAlarmList2Overflow,
  kAlarmList3Overflow,
  kAlarmList4Overflow,
};

struct CycleErrorText {
  CycleError error;
  std::string_view name;  // stable counting name (metrics label)
  const char* text;       // the log message; {} placeholders, device id first
};

// The log texts are an interface: logs are read and peers match on them, so
// they stay byte for byte as they have always been logged, misspelt
// "ProcotolError", the "p41_41" of the 0x42 reply and trailing blanks
// included. Do not correct them.
inline constexpr std::array<CycleErrorText, 21> kCycleErrorTexts{{
    {CycleError::kAnalogOverflow, "p41_42_overflow",
     "HVR38QT:ProcotolError {} parse p41_41 overflow memory boundary"},
    {CycleError::kAnalogExtraBytes, "p41_42_extra_bytes",
     "HVR38QT:ProcotolError {} read 41_42 p is {} not 0"},
    {CycleError::kSwitchCount, "p41_43_count",
     "HVR38QT:ProcotolError {} parse p41_43 channel_count not equal {} != {} "},
    {CycleError::kSwitchExtraBytes, "p41_43_extra_bytes",
     "HVR38QT:ProcotolError {} read 41_43 p is {}, not 0"},
    {CycleError::kSwitchOverflow, "p41_43_overflow",
     "HVR38QT:ProcotolError {} parse p41_43 overflow memory boundary"},
    {CycleError::kAlarmStateCount, "p41_44_count",
     "HVR38QT:ProcotolError {} parse p41_44 channel_count not equal {} != {} "},
    {CycleError::kAlarmStateExtraBytes, "p41_44_extra_bytes",
     "HVR38QT:ProcotolError {} read 41_44 p is {}, not 0"},
    {CycleError::kAlarmStateOverflow, "p41_44_overflow",
     "HVR38QT:ProcotolError {} parse p41_44 overflow memory boundary"},
    {CycleError::kExtrasOverflow, "p41_95_overflow",
     "HVR38QT:ProcotolError {} parse p41_95 overflow memory boundary"},
    {CycleError::kModuleRetcode2, "p41_8f_retcode_2",
     "HVR38QT:ProcotolError {} parse 41_8F error get retcode 2"},
    {CycleError::kModuleOverflow, "p41_8f_overflow",
     "HVR38QT:ProcotolError {} parse p41_8F overflow memory boundary"},
    {CycleError::kModuleIndex, "p41_8f_index",
     "HVR38QT:ProcotolError {} parse 41_8F error, index out of range"},
    {CycleError::kModuleTooMany, "p41_8f_too_many",
     "HVR38QT:ProcotolError {} parse 41_8F error, more replies than modules"},
    {CycleError::kAcOverflow, "p41_a2_overflow",
     "HVR38QT:ProcotolError {} parse p41_A2 overflow memory boundary"},
    {CycleError::kAcUnitRange, "p41_a2_unit",
     "HVR38QT:ProcotolError {} parse 41_A2 error, unit out of range"},
    {CycleError::kDcOverflow, "p41_a4_overflow",
     "HVR38QT:ProcotolError {} parse p41_A4 overflow memory boundary"},
    {CycleError::kDcUnitRange, "p41_a4_unit",
     "HVR38QT:ProcotolError {} parse 41_A4 error, unit out of range"},
    {CycleError::kAlarmList1Overflow, "p41_9c_overflow",
     "HVR38QT:ProcotolError {} parse p41_9C overflow memory boundary"},
    {CycleError::kAlarmList2Overflow, "p41_9d_overflow",
     "HVR38QT:ProcotolError {} parse p41_9D overflow memory boundary"},
    {CycleError::kAlarmList3Overflow, "p41_9e_overflow",
     "HVR38QT:ProcotolError {} parse p41_9E overflow memory boundary"},
    {CycleError::kAlarmList4Overflow, "p41_9f_overflow",
     "HVR38QT:ProcotolError {} parse p41_9F overflow memory boundary"},
}};

// The table is indexed by the code: each row stands at its code's place.
constexpr bool cycle_error_table_in_order() {
  for (std::size_t i = 0; i < kCycleErrorTexts.size(); ++i)
    if (static_cast<std::size_t>(kCycleErrorTexts[i].error) != i) return false;
  return true;
}
static_assert(cycle_error_table_in_order());

constexpr const CycleErrorText& cycle_error_text(CycleError e) {
  return kCycleErrorTexts[static_cast<std::size_t>(e)];
}

// The code and name the host counts the error by.
constexpr ProtocolErrorKind cycle_error_kind(CycleError e) {
  return {kDeviceErrorBase + static_cast<int>(e), cycle_error_text(e).name};
}

}  // namespace hvr38qt
