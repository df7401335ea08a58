#include "scenario.h"

#include <cmath>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <span>
#include <string_view>
#include <sstream>

#include <boost/algorithm/hex.hpp>
#include <fmt/format.h>

namespace sim {
namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what) {
  throw ScenarioError(path.empty() ? what : path + ": " + what);
}

std::string at(const std::string& path, const char* member) {
  return path.empty() ? member : path + "." + member;
}

std::string at(const std::string& path, Json::ArrayIndex i) {
  return fmt::format("{}[{}]", path, i);
}

void check_members(const Json::Value& v, const std::string& path,
                   std::initializer_list<const char*> allowed) {
  if (!v.isObject()) fail(path, "expected an object");
  for (const auto& name : v.getMemberNames()) {
    bool known = false;
    for (const char* a : allowed) known = known || name == a;
    if (!known) fail(path, "unknown member \"" + name + "\"");
  }
}

const Json::Value& array_of(const Json::Value& v, const std::string& path) {
  if (!v.isArray()) fail(path, "expected an array");
  return v;
}

// An integer given as a number or as text (decimal, or hex with 0x).
std::uint64_t read_uint(const Json::Value& v, const std::string& path, std::uint64_t max) {
  std::uint64_t out = 0;
  if (v.isString()) {
    const std::string s = v.asString();
    std::size_t used = 0;
    try {
      if (!s.empty() && s[0] == '-') throw std::invalid_argument("negative");
      out = std::stoull(s, &used, 0);
    } catch (const std::exception&) {
      fail(path, "\"" + s + "\" is not a whole number");
    }
    if (used != s.size()) fail(path, "\"" + s + "\" is not a whole number");
  } else if (v.isUInt64()) {
    out = v.asUInt64();
  } else if (v.isDouble() && v.asDouble() >= 0 && std::floor(v.asDouble()) == v.asDouble() &&
             v.asDouble() <= static_cast<double>(max)) {
    out = static_cast<std::uint64_t>(v.asDouble());
  } else {
    fail(path, "expected a whole number from 0 to " + std::to_string(max));
  }
  if (out > max) fail(path, fmt::format("{} is above {}", out, max));
  return out;
}

std::uint8_t read_byte(const Json::Value& v, const std::string& path) {
  return static_cast<std::uint8_t>(read_uint(v, path, 0xFF));
}

double read_number(const Json::Value& v, const std::string& path) {
  if (!v.isNumeric() || v.isBool() || !std::isfinite(v.asDouble())) fail(path, "expected a number");
  return v.asDouble();
}

bool read_bool(const Json::Value& v, const std::string& path) {
  if (!v.isBool()) fail(path, "expected true or false");
  return v.asBool();
}

// Hex text, blanks allowed between digits.
std::vector<std::uint8_t> read_hex(const Json::Value& v, const std::string& path) {
  if (!v.isString()) fail(path, "expected hex text");
  std::string digits;
  for (char c : v.asString())
    if (c != ' ' && c != '\t' && c != '\n') digits.push_back(c);
  std::vector<std::uint8_t> out;
  try {
    boost::algorithm::unhex(digits.begin(), digits.end(), std::back_inserter(out));
  } catch (const boost::algorithm::hex_decode_error&) {
    fail(path, "not an even number of hex digits");
  }
  return out;
}

template <std::size_t N>
void read_bytes(const Json::Value& v, const std::string& path, std::array<std::uint8_t, N>& out) {
  array_of(v, path);
  if (v.size() != N) fail(path, fmt::format("expected {} bytes", N));
  for (Json::ArrayIndex i = 0; i < N; ++i) out[i] = read_byte(v[i], at(path, i));
}

namespace wire = hvr38qt::wire;
using wire::Field;

// The largest number a field's wire width holds.
std::uint64_t max_of(const Field& f) { return (std::uint64_t{1} << (8 * f.wire_width())) - 1; }

// A whole number into a field of a reply laid out by its table.
void put_number(std::uint8_t* info, const Field& f, const Json::Value& v, const std::string& path,
                std::size_t element = 0) {
  wire::put_field(f, info, static_cast<std::uint32_t>(read_uint(v, path, max_of(f))), element);
}

// A list of n whole numbers: one per field of `fields` from `first` on, or,
// with a single field, one per element of it.
void put_numbers(std::uint8_t* info, std::span<const Field> fields, const Field& first,
                 const Json::Value& v, const std::string& path, std::size_t n) {
  array_of(v, path);
  if (v.size() != n) fail(path, fmt::format("expected {} numbers", n));
  const auto start = static_cast<std::size_t>(&first - fields.data());
  const bool elements = fields[start].count > 1;
  for (Json::ArrayIndex i = 0; i < n; ++i) {
    if (elements) put_number(info, fields[start], v[i], at(path, i), i);
    else put_number(info, fields[start + i], v[i], at(path, i));
  }
}

