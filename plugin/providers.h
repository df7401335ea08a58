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

extern "C" ProviderList get_providers();
