#include "krt_device.h"

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstring>

#include "device/hvr38qt.h"
#include "plugin/providers.h"
#include "recording_controller.h"

namespace {

using testing_support::RecordingController;

TEST(HostFramework, InfoLogFormatsArgumentsAsNumbers) {
  RecordingController c;
  const std::uint32_t id = 4000000000u;
  const int n = -3;
  const std::uint8_t b = 7;
  c.InfoLog(1, "HVR38QT:ProcotolError {} parse {} != {} ", id, n, b);
  c.InfoLog(1, "only {}", id);
  c.InfoLog(1, "more places {} {} than arguments", id);
  EXPECT_EQ(c.logs,
            (std::vector<std::string>{"HVR38QT:ProcotolError 4000000000 parse -3 != 7 ",
                                      "only 4000000000", "more places {} {} than arguments"}));
}

TEST(HostFramework, DeviceLogsOnlyWhileItsControllerLives) {
  auto c = std::make_shared<RecordingController>();
  HVR38QT d{hvr38qt::device_parts()};
  d.SetController(c);
  d.SetDataId(9);
  d.InfoLog("dev {} value {}", 9u, std::uint8_t{200});
  EXPECT_EQ(c->logs, std::vector<std::string>{"dev 9 value 200"});
  c.reset();
  d.InfoLog("dev {}", 9u);  // the controller is gone: nothing happens

  // The host's default controller takes every effect and discards it.
  auto plain = std::make_shared<KRTController>();
  d.SetController(plain);
  d.InfoLog("dev {}", 9u);
  d.RoundDone();
  EXPECT_EQ(d.DataReady(), 1);
}

// Itanium C++ ABI: a pointer to a virtual member function holds 1 + the
// byte offset of its slot in the virtual table.
template <class F>
long slot_of(F f) {
  static_assert(sizeof(F) == 2 * sizeof(void*));
  std::uintptr_t word = 0;
  std::memcpy(&word, &f, sizeof word);
  EXPECT_EQ(word & 1u, 1u) << "not a virtual function";
  return static_cast<long>((word - 1) / sizeof(void*));
}

TEST(HostFramework, DeviceSlotOrder) {
  using LoadText = int (VDeviceInterface::*)(const std::string&);
  using LoadBytes = int (VDeviceInterface::*)(const unsigned char*, int);
  // Every operation in slot order; the destructor takes slots 8 and 9.
#define SLOT(op) {#op, slot_of(&HVR38QT::op)}
  const std::vector<std::pair<const char*, long>> slots = {
      SLOT(Get_Value),
      {"LoadFromCache(string)", slot_of(static_cast<LoadText>(&VDeviceInterface::LoadFromCache))},
      {"LoadFromCache(data)", slot_of(static_cast<LoadBytes>(&VDeviceInterface::LoadFromCache))},
      SLOT(DataId), SLOT(DeviceType), SLOT(DeviceIoControl), SLOT(RoundDone),
      SLOT(UseControllerDb), SLOT(Reset), SLOT(InitV), SLOT(Init), SLOT(InitSetting),
      SLOT(IsSupportDevice), SLOT(GetChildVDevice), SLOT(GetAllChildVDevices), SLOT(SendSP),
      SLOT(SendDelayData), SLOT(SendDoData), SLOT(ReadDi), SLOT(ReadAi), SLOT(Get_SP_Value),
      SLOT(RefreshStatus), SLOT(process), SLOT(IsProcessing), SLOT(IsStalled), SLOT(SendData),
      SLOT(SendParityData), SLOT(OpenPort), SLOT(ClosePort), SLOT(process_payload),
      SLOT(process_error), SLOT(RunCheckThreshold),
  };
#undef SLOT
  long expected = 0;
  for (const auto& [name, slot] : slots) {
    EXPECT_EQ(slot, expected) << name;
    expected += (expected == 7) ? 3 : 1;  // skip the two destructor slots
  }
  EXPECT_EQ(slot_of(&HVR38QTProvider::create), 2);  // after the two destructors
}

TEST(HostFramework, TtimeLayout) {
  using namespace boost::posix_time;
  const ptime t(boost::gregorian::date(2024, 2, 29), hours(23) + minutes(5) + seconds(59));
  EXPECT_EQ(get_ttime(t), (ttime{0xE8, 0x07, 2, 29, 23, 5, 59}));
  EXPECT_EQ(get_ttime(ptime()), ttime{});
}

}  // namespace
