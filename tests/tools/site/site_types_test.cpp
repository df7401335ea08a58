// Time stamps and the status board of the site host.
#include <gtest/gtest.h>

#include <regex>

#include "site_types.h"

namespace {

using namespace krthost::site;

TEST(IsoLocal, HasMillisecondsAndNoZone) {
  const auto t = SysClock::time_point(std::chrono::milliseconds(1'765'275'302'123LL));
  const std::string s = IsoLocal(t);
  EXPECT_TRUE(std::regex_match(s, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.123)"))) << s;
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
