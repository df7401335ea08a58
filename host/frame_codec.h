// ASCII-hex frame codec of the controller line.
//
//   ~ VER ADR CID1 CID2 LENGTH   INFO          CHKSUM  CR
//   7E 2hex 2hex 2hex 2hex 4hex  LENID hex     4hex    0D
//
// LENGTH = LCHKSUM (top 4 bits) | LENID (low 12 bits, ASCII characters of
// INFO). LCHKSUM = -(sum of the three hex digits of LENID) mod 16.
// CHKSUM = -(sum of the ASCII codes between SOI and CHKSUM) mod 65536.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace frame {

inline constexpr std::uint8_t kSoi = 0x7E;
inline constexpr std::uint8_t kEoi = 0x0D;
// Header (VER ADR CID1 CID2 LENGTH) and CHKSUM, in characters.
inline constexpr std::size_t kHeaderChars = 12;
inline constexpr std::size_t kChecksumChars = 4;
inline constexpr std::size_t kMaxInfoChars = 0x0FFF;
inline constexpr std::size_t kMaxFrameChars = kHeaderChars + kMaxInfoChars + kChecksumChars;

std::uint8_t lchksum(std::uint16_t lenid);
std::uint16_t chksum(std::string_view chars);

// Encodes one frame, SOI and EOI included. Info longer than the 12-bit
// length field allows is cut to the longest whole-byte info that fits.
std::string encode(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1, std::uint8_t cid2,
                   std::span<const std::uint8_t> info);

enum class Error {
  kNonHex,          // a character that is not a hex digit
  kTooShort,        // fewer characters than header and checksum
  kTooLong,         // more characters than the longest frame
  kLengthChecksum,  // LCHKSUM does not fit LENID
  kLengthMismatch,  // LENID differs from the INFO characters received
  kChecksum,        // CHKSUM does not fit the characters
  kInterrupted,     // a new SOI arrived before EOI
};
const char* describe(Error e);

// Decoded reply as devices read it:
// [VER, ADR, CID1, RTN, LENID & 0xFF, LENID >> 8, info bytes...].
// An odd LENID decodes the whole bytes and drops the odd last digit.
struct Frame {
  std::vector<std::uint8_t> bytes;
  std::string text;  // the characters between SOI and EOI, as received
};

// Checks and decodes the characters between SOI and EOI.
bool decode(std::string_view chars, Frame& out, Error& error);

// Finds frames in a byte stream delivered in any chunking. Bytes outside a
// frame are skipped; every frame that ends in EOI is decoded and handed to
// on_frame, every bad one to on_error.
class StreamDecoder {
 public:
  using FrameFn = std::function<void(const Frame&)>;
  using ErrorFn = std::function<void(Error, std::string_view chars)>;

  void feed(const std::uint8_t* data, std::size_t size, const FrameFn& on_frame,
            const ErrorFn& on_error);
  void reset();
  // True while part of a frame has been received.
  bool in_frame() const { return in_frame_; }

 private:
  std::string chars_;
  bool in_frame_ = false;
  bool overflow_ = false;
  Frame frame_;
};

}  // namespace frame
