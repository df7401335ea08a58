// Factories of this plug-in.
#pragma once

#include "krt_device.h"

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
