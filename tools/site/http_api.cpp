#include "http_api.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <json/json.h>

#include "alarm_json.h"
#include "snapshot_decoder.h"

namespace krthost::site {
namespace {

// A request that cannot be answered: status and the text of {"error": ...}.
struct ApiError {
  int status;
  std::string text;
};

[[noreturn]] void Fail(int status, std::string text) { throw ApiError{status, std::move(text)}; }

std::string ToJson(const Json::Value& v, const char* indentation = "") {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = indentation;
  builder["emitUTF8"] = true;
  builder["precision"] = 15;
  return Json::writeString(builder, v);
}

HttpResponse JsonResponse(int status, const Json::Value& v) {
  return {status, std::string(kJsonContentType), ToJson(v) + "\n"};
}

HttpResponse ErrorResponse(int status, const std::string& text) {
  Json::Value v;
  v["error"] = text;
  return JsonResponse(status, v);
}

// ---------------------------------------------------------------- parsing

bool ValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i - 1 < n) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
    if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n + 1;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decodes `in` ('+' as a space in a query). The result is UTF-8
// text without control characters, or the request is refused.
std::string Decode(std::string_view in, bool plus_is_space, std::string_view what) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    if (c == '%') {
      if (in.size() - i < 3) Fail(400, fmt::format("{}: a % needs two hex digits", what));
      const int hi = HexDigit(in[i + 1]), lo = HexDigit(in[i + 2]);
      if (hi < 0 || lo < 0) Fail(400, fmt::format("{}: a % needs two hex digits", what));
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else if (c == '+' && plus_is_space) {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  for (const char c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) Fail(400, fmt::format("{}: control characters are not allowed", what));
  }
  if (!ValidUtf8(out)) Fail(400, fmt::format("{}: not UTF-8", what));
  return out;
}

// The path's segments, decoded one by one (an encoded '/' stays inside its
// segment and is then refused, as are "." and "..").
std::vector<std::string> PathSegments(std::string_view raw) {
  if (raw.empty() || raw.front() != '/') Fail(400, "path: must start with /");
  std::vector<std::string> segments;
  std::string_view rest = raw.substr(1);
  if (rest.empty()) return segments;
  while (true) {
    const auto slash = rest.find('/');
    std::string seg = Decode(rest.substr(0, slash), false, "path");
    if (seg == "." || seg == ".." || seg.find_first_of("/\\") != std::string::npos)
      Fail(400, "path: no . or .. segments and no encoded slashes");
    segments.push_back(std::move(seg));
    if (slash == std::string_view::npos) break;
    rest = rest.substr(slash + 1);
  }
  return segments;
}

using Params = std::map<std::string, std::string>;

Params ParseQuery(std::string_view raw) {
  Params params;
  if (raw.empty()) return params;
  while (true) {
    const auto amp = raw.find('&');
    const std::string_view item = raw.substr(0, amp);
    if (!item.empty()) {
      const auto eq = item.find('=');
      std::string name = Decode(item.substr(0, eq), true, "query");
      std::string value =
          eq == std::string_view::npos ? std::string() : Decode(item.substr(eq + 1), true, "query");
      if (name.empty()) Fail(400, "query: a parameter without a name");
      if (params.count(name)) Fail(400, fmt::format("query: {} is given twice", name));
      params.emplace(std::move(name), std::move(value));
    }
    if (amp == std::string_view::npos) break;
    raw = raw.substr(amp + 1);
  }
  return params;
}

void AllowOnly(const Params& params, std::initializer_list<std::string_view> names) {
  for (const auto& [name, value] : params)
    if (std::find(names.begin(), names.end(), name) == names.end())
      Fail(400, fmt::format("unknown parameter {}", name));
}

std::optional<std::string> Param(const Params& params, const std::string& name) {
  const auto it = params.find(name);
  if (it == params.end()) return std::nullopt;
  return it->second;
}

// Digits only, within [min, max].
int ParseLimit(const Params& params, int def, int min, int max) {
  const auto text = Param(params, "limit");
  if (!text) return def;
  int v = 0;
  const char* end = text->data() + text->size();
  const auto [p, ec] = std::from_chars(text->data(), end, v);
  if (text->empty() || (*text)[0] == '-' || ec != std::errc{} || p != end || v < min || v > max)
    Fail(400, fmt::format("limit: a whole number from {} to {}", min, max));
  return v;
}

// "YYYY-MM-DDTHH:MM:SS" with up to three fraction digits after a '.':
// the store's time stamps, compared as text.
bool ValidIso(std::string_view s) {
  auto digits = [&](std::size_t at, std::size_t n, int min, int max) {
    if (at + n > s.size()) return false;
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
      v = v * 10 + (s[i] - '0');
    }
    return v >= min && v <= max;
  };
  if (s.size() < 19) return false;
  if (!digits(0, 4, 1970, 9999) || s[4] != '-' || !digits(5, 2, 1, 12) || s[7] != '-' ||
      !digits(8, 2, 1, 31) || s[10] != 'T' || !digits(11, 2, 0, 23) || s[13] != ':' ||
      !digits(14, 2, 0, 59) || s[16] != ':' || !digits(17, 2, 0, 60))
    return false;
  if (s.size() == 19) return true;
  return s[19] == '.' && s.size() >= 21 && s.size() <= 23 && digits(20, s.size() - 20, 0, 999);
}

