#include "snapshot_decoder.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <sstream>

#include <fmt/format.h>

#include "protocol/protocol.h"
#include "settings.h"

namespace decode {
namespace {

namespace wire = hvr38qt::wire;
using wire::Field;
using wire::Order;

constexpr std::size_t kHeader = sizeof(hvr38qt::header_block);
constexpr std::size_t kAcUnit = sizeof(hvr38qt::hvr38qt_41_a2);
constexpr std::size_t kDcUnit = sizeof(hvr38qt::hvr38qt_41_a4);
constexpr std::size_t kBlock95 = sizeof(hvr38qt::block_95);
constexpr std::size_t kModule = sizeof(hvr38qt::tele_c_hvr38qt_rc_channel);
constexpr std::size_t kA3Entry = sizeof(hvr38qt::a3_entry);
constexpr std::size_t kWord93 = sizeof(std::int16_t);
constexpr std::size_t kAlarmItem = sizeof(hvr38qt::alarm_item);
// Room for 200 alarm items in a buffer the device sizes.
constexpr std::size_t kAlarmRoom = 200 * kAlarmItem;
// Header, 0x95 block, 0xA3 block, 0x93 word and the alarm room: what the
// device adds to the units and modules when it sizes the buffer.
constexpr std::size_t kSizedExtra =
    kHeader + kBlock95 + sizeof(hvr38qt::block_a3) + kWord93 + kAlarmRoom;
static_assert(kSizedExtra == 968);
constexpr std::size_t kModuleCountAt = wire::field(wire::kHeaderFields, "module_count").offset;
constexpr std::size_t kTimeStampAt = wire::field(wire::kHeaderFields, "time_stamp").offset;
constexpr std::size_t kModuleNoAt = wire::field(wire::kModuleDetailFields, "module_no").offset;
constexpr unsigned kMaxUnits = 255;

// Little-endian reads at an offset already known to be inside the image.
std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
// A single-precision float, written as the shortest decimal text that reads
// back as the same float (230.4, not 230.399993896484).
Json::Value f32(const std::uint8_t* p) {
  const std::uint32_t bits = le32(p);
  float f = 0;
  std::memcpy(&f, &bits, sizeof f);
  // JSON has no place for these: they are written as text.
  if (std::isnan(f)) return Json::Value("nan");
  if (std::isinf(f)) return Json::Value(f > 0 ? "inf" : "-inf");
  return Json::Value(std::strtod(fmt::format("{}", f).c_str(), nullptr));
}
Json::Value hex(const std::uint8_t* p, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += fmt::format("{:02X}", p[i]);
  return Json::Value(out);
}

// One element of a record field, as the snapshot holds it: numbers in host
// order (the alarm codes too, turned so by the snapshot step), wider raw
// fields as hex.
Json::Value element(const Field& f, const std::uint8_t* p) {
  if (f.order == Order::kTenths) return f32(p);
  if (f.width == 1) return Json::Value(p[0]);
  if (f.order == Order::kRaw && f.width > 2) return hex(p, f.width);
  if (f.width == 2) return Json::Value(le16(p));
  return Json::Value(le32(p));
}

// The fields of one record under their names; a field of several elements
// is an array.
void put_fields(Json::Value& out, std::span<const Field> fields, const std::uint8_t* record) {
  for (const Field& f : fields) {
    const std::uint8_t* p = record + f.offset;
    if (f.count == 1) {
      out[std::string(f.name)] = element(f, p);
      continue;
    }
    Json::Value a(Json::arrayValue);
    for (std::size_t i = 0; i < f.count; ++i) a.append(element(f, p + i * f.width));
    out[std::string(f.name)] = a;
  }
}

Json::Value time_stamp(const std::uint8_t* p) {
  Json::Value t;
  const unsigned year = le16(p);
  t["year"] = year;
  t["month"] = p[2];
  t["day"] = p[3];
  t["hour"] = p[4];
  t["minute"] = p[5];
  t["second"] = p[6];
  const bool valid = year > 0 && p[2] >= 1 && p[2] <= 12 && p[3] >= 1 && p[3] <= 31 && p[4] < 24 &&
                     p[5] < 60 && p[6] < 60;
  t["valid"] = valid;
  if (valid)
    t["text"] = fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", year, p[2], p[3], p[4], p[5], p[6]);
  return t;
}

Json::Value header(const std::uint8_t* p) {
  Json::Value h;
  put_fields(h, wire::kHeaderFields, p);
  h["time_stamp"] = time_stamp(p + kTimeStampAt);
  return h;
}

Json::Value ac_unit(const std::uint8_t* p) {
  Json::Value u;
  put_fields(u, wire::kAcUnitFields, p);
  return u;
}

Json::Value dc_unit(const std::uint8_t* p) {
  Json::Value u;
  put_fields(u, wire::kDcUnitHeadFields, p);
  Json::Value branches(Json::arrayValue);
  for (std::size_t k = 0; k < wire::kDcBranches; ++k) {
    Json::Value br;
    put_fields(br, wire::kDcBranchFields,
               p + offsetof(hvr38qt::hvr38qt_41_a4, branch) + sizeof(hvr38qt::dc_branch) * k);
    branches.append(br);
  }
  u["branches"] = branches;
  return u;
}

Json::Value block_95(const std::uint8_t* p) {
  Json::Value b;
  put_fields(b, wire::kBlock95Fields, p);
  return b;
}

Json::Value module(const std::uint8_t* p) {
  Json::Value m;
  for (std::span<const Field> t : {std::span<const Field>(wire::kModuleAnalogFields),
                                   std::span<const Field>(wire::kModuleSwitchFields),
                                   std::span<const Field>(wire::kModuleAlarmFields),
                                   std::span<const Field>(wire::kModuleDetailFields)})
    put_fields(m, t, p);
  return m;
}

Json::Value block_a3(const std::uint8_t* p) {
  Json::Value entries(Json::arrayValue);
  for (std::size_t k = 0; k < wire::kA3Entries; ++k) {
    Json::Value entry;
    put_fields(entry, wire::kA3EntryFields, p + kA3Entry * k);
    entries.append(entry);
  }
  return entries;
}

// Walks the image section by section; a section that does not fit whole
// ends the walk.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size, Json::Value& out)
      : data_(data), size_(size), out_(out) {}

