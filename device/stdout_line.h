// Standard-output lines that are part of the device's behaviour: the
// settings trace of mode 3 and the mobile rule set's trace line. Monitoring
// staff and scripts read them on the host's standard output, so they are
// required output, not log messages: they do not go through the Log hook,
// and their texts must stay as they are.
#pragma once

#include <charconv>
#include <cstring>
#include <iostream>
#include <limits>
#include <locale>
#include <string>
#include <string_view>
#include <type_traits>

namespace hvr38qt {

namespace stdout_line_detail {

// Parts the line can lay out itself: texts and integers (not char or bool,
// which a stream writes otherwise).
template <class T>
constexpr bool kPlainPart =
    std::is_convertible_v<const T&, std::string_view> ||
    (std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
     !std::is_same_v<T, signed char> && !std::is_same_v<T, unsigned char>);

// Copies n bytes. Up to 16 bytes, the texts of a trace line, are at most
// four loads and stores that the compiler keeps inline, with no call.
[[gnu::always_inline]] inline void copy_bytes(char* to, const char* from, std::size_t n) {
  if (n >= 8 && n <= 16) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else {
    std::memcpy(to, from, n);
  }
}

// The most bytes a part can take: a text its size, an integer its digits
// and a sign.
template <class T>
[[gnu::always_inline]] inline std::size_t max_size(const T& part) {
  if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return std::string_view(part).size();
  } else {
    return std::numeric_limits<T>::digits10 + 2;
  }
}

// Lays parts out in a fixed buffer. The caller checks first that their
// max_size, the end of line included, fits.
struct LineBuffer {
  char bytes[256];
  std::size_t size = 0;

  [[gnu::always_inline]] void text(std::string_view t) {
    copy_bytes(bytes + size, t.data(), t.size());
    size += t.size();
  }
  template <class T>
  [[gnu::always_inline]] void add(const T& part) {
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
      text(std::string_view(part));
    } else {
      const char* end = std::to_chars(bytes + size, bytes + sizeof bytes, part).ptr;
      size = static_cast<std::size_t>(end - bytes);
    }
  }
};

// True when the stream writes texts and integers exactly as to_chars and a
// plain copy would: decimal, no sign or base prefix, no field width, the
// classic locale (no digit grouping); and when its buffer may be written
// directly: the stream is good and tied to no other.
inline bool plain_stream(std::ostream& out) {
  // A stream in error writes nothing; a tied stream is flushed first.
  if (!out.good() || out.tie() != nullptr || out.rdbuf() == nullptr) return false;
  if (out.exceptions() != std::ios_base::goodbit) return false;
  const auto f = out.flags();
  if ((f & std::ios_base::basefield) != std::ios_base::dec) return false;
  if ((f & (std::ios_base::showpos | std::ios_base::showbase)) != 0) return false;
  if (out.width() != 0) return false;
#if defined(__GLIBCXX__)
  // The library's reference to the stream's locale: getloc() returns a
  // copy, which counts a reference up and down again.
  const std::locale& locale = out._M_getloc();
#else
  const std::locale locale = out.getloc();
#endif
  static const std::locale& classic = std::locale::classic();
  return locale == classic;
}

// Each part through the stream, then the end of the line with its flush.
template <class... Parts>
[[gnu::noinline]] void stream_line(const Parts&... parts) {
  (std::cout << ... << parts) << std::endl;
}

}  // namespace stdout_line_detail

// Writes the parts as a standard stream formats them, then ends the line
// and flushes. When the stream is in its default state and the line is
// sure to fit 256 bytes (its texts and the widest values of its integers),
// it is laid out on the stack and handed over in one write, with the same
// bytes; otherwise each part goes through the stream. Inlined, so
// that the layout of literal parts is copies of known sizes.
template <class... Parts>
[[gnu::always_inline]] inline void write_stdout_line(const Parts&... parts) {
  if constexpr ((stdout_line_detail::kPlainPart<Parts> && ...)) {
    if (stdout_line_detail::plain_stream(std::cout)) {
      stdout_line_detail::LineBuffer line;
      if ((stdout_line_detail::max_size(parts) + ... + 1) <= sizeof line.bytes) {
        (line.add(parts), ...);
        line.text("\n");
        // What write and flush do on a good, untied stream, without their
        // sentries: a short write or a failed flush sets badbit.
        std::streambuf& buffer = *std::cout.rdbuf();
        const auto size = static_cast<std::streamsize>(line.size);
        if (buffer.sputn(line.bytes, size) != size || buffer.pubsync() == -1)
          std::cout.setstate(std::ios_base::badbit);
        return;
      }
    }
  }
  stdout_line_detail::stream_line(parts...);
}

}  // namespace hvr38qt