// Compares the whole of both, whatever they hold: the time depends only on
// the expected token's length.
bool SameToken(std::string_view given, std::string_view expected) {
  unsigned diff = given.size() == expected.size() ? 0u : 1u;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff |= g ^ static_cast<unsigned char>(expected[i]);
  }
  return diff == 0;
}

// ------------------------------------------------------------------ JSON

Json::Value Num(double v) { return std::isfinite(v) ? Json::Value(v) : Json::Value(); }

Json::Value DeviceSummary(const DeviceStatus& s, SysClock::time_point now) {
  Json::Value d;
  d["id"] = s.id;
  d["name"] = s.name;
  d["line"] = s.line;
  d["outcome"] = TextOrNull(s.outcome);
  d["state"] = s.state;
  d["data_ready"] = s.data_ready;
  d["up"] = s.up;
  d["comm_lost"] = s.comm_lost;
  d["restored"] = s.restored;
  d["last_poll"] = TextOrNull(s.last_poll);
  d["last_complete"] = TextOrNull(s.last_complete);
  const double age = DataAgeSeconds(s, now);
  d["data_age_s"] = age < 0 ? Json::Value() : Json::Value(std::round(age * 1000) / 1000);
  Json::Value values(Json::objectValue);
  for (const auto& [name, value] : s.values)
    if (!values.isMember(name)) values[name] = Num(value);
  d["values"] = values;
  d["alarms_active"] = static_cast<Json::UInt64>(s.active_alarms.size());
  return d;
}

Json::Value AlarmJson(const AlarmInstance& a, const std::string& device) {
  Json::Value v;
  v["device"] = TextOrNull(device);
  v["id"] = a.device_id;
  PutAlarmFields(v, a);
  v["cleared_at"] = TextOrNull(a.cleared_at);
  return v;
}

// --------------------------------------------------------------- metrics

// Appends a label value escaped for the text format: backslash, double
// quote and line feed; most values have none and are appended whole.
void AppendLabelValue(std::string& out, std::string_view s) {
  if (s.find_first_of("\\\"\n") == std::string_view::npos) {
    out += s;
    return;
  }
  for (const char c : s) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out.push_back(c);
  }
}

std::string LabelValue(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  AppendLabelValue(out, s);
  return out;
}

// A sample value in a buffer of its own: no allocation per line. The
// shortest form of a double takes at most 24 characters.
struct SampleText {
  char data[32];
  std::size_t size = 0;
  std::string_view view() const { return {data, size}; }
};

SampleText SampleOf(double v) {
  SampleText t;
  const std::string_view special = std::isnan(v) ? "NaN" : !std::isinf(v) ? "" : v > 0 ? "+Inf" : "-Inf";
  if (!special.empty()) {
    t.size = special.copy(t.data, sizeof t.data);
    return t;
  }
  t.size = std::min(fmt::format_to_n(t.data, sizeof t.data, "{}", v).size, sizeof t.data);
  return t;
}

