// The site host's fuzz drivers on their seeds and on every input that once
// broke them (tests/fuzz_regressions/inputs/<target>/). A broken invariant
// aborts the test with its description.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz/site_drivers.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::pair<fs::path, std::string>> inputs_of(const std::string& target) {
  std::vector<std::pair<fs::path, std::string>> out;
  for (const fs::path& dir : {fs::path(HVR_TEST_DATA_DIR) / ".." / "fuzz" / "corpus" / target,
                              fs::path(HVR_TEST_DATA_DIR) / "fuzz_regressions" / "inputs" / target}) {
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      std::ifstream f(entry.path(), std::ios::binary);
      out.emplace_back(entry.path(), std::string(std::istreambuf_iterator<char>(f), {}));
    }
  }
  return out;
}

const std::uint8_t* bytes(std::string_view s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

TEST(SiteFuzzRegression, SiteFileInputs) {
  const auto inputs = inputs_of("fuzz_site_file");
  ASSERT_FALSE(inputs.empty());
  // A campaign keeps inputs that are not JSON, or that name files outside,
  // when they reach new code: the driver skips those (false). Every input
  // must pass the driver's checks, and the corpus must hold site files
  // that get through to the parser.
  std::size_t parsed = 0;
  for (const auto& [path, text] : inputs) {
    SCOPED_TRACE(path.string());
    if (fuzz::drive_site_file(bytes(text), text.size())) ++parsed;
  }
  EXPECT_GT(parsed, inputs.size() / 4);
  // A config_file or password_file that leaves the scratch directory is skipped.
  for (const std::string_view text :
       {R"({"devices": [{"id": 1, "name": "a", "simulate": true, "config_file": "/etc/passwd"}]})",
        R"({"devices": [{"id": 1, "name": "a", "simulate": true}], "mqtt": {"password_file": "a/../../x"}})"})
    EXPECT_FALSE(fuzz::drive_site_file(bytes(text), text.size())) << text;
}

TEST(SiteFuzzRegression, HttpRequestInputs) {
  const auto inputs = inputs_of("fuzz_http_request");
  ASSERT_FALSE(inputs.empty());
  for (const auto& [path, text] : inputs) {
    SCOPED_TRACE(path.string());
    fuzz::drive_http_request(bytes(text), text.size());
  }
  fuzz::drive_http_request(nullptr, 0);
}

}  // namespace
