// The site file of `krthost serve`: which devices to run, on which lines,
// where the history goes and what is offered northbound. Everything is
// checked before anything starts; an unknown member is an error.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/json.h>

#include "history_store.h"

namespace krthost::site {

// A site file that cannot be used: "FILE: MEMBER: problem".
class SiteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class SiteLine { kTcp, kSerial, kSimulate };

struct DeviceEntry {
  std::uint32_t id = 0;
  std::string name;
  Json::Value config{Json::objectValue};  // the device's configuration
  SiteLine line = SiteLine::kSimulate;
  std::string tcp_host;
  std::uint16_t tcp_port = 0;
  std::string serial_device;
  std::uint32_t baud = 0;        // 0: the device's own rate
  std::string scenario_path;     // simulator scenario; empty: the default one
  std::string plugin;            // absolute path
  int interval_ms = 5000;
  int reply_timeout_ms = 2000;
  int byte_timeout_ms = 200;
  std::vector<std::string> queries;
  int comm_lost_after = 3;
  // The device's resolved settings as text: two confs with the same
  // fingerprint run the same device the same way (SIGHUP compares them).
  std::string fingerprint;

  std::string LineText() const;
};

struct HttpSettings {
  bool enabled = false;
  std::string host = "127.0.0.1";
  std::uint16_t port = 9838;
  std::string token;  // empty: no token needed (loopback only)
};

struct MqttSettings {
  bool enabled = false;
  std::string host = "127.0.0.1";
  std::uint16_t port = 1883;
  std::string client_id;
  std::string topic_prefix;  // default "krthost/<client_id>"
  std::string username;
  std::string password;      // read from password_file, never logged
  int keepalive_s = 30;
};

struct SiteConfig {
  std::string path;      // the site file
  std::string data_dir;  // absolute
  Retention retention;
  std::vector<DeviceEntry> devices;
  HttpSettings http;
  MqttSettings mqtt;
};

// Reads and checks a site file. Throws SiteError.
SiteConfig LoadSite(const std::string& path);
// The same for a parsed document; relative paths are relative to `dir`.
SiteConfig ParseSite(const Json::Value& root, const std::string& path, const std::string& dir);

// True for 127.0.0.0/8, ::1 and "localhost".
bool IsLoopbackHost(const std::string& host);

}  // namespace krthost::site
