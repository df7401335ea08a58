#include "site_config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>

#include <fmt/format.h>

#include "config.h"
#include "plugin_library.h"

namespace krthost::site {
namespace {

namespace fs = std::filesystem;

// Reads one site file; every error names the file and the member's path.
class Reader {
 public:
  explicit Reader(std::string file) : file_(std::move(file)) {}

  [[noreturn]] void fail(const std::string& member, const std::string& problem) const {
    if (member.empty()) throw SiteError(fmt::format("{}: {}", file_, problem));
    throw SiteError(fmt::format("{}: {}: {}", file_, member, problem));
  }

  // The object's members must all be among `known`.
  void only(const Json::Value& v, const std::string& path, std::initializer_list<const char*> known) const {
    if (!v.isObject()) fail(path, path.empty() ? "is not a JSON object" : "is not an object");
    for (const auto& name : v.getMemberNames()) {
      if (std::none_of(known.begin(), known.end(), [&](const char* k) { return name == k; }))
        fail(join(path, name), "unknown member");
    }
  }

  static std::string join(const std::string& path, const std::string& name) {
    return path.empty() ? name : path + "." + name;
  }

  std::int64_t integer(const Json::Value& v, const std::string& path, std::int64_t lo, std::int64_t hi) const {
    std::int64_t n = 0;
    if (v.isInt64()) n = v.asInt64();
    else if (v.isUInt64()) n = v.asUInt64() > static_cast<std::uint64_t>(hi) ? hi + 1 : static_cast<std::int64_t>(v.asUInt64());
    else if (v.isDouble()) {
      // A whole number written with a fraction or an exponent. Converting a
      // double outside the 64-bit range is undefined, so the range comes
      // first.
      const double d = v.asDouble();
      if (!std::isfinite(d) || d != std::trunc(d)) fail(path, "is not a whole number");
      if (d < static_cast<double>(lo) || d > static_cast<double>(hi))
        fail(path, fmt::format("{} is outside {}..{}", d, lo, hi));
      n = static_cast<std::int64_t>(d);
    } else fail(path, "is not a whole number");
    if (n < lo || n > hi) fail(path, fmt::format("{} is outside {}..{}", n, lo, hi));
    return n;
  }

  std::string text(const Json::Value& v, const std::string& path, bool allow_empty = false) const {
    if (!v.isString()) fail(path, "is not a text");
    std::string s = v.asString();
    if (!allow_empty && s.empty()) fail(path, "is empty");
    if (s.find('\0') != std::string::npos) fail(path, "contains a NUL character");
    return s;
  }

  bool boolean(const Json::Value& v, const std::string& path) const {
    if (!v.isBool()) fail(path, "is not true or false");
    return v.asBool();
  }

  std::vector<std::string> texts(const Json::Value& v, const std::string& path) const {
    if (!v.isArray()) fail(path, "is not an array");
    std::vector<std::string> out;
    for (Json::ArrayIndex i = 0; i < v.size(); ++i) out.push_back(text(v[i], fmt::format("{}[{}]", path, i)));
    return out;
  }

  const std::string& file() const { return file_; }

 private:
  std::string file_;
};

std::string resolve(const std::string& dir, const std::string& p) {
  if (p.empty() || fs::path(p).is_absolute()) return p;
  return (fs::path(dir) / p).lexically_normal().string();
}

// "HOST:PORT" (an IPv6 host in brackets).
void host_port(const Reader& r, const Json::Value& v, const std::string& path, std::string& host,
               std::uint16_t& port) {
  const std::string s = r.text(v, path);
  const auto colon = s.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == s.size()) r.fail(path, "is not HOST:PORT");
  host = s.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string p = s.substr(colon + 1);
  if (p.size() > 5 || !std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; }))
    r.fail(path, "has no port number");
  const long n = std::stol(p);
  if (n < 0 || n > 65535) r.fail(path, "port is outside 0..65535");
  port = static_cast<std::uint16_t>(n);
}

