// Where a tool lies, and the player's settings file beside it: the archive's layout puts each
// platform's tools in tools/ (the Pi's in the folder itself) and the settings in plugins/.
#ifndef VONTREL_TOOLS_COMMON_BESIDE_THE_TOOLS_H
#define VONTREL_TOOLS_COMMON_BESIDE_THE_TOOLS_H

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "os/os.h"
#include "settings/settings.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max, not the macros
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // nor COM's "interface", a word other headers use
#endif
#include <windows.h>
#endif

namespace vontrel::tools {

// The folder of the running program; from argv[0] only where the system cannot tell.
inline std::filesystem::path tool_folder(const char* argv0) {
#ifdef _WIN32
  wchar_t path[1024];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, 1024);
  if (length > 0 && length < 1024) {
    return std::filesystem::path(path).parent_path();
  }
#else
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    return self.parent_path();
  }
#endif
  return std::filesystem::absolute(std::filesystem::path(argv0 == nullptr ? "" : argv0))
      .parent_path();
}

// The CAN adapter's port in the first of `files` that is a settings file, else beside the
// tools; empty where none names one. An Arduino-based adapter is a board `auto` would take for
// the cluster's: the tools that take `auto` leave this one alone.
inline std::string can_port_in_settings(std::vector<std::string> files,
                                        const std::filesystem::path& tools) {
  files.push_back((tools / ".." / "plugins" / "Vontrel.txt").lexically_normal().string());
  files.push_back((tools / "plugins" / "Vontrel.txt").lexically_normal().string());
  for (const std::string& file : files) {
    Settings settings;
    if (os::kind_of_file(file) == os::file_kind::regular && settings.load(file)) {
      return settings.get_string("can_port", "");
    }
  }
  return {};
}

}  // namespace vontrel::tools

#endif  // VONTREL_TOOLS_COMMON_BESIDE_THE_TOOLS_H