  // The next `n` bytes, or null (and the image marked cut) when fewer are left.
  const std::uint8_t* take(std::size_t n, const char* section) {
    if (cut_) return nullptr;
    if (size_ - pos_ < n) {
      cut_ = true;
      out_["truncated"] = true;
      out_["truncated_in"] = section;
      out_["truncated_at"] = static_cast<Json::UInt64>(pos_);
      out_["note"] = fmt::format("the image ends at byte {} inside {} ({} of {} bytes there)", size_,
                                 section, size_ - pos_, n);
      return nullptr;
    }
    const std::uint8_t* p = data_ + pos_;
    pos_ += n;
    return p;
  }
  std::size_t pos() const { return pos_; }
  std::size_t left() const { return size_ - pos_; }
  bool cut() const { return cut_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  Json::Value& out_;
  std::size_t pos_ = 0;
  bool cut_ = false;
};

void warn(Json::Value& out, const std::string& text) {
  if (!out.isMember("warnings")) out["warnings"] = Json::Value(Json::arrayValue);
  out["warnings"].append(text);
}

}  // namespace

Json::Value DecodeSnapshot(const std::uint8_t* data, std::size_t size, unsigned ac_units,
                           unsigned dc_units) {
  Json::Value out;
  out["size"] = static_cast<Json::UInt64>(size);
  out["ac_units"] = ac_units;
  out["dc_units"] = dc_units;
  out["truncated"] = false;
  if (data == nullptr) size = 0;
  Reader r(data, size, out);

  const std::uint8_t* h = r.take(kHeader, "header");
  if (h == nullptr) {
    out["error"] = fmt::format("{} bytes are too short for the {}-byte header", size, kHeader);
    return out;
  }
  out["header"] = header(h);
  const unsigned modules = h[kModuleCountAt];

  // The buffer is sized once as 51A + 219D + 68C + 968, C the module count
  // when it was allocated: say when this image does not fit that.
  const std::size_t units = kAcUnit * ac_units + kDcUnit * dc_units;
  if (size < units + kSizedExtra || (size - units - kSizedExtra) % kModule != 0) {
    warn(out, fmt::format("a buffer for {} AC and {} DC units is 68 * C + {} bytes long; {} bytes "
                          "fit no module count C: are ac_number and dc_number those of the device?",
                          ac_units, dc_units, units + kSizedExtra, size));
  } else {
    const std::size_t sized_for = (size - units - kSizedExtra) / kModule;
    out["sized_for_modules"] = static_cast<Json::UInt64>(sized_for);
    if (sized_for < modules)
      warn(out, fmt::format("the buffer was sized for {} modules, the header counts {}: the tail "
                            "of the image is cut",
                            sized_for, modules));
  }

  Json::Value ac(Json::arrayValue);
  for (unsigned i = 0; i < ac_units; ++i)
    if (const std::uint8_t* p = r.take(kAcUnit, "ac")) ac.append(ac_unit(p));
  out["ac"] = ac;
  Json::Value dc(Json::arrayValue);
  for (unsigned i = 0; i < dc_units; ++i)
    if (const std::uint8_t* p = r.take(kDcUnit, "dc")) dc.append(dc_unit(p));
  out["dc"] = dc;
  if (const std::uint8_t* p = r.take(kBlock95, "block_95")) out["block_95"] = block_95(p);
  Json::Value mods(Json::arrayValue);
  for (unsigned i = 0; i < modules; ++i) {
    const std::uint8_t* p = r.take(kModule, "modules");
    if (p == nullptr) break;
    // The detail reply numbers the modules from 1; 0 is a module not yet asked for.
    const std::uint8_t number = p[kModuleNoAt];
    if (number != 0 && number != i + 1)
      warn(out, fmt::format("module record {} holds module number {}", i + 1, number));
    mods.append(module(p));
  }
  out["modules"] = mods;
  if (const std::uint8_t* p = r.take(sizeof(hvr38qt::block_a3), "block_a3")) out["block_a3"] = block_a3(p);
  if (const std::uint8_t* p = r.take(kWord93, "word_93"))
    out["word_93"] = static_cast<int>(static_cast<std::int16_t>(le16(p)));

  // Alarm items: whole items up to the first all-zero one or the end.
  Json::Value alarms(Json::arrayValue);
  if (!r.cut()) {
    out["alarms_at"] = static_cast<Json::UInt64>(r.pos());
    while (r.left() >= kAlarmItem) {
      const std::uint8_t* p = r.take(kAlarmItem, "alarms");
      if (p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 0) break;
      Json::Value a;
      put_fields(a, wire::kAlarmItemFields, p);
      alarms.append(a);
    }
  }
  out["alarms"] = alarms;
  return out;
}

std::vector<std::uint8_t> ImageFromInput(const std::string& content, InputKind kind, unsigned pick) {
  auto is_space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  auto is_hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  if (kind == InputKind::kAuto) {
    const auto first = std::find_if_not(content.begin(), content.end(), is_space);
    if (first != content.end() && *first == '{') kind = InputKind::kEvents;
    else if (first != content.end() &&
             std::all_of(content.begin(), content.end(), [&](char c) { return is_hex(c) || is_space(c); }))
      kind = InputKind::kHex;
    else kind = InputKind::kRaw;
  }

  auto from_hex = [&](const std::string& text, const std::string& what) {
    std::vector<std::uint8_t> out;
    int high = -1;
    for (char c : text) {
      if (is_space(c)) continue;
      if (!is_hex(c)) throw InputError(what + ": '" + std::string(1, c) + "' is not a hex digit");
      const int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                                 : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
      if (high < 0) {
        high = v;
      } else {
        out.push_back(static_cast<std::uint8_t>(high << 4 | v));
        high = -1;
      }
    }
    if (high >= 0) throw InputError(what + ": an odd number of hex digits");
    return out;
  };

  switch (kind) {
    case InputKind::kRaw: return {content.begin(), content.end()};
    case InputKind::kHex: return from_hex(content, "hex input");
    case InputKind::kAuto:
    case InputKind::kEvents: break;
  }

  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::vector<std::string> snapshots, histories, plain;
  std::istringstream in(content);
  std::string line;
  unsigned number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (std::all_of(line.begin(), line.end(), is_space)) continue;
    Json::Value v;
    std::string errors;
    if (!reader->parse(line.data(), line.data() + line.size(), &v, &errors) || !v.isObject())
      throw InputError(fmt::format("line {} is not a JSON object", number));
    const Json::Value& d = v["data"];
    if (!d.isString()) continue;
    const Json::Value& event = v["event"];
    if (event == "snapshot") snapshots.push_back(d.asString());
    else if (event == "history") histories.push_back(d.asString());
    else if (event.isNull()) plain.push_back(d.asString());
  }
  const std::vector<std::string>& found =
      !snapshots.empty() ? snapshots : !histories.empty() ? histories : plain;
  if (found.empty()) throw InputError("no snapshot event in the input");
  if (pick > found.size())
    throw InputError(fmt::format("snapshot {} asked for, the input holds {}", pick, found.size()));
  const std::string& chosen = pick == 0 ? found.back() : found[pick - 1];
  return from_hex(chosen, "the snapshot's data");
}

void UnitCounts(const Json::Value& config, unsigned& ac_units, unsigned& dc_units) {
  int ac = 1, dc = 1;
  if (const Json::Value* app = settings::object_member(config, "appSetting")) {
    std::string text;
    if (const Json::Value* v = settings::member(*app, "ac_number"); v && settings::as_text(*v, text))
      ac = std::atoi(text.c_str());
    if (const Json::Value* v = settings::member(*app, "dc_number"); v && settings::as_text(*v, text))
      dc = std::atoi(text.c_str());
  }
  ac = std::clamp(ac, 1, static_cast<int>(kMaxUnits));
  dc = std::clamp(dc, 0, static_cast<int>(kMaxUnits));
  ac_units = static_cast<unsigned>(ac);
  dc_units = static_cast<unsigned>(dc);
}

bool HeaderSummary(const std::uint8_t* data, std::size_t size, float& output_voltage,
                   unsigned& module_count) {
  if (data == nullptr || size < 9) return false;
  const std::uint32_t bits = le32(data + 4);
  std::memcpy(&output_voltage, &bits, sizeof output_voltage);
  module_count = data[8];
  return true;
}

}  // namespace decode
