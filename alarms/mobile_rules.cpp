// The mobile-mode rule set. Every rule has a 12-digit NM alarm id that is
// also its key; the host's level map says per id whether the rule is
// supervised (0: not evaluated, not reported) and at which level it is
// reported, and the value map holds the thresholds of the rules without a
// fixed limit. The set covers the AC input of the first AC unit, every
// rectifier module and the rectifier output voltage.
#include "alarms/mobile_rules.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <langinfo.h>

#include <boost/lexical_cast.hpp>
#include <fmt/format.h>

#include "alarms/frame.h"
#include "alarms/workspace.h"
#include "device/stdout_line.h"

namespace hvr38qt::alarms {

namespace {

// Fixed limits of the AC input voltage, compared in single precision.
constexpr float kAcOverVoltage = 280.0f;
constexpr float kAcUnderVoltage = 150.0f;
// A voltage or frequency at or below this (compared in double precision)
// counts as absent: it never raises an under-limit rule.
constexpr double kAcPresent = 0.01;

// Every report of this rule set carries seq 1; there are no counters.
constexpr unsigned short kSeq = 1;

// a == b. The ids are 8 to 16 bytes long: two overlapping eight-byte
// words compare them without a call. Inlined: it decides every lookup.
[[gnu::always_inline]] inline bool same_text(const std::string& a, const std::string& b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  if (n < 8 || n > 16) [[unlikely]]
    return a == b;
  std::uint64_t a0, a1, b0, b1;
  std::memcpy(&a0, a.data(), 8);
  std::memcpy(&b0, b.data(), 8);
  std::memcpy(&a1, a.data() + n - 8, 8);
  std::memcpy(&b1, b.data() + n - 8, 8);
  return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// The search of a lookup whose hint was not its key, kept out of line so
// that the lookups that hit stay a few instructions long. From the root:
// once a device has been evaluated its ids are all in the map, so a wrong
// hint is seldom next to the key, and trying it first (as try_emplace with
// the hint does) would only add comparisons. A missing key is inserted at
// the place the search found.
template <class Map>
[[gnu::noinline]] typename Map::iterator search(Map& map, const std::string& key) {
  const auto it = map.lower_bound(key);
  if (it != map.end() && same_text(it->first, key)) return it;
  return map.try_emplace(it, key);
}

// Looks `key` up in a map of the host as its operator[] does (a missing key
// gets a zero entry), searching from `hint` first. The rules look their ids
// up in ascending order, so the entry after the previous rule's is most
// often the one wanted: found with one comparison instead of a search from
// the root. Any hint gives the same result; a wrong one only costs the
// search. On return `hint` is the entry after the one found.
template <class Map>
[[gnu::always_inline]] inline typename Map::mapped_type& lookup(
    Map& map, typename Map::iterator& hint, const std::string& key) {
  auto it = hint;
  if (it == map.end() || !same_text(it->first, key)) [[unlikely]]
    it = search(map, key);
  hint = std::next(it);
  return it->second;
}

// A rule's threshold from the host's value map. The map is consulted only
// when a comparison first needs the threshold, so a rule that is decided
// without it leaves the map as it was.
class Threshold {
 public:
  using Map = std::map<std::string, float>;
  Threshold(Map& values, Map::iterator& hint, const std::string& id)
      : values_(values), hint_(hint), id_(id) {}
  float operator()() {
    if (!value_) value_ = lookup(values_, hint_, id_);
    return *value_;
  }

 private:
  Map& values_;
  Map::iterator& hint_;
  const std::string& id_;
  std::optional<float> value_;
};

// --- AC input of the first AC unit ------------------------------------------

// The six phase voltages in test order: input 1 A, B, C, then input 2 A, B, C.
std::array<float, 6> ac_voltages(const hvr38qt_41_a2& ac) {
  return {ac.u_a, ac.u_b, ac.u_c, ac.u2_a, ac.u2_b, ac.u2_c};
}

bool present(float v) { return static_cast<double>(v) > kAcPresent; }

enum class AcName { kVoltages, kFrequencies };

struct AcRule {
  std::string_view nm_id;
  std::string_view desc;
  AcName name;
  bool (*active)(const hvr38qt_41_a2& ac, Threshold& threshold);
};

constexpr std::array<AcRule, 5> kAcRules{{
    {.nm_id = kMobileAcRuleIds[0].nm_id,
     .desc = "001#48V直流系统交流输入电压过高告警",
     .name = AcName::kVoltages,
     .active = [](const hvr38qt_41_a2& ac, Threshold&) {
       const auto v = ac_voltages(ac);
       return std::any_of(v.begin(), v.end(), [](float x) { return x > kAcOverVoltage; });
     }},
    {.nm_id = kMobileAcRuleIds[1].nm_id,
     .desc = "001#48V直流系统交流输入电压过低告警",
     .name = AcName::kVoltages,
     .active = [](const hvr38qt_41_a2& ac, Threshold&) {
       const auto v = ac_voltages(ac);
       return std::any_of(v.begin(), v.end(),
                          [](float x) { return present(x) && x < kAcUnderVoltage; });
     }},
    {.nm_id = kMobileAcRuleIds[2].nm_id,
     .desc = "001#48V直流系统交流输入停电告警",
     .name = AcName::kVoltages,
     .active = [](const hvr38qt_41_a2& ac, Threshold&) {
       const auto v = ac_voltages(ac);
       return std::all_of(v.begin(), v.end(), [](float x) { return x < kAcUnderVoltage; });
     }},
    {.nm_id = kMobileAcRuleIds[3].nm_id,
     .desc = "001#48V直流系统交流输入频率过高告警",
     .name = AcName::kFrequencies,
     .active = [](const hvr38qt_41_a2& ac, Threshold& t) {
       return ac.frequency > t() || ac.value_11 > t();
     }},
    {.nm_id = kMobileAcRuleIds[4].nm_id,
     .desc = "001#48V直流系统交流输入频率过低告警",
     .name = AcName::kFrequencies,
     .active = [](const hvr38qt_41_a2& ac, Threshold& t) {
       return (present(ac.frequency) && ac.frequency < t()) ||
              (present(ac.value_11) && ac.value_11 < t());
     }},
}};

// Appends a value as a standard stream writes a float in its default
// format (6 significant digits, no trailing zeros), whatever the process's
// locale.
void add_number(std::string& out, float value) {
  char digits[32];
  const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<double>(value),
                                 std::chars_format::general, 6).ptr;
  out.append(digits, static_cast<std::size_t>(end - digits));
}

// The name texts of the AC rules, built into reused buffers. A text is
// built again only when its values differ, bit for bit, from those it was
// built from.
template <std::size_t N>
bool same_values(const std::array<float, N>& a, const std::array<float, N>& b) {
  return std::memcmp(a.data(), b.data(), sizeof(float) * N) == 0;
}

void voltage_text(const hvr38qt_41_a2& ac, std::string& out) {
  out.clear();
  const std::array<std::pair<std::string_view, float>, 6> parts{{{"ua1:", ac.u_a},
                                                                  {" ub1:", ac.u_b},
                                                                  {" uc1:", ac.u_c},
                                                                  {" ua2:", ac.u2_a},
                                                                  {" ub2:", ac.u2_b},
                                                                  {" uc2:", ac.u2_c}}};
  for (const auto& [label, value] : parts) {
    out.append(label);
    add_number(out, value);
  }
}

void frequency_text(const hvr38qt_41_a2& ac, std::string& out) {
  out.assign("f1:");
  add_number(out, ac.frequency);
  out.append(" f2:");
  add_number(out, ac.value_11);
}

// The output voltage's name text as boost::lexical_cast writes a float:
// printf's "%.9g" of the value, with the C library's decimal point. A
// finite value under a '.' decimal point is what to_chars writes with the
// same precision; anything else goes through lexical_cast itself.
void output_text(float u, std::string& out) {
  const char* point = nl_langinfo(RADIXCHAR);
  if (std::isfinite(u) && point != nullptr && point[0] == '.' && point[1] == '\0') {
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<double>(u),
                                   std::chars_format::general, 9).ptr;
    out.assign(digits, static_cast<std::size_t>(end - digits));
    return;
  }
  out = boost::lexical_cast<std::string>(u);
}

// The ids and descriptions of a fixed list of rules as host strings, built
// once and shared by all devices.
template <class Rule, std::size_t N>
std::array<std::string, N> ids_of(const std::array<Rule, N>& rules) {
  std::array<std::string, N> out;
  for (std::size_t i = 0; i < N; ++i) out[i] = rules[i].nm_id;
  return out;
}
template <class Rule, std::size_t N>
std::array<std::string, N> descs_of(const std::array<Rule, N>& rules) {
  std::array<std::string, N> out;
  for (std::size_t i = 0; i < N; ++i) out[i] = rules[i].desc;
  return out;
}

// --- Rectifier modules -------------------------------------------------------

bool module_running_alarm(const tele_c_hvr38qt_rc_channel& m) {
  return m.state_1 != 0 && m.state_1 != 0xF0;
}

struct ModuleRule {
  std::string_view nm_prefix;    // followed by the module number and "0"
  std::string_view desc_suffix;  // after the module number
  bool traced;                   // writes the trace line before its level test
  bool (*active)(const tele_c_hvr38qt_rc_channel& m);
};

constexpr std::array<ModuleRule, 4> kModuleRules{{
    {.nm_prefix = kMobileModulePrefixes[0],
     .desc_suffix = "#48V整流模块运行告警",
     .traced = false,
     .active = module_running_alarm},
    {.nm_prefix = kMobileModulePrefixes[1],
     .desc_suffix = "#48V整流模块运行告警",
     .traced = true,
     .active = module_running_alarm},
    {.nm_prefix = kMobileModulePrefixes[2],
     .desc_suffix = "#48V整流设备整流模块故障告警",
     .traced = false,
     .active = [](const tele_c_hvr38qt_rc_channel& m) { return (m.status_bits[0] & 0x10) != 0; }},
    {.nm_prefix = kMobileModulePrefixes[3],
     .desc_suffix = "#48V整流模块通信状态告警",
     .traced = false,
     .active = [](const tele_c_hvr38qt_rc_channel& m) { return (m.status_bits[8] & 0x01) != 0; }},
}};

constexpr std::string_view kModuleName = "1";

// The module rules with the smallest and the largest prefix. Every
// evaluation inserts the ids it looks up, so once a device has been
// evaluated its level map holds all of them; when it holds no others, the
// first module's id of the rule with the smallest prefix is the map's first
// entry, and the last module's id of the rule with the largest prefix is
// followed by the output voltage rules' first id.
constexpr std::size_t module_rule_by_prefix(bool largest) {
  std::size_t found = 0;
  for (std::size_t r = 1; r < kModuleRules.size(); ++r)
    if (largest ? kModuleRules[r].nm_prefix > kModuleRules[found].nm_prefix
                : kModuleRules[r].nm_prefix < kModuleRules[found].nm_prefix)
      found = r;
  return found;
}
constexpr std::size_t kFirstModuleRule = module_rule_by_prefix(false);
constexpr std::size_t kLastModuleRule = module_rule_by_prefix(true);

// The texts of module n's rules: the id (key and NM id), the name "1" and
// the description, each a function of the module number alone.
void build_module_texts(unsigned n, TextBlock& out) {
  const std::string nnn = fmt::format("{:03}", n);
  for (const ModuleRule& rule : kModuleRules) {
    RuleTexts& texts = out.emplace_back();
    texts.key = fmt::format("{}{}0", rule.nm_prefix, nnn);
    texts.name.append(kModuleName);
    texts.desc = nnn + std::string(rule.desc_suffix);
  }
}

SharedTexts& module_texts() {
  static SharedTexts texts(build_module_texts);
  return texts;
}

// --- Output voltage ----------------------------------------------------------

struct OutputRule {
  std::string_view nm_id;
  std::string_view desc;
  bool (*active)(float u, Threshold& threshold);
};

constexpr std::array<OutputRule, 3> kOutputRules{{
    {.nm_id = kMobileOutputRuleIds[0].nm_id,
     .desc = "48V直流系统直流总电压过低告警",
     .active = [](float u, Threshold& t) { return u < t(); }},
    {.nm_id = kMobileOutputRuleIds[1].nm_id,
     .desc = "48V直流系统直流总电压超低告警",
     .active = [](float u, Threshold& t) { return u < t(); }},
    {.nm_id = kMobileOutputRuleIds[2].nm_id,
     .desc = "直流总电压过高告警",
     .active = [](float u, Threshold& t) { return u > t(); }},
}};

// --- Evaluation --------------------------------------------------------------

// Walks every rule whatever the host: the level and value lookups (which
// insert the host's zero entries) and the trace lines happen even when the
// controller is gone; only the reports need it.
class MobileEvaluation {
 public:
  MobileEvaluation(const DeviceView& view, KRTController* host, Workspace& workspace)
      : view_(view),
        host_(host),
        workspace_(workspace),
        levels_(view.levels),
        values_(view.values),
        values_hint_(values_.end()) {}

