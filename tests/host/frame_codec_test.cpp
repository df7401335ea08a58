#include "frame_codec.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cctype>

#include "pmbus_protocol.h"

namespace {

std::string with_crlf(const char* s) { return std::string(s) + "\r"; }

TEST(FrameCodec, EncodesKnownRequests) {
  EXPECT_EQ(frame::encode(0x21, 1, 0x41, 0x42, {}), with_crlf("~210141420000FDB1"));
  const std::uint8_t one = 1;
  EXPECT_EQ(frame::encode(0x21, 1, 0x41, 0xA2, {&one, 1}), with_crlf("~210141A2E00201FD2C"));
}

TEST(FrameCodec, LengthChecksumOfEveryLenid) {
  for (unsigned lenid = 0; lenid < 0x1000; ++lenid) {
    const int digits = static_cast<int>((lenid & 0xF) + ((lenid >> 4) & 0xF) + (lenid >> 8));
    const auto expected = static_cast<std::uint8_t>((-digits) & 0xF);
    ASSERT_EQ(frame::lchksum(static_cast<std::uint16_t>(lenid)), expected) << "LENID " << lenid;
  }
}

TEST(FrameCodec, RoundTripsEveryByteValueAndLength) {
  for (std::size_t n : {0u, 1u, 2u, 127u, 256u, 2047u}) {
    std::vector<std::uint8_t> info(n);
    for (std::size_t i = 0; i < n; ++i) info[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const std::string wire = frame::encode(0x21, 0x05, 0x41, 0x00, info);
    frame::Frame out;
    frame::Error err{};
    ASSERT_TRUE(frame::decode(std::string_view(wire).substr(1, wire.size() - 2), out, err)) << n;
    const std::vector<std::uint8_t> head{0x21,
                                         0x05,
                                         0x41,
                                         0x00,
                                         static_cast<std::uint8_t>((n * 2) & 0xFF),
                                         static_cast<std::uint8_t>((n * 2) >> 8)};
    ASSERT_EQ(std::vector<std::uint8_t>(out.bytes.begin(), out.bytes.begin() + 6), head);
    EXPECT_EQ(std::vector<std::uint8_t>(out.bytes.begin() + 6, out.bytes.end()), info);
  }
}

// Builds the characters of a frame from a header and info text, with a
// valid or given LENGTH and CHKSUM.
std::string body(const std::string& head8, const std::string& info_text, int lenid = -1,
                 int lchk = -1) {
  const auto id = static_cast<std::uint16_t>(lenid < 0 ? info_text.size() : lenid);
  const unsigned lc = lchk < 0 ? frame::lchksum(id) : static_cast<unsigned>(lchk);
  std::string s = head8 + fmt::format("{:04X}", (lc << 12) | id) + info_text;
  return s + fmt::format("{:04X}", frame::chksum(s));
}

std::string framed(const std::string& chars) { return "~" + chars + "\r"; }

// The smallest device on the protocol layer: counts what reaches it.
class ProbeDevice : public PMBusProtocol {
 public:
  int payloads = 0;
  int errors = 0;
  std::vector<std::vector<std::uint8_t>> replies;

  int LoadFromCache(const unsigned char*, int) override { return 1; }
  void RoundDone() override {}
  int process_payload() override {
    ++payloads;
    replies.push_back(reply());
    write_pmbus_cmd(0x41, 0x42);  // keep one request outstanding
    return 1;
  }
  void process_error() override { ++errors; }

  void feed(const std::string& s) {
    std::string copy = s;
    process(reinterpret_cast<unsigned char*>(copy.data()), static_cast<unsigned>(copy.size()));
  }
};

const std::string kHead = "21014100";

struct BadFrameCase {
  const char* name;
  std::string chars;
  frame::Error error;
};

class BadFrames : public testing::TestWithParam<BadFrameCase> {};

TEST_P(BadFrames, NeverReachTheDevice) {
  ProbeDevice d;
  d.write_pmbus_cmd(0x41, 0x42);
  d.feed(framed(GetParam().chars));
  EXPECT_EQ(d.payloads, 0);
  EXPECT_EQ(d.errors, 1);
  EXPECT_EQ(d.LastFrameError(), GetParam().error);
  // The line recovers: the next good frame is taken.
  d.feed(framed(body(kHead, "0102")));
  EXPECT_EQ(d.payloads, 1);
}

std::string with_bad_checksum() {
  std::string s = body(kHead, "0102");
  s.back() = s.back() == '0' ? '1' : '0';
  return s;
}

std::string with_non_hex() {
  std::string s = body(kHead, "0102");
  s[12] = 'G';
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    FrameCodec, BadFrames,
    testing::Values(BadFrameCase{"checksum", with_bad_checksum(), frame::Error::kChecksum},
                    BadFrameCase{"lchksum", body(kHead, "0102", 4, (frame::lchksum(4) + 1) & 0xF),
                                 frame::Error::kLengthChecksum},
                    BadFrameCase{"non_hex", with_non_hex(), frame::Error::kNonHex},
                    BadFrameCase{"lenid_longer_than_info", body(kHead, "0102", 6),
                                 frame::Error::kLengthMismatch},
                    BadFrameCase{"too_short", "2101410000", frame::Error::kTooShort},
                    BadFrameCase{"too_long", std::string(frame::kMaxFrameChars + 1, '0'),
                                 frame::Error::kTooLong},
                    BadFrameCase{"far_too_long", std::string(3 * frame::kMaxFrameChars, '0'),
                                 frame::Error::kTooLong}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameCodec, OddLenidDecodesWholeBytesAndHandsTheLengthOn) {
  ProbeDevice d;
  d.write_pmbus_cmd(0x41, 0x42);
  d.feed(framed(body(kHead, "ABCDE")));
  ASSERT_EQ(d.payloads, 1);
  EXPECT_EQ(d.replies[0], (std::vector<std::uint8_t>{0x21, 0x01, 0x41, 0x00, 5, 0, 0xAB, 0xCD}));
}

TEST(FrameCodec, StreamInAnyChunkingWithNoiseAndEchoes) {
  const std::string reply1 = framed(body(kHead, "0A0B"));
  const std::string reply2 = framed(body("21014104", "FF"));
  for (std::size_t chunk : {1u, 2u, 3u, 7u, 1000u}) {
    ProbeDevice d;
    d.write_pmbus_cmd(0x41, 0x42);
    // Noise (without a start byte), the echo of our own request, two replies.
    const std::string stream = "\x01\xFFnoise\r" + d.LastRequest() + reply1 + "\r\r" + reply2;
    for (std::size_t i = 0; i < stream.size(); i += chunk) d.feed(stream.substr(i, chunk));
    ASSERT_EQ(d.payloads, 2) << "chunk " << chunk;
    EXPECT_EQ(d.errors, 0);
    EXPECT_EQ(d.replies[0], (std::vector<std::uint8_t>{0x21, 1, 0x41, 0, 4, 0, 0x0A, 0x0B}));
    EXPECT_EQ(d.replies[1], (std::vector<std::uint8_t>{0x21, 1, 0x41, 4, 2, 0, 0xFF}));
  }
}

TEST(FrameCodec, LowerCaseHexIsAccepted) {
  std::string s = "21014100" + fmt::format("{:04x}", (frame::lchksum(4) << 12) | 4) + "0abc";
  s += fmt::format("{:04x}", frame::chksum(s));
  ProbeDevice d;
  d.write_pmbus_cmd(0x41, 0x42);
  d.feed(framed(s));
  ASSERT_EQ(d.payloads, 1);
  EXPECT_EQ(d.replies[0].back(), 0xBC);
}

TEST(FrameCodec, InterruptedFrameIsAnErrorAndTheNextFrameCounts) {
  ProbeDevice d;
  d.write_pmbus_cmd(0x41, 0x42);
  d.feed("~2101" + framed(body(kHead, "")));
  EXPECT_EQ(d.errors, 1);
  EXPECT_EQ(d.LastFrameError(), frame::Error::kInterrupted);
  EXPECT_EQ(d.payloads, 1);
}

}  // namespace
