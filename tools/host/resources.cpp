#include "tools/host/resources.h"

#if defined(_WIN32)
#define PSAPI_VERSION 2
#include <windows.h>
// psapi.h needs the types of windows.h.
#include <psapi.h>
#else
#include <unistd.h>

#include <filesystem>
#include <fstream>
#endif

namespace vontrel::host {

#if defined(_WIN32)
Resources current_resources() {
  Resources resources;
  DWORD handles = 0;
  if (::GetProcessHandleCount(::GetCurrentProcess(), &handles) != 0) {
    resources.handles = handles;
  }
  PROCESS_MEMORY_COUNTERS counters{};
  if (::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters) != 0) {
    resources.memory_kib = counters.WorkingSetSize / 1024;
  }
  return resources;
}
#else
Resources current_resources() {
  Resources resources;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++resources.handles;
  }
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0;
  std::uint64_t resident = 0;
  if (statm >> size >> resident) {
    resources.memory_kib = resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) / 1024;
  }
  return resources;
}
#endif

std::string describe(const Resources& resources) {
  return "handles " + std::to_string(resources.handles) + ", memory " +
         std::to_string(resources.memory_kib) + " KiB";
}

}  // namespace vontrel::host