std::string Sample(double v) { return std::string(SampleOf(v).view()); }

class MetricsText {
 public:
  void Family(std::string_view name, std::string_view type, std::string_view help) {
    fmt::format_to(std::back_inserter(out_), "# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
  }
  // `labels` already formatted: name="value",...
  // Appended piece by piece: a thousand devices make some 3 MB of text.
  void Line(std::string_view name, std::string_view labels, std::string_view value) {
    out_ += name;
    if (!labels.empty()) {
      out_ += '{';
      out_ += labels;
      out_ += '}';
    }
    out_ += ' ';
    out_ += value;
    out_ += '\n';
  }
  // The same with one label more after `labels` (its value escaped here).
  void Line(std::string_view name, std::string_view labels, std::string_view label, std::string_view label_value,
            std::string_view value) {
    out_ += name;
    out_ += '{';
    out_ += labels;
    out_ += ',';
    out_ += label;
    out_ += "=\"";
    AppendLabelValue(out_, label_value);
    out_ += "\"} ";
    out_ += value;
    out_ += '\n';
  }
  // An active alarm instance's line: its texts as labels after `labels`.
  void AlarmLine(std::string_view labels, const AlarmInstance& a) {
    out_ += "krthost_alarm_active{";
    out_ += labels;
    const std::pair<std::string_view, std::string_view> texts[] = {
        {",key=\"", a.key}, {"\",nm_id=\"", a.nm_id}, {"\",name=\"", a.name}, {"\",desc=\"", a.desc}};
    for (const auto& [prefix, text] : texts) {
      out_ += prefix;
      AppendLabelValue(out_, text);
    }
    out_ += "\"} 1\n";
  }
  void Reserve(std::size_t bytes) { out_.reserve(bytes); }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
};

std::string DeviceLabels(const DeviceStatus& s) {
  return fmt::format("device=\"{}\",id=\"{}\"", LabelValue(s.name), s.id);
}

// ----------------------------------------------------------- the history

std::optional<double> FieldOf(const Json::Value& decoded, const std::string& field) {
  const Json::Value* v = nullptr;
  if (field == "out_v") {
    v = &decoded["header"]["output_voltage"];
  } else {
    const Json::Value& ac = decoded["ac"];
    if (!ac.isArray() || ac.empty()) return std::nullopt;
    const char* member = field == "va1" ? "u_a" : field == "vb1" ? "u_b" : "u_c";
    v = &ac[0][member];
  }
  if (v->isNumeric()) return v->asDouble();
  if (v->isString()) return std::nan("");  // "nan", "inf": a value, but not a number
  return std::nullopt;                     // not in the image
}

}  // namespace

HttpApi::HttpApi(const HttpSettings& conf, const StatusBoard& board, const HistoryStore* store)
    : token_(conf.token), board_(board), store_(store) {}

HttpResponse HttpApi::Handle(const HttpRequest& request) const {
  try {
    if (request.method != "GET" && request.method != "HEAD")
      return ErrorResponse(405, "read-only: GET and HEAD only");
    return Route(request);
  } catch (const ApiError& e) {
    return ErrorResponse(e.status, e.text);
  } catch (const std::exception& e) {
    return ErrorResponse(500, std::string("internal error: ") + e.what());
  } catch (...) {
    return ErrorResponse(500, "internal error");
  }
}

