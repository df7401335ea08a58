// How a cycle ended and which protocol errors it counted, as the device
// tells the host; and the cycle end reading its buffer again for history.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "cycle_driver.h"
#include "device/cycle_errors.h"
#include "device_fixture.h"

namespace {

using namespace testing_support;
using hvr38qt::CycleError;

struct EndCase {
  const char* name;
  void (*drive)(DeviceFixture&);
  CycleEnd end;
  int errors;  // protocol errors counted by the cycle
};

const EndCase kEnds[] = {
    {"published", [](DeviceFixture& f) { full_cycle(f, CycleData{}); }, CycleEnd::kPublished, 0},
    {"unchanged",
     [](DeviceFixture& f) {
       full_cycle(f, CycleData{});
       f.device->RefreshStatus();
       f.reply(analog(0, 535, {100, 200}));
     },
     CycleEnd::kUnchanged, 0},
    {"failed on a short module detail",
     [](DeviceFixture& f) {
       f.device->RefreshStatus();
       f.reply(analog(1, 535, {100, 200}));
       f.reply(switch_states(2));
       f.reply(alarm_states(2));
       f.reply({0, 1, 2});
     },
     CycleEnd::kFailed, 1},
    {"failed without a message (bad 0xA3 length)",
     [](DeviceFixture& f) {
       CycleData d;
       d.a3 = Info(10, 0);
       full_cycle(f, d);
     },
     CycleEnd::kFailed, 0},
    {"running while a reply is awaited",
     [](DeviceFixture& f) {
       f.device->RefreshStatus();
       f.reply(analog(1, 535, {100, 200}));
     },
     CycleEnd::kRunning, 0},
};

TEST(CycleEnd, IsSetByEachEnding) {
  for (const auto& c : kEnds) {
    SCOPED_TRACE(c.name);
    DeviceFixture f;
    c.drive(f);
    EXPECT_EQ(f.device->LastCycleEnd(), c.end);
    EXPECT_EQ(f.device->ProtocolErrorTotal(), static_cast<std::uint64_t>(c.errors));
    // A new cycle runs until it ends.
    f.device->RefreshStatus();
    EXPECT_EQ(f.device->LastCycleEnd(), CycleEnd::kRunning);
  }
}

TEST(CycleErrors, AreCountedByCodeAndLoggedWithTheTableText) {
  DeviceFixture f;
  for (int i = 0; i < 2; ++i) {
    f.device->RefreshStatus();
    f.reply(analog(1, 535, {100, 200}));
    f.reply(switch_states(2));
    f.reply(alarm_states(2));
    f.reply({0, 9});  // module 9 of 2
  }
  const auto kind = hvr38qt::cycle_error_kind(CycleError::kModuleIndex);
  EXPECT_EQ(f.device->LastProtocolError().code, kind.code);
  EXPECT_EQ(f.device->LastProtocolError().name, "p41_8f_index");
  ASSERT_EQ(f.device->ProtocolErrorCounts().size(), 1u);
  EXPECT_EQ(f.device->ProtocolErrorCounts()[0].second, 2u);
  ASSERT_FALSE(f.controller->logs.empty());
  EXPECT_EQ(f.controller->logs.back(), "HVR38QT:ProcotolError 1 parse 41_8F error, index out of range");
  // Frame-layer rejections are counted under their own codes.
  std::string bad = reply_frame({1, 2, 3});
  bad[bad.size() - 2] = bad[bad.size() - 2] == '0' ? '1' : '0';  // break the checksum
  f.device->RefreshStatus();
  f.device->process(reinterpret_cast<unsigned char*>(bad.data()), static_cast<unsigned>(bad.size()));
  EXPECT_EQ(f.device->LastProtocolError().name, "frame_checksum");
  EXPECT_LT(f.device->LastProtocolError().code, kDeviceErrorBase);
  // Every kind has a distinct name.
  for (std::size_t i = 0; i < hvr38qt::kCycleErrorTexts.size(); ++i)
    for (std::size_t j = i + 1; j < hvr38qt::kCycleErrorTexts.size(); ++j)
      EXPECT_NE(hvr38qt::kCycleErrorTexts[i].name, hvr38qt::kCycleErrorTexts[j].name);
}

// A host that restores the cache with another length while the snapshot is
// being published: the history step must read the buffer as it is then.
class RestoringController : public RecordingController {
 public:
  HVR38QT* device = nullptr;
  std::vector<unsigned char> restore = std::vector<unsigned char>(7, 0xAB);
  void SendSP(unsigned id, int type, const unsigned char* data, unsigned size, bool delayed) override {
    RecordingController::SendSP(id, type, data, size, delayed);
    device->LoadFromCache(restore.data(), static_cast<int>(restore.size()));
  }
};

TEST(RoundDone, HistoryReadsTheBufferAfterAHostRestore) {
  auto controller = std::make_shared<RestoringController>();
  DeviceFixture f;
  controller->device = f.device.get();
  f.device->Init(controller, 1, Json::Value(Json::objectValue));
  full_cycle(f, CycleData{});
  ASSERT_EQ(controller->histories.size(), 1u);
  EXPECT_EQ(controller->histories[0], controller->restore);
}

}  // namespace