Module parse_module(const Json::Value& v, const std::string& path, std::size_t index) {
  check_members(v, path,
                {"current", "switch", "alarm_state", "detail", "status_bits", "value16", "value32",
                 "extra"});
  Module m;
  if (v.isMember("current")) m.current = read_number(v["current"], at(path, "current"));
  if (v.isMember("switch")) read_bytes(v["switch"], at(path, "switch"), m.switches);
  if (v.isMember("alarm_state")) m.alarm_state = read_byte(v["alarm_state"], at(path, "alarm_state"));
  const bool named = v.isMember("status_bits") || v.isMember("value16") ||
                     v.isMember("value32") || v.isMember("extra");
  if (v.isMember("detail")) {
    if (named) fail(path, "\"detail\" and named detail fields exclude each other");
    m.detail = read_hex(v["detail"], at(path, "detail"));
    if (m.detail.size() != kModuleDetailBytes)
      fail(at(path, "detail"), fmt::format("expected {} bytes", kModuleDetailBytes));
    return m;
  }
  // Named fields, laid out as the controller sends them: the whole reply
  // is built, then its last-module flag left out.
  const auto& t = wire::kModuleDetailFields;
  std::vector<std::uint8_t> info(wire::kModuleDetailBytes, 0);
  wire::put_field(wire::field(t, "module_no"), info.data(), static_cast<std::uint32_t>(index + 1));
  constexpr const Field& bits_field = wire::field(wire::kModuleDetailFields, "status_bits");
  std::array<std::uint8_t, bits_field.count> bits{};
  if (v.isMember("status_bits")) read_bytes(v["status_bits"], at(path, "status_bits"), bits);
  std::copy(bits.begin(), bits.end(), info.begin() + static_cast<std::ptrdiff_t>(bits_field.wire));
  if (v.isMember("value16"))
    put_numbers(info.data(), t, wire::field(t, "value16_1"), v["value16"], at(path, "value16"), 3);
  if (v.isMember("value32"))
    put_numbers(info.data(), t, wire::field(t, "value32_1"), v["value32"], at(path, "value32"), 3);
  constexpr const Field& extra_field = wire::field(wire::kModuleDetailFields, "extra");
  if (v.isMember("extra")) {
    const auto extra = read_hex(v["extra"], at(path, "extra"));
    if (extra.size() != extra_field.width)
      fail(at(path, "extra"), fmt::format("expected {} bytes", extra_field.width));
    std::copy(extra.begin(), extra.end(), info.begin() + static_cast<std::ptrdiff_t>(extra_field.wire));
  }
  m.detail.assign(info.begin() + 1, info.end());
  return m;
}

// The twelve values lead the AC unit's table, in record order.
static_assert(wire::kAcUnitValues <= wire::kAcUnitFields.size());

AcUnit parse_ac(const Json::Value& v, const std::string& path) {
  check_members(v, path,
                {"values", "status", "u_a", "u_b", "u_c", "u2_a", "u2_b", "u2_c", "value_6",
                 "value_7", "value_8", "value_9", "frequency", "value_11"});
  AcUnit u;
  if (v.isMember("values")) {
    const auto& a = array_of(v["values"], at(path, "values"));
    if (a.size() > wire::kAcUnitValues)
      fail(at(path, "values"), fmt::format("at most {} values", wire::kAcUnitValues));
    for (Json::ArrayIndex i = 0; i < a.size(); ++i)
      u.values[i] = read_number(a[i], at(at(path, "values"), i));
  }
  for (std::size_t i = 0; i < wire::kAcUnitValues; ++i) {
    const std::string name(wire::kAcUnitFields[i].name);
    if (v.isMember(name)) u.values[i] = read_number(v[name], at(path, name.c_str()));
  }
  if (v.isMember("status")) read_bytes(v["status"], at(path, "status"), u.status);
  return u;
}