HttpResponse HttpApi::Route(const HttpRequest& request) const {
  if (request.path.size() > kMaxTargetLength || request.query.size() > kMaxTargetLength)
    Fail(414, "request target too long");
  const std::vector<std::string> seg = PathSegments(request.path);
  const Params params = ParseQuery(request.query);

  if (seg.size() == 1 && seg[0] == "healthz") {
    AllowOnly(params, {});
    return {200, "text/plain; charset=utf-8", "ok"};
  }
  if (!token_.empty()) {
    constexpr std::string_view kBearer = "Bearer ";
    const std::string& auth = request.authorization;
    bool ok = auth.size() > kBearer.size() && auth.compare(0, kBearer.size(), kBearer) == 0 &&
              SameToken(std::string_view(auth).substr(kBearer.size()), token_);
    // The page may carry the token in its address; nothing else may.
    if (!ok && seg.empty()) {
      const auto t = Param(params, "token");
      ok = t && SameToken(*t, token_);
    }
    if (!ok) Fail(401, "a valid Authorization: Bearer token is needed");
  }

  const auto now = SysClock::now();
  if (seg.empty()) {
    AllowOnly(params, {"token"});
    return {200, "text/html; charset=utf-8", std::string(kStatusPage)};
  }
  if (seg.size() == 1 && seg[0] == "metrics") {
    AllowOnly(params, {});
    return {200, std::string(kMetricsContentType), Metrics()};
  }
  if (seg[0] != "api" || seg.size() < 2) Fail(404, "no such path");

  if (seg.size() == 2 && seg[1] == "devices") {
    AllowOnly(params, {});
    Json::Value list(Json::arrayValue);
    for (const auto& s : board_.All()) list.append(DeviceSummary(*s, now));
    return JsonResponse(200, list);
  }

  if (seg.size() == 2 && seg[1] == "alarms") {
    AllowOnly(params, {"device", "state", "limit"});
    const std::string state = Param(params, "state").value_or("active");
    if (state != "active" && state != "all") Fail(400, "state: active or all");
    const int limit = ParseLimit(params, kAlarmLimitDefault, 1, kAlarmLimitMax);
    const auto all = board_.All();
    std::map<std::uint32_t, std::string> names;
    for (const auto& s : all) names[s->id] = s->name;
    std::optional<std::uint32_t> device_id;
    std::shared_ptr<const DeviceStatus> device;
    if (const auto name = Param(params, "device")) {
      device = board_.Find(*name);
      if (!device) Fail(404, "no such device");
      device_id = device->id;
    }
    std::vector<AlarmInstance> alarms;
    if (store_) {
      alarms = store_->QueryAlarms(device_id, state == "active", limit);
    } else if (state == "all") {
      Fail(503, "state=all needs the history store, which this host does not keep");
    } else {
      for (const auto& s : all)
        if (!device_id || s->id == *device_id)
          alarms.insert(alarms.end(), s->active_alarms.begin(), s->active_alarms.end());
      std::stable_sort(alarms.begin(), alarms.end(), [](const AlarmInstance& a, const AlarmInstance& b) {
        return a.raised_at > b.raised_at;
      });
    }
    if (alarms.size() > static_cast<std::size_t>(limit)) alarms.resize(static_cast<std::size_t>(limit));
    Json::Value list(Json::arrayValue);
    for (const auto& a : alarms) {
      const auto it = names.find(a.device_id);
      list.append(AlarmJson(a, it == names.end() ? std::string() : it->second));
    }
    return JsonResponse(200, list);
  }

  if (seg[1] != "devices" || seg.size() > 4) Fail(404, "no such path");
  const auto device = board_.Find(seg[2]);
  if (!device) Fail(404, "no such device");
  const DeviceStatus& s = *device;

  if (seg.size() == 3) {
    AllowOnly(params, {});
    Json::Value d = DeviceSummary(s, now);
    Json::Value counters;
    counters["polls"] = static_cast<Json::UInt64>(s.polls);
    Json::Value outcomes(Json::objectValue);
    for (const auto name : kOutcomeNames)
      outcomes[std::string(name)] = static_cast<Json::UInt64>(s.outcomes.Get(name));
    counters["outcomes"] = outcomes;
    Json::Value errors(Json::objectValue);
    for (const auto& [kind, n] : s.protocol_errors) errors[kind] = static_cast<Json::UInt64>(n);
    counters["protocol_errors"] = errors;
    counters["timeouts"] = static_cast<Json::UInt64>(s.timeouts);
    std::uint64_t rows = 0;
    if (store_) {
      const auto stats = store_->Stats();
      const auto it = stats.rows_by_device.find(s.id);
      if (it != stats.rows_by_device.end()) rows = it->second;
    }
    counters["history_rows"] = static_cast<Json::UInt64>(rows);
    d["counters"] = counters;
    Json::Value polls(Json::arrayValue);
    for (const auto& p : s.recent) {
      Json::Value r;
      r["time"] = p.time;
      r["outcome"] = p.outcome;
      r["duration_ms"] = static_cast<Json::Int64>(p.duration_ms);
      r["state"] = p.state;
      r["protocol_errors"] = p.protocol_errors;
      r["timeouts"] = p.timeouts;
      r["error"] = TextOrNull(p.error);
      polls.append(r);
    }
    d["polls"] = polls;
    Json::Value alarms(Json::arrayValue);
    for (const auto& a : s.active_alarms) alarms.append(AlarmJson(a, s.name));
    d["alarms"] = alarms;
    return JsonResponse(200, d);
  }

  if (seg[3] == "snapshot") {
    AllowOnly(params, {});
    if (!s.snapshot) Fail(404, "no snapshot yet");
    const Json::Value decoded =
        decode::DecodeSnapshot(s.snapshot->data(), s.snapshot->size(), s.ac_units, s.dc_units);
    // As `krthost decode` prints it.
    return {200, std::string(kJsonContentType), ToJson(decoded, "  ") + "\n"};
  }

  if (seg[3] == "history") {
    AllowOnly(params, {"field", "since", "limit"});
    const std::string field = Param(params, "field").value_or("out_v");
    if (field != "out_v" && field != "va1" && field != "vb1" && field != "vc1")
      Fail(400, "field: one of out_v, va1, vb1, vc1");
    std::string since;
    if (const auto text = Param(params, "since")) {
      if (!ValidIso(*text)) Fail(400, "since: local time as YYYY-MM-DDTHH:MM:SS[.mmm]");
      since = *text;
    } else {
      since = IsoLocal(now - std::chrono::seconds(kHistoryDefaultSeconds));
    }
    const int limit = ParseLimit(params, kHistoryLimitDefault, 1, kHistoryLimitMax);
    if (!store_) Fail(503, "no history: this host does not keep a history store");
    Json::Value points(Json::arrayValue);
    for (const auto& row : store_->SnapshotsSince(s.id, since, limit)) {
      const Json::Value decoded = decode::DecodeSnapshot(row.data.data(), row.data.size(), s.ac_units, s.dc_units);
      const auto value = FieldOf(decoded, field);
      if (!value) continue;
      Json::Value p;
      p["time"] = row.taken_at;
      p["value"] = Num(*value);
      points.append(p);
    }
    return JsonResponse(200, points);
  }
  Fail(404, "no such path");
}

