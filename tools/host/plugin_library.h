// Loads a built plug-in the way a host does: by path, then the two entries by name.
#ifndef VONTREL_TOOLS_HOST_PLUGIN_LIBRARY_H
#define VONTREL_TOOLS_HOST_PLUGIN_LIBRARY_H

#include <string>

#include "plugin/host_sdk.h"

namespace vontrel::host {

class PluginLibrary {
 public:
  PluginLibrary() = default;
  ~PluginLibrary() { unload(); }
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // False with a reason in `error` when the library or one of its entries cannot be found.
  bool load(const std::string& path, std::string& error);
  void unload() noexcept;
  bool loaded() const noexcept { return module_ != nullptr; }

  scs_telemetry_init_t init = nullptr;
  scs_telemetry_shutdown_t shutdown = nullptr;

 private:
  void* module_ = nullptr;
};

}  // namespace vontrel::host

#endif  // VONTREL_TOOLS_HOST_PLUGIN_LIBRARY_H
