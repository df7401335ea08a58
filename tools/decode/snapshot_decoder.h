// Reads a type-5029 snapshot image back into its records, as JSON, for
// people who debug with what the system stored. The layout is read with its
// own offsets, independent of the record structures that wrote it.
//
//   0 header(16) | AC units 51*A | DC units 219*D | 0x95 block(6)
//     | modules 68*M | 0xA3 block(144) | 0x93 word(2) | alarm items 4*N ...
//
// A and D are not in the image: they come from the device configuration.
// M is the header's module count. The alarm items have no count: they run
// to the end of the image and stop at the first all-zero item.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/json.h>

namespace decode {

// Decodes as much of the image as is there. Never throws on image content.
//
// The result always has "size", "ac_units", "dc_units" and "truncated".
// A record that does not fit whole ends the decoding: "truncated" is true
// and "truncated_in" names the section ("header", "ac", "dc", "block_95",
// "modules", "block_a3", "word_93"); a snapshot buffer sized for fewer
// units or modules than the device later held is cut this way. An image
// that cannot be read at all (shorter than its header) also has "error".
// "warnings" lists things that do not fit together (a size that no module
// count explains, module numbers out of order), when there are any.
Json::Value DecodeSnapshot(const std::uint8_t* data, std::size_t size, unsigned ac_units,
                           unsigned dc_units);

// The output voltage and module count at the start of the header, for a
// one-line summary; false when the image is too short for them (9 bytes).
bool HeaderSummary(const std::uint8_t* data, std::size_t size, float& output_voltage,
                   unsigned& module_count);

// An input that cannot be turned into image bytes.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class InputKind { kAuto, kRaw, kHex, kEvents };

// Turns the content of a file into image bytes:
// - kRaw: the bytes as they are;
// - kHex: hex digits, white space ignored;
// - kEvents: JSON lines of the host's event stream; the snapshot event
//   number `pick` (1 the first, 0 the last) is taken, or else a history
//   event. A single line holding only {"data": "..."} works too.
// kAuto picks kEvents when the text starts with '{', kHex when it is only
// hex digits and white space, else kRaw. Throws InputError.
std::vector<std::uint8_t> ImageFromInput(const std::string& content, InputKind kind, unsigned pick = 0);

// The device's AC and DC unit counts as the device reads them from its
// configuration: appSetting.ac_number (at least 1, default 1) and
// appSetting.dc_number (at least 0, default 1), values read as text.
void UnitCounts(const Json::Value& config, unsigned& ac_units, unsigned& dc_units);

}  // namespace decode