std::string HttpApi::Metrics() const {
  const auto all = board_.All();
  std::optional<StoreStats> stats;
  if (store_) stats = store_->Stats();
  MetricsText m;
  // Each device's labels, escaped once for all of its lines.
  std::vector<std::string> labels;
  labels.reserve(all.size());
  for (const auto& s : all) labels.push_back(DeviceLabels(*s));
  // Numbers are formatted into a buffer of the call's own: no allocation.
  const auto number = [](std::uint64_t n) { return fmt::format_int(n); };
  const auto text = [](const fmt::format_int& f) { return std::string_view(f.data(), f.size()); };
  // The bucket bounds, formatted once for all devices.
  std::array<std::string, kDurationBuckets.size()> le;
  for (std::size_t i = 0; i < le.size(); ++i) le[i] = Sample(kDurationBuckets[i]);
  // Some 3 KB a device: grown once instead of doubling through megabytes.
  m.Reserve(4096 + all.size() * 3500);

  m.Family("krthost_device_up", "gauge", "1 when the last poll completed or stopped unchanged.");
  for (std::size_t d = 0; d < all.size(); ++d) m.Line("krthost_device_up", labels[d], all[d]->up ? "1" : "0");

  m.Family("krthost_polls_total", "counter", "Polls by outcome.");
  for (std::size_t d = 0; d < all.size(); ++d)
    for (const auto name : kOutcomeNames)
      m.Line("krthost_polls_total", labels[d], "outcome", name, text(number(all[d]->outcomes.Get(name))));

  m.Family("krthost_poll_duration_seconds", "histogram", "Time a poll took.");
  for (std::size_t d = 0; d < all.size(); ++d) {
    const DeviceStatus& s = *all[d];
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kDurationBuckets.size(); ++i) {
      cumulative += s.duration_buckets[i];
      m.Line("krthost_poll_duration_seconds_bucket", labels[d], "le", le[i], text(number(cumulative)));
    }
    cumulative += s.duration_buckets.back();
    m.Line("krthost_poll_duration_seconds_bucket", labels[d], "le", "+Inf", text(number(cumulative)));
    m.Line("krthost_poll_duration_seconds_sum", labels[d], SampleOf(s.duration_sum_s).view());
    m.Line("krthost_poll_duration_seconds_count", labels[d], text(number(cumulative)));
  }

  m.Family("krthost_last_complete_timestamp_seconds", "gauge", "Unix time of the last completed poll.");
  for (std::size_t d = 0; d < all.size(); ++d)
    if (all[d]->last_complete_unix > 0)
      m.Line("krthost_last_complete_timestamp_seconds", labels[d], SampleOf(all[d]->last_complete_unix).view());

  m.Family("krthost_protocol_errors_total", "counter", "Protocol errors by kind.");
  for (std::size_t d = 0; d < all.size(); ++d)
    for (const auto& [kind, n] : all[d]->protocol_errors)
      m.Line("krthost_protocol_errors_total", labels[d], "kind", kind, text(number(n)));

  m.Family("krthost_reply_timeouts_total", "counter", "Requests that got no reply in time.");
  for (std::size_t d = 0; d < all.size(); ++d)
    m.Line("krthost_reply_timeouts_total", labels[d], text(number(all[d]->timeouts)));

  m.Family("krthost_value", "gauge", "Values of the last completed poll, by query name.");
  for (std::size_t d = 0; d < all.size(); ++d) {
    // Views of the record's own texts: it outlives the text being made.
    std::set<std::string_view> seen;
    for (const auto& [name, value] : all[d]->values)
      if (seen.insert(name).second) m.Line("krthost_value", labels[d], "name", name, SampleOf(value).view());
  }

  m.Family("krthost_alarms_active", "gauge", "Active alarm instances.");
  for (std::size_t d = 0; d < all.size(); ++d)
    m.Line("krthost_alarms_active", labels[d], text(number(all[d]->active_alarms.size())));

  m.Family("krthost_alarm_active", "gauge", "1 for each active alarm instance.");
  for (std::size_t d = 0; d < all.size(); ++d) {
    // The same texts make the same series: one line each (views of the
    // record's own texts).
    std::set<std::array<std::string_view, 4>> seen;
    for (const auto& a : all[d]->active_alarms)
      if (seen.insert({a.key, a.nm_id, a.name, a.desc}).second) m.AlarmLine(labels[d], a);
  }

  m.Family("krthost_history_rows_total", "counter", "Snapshot rows written to the history in this process.");
  for (std::size_t d = 0; d < all.size(); ++d) {
    std::uint64_t rows = 0;
    if (stats) {
      const auto it = stats->rows_by_device.find(all[d]->id);
      if (it != stats->rows_by_device.end()) rows = it->second;
    }
    m.Line("krthost_history_rows_total", labels[d], text(number(rows)));
  }

  m.Family("krthost_history_errors_total", "counter", "Failed history database writes.");
  m.Line("krthost_history_errors_total", "", fmt::format("{}", stats ? stats->errors : 0));
  m.Family("krthost_history_dropped_total", "counter",
           "History writes dropped because the writer's queue was full.");
  m.Line("krthost_history_dropped_total", "", fmt::format("{}", stats ? stats->dropped : 0));
  m.Family("krthost_history_queue_depth", "gauge", "History writes waiting for the database.");
  m.Line("krthost_history_queue_depth", "", fmt::format("{}", stats ? stats->queue_depth : 0));
  return m.Take();
}

}  // namespace krthost::site
