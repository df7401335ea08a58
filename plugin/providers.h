// Factories of this plug-in, and its assembly point: the device with its
// snapshot layout and rule sets filled in.
#pragma once

#include <memory>

#include "device/hvr38qt.h"
#include "krt_device.h"

namespace hvr38qt {

// The snapshot layout and the rule sets of this plug-in, as the device
// calls them (for devices of derived classes).
const DeviceParts& device_parts();
// A new device with default settings, as the host's factory creates it.
std::unique_ptr<HVR38QT> make_device();

}  // namespace hvr38qt

class HVR38QTProvider : public KRTSPDeviceProvider {
 public:
  HVR38QTProvider() = default;
  ~HVR38QTProvider() override;
  // A new device with default settings; the caller owns it.
  KRTSPDevice* create() const override;
};

// The host resolves the entry point by its plain name and is C++ itself, so
// returning a C++ type with C linkage is intended.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" ProviderList get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