Json::Value read_json_file(const Reader& r, const std::string& path, const std::string& member) {
  std::ifstream in(path, std::ios::binary);
  if (!in) r.fail(member, member.empty() ? "cannot be read" : fmt::format("{} cannot be read", path));
  std::ostringstream text;
  text << in.rdbuf();
  if (text.str().size() > 16 * 1024 * 1024) r.fail(member, fmt::format("{} is larger than 16 MiB", path));
  Json::CharReaderBuilder b;
  b["collectComments"] = false;
  b["rejectDupKeys"] = true;
  std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  Json::Value root;
  std::string errors;
  const std::string& t = text.str();
  if (!reader->parse(t.data(), t.data() + t.size(), &root, &errors))
    r.fail(member, fmt::format("{}is not JSON: {}", member.empty() ? "" : path + " ",
                               errors.substr(0, errors.find('\n'))));
  return root;
}

std::string canonical(const Json::Value& v) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  return Json::writeString(w, v);
}

bool good_name(const std::string& n) {
  return !n.empty() && n.size() <= 64 && std::all_of(n.begin(), n.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-';
  });
}

struct Defaults {
  std::string plugin;
  int interval_ms = 5000;
  int reply_timeout_ms = 2000;
  int byte_timeout_ms = 200;
  std::vector<std::string> queries = {"va1", "vb1", "vc1", "out_v", "ac", "ac1", "ac2"};
  int comm_lost_after = 3;
};

void read_timing(const Reader& r, const Json::Value& v, const std::string& path, const char* name, int& out,
                 int lo, int hi) {
  if (v.isMember(name)) out = static_cast<int>(r.integer(v[name], Reader::join(path, name), lo, hi));
}