  void run() {
    if (!view_.ac_units.empty()) run_ac(view_.ac_units.front());
    const auto& modules = view_.modules;
    module_hints_[kFirstModuleRule] = levels_.begin();
    // The module list is sized by a one-byte count: numbers stay within
    // 1..255.
    for (std::size_t i = 0; i < modules.size(); ++i) run_module(i + 1, modules[i]);
    if (!view_.dc_units.empty())
      run_output(view_.header.output_voltage,
                 modules.empty() ? levels_.end() : module_hints_[kLastModuleRule]);
  }

 private:
  void report(int level, const std::string& id, const std::string& name, const std::string& desc,
              bool active) {
    if (host_ != nullptr)
      host_->CheckThresholdBool(view_.device_id, level, id, id, name, desc, active, kSeq);
  }

  void run_ac(const hvr38qt_41_a2& ac) {
    static const auto ids = ids_of(kAcRules);
    static const auto descs = descs_of(kAcRules);
    // The name texts are built once, by the first reported rule that needs them.
    bool voltages = false, frequencies = false;
    auto hint = levels_.end();
    for (std::size_t r = 0; r < kAcRules.size(); ++r) {
      const AcRule& rule = kAcRules[r];
      const int level = lookup(levels_, hint, ids[r]);
      if (level == 0) continue;
      Threshold threshold(values_, values_hint_, ids[r]);
      const bool active = rule.active(ac, threshold);
      const bool by_voltage = rule.name == AcName::kVoltages;
      bool& built = by_voltage ? voltages : frequencies;
      std::string& name = by_voltage ? workspace_.mobile_voltages : workspace_.mobile_frequencies;
      if (!built) {
        if (by_voltage) {
          const std::array<float, 6> v = ac_voltages(ac);
          if (!workspace_.mobile_voltage_values || !same_values(*workspace_.mobile_voltage_values, v)) {
            voltage_text(ac, name);
            workspace_.mobile_voltage_values = v;
          }
        } else {
          const std::array<float, 2> f{ac.frequency, ac.value_11};
          if (!workspace_.mobile_frequency_values || !same_values(*workspace_.mobile_frequency_values, f)) {
            frequency_text(ac, name);
            workspace_.mobile_frequency_values = f;
          }
        }
        built = true;
      }
      report(level, ids[r], name, descs[r], active);
    }
  }

