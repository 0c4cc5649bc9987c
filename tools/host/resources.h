// What this process holds: open descriptors or handles, and resident memory. A plug-in that
// leaks either across start-ups or unloads slowly takes the host down.
#ifndef VONTREL_TOOLS_HOST_RESOURCES_H
#define VONTREL_TOOLS_HOST_RESOURCES_H

#include <cstdint>
#include <string>

namespace vontrel::host {

struct Resources {
  std::uint64_t handles = 0;     // open file descriptors, or Windows handles
  std::uint64_t memory_kib = 0;  // resident set, or working set
};

Resources current_resources();
std::string describe(const Resources& resources);

}  // namespace vontrel::host

#endif  // VONTREL_TOOLS_HOST_RESOURCES_H
