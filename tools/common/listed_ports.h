// The serial ports present now, as the tools list them: the system's records, or with
// VONTREL_PORTS_ROOT a tree laid out as sysfs and /dev lay theirs, read instead, its devices
// opened inside it (the tests' way of plugging a board in and out).
#ifndef VONTREL_TOOLS_COMMON_LISTED_PORTS_H
#define VONTREL_TOOLS_COMMON_LISTED_PORTS_H

#include <cstdlib>
#include <vector>

#include "os/os.h"

namespace vontrel::tools {

inline std::vector<os::port_info> listed_ports() {
  std::vector<os::port_info> ports;
  const char* root = std::getenv("VONTREL_PORTS_ROOT");
  if (root == nullptr || *root == '\0') {
    os::list_serial_ports(ports);
    return ports;
  }
  os::list_serial_ports(ports, root);
  for (os::port_info& port : ports) {
    port.device = root + port.device;
  }
  return ports;
}

}  // namespace vontrel::tools

#endif  // VONTREL_TOOLS_COMMON_LISTED_PORTS_H
