// Polls of the real device against the in-process simulator: how a poll
// ends on good replies, silence, half replies, echoes and a dropped line,
// and what the host then records.
#include "poll_runner.h"

#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <gtest/gtest.h>

#include "plugin/providers.h"
#include "memory_transport.h"
#include "sim_transport.h"

namespace {

namespace wire = hvr38qt::wire;
using wire::Cid2;
constexpr int cmd(Cid2 c) { return wire::code(c); }
using krthost::PollOutcome;
using krthost::PollResult;

std::vector<Json::Value> lines(const std::string& text) {
  std::vector<Json::Value> out;
  std::istringstream in(text);
  std::string line;
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  while (std::getline(in, line)) {
    Json::Value v;
    std::string errors;
    EXPECT_TRUE(r->parse(line.data(), line.data() + line.size(), &v, &errors)) << line;
    out.push_back(v);
  }
  return out;
}

struct Host {
  explicit Host(const std::string& scenario_json, krthost::PollTimeouts t = {200, 50, 2000},
                std::shared_ptr<ByteTransport> line = nullptr)
      : sim(std::make_shared<sim::Simulator>(sim::LoadScenarioText(scenario_json))),
        inner(line ? line : std::make_shared<sim::SimTransport>(sim)),
        tap(std::make_shared<krthost::LineTap>(inner, [this](const frame::Frame& f) {
          events.Request(f.bytes[2], f.bytes[3], f.bytes.data() + 6, f.bytes.size() - 6);
        })),
        controller(std::make_shared<krthost::HostController>(events, log)),
        runner(device, *tap, *controller, events, t) {
    device.SetTransport(tap);
    device.Init(controller, 7, Json::Value(Json::objectValue));
  }

  // Requests (CID2) of the events so far, and every event kind in order.
  std::vector<int> requests() const {
    std::vector<int> out;
    for (const auto& e : lines(stream.str()))
      if (e["event"] == "request") out.push_back(e["cid2"].asInt());
    return out;
  }
  std::vector<std::string> kinds() const {
    std::vector<std::string> out;
    for (const auto& e : lines(stream.str())) out.push_back(e["event"].asString());
    return out;
  }
  void clear() { stream.str(""); }

