#include "tools/host/plugin_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace vontrel::host {

namespace {

#if defined(_WIN32)
void* open_module(const std::string& path, std::string& error) {
  HMODULE module = ::LoadLibraryA(path.c_str());
  if (module == nullptr) {
    error = "cannot load " + path + " (Windows error " + std::to_string(::GetLastError()) +
            "; a 32-bit host loads only the 32-bit DLL, a 64-bit host only the 64-bit one)";
  }
  return reinterpret_cast<void*>(module);
}

void* find_entry(void* module, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

void close_module(void* module) {
  ::FreeLibrary(static_cast<HMODULE>(module));
}
#else
void* open_module(const std::string& path, std::string& error) {
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* reason = ::dlerror();
    error = reason != nullptr ? reason : "cannot load " + path;
  }
  return module;
}

void* find_entry(void* module, const char* name) {
  return ::dlsym(module, name);
}

void close_module(void* module) {
  ::dlclose(module);
}
#endif

template <typename Function>
Function entry_as(void* address) {
  Function function = nullptr;
  static_assert(sizeof function == sizeof address);
  __builtin_memcpy(&function, &address, sizeof function);
  return function;
}

}  // namespace

bool PluginLibrary::load(const std::string& path, std::string& error) {
  unload();
  // A plug-in path without a directory would make the system search its library path.
  const std::string located =
      path.find('/') == std::string::npos && path.find('\\') == std::string::npos ? "./" + path
                                                                                  : path;
  module_ = open_module(located, error);
  if (module_ == nullptr) {
    return false;
  }
  init = entry_as<scs_telemetry_init_t>(find_entry(module_, "scs_telemetry_init"));
  shutdown = entry_as<scs_telemetry_shutdown_t>(find_entry(module_, "scs_telemetry_shutdown"));
  if (init == nullptr || shutdown == nullptr) {
    error = path + " does not export scs_telemetry_init and scs_telemetry_shutdown";
    unload();
    return false;
  }
  return true;
}

void PluginLibrary::unload() noexcept {
  if (module_ != nullptr) {
    close_module(module_);
    module_ = nullptr;
  }
  init = nullptr;
  shutdown = nullptr;
}

}  // namespace vontrel::host
