// What vontrel-cluster needs to know of a firmware file before simavr takes it: that it is an
// AVR ELF, where the firmware keeps its health counts and its dials' calibration tables.
#ifndef VONTREL_TOOLS_CLUSTER_FIRMWARE_IMAGE_H
#define VONTREL_TOOLS_CLUSTER_FIRMWARE_IMAGE_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
constexpr int SPEED_MPH = 31;      // u8
constexpr int SIZE = 32;
}  // namespace health

// The dials' calibration tables, in the order the firmware names them: vontrel_speed_dial,
// vontrel_rpm_dial, vontrel_fuel_dial and vontrel_water_dial.
enum Dial { SPEED, RPM, FUEL, WATER, DIALS };

struct FirmwareImage {
  std::uint16_t health = 0;  // the data address of `vontrel_health`
  // The flash address of each dial's table (std::nullopt only until all are found).
  std::optional<std::uint16_t> dials[DIALS];
};

// Where the firmware keeps what vontrel-cluster reads; nothing, with the reason, when the file
// is missing, is no AVR ELF or is not a Vontrel cluster firmware.
std::optional<FirmwareImage> inspect(const std::string& path, std::string& why);

// A table as the firmware keeps it in flash: a count, then per point a 32-bit value in the
// dial's fine unit and a 16-bit needle position, little-endian.
struct DialTable {
  std::vector<std::pair<double, double>> points;  // (value, position)

  // The value at which the firmware puts the needle at `position`: the first segment that
  // reaches it, read backwards along its line; the nearest end beyond them.
  double value_at(double position) const;
};
// From the bytes at the table's address (at least 1 + 6 x 16); nothing when the count is 0 or
// above 16.
std::optional<DialTable> parse_dial(const std::uint8_t* bytes);

}  // namespace vontrel::cluster

#endif  // VONTREL_TOOLS_CLUSTER_FIRMWARE_IMAGE_H
