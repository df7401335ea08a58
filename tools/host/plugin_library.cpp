#include "plugin_library.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace krthost {

PluginLibrary::PluginLibrary(const std::string& path) : path_(path) {
  // Opening a directory or a missing file by a relative name would make
  // dlopen search the library path: say what is wrong with the name given.
  std::error_code ec;
  if (!std::filesystem::exists(path, ec))
    throw PluginError("plug-in " + path + ": no such file");
  if (std::filesystem::is_directory(path, ec))
    throw PluginError("plug-in " + path + ": is a directory");
  const std::string name = path.find('/') == std::string::npos ? "./" + path : path;
  handle_ = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = ::dlerror();
    throw PluginError("plug-in " + path + ": cannot be loaded: " + (why ? why : "unknown error"));
  }
  ::dlerror();
  void* symbol = ::dlsym(handle_, "get_providers");
  if (symbol == nullptr) {
    ::dlclose(handle_);
    handle_ = nullptr;
    throw PluginError("plug-in " + path + ": has no get_providers entry point");
  }
  get_providers_ = reinterpret_cast<GetProvidersFn>(symbol);
}

PluginLibrary::~PluginLibrary() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

std::shared_ptr<KRTSPDeviceProvider> PluginLibrary::SerialProvider() const {
  ProviderList providers;
  try {
    providers = get_providers_();
  } catch (const std::exception& e) {
    throw PluginError("plug-in " + path_ + ": get_providers failed: " + e.what());
  }
  for (const auto& p : providers)
    if (auto serial = std::dynamic_pointer_cast<KRTSPDeviceProvider>(p)) return serial;
  throw PluginError("plug-in " + path_ + ": get_providers offers no serial device");
}

std::string DefaultPluginPath() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  const auto dir = ec ? std::filesystem::path(".") : exe.parent_path();
  const auto beside = dir / "libhvr38qt.so";
  if (std::filesystem::exists(beside, ec)) return beside.string();
  // In the build tree the plug-in is built in a sibling directory.
  const auto built = (dir.parent_path() / "plugin" / "libhvr38qt.so").lexically_normal();
#ifdef KRTHOST_PLUGIN_RELDIR
  // Installed: the plug-in directory relative to the program's own.
  const auto installed = (dir / KRTHOST_PLUGIN_RELDIR / "libhvr38qt.so").lexically_normal();
  if (!std::filesystem::exists(built, ec) &&
      (std::filesystem::exists(installed, ec) || dir.filename() == "bin"))
    return installed.string();
#endif
  return built.string();
}

}  // namespace krthost