DeviceEntry read_device(const Reader& r, const Json::Value& d, const std::string& path, const Defaults& defs,
                       const std::string& dir) {
  r.only(d, path, {"id", "name", "config", "config_file", "tcp", "serial", "baud", "simulate", "scenario",
                   "interval_ms", "queries", "reply_timeout_ms", "byte_timeout_ms", "comm_lost_after",
                   "plugin"});
  DeviceEntry s;
  if (!d.isMember("id")) r.fail(Reader::join(path, "id"), "is required");
  s.id = static_cast<std::uint32_t>(r.integer(d["id"], Reader::join(path, "id"), 1, 4294967295LL));
  if (!d.isMember("name")) r.fail(Reader::join(path, "name"), "is required");
  s.name = r.text(d["name"], Reader::join(path, "name"));
  if (!good_name(s.name)) r.fail(Reader::join(path, "name"), "must be 1..64 characters of A-Z a-z 0-9 _ . -");

  if (d.isMember("config") && d.isMember("config_file"))
    r.fail(Reader::join(path, "config_file"), "config and config_file exclude each other");
  if (d.isMember("config")) {
    if (!d["config"].isObject()) r.fail(Reader::join(path, "config"), "is not an object");
    s.config = d["config"];
  } else if (d.isMember("config_file")) {
    const std::string p = resolve(dir, r.text(d["config_file"], Reader::join(path, "config_file")));
    s.config = read_json_file(r, p, Reader::join(path, "config_file"));
    if (!s.config.isObject()) r.fail(Reader::join(path, "config_file"), p + " is not a JSON object");
  }
  // The host's maps for the mobile rule set come from thresholdSetting.
  try {
    std::map<std::string, int> levels;
    std::map<std::string, float> values;
    FillThresholdMaps(s.config, levels, values);
  } catch (const ConfigError& e) {
    r.fail(Reader::join(path, "config"), e.what());
  }

  int kinds = 0;
  if (d.isMember("tcp")) {
    ++kinds;
    s.line = SiteLine::kTcp;
    host_port(r, d["tcp"], Reader::join(path, "tcp"), s.tcp_host, s.tcp_port);
    if (s.tcp_port == 0) r.fail(Reader::join(path, "tcp"), "port 0 cannot be dialled");
  }
  if (d.isMember("serial")) {
    ++kinds;
    s.line = SiteLine::kSerial;
    s.serial_device = r.text(d["serial"], Reader::join(path, "serial"));
  }
  if (d.isMember("simulate")) {
    if (!r.boolean(d["simulate"], Reader::join(path, "simulate")))
      r.fail(Reader::join(path, "simulate"), "only true is meaningful");
    ++kinds;
    s.line = SiteLine::kSimulate;
  }
  if (d.isMember("scenario")) {
    ++kinds;
    s.line = SiteLine::kSimulate;
    s.scenario_path = resolve(dir, r.text(d["scenario"], Reader::join(path, "scenario")));
  }
  if (kinds != 1) r.fail(path, "needs exactly one of tcp, serial, simulate and scenario");
  if (d.isMember("baud")) {
    if (s.line != SiteLine::kSerial) r.fail(Reader::join(path, "baud"), "goes with serial only");
    s.baud = static_cast<std::uint32_t>(r.integer(d["baud"], Reader::join(path, "baud"), 50, 4000000));
  }

  s.plugin = d.isMember("plugin") ? resolve(dir, r.text(d["plugin"], Reader::join(path, "plugin"))) : defs.plugin;
  s.interval_ms = defs.interval_ms;
  s.reply_timeout_ms = defs.reply_timeout_ms;
  s.byte_timeout_ms = defs.byte_timeout_ms;
  s.comm_lost_after = defs.comm_lost_after;
  s.queries = defs.queries;
  read_timing(r, d, path, "interval_ms", s.interval_ms, 10, 86'400'000);
  read_timing(r, d, path, "reply_timeout_ms", s.reply_timeout_ms, 1, 600'000);
  read_timing(r, d, path, "byte_timeout_ms", s.byte_timeout_ms, 1, 60'000);
  read_timing(r, d, path, "comm_lost_after", s.comm_lost_after, 1, 1'000'000);
  if (d.isMember("queries")) s.queries = r.texts(d["queries"], Reader::join(path, "queries"));

  Json::Value print(Json::objectValue);
  print["name"] = s.name;
  print["config"] = s.config;
  print["line"] = s.LineText();
  print["baud"] = s.baud;
  print["plugin"] = s.plugin;
  print["interval_ms"] = s.interval_ms;
  print["reply_timeout_ms"] = s.reply_timeout_ms;
  print["byte_timeout_ms"] = s.byte_timeout_ms;
  print["comm_lost_after"] = s.comm_lost_after;
  for (const auto& q : s.queries) print["queries"].append(q);
  s.fingerprint = canonical(print);
  return s;
}

}  // namespace

std::string DeviceEntry::LineText() const {
  switch (line) {
    case SiteLine::kTcp: return fmt::format("tcp {}:{}", tcp_host, tcp_port);
    case SiteLine::kSerial: return "serial " + serial_device;
    case SiteLine::kSimulate: return scenario_path.empty() ? "simulator" : "simulator " + scenario_path;
  }
  return "";
}

bool IsLoopbackHost(const std::string& host) {
  if (host == "localhost") return true;
  in_addr a4{};
  if (inet_pton(AF_INET, host.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
  in6_addr a6{};
  if (inet_pton(AF_INET6, host.c_str(), &a6) == 1) return IN6_IS_ADDR_LOOPBACK(&a6);
  return false;
}

SiteConfig ParseSite(const Json::Value& root, const std::string& path, const std::string& dir) {
  const Reader r(path);
  r.only(root, "", {"data_dir", "history", "defaults", "devices", "http", "mqtt"});
  SiteConfig site;
  site.path = path;
  if (root.isMember("data_dir")) {
    site.data_dir = resolve(dir, r.text(root["data_dir"], "data_dir"));
  } else if (const char* state = std::getenv("STATE_DIRECTORY"); state != nullptr && *state != '\0') {
    // Under a service manager that gives the service its state directory.
    const std::string first(state, std::find(state, state + std::strlen(state), ':'));
    site.data_dir = first;
  } else {
    site.data_dir = resolve(dir, "krthost-data");
  }
  if (root.isMember("history")) {
    const auto& h = root["history"];
    r.only(h, "history", {"keep_days", "max_rows_per_device"});
    if (h.isMember("keep_days"))
      site.retention.keep_days = static_cast<int>(r.integer(h["keep_days"], "history.keep_days", 1, 36500));
    if (h.isMember("max_rows_per_device"))
      site.retention.max_rows_per_device =
          r.integer(h["max_rows_per_device"], "history.max_rows_per_device", 1, 1'000'000'000LL);
  }
  Defaults defs;
  defs.plugin = DefaultPluginPath();
  if (root.isMember("defaults")) {
    const auto& d = root["defaults"];
    r.only(d, "defaults", {"plugin", "interval_ms", "reply_timeout_ms", "byte_timeout_ms", "queries",
                           "comm_lost_after"});
    if (d.isMember("plugin")) defs.plugin = resolve(dir, r.text(d["plugin"], "defaults.plugin"));
    read_timing(r, d, "defaults", "interval_ms", defs.interval_ms, 10, 86'400'000);
    read_timing(r, d, "defaults", "reply_timeout_ms", defs.reply_timeout_ms, 1, 600'000);
    read_timing(r, d, "defaults", "byte_timeout_ms", defs.byte_timeout_ms, 1, 60'000);
    read_timing(r, d, "defaults", "comm_lost_after", defs.comm_lost_after, 1, 1'000'000);
    if (d.isMember("queries")) defs.queries = r.texts(d["queries"], "defaults.queries");
  }
  if (!root.isMember("devices")) r.fail("devices", "is required");
  const auto& devices = root["devices"];
  if (!devices.isArray() || devices.empty()) r.fail("devices", "must be a non-empty array");
  std::set<std::uint32_t> ids;
  std::set<std::string> names;
  for (Json::ArrayIndex i = 0; i < devices.size(); ++i) {
    const std::string p = fmt::format("devices[{}]", i);
    DeviceEntry s = read_device(r, devices[i], p, defs, dir);
    if (!ids.insert(s.id).second) r.fail(p + ".id", fmt::format("duplicate device id {}", s.id));
    if (!names.insert(s.name).second) r.fail(p + ".name", fmt::format("duplicate device name \"{}\"", s.name));
    site.devices.push_back(std::move(s));
  }
  if (root.isMember("http")) {
    const auto& h = root["http"];
    r.only(h, "http", {"listen", "token"});
    site.http.enabled = true;
    if (h.isMember("listen")) host_port(r, h["listen"], "http.listen", site.http.host, site.http.port);
    if (h.isMember("token")) site.http.token = r.text(h["token"], "http.token");
    if (!site.http.token.empty() && site.http.token.size() < 16)
      r.fail("http.token", "must be at least 16 characters");
    if (!IsLoopbackHost(site.http.host) && site.http.token.empty())
      r.fail("http.token", fmt::format("is required to listen on {}, which is not a loopback address",
                                        site.http.host));
  }
  if (root.isMember("mqtt")) {
    const auto& m = root["mqtt"];
    r.only(m, "mqtt", {"broker", "client_id", "topic_prefix", "username", "password_file", "keepalive_s"});
    site.mqtt.enabled = true;
    if (m.isMember("broker")) host_port(r, m["broker"], "mqtt.broker", site.mqtt.host, site.mqtt.port);
    if (site.mqtt.port == 0) r.fail("mqtt.broker", "port 0 cannot be dialled");
    if (m.isMember("client_id")) {
      site.mqtt.client_id = r.text(m["client_id"], "mqtt.client_id");
    } else {
      // Stable across restarts, so that subscribers find the default topic
      // prefix again: named after the site file.
      std::string stem = fs::path(path).stem().string();
      for (char& c : stem)
        if (!good_name(std::string(1, c))) c = '_';
      site.mqtt.client_id = "krthost-" + (stem.empty() ? std::string("site") : stem);
    }
    if (site.mqtt.client_id.size() > 23 * 10) r.fail("mqtt.client_id", "is too long");
    site.mqtt.topic_prefix = m.isMember("topic_prefix") ? r.text(m["topic_prefix"], "mqtt.topic_prefix")
                                                        : "krthost/" + site.mqtt.client_id;
    for (char c : site.mqtt.topic_prefix)
      if (c == '+' || c == '#') r.fail("mqtt.topic_prefix", "must not contain + or #");
    if (m.isMember("username")) site.mqtt.username = r.text(m["username"], "mqtt.username");
    if (m.isMember("password_file")) {
      const std::string p = resolve(dir, r.text(m["password_file"], "mqtt.password_file"));
      std::ifstream in(p, std::ios::binary);
      if (!in) r.fail("mqtt.password_file", p + " cannot be read");
      std::getline(in, site.mqtt.password);
      if (!site.mqtt.password.empty() && site.mqtt.password.back() == '\r') site.mqtt.password.pop_back();
    }
    if (m.isMember("keepalive_s"))
      site.mqtt.keepalive_s = static_cast<int>(r.integer(m["keepalive_s"], "mqtt.keepalive_s", 1, 65535));
  }
  return site;
}

SiteConfig LoadSite(const std::string& path) {
  const Reader r(path);
  const Json::Value root = read_json_file(r, path, "");
  std::error_code ec;
  const auto abs = fs::absolute(path, ec);
  const std::string dir = (ec ? fs::path(path) : abs).parent_path().string();
  return ParseSite(root, path, dir.empty() ? "." : dir);
}

}  // namespace krthost::site