std::vector<std::uint8_t> parse_dc(const Json::Value& v, const std::string& path) {
  check_members(v, path, {"raw", "value16", "value32", "byte", "branches"});
  if (v.isMember("raw")) {
    if (v.size() != 1) fail(path, "\"raw\" and named fields exclude each other");
    auto raw = read_hex(v["raw"], at(path, "raw"));
    if (raw.size() != kDcUnitBytes) fail(at(path, "raw"), fmt::format("expected {} bytes", kDcUnitBytes));
    return raw;
  }
  const auto& head = wire::kDcUnitHeadFields;
  std::vector<std::uint8_t> out(wire::kDcUnitBytes, 0);
  if (v.isMember("value16"))
    put_number(out.data(), wire::field(head, "dc_value16"), v["value16"], at(path, "value16"));
  if (v.isMember("value32"))
    put_numbers(out.data(), head, wire::field(head, "dc_value32_1"), v["value32"],
                at(path, "value32"), 2);
  if (v.isMember("byte"))
    put_number(out.data(), wire::field(head, "dc_byte"), v["byte"], at(path, "byte"));
  if (v.isMember("branches")) {
    const auto& a = array_of(v["branches"], at(path, "branches"));
    if (a.size() > wire::kDcBranches)
      fail(at(path, "branches"), fmt::format("at most {} branches", wire::kDcBranches));
    for (Json::ArrayIndex i = 0; i < a.size(); ++i) {
      const std::string bp = at(at(path, "branches"), i);
      const Json::Value& b = a[i];
      // Scenario names are the table's without the "b_" prefix of the record.
      check_members(b, bp, {"value16_1", "value32_1", "value32_2", "value16_2", "byte"});
      std::uint8_t* branch = out.data() + offsetof(hvr38qt::hvr38qt_41_a4, branch) +
                             sizeof(hvr38qt::dc_branch) * i;
      for (const Field& f : wire::kDcBranchFields) {
        const std::string name(f.name.substr(2));
        if (b.isMember(name)) put_number(branch, f, b[name], at(bp, name.c_str()));
      }
    }
  }
  return out;
}

std::vector<std::uint8_t> parse_extras(const Json::Value& v, const std::string& path) {
  check_members(v, path, {"raw", "ext_state_1", "ext_state_2", "ext_value"});
  if (v.isMember("raw")) {
    if (v.size() != 1) fail(path, "\"raw\" and named fields exclude each other");
    return read_hex(v["raw"], at(path, "raw"));
  }
  const auto& t = wire::kBlock95Fields;
  std::vector<std::uint8_t> out(wire::kExtrasBytes, 0);
  for (const Field& f : {wire::field(t, "ext_state_1"), wire::field(t, "ext_state_2")}) {
    const std::string name(f.name);
    if (v.isMember(name)) wire::put_field(f, out.data(), read_byte(v[name], at(path, name.c_str())));
  }
  if (v.isMember("ext_value"))
    wire::put_field(wire::field(t, "ext_value"), out.data(),
                    ToTenths(read_number(v["ext_value"], at(path, "ext_value"))));
  return out;
}

std::vector<std::uint8_t> parse_a3(const Json::Value& v, const std::string& path) {
  check_members(v, path, {"raw", "entries"});
  if (v.isMember("raw")) {
    if (v.size() != 1) fail(path, "\"raw\" and \"entries\" exclude each other");
    return read_hex(v["raw"], at(path, "raw"));
  }
  const auto& t = wire::kA3EntryFields;
  constexpr const Field& head_field = wire::field(wire::kA3EntryFields, "entry_head");
  constexpr const Field& values_field = wire::field(wire::kA3EntryFields, "entry_value");
  std::vector<std::uint8_t> out(wire::kBlockA3Bytes, 0);
  if (v.isMember("entries")) {
    const auto& a = array_of(v["entries"], at(path, "entries"));
    if (a.size() > wire::kA3Entries)
      fail(at(path, "entries"), fmt::format("at most {} entries", wire::kA3Entries));
    for (Json::ArrayIndex i = 0; i < a.size(); ++i) {
      const std::string ep = at(at(path, "entries"), i);
      check_members(a[i], ep, {"head", "values"});
      std::uint8_t* entry = out.data() + sizeof(hvr38qt::a3_entry) * i;
      std::array<std::uint8_t, head_field.count> head{};
      if (a[i].isMember("head")) read_bytes(a[i]["head"], at(ep, "head"), head);
      std::copy(head.begin(), head.end(), entry + head_field.wire);
      if (a[i].isMember("values"))
        put_numbers(entry, t, values_field, a[i]["values"], at(ep, "values"), values_field.count);
    }
  }
  return out;
}

