// A device plug-in loaded with dlopen: its get_providers entry point and the
// serial-device factory it offers. Devices and providers taken from it must
// be gone before it is destroyed (their code lives in the library).
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "krt_device.h"

namespace krthost {

class PluginError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PluginLibrary {
 public:
  // Loads the library and finds get_providers. Throws PluginError.
  explicit PluginLibrary(const std::string& path);
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // The first serial-device factory of get_providers. Throws PluginError.
  std::shared_ptr<KRTSPDeviceProvider> SerialProvider() const;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  void* handle_ = nullptr;
  GetProvidersFn get_providers_ = nullptr;
};

// The plug-in built beside the running program.
std::string DefaultPluginPath();

}  // namespace krthost
