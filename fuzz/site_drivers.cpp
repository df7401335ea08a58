#include "fuzz/site_drivers.h"

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <json/json.h>

#include "fuzz/checking_host.h"
#include "fuzz/input.h"
#include "http_api.h"
#include "site_config.h"

namespace fuzz {

namespace site = krthost::site;

namespace {

// Relative paths of the fuzzed site file resolve here: nothing is there.
constexpr const char* kNoDir = "/nonexistent/krthost-fuzz-site";

bool names_outside(const Json::Value& v) {
  if (!v.isString()) return false;
  const std::string p = v.asString();
  return p.empty() || p[0] == '/' || p.find("..") != std::string::npos;
}

// True when the site file would read a file outside kNoDir.
bool reads_files(const Json::Value& root) {
  if (!root.isObject()) return false;
  const Json::Value& devices = root["devices"];
  if (devices.isArray())
    for (const Json::Value& d : devices)
      if (d.isObject() && d.isMember("config_file") && names_outside(d["config_file"])) return true;
  const Json::Value& mqtt = root["mqtt"];
  return mqtt.isObject() && mqtt.isMember("password_file") && names_outside(mqtt["password_file"]);
}

bool parse_strict(std::string_view text, Json::Value& root) {
  // As LoadSite reads the file.
  Json::CharReaderBuilder b;
  b["collectComments"] = false;
  b["rejectDupKeys"] = true;
  const std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  std::string errors;
  try {
    return reader->parse(text.data(), text.data() + text.size(), &root, &errors);
  } catch (const std::exception&) {
    return false;  // nested too deeply
  }
}

}  // namespace

bool drive_site_file(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), data ? size : 0);
  Json::Value root;
  if (!parse_strict(text, root) || reads_files(root)) return false;
  try {
    const site::SiteConfig cfg = site::ParseSite(root, "fuzz.site", kNoDir);
    expect(!cfg.devices.empty(), "a site has devices");
    std::set<std::uint32_t> ids;
    std::set<std::string> names;
    for (const site::DeviceEntry& d : cfg.devices) {
      expect(d.id != 0 && ids.insert(d.id).second, "device ids are unique and nonzero");
      expect(!d.name.empty() && d.name.size() <= 64 && names.insert(d.name).second,
             "device names are unique, 1..64 characters");
      expect(d.config.isObject(), "a device's configuration is an object");
      expect(d.interval_ms >= 10 && d.reply_timeout_ms >= 1 && d.byte_timeout_ms >= 1 &&
                 d.comm_lost_after >= 1,
             "timings are in range");
      expect(!d.fingerprint.empty(), "a device has a fingerprint");
    }
    if (cfg.http.enabled) {
      expect(cfg.http.token.empty() || cfg.http.token.size() >= 16, "a token has 16 characters");
      expect(!cfg.http.token.empty() || site::IsLoopbackHost(cfg.http.host),
             "beyond loopback only with a token");
    }
    if (cfg.mqtt.enabled) {
      expect(cfg.mqtt.port != 0, "the broker has a port");
      expect(cfg.mqtt.topic_prefix.find_first_of("+#") == std::string::npos,
             "the topic prefix has no wildcard");
    }
  } catch (const site::SiteError& e) {
    expect(std::string_view(e.what()).rfind("fuzz.site: ", 0) == 0, "a site error names the file");
  }
  return true;
}

