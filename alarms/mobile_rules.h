// The mobile-mode rule set: AC input, rectifier module and output voltage
// rules against the host's level and value maps.
#pragma once

#include <array>
#include <string_view>

#include "device/view.h"
#include "krt_device.h"

namespace hvr38qt::alarms {

struct Workspace;

// The NM ids of the rule set, in evaluation order: the AC input rules and the
// output voltage rules have one id each, a module rule's id is its prefix,
// the module number in three digits and "0". `threshold` marks a rule whose
// limit is read from the host's value map.
struct MobileRuleId {
  std::string_view nm_id;
  bool threshold;
};
inline constexpr std::array<MobileRuleId, 5> kMobileAcRuleIds{{
    {"220600120010", false},
    {"220600130010", false},
    {"220600140010", false},
    {"220600160010", true},
    {"220600170010", true},
}};
inline constexpr std::array<MobileRuleId, 3> kMobileOutputRuleIds{{
    {"210600320010", true},
    {"210600330010", true},
    {"210600340010", true},
}};
inline constexpr std::array<std::string_view, 4> kMobileModulePrefixes{
    "12060069", "12060002", "12060003", "12060004"};

// With the device's working memory, reused by every evaluation. Without a
// host (null) every lookup and trace line still happens; nothing is
// reported.
void run_mobile_rule_set(const DeviceView& view, KRTController* host, Workspace& workspace);
// With working memory of its own.
void run_mobile_rule_set(const DeviceView& view, KRTController* host);

}  // namespace hvr38qt::alarms
