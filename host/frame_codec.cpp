#include "frame_codec.h"

#include <algorithm>
#include <array>

namespace frame {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Digit values by character, -1 for a character that is not a hex digit: a
// lookup instead of three range tests, for every character on the line.
constexpr std::array<std::int8_t, 256> kHexValues = [] {
  std::array<std::int8_t, 256> t{};
  t.fill(-1);
  for (int c = '0'; c <= '9'; ++c) t[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) t[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) t[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - 'a' + 10);
  return t;
}();

int hex_value(char c) { return kHexValues[static_cast<unsigned char>(c)]; }

// Reads 2*n hex characters at pos as a big-endian number.
bool read_hex(std::string_view s, std::size_t pos, std::size_t digits, unsigned& out) {
  if (pos + digits > s.size()) return false;
  unsigned v = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    const int d = hex_value(s[pos + i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<unsigned>(d);
  }
  out = v;
  return true;
}


}  // namespace

std::uint8_t lchksum(std::uint16_t lenid) {
  const unsigned sum = (lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF);
  return static_cast<std::uint8_t>((16 - sum % 16) % 16);
}

std::uint16_t chksum(std::string_view chars) {
  unsigned sum = 0;
  for (char c : chars) sum += static_cast<unsigned char>(c);
  return static_cast<std::uint16_t>((0x10000u - (sum & 0xFFFFu)) & 0xFFFFu);
}

std::string encode(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1, std::uint8_t cid2,
                   std::span<const std::uint8_t> info) {
  const std::size_t bytes = std::min(info.size(), kMaxInfoChars / 2);
  const auto lenid = static_cast<std::uint16_t>(bytes * 2);
  const unsigned length = (static_cast<unsigned>(lchksum(lenid)) << 12) | lenid;
  // Written digit by digit into a buffer sized once: a frame is encoded for
  // every request, and a long reply is some 4000 characters.
  std::string out(1 + kHeaderChars + lenid + kChecksumChars + 1, '\0');
  std::size_t at = 0;
  out[at++] = static_cast<char>(kSoi);
  auto put = [&](unsigned value, unsigned digits) {
    for (unsigned d = digits; d > 0; --d) out[at++] = kHexDigits[(value >> (4 * (d - 1))) & 0xF];
  };
  put(ver, 2);
  put(adr, 2);
  put(cid1, 2);
  put(cid2, 2);
  put(length, 4);
  for (std::size_t i = 0; i < bytes; ++i) put(info[i], 2);
  put(chksum(std::string_view(out).substr(1, at - 1)), 4);
  out[at++] = static_cast<char>(kEoi);
  return out;
}

const char* describe(Error e) {
  switch (e) {
    case Error::kNonHex: return "non-hex character";
    case Error::kTooShort: return "frame too short";
    case Error::kTooLong: return "frame too long";
    case Error::kLengthChecksum: return "length checksum mismatch";
    case Error::kLengthMismatch: return "length does not match info";
    case Error::kChecksum: return "checksum mismatch";
    case Error::kInterrupted: return "frame interrupted by a new start";
  }
  return "unknown frame error";
}

bool decode(std::string_view chars, Frame& out, Error& error) {
  if (chars.size() > kMaxFrameChars) {
    error = Error::kTooLong;
    return false;
  }
  for (char c : chars) {
    if (hex_value(c) < 0) {
      error = Error::kNonHex;
      return false;
    }
  }
  if (chars.size() < kHeaderChars + kChecksumChars) {
    error = Error::kTooShort;
    return false;
  }
  unsigned ver = 0, adr = 0, cid1 = 0, cid2 = 0, length = 0, sum = 0;
  read_hex(chars, 0, 2, ver);
  read_hex(chars, 2, 2, adr);
  read_hex(chars, 4, 2, cid1);
  read_hex(chars, 6, 2, cid2);
  read_hex(chars, 8, 4, length);
  const auto lenid = static_cast<std::uint16_t>(length & 0x0FFF);
  if ((length >> 12) != lchksum(lenid)) {
    error = Error::kLengthChecksum;
    return false;
  }
  const std::size_t info_chars = chars.size() - kHeaderChars - kChecksumChars;
  if (info_chars != lenid) {
    error = Error::kLengthMismatch;
    return false;
  }
  const std::size_t sum_pos = chars.size() - kChecksumChars;
  read_hex(chars, sum_pos, 4, sum);
  if (sum != chksum(chars.substr(0, sum_pos))) {
    error = Error::kChecksum;
    return false;
  }
  out.bytes.clear();
  out.bytes.reserve(6 + info_chars / 2);
  out.bytes.push_back(static_cast<std::uint8_t>(ver));
  out.bytes.push_back(static_cast<std::uint8_t>(adr));
  out.bytes.push_back(static_cast<std::uint8_t>(cid1));
  out.bytes.push_back(static_cast<std::uint8_t>(cid2));
  out.bytes.push_back(static_cast<std::uint8_t>(lenid & 0xFF));
  out.bytes.push_back(static_cast<std::uint8_t>(lenid >> 8));
  for (std::size_t i = 0; i + 1 < info_chars; i += 2) {
    unsigned b = 0;
    read_hex(chars, kHeaderChars + i, 2, b);
    out.bytes.push_back(static_cast<std::uint8_t>(b));
  }
  out.text.assign(chars);
  return true;
}

void StreamDecoder::reset() {
  chars_.clear();
  in_frame_ = false;
  overflow_ = false;
}

void StreamDecoder::feed(const std::uint8_t* data, std::size_t size, const FrameFn& on_frame,
                         const ErrorFn& on_error) {
  if (data == nullptr) return;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t b = data[i];
    if (b == kSoi) {
      if (in_frame_ && on_error) on_error(Error::kInterrupted, chars_);
      chars_.clear();
      in_frame_ = true;
      overflow_ = false;
      continue;
    }
    if (!in_frame_) continue;  // noise between frames
    if (b == kEoi) {
      Error error{};
      if (overflow_) {
        if (on_error) on_error(Error::kTooLong, chars_);
      } else if (decode(chars_, frame_, error)) {
        if (on_frame) on_frame(frame_);
      } else if (on_error) {
        on_error(error, chars_);
      }
      chars_.clear();
      in_frame_ = false;
      overflow_ = false;
      continue;
    }
    if (chars_.size() < kMaxFrameChars) {
      chars_.push_back(static_cast<char>(b));
    } else {
      overflow_ = true;  // keep swallowing until EOI or a new SOI
    }
  }
}

}  // namespace frame
