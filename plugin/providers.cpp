#include "plugin/providers.h"

#include "alarms/evaluate.h"
#include "snapshot/snapshot.h"

namespace hvr38qt {

const DeviceParts& device_parts() {
  static const DeviceParts parts{
      .snapshot_size = snapshot::image_size,
      .serialise = snapshot::serialise,
      .make_rule_set = alarms::make_rule_set,
  };
  return parts;
}

std::unique_ptr<HVR38QT> make_device() { return std::make_unique<HVR38QT>(device_parts()); }

}  // namespace hvr38qt

HVR38QTProvider::~HVR38QTProvider() = default;

KRTSPDevice* HVR38QTProvider::create() const { return hvr38qt::make_device().release(); }

// The entry point returns a C++ value with C linkage (an unmangled name);
// the host that loads it is C++ too.
extern "C" __attribute__((visibility("default"))) ProviderList get_providers() {
  return ProviderList{std::make_shared<HVR38QTProvider>()};
}
