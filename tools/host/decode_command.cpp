#include "decode_command.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>

#include "config.h"
#include "options.h"
#include "snapshot_decoder.h"

namespace krthost {
namespace {

unsigned count(const std::string& option, const std::string& text, unsigned min) {
  unsigned v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || v < min || v > 255)
    throw UsageError(option + " needs a whole number from " + std::to_string(min) + " to 255, not \"" +
                     text + "\"");
  return v;
}

}  // namespace

int RunDecode(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string config_path, snapshot_path;
  std::optional<unsigned> ac, dc;
  decode::InputKind kind = decode::InputKind::kAuto;
  unsigned pick = 0;
  try {
    for (std::size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      auto value = [&]() -> const std::string& {
        if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
        return args[++i];
      };
      if (a == "--config") {
        config_path = value();
      } else if (a == "--ac") {
        ac = count(a, value(), 1);
      } else if (a == "--dc") {
        dc = count(a, value(), 0);
      } else if (a == "--pick") {
        const std::string& v = value();
        const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), pick);
        if (v.empty() || ec != std::errc{} || end != v.data() + v.size() || pick == 0)
          throw UsageError("--pick needs a snapshot number from 1, not \"" + v + "\"");
      } else if (a == "--input") {
        const std::string& v = value();
        if (v == "auto") kind = decode::InputKind::kAuto;
        else if (v == "raw") kind = decode::InputKind::kRaw;
        else if (v == "hex") kind = decode::InputKind::kHex;
        else if (v == "events") kind = decode::InputKind::kEvents;
        else throw UsageError("--input is one of auto, raw, hex, events, not \"" + v + "\"");
      } else if (a == "--help" || a == "-h") {
        out << Usage();
        return 0;
      } else if (a.size() > 1 && a[0] == '-') {
        throw UsageError("decode: unknown argument \"" + a + "\"");
      } else if (snapshot_path.empty()) {
        snapshot_path = a;
      } else {
        throw UsageError("decode: one snapshot at a time, \"" + a + "\" is one too many");
      }
    }
    if (snapshot_path.empty()) throw UsageError("decode needs a snapshot file (- for standard input)");
  } catch (const UsageError& e) {
    err << "krthost: " << e.what() << " (see krthost --help)" << std::endl;
    return 2;
  }

  unsigned ac_units = 1, dc_units = 1;
  try {
    if (!config_path.empty()) decode::UnitCounts(LoadConfig(config_path), ac_units, dc_units);
  } catch (const ConfigError& e) {
    err << "krthost: " << e.what() << std::endl;
    return 2;
  }
  if (ac) ac_units = *ac;
  if (dc) dc_units = *dc;

  std::string content;
  if (snapshot_path == "-") {
    content.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(snapshot_path, std::ios::binary);
    if (!in) {
      err << "krthost: snapshot " << snapshot_path << ": cannot be read: " << std::strerror(errno)
          << std::endl;
      return 2;
    }
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::vector<std::uint8_t> image;
  try {
    image = decode::ImageFromInput(content, kind, pick);
  } catch (const decode::InputError& e) {
    err << "krthost: snapshot " << snapshot_path << ": " << e.what() << std::endl;
    return 2;
  }

  const Json::Value decoded = decode::DecodeSnapshot(image.data(), image.size(), ac_units, dc_units);
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  builder["emitUTF8"] = true;
  builder["precision"] = 15;
  std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  writer->write(decoded, &out);
  out << "\n";
  out.flush();
  return decoded.isMember("error") ? 1 : 0;
}

}  // namespace krthost
