#include "line_capture.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>

#include <fmt/chrono.h>
#include <fmt/format.h>

namespace sim {
namespace {

constexpr const char* kFirstLine = "# krthost line capture 1";

std::string now_text() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  ::localtime_r(&t, &local);
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000;
  return fmt::format("{:%Y-%m-%d %H:%M:%S}.{:06}", local, us);
}

// Days since 1970-01-01 of a proleptic Gregorian date.
long days_from_civil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

// "YYYY-MM-DD" and "HH:MM:SS[.ffffff]" as seconds; false when malformed.
bool parse_time(const std::string& date, const std::string& time, double& seconds) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0;
  char tail[2];
  if (date.size() != 10 || std::sscanf(date.c_str(), "%4d-%2d-%2d%1s", &y, &mo, &d, tail) != 3) return false;
  if (time.size() < 8 || std::sscanf(time.c_str(), "%2d:%2d:", &h, &mi) != 2 || time[5] != ':') return false;
  const std::string sec = time.substr(6);
  if (sec.size() < 2 || !std::isdigit(static_cast<unsigned char>(sec[0])) ||
      !std::isdigit(static_cast<unsigned char>(sec[1])))
    return false;
  double s = 0;
  std::size_t used = 0;
  try {
    s = std::stod(sec, &used);
  } catch (const std::exception&) {
    return false;
  }
  if (used != sec.size() || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s >= 61)
    return false;
  seconds = static_cast<double>(days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d))) *
                86400.0 +
            h * 3600.0 + mi * 60.0 + s;
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

CaptureWriter::CaptureWriter(std::ostream& out) : out_(out) {
  out_ << kFirstLine << "\n# started " << now_text()
       << "; fields: date, time, TX (host to controller) or RX (controller to host), bytes in hex\n";
  out_.flush();
}

void CaptureWriter::Bytes(Direction direction, const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size == 0) return;
  std::string line = now_text();
  line += direction == Direction::kTx ? " TX " : " RX ";
  for (std::size_t i = 0; i < size; ++i) line += fmt::format("{:02X}", data[i]);
  out_ << line << '\n';
  out_.flush();
}

void CaptureWriter::Note(std::string_view text) {
  std::string t(text);
  std::replace(t.begin(), t.end(), '\n', ' ');
  std::replace(t.begin(), t.end(), '\r', ' ');
  out_ << "# " << now_text() << ' ' << t << '\n';
  out_.flush();
}

std::vector<CaptureChunk> ParseCapture(const std::string& text) {
  std::vector<CaptureChunk> out;
  std::istringstream in(text);
  std::string line;
  unsigned number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::istringstream fields(line);
    std::string date, time, direction;
    fields >> date >> time >> direction;
    auto bad = [&](const std::string& why) {
      return CaptureError(fmt::format("capture line {}: {}", number, why));
    };
    CaptureChunk c;
    if (!parse_time(date, time, c.seconds)) throw bad("no date and time at the start");
    if (direction == "TX") c.direction = Direction::kTx;
    else if (direction == "RX") c.direction = Direction::kRx;
    else throw bad("the direction is \"" + direction + "\", not TX or RX");
    int high = -1;
    char ch = 0;
    while (fields.get(ch)) {
      if (ch == ' ' || ch == '\t') continue;
      const int v = hex_value(ch);
      if (v < 0) throw bad(fmt::format("'{}' is not a hex digit", ch));
      if (high < 0) {
        high = v;
      } else {
        c.bytes.push_back(static_cast<char>(high << 4 | v));
        high = -1;
      }
    }
    if (high >= 0) throw bad("an odd number of hex digits");
    if (c.bytes.empty()) throw bad("no bytes");
    out.push_back(std::move(c));
  }
  return out;
}

}  // namespace sim
