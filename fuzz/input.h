// Reading a fuzz input as a stream of bytes and numbers, and the writing side
// for the seed generator. Every read past the end of the input gives zero
// bytes, so a short input still drives a whole cycle of a healthy, all-zero
// controller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(data ? size : 0) {}

  std::size_t left() const { return size_ - pos_; }
  std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  // Big-endian.
  std::uint16_t u16();
  // Appends n bytes, zeros past the end of the input.
  void append(std::vector<std::uint8_t>& out, std::size_t n);
  std::vector<std::uint8_t> bytes(std::size_t n);

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// The writing side of Reader, for the seed generator.
struct Writer {
  std::vector<std::uint8_t> out;
  void u8(unsigned v) { out.push_back(static_cast<std::uint8_t>(v)); }
  void u16(unsigned v) {
    u8(v >> 8);
    u8(v & 0xFF);
  }
  void bytes(const std::vector<std::uint8_t>& b) { out.insert(out.end(), b.begin(), b.end()); }
  void zeros(std::size_t n) { out.resize(out.size() + n, 0); }
};

}  // namespace fuzz
