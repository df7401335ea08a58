// Line capture and replay: the capture text, how it is read back and cut
// into exchanges, the replay's answers, and a capture of real polls that,
// replayed, gives the same events.
#include "line_capture.h"
#include "replay.h"

#include <sstream>

#include <gtest/gtest.h>

#include "plugin/providers.h"
#include "event_writer.h"
#include "host_controller.h"
#include "line_tap.h"
#include "poll_runner.h"
#include "protocol/protocol.h"
#include "sim_transport.h"

namespace {

namespace wire = hvr38qt::wire;
using wire::Cid2;
using sim::CaptureChunk;
using sim::Direction;

std::string request(Cid2 cid2, std::vector<std::uint8_t> data = {}) {
  return frame::encode(0x21, 1, wire::kCid1, wire::code(cid2), data);
}
std::string reply(std::vector<std::uint8_t> info) { return frame::encode(0x21, 1, wire::kCid1, 0, info); }
// The characters between SOI and EOI.
std::string text_of(const std::string& frame) { return frame.substr(1, frame.size() - 2); }

CaptureChunk chunk(Direction d, double seconds, const std::string& bytes) {
  return CaptureChunk{d, seconds, bytes};
}

sim::Output feed(sim::Replay& r, const std::string& bytes) {
  return r.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

TEST(LineCapture, WrittenLinesReadBackAsTheSameChunks) {
  std::ostringstream out;
  sim::CaptureWriter w(out);
  const std::string tx = request(Cid2::kAnalog);
  const std::string rx = std::string("\x00\xFF", 2) + reply({1, 2, 3});
  w.Bytes(Direction::kTx, reinterpret_cast<const std::uint8_t*>(tx.data()), tx.size());
  w.Note("no reply to request 0x44\nsecond line");
  w.Bytes(Direction::kRx, reinterpret_cast<const std::uint8_t*>(rx.data()), rx.size());
  w.Bytes(Direction::kRx, nullptr, 0);  // nothing: no line

  const std::string text = out.str();
  EXPECT_EQ(text.rfind("# krthost line capture 1\n", 0), 0u) << text;
  std::istringstream lines(text);
  std::string line;
  std::vector<std::string> data_lines, remarks;
  while (std::getline(lines, line)) (line[0] == '#' ? remarks : data_lines).push_back(line);
  ASSERT_EQ(data_lines.size(), 2u);
  ASSERT_EQ(remarks.size(), 3u);  // the first line, the start, the note on one line
  EXPECT_NE(remarks[2].find("no reply to request 0x44 second line"), std::string::npos);
  // DATE TIME DIR HEX
  EXPECT_EQ(data_lines[0].size(), 10 + 1 + 15 + 1 + 2 + 1 + 2 * tx.size()) << data_lines[0];
  EXPECT_EQ(data_lines[0].substr(27, 3), "TX ");
  EXPECT_EQ(data_lines[1].substr(27, 7), "RX 00FF");

  const auto chunks = sim::ParseCapture(text);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].direction, Direction::kTx);
  EXPECT_EQ(chunks[0].bytes, tx);
  EXPECT_EQ(chunks[1].direction, Direction::kRx);
  EXPECT_EQ(chunks[1].bytes, rx);
  EXPECT_GE(chunks[1].seconds, chunks[0].seconds);
  EXPECT_LT(chunks[1].seconds - chunks[0].seconds, 5.0);
}

TEST(LineCapture, TimesCountAcrossMidnightAndMonthEnds) {
  const auto chunks = sim::ParseCapture(
      "2024-02-29 23:59:59.900000 TX 7E\n"
      "2024-03-01 00:00:00.150000 RX 0D\n"
      "2023-12-31 23:59:59 RX 0D\r\n");
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_NEAR(chunks[1].seconds - chunks[0].seconds, 0.25, 1e-6);
  EXPECT_NEAR(chunks[0].seconds - chunks[2].seconds, 60.0 * 86400 + 0.9, 1e-6);  // 31 + 29 days
}

