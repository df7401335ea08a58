// Configuration file reading and the threshold maps the host fills from it.
#include "config.h"

#include <cstdio>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

namespace {

using krthost::ConfigError;

Json::Value json(const std::string& text) {
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  Json::Value v;
  std::string errors;
  EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errors)) << errors;
  return v;
}

struct MapCase {
  const char* what;
  const char* config;
  std::map<std::string, int> levels;
  std::map<std::string, float> values;
  const char* error = nullptr;  // part of the expected error text
};

TEST(ThresholdMaps, TakesLevelAndValueOfEveryObjectMember) {
  const MapCase cases[] = {
      {"no thresholdSetting", R"({"appSetting":{}})", {}, {}},
      {"thresholdSetting not an object", R"({"thresholdSetting":[1,2]})", {}, {}},
      {"numbers", R"({"thresholdSetting":{"K":{"level":2,"value":242.5}}})", {{"K", 2}}, {{"K", 242.5f}}},
      {"texts with blanks", R"({"thresholdSetting":{"K":{"level":" 3 ","value":"187"}}})",
       {{"K", 3}}, {{"K", 187.0f}}},
      {"whole double level", R"({"thresholdSetting":{"K":{"level":1.0}}})", {{"K", 1}}, {}},
      {"negative value", R"({"thresholdSetting":{"K":{"value":"-0.5"}}})", {}, {{"K", -0.5f}}},
      {"null and absent members leave the maps alone",
       R"({"thresholdSetting":{"K":{"level":null},"L":{"value":1}}})", {}, {{"L", 1.0f}}},
      {"members that are not objects are skipped",
       R"({"thresholdSetting":{"K":"x","L":5,"M":{"level":"1"}}})", {{"M", 1}}, {}},
      {"level text not a number", R"({"thresholdSetting":{"K":{"level":"high"}}})", {}, {},
       "thresholdSetting.K.level"},
      {"fractional level", R"({"thresholdSetting":{"K":{"level":1.5}}})", {}, {}, "whole number"},
      {"level as boolean", R"({"thresholdSetting":{"K":{"level":true}}})", {}, {}, "level"},
      {"value with trailing text", R"({"thresholdSetting":{"K":{"value":"12V"}}})", {}, {}, "thresholdSetting.K.value"},
      {"value beyond float", R"({"thresholdSetting":{"K":{"value":1e300}}})", {}, {}, "not a number"},
      {"value as object", R"({"thresholdSetting":{"K":{"value":{}}}})", {}, {}, "value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::map<std::string, int> levels;
    std::map<std::string, float> values;
    if (c.error != nullptr) {
      try {
        krthost::FillThresholdMaps(json(c.config), levels, values);
        ADD_FAILURE() << "no error";
      } catch (const ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
      }
      continue;
    }
    krthost::FillThresholdMaps(json(c.config), levels, values);
    EXPECT_EQ(levels, c.levels);
    EXPECT_EQ(values, c.values);
  }
}

TEST(LoadConfig, RefusesWhatIsNotAJsonObject) {
  const std::string path = ::testing::TempDir() + "krthost_config_test.json";
  struct Case {
    const char* content;  // nullptr: no file
    const char* error;    // nullptr: loads
  } cases[] = {
      {nullptr, "cannot be read"},
      {"{\"appSetting\": {", "not valid JSON"},
      {"", "not valid JSON"},
      {"[1, 2]", "not a JSON object"},
      {"\"text\"", "not a JSON object"},
      {"{\"appSetting\": {\"b_mode\": \"2\"}}", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content ? c.content : "(no file)");
    std::remove(path.c_str());
    if (c.content != nullptr) std::ofstream(path) << c.content;
    try {
      const Json::Value v = krthost::LoadConfig(path);
      EXPECT_EQ(c.error, nullptr);
      EXPECT_EQ(v["appSetting"]["b_mode"].asString(), "2");
    } catch (const ConfigError& e) {
      ASSERT_NE(c.error, nullptr) << e.what();
      const std::string text = e.what();
      EXPECT_NE(text.find(c.error), std::string::npos) << text;
      EXPECT_NE(text.find(path), std::string::npos) << "names the file: " << text;
      EXPECT_EQ(text.find('\n'), std::string::npos) << "one line: " << text;
    }
  }
  std::remove(path.c_str());
}

}  // namespace
