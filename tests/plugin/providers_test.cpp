#include "plugin/providers.h"

#include <gtest/gtest.h>

#include "device/hvr38qt.h"
#include "device_fixture.h"
#include "memory_transport.h"

namespace {

TEST(Providers, EachCallGivesOneNewProvider) {
  const ProviderList a = get_providers();
  const ProviderList b = get_providers();
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_NE(a[0].get(), b[0].get());
  EXPECT_EQ(a[0].use_count(), 1);  // the plug-in keeps no copy
  EXPECT_NE(dynamic_cast<HVR38QTProvider*>(a[0].get()), nullptr);
}

TEST(Providers, CreateGivesIndependentDevicesWithDefaultSettings) {
  const ProviderList list = get_providers();
  const auto* provider = dynamic_cast<const KRTSPDeviceProvider*>(list[0].get());
  ASSERT_NE(provider, nullptr);
  std::unique_ptr<VDeviceInterface> a(provider->create());
  std::unique_ptr<VDeviceInterface> b(provider->create());
  ASSERT_NE(a.get(), b.get());
  for (auto* v : {a.get(), b.get()}) {
    auto* d = dynamic_cast<HVR38QT*>(v);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->DeviceType(), "hvr38qt");
    EXPECT_EQ(d->BaudRate(), 9600u);
    EXPECT_EQ(d->Mode(), 1);
    EXPECT_EQ(d->AcNumber(), 1);
    EXPECT_EQ(d->DcNumber(), 1);
    EXPECT_EQ(d->DataReady(), 0);
    EXPECT_EQ(d->SnapshotSize(), 0);
    EXPECT_EQ(d->Snapshot(), nullptr);
  }
}

TEST(Providers, DestructionThroughTheRootsRunsTheWholeChain) {
  auto line = std::make_shared<MemoryTransport>();
  std::weak_ptr<std::vector<unsigned char>> buffer;
  {
    const ProviderList list = get_providers();
    VDeviceInterface* v = static_cast<const KRTSPDeviceProvider&>(*list[0]).create();
    auto* d = dynamic_cast<HVR38QT*>(v);
    d->SetTransport(line);
    d->Init(std::make_shared<KRTController>(), 1,
            testing_support::parse_json(R"({"appSetting":{"b_mode":"0"}})"));
    d->RefreshStatus();  // opens the line
    const std::vector<unsigned char> cached(40, 1);
    d->LoadFromCache(cached.data(), 40);
    buffer = d->Snapshot();
    ASSERT_TRUE(line->IsOpen());
    delete v;  // base pointer: the device's, the buffered base's and the line's parts go
    EXPECT_TRUE(buffer.expired());
    EXPECT_FALSE(line->IsOpen());
  }

  static int destroyed = 0;
  struct CountedProvider : HVR38QTProvider {
    ~CountedProvider() override { ++destroyed; }
  };
  Provider* p = new CountedProvider;
  delete p;
  EXPECT_EQ(destroyed, 1);

  std::weak_ptr<Provider> weak;
  {
    ProviderList list = get_providers();
    weak = list[0];
  }
  EXPECT_TRUE(weak.expired());
}

}  // namespace
