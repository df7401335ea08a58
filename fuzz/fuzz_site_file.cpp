// libFuzzer entry: see drive_site_file in site_drivers.h for the input layout.
#include "fuzz/site_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Skipped inputs stay out of the corpus.
  return fuzz::drive_site_file(data, size) ? 0 : -1;
}
