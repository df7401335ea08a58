// Time stamps and the status board of the site host.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "site_types.h"

namespace {

using namespace krthost::site;

TEST(IsoLocal, HasMillisecondsAndNoZone) {
  const auto t = SysClock::time_point(std::chrono::milliseconds(1'765'275'302'123LL));
  const std::string s = IsoLocal(t);
  EXPECT_TRUE(std::regex_match(s, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.123)"))) << s;
}

// The records' times, oldest first.
std::vector<std::string> Times(const RecentPolls& list) {
  std::vector<std::string> out;
  for (const PollRecord& p : list) out.push_back(p.time);
  return out;
}

std::vector<std::string> Expected(int first, int last) {
  std::vector<std::string> out;
  for (int i = first; i <= last; ++i) out.push_back(std::to_string(i));
  return out;
}

// Copies taken along the way (as status records are) keep what they held
// while the list goes on filling and taking its blocks back.
TEST(RecentPolls, KeepsTheLastPollsAndCopiesStayAsTheyWere) {
  const int n = static_cast<int>(kRecentPolls);
  RecentPolls list;
  EXPECT_TRUE(list.empty());
  std::vector<std::pair<RecentPolls, int>> copies;  // a copy and the polls pushed before it
  for (int i = 1; i <= 5 * n + 3; ++i) {
    PollRecord& p = list.Next();
    p.time = std::to_string(i);
    p.outcome = i % 2 ? "complete" : "timeout";
    ASSERT_EQ(list.size(), static_cast<std::size_t>(std::min(i, n))) << i;
    EXPECT_EQ(list.back().time, std::to_string(i));
    if (i == 1 || i == n - 1 || i == n || i == n + 1 || i == 2 * n + 7) copies.emplace_back(list, i);
    // Most copies go again at once, as a published record does, so that
    // blocks are taken back; the ones kept above hold theirs.
    const RecentPolls passing = list;
    EXPECT_EQ(passing.size(), list.size());
  }
  EXPECT_EQ(Times(list), Expected(4 * n + 4, 5 * n + 3));
  for (const auto& [copy, pushed] : copies)
    EXPECT_EQ(Times(copy), Expected(std::max(1, pushed - n + 1), pushed)) << pushed;
}

TEST(StatusBoard, PublishReplacesAndRemoveForgets) {
  StatusBoard board;
  auto a = std::make_shared<DeviceStatus>();
  a->id = 2;
  a->name = "b";
  auto b = std::make_shared<DeviceStatus>();
  b->id = 1;
  b->name = "a";
  board.Publish(a);
  board.Publish(b);
  auto a2 = std::make_shared<DeviceStatus>(*a);
  a2->polls = 5;
  board.Publish(a2);
  const auto all = board.All();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0]->name, "a");
  EXPECT_EQ(board.Find("b")->polls, 5u);
  board.Remove(2);
  EXPECT_EQ(board.Find("b"), nullptr);
}

}  // namespace
