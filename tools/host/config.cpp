#include "config.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

namespace krthost {
namespace {

std::string trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

[[noreturn]] void bad(const std::string& key, const char* member, const Json::Value& v,
                      const char* expected) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  w["emitUTF8"] = true;
  throw ConfigError("config: thresholdSetting." + key + "." + member + " " +
                    Json::writeString(w, v).substr(0, 40) + " is not " + expected);
}

int read_level(const std::string& key, const Json::Value& v) {
  if (v.isString()) {
    const std::string t = trimmed(v.asString());
    int out = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
    if (!t.empty() && ec == std::errc{} && end == t.data() + t.size()) return out;
  } else if (v.isInt()) {
    return v.asInt();
  } else if (v.isDouble() && std::floor(v.asDouble()) == v.asDouble() &&
             std::fabs(v.asDouble()) <= std::numeric_limits<int>::max()) {
    return static_cast<int>(v.asDouble());
  }
  bad(key, "level", v, "a whole number");
}

float read_value(const std::string& key, const Json::Value& v) {
  double d = 0;
  bool ok = false;
  if (v.isString()) {
    const std::string t = trimmed(v.asString());
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), d);
    ok = !t.empty() && ec == std::errc{} && end == t.data() + t.size();
  } else if (v.isNumeric() && !v.isBool()) {
    d = v.asDouble();
    ok = true;
  }
  if (!ok || !std::isfinite(d) || std::fabs(d) > std::numeric_limits<float>::max())
    bad(key, "value", v, "a number");
  return static_cast<float>(d);
}

}  // namespace

Json::Value LoadConfig(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError("config " + path + ": cannot be read: " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  const std::string s = text.str();
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  if (!reader->parse(s.data(), s.data() + s.size(), &root, &errors))
    throw ConfigError("config " + path + ": not valid JSON: " + errors.substr(0, errors.find('\n')));
  if (!root.isObject()) throw ConfigError("config " + path + ": the top level is not a JSON object");
  return root;
}

void FillThresholdMaps(const Json::Value& config, std::map<std::string, int>& levels,
                       std::map<std::string, float>& values) {
  if (!config.isObject()) return;
  const Json::Value& ts = config["thresholdSetting"];
  if (!ts.isObject()) return;  // only an object has named members
  for (auto it = ts.begin(); it != ts.end(); ++it) {
    if (!it->isObject()) continue;
    const std::string key = it.name();
    const Json::Value& level = (*it)["level"];
    const Json::Value& value = (*it)["value"];
    if (!level.isNull()) levels[key] = read_level(key, level);
    if (!value.isNull()) values[key] = read_value(key, value);
  }
}

}  // namespace krthost
