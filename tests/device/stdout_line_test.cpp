// The trace lines on standard output are required output: whatever state
// the host left std::cout in, a line carries the bytes that streaming its
// parts would.
#include "device/stdout_line.h"

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <locale>
#include <sstream>
#include <string>

namespace {

// Groups digits by threes with a dot, as some locales do.
struct Grouping : std::numpunct<char> {
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(StdoutLine, BytesAreThoseOfTheStreamInEveryStreamState) {
  const struct {
    const char* name;
    std::function<void(std::ostream&)> set;
  } cases[] = {
      {"default", [](std::ostream&) {}},
      {"hex", [](std::ostream& o) { o << std::hex; }},
      {"showpos", [](std::ostream& o) { o << std::showpos; }},
      {"width", [](std::ostream& o) { o.width(20); }},
      {"grouping locale", [](std::ostream& o) { o.imbue(std::locale(std::locale::classic(), new Grouping)); }},
  };
  // A key longer than the line buffer takes the stream's path.
  for (const std::string& key : {std::string("120600020010"), std::string(300, '7')})
  for (const auto& c : cases) {
    std::ostringstream expected;
    c.set(expected);
    expected << "fenwa data_id:" << 1234567u << " before check " << key << " level:" << -40 << " value:" << 1
             << '\n';

    std::ostringstream captured;
    std::streambuf* saved = std::cout.rdbuf(captured.rdbuf());
    const std::ios_base::fmtflags flags = std::cout.flags();
    const std::locale locale = std::cout.getloc();
    c.set(std::cout);
    hvr38qt::write_stdout_line("fenwa data_id:", 1234567u, " before check ", key, " level:", -40, " value:", 1);
    std::cout.flags(flags);
    std::cout.width(0);
    std::cout.imbue(locale);
    std::cout.rdbuf(saved);
    EXPECT_EQ(captured.str(), expected.str()) << c.name << ", key of " << key.size();
  }
}

}  // namespace
