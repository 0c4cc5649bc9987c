// What vontrel-cluster needs to know of a firmware file before simavr takes it: that it is an
// AVR ELF, and where the firmware keeps its health counts.
#ifndef VONTREL_TOOLS_CLUSTER_FIRMWARE_IMAGE_H
#define VONTREL_TOOLS_CLUSTER_FIRMWARE_IMAGE_H

#include <cstdint>
#include <optional>
#include <string>

namespace vontrel::cluster {

// Where each count lies in the firmware's health record (firmware/main.cpp, `Health`): byte
// offsets, the record packed as avr-gcc lays it out.
namespace health {
constexpr int BYTES = 0;           // u32
constexpr int OVERRUNS = 4;        // u16
constexpr int FRAMING_ERRORS = 6;  // u16
constexpr int RING_OVERFLOWS = 8;  // u16
constexpr int CYCLES = 10;         // u32
constexpr int TORN = 14;           // u32
constexpr int UNKNOWN = 18;        // u32
constexpr int RESETS = 22;         // u32
constexpr int RESET_CAUSE = 26;    // u8
constexpr int RING_PEAK = 27;      // u8
constexpr int NEEDLES = 28;        // u8
constexpr int NEEDLE_STEPS = 29;   // u16
constexpr int SIZE = 31;
}  // namespace health

// The data address of the firmware's `vontrel_health`; nothing, with the reason, when the file
// is missing, is no AVR ELF or is not a Vontrel cluster firmware.
std::optional<std::uint16_t> health_address(const std::string& path, std::string& why);

}  // namespace vontrel::cluster

#endif  // VONTREL_TOOLS_CLUSTER_FIRMWARE_IMAGE_H
