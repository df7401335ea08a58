// Reopening a closed line: once at the start of each poll, and one logged
// failure per poll while the line stays down.
#include <gtest/gtest.h>

#include <algorithm>

#include "device_fixture.h"

namespace {

using namespace testing_support;

long open_failures(const RecordingController& c) {
  return std::count_if(c.logs.begin(), c.logs.end(), [](const std::string& l) {
    return l.find("open port failed: open refused") != std::string::npos;
  });
}

TEST(LineReopen, OneOpenAttemptAndOneLogLinePerPoll) {
  const struct {
    const char* what;
    bool open_before;   // the line is open when the poll starts
    bool refuse_open;   // the line cannot be opened
    int opens;          // successful opens in the poll
    long failures;      // "open port failed" lines in the poll
    std::size_t sent;   // request frames written
  } cases[] = {
      {"open line: no reopen", true, false, 0, 0, 1},
      {"closed line that opens again", false, false, 1, 0, 1},
      {"closed line that cannot be opened", false, true, 0, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DeviceFixture f;
    if (c.open_before) f.line->Open();
    f.line->FailOpen(c.refuse_open);
    for (int poll = 0; poll < 3; ++poll) {
      SCOPED_TRACE(poll);
      const int opens = f.line->Opens();
      f.controller->Clear();
      f.line->ClearSent();
      f.device->RefreshStatus();
      EXPECT_EQ(f.line->Opens() - opens, poll == 0 ? c.opens : 0);
      EXPECT_EQ(open_failures(*f.controller), c.failures);
      EXPECT_EQ(f.line->Sent().size(), c.sent);
      f.device->Reset();
    }
  }
}

TEST(LineReopen, LineThatComesBackIsOpenedAtTheNextPoll) {
  DeviceFixture f;
  f.line->FailOpen(true);
  f.device->RefreshStatus();
  f.device->Reset();
  EXPECT_EQ(open_failures(*f.controller), 1);
  f.line->FailOpen(false);
  f.device->RefreshStatus();
  EXPECT_EQ(f.line->Opens(), 1);
  ASSERT_EQ(f.line->Sent().size(), 1u);
  EXPECT_EQ(request_cid2(f.line->Sent()[0]), 0x42);
  EXPECT_EQ(open_failures(*f.controller), 1);
}

// A line lost inside a poll (the device closed it on a failed write) is
// opened again by the next request of the same poll.
TEST(LineReopen, LineClosedWithinAPollIsOpenedByTheNextRequest) {
  DeviceFixture f;
  f.device->RefreshStatus();
  ASSERT_EQ(f.line->Opens(), 1);
  f.device->ClosePort();
  f.device->write_pmbus_cmd(0x41, 0x42);
  EXPECT_EQ(f.line->Opens(), 2);
  EXPECT_EQ(f.line->Sent().size(), 2u);
}

}  // namespace
