// libFuzzer entry: see drive_frame_stream in drivers.h for the input layout.
#include "fuzz/drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::drive_frame_stream(data, size);
  return 0;
}
