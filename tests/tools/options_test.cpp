// The command line of krthost: what it accepts and the one-line errors for
// what it does not.
#include "options.h"

#include <gtest/gtest.h>

namespace {

using krthost::LineKind;
using krthost::Options;
using krthost::ParseOptions;
using krthost::UsageError;

TEST(Options, DefaultsRunTheBuiltInSimulatorUntilStopped) {
  const Options o = ParseOptions({});
  EXPECT_EQ(o.line, LineKind::kSimulate);
  EXPECT_TRUE(o.scenario_path.empty());
  EXPECT_FALSE(o.cycles.has_value());
  EXPECT_EQ(o.device_id, 1u);
  EXPECT_TRUE(o.config_path.empty());
  EXPECT_TRUE(o.plugin.empty());
}

TEST(Options, ReadsLinesAndLists) {
  Options o = ParseOptions({"--tcp", "127.0.0.1:4001", "--query", "va1,out_v", "--query", "ac",
                            "--cycles", "5", "--device-id", "4294967295"});
  EXPECT_EQ(o.line, LineKind::kTcp);
  EXPECT_EQ(o.tcp_host, "127.0.0.1");
  EXPECT_EQ(o.tcp_port, 4001);
  EXPECT_EQ(o.queries, (std::vector<std::string>{"va1", "out_v", "ac"}));
  EXPECT_EQ(o.cycles, 5);
  EXPECT_EQ(o.device_id, 4294967295u);

  o = ParseOptions({"--tcp", "[::1]:502"});
  EXPECT_EQ(o.tcp_host, "::1");
  EXPECT_EQ(o.tcp_port, 502);

  o = ParseOptions({"--serial", "/dev/ttyUSB0", "--baud", "19200"});
  EXPECT_EQ(o.serial_device, "/dev/ttyUSB0");
  EXPECT_EQ(o.baud, 19200u);

  // The scenario of --simulate is optional.
  o = ParseOptions({"--simulate", "--cycles", "1"});
  EXPECT_TRUE(o.scenario_path.empty());
  o = ParseOptions({"--simulate", "site.json", "--cycles", "1"});
  EXPECT_EQ(o.scenario_path, "site.json");
}

TEST(Options, RefusesBadInputWithOneLineNamingIt) {
  const struct {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{"--bogus"}, "unknown argument \"--bogus\""},
      {{"extra"}, "unknown argument \"extra\""},
      {{"--cycles"}, "--cycles needs a value"},
      {{"--cycles", "0"}, "--cycles needs a whole number from 1"},
      {{"--cycles", "-3"}, "--cycles"},
      {{"--cycles", "5x"}, "\"5x\""},
      {{"--device-id", "4294967296"}, "--device-id"},
      {{"--interval-ms", "1.5"}, "--interval-ms"},
      {{"--reply-timeout-ms", "0"}, "--reply-timeout-ms"},
      {{"--tcp", "localhost"}, "not HOST:PORT"},
      {{"--tcp", "localhost:70000"}, "port from 0 to 65535"},
      {{"--tcp", ":80"}, "--tcp"},
      {{"--tcp", "127.0.0.1:0"}, "port 0"},
      {{"--serial", ""}, "--serial"},
      {{"--serial", "/dev/ttyS0", "--baud", "1234"}, "not a supported rate"},
      {{"--baud", "9600"}, "--baud applies to --serial only"},
      {{"--tcp", "h:1", "--serial", "/dev/ttyS0"}, "exclude each other"},
      {{"--simulate", "--tcp", "h:1"}, "exclude each other"},
      {{"--tcp", "h:1", "--sim-rate", "960"}, "--sim-rate applies"},
      {{"--query", "va1,,ac"}, "empty name"},
      {{"--query", ""}, "empty name"},
      {{"--events", ""}, "--events"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    try {
      ParseOptions(c.args);
      ADD_FAILURE() << "accepted";
    } catch (const UsageError& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find(c.error), std::string::npos) << text;
      EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    }
  }
}

}  // namespace