  void run_module(std::size_t number, const tele_c_hvr38qt_rc_channel& module) {
    const TextBlock& texts = module_texts().get(static_cast<unsigned>(number));
    // The texts are built from the same rule list; a block of another size
    // would pair rules with the wrong texts.
    if (texts.size() != kModuleRules.size()) {
      if (host_ != nullptr)
        host_->InfoLog(view_.device_id, "HVR38QT {} mobile rule texts of module {} out of step",
                       view_.device_id, number);
      return;
    }
    for (std::size_t r = 0; r < kModuleRules.size(); ++r) {
      const ModuleRule& rule = kModuleRules[r];
      const RuleTexts& t = texts[r];
      // Module n + 1's id of a rule follows module n's in the map.
      const int level = lookup(levels_, module_hints_[r], t.key);
      if (rule.traced) {
        // Written for every module, whatever the level and the host: required
        // output (stdout_line.h).
        using namespace std::string_view_literals;
        write_stdout_line("fenwa data_id:"sv, view_.device_id, " before check "sv, t.key, " level:"sv,
                          level, " value:"sv, rule.active(module) ? 1 : 0);
      }
      if (level == 0) continue;
      report(level, t.key, t.name, t.desc, rule.active(module));
    }
  }

  // `hint`: where the first level lookup starts.
  void run_output(float u, std::map<std::string, int>::iterator hint) {
    static const auto ids = ids_of(kOutputRules);
    static const auto descs = descs_of(kOutputRules);
    bool named = false;
    // The output voltage rules' ids are the smallest of those with a
    // threshold.
    values_hint_ = values_.begin();
    for (std::size_t r = 0; r < kOutputRules.size(); ++r) {
      const int level = lookup(levels_, hint, ids[r]);
      if (level == 0) continue;
      Threshold threshold(values_, values_hint_, ids[r]);
      const bool active = kOutputRules[r].active(u, threshold);
      std::string& name = workspace_.mobile_output;
      if (!named) {
        const std::array<float, 1> v{u};
        if (!workspace_.mobile_output_value || !same_values(*workspace_.mobile_output_value, v)) {
          output_text(u, name);
          workspace_.mobile_output_value = v;
        }
        named = true;
      }
      report(level, ids[r], name, descs[r], active);
    }
  }

  const DeviceView& view_;
  KRTController* host_;
  Workspace& workspace_;
  std::map<std::string, int>& levels_;
  std::map<std::string, float>& values_;
  // Where the next lookup starts: per module rule, and for the value map.
  std::array<std::map<std::string, int>::iterator, kModuleRules.size()> module_hints_{
      levels_.end(), levels_.end(), levels_.end(), levels_.end()};
  std::map<std::string, float>::iterator values_hint_;
};

}  // namespace

void run_mobile_rule_set(const DeviceView& view, KRTController* host, Workspace& workspace) {
  MobileEvaluation(view, host, workspace).run();
}

void run_mobile_rule_set(const DeviceView& view, KRTController* host) {
  Workspace workspace;
  run_mobile_rule_set(view, host, workspace);
}

}  // namespace hvr38qt::alarms
