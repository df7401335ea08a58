// The tap in front of the line: request frames reported as they are
// written, and the trace a field engineer reads.
#include "line_tap.h"

#include <sstream>

#include <gtest/gtest.h>

#include "memory_transport.h"
#include "protocol/protocol.h"

namespace {

namespace wire = hvr38qt::wire;
using wire::Cid2;

TEST(LineTap, ReportsRequestsAndTracesFramesNoiseAndHalfFrames) {
  auto line = std::make_shared<MemoryTransport>();
  std::ostringstream trace;
  std::vector<int> requests;
  krthost::LineTap tap(line, [&](const frame::Frame& f) { requests.push_back(f.bytes[3]); }, &trace);
  ASSERT_TRUE(tap.Open());

  const std::uint8_t unit = 1;
  const std::string req = frame::encode(0x21, 1, wire::kCid1, wire::code(Cid2::kAcUnit), {&unit, 1});
  ASSERT_TRUE(tap.Write(reinterpret_cast<const std::uint8_t*>(req.data()), req.size()));
  EXPECT_EQ(requests, (std::vector<int>{wire::code(Cid2::kAcUnit)}));
  EXPECT_EQ(tap.LastCid2(), wire::code(Cid2::kAcUnit));
  EXPECT_EQ(tap.Writes(), 1u);

  const std::string reply = frame::encode(0x21, 1, wire::kCid1, 0, {});
  line->Queue(std::string("\x00\xFF", 2) + reply + "~2101");
  std::uint8_t buf[256];
  EXPECT_GT(tap.Read(buf, sizeof buf, 0), 0);
  EXPECT_TRUE(tap.InReplyFrame()) << "a frame has started and not ended";
  tap.DropPartial();
  EXPECT_FALSE(tap.InReplyFrame());

  std::vector<std::string> lines;
  std::istringstream in(trace.str());
  for (std::string l; std::getline(in, l);) lines.push_back(l.substr(24));  // after the time
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "TX ~210141A2E00201FD2C<CR>",
                       "RX <00><FF> (noise)",
                       "RX " + reply.substr(0, reply.size() - 1) + "<CR>",
                       "RX ~2101 (incomplete)",
                   }));
}

TEST(LineTap, PassesALostLineOnWithItsReason) {
  auto line = std::make_shared<MemoryTransport>();
  krthost::LineTap tap(line, {});
  std::uint8_t buf[4];
  EXPECT_EQ(tap.Read(buf, sizeof buf, 0), -1);
  EXPECT_EQ(tap.LastError(), "not open");
  line->FailOpen(true);
  EXPECT_FALSE(tap.Open());
  EXPECT_EQ(tap.LastError(), "open refused");
}

}  // namespace