std::vector<AlarmEntry> parse_alarms(const Json::Value& v, const std::string& path) {
  const auto& a = array_of(v, path);
  if (a.size() > kMaxAlarms) fail(path, fmt::format("at most {} alarms", kMaxAlarms));
  std::vector<AlarmEntry> out;
  for (Json::ArrayIndex i = 0; i < a.size(); ++i) {
    const std::string ep = at(path, i);
    AlarmEntry e;
    if (a[i].isArray()) {
      if (a[i].size() != 3) fail(ep, "expected [unit, category, code]");
      e.unit = read_byte(a[i][0], at(ep, 0u));
      e.category = read_byte(a[i][1], at(ep, 1u));
      e.code = static_cast<std::uint16_t>(read_uint(a[i][2], at(ep, 2u), 0xFFFF));
    } else {
      check_members(a[i], ep, {"unit", "category", "code"});
      if (a[i].isMember("unit")) e.unit = read_byte(a[i]["unit"], at(ep, "unit"));
      if (a[i].isMember("category")) e.category = read_byte(a[i]["category"], at(ep, "category"));
      if (a[i].isMember("code"))
        e.code = static_cast<std::uint16_t>(read_uint(a[i]["code"], at(ep, "code"), 0xFFFF));
    }
    out.push_back(e);
  }
  return out;
}

Fault parse_fault(const Json::Value& v, const std::string& path) {
  check_members(v, path,
                {"cid2", "data", "skip", "count", "rtn", "info", "no_reply", "bad_checksum",
                 "garbage", "truncate", "disconnect", "delay_ms"});
  if (!v.isMember("cid2")) fail(path, "\"cid2\" is required");
  Fault f;
  f.cid2 = read_byte(v["cid2"], at(path, "cid2"));
  if (v.isMember("data")) f.data = read_hex(v["data"], at(path, "data"));
  if (v.isMember("skip")) f.skip = static_cast<unsigned>(read_uint(v["skip"], at(path, "skip"), 1u << 30));
  if (v.isMember("count")) f.count = static_cast<unsigned>(read_uint(v["count"], at(path, "count"), 1u << 30));
  if (v.isMember("rtn")) f.rtn = read_byte(v["rtn"], at(path, "rtn"));
  if (v.isMember("info")) f.info = read_hex(v["info"], at(path, "info"));
  if (v.isMember("no_reply")) f.no_reply = read_bool(v["no_reply"], at(path, "no_reply"));
  if (v.isMember("bad_checksum")) f.bad_checksum = read_bool(v["bad_checksum"], at(path, "bad_checksum"));
  if (v.isMember("garbage")) f.garbage = read_hex(v["garbage"], at(path, "garbage"));
  if (v.isMember("truncate")) f.truncate = read_uint(v["truncate"], at(path, "truncate"), 1u << 20);
  if (v.isMember("disconnect")) f.disconnect = read_bool(v["disconnect"], at(path, "disconnect"));
  if (v.isMember("delay_ms"))
    f.delay_ms = static_cast<int>(read_uint(v["delay_ms"], at(path, "delay_ms"), 600000));
  return f;
}

}  // namespace

std::uint16_t ToTenths(double value) {
  const double t = std::round(value * 10.0);
  if (!(t > 0)) return 0;
  if (t >= 65535.0) return 65535;
  return static_cast<std::uint16_t>(t);
}

