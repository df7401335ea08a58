#include "frame_codec.h"

#include <gtest/gtest.h>

namespace {

std::string with_crlf(const char* s) { return std::string(s) + "\r"; }

TEST(FrameCodec, EncodesKnownRequests) {
  EXPECT_EQ(frame::encode(0x21, 1, 0x41, 0x42, {}), with_crlf("~210141420000FDB1"));
  const std::uint8_t one = 1;
  EXPECT_EQ(frame::encode(0x21, 1, 0x41, 0xA2, {&one, 1}), with_crlf("~210141A2E00201FD2C"));
}

}  // namespace
