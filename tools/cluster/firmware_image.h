// What vontrel-cluster needs to know of a firmware file before simavr takes it: that it is an
// AVR ELF, and where the firmware keeps its health counts.
#ifndef VONTREL_TOOLS_CLUSTER_FIRMWARE_IMAGE_H
#define VONTREL_TOOLS_CLUSTER_FIRMWARE_IMAGE_H

#include <cstdint>
#include <optional>
#include <string>

namespace vontrel::cluster {

// The data address of the firmware's `vontrel_health`; nothing, with the reason, when the file
// is missing, is no AVR ELF or is not a Vontrel cluster firmware.
std::optional<std::uint16_t> health_address(const std::string& path, std::string& why);

}  // namespace vontrel::cluster

#endif  // VONTREL_TOOLS_CLUSTER_FIRMWARE_IMAGE_H
