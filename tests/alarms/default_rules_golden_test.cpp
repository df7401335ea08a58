// Every report of one rich evaluation (two modules, two AC units, two DC
// units, entries for every family), in order, against a reviewed file.
// Set HVR_UPDATE_GOLDEN=1 to rewrite the file from the current output.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alarm_cycle.h"

using alarm_cycle::Entry;
using alarm_cycle::Module;
using testing_support::DeviceFixture;
using testing_support::Report;

namespace {

const char* const kGoldenPath = HVR_TEST_DATA_DIR "/alarms/default_rules_golden.tsv";

std::vector<Module> modules() {
  Module first{.alarm_state = 0x01};
  first.status[0] = 0x20;  // record byte 9 bit 5: current limiting
  Module second{.alarm_state = 0xFE};
  second.status[3] = 0x80;  // record byte 12 bit 7: PFC fault
  second.status[8] = 0x01;  // record byte 17 bit 0: communication fault
  return {first, second};
}

std::vector<Entry> alarms() {
  return {
      // Battery groups and modules.
      {0, 1, 9}, {0, 2, 16}, {0, 3, 1}, {0, 4, 8}, {0, 5, 12}, {0, 6, 3}, {0, 7, 64},
      {0, 8, 1}, {0, 9, 2}, {0, 10, 33}, {0, 11, 64},
      // AC units: power failure and branch current of unit 1, neutral
      // current, ATS manual state and branch 72 of unit 2.
      {1, 12, 13}, {1, 12, 59}, {1, 12, 89}, {2, 12, 52}, {2, 12, 56}, {2, 12, 160},
      // DC units: communication of unit 2; unit 1 row 19, offset 256, cabinet
      // 7, group 4 switch; unit 2 input switch, group B2 discharge,
      // environment high.
      {5, 13, 2}, {1, 14, 339}, {1, 14, 256}, {1, 14, 527}, {1, 14, 516},
      {2, 14, 563}, {2, 14, 1072}, {2, 14, 1113},
      // System.
      {0, 17, 0}, {0, 20, 1}, {0, 21, 1}, {0, 32, 1}, {0, 35, 1}, {0, 33, 1}, {0, 15, 1},
  };
}

std::string render(const std::vector<Report>& reports) {
  std::ostringstream out;
  for (const Report& r : reports) {
    out << r.kind << '\t' << r.key << '\t' << r.nm_id << '\t' << r.name << '\t' << r.desc << '\t'
        << (r.active ? 1 : 0) << '\t' << r.seq << '\n';
  }
  return out.str();
}

TEST(DefaultRuleSetGolden, RichConfigurationMatchesReviewedReports) {
  DeviceFixture f(alarm_cycle::config("0", 2, 2));
  alarm_cycle::run_cycle(f, modules(), alarms());
  const std::string actual = render(f.controller->reports);

  if (const char* update = std::getenv("HVR_UPDATE_GOLDEN"); update && std::string(update) == "1") {
    std::ofstream(kGoldenPath, std::ios::binary) << actual;
    GTEST_SKIP() << "golden file rewritten: " << kGoldenPath;
  }
  std::ifstream in(kGoldenPath, std::ios::binary);
  ASSERT_TRUE(in) << "missing " << kGoldenPath;
  std::stringstream expected;
  expected << in.rdbuf();

  // Line by line, so that a difference names its report.
  std::istringstream want(expected.str()), got(actual);
  std::string w, g;
  for (int line = 1; std::getline(want, w); ++line) {
    ASSERT_TRUE(std::getline(got, g)) << "missing report at line " << line << ": " << w;
    ASSERT_EQ(g, w) << "line " << line;
  }
  EXPECT_FALSE(std::getline(got, g)) << "extra report: " << g;
}

}  // namespace
