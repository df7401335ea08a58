// The simulator's answers: reply layouts the device decodes, alarm lists in
// parts, fault injection, and the scenario file's checks.
#include "simulator.h"

#include "protocol/protocol.h"

#include <gtest/gtest.h>

namespace {

namespace wire = hvr38qt::wire;
using wire::Cid2;
using sim::AlarmEntry;
using sim::Output;
using sim::Scenario;
using sim::Simulator;

std::string request(Cid2 cid2, std::vector<std::uint8_t> data = {}, std::uint8_t adr = 1) {
  return frame::encode(0x21, adr, wire::kCid1, wire::code(cid2), data);
}

Output feed(Simulator& s, const std::string& bytes) {
  return s.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

struct Decoded {
  std::vector<frame::Frame> frames;
  std::vector<frame::Error> errors;
  std::string noise;  // bytes before the first frame
};

Decoded decode(const std::string& bytes) {
  Decoded d;
  const auto soi = bytes.find('~');
  d.noise = bytes.substr(0, soi);
  frame::StreamDecoder dec;
  dec.feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
           [&](const frame::Frame& f) { d.frames.push_back(f); },
           [&](frame::Error e, std::string_view) { d.errors.push_back(e); });
  return d;
}

// The info bytes of the only reply to one request.
std::vector<std::uint8_t> info_of(Simulator& s, Cid2 cid2, std::vector<std::uint8_t> data = {}) {
  const Decoded d = decode(feed(s, request(cid2, std::move(data))).bytes);
  EXPECT_EQ(d.frames.size(), 1u);
  if (d.frames.empty()) return {};
  return {d.frames[0].bytes.begin() + 6, d.frames[0].bytes.end()};
}

Scenario scenario(const std::string& json) { return sim::LoadScenarioText(json); }

TEST(Simulator, AnswersTheDefaultSiteInTheControllersLayout) {
  Simulator s(sim::DefaultScenario());
  const auto analog = info_of(s, Cid2::kAnalog);
  ASSERT_EQ(analog.size(), 4u + 6 * 3);
  EXPECT_EQ(analog[0], 1);                          // changed
  EXPECT_EQ((analog[1] << 8) | analog[2], 535);     // 53.5 V in tenths
  EXPECT_EQ(analog[3], 6);                          // six modules
  EXPECT_EQ((analog[4] << 8) | analog[5], 124);     // module 1 at 12.4 A
  EXPECT_EQ(info_of(s, Cid2::kSwitch).size(), 1u + 6 * 4);
  EXPECT_EQ(info_of(s, Cid2::kAlarmState).size(), 1u + 6 * 2);
  // Module details: byte 0 starts again, byte 1 walks on; the last is marked.
  for (int k = 1; k <= 6; ++k) {
    const auto d = info_of(s, Cid2::kModuleDetail, {static_cast<std::uint8_t>(k == 1 ? 0 : 1)});
    ASSERT_EQ(d.size(), 61u);
    EXPECT_EQ(d[0], k == 6 ? 1 : 0) << k;
    EXPECT_EQ(d[1], k) << k;
  }
  const auto ac = info_of(s, Cid2::kAcUnit, {1});
  ASSERT_EQ(ac.size(), 27u);
  EXPECT_EQ((ac[0] << 8) | ac[1], 2304);  // 230.4 V
  EXPECT_EQ((ac[6] << 8) | ac[7], 0);     // input 2 off
  EXPECT_EQ(info_of(s, Cid2::kDcUnit, {1}).size(), 219u);
  EXPECT_EQ(info_of(s, Cid2::kBlockA3).size(), 144u);
  EXPECT_EQ(info_of(s, Cid2::kWord93), (std::vector<std::uint8_t>{0x00, 0x19}));
  EXPECT_EQ(info_of(s, Cid2::kAlarmList1)[0], 4);  // four active alarms
}

TEST(Simulator, ReturnCodesForWhatTheControllerDoesNotHave) {
  Simulator s(scenario(R"({"ac_units":[{}]})"));
  const struct {
    std::string request;
    std::uint8_t rtn;
  } cases[] = {
      {request(Cid2::kDcUnit, {1}), 4},  // no DC unit
      {request(Cid2::kAcUnit, {2}), 4},  // no second AC unit
      {request(static_cast<Cid2>(0x55)), 4},       // unknown command
      {frame::encode(0x21, 1, 0x40, wire::code(Cid2::kAnalog), {}), 4},  // another device class
      {"~2101414200000000\r", 2},                   // checksum wrong
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    const Decoded d = decode(feed(s, c.request).bytes);
    ASSERT_EQ(d.frames.size(), 1u);
    EXPECT_EQ(d.frames[0].bytes[3], c.rtn);
  }
  // A request to another address on the bus is not answered.
  EXPECT_TRUE(feed(s, request(Cid2::kAnalog, {}, 7)).bytes.empty());
}

TEST(Simulator, SplitsTheAlarmListIntoPartsOfFifty) {
  const struct {
    std::size_t count;
    std::vector<std::size_t> entries;  // per part 0x9C..0x9F
  } cases[] = {{0, {0, 0, 0, 0}}, {50, {50, 0, 0, 0}}, {51, {50, 1, 0, 0}},
               {151, {50, 50, 50, 1}}, {255, {50, 50, 50, 105}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    std::vector<AlarmEntry> list;
    for (std::size_t i = 0; i < c.count; ++i)
      list.push_back({1, 12, static_cast<std::uint16_t>(0x100 + i)});
    Simulator s(Scenario{});
    s.SetAlarms(list);
    feed(s, request(Cid2::kAnalog));
    const auto first = info_of(s, Cid2::kAlarmList1);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first[0], c.count);
    EXPECT_EQ(first.size(), 1 + 4 * c.entries[0]);
    if (c.count > 0) {
      EXPECT_EQ(first[3], 0x01) << "code big-endian";
    }
    for (int part = 1; part < 4; ++part)
      EXPECT_EQ(info_of(s, wire::alarm_list_request(static_cast<unsigned>(part))).size(),
                4 * c.entries[part])
          << part;
  }
}

TEST(Simulator, CyclesAlarmSetsOnePerPoll) {
  Simulator s(scenario(R"({"alarm_sets":[[[1,12,29]], [], [[0,6,1],[0,6,2]]]})"));
  std::vector<int> counts;
  for (int poll = 0; poll < 4; ++poll) {
    feed(s, request(Cid2::kAnalog));
    counts.push_back(info_of(s, Cid2::kAlarmList1)[0]);
  }
  EXPECT_EQ(counts, (std::vector<int>{1, 0, 2, 1}));
}

TEST(Simulator, InjectsFaultsIntoMatchingReplies) {
  struct Case {
    const char* fault;
    std::function<void(const Output&, const Decoded&)> check;
  };
  const Case cases[] = {
      {R"({"cid2":"0x42","rtn":2})",
       [](const Output&, const Decoded& d) { ASSERT_EQ(d.frames.size(), 1u); EXPECT_EQ(d.frames[0].bytes[3], 2); }},
      {R"({"cid2":66,"info":"0102"})",
       [](const Output&, const Decoded& d) {
         ASSERT_EQ(d.frames.size(), 1u);
         EXPECT_EQ(d.frames[0].bytes, (std::vector<std::uint8_t>{0x21, 1, 0x41, 0, 4, 0, 1, 2}));
       }},
      {R"({"cid2":66,"no_reply":true})", [](const Output& o, const Decoded&) { EXPECT_TRUE(o.bytes.empty()); }},
      {R"({"cid2":66,"bad_checksum":true})",
       [](const Output&, const Decoded& d) {
         EXPECT_TRUE(d.frames.empty());
         EXPECT_EQ(d.errors, (std::vector<frame::Error>{frame::Error::kChecksum}));
       }},
      {R"({"cid2":66,"garbage":"00 FF 0D"})",
       [](const Output&, const Decoded& d) {
         EXPECT_EQ(d.noise, std::string("\x00\xFF\r", 3));
         EXPECT_EQ(d.frames.size(), 1u);
       }},
      {R"({"cid2":66,"truncate":10})",
       [](const Output& o, const Decoded& d) {
         EXPECT_EQ(o.bytes.size(), 10u);
         EXPECT_TRUE(d.frames.empty());
       }},
      {R"({"cid2":66,"disconnect":true})", [](const Output& o, const Decoded&) { EXPECT_TRUE(o.disconnect); }},
      {R"({"cid2":66,"delay_ms":250})",
       [](const Output& o, const Decoded& d) { EXPECT_EQ(o.delay_ms, 250); EXPECT_EQ(d.frames.size(), 1u); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    Simulator s(scenario(std::string(R"({"faults":[)") + c.fault + "]}"));
    const Output o = feed(s, request(Cid2::kAnalog));
    c.check(o, decode(o.bytes));
    // Other commands are answered as usual.
    EXPECT_EQ(decode(feed(s, request(Cid2::kWord93)).bytes).frames.size(), 1u);
  }
}

TEST(Simulator, FaultSkipCountAndDataSelectTheRequests) {
  Simulator s(scenario(R"({"modules":[{},{}],"ac_units":[{},{}],
      "faults":[{"cid2":"0xA2","data":"02","no_reply":true},
                {"cid2":"0x42","skip":1,"count":2,"rtn":5}]})"));
  EXPECT_FALSE(feed(s, request(Cid2::kAcUnit, {1})).bytes.empty());
  EXPECT_TRUE(feed(s, request(Cid2::kAcUnit, {2})).bytes.empty());
  std::vector<int> rtn;
  for (int i = 0; i < 4; ++i) rtn.push_back(decode(feed(s, request(Cid2::kAnalog)).bytes).frames.at(0).bytes[3]);
  EXPECT_EQ(rtn, (std::vector<int>{0, 5, 5, 0}));
}

TEST(Simulator, EchoesTheRequestAheadOfTheReply) {
  Simulator s(scenario(R"({"echo":true})"));
  const std::string req = request(Cid2::kWord93);
  const std::string out = feed(s, req).bytes;
  EXPECT_EQ(out.substr(0, req.size()), req);
  EXPECT_EQ(decode(out).frames.size(), 2u);
}

TEST(Simulator, TakesRequestsInAnyChunking) {
  Simulator s(sim::DefaultScenario());
  const std::string req = request(Cid2::kWord93) + request(Cid2::kExtras);
  std::string out;
  for (char c : req) out += feed(s, std::string(1, c)).bytes;
  EXPECT_EQ(decode(out).frames.size(), 2u);
  ASSERT_EQ(s.Requests().size(), 2u);
  EXPECT_EQ(s.Requests()[1].cid2, wire::code(Cid2::kExtras));
}

TEST(Simulator, KeepsOnlyTheLatestRequestsButCountsThemAll) {
  Simulator s(sim::DefaultScenario());
  const std::size_t total = Simulator::kRequestLog + 10;
  for (std::size_t i = 0; i < total; ++i)
    feed(s, request(Cid2::kAcUnit, {static_cast<std::uint8_t>(i & 0xFF)}));
  EXPECT_EQ(s.RequestCount(), total);
  const auto kept = s.Requests();
  ASSERT_EQ(kept.size(), Simulator::kRequestLog);
  EXPECT_EQ(kept.front().data, std::vector<std::uint8_t>{10});  // the oldest kept is request 10
  EXPECT_EQ(kept.back().data, std::vector<std::uint8_t>{static_cast<std::uint8_t>((total - 1) & 0xFF)});
  // A shorter log drops the oldest at once; none keeps nothing but counts.
  s.SetRequestLog(2);
  ASSERT_EQ(s.Requests().size(), 2u);
  EXPECT_EQ(s.Requests().back().data, kept.back().data);
  s.SetRequestLog(0);
  feed(s, request(Cid2::kAcUnit, {1}));
  EXPECT_TRUE(s.Requests().empty());
  EXPECT_EQ(s.RequestCount(), total + 1);
}

TEST(Scenario, NamedFieldsAreLaidOutAsOnTheWire) {
  const Scenario s = scenario(R"({
    "modules":[{"value16":[1,2,3],"value32":[4,5,"0x01020304"]}],
    "dc_units":[{"value16":258,"branches":[{"byte":9}]}],
    "extras":{"ext_state_1":1,"ext_value":100.0},
    "ac_units":[{"values":[1,2,3],"u_b":220.5}]})");
  const auto& d = s.modules[0].detail;
  ASSERT_EQ(d.size(), 60u);
  EXPECT_EQ(d[0], 1);                        // module number
  EXPECT_EQ(d[10], 0);  EXPECT_EQ(d[11], 1); // value16_1 big-endian at info 11-12
  EXPECT_EQ(d[24], 1); EXPECT_EQ(d[25], 2); EXPECT_EQ(d[26], 3); EXPECT_EQ(d[27], 4);  // value32_3
  ASSERT_EQ(s.dc_units[0].size(), 219u);
  EXPECT_EQ(s.dc_units[0][0], 1);
  EXPECT_EQ(s.dc_units[0][1], 2);
  EXPECT_EQ(s.dc_units[0][11 + 12], 9);      // branch 1 byte
  EXPECT_EQ(s.extras, (std::vector<std::uint8_t>{1, 0, 0x03, 0xE8}));
  EXPECT_DOUBLE_EQ(s.ac_units[0].values[1], 220.5);
  EXPECT_DOUBLE_EQ(s.ac_units[0].values[2], 3.0);
}

TEST(Scenario, RefusesWhatItCannotServeAndNamesTheMember) {
  std::string many = "[";
  for (int i = 0; i < 256; ++i) many += std::string(i ? "," : "") + "[1,1,1]";
  many += "]";
  const struct {
    std::string json;
    const char* error;
  } cases[] = {
      {"{", "not valid JSON"},
      {"[]", "expected an object"},
      {R"({"modul":[]})", "unknown member \"modul\""},
      {R"({"modules":[{"curent":1}]})", "modules[0]: unknown member \"curent\""},
      {R"({"modules":[{"current":"x"}]})", "modules[0].current: expected a number"},
      {R"({"modules":[{"detail":"00"}]})", "modules[0].detail: expected 60 bytes"},
      {R"({"modules":[{"detail":"0"}]})", "modules[0].detail: not an even number of hex digits"},
      {R"({"modules":[{"switch":[1,2]}]})", "modules[0].switch: expected 3 bytes"},
      {R"({"modules":[{"alarm_state":256}]})", "modules[0].alarm_state: 256 is above 255"},
      {R"({"ac_units":[{"values":[1,2,3,4,5,6,7,8,9,10,11,12,13]}]})", "ac_units[0].values: at most 12"},
      {R"({"dc_units":[{"raw":"00"}]})", "dc_units[0].raw: expected 219 bytes"},
      {R"({"dc_units":[{"branches":[{"value16_1":65536}]}]})", "dc_units[0].branches[0].value16_1"},
      {R"({"word_93":40000})", "word_93"},
      {R"({"alarms":[{"unit":1,"category":12,"code":70000}]})", "alarms[0].code"},
      {R"({"alarms":)" + many + "}", "alarms: at most 255"},
      {R"({"alarms":[],"alarm_sets":[[]]})", "exclude each other"},
      {R"({"alarm_sets":[]})", "alarm_sets: expected at least one list"},
      {R"({"faults":[{"rtn":2}]})", "faults[0]: \"cid2\" is required"},
      {R"({"faults":[{"cid2":"0xZZ"}]})", "faults[0].cid2"},
      {R"({"faults":[{"cid2":66,"no_reply":1}]})", "faults[0].no_reply: expected true or false"},
      {R"({"echo":"yes"})", "echo: expected true or false"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json.substr(0, 80));
    try {
      sim::LoadScenarioText(c.json);
      ADD_FAILURE() << "accepted";
    } catch (const sim::ScenarioError& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
  }
}

TEST(Scenario, TenthsAreRoundedAndHeldToSixteenBits) {
  EXPECT_EQ(sim::ToTenths(53.5), 535);
  EXPECT_EQ(sim::ToTenths(0.04), 0);
  EXPECT_EQ(sim::ToTenths(0.05), 1);
  EXPECT_EQ(sim::ToTenths(-3), 0);
  EXPECT_EQ(sim::ToTenths(6553.5), 65535);
  EXPECT_EQ(sim::ToTenths(1e9), 65535);
}

}  // namespace
