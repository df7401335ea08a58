// The event stream: one JSON object per line, members and values as the
// consumers read them.
#include "event_writer.h"

#include <functional>
#include <sstream>

#include <gtest/gtest.h>

namespace {

using krthost::EventWriter;

Json::Value parse(const std::string& line) {
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  Json::Value v;
  std::string errors;
  EXPECT_TRUE(r->parse(line.data(), line.data() + line.size(), &v, &errors)) << errors << line;
  return v;
}

struct Case {
  const char* what;
  std::function<void(EventWriter&)> write;
  const char* expected;  // the event as JSON
};

TEST(EventWriter, WritesEachEventAsOneLineWithItsMembers) {
  const unsigned char snap[] = {0x01, 0xAB, 0x00, 0xff};
  const Case cases[] = {
      {"request with data", [](EventWriter& w) { const unsigned char d = 1; w.Request(65, 66, &d, 1); },
       R"({"event":"request","cid1":65,"cid2":66,"data":"01"})"},
      {"request without data", [](EventWriter& w) { w.Request(65, 0x9C, nullptr, 0); },
       R"({"event":"request","cid1":65,"cid2":156,"data":""})"},
      {"report", [](EventWriter& w) { w.Report(2, "hvr38qt_06017_ac2off_1", "06017", "交流输入停电告警", "交流屏1AC2停电", true, 3); },
       R"({"event":"report","kind":2,"key":"hvr38qt_06017_ac2off_1","nm_id":"06017","name":"交流输入停电告警","desc":"交流屏1AC2停电","active":true,"seq":3})"},
      {"snapshot hex is upper case", [&](EventWriter& w) { w.Snapshot(5029, snap, sizeof snap); },
       R"({"event":"snapshot","type":5029,"size":4,"data":"01AB00FF"})"},
      {"empty history", [](EventWriter& w) { w.History(nullptr, 0); },
       R"({"event":"history","size":0,"data":""})"},
      {"log with quotes and newline", [](EventWriter& w) { w.Log("a \"b\"\nc"); },
       R"({"event":"log","text":"a \"b\"\nc"})"},
      {"timeout", [](EventWriter& w) { w.Timeout(66); }, R"({"event":"timeout","cid2":66})"},
      {"poll", [](EventWriter& w) { w.Poll(0, 4, 1, "complete", 12); },
       R"({"event":"poll","index":0,"state":4,"data_ready":1,"outcome":"complete","duration_ms":12})"},
      {"value", [](EventWriter& w) { w.Value("va1", 220.5f); }, R"({"event":"value","name":"va1","value":220.5})"},
      {"refused value", [](EventWriter& w) { w.ValueError("x", "不支持变量"); },
       R"({"event":"value","name":"x","error":"不支持变量"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::ostringstream out;
    EventWriter w(&out);
    c.write(w);
    const std::string text = out.str();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line per event: " << text;
    EXPECT_EQ(parse(text), parse(c.expected));
  }
}

TEST(EventWriter, KeepsTextAsUtf8AndFloatsAsWrittenInDecimal) {
  std::ostringstream out;
  EventWriter w(&out);
  w.ValueError("x", "数据已超时");
  w.Value("vb1", 230.1f);
  w.Value("ac", 0.0f);
  const std::string text = out.str();
  EXPECT_NE(text.find("数据已超时"), std::string::npos) << "not escaped as \\u: " << text;
  EXPECT_NE(text.find(":230.1}"), std::string::npos) << text;
  EXPECT_NE(text.find(":0.0}"), std::string::npos) << text;
}

TEST(EventWriter, WithoutStreamWritesNothing) {
  EventWriter w;
  EXPECT_FALSE(w.Enabled());
  w.Log("dropped");  // must not crash
}

}  // namespace
