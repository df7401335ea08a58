// The fuzz drivers run on the committed seed corpora and on every input that
// once broke them (tests/fuzz_regressions/inputs/<target>/), so a fixed fault
// stays fixed and the drivers keep building with the normal compiler. A
// broken invariant aborts the test with its description.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz/drivers.h"

namespace {

namespace fs = std::filesystem;

struct Input {
  fs::path path;
  std::vector<std::uint8_t> bytes;
};

std::vector<Input> inputs_of(const std::string& target, bool seeds, bool regressions) {
  std::vector<fs::path> dirs;
  if (seeds) dirs.push_back(fs::path(HVR_TEST_DATA_DIR) / ".." / "fuzz" / "corpus" / target);
  if (regressions) dirs.push_back(fs::path(HVR_TEST_DATA_DIR) / "fuzz_regressions" / "inputs" / target);
  std::vector<Input> out;
  for (const fs::path& dir : dirs) {
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream f(entry.path(), std::ios::binary);
      out.push_back({entry.path(), std::vector<std::uint8_t>(std::istreambuf_iterator<char>(f), {})});
    }
  }
  return out;
}

template <class Driver>
void run_all(const std::string& target, Driver drive) {
  const auto inputs = inputs_of(target, true, true);
  ASSERT_FALSE(inputs.empty()) << "no seeds for " << target;
  for (const Input& in : inputs) {
    SCOPED_TRACE(in.path.string());
    drive(in.bytes.data(), in.bytes.size());
  }
}

TEST(FuzzRegression, FrameStreamInputs) { run_all("fuzz_frame_stream", fuzz::drive_frame_stream); }
TEST(FuzzRegression, DeviceCycleInputs) { run_all("fuzz_device_cycle", fuzz::drive_device_cycle); }
TEST(FuzzRegression, SettingsInputs) { run_all("fuzz_settings", fuzz::drive_settings); }
TEST(FuzzRegression, CacheRestoreInputs) { run_all("fuzz_cache_restore", fuzz::drive_cache_restore); }

// Campaigns (scripts/fuzz.sh) merge inputs into the corpus under libFuzzer's
// names, the SHA-1 of the input; the seed generator's seeds have names.
bool merged_entry(const fs::path& p) {
  const std::string n = p.filename().string();
  return n.size() == 40 && n.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The seeds are only useful while they still get through whole cycles: a
// change of the drivers' input layout or of the cycle shows up here.
TEST(FuzzRegression, CycleSeedsReachTheCycleEnd) {
  for (const char* target : {"fuzz_device_cycle", "fuzz_cache_restore"}) {
    for (const Input& in : inputs_of(target, true, false)) {
      if (merged_entry(in.path)) continue;
      const fuzz::Stats s = target == std::string("fuzz_device_cycle")
                                ? fuzz::drive_device_cycle(in.bytes.data(), in.bytes.size())
                                : fuzz::drive_cache_restore(in.bytes.data(), in.bytes.size());
      EXPECT_GE(s.cycle_ends, 1u) << in.path;
    }
  }
}

// Empty and absent inputs are inputs too.
TEST(FuzzRegression, EmptyInputs) {
  const std::uint8_t none[1] = {0};
  fuzz::drive_frame_stream(nullptr, 0);
  fuzz::drive_settings(none, 0);
  EXPECT_GE(fuzz::drive_device_cycle(nullptr, 0).cycle_ends, 1u);
  EXPECT_GE(fuzz::drive_cache_restore(none, 0).cycle_ends, 1u);
}

}  // namespace