TEST(LineCapture, BadLinesAreNamed) {
  struct Case {
    const char* text;
    const char* words;
  };
  const Case cases[] = {
      {"# remark\n\n2024-05-01 12:00:00.1 XX 7E\n", "line 3: the direction is \"XX\""},
      {"2024-05-01 12:00:00.1 TX 7E0\n", "line 1: an odd number"},
      {"2024-05-01 12:00:00.1 TX 7G\n", "line 1: 'G' is not a hex digit"},
      {"2024-05-01 12:00:00.1 TX\n", "line 1: no bytes"},
      {"12:00:00.1 TX 7E\n", "line 1: no date and time"},
      {"2024-13-01 12:00:00.1 TX 7E\n", "no date and time"},
      {"2024-05-01 25:00:00 TX 7E\n", "no date and time"},
      {"2024-05-01 12:00:0x TX 7E\n", "no date and time"},
      {"2024-05-01 12:00:00.5s TX 7E\n", "no date and time"},
      {"2024-05-01T12:00:00 TX 7E\n", "no date and time"},
  };
  for (const auto& c : cases) {
    try {
      sim::ParseCapture(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const sim::CaptureError& e) {
      EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << e.what();
    }
  }
}

TEST(LineCapture, ExchangesPairEachRequestWithAllThatCameBack) {
  const std::string r42 = request(Cid2::kAnalog), r44 = request(Cid2::kAlarmState), r8f = request(Cid2::kModuleDetail, {0});
  const std::string a42 = reply({1, 2}), a8f = reply({3});
  const std::vector<CaptureChunk> chunks = {
      chunk(Direction::kRx, 0.0, "stale"),                    // before any request: dropped
      chunk(Direction::kTx, 1.0, r42),
      chunk(Direction::kRx, 1.120, r42),                      // an echo
      chunk(Direction::kRx, 1.200, a42.substr(0, 5)),
      chunk(Direction::kRx, 1.300, a42.substr(5)),
      chunk(Direction::kTx, 2.0, r44),                        // no answer
      chunk(Direction::kTx, 3.0, r8f.substr(0, 4)),           // a request in two writes
      chunk(Direction::kTx, 3.010, r8f.substr(4)),
      chunk(Direction::kRx, 3.060, "\x01\x02" + a8f),
  };
  const auto ex = sim::Exchanges(chunks);
  ASSERT_EQ(ex.size(), 3u);
  EXPECT_EQ(ex[0].request, text_of(r42));
  EXPECT_EQ(ex[0].reply, r42 + a42);
  EXPECT_EQ(ex[0].delay_ms, 120);
  EXPECT_EQ(ex[1].request, text_of(r44));
  EXPECT_EQ(ex[1].reply, "");
  EXPECT_EQ(ex[1].delay_ms, 0);
  EXPECT_EQ(ex[2].request, text_of(r8f));
  EXPECT_EQ(ex[2].reply, "\x01\x02" + a8f);
  EXPECT_EQ(ex[2].delay_ms, 50);  // from the end of the request
}

TEST(LineCapture, ReplayAnswersInCaptureOrderAndGoesRound) {
  const std::string r42 = request(Cid2::kAnalog), r8f0 = request(Cid2::kModuleDetail, {0}), r8f1 = request(Cid2::kModuleDetail, {1});
  const std::vector<sim::Exchange> ex = {
      {text_of(r42), "A", 30}, {text_of(r8f0), "B", 0}, {text_of(r8f1), "C1", 0},
      {text_of(r8f1), "C2", 0}, {text_of(r42), "D", 40}, {text_of(r8f0), "", 0},
  };
  sim::Replay replay(ex);
  struct Step {
    std::string sent;
    std::string want;
    int delay_ms;
  };
  const Step steps[] = {
      {r42, "A", 30},
      {r8f0, "B", 0},
      {r8f1, "C1", 0},  // the same request twice: the capture's order
      {r8f1, "C2", 0},
      {r42, "D", 40},
      {r8f0, "", 0},     // answered with silence, as it was
      {r42, "A", 30},    // round again
      {r8f1, "C1", 0},   // skips forward to the next match
      {request(Cid2::kExtras), "", 0},  // not in the capture
      {r42, "D", 40},
  };
  for (const auto& s : steps) EXPECT_EQ(feed(replay, s.sent).bytes, s.want) << s.want;
  EXPECT_EQ(replay.Answered(), 9u);
  EXPECT_EQ(replay.Unknown(), 1u);

  // Two requests in one write are answered in turn; a half request waits,
  // and a new connection forgets it.
  sim::Replay again(ex, false);
  const auto two = feed(again, r42 + r8f0);
  EXPECT_EQ(two.bytes, "AB");
  EXPECT_EQ(two.delay_ms, 0) << "delays off";
  EXPECT_EQ(feed(again, r8f1.substr(0, 6)).bytes, "");
  again.Reconnect();
  EXPECT_EQ(feed(again, r8f1.substr(6)).bytes, "");
  EXPECT_EQ(feed(again, r8f1).bytes, "C1");
}

// A host on a line with a capture, as krthost runs one.
struct CapturedHost {
  CapturedHost(std::shared_ptr<ByteTransport> line, std::ostream* capture_out)
      : tap(std::make_shared<krthost::LineTap>(line, [this](const frame::Frame& f) {
          events.Request(f.bytes[2], f.bytes[3], f.bytes.data() + 6, f.bytes.size() - 6);
        })),
        controller(std::make_shared<krthost::HostController>(events, log)),
        runner(device, *tap, *controller, events, {200, 50, 2000}) {
    if (capture_out != nullptr) {
      capture = std::make_unique<sim::CaptureWriter>(*capture_out);
      tap->SetCapture(capture.get());
    }
    device.SetTransport(tap);
    device.Init(controller, 5, Json::Value(Json::objectValue));
  }

  // The events with what differs from run to run taken out: the time
  // stamp of the snapshots (image bytes 9-15) and the poll durations.
  std::vector<std::string> events_without_times() const {
    std::vector<std::string> out;
    std::istringstream in(stream.str());
    std::string line;
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    while (std::getline(in, line)) {
      Json::Value v;
      std::string errors;
      EXPECT_TRUE(r->parse(line.data(), line.data() + line.size(), &v, &errors));
      if (v["event"] == "snapshot" || v["event"] == "history") {
        std::string data = v["data"].asString();
        if (data.size() >= 32) data.replace(18, 14, 14, 'T');
        v["data"] = data;
      }
      v.removeMember("duration_ms");
      out.push_back(v.toStyledString());
    }
    return out;
  }

  std::ostringstream stream;
  krthost::EventWriter events{&stream};
  std::ostringstream log;
  std::unique_ptr<sim::CaptureWriter> capture;
  std::shared_ptr<krthost::LineTap> tap;
  std::shared_ptr<krthost::HostController> controller;
  HVR38QT device{hvr38qt::device_parts()};
  krthost::PollRunner runner;
};

TEST(LineCapture, ReplayingACaptureOfRealPollsGivesTheSameEvents) {
  // Four polls of a line with trouble: noise ahead of a reply, a reply that
  // never comes, a broken frame, then good polls.
  std::string scenario = sim::DefaultScenarioText();
  scenario.insert(scenario.rfind('}'),
                  R"(,"faults":[{"cid2":"0xA2","garbage":"00FF7E31"},
                                {"cid2":"0x44","no_reply":true,"count":1},
                                {"cid2":"0x95","bad_checksum":true,"skip":1,"count":1}])");
  std::ostringstream capture;
  CapturedHost first(std::make_shared<sim::SimTransport>(
                         std::make_shared<sim::Simulator>(sim::LoadScenarioText(scenario))),
                     &capture);
  std::vector<krthost::PollOutcome> outcomes;
  for (long i = 0; i < 4; ++i) outcomes.push_back(first.runner.Poll(i).outcome);
  first.device.ClosePort();
  EXPECT_EQ(outcomes[0], krthost::PollOutcome::kTimeout);
  EXPECT_EQ(outcomes[1], krthost::PollOutcome::kComplete);
  EXPECT_EQ(outcomes[3], krthost::PollOutcome::kComplete);
  EXPECT_NE(capture.str().find("# "), std::string::npos);
  EXPECT_NE(capture.str().find("no reply to request 0x44"), std::string::npos) << "the timeout is noted";

  auto replay = std::make_shared<sim::Replay>(sim::Exchanges(sim::ParseCapture(capture.str())));
  CapturedHost second(std::make_shared<sim::SimTransport>(replay, 0u), nullptr);
  for (long i = 0; i < 4; ++i) EXPECT_EQ(second.runner.Poll(i).outcome, outcomes[static_cast<std::size_t>(i)]);
  EXPECT_EQ(replay->Unknown(), 0u);
  EXPECT_EQ(second.events_without_times(), first.events_without_times());
  EXPECT_EQ(second.log.str().find("ERROR"), std::string::npos);
}

}  // namespace