Scenario ParseScenario(const Json::Value& root) {
  check_members(root, "",
                {"comment", "version", "address", "output_voltage", "changed", "echo",
                 "line_rate", "modules", "ac_units", "dc_units", "extras", "block_a3",
                 "word_93", "alarms", "alarm_sets", "faults"});
  Scenario s;
  if (root.isMember("version")) s.version = read_byte(root["version"], "version");
  if (root.isMember("address")) s.address = read_byte(root["address"], "address");
  if (root.isMember("output_voltage")) s.output_voltage = read_number(root["output_voltage"], "output_voltage");
  if (root.isMember("changed")) s.changed = read_bool(root["changed"], "changed");
  if (root.isMember("echo")) s.echo = read_bool(root["echo"], "echo");
  if (root.isMember("line_rate"))
    s.line_rate = static_cast<unsigned>(read_uint(root["line_rate"], "line_rate", 10'000'000));
  if (root.isMember("modules")) {
    const auto& a = array_of(root["modules"], "modules");
    if (a.size() > 255) fail("modules", "at most 255 modules");
    for (Json::ArrayIndex i = 0; i < a.size(); ++i) s.modules.push_back(parse_module(a[i], at("modules", i), i));
  }
  if (root.isMember("ac_units")) {
    const auto& a = array_of(root["ac_units"], "ac_units");
    if (a.size() > 255) fail("ac_units", "at most 255 units");
    for (Json::ArrayIndex i = 0; i < a.size(); ++i) s.ac_units.push_back(parse_ac(a[i], at("ac_units", i)));
  }
  if (root.isMember("dc_units")) {
    const auto& a = array_of(root["dc_units"], "dc_units");
    if (a.size() > 255) fail("dc_units", "at most 255 units");
    for (Json::ArrayIndex i = 0; i < a.size(); ++i) s.dc_units.push_back(parse_dc(a[i], at("dc_units", i)));
  }
  s.extras = root.isMember("extras") ? parse_extras(root["extras"], "extras")
                                     : std::vector<std::uint8_t>(4, 0);
  s.block_a3 = root.isMember("block_a3") ? parse_a3(root["block_a3"], "block_a3")
                                         : std::vector<std::uint8_t>(144, 0);
  if (root.isMember("word_93")) {
    const Json::Value& w = root["word_93"];
    if (!w.isInt() || w.asInt() < -32768 || w.asInt() > 32767) fail("word_93", "expected a number from -32768 to 32767");
    s.word_93 = static_cast<std::int16_t>(w.asInt());
  }
  if (root.isMember("alarms") && root.isMember("alarm_sets"))
    fail("", "\"alarms\" and \"alarm_sets\" exclude each other");
  if (root.isMember("alarms")) s.alarm_sets = {parse_alarms(root["alarms"], "alarms")};
  if (root.isMember("alarm_sets")) {
    const auto& a = array_of(root["alarm_sets"], "alarm_sets");
    if (a.empty()) fail("alarm_sets", "expected at least one list");
    s.alarm_sets.clear();
    for (Json::ArrayIndex i = 0; i < a.size(); ++i) s.alarm_sets.push_back(parse_alarms(a[i], at("alarm_sets", i)));
  }
  if (root.isMember("faults")) {
    const auto& a = array_of(root["faults"], "faults");
    for (Json::ArrayIndex i = 0; i < a.size(); ++i) s.faults.push_back(parse_fault(a[i], at("faults", i)));
  }
  return s;
}

Scenario LoadScenarioText(const std::string& json_text) {
  Json::CharReaderBuilder builder;
  builder["rejectDupKeys"] = true;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  if (!reader->parse(json_text.data(), json_text.data() + json_text.size(), &root, &errors)) {
    std::string first = errors.substr(0, errors.find('\n'));
    throw ScenarioError("not valid JSON: " + first);
  }
  return ParseScenario(root);
}

Scenario LoadScenarioFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ScenarioError(path + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return LoadScenarioText(text.str());
  } catch (const ScenarioError& e) {
    throw ScenarioError(path + ": " + e.what());
  }
}

const std::string& DefaultScenarioText() {
  static const std::string text = R"({
  "comment": "A small site: six rectifiers, one AC unit with input 2 off, one DC unit.",
  "output_voltage": 53.5,
  "changed": true,
  "modules": [
    {"current": 12.4, "value16": [535, 124, 41]},
    {"current": 12.1, "value16": [535, 121, 40]},
    {"current": 12.6, "value16": [535, 126, 42]},
    {"current": 11.9, "value16": [535, 119, 40]},
    {"current": 0.0, "alarm_state": 1, "status_bits": [1, 0, 0, 0, 0, 0, 0, 0, 0]},
    {"current": 12.2, "value16": [535, 122, 41]}
  ],
  "ac_units": [
    {"u_a": 230.4, "u_b": 229.8, "u_c": 231.1,
     "u2_a": 0, "u2_b": 0, "u2_c": 0,
     "frequency": 50.0, "value_11": 0, "status": [0, 1, 0]}
  ],
  "dc_units": [
    {"value16": 535, "value32": [610, 0], "byte": 0,
     "branches": [{"value16_1": 535, "value32_1": 180}, {"value16_1": 535, "value32_1": 95}]}
  ],
  "extras": {"ext_state_1": 0, "ext_state_2": 0, "ext_value": 100.0},
  "block_a3": {"entries": [{"head": [1, 0, 0, 0], "values": [250, 0, 0, 0, 0, 0, 0]}]},
  "word_93": 25,
  "alarms": [
    {"unit": 1, "category": 12, "code": 29},
    {"unit": 0, "category": 8, "code": 5},
    {"unit": 0, "category": 6, "code": 5},
    {"unit": 1, "category": 14, "code": 10}
  ]
}
)";
  return text;
}

Scenario DefaultScenario() { return LoadScenarioText(DefaultScenarioText()); }

}  // namespace sim