  std::ostringstream stream;
  krthost::EventWriter events{&stream};
  std::ostringstream log;
  std::shared_ptr<sim::Simulator> sim;
  std::shared_ptr<ByteTransport> inner;
  std::shared_ptr<krthost::LineTap> tap;
  std::shared_ptr<krthost::HostController> controller;
  HVR38QT device{hvr38qt::device_parts()};
  krthost::PollRunner runner;
};

// The default scenario's first cycle: six modules, one AC and one DC unit.
const std::vector<int> kFirstCycle = [] {
  std::vector<int> v{cmd(Cid2::kAnalog), cmd(Cid2::kSwitch), cmd(Cid2::kAlarmState)};
  v.insert(v.end(), 6, cmd(Cid2::kModuleDetail));
  for (Cid2 c : {Cid2::kExtras, Cid2::kAcUnit, Cid2::kDcUnit, Cid2::kBlockA3, Cid2::kWord93,
                 Cid2::kAlarmList1})
    v.push_back(cmd(c));
  return v;
}();
const std::string kDefault = sim::DefaultScenarioText();

std::string with_faults(const std::string& faults) {
  std::string s = kDefault;
  s.insert(s.rfind('}'), ",\"faults\":" + faults);
  return s;
}

TEST(PollRunner, FullCyclePublishesOneSnapshotThenTheValuesFollowThePoll) {
  Host h(kDefault);
  const PollResult r = h.runner.Poll(0);
  EXPECT_EQ(r.outcome, PollOutcome::kComplete);
  EXPECT_EQ(r.data_ready, 1);
  EXPECT_EQ(h.requests(), kFirstCycle);
  h.runner.Query({"va1", "out_v", "nope"});
  const auto ev = lines(h.stream.str());
  std::size_t snapshot = 0, poll = 0;
  for (std::size_t i = 0; i < ev.size(); ++i) {
    if (ev[i]["event"] == "snapshot") snapshot = i;
    if (ev[i]["event"] == "poll") poll = i;
  }
  ASSERT_GT(poll, snapshot);
  // Six modules, one AC and one DC unit: 51 + 219 + 6 * 68 + 22 + 146 + 800.
  EXPECT_EQ(ev[snapshot]["type"].asInt(), 5029);
  EXPECT_EQ(ev[snapshot]["size"].asInt(), 1646);
  EXPECT_EQ(ev[snapshot]["data"].asString().substr(0, 8), "07000000") << "device id first";
  EXPECT_EQ(ev[snapshot + 1]["event"], "history");
  ASSERT_EQ(ev.size(), poll + 4);
  EXPECT_EQ(ev[poll + 1]["value"].asDouble(), 230.4);
  EXPECT_EQ(ev[poll + 2]["value"].asDouble(), 53.5);
  EXPECT_EQ(ev[poll + 3]["error"].asString(), "不支持变量");
}

TEST(PollRunner, TimeoutResetsThePollAndTheNextPollSucceeds) {
  Host h(with_faults(R"([{"cid2":"0x44","no_reply":true,"count":1}])"));
  const PollResult first = h.runner.Poll(0);
  EXPECT_EQ(first.outcome, PollOutcome::kTimeout);
  EXPECT_EQ(first.timeout_cid2, cmd(Cid2::kAlarmState));
  EXPECT_FALSE(h.device.IsProcessing());
  EXPECT_GE(first.duration_ms, 190);
  const auto kinds = h.kinds();
  ASSERT_GE(kinds.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(kinds.end() - 3, kinds.end()),
            (std::vector<std::string>{"timeout", "log", "poll"}));
  EXPECT_NE(h.log.str().find("no reply to request 0x44"), std::string::npos) << h.log.str();

  h.clear();
  EXPECT_EQ(h.runner.Poll(1).outcome, PollOutcome::kComplete);
  EXPECT_EQ(h.requests(), kFirstCycle);
}

TEST(PollRunner, HalfAReplyFollowedBySilenceEndsAfterTheInterByteWait) {
  Host h(with_faults(R"([{"cid2":"0x42","truncate":20,"count":1}])"), {5000, 50, 20000});
  const PollResult r = h.runner.Poll(0);
  EXPECT_EQ(r.outcome, PollOutcome::kTimeout);
  EXPECT_LT(r.duration_ms, 1000) << "did not wait for the first-byte timeout";
  EXPECT_NE(h.log.str().find("reply cut off"), std::string::npos) << h.log.str();
  EXPECT_EQ(h.runner.Poll(1).outcome, PollOutcome::kComplete);
}

TEST(PollRunner, LineFaultsThatTheDeviceSurvives) {
  const struct {
    const char* what;
    std::string scenario;
    PollOutcome outcome;
  } cases[] = {
      {"RS-485 echo of every request", R"({"echo":true,"modules":[{}],"ac_units":[{}],"dc_units":[{}]})",
       PollOutcome::kComplete},
      {"noise ahead of a reply", with_faults(R"([{"cid2":"0x95","garbage":"FF00417E"}])"), PollOutcome::kComplete},
      {"late reply within the wait", with_faults(R"([{"cid2":"0x93","delay_ms":100}])"), PollOutcome::kComplete},
      {"bad checksum: the reply is dropped", with_faults(R"([{"cid2":"0x93","bad_checksum":true}])"),
       PollOutcome::kTimeout},
      {"empty analogue reply", with_faults(R"([{"cid2":"0x42","info":""}])"), PollOutcome::kFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Host h(c.scenario);
    EXPECT_EQ(h.runner.Poll(0).outcome, c.outcome) << h.log.str();
  }
}

TEST(PollRunner, DroppedConnectionIsALostLineAndTheNextPollReopens) {
  Host h(with_faults(R"([{"cid2":"0x44","disconnect":true,"count":1}])"));
  const PollResult first = h.runner.Poll(0);
  EXPECT_EQ(first.outcome, PollOutcome::kLineLost);
  EXPECT_NE(first.error.find("closed by the simulator"), std::string::npos) << first.error;
  EXPECT_FALSE(h.tap->IsOpen());
  EXPECT_FALSE(h.device.IsProcessing());
  EXPECT_EQ(h.runner.Poll(1).outcome, PollOutcome::kComplete);
}

TEST(PollRunner, LineThatCannotBeOpenedFailsThePollOnly) {
  auto line = std::make_shared<MemoryTransport>();
  line->FailOpen(true);
  Host h(kDefault, {200, 50, 2000}, line);
  for (int i = 0; i < 2; ++i) {
    const PollResult r = h.runner.Poll(i);
    EXPECT_EQ(r.outcome, PollOutcome::kLineDown);
    EXPECT_EQ(r.error, "open refused");
    EXPECT_FALSE(h.device.IsProcessing());
  }
  EXPECT_EQ(h.kinds().back(), "poll");
}

TEST(PollRunner, UnchangedControllerStopsAfterTheAnalogueQuery) {
  std::string s = kDefault;
  s.replace(s.find("\"changed\": true"), 15, "\"changed\": false");
  Host h(s);
  EXPECT_EQ(h.runner.Poll(0).outcome, PollOutcome::kComplete);  // 0x42, 0x43, cycle end
  EXPECT_EQ(h.requests(), (std::vector<int>{cmd(Cid2::kAnalog), cmd(Cid2::kSwitch)}));
  h.clear();
  const PollResult r = h.runner.Poll(1);
  EXPECT_EQ(r.outcome, PollOutcome::kUnchanged);
  EXPECT_EQ(r.state, 4);
  EXPECT_EQ(h.requests(), (std::vector<int>{cmd(Cid2::kAnalog)}));
}

TEST(PollRunner, PacedLineMakesThePollLastAsLongAsItsBytes) {
  const unsigned rate = 4000;  // bytes per second
  Host plain(kDefault);
  ASSERT_EQ(plain.runner.Poll(0).outcome, PollOutcome::kComplete);
  // The bytes the controller sent in that cycle.
  sim::Simulator replay(sim::DefaultScenario());
  std::size_t bytes = 0;
  for (const auto& r : plain.sim->Requests()) {
    const std::string req = frame::encode(0x21, 1, r.cid1, r.cid2, r.data);
    bytes += replay.Feed(reinterpret_cast<const std::uint8_t*>(req.data()), req.size()).bytes.size();
  }
  auto line = std::make_shared<sim::SimTransport>(std::make_shared<sim::Simulator>(sim::DefaultScenario()), rate);
  Host paced(kDefault, {200, 50, 2000}, line);
  const PollResult r = paced.runner.Poll(0);
  EXPECT_EQ(r.outcome, PollOutcome::kComplete);
  const long expected_ms = static_cast<long>(bytes * 1000 / rate);
  EXPECT_GE(r.duration_ms, expected_ms * 9 / 10);
  EXPECT_LE(r.duration_ms, expected_ms * 2 + 100);
}

}  // namespace

namespace {

TEST(DataAgeText, MarksDataStaleOnceTheLastCycleIsMoreThanAMinuteOld) {
  Host h(kDefault);
  const ptime now = boost::posix_time::time_from_string("2024-05-01 12:00:00");
  EXPECT_EQ(krthost::DataAgeText(h.device, now), "no data yet");
  ASSERT_EQ(h.runner.Poll(0).outcome, PollOutcome::kComplete);
  const struct {
    long seconds_ago;
    const char* text;
  } cases[] = {{0, "data age 0 s"}, {60, "data age 60 s"}, {61, "data age 61 s STALE"},
               {-5, "data age 0 s"}};  // a clock set back counts as fresh
  for (const auto& c : cases) {
    h.device.SetLastUpdate(now - boost::posix_time::seconds(c.seconds_ago));
    EXPECT_EQ(krthost::DataAgeText(h.device, now), c.text);
  }
}

}  // namespace