namespace {

constexpr std::string_view kToken = "fuzz-token-0123456789abcdef";

std::shared_ptr<site::DeviceStatus> plant_device() {
  auto s = std::make_shared<site::DeviceStatus>();
  s->id = 7;
  s->name = "plant-1";
  s->line = "tcp 127.0.0.1:4001";
  s->outcome = "complete";
  s->state = 0;
  s->data_ready = 1;
  s->up = true;
  s->last_poll = "2024-03-01T12:00:00";
  s->last_complete = "2024-03-01T12:00:01";
  s->last_complete_unix = 1709294401;
  s->polls = 12;
  s->outcomes["complete"] = 11;
  s->protocol_errors["checksum"] = 2;
  s->values = {{"out_v", 53.5}, {"va1", 230.25}, {"ac", 0}};
  site::AlarmInstance a;
  a.device_id = 7;
  a.key = "hvr38qt_1";
  a.nm_id = "220600120010";
  a.seq = 1;
  a.kind = 2;
  a.name = "交流过压";
  a.desc = "\"quoted\" \\ text";
  a.raised_at = "2024-03-01T11:59:00";
  s->active_alarms = {a};
  s->recent.Push({"2024-03-01T12:00:00", "complete", 120, 0, 0, 0, ""});
  s->recent.Push({"2024-03-01T11:59:55", "timeout", 2000, 3, 1, 1, "no reply"});
  s->published = site::SysClock::now();
  return s;
}

// The response checks shared by both hosts.
void check_response(const site::HttpResponse& r) {
  expect(r.status >= 200 && r.status <= 599, "status in 200..599");
  if (r.content_type.rfind("application/json", 0) == 0) {
    Json::CharReaderBuilder b;
    b["strictRoot"] = true;
    b["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    Json::Value v;
    std::string errors;
    expect(reader->parse(r.body.data(), r.body.data() + r.body.size(), &v, &errors),
           "a JSON body parses");
    if (r.status >= 400) expect(v.isObject() && v["error"].isString(), "an error body names the error");
  }
  expect(!r.content_type.empty(), "every response has a content type");
}

std::string field(std::string_view& rest) {
  const std::size_t end = rest.find('\0');
  const std::string out(rest.substr(0, end));
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return out;
}

}  // namespace

void drive_http_request(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const std::uint8_t flags = in.u8();
  const unsigned ac = in.u8() % 8;
  const unsigned dc = in.u8() % 8;
  auto snapshot = std::make_shared<std::vector<unsigned char>>(in.bytes(std::min<std::size_t>(in.u16(), in.left())));
  const std::vector<std::uint8_t> tail = in.bytes(in.left());
  std::string_view rest(reinterpret_cast<const char*>(tail.data()), tail.size());

  site::HttpRequest req;
  req.path = field(rest);
  req.query = field(rest);
  req.authorization = field(rest);
  const std::string method = field(rest);
  static constexpr const char* kMethods[] = {"GET", "HEAD", "POST"};
  req.method = (flags & 3) < 3 ? kMethods[flags & 3] : method;
  const bool right_token = (flags & 4) != 0;
  if (right_token) req.authorization = "Bearer " + std::string(kToken);
  if ((flags & 8) != 0) req.query += (req.query.empty() ? "token=" : "&token=") + std::string(kToken);

  // One device with a poll history and an alarm, one with the input's
  // snapshot; made anew each run, as the workers publish new records.
  site::StatusBoard board;
  board.Publish(plant_device());
  auto second = std::make_shared<site::DeviceStatus>();
  second->id = 9;
  second->name = "plant-2";
  second->snapshot = snapshot;
  second->snapshot_at = "2024-03-01T12:00:00";
  second->ac_units = ac;
  second->dc_units = dc;
  second->published = site::SysClock::now();
  board.Publish(second);

  site::HttpSettings open;
  const site::HttpApi open_api(open, board, nullptr);
  const site::HttpResponse a = open_api.Handle(req);
  check_response(a);
  expect(a.status != 401, "no 401 without a token set");

  site::HttpSettings guarded;
  guarded.token = std::string(kToken);
  const site::HttpApi guarded_api(guarded, board, nullptr);
  const site::HttpResponse b = guarded_api.Handle(req);
  check_response(b);
  if (right_token) {
    expect(b.status != 401, "the right token is let in");
    expect(b.status == a.status, "with the right token the answer is the open host's");
  } else if (!(b.status == 200 && b.body == "ok") && (flags & 8) == 0) {
    // Refused before the check (method, target length, malformed path or
    // query) or for the token: nothing else gets through.
    expect(b.status == 401 || b.status == 405 || b.status == 414 || b.status == 400,
           "without the token only the health check answers");
  }
}

}  // namespace fuzz
