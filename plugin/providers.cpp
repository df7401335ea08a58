#include "plugin/providers.h"

#include "device/hvr38qt.h"

HVR38QTProvider::~HVR38QTProvider() = default;

KRTSPDevice* HVR38QTProvider::create() const { return new HVR38QT(); }

// The entry point returns a C++ value with C linkage (an unmangled name);
// the host that loads it is C++ too.
extern "C" __attribute__((visibility("default"))) ProviderList get_providers() {
  return ProviderList{std::make_shared<HVR38QTProvider>()};
}
