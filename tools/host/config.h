// The device configuration as the host reads it, and the host's level and
// value maps that the mobile rule set reads.
#pragma once

#include <map>
#include <stdexcept>
#include <string>

#include <json/json.h>

namespace krthost {

// An unreadable or unusable configuration; the text names file and problem.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a configuration file: a JSON object. Throws ConfigError.
Json::Value LoadConfig(const std::string& path);

// For every member K of thresholdSetting whose value is an object: its
// "level" (text or number, a whole number) goes to levels[K], its "value"
// (text or number) to values[K]. Absent or null members leave the maps as
// they are. Throws ConfigError for a level or value that is not a number.
void FillThresholdMaps(const Json::Value& config, std::map<std::string, int>& levels,
                       std::map<std::string, float>& values);

}  // namespace krthost
