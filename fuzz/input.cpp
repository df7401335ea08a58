#include "fuzz/input.h"

#include <algorithm>

namespace fuzz {

std::uint16_t Reader::u16() {
  const unsigned hi = u8();
  return static_cast<std::uint16_t>((hi << 8) | u8());
}

void Reader::append(std::vector<std::uint8_t>& out, std::size_t n) {
  const std::size_t take = std::min(n, left());
  out.insert(out.end(), data_ + pos_, data_ + pos_ + take);
  out.resize(out.size() + (n - take), 0);
  pos_ += take;
}

std::vector<std::uint8_t> Reader::bytes(std::size_t n) {
  std::vector<std::uint8_t> out;
  out.reserve(n);
  append(out, n);
  return out;
}

}  // namespace fuzz
