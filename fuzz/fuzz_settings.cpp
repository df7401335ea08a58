// libFuzzer entry: see drive_settings in drivers.h for the input layout.
#include "fuzz/drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::drive_settings(data, size);
  return 0;
}
