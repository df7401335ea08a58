// libFuzzer entry: see drive_http_request in site_drivers.h for the input layout.
#include "fuzz/site_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::drive_http_request(data, size);
  return 0;
}
